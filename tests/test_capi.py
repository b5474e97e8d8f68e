"""The C API of velmora.headers as a native consumer sees it.

tests/native/vlm_consumer.c is compiled here, against velmora.get_include()
of the installed package, into a temporary directory; it reaches Headers
only through velmora/headers.h.  Each of its fast-method functions takes the
skip-dispatch flag last (0: the plain helper, else the Ex variant)."""

import ctypes
import os
import shutil
import subprocess
import sys
import types

import pytest
from consumers import (
    CALLS,
    CC,
    CXX,
    ENTRIES,
    EXT_SUFFIX,
    NATIVE,
    OVERRIDE_RESULTS,
    PYTHON_INCLUDE,
    WRITES,
    compile_or_fail,
    load,
    needs_cc,
    raising,
    returning,
    same_result,
    sample,
    sanitizer_flags,
)

import velmora
from velmora import headers as vh
from velmora.headers import Header, Headers, intern_header_name_bytes, intern_header_name_str

from support import python_command

SIGNATURE = "PyObject *(PyObject *, int __pyx_skip_dispatch)"


@pytest.fixture(scope="module")
def consumer(tmp_path_factory):
    if CC is None:
        pytest.skip("no C compiler")
    out = tmp_path_factory.mktemp("consumer") / ("_vlm_consumer" + EXT_SUFFIX)
    compile_or_fail(
        [*CC, "-shared", "-fPIC", "-std=c11", "-O1", "-g", "-Wall", "-Wextra", "-Werror", *sanitizer_flags(),
         "-I", velmora.get_include(), "-I", PYTHON_INCLUDE,
         str(NATIVE / "vlm_consumer.c"), "-o", str(out)]
    )  # fmt: skip
    return load("_vlm_consumer", out)


def call(consumer, method, h, args, skip):
    return getattr(consumer, method)(h, *args, skip)


MORE_READS = [
    ("get", (b"set-cookie",)),
    ("get", ("missing",)),
    ("get_tuples", ("nothing",)),
    ("get_first", (b"X-EMPTY",)),
    ("get_first", ("missing",)),
    ("contains", (b"missing",)),
]


@pytest.mark.parametrize("skip", [0, 1, 7])
@pytest.mark.parametrize(("method", "args"), CALLS + MORE_READS)
def test_slots_give_what_the_python_methods_give(consumer, method, args, skip):
    through_c, through_py = sample(), sample()
    got = call(consumer, method, through_c, args, skip)
    want = getattr(through_py, method)(*args)
    assert same_result(got, want), (got, want)
    assert through_c.values == through_py.values
    if method == "clone":
        assert got.values is not through_c.values


@pytest.mark.parametrize(("method", "args"), CALLS)
def test_override_honoured_with_flag_clear_and_bypassed_with_flag_set(consumer, method, args):
    calls = []
    result = OVERRIDE_RESULTS.get(method, "discarded")
    h = sample(returning(method, result, calls))

    got = call(consumer, method, h, args, 0)
    assert calls == [args]
    if method in WRITES:
        assert got is None
        assert h.values == ENTRIES
    elif method == "contains":
        assert got is False
    else:
        assert got is result

    calls.clear()
    plain = sample()
    got = call(consumer, method, h, args, 1)
    assert calls == []
    assert same_result(got, getattr(plain, method)(*args))
    assert h.values == plain.values


@pytest.mark.parametrize(
    ("method", "args", "result", "message"),
    [
        ("get", ("a",), ["v"], "Expected tuple, got list"),
        ("keys", (), ["k"], "Expected tuple, got list"),
        ("get_tuples", ("a",), ("v",), "Expected list, got tuple"),
        ("clone", (), 5, "Cannot convert int to velmora.headers.Headers"),
        ("clone", (), Header(b"a", b"b"), "Cannot convert velmora.headers.Header to velmora.headers.Headers"),
    ],
)
def test_override_result_of_the_wrong_type(consumer, method, args, result, message):
    h = sample(returning(method, result))
    with pytest.raises(TypeError) as info:
        call(consumer, method, h, args, 0)
    assert str(info.value) == message
    assert same_result(call(consumer, method, h, args, 1), getattr(sample(), method)(*args))


@pytest.mark.parametrize(("method", "args"), [c for c in CALLS if c[0] in ("keys", "clone", "get", "get_tuples")])
def test_override_may_answer_none(consumer, method, args):
    assert call(consumer, method, sample(returning(method, None)), args, 0) is None


@pytest.mark.parametrize(("method", "args"), CALLS)
def test_failures_reach_the_caller_as_the_python_exception(consumer, method, args):
    with pytest.raises(LookupError, match=f"^{method}$"):
        call(consumer, method, sample(raising(method)), args, 0)
    # The body's own failure, whatever the flag: an instance never initialised.
    bare = Headers.__new__(Headers)
    with pytest.raises(Exception) as from_python:  # noqa: PT011 - whatever it is, C must raise the same
        getattr(bare, method)(*args)
    for skip in (0, 1):
        with pytest.raises(Exception) as from_c:  # noqa: PT011 - compared with the one from Python
            call(consumer, method, bare, args, skip)
        assert type(from_c.value) is type(from_python.value)
        assert str(from_c.value) == str(from_python.value)


def test_change_of_a_watched_dict_keeps_the_pending_exception(consumer):
    # The module watches its own dict and sys's; a change made from C while
    # an exception is pending must leave that exception in place.
    try:
        for namespace in (vh.__dict__, sys.__dict__):
            with pytest.raises(RuntimeError, match="^pending$"):
                consumer.setitem_with_error_pending(namespace, "_velmora_probe", 1)
    finally:
        vh.__dict__.pop("_velmora_probe", None)
        sys.__dict__.pop("_velmora_probe", None)


def test_contains_slot_answers_zero_with_the_exception_set(consumer):
    found, error = consumer.contains_raw(sample(), b"SET-COOKIE")
    assert found
    assert error is None
    assert consumer.contains_raw(sample(), "missing") == (0, None)

    found, error = consumer.contains_raw(Headers.__new__(Headers), "a")
    assert found == 0
    assert type(error) is TypeError
    assert str(error) == "'NoneType' object is not iterable"

    found, error = consumer.contains_raw(sample(raising("contains")), "a", 0)
    assert found == 0
    assert type(error) is LookupError
    assert consumer.contains_raw(sample(raising("contains")), "set-cookie", 1)[1] is None


@pytest.mark.parametrize("name", [b"Content-Type", b"content-type", b"x-custom", b"X-Custom", b"\xc4X", b"", None])
def test_intern_bytes_entry(consumer, name):
    got = consumer.intern_bytes(name)
    want = intern_header_name_bytes(name)
    assert type(got) is type(want)
    assert got == want
    if name is not None and name.lower() == b"content-type":
        assert got is want  # the core's one shared object
    elif name is not None and name == name.lower():
        assert got is name


@pytest.mark.parametrize("name", ["Content-Type", "content-type", "X-Foo", "x-foo", 5, b"Host", None])
def test_intern_str_entry(consumer, name):
    assert consumer.intern_str(name) is intern_header_name_str(name)


def test_intern_str_failure_is_a_null_result(consumer):
    class Unprintable:
        def __str__(self):
            raise ValueError("no text")

    with pytest.raises(ValueError, match="no text"):
        consumer.intern_str(Unprintable())


def test_type_checks_and_construction(consumer):
    class Sub(Headers):
        pass

    assert consumer.kind(Headers()) == (True, True, False)
    assert consumer.kind(Sub()) == (True, False, False)
    assert consumer.kind(Header(b"a", b"b")) == (False, False, True)
    assert consumer.kind([]) == (False, False, False)
    assert consumer.shares_table(Headers())
    assert consumer.shares_table(Sub())
    with pytest.raises(TypeError, match="^expected velmora.headers.Headers, got list$"):
        consumer.get([], "a")

    values = [(b"a", b"1")]
    h = consumer.new(values)
    assert type(h) is Headers
    assert h.values is values
    assert consumer.new().values == []
    with pytest.raises(TypeError, match=r"^Argument 'values' has incorrect type \(expected list, got tuple\)$"):
        consumer.new(())


@pytest.mark.parametrize(("method", "args"), CALLS)
def test_no_leaks(consumer, no_leak, method, args):
    passthrough = type("Passthrough", (Headers,), {})  # looks up, finds the base method
    overriding = returning(method, OVERRIDE_RESULTS.get(method, "discarded"))
    failing = raising(method)
    bare = Headers.__new__(Headers)

    def run():
        for skip in (0, 1):
            call(consumer, method, sample(), args, skip)
            call(consumer, method, sample(passthrough), args, skip)
            call(consumer, method, sample(overriding), args, skip)
            for h in (bare, sample(failing)):
                try:
                    call(consumer, method, h, args, skip)
                except (TypeError, AttributeError, LookupError):
                    pass

    no_leak(run, repeat=300)


def test_no_leaks_in_entries_and_checked_results(consumer, no_leak):
    bad_get = sample(returning("get", ["v"]))
    bad_clone = sample(returning("clone", 5))
    failing_contains = sample(raising("contains"))

    def run():
        consumer.intern_bytes(b"X-Custom")
        consumer.intern_bytes(b"Content-Type")
        consumer.intern_str("X-Custom")
        consumer.contains_raw(failing_contains, "a")
        consumer.new([])
        for h, method in ((bad_get, "get"), (bad_clone, "clone")):
            try:
                call(consumer, method, h, ("a",) if method == "get" else (), 0)
            except TypeError:
                pass

    no_leak(run, repeat=300)


# ---- the import ---------------------------------------------------------------

WRONG_SIGNATURE = b"PyObject *(PyObject *)"  # the capsule keeps a pointer to these bytes


def named_capsule(name):
    new = ctypes.pythonapi.PyCapsule_New
    new.restype = ctypes.py_object
    new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    return new(ctypes.c_void_p(1), name, None)


class SameSizeHeaders:
    __slots__ = ("vtab", "values")  # the size of the real layout, no table


class OtherLayout:
    __slots__ = ("name",)


def stand_in(change):
    """A module with the real parts of velmora.headers, then `change`d."""
    module = types.ModuleType("velmora.headers")
    module.__pyx_capi__ = dict(vh.__pyx_capi__)
    module.Headers, module.Header = Headers, Header
    change(module)
    return module


def drop(name):
    return lambda m: delattr(m, name)


def capi_entry(name, value):
    """Replaces the export `name`, or removes it for None."""

    def change(module):
        if value is None:
            del module.__pyx_capi__[name]
        else:
            module.__pyx_capi__[name] = value

    return change


MODULE_FAULTS = [
    pytest.param(drop("__pyx_capi__"), "velmora.headers has no __pyx_capi__ dict", id="no-capi"),
    pytest.param(lambda m: setattr(m, "__pyx_capi__", []), "velmora.headers has no __pyx_capi__ dict", id="capi-list"),
    pytest.param(
        capi_entry("intern_header_name_str", None),
        "velmora.headers does not export intern_header_name_str",
        id="missing-function",
    ),
    pytest.param(
        capi_entry("intern_header_name_bytes", 1),
        "velmora.headers exports intern_header_name_bytes as int, not as a capsule",
        id="not-a-capsule",
    ),
    pytest.param(
        capi_entry("intern_header_name_bytes", named_capsule(WRONG_SIGNATURE)),
        f'velmora.headers exports intern_header_name_bytes with signature "{WRONG_SIGNATURE.decode()}", '
        f'expected "{SIGNATURE}"',
        id="wrong-signature",
    ),
    pytest.param(
        capi_entry("intern_header_name_str", named_capsule(None)),
        f'velmora.headers exports intern_header_name_str with signature "(null)", expected "{SIGNATURE}"',
        id="unnamed-capsule",
    ),
    pytest.param(drop("Headers"), "velmora.headers has no class Headers", id="no-headers"),
    pytest.param(lambda m: setattr(m, "Headers", len), "velmora.headers.Headers is not a class", id="not-a-class"),
    pytest.param(
        lambda m: setattr(m, "Header", OtherLayout),
        f"velmora.headers.Header has instance size {OtherLayout.__basicsize__}, this build of velmora/headers.h "
        f"expects {Header.__basicsize__}: rebuild against the installed velmora",
        id="other-layout",
    ),
    pytest.param(
        lambda m: setattr(m, "Headers", SameSizeHeaders),
        "velmora.headers.Headers has no __pyx_vtable__ capsule",
        id="no-vtable",
    ),
]


@pytest.mark.parametrize(("change", "message"), MODULE_FAULTS)
def test_import_names_what_is_missing(consumer, monkeypatch, change, message):
    assert OtherLayout.__basicsize__ != Header.__basicsize__
    assert SameSizeHeaders.__basicsize__ == Headers.__basicsize__
    monkeypatch.setitem(sys.modules, "velmora.headers", stand_in(change))
    with pytest.raises(ImportError) as info:
        consumer.reimport()
    assert type(info.value) is ImportError
    assert str(info.value) == message
    monkeypatch.undo()
    # A failed import leaves the table filled by the good one.
    assert consumer.intern_bytes(b"HOST") is intern_header_name_bytes(b"host")
    assert consumer.kind(Headers())[0]


def test_import_of_a_missing_module(consumer, monkeypatch):
    monkeypatch.setitem(sys.modules, "velmora.headers", None)
    with pytest.raises(ModuleNotFoundError, match="velmora.headers"):
        consumer.reimport()
    monkeypatch.setitem(sys.modules, "velmora.headers", stand_in(lambda m: None))
    assert consumer.reimport() is None


# ---- building against the header ---------------------------------------------


@pytest.mark.parametrize(
    ("compiler", "language", "standard"),
    [(CC, "c", "c99"), (CC, "c", "c11"), (CXX, "c++", "c++11"), (CXX, "c++", "c++20")],
    ids=["c99", "c11", "c++11", "c++20"],
)
def test_header_compiles_cleanly(tmp_path, compiler, language, standard):
    if compiler is None:
        pytest.skip(f"no {language} compiler")
    source = tmp_path / "uses_header.c"
    source.write_text("#include <velmora/headers.h>\n")
    compile_or_fail(
        [*compiler, "-x", language, f"-std={standard}", "-fsyntax-only", "-Wall", "-Wextra", "-Wpedantic", "-Werror",
         "-I", velmora.get_include(), "-I", PYTHON_INCLUDE, str(source)]
    )  # fmt: skip


def working_tool(name):
    """(path, --version output) of a tool that runs; a PATH entry may be a
    shim that refuses to."""
    path = shutil.which(name)
    if path is None:
        return None
    run = subprocess.run([path, "--version"], capture_output=True, text=True)
    return (path, run.stdout) if run.returncode == 0 else None


def cmake_3_21():
    found = working_tool("cmake")
    try:
        version = tuple(int(part) for part in found[1].split()[2].split(".")[:2])
    except (TypeError, IndexError, ValueError):
        return None
    return found[0] if version >= (3, 21) else None


CMAKE = cmake_3_21()


@needs_cc
@pytest.mark.skipif(CMAKE is None, reason="needs cmake 3.21 or later")
def test_cmake_project_builds_against_the_installed_header(tmp_path):
    build = tmp_path / "build"
    ninja = working_tool("ninja")
    generator = ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja[0]}"] if ninja else []
    compile_or_fail(
        [CMAKE, "-S", str(NATIVE), "-B", str(build), *generator, f"-DPython_EXECUTABLE={sys.executable}",
         f"-DCMAKE_C_COMPILER={CC[0]}"]
    )  # fmt: skip
    compile_or_fail([CMAKE, "--build", str(build)])
    (built,) = build.glob("_vlm_consumer*" + EXT_SUFFIX)
    code = "import _vlm_consumer as c, velmora.headers as v; print(c.get_first(v.Headers([(b'a', b'1')]), 'A'))"
    env = {**os.environ, "PYTHONPATH": str(built.parent)}
    run = subprocess.run(python_command(code), env=env, capture_output=True, text=True)
    assert (run.returncode, run.stdout, run.stderr) == (0, "1\n", "")
