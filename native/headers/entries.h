// Reading entries, the (name, value) items of a collection's list. Stored
// entries are exact tuples in the usual case; every reader copes with
// anything else the list may hold, as its operation defines.
#pragma once

#include "common.h"
#include "messages.h"
#include "names.h"
#include "ref.h"
#include "small.h"

namespace velmora {

// Entries shorter than a pair are refused rather than read past their end.

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

// From `i`, the first entry whose name, an exact bytes object, lowers to the
// `size` bytes at `key`, or the first entry that needs a closer look:
// anything but an exact tuple of at least `min_size` items under an exact
// bytes name. The list's size when there is none. One tight loop decides
// the plain entries by themselves; most names differ from the key in length
// and cost a size test.
[[nodiscard]] Py_ssize_t find_bytes_name(PyObject *list, Py_ssize_t i, Py_ssize_t min_size, const unsigned char *key,
                                         Py_ssize_t size) noexcept;

// Whether find_bytes_name stops at the entry.
[[nodiscard]] inline bool stops_bytes_scan(PyObject *entry, Py_ssize_t min_size, const unsigned char *key,
                                           Py_ssize_t size) noexcept {
    if (VLM_UNLIKELY(!is_exact_entry(entry, min_size))) return true;
    PyObject *name = PyTuple_GET_ITEM(entry, 0);
    if (VLM_UNLIKELY(!Py_IS_TYPE(name, &PyBytes_Type))) return true;
    return PyBytes_GET_SIZE(name) == size &&
           detail::lowered_equals(reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(name)), key, size);
}

// Walks on from `i` over entries that are exact tuples of at least
// `min_size` items under an exact bytes name. Matching such a name runs no
// Python code, so the stretch reads the list without re-checking it or
// holding entries (a str-subclass name hands over to the checked walk
// mid-list). Stops at the first match, with its result (1,
// or -1 with an error) in `m`, or at the first entry it cannot decide, with
// `m` 0; returns the index it stopped at, the list's size when it ran off
// the end.
template <typename Matcher>
[[nodiscard]] inline Py_ssize_t scan_bytes_names(PyObject *list, Py_ssize_t i, Py_ssize_t min_size,
                                                 const Matcher &matches, int &m) noexcept {
    if (const unsigned char *key = matches.bytes_key()) {
        // The entry the scan starts at is looked at here: a request's host
        // usually comes first, and that hit then costs no call.
        if (i < PyList_GET_SIZE(list) &&
            !stops_bytes_scan(PyList_GET_ITEM(list, i), min_size, key, matches.bytes_size()))
            i = find_bytes_name(list, i + 1, min_size, key, matches.bytes_size());
        m = 0;
        if (i < PyList_GET_SIZE(list)) {
            PyObject *entry = PyList_GET_ITEM(list, i);
            m = is_exact_entry(entry, min_size) && Py_IS_TYPE(PyTuple_GET_ITEM(entry, 0), &PyBytes_Type);
        }
        return i;
    }
    // A key no bytes name can match still looks at each: a str key beyond
    // Latin-1 fails on the first.
    for (; i < PyList_GET_SIZE(list); ++i) {
        PyObject *entry = PyList_GET_ITEM(list, i);
        if (VLM_UNLIKELY(!is_exact_entry(entry, min_size))) break;
        PyObject *name = PyTuple_GET_ITEM(entry, 0);
        if (VLM_UNLIKELY(!Py_IS_TYPE(name, &PyBytes_Type))) break;
        if ((m = matches.bytes_name(name)) != 0) return i;
    }
    m = 0;
    return i;
}

// Unpacks exactly two items (exact tuples and lists directly, anything else
// by iteration) with the interpreter's unpacking messages. 0 or -1.
[[nodiscard]] int unpack_pair(PyObject *entry, Ref &first, Ref &second) noexcept;

// entry[0] by ordinary subscription (contains, keys); new reference.
PyObject *entry_first_item(PyObject *entry) noexcept;

}  // namespace velmora
