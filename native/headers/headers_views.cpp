// Walks over a collection: keys(), items() and iteration (the generator
// objects the last two hand out are in walk.cpp).
#include "args.h"
#include "headers.h"
#include "walk.h"

namespace velmora {

PyObject *keys_body(HeadersObject *self) noexcept {
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return nullptr;
    Ref list = walk_list(self);
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        Ref entry = Ref::borrow(PyList_GET_ITEM(list.get(), i));
        Ref name = Ref::steal(entry_first_item(entry.get()));
        if (!name) return nullptr;
        const int seen = PySequence_Contains(names.get(), name.get());
        if (seen < 0) return nullptr;
        if (seen) continue;
        // Indexed again, as a plain `names.append(entry[0])` would.
        name = Ref::steal(entry_first_item(entry.get()));
        if (!name || PyList_Append(names.get(), name.get()) < 0) return nullptr;
    }
    return PyList_AsTuple(names.get());
}

PyObject *headers_py_items(PyObject *self, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    if (bind_none("items", nargs, kwnames) < 0) return nullptr;
    return walk_new(WalkKind::items, self);
}

PyObject *headers_tp_iter(PyObject *self) noexcept { return walk_new(WalkKind::headers_iter, self); }

}  // namespace velmora
