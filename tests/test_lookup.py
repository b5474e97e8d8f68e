"""The read side of Headers: get, get_tuples, get_first, get_single, contains,
`in`, subscription and the sequence item slot."""

import pytest

from velmora.headers import Header, Headers

from support import BSub, MeddlingEntry, StrSub, api, meddling, raises

MORE_THAN_ONE = "Headers contains more than one header with the given key"
NOT_ONE = "Headers does not contain one header with the given key"
NOT_ITERABLE = "'NoneType' object is not iterable"
NOT_SUBSCRIPTABLE = "'NoneType' object is not subscriptable"


def two_content_types():
    html, plain = (b"content-type", b"text/html"), (b"content-type", b"text/plain")
    return Headers([html, (b"host", b"h"), plain]), html, plain


@pytest.mark.parametrize("key", [b"Content-Type", b"content-type", b"CONTENT-TYPE"])
def test_bytes_key_gets_bytes_in_list_order(key):
    h, html, plain = two_content_types()
    got = h.get(key)
    assert got == (b"text/html", b"text/plain")
    assert got[0] is html[1]
    assert got[1] is plain[1]
    assert h[key] == got
    assert h.get_first(key) is html[1]
    raises(ValueError, MORE_THAN_ONE, h.get_single, key)


@pytest.mark.parametrize("key", ["Content-Type", "content-type", "CONTENT-TYPE"])
def test_str_key_gets_str_and_tuples_themselves(key):
    h, html, plain = two_content_types()
    assert h.get(key) == ("text/html", "text/plain")
    assert h.get_first(key) == "text/html"
    tuples = h.get_tuples(key)
    assert type(tuples) is list
    assert tuples == [html, plain]
    assert tuples[0] is html
    assert tuples[1] is plain
    assert h.get_tuples(key) is not tuples
    assert h.values == [html, (b"host", b"h"), plain]


def test_single_match():
    h = Headers([("X-Name", "\xe9"), (b"other", b"")])
    assert h.get_single(b"x-name") == b"\xe9"
    assert h.get_single("X-NAME") == "\xe9"
    assert h.get_single("other") == ""
    assert h.get_single(key=b"OTHER") == b""


def test_no_match():
    h = Headers([(b"host", b"h"), (5, b"five")])
    for key in (b"missing", "missing", 5, "5", b"5"):
        assert h.get(key) == ()
        assert h[key] == ()
        assert h.get_tuples(key) == []
        assert h.get_first(key) is None
        assert h.contains(key) is False
        assert (key in h) is False
        raises(ValueError, NOT_ONE, h.get_single, key)
    e = Headers()
    assert e.get(b"x") == ()
    assert e.get_tuples("x") == []
    assert e.get_first("x") is None
    assert "x" not in e


def test_none_values():
    h = Headers([(b"a", None), (b"a", b"1"), (b"b", None)])
    assert h.get(b"a") == (None, b"1")
    assert h.get("a") == (None, "1")
    assert h.get_first("a") is None
    assert h.get_single("b") is None


def test_odd_keys_use_their_str():
    h = Headers(
        [
            ("None", b"1"),
            (b"NONE", b"2"),
            ("bytearray(b'host')", b"3"),
            ("b'host'", b"4"),
            (b"host", b"5"),
            ("0", b"6"),
            (b"-1", b"7"),
            ("slice(1, 2, None)", b"8"),
            (0, b"int name"),
        ]
    )
    assert h.get(None) == ("1", "2")
    assert h.get(bytearray(b"Host")) == ("3",)
    assert h.get(BSub(b"HOST")) == ("4",)
    assert h[0] == ("6",) == api.PySequence_GetItem(h, 0)
    assert h[-1] == ("7",) == api.PySequence_GetItem(h, -1)
    assert h[1:2] == ("8",)
    assert h[::] == ()


def test_key_str_errors_propagate():
    class Bad:
        def __str__(self):
            raise ZeroDivisionError("key")

    h = Headers([(b"a", b"b")])
    for op in (h.get, h.get_tuples, h.get_first, h.get_single, h.contains, h.__getitem__, h.__contains__):
        with pytest.raises(ZeroDivisionError):
            op(Bad())


def test_entry_of_wrong_kinds():
    listed = Headers([[b"host", b"h"]])
    assert listed.contains(b"HOST")
    assert "host" in listed
    assert not listed.contains(b"other")
    header = Headers([Header(b"host", b"h")])
    for h, type_name in ((listed, "list"), (header, "velmora.headers.Header")):
        for op in (h.get, h.get_tuples, h.get_first, h.get_single, h.__getitem__):
            raises(TypeError, f"Expected tuple, got {type_name}", op, b"host")
    raises(TypeError, "'velmora.headers.Header' object is not subscriptable", header.contains, b"host")
    nothing = Headers([None])
    for op in (nothing.get, nothing.get_tuples, nothing.get_first, nothing.contains, nothing.__contains__):
        raises(TypeError, NOT_SUBSCRIPTABLE, op, b"host")


def test_scan_stops_where_the_operation_does():
    # get_first and contains stop at the first match; get and get_tuples see the bad entry.
    h = Headers([(b"a", b"1"), None, [b"x"]])
    assert h.get_first(b"a") == b"1"
    assert h.contains("A")
    raises(TypeError, NOT_SUBSCRIPTABLE, h.get, b"a")
    raises(TypeError, NOT_SUBSCRIPTABLE, h.get_tuples, b"a")


def test_bytes_values_become_str_of_the_right_kind_at_every_length():
    # Short values are copied in overlapping pieces; a byte past ASCII at any
    # position must make the str a Latin-1 one, or the text is corrupt.
    letters = bytes(range(0x41, 0x41 + 40))
    for n in range(41):
        for at in (None, *range(n)):
            value = bytearray(letters[:n])
            if at is not None:
                value[at] = 0xE9
            got = Headers([(b"host", bytes(value))]).get_first("host")
            want = bytes(value).decode("latin-1")
            assert type(got) is str, (n, at)
            assert got == want, (n, at)
            assert got.isascii() == want.isascii(), (n, at)


def test_long_lists_are_scanned_to_the_end_and_stop_where_they_must():
    # Names of other lengths are passed over in a tight loop, with a read-ahead
    # past 256 entries; everything else must still be seen where it stands.
    names = [b"x-f-%d" % i + b"-" * (i % 7) for i in range(600)]
    h = Headers([(name, b"%d" % i) for i, name in enumerate(names)])
    for i in (0, 1, 255, 256, 583, 584, 590, 599):
        key = names[i].upper()
        assert h.get_first(key) == b"%d" % i
        assert h.contains(key)
        assert h.get(key.decode()) == ("%d" % i,)
    assert h.get_first(b"x-f-missing") is None
    assert not h.contains("x-f-missing")
    for at in (3, 300, 590):
        bad = Headers([(name, b"v") for name in names])
        bad.values[at] = None
        raises(TypeError, NOT_SUBSCRIPTABLE, bad.get_first, b"x-f-missing")
        assert bad.get_first(names[at - 1]) == b"v"
    # No bytes name can equal a key beyond Latin-1, whatever its length: the
    # first one met fails the encoding.
    with pytest.raises(UnicodeEncodeError):
        h.get_first("\u20ac" * 5)


@pytest.mark.parametrize("entry", [(), (b"a",)], ids=["empty", "one"])
def test_short_tuples_raise_instead_of_reading_past_the_end(entry):
    h = Headers([entry])
    for op in (h.get, h.get_tuples, h.get_first, h.get_single, h.__getitem__):
        with pytest.raises((IndexError, TypeError)):
            op(b"a")
    if entry:
        assert h.contains(b"a")
        assert not h.contains(b"b")
    else:
        with pytest.raises((IndexError, TypeError)):
            h.contains(b"a")
    assert h.values == [entry]


def test_longer_tuples_and_empty_name():
    h = Headers([(b"a", b"1", b"extra"), (b"", b"empty")])
    assert h.get(b"A") == (b"1",)
    assert h.get(b"") == (b"empty",)
    assert h.get("") == ("empty",)


@pytest.mark.parametrize(
    ("key", "found"),
    [
        (b"host", b"h\xe9"),
        (b"HOST", b"h\xe9"),
        ("host", "h\xe9"),
        ("".join(["HO", "ST"]), "h\xe9"),
        (StrSub("host"), "h\xe9"),
        (BSub(b"host"), None),
    ],
    ids=["bytes", "bytes-upper", "str-literal", "str-built", "str-subclass", "bytes-subclass"],
)
def test_get_first_agrees_for_every_key_kind_and_entry_after_plain_pairs(key, found):
    # The first entries are plain bytes pairs; what follows needs the general walk.
    text = isinstance(found, str) or found is None
    assert Headers([(b"accept", b"*/*"), (b"HOST", b"h\xe9"), ("host", "s")]).get_first(key) == found
    assert Headers([(b"accept", b"*/*"), (b"host", 5)]).get_first(key) == (
        None if found is None else "5" if text else b"5"
    )
    assert Headers([(b"accept", b"*/*"), (b"host", None), (b"host", b"x")]).get_first(key) is None
    assert Headers([(b"accept", b"*/*"), ("Host", b"v")]).get_first(key) == (
        None if found is None else "v" if text else b"v"
    )
    short = Headers([(b"accept", b"*/*"), (b"host",), (b"host", b"x")])
    with pytest.raises((IndexError, TypeError)):
        short.get_first(key)


def test_uninitialised_instance():
    h = Headers.__new__(Headers)
    assert h.values is None
    for op in (h.get, h.get_tuples, h.get_first, h.get_single, h.contains, h.__getitem__, h.__contains__):
        raises(TypeError, NOT_ITERABLE, op, b"a")
    raises(TypeError, NOT_ITERABLE, lambda: b"a" in h)
    raises(TypeError, NOT_ITERABLE, lambda: h[0])


def test_cleared_instance():
    h = Headers([(b"a", b"b")])
    h.__init__()
    assert h.get(b"a") == ()


@pytest.mark.parametrize(
    ("method", "param"),
    [("get", "name"), ("get_tuples", "name"), ("get_first", "key"), ("get_single", "key"), ("contains", "key")],
)
def test_argument_binding(method, param):
    h = Headers([(b"a", b"1")])
    fn = getattr(h, method)
    raises(TypeError, f"{method}() takes exactly 1 positional argument (0 given)", fn)
    raises(TypeError, f"{method}() takes exactly 1 positional argument (2 given)", fn, b"a", b"b")
    raises(TypeError, f"{method}() got an unexpected keyword argument 'nom'", lambda: fn(b"a", nom=1))
    raises(
        TypeError, f"{method}() got multiple values for keyword argument '{param}'", lambda: fn(b"a", **{param: b"a"})
    )
    other = "key" if param == "name" else "name"
    raises(TypeError, f"{method}() takes exactly 1 positional argument (0 given)", lambda: fn(**{other: b"a"}))
    assert fn(**{param: b"A"}) == fn(b"a")


# ---- re-entrancy --------------------------------------------------------------


KINDS = ["clear", "extend", "reinit", "del-self"]


@pytest.mark.parametrize(
    ("kind", "get"),
    [("clear", (b"1",)), ("extend", (b"1", b"2", b"late")), ("reinit", (b"1", b"2")), ("del-self", (b"1",))],
)
def test_lower_changing_the_list_during_a_scan(kind, get):
    # The scan keeps its own list and entry and re-reads the length: what was
    # appended is seen, what moved under the index is not, a new list is ignored.
    assert meddling(kind)[0].get(b"a") == get
    assert [e[1] for e in meddling(kind)[0].get_tuples("a")] == list(get)
    assert meddling(kind)[0].get_first("A") == "1"
    assert meddling(kind)[0].contains(b"a") is True
    h, values = meddling(kind)
    h.remove(b"a")
    left = {
        "clear": [],
        "extend": [(b"b", b"0"), (b"b", b"x")],
        "reinit": [(b"b", b"0")],
        "del-self": [(b"b", b"0"), (b"a", b"2")],
    }
    assert values == left[kind]


@pytest.mark.parametrize("kind", KINDS)
def test_entries_changing_the_list_during_keys_and_clone(kind):
    h, _ = meddling(kind, MeddlingEntry)
    assert h.keys() == (b"b", b"a")
    h, _ = meddling(kind, MeddlingEntry)
    cloned = {
        "clear": [(b"b", b"0"), (b"a", b"1")],
        "extend": [(b"b", b"0"), (b"a", b"1"), (b"a", b"2"), (b"a", b"late"), (b"b", b"x")],
        "reinit": [(b"b", b"0"), (b"a", b"1"), (b"a", b"2")],
        "del-self": [(b"b", b"0"), (b"a", b"1")],
    }
    assert h.clone().values == cloned[kind]
    h, _ = meddling(kind, MeddlingEntry)
    assert h.contains(b"a")
