// The Headers type: storage, construction, representation, garbage
// collection, the override dispatch and the fast-method table.
#include "args.h"
#include "headers.h"

namespace velmora {

Outcome call_override(PyObject *self, PyObject *method, PyCFunction own, Ref &out, PyObject *const *argv,
                      size_t nargs) noexcept {
    Ref attr = Ref::steal(PyObject_GetAttr(self, method));
    if (!attr) return Outcome::error;
    PyObject *fn = attr.get();
    if (PyMethod_Check(fn)) fn = PyMethod_GET_FUNCTION(fn);
    if (PyCFunction_Check(fn) && PyCFunction_GET_FUNCTION(fn) == own) return Outcome::fallback;
    // A bound method calls its function with the bound object first, which
    // is what calling the override as found does.
    out = Ref::steal(PyObject_Vectorcall(attr.get(), argv, nargs, nullptr));
    return out ? Outcome::done : Outcome::error;
}

namespace {

const Signature sig_init{"__init__", {&C.values}, 1, 0};

// Slot functions.

PyObject *headers_tp_new(PyTypeObject *type, PyObject *, PyObject *) noexcept {
    PyObject *self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_headers(self)->vtab = &headers_vtable;
    as_headers(self)->values = Py_NewRef(Py_None);
    return self;
}

}  // namespace

PyObject *headers_new(PyObject *list) noexcept {
    Ref self = Ref::steal(headers_tp_new(&HeadersType, nullptr, nullptr));
    if (!self) return nullptr;
    Py_XSETREF(as_headers(self.get())->values, Py_NewRef(list));
    return self.release();
}

namespace {

// The type has no vectorcall entry on purpose: with one, the interpreter
// itself refuses keywords that are not strings, with its own message rather
// than the binder's.
int headers_tp_init(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    PyObject *values = nullptr;
    if (bind_tuple(sig_init, args, kwargs, &values) < 0) return -1;
    if (values == nullptr || values == Py_None) {
        PyObject *fresh = PyList_New(0);
        if (!fresh) return -1;
        Py_XSETREF(as_headers(self)->values, fresh);
        return 0;
    }
    if (!is_exact_list(values)) return err_arg_type("values", "list", values);
    Py_XSETREF(as_headers(self)->values, Py_NewRef(values));
    return 0;
}

int headers_tp_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    Py_VISIT(as_headers(self)->values);
    return 0;
}

int headers_tp_clear(PyObject *self) noexcept {
    Py_XSETREF(as_headers(self)->values, Py_NewRef(Py_None));
    return 0;
}

void headers_tp_dealloc(PyObject *self) noexcept {
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, headers_tp_dealloc)
    Py_CLEAR(as_headers(self)->values);
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

PyObject *headers_tp_repr(PyObject *self) noexcept {
    // The entries' reprs can re-initialise the collection: the list is held.
    Ref values = Ref::borrow(as_headers(self)->values ? as_headers(self)->values : Py_None);
    return PyUnicode_FromFormat("<Headers %S>", values.get());
}

PyObject *headers_get_values(PyObject *self, void *) noexcept {
    PyObject *values = as_headers(self)->values;
    return Py_NewRef(values ? values : Py_None);
}

// Method table, in the order the class dict lists them.

PyMethodDef headers_methods[] = {
    FastGet::def(),
    FastGetTuples::def(),
    FastGetFirst::def(),
    FastGetSingle::def(),
    FastMerge::def(),
    plain_def<row_of("update")>(headers_py_update),
    plain_def<row_of("items")>(headers_py_items),
    FastClone::def(),
    plain_def<row_of("add_many")>(headers_py_add_many),
    plain_def<row_of("_add_to_instance")>(headers_py_add_to_instance),
    FastKeys::def(),
    FastAdd::def(),
    FastSet::def(),
    FastRemove::def(),
    FastContains::def(),
    {"__reduce_cython__", as_pycfunction(headers_py_reduce), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate_cython__", as_pycfunction(headers_py_setstate), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__reduce__", as_pycfunction(headers_py_reduce), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate__", as_pycfunction(headers_py_setstate), METH_FASTCALL | METH_KEYWORDS, nullptr},
    // A method rather than the slot wrapper: a Python subclass would
    // otherwise inherit nb_inplace_add as its sq_inplace_concat too, and the
    // interpreter's last fallback for `+=` would hand back NotImplemented as
    // the result instead of raising.
    {"__iadd__", as_pycfunction(headers_nb_inplace_add), METH_O | METH_COEXIST,
     "__iadd__($self, value, /)\n--\n\nAdd the entries of value to this collection."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef headers_getset[] = {
    {"values", headers_get_values, nullptr, "The list of (name, value) entries itself (shared, not copied).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMappingMethods headers_as_mapping = {
    .mp_length = nullptr,
    .mp_subscript = headers_mp_subscript,
    .mp_ass_subscript = headers_mp_ass_subscript,
};

PySequenceMethods headers_as_sequence = {
    .sq_length = nullptr,
    .sq_concat = nullptr,
    .sq_repeat = nullptr,
    .sq_item = headers_sq_item,
    .was_sq_slice = nullptr,
    .sq_ass_item = headers_sq_ass_item,
    .was_sq_ass_slice = nullptr,
    .sq_contains = headers_sq_contains,
    .sq_inplace_concat = nullptr,
    .sq_inplace_repeat = nullptr,
};

PyNumberMethods headers_as_number = {
    .nb_add = headers_nb_add,
    .nb_inplace_add = headers_nb_inplace_add,
};

}  // namespace

VlmHeadersVTable headers_vtable = {
    .keys = FastKeys::slot,
    .clone = FastClone::slot,
    .get = FastGet::slot,
    .get_tuples = FastGetTuples::slot,
    .add = FastAdd::slot,
    .set = FastSet::slot,
    .get_single = FastGetSingle::slot,
    .get_first = FastGetFirst::slot,
    .remove = FastRemove::slot,
    .merge = FastMerge::slot,
    .contains = FastContains::slot,
};

// PyVarObject_HEAD_INIT ends in a comma of its own, which the formatter
// cannot see.
// clang-format off
PyTypeObject HeadersType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "velmora.headers.Headers",
    .tp_basicsize = sizeof(HeadersObject),
    .tp_itemsize = 0,
    .tp_dealloc = headers_tp_dealloc,
    .tp_repr = headers_tp_repr,
    .tp_as_number = &headers_as_number,
    .tp_as_sequence = &headers_as_sequence,
    .tp_as_mapping = &headers_as_mapping,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "Headers(values=None)\n--\n\n"
              "Ordered, multi-valued, case-insensitive collection of HTTP header fields kept in a shared list.",
    .tp_traverse = headers_tp_traverse,
    .tp_clear = headers_tp_clear,
    .tp_iter = headers_tp_iter,
    .tp_methods = headers_methods,
    .tp_getset = headers_getset,
    .tp_init = headers_tp_init,
    .tp_new = headers_tp_new,
};
// clang-format on

}  // namespace velmora
