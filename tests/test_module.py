"""The module frame (import, export tables, attributes) and the Headers type
itself: construction, representation, protocols and garbage collection."""

import gc
import importlib
import os
import subprocess
import sys
import textwrap
import weakref

import pytest

import velmora.headers as vh
from velmora.headers import Header, Headers

from support import CAPI_SIGNATURE, InternFunc, api, python_command, raises

SIGNATURE = CAPI_SIGNATURE


def run_python(code):
    """Runs code in a fresh interpreter, so a crash fails one test only."""
    run = subprocess.run(
        python_command(textwrap.dedent(code)),
        capture_output=True,
        text=True,
        env=os.environ,
        timeout=120,
    )
    assert run.returncode == 0, run.stderr
    return run.stdout.strip()


# ---- import ---------------------------------------------------------------------


def test_importing_again_gives_the_same_module():
    assert importlib.import_module("velmora.headers") is vh
    out = run_python(
        """
        import _imp, sys
        import velmora.headers as first
        del sys.modules["velmora.headers"]
        import velmora.headers as second
        assert second is first, (first, second)
        test, cls = first.__test__, first.Headers
        assert _imp.exec_dynamic(first) == 0
        assert first.__test__ is test and first.Headers is cls
        print("ok")
        """
    )
    assert out == "ok"


def test_second_interpreter_is_refused():
    pytest.importorskip("_interpreters")
    out = run_python(
        """
        import _interpreters
        import velmora.headers
        interp = _interpreters.create(_interpreters.new_config("legacy"))
        failure = _interpreters.exec(interp, '''if True:
            try:
                import velmora.headers
            except ImportError as exc:
                assert str(exc) == ("Interpreter change detected - this module can only be loaded "
                                    "into one interpreter per process."), str(exc)
            else:
                raise AssertionError("imported in a second interpreter")
        ''')
        assert failure is None, failure
        _interpreters.destroy(interp)
        print("ok")
        """
    )
    assert out == "ok"


# ---- export tables -------------------------------------------------------------------


def test_capi_capsules():
    capi = vh.__pyx_capi__
    assert type(capi) is dict
    assert sorted(capi) == ["intern_header_name_bytes", "intern_header_name_str"]
    for capsule in capi.values():
        assert api.PyCapsule_GetName(capsule) == SIGNATURE
        assert api.PyCapsule_IsValid(capsule, SIGNATURE) == 1
        assert api.PyCapsule_IsValid(capsule, SIGNATURE[:-1]) == 0
        assert api.PyCapsule_IsValid(capsule, None) == 0


def test_capi_entry_points_work():
    def entry(name):
        return InternFunc(api.PyCapsule_GetPointer(vh.__pyx_capi__[name], SIGNATURE))

    as_bytes, as_str = entry("intern_header_name_bytes"), entry("intern_header_name_str")
    assert as_bytes(b"X-Capi", 0) == b"x-capi"
    assert as_bytes(b"HOST", 1) is vh.intern_header_name_bytes(b"host")
    assert as_bytes(None, 0) is None
    assert as_str("X-Capi", 0) is vh.intern_header_name_str("x-capi")
    assert as_str(b"Host", 1) == "b'host'"


def test_vtable_capsule_has_no_name():
    capsule = Headers.__dict__["__pyx_vtable__"]
    assert type(capsule).__name__ == "PyCapsule"
    assert api.PyCapsule_GetName(capsule) is None
    assert api.PyCapsule_IsValid(capsule, None) == 1
    assert api.PyCapsule_IsValid(capsule, b"") == 0
    assert api.PyCapsule_GetPointer(capsule, None)


# ---- attributes -----------------------------------------------------------------------

BOUND_IN_ORDER = [
    "__builtins__",
    "__pyx_capi__",
    "Header",
    "Headers",
    "Mapping",
    "MutableSequence",
    "sys",
    "intern_header_name_bytes",
    "intern_header_name_str",
    "STATIC_JSON_HEADERS",
    "STATIC_TEXT_HEADERS",
    "STATIC_HTML_HEADERS",
    "STATIC_NOT_FOUND_HEADERS",
    "__pyx_unpickle_Header",
    "__pyx_unpickle_Headers",
    "__test__",
]


def test_module_attributes():
    # Order as bound at import: other tests delete and restore attributes.
    names = run_python("import velmora.headers as m; print(*vars(m))").split()
    assert names[names.index("__builtins__") :] == BOUND_IN_ORDER
    assert vh.__builtins__ is __import__("builtins")
    assert vh.__doc__ is None
    assert vh.__test__ == {}
    assert type(vh.__test__) is dict
    assert not hasattr(vh, "_KNOWN_HEADERS_STR")
    assert not hasattr(vh, "__path__")
    assert vh.__package__ == "velmora"
    assert vh.__name__ == "velmora.headers"
    assert vh.__file__ == vh.__spec__.origin
    assert vh.__loader__ is vh.__spec__.loader
    from collections.abc import Mapping, MutableSequence

    assert vh.Mapping is Mapping
    assert vh.MutableSequence is MutableSequence
    assert vh.sys is sys
    assert Header.__module__ == Headers.__module__ == "velmora.headers"


def test_class_dict_order():
    expected = [
        "get", "get_tuples", "get_first", "get_single", "merge", "update", "items", "clone", "add_many",
        "_add_to_instance", "keys", "add", "set", "remove", "contains", "__reduce_cython__", "__setstate_cython__",
    ]  # fmt: skip
    names = [n for n in Headers.__dict__ if n in expected]
    assert names == expected
    assert type(Headers.__dict__["_add_to_instance"]) is staticmethod


# ---- construction ------------------------------------------------------------------------


def test_construction_without_a_list_makes_a_new_one():
    a, b, c = Headers(), Headers(None), Headers(values=None)
    for h in (a, b, c):
        assert type(h.values) is list
        assert h.values == []
    assert a.values is not b.values
    assert b.values is not c.values


def test_construction_shares_the_list():
    values = [(b"a", b"1")]
    h = Headers(values)
    assert h.values is values
    values.append((b"b", b"2"))
    assert h.get(b"b") == (b"2",)
    assert Headers(values=values).values is values


@pytest.mark.parametrize(
    ("arg", "type_name"),
    [
        ({}, "dict"),
        ((), "tuple"),
        (type("ListSub", (list,), {})(), "ListSub"),
        ("", "str"),
        (Headers(), "velmora.headers.Headers"),
    ],
    ids=["dict", "tuple", "list-subclass", "str", "headers"],
)
def test_construction_refuses_other_types(arg, type_name):
    message = f"Argument 'values' has incorrect type (expected list, got {type_name})"
    raises(TypeError, message, Headers, arg)
    values = [(b"a", b"1")]
    h = Headers(values)
    raises(TypeError, message, h.__init__, arg)
    assert h.values is values


def test_construction_argument_binding():
    raises(TypeError, "__init__() takes at most 1 positional argument (2 given)", Headers, [], [])
    raises(TypeError, "__init__() got an unexpected keyword argument 'value'", Headers, value=[])
    raises(TypeError, "__init__() got an unexpected keyword argument 'value'", Headers, [], value=[])
    raises(TypeError, "__init__() got multiple values for keyword argument 'values'", Headers, [], values=[])
    # a constructor with a vectorcall entry would get the interpreter's own message
    raises(TypeError, "__init__() keywords must be strings", lambda: Headers(**{1: 2}))


def test_reinitialisation_replaces_the_list():
    first, second = [(b"a", b"1")], [(b"b", b"2")]
    h = Headers(first)
    h.__init__(second)
    assert h.values is second
    assert first == [(b"a", b"1")]
    h.__init__()
    assert h.values == []
    assert h.values is not second


def test_new_accepts_anything_and_leaves_values_none():
    h = Headers.__new__(Headers, 1, 2, x=3)
    assert type(h) is Headers
    assert h.values is None
    assert repr(h) == "<Headers None>"


def test_repr():
    assert repr(Headers()) == "<Headers []>"
    assert repr(Headers([(b"content-type", b"text/plain")])) == "<Headers [(b'content-type', b'text/plain')]>"
    assert str(Headers([("a", 1), ["b"]])) == "<Headers [('a', 1), ['b']]>"


def test_type_protocols():
    h = Headers()
    assert bool(h) is True
    raises(TypeError, "object of type 'velmora.headers.Headers' has no len()", len, h)
    assert Headers([]) != Headers([])
    values = []
    assert Headers(values) != Headers(values)
    assert h == h
    assert not (h != h)
    assert hash(h) == object.__hash__(h)
    assert not hasattr(h, "__dict__")
    with pytest.raises(AttributeError):
        h.anything = 1
    with pytest.raises(AttributeError):
        h.values = []
    with pytest.raises(TypeError):
        weakref.ref(h)


def test_subclass_gets_a_dict_but_keeps_the_behaviour():
    class Sub(Headers):
        pass

    s = Sub([(b"a", b"1")])
    s.extra = 1
    assert s.get(b"A") == (b"1",)
    assert repr(s) == "<Headers [(b'a', b'1')]>"


# ---- garbage collection -------------------------------------------------------------------


class Marker:
    pass


def test_cycle_through_the_list_is_collected():
    h = Headers()
    marker = Marker()
    h.add(b"self", h)
    h.add(b"marker", marker)
    alive = weakref.ref(marker)
    assert gc.is_tracked(h)
    assert gc.get_referents(h) == [h.values]
    del h, marker
    gc.collect()
    assert alive() is None


def test_subclass_cycle_is_collected():
    class Sub(Headers):
        pass

    h = Sub()
    h.add(b"self", h)
    h.marker = Marker()
    seen = []
    weak = weakref.ref(h.marker, lambda _: seen.append(True))
    del h
    gc.collect()
    assert seen == [True]
    assert weak() is None
