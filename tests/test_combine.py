"""clone() and the bulk operations: merge, update, add_many,
_add_to_instance and the +, reflected + and += operators."""

from collections.abc import Mapping, MutableSequence

import pytest

from velmora.headers import Header, Headers

from support import A, B, PlainMapping, iadd, raises_exactly


class AddLog(Headers):
    """Records every add() that reaches it, then stores as usual."""

    def __init__(self, values=None):
        super().__init__(values)
        self.calls = []

    def add(self, name, value):
        self.calls.append((name, value))
        super().add(name, value)


# ---- clone ------------------------------------------------------------------


def test_clone_of_empty_is_a_new_collection_with_a_new_list():
    h = Headers()
    c = h.clone()
    assert type(c) is Headers
    assert c is not h
    assert c.values == []
    assert c.values is not h.values


def test_clone_shares_name_and_value_objects_in_new_tuples():
    values = [A, (b"x-y", None), (None, b"v"), B]
    c = Headers(values).clone()
    assert c.values == values
    for new, old in zip(c.values, values, strict=True):
        assert new is not old
        assert new[0] is old[0]
        assert new[1] is old[1]


def test_clone_is_independent_of_its_source():
    h = Headers([A])
    c = h.clone()
    c.add(b"X", b"y")
    h.remove(b"a")
    assert h.values == []
    assert c.values == [A, (b"x", b"y")]


def test_clone_of_a_subclass_is_a_plain_headers():
    class Sub(Headers):
        pass

    assert type(Sub([A]).clone()) is Headers


@pytest.mark.parametrize(
    "entry",
    [[b"a", b"1"], Header(b"a", b"1"), iter([b"a", b"1"])],
    ids=["list", "Header", "iterator"],
)
def test_clone_turns_pairs_of_any_kind_into_tuples(entry):
    assert Headers([entry]).clone().values == [A]
    assert type(Headers([[b"a", b"1"]]).clone().values[0]) is tuple


@pytest.mark.parametrize(
    ("entry", "error", "message"),
    [
        ((b"a", b"1", b"2"), ValueError, "too many values to unpack (expected 2)"),
        ([b"a", b"1", b"2"], ValueError, "too many values to unpack (expected 2)"),
        ((b"a",), ValueError, "need more than 1 value to unpack"),
        ([b"a"], ValueError, "need more than 1 value to unpack"),
        ((), ValueError, "need more than 0 values to unpack"),
        ([], ValueError, "need more than 0 values to unpack"),
        (iter([]), ValueError, "need more than 0 values to unpack"),
        (iter([b"a"]), ValueError, "need more than 1 value to unpack"),
        (iter([b"a", b"b", b"c"]), ValueError, "too many values to unpack (expected 2)"),
        (("a", b"1"), TypeError, "Expected bytes, got str"),
        ((b"a", "1"), TypeError, "Expected bytes, got str"),
        ((b"a", 1), TypeError, "Expected bytes, got int"),
        ((bytearray(b"a"), b"1"), TypeError, "Expected bytes, got bytearray"),
        (Header("a", b"1"), TypeError, "Expected bytes, got str"),
        (5, TypeError, "'int' object is not iterable"),
        (None, TypeError, "'NoneType' object is not iterable"),
    ],
    ids=repr,
)
def test_clone_rejects(entry, error, message):
    h = Headers([A, entry])
    before = list(h.values)
    with raises_exactly(error, message):
        h.clone()
    assert h.values == before


def test_clone_rejects_str_names_stored_by_add():
    h = Headers()
    h.add("X-Str", b"v")
    with raises_exactly(TypeError, "Expected bytes, got str"):
        h.clone()


def test_clone_propagates_iteration_errors():
    class Pair:
        def __iter__(self):
            yield b"a"
            raise OSError("broken pair")

    with pytest.raises(OSError, match="broken pair"):
        Headers([Pair()]).clone()


def test_clone_survives_the_source_list_shrinking_mid_walk():
    values = []

    class Shrinks:
        def __iter__(self):
            values.clear()
            return iter([b"s", b"t"])

    values.extend([A, Shrinks(), B, B])
    assert Headers(values).clone().values == [A, (b"s", b"t")]


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda h: h.clone(1), TypeError, "clone() takes exactly 0 positional arguments (1 given)"),
        (lambda h: h.clone(x=1), TypeError, "clone() got an unexpected keyword argument 'x'"),
        (lambda h: Headers.__new__(Headers).clone(), TypeError, "'NoneType' object is not iterable"),
    ],
)
def test_clone_call_errors(call, error, message):
    with raises_exactly(error, message):
        call(Headers())


# ---- merge ------------------------------------------------------------------


def test_merge_appends_the_very_tuples_and_skips_none():
    entry = (b"X-Upper", b"1")
    h = Headers([A])
    assert h.merge([entry, None, B]) is None
    assert h.values == [A, entry, B]
    assert h.values[1] is entry
    # stored as given, still found
    assert h.get(b"x-upper") == (b"1",)


def test_merge_keeps_tuples_of_any_length():
    h = Headers()
    h.merge([(), (b"one",), (b"a", b"b", b"c")])
    assert h.values == [(), (b"one",), (b"a", b"b", b"c")]


@pytest.mark.parametrize(
    ("arg", "error", "message"),
    [
        ((A,), TypeError, "Argument 'values' has incorrect type (expected list, got tuple)"),
        ({}, TypeError, "Argument 'values' has incorrect type (expected list, got dict)"),
        (type("L", (list,), {})([A]), TypeError, "Argument 'values' has incorrect type (expected list, got L)"),
        (None, TypeError, "'NoneType' object is not iterable"),
    ],
    ids=["tuple", "dict", "list-subclass", "None"],
)
def test_merge_argument_errors_change_nothing(arg, error, message):
    h = Headers([A])
    with raises_exactly(error, message):
        h.merge(arg)
    assert h.values == [A]


@pytest.mark.parametrize(
    ("bad", "message"),
    [([b"n", b"v"], "Expected tuple, got list"), (Header(b"n", 1), "Expected tuple, got velmora.headers.Header")],
)
def test_merge_element_errors_keep_what_went_before(bad, message):
    h = Headers()
    with raises_exactly(TypeError, message):
        h.merge([A, bad, B])
    assert h.values == [A]


def test_merge_into_uninitialised_collection():
    h = Headers.__new__(Headers)
    h.merge([None])
    h.merge([])
    with raises_exactly(AttributeError, "'NoneType' object has no attribute 'append'"):
        h.merge([A])


def test_merge_own_list_walks_the_entries_present_at_the_start():
    h = Headers([A, B])
    h.merge(h.values)
    assert h.values == [A, B, A, B]


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda h: h.merge(), "merge() takes exactly 1 positional argument (0 given)"),
        (lambda h: h.merge([], []), "merge() takes exactly 1 positional argument (2 given)"),
        (lambda h: h.merge([], values=[]), "merge() got multiple values for keyword argument 'values'"),
        (lambda h: h.merge(other=[]), "merge() takes exactly 1 positional argument (0 given)"),
    ],
)
def test_merge_binding(call, message):
    with raises_exactly(TypeError, message):
        call(Headers())


def test_merge_by_keyword():
    h = Headers()
    h.merge(values=[A])
    assert h.values == [A]


# ---- update -----------------------------------------------------------------


def test_update_replaces_every_match_with_one_entry_at_the_end():
    h = Headers([(b"x", 1), B, (b"X", 2), ("x", 3)])
    assert h.update({b"X": 9, "New": 1}) is None
    assert h.values == [B, (b"x", 9), ("new", 1)]


def test_update_keeps_what_follows_its_last_replaced_entry():
    # The entries are tuples two collections share, and the update before
    # replaced more of them: what it recorded must not count for this one.
    x, y, z = (b"x", b"1"), (b"y", b"2"), (b"z", b"3")
    first, second = Headers([x, y, z]), Headers([x, y, z])
    first.update({b"x": b"9", b"y": b"9"})
    second.update({b"x": b"9"})
    assert first.values == [z, (b"x", b"9"), (b"y", b"9")]
    assert second.values == [y, z, (b"x", b"9")]


@pytest.mark.parametrize(
    ("arg", "error", "message"),
    [
        (type("D", (dict,), {})(), TypeError, "Argument 'values' has incorrect type (expected dict, got D)"),
        ([A], TypeError, "Argument 'values' has incorrect type (expected dict, got list)"),
        (None, AttributeError, "'NoneType' object has no attribute 'items'"),
    ],
    ids=["dict-subclass", "list", "None"],
)
def test_update_argument_errors(arg, error, message):
    h = Headers([A])
    with raises_exactly(error, message):
        h.update(arg)
    assert h.values == [A]


def test_update_goes_through_item_assignment_and_set_of_a_subclass():
    seen = []

    class ViaSet(Headers):
        def set(self, name, value):
            seen.append(("set", name))
            super().set(name, value)

    class ViaItem(Headers):
        def __setitem__(self, key, value):
            seen.append(("item", key))
            super().__setitem__(key, value)

    ViaSet().update({b"a": 1})
    ViaItem().update({b"b": 2})
    assert seen == [("set", b"a"), ("item", b"b")]


@pytest.mark.parametrize(("bulk", "hook"), [("update", "set"), ("add_many", "add")])
def test_dict_changing_size_keeps_what_was_done(bulk, hook):
    # update walks the dict through set(), add_many through add(); a hook
    # that grows the dict stops the walk after the first pair, no rollback.
    d = {b"a": 1, b"b": 2}

    def grow(self, name, value):
        getattr(Headers, hook)(self, name, value)
        d[b"more-" + name] = 0

    Grows = type("Grows", (Headers,), {hook: grow})
    h = Grows()
    with raises_exactly(RuntimeError, "dictionary changed size during iteration"):
        getattr(h, bulk)(d)
    assert h.values == [(b"a", 1)]


def test_update_errors_have_no_rollback():
    class Unprintable:
        def __str__(self):
            raise OSError("no text")

    h = Headers([A])
    with pytest.raises(OSError, match="no text"):
        h.update({b"b": 2, Unprintable(): 3, b"c": 4})
    assert h.values == [A, (b"b", 2)]


def test_update_on_uninitialised_collection():
    h = Headers.__new__(Headers)
    h.update({})
    with raises_exactly(TypeError, "'NoneType' object is not iterable"):
        h.update({b"a": 1})


# ---- add_many ---------------------------------------------------------------


def test_add_many_sequence_items_of_every_kind():
    h = Headers()
    h.add_many([(b"T", 1), [b"L", 2], Header(b"H", 3), "sv", iter([b"I", 4])])
    assert h.values == [(b"t", 1), (b"l", 2), (b"h", 3), ("s", "v"), (b"i", 4)]


def test_add_many_mapping():
    h = Headers([A])
    h.add_many({b"X-A": 1, "X-B": b"2", 5: 3})
    assert h.values == [A, (b"x-a", 1), ("x-b", b"2"), (5, 3)]


def test_add_many_other_mapping_through_items():
    h = Headers()
    h.add_many(PlainMapping({b"K": b"v"}))
    assert h.values == [(b"k", b"v")]


@pytest.mark.parametrize(
    ("pairs", "message"),
    [([(1, 2, 3)], "too many values to unpack (expected 2)"), ([(1,)], "need more than 1 value to unpack")],
)
def test_add_many_mapping_items_must_be_pairs(pairs, message):
    with raises_exactly(ValueError, message):
        Headers().add_many(PlainMapping({}, items=pairs))


@pytest.mark.parametrize("arg", [(A,), "ab", b"ab", 5, None, Headers([A]), frozenset()], ids=repr)
def test_add_many_rejects_other_kinds(arg):
    h = Headers()
    with raises_exactly(ValueError, "values must be dict[bytes, bytes] or list[Header]"):
        h.add_many(arg)
    assert h.values == []


@pytest.mark.parametrize(
    ("item", "error", "message"),
    [
        ((b"a",), TypeError, "add() takes exactly 2 positional arguments (1 given)"),
        ((b"a", 1, 2), TypeError, "add() takes exactly 2 positional arguments (3 given)"),
        (5, TypeError, "'int' object is not iterable"),
    ],
)
def test_add_many_bad_item_keeps_earlier_items(item, error, message):
    h = Headers()
    with raises_exactly(error, message):
        h.add_many([A, item, B])
    assert h.values == [A]


def test_add_many_registered_virtual_classes():
    class Seq:
        def __init__(self, items):
            self.items = items

        def __iter__(self):
            return iter(self.items)

    class Both(list):
        pass

    MutableSequence.register(Seq)
    Mapping.register(Both)
    h = Headers()
    h.add_many(Seq([(b"V", 1)]))
    # both a mutable sequence and a mapping: treated as a sequence
    h.add_many(Both([(b"W", 2)]))
    assert h.values == [(b"v", 1), (b"w", 2)]


def test_add_many_bytearray_is_a_sequence_of_ints():
    with raises_exactly(TypeError, "'int' object is not iterable"):
        Headers().add_many(bytearray(b"ab"))


@pytest.mark.parametrize(
    ("arg", "call"), [([(b"S", 1)], (b"S", 1)), ({b"M": 2}, (b"M", 2))], ids=["sequence", "mapping"]
)
def test_add_many_calls_a_subclass_add(arg, call):
    h = AddLog()
    h.add_many(arg)
    assert h.calls == [call]


def test_add_many_own_list_walks_the_entries_present_at_the_start():
    h = Headers([A, B])
    h.add_many(h.values)
    assert h.values == [A, B, A, B]


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda h: h.add_many(), "add_many() takes exactly 1 positional argument (0 given)"),
        (lambda h: h.add_many([], values=[]), "add_many() got multiple values for keyword argument 'values'"),
    ],
)
def test_add_many_binding(call, message):
    with raises_exactly(TypeError, message):
        call(Headers())


# ---- _add_to_instance -------------------------------------------------------


@pytest.mark.parametrize(
    ("other", "added"),
    [
        (Headers([(b"H-One", 1), ("H-Two", 2)]), [(b"h-one", 1), ("h-two", 2)]),
        (Header(b"Rec", 3), [(b"rec", 3)]),
        ((b"Tup", 4), [(b"tup", 4)]),
        (type("NT", (tuple,), {})((b"Sub", 5)), [(b"sub", 5)]),
        ([(b"L1", 6), (b"L2", 7)], [(b"l1", 6), (b"l2", 7)]),
        ([], []),
    ],
    ids=["Headers", "Header", "tuple", "tuple-subclass", "list", "empty-list"],
)
def test_add_to_instance_kinds(other, added):
    h = AddLog([A])
    assert Headers._add_to_instance(h, other) is h
    assert h.values == [A, *added]
    assert len(h.calls) == len(added)


@pytest.mark.parametrize("other", [5, {b"k": 1}, "ab", b"ab", None, frozenset()], ids=repr)
def test_add_to_instance_not_implemented(other):
    h = Headers([A])
    assert Headers._add_to_instance(h, other) is NotImplemented
    assert h.values == [A]


@pytest.mark.parametrize("bad", [(b"A",), (b"A", 1, 2), ()], ids=repr)
def test_add_to_instance_invalid_tuple(bad):
    h = Headers()
    with raises_exactly(ValueError, f"Cannot add, an invalid tuple {bad}."):
        Headers._add_to_instance(h, bad)
    assert h.values == []


@pytest.mark.parametrize("bad", ["xy", [b"Q", 1], (b"Q",), 5], ids=repr)
def test_add_to_instance_invalid_element_keeps_earlier_ones(bad):
    class Custom(Headers):
        pass

    for h, cls_name in ((Headers(), "Headers"), (Custom(), "Custom")):
        with raises_exactly(ValueError, f"The sequence contains invalid elements: cannot add {bad} to {cls_name}"):
            Headers._add_to_instance(h, [A, bad, B])
        assert h.values == [(b"a", b"1")]


def test_add_to_instance_headers_entries_of_wrong_length():
    with raises_exactly(TypeError, "add() takes exactly 2 positional arguments (3 given)"):
        Headers._add_to_instance(Headers(), Headers([(b"x", 1, 2)]))


def test_add_to_instance_does_not_check_instance():
    class Duck:
        def __init__(self):
            self.got = []

        def add(self, name, value):
            self.got.append((name, value))

    d = Duck()
    assert Headers._add_to_instance(d, [(b"N", 1)]) is d
    assert d.got == [(b"N", 1)]
    with raises_exactly(AttributeError, "'int' object has no attribute 'add'"):
        Headers._add_to_instance(5, (b"a", 1))
    assert Headers._add_to_instance(5, 5) is NotImplemented


def test_add_to_instance_reads_header_fields_by_attribute():
    class Renamed(Header):
        @property
        def name(self):
            return b"Renamed"

    h = Headers()
    Headers._add_to_instance(h, Renamed(b"orig", 1))
    assert h.values == [(b"renamed", 1)]


def test_add_to_instance_self_and_shared_list_terminate():
    h = Headers([A, B])
    Headers._add_to_instance(h, h)
    assert h.values == [A, B, A, B]
    twin = Headers(h.values)
    Headers._add_to_instance(twin, h)
    assert len(h.values) == 8
    Headers._add_to_instance(h, h.values)
    assert len(h.values) == 16


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda: Headers._add_to_instance(Headers()),
            "_add_to_instance() takes exactly 2 positional arguments (1 given)",
        ),
        (
            lambda: Headers._add_to_instance(1, 2, 3),
            "_add_to_instance() takes exactly 2 positional arguments (3 given)",
        ),
        (
            lambda: Headers._add_to_instance(1, 2, other=3),
            "_add_to_instance() got multiple values for keyword argument 'other'",
        ),
        (
            lambda: Headers._add_to_instance(1, other=2, x=3),
            "_add_to_instance() got an unexpected keyword argument 'x'",
        ),
    ],
)
def test_add_to_instance_binding(call, message):
    with raises_exactly(TypeError, message):
        call()


def test_add_to_instance_by_keyword_and_from_an_instance():
    h = Headers()
    assert Headers()._add_to_instance(other=(b"k", 1), instance=h) is h
    assert h.values == [(b"k", 1)]


# ---- operators --------------------------------------------------------------


@pytest.mark.parametrize(
    "other",
    [[(b"New", b"v")], (b"New", b"v"), Header(b"New", b"v")],
    ids=["list", "tuple", "Header"],
)
@pytest.mark.parametrize("side", ["left", "right"])
def test_plus_puts_the_collection_first_and_changes_nothing(other, side):
    h = Headers([A])
    before = repr(other)
    result = h + other if side == "left" else other + h
    assert type(result) is Headers
    assert result is not h
    assert result is not other
    assert result.values == [A, (b"new", b"v")]
    assert h.values == [A]
    assert repr(other) == before


def test_adding_two_collections_keeps_the_left_one_first():
    left, right = Headers([A]), Headers([(b"R", b"1"), B])
    assert (left + right).values == [A, (b"r", b"1"), B]
    assert (right + left).values == [(b"R", b"1"), B, A]


@pytest.mark.parametrize("other", [{b"x": b"1"}, 5, "str", None], ids=repr)
def test_plus_unsupported_operands(other):
    h = Headers([A])
    with pytest.raises(TypeError, match="unsupported operand"):
        h + other
    with pytest.raises(TypeError):
        other + h
    with pytest.raises(TypeError, match="unsupported operand"):
        iadd(h, other)
    assert h.values == [A]


def test_plus_gives_way_to_the_other_operands_radd():
    class Right:
        def __radd__(self, other):
            return "handled"

    h = Headers([A])
    assert h + Right() == "handled"
    assert iadd(h, Right()) == "handled"
    assert h.values == [A]


def test_plus_with_invalid_tuple():
    with raises_exactly(ValueError, "Cannot add, an invalid tuple (b'T',)."):
        Headers() + (b"T",)


def test_plus_error_leaves_both_operands_unchanged():
    h, other = Headers([A]), [B, "bad"]
    with pytest.raises(ValueError, match="cannot add bad to Headers"):
        h + other
    assert h.values == [A]
    assert other == [B, "bad"]


@pytest.mark.parametrize("stored", [("Str", b"v"), (b"n", "str-value")], ids=["str-name", "str-value"])
def test_plus_needs_a_cloneable_collection_while_iadd_does_not(stored):
    h = Headers([stored])
    with raises_exactly(TypeError, "Expected bytes, got str"):
        h + [A]
    with raises_exactly(TypeError, "Expected bytes, got str"):
        [A] + h
    assert iadd(h, [A]) is h
    assert h.values == [stored, A]


def test_iadd_works_in_place_without_rollback():
    h = Headers([A])
    ident = h
    with raises_exactly(ValueError, "The sequence contains invalid elements: cannot add bad to Headers"):
        h += [B, "bad"]
    assert h is ident
    assert h.values == [A, B]
    h += Header(b"C", b"3")
    assert h is ident
    assert h.values == [A, B, (b"c", b"3")]


def test_iadd_self_terminates():
    h = Headers([A, B])
    h += h
    assert h.values == [A, B, A, B]
    twin = Headers(h.values)
    twin += h
    assert len(h.values) == 8


def test_plus_of_a_subclass_uses_its_clone_and_add():
    class Sub(AddLog):
        def clone(self):
            self.calls.append("clone")
            return Sub(list(self.values))

    s = Sub([A])
    r1 = s + [(b"X", 1)]
    r2 = [(b"Y", 2)] + s
    assert type(r1) is Sub
    assert r1.values == [A, (b"x", 1)]
    assert r2.values == [A, (b"y", 2)]
    assert s.calls == ["clone", "clone"]
    assert r1.calls == [(b"X", 1)]
    assert r2.calls == [(b"Y", 2)]
    # a subclass without its own clone builds on a plain Headers
    assert type(AddLog([A]) + [B]) is Headers


@pytest.mark.parametrize(
    ("result", "error", "message"),
    [
        (5, TypeError, "Cannot convert int to velmora.headers.Headers"),
        ([], TypeError, "Cannot convert list to velmora.headers.Headers"),
        (None, AttributeError, "'NoneType' object has no attribute 'add'"),
    ],
)
def test_plus_checks_a_clone_override_result(result, error, message):
    class Odd(Headers):
        def clone(self):
            return result

    with raises_exactly(error, message):
        Odd() + [A]
    with raises_exactly(error, message):
        [A] + Odd()
    assert Odd().clone() is result


def test_operators_use_a_subclass_add_to_instance():
    calls = []

    class Custom(Headers):
        @staticmethod
        def _add_to_instance(instance, other):
            calls.append((type(instance).__name__, other))
            return "custom"

    c = Custom([A])
    assert c + 1 == "custom"
    assert 2 + c == "custom"
    assert iadd(c, 3) == "custom"
    assert calls == [("Headers", 1), ("Headers", 2), ("Custom", 3)]


def test_not_implemented_from_both_sides_raises():
    class Refuses(Headers):
        @staticmethod
        def _add_to_instance(instance, other):
            return NotImplemented

    with pytest.raises(TypeError, match="unsupported operand"):
        Refuses() + Refuses()
    # the left side refuses; the right side, a plain collection, adds the
    # left one's entries to its own clone
    assert (Refuses([B]) + Headers([A])).values == [A, B]


def test_dunder_methods_called_directly():
    h = Headers([A])
    assert h.__add__(B).values == [A, B]
    assert h.__radd__(B).values == [A, B]
    assert h.__add__({}) is NotImplemented
    assert h.__iadd__(B) is h
    assert h.values == [A, B]
