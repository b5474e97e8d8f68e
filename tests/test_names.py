"""Canonical header names, key lowering, name matching and value conversion."""

import builtins
import gc
import importlib.util
import subprocess
import sys
import textwrap
import types

import pytest

import velmora.headers as vh
from velmora import _vlm_core as core
from velmora.headers import Headers, intern_header_name_bytes, intern_header_name_str

from support import BSub, python_command


def fresh(text):
    """An equal str or bytes (of two or more items) that is a new object."""
    half = len(text) // 2
    return text[:half] + text[half:]


class LowerAs(str):
    """A str name whose lower() answers whatever it was told to."""

    def __new__(cls, text, result):
        self = super().__new__(cls, text)
        self.result = result
        return self

    def lower(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class StrAs(str):
    def __str__(self):
        return "Other-Name"


# ---- interning ---------------------------------------------------------------


def test_str_interning_gives_one_object_per_lowercase_text():
    known = intern_header_name_str("Content-Type")
    assert known == "content-type"
    assert intern_header_name_str("".join(["content-", "type"])) is known
    assert intern_header_name_str("CONTENT-TYPE") is known
    unknown = intern_header_name_str("X-Foo")
    assert unknown == "x-foo"
    assert intern_header_name_str("".join(["x-", "foo"])) is unknown
    assert intern_header_name_str("x-FOO") is unknown
    assert unknown is sys.intern("".join(["x-", "foo"]))


@pytest.mark.parametrize(
    ("arg", "text"),
    [
        (5, "5"),
        (b"Host", "b'host'"),
        (bytearray(b"Host"), "bytearray(b'host')"),
        (StrAs("X"), "other-name"),
        (LowerAs("Content-Type", "ignored"), "content-type"),
        ("\xc9t\xc9", "\xe9t\xe9"),
        ("\u212a", "k"),  # Kelvin sign: str.lower, not ASCII lowering
        ("", ""),
    ],
    ids=["int", "bytes", "bytearray", "str-subclass-__str__", "str-subclass-lower-unused", "latin1", "kelvin", "empty"],
)
def test_str_interning_of_other_objects_uses_their_str(arg, text):
    result = intern_header_name_str(arg)
    assert type(result) is str
    assert result == text
    assert intern_header_name_str(text) is result


def test_none_passes_through_both_functions():
    assert intern_header_name_str(None) is None
    assert intern_header_name_bytes(None) is None


def test_str_interning_propagates_str_errors():
    class Bad:
        def __str__(self):
            raise ZeroDivisionError("no text")

    with pytest.raises(ZeroDivisionError, match="no text"):
        intern_header_name_str(Bad())


def test_well_known_bytes_names_share_the_core_object():
    for name in core.known_names():
        for variant in (fresh(name), name.upper(), name.title()):
            assert intern_header_name_bytes(variant) is name, variant


def test_bytes_interning_of_names_the_core_does_not_know():
    assert core._lookup(b"x-custom") is None
    lower = fresh(b"x-custom")
    assert intern_header_name_bytes(lower) is lower
    upper = b"X-Custom"
    first, second = intern_header_name_bytes(upper), intern_header_name_bytes(upper)
    assert first == second == b"x-custom"
    assert first is not second
    assert first is not upper
    empty = b""
    assert intern_header_name_bytes(empty) is empty


def test_bytes_keys_recognised_by_address_are_never_mistaken():
    # Keys die and new ones take their addresses; every answer must still be
    # the key's own, and a name needing a copy must get a new one each time.
    shared = intern_header_name_bytes(b"content-type")
    h = Headers([(b"x-a", b"1"), (shared, b"t")])
    for i in range(300):
        low = fresh(b"x-a")
        assert intern_header_name_bytes(low) is low
        assert h.get_first(low) == b"1"
        del low
        upper = fresh(b"X-B%d" % i)
        got = intern_header_name_bytes(upper)
        assert got == b"x-b%d" % i
        assert got is not upper
        assert got is not intern_header_name_bytes(upper)
        assert h.get_first(upper) is None
        assert intern_header_name_bytes(fresh(b"Content-TYPE")) is shared
        assert h.get_first(BSub(b"x-a")) is None


def test_lowering_changes_only_ascii_capitals():
    for value in range(256):
        # The byte sits inside the first 8-byte word and again in the tail.
        raw = b"X-Ab" + bytes([value]) + b"cdEf" + bytes([value])
        lowered = intern_header_name_bytes(raw)
        assert lowered == raw.lower(), raw
        assert intern_header_name_str(raw.decode("latin-1")) == raw.decode("latin-1").lower(), raw
        h = Headers()
        h.add(raw, b"v")
        assert h.values[0][0] == raw.lower(), raw
        assert h.get(raw) == h.get(raw.upper()) == (b"v",), raw
        if 0x80 <= value:
            assert lowered[4] == lowered[9] == value


@pytest.mark.parametrize(
    ("arg", "type_name"),
    [
        ("host", "str"),
        (bytearray(b"host"), "bytearray"),
        (BSub(b"host"), "BSub"),
        (memoryview(b"host"), "memoryview"),
        (1, "int"),
    ],
)
def test_bytes_interning_accepts_exactly_bytes(arg, type_name):
    with pytest.raises(TypeError) as exc:
        intern_header_name_bytes(arg)
    assert str(exc.value) == f"Argument 'name' has incorrect type (expected bytes, got {type_name})"


@pytest.mark.parametrize("func", [intern_header_name_bytes, intern_header_name_str], ids=lambda f: f.__name__)
def test_argument_binding(func):
    name = func.__name__
    cases = [
        ((), {}, f"{name}() takes exactly 1 positional argument (0 given)"),
        ((b"a", b"b"), {}, f"{name}() takes exactly 1 positional argument (2 given)"),
        ((b"a",), {"nom": 1}, f"{name}() got an unexpected keyword argument 'nom'"),
        ((), {"name": b"a", "nom": 1}, f"{name}() got an unexpected keyword argument 'nom'"),
        ((b"a",), {"name": b"b"}, f"{name}() got multiple values for keyword argument 'name'"),
    ]
    for args, kwargs, message in cases:
        with pytest.raises(TypeError) as exc:
            func(*args, **kwargs)
        assert str(exc.value) == message
    assert func(name=b"X-Key") == (b"x-key" if func is intern_header_name_bytes else "b'x-key'")


# ---- sys looked up at every call ------------------------------------------------


def test_missing_sys_raises_name_error(monkeypatch):
    monkeypatch.delattr(vh, "sys")
    with pytest.raises(NameError) as exc:
        intern_header_name_str("X-Not-Interned-Yet")
    assert str(exc.value) == "name 'sys' is not defined"
    with pytest.raises(NameError, match="^name 'sys' is not defined$"):
        Headers([(b"a", b"b")]).get("x-unknown")
    # The table answers without sys.
    assert intern_header_name_str("HOST") == "host"
    monkeypatch.setattr(builtins, "sys", types.SimpleNamespace(intern=lambda s: canonical), raising=False)
    canonical = fresh("x-from-builtins")
    assert intern_header_name_str("X-From-Builtins") is canonical


def test_replaced_intern_is_honoured(monkeypatch):
    seen = []
    canonical = fresh("x-replaced")

    def intern(text):
        seen.append(text)
        return canonical

    monkeypatch.setattr(vh, "sys", types.SimpleNamespace(intern=intern))
    assert intern_header_name_str("X-Replaced") is canonical
    assert seen == ["x-replaced"]
    assert type(seen[0]) is str
    h = Headers()
    h.add("X-Other", b"v")
    assert h.values[0][0] is canonical
    assert intern_header_name_str("content-type") == "content-type"  # table hit: no call
    assert len(seen) == 2


HAS_DICT_WATCHERS = sys.version_info >= (3, 12) and importlib.util.find_spec("_testcapi") is not None

# Run in a fresh interpreter each: a replacement seen once may leave the
# shortcut off for the rest of the process, which would hide the next case.
REPLACE_INTERN = {
    "in sys's dict": ("", "sys.intern = recorder"),
    "through sys's class": (
        "",
        textwrap.dedent(
            """
            class ThroughClass(types.ModuleType):
                intern = property(lambda self: recorder)
            sys.__class__ = ThroughClass
            """
        ),
    ),
    # Other code may hold every dict watcher id before the import: it must
    # still import and be right, without the shortcut.
    "with no dict watcher id left": (
        textwrap.dedent(
            """
            import _testcapi
            try:
                while True:
                    _testcapi.add_dict_watcher(0)
            except RuntimeError:
                pass
            """
        ),
        "sys.intern = recorder",
    ),
}

REPLACED_INTERN_CHECK = """
{before}
import sys, types
from velmora.headers import Headers, intern_header_name_str

already = sys.intern("".join(["x-already-", "interned"]))
recent = intern_header_name_str("X-Recently-Seen")
canonical = "".join(["x-", "canonical"])
calls = []

def recorder(text):
    calls.append(text)
    return canonical

{replace}
assert intern_header_name_str(already) is canonical
assert intern_header_name_str("X-Recently-Seen") is canonical
h = Headers()
h.add("X-Already-Interned", b"v")
assert h.values[0][0] is canonical
assert calls == [already, recent, already], calls
print("ok")
"""


@pytest.mark.parametrize(("before", "replace"), REPLACE_INTERN.values(), ids=REPLACE_INTERN.keys())
def test_every_call_reaches_a_replaced_sys_intern(before, replace):
    if before and not HAS_DICT_WATCHERS:
        pytest.skip("dict watchers exist from 3.12, in a build with _testcapi")
    # Names the interpreter already interned, and names interned here a
    # moment ago, are the ones a shortcut could answer without asking.
    run = subprocess.run(
        python_command(REPLACED_INTERN_CHECK.format(before=before, replace=replace)),
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (run.returncode, run.stdout) == (0, "ok\n"), run.stderr


def headers_cycle():
    lst = []
    lst.append(Headers(lst))


def header_cycle():
    lst = []
    lst.append(vh.Header(b"a", lst))


# Each operation hands out or stores None.
NONE_PATHS = {
    "intern bytes None": lambda: intern_header_name_bytes(None),
    "intern str None": lambda: intern_header_name_str(None),
    "get_first miss, shared bytes key": lambda: Headers([(b"a", b"b")]).get_first(b"content-type"),
    "get_first miss, other key": lambda: Headers([(b"a", b"b")]).get_first("X-Other"),
    "get_first of a None value": lambda: Headers([(b"a", None)]).get_first(b"a"),
    "get of a None value": lambda: Headers([(b"a", None)]).get("A"),
    "add": lambda: Headers().add(b"a", b"b"),
    "update with nothing": lambda: Headers().update({}),
    "new Headers": lambda: Headers.__new__(Headers),
    "new Header": lambda: vh.Header.__new__(vh.Header),
    "Headers cleared by the collector": headers_cycle,
    "Header cleared by the collector": header_cycle,
}


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="None is immortal: its count never changes")
@pytest.mark.parametrize("op", NONE_PATHS.values(), ids=NONE_PATHS.keys())
def test_none_returned_or_stored_is_owned(op):
    # One reference too few per call would take None's count to zero after
    # enough calls; here it shows as a count that falls with each call.
    gc.collect()
    before = sys.getrefcount(None)
    for _ in range(2000):
        op()
    gc.collect()
    assert sys.getrefcount(None) >= before - 100


def test_str_interning_of_every_core_name_in_any_letter_case(monkeypatch, str_table_names):
    # Names of the str table come back as its objects without a call to
    # intern; every other name, well known to the core or not, is interned.
    for name in core.known_names():
        text = name.decode()
        for variant in (fresh(text), text.upper(), text.title()):
            assert intern_header_name_str(variant) is sys.intern(text), variant
    calls = []
    monkeypatch.setattr(vh, "sys", types.SimpleNamespace(intern=lambda s: calls.append(s) or sys.intern(s)))
    for name in core.known_names():
        calls.clear()
        assert intern_header_name_str(fresh(name.decode().upper())) == name.decode()
        assert calls == ([] if name in str_table_names else [name.decode()]), name


def test_interned_str_names_are_recognised_by_identity_only(monkeypatch, str_table_names):
    # An interned name is the table's own object or another str, wherever
    # its address falls among the table's: only the former is returned as
    # given; the others, capitalised forms of table names among them, are
    # lowered first.
    calls = []
    monkeypatch.setattr(vh, "sys", types.SimpleNamespace(intern=lambda s: calls.append(s) or sys.intern(s)))
    table = [sys.intern(name.decode()) for name in sorted(str_table_names)]
    assert [intern_header_name_str(text) for text in table] == table
    assert all(intern_header_name_str(text) is text for text in table)
    capitalised = [sys.intern(text.title()) for text in table]
    assert all(intern_header_name_str(c) is t for c, t in zip(capitalised, table, strict=True))
    assert calls == []
    others = [sys.intern(f"X-Interned-{i}") for i in range(512)]
    assert [intern_header_name_str(text) for text in others] == [text.lower() for text in others]
    assert calls == [text.lower() for text in others]


# ---- name matching ---------------------------------------------------------------
# The first rule that applies decides:
#   - a str name with a str key: the name lowered equals the lowered key;
#   - an exactly-bytes name with a bytes key: likewise, in bytes;
#   - an exactly-bytes name with a str key: the name lowered equals the
#     lowered key encoded as Latin-1;
#   - a str name with a bytes key: the name lowered equals the lowered key
#     decoded as Latin-1;
#   - any other name (a bytes subclass, a bytearray, a number, None): no match.


def model_lowered_key(key):
    if type(key) is bytes:
        return key.lower(), None
    return None, str(key).lower()


def model_matches(stored, low_b, low_s):
    if low_s is not None and isinstance(stored, str):
        return stored.lower() == low_s
    if low_b is not None and type(stored) is bytes:
        return stored.lower() == low_b
    if low_b is None and low_s is not None and type(stored) is bytes:
        return stored.lower() == low_s.encode("latin-1")
    if low_s is None and low_b is not None and isinstance(stored, str):
        return stored.lower() == low_b.decode("latin-1")
    return False


def test_matching_agrees_with_the_rules_for_every_byte():
    # Each byte against itself and against the values one case bit or the
    # high bit away, in a word position and a tail position.
    for value in range(256):
        for other in {value, value ^ 0x20, value ^ 0x80, value ^ 0xA0}:
            stored_b = b"X-Ab" + bytes([value]) + b"cdEf" + bytes([value])
            key_b = b"x-aB" + bytes([other]) + b"CDef" + bytes([other])
            for stored in (stored_b, stored_b.decode("latin-1")):
                h = Headers([(stored, b"v")])
                for key in (key_b, key_b.decode("latin-1")):
                    expected = model_matches(stored, *model_lowered_key(key))
                    assert h.contains(key) is expected, (stored, key)
                    assert len(h.get(key)) == expected, (stored, key)


def test_matching_checks_every_byte_of_names_of_every_length():
    # Short names are compared as one packed word and long ones with an
    # overlapping last word: a difference anywhere must still be seen.
    for n in range(1, 40):
        low = bytes(ord("a") + (i * 7) % 26 for i in range(n))
        h = Headers([(low.upper(), b"v")])
        assert h.contains(low), n
        assert h.contains(low.decode()), n
        for pos in range(n):
            other = low[:pos] + b"-" + low[pos + 1 :]
            assert not h.contains(other), (n, pos)
            assert not h.contains(other.decode()), (n, pos)
        assert not h.contains(low + b"a")
        assert not h.contains(low[:-1])


STORED = [
    b"x-custom",
    b"X-CUSTOM",
    "X-Custom",
    "x-custom",
    "X-CUST\xd6M",
    b"x-cust\xf6m",
    b"x-cust\xd6m",
    BSub(b"x-custom"),
    bytearray(b"x-custom"),
    "b'x-custom'",
    "bytearray(b'x-custom')",
    "None",
    b"NONE",
    5,
    "5",
    "\u212a",
    b"k",
    None,
]
KEYS = [
    b"x-custom",
    b"X-Custom",
    "X-CUSTOM",
    "x-cust\xf6m",
    b"x-cust\xf6m",
    BSub(b"X-Custom"),
    bytearray(b"x-custom"),
    None,
    5,
    "\u212a",
    b"K",
]


@pytest.mark.parametrize("key", KEYS, ids=repr)
def test_matching_across_name_and_key_kinds(key):
    values = [(name, i) for i, name in enumerate(STORED)]
    h = Headers(values)
    low_b, low_s = model_lowered_key(key)
    expected = tuple(
        str(i) if low_s is not None else str(i).encode()
        for i, name in enumerate(STORED)
        if model_matches(name, low_b, low_s)
    )
    assert expected, "every key finds something"
    assert h.get(key) == expected
    assert h.contains(key)
    assert key in h


@pytest.mark.parametrize(
    ("result", "key", "message"),
    [
        (5, "x", "Expected str, got int"),
        (b"x", "x", "Expected str, got bytes"),
        (LowerAs("x", "x"), "x", "Expected str, got LowerAs"),
        (5, b"x", "Expected str, got int"),
        (b"x", b"x", "Expected str, got bytes"),
    ],
    ids=["int-str-key", "bytes-str-key", "subclass-str-key", "int-bytes-key", "bytes-bytes-key"],
)
def test_lower_of_the_wrong_type_raises(result, key, message):
    h = Headers([(LowerAs("X", result), b"v")])
    for op in (h.get, h.get_tuples, h.get_first, h.contains, h.remove):
        with pytest.raises(TypeError) as exc:
            op(key)
        assert str(exc.value) == message
    assert len(h.values) == 1


@pytest.mark.parametrize("key", ["x", b"x"], ids=["str", "bytes"])
def test_lower_override_is_used(key):
    h = Headers([(LowerAs("Y", None), b"1"), (LowerAs("Y", "x"), b"2"), (LowerAs("x", "y"), b"3")])
    assert h.get(key) == ((b"2",) if type(key) is bytes else ("2",))
    h = Headers([(LowerAs("x", KeyError("boom")), b"1")])
    with pytest.raises(KeyError, match="boom"):
        h.get_first(key)


def test_str_subclass_key_is_looked_up_by_its_str():
    h = Headers([("other-name", b"1"), ("x", b"2")])
    assert h.get(StrAs("x")) == ("1",)


# ---- conversions and characters beyond Latin-1 ------------------------------------


def test_non_latin1_str_key_fails_only_against_bytes_names():
    euro = "x-\u20ac"
    assert Headers([("x-\u20ac", b"1"), ("a", b"2")]).get(euro) == ("1",)
    assert Headers([(BSub(b"a"), b"1"), (bytearray(b"a"), b"2"), (5, b"3")]).get(euro) == ()
    # get_first and contains stop before the bytes name.
    h = Headers([("X-\u20ac", b"1"), (b"a", b"2")])
    assert h.get_first(euro) == "1"
    assert h.contains(euro)
    for op in (h.get, h.get_tuples, h.remove):
        with pytest.raises(UnicodeEncodeError):
            op(euro)
    assert len(h.values) == 2
    with pytest.raises(UnicodeEncodeError):
        Headers([(b"a", b"2")]).contains("\u0130")  # lowers to two characters, one beyond Latin-1
    # Only the lowered key is encoded: the Kelvin sign lowers to ASCII.
    assert Headers([(b"k", b"2")]).get("\u212a") == ("2",)


@pytest.mark.parametrize(
    ("value", "as_bytes", "as_str"),
    [
        ("\xe9", b"\xe9", "\xe9"),
        (b"\xe9", b"\xe9", "\xe9"),
        (b"", b"", ""),
        ("", b"", ""),
        (5, b"5", "5"),
        (None, None, None),
        (BSub(b"v"), b"b'v'", "b'v'"),
        (LowerAs("v", None), b"v", "v"),
        (bytearray(b"v"), b"bytearray(b'v')", "bytearray(b'v')"),
    ],
    ids=[
        "latin1-str",
        "latin1-bytes",
        "empty-bytes",
        "empty-str",
        "int",
        "none",
        "bytes-subclass",
        "str-subclass",
        "bytearray",
    ],
)
def test_values_come_back_in_the_form_of_the_key(value, as_bytes, as_str):
    h = Headers([(b"n", value), ("N", value)])
    for key, expected in ((b"N", as_bytes), ("n", as_str)):
        got = h.get(key)
        assert got == (expected, expected)
        assert all(type(v) is type(expected) for v in got)
        assert h.get_first(key) == expected
    if type(value) in (bytes, str):
        same_kind_key = b"n" if type(value) is bytes else "n"
        assert h.get_first(same_kind_key) is value


def test_non_latin1_value_fails_only_for_bytes_keys():
    value = "price \u20ac"
    h = Headers([(b"x", value)])
    assert h.get_first("x") is value
    for op in (h.get, h.get_first, h.get_single):
        with pytest.raises(UnicodeEncodeError):
            op(b"x")


def test_value_str_errors_propagate():
    class Bad:
        def __str__(self):
            raise ZeroDivisionError("value")

    h = Headers([(b"x", Bad())])
    for key in (b"x", "x"):
        with pytest.raises(ZeroDivisionError):
            h.get(key)
    assert h.get_tuples("x")[0] is h.values[0]
