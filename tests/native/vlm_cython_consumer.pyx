# cython: language_level=3
"""A Cython module built on velmora the way a framework's own would be:
each fast method called on a typed Headers, both interning functions, and
the fields of both classes read directly."""

from velmora.headers cimport Header, Headers, intern_header_name_bytes, intern_header_name_str


def keys(Headers h):
    return h.keys()


def clone(Headers h):
    return h.clone()


def get(Headers h, name):
    return h.get(name)


def get_tuples(Headers h, name):
    return h.get_tuples(name)


def add(Headers h, name, value):
    h.add(name, value)


def set(Headers h, name, value):
    h.set(name, value)


def get_single(Headers h, key):
    return h.get_single(key)


def get_first(Headers h, key):
    return h.get_first(key)


def remove(Headers h, key):
    h.remove(key)


def merge(Headers h, list values):
    h.merge(values)


def contains(Headers h, key):
    return h.contains(key)


def intern_bytes(bytes name):
    return intern_header_name_bytes(name)


def intern_str(name):
    return intern_header_name_str(name)


def fields(Headers h, Header record):
    return h.values, record.name, record.value
