"""Seeded mutation run over the native code: plants one fault at a time,
rebuilds incrementally, runs a quick subset of the suite with -x, and prints
a table of killed and surviving mutants.  Not part of CI: `make mutation`.

    python tools/mutation.py [--seed N] [--count N] [--site FILE:LINE:OPERATOR ...] [--tests PATH ...]

Needs a tree built once by `make build`.  Every file is restored and the
installed modules rebuilt from it when the run ends, however it ends."""

import argparse
import glob
import os
import random
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCES = sorted(
    glob.glob(os.path.join(ROOT, "native/headers/*.cpp")) + glob.glob(os.path.join(ROOT, "native/core/*.cpp"))
)

# Each operator turns one match on a line into a plausible slip.
OPERATORS = {
    "drop-null-check": (r"if \(!\w+\) return (nullptr|-1);", ""),
    "drop-error-check": (r"< 0\) return (-1|nullptr);", r"< -1) return \1;"),
    "drop-decref": (r"Py_DECREF\([^;]*\);", ""),
    "drop-newref": (r"Py_NewRef\(([\w>.-]+)\)", r"\1"),
    "eq-to-ne": (r"(?<=[\w)\]]) == (?=[\w(])", " != "),
    "and-to-or": (r" && ", " || "),
    "lt-to-le": (r"(?<=\w) < (?=\w)", " <= "),
    "return-0-to-1": (r"return 0;", "return 1;"),
    "drop-clear": (r"PyErr_Clear\(\);", ""),
    "return-borrowed": (r"return Py_NewRef\((.*)\);", r"return \1;"),
    "message-word": (r"%zd item%s", "%zd item(s)%s"),
    "extra-newref": (r"return Py_NewRef\((.*)\);", r"return Py_NewRef(Py_NewRef(\1));"),
}

# The quick subset: no benchmark, packaging, distribution, stubs, Cython,
# C or C++ consumers, and the model test on a small budget.  test_core.py
# stays: it is the only test that drives native/core directly.
SKIP = ["test_bench.py", "test_distribution.py", "test_packaging.py", "test_stubs.py", "test_cython.py",
        "test_cpp.py", "test_capi.py", "test_example_asgi.py"]  # fmt: skip
# With -x a killed mutant costs only the files run before the failing test:
# the quick, pointed ones go first, the slowest (the leak checks) last.
FIRST = ["test_core.py", "test_robustness.py", "test_hostile.py"]
LAST = ["test_model.py", "test_nomemory.py", "test_leaks.py"]


def quick_subset():
    names = sorted(os.path.basename(p) for p in glob.glob(os.path.join(ROOT, "tests/test_*.py")))
    rank = {name: i for i, name in enumerate(FIRST)} | {name: 1000 + i for i, name in enumerate(LAST)}
    names = sorted((n for n in names if n not in SKIP), key=lambda n: (rank.get(n, len(FIRST)), n))
    return [os.path.join("tests", n) for n in names]


def sites():
    found = []
    for path in SOURCES:
        with open(path) as f:
            for number, line in enumerate(f, 1):
                code = line.split("//")[0]
                if code.lstrip().startswith(("#", "*")) or "static_assert" in code:
                    continue
                for name, (pattern, _) in OPERATORS.items():
                    if re.search(pattern, code):
                        found.append((os.path.relpath(path, ROOT), number, name))
    return found


def build_dir():
    tag = f"cp{sys.version_info[0]}{sys.version_info[1]}-cp{sys.version_info[0]}{sys.version_info[1]}-linux_{os.uname().machine}"
    return os.path.join(ROOT, "build", tag)


def rebuild(python):
    env = dict(os.environ, PATH=os.path.dirname(python) + os.pathsep + os.environ["PATH"])
    run = subprocess.run(["ninja", "-C", build_dir()], capture_output=True, text=True, env=env)
    if run.returncode != 0:
        return False
    target = subprocess.run(
        [python, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"], capture_output=True, text=True
    ).stdout.strip()
    for so in glob.glob(os.path.join(build_dir(), "*.so")):
        shutil.copy2(so, os.path.join(target, "velmora", os.path.basename(so)))
    return True


def run_suite(python, timeout, tests):
    args = [python, "-P", "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider"]
    args += tests or quick_subset()
    env = dict(os.environ, VELMORA_MODEL_EXAMPLES="25")
    try:
        run = subprocess.run(args, cwd=ROOT, capture_output=True, text=True, timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        return "killed (timeout)"
    if run.returncode == 0:
        return "SURVIVED"
    failed = re.findall(r"^(?:FAILED|ERROR) (\S+)", run.stdout, re.M)
    return "killed: " + (failed[0] if failed else f"exit {run.returncode}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=17)
    parser.add_argument("--count", type=int, default=30)
    parser.add_argument("--site", action="append", help="FILE:LINE:OPERATOR instead of a random draw")
    parser.add_argument("--python", default=os.path.join(ROOT, ".venv/bin/python"))
    parser.add_argument("--timeout", type=int, default=300)
    parser.add_argument("--tests", nargs="*", help="test files or ids to run instead of the quick subset")
    options = parser.parse_args()
    if options.site:
        chosen = [(f, int(n), op) for f, n, op in (s.split(":") for s in options.site)]
    else:
        every = sites()
        chosen = sorted(random.Random(options.seed).sample(every, min(options.count, len(every))))
        print(f"{len(chosen)} of {len(every)} sites, seed {options.seed}", flush=True)
    print("| # | site | operator | before | after | result |\n|---|---|---|---|---|---|", flush=True)
    try:
        for i, (path, number, name) in enumerate(chosen, 1):
            full = os.path.join(ROOT, path)
            with open(full) as f:
                original = f.read()
            lines = original.splitlines(keepends=True)
            pattern, replacement = OPERATORS[name]
            before = lines[number - 1]
            lines[number - 1] = re.sub(pattern, replacement, before, count=1)
            after = lines[number - 1]
            started = time.monotonic()
            try:
                with open(full, "w") as f:
                    f.writelines(lines)
                result = (
                    run_suite(options.python, options.timeout, options.tests)
                    if rebuild(options.python)
                    else "does not build"
                )
            finally:
                with open(full, "w") as f:
                    f.write(original)
            cell = lambda s: "`" + s.strip().replace("|", "\\|") + "`"  # noqa: E731
            print(f"| {i} | {path}:{number} | {name} | {cell(before)} | {cell(after)} | {result} "
                  f"({time.monotonic() - started:.0f} s) |", flush=True)  # fmt: skip
    finally:
        if not rebuild(options.python):
            sys.exit("the restored tree does not build")


if __name__ == "__main__":
    main()
