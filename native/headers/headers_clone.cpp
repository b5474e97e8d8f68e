// clone(): a one-level copy with new entries around the same bytes names
// and values.
#include "args.h"
#include "headers.h"

namespace velmora {

namespace {

inline bool is_bytes_or_none(PyObject *o) noexcept { return o == Py_None || is_exact_bytes(o); }

// Appends a new reference without the list's growth steps while the room
// made up front lasts.
[[nodiscard]] int append_steal(PyObject *list, PyObject *item) noexcept {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    if (VLM_LIKELY(n < reinterpret_cast<PyListObject *>(list)->allocated)) {
        PyList_SET_ITEM(list, n, item);
        Py_SET_SIZE(list, n + 1);
        return 0;
    }
    const int rc = PyList_Append(list, item);
    Py_DECREF(item);
    return rc;
}

}  // namespace

PyObject *clone_body(HeadersObject *self) noexcept {
    // Room for every entry, kept out of sight (size 0) until it is filled,
    // so that what a collection might find in the list is always complete.
    PyObject *source = self->values;
    Ref values = Ref::steal(PyList_New(source && source != Py_None ? PyList_GET_SIZE(source) : 0));
    if (!values) return nullptr;
    Py_SET_SIZE(values.get(), 0);
    Ref list = walk_list(self);
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        PyObject *entry = PyList_GET_ITEM(list.get(), i);
        PyObject *pair;
        if (VLM_LIKELY(is_exact_tuple(entry) && PyTuple_GET_SIZE(entry) == 2 &&
                       is_bytes_or_none(PyTuple_GET_ITEM(entry, 0)) && is_bytes_or_none(PyTuple_GET_ITEM(entry, 1)))) {
            // Unpacking a plain pair runs no Python code (pairs of any other
            // kind go the general way); making the pair may run a collection,
            // so hold the items.
            PyObject *name = Py_NewRef(PyTuple_GET_ITEM(entry, 0));
            PyObject *value = Py_NewRef(PyTuple_GET_ITEM(entry, 1));
            pair = PyTuple_New(2);
            if (!pair) {
                Py_DECREF(name);
                Py_DECREF(value);
                return nullptr;
            }
            PyTuple_SET_ITEM(pair, 0, name);
            PyTuple_SET_ITEM(pair, 1, value);
        } else {
            Ref held = Ref::borrow(entry);
            Ref name, value;
            if (unpack_pair(held.get(), name, value) < 0) return nullptr;
            if (name.get() != Py_None && !is_exact_bytes(name.get())) return err_expected("bytes", name.get());
            if (value.get() != Py_None && !is_exact_bytes(value.get())) return err_expected("bytes", value.get());
            pair = PyTuple_Pack(2, name.get(), value.get());
            if (!pair) return nullptr;
        }
        if (append_steal(values.get(), pair) < 0) return nullptr;
    }
    return headers_new(values.get());
}

}  // namespace velmora
