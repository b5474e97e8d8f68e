"""How cost grows with the number of entries: the size series (recorded
names, 1 to 512 entries) and the worst cases (400 and 4,000 entries shaped
to defeat a scan: all distinct, all equal, or sharing a long prefix).

velmora is timed beside CIMultiDict in the same run; the other peers would
only add minutes, their shape is visible in the single-op rows already.
"""

from __future__ import annotations

from cases import FLOOR, Case, decoded, str_key
from peers import CIMultiDict

from velmora.headers import Headers

SIZES = (1, 4, 18, 32, 64, 128, 512)
FIRST = b"host"
MISS = b"authorization"  # every framework asks, most requests lack it

# key kinds: bytes, a str as a literal is (interned), and an equal str made
# at run time, as a framework gets from a dict it built or a decoded name.
KEY_KINDS = ("bytes", "str", "str-built")
# Hundreds of steady, nanosecond-scale cases: half the worker processes give
# enough values, and keep a full run well inside its time.
SIZES_SHARE = 0.5
WHERE = ("first", "last", "miss")


def sized_list(recorded, n: int) -> list[tuple[bytes, bytes]]:
    """n entries, `host` first, then recorded fields of distinct names and,
    past those, custom ones: the last name occurs only at the end."""
    seen = {FIRST, MISS}
    pool = []
    for raw in recorded:
        for name, value in raw:
            if name not in seen:
                seen.add(name)
                pool.append((name, value))
    pool += [(b"x-custom-field-%03d" % i, b"value-%d" % i) for i in range(max(0, n - 1 - len(pool)))]
    return [(FIRST, b"example.org")] + pool[: n - 1]


# op -> (velmora, CIMultiDict, floor); None: not measured for that one.
SIZE_OPS = {
    "get_first": ("h.get_first(k)", "h.get(k)", None),
    "get": ("h.get(k)", "h.getall(k, ())", None),
    "contains": ("h.contains(k)", "k in h", None),
    "set": ("h.set(k, v)", "h[k] = v", None),
    "keys": ("h.keys()", "list(h.keys())", None),
    "iter": ("for e in h:\n    pass", "for e in h.items():\n    pass", "for e in l:\n    pass"),
    "clone": ("h.clone()", "h.copy()", "l.copy()"),
}
LOOKUPS = ("get_first", "get", "contains")
EFFECTS = ("set",)  # compared on the entries they leave behind


def _distinct(names):
    return list(dict.fromkeys(n.lower() for n in names))


def _answer(op: str, stmt: str, env: dict, effect: bool = False):
    """What the cross-check compares: the value of a lookup, the entries an
    operation leaves or produces, the distinct names."""

    def answer():
        ns = dict(env)
        if effect:
            exec(stmt, {}, ns)
            return list(ns["h"].items())
        if op == "iter":
            return list(ns["h"].items()) if "h" in ns else list(ns["l"])
        value = eval(stmt, {}, ns)
        if op == "keys":
            return _distinct(value)
        return list(value.items()) if op == "clone" and not isinstance(value, list) else value

    return answer


def size_cases(data, peers) -> list[Case]:
    cases = []
    for n in SIZES:
        raw = sized_list(data.requests + [data.lookup_list], n)
        probes = {"first": FIRST, "last": raw[-1][0], "miss": MISS}
        for op, (own, peer, floor) in SIZE_OPS.items():
            lookups = op in LOOKUPS
            for where in WHERE if lookups else ("-",):
                name = probes.get(where, FIRST)
                row = ("sizes", op, where, n)
                for kind in KEY_KINDS if lookups else ("bytes",):
                    key = name if kind == "bytes" else str_key(name, kind)
                    env = {"h": Headers(list(raw)), "k": key, "v": b"x" if kind == "bytes" else "x"}
                    cases.append(
                        Case(
                            "sizes",
                            f"{op}/{where}/{kind}/{n}",
                            "velmora",
                            own,
                            env,
                            row=row,
                            share=SIZES_SHARE,
                            answer=_answer(op, own, env, op in EFFECTS),
                        )
                    )
                for kind in (KEY_KINDS[1:] if lookups else ("str",)) if "multidict" in peers else ():
                    env = {"h": CIMultiDict(decoded(raw)), "k": str_key(name, kind), "v": "x"}
                    cases.append(
                        Case(
                            "sizes",
                            f"{op}/{where}/{kind}/{n}",
                            "multidict",
                            peer,
                            env,
                            row=row,
                            share=SIZES_SHARE,
                            answer=_answer(op, peer, env, op in EFFECTS),
                        )
                    )
            if floor:
                env = {"l": list(raw)}
                cases.append(
                    Case(
                        "sizes",
                        f"{op}/-/-/{n}",
                        FLOOR,
                        floor,
                        env,
                        row=("sizes", op, "-", n),
                        share=SIZES_SHARE,
                        answer=_answer(op, floor, env),
                    )
                )
    return cases


# ---------------------------------------------------------------------------
# Worst cases.  Every call starts from the same n entries; an operation that
# changes the collection rebuilds it first, and that rebuild ("setup", timed
# on its own) is subtracted in the report.

WORST_SIZES = (400, 4000)
SHAPES = ("distinct", "equal", "prefix")
PREFIX = b"x-" + b"p" * 198  # 200 bytes shared by every name


def worst_names(shape: str, n: int) -> tuple[list[bytes], bytes]:
    """The n names of a shape and a name it lacks that costs the most to rule out."""
    if shape == "distinct":
        return [b"x-field-%d" % i for i in range(n)], b"x-field-missing"
    if shape == "equal":
        return [b"x-same"] * n, b"x-samf"
    return [PREFIX + b"-%d" % i for i in range(n)], PREFIX + b"-missing"


# op -> (velmora, CIMultiDict, changes the collection)
WORST_OPS = {
    "get_first miss": ("h.get_first(m)", "h.get(m)", False),
    "get": ("h.get(k)", "h.getall(k)", False),
    "contains miss": ("h.contains(m)", "m in h", False),
    "keys": ("h.keys()", "list(h.keys())", False),
    "iter": ("for e in h:\n    pass", "for e in h.items():\n    pass", False),
    "clone": ("h.clone()", "h.copy()", False),
    "add": ("h.add(k, v)", "h.add(k, v)", True),
    "set": ("h.set(k, v)", "h[k] = v", True),
    "remove": ("h.remove(k)", "del h[k]", True),
    "update": ("h.update(d)", "h.update(d)", True),
    "add_many": ("h.add_many(p)", "h.extend(p)", True),
}
SETUP = {"velmora": "h = Headers(list(raw))", "multidict": "h = CIMultiDict(raw)"}
WORST_SHARE = 0.3  # of the worker processes: these are milliseconds, not nanoseconds


def _worst_env(impl: str, shape: str, names_kind: str, n: int) -> dict:
    names, missing = worst_names(shape, n)
    pairs = [(name, b"v%d" % i) for i, name in enumerate(names)]
    if names_kind == "str" or impl == "multidict":
        pairs, missing = decoded(pairs), missing.decode("latin-1")
    key = pairs[0][0]
    value = "w" if isinstance(key, str) else b"w"
    env = {"raw": pairs, "k": key, "m": missing, "v": value, "d": {name: value for name, _ in pairs}, "p": list(pairs)}
    env["Headers" if impl == "velmora" else "CIMultiDict"] = Headers if impl == "velmora" else CIMultiDict
    return env


def worst_cases(peers) -> list[Case]:
    cases = []
    for n in WORST_SIZES:
        for shape in SHAPES:
            for names_kind in ("bytes", "str"):
                for impl in ("velmora", *(("multidict",) if "multidict" in peers else ())):
                    if impl == "multidict" and names_kind == "bytes":
                        continue  # str names only: its row stands beside both
                    env = _worst_env(impl, shape, names_kind, n)
                    setup = SETUP[impl]
                    row = ("worst", shape, n)
                    cases.append(Case("worst", f"setup/{shape}/{names_kind}/{n}", impl, setup, env, share=WORST_SHARE))
                    for op, (own, peer, changes) in WORST_OPS.items():
                        if op == "clone" and impl == "velmora" and names_kind == "str":
                            continue  # clone takes bytes names only
                        expr = own if impl == "velmora" else peer
                        stmt = f"{setup}\n{expr}" if changes else expr
                        built = env if changes else dict(env, h=_build(impl, env))
                        cases.append(
                            Case(
                                "worst",
                                f"{op}/{shape}/{names_kind}/{n}",
                                impl,
                                stmt,
                                built,
                                share=WORST_SHARE,
                                row=row + (op,),
                                answer=_answer(op, stmt, built, changes),
                            )
                        )
    return cases


def _build(impl, env):
    return Headers(list(env["raw"])) if impl == "velmora" else CIMultiDict(env["raw"])
