// Reading entries, the (name, value) items of a collection's list. Stored
// entries are exact tuples in the usual case; every reader copes with
// anything else the list may hold, as its operation defines.
#pragma once

#include "common.h"
#include "messages.h"
#include "ref.h"

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

// Unpacks exactly two items (exact tuples and lists directly, anything else
// by iteration) with the interpreter's unpacking messages. 0 or -1.
[[nodiscard]] int unpack_pair(PyObject *entry, Ref &first, Ref &second) noexcept;

// entry[0] by ordinary subscription (contains, keys); new reference.
PyObject *entry_first_item(PyObject *entry) noexcept;

}  // namespace velmora
