"""velmora from C++: tests/native/vlm_cpp_consumer.cpp, built once against
velmora/headers.hpp of the installed package, uses every method of the
wrapper; each of its functions turns velmora::error back into the Python
exception, which must arrive unchanged."""

import subprocess
import sys

import pytest
from consumers import (
    CALLS,
    CXX,
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

import velmora
from velmora.headers import Headers

NAME = "_vlm_cpp_consumer"
STRICT = ["-Wall", "-Wextra", "-Wpedantic", "-Werror", "-I", velmora.get_include(), "-I", PYTHON_INCLUDE]


@pytest.fixture(scope="module")
def cpp(tmp_path_factory):
    if CXX is None:
        pytest.skip("no C++ compiler")
    out = tmp_path_factory.mktemp("cpp") / (NAME + EXT_SUFFIX)
    compile_or_fail(
        [*CXX, "-std=c++17", "-shared", "-fPIC", "-O1", *STRICT, *sanitizer_flags(),
         str(NATIVE / "vlm_cpp_consumer.cpp"), "-o", str(out)]
    )  # fmt: skip
    return load(NAME, out)


@pytest.mark.parametrize(("method", "args"), CALLS)
def test_each_method_gives_what_python_gives_and_honours_overrides(cpp, method, args):
    through_cpp, through_py = sample(), sample()
    got = getattr(cpp, method)(through_cpp, *args)
    assert same_result(got, getattr(through_py, method)(*args)), got
    assert through_cpp.values == through_py.values

    calls = []
    result = OVERRIDE_RESULTS.get(method, "discarded")
    h = sample(returning(method, result, calls))
    got = getattr(cpp, method)(h, *args)
    assert calls == [args]
    assert h.values == ENTRIES
    assert got is (None if method in WRITES else False if method == "contains" else result)

    # The body's own failure, on an instance never initialised.
    bare = Headers.__new__(Headers)
    with pytest.raises(Exception) as from_python:  # noqa: PT011 - whatever it is, C must raise the same
        getattr(bare, method)(*args)
    with pytest.raises(type(from_python.value)) as from_cpp:
        getattr(cpp, method)(bare, *args)
    assert str(from_cpp.value) == str(from_python.value)


def test_error_carries_the_python_exception_itself(cpp):
    raised = LookupError("from the override")
    failing = type("Failing", (Headers,), {"get": lambda self, name: (_ for _ in ()).throw(raised)})
    with pytest.raises(LookupError) as info:
        cpp.get(failing([]), "a")
    assert info.value is raised

    what, exc = cpp.caught(sample(), b"missing")
    assert type(exc) is ValueError
    assert what == f"ValueError: {exc}"
    what, exc = cpp.caught([], "a")
    assert what == "TypeError: expected velmora.headers.Headers, got list"
    with pytest.raises(TypeError, match="^expected velmora.headers.Headers, got NoneType$"):
        cpp.keys(None)


def test_cpp_strings_as_names_keys_and_values(cpp):
    assert cpp.build().values == [(b"content-type", b"text/plain"), (b"x-cpp", b"2"), (b"vary", b"Accept")]
    shared = []
    assert cpp.build(shared).values is shared
    assert len(shared) == 3
    with pytest.raises(TypeError, match=r"^Argument 'values' has incorrect type \(expected list, got tuple\)$"):
        cpp.build(())

    h = Headers([(b"X-Raw", "caf\xe9"), (b"host", b"a")])
    assert cpp.first_value(h, "x-raw") == b"caf\xe9"  # a C++ string key is a bytes key
    assert cpp.first_value(h, "absent") is None
    with pytest.raises(TypeError, match="^expected bytes, got str$"):
        cpp.first_value(sample(returning("get_first", "text")), "host")


def test_items_walk_the_list_itself(cpp):
    h = sample()
    pairs, values = cpp.items(h)
    assert pairs == ENTRIES
    assert values is h.values
    assert cpp.items(Headers([])) == ([], [])
    with pytest.raises(TypeError, match="^'NoneType' object is not iterable$"):
        cpp.items(Headers.__new__(Headers))
    for entry, kind in (([b"a", b"b"], "list"), ((b"a",), "tuple")):
        with pytest.raises(TypeError, match=f"^a header entry must be a \\(name, value\\) tuple, not {kind}$"):
            cpp.items(Headers([(b"ok", b"1"), entry]))


def test_import_failure_is_the_import_error(cpp, monkeypatch):
    monkeypatch.setitem(sys.modules, "velmora.headers", None)
    with pytest.raises(ModuleNotFoundError, match="velmora.headers"):
        cpp.reimport()
    monkeypatch.undo()
    assert cpp.reimport() is None


def test_no_leaks(cpp, no_leak):
    bare = Headers.__new__(Headers)
    classes = (Headers, type("Passthrough", (Headers,), {}))

    def run():
        for method, args in CALLS:
            for cls in classes:
                getattr(cpp, method)(sample(cls), *args)
            for h in (bare, sample(raising(method))):
                try:
                    getattr(cpp, method)(h, *args)
                except (TypeError, AttributeError, LookupError):
                    pass
        cpp.build([])
        cpp.items(sample())
        cpp.first_value(sample(), "set-cookie")
        cpp.caught(sample(), "missing")
        cpp.caught([], "a")

    no_leak(run, repeat=200)


@pytest.mark.parametrize(("standard", "error"), [("c++20", None), ("c++14", "needs C++17 or later")])
def test_header_standards(tmp_path, standard, error):
    if CXX is None:
        pytest.skip("no C++ compiler")
    source = tmp_path / "uses_header.cpp"
    source.write_text("#include <velmora/headers.hpp>\n")
    argv = [*CXX, f"-std={standard}", "-fsyntax-only", *STRICT, str(source)]
    if error is None:
        compile_or_fail(argv)
    else:
        run = subprocess.run(argv, capture_output=True, text=True)
        assert run.returncode != 0
        assert error in run.stderr
