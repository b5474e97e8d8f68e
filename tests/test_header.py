"""The Header record: construction, read-only fields, repr, unpacking and the
case-insensitive equality built from three name tests."""

import gc
import inspect
import types
import weakref

import pytest

from velmora.headers import Header, Headers, intern_header_name_bytes, intern_header_name_str

from support import BSub, FormatBoom, LowerIs, Texted

# ---- construction -----------------------------------------------------------


@pytest.mark.parametrize("raw", [b"Content-Type", b"content-type", b"CONTENT-TYPE"])
def test_bytes_name_is_the_interned_lowercase_object(raw):
    assert Header(raw, b"v").name is intern_header_name_bytes(b"content-type")


@pytest.mark.parametrize("raw", ["Content-Type", "X-Custom-Thing"])
def test_str_name_is_the_interned_lowercase_str(raw):
    name = Header(raw, 1).name
    assert type(name) is str
    assert name == raw.lower()
    assert name is intern_header_name_str(raw.lower())


def test_str_subclass_name_becomes_a_plain_lowercase_str():
    class S(str):
        pass

    name = Header(S("X-A"), 1).name
    assert type(name) is str
    assert name == "x-a"


@pytest.mark.parametrize("raw", [bytearray(b"X-Upper"), BSub(b"X-Upper"), None, 5, 2.5, ("a", "b")], ids=repr)
def test_other_names_are_stored_unchanged(raw):
    assert Header(raw, 1).name is raw


def test_value_is_stored_as_the_very_object():
    value = [b"Mixed-Case"]
    assert Header(b"a", value).value is value
    assert Header(b"a", 7).value == 7
    assert type(Header(b"a", 7).value) is int


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "__init__() takes exactly 2 positional arguments (0 given)"),
        ((b"x",), {}, "__init__() takes exactly 2 positional arguments (1 given)"),
        ((), {"name": b"x"}, "__init__() takes exactly 2 positional arguments (1 given)"),
        ((), {"value": b"x"}, "__init__() takes exactly 2 positional arguments (0 given)"),
        ((b"x", b"y", b"z"), {}, "__init__() takes exactly 2 positional arguments (3 given)"),
        ((b"x", b"y"), {"other": 1}, "__init__() got an unexpected keyword argument 'other'"),
        ((b"x",), {"value": 1, "other": 1}, "__init__() got an unexpected keyword argument 'other'"),
        ((b"x", b"y"), {"name": 1}, "__init__() got multiple values for keyword argument 'name'"),
        ((b"x",), {"name": 1}, "__init__() takes exactly 2 positional arguments (1 given)"),
    ],
)
def test_binding_messages(args, kwargs, message):
    with pytest.raises(TypeError) as e:
        Header(*args, **kwargs)
    assert str(e.value) == message


def test_keywords_bind_by_name():
    h = Header(value=2, name="N")
    assert (h.name, h.value) == ("n", 2)


def test_reinit_replaces_both_fields():
    h = Header(b"A", 1)
    h.__init__("B", 2)
    assert (h.name, h.value) == ("b", 2)


def test_failed_init_keeps_the_previous_fields():
    class Unprintable(str):
        def __str__(self):
            raise OSError("no text")

    h = Header(b"a", 1)
    with pytest.raises(OSError, match="no text"):
        h.__init__(Unprintable("x"), 2)
    with pytest.raises(TypeError):
        h.__init__(b"only-one")
    assert (h.name, h.value) == (b"a", 1)


def test_allocated_record_holds_none_and_ignores_new_arguments():
    h = Header.__new__(Header, 1, 2, k=3)
    assert h.name is None
    assert h.value is None
    assert repr(h) == "<Header None: None>"
    assert list(h) == [None, None]


@pytest.mark.parametrize("field", ["name", "value"])
def test_fields_are_read_only(field):
    h = Header(b"a", 1)
    with pytest.raises(AttributeError):
        setattr(h, field, 2)
    with pytest.raises(AttributeError):
        delattr(h, field)


def test_no_dict_no_new_attributes_no_weakref():
    h = Header(b"a", 1)
    with pytest.raises(AttributeError):
        _ = h.__dict__
    with pytest.raises(AttributeError):
        h.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(h)


# ---- representation ---------------------------------------------------------


@pytest.mark.parametrize(
    ("name", "value", "text"),
    [
        (b"Content-Type", b"text/html", "<Header b'content-type': b'text/html'>"),
        ("X-Id", 5, "<Header x-id: 5>"),
        (None, None, "<Header None: None>"),
        (7, 1.5, "<Header 7: 1.5>"),
        ("a", "plain text", "<Header a: plain text>"),
    ],
)
def test_repr_uses_format_of_each_field(name, value, text):
    h = Header(name, value)
    assert repr(h) == text
    assert str(h) == text


@pytest.mark.parametrize("where", ["name", "value"])
def test_repr_propagates_format_errors(where):
    h = Header(FormatBoom(), 1) if where == "name" else Header(b"a", FormatBoom())
    with pytest.raises(RuntimeError, match="no format"):
        repr(h)


# ---- iteration --------------------------------------------------------------


def test_unpacking_gives_name_then_value():
    name, value = Header(b"Host", b"example")
    assert (name, value) == (b"host", b"example")
    assert tuple(Header("a", None)) == ("a", None)


def test_iter_is_a_generator_lookalike():
    g = iter(Header(b"a", 1))
    assert g.__name__ == "__iter__"
    assert g.__qualname__ == "Header.__iter__"
    assert iter(g) is g
    assert next(g) == b"a"
    assert next(g) == 1
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(g)


def test_iter_reads_the_fields_at_each_step():
    h = Header(b"a", 1)
    g = iter(h)
    h.__init__(b"b", 2)
    assert next(g) == b"b"
    h.__init__(b"c", 3)
    assert next(g) == 3


def test_iter_send_close_throw():
    h = Header(b"a", 1)
    g = iter(h)
    with pytest.raises(TypeError, match="just-started"):
        g.send(1)
    assert g.send(None) == b"a"
    assert g.send("anything") == 1
    with pytest.raises(StopIteration):
        g.send(None)

    g = iter(h)
    next(g)
    assert g.close() is None
    with pytest.raises(StopIteration):
        next(g)

    g = iter(h)
    with pytest.raises(KeyError, match="thrown"):
        g.throw(KeyError("thrown"))
    with pytest.raises(StopIteration):
        next(g)
    with pytest.raises(ValueError, match="old style"):
        iter(h).throw(ValueError, "old style")


def test_iter_keeps_the_record_alive():
    g = iter(Header(b"kept", 1))
    gc.collect()
    assert list(g) == [b"kept", 1]


# ---- equality ---------------------------------------------------------------


@pytest.mark.parametrize(
    ("left", "right", "equal"),
    [
        (Header(b"a", 1), Header(b"A", 1), True),
        (Header(b"a", 1), Header(b"a", 1.0), True),
        (Header(b"a", b"1"), Header(b"a", "1"), False),
        (Header(b"a", 1), Header(b"b", 1), False),
        (Header(b"a", 1), Header("a", 1), False),
        # the text of the bytes name b'a' is the literal, quotes and all
        (Header(b"a", 1), Header("b'a'", 1), True),
        (Header(bytearray(b"AB"), 1), Header(bytearray(b"ab"), 1), True),
        (Header(BSub(b"X"), 1), Header(b"x", 1), True),
        (Header(BSub(b"x"), 1), Header("x", 1), False),
        (Header(None, 1), Header("None", 1), True),
        (Header(5, "v"), Header("5", "v"), True),
    ],
    ids=lambda v: repr(v) if isinstance(v, Header) else None,
)
def test_eq_and_ne(left, right, equal):
    assert (left == right) is equal
    assert (right == left) is equal
    assert (left != right) is (not equal)


def test_comparison_with_a_tuple_falls_back_to_identity():
    h = Header(b"a", 1)
    assert (h == (b"a", 1)) is False
    assert (h != (b"a", 1)) is True
    assert h.__eq__((b"a", 1)) is NotImplemented
    assert h.__ne__((b"a", 1)) is NotImplemented


def test_eq_returns_the_value_comparison_unconverted():
    class Odd:
        def __eq__(self, other):
            return "odd"

        __hash__ = None

    # other's value is the left operand
    assert (Header(b"a", 1) == Header(b"a", Odd())) == "odd"
    assert (Header(b"a", 1) != Header(b"a", Odd())) is False


def test_name_tests_in_order_with_a_name_property_on_other():
    reads = []

    class Named(Header):
        @property
        def name(self):
            reads.append(1)
            return b"X"

    other = Named(b"ignored", 1)
    # identity fails, == fails, then the lowered texts "b'x'" match
    assert Header(b"x", 1).__eq__(other) is True
    assert len(reads) == 3
    reads.clear()
    assert Header(b"y", 1).__eq__(other) is False
    assert len(reads) == 3


def test_identity_decides_before_equality_is_asked():
    class NeverEqual:
        def __eq__(self, other):
            raise AssertionError("compared")

        __hash__ = None

        def __format__(self, format_spec):
            return "n"

    n = NeverEqual()
    assert Header(n, 1) == Header(n, 1)


def test_other_name_is_the_left_operand_of_equality():
    seen = []

    class Spy:
        def __init__(self, tag):
            self.tag = tag

        def __eq__(self, other):
            seen.append(self.tag)
            return True

        __hash__ = None

    assert Header(Spy("self"), 1).__eq__(Header(Spy("other"), 1)) is True
    assert seen == ["other"]


@pytest.mark.parametrize(
    ("result", "expected"),
    [(5, TypeError("Expected str, got int")), (b"x", TypeError("Expected str, got bytes")), (None, False)],
)
def test_lower_result_must_be_str_or_none(result, expected):
    odd = type("Odd", (LowerIs,), {"result": result})
    left, right = Header(Texted(odd("x")), 1), Header("y", 1)
    if isinstance(expected, Exception):
        for a, b in ((left, right), (right, left)):
            with pytest.raises(type(expected)) as e:
                _ = a == b
            assert str(e.value) == str(expected)
    else:
        assert (left == right) is expected


def test_two_none_lowers_match():
    odd = type("Odd", (LowerIs,), {"result": None})
    assert Header(Texted(odd("x")), 1) == Header(Texted(odd("y")), 1)


def test_errors_in_comparisons_propagate():
    class Raises:
        def __eq__(self, other):
            raise KeyError("eq")

        __hash__ = None

    with pytest.raises(KeyError):
        _ = Header(b"a", 1) == Header(Raises(), 1)

    class BadTruth:
        def __bool__(self):
            raise ZeroDivisionError

    class Value:
        def __eq__(self, other):
            return BadTruth()

        __hash__ = None

    with pytest.raises(ZeroDivisionError):
        _ = Header(b"a", 1) != Header(b"a", Value())


@pytest.mark.parametrize("op", ["__lt__", "__le__", "__gt__", "__ge__"])
def test_ordering_is_not_supported(op):
    a, b = Header(b"a", 1), Header(b"b", 1)
    assert getattr(a, op)(b) is NotImplemented
    with pytest.raises(TypeError):
        sorted([a, b])


def test_unhashable_unsized_unindexable_and_always_true():
    h = Header(None, None)
    with pytest.raises(TypeError):
        hash(h)
    with pytest.raises(TypeError):
        _ = {h}
    with pytest.raises(TypeError):
        len(h)
    with pytest.raises(TypeError):
        h[0]
    assert bool(h) is True


def test_cycles_through_a_record_are_collected():
    class Marker:
        pass

    marker = Marker()
    probe = weakref.ref(marker)
    h = Header(b"a", marker)
    box = [h]
    h.__init__(box, marker)
    del h, box, marker
    gc.collect()
    assert probe() is None


# Every published signature, bound and unbound, accepts exactly the call
# the method itself accepts: one argument more or fewer fails both.
SIGNATURE_CALLS = {
    "get": (b"host",),
    "get_tuples": (b"host",),
    "get_first": (b"host",),
    "get_single": (b"host",),
    "contains": (b"host",),
    "remove": (b"host",),
    "add": (b"x-a", b"1"),
    "set": (b"x-a", b"1"),
    "merge": ([(b"x-a", b"1")],),
    "update": ({b"x-a": b"1"},),
    "add_many": ([(b"x-a", b"1")],),
    "items": (),
    "keys": (),
    "clone": (),
    "__iadd__": ([],),
}
STATIC_CALLS = {"_add_to_instance": 2}


@pytest.mark.parametrize("cls", [Headers, Header])
def test_every_published_signature_binds_like_the_call(cls):
    # Slot wrappers and __new__ are the interpreter's own; methods are ours.
    published = {
        n
        for n, m in vars(cls).items()
        if not isinstance(m, types.WrapperDescriptorType)
        and n != "__new__"
        and getattr(getattr(cls, n), "__text_signature__", None)
    }
    assert published == (set(SIGNATURE_CALLS) | set(STATIC_CALLS) if cls is Headers else set())
    for name in sorted(published):
        h = Headers([(b"host", b"h")])
        if name in STATIC_CALLS:
            args = (h, [])
            forms = [(getattr(Headers, name), args)]
        else:
            args = SIGNATURE_CALLS[name]
            forms = [(getattr(h, name), args), (getattr(Headers, name), (h, *args))]
        for fn, call in forms:
            sig = inspect.signature(fn)
            sig.bind(*call)
            for wrong in (call[:-1], (*call, 0)) if call else ((0,),):
                with pytest.raises(TypeError):
                    sig.bind(*wrong)
                with pytest.raises(TypeError):
                    fn(*wrong)
        fn, call = forms[0]
        fn(*call)
