"""Pickling, copying and unpickling of Header and Headers, and the stored
format they rely on: reconstructor names, state tuples and checksums."""

import builtins
import copy
import hashlib
import pickle

import pytest

import velmora.headers as mod
from velmora.headers import Header, Headers

from support import HEADER_SUMS, HEADERS_SUMS, SubHeader, exactly, unpickle_header, unpickle_headers

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def fields(obj):
    return (obj.name, obj.value) if isinstance(obj, Header) else (obj.values,)


class SubHeaders(Headers):
    pass


# ---- round trips ------------------------------------------------------------


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize(
    "record",
    [Header(b"Content-Type", b"text/plain"), Header("X-Id", 5), Header(None, None), Header(None, [1, b"x"])],
    ids=repr,
)
def test_header_round_trip(record, protocol):
    loaded = pickle.loads(pickle.dumps(record, protocol))
    assert type(loaded) is Header
    assert (loaded.name, loaded.value) == (record.name, record.value)


def test_loaded_header_name_is_stored_as_pickled_not_reinterned():
    # a state can carry any name: it is not lowered on the way back in
    loaded = unpickle_header(Header, HEADER_SUMS[0], (b"Upper-Case", 1))
    assert loaded.name == b"Upper-Case"


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_headers_round_trip(protocol):
    h = Headers([(b"content-type", b"text/plain"), ("x-str", 1), (b"n", None)])
    loaded = pickle.loads(pickle.dumps(h, protocol))
    assert type(loaded) is Headers
    assert loaded.values == h.values
    assert loaded.values is not h.values
    assert loaded.get("Content-Type") == ("text/plain",)


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_uninitialised_headers_round_trip(protocol):
    loaded = pickle.loads(pickle.dumps(Headers.__new__(Headers), protocol))
    assert type(loaded) is Headers
    assert loaded.values is None


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_shared_list_stays_shared(protocol):
    shared = [(b"a", b"1")]
    first, second = pickle.loads(pickle.dumps([Headers(shared), Headers(shared)], protocol))
    assert first.values is second.values
    first.add(b"b", b"2")
    assert len(second.values) == 2


def test_copy_shares_the_list_and_deepcopy_does_not():
    h = Headers([(b"a", b"1")])
    shallow, deep = copy.copy(h), copy.deepcopy(h)
    assert shallow is not h
    assert shallow.values is h.values
    assert deep.values == h.values
    assert deep.values is not h.values
    r = Header(b"a", [1])
    assert copy.copy(r).value is r.value
    assert copy.deepcopy(r).value == [1]
    assert copy.deepcopy(r).value is not r.value


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize(
    "make", [lambda: SubHeader(b"A", 1), lambda: SubHeaders([(b"a", 1)])], ids=["Header", "Headers"]
)
def test_subclass_pickles_as_itself_with_its_attributes(make, protocol):
    obj = make()
    obj.extra = {"k": [1]}
    loaded = pickle.loads(pickle.dumps(obj, protocol))
    assert type(loaded) is type(obj)
    assert loaded.extra == {"k": [1]}
    assert fields(loaded) == fields(obj)


# ---- reduce shapes ----------------------------------------------------------


def test_header_reduce_shapes():
    assert Header.__new__(Header).__reduce__() == (unpickle_header, (Header, HEADER_SUMS[0], (None, None)))
    for name, value in ((b"a", None), (None, 0), (b"a", b"v")):
        h = Header(name, value)
        fn, args, state = h.__reduce__()
        assert fn is unpickle_header
        assert args == (Header, HEADER_SUMS[0], None)
        assert state[0] is h.name
        assert state[1] is h.value
        assert len(state) == 2


def test_headers_reduce_shapes():
    assert Headers.__new__(Headers).__reduce__() == (unpickle_headers, (Headers, HEADERS_SUMS[0], (None,)))
    h = Headers()
    fn, args, state = h.__reduce__()
    assert (fn, args) == (unpickle_headers, (Headers, HEADERS_SUMS[0], None))
    assert len(state) == 1
    assert state[0] is h.values


def test_subclass_reduce_carries_class_and_nonempty_dict():
    s = SubHeader.__new__(SubHeader)
    assert s.__reduce_cython__() == (unpickle_header, (SubHeader, HEADER_SUMS[0], (None, None)))
    s.tag = 1
    assert s.__reduce_cython__() == (unpickle_header, (SubHeader, HEADER_SUMS[0], None), (None, None, {"tag": 1}))


def test_methods_and_reconstructors_are_present():
    for cls in (Header, Headers):
        for name in ("__reduce__", "__setstate__", "__reduce_cython__", "__setstate_cython__"):
            assert name in vars(cls), (cls, name)
    assert callable(unpickle_header)
    assert callable(unpickle_headers)


@pytest.mark.parametrize(
    ("obj", "name"), [(Header(b"a", 1), "__pyx_unpickle_Header"), (Headers(), "__pyx_unpickle_Headers")]
)
def test_reconstructor_is_looked_up_by_name(monkeypatch, obj, name):
    original = getattr(mod, name)
    monkeypatch.delattr(mod, name)
    with pytest.raises(NameError, match=exactly(f"name '{name}' is not defined")):
        obj.__reduce__()
    with pytest.raises(NameError):
        pickle.dumps(obj)
    monkeypatch.setattr(builtins, name, original, raising=False)
    assert obj.__reduce__()[0] is original


# ---- checksums --------------------------------------------------------------


@pytest.mark.parametrize(("fields", "sums"), [("name value", HEADER_SUMS), ("values", HEADERS_SUMS)])
def test_checksums_are_digest_prefixes_of_the_field_list(fields, sums):
    digests = [hashlib.new(algo, fields.encode()).hexdigest() for algo in ("sha256", "sha1", "md5")]
    assert tuple(int(d[:7], 16) for d in digests) == sums


@pytest.mark.parametrize("checksum", HEADER_SUMS)
def test_each_header_checksum_is_accepted(checksum):
    loaded = unpickle_header(Header, checksum, ("a", "b"))
    assert (loaded.name, loaded.value) == ("a", "b")


@pytest.mark.parametrize("checksum", HEADERS_SUMS)
def test_each_headers_checksum_is_accepted(checksum):
    values = [(b"a", b"b")]
    assert unpickle_headers(Headers, checksum, (values,)).values is values


@pytest.mark.parametrize(
    ("fn", "checksum", "shown", "accepted"),
    [
        (unpickle_header, 1, "0x1", "0xaaf55bf, 0xe891e3f, 0xfa7a105) = (name, value)"),
        (unpickle_header, HEADERS_SUMS[0], "0x89445ea", "0xaaf55bf, 0xe891e3f, 0xfa7a105) = (name, value)"),
        (unpickle_header, -1, "0xffffffff", "0xaaf55bf, 0xe891e3f, 0xfa7a105) = (name, value)"),
        # only the low 32 bits are shown, but all of it is compared
        (unpickle_header, (1 << 32) + HEADER_SUMS[0], "0xaaf55bf", "0xaaf55bf, 0xe891e3f, 0xfa7a105) = (name, value)"),
        (unpickle_headers, HEADER_SUMS[0], "0xaaf55bf", "0x89445ea, 0x48b0cb, 0xf09cc7e) = (values)"),
    ],
)
def test_wrong_checksum(fn, checksum, shown, accepted):
    cls = Header if fn is unpickle_header else Headers
    with pytest.raises(pickle.PickleError, match=exactly(f"Incompatible checksums ({shown} vs ({accepted})")):
        fn(cls, checksum, None)


@pytest.mark.parametrize(("checksum", "error"), [("x", TypeError), (1 << 70, OverflowError), (None, TypeError)])
def test_checksum_must_be_a_64_bit_int(checksum, error):
    with pytest.raises(error):
        unpickle_header(Header, checksum, None)


def test_state_type_is_checked_before_the_checksum():
    with pytest.raises(
        TypeError, match=exactly("Argument '__pyx_state' has incorrect type (expected tuple, got list)")
    ):
        unpickle_header(Header, 1, ["a", "b"])
    with pytest.raises(TypeError, match=exactly("Argument '__pyx_state' has incorrect type (expected tuple, got T)")):
        unpickle_headers(Headers, HEADERS_SUMS[0], type("T", (tuple,), {})(([],)))


# ---- reconstructors ---------------------------------------------------------


def test_reconstructors_without_state_give_empty_instances():
    h = unpickle_header(Header, HEADER_SUMS[0], None)
    assert type(h) is Header
    assert h.name is None
    assert h.value is None
    hs = unpickle_headers(Headers, HEADERS_SUMS[0], None)
    assert type(hs) is Headers
    assert hs.values is None


def test_reconstructor_makes_the_recorded_subclass_without_init():
    class Loud(Headers):
        def __init__(self, *args):
            raise AssertionError("init ran")

    assert type(unpickle_headers(Loud, HEADERS_SUMS[0], ([],))) is Loud
    assert type(unpickle_header(SubHeader, HEADER_SUMS[0], None)) is SubHeader


@pytest.mark.parametrize(
    ("fn", "cls"), [(unpickle_header, Headers), (unpickle_headers, Header), (unpickle_header, int)]
)
def test_reconstructor_refuses_a_foreign_class(fn, cls):
    sums = HEADER_SUMS if fn is unpickle_header else HEADERS_SUMS
    with pytest.raises(TypeError):
        fn(cls, sums[0], None)


def test_reconstructor_binding():
    h = unpickle_header(__pyx_state=("n", 1), __pyx_checksum=HEADER_SUMS[0], __pyx_type=Header)
    assert (h.name, h.value) == ("n", 1)
    with pytest.raises(
        TypeError, match=exactly("__pyx_unpickle_Header() takes exactly 3 positional arguments (2 given)")
    ):
        unpickle_header(Header, HEADER_SUMS[0])
    with pytest.raises(TypeError, match=exactly("__pyx_unpickle_Headers() got an unexpected keyword argument 'state'")):
        unpickle_headers(Headers, HEADERS_SUMS[0], None, state=1)


# ---- set-state --------------------------------------------------------------


@pytest.mark.parametrize("setter", ["__setstate__", "__setstate_cython__"])
def test_setstate_assigns_fields_unchanged(setter):
    h = Header(b"a", 1)
    assert getattr(h, setter)((b"Upper", [2])) is None
    assert h.name == b"Upper"
    assert h.value == [2]
    values = [()]
    hs = Headers()
    getattr(hs, setter)((values,))
    assert hs.values is values
    getattr(hs, setter)((None,))
    assert hs.values is None


@pytest.mark.parametrize(
    ("state", "error", "message"),
    [
        (None, TypeError, "cannot pass None into a C function argument that is declared 'not None'"),
        (["a", "b"], TypeError, "Expected tuple, got list"),
        (type("T", (tuple,), {})(("a", "b")), TypeError, "Expected tuple, got T"),
        ((), ValueError, None),
        (("only-name",), ValueError, None),
    ],
    ids=["None", "list", "tuple-subclass", "empty", "short"],
)
def test_header_setstate_errors_change_nothing(state, error, message):
    h = Header(b"a", 1)
    with pytest.raises(error, match=exactly(message) if message else None):
        h.__setstate__(state)
    assert (h.name, h.value) == (b"a", 1)


@pytest.mark.parametrize(
    ("state", "error", "message"),
    [
        ((), ValueError, None),
        (((),), TypeError, "Expected list, got tuple"),
        (({},), TypeError, "Expected list, got dict"),
        ((type("L", (list,), {})(),), TypeError, "Expected list, got L"),
    ],
    ids=["empty", "tuple", "dict", "list-subclass"],
)
def test_headers_setstate_errors_change_nothing(state, error, message):
    values = [(b"a", 1)]
    h = Headers(values)
    with pytest.raises(error, match=exactly(message) if message else None):
        h.__setstate__(state)
    assert h.values is values


@pytest.mark.parametrize("fn", [unpickle_header, unpickle_headers])
def test_short_state_to_a_reconstructor_is_an_error(fn):
    cls, sums = (Header, HEADER_SUMS) if fn is unpickle_header else (Headers, HEADERS_SUMS)
    with pytest.raises(ValueError, match="state needs"):
        fn(cls, sums[0], ())


@pytest.mark.parametrize("extra", [{}, 0, None, ""], ids=repr)
def test_false_dict_item_is_ignored(extra):
    h = Header(b"a", 1)
    h.__setstate__(("n", "v", extra))
    assert (h.name, h.value) == ("n", "v")


@pytest.mark.parametrize(
    ("obj", "state"), [(Header(b"a", 1), ("n", "v", {"x": 1})), (Headers(), ([], {"x": 1}))], ids=["Header", "Headers"]
)
def test_true_dict_item_without_dict_fails_after_the_fields(obj, state):
    with pytest.raises(AttributeError):
        obj.__setstate__(state)
    assert fields(obj) == state[:-1]


def test_dict_item_updates_a_subclass_dict():
    s = SubHeaders()
    s.keep = 1
    s.__setstate__(([], {"added": 2}))
    assert (s.keep, s.added) == (1, 2)


@pytest.mark.parametrize("cls", [SubHeader, SubHeaders])
def test_dict_item_is_merged_as_dict_update_merges(cls):
    # not by reading .keys(): a list of pairs merges, a str fails as dict.update fails
    own = ("n", "v") if cls is SubHeader else ([],)
    obj = cls.__new__(cls)
    obj.__setstate__((*own, [("added", 2)]))
    assert obj.added == 2
    with pytest.raises(ValueError, match=exactly("dictionary update sequence element #0 has length 1; 2 is required")):
        obj.__setstate__((*own, "ab"))


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: Header(b"a", 1).__reduce__(1), "__reduce_cython__() takes exactly 0 positional arguments (1 given)"),
        (lambda: Headers().__reduce_cython__(x=1), "__reduce_cython__() got an unexpected keyword argument 'x'"),
        (lambda: Header(b"a", 1).__setstate__(), "__setstate_cython__() takes exactly 1 positional argument (0 given)"),
        (lambda: Headers().__setstate__((), ()), "__setstate_cython__() takes exactly 1 positional argument (2 given)"),
    ],
)
def test_method_binding(call, message):
    with pytest.raises(TypeError, match=exactly(message)):
        call()
