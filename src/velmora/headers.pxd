# Declarations of velmora.headers for Cython modules:
#
#     from velmora.headers cimport Headers, intern_header_name_bytes
#
# A method called on a typed Headers goes through the class's fast-method
# table with no Python call, and a Python subclass's override still runs.
# The declaration order below is the order of that table: never reorder it.

cdef class Header:
    cdef readonly object name
    cdef readonly object value


cdef class Headers:
    # Exactly a list, or None in an instance never initialised.
    cdef readonly list values

    cpdef tuple keys(self)
    cpdef Headers clone(self)
    cpdef tuple get(self, name)
    cpdef list get_tuples(self, name)
    # The table reports these failures through the error indicator alone,
    # hence `except *`: the caller tests it after each call.
    cpdef void add(self, name, value) except *
    cpdef void set(self, name, value) except *
    cpdef object get_single(self, key)
    cpdef object get_first(self, key)
    cpdef void remove(self, key) except *
    cpdef void merge(self, list values) except *
    cpdef bint contains(self, key) except *


# The native entry does not check its argument: typing it as bytes makes
# Cython check it at each call instead (None passes, and gives None).
cpdef intern_header_name_bytes(bytes name)
cpdef intern_header_name_str(name)
