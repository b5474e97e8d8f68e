"""Python subclasses of Headers: overrides reached from the module's own
operations (subscription, `in`, set, item assignment and deletion,
get_single, `+`), and the results those overrides must give."""

import pytest

from velmora.headers import Headers

from support import Broken, Recording, raises


def returning(method, result):
    """A Headers subclass whose `method` answers `result`, recording its calls."""
    calls = []

    def override(self, *args):
        calls.append(args)
        return result

    cls = type("Sub", (Headers,), {method: override})
    return cls([(b"k", b"v")]), calls


@pytest.mark.parametrize("result", [("x",), (), None], ids=["one", "empty", "none"])
def test_get_override_reaches_subscription(result):
    h, calls = returning("get", result)
    assert h[b"K"] is result
    assert h[0] is result
    assert calls == [(b"K",), (0,)]


@pytest.mark.parametrize(
    ("result", "message"),
    [
        ([b"v"], "Expected tuple, got list"),
        ("v", "Expected tuple, got str"),
        (type("T", (tuple,), {})(), "Expected tuple, got T"),
    ],
    ids=["list", "str", "tuple-subclass"],
)
def test_get_override_of_the_wrong_type(result, message):
    h, _ = returning("get", result)
    assert h.get(b"k") is result  # a Python call is not checked
    raises(TypeError, message, h.__getitem__, b"k")
    raises(TypeError, message, h.get_single, b"k")


def test_get_single_goes_through_get():
    h, calls = returning("get", ("only",))
    assert h.get_single(key=b"k") == "only"
    assert calls == [(b"k",)]
    raises(
        ValueError,
        "Headers contains more than one header with the given key",
        returning("get", (1, 2))[0].get_single,
        b"k",
    )
    raises(
        ValueError, "Headers does not contain one header with the given key", returning("get", ())[0].get_single, b"k"
    )
    raises(TypeError, "object of type 'NoneType' has no len()", returning("get", None)[0].get_single, b"k")


class Falsy:
    def __bool__(self):
        return False


@pytest.mark.parametrize(
    ("result", "expected"),
    [
        (True, True),
        (False, False),
        (None, False),
        (0, False),
        (2, True),
        ([], False),
        ([0], True),
        ("", False),
        (Falsy(), False),
    ],
    ids=repr,
)
def test_contains_override_truth(result, expected):
    h, calls = returning("contains", result)
    assert (b"x" in h) is expected
    assert h.contains(b"x") is result
    assert calls == [(b"x",), (b"x",)]


def test_contains_override_whose_truth_raises():
    h, _ = returning("contains", Broken())
    with pytest.raises(ZeroDivisionError, match="truth"):
        _ = b"x" in h
    with pytest.raises(ZeroDivisionError):
        h.set(b"x", b"y")
    assert h.values == [(b"k", b"v")]


def test_set_calls_contains_remove_and_add():
    h = Recording([(b"k", b"0"), (b"j", b"1")])
    h.set(b"K", b"new")
    assert h.log == [("contains", b"K"), ("remove", b"K"), ("add", b"K", b"new")]
    assert h.values == [(b"j", b"1"), (b"k", b"new")]
    h.log.clear()
    h.set(b"absent", 5)
    assert h.log == [("contains", b"absent"), ("add", b"absent", 5)]


def test_set_trusts_the_contains_override():
    h = Recording([(b"k", b"0")], present=False)
    h.set(b"k", b"1")
    assert h.values == [(b"k", b"0"), (b"k", b"1")]
    h = Recording([(b"j", b"0")], present=True)
    h.set(b"k", b"1")
    assert [entry[0] for entry in h.log] == ["contains", "remove", "add"]


def test_item_protocols_call_set_and_remove():
    h = Recording([(b"k", b"0")])
    h[b"k"] = b"1"
    del h["K"]
    h[7] = None
    assert h.log == [
        ("contains", b"k"),
        ("remove", b"k"),
        ("add", b"k", b"1"),
        ("remove", "K"),
        ("contains", 7),
        ("add", 7, None),
    ]
    assert h.values == [(7, None)]

    class SetOverride(Headers):
        def set(self, name, value):
            seen.append((name, value))

    seen = []
    s = SetOverride()
    s[b"a"] = b"b"
    s[0] = 1
    assert seen == [(b"a", b"b"), (0, 1)]
    assert s.values == []


def test_set_keeps_what_was_done_before_an_error():
    class FailingAdd(Headers):
        def add(self, name, value):
            raise ZeroDivisionError("add")

    h = FailingAdd([(b"k", b"0"), (b"j", b"1")])
    with pytest.raises(ZeroDivisionError):
        h[b"k"] = b"new"
    assert h.values == [(b"j", b"1")]


def test_results_of_add_remove_and_set_overrides_are_dropped():
    h, calls = returning("set", "ignored")
    h[b"a"] = b"b"
    assert calls == [(b"a", b"b")]
    h, calls = returning("remove", 42)
    del h[b"k"]
    assert calls == [(b"k",)]
    assert h.values == [(b"k", b"v")]


def test_override_shapes():
    class Static(Headers):
        get = staticmethod(lambda name: ("static", name))

    class Callable:
        def __call__(self, *args):
            return ("callable",) + args

    class Instance(Headers):
        get = Callable()

    class Alias(Headers):
        get = Headers.contains

    class Super(Headers):
        def get(self, name):
            return super().get(name) + ("extra",)

    assert Static()[b"k"] == ("static", b"k")
    assert Instance()[b"k"] == ("callable", b"k")
    raises(TypeError, "Expected tuple, got bool", Alias([(b"k", b"v")]).__getitem__, b"k")
    assert Super([(b"k", b"v")])[b"K"] == (b"v", "extra")


def test_plain_subclass_looks_up_once_per_call():
    looked_up = []

    class Counting(Headers):
        def __getattribute__(self, name):
            looked_up.append(name)
            return super().__getattribute__(name)

    h = Counting([(b"k", b"v")])
    assert h[b"k"] == (b"v",)
    assert looked_up == ["get"]
    looked_up.clear()
    assert h.get_single(b"k") == b"v"
    assert looked_up == ["get_single", "get"]
    looked_up.clear()
    h[b"k"] = b"w"
    assert looked_up == ["set", "contains", "remove", "add"]


def test_lookup_error_is_the_methods_error():
    class NoGet(Headers):
        def __getattribute__(self, name):
            if name == "get":
                raise LookupError("no get")
            return super().__getattribute__(name)

    h = NoGet([(b"k", b"v")])
    with pytest.raises(LookupError, match="no get"):
        h[b"k"]
    assert b"k" in h


def test_override_errors_propagate():
    class Raising(Headers):
        def contains(self, key):
            raise KeyError("contains")

    with pytest.raises(KeyError):
        _ = b"k" in Raising()


def test_clone_override_reaches_add():
    class OtherClone(Headers):
        def clone(self):
            return Marked([(b"from", b"clone")])

    class Marked(Headers):
        pass

    h = OtherClone([(b"src", b"1")])
    result = h + [(b"X", b"2")]
    assert type(result) is Marked
    assert result.values == [(b"from", b"clone"), (b"x", b"2")]
    result = [(b"Y", b"3")] + h
    assert type(result) is Marked
    assert result.values == [(b"from", b"clone"), (b"y", b"3")]
    assert h.values == [(b"src", b"1")]


@pytest.mark.parametrize(
    ("result", "type_name"), [(5, "int"), ([], "list"), (object(), "object")], ids=["int", "list", "object"]
)
def test_clone_override_of_the_wrong_type(result, type_name):
    h, _ = returning("clone", result)
    message = f"Cannot convert {type_name} to velmora.headers.Headers"
    raises(TypeError, message, lambda: h + [(b"a", b"b")])
    raises(TypeError, message, lambda: [(b"a", b"b")] + h)
    assert h.clone() is result


def test_plain_subclass_clone_is_a_headers():
    class Sub(Headers):
        pass

    result = Sub([(b"a", b"1")]) + [(b"b", b"2")]
    assert type(result) is Headers
    assert result.values == [(b"a", b"1"), (b"b", b"2")]


def test_overrides_on_an_uninitialised_subclass():
    class Lazy(Headers):
        def __init__(self):
            pass

        def get(self, name):
            return ("lazy",)

    h = Lazy()
    assert h.values is None
    assert h[b"k"] == ("lazy",)
    assert h.get_single(b"k") == "lazy"
    raises(TypeError, "'NoneType' object is not iterable", h.__contains__, b"k")
