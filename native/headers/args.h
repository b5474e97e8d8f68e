// The one argument binder for every Python-visible function of the module.
// A Signature lists the parameter names (as constant slots, so keywords are
// matched by identity first) and how many are required; binding fills one
// borrowed pointer per parameter (nullptr for an absent optional one).
#pragma once

#include "common.h"
#include "messages.h"

namespace velmora {

struct Signature {
    const char *func;
    PyObject *const *names[4];  // pointers into the constant table
    int count;
    int required;
};

namespace detail {

inline int keyword_index(const Signature &sig, PyObject *kw) noexcept {
    for (int j = 0; j < sig.count; ++j)
        if (*sig.names[j] == kw) return j;
    for (int j = 0; j < sig.count; ++j) {
        int eq = PyUnicode_Compare(*sig.names[j], kw);
        if (eq == 0) return j;
        if (eq == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    return -1;
}

}  // namespace detail

// Binding a vectorcall-style argument list. Keyword values follow the
// positional ones in `args`, as in the interpreter's own calling convention.
[[nodiscard]] inline int bind(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                              PyObject **out) noexcept {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (VLM_LIKELY(nkw == 0)) {
        if (VLM_LIKELY(nargs == sig.count)) {
            for (int i = 0; i < sig.count; ++i) out[i] = args[i];
            return 0;
        }
    }
    if (nargs > sig.count)
        return err_arg_count(sig.func, sig.required == sig.count ? "exactly" : "at most", sig.count, nargs);
    for (int i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    if (nkw == 0) {
        if (nargs < sig.required)
            return err_arg_count(sig.func, sig.required == sig.count ? "exactly" : "at least", sig.required, nargs);
        return 0;
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, k))) return err_keywords_not_strings(sig.func);
    }
    // Parameters not given by position are taken from the keywords, in order;
    // the first required one still missing is reported by its position.
    Py_ssize_t used = 0;
    for (int i = static_cast<int>(nargs); i < sig.count; ++i) {
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (detail::keyword_index(sig, PyTuple_GET_ITEM(kwnames, k)) == i) {
                out[i] = args[nargs + k];
                ++used;
                break;
            }
        }
        if (!out[i] && i < sig.required)
            return err_arg_count(sig.func, sig.required == sig.count ? "exactly" : "at least", sig.required, i);
    }
    if (used == nkw) return 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *kw = PyTuple_GET_ITEM(kwnames, k);
        int j = detail::keyword_index(sig, kw);
        if (j < 0) return err_unexpected_keyword(sig.func, kw);
        if (j < nargs) return err_multiple_values(sig.func, kw);
    }
    return 0;
}

// Binding a tuple and an optional dict of keywords (the tp_init convention).
[[nodiscard]] inline int bind_tuple(const Signature &sig, PyObject *args, PyObject *kwargs, PyObject **out) noexcept {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject *const *items = &PyTuple_GET_ITEM(args, 0);
    if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) return bind(sig, items, nargs, nullptr, out);
    if (nargs > sig.count)
        return err_arg_count(sig.func, sig.required == sig.count ? "exactly" : "at most", sig.count, nargs);
    const Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    PyObject *kwnames = PyTuple_New(nkw);
    if (!kwnames) return -1;
    // Holds borrowed values only; the dict keeps them alive during binding.
    PyObject **stack = static_cast<PyObject **>(
        PyMem_Malloc(sizeof(PyObject *) * static_cast<size_t>(nargs + nkw + 1)));
    if (!stack) {
        Py_DECREF(kwnames);
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = items[i];
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (k < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames, k, Py_NewRef(key));
        stack[nargs + k] = value;
        ++k;
    }
    int rc = bind(sig, stack, nargs, kwnames, out);
    PyMem_Free(stack);
    Py_DECREF(kwnames);
    return rc;
}

// For functions that take nothing at all.
[[nodiscard]] inline int bind_none(const char *func, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    if (VLM_UNLIKELY(nargs > 0)) return err_arg_count(func, "exactly", 0, nargs);
    if (VLM_UNLIKELY(kwnames && PyTuple_GET_SIZE(kwnames) > 0)) {
        PyObject *kw = PyTuple_GET_ITEM(kwnames, 0);
        if (!PyUnicode_Check(kw)) return err_keywords_not_strings(func);
        return err_unexpected_keyword(func, kw);
    }
    return 0;
}

}  // namespace velmora
