// clone(): a one-level copy with new entries around the same bytes names
// and values, and the pair unpacking it shares with add_many.
#include "args.h"
#include "headers.h"

namespace velmora {

int unpack_pair(PyObject *entry, Ref &first, Ref &second) noexcept {
    if (is_exact_tuple(entry) || is_exact_list(entry)) {
        const Py_ssize_t n = Py_SIZE(entry);
        if (n > 2) return err_too_many_to_unpack(2);
        if (n < 2) return err_need_more_to_unpack(n);
        PyObject *const *items = is_exact_tuple(entry) ? &PyTuple_GET_ITEM(entry, 0) : &PyList_GET_ITEM(entry, 0);
        first = Ref::borrow(items[0]);
        second = Ref::borrow(items[1]);
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(entry));
    if (!it) return -1;
    Ref got[2];
    for (int k = 0; k < 2; ++k) {
        got[k] = Ref::steal(PyIter_Next(it.get()));
        if (!got[k]) return PyErr_Occurred() ? -1 : static_cast<int>(err_need_more_to_unpack(k));
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) return err_too_many_to_unpack(2);
    if (PyErr_Occurred()) return -1;
    first = std::move(got[0]);
    second = std::move(got[1]);
    return 0;
}

PyObject *clone_body(HeadersObject *self) noexcept {
    Ref values = Ref::steal(PyList_New(0));
    if (!values) return nullptr;
    Ref list = walk_list(self);
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        Ref entry = Ref::borrow(PyList_GET_ITEM(list.get(), i));
        Ref name, value;
        if (unpack_pair(entry.get(), name, value) < 0) return nullptr;
        if (name.get() != Py_None && !is_exact_bytes(name.get())) return err_expected("bytes", name.get());
        if (value.get() != Py_None && !is_exact_bytes(value.get())) return err_expected("bytes", value.get());
        Ref pair = Ref::steal(PyTuple_Pack(2, name.get(), value.get()));
        if (!pair || PyList_Append(values.get(), pair.get()) < 0) return nullptr;
    }
    return headers_new(values.get());
}

}  // namespace velmora
