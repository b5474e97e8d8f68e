"""The native core: ASCII routines and the table of well-known names.

The routines are driven through velmora._vlm_core, which hands them a pointer
into the caller's bytes at `offset`, so every alignment is reachable.
"""

import os
import platform
import subprocess

import pytest
from hypothesis import given
from hypothesis import strategies as st

from velmora import _vlm_core as core

from support import python_command

UPPER = frozenset(range(ord("A"), ord("Z") + 1))
NOT_UPPER = bytes(v for v in range(256) if v not in UPPER)
MAX_LEN = 70  # past four 16-byte vectors, every tail size on the way
OFFSETS = range(16)  # every alignment of the pointer
STEP = 37  # odd: neighbouring bytes differ and lanes see unrelated values

KNOWN = core.known_names()
INDEX = {name: i for i, name in enumerate(KNOWN)}


def expected_lookup(data: bytes):
    i = INDEX.get(data.lower())
    return None if i is None else KNOWN[i]


def rotations(alphabet: bytes):
    """len(alphabet) byte strings of MAX_LEN bytes; across them, every
    position holds every byte of the alphabet exactly once."""
    n = len(alphabet)
    base = bytes((STEP * i) % n for i in range(MAX_LEN))
    for k in range(n):
        table = bytes(alphabet[(v + k) % n] if v < n else 0 for v in range(256))
        yield base.translate(table)


ALL_BYTES = list(rotations(bytes(range(256))))
LOWER_SAFE = list(rotations(NOT_UPPER))


# ---- ASCII routines ---------------------------------------------------------


@pytest.mark.parametrize("offset", OFFSETS)
def test_lowercase_matches_bytes_lower_for_every_byte_length_and_offset(offset):
    # Uppercase prefix: it must be neither read as data nor written.
    prefix = b"Q" * offset
    for payload in ALL_BYTES:
        for n in range(MAX_LEN + 1):
            data = payload[:n]
            got = core._lowercase_ascii(prefix + data, offset)
            assert got == data.lower(), (n, data)


@pytest.mark.parametrize("offset", OFFSETS)
def test_is_ascii_lowercase_for_every_byte_length_and_offset(offset):
    prefix = b"Q" * offset
    for payload in LOWER_SAFE:
        for n in range(MAX_LEN + 1):
            assert core._is_ascii_lowercase(prefix + payload[:n], offset), payload[:n]
    # Each capital alone at each position, amid varying non-capitals.
    for n in range(1, MAX_LEN + 1):
        for pos in range(n):
            for letter in UPPER:
                background = LOWER_SAFE[(pos * 26 + letter) % len(LOWER_SAFE)]
                data = background[:pos] + bytes((letter,)) + background[pos + 1 : n]
                assert not core._is_ascii_lowercase(prefix + data, offset), (n, pos, data)


@given(st.binary(max_size=300), st.integers(0, 15))
def test_ascii_routines_on_arbitrary_bytes(data, offset):
    buf = bytes(offset) + data
    assert core._lowercase_ascii(buf, offset) == data.lower()
    assert core._is_ascii_lowercase(buf, offset) == (not UPPER.intersection(data))


def test_long_inputs_stop_at_a_late_capital():
    data = bytearray(b"x" * 100_000)
    assert core._is_ascii_lowercase(bytes(data))
    data[-1] = ord("Z")
    assert not core._is_ascii_lowercase(bytes(data))
    assert core._lowercase_ascii(bytes(data)) == bytes(data).lower()


@pytest.mark.parametrize("func", [core._is_ascii_lowercase, core._lowercase_ascii])
@pytest.mark.parametrize(
    ("args", "exc"),
    [
        (("abc",), TypeError),
        ((bytearray(b"abc"),), TypeError),
        ((memoryview(b"abc"),), TypeError),
        ((None,), TypeError),
        ((b"abc", 1.0), TypeError),
        ((b"abc", "1"), TypeError),
        ((b"abc", -1), ValueError),
        ((b"abc", 4), ValueError),
        ((), TypeError),
        ((b"abc", 0, 0), TypeError),
    ],
)
def test_ascii_hooks_reject_bad_arguments(func, args, exc):
    with pytest.raises(exc):
        func(*args)


def test_ascii_hooks_accept_keywords_and_an_offset_at_the_end():
    assert core._lowercase_ascii(data=b"AB", offset=2) == b""
    assert core._is_ascii_lowercase(data=b"AB", offset=2) is True
    assert core._is_ascii_lowercase(b"AB", offset=1) is False


# A build that fell back to the byte loop would pass every test above, so the
# routines compiled in must be the machine's own vector ones.
# VELMORA_EXPECT_ASCII_PATH names them for a build made portable on purpose.
VECTOR_PATHS = {"x86_64": "sse2", "amd64": "sse2", "aarch64": "neon", "arm64": "neon"}


def test_the_machines_vector_routines_are_compiled_in():
    expected = os.environ.get("VELMORA_EXPECT_ASCII_PATH") or VECTOR_PATHS.get(platform.machine().lower(), "portable")
    assert core._ascii_path() == expected


# ---- well-known names -------------------------------------------------------


def test_known_names_table(str_table_names):
    assert 80 <= len(KNOWN) <= 100
    assert all(type(name) is bytes and name == name.lower() for name in KNOWN)
    assert len(INDEX) == len(KNOWN)
    assert str_table_names <= INDEX.keys()
    again = core.known_names()
    assert all(a is b for a, b in zip(again, KNOWN, strict=True))


def case_variants(name: bytes):
    yield name
    yield name.upper()
    yield name.title()
    yield bytes(c ^ 0x20 if chr(c).isalpha() and i % 2 else c for i, c in enumerate(name))
    yield bytes(c ^ 0x20 if chr(c).isalpha() and not i % 2 else c for i, c in enumerate(name))
    # One letter flipped at a time reaches every lane of the compare.
    for i, c in enumerate(name):
        if chr(c).isalpha():
            yield name[:i] + bytes((c ^ 0x20,)) + name[i + 1 :]
            yield name.upper()[:i] + bytes((c,)) + name.upper()[i + 1 :]


@pytest.mark.parametrize("name", KNOWN, ids=[n.decode() for n in KNOWN])
def test_every_case_variant_finds_the_shared_object(name):
    for variant in case_variants(name):
        assert core._lookup(variant) is name, variant


@pytest.mark.parametrize("name", KNOWN, ids=[n.decode() for n in KNOWN])
def test_single_byte_changes_miss(name):
    # Every other byte value at every position: covers the bytes the key's
    # |0x20 fold confuses with a name's own ('\r' with '-', '@' with '`',
    # '[' with '{', 0xC1 with 'a'), which only the final compare tells apart.
    for i in range(len(name)):
        for v in range(256):
            candidate = name[:i] + bytes((v,)) + name[i + 1 :]
            assert core._lookup(candidate) is expected_lookup(candidate), candidate


@pytest.mark.parametrize("name", KNOWN, ids=[n.decode() for n in KNOWN])
def test_neighbouring_lengths_miss(name):
    candidates = [name[:k] for k in range(len(name))]
    candidates += [name + b"s", name + b"-", name + b"\0", b"x" + name, name[1:], name[:-1] + b"-" + name[-1:]]
    for candidate in candidates:
        assert core._lookup(candidate) is expected_lookup(candidate), candidate


@pytest.mark.parametrize(
    "data",
    [b"", b"a", b"-", b"te" * 17, b"access-control-allow-credentialsX", b"A" * 4096, b"content-type" * 100_000],
    ids=["empty", "one", "dash", "34", "longest+1", "4k", "1.2M"],
)
def test_lengths_outside_the_table_miss(data):
    assert core._lookup(data) is None


@given(st.binary(max_size=40))
def test_lookup_agrees_with_the_table_on_arbitrary_bytes(data):
    assert core._lookup(data) is expected_lookup(data)


@given(st.sampled_from(KNOWN), st.randoms(use_true_random=False))
def test_lookup_of_randomly_cased_names(name, rnd):
    variant = bytes(c ^ 0x20 if chr(c).isalpha() and rnd.random() < 0.5 else c for c in name)
    assert core._lookup(variant) is name


@pytest.mark.parametrize("arg", ["host", bytearray(b"host"), memoryview(b"host"), None, 1])
def test_lookup_rejects_non_bytes(arg):
    with pytest.raises(TypeError):
        core._lookup(arg)


def test_table_is_built_lazily_and_retried_after_memory_error():
    pytest.importorskip("_testcapi")
    # A fresh interpreter, so the table must not exist yet after the import:
    # with every allocation failing the lookup misses (and leaves no
    # exception behind), then succeeds once memory is back; once built, the
    # table needs no memory at all.  Locals only between fail() and
    # restore(): a global store may allocate.
    code = """if True:
        import _testcapi
        from velmora import _vlm_core as core

        def probe(name, lookup=core._lookup, fail=_testcapi.set_nomemory, restore=_testcapi.remove_mem_hooks):
            fail(0)
            result = lookup(name)
            restore()
            return result

        assert probe(b"Content-Type") is None
        built = core._lookup(b"Content-Type")
        assert built == b"content-type", built
        assert built in core.known_names()
        assert probe(b"CONTENT-TYPE") is built
        print("ok")
    """
    run = subprocess.run(python_command(code), capture_output=True, text=True, env=os.environ, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "ok", run.stderr
