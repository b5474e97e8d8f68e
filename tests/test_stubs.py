"""The type stubs shipped with the package: they agree with the installed
native modules, and they give the types a caller expects."""

import importlib.util
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import velmora

try:
    import mypy  # noqa: F401

    HAVE_MYPY = True
except ImportError:
    HAVE_MYPY = False

needs_mypy = pytest.mark.skipif(not HAVE_MYPY, reason="mypy is not installed (the test group brings it)")
needs_pyright = pytest.mark.skipif(
    importlib.util.find_spec("pyright") is None, reason="pyright is not installed (the test group brings it)"
)

PACKAGE_DIR = Path(velmora.__file__).resolve().parent

# Written for the oldest Python the suite runs on: typing_extensions for
# what typing gained later, annotations never evaluated.
USAGE = textwrap.dedent(
    """
    from __future__ import annotations

    from typing_extensions import Any, assert_type

    from velmora import _vlm_core
    from velmora.headers import (
        STATIC_JSON_HEADERS,
        Header,
        Headers,
        __pyx_unpickle_Header,  # pyright: ignore[reportPrivateUsage]
        intern_header_name_bytes,
        intern_header_name_str,
    )

    rec = Header(b"Content-Type", 1)
    assert_type(rec, "Header[bytes, int]")
    assert_type(rec.name, bytes)
    assert_type(rec.value, int)
    assert_type(Header("X-Id", None), "Header[str, None]")
    assert_type(Header(5, b"v").name, int)
    assert_type(rec == rec, bool)

    h = Headers(list(STATIC_JSON_HEADERS))
    assert_type(h, "Headers[bytes, bytes]")
    assert_type(h.values, list[tuple[bytes, bytes]])
    assert_type(h.get(b"content-type"), tuple[bytes, ...])
    assert_type(h.get("content-type"), tuple[str, ...])
    assert_type(h[b"content-type"], tuple[bytes, ...])
    assert_type(h["content-type"], tuple[str, ...])
    assert_type(h.get_first(b"content-type"), bytes | None)
    assert_type(h.get_first("content-type"), str | None)
    assert_type(h.get_first(None), str | None)
    assert_type(h.get_single(b"content-type"), bytes)
    assert_type(h.get_single("content-type"), str)
    assert_type(h.get_tuples(b"content-type"), list[tuple[bytes, bytes]])
    assert_type(b"content-type" in h, bool)
    assert_type(h.keys(), tuple[bytes, ...])
    for name, value in h:
        assert_type(name, bytes)
        assert_type(value, bytes)
    for entry in h.items():
        assert_type(entry, tuple[bytes, bytes])
    assert_type(Headers(), "Headers[bytes | str, bytes | str]")
    assert_type(Headers([("vary", "accept")]).keys(), tuple[str, ...])


    def either(h: Headers[Any, Any], key: bytes | str) -> str | None:
        # A key of either form gets either form back: both branches are live.
        assert_type(h.get(key), tuple[bytes, ...] | tuple[str, ...])
        assert_type(h[key], tuple[bytes, ...] | tuple[str, ...])
        assert_type(h.get_single(key) if key in h else b"", bytes | str)
        value = h.get_first(key)
        assert_type(value, bytes | str | None)
        if isinstance(value, bytes):
            return value.decode("latin-1")
        return value


    assert either(h, b"content-type") == either(h, "content-type") == "application/json"

    h.add(b"X-A", b"1")
    h[b"X-B"] = b"2"
    del h["x-a"]
    h.update({b"x-c": b"3"})
    h.add_many([(b"x-d", b"4")])
    h.add_many({b"x-e": b"5"})
    h.merge([(b"x-f", b"6"), None])
    assert_type(h.clone(), "Headers[bytes, bytes]")
    assert_type(h + [(b"x-g", b"7")], Headers)
    assert_type([(b"x-g", b"7")] + h, Headers)
    assert_type(h + Header(b"x-h", b"8"), Headers)
    assert_type(h + (b"x-i", b"9"), Headers)
    h += h
    assert_type(h, "Headers[bytes, bytes]")
    assert_type(Headers._add_to_instance(h, (b"x", b"y")), "Headers[bytes, bytes]")
    assert_type(intern_header_name_bytes(b"Host"), bytes)
    assert_type(intern_header_name_bytes(None), None)
    assert_type(intern_header_name_str("Host"), str)
    assert_type(__pyx_unpickle_Header(Header, 0xAAF55BF, None), "Header[Any, Any]")
    assert_type(_vlm_core.known_names(), tuple[bytes, ...])

    # Each of these must stay an error: an unused ignore fails the check.
    h.values = []  # type: ignore[misc]
    rec.name = b"x"  # type: ignore[misc]
    h.update([(b"a", b"b")])  # type: ignore[arg-type]
    h.merge((b"a", b"b"))  # type: ignore[arg-type]
    h.merge(None)  # type: ignore[arg-type]
    h.add("x-str", "into a bytes list")  # type: ignore[arg-type]
    h + {b"a": b"b"}  # type: ignore[operator]
    intern_header_name_bytes("str")  # type: ignore[call-overload]
    """
)

# The oldest and the newest Python the suite runs on.
TARGETS = ("3.10", "3.13")


def run(args, cwd, drop=()):
    # A clean working directory: only the installed package can be found.
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH", *drop)}
    return subprocess.run([sys.executable, *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=300)


def test_stub_files_are_installed():
    for name in ("py.typed", "headers.pyi", "_vlm_core.pyi"):
        assert (PACKAGE_DIR / name).is_file(), name


@needs_mypy
def test_stubtest_agrees_with_the_native_modules(tmp_path):
    result = run(["-m", "mypy.stubtest", "velmora.headers", "velmora._vlm_core"], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
@pytest.mark.parametrize("target", TARGETS)
def test_typed_usage_checks_and_runs(tmp_path, target):
    snippet = tmp_path / "usage.py"
    snippet.write_text(USAGE)
    result = run(
        [
            "-m",
            "mypy",
            "--strict",
            "--warn-unreachable",
            "--warn-unused-ignores",
            "--no-error-summary",
            "--python-version",
            target,
            str(snippet),
        ],
        tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    # The checked lines also run against the real module (the deliberate
    # errors after them excepted), so stub and runtime cannot drift apart.
    # Generic records are a typing-only notion: hence the quoted forms.
    checked = USAGE.split("# Each of these")[0]
    exec(compile(checked, str(snippet), "exec"), {})


@needs_pyright
@pytest.mark.parametrize("target", TARGETS)
def test_typed_usage_checks_under_pyright_strict(tmp_path, target):
    (tmp_path / "usage.py").write_text(USAGE)
    # Strict includes reportUnnecessaryIsInstance: a narrowing the stubs
    # made impossible would show there.
    (tmp_path / "pyrightconfig.json").write_text(json.dumps({"typeCheckingMode": "strict", "pythonVersion": target}))
    # pyright only reads files; Node.js is kept out of the sanitizer runtime
    # that `make asan` preloads.
    result = run(["-m", "pyright", "--pythonpath", sys.executable, "usage.py"], tmp_path, ("LD_PRELOAD",))
    assert result.returncode == 0, result.stdout + result.stderr
    assert "0 errors" in result.stdout
