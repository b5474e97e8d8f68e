"""Classes of fault that behaviour tests do not see: a caller's exception
replaced on the way out, reference counts of objects the caller keeps, an
import that fails part-way, and messages nobody reads word for word."""

import gc
import pickle
import sys

import pytest

from velmora.headers import Header, Headers, intern_header_name_bytes, intern_header_name_str

from support import Boom, FailingEntry, fresh_bytes, iadd, raises, run_python


class DictRaises(Headers):
    @property
    def __dict__(self):
        raise Boom("__dict__")


class NameRaises(Header):
    @property
    def name(self):
        raise Boom("name")


class ValueRaises(Header):
    @property
    def value(self):
        raise Boom("value")


def keys_of_failing_entry():
    FailingEntry.indexed = 0
    try:
        Headers([FailingEntry((b"a", b"1"))]).keys()
    finally:
        assert FailingEntry.indexed == 1


@pytest.mark.parametrize(
    "operation",
    [
        lambda: Headers([(b"x", b"1"), FailingEntry((b"a", b"1"))]).clone(),
        lambda: pickle.dumps(DictRaises([(b"a", b"1")])),
        lambda: iadd(Headers(), [FailingEntry((b"a", b"1"))]),
        keys_of_failing_entry,
        lambda: ValueRaises(b"a", 1) == ValueRaises(b"a", 1),
        lambda: iadd(Headers(), NameRaises(b"a", 1)),
        lambda: iadd(Headers(), ValueRaises(b"a", 1)),
    ],
    ids=["clone-iteration", "pickle-dict", "iadd-index", "keys-index-once", "eq-value", "iadd-name", "iadd-value"],
)
def test_the_callers_error_reaches_the_caller_unchanged(operation):
    with pytest.raises(Boom) as info:
        operation()
    assert type(info.value) is Boom
    assert info.value.__cause__ is None


def as_bytes(n):
    return n if isinstance(n, bytes) else n.encode()


def as_str(n):
    return n if isinstance(n, str) else n.decode()


def one(n, v):
    # Stored names are bytes; a str name is what the methods are passed.
    return Headers([(as_bytes(n), v)])


# Each operation is given a name and a value that only the test holds; once
# the operation and what it made are gone, their counts are as before.
OPERATIONS = {
    "construct-keyword": lambda n, v: Headers(**{"".join(["val", "ues"]): [(as_bytes(n), v)]}),
    "get": lambda n, v: one(n, v).get(n),
    "get-str": lambda n, v: one(n, v).get(as_str(n)),
    "get_tuples": lambda n, v: one(n, v).get_tuples(n),
    "get_first": lambda n, v: one(n, v).get_first(n),
    "get_single": lambda n, v: one(n, v).get_single(n),
    "contains": lambda n, v: (one(n, v).contains(n), n in one(n, v), one(n, v)[n]),
    "add": lambda n, v: Headers().add(n, v),
    "set": lambda n, v: one(n, v).set(n, v),
    "remove": lambda n, v: one(n, v).remove(n),
    "merge": lambda n, v: Headers().merge([(as_bytes(n), v)]),
    "update": lambda n, v: one(n, v).update({n: v}),
    "add_many": lambda n, v: (Headers().add_many([(as_bytes(n), v)]), Headers().add_many({n: v})),
    "operators": lambda n, v: (one(n, v) + [(as_bytes(n), v)], iadd(Headers(), Header(as_bytes(n), v))),
    "views": lambda n, v: (one(n, v).keys(), list(one(n, v).items()), list(one(n, v))),
    "clone": lambda n, v: one(n, v).clone(),
    "pickle": lambda n, v: pickle.loads(pickle.dumps(one(n, v))),
    "header": lambda n, v: (Header(as_bytes(n), v) == Header(as_bytes(n), v), repr(Header(as_bytes(n), v))),
    "header-unpack": lambda n, v: tuple(Header(as_bytes(n), v)),
    "interning": lambda n, v: (intern_header_name_bytes(as_bytes(n)), intern_header_name_str(as_str(n))),
}


# A str name the caller passes may already be interned (the canonical object
# itself, and for a well-known name the one the tables hold): those take the
# shortcuts that hand the caller's own object back.
NAMES = {
    "bytes": lambda: fresh_bytes(b"x-sweep-name"),
    "bytes-upper": lambda: fresh_bytes(b"X-Sweep-Name"),
    "bytes-known": lambda: fresh_bytes(b"host"),
    "str": lambda: "".join(["x-sweep-", "name"]),
    "str-interned": lambda: sys.intern("".join(["x-sweep-", "interned"])),
    "str-known-interned": lambda: sys.intern("".join(["ho", "st"])),
}


@pytest.mark.parametrize("operation", sorted(OPERATIONS))
@pytest.mark.parametrize("kind", list(NAMES))
def test_reference_counts_of_what_the_caller_keeps(operation, kind):
    fn = OPERATIONS[operation]
    name, value = NAMES[kind](), fresh_bytes(b"value")
    fn(name, value)  # caches settle first
    # The canonical str of the name outlives the call too: the interning
    # caches hand it out in place of an equal str the caller passes.
    kept = name, value, sys.intern(as_str(name).lower())
    gc.collect()
    before = [sys.getrefcount(o) for o in kept]
    for _ in range(3):
        fn(name, value)
    gc.collect()
    assert [sys.getrefcount(o) for o in kept] == before


def test_a_well_known_name_interned_before_the_import_keeps_its_count():
    # Interned by Python code before the import, the tables' str of a
    # well-known name is an ordinary counted object (made by the import
    # itself it is immortal on 3.13), so there an extra reference leaks.
    out = run_python(
        """
        import sys
        canonical = sys.intern("".join(["ho", "st"]))
        from velmora.headers import Headers, intern_header_name_str
        names = ["".join(["Ho", "st"]), "".join(["ho", "st"])]
        h = Headers([(b"host", b"v")])
        def calls():
            for n in names:
                intern_header_name_str(n), h.get_first(n), h.get(n), n in h
        calls()
        before = sys.getrefcount(canonical)
        for _ in range(3):
            calls()
        print(sys.getrefcount(canonical) - before)
        """
    )
    assert out == "0"


def test_header_unpacking_keeps_reference_counts():
    name, value = fresh_bytes(b"x-unpack"), fresh_bytes(b"v")
    header = Header(name, value)
    before = sys.getrefcount(name), sys.getrefcount(value)
    for _ in range(3):
        a, b = header
        del a, b
    assert (sys.getrefcount(name), sys.getrefcount(value)) == before


@pytest.mark.parametrize(
    "failure",
    [
        'sys.modules["collections.abc"] = None',
        'sys.modules["collections.abc"] = type(sys)("collections.abc")',
    ],
    ids=["abc-missing", "abc-empty"],
)
def test_a_failed_import_leaves_no_module_behind(failure):
    out = run_python(
        f"""
        import collections.abc, gc, importlib.util, sys, types
        import velmora._vlm_core
        saved = sys.modules["collections.abc"]
        spec = importlib.util.find_spec("velmora.headers")
        # Ten failures: more than the interpreter has dict watcher ids.
        for load in [lambda: __import__("velmora.headers")] + 9 * [lambda: spec.loader.exec_module(
                importlib.util.module_from_spec(spec))]:
            {failure}
            try:
                load()
            except ImportError as exc:
                print(exc)
            sys.modules["collections.abc"] = saved
            gc.collect()
            assert "velmora.headers" not in sys.modules
            left = [m for m in gc.get_objects() if isinstance(m, types.ModuleType) and m.__name__ == "velmora.headers"]
            assert not left, gc.get_referrers(left[0])
        import velmora.headers
        print(velmora.headers.Headers([(b"a", b"1")]).get(b"A"))
        """
    )
    first = (
        "import of collections.abc halted; None in sys.modules" if "None" in failure else "cannot import name Mapping"
    )
    assert out.splitlines() == 10 * [first] + ["(b'1',)"]


def test_every_message_word_for_word():
    # The messages no other test reads in full.
    gen = Headers([(b"a", b"1")]).items()
    raises(TypeError, "can't send non-None value to a just-started generator", gen.send, 1)
    raises(TypeError, "throw expected at least 1 argument, got 0", gen.throw)
    raises(TypeError, "instance exception may not have a separate value", gen.throw, ValueError(), 1)
    raises(TypeError, "exceptions must be classes or instances deriving from BaseException, not int", gen.throw, 1)
    raises(ValueError, "velmora.headers.Header state needs 2 items, got 1", Header(b"a", 1).__setstate__, ("n",))
    raises(ValueError, "velmora.headers.Headers state needs 1 item, got 0", Headers().__setstate__, ())
    out = run_python(
        """
        import _imp, importlib.util
        spec = importlib.util.find_spec("velmora.headers")
        first, second = _imp.create_dynamic(spec), _imp.create_dynamic(spec)
        _imp.exec_dynamic(first)
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as exc:
            print(exc)
        """
    )
    assert out == "Module 'headers' has already been imported. Re-initialisation is not supported."
