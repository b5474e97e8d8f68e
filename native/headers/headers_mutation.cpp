// Changing one name at a time: add, set, remove and the item protocols.
#include "args.h"
#include "headers.h"
#include "names.h"

namespace velmora {

namespace {

HeadersObject *as_headers(PyObject *self) noexcept { return reinterpret_cast<HeadersObject *>(self); }

int add_body(HeadersObject *self, PyObject *name, PyObject *value) noexcept {
    // The list is taken before the name is interned: str() of a name can run
    // Python code that re-initialises the collection.
    Ref list = Ref::borrow(self->values);
    if (list.get() == Py_None || !list) return err_none_no_attribute("append");
    Ref canonical = Ref::steal(canonical_name(name));
    if (!canonical) return -1;
    Ref entry = Ref::steal(PyTuple_Pack(2, canonical.get(), value));
    if (!entry) return -1;
    return PyList_Append(list.get(), entry.get());
}

// Index of `entry` (by identity) in `list`, searching from `hint` and then
// from the start; -1 when it is no longer there.
Py_ssize_t find_identical(PyObject *list, PyObject *entry, Py_ssize_t hint) noexcept {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    if (hint > n) hint = n;
    for (Py_ssize_t i = hint; i < n; ++i)
        if (PyList_GET_ITEM(list, i) == entry) return i;
    for (Py_ssize_t i = 0; i < hint && i < PyList_GET_SIZE(list); ++i)
        if (PyList_GET_ITEM(list, i) == entry) return i;
    return -1;
}

int remove_body(HeadersObject *self, PyObject *key_obj) noexcept {
    Ref to_remove = Ref::steal(PyList_New(0));
    if (!to_remove) return -1;
    LoweredKey key;
    if (lower_key(key_obj, key) < 0) return -1;
    Ref list = walk_list(self);
    if (!list) return -1;
    const int scanned = with_matcher(key, [&](const auto &matches) noexcept -> int {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
            PyObject *entry = PyList_GET_ITEM(list.get(), i);
            PyObject *name;
            if (read_tuple_entry(entry, &name, nullptr) < 0) return -1;
            Ref hold;
            if (VLM_UNLIKELY(name_may_run_code(name))) hold = Ref::borrow(entry);
            const int m = matches(name);
            if (m < 0) return -1;
            if (m && PyList_Append(to_remove.get(), entry) < 0) return -1;
        }
        return 0;
    });
    if (scanned < 0) return -1;
    // Deleting by identity removes exactly the entries that matched; deleting
    // by equality could take an earlier entry that is equal but did not match
    // (a bytes-subclass name equal to a matching bytes name). to_remove keeps
    // every entry alive, so no deletion here runs Python code.
    Py_ssize_t hint = 0;
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(to_remove.get()); ++j) {
        const Py_ssize_t at = find_identical(list.get(), PyList_GET_ITEM(to_remove.get(), j), hint);
        if (at < 0) continue;  // already taken out by code that ran during the first pass
        if (PyList_SetSlice(list.get(), at, at + 1, nullptr) < 0) return -1;
        hint = at;
    }
    return 0;
}

}  // namespace

// Fast methods.

int headers_add(HeadersObject *self, PyObject *name, PyObject *value, int skip_dispatch) noexcept {
    Ref r;
    const int d = dispatch(self, skip_dispatch, C.add, headers_py_add, r, name, value);
    if (d != 0) return d < 0 ? -1 : 0;
    return add_body(self, name, value);
}

int headers_set(HeadersObject *self, PyObject *name, PyObject *value, int skip_dispatch) noexcept {
    Ref r;
    const int d = dispatch(self, skip_dispatch, C.set, headers_py_set, r, name, value);
    if (d != 0) return d < 0 ? -1 : 0;
    const int present = headers_contains(self, name, 0);
    if (present < 0) return -1;
    if (present && headers_remove(self, name, 0) < 0) return -1;
    return headers_add(self, name, value, 0);
}

int headers_remove(HeadersObject *self, PyObject *key, int skip_dispatch) noexcept {
    Ref r;
    const int d = dispatch(self, skip_dispatch, C.remove, headers_py_remove, r, key);
    if (d != 0) return d < 0 ? -1 : 0;
    return remove_body(self, key);
}

// Python entries.

namespace {
const Signature sig_add{"add", {&C.name, &C.value}, 2, 2};
const Signature sig_set{"set", {&C.name, &C.value}, 2, 2};
const Signature sig_remove{"remove", {&C.key}, 1, 1};

PyObject *none_or_null(int rc) noexcept { return rc < 0 ? nullptr : Py_None; }
}  // namespace

PyObject *headers_py_add(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    PyObject *a[2];
    if (bind(sig_add, args, nargs, kwnames, a) < 0) return nullptr;
    return none_or_null(headers_add(as_headers(self), a[0], a[1], 1));
}

PyObject *headers_py_set(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    PyObject *a[2];
    if (bind(sig_set, args, nargs, kwnames, a) < 0) return nullptr;
    return none_or_null(headers_set(as_headers(self), a[0], a[1], 1));
}

PyObject *headers_py_remove(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    PyObject *key;
    if (bind(sig_remove, args, nargs, kwnames, &key) < 0) return nullptr;
    return none_or_null(headers_remove(as_headers(self), key, 1));
}

// Type slots.

int headers_mp_ass_subscript(PyObject *self, PyObject *key, PyObject *value) noexcept {
    if (value == nullptr) return headers_remove(as_headers(self), key, 0);
    return headers_set(as_headers(self), key, value, 0);
}

int headers_sq_ass_item(PyObject *self, Py_ssize_t i, PyObject *value) noexcept {
    Ref index = Ref::steal(PyLong_FromSsize_t(i));
    if (!index) return -1;
    return Py_TYPE(self)->tp_as_mapping->mp_ass_subscript(self, index.get(), value);
}

}  // namespace velmora
