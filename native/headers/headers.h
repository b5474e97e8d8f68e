// The Headers container, shared by its files: the Python entries and slots
// of what is not a fast method (those are in fast_methods.h) and the list a
// walk holds.
#pragma once

#include "common.h"
#include "entries.h"
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

// `values` of a collection as a walk's own reference, or the error for None.
inline Ref walk_list(HeadersObject *self) noexcept {
    if (VLM_UNLIKELY(self->values == Py_None || !self->values)) return Ref::steal(err_none_not_iterable());
    return Ref::borrow(self->values);
}

}  // namespace velmora
