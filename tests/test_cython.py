"""velmora from Cython: tests/native/vlm_cython_consumer.pyx is cythonized
against the velmora.pxd files of the installed package and compiled once.
Its functions reach Headers through the fast-method table with the
skip-dispatch flag clear, as compiled Cython calls a typed object's method."""

import os
import subprocess
import sys
import textwrap
import warnings

import pytest
from consumers import (
    CALLS,
    CC,
    ENTRIES,
    EXT_SUFFIX,
    NATIVE,
    OVERRIDE_RESULTS,
    PYTHON_INCLUDE,
    WRITES,
    compile_or_fail,
    load,
    raising,
    returning,
    same_result,
    sample,
    sanitizer_flags,
)

from velmora.headers import Header, Headers, intern_header_name_bytes, intern_header_name_str

from support import python_command

NAME = "vlm_cython_consumer"


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    if CC is None:
        pytest.skip("no C compiler")
    pytest.importorskip("Cython", reason="Cython is not installed (the test group brings it)")
    out = tmp_path_factory.mktemp("cython")
    # Run where neither src/ nor the repository is on the path: the .pxd
    # files can come only from the installed package.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD", "PYTHONMALLOC")}
    compile_or_fail(
        [sys.executable, "-m", "cython", "-3", str(NATIVE / f"{NAME}.pyx"), "-o", str(out / f"{NAME}.c")],
        cwd=out, env=env,
    )  # fmt: skip
    # Generated code: warnings are Cython's business, not a failure here.
    compile_or_fail(
        [*CC, "-shared", "-fPIC", "-O1", *sanitizer_flags(), "-I", PYTHON_INCLUDE,
         str(out / f"{NAME}.c"), "-o", str(out / (NAME + EXT_SUFFIX))]
    )  # fmt: skip
    return out


@pytest.fixture(scope="module")
def cy(built):
    # Cython's import checks (type sizes, the table capsule, the function
    # signatures) warn or raise on a mismatch: neither may happen.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return load(NAME, built / (NAME + EXT_SUFFIX))


def test_calls_go_through_the_table(built):
    source = (built / f"{NAME}.c").read_text()
    for method, _ in CALLS:
        assert f"__pyx_vtab)->{method}(" in source, method


@pytest.mark.parametrize(("method", "args"), CALLS)
def test_each_method_gives_what_python_gives_and_honours_overrides(cy, method, args):
    through_cy, through_py = sample(), sample()
    got = getattr(cy, method)(through_cy, *args)
    assert same_result(got, getattr(through_py, method)(*args)), got
    assert through_cy.values == through_py.values

    calls = []
    result = OVERRIDE_RESULTS.get(method, "discarded")
    h = sample(returning(method, result, calls))
    got = getattr(cy, method)(h, *args)
    assert calls == [args]
    assert h.values == ENTRIES
    if method in WRITES:
        assert got is None
    elif method == "contains":
        assert got is False  # the override's falsy "" as a bint
    else:
        assert got is result

    with pytest.raises(LookupError, match=f"^{method}$"):
        getattr(cy, method)(sample(raising(method)), *args)


@pytest.mark.parametrize(("method", "args"), CALLS)
def test_failures_of_the_body_reach_cython_code(cy, method, args):
    # add, set, remove, merge and contains report a failure only through the
    # error indicator; the .pxd must make Cython test it after each call.
    bare = Headers.__new__(Headers)
    with pytest.raises(Exception) as from_python:  # noqa: PT011 - whatever it is, C must raise the same
        getattr(bare, method)(*args)
    with pytest.raises(type(from_python.value)) as from_cython:
        getattr(cy, method)(bare, *args)
    assert str(from_cython.value) == str(from_python.value)


def test_interning_functions_and_fields(cy):
    assert cy.intern_bytes(b"Content-Type") is intern_header_name_bytes(b"content-type")
    assert cy.intern_bytes(None) is None
    assert cy.intern_str("X-Custom") is intern_header_name_str("x-custom")
    assert cy.intern_str(None) is None
    # The native entry trusts its argument; the typed declaration checks it.
    with pytest.raises(TypeError, match="^Argument 'name' has incorrect type"):
        cy.intern_bytes("Host")

    h = sample()
    values, name, value = cy.fields(h, Header(b"X-A", "1"))
    assert values is h.values
    assert (name, value) == (b"x-a", "1")
    with pytest.raises(TypeError, match="^Argument 'h' has incorrect type"):
        cy.keys([])


STAND_IN = textwrap.dedent(
    """
    import ctypes, sys, types
    import velmora.headers as real

    module = types.ModuleType("velmora.headers")
    module.__pyx_capi__ = dict(real.__pyx_capi__)
    module.Headers, module.Header = real.Headers, real.Header
    new = ctypes.pythonapi.PyCapsule_New
    new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    {change}
    sys.modules["velmora.headers"] = module
    try:
        import {name}
    except Exception as e:
        print(type(e).__name__, e)
    """
)


@pytest.mark.parametrize(
    ("change", "error"),
    [
        (
            "module.__pyx_capi__['intern_header_name_str'] = new(1, b'PyObject *(PyObject *)', None)",
            "TypeError C function velmora.headers.intern_header_name_str has wrong signature",
        ),
        ("module.Headers = type('Small', (), {'__slots__': ()})", "ValueError velmora.headers.Headers size changed"),
        ("module.Headers = type('NoTable', (), {'__slots__': ('a', 'b')})", "KeyError '__pyx_vtable__'"),
    ],
    ids=["signature", "size", "table"],
)
def test_cython_import_checks_catch_another_layout(built, change, error):
    # Cython allows one load of a module per process: each fault in a child.
    code = STAND_IN.format(change=change, name=NAME)
    env = {**os.environ, "PYTHONPATH": str(built)}
    run = subprocess.run(python_command(code), env=env, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith(error), run.stdout
