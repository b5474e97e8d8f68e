"""The sections of the report beyond the round-one table: the size series,
wrap + k lookups, the handler, memory, the worst cases, the goals, and the
chart.  Everything here reads only the saved results, so `--show` gives the
same report."""

from __future__ import annotations

import statistics

import sizes
from cases import FLOOR
from endtoend import KS
from peers import PEERS


class Stats:
    def __init__(self, values):
        self.median = statistics.median(values)
        if len(values) >= 4:
            q1, _, q3 = statistics.quantiles(values, n=4)
            self.spread = (q3 - q1) / 2 / self.median
        else:
            self.spread = None


def fmt_time(seconds: float) -> str:
    ns = seconds * 1e9
    if ns < 10:
        return f"{ns:.2f} ns"
    if ns < 100:
        return f"{ns:.1f} ns"
    if ns < 10_000:
        return f"{ns:.0f} ns"
    if ns < 10_000_000:
        return f"{ns / 1000:.1f} µs"
    return f"{ns / 1e6:.1f} ms"


def md_table(header, rows) -> str:
    """A markdown table, first column left-aligned, the others right."""
    lines = [list(header), *[[str(c) for c in row] for row in rows]]
    widths = [max(3, *(len(line[i]) for line in lines)) for i in range(len(header))]
    rule = ["-" * widths[0]] + ["-" * (w - 1) + ":" for w in widths[1:]]
    out = []
    for n, line in enumerate([lines[0], rule, *lines[1:]]):
        cells = (
            line
            if n == 1
            else [c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(line, widths, strict=False))]
        )
        out.append("| " + " | ".join(cells) + " |")
    return "\n".join(out)


def _ratio(a, b) -> str:
    return f"{a / b:.2f}" if a is not None and b else ""


def _median(stats, name):
    s = stats.get(name)
    return s.median if s is not None else None


# ---------------------------------------------------------------------------
# Size series.


def size_floor(op: str, n: int) -> str:
    """The floor an operation is divided by: a bare dict.get for one-call
    answers, the bare list for walks and copies."""
    if op in ("iter", "clone"):
        return f"sizes:{op}/-/-/{n}:floor"
    return "floor:dict.get:floor"


def _peer_kind(kind: str) -> str:
    return "str" if kind == "bytes" else kind  # CIMultiDict takes str keys only


def size_rows():
    for op in sizes.SIZE_OPS:
        lookups = op in sizes.LOOKUPS
        for where in sizes.WHERE if lookups else ("-",):
            for kind in sizes.KEY_KINDS if lookups else ("bytes",):
                yield op, where, kind


def render_sizes(stats) -> str:
    if not any(name.startswith("sizes:") for name in stats):
        return ""
    header = ["case", *[f"{n}" for n in sizes.SIZES]]
    rows = []
    for op, where, kind in size_rows():
        cells = []
        for n in sizes.SIZES:
            own = _median(stats, f"sizes:{op}/{where}/{kind}/{n}:velmora")
            if own is None:
                cells.append("")
                continue
            floor = _median(stats, size_floor(op, n))
            peer = _median(stats, f"sizes:{op}/{where}/{_peer_kind(kind) if where != '-' else 'str'}/{n}:multidict")
            cells.append(f"{fmt_time(own)} · {_ratio(own, floor)}f" + (f" · {_ratio(peer, own)}x" if peer else ""))
        label = f"`{op}` {where}, {kind}" if where != "-" else f"`{op}`"
        rows.append([label, *cells])
    for op, what in (("iter", "iterate a bare list"), ("clone", "`list.copy()`")):
        rows.append(
            [f"floor: {what}", *[fmt_time(_median(stats, f"sizes:{op}/-/-/{n}:floor") or 0) for n in sizes.SIZES]]
        )
    legend = (
        "Size series: velmora's time per call at each number of entries (recorded names, `host` first, the\n"
        "last name only at the end, the miss `authorization`) · **f** = velmora / floor (`dict.get` on a\n"
        "one-item dict; a bare list's iteration or `list.copy()` for `iter` and `clone`)"
        + (
            " · **x** =\nCIMultiDict / velmora (higher: velmora faster; CIMultiDict with a str key for bytes rows, as\n"
            "`h.get`, `h.getall(k, ())`, `k in h`, `h[k] = v`, `list(h.keys())`, `h.items()` and `h.copy()`).\n"
            if "multidict" in shown_peers(stats)
            else ".\n"
        )
        + "str = the interned object a literal is; str-built = an equal str made at run time."
    )
    return "### Cost against entries\n\n" + md_table(header, rows) + "\n\n" + legend


# ---------------------------------------------------------------------------
# Wrap + k lookups and the handler.


def shown_peers(stats) -> tuple[str, ...]:
    """The peers this run measured: a skipped one gets no column."""
    impls = {name.rsplit(":", 1)[1] for name in stats}
    return tuple(p for p in PEERS if p in impls)


def _peer_cells(stats, row_of, own):
    cells = []
    for peer in shown_peers(stats):
        s = stats.get(row_of(peer))
        cells.append(f"{fmt_time(s.median)} **{s.median / own:.1f}x**" if s and own else "")
    return cells


def render_framework(stats) -> str:
    parts = []
    if any(name.startswith("wrap-k:") for name in stats):
        rows = []
        for k in KS:
            for kind in ("bytes", "str", "str-built"):
                own = _median(stats, f"wrap-k:{k}/{kind}:velmora")
                if own is None:
                    continue

                def row_of(peer, k=k, kind=kind):
                    peer_kind = _peer_kind(kind) if peer == "multidict" else "str"
                    return f"wrap-k:{k}/{peer_kind}:{peer}"

                rows.append(
                    [
                        f"wrap + {k} lookup{'s' if k > 1 else ''}, {kind}",
                        fmt_time(own),
                        *_peer_cells(stats, row_of, own),
                    ]
                )
        parts.append(
            "### Wrap a request and look up k fields\n\n"
            + md_table(["case", "velmora", *shown_peers(stats)], rows)
            + "\n\nPer request, over the recorded requests; **Nx** = peer / velmora.  Peers other than"
            " CIMultiDict are shown with interned str keys in every row."
        )
    own = _median(stats, "handler:asgi:velmora")
    if own is not None:
        plain = _median(stats, f"handler:asgi:{FLOOR}")
        row = [
            "ASGI handler",
            fmt_time(own),
            *_peer_cells(stats, lambda p: f"handler:asgi:{p}", own),
            f"{fmt_time(plain)} (velmora {_ratio(own, plain)}x)" if plain else "",
        ]
        parts.append(
            "### End to end: an ASGI-style handler\n\n"
            + md_table(["case", "velmora", *shown_peers(stats), "dict + list"], [row])
            + "\n\nPer request: wrap the scope's list, read host, content-type, content-length,"
            " authorization, cookie,\naccept-encoding and user-agent, build a response of six fields"
            " (two set-cookie), hand back the list."
        )
    return "\n\n".join(parts)


def render_memory(memory) -> str:
    if not memory:
        return ""
    impls = list(memory["wrap"])
    rows = [
        [what, *[f"{memory[key][i]:.0f} B" for i in impls]]
        for key, what in (("wrap", "wrap a request"), ("respond", "build a response"))
    ]
    return (
        "### Memory per request (tracemalloc)\n\n"
        + md_table(["", *[("dict + list" if i == FLOOR else i) for i in impls]], rows)
        + "\n\nBytes per request that stay allocated while the wrapped request or the response is alive,"
        " over\nthe recorded requests; the dict + list wrap is `dict(raw)`, its response a list literal."
    )


# ---------------------------------------------------------------------------
# Worst cases.

# An operation that changes the collection is timed with the rebuild it
# starts from; what is left after taking the rebuild off is noise below this
# share of it.
RESOLUTION = 0.1


def worst_time(stats, op, shape, names, n, impl):
    """(seconds per call of op alone, resolved).  Unresolved: the call costs
    less than the figure given, which is too little to tell from the rebuild."""
    if impl == "multidict":
        names = "str"
    t = _median(stats, f"worst:{op}/{shape}/{names}/{n}:{impl}")
    if t is None or not sizes.WORST_OPS[op][2]:
        return t, True
    setup = _median(stats, f"worst:setup/{shape}/{names}/{n}:{impl}")
    if setup is None:
        return None, True
    floor = RESOLUTION * setup
    return (t - setup, True) if t - setup >= floor else (floor, False)


def worst_growth(stats, op, shape, names, impl):
    """(400 -> 4,000 factor, exact); not exact: at least that much, as the
    smaller size was below resolution.  None when the larger one was too."""
    (small, small_ok), (large, large_ok) = (worst_time(stats, op, shape, names, n, impl) for n in sizes.WORST_SIZES)
    if not small or not large or not large_ok:
        return None, True
    return large / small, small_ok


def _fmt_worst(value, resolved):
    return "" if value is None else fmt_time(value) if resolved else f"< {fmt_time(value)}"


def _fmt_growth(growth, exact):
    return "" if growth is None else f"{growth:.1f}x" if exact else f"> {growth:.1f}x"


def worst_keys():
    for op in sizes.WORST_OPS:
        for shape in sizes.SHAPES:
            for names in ("bytes", "str"):
                yield op, shape, names


def render_worst(stats) -> str:
    if not any(name.startswith("worst:") for name in stats):
        return ""
    small, large = sizes.WORST_SIZES
    impls = ("velmora", "multidict") if "multidict" in shown_peers(stats) else ("velmora",)
    rows = []
    for op, shape, names in worst_keys():
        cells = []
        for impl in impls:
            cells += [_fmt_worst(*worst_time(stats, op, shape, names, n, impl)) for n in sizes.WORST_SIZES]
            cells.append(_fmt_growth(*worst_growth(stats, op, shape, names, impl)))
        if cells[0]:
            rows.append([f"`{op}`, {shape}, {names}", *cells])
    header = ["case"]
    for impl in impls:
        label = "CIMultiDict" if impl == "multidict" else impl
        header += [f"{label} {small}", f"{label} {large:,}", "growth"]
    return (
        "### Worst cases\n\n"
        + md_table(header, rows)
        + f"\n\nTime per call at {small} and {large:,} entries whose names are all distinct, all equal, or"
        " share a\n200-byte prefix; misses are the costliest name to rule out.  Operations that change the"
        ' collection\nstart each call from a fresh one, whose cost is measured alone and taken off; "<": less than'
        f" {RESOLUTION:.0%} of that\nrebuild, too little to measure.  growth = {large:,} / {small} (linear: 10x)."
        + ("  CIMultiDict holds str names in both rows." if len(impls) > 1 else "")
    )


# ---------------------------------------------------------------------------
# Goals: one line each, measured figure and whether it is met.


def _goal(label, value, op, limit, unit="x"):
    if value is None:
        return f"  n/a      {label}: not measured in this run"
    met = value <= limit if op == "<=" else value >= limit
    shown = fmt_time(value) if unit == "s" else f"{value:.0f} B" if unit == "B" else f"{value:.2f}x"
    target = fmt_time(limit) if unit == "s" else f"{limit} B" if unit == "B" else f"{limit}x"
    return f"  {'met    ' if met else 'NOT met'}  {label}: {shown} (goal {op} {target})"


def _worst_of(pairs):
    """(value, where) of the largest value, or (None, '') when none was measured."""
    pairs = [(v, w) for v, w in pairs if v is not None]
    return max(pairs) if pairs else (None, "")


def _at(where) -> str:
    return f" ({where})" if where != "" else ""


def _div(a, b):
    return a / b if a is not None and b else None


def goal_lines(stats, memory, round_one) -> list[str]:
    m = lambda name: _median(stats, name)  # noqa: E731
    dict_get = m("floor:dict.get:floor")
    lines = ["Goals of this round (performance issue, worst-case section):"]
    lines.append(
        _goal("1. keys() at 18 entries / dict.get", _div(m("sizes:keys/-/bytes/18:velmora"), dict_get), "<=", 10)
    )
    growth, where = _worst_of(
        (worst_growth(stats, "keys", shape, names, "velmora")[0], f"{shape}, {names}")
        for shape in sizes.SHAPES
        for names in ("bytes", "str")
    )
    lines.append(_goal(f"1. keys() growth 400 -> 4,000 entries, worst shape{_at(where)}", growth, "<=", 25))
    ratios = [
        (_div(m(f"sizes:get_first/first/str/{n}:multidict"), m(f"sizes:get_first/first/bytes/{n}:velmora")), n)
        for n in sizes.SIZES
    ]
    ratios = [(r, n) for r, n in ratios if r is not None]
    worst = min(ratios) if ratios else (None, "")
    lines.append(
        _goal(f"2. get_first bytes hit first: CIMultiDict / velmora, slowest size{_at(worst[1])}", worst[0], ">=", 1)
    )
    ratio, where = _worst_of((_div(m(f"sizes:get_first/first/str/{n}:velmora"), dict_get), n) for n in sizes.SIZES)
    lines.append(_goal(f"2. get_first str hit first / dict.get, slowest size{_at(where)}", ratio, "<=", 1.6))
    lines.append(
        _goal(
            "3. get_first miss at 512 entries / dict.get",
            _div(m("sizes:get_first/miss/bytes/512:velmora"), dict_get),
            "<=",
            25,
        )
    )
    lines.append(
        _goal(
            "4. clone() / list.copy() at 18 entries",
            _div(m("sizes:clone/-/bytes/18:velmora"), m("sizes:clone/-/-/18:floor")),
            "<=",
            5,
        )
    )
    for n in (18, 512):
        lines.append(
            _goal(
                f"5. iteration / bare list iteration at {n} entries",
                _div(m(f"sizes:iter/-/bytes/{n}:velmora"), m(f"sizes:iter/-/-/{n}:floor")),
                "<=",
                1.3,
            )
        )
    own = m("handler:asgi:velmora")
    lines.append(_goal("6. handler: CIMultiDict / velmora", _div(m("handler:asgi:multidict"), own), ">=", 4))
    lines.append(_goal("6. handler: starlette / velmora", _div(m("handler:asgi:starlette"), own), ">=", 6))
    lines.append(_goal("6. handler: velmora / plain dict + list", _div(own, m(f"handler:asgi:{FLOOR}")), "<=", 1.15))
    kept = [met for _, workload, met in round_one if workload in ("request-read", "response-build")]
    if kept:
        lines.append(
            f"  {'met    ' if all(kept) else 'NOT met'}  7. request read and response build keep their lead:"
            f" {sum(kept)} of {len(kept)} targets met (listed above)"
        )
    else:
        lines.append("  n/a      7. request read and response build: not measured in this run")
    wrap = memory["wrap"]["velmora"] if memory else None
    lines.append(_goal("7. wrapping a request keeps", wrap, "<=", 48, unit="B"))
    slowest, where = _worst_of(
        (worst_time(stats, op, shape, names, sizes.WORST_SIZES[-1], "velmora")[0], f"{op}, {shape}, {names}")
        for op, shape, names in worst_keys()
    )
    lines.append(_goal(f"worst case: slowest call at 4,000 entries{_at(where)}", slowest, "<=", 0.002, unit="s"))
    # A lower bound counts: the smaller size was too quick to measure.
    growth, where = _worst_of(
        (worst_growth(stats, op, shape, names, "velmora")[0], f"{op}, {shape}, {names}")
        for op, shape, names in worst_keys()
    )
    lines.append(_goal(f"worst case: largest growth 400 -> 4,000{_at(where)}", growth, "<=", 25))
    return lines


# ---------------------------------------------------------------------------
# The chart: cost against entries, one panel per operation.

CHART_PANELS = [
    ("get_first", "first"),
    ("get_first", "last"),
    ("get_first", "miss"),
    ("get", "last"),
    ("contains", "miss"),
    ("set", "-"),
    ("keys", "-"),
    ("iter", "-"),
    ("clone", "-"),
]


def write_chart(stats, path: str) -> bool:
    """False when the run has no size series to draw."""
    if not any(name.startswith("sizes:") for name in stats):
        return False
    import os

    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(3, 3, figsize=(13, 11), constrained_layout=True)
    lines = [
        ("velmora, bytes key", "velmora", "bytes", "-o", "C0"),
        ("velmora, str key", "velmora", "str", "-s", "C1"),
        ("CIMultiDict, str key", "multidict", "str", "--^", "C2"),
    ]
    for ax, (op, where) in zip(axes.flat, CHART_PANELS, strict=False):
        for label, impl, kind, style, color in lines:
            if where == "-" and kind != ("str" if impl == "multidict" else "bytes"):
                continue
            points = [(n, _median(stats, f"sizes:{op}/{where}/{kind}/{n}:{impl}")) for n in sizes.SIZES]
            points = [(n, t * 1e9) for n, t in points if t is not None]
            if points:
                ax.plot(
                    *zip(*points, strict=True),
                    style,
                    color=color,
                    label=label.split(",")[0] if where == "-" else label,
                    markersize=4,
                )
        floor = [(n, _median(stats, size_floor(op, n))) for n in sizes.SIZES]
        floor = [(n, t * 1e9) for n, t in floor if t is not None]
        if floor:
            ax.plot(*zip(*floor, strict=True), ":", color="gray", label="floor")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(f"{op}" + (f" ({'hit ' if where != 'miss' else ''}{where})" if where != "-" else ""))
        ax.set_xlabel("entries")
        ax.set_ylabel("ns per call")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7)
    fig.suptitle("velmora.headers and CIMultiDict: cost against entries (lower is better)")
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return True
