"""Helpers shared by the test files: exact-message checks, the subclasses of
bytes and str that stand for names of the wrong exact type, the C functions
reached through ctypes, a listening socket for servers under test, and the
entries, records and hostile objects (overrides, names and entries that
change the list under a scan, values whose format or truth raises) that more
than one test file uses. Test files import from here, never from each other.
"""

import ctypes
import re
import socket
import sys
from collections.abc import Mapping

import pytest

import velmora.headers as _vh
from velmora.headers import Header, Headers


def exactly(message):
    """A pattern for pytest's `match` that accepts this whole message only."""
    return "^" + re.escape(message) + "$"


def raises_exactly(exc_type, message):
    """pytest.raises with the whole message compared, not searched."""
    return pytest.raises(exc_type, match=exactly(message))


def raises(exc, message, fn, *args, **kwargs):
    """Calls fn and checks that it raises exc with exactly this message."""
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message
    return info.value


def python_command(code):
    """The argv that runs code in a fresh interpreter of this one, with the
    working directory kept off sys.path (as -P does, which 3.10 lacks)."""
    if sys.version_info >= (3, 11):
        return [sys.executable, "-P", "-c", code]
    return [sys.executable, "-c", "import sys; del sys.path[0]\n" + code]


def iadd(h, other):
    """h += other as an expression."""
    h += other
    return h


class BSub(bytes):
    """A bytes name that is not exactly bytes: never matched, never interned."""


class StrSub(str):
    """A str name that is not exactly str: matched by its own lower()."""


# ---- C functions through ctypes ------------------------------------------------

OBJ = ctypes.py_object
api = ctypes.pythonapi
api.PyCapsule_IsValid.argtypes = [OBJ, ctypes.c_char_p]
api.PyCapsule_IsValid.restype = ctypes.c_int
api.PyCapsule_GetName.argtypes = [OBJ]
api.PyCapsule_GetName.restype = ctypes.c_char_p
api.PyCapsule_GetPointer.argtypes = [OBJ, ctypes.c_char_p]
api.PyCapsule_GetPointer.restype = ctypes.c_void_p
# The sequence protocol, which Python code cannot reach directly on a type
# that also has the mapping protocol.
api.PySequence_GetItem.argtypes = [OBJ, ctypes.c_ssize_t]
api.PySequence_GetItem.restype = OBJ
api.PySequence_SetItem.argtypes = [OBJ, ctypes.c_ssize_t, OBJ]
api.PySequence_SetItem.restype = ctypes.c_int
api.PySequence_DelItem.argtypes = [OBJ, ctypes.c_ssize_t]
api.PySequence_DelItem.restype = ctypes.c_int

# The capsule name of the two exported interning functions, and their type.
CAPI_SIGNATURE = b"PyObject *(PyObject *, int __pyx_skip_dispatch)"
InternFunc = ctypes.PYFUNCTYPE(OBJ, OBJ, ctypes.c_int)


def capi_function(module, name):
    """The native interning function `name` exported by the module's __pyx_capi__."""
    return InternFunc(api.PyCapsule_GetPointer(module.__pyx_capi__[name], CAPI_SIGNATURE))


# ---- servers -----------------------------------------------------------------


def listening_socket():
    """A TCP socket on a free loopback port, bound and listening, to be handed
    to a server: the port cannot be taken by anyone else in between."""
    sock = socket.socket()
    try:
        sock.bind(("127.0.0.1", 0))
        sock.listen()
    except BaseException:
        sock.close()
        raise
    return sock


# ---- entries, records and hostile objects the test files share -----------------

A = (b"a", b"1")
B = (b"b", b"2")
SC_A = (b"set-cookie", b"a=1")
CT = (b"content-type", b"text/plain")
SC_B = (b"set-cookie", b"b=2")

# The pickle format's reconstructors and the checksums of the field lists
# they accept.
HEADER_SUMS = (0xAAF55BF, 0xE891E3F, 0xFA7A105)
HEADERS_SUMS = (0x89445EA, 0x48B0CB, 0xF09CC7E)
unpickle_header = _vh.__pyx_unpickle_Header
unpickle_headers = _vh.__pyx_unpickle_Headers


class SubHeader(Header):
    pass


class PlainMapping(Mapping):
    def __init__(self, pairs, items=None):
        self.pairs = dict(pairs)
        self._items = items

    def __getitem__(self, key):
        return self.pairs[key]

    def __len__(self):
        return len(self.pairs)

    def __iter__(self):
        return iter(self.pairs)

    def items(self):
        return self._items if self._items is not None else super().items()


class Broken:
    """An override's answer whose truth value raises."""

    def __bool__(self):
        raise ZeroDivisionError("truth")


class Recording(Headers):
    """Records the fast methods that set() and the item protocols reach."""

    def __init__(self, *args, present=None):
        super().__init__(*args)
        self.log = []
        self.present = present

    def contains(self, key):
        self.log.append(("contains", key))
        return super().contains(key) if self.present is None else self.present

    def remove(self, key):
        self.log.append(("remove", key))
        return super().remove(key)

    def add(self, name, value):
        self.log.append(("add", name, value))
        return super().add(name, value)


class FormatBoom:
    def __format__(self, format_spec):
        raise RuntimeError("no format")


class LowerIs(str):
    """A str whose str() is itself and whose lower() returns `result`."""

    result = None

    def __str__(self):
        return self

    def lower(self):
        return self.result


class Texted:
    """A name stored unchanged whose str() is chosen by the test."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


def actions_on(h, values):
    return {
        "clear": values.clear,
        "extend": lambda: values.extend([(b"a", b"late"), (b"b", b"x")]),
        "reinit": lambda: h.__init__([(b"a", b"new")]),
        "del-self": lambda: values.__delitem__(1),
    }


class Meddler(str):
    """A stored name whose lower() changes the list it is stored in, once."""

    def lower(self):
        if self.actions:
            self.actions.pop()()
        return str.lower(self)


class MeddlingEntry:
    """An entry that is no tuple: indexing or iterating it changes the list, once."""

    def __init__(self, action):
        self.actions = [action]

    def meddle(self):
        if self.actions:
            self.actions.pop()()

    def __getitem__(self, i):
        self.meddle()
        return (b"a", b"1")[i]

    def __iter__(self):
        self.meddle()
        return iter((b"a", b"1"))


def meddling(kind, make=None):
    values = [(b"b", b"0")]
    h = Headers(values)
    action = actions_on(h, values)[kind]
    if make is None:
        name = Meddler("A")
        name.actions = [action]
        values.append((name, b"1"))
    else:
        values.append(make(action))
    values.append((b"a", b"2"))
    return h, values


# ---- allocation failure ----------------------------------------------------------

# Runs in a child interpreter: fails allocation number n (counted from just
# before the operation), for n = start, start + 1, ..., and reports each n
# before trying it, so that the parent knows where a crash happened.  An
# operation that did not reach allocation n ends the sweep.
_SWEEP_CHILD = r"""
import sys, _testcapi
{setup}
def operation():
{operation}
n = int(sys.argv[1])
while True:
    print("N", n, flush=True)
    _testcapi.set_nomemory(n, n + 1)
    try:
        operation()
    except MemoryError:
        _testcapi.remove_mem_hooks()
    except BaseException as exc:
        _testcapi.remove_mem_hooks()
        print("WRONG", n, type(exc).__name__, exc, flush=True)
        print("DONE", n, flush=True)
        break
    else:
        # Whether the operation used up allocation n: inline, since even
        # the frame of a call may be that allocation.
        try:
            [bytes(64) for _ in range(n + 2)]
            reached = True
        except MemoryError:
            reached = False
        finally:
            _testcapi.remove_mem_hooks()
        if not reached:
            print("DONE", n, flush=True)
            break
        if {one_success}:
            break
    if {one_try}:
        break
    n += 1
"""


def run_python(code):
    """Runs code in a fresh interpreter; its output."""
    import os
    import subprocess
    import textwrap

    run = subprocess.run(
        python_command(textwrap.dedent(code)), capture_output=True, text=True, env=os.environ, timeout=120
    )
    assert run.returncode == 0, run.stderr
    return run.stdout.strip()


def allocation_sweep(setup, operation, *, one_try=False, one_success=False):
    """Fails the Nth allocation of `operation` for N = 1, 2, ... until it no
    longer reaches N, in child interpreters: a crash is reported and the sweep
    goes on in a new one from N + 1.  Returns the faults: crashes and
    exceptions other than MemoryError.  `one_try` starts a new interpreter for
    every N (an import, after a failure, retries differently); `one_success`
    after every success (an import succeeds once per process)."""
    import subprocess
    import textwrap

    body = textwrap.indent(textwrap.dedent(operation).strip(), "    ")
    code = _SWEEP_CHILD.format(setup=textwrap.dedent(setup), operation=body, one_try=one_try, one_success=one_success)
    faults, n = [], 1
    while True:
        argv = python_command(code)
        argv[1:1] = ["-X", "faulthandler"]
        run = subprocess.run([*argv, str(n)], capture_output=True, text=True, timeout=300)
        last, done, started = n, False, False
        for line in run.stdout.splitlines():
            word, _, rest = line.partition(" ")
            if word == "N":
                last, started = int(rest), True
            elif word == "WRONG":
                faults.append(line)  # the sweep of this operation ends there
            elif word == "DONE":
                done = True
        if run.returncode != 0:
            faults.append(f"crash at N={last} (exit {run.returncode}): {run.stderr[-1500:]}")
        # A child that never reached its first step would be started again
        # and again: that is a broken harness, not a point of the sweep.
        if done or not started:
            return faults
        n = last + 1


# ---- hostile objects ---------------------------------------------------------------


class Boom(Exception):
    """The caller's own error: it must reach the caller as this very object."""


class FailingEntry(tuple):
    """A (name, value) tuple subclass whose iteration yields two items and then
    raises, and whose indexing raises: every read of it fails with Boom."""

    indexed = 0

    def __iter__(self):
        yield from tuple.__iter__(self)
        raise Boom("iteration")

    def __getitem__(self, index):
        type(self).indexed += 1
        raise Boom("indexing")


def fresh_bytes(text):
    """A bytes object nothing else holds: neither immortal nor shared."""
    return bytes(bytearray(text))
