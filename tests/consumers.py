"""What the tests of native consumers (C, Cython, C++) share: finding a
compiler, building and loading an extension against the installed package,
and one call of each of the eleven fast methods with the subclasses that
override them."""

import importlib.util
import os
import shlex
import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

from velmora.headers import Headers

NATIVE = Path(__file__).resolve().with_name("native")
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
PYTHON_INCLUDE = sysconfig.get_paths()["include"]


def find_tool(env_var, config_var, *fallbacks):
    for candidate in (os.environ.get(env_var), sysconfig.get_config_var(config_var), *fallbacks):
        argv = shlex.split(candidate or "")
        if argv and shutil.which(argv[0]):
            return argv
    return None


CC = find_tool("CC", "CC", "cc", "gcc", "clang")
CXX = find_tool("CXX", "CXX", "c++", "g++", "clang++")
needs_cc = pytest.mark.skipif(CC is None, reason="no C compiler")


def sanitizer_flags():
    # Under the sanitizer build the ASan runtime is already in the process;
    # instrumenting the consumer too checks its side of every call.
    try:
        maps = Path("/proc/self/maps").read_text()
    except OSError:
        return []
    return ["-fsanitize=address,undefined", "-fno-omit-frame-pointer"] if "libasan" in maps else []


def compile_or_fail(argv, **kwargs):
    run = subprocess.run(argv, capture_output=True, text=True, **kwargs)
    assert run.returncode == 0, f"{shlex.join(argv)}\n{run.stdout}{run.stderr}"


def load(name, path):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


ENTRIES = [(b"content-type", b"text/html"), (b"set-cookie", b"a=1"), (b"Set-Cookie", b"b=2"), (b"x-empty", b"")]


def sample(cls=Headers):
    return cls(list(ENTRIES))


# One call of each of the eleven slots.
CALLS = [
    ("keys", ()),
    ("clone", ()),
    ("get", ("Set-Cookie",)),
    ("get_tuples", (b"SET-COOKIE",)),
    ("add", (b"X-Added", b"1")),
    ("set", ("set-cookie", "c=3")),
    ("get_single", (b"content-type",)),
    ("get_first", ("set-cookie",)),
    ("remove", (b"Set-Cookie",)),
    ("merge", ([(b"x-merged", b"2")],)),
    ("contains", ("content-type",)),
]
WRITES = {"add", "set", "remove", "merge"}


def same_result(got, want):
    if isinstance(want, Headers):
        return type(got) is type(want) and got.values == want.values
    return type(got) is type(want) and got == want


def returning(method, result, calls=None):
    """A Headers subclass overriding only `method`, answering `result`."""

    def override(self, *args):
        if calls is not None:
            calls.append(args)
        return result

    return type(f"Overrides_{method}", (Headers,), {method: override})


OVERRIDE_RESULTS = {
    "keys": ("k",),
    "clone": Headers([(b"from", b"override")]),
    "get": ("override",),
    "get_tuples": [("o", "v")],
    "get_single": "single",
    "get_first": "first",
    "contains": "",  # falsy, while the base method would say yes
}


def raising(method):
    def override(self, *args):
        raise LookupError(method)

    return type(f"Raises_{method}", (Headers,), {method: override})
