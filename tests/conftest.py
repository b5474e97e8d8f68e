import gc
import os
import sys

import pytest
from hypothesis import settings

# Sanitizer builds run several times slower: time limits per example would
# only produce flaky failures there.
settings.register_profile("velmora", deadline=None, print_blob=True)
settings.register_profile("ci", parent=settings.get_profile("velmora"), derandomize=True, database=None)
settings.load_profile("ci" if os.environ.get("CI") else "velmora")

# The model test (tests/test_model.py) runs on budgets of its own: a few
# hundred programs normally, at least twenty thousand under `make long`
# (VELMORA_LONG=1), where they are drawn afresh on every run.
# VELMORA_MODEL_EXAMPLES sets the count outright (`make valgrind` keeps it small).
_LONG = bool(os.environ.get("VELMORA_LONG"))
settings.register_profile(
    "model",
    parent=settings.get_profile("velmora" if _LONG or not os.environ.get("CI") else "ci"),
    max_examples=int(os.environ.get("VELMORA_MODEL_EXAMPLES") or (20_000 if _LONG else 200)),
    stateful_step_count=30 if _LONG else 25,
)


# `make check-aarch64` runs the suite with an arm64 interpreter under qemu on
# an x86-64 machine (VELMORA_QEMU is set there).  What can only run with the
# host's own interpreter or tools is skipped, saying why; everything else
# runs there, the native consumers included (built by the cross compiler).
QEMU_SKIPS = {
    "test_bench.py": "the benchmark times the host's build against peers installed for the host only",
    "test_stubs.py": "mypy and pyright check the stubs with the host's interpreter; the files are the same",
    "test_leaks.py::test_no_leak[load]": "pickle's own caches outgrow the block threshold at the emulated repeat count",
    "test_leaks.py::test_no_leak[Header load]": "pickle's own caches outgrow the block threshold at the emulated repeat count",
    "test_leaks.py::test_no_leak[deepcopy]": "pickle's own caches outgrow the block threshold at the emulated repeat count",
    "test_nomemory.py": (
        "the sweeps start an emulated interpreter per failing allocation; they run natively on every version"
    ),
    "test_distribution.py::test_sdist_holds_everything_a_build_needs": "the sdist is built on the host",
    "test_distribution.py::test_sdist_holds_nothing_large": "the sdist is built on the host",
    "test_distribution.py::test_installed_metadata_names_version_and_license": (
        "the package is laid out by make, without a wheel's metadata"
    ),
    "test_capi.py::test_cmake_project_builds_against_the_installed_header": (
        "CMake would configure for the host, not for the emulated interpreter"
    ),
}


def pytest_collection_modifyitems(config, items):
    if not os.environ.get("VELMORA_QEMU"):
        return
    for item in items:
        name = item.path.name
        reason = (
            QEMU_SKIPS.get(name)
            or QEMU_SKIPS.get(f"{name}::{item.name}")
            or QEMU_SKIPS.get(f"{name}::{getattr(item, 'originalname', item.name)}")
        )
        if reason:
            # A skipif placed first: pytest reports the first true skipif
            # before any skip, and this is the reason that applies here.
            item.add_marker(pytest.mark.skipif(True, reason=f"under qemu: {reason}"), append=False)


# The names the str interning table holds; the core must know every one.
@pytest.fixture(scope="session")
def str_table_names():
    return frozenset({
        b"content-type", b"content-length", b"host", b"cookie", b"set-cookie", b"accept",
        b"accept-encoding", b"accept-language", b"user-agent", b"server", b"date", b"connection",
        b"transfer-encoding", b"authorization", b"location", b"etag", b"if-none-match", b"origin",
        b"access-control-allow-origin", b"access-control-request-method", b"hx-request", b"hx-target",
        b"hx-trigger", b"hx-current-url", b"hx-prompt",
    })  # fmt: skip


def _allocated_after(fn, repeat):
    for _ in range(repeat):
        fn()
    gc.collect()
    return sys.getallocatedblocks(), len(gc.get_objects())


class LeakChecker:
    """Runs an operation many times and fails if memory blocks or tracked
    objects keep growing. Exceptions the operation is expected to raise are
    swallowed, so error paths are checked the same way."""

    def __call__(self, fn, *, repeat=2000, raises=(), slack=None):
        def once():
            try:
                fn()
            except raises:
                pass

        # Warm-up fills caches (interned names, free lists, method caches).
        _allocated_after(once, repeat // 4 + 10)
        allowed = repeat // 10 if slack is None else slack
        before = _allocated_after(once, 1)
        after = _allocated_after(once, repeat)
        # A leak grows in every window; the interpreter now and then grows
        # an internal table (pickle, type caches), at times in two windows
        # running. Only growth that every one of three windows shows counts.
        for _ in range(2):
            if after[0] - before[0] < allowed and after[1] - before[1] < allowed:
                break
            before, after = after, _allocated_after(once, repeat)
        assert after[0] - before[0] < allowed, f"{after[0] - before[0]} blocks leaked over {repeat} runs"
        assert after[1] - before[1] < allowed, f"{after[1] - before[1]} objects leaked over {repeat} runs"

    def cases(self, table, *, errors, repeat=1000):
        """Checks one group of a {name: (expected exceptions, fn)} table in a
        single run: the cases whose exceptions are non-empty (errors=True) or
        the ones expected to succeed. One run per group, because the
        checker's gc passes cost more than the operations."""

        group = [(exc, fn) for exc, fn in table.values() if bool(exc) == errors]

        def run_group():
            for exc, fn in group:
                try:
                    fn()
                except exc:
                    pass

        self(run_group, repeat=repeat)


@pytest.fixture
def no_leak():
    """no_leak(fn, repeat=..., raises=(ValueError,)) asserts fn leaks nothing."""
    return LeakChecker()
