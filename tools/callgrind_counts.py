"""Instructions per call of the hot lookups, counted by callgrind.

Each operation runs in its own interpreter under valgrind twice, once with
LOOPS calls and once with twice as many; the difference divided by LOOPS is
the cost of one call, the interpreter's own start-up and the loop's set-up
cancelling out.  The figure includes the bytecode that makes the call, which
is the same before and after a native change, so a change in it is the
native code's.  Counts are deterministic for a given build and interpreter:
compare two builds on one machine.

    .venv/bin/python tools/callgrind_counts.py [--loops N] [OPERATION ...]
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile

# A request as an ASGI server hands it over: lowercase bytes names.
REQUEST = [
    (b"host", b"example.com"),
    (b"user-agent", b"curl/8.5.0"),
    (b"accept", b"text/html"),
    (b"accept-encoding", b"gzip, br"),
    (b"accept-language", b"en"),
    (b"cookie", b"a=1"),
    (b"x-request-id", b"42"),
    (b"accept", b"application/json"),
]

# Each operation as the statement timed, over `h` (a Headers of REQUEST).
OPERATIONS = {
    "get_first": "h.get_first(b'accept-language')",
    "get": "h.get(b'accept')",
    "set": "h.set(b'x-request-id', b'43')",
    "contains": "h.contains(b'authorization')",
    "keys": "h.keys()",
}


def child(operation: str, loops: int) -> None:
    from velmora.headers import Headers

    h = Headers(list(REQUEST))
    code = compile(f"for _ in range({loops}):\n    {OPERATIONS[operation]}\n", "<timed>", "exec")
    namespace = {"h": h}
    exec(compile(OPERATIONS[operation], "<warm>", "exec"), namespace)
    exec(code, namespace)


def instructions(operation: str, loops: int) -> int:
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                f"--callgrind-out-file={out}",
                sys.executable,
                "-P",
                __file__,
                "--child",
                operation,
                "--loops",
                str(loops),
            ],
            check=True,
            env={**os.environ, "PYTHONHASHSEED": "0"},
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        with open(out) as f:
            for line in f:
                if line.startswith("totals:"):
                    return int(line.split()[1])
    raise RuntimeError(f"no totals in the callgrind output for {operation}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("operations", nargs="*", default=list(OPERATIONS), help=", ".join(OPERATIONS))
    parser.add_argument("--loops", type=int, default=20000)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.loops)
        return
    unknown = set(args.operations) - set(OPERATIONS)
    if unknown:
        parser.error(f"unknown operations: {', '.join(sorted(unknown))}")
    for operation in args.operations:
        once = instructions(operation, args.loops)
        twice = instructions(operation, 2 * args.loops)
        print(f"{operation:<10} {(twice - once) / args.loops:10.1f} instructions per call", flush=True)


if __name__ == "__main__":
    main()
