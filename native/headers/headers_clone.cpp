// clone(): a one-level copy with new entries around the same bytes names
// and values.
#include "args.h"
#include "headers.h"

namespace velmora {

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
