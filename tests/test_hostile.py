"""Regressions found by attacking the native code with hostile objects: one
case per fault, each failing before its fix. (The pending exception across a
change of a watched dict needs a C caller: test_capi.py.)"""

import pytest

from velmora.headers import Header, Headers, intern_header_name_str

from support import raises_exactly


def fresh_bytes(text):
    # A bytes object nothing else holds, so releasing it frees its memory.
    return bytes(bytearray(text))


def test_header_eq_reads_own_name_after_the_other_name_ran_code():
    class Reinitialising(Header):
        strikes = 1

        @property
        def name(self):
            if Reinitialising.strikes:
                Reinitialising.strikes = 0
                mine.__init__(b"x-other", 2)  # frees mine's old name
                # Same size as the freed name: the allocator hands its memory back.
                return fresh_bytes(b"y-unique-name-1")
            return Header.name.__get__(self)

    mine = Header(fresh_bytes(b"x-unique-name-1"), 1)
    theirs = Reinitialising(b"zzz", 2)
    assert Header.__eq__(mine, theirs) is False
    assert Header.__ne__(mine, theirs) is True


class HashesOnce(str):
    """A name whose str() is itself and whose hash fails after the first call."""

    def __str__(self):
        return self

    def __hash__(self):
        self.hashed = getattr(self, "hashed", 0) + 1
        if self.hashed > 1:
            raise ValueError("hashed twice")
        return str.__hash__(self)


@pytest.mark.parametrize(
    ("operation", "expected"),
    [
        (intern_header_name_str, "x-hashes-once"),
        (lambda n: Header(n, b"v").name, "x-hashes-once"),
        (lambda n: Headers([(b"x-hashes-once", b"v")]).get(n), ("v",)),
        (lambda n: Headers([(b"x-hashes-once", b"v")]).contains(n), True),
        (lambda n: Headers().add(n, b"v"), None),
        # contains, remove and add each intern the name: the second hash
        # fails, and that error is what the caller sees.
        (lambda n: Headers().set(n, b"v"), ValueError),
        (lambda n: Headers([(b"x-hashes-once", b"v")]).remove(n), None),
    ],
)
def test_interning_hashes_a_str_subclass_name_once(operation, expected):
    # Its lowered copy is an exact str: only that is looked up in caches.
    if expected is ValueError:
        with pytest.raises(ValueError, match="^hashed twice$"):
            operation(HashesOnce("x-hashes-once"))
    else:
        assert operation(HashesOnce("x-hashes-once")) == expected


def test_set_lands_in_the_list_present_after_releasing_old_values():
    class Reinitialises:
        def __del__(self):
            h.__init__([(b"keep", b"1")])

    h = Headers([(b"host", Reinitialises())])
    h[b"HOST"] = b"new"
    assert h.values == [(b"keep", b"1"), (b"host", b"new")]


# ---------------------------------------------------------------------------
# One-pass paths for many names give what the general path gives.


class General(Headers):
    """A subclass: update() assigns item by item, through set()."""


def many_names(n):
    # Both forms, mixed letter case, repeats and a 200-byte shared prefix.
    names = []
    for i in range(n):
        raw = b"x-" + (b"p" * 200 if i % 3 == 0 else b"") + b"%d" % (i % (n // 2))
        names.append(raw if i % 2 else raw.decode().upper())
    return names


def test_keys_of_many_names_match_list_membership():
    entries = [(name, i) for i, name in enumerate(many_names(60))]
    # A str-subclass name midway hands the rest over to the general test.
    entries += [(HashesOnce("x-late"), 0), (b"x-0", 0), ("X-0", 0), (b"x-late", 0)]
    expected = []
    for name, _ in entries:
        if name not in expected:
            expected.append(name)
    assert Headers(entries).keys() == tuple(expected)


@pytest.mark.parametrize(
    "stored_extra",
    [
        [],
        [(b"X-P", b"upper stored")],
        # A name whose matching runs code: item by item.
        [(HashesOnce("x-sub"), b"s")],
    ],
)
def test_update_with_many_keys_matches_item_assignment(stored_extra):
    stored = [(name, b"old") for name in many_names(40)] + [(5, b"int"), (b"x-keep", b"k")] + stored_extra
    update = {name: b"new-%d" % i for i, name in enumerate(many_names(30))}
    update.update({b"X-P": b"b1", "x-p": b"s1", b"HOST": None})
    fast, general = Headers(list(stored)), General(list(stored))
    fast.update(update)
    general.update(update)
    assert fast.values == general.values
    assert [type(n) for n, _ in fast.values] == [type(n) for n, _ in general.values]


def test_remove_after_a_str_subclass_name_takes_every_match_once():
    shared = (b"x-same", "twice")  # one tuple object at two places
    entries = [(HashesOnce("x-first"), 0), shared]
    for i in range(50):
        entries += [(b"x-same", i), ("X-Same", i), (b"x-other", i)]
    h = Headers(entries + [shared])
    h.remove("x-same")
    assert h.values == [entries[0]] + [(b"x-other", i) for i in range(50)]


@pytest.mark.parametrize("cls", [Headers, General])
def test_update_releases_each_replaced_value_before_the_next_key(cls):
    h = cls()

    class Reinitialises:
        def __del__(self):
            h.__init__([(b"fresh", b"1")])

    h.values.append((b"a", Reinitialises()))
    h.update({b"A": b"2", b"b": b"3"})
    assert h.values == [(b"fresh", b"1"), (b"a", b"2"), (b"b", b"3")]


@pytest.mark.parametrize("new_values", [[(b"host", b"new")], None])
def test_add_appends_to_the_list_present_once_the_name_is_interned(new_values):
    # Found by the hostile fuzzer through a finalizer the collector ran
    # mid-call: a field appended to the list held before str() ran would
    # be missing from the collection.
    class Reinitialising(str):
        def __str__(self):
            if new_values is None:
                h.__setstate_cython__((None,))
            else:
                h.__init__(new_values)
            return str.__str__(self)

    old = []
    h = Headers(old)
    if new_values is None:
        with raises_exactly(AttributeError, "'NoneType' object has no attribute 'append'"):
            h.add(Reinitialising("X-Late"), b"v")
    else:
        h.add(Reinitialising("X-Late"), b"v")
        assert h.values == [(b"host", b"new"), ("x-late", b"v")]
    assert old == []


@pytest.mark.parametrize("cls", [Headers, General])
def test_update_runs_a_finalizer_shared_by_two_replaced_values_between_pairs(cls):
    # The value dies with the second replaced entry: in the middle of the
    # assignments, not after the last one.
    seen = []

    class Finalized:
        def __del__(self):
            seen.append(list(h.values))
            h.add(b"x-late", b"1")

    shared = Finalized()
    h = cls([(b"a", shared), (b"b", shared), (b"c", b"0")])
    del shared
    h.update({b"A": b"2", b"B": b"3", b"c": b"4"})
    assert seen == [[(b"c", b"0"), (b"a", b"2")]]
    assert h.values == [(b"a", b"2"), (b"x-late", b"1"), (b"b", b"3"), (b"c", b"4")]
