"""The collection as a framework uses it: wrap a request and make k lookups;
a whole ASGI-style handler (read seven fields, answer with six); and the
memory a request costs.  Each library is written the way its own users
write it, against a plain dict + list doing the same job."""

from __future__ import annotations

import gc
import tracemalloc

from cases import FLOOR, Case, str_key
from peers import (
    CIMultiDict,
    HttpxHeaders,
    StarletteHeaders,
    StarletteMutableHeaders,
    WerkzeugHeaders,
)

from velmora.headers import STATIC_JSON_HEADERS, Headers

# The fields a framework reads first, in the order it reads them.
READ_NAMES = (
    b"host",
    b"content-type",
    b"content-length",
    b"authorization",
    b"cookie",
    b"accept-encoding",
    b"user-agent",
    b"accept",
)
KS = (1, 3, 8)

WRAP = {
    "velmora": "h = Headers(raw)",
    "multidict": 'h = CIMultiDict([(n.decode("latin-1"), v.decode("latin-1")) for n, v in raw])',
    "werkzeug": 'h = WerkzeugHeaders([(n.decode("latin-1"), v.decode("latin-1")) for n, v in raw])',
    "starlette": "h = StarletteHeaders(raw=raw)",
    "httpx": "h = HttpxHeaders(raw)",
}
CLASSES = {
    "Headers": Headers,
    "CIMultiDict": CIMultiDict,
    "WerkzeugHeaders": WerkzeugHeaders,
    "StarletteHeaders": StarletteHeaders,
    "HttpxHeaders": HttpxHeaders,
}


def wrap_k_cases(data, peers) -> list[Case]:
    cases = []
    sample = data.requests
    for k in KS:
        for impl in ("velmora", *peers):
            kinds = (
                ("bytes", "str", "str-built")
                if impl == "velmora"
                else ("str", "str-built")
                if impl == "multidict"
                else ("str",)
            )
            method = "get_first" if impl == "velmora" else "get"
            for kind in kinds:
                keys = {
                    f"k{i}": name if kind == "bytes" else str_key(name, kind) for i, name in enumerate(READ_NAMES[:k])
                }
                lookups = ", ".join(f"h.{method}({var})" for var in keys)
                stmt = f"for raw in sample:\n    {WRAP[impl]}\n    ({lookups},)"
                env = dict(keys, sample=sample, **CLASSES)

                check = f"_out = []\nfor raw in sample:\n    {WRAP[impl]}\n    _out.append(({lookups},))"

                def answer(check=check, env=env):
                    ns = dict(env)
                    exec(check, {}, ns)
                    return ns["_out"]

                cases.append(
                    Case("wrap-k", f"{k}/{kind}", impl, stmt, env, inner=len(sample), row=("wrap-k", k), answer=answer)
                )
    return cases


# ---------------------------------------------------------------------------
# The handler.  The response is the same six fields for every library:
# content-type, content-length, cache-control, two set-cookie and vary.

SESSION = "session=2f9c1e7a4b3d; Path=/; HttpOnly; Secure; SameSite=Lax"
CSRF = "csrftoken=8d0b6c2e91f4a7b5; Path=/; SameSite=Strict"
RESPONSE = [
    ("content-type", "application/json"),
    ("content-length", "1825"),
    ("cache-control", "no-store"),
    ("set-cookie", SESSION),
    ("set-cookie", CSRF),
    ("vary", "accept-encoding"),
]
RESPONSE_BYTES = [(n.encode("latin-1"), v.encode("latin-1")) for n, v in RESPONSE]
B_SESSION, B_CSRF = SESSION.encode("latin-1"), CSRF.encode("latin-1")
assert STATIC_JSON_HEADERS == RESPONSE_BYTES[:1]


def velmora_respond():
    r = Headers(STATIC_JSON_HEADERS).clone()
    r.add(b"content-length", b"1825")
    r.add(b"cache-control", b"no-store")
    r.add(b"set-cookie", B_SESSION)
    r.add(b"set-cookie", B_CSRF)
    r.add(b"vary", b"accept-encoding")
    return r.values


def velmora_handler(scope):
    h = Headers(scope["headers"])
    read = (
        h.get_first(b"host"),
        h.get_first(b"content-type"),
        h.get_first(b"content-length"),
        h.get_first(b"authorization"),
        h.get_first(b"cookie"),
        h.get_first(b"accept-encoding"),
        h.get_first(b"user-agent"),
    )
    return read, velmora_respond()


def plain_respond():
    return [
        (b"content-type", b"application/json"),
        (b"content-length", b"1825"),
        (b"cache-control", b"no-store"),
        (b"set-cookie", B_SESSION),
        (b"set-cookie", B_CSRF),
        (b"vary", b"accept-encoding"),
    ]


def plain_handler(scope):
    # An ASGI list from a server has lowercase names; the last of a
    # repeated field wins, which none of these fields is.
    d = dict(scope["headers"])
    read = (
        d.get(b"host"),
        d.get(b"content-type"),
        d.get(b"content-length"),
        d.get(b"authorization"),
        d.get(b"cookie"),
        d.get(b"accept-encoding"),
        d.get(b"user-agent"),
    )
    return read, plain_respond()


def multidict_respond():
    r = CIMultiDict()
    r["content-type"] = "application/json"
    r["content-length"] = "1825"
    r["cache-control"] = "no-store"
    r.add("set-cookie", SESSION)
    r.add("set-cookie", CSRF)
    r["vary"] = "accept-encoding"
    return [(n.encode("latin-1"), v.encode("latin-1")) for n, v in r.items()]


def multidict_handler(scope):
    h = CIMultiDict([(n.decode("latin-1"), v.decode("latin-1")) for n, v in scope["headers"]])
    read = (
        h.get("host"),
        h.get("content-type"),
        h.get("content-length"),
        h.get("authorization"),
        h.get("cookie"),
        h.get("accept-encoding"),
        h.get("user-agent"),
    )
    return read, multidict_respond()


def werkzeug_respond():
    r = WerkzeugHeaders()
    r["Content-Type"] = "application/json"
    r["Content-Length"] = "1825"
    r["Cache-Control"] = "no-store"
    r.add("Set-Cookie", SESSION)
    r.add("Set-Cookie", CSRF)
    r["Vary"] = "accept-encoding"
    return [(n.lower().encode("latin-1"), v.encode("latin-1")) for n, v in r.to_wsgi_list()]


def werkzeug_handler(scope):
    h = WerkzeugHeaders([(n.decode("latin-1"), v.decode("latin-1")) for n, v in scope["headers"]])
    read = (
        h.get("host"),
        h.get("content-type"),
        h.get("content-length"),
        h.get("authorization"),
        h.get("cookie"),
        h.get("accept-encoding"),
        h.get("user-agent"),
    )
    return read, werkzeug_respond()


def starlette_respond():
    r = StarletteMutableHeaders(raw=[])
    r["content-type"] = "application/json"
    r["content-length"] = "1825"
    r["cache-control"] = "no-store"
    r.append("set-cookie", SESSION)
    r.append("set-cookie", CSRF)
    r["vary"] = "accept-encoding"
    return r.raw


def starlette_handler(scope):
    h = StarletteHeaders(scope=scope)
    read = (
        h.get("host"),
        h.get("content-type"),
        h.get("content-length"),
        h.get("authorization"),
        h.get("cookie"),
        h.get("accept-encoding"),
        h.get("user-agent"),
    )
    return read, starlette_respond()


def httpx_respond():
    # Assignment replaces, so repeated fields go in through the constructor.
    r = HttpxHeaders(
        [
            ("content-type", "application/json"),
            ("content-length", "1825"),
            ("cache-control", "no-store"),
            ("set-cookie", SESSION),
            ("set-cookie", CSRF),
            ("vary", "accept-encoding"),
        ]
    )
    return r.raw


def httpx_handler(scope):
    h = HttpxHeaders(scope["headers"])
    read = (
        h.get("host"),
        h.get("content-type"),
        h.get("content-length"),
        h.get("authorization"),
        h.get("cookie"),
        h.get("accept-encoding"),
        h.get("user-agent"),
    )
    return read, httpx_respond()


HANDLERS = {
    "velmora": velmora_handler,
    "multidict": multidict_handler,
    "werkzeug": werkzeug_handler,
    "starlette": starlette_handler,
    "httpx": httpx_handler,
    FLOOR: plain_handler,
}
RESPONDERS = {
    "velmora": velmora_respond,
    "multidict": multidict_respond,
    "werkzeug": werkzeug_respond,
    "starlette": starlette_respond,
    "httpx": httpx_respond,
    FLOOR: plain_respond,
}


def scopes(data) -> list[dict]:
    return [{"type": "http", "method": "GET", "path": "/", "headers": raw} for raw in data.requests]


def handler_cases(data, peers) -> list[Case]:
    sample = scopes(data)
    return [
        Case(
            "handler",
            "asgi",
            impl,
            "for scope in sample:\n    handler(scope)",
            {"handler": fn, "sample": sample},
            inner=len(sample),
            row=("handler",),
            answer=lambda fn=fn: [fn(s) for s in sample],
        )
        for impl, fn in HANDLERS.items()
        if impl in ("velmora", FLOOR, *peers)
    ]


# ---------------------------------------------------------------------------
# Memory per request, with tracemalloc: what stays allocated while the
# wrapped request or the built response is alive.  (What a call allocates
# and frees again is not shown: tuples and small objects come from free
# lists a single call refills, so tracemalloc cannot see it steadily.)
# Deterministic, so measured once in the main process rather than timed.

WRAPPERS = {
    "velmora": lambda raw: Headers(raw),
    "multidict": lambda raw: CIMultiDict([(n.decode("latin-1"), v.decode("latin-1")) for n, v in raw]),
    "werkzeug": lambda raw: WerkzeugHeaders([(n.decode("latin-1"), v.decode("latin-1")) for n, v in raw]),
    "starlette": lambda raw: StarletteHeaders(raw=raw),
    "httpx": lambda raw: HttpxHeaders(raw),
    FLOOR: lambda raw: dict(raw),
}


def _kept_per_call(fn, inputs) -> float:
    for arg in inputs:  # caches and interned names are made before counting
        fn(*arg)
    kept = [None] * len(inputs)
    gc.collect()
    gc.disable()
    tracemalloc.start()
    try:
        # Reading the counter allocates its own result: counted once with
        # nothing in between, and taken off.
        start = tracemalloc.get_traced_memory()[0]
        overhead = tracemalloc.get_traced_memory()[0] - start
        start = tracemalloc.get_traced_memory()[0]
        for i, arg in enumerate(inputs):
            kept[i] = fn(*arg)
        total = tracemalloc.get_traced_memory()[0] - start - overhead
    finally:
        tracemalloc.stop()
        gc.enable()
    return round(total / len(inputs))  # within a byte: the counter reads themselves are not exact


def memory(data, peers) -> dict:
    """{"wrap" | "respond": {impl: bytes kept per request}}."""
    requests = [(raw,) for raw in data.requests]
    impls = ("velmora", *peers, FLOOR)
    return {
        "wrap": {impl: _kept_per_call(fn, requests) for impl, fn in WRAPPERS.items() if impl in impls},
        "respond": {impl: _kept_per_call(fn, [()] * len(requests)) for impl, fn in RESPONDERS.items() if impl in impls},
    }
