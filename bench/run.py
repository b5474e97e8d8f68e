"""Benchmark velmora.headers against the header collections a framework
author would otherwise pick, on recorded real-world header lists.

    python bench/run.py            full run (about 10 minutes on 2 quiet cores)
    python bench/run.py --quick    a minute or two
    python bench/run.py --smoke    one loop of everything: checks, not timings
    python bench/run.py --no-peers velmora and the floors only
    python bench/run.py --show RESULTS.json    print the table of a saved run

Results are written as a pyperf suite (bench/results/<timestamp>.json, or
--json PATH); compare two runs with `python -m pyperf compare_to A.json B.json`.
The report, as markdown, goes beside it (<timestamp>.md), and the chart of
cost against entries to docs/bench-chart.png (full run) or beside it (quick).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import sys
import time
from importlib import metadata as dist_metadata

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import harness  # noqa: E402
import peers as peer_libs  # noqa: E402
import report as sections  # noqa: E402
import workloads  # noqa: E402
from cases import FLOOR  # noqa: E402
from peers import PEERS  # noqa: E402
from report import Stats, fmt_time, shown_peers  # noqa: E402
from workloads import WORKLOADS  # noqa: E402

RESULTS_DIR = os.path.join(HERE, "results")
CHART = os.path.join(os.path.dirname(HERE), "docs", "bench-chart.png")
# The workloads of the first table; the others have sections of their own.
TABLE_WORKLOADS = ("request-read", "single-op", "response-build", "floor")


# ---------------------------------------------------------------------------
# Targets the native code is tuned against.  Reported, never enforced.


def _targets():
    rows = []
    for key in ("bytes", "str"):
        row = ("request-read", key)
        rows.append((f"request read, {key} keys", row, "multidict", ">=", 3))
        rows += [(f"request read, {key} keys", row, peer, ">=", 10) for peer in ("werkzeug", "starlette", "httpx")]
    for op in ("get_first", "contains"):
        rows.append((f"{op} well-known hit, bytes key", ("single-op", f"{op}/known-early/bytes"), FLOOR, "<=", 1.5))
    for op in ("get_first", "contains"):
        for where in ("known-miss", "custom-miss"):
            rows.append((f"{op} {where}, bytes key", ("single-op", f"{op}/{where}/bytes"), FLOOR, "<=", 2))
    for op in ("get_first", "contains"):
        rows.append((f"{op} well-known early hit, str key", ("single-op", f"{op}/known-early/str"), FLOOR, "<=", 2))
    for op in ("get_first", "contains"):
        rows.append((f"{op} hit at the end, str key", ("single-op", f"{op}/known-late/str"), FLOOR, "<=", 3))
    rows.append(("response build", ("response-build", "build"), "multidict", ">=", 2))
    return rows


TARGETS = _targets()

# ---------------------------------------------------------------------------
# Results: a pyperf suite, one benchmark per case, one run per worker process.


def environment(mode: str, clock: str, data) -> dict:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    env = {
        "python_version": f"{platform.python_version()} ({platform.python_implementation()})",
        "cpu_model_name": cpu,
        "cpu_count": os.cpu_count() or 1,
        "platform": platform.platform(),
        "date": time.strftime("%Y-%m-%d %H:%M:%S"),
        "bench_mode": mode,
        "bench_clock": clock,
        "single_op_list": workloads.describe_lookup_list(data),
    }
    for dist in ("velmora", "pyperf", *PEERS):
        try:
            env[f"{dist}_version"] = dist_metadata.version(dist)
        except dist_metadata.PackageNotFoundError:
            pass
    return env


def to_suite(cases, runs, env):
    import pyperf

    benchmarks = []
    for case in cases:
        pyperf_runs = []
        for record in runs[case.name]:
            run_metadata = dict(
                env,
                name=case.name,
                loops=record["loops"],
                inner_loops=case.inner,
                unit="second",
                tags=[case.workload, case.impl],
            )
            warmups = [(record["loops"], value) for value in record["warmups"]] or None
            pyperf_runs.append(
                pyperf.Run(record["values"], warmups=warmups, metadata=run_metadata, collect_metadata=False)
            )
        benchmarks.append(pyperf.Benchmark(pyperf_runs))
    return pyperf.BenchmarkSuite(benchmarks)


def stats_of(suite) -> dict:
    return {bench.get_name(): Stats(bench.get_values()) for bench in suite.get_benchmarks()}


# ---------------------------------------------------------------------------
# The table.


def fmt_stat(s: Stats) -> str:
    return fmt_time(s.median) + (f" ±{s.spread * 100:.0f}%" if s.spread is not None else "")


def row_label(workload: str, variant: str) -> str:
    if workload == "request-read":
        return f"request read, {variant} keys"
    if workload == "single-op":
        op, where, key = variant.split("/")
        return f"`{op}` {where}, {key}"
    if workload == "response-build":
        return "response build"
    return f"floor: `{variant}`"


def table_rows(stats: dict):
    """(workload, variant, velmora Stats, {peer: (Stats, marker)}) in table order."""
    present = {}
    for name in stats:
        workload, variant, impl = name.split(":")
        present.setdefault((workload, variant), set()).add(impl)
    order = []
    for workload in TABLE_WORKLOADS:
        variants = [v for (w, v), impls in present.items() if w == workload and (FLOOR in impls or "velmora" in impls)]
        if workload == "single-op":
            rank = {op: i for i, op in enumerate(workloads.OPS)}
            where_rank = {w: i for i, w in enumerate(workloads.WHERE)}
            variants.sort(key=lambda v: (rank[v.split("/")[0]], where_rank[v.split("/")[1]], v.split("/")[2]))
        order += [(workload, v) for v in variants]
    for workload, variant in order:
        impl = FLOOR if workload == "floor" else "velmora"
        own = stats[f"{workload}:{variant}:{impl}"]
        peers = {}
        peer_var = workloads.peer_variant(workload, variant)
        if peer_var is not None:
            for peer in PEERS:
                s = stats.get(f"{workload}:{peer_var}:{peer}")
                if s is not None:
                    marker = "†" if peer_var != variant else ""
                    if (
                        workload == "single-op"
                        and variant.startswith("h[k]/")
                        and variant.split("/")[1].endswith("-miss")
                    ):
                        marker += "‡"
                    peers[peer] = (s, marker)
        yield workload, variant, own, peers


def render_table(stats: dict) -> str:
    floor = stats.get("floor:dict.get:floor")
    shown = shown_peers(stats)
    header = ["case", "velmora", "×floor", *shown]
    lines = [header, ["---", "---:", "---:", *["---:"] * len(shown)]]
    for workload, variant, own, peers in table_rows(stats):
        ratio_floor = f"{own.median / floor.median:.2f}" if floor and workload in ("single-op", "floor") else ""
        cells = [row_label(workload, variant), fmt_stat(own), ratio_floor]
        for peer in shown:
            if peer in peers:
                s, marker = peers[peer]
                cells.append(f"{fmt_stat(s)} **{s.median / own.median:.1f}x**{marker}")
            else:
                cells.append("")
        lines.append(cells)
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    out = []
    for n, line in enumerate(lines):
        if n == 1:
            line = [
                cell[:-1].ljust(w - 1, "-") + ":" if cell.endswith(":") else cell.ljust(w, "-")
                for cell, w in zip(line, widths, strict=False)
            ]
        else:
            line = [
                cell.ljust(w) if i == 0 else cell.rjust(w)
                for i, (cell, w) in enumerate(zip(line, widths, strict=False))
            ]
        out.append("| " + " | ".join(line) + " |")
    return "\n".join(out)


LEGEND = """\
Time per operation (request read: per request, wrap + 6 lookups), median of all
values ± half the interquartile range; **Nx** = peer time / velmora time (higher:
velmora faster); ×floor = velmora time / `dict.get` on a one-item dict.
† the peer takes str keys only (and has `in` but no `contains()`): its str-key / `in`
measurement is shown.  ‡ the peer raises KeyError for an absent name; the time
includes catching it.  Every timing loop is the same `for _ in range(loops)`."""


def target_results(stats: dict) -> list[tuple[str, str, bool]]:
    """(line, workload, met) for every target the run measured."""
    lines = []
    for label, (workload, variant), other, op, limit in TARGETS:
        own = stats.get(f"{workload}:{variant}:velmora")
        if other == FLOOR:
            ref = stats.get("floor:dict.get:floor")
            if own is None or ref is None:
                continue
            ratio = own.median / ref.median
            what = "velmora / dict.get"
        else:
            ref = stats.get(f"{workload}:{workloads.peer_variant(workload, variant)}:{other}")
            if own is None or ref is None:
                continue
            ratio = ref.median / own.median
            what = f"{other} / velmora"
        met = ratio >= limit if op == ">=" else ratio <= limit
        lines.append(
            (
                f"  {'met    ' if met else 'NOT met'}  {label}: {what} = {ratio:.2f}x (target {op} {limit}x)",
                workload,
                met,
            )
        )
    return lines


def render_targets(stats: dict) -> str:
    return "\n".join(["Targets (information only):", *(line for line, _, _ in target_results(stats))])


def report(suite, markdown: bool = False) -> str:
    """The whole report; markdown=True fences the plain-text parts so the
    file renders as it reads."""
    stats = stats_of(suite)
    common = suite.get_benchmarks()[0].get_metadata()
    memory = json.loads(common["bench_memory"]) if "bench_memory" in common else None
    head = [
        f"velmora {common.get('velmora_version', '?')} on {common.get('cpu_model_name', '?')}, "
        f"{common.get('cpu_count', '?')} cores, Python {common.get('python_version', '?')}; "
        f"{common.get('bench_mode', '?')} mode, {common.get('bench_clock', '?')} clock",
        "peers: " + (", ".join(f"{p} {common.get(f'{p}_version', '?')}" for p in shown_peers(stats)) or "none"),
    ]
    skipped = [p for p in PEERS if p not in shown_peers(stats)]
    if skipped:
        head.append(f"comparisons skipped: {', '.join(skipped)} (not in this run; {peer_libs.HOW_TO_GET})")
    if "single_op_list" in common:
        head.append(common["single_op_list"])
    fence = (lambda text: f"```\n{text}\n```") if markdown else (lambda text: text)
    parts = [
        ("\n\n" if markdown else "\n").join(head),
        render_table(stats),
        LEGEND,
        fence(render_targets(stats)),
        sections.render_sizes(stats),
        sections.render_framework(stats),
        sections.render_memory(memory),
        sections.render_worst(stats),
        fence("\n".join(sections.goal_lines(stats, memory, target_results(stats)))),
    ]
    return "\n\n".join(part for part in parts if part)


# ---------------------------------------------------------------------------


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    speed = parser.add_mutually_exclusive_group()
    speed.add_argument("--quick", dest="mode", action="store_const", const="quick", help="a minute or two")
    speed.add_argument("--full", dest="mode", action="store_const", const="full", help="the default: 10-20 minutes")
    speed.add_argument(
        "--smoke",
        dest="mode",
        action="store_const",
        const="smoke",
        help="one process, one loop: checks that everything runs, timings mean nothing",
    )
    parser.add_argument(
        "--workload",
        action="append",
        choices=WORKLOADS,
        help="run only this workload (repeatable); the floors always run",
    )
    parser.add_argument(
        "--clock",
        choices=sorted(harness.CLOCKS),
        default="cpu",
        help="cpu: this thread's CPU time (the default, robust on a shared machine); wall: perf_counter",
    )
    parser.add_argument(
        "--json", metavar="PATH", help="where to write the results (default: bench/results/<time>.json)"
    )
    parser.add_argument("--show", metavar="PATH", help="print the table of a saved run and exit")
    parser.add_argument(
        "--chart",
        metavar="PNG",
        help="where to draw the size series (default: docs/bench-chart.png"
        " for a full run, beside the results otherwise; none in smoke mode)",
    )
    parser.add_argument(
        "--no-peers",
        action="store_true",
        help="time velmora and the floors only, even where the peer libraries are installed",
    )
    parser.add_argument("--worker", nargs=2, metavar=("TASK", "OUT"), help=argparse.SUPPRESS)
    parser.set_defaults(mode="full")
    return parser.parse_args(argv)


def worker_main(task_path: str, out_path: str) -> None:
    with open(task_path) as f:
        task = json.load(f)
    cases = workloads.build_cases(workloads.load_data(), task["workloads"], tuple(task["peers"]))
    results = harness.run_worker(cases, task)
    with open(out_path, "w") as f:
        json.dump(results, f)


def main(argv=None) -> int:
    args = parse_args(argv)
    if args.worker:
        worker_main(*args.worker)
        return 0
    try:
        import pyperf
    except ImportError:
        print(
            "error: pyperf is not installed; `make bench` installs it (the bench group of pyproject.toml)",
            file=sys.stderr,
        )
        return 2
    if args.show:
        print(report(pyperf.BenchmarkSuite.load(args.show)))
        return 0
    peers = () if args.no_peers else peer_libs.available()
    try:
        peer_libs.check(peers)
    except peer_libs.PeerProblem as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    if args.no_peers:
        print("comparisons skipped: every peer library (--no-peers)", file=sys.stderr)
    elif len(peers) < len(PEERS):
        missing = "; ".join(f"{p} ({peer_libs.IMPORT_ERRORS[p]})" for p in PEERS if p not in peers)
        print(
            f"comparisons skipped, these peer libraries are not installed: {missing}."
            f" velmora's own figures and the floors still run; {peer_libs.HOW_TO_GET}.",
            file=sys.stderr,
        )

    selected = tuple(args.workload or WORKLOADS)
    mode = harness.MODES[args.mode]
    data = workloads.load_data()
    cases = workloads.build_cases(data, selected, peers)
    workloads.cross_check(cases)
    env = environment(mode.name, args.clock, data)
    if "handler" in selected:
        import endtoend

        env["bench_memory"] = json.dumps(endtoend.memory(data, peers))
    print(
        f"{len(cases)} cases, {mode.name} mode: {mode.processes} processes x "
        f"({mode.warmups} warm-up + {mode.values} values){' after calibration' if mode.min_time else ''}",
        file=sys.stderr,
    )

    def progress(message):
        print(f"  {message}", file=sys.stderr, flush=True)

    started = time.monotonic()
    runs = harness.measure(
        os.path.abspath(__file__),
        [c.name for c in cases],
        mode,
        selected,
        args.clock,
        progress,
        shares={c.name: c.share for c in cases},
        peers=peers,
    )
    suite = to_suite(cases, runs, env)
    path = args.json or os.path.join(RESULTS_DIR, time.strftime("%Y%m%d-%H%M%S") + ".json")
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    suite.dump(path, compact=False, replace=True)
    base = path[:-5] if path.endswith(".json") else path
    markdown = base + ".md" if path != os.devnull else os.devnull
    with open(markdown, "w", encoding="utf-8") as f:
        f.write(report(suite, markdown=True) + "\n")
    chart = args.chart or (CHART if mode.name == "full" else base + ".png" if mode.name == "quick" else None)
    try:
        drawn = chart and sections.write_chart(stats_of(suite), chart)
    except ImportError:
        print("matplotlib is not installed, so no chart was drawn (the bench dependency group has it)", file=sys.stderr)
        drawn = False
    print(report(suite))
    print(
        f"\n{time.monotonic() - started:.0f} s; results: {os.path.relpath(path)}, table: {os.path.relpath(markdown)}"
        + (f", chart: {os.path.relpath(chart)}" if drawn else "")
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
