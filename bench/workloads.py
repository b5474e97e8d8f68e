"""What is timed: for each workload, one small function or statement per
implementation, all doing the same job on the recorded header lists in
data/real-headers.json.

Header lists are prepared the way an ASGI server hands them over: names
lowercased, names and values Latin-1 encoded, as a list of (bytes, bytes)
tuples.  A peer that only takes ``str`` gets that list decoded from Latin-1
inside the timed job, because its users have to do the same.
"""

from __future__ import annotations

import json
import os
import sys
from dataclasses import dataclass

import endtoend
import sizes
from cases import FLOOR, Case, decoded
from peers import (
    PEERS,
    CIMultiDict,
    HttpxHeaders,
    StarletteHeaders,
    StarletteMutableHeaders,
    WerkzeugHeaders,
)

from velmora.headers import STATIC_JSON_HEADERS, Headers, intern_header_name_bytes

WORKLOADS = ("request-read", "single-op", "response-build", "sizes", "wrap-k", "handler", "worst", "floor")

DATA_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "real-headers.json")


def asgi_list(pairs) -> list[tuple[bytes, bytes]]:
    return [(name.lower().encode("latin-1"), value.encode("latin-1")) for name, value in pairs]


def is_well_known(name: bytes) -> bool:
    # velmora hands back one shared object for each name in its table, and a
    # fresh lowercase object for any other name.
    return intern_header_name_bytes(bytes(bytearray(name))) is intern_header_name_bytes(bytes(bytearray(name)))


# The single-op list: no recorded request has more than 11 fields, so it is
# a recorded response of 22.  It starts and ends with fields every framework
# reads (server, content-length) and has custom names near either end; the
# misses are a well-known and a custom name it does not hold.
LOOKUP_LIST = ("responses", 48)
PROBES = {
    "known-early": b"server",
    "known-late": b"content-length",
    "custom-early": b"p3p",
    "custom-late": b"x-fs-uuid",
    "known-miss": b"authorization",
    "custom-miss": b"x-request-id",
}


@dataclass(frozen=True)
class Data:
    requests: list  # every recorded request, as ASGI lists
    lookup_list: list  # the list of the single-op workload
    lookup_origin: str
    probes: dict  # where -> bytes name looked up


def load_data(path: str = DATA_PATH) -> Data:
    with open(path, encoding="utf-8") as f:
        recorded = json.load(f)
    requests = [asgi_list(r) for r in recorded["requests"]]
    kind, index = LOOKUP_LIST
    raw = asgi_list(recorded[kind][index])
    names = [name for name, _ in raw]
    # The rows are labelled by these roles; a different file must not
    # silently change what they measure.
    for where, name in PROBES.items():
        if is_well_known(name) != where.startswith("known"):
            raise ValueError(f"{name!r} is not a {where.split('-')[0]} name")
        if where.endswith("-miss"):
            if name in names:
                raise ValueError(f"{name!r} should be absent from {kind}[{index}]")
        elif names.count(name) != 1:
            raise ValueError(f"{name!r} should be in {kind}[{index}] once")
    if names.index(PROBES["known-late"]) != len(names) - 1 or names.index(PROBES["known-early"]) != 0:
        raise ValueError(f"{kind}[{index}] should start and end with the well-known probes")
    return Data(requests, raw, f"{kind}[{index}], {len(raw)} entries", dict(PROBES))


def describe_lookup_list(data: Data) -> str:
    position = {name: i for i, (name, _) in enumerate(data.lookup_list)}
    parts = [
        f"{where}={name.decode()}" + (f"@{position[name]}" if name in position else "")
        for where, name in data.probes.items()
    ]
    return f"single-op list: {data.lookup_origin}; " + ", ".join(parts)


# ---------------------------------------------------------------------------
# Workload 1: request read.  Wrap what the server handed over and answer the
# lookups a framework makes for every request.


def velmora_read_bytes(raw):
    h = Headers(raw)
    return (
        h.get_first(b"host"),
        h.get_first(b"content-type"),
        h.get_first(b"content-length"),
        h.get_first(b"cookie"),
        h.get_first(b"accept-encoding"),
        h.get_first(b"authorization"),
    )


def velmora_read_str(raw):
    h = Headers(raw)
    return (
        h.get_first("host"),
        h.get_first("content-type"),
        h.get_first("content-length"),
        h.get_first("cookie"),
        h.get_first("accept-encoding"),
        h.get_first("authorization"),
    )


def multidict_read(raw):
    h = CIMultiDict([(k.decode("latin-1"), v.decode("latin-1")) for k, v in raw])
    return (
        h.get("host"),
        h.get("content-type"),
        h.get("content-length"),
        h.get("cookie"),
        h.get("accept-encoding"),
        h.get("authorization"),
    )


def werkzeug_read(raw):
    h = WerkzeugHeaders([(k.decode("latin-1"), v.decode("latin-1")) for k, v in raw])
    return (
        h.get("host"),
        h.get("content-type"),
        h.get("content-length"),
        h.get("cookie"),
        h.get("accept-encoding"),
        h.get("authorization"),
    )


def starlette_read(raw):
    h = StarletteHeaders(raw=raw)
    return (
        h.get("host"),
        h.get("content-type"),
        h.get("content-length"),
        h.get("cookie"),
        h.get("accept-encoding"),
        h.get("authorization"),
    )


def httpx_read(raw):
    h = HttpxHeaders(raw)
    return (
        h.get("host"),
        h.get("content-type"),
        h.get("content-length"),
        h.get("cookie"),
        h.get("accept-encoding"),
        h.get("authorization"),
    )


# ---------------------------------------------------------------------------
# Workload 3: response build.  Start from the JSON preset, add five fields,
# replace one, drop one, and produce the (bytes, bytes) list ASGI sends.

JSON_PRESET = list(STATIC_JSON_HEADERS)
JSON_PRESET_STR = decoded(JSON_PRESET)


def velmora_build():
    h = Headers(STATIC_JSON_HEADERS).clone()
    h.add(b"content-length", b"1825")
    h.add(b"cache-control", b"max-age=0, must-revalidate")
    h.add(b"etag", b'"a3f2-5d8c72a5edda8"')
    h.add(b"vary", b"accept-encoding")
    h.add(b"x-request-id", b"4f1c2a9e-7d3b-4b8e-9a6f-2c5d1e0b7a43")
    h.set(b"cache-control", b"no-store")
    h.remove(b"etag")
    return list(h)


def multidict_build():
    h = CIMultiDict(JSON_PRESET_STR)
    h.add("content-length", "1825")
    h.add("cache-control", "max-age=0, must-revalidate")
    h.add("etag", '"a3f2-5d8c72a5edda8"')
    h.add("vary", "accept-encoding")
    h.add("x-request-id", "4f1c2a9e-7d3b-4b8e-9a6f-2c5d1e0b7a43")
    h["cache-control"] = "no-store"
    del h["etag"]
    return [(k.encode("latin-1"), v.encode("latin-1")) for k, v in h.items()]


def werkzeug_build():
    h = WerkzeugHeaders(JSON_PRESET_STR)
    h.add("content-length", "1825")
    h.add("cache-control", "max-age=0, must-revalidate")
    h.add("etag", '"a3f2-5d8c72a5edda8"')
    h.add("vary", "accept-encoding")
    h.add("x-request-id", "4f1c2a9e-7d3b-4b8e-9a6f-2c5d1e0b7a43")
    h.set("cache-control", "no-store")
    h.remove("etag")
    return [(k.encode("latin-1"), v.encode("latin-1")) for k, v in h.items()]


def starlette_build():
    h = StarletteMutableHeaders(raw=JSON_PRESET.copy())
    h.append("content-length", "1825")
    h.append("cache-control", "max-age=0, must-revalidate")
    h.append("etag", '"a3f2-5d8c72a5edda8"')
    h.append("vary", "accept-encoding")
    h.append("x-request-id", "4f1c2a9e-7d3b-4b8e-9a6f-2c5d1e0b7a43")
    h["cache-control"] = "no-store"
    del h["etag"]
    return h.raw


def httpx_build():
    # httpx has no add(); assignment appends a name that is not there yet.
    h = HttpxHeaders(JSON_PRESET)
    h["content-length"] = "1825"
    h["cache-control"] = "max-age=0, must-revalidate"
    h["etag"] = '"a3f2-5d8c72a5edda8"'
    h["vary"] = "accept-encoding"
    h["x-request-id"] = "4f1c2a9e-7d3b-4b8e-9a6f-2c5d1e0b7a43"
    h["cache-control"] = "no-store"
    del h["etag"]
    return h.raw


READ_JOBS = {
    ("bytes", "velmora"): velmora_read_bytes,
    ("str", "velmora"): velmora_read_str,
    ("str", "multidict"): multidict_read,
    ("str", "werkzeug"): werkzeug_read,
    ("str", "starlette"): starlette_read,
    ("str", "httpx"): httpx_read,
}
BUILD_JOBS = {
    "velmora": velmora_build,
    "multidict": multidict_build,
    "werkzeug": werkzeug_build,
    "starlette": starlette_build,
    "httpx": httpx_build,
}

# ---------------------------------------------------------------------------
# Workload 2: single operations.  Each peer in the form its users write it;
# peers take str keys only and have no contains() besides `in`.

OPS = ("get_first", "get", "contains", "in", "h[k]")
WHERE = ("known-early", "known-late", "custom-early", "custom-late", "known-miss", "custom-miss")
KEYS = ("bytes", "str")

OP_EXPR = {
    "velmora": {
        "get_first": "h.get_first(k)",
        "get": "h.get(k)",
        "contains": "h.contains(k)",
        "in": "k in h",
        "h[k]": "h[k]",
    },
    "multidict": {"get_first": "h.get(k)", "get": "h.getall(k, ())", "in": "k in h", "h[k]": "h[k]"},
    "werkzeug": {"get_first": "h.get(k)", "get": "h.getlist(k)", "in": "k in h", "h[k]": "h[k]"},
    "starlette": {"get_first": "h.get(k)", "get": "h.getlist(k)", "in": "k in h", "h[k]": "h[k]"},
    "httpx": {"get_first": "h.get(k)", "get": "h.get_list(k)", "in": "k in h", "h[k]": "h[k]"},
}


def make_lookup_headers(impl: str, raw):
    if impl == "velmora":
        return Headers(raw)
    if impl == "multidict":
        return CIMultiDict(decoded(raw))
    if impl == "werkzeug":
        return WerkzeugHeaders(decoded(raw))
    if impl == "starlette":
        return StarletteHeaders(raw=raw)
    return HttpxHeaders(raw)


def peer_variant(workload: str, variant: str) -> str | None:
    """The variant a peer is measured under for a row of velmora's, or None
    when the peer has no such row (floors)."""
    if workload == "request-read":
        return "str"
    if workload == "single-op":
        op, where, _key = variant.split("/")
        return f"{'in' if op == 'contains' else op}/{where}/str"
    if workload == "response-build":
        return variant
    return None


# ---------------------------------------------------------------------------
# The cases.


def _misses(impl: str, op: str, where: str) -> bool:
    return impl != "velmora" and op == "h[k]" and where.endswith("-miss")


def _single_op_case(data: Data, impl: str, op: str, where: str, key_kind: str) -> Case:
    name = data.probes[where]
    # A key in source code is a literal, and the compiler interns str
    # literals: the decoded name is interned to stand for one.
    key = name if key_kind == "bytes" else sys.intern(name.decode("latin-1"))
    h = make_lookup_headers(impl, data.lookup_list)
    expr = OP_EXPR[impl][op]
    env = {"h": h, "k": key}
    if _misses(impl, op, where):
        # Their users pay for the KeyError on an absent name.
        stmt = f"try:\n    {expr}\nexcept KeyError:\n    pass"
    else:
        stmt = expr

    def answer():
        try:
            return eval(expr, {}, dict(env))
        except KeyError:
            return None

    return Case("single-op", f"{op}/{where}/{key_kind}", impl, stmt, env, answer=answer)


def build_cases(data: Data, workloads=WORKLOADS, peers=PEERS) -> list[Case]:
    """The cases of the workloads asked for, for velmora, the floors and the
    peers named (a peer that is not installed cannot be among them)."""
    cases = []
    if "request-read" in workloads:
        sample = data.requests
        for (key_kind, impl), job in READ_JOBS.items():
            if impl != "velmora" and impl not in peers:
                continue
            cases.append(
                Case(
                    "request-read",
                    key_kind,
                    impl,
                    "for raw in sample:\n    job(raw)",
                    {"job": job, "sample": sample},
                    inner=len(sample),
                    answer=lambda job=job: [job(raw) for raw in sample],
                )
            )
    if "single-op" in workloads:
        for impl in ("velmora", *peers):
            for op in OPS:
                if op not in OP_EXPR[impl]:
                    continue
                for where in WHERE:
                    for key_kind in KEYS if impl == "velmora" else ("str",):
                        cases.append(_single_op_case(data, impl, op, where, key_kind))
    if "response-build" in workloads:
        for impl, job in BUILD_JOBS.items():
            if impl != "velmora" and impl not in peers:
                continue
            cases.append(Case("response-build", "build", impl, "job()", {"job": job}, answer=job))
    if "sizes" in workloads:
        cases += sizes.size_cases(data, peers)
    if "wrap-k" in workloads:
        cases += endtoend.wrap_k_cases(data, peers)
    if "handler" in workloads:
        cases += endtoend.handler_cases(data, peers)
    if "worst" in workloads:
        cases += sizes.worst_cases(peers)
    # The floors are always measured: every ratio to them needs them in the same run.
    one_item = {b"host": b"example.org"}
    cases += [
        Case("floor", "dict.get", FLOOR, "d.get(k)", {"d": one_item, "k": b"host"}),
        Case("floor", "len(list)", FLOOR, "len(l)", {"l": data.lookup_list}),
        Case("floor", "empty loop", FLOOR, "pass"),
    ]
    return cases


# ---------------------------------------------------------------------------
# Cross-check: every implementation must give the same answers before any of
# them is timed, or the table would compare different jobs.


def _text(value):
    if isinstance(value, bytes):
        return value.decode("latin-1")
    if isinstance(value, (list, tuple)):
        return [_text(v) for v in value]
    return value


def _normal(case: Case, result):
    result = _text(result)
    if case.workload == "response-build":
        # set() keeps the replaced field's place in some peers and appends in
        # others; what is sent is the same set of fields.
        return sorted(map(tuple, result))
    if case.workload in ("sizes", "worst"):
        if isinstance(result, list) and result and isinstance(result[0], list):
            return sorted(map(tuple, result))  # entries, in whichever place set() leaves them
        return list(result) if isinstance(result, list) else result
    if case.workload == "handler":
        return [(read, sorted(map(tuple, response))) for read, response in result]
    if case.workload == "single-op":
        op = case.variant.split("/")[0]
        if op == "h[k]" and case.impl == "velmora":
            return result[0] if result else None  # velmora's h[k] gives every value
        if op == "get":
            return list(result)
    return result


def cross_check(cases: list[Case]) -> None:
    expected = {}
    for case in cases:
        if case.answer is None:
            continue
        row = case.row or (case.workload, peer_variant(case.workload, case.variant))
        got = _normal(case, case.answer())
        if row not in expected:
            expected[row] = (case.impl, got)
        elif expected[row][1] != got:
            impl, want = expected[row]
            raise AssertionError(f"{case.name} answers {got!r:.300} but {impl} answers {want!r:.300}")
