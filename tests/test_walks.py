"""keys(), items() and iteration over a collection: what they hand out, how
they react to a list that changes under them, and their generator objects."""

import gc

import pytest

from velmora.headers import Header, Headers

from support import CT, SC_A, SC_B


def walkers():
    return [pytest.param(lambda h: h.items(), id="items"), pytest.param(iter, id="iter")]


# ---- keys -------------------------------------------------------------------


@pytest.mark.parametrize(
    ("entries", "keys"),
    [
        ([], ()),
        ([SC_A, CT, SC_B], (b"set-cookie", b"content-type")),
        ([(b"accept", 1), ("accept", 2)], (b"accept", "accept")),
        ([[b"from-list", 1], (b"x", 1, 2, 3)], (b"from-list", b"x")),
        ([{0: b"from-dict", 1: 2}], (b"from-dict",)),
        ([(None, 1), (None, 2), (5, 3)], (None, 5)),
    ],
)
def test_keys(entries, keys):
    assert Headers(entries).keys() == keys


def test_keys_hands_out_the_stored_objects():
    name = b"x-custom"
    h = Headers([(name, 1), (b"x-custom", 2)])
    (got,) = h.keys()
    assert got is name


def test_keys_indexes_a_new_name_twice_and_a_seen_name_once():
    reads = []

    class Entry:
        def __init__(self, name):
            self.name = name

        def __getitem__(self, i):
            reads.append(self.name)
            return self.name

    Headers([Entry(b"a"), Entry(b"a"), Entry(b"b")]).keys()
    assert reads == [b"a", b"a", b"a", b"b", b"b"]


@pytest.mark.parametrize(
    ("entry", "error"),
    [
        ((), IndexError),
        ([], IndexError),
        ({}, KeyError),
        ({1: 2}, KeyError),
        (Header(b"a", 1), TypeError),
        (5, TypeError),
        (None, TypeError),
    ],
    ids=repr,
)
def test_keys_of_entries_without_item_zero(entry, error):
    with pytest.raises(error):
        Headers([(b"ok", 1), entry]).keys()


def test_keys_of_none_entry_message():
    with pytest.raises(TypeError, match="^'NoneType' object is not subscriptable$"):
        Headers([None]).keys()


def test_keys_propagates_equality_errors():
    class Raises:
        def __eq__(self, other):
            raise KeyError("eq")

        __hash__ = None

    with pytest.raises(KeyError):
        Headers([(Raises(), 1), (Raises(), 2)]).keys()


def test_keys_survives_the_list_being_cleared_by_a_comparison():
    values = []

    class Clears:
        def __eq__(self, other):
            values.clear()
            return False

        __hash__ = None

    clears = Clears()
    values.extend([(b"a", 1), (clears, 2), (b"c", 3), (b"d", 4)])
    # the membership test of the second name empties the list; that entry is
    # still held and taken, then the walk sees the new length and stops
    assert Headers(values).keys() == (b"a", clears)


def test_keys_sees_entries_appended_by_a_comparison():
    values = []

    class Grows:
        fired = False

        def __eq__(self, other):
            if not Grows.fired:
                Grows.fired = True
                values.append((b"late", 0))
            return False

        __hash__ = None

    values.extend([(b"a", 1), (Grows(), 2)])
    assert Headers(values).keys()[-1] == b"late"


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda h: h.keys(1), "keys() takes exactly 0 positional arguments (1 given)"),
        (lambda h: h.keys(1, 2), "keys() takes exactly 0 positional arguments (2 given)"),
        (lambda h: h.keys(x=1), "keys() got an unexpected keyword argument 'x'"),
        (lambda h: h.items(1), "items() takes exactly 0 positional arguments (1 given)"),
        (lambda h: h.items(x=1), "items() got an unexpected keyword argument 'x'"),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as e:
        call(Headers())
    assert str(e.value) == message


# ---- items / iteration ------------------------------------------------------


@pytest.mark.parametrize("walk", walkers())
def test_walk_yields_the_stored_tuples_in_order(walk):
    values = [SC_A, CT, SC_B]
    got = list(walk(Headers(values)))
    assert got == values
    assert all(a is b for a, b in zip(got, values, strict=True))


@pytest.mark.parametrize("walk", walkers())
def test_walk_of_an_empty_collection(walk):
    assert list(walk(Headers())) == []


@pytest.mark.parametrize("walk", walkers())
def test_walk_yields_any_entry_unchanged(walk):
    odd = [(), None, 5, Header(b"a", 1), [b"x", 1], (b"y", 1, 2)]
    got = list(walk(Headers(odd)))
    assert all(a is b for a, b in zip(got, odd, strict=True))


def test_unpacking_in_loops():
    h = Headers([SC_A, CT])
    assert [name for name, _ in h] == [b"set-cookie", b"content-type"]
    assert dict(h.items()) == {b"set-cookie": b"a=1", b"content-type": b"text/plain"}


@pytest.mark.parametrize(
    ("walk", "name", "qualname"),
    [(lambda h: h.items(), "items", "Headers.items"), (iter, "__iter__", "Headers.__iter__")],
)
def test_generator_names(walk, name, qualname):
    g = walk(Headers())
    assert g.__name__ == name
    assert g.__qualname__ == qualname
    assert qualname in repr(g)
    assert iter(g) is g


@pytest.mark.parametrize("walk", walkers())
def test_each_call_makes_an_independent_generator(walk):
    h = Headers([SC_A, CT])
    g1, g2 = walk(h), walk(h)
    assert next(g1) is SC_A
    assert next(g2) is SC_A
    assert next(g1) is CT


@pytest.mark.parametrize("walk", walkers())
def test_walk_covers_the_list_present_at_the_first_step(walk):
    first, second = [SC_A], [CT]
    h = Headers(first)
    g = walk(h)
    h.__init__(second)
    assert list(g) == [CT]


@pytest.mark.parametrize("walk", walkers())
def test_walk_keeps_its_list_after_the_collection_changes_lists(walk):
    first = [SC_A, CT]
    h = Headers(first)
    g = walk(h)
    assert next(g) is SC_A
    h.__init__([SC_B])
    first.append((b"late", b"1"))
    assert list(g) == [CT, (b"late", b"1")]
    h.__setstate__(([],))
    assert list(g) == []


@pytest.mark.parametrize("walk", walkers())
def test_appending_during_a_walk_is_seen(walk):
    h = Headers([SC_A])
    g = walk(h)
    assert next(g) is SC_A
    h.add(b"X-Late", b"1")
    assert next(g) == (b"x-late", b"1")
    with pytest.raises(StopIteration):
        next(g)


def test_removing_the_current_entry_skips_the_next():
    h = Headers([(b"a", 1), (b"b", 2), (b"c", 3)])
    seen = []
    for entry in h:
        seen.append(entry[0])
        if entry[0] == b"a":
            h.remove(b"a")
    assert seen == [b"a", b"c"]


def test_clearing_the_list_ends_the_walk():
    h = Headers([SC_A, CT, SC_B])
    g = h.items()
    next(g)
    h.values.clear()
    assert list(g) == []


@pytest.mark.parametrize("walk", walkers())
def test_walk_over_uninitialised_collection(walk):
    g = walk(Headers.__new__(Headers))
    with pytest.raises(TypeError, match="^'NoneType' object is not iterable$"):
        next(g)
    with pytest.raises(StopIteration):
        next(g)
    with pytest.raises(TypeError, match="^'NoneType' object is not iterable$"):
        Headers.__new__(Headers).keys()


def test_nothing_is_read_before_the_first_step():
    h = Headers.__new__(Headers)
    g = h.items()
    h.__init__([CT])
    assert list(g) == [CT]


@pytest.mark.parametrize("walk", walkers())
def test_generator_protocol(walk):
    h = Headers([SC_A, CT])
    g = walk(h)
    with pytest.raises(TypeError):
        g.send(1)
    assert g.send(None) is SC_A
    g.close()
    with pytest.raises(StopIteration):
        next(g)

    g = walk(h)
    next(g)
    with pytest.raises(LookupError, match="thrown"):
        g.throw(LookupError("thrown"))
    assert list(g) == []


@pytest.mark.parametrize("walk", walkers())
def test_generator_holds_the_collection_alive(walk):
    g = walk(Headers([SC_A]))
    gc.collect()
    assert list(g) == [SC_A]


def test_generator_in_a_cycle_is_collected():
    h = Headers()
    g = h.items()
    h.values.append((b"self", g))
    next(g)
    del h, g
    assert gc.collect() > 0
