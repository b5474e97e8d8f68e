// The Headers container, shared by its files: the Python entries and slots
// of what is not a fast method (those are in fast_methods.h) and the
// entry-reading helpers of the scans.
#pragma once

#include "common.h"
#include "fast_methods.h"
#include "messages.h"
#include "ref.h"

namespace velmora {

// Python entries of the methods that are not fast methods.
PyObject *headers_py_update(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;
PyObject *headers_py_items(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;
PyObject *headers_py_add_many(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;
PyObject *headers_py_add_to_instance(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;
PyObject *headers_py_reduce(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;
PyObject *headers_py_setstate(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;

// Headers(list) for the module's own use, with `list` exactly a list. The
// class is static, so its __new__ and __init__ are the ones here and the
// type call can be skipped.
PyObject *headers_new(PyObject *list) noexcept;

// Type slots that live beside the behaviour they give.
PyObject *headers_mp_subscript(PyObject *self, PyObject *item) noexcept;
int headers_mp_ass_subscript(PyObject *self, PyObject *key, PyObject *value) noexcept;
PyObject *headers_sq_item(PyObject *self, Py_ssize_t i) noexcept;
int headers_sq_ass_item(PyObject *self, Py_ssize_t i, PyObject *value) noexcept;
int headers_sq_contains(PyObject *self, PyObject *key) noexcept;
PyObject *headers_tp_iter(PyObject *self) noexcept;
PyObject *headers_nb_add(PyObject *left, PyObject *right) noexcept;
PyObject *headers_nb_inplace_add(PyObject *self, PyObject *other) noexcept;

// Entry readers for the scans. The walk holds its own reference to the list
// and re-reads the size every step; entries shorter than a pair are refused
// rather than read past their end.

// An entry that must be exactly a tuple (get, get_tuples, get_first,
// remove). 0 with name (and value, when asked for) borrowed from the tuple,
// -1 with an error.
[[nodiscard]] inline int read_tuple_entry(PyObject *entry, PyObject **name, PyObject **value) noexcept {
    if (VLM_LIKELY(is_exact_tuple(entry))) {
        const Py_ssize_t n = PyTuple_GET_SIZE(entry);
        if (VLM_UNLIKELY(n < (value ? 2 : 1))) return err_short_entry(n);
        *name = PyTuple_GET_ITEM(entry, 0);
        if (value) *value = PyTuple_GET_ITEM(entry, 1);
        return 0;
    }
    if (entry == Py_None) return err_none_not_subscriptable();
    return err_expected("tuple", entry);
}

// Unpacks exactly two items (exact tuples and lists directly, anything else
// by iteration) with the interpreter's unpacking messages. 0 or -1.
[[nodiscard]] int unpack_pair(PyObject *entry, Ref &first, Ref &second) noexcept;

// entry[0] by ordinary subscription (contains, keys); new reference.
PyObject *entry_first_item(PyObject *entry) noexcept;

// `values` of a collection as a walk's own reference, or the error for None.
inline Ref walk_list(HeadersObject *self) noexcept {
    if (VLM_UNLIKELY(self->values == Py_None || !self->values)) return Ref::steal(err_none_not_iterable());
    return Ref::borrow(self->values);
}

}  // namespace velmora
