"""Coverage-guided fuzzing of velmora.headers.

Each fuzzer input is decoded by Hypothesis into one of two programs.

A model program: a starting collection, then up to 40 steps, each one of the
model test's rules (tests/test_model.py) with arguments drawn from the same
strategies (bytes, str and other names and values, malformed entries, shared
lists, operators, pickling, direct edits). After every step the native lists
must equal the model's and every lookup must agree with it, exactly as in the
model test.

A hostile program: collections holding names, keys, values and records whose
callbacks (__eq__, lower, __str__, __hash__, __index__, __del__, a property,
an overridden method) strike in the middle of an operation: they edit or
clear the list, re-initialise the collection or a record, unset the list,
raise, collect garbage or re-enter. No model can say what such a program
returns; what must hold is that the process survives, that no SystemError
appears, and that a field add or set reported written is in the list.

A disagreement, a SystemError or any exception escaping the harness is a
finding, and so is a crash or a report of AddressSanitizer.

    python fuzz/fuzz_headers.py [libFuzzer flags] [corpus dirs]

`make fuzz` runs it under atheris on a build of the extension and the core
instrumented by clang (-fsanitize=fuzzer-no-link,address), so the search is
guided by the coverage of both native libraries as well as the model's.
Without atheris the same programs are decoded from random bytes until
-max_total_time=N seconds have passed.
"""

import gc
import os
import pickle
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

import velmora.headers  # noqa: E402  (loaded by load_model, outside the instrumentation)
from velmora.headers import Header, Headers  # noqa: E402

RULES = sorted(model.RULE_ARGS)


@settings(database=None, deadline=None, max_examples=1, suppress_health_check=list(HealthCheck))
@given(st.data())
def program(data):
    if data.draw(st.booleans()):
        hostile_program(data)
        return
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


# ---------------------------------------------------------------------------
# Hostile programs: objects whose callbacks strike while the native code is
# in the middle of an operation.  No model can say what such a program must
# return, so the checks are the ones that hold whatever the callbacks do:
# the process survives (AddressSanitizer watches every native access), no
# SystemError (a result with an exception set, or none without one), and a
# field that add or set reported as written is in the collection's list.

STRIKES = ("append", "clear", "reinit", "unset", "record", "raise", "gc", "reenter")
# Strikes after which a field add or set wrote may legitimately be gone.
STRIKES_THAT_DROP = ("clear", "unset")
# add takes the list before it interns the name, so a strike from the name
# itself leaves the field in the list the collection had when the call
# began.  With these keys (and the collector off, see hostile_program)
# every strike comes before the field is appended: it must land in the
# list the collection holds in the end.
PURE_KEYS = (bytes, str, int, type(None))


class Hostile(Exception):
    """Raised by a callback on purpose."""


# The checksum __pyx_unpickle_Headers accepts, read through a hostile
# __index__ in the unpickle step.
CHECKSUM = Headers([]).__reduce_cython__()[1][1]


class Trap:
    action = None
    budget = 0
    target = None  # the collection a strike edits
    record = None  # the Header record a strike re-initialises
    # SystemErrors raised where they cannot propagate (in __del__).
    swallowed = []

    @classmethod
    def arm(cls, action, budget, target, record):
        cls.action, cls.target, cls.record = action, target, record
        # A re-initialisation replaces the list; doing it again later in
        # the same call could drop what the call has just written.
        cls.budget = 1 if action == "reinit" else budget

    @classmethod
    def strike(cls):
        if cls.budget <= 0:
            return
        cls.budget -= 1
        action, h = cls.action, cls.target
        if action == "raise":
            raise Hostile(action)
        if action == "gc":
            # The youngest generation holds what the program just made; a
            # full collection costs most of a run here.
            gc.collect(0)
        elif action == "record" and cls.record is not None:
            cls.record.__init__(b"X-Other", HValue())
        elif h is None:
            return
        elif action == "append" and type(h.values) is list:
            h.values.append((b"host", HValue()))
        elif action == "clear" and type(h.values) is list:
            h.values.clear()
        elif action == "reinit":
            h.__init__([(b"host", b"new")])
        elif action == "unset":
            h.__setstate__((None,))
        elif action == "reenter":
            h.get(b"host")
            list(h.items())


class HStr(str):
    """A name or key whose every hook strikes."""

    def __eq__(self, other):
        Trap.strike()
        return str.__eq__(self, other)

    def __ne__(self, other):
        Trap.strike()
        return str.__ne__(self, other)

    def __hash__(self):
        Trap.strike()
        return str.__hash__(self)

    def __str__(self):
        Trap.strike()
        return str.__str__(self)

    def lower(self):
        Trap.strike()
        return str.lower(self)


class HBytes(bytes):
    def __eq__(self, other):
        Trap.strike()
        return bytes.__eq__(self, other)

    def __ne__(self, other):
        Trap.strike()
        return bytes.__ne__(self, other)

    def __hash__(self):
        Trap.strike()
        return bytes.__hash__(self)

    def lower(self):
        Trap.strike()
        return bytes.lower(self)


class HValue:
    """A value that strikes when compared, printed or released."""

    def __eq__(self, other):
        Trap.strike()
        return self is other

    __hash__ = object.__hash__

    def __str__(self):
        Trap.strike()
        return "v"

    def __del__(self):
        # An exception cannot leave __del__; only a SystemError is news.
        try:
            Trap.strike()
        except SystemError as e:
            Trap.swallowed.append(e)
        except Exception:  # noqa: BLE001
            pass


class HIndex:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        Trap.strike()
        return self.n


class HRecord(Header):
    """A record whose name is read through Python code."""

    @property
    def name(self):
        Trap.strike()
        return Header.name.__get__(self)


class HSubHeaders(Headers):
    """A subclass whose overridden lookups strike before deferring."""

    def contains(self, key):
        Trap.strike()
        return Headers.contains(self, key)

    def get(self, key):
        Trap.strike()
        return Headers.get(self, key)


def hostile_texts(draw_text):
    return st.one_of(draw_text, st.sampled_from(["Host", "host", "content-type", "X-Custom", "", "\xe9"]))


plain_names = st.one_of(model.bytes_names, model.str_names)
hostile_names = st.one_of(
    plain_names,
    hostile_texts(model.str_names.filter(lambda s: type(s) is str)).map(HStr),
    st.sampled_from([b"Host", b"host", b"X-Custom", b"", b"\xc9"]).map(HBytes),
    st.sampled_from([None, 5, HIndex(1)]),
)
hostile_values = st.one_of(st.builds(HValue), st.builds(HValue), model.values, st.builds(HIndex, st.integers(0, 3)))
hostile_entries = st.one_of(st.tuples(hostile_names, hostile_values), model.entries)
hostile_lists = st.lists(st.one_of(hostile_entries, st.tuples(st.just(b"host"), st.builds(HValue))), max_size=6)
MAX_HOSTILE_STEPS = 12

OPERATIONS = (
    "add",
    "set",
    "setitem",
    "remove",
    "delitem",
    "get",
    "get_tuples",
    "get_first",
    "get_single",
    "contains",
    "in",
    "getitem",
    "keys",
    "items",
    "iter",
    "merge",
    "update",
    "add_many",
    "clone",
    "plus",
    "radd",
    "iadd",
    "pickle",
    "unpickle",
    "record",
    "record_eq",
    "intern",
    "append",
    "reinit",
)


def written(h, value):
    return type(h.values) is list and any(type(e) is tuple and len(e) == 2 and e[1] is value for e in h.values)


def hostile_step(data, collections, records):
    h = data.draw(st.sampled_from(collections))
    op = data.draw(st.sampled_from(OPERATIONS))
    action = data.draw(st.sampled_from(STRIKES))
    # Striking at the collection under operation is what breaks held
    # pointers and lists, so it is the most likely target.
    target = data.draw(st.sampled_from([h, h, *collections[:3]]))
    Trap.arm(action, data.draw(st.integers(1, 4)), target, data.draw(st.sampled_from(records)))
    key = data.draw(hostile_names)
    value = HValue()
    done = False
    try:
        if op == "add":
            h.add(key, value)
        elif op == "set":
            h.set(key, value)
        elif op == "setitem":
            h[key] = value
        elif op == "remove":
            h.remove(key)
        elif op == "delitem":
            del h[key]
        elif op in ("get", "get_tuples", "get_first", "get_single", "contains"):
            getattr(h, op)(key)
        elif op == "in":
            key in h  # noqa: B015
        elif op == "getitem":
            h[key]  # noqa: B018
        elif op == "keys":
            h.keys()
        elif op == "items":
            list(h.items())
        elif op == "iter":
            list(h)
        elif op == "merge":
            h.merge(data.draw(hostile_lists))
        elif op == "update":
            h.update(dict(data.draw(st.lists(st.tuples(hostile_names, hostile_values), max_size=4))))
        elif op == "add_many":
            h.add_many(data.draw(hostile_lists))
        elif op == "clone":
            collections.append(h.clone())
        elif op == "plus":
            collections.append(h + data.draw(st.sampled_from(collections)))
        elif op == "radd":
            collections.append(data.draw(hostile_lists) + h)
        elif op == "iadd":
            h += data.draw(hostile_lists)
        elif op == "pickle":
            collections.append(pickle.loads(pickle.dumps(h)))
        elif op == "unpickle":
            state = (data.draw(hostile_lists),)
            collections.append(velmora.headers.__pyx_unpickle_Headers(type(h), HIndex(CHECKSUM), state))
        elif op == "record":
            records.append(data.draw(st.sampled_from([Header, HRecord]))(key, value))
        elif op == "record_eq":
            a, b = data.draw(st.sampled_from(records)), data.draw(st.sampled_from(records))
            a == b  # noqa: B015
            a != b  # noqa: B015
        elif op == "intern":
            velmora.headers.intern_header_name_str(key)
            if type(key) is bytes:
                velmora.headers.intern_header_name_bytes(key)
        elif op == "append" and type(h.values) is list:
            h.values.append((key, value))
        elif op == "reinit":
            h.__init__(data.draw(hostile_lists))
        done = True
    except SystemError:
        raise
    except Exception:  # noqa: BLE001  (any clean exception is a correct outcome here)
        pass
    finally:
        Trap.arm(None, 0, None, None)
    if Trap.swallowed:
        raise Trap.swallowed.pop()
    if done and op in ("add", "set", "setitem") and action not in STRIKES_THAT_DROP and type(key) in PURE_KEYS:
        assert written(h, value), f"{op} under {action}: the field written is not in {h.values!r}"
    del value
    if len(collections) > 6:
        del collections[: len(collections) - 6]
    if len(records) > 4:
        del records[: len(records) - 4]


def hostile_program(data):
    Trap.arm(None, 0, None, None)
    Trap.swallowed.clear()
    # The collector would run finalizers at any allocation; strikes come
    # only from hooks (a "gc" strike collects on purpose).
    gc.disable()
    try:
        run_hostile(data)
    finally:
        Trap.arm(None, 0, None, None)
        gc.enable()


def run_hostile(data):
    collections = [
        data.draw(st.sampled_from([Headers, HSubHeaders, model.SubHeaders]))(data.draw(hostile_lists))
        for _ in range(data.draw(st.integers(1, 3)))
    ]
    records = [Header(b"host", b"h"), HRecord("Host", HValue())]
    for _ in range(data.draw(st.integers(1, MAX_HOSTILE_STEPS))):
        hostile_step(data, collections, records)


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
