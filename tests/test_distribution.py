"""What is shipped: the sdist built from the source tree beside the tests
(skipped where the tests run without one, as in `make dist-check`), and the
installed package working from wherever it is put."""

import os
import re
import shutil
import subprocess
import sys
import tarfile
from importlib import metadata
from pathlib import Path

import pytest

import velmora

from support import python_command

REPO = Path(__file__).resolve().parents[1]
PACKAGE_DIR = Path(velmora.__file__).resolve().parent
MAX_SDIST_BYTES = 1 << 20  # the sources are a few hundred KiB
MAX_FILE_BYTES = 128 << 10


def source_files(top):
    for path in (REPO / top).rglob("*"):
        if path.is_file() and "__pycache__" not in path.parts and path.suffix not in (".so", ".pyc"):
            yield path.relative_to(REPO).as_posix()


@pytest.fixture(scope="module")
def sdist(tmp_path_factory):
    if not (REPO / "CMakeLists.txt").is_file() or not (REPO / "native").is_dir():
        pytest.skip("no source tree beside the tests")
    pytest.importorskip("scikit_build_core.build")
    out = tmp_path_factory.mktemp("sdist")
    code = "import sys; from scikit_build_core.build import build_sdist; print(build_sdist(sys.argv[1]))"
    # Packing loads nothing native: the sanitizer runtime would only slow it.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    run = subprocess.run([sys.executable, "-c", code, str(out)], cwd=REPO, env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    with tarfile.open(out / run.stdout.split()[-1]) as tar:
        members = tar.getmembers()
    assert {m.name.split("/", 1)[0] for m in members} == {f"velmora-{metadata.version('velmora')}"}
    return {m.name.split("/", 1)[1]: m.size for m in members if "/" in m.name}


def test_sdist_holds_everything_a_build_needs(sdist):
    needed = {"pyproject.toml", "CMakeLists.txt", "README.md", "PKG-INFO"}
    needed |= {*source_files("native"), *source_files("src")}
    assert "src/velmora/include/velmora/headers.h" in needed
    assert needed - sdist.keys() == set()


def test_sdist_holds_nothing_large(sdist):
    unwanted_tops = {"build", "dist", "bench", ".git", ".pytest_cache", ".hypothesis"}
    unwanted = [
        name
        for name in sdist
        if name.split("/", 1)[0] in unwanted_tops
        or name.startswith(".venv")
        or "__pycache__" in name.split("/")
        or name.endswith((".so", ".o", ".whl", ".tar.gz"))
    ]
    assert unwanted == []
    assert {name: size for name, size in sdist.items() if size > MAX_FILE_BYTES} == {}
    assert sum(sdist.values()) < MAX_SDIST_BYTES


@pytest.mark.skipif(not os.path.exists("/proc/self/maps"), reason="needs /proc")
def test_package_works_wherever_it_is_put(tmp_path):
    # headers finds _vlm_core through its relative run path alone: no
    # LD_LIBRARY_PATH, and the copy in the new place is the one loaded.
    site = tmp_path / "elsewhere" / "site"
    shutil.copytree(PACKAGE_DIR, site / "velmora", ignore=shutil.ignore_patterns("__pycache__"))
    code = """if True:
        import velmora.headers as h
        with open("/proc/self/maps") as f:
            cores = {line.split()[-1] for line in f if "_vlm_core" in line}
        print(h.__file__, *sorted(cores), sep="\\n")
        print(h.Headers([(b"Host", b"x")]).get_first("HOST"))
    """
    env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    env["PYTHONPATH"] = str(site)
    run = subprocess.run(python_command(code), env=env, cwd=tmp_path, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    module_file, core_file, value = run.stdout.splitlines()
    assert Path(module_file).parent == site / "velmora"
    assert Path(core_file).parent == site / "velmora"
    assert value == "x"


def test_sdist_holds_what_its_pages_embed(sdist):
    pages = [name for name in sdist if name.endswith(".md")]
    assert "docs/usage.md" in pages
    embedded = {
        (page, os.path.normpath(os.path.join(os.path.dirname(page), target)))
        for page in pages
        for target in re.findall(r"!\[[^\]]*\]\(([^)\s]+)", (REPO / page).read_text(encoding="utf-8"))
        if "://" not in target
    }
    assert {(page, target) for page, target in embedded if target not in sdist} == set()


def test_installed_metadata_names_version_and_license():
    meta = metadata.metadata("velmora")
    assert velmora.__version__ == meta["Version"]
    assert meta["License-Expression"] == "MIT"
    assert "Development Status :: 4 - Beta" in meta.get_all("Classifier")
    assert meta["Author"]
    # Development tools are dependency groups: a user installs no extra.
    assert meta.get_all("Provides-Extra") is None
    assert meta.get_all("Requires-Dist") is None
    # The long description is shown on an index page, where a relative
    # link or image resolves nowhere.
    links = re.findall(r"\]\(([^)\s]+)", meta.get_payload())
    assert [link for link in links if not link.startswith(("https://", "http://"))] == []
    # The versions claimed are exactly the ones the suite runs on, this one among them.
    tested = {f"3.{minor}" for minor in range(10, 14)}
    prefix = "Programming Language :: Python :: 3."
    claimed = {c.rsplit(" ", 1)[1] for c in meta.get_all("Classifier") if c.startswith(prefix)}
    assert claimed == tested
    assert "%d.%d" % sys.version_info[:2] in tested
    assert meta["Requires-Python"].replace(" ", "") in (">=3.10,<3.14", "<3.14,>=3.10")
    (license_file,) = [f for f in metadata.files("velmora") if f.name == "LICENSE"]
    assert "MIT License" in license_file.read_text()


@pytest.mark.skipif(not (REPO / "docs").is_dir(), reason="no docs/ beside the tests")
def test_consumer_docs_pin_the_release_they_describe():
    # The pages tell native consumers to build and run with one exact release.
    pins = {
        page.name: set(re.findall(r"velmora==([0-9]+(?:\.[0-9A-Za-z]+)*)", page.read_text(encoding="utf-8")))
        for page in (REPO / "docs").glob("*.md")
    }
    assert pins["capi.md"]
    assert pins["cython.md"]
    assert {name: found for name, found in pins.items() if found - {velmora.__version__}} == {}
