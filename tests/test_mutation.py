"""add, set, remove and the item assignment and deletion protocols."""

import sys

import pytest

from velmora import _vlm_core as core
from velmora.headers import Header, Headers, intern_header_name_bytes

from support import BSub, StrSub, api, raises


def test_add_stores_canonical_names_and_the_value_itself():
    h = Headers()
    value = object()
    h.add(b"Content-Type", value)
    h.add(b"X-Custom", b"1")
    h.add("X-Custom", 2)
    h.add(StrSub("X-Sub"), b"3")
    assert h.values[0][0] is core._lookup(b"content-type")
    assert h.values[0][1] is value
    assert h.values[1][0] == b"x-custom"
    assert type(h.values[1][0]) is bytes
    assert h.values[2] == ("x-custom", 2)
    assert h.values[2][0] is sys.intern("x-custom")
    assert h.values[3][0] is sys.intern("x-sub")
    assert all(type(e) is tuple and len(e) == 2 for e in h.values)
    lower = b"".join([b"x-", b"lower"])
    h.add(lower, b"4")
    assert h.values[4][0] is lower is intern_header_name_bytes(lower)


@pytest.mark.parametrize(
    "name", [BSub(b"X-A"), bytearray(b"X-A"), 5, None, Header(b"x", b"y"), 1.5], ids=lambda n: type(n).__name__
)
def test_add_keeps_other_names_unchanged(name):
    h = Headers()
    h.add(name, b"v")
    assert h.values[0][0] is name


def test_add_appends_without_looking():
    h = Headers([(b"a", b"0")])
    h.add(b"A", b"1")
    h.add(name=b"a", value=b"2")
    assert h.values == [(b"a", b"0"), (b"a", b"1"), (b"a", b"2")]


def test_add_errors_leave_the_list_unchanged():
    class Bad(str):
        def __str__(self):
            raise ZeroDivisionError("name")

    h = Headers([(b"a", b"0")])
    with pytest.raises(ZeroDivisionError):
        h.add(Bad("x"), b"v")
    assert h.values == [(b"a", b"0")]
    # A missing list is reported before the name is looked at.
    raises(AttributeError, "'NoneType' object has no attribute 'append'", Headers.__new__(Headers).add, Bad("x"), b"v")


def test_set_replaces_every_entry_of_the_name_at_the_end():
    h = Headers([(b"a", b"1"), (b"b", b"x"), ("A", b"2"), (b"c", b"y"), (b"A", b"3")])
    h.set(b"a", b"new")
    assert h.values == [(b"b", b"x"), (b"c", b"y"), (b"a", b"new")]
    h.set("D", "d")
    assert h.values[-1] == ("d", "d")
    assert len(h.values) == 4
    h.set(name=b"B", value=None)
    assert h.values == [(b"c", b"y"), (b"a", b"new"), ("d", "d"), (b"b", None)]


@pytest.mark.parametrize("matches", [1, 8, 9, 40])
@pytest.mark.parametrize("op", ["set", "remove"])
def test_many_matches_keep_the_rest_in_order(op, matches):
    # Interleaved matching entries, past any small fixed-size buffer, in
    # both bytes and str form; the list object itself is edited.
    values = []
    for i in range(matches):
        values.append((b"X-Dup" if i % 2 else "x-dup", str(i).encode()))
        values.append((b"keep", str(i).encode()))
    h = Headers(values)
    kept = [e for e in values if e[0] == b"keep"]
    if op == "set":
        h.set(b"x-dup", b"new")
        assert h.values == kept + [(b"x-dup", b"new")]
    else:
        h.remove("X-DUP")
        assert h.values == kept
    assert h.values is values
    assert all(a is b for a, b in zip(h.values, kept, strict=False))


def test_set_and_remove_with_a_str_subclass_name_among_entries():
    # A name whose lower() is Python code makes the collection take the
    # general path; the outcome must be the same.
    calls = []

    class Noisy(str):
        def lower(self):
            calls.append(str(self))
            return str.lower(self)

    h = Headers([(Noisy("X-A"), 1), (b"x-a", 2), (b"b", 3), (Noisy("B"), 4)])
    h.set("x-a", 5)
    assert [e[1] for e in h.values] == [3, 4, 5]
    assert calls
    h.remove(b"b")
    assert h.values == [("x-a", 5)]


def test_int_names():
    h = Headers([("5", b"s"), (b"5", b"b")])
    h.add(5, b"int")
    assert h.values[-1][0] == 5
    assert type(h.values[-1][0]) is int
    h.remove(5)
    assert h.values == [(5, b"int")]
    h = Headers([("5", b"s"), (b"x", b"x"), (b"5", b"b")])
    h.add(5, b"int")
    h.set(5, b"again")
    assert h.values == [(b"x", b"x"), (5, b"int"), (5, b"again")]


def test_item_assignment_and_deletion():
    h = Headers([(b"host", b"a"), (b"x", b"x"), ("Host", "b")])
    h[b"HOST"] = b"c"
    assert h.values == [(b"x", b"x"), (b"host", b"c")]
    h["0"] = b"zero"
    h[0] = b"int"
    assert h.values == [(b"x", b"x"), (b"host", b"c"), (0, b"int")]
    h.add("0", b"str")
    assert api.PySequence_SetItem(h, 0, b"seq") == 0
    assert h.values == [(b"x", b"x"), (b"host", b"c"), (0, b"int"), (0, b"seq")]
    h.add(b"-1", b"neg")
    assert api.PySequence_DelItem(h, -1) == 0
    del h["HOST"]
    del h[b"absent"]
    assert h.values == [(b"x", b"x"), (0, b"int"), (0, b"seq")]
    h.add("0", b"str")
    del h[0]
    assert h.values == [(b"x", b"x"), (0, b"int"), (0, b"seq")]


def test_remove_matches_across_forms():
    h = Headers([(b"host", 1), ("host", 2), ("HoSt", 3), (b"other", 4), (b"HOST", 5), (BSub(b"host"), 6)])
    h.remove(b"HOST")
    assert h.values == [(b"other", 4), (BSub(b"host"), 6)]
    h.remove("absent")
    h.remove(key=b"absent")
    assert [e[1] for e in h.values] == [4, 6]


def test_remove_deletes_the_matching_entries_themselves():
    # The non-matching entry compares equal to the matching one.
    decoy = (BSub(b"host"), b"v")
    match = (b"host", b"v")
    twin = (b"host", b"v")
    h = Headers([decoy, match, (b"x", b"1"), twin, match])
    h.remove(b"host")
    assert len(h.values) == 2
    assert h.values[0] is decoy
    assert h.values[1] == (b"x", b"1")


@pytest.mark.parametrize(
    ("bad", "message"),
    [
        (Header(b"host", b"v"), "Expected tuple, got velmora.headers.Header"),
        ([b"host", b"v"], "Expected tuple, got list"),
        (None, "'NoneType' object is not subscriptable"),
    ],
    ids=["header", "list", "none"],
)
def test_remove_with_a_malformed_entry_changes_nothing(bad, message):
    values = [(b"host", b"1"), bad, (b"host", b"2")]
    h = Headers(values)
    before = list(values)
    raises(TypeError, message, h.remove, b"host")
    raises(TypeError, message, h.__delitem__, b"host")
    with pytest.raises(TypeError):
        h.set(b"host", b"3")
    assert values == before
    assert all(a is b for a, b in zip(values, before, strict=True))


def test_remove_of_short_tuples():
    h = Headers([(b"a",), (b"b", b"2")])
    h.remove(b"a")
    assert h.values == [(b"b", b"2")]
    h = Headers([(), (b"b", b"2")])
    with pytest.raises((IndexError, TypeError)):
        h.remove(b"b")
    assert h.values == [(), (b"b", b"2")]


def test_remove_errors_while_matching_remove_nothing():
    h = Headers([("\u20ac", b"1"), (b"a", b"2")])
    with pytest.raises(UnicodeEncodeError):
        h.remove("\u20ac")
    assert len(h.values) == 2
    Headers([("\u20ac", b"1")]).remove("\u20ac")


def test_uninitialised_instance():
    h = Headers.__new__(Headers)
    raises(AttributeError, "'NoneType' object has no attribute 'append'", h.add, b"a", b"b")
    for fn in (h.remove, h.__delitem__):
        raises(TypeError, "'NoneType' object is not iterable", fn, b"a")
    for fn in (h.set, h.__setitem__):
        raises(TypeError, "'NoneType' object is not iterable", fn, b"a", b"b")
    assert h.values is None


@pytest.mark.parametrize(
    ("method", "params"), [("add", ("name", "value")), ("set", ("name", "value")), ("remove", ("key",))]
)
def test_argument_binding(method, params):
    fn = getattr(Headers(), method)
    n = len(params)
    s = "s" if n != 1 else ""
    raises(TypeError, f"{method}() takes exactly {n} positional argument{s} (0 given)", fn)
    raises(TypeError, f"{method}() takes exactly {n} positional argument{s} ({n + 1} given)", fn, *range(n + 1))
    raises(TypeError, f"{method}() got an unexpected keyword argument 'nom'", lambda: fn(*range(n), nom=1))
    raises(
        TypeError,
        f"{method}() got multiple values for keyword argument '{params[0]}'",
        lambda: fn(*range(n), **{params[0]: 1}),
    )
    if n == 2:
        raises(TypeError, f"{method}() takes exactly 2 positional arguments (1 given)", lambda: fn(b"a", nom=1))
        raises(TypeError, f"{method}() takes exactly 2 positional arguments (1 given)", lambda: fn(name=b"a"))


# ---- answers past the scans' inline buffers ------------------------------------
#
# The scans keep their first few matches, names or keys inline and move to
# the heap past them; each size below sits on one side of such an edge (8
# matches, 24 names before keys() builds its table, 64 names before that
# table grows, 16 keys and 64 entries for update()). The answer must not
# depend on which side.

SIZES = [1, 7, 8, 9, 16, 17, 24, 25, 63, 64, 65, 200]


def interleaved(n, name=b"dup"):
    """n fields of `name` between n other fields, each other name its own."""
    values = []
    for i in range(n):
        values.append((b"x-%d" % i, b"o%d" % i))
        values.append((name, b"d%d" % i))
    return values


def model_update(values, pairs):
    out = list(values)
    for k, v in pairs.items():
        low = k.lower()
        out = [e for e in out if e[0].lower() != low] + [(low, v)]
    return out


@pytest.mark.parametrize("n", SIZES)
@pytest.mark.parametrize("operation", ["get", "keys", "remove", "remove-general", "update"])
def test_answers_do_not_depend_on_the_inline_capacity(operation, n):
    values = interleaved(n)
    h = Headers(values)
    if operation == "get":
        assert h.get(b"DUP") == tuple(b"d%d" % i for i in range(n))
        assert h.get("dup") == tuple("d%d" % i for i in range(n))
    elif operation == "keys":
        names = [e[0] for e in values]
        assert h.keys() == tuple(dict.fromkeys(names))
        # A str name past the table's threshold is still a name of its own.
        h.add("x-0", b"s")
        assert h.keys() == (*dict.fromkeys(names), "x-0")
    elif operation == "remove":
        kept = [e for e in values if e[0] != b"dup"]
        h.remove(b"Dup")
        assert h.values == kept
        assert h.values is values
    elif operation == "remove-general":
        # A str-subclass name sends removal down the path that finds each
        # matched entry again by identity.
        values.insert(0, (StrSub("DUP"), b"first"))
        kept = [e for e in values[1:] if e[0] != b"dup"]
        h.remove(b"dup")
        assert h.values == kept
        assert all(a is b for a, b in zip(h.values, kept, strict=True))
    else:
        pairs = {b"X-%d" % i: b"new%d" % i for i in range(0, 2 * n, 2)}
        pairs[b"DUP"] = b"one"
        expected = model_update(values, pairs)
        h.update(pairs)
        assert h.values == expected
        assert h.values is values
