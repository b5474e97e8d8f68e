"""The peer benchmark runs end to end (smoke mode: one loop, timings mean
nothing) and its results hold every case that was asked for."""

import importlib.util
import itertools
import os
import subprocess
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[1] / "bench"
NEEDED = ("pyperf", "multidict", "werkzeug", "starlette", "httpx")
_missing = [name for name in NEEDED if importlib.util.find_spec(name) is None]

# Neither is needed by `make test`: the sdist ships no bench/, and the peers
# are installed only where bench/ exists.
pytestmark = pytest.mark.skipif(
    not (BENCH / "run.py").is_file(), reason="no bench/ beside the tests (an unpacked sdist)"
)
needs_peers = pytest.mark.skipif(
    bool(_missing), reason=f"benchmark peers not installed ({', '.join(_missing)}); `make bench` installs them"
)

PEERS = ("multidict", "werkzeug", "starlette", "httpx")
WHERE = ("known-early", "known-late", "custom-early", "custom-late", "known-miss", "custom-miss")
FLOORS = {"floor:dict.get:floor", "floor:len(list):floor", "floor:empty loop:floor"}
# The workloads that grew later: their case lists are read off by the goals check instead.
GROWN = ("sizes", "wrap-k", "handler", "worst")


def expected_names(workload):
    if workload == "request-read":
        return {"request-read:bytes:velmora", "request-read:str:velmora"} | {f"request-read:str:{p}" for p in PEERS}
    if workload == "response-build":
        return {f"response-build:build:{impl}" for impl in ("velmora", *PEERS)}
    velmora = {
        f"single-op:{op}/{where}/{key}:velmora"
        for op, where, key in itertools.product(("get_first", "get", "contains", "in", "h[k]"), WHERE, ("bytes", "str"))
    }
    # Peers take str keys only and have no contains() besides `in`.
    peers = {
        f"single-op:{op}/{where}/str:{peer}"
        for op, where, peer in itertools.product(("get_first", "get", "in", "h[k]"), WHERE, PEERS)
    }
    return velmora | peers


def run_bench(*args, env=None):
    return subprocess.run(
        [sys.executable, str(BENCH / "run.py"), *args],
        capture_output=True,
        text=True,
        timeout=300,
        env=env,
    )


@pytest.fixture(scope="module", params=[("single-op",), ("request-read", "response-build"), GROWN], ids="+".join)
def smoke(request, tmp_path_factory):
    path = tmp_path_factory.mktemp("bench") / "results.json"
    args = [a for w in request.param for a in ("--workload", w)]
    proc = run_bench("--smoke", *args, "--json", str(path), "--chart", str(path.with_suffix(".png")))
    assert proc.returncode == 0, proc.stderr
    return request.param, path, proc.stdout


@needs_peers
def test_results_hold_every_case_asked_for(smoke):
    import pyperf

    workloads, path, _ = smoke
    suite = pyperf.BenchmarkSuite.load(str(path))
    names = set(suite.get_benchmark_names())
    if workloads == GROWN:
        assert {name.split(":")[0] for name in names} == {*GROWN, "floor"}
    else:
        assert names == set().union(*map(expected_names, workloads)) | FLOORS
    for bench in suite.get_benchmarks():
        assert bench.get_nvalue() >= 1, bench.get_name()
        assert all(v > 0 for v in bench.get_values()), bench.get_name()
    metadata = suite.get_metadata()
    assert metadata["bench_mode"] == "smoke"
    assert {f"{p}_version" for p in PEERS} <= set(metadata)


@needs_peers
def test_table_and_targets_printed_and_reproducible(smoke):
    workloads, path, stdout = smoke
    assert "| case " in stdout
    assert "Targets (information only):" in stdout
    if "single-op" in workloads:
        assert "`get_first` known-late, str" in stdout
        assert "floor: `dict.get`" in stdout
    elif workloads == GROWN:
        # A goal whose cases were renamed would quietly read "n/a".
        goals = stdout[stdout.index("Goals of this round") :].split("\n\n")[0].splitlines()[1:]
        unmeasured = [line for line in goals if line.strip().startswith("n/a")]
        assert len(goals) == 15
        assert [line.split("  ")[-1] for line in unmeasured] == [
            "7. request read and response build: not measured in this run"
        ]
        for section in (
            "### Cost against entries",
            "### Wrap a request",
            "### End to end",
            "### Memory per request",
            "### Worst cases",
        ):
            assert section in stdout
            assert section in path.with_suffix(".md").read_text()
        if importlib.util.find_spec("matplotlib"):
            assert path.with_suffix(".png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
    else:
        assert "request read, bytes keys" in stdout
        assert "response build" in stdout
    shown = run_bench("--show", str(path))
    assert shown.returncode == 0, shown.stderr
    # The saved results alone give back the same report.
    assert stdout.startswith(shown.stdout.rstrip("\n"))


@needs_peers
def test_refuses_pure_python_multidict():
    env = dict(os.environ, MULTIDICT_NO_EXTENSIONS="1")
    proc = run_bench("--smoke", "--workload", "floor", "--json", os.devnull, env=env)
    assert proc.returncode == 2
    assert "multidict's C extension is not in use" in proc.stderr


@needs_peers
def test_cross_check_catches_a_peer_answering_differently(monkeypatch):
    monkeypatch.syspath_prepend(str(BENCH))
    import workloads

    data = workloads.load_data()
    wrong = lambda raw: workloads.starlette_read(raw)[:-1] + ("Bearer x",)  # noqa: E731
    monkeypatch.setitem(workloads.READ_JOBS, ("str", "starlette"), wrong)
    with pytest.raises(AssertionError, match="request-read:str:starlette"):
        workloads.cross_check(workloads.build_cases(data, ("request-read",)))


# Importing a peer fails as it would were it not installed, in the main
# process; the workers are told which peers to time.
WITHOUT_PEERS = (
    "import runpy, sys\n"
    "for name in ('multidict', 'werkzeug', 'starlette', 'httpx'):\n"
    "    sys.modules[name] = None\n"
    "sys.argv[0] = {run!r}\n"
    "runpy.run_path(sys.argv[0], run_name='__main__')\n"
)


@pytest.mark.skipif(importlib.util.find_spec("pyperf") is None, reason="pyperf not installed; `make bench` installs it")
@pytest.mark.parametrize("how", ["not installed", "--no-peers"])
def test_runs_velmora_alone_without_the_peers(tmp_path, how):
    path = tmp_path / "results.json"
    args = ["--smoke", "--json", str(path), "--chart", str(tmp_path / "chart.png")]
    args += [a for w in ("single-op", "sizes", "handler", "worst") for a in ("--workload", w)]
    if how == "not installed":
        command = [sys.executable, "-c", WITHOUT_PEERS.format(run=str(BENCH / "run.py")), *args]
    else:
        command = [sys.executable, str(BENCH / "run.py"), "--no-peers", *args]
    proc = subprocess.run(command, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    if how == "not installed":
        assert "comparisons skipped, these peer libraries are not installed: multidict" in proc.stderr
        assert "`make bench` installs them" in proc.stderr
    else:
        assert "comparisons skipped: every peer library (--no-peers)" in proc.stderr

    import pyperf

    impls = {name.rsplit(":", 1)[1] for name in pyperf.BenchmarkSuite.load(str(path)).get_benchmark_names()}
    assert impls == {"velmora", "floor"}
    assert "peers: none\ncomparisons skipped: multidict, werkzeug, starlette, httpx" in proc.stdout
    # No column is left for a library that was not timed, and every section still comes out.
    for peer in (*PEERS, "CIMultiDict"):
        assert peer not in proc.stdout.split("single-op list:")[1].split("Goals of this round")[0]
    for section in ("| `get_first` known-late, str", "### Cost against entries", "### End to end", "### Memory per"):
        assert section in proc.stdout
    worst_header = proc.stdout.split("### Worst cases\n\n")[1].splitlines()[0]
    assert [cell.strip() for cell in worst_header.strip("|").split("|")] == [
        "case",
        "velmora 400",
        "velmora 4,000",
        "growth",
    ]


# Medians in µs of (rebuild, rebuild + remove) at 400 and 4,000 entries.
@pytest.mark.parametrize(
    ("at_400", "at_4000", "growth", "exact"),
    [
        ((10, 12), (100, 300), 100.0, True),  # both measurable: the plain ratio of the net times
        ((10, 10.5), (100, 150), 50.0, False),  # 400 hidden by its rebuild: a lower bound from 10% of it
        ((10, 12), (100, 101), None, True),  # 4,000 hidden: no figure rather than noise
    ],
)
def test_worst_case_growth_takes_the_rebuild_off(monkeypatch, at_400, at_4000, growth, exact):
    monkeypatch.syspath_prepend(str(BENCH))
    import report

    stats = {}
    for n, (setup, total) in ((400, at_400), (4000, at_4000)):
        stats[f"worst:setup/equal/bytes/{n}:velmora"] = report.Stats([setup * 1e-6])
        stats[f"worst:remove/equal/bytes/{n}:velmora"] = report.Stats([total * 1e-6])
    got, got_exact = report.worst_growth(stats, "remove", "equal", "bytes", "velmora")
    assert (got if got is None else round(got, 6), got_exact) == (growth, exact)
