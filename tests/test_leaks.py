"""Every public operation of velmora.headers, its success and its error
paths, run many times under the no_leak fixture: allocated blocks and
gc-tracked objects must not grow. The table is the whole surface, so that
leak coverage does not depend on the behaviour tests of each area.

Each row is checked once first to fail (or succeed) the way it claims, so an
error-path row really walks its error path. The native export tables are
reached through ctypes, with the interpreter lock held, as a native
consumer would call them.
"""

import copy
import ctypes
import os
import pickle
from collections.abc import Mapping

import pytest

import velmora.headers as vh
from velmora.headers import Header, Headers

from support import OBJ, api, capi_function

# Under the system allocator (sanitizer builds) only objects are counted, not
# blocks, and a few hundred runs show an object leaked per call; `make
# valgrind` only needs every path run, and sets a handful.
REPEAT = int(os.environ.get("VELMORA_LEAK_REPEAT") or (200 if os.environ.get("PYTHONMALLOC") == "malloc" else 1000))
HEADERS_CHECKSUM = 0x89445EA
HEADER_CHECKSUM = 0xAAF55BF


class Boom(Exception):
    pass


class NoText:
    def __str__(self):
        raise Boom("no text")

    def __format__(self, spec):
        raise Boom("no format")


class LowerInt(str):
    def lower(self):
        return 1


class TextLowerInt:
    """A name whose text is a str whose lower() is not a str."""

    def __str__(self):
        return LowerInt("a")


class Sub(Headers):
    pass


class BadOverrides(Headers):
    def get(self, name):
        return ["not", "a", "tuple"]

    def get_tuples(self, name):
        return ("not a list",)

    def keys(self):
        return ["k"]

    def clone(self):
        return 5

    def contains(self, key):
        return NoText()  # truthy; exercises the truth test of a non-bool


class NoneOverrides(Headers):
    def get(self, name):
        return None


class FalseyRaises:
    def __bool__(self):
        raise Boom("no truth")


class ContainsRaises(Headers):
    def contains(self, key):
        return FalseyRaises()


class DictSub(dict):
    pass


class PairMapping(Mapping):
    def __init__(self, pairs):
        self.pairs = pairs

    def __getitem__(self, k):
        raise KeyError(k)

    def __iter__(self):
        return iter(())

    def __len__(self):
        return len(self.pairs)

    def items(self):
        return self.pairs


def full():
    """A fresh collection with names in both forms and several letter cases."""
    return Headers(
        [(b"content-type", b"text/plain"), (b"X-Mixed", b"\xe9"), ("host", "\xe9t\xe9"), (b"host", b"h"), (b"x-none", None)]
    )


def bytes_only():
    return Headers([(b"content-type", b"text/plain"), (b"x-a", b"1"), (b"x-a", None)])


def uninitialised():
    return Headers.__new__(Headers)


def with_entries(*entries):
    return Headers(list(entries))


# ---------------------------------------------------------------------------
# Native entry points through ctypes.

_obj1 = ctypes.PYFUNCTYPE(OBJ, OBJ, ctypes.c_int)
_obj2 = ctypes.PYFUNCTYPE(OBJ, OBJ, OBJ, ctypes.c_int)
_void2 = ctypes.PYFUNCTYPE(None, OBJ, OBJ, ctypes.c_int)
_void3 = ctypes.PYFUNCTYPE(None, OBJ, OBJ, OBJ, ctypes.c_int)
_int2 = ctypes.PYFUNCTYPE(ctypes.c_int, OBJ, OBJ, ctypes.c_int)


class VTable(ctypes.Structure):
    _fields_ = [
        ("keys", _obj1),
        ("clone", _obj1),
        ("get", _obj2),
        ("get_tuples", _obj2),
        ("add", _void3),
        ("set", _void3),
        ("get_single", _obj2),
        ("get_first", _obj2),
        ("remove", _void2),
        ("merge", _void2),
        ("contains", _int2),
    ]


VT = VTable.from_address(api.PyCapsule_GetPointer(Headers.__dict__["__pyx_vtable__"], None))
C_INTERN_BYTES = capi_function(vh, "intern_header_name_bytes")
C_INTERN_STR = capi_function(vh, "intern_header_name_str")
_seq_get, _seq_set, _seq_del = api.PySequence_GetItem, api.PySequence_SetItem, api.PySequence_DelItem


def generator_steps(make):
    """Starts, sends into, throws into and closes a walk."""

    def run():
        g = make()
        next(g)
        g.send(None)
        g.close()
        g2 = make()
        try:
            g2.throw(Boom("thrown"))
        except Boom:
            pass
        repr(g2), g2.__name__, g2.__qualname__
        return list(make())

    return run


def iadd(h, other):
    h += other
    return h


class LowerTrigger(str):
    """A dict key whose text grows the dict it is walked from."""

    target = None

    def __str__(self):
        if LowerTrigger.target is not None:
            LowerTrigger.target[object()] = 1
        return str.__str__(self)

    __hash__ = str.__hash__


def update_resized():
    d = {LowerTrigger("A"): b"1", b"b": b"2"}
    LowerTrigger.target = d
    try:
        Headers().update(d)
    finally:
        LowerTrigger.target = None


def loads(obj, protocol):
    """pickle.loads of obj's stream. The unpickler grows caches of its own
    over its first couple of thousand loads, so these rows warm up longer."""
    data = pickle.dumps(obj, protocol)

    def load():
        return pickle.loads(data)

    load.warm = 3000
    return load


# (id, operation, exception it must raise or None)
OK = None
CASES = [
    # Interning, from Python and through __pyx_capi__.
    ("intern_bytes new", lambda: vh.intern_header_name_bytes(b"X-Custom-Name"), OK),
    ("intern_bytes known", lambda: vh.intern_header_name_bytes(b"CONTENT-TYPE"), OK),
    ("intern_bytes lower", lambda: vh.intern_header_name_bytes(name=b"x-custom"), OK),
    ("intern_bytes None", lambda: vh.intern_header_name_bytes(None), OK),
    ("intern_bytes str", lambda: vh.intern_header_name_bytes("host"), TypeError),
    ("intern_bytes no args", lambda: vh.intern_header_name_bytes(), TypeError),
    ("intern_bytes bad keyword", lambda: vh.intern_header_name_bytes(nom=b"x"), TypeError),
    ("intern_str new", lambda: vh.intern_header_name_str("X-Foo-Bar"), OK),
    ("intern_str known", lambda: vh.intern_header_name_str("Content-Type"), OK),
    ("intern_str non-ascii", lambda: vh.intern_header_name_str("X-\xc9t\xc9-\u0130"), OK),
    ("intern_str object", lambda: vh.intern_header_name_str(12345), OK),
    ("intern_str bytes", lambda: vh.intern_header_name_str(b"Host"), OK),
    ("intern_str str() raises", lambda: vh.intern_header_name_str(NoText()), Boom),
    ("intern_str two args", lambda: vh.intern_header_name_str("a", "b"), TypeError),
    ("capi intern bytes", lambda: C_INTERN_BYTES(b"X-Capi", 0), OK),
    ("capi intern str", lambda: C_INTERN_STR("X-Capi", 0), OK),
    ("capi intern str raises", lambda: C_INTERN_STR(NoText(), 0), Boom),
    # Header.
    ("Header bytes", lambda: Header(b"Content-Type", b"v"), OK),
    ("Header str", lambda: Header(name="X-Id", value=5), OK),
    ("Header other name", lambda: Header(bytearray(b"A"), None), OK),
    ("Header re-init", lambda: Header(b"a", b"1").__init__(b"B", b"2"), OK),
    ("Header no args", lambda: Header(), TypeError),
    ("Header extra keyword", lambda: Header(b"a", b"b", c=1), TypeError),
    ("Header twice", lambda: Header(b"a", name=b"b"), TypeError),
    ("Header name text raises", lambda: Header(type("S", (str,), {"__str__": NoText.__str__})("x"), 1), Boom),
    ("Header repr", lambda: repr(Header(b"a", 5)), OK),
    ("Header repr raises", lambda: repr(Header(b"a", NoText())), Boom),
    ("Header iter", generator_steps(lambda: iter(Header(b"a", b"b"))), OK),
    ("Header ==", lambda: Header(b"A", b"1") == Header(b"a", b"1"), OK),
    ("Header == by text", lambda: Header(bytearray(b"A"), b"1") == Header(bytearray(b"a"), b"1"), OK),
    ("Header !=", lambda: Header(b"a", b"1") != (b"a", b"1"), OK),
    ("Header == lower wrong type", lambda: Header(TextLowerInt(), 1) == Header(b"x", 1), TypeError),
    ("Header <", lambda: Header(b"a", 1) < Header(b"a", 1), TypeError),
    ("Header hash", lambda: hash(Header(b"a", 1)), TypeError),
    ("Header reduce", lambda: Header(b"a", b"1").__reduce_ex__(5), OK),
    ("Header reduce empty", lambda: Header.__new__(Header).__reduce__(), OK),
    ("Header load", loads(Header(b"a", b"1"), 5), OK),
    ("Header setstate", lambda: Header.__new__(Header).__setstate__((b"a", b"b")), OK),
    ("Header setstate None", lambda: Header.__new__(Header).__setstate_cython__(None), TypeError),
    ("Header setstate list", lambda: Header.__new__(Header).__setstate__([b"a", b"b"]), TypeError),
    ("Header setstate short", lambda: Header.__new__(Header).__setstate__((b"a",)), ValueError),
    ("Header setstate dict item", lambda: Header.__new__(Header).__setstate__((b"a", b"b", {"x": 1})), AttributeError),
    ("unpickle Header", lambda: vh.__pyx_unpickle_Header(Header, 0xE891E3F, ("a", "b")), OK),
    ("unpickle Header checksum", lambda: vh.__pyx_unpickle_Header(Header, 1, None), pickle.PickleError),
    ("unpickle Header state type", lambda: vh.__pyx_unpickle_Header(Header, HEADER_CHECKSUM, []), TypeError),
    ("unpickle Header checksum type", lambda: vh.__pyx_unpickle_Header(Header, "x", None), TypeError),
    ("unpickle Header wrong class", lambda: vh.__pyx_unpickle_Header(int, HEADER_CHECKSUM, None), TypeError),
    ("unpickle Header args", lambda: vh.__pyx_unpickle_Header(Header), TypeError),
    # Headers construction, representation, views.
    ("Headers()", lambda: Headers(), OK),
    ("Headers(list)", lambda: Headers(values=[(b"a", b"b")]), OK),
    ("Headers re-init", lambda: full().__init__([(b"a", b"b")]), OK),
    ("Headers(dict)", lambda: Headers({}), TypeError),
    ("Headers(two)", lambda: Headers([], []), TypeError),
    ("Headers(bad keyword)", lambda: Headers(vals=[]), TypeError),
    ("Headers repr", lambda: repr(full()), OK),
    ("Headers repr odd value", lambda: repr(with_entries((b"a", NoText()), [b"b"], None)), OK),
    ("Headers repr uninitialised", lambda: repr(uninitialised()), OK),
    ("values", lambda: full().values, OK),
    ("keys", lambda: full().keys(), OK),
    ("keys args", lambda: full().keys(1), TypeError),
    ("keys keyword", lambda: full().keys(x=1), TypeError),
    ("keys uninitialised", lambda: uninitialised().keys(), TypeError),
    ("keys record entry", lambda: with_entries((b"a", b"1"), Header(b"a", b"b")).keys(), TypeError),
    ("keys empty entry", lambda: with_entries(()).keys(), IndexError),
    ("keys equality raises", lambda: with_entries((Header(NoText(), 1), 1), (Header(b"x", 1), 1)).keys(), Boom),
    ("items", generator_steps(lambda: full().items()), OK),
    ("iter", generator_steps(lambda: iter(full())), OK),
    ("items args", lambda: full().items(1), TypeError),
    ("iter uninitialised", lambda: list(uninitialised()), TypeError),
    # Lookups, hits and misses in both forms.
    ("get bytes", lambda: full().get(b"HOST"), OK),
    ("get str", lambda: full().get("x-mixed"), OK),
    ("get miss", lambda: full().get(b"absent"), OK),
    ("get other key", lambda: full().get(None), OK),
    ("get keyword", lambda: full().get(name="Host"), OK),
    ("get_tuples", lambda: full().get_tuples("HOST"), OK),
    ("get_first", lambda: full().get_first(b"x-none"), OK),
    ("get_first miss", lambda: full().get_first("absent"), OK),
    ("get_single", lambda: full().get_single(b"content-type"), OK),
    ("get_single many", lambda: full().get_single("host"), ValueError),
    ("get_single none", lambda: full().get_single("absent"), ValueError),
    ("contains", lambda: full().contains("HOST"), OK),
    ("contains miss", lambda: full().contains(b"absent"), OK),
    ("in", lambda: "X-MIXED" in full(), OK),
    ("h[key]", lambda: full()[b"host"], OK),
    ("h[int]", lambda: full()[0], OK),
    ("sequence item", lambda: _seq_get(full(), 3), OK),
    ("get no args", lambda: full().get(), TypeError),
    ("get twice", lambda: full().get(b"a", name=b"b"), TypeError),
    ("get keywords not strings", lambda: full().get(**{"name": 1, "x": 2}), TypeError),
    ("get uninitialised", lambda: uninitialised().get(b"a"), TypeError),
    ("get_tuples uninitialised", lambda: uninitialised().get_tuples("a"), TypeError),
    ("contains uninitialised", lambda: uninitialised().contains("a"), TypeError),
    ("get list entry", lambda: with_entries([b"a", b"b"]).get(b"a"), TypeError),
    ("get None entry", lambda: with_entries(None).get_first("a"), TypeError),
    ("get short entry", lambda: with_entries((b"a",)).get("a"), IndexError),
    ("contains None entry", lambda: with_entries(None).contains("a"), TypeError),
    ("contains list entry", lambda: with_entries([b"a", b"b"]).contains("A"), OK),
    ("get euro key", lambda: full().get("\u20ac"), UnicodeEncodeError),
    ("get value not latin-1", lambda: with_entries(("a", "\u20ac")).get(b"a"), UnicodeEncodeError),
    ("get value text raises", lambda: with_entries((b"a", NoText())).get("a"), Boom),
    ("get key text raises", lambda: full().get(NoText()), Boom),
    ("get lower raises type", lambda: with_entries((LowerInt("a"), 1)).get("a"), TypeError),
    ("get_first lower wrong type", lambda: with_entries((LowerInt("a"), 1)).get_first(b"a"), TypeError),
    # Mutation.
    ("add bytes", lambda: full().add(b"X-New", b"1"), OK),
    ("add str", lambda: full().add(name="X-New", value="1"), OK),
    ("add other", lambda: full().add(5, None), OK),
    ("add uninitialised", lambda: uninitialised().add(b"a", b"b"), AttributeError),
    ("add name text raises", lambda: full().add(type("S", (str,), {"__str__": NoText.__str__})("x"), 1), Boom),
    ("add one arg", lambda: full().add(b"a"), TypeError),
    ("set present", lambda: full().set("HOST", b"1"), OK),
    ("set absent", lambda: full().set(b"x-absent", b"1"), OK),
    ("set uninitialised", lambda: uninitialised().set(b"a", b"1"), TypeError),
    ("set euro key", lambda: full().set("\u20ac", b"1"), UnicodeEncodeError),
    ("remove", lambda: full().remove(b"HOST"), OK),
    ("remove miss", lambda: full().remove("absent"), OK),
    ("remove uninitialised", lambda: uninitialised().remove("a"), TypeError),
    ("remove list entry", lambda: with_entries((b"a", b"1"), [b"a", b"b"]).remove("a"), TypeError),
    ("remove short entry", lambda: with_entries(()).remove("a"), IndexError),
    ("remove key text raises", lambda: full().remove(NoText()), Boom),
    ("h[key] =", lambda: full().__setitem__(b"Host", b"2"), OK),
    ("del h[key]", lambda: full().__delitem__("host"), OK),
    ("sequence set", lambda: _seq_set(full(), 0, b"zero"), OK),
    ("sequence del", lambda: _seq_del(full(), 0), OK),
    ("h[key] = uninitialised", lambda: uninitialised().__setitem__(b"a", b"b"), TypeError),
    # Bulk operations.
    ("merge", lambda: full().merge([(b"A", b"1"), None, (b"b", b"2")]), OK),
    ("merge own", lambda: (lambda h: h.merge(h.values))(full()), OK),
    ("merge None", lambda: full().merge(None), TypeError),
    ("merge tuple arg", lambda: full().merge(((b"a", b"b"),)), TypeError),
    ("merge list element", lambda: full().merge([(b"a", b"b"), [b"c", b"d"]]), TypeError),
    ("merge uninitialised", lambda: uninitialised().merge([(b"a", b"b")]), AttributeError),
    ("update", lambda: full().update({b"Host": b"1", "x-new": "2"}), OK),
    ("update None", lambda: full().update(None), AttributeError),
    ("update dict subclass", lambda: full().update(DictSub()), TypeError),
    ("update resized", update_resized, RuntimeError),
    ("update set fails", lambda: full().update({"\u20ac": b"1"}), UnicodeEncodeError),
    ("add_many list", lambda: full().add_many([(b"a", b"1"), [b"b", b"2"], Header(b"c", b"3"), "de"]), OK),
    ("add_many own", lambda: (lambda h: h.add_many(h.values))(full()), OK),
    ("add_many dict", lambda: full().add_many({b"a": b"1", "b": "2"}), OK),
    ("add_many mapping", lambda: full().add_many(PairMapping([(b"a", b"1")])), OK),
    ("add_many mapping bad pair", lambda: full().add_many(PairMapping([(b"a", b"1", b"2")])), ValueError),
    ("add_many mapping short pair", lambda: full().add_many(PairMapping([(b"a",)])), ValueError),
    ("add_many tuple", lambda: full().add_many(((b"a", b"b"),)), ValueError),
    ("add_many bad item", lambda: full().add_many([(b"a", b"1", b"2")]), TypeError),
    ("add_many not iterable item", lambda: full().add_many([5]), TypeError),
    ("add_many uninitialised", lambda: uninitialised().add_many([(b"a", b"1")]), AttributeError),
    ("_add_to_instance headers", lambda: Headers._add_to_instance(full(), bytes_only()), OK),
    ("_add_to_instance record", lambda: Headers._add_to_instance(full(), Header(b"a", b"1")), OK),
    ("_add_to_instance other", lambda: Headers._add_to_instance(full(), 5), OK),
    ("_add_to_instance bad tuple", lambda: Headers._add_to_instance(full(), (1, 2, 3)), ValueError),
    ("_add_to_instance bad element", lambda: Headers._add_to_instance(full(), [(b"a", b"1"), "x"]), ValueError),
    ("_add_to_instance element text raises", lambda: Headers._add_to_instance(full(), [NoText()]), Boom),
    ("_add_to_instance non-pair entry", lambda: Headers._add_to_instance(full(), with_entries((b"a",))), TypeError),
    ("_add_to_instance args", lambda: Headers._add_to_instance(full()), TypeError),
    ("clone", lambda: bytes_only().clone(), OK),
    ("clone entries of every shape", lambda: with_entries([b"a", b"b"], Header(b"c", b"d"), (None, None)).clone(), OK),
    ("clone str", lambda: full().clone(), TypeError),
    ("clone long entry", lambda: with_entries((b"a", b"b", b"c")).clone(), ValueError),
    ("clone short entry", lambda: with_entries((b"a",)).clone(), ValueError),
    ("clone iterable entry short", lambda: with_entries(iter([b"a"])).clone(), ValueError),
    ("clone iterable entry long", lambda: with_entries(iter([b"a", b"b", b"c"])).clone(), ValueError),
    ("clone not iterable entry", lambda: with_entries(5).clone(), TypeError),
    ("clone uninitialised", lambda: uninitialised().clone(), TypeError),
    ("clone args", lambda: full().clone(1), TypeError),
    ("+ list", lambda: bytes_only() + [(b"a", b"1")], OK),
    ("+ headers", lambda: bytes_only() + full(), OK),
    ("radd tuple", lambda: (b"a", b"1") + bytes_only(), OK),
    ("radd record", lambda: Header(b"a", b"1") + bytes_only(), OK),
    ("+ dict", lambda: bytes_only() + {}, TypeError),
    ("+ str collection", lambda: full() + [(b"a", b"1")], TypeError),
    ("+ bad tuple", lambda: bytes_only() + (1,), ValueError),
    ("+=", lambda: iadd(full(), [(b"a", b"1")]), OK),
    ("+= self", lambda: (lambda h: iadd(h, h))(full()), OK),
    ("+= own list", lambda: (lambda h: iadd(h, h.values))(full()), OK),
    ("+= dict", lambda: iadd(bytes_only(), {}), TypeError),
    ("+= subclass dict", lambda: iadd(Sub(), {}), TypeError),
    ("+= bad element", lambda: iadd(full(), [(b"a", b"1"), 3]), ValueError),
    # Subclasses: override lookups and checked results.
    ("subclass lookups", lambda: (lambda h: (h[b"a"], b"a" in h, h.set(b"a", b"1"), h.get_single(b"a"), h + []))(Sub([(b"a", b"0")])), OK),
    ("override get wrong result", lambda: BadOverrides()[b"a"], TypeError),
    ("override get_single wrong result", lambda: BadOverrides().get_single(b"a"), TypeError),
    ("override clone wrong result", lambda: BadOverrides() + [], TypeError),
    ("override contains truth", lambda: b"a" in BadOverrides(), OK),
    ("override contains truth raises", lambda: b"a" in ContainsRaises(), Boom),
    ("override get None", lambda: NoneOverrides()[b"a"], OK),
    ("override get None single", lambda: NoneOverrides().get_single(b"a"), TypeError),
    # Persistence.
    # The pickler's own buffers make whole dumps() round trips too noisy to
    # count blocks on: reduce and load are measured apart.
    ("reduce", lambda: full().__reduce_ex__(5), OK),
    ("reduce uninitialised", lambda: uninitialised().__reduce__(), OK),
    ("reduce subclass with dict", lambda: (lambda s: (setattr(s, "tag", 1), s.__reduce__())[1])(Sub()), OK),
    ("load", loads(full(), 5), OK),
    ("load protocol 0", loads(full(), 0), OK),
    ("load subclass with dict", loads((lambda s: (setattr(s, "tag", 1), s)[1])(Sub()), 2), OK),
    ("copy", lambda: copy.copy(full()), OK),
    ("deepcopy", lambda: copy.deepcopy(full()), OK),
    ("setstate", lambda: full().__setstate__(([(b"a", b"b")],)), OK),
    ("setstate None list", lambda: full().__setstate_cython__((None,)), OK),
    ("setstate wrong list", lambda: full().__setstate__(((),)), TypeError),
    ("setstate empty", lambda: full().__setstate__(()), ValueError),
    ("setstate dict item", lambda: full().__setstate__(([], {"a": 1})), AttributeError),
    ("unpickle Headers", lambda: vh.__pyx_unpickle_Headers(Headers, HEADERS_CHECKSUM, ([],)), OK),
    ("unpickle Headers None", lambda: vh.__pyx_unpickle_Headers(Headers, 0x48B0CB, None), OK),
    ("unpickle Headers checksum", lambda: vh.__pyx_unpickle_Headers(Headers, 0, None), pickle.PickleError),
    ("unpickle Headers state", lambda: vh.__pyx_unpickle_Headers(Headers, HEADERS_CHECKSUM, ({},)), TypeError),
    ("reduce args", lambda: full().__reduce_cython__(1), TypeError),
    # The fast-method table, as other native modules call it.
    ("vtable keys", lambda: VT.keys(full(), 0), OK),
    ("vtable clone", lambda: VT.clone(bytes_only(), 1), OK),
    ("vtable clone fails", lambda: VT.clone(full(), 0), TypeError),
    ("vtable get", lambda: VT.get(full(), b"host", 0), OK),
    ("vtable get_tuples", lambda: VT.get_tuples(full(), "host", 0), OK),
    ("vtable add", lambda: VT.add(full(), b"A", b"1", 0), OK),
    ("vtable add fails", lambda: VT.add(uninitialised(), b"A", b"1", 0), AttributeError),
    ("vtable set", lambda: VT.set(full(), "Host", b"1", 0), OK),
    ("vtable get_single", lambda: VT.get_single(full(), b"content-type", 0), OK),
    ("vtable get_single fails", lambda: VT.get_single(full(), b"host", 1), ValueError),
    ("vtable get_first", lambda: VT.get_first(full(), "HOST", 0), OK),
    ("vtable remove", lambda: VT.remove(full(), b"host", 0), OK),
    ("vtable remove fails", lambda: VT.remove(uninitialised(), b"host", 0), TypeError),
    ("vtable merge", lambda: VT.merge(full(), [(b"a", b"1")], 0), OK),
    ("vtable contains", lambda: VT.contains(full(), "host", 0), OK),
    ("vtable contains fails", lambda: VT.contains(uninitialised(), "host", 0), TypeError),
    ("vtable subclass dispatch", lambda: (VT.get(Sub(), b"a", 0), VT.keys(BadOverrides(), 1)), OK),
    ("vtable override result", lambda: VT.keys(BadOverrides(), 0), TypeError),
    ("vtable get_tuples override result", lambda: VT.get_tuples(BadOverrides(), b"a", 0), TypeError),
    # Presets, shared lists.
    ("preset lookup", lambda: Headers(vh.STATIC_TEXT_HEADERS).get("content-type"), OK),
    ("preset clone", lambda: Headers(vh.STATIC_JSON_HEADERS).clone(), OK),
]


def test_table_has_unique_ids():
    ids = [c[0] for c in CASES]
    assert len(ids) == len(set(ids))


@pytest.mark.parametrize(("operation", "raises"), [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_no_leak(no_leak, operation, raises):
    for _ in range(getattr(operation, "warm", 0) * REPEAT // 1000):
        operation()
    if raises is None:
        operation()
        no_leak(operation, repeat=REPEAT)
    else:
        with pytest.raises(raises):
            operation()
        no_leak(operation, repeat=REPEAT, raises=(raises,))
