"""Helpers shared by the test files: exact-message checks, the subclasses of
bytes and str that stand for names of the wrong exact type, the C functions
reached through ctypes, and a listening socket for servers under test.
"""

import ctypes
import re
import socket

import pytest


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
