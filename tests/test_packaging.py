"""What the installed package looks like: the layout and the linking of the
native modules.  Everything here runs against site-packages, never src/."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import velmora
from velmora import _vlm_core as core

from support import python_command

REPO = Path(__file__).resolve().parents[1]
PACKAGE_DIR = Path(velmora.__file__).resolve().parent

needs_elf = pytest.mark.skipif(
    not sys.platform.startswith("linux") or shutil.which("readelf") is None, reason="needs Linux and readelf"
)


def test_tests_import_the_installed_package():
    assert not PACKAGE_DIR.is_relative_to(REPO / "src")


def test_public_headers_are_installed_beside_the_package():
    include = Path(velmora.get_include())
    assert include == PACKAGE_DIR / "include"
    source = REPO / "src" / "velmora" / "include"
    if not source.is_dir():  # tests run from a copy, as in `make dist-check`
        assert (include / "velmora" / "headers.h").is_file()
        return
    # The C header, the C++ one over it, and the shims both use.
    shipped = {p.relative_to(source): p.read_bytes() for p in source.rglob("*.h*")}
    installed = {p.relative_to(include): p.read_bytes() for p in include.rglob("*.h*")}
    assert {p.name for p in shipped} == {"headers.h", "headers.hpp", "pycompat.h"}
    assert installed == shipped


def dynamic_section(path):
    out = subprocess.run(["readelf", "-d", str(path)], capture_output=True, text=True, check=True).stdout
    entries = {}
    for line in out.splitlines():
        if "(" in line and "[" in line:
            tag = line.split("(", 1)[1].split(")", 1)[0]
            entries.setdefault(tag, []).append(line.split("[", 1)[1].rsplit("]", 1)[0])
    return entries


@needs_elf
def test_headers_finds_vlm_core_beside_itself():
    from velmora import headers

    dyn = dynamic_section(headers.__file__)
    assert Path(core.__file__).name in dyn.get("NEEDED", [])
    assert dyn.get("RUNPATH") == ["$ORIGIN"]
    assert "RPATH" not in dyn


@needs_elf
def test_vlm_core_soname_and_no_build_paths():
    dyn = dynamic_section(core.__file__)
    assert dyn.get("SONAME") == [Path(core.__file__).name]
    for tag in ("RUNPATH", "RPATH"):
        assert all("/" not in entry.replace("$ORIGIN", "") for entry in dyn.get(tag, [])), dyn


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_vlm_core_exports_only_its_interface():
    out = subprocess.run(["nm", "-D", "--defined-only", core.__file__], capture_output=True, text=True, check=True)
    # Reserved names (__asan_*, ...) come from instrumentation in sanitizer builds.
    exported = {line.split()[-1] for line in out.stdout.splitlines() if line.strip()}
    exported = {name for name in exported if not name.startswith("__")}
    assert exported == {
        "PyInit__vlm_core",
        "get_interned_header_name_bytes",
        "simd_is_ascii_lowercase",
        "simd_lowercase_ascii",
    }


@pytest.mark.skipif(not os.path.exists("/proc/self/maps"), reason="needs /proc")
def test_one_copy_of_vlm_core_whichever_module_loads_it_first():
    # headers pulls _vlm_core in through the dynamic loader; the later import
    # of the module must reuse that copy, or the shared name objects would
    # exist twice.
    code = """if True:
        def mapped():
            with open("/proc/self/maps") as f:
                return {line.split()[-1] for line in f if "_vlm_core" in line}
        import velmora.headers
        by_loader = mapped()
        import velmora._vlm_core
        print(sorted(by_loader), sorted(mapped()), velmora._vlm_core.__file__, sep="\\n")
    """
    run = subprocess.run(python_command(code), capture_output=True, text=True, check=True)
    by_loader, after_import, module_file = run.stdout.splitlines()
    expected = repr([os.path.realpath(module_file)])
    assert by_loader == expected
    assert after_import == expected


# A free-threaded interpreter is refused when the build is configured, which
# is where pip's install from the sdist stops.  A stand-in interpreter runs
# the real one's -c queries with its configuration saying free-threaded.
# (No 3.14 can be faked so: FindPython wants that version's headers.)
FAKE_FREE_THREADED = """#!{python}
import os, sys, sysconfig
args = sys.argv[1:]
if "-c" not in args:
    os.execv({python!r}, [{python!r}, *args])
code = args[args.index("-c") + 1]
sys.argv = ["-c", *args[args.index("-c") + 2 :]]
get = sysconfig.get_config_var
sysconfig.get_config_var = lambda name: 1 if name == "Py_GIL_DISABLED" else get(name)
exec(compile(code, "<string>", "exec"), {{"__name__": "__main__"}})
"""


@pytest.mark.skipif(shutil.which("cmake") is None or not (REPO / "CMakeLists.txt").exists(), reason="needs cmake")
def test_a_free_threaded_interpreter_is_refused_at_configure(tmp_path):
    fake = tmp_path / "python3"
    fake.write_text(FAKE_FREE_THREADED.format(python=sys.executable))
    fake.chmod(0o755)
    run = subprocess.run(
        ["cmake", "-S", str(REPO), "-B", str(tmp_path / "build"), f"-DPython_EXECUTABLE={fake}"],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode != 0
    message = "velmora needs a CPython with the global interpreter lock; the free-threaded build"
    assert message in " ".join(run.stderr.split()), run.stderr
