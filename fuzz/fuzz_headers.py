"""Coverage-guided fuzzing of velmora.headers against the model of
tests/test_model.py.

Each fuzzer input is decoded by Hypothesis into a program: a starting
collection, then up to 40 steps, each one of the model test's rules with
arguments drawn from the same strategies (bytes, str and other names and
values, malformed entries, shared lists, operators, pickling, direct edits).
After every step the native lists must equal the model's and every lookup
must agree with it, exactly as in the model test; a disagreement, or any
exception escaping the harness, is a finding, and a crash of the native
module is one by itself.

    python fuzz/fuzz_headers.py [libFuzzer flags] [corpus dirs]

With atheris (a venv of its own, see `make fuzz`) the search is guided by
coverage of the harness and the model, which follows every branch the
native module takes in its answers. Without atheris the same programs are
decoded from random bytes until -max_total_time=N seconds have passed.
"""

import os
import sys
import time
from pathlib import Path

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

MODEL_PATH = Path(__file__).resolve().parent.parent / "tests" / "test_model.py"
MAX_STEPS = 40

try:
    import atheris
except ImportError:  # the fallback below needs nothing more
    atheris = None


def load_model():
    # The model test takes its budget from a profile conftest.py normally
    # registers; here every input is one program.
    settings.register_profile("model", max_examples=1)
    sys.path.insert(0, str(MODEL_PATH.parent))
    import pytest  # noqa: F401  (imported by the model; kept out of the instrumentation)
    import velmora.headers  # noqa: F401

    if atheris is None:
        import test_model
    else:
        with atheris.instrument_imports(include=["test_model"]):
            import test_model
    return test_model


model = load_model()

RULES = sorted(model.RULE_ARGS)


@settings(database=None, deadline=None, max_examples=1, suppress_health_check=list(HealthCheck))
@given(st.data())
def program(data):
    machine = model.HeadersMachine()
    machine.start(data.draw(model.entry_lists), data.draw(st.booleans()))
    machine.lists_agree()
    machine.lookups_agree()
    for _ in range(data.draw(st.integers(0, MAX_STEPS))):
        name = data.draw(st.sampled_from(RULES))
        arguments = {arg: data.draw(strategy, label=arg) for arg, strategy in model.RULE_ARGS[name].items()}
        getattr(machine, name)(**arguments)
        machine.lists_agree()
        machine.lookups_agree()


one_input = program.hypothesis.fuzz_one_input


def budget(argv):
    for arg in argv:
        if arg.startswith("-max_total_time="):
            return float(arg.split("=", 1)[1])
    return 60.0


def random_inputs(argv):
    """No libFuzzer: random inputs of random sizes for the time budget."""
    deadline = time.monotonic() + budget(argv)
    runs = 0
    while time.monotonic() < deadline:
        one_input(os.urandom(int.from_bytes(os.urandom(2), "little") % 4096 + 16))
        runs += 1
    print(f"fuzz_headers: {runs} random programs, no finding", flush=True)


def main():
    if atheris is None:
        random_inputs(sys.argv[1:])
        return
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
