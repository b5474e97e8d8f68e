// The Header record: one (name, value) field with a canonical name, a
// representation, unpacking and case-insensitive equality.
#include "args.h"
#include "names.h"
#include "pickle.h"
#include "walk.h"

namespace velmora {

namespace {

HeaderObject *as_header(PyObject *self) noexcept { return reinterpret_cast<HeaderObject *>(self); }

const Signature sig_init{"__init__", {&C.name, &C.value}, 2, 2};

// str(name).lower(), whose result must be a str or None.
PyObject *lowered_text(PyObject *name) noexcept {
    Ref text = Ref::steal(PyObject_Str(name));
    if (!text) return nullptr;
    PyObject *lowered = PyObject_CallMethodNoArgs(text.get(), C.lower);
    if (!lowered || lowered == Py_None || PyUnicode_Check(lowered)) return lowered;
    Failure f = err_expected("str", lowered);
    Py_DECREF(lowered);
    return f;
}

// 1 when the names match, 0 when not, -1 on error. other.name is looked up
// afresh for each test, so a property on a subclass is honoured. That lookup
// can re-initialise self, so self's name is read (and held) only after it,
// as each operand of the comparison it stands for is evaluated in turn.
int names_match(PyObject *self, PyObject *other) noexcept {
    Ref theirs = Ref::steal(PyObject_GetAttr(other, C.name));
    if (!theirs) return -1;
    if (theirs.get() == as_header(self)->name) return 1;
    theirs = Ref::steal(PyObject_GetAttr(other, C.name));
    if (!theirs) return -1;
    Ref mine = Ref::borrow(as_header(self)->name);
    Ref eq_result = Ref::steal(PyObject_RichCompare(theirs.get(), mine.get(), Py_EQ));
    if (!eq_result) return -1;
    const int eq = PyObject_IsTrue(eq_result.get());
    if (eq != 0) return eq;
    theirs = Ref::steal(PyObject_GetAttr(other, C.name));
    if (!theirs) return -1;
    Ref left = Ref::steal(lowered_text(theirs.get()));
    if (!left) return -1;
    mine = Ref::borrow(as_header(self)->name);
    Ref right = Ref::steal(lowered_text(mine.get()));
    if (!right) return -1;
    if (left.get() == Py_None || right.get() == Py_None) return left.get() == right.get();
    return PyObject_RichCompareBool(left.get(), right.get(), Py_EQ);
}

PyObject *header_eq(PyObject *self, PyObject *other) noexcept {
    if (!is_header(other)) Py_RETURN_NOTIMPLEMENTED;
    const int m = names_match(self, other);
    if (m < 0) return nullptr;
    if (!m) Py_RETURN_FALSE;
    Ref theirs = Ref::steal(PyObject_GetAttr(other, C.value));
    if (!theirs) return nullptr;
    Ref mine = Ref::borrow(as_header(self)->value);
    return PyObject_RichCompare(theirs.get(), mine.get(), Py_EQ);
}

// Slot functions.

PyObject *header_tp_new(PyTypeObject *type, PyObject *, PyObject *) noexcept {
    PyObject *self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_header(self)->name = Py_NewRef(Py_None);
    as_header(self)->value = Py_NewRef(Py_None);
    return self;
}

int header_tp_init(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    PyObject *a[2];
    if (bind_tuple(sig_init, args, kwargs, a) < 0) return -1;
    // Bound values are borrowed from the caller's keyword dict, which str()
    // of the name could change: the value is held first.
    Ref value = Ref::borrow(a[1]);
    Ref name = Ref::steal(canonical_name(a[0]));
    if (!name) return -1;
    Py_XSETREF(as_header(self)->name, name.release());
    Py_XSETREF(as_header(self)->value, value.release());
    return 0;
}

int header_tp_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    Py_VISIT(as_header(self)->name);
    Py_VISIT(as_header(self)->value);
    return 0;
}

int header_tp_clear(PyObject *self) noexcept {
    Py_XSETREF(as_header(self)->name, Py_NewRef(Py_None));
    Py_XSETREF(as_header(self)->value, Py_NewRef(Py_None));
    return 0;
}

void header_tp_dealloc(PyObject *self) noexcept {
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, header_tp_dealloc)
    Py_CLEAR(as_header(self)->name);
    Py_CLEAR(as_header(self)->value);
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

PyObject *header_tp_repr(PyObject *self) noexcept {
    Ref name = Ref::borrow(as_header(self)->name);
    Ref name_text = Ref::steal(PyObject_Format(name.get(), C.empty_str));
    if (!name_text) return nullptr;
    // Formatting the name can re-initialise the record: the value is the
    // one it holds now.
    Ref value = Ref::borrow(as_header(self)->value);
    Ref value_text = Ref::steal(PyObject_Format(value.get(), C.empty_str));
    if (!value_text) return nullptr;
    return PyUnicode_FromFormat("<Header %U: %U>", name_text.get(), value_text.get());
}

PyObject *header_tp_richcompare(PyObject *self, PyObject *other, int op) noexcept {
    if (op == Py_EQ) return header_eq(self, other);
    if (op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    Ref eq = Ref::steal(header_eq(self, other));
    if (!eq || eq.get() == Py_NotImplemented) return eq.release();
    const int truth = PyObject_IsTrue(eq.get());
    if (truth < 0) return nullptr;
    return PyBool_FromLong(!truth);
}

PyObject *header_tp_iter(PyObject *self) noexcept { return walk_new(WalkKind::header_iter, self); }

PyObject *header_get_name(PyObject *self, void *) noexcept { return Py_NewRef(as_header(self)->name); }
PyObject *header_get_value(PyObject *self, void *) noexcept { return Py_NewRef(as_header(self)->value); }

PyMethodDef header_methods[] = {
    {"__reduce_cython__", as_pycfunction(header_py_reduce), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate_cython__", as_pycfunction(header_py_setstate), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__reduce__", as_pycfunction(header_py_reduce), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate__", as_pycfunction(header_py_setstate), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef header_getset[] = {
    {"name", header_get_name, nullptr, "The header name (canonical for bytes and str names).", nullptr},
    {"value", header_get_value, nullptr, "The header value, as given.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

// PyVarObject_HEAD_INIT ends in a comma of its own, which the formatter
// cannot see.
// clang-format off
PyTypeObject HeaderType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "velmora.headers.Header",
    .tp_basicsize = sizeof(HeaderObject),
    .tp_itemsize = 0,
    .tp_dealloc = header_tp_dealloc,
    .tp_repr = header_tp_repr,
    .tp_hash = PyObject_HashNotImplemented,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "Header(name, value)\n--\n\nOne HTTP header field: a canonical name and a value.",
    .tp_traverse = header_tp_traverse,
    .tp_clear = header_tp_clear,
    .tp_richcompare = header_tp_richcompare,
    .tp_iter = header_tp_iter,
    .tp_methods = header_methods,
    .tp_getset = header_getset,
    .tp_init = header_tp_init,
    .tp_new = header_tp_new,
};
// clang-format on

}  // namespace velmora
