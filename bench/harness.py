"""Timing: calibrated loops, warm-ups and values in several fresh worker
processes, collected into a pyperf suite (so `python -m pyperf compare_to`
and `pyperf stats` read the JSON).

pyperf's own Runner starts a set of processes for every benchmark; with some
two hundred small cases that alone would take longer than the whole quick
run may.  Here each worker process times every case, in its own shuffled
order, with the loop counts calibrated once for all of them.
"""

from __future__ import annotations

import json
import os
import random
import subprocess
import sys
import tempfile
import textwrap
import time
from dataclasses import dataclass

_TEMPLATE = """\
def timer(_loops, _clock=_clock{params}):
    _it = range(_loops)
    _t0 = _clock()
    for _ in _it:
{body}
    return _clock() - _t0
"""


# "cpu" counts only the time this thread ran: on a machine shared with
# builds and test runs, wall time mostly measures the scheduler.
CLOCKS = {"cpu": time.thread_time, "wall": time.perf_counter}


def compile_timer(stmt: str, env: dict, clock: str = "cpu"):
    """A function timer(loops) -> seconds that repeats stmt loops times.

    The names stmt uses become default arguments, i.e. fast locals, so that
    the loop around stmt costs the same few instructions for every case."""
    params = "".join(f", {name}={name}" for name in env)
    source = _TEMPLATE.format(params=params, body=textwrap.indent(stmt, " " * 8))
    namespace = dict(env, _clock=CLOCKS[clock])
    exec(compile(source, "<timer>", "exec"), namespace)
    return namespace["timer"]


@dataclass(frozen=True)
class Mode:
    name: str
    processes: int
    warmups: int
    values: int
    min_time: float  # seconds one value should take; 0: no calibration
    fixed_loops: int = 1


MODES = {
    "smoke": Mode("smoke", processes=1, warmups=0, values=1, min_time=0.0, fixed_loops=1),
    "quick": Mode("quick", processes=4, warmups=1, values=3, min_time=0.004),
    "full": Mode("full", processes=10, warmups=1, values=5, min_time=0.015),
}

MAX_LOOPS = 2**30


def calibrate(timer, min_time: float) -> int:
    loops = 1
    while True:
        if timer(loops) >= min_time or loops >= MAX_LOOPS:
            return loops
        loops *= 2


def run_worker(cases, task: dict) -> dict:
    """Time the named cases in this process; returns {name: record}."""
    by_name = {case.name: case for case in cases}
    order = list(task["names"])
    random.Random(task["seed"]).shuffle(order)
    results = {}
    for name in order:
        case = by_name[name]
        timer = compile_timer(case.stmt, case.env, task["clock"])
        if task["loops"] is None:
            results[name] = {"loops": calibrate(timer, task["min_time"])}
            continue
        loops = task["loops"][name]
        per_op = loops * case.inner
        warmups = [timer(loops) / per_op for _ in range(task["warmups"])]
        values = [timer(loops) / per_op for _ in range(task["values"])]
        results[name] = {"loops": loops, "warmups": warmups, "values": values}
    return results


def spawn_worker(script: str, task: dict, tmpdir: str) -> dict:
    task_path = os.path.join(tmpdir, "task.json")
    out_path = os.path.join(tmpdir, "out.json")
    with open(task_path, "w") as f:
        json.dump(task, f)
    subprocess.run([sys.executable, script, "--worker", task_path, out_path], check=True)
    with open(out_path) as f:
        return json.load(f)


def measure(
    script: str, names: list[str], mode: Mode, workloads, clock: str, progress=None, shares=None, peers=()
) -> dict:
    """{name: [record of each worker process]}, with the loop count of every case.

    shares: {name: fraction of the processes that time it}, for cases slow
    enough that a few processes already give a steady median."""
    shares = shares or {}
    processes = {name: max(1, round(mode.processes * shares.get(name, 1.0))) for name in names}
    base = {
        "names": names,
        "workloads": list(workloads),
        "peers": list(peers),
        "clock": clock,
        "min_time": mode.min_time,
        "warmups": mode.warmups,
        "values": mode.values,
    }
    runs: dict[str, list] = {name: [] for name in names}
    with tempfile.TemporaryDirectory(prefix="velmora-bench-") as tmpdir:
        if mode.min_time:
            start = time.monotonic()
            calibrated = spawn_worker(script, dict(base, loops=None, seed=0), tmpdir)
            loops = {name: calibrated[name]["loops"] for name in names}
            if progress:
                progress(f"calibrated {len(names)} cases in {time.monotonic() - start:.0f} s")
        else:
            loops = {name: mode.fixed_loops for name in names}
        for p in range(mode.processes):
            start = time.monotonic()
            these = [name for name in names if p < processes[name]]
            result = spawn_worker(script, dict(base, names=these, loops=loops, seed=p + 1), tmpdir)
            for name in these:
                runs[name].append(result[name])
            if progress:
                progress(f"process {p + 1}/{mode.processes} done in {time.monotonic() - start:.0f} s")
    return runs
