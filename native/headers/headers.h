// The Headers container, shared by its files: the fast methods (the entries
// of the table other native modules reach), their Python entries, the
// override dispatch they all follow and the entry-reading helpers of the
// scans.
#pragma once

#include "common.h"
#include "messages.h"
#include "ref.h"

namespace velmora {

using FastEntry = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);

inline PyCFunction as_cfunction(FastEntry f) noexcept { return as_pycfunction(f); }

// Only a class made by a class statement (or one with a dict, or abstract)
// can hold an override; direct instances never pay for a lookup.
inline bool may_override(PyObject *self) noexcept {
    PyTypeObject *tp = Py_TYPE(self);
    return tp->tp_dictoffset != 0 || (tp->tp_flags & (Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_IS_ABSTRACT)) != 0;
}

// Looks the method up on the instance; when it is not this module's own
// Python entry, calls it. -1 error, 0 run the body, 1 override's result in out.
[[nodiscard]] int call_override(PyObject *self, PyObject *method, FastEntry own, Ref &out, PyObject *const *argv,
                                size_t nargs) noexcept;

template <typename... A>
[[nodiscard]] inline int dispatch(HeadersObject *self, int skip_dispatch, PyObject *method, FastEntry own, Ref &out,
                                  A... args) noexcept {
    if (skip_dispatch || VLM_LIKELY(!may_override(reinterpret_cast<PyObject *>(self)))) return 0;
    PyObject *argv[sizeof...(A) + 1] = {args..., nullptr};
    return call_override(reinterpret_cast<PyObject *>(self), method, own, out, argv, sizeof...(A));
}

// The fast methods, in table order. Object results: new reference or
// nullptr. No-result slots report through the error indicator; inside the
// module their int twins (-1 error, 0 done) are used instead.
PyObject *headers_keys(HeadersObject *self, int skip_dispatch) noexcept;
PyObject *headers_clone(HeadersObject *self, int skip_dispatch) noexcept;
PyObject *headers_get(HeadersObject *self, PyObject *name, int skip_dispatch) noexcept;
PyObject *headers_get_tuples(HeadersObject *self, PyObject *name, int skip_dispatch) noexcept;
[[nodiscard]] int headers_add(HeadersObject *self, PyObject *name, PyObject *value, int skip_dispatch) noexcept;
[[nodiscard]] int headers_set(HeadersObject *self, PyObject *name, PyObject *value, int skip_dispatch) noexcept;
PyObject *headers_get_single(HeadersObject *self, PyObject *key, int skip_dispatch) noexcept;
PyObject *headers_get_first(HeadersObject *self, PyObject *key, int skip_dispatch) noexcept;
[[nodiscard]] int headers_remove(HeadersObject *self, PyObject *key, int skip_dispatch) noexcept;
[[nodiscard]] int headers_merge(HeadersObject *self, PyObject *values, int skip_dispatch) noexcept;
// 1 yes, 0 no, -1 error (the table's slot turns -1 into 0 with the error set).
[[nodiscard]] int headers_contains(HeadersObject *self, PyObject *key, int skip_dispatch) noexcept;

// Python entries (METH_FASTCALL | METH_KEYWORDS); the dispatch recognises
// the module's own methods by these.
PyObject *headers_py_keys(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;
PyObject *headers_py_clone(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;
PyObject *headers_py_get(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;
PyObject *headers_py_get_tuples(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;
PyObject *headers_py_add(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;
PyObject *headers_py_set(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;
PyObject *headers_py_get_single(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;
PyObject *headers_py_get_first(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;
PyObject *headers_py_remove(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;
PyObject *headers_py_merge(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;
PyObject *headers_py_contains(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;
PyObject *headers_py_update(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;
PyObject *headers_py_items(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;
PyObject *headers_py_add_many(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;
PyObject *headers_py_add_to_instance(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;
PyObject *headers_py_reduce(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;
PyObject *headers_py_setstate(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;

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
