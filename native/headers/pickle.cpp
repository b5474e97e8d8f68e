// Pickle state of Header and Headers. The reconstructor names, the field
// lists and their checksums are the stored format: streams written by one
// build load in another only while these agree.
#include "pickle.h"

#include "args.h"
#include "headers.h"

namespace velmora {

namespace {

// Each class's own part: its fields read out as the state tuple, whether
// any of them is set, and the state's items written back (items checked to
// be there).
PyObject *header_state(PyObject *self) noexcept {
    auto *h = reinterpret_cast<HeaderObject *>(self);
    return PyTuple_Pack(2, h->name, h->value);
}

bool header_any_set(PyObject *self) noexcept {
    auto *h = reinterpret_cast<HeaderObject *>(self);
    return h->name != Py_None || h->value != Py_None;
}

int header_assign(PyObject *self, PyObject *state) noexcept {
    auto *h = reinterpret_cast<HeaderObject *>(self);
    Py_XSETREF(h->name, Py_NewRef(PyTuple_GET_ITEM(state, 0)));
    Py_XSETREF(h->value, Py_NewRef(PyTuple_GET_ITEM(state, 1)));
    return 0;
}

PyObject *headers_state(PyObject *self) noexcept {
    auto *h = as_headers(self);
    return PyTuple_Pack(1, h->values ? h->values : Py_None);
}

bool headers_any_set(PyObject *self) noexcept { return as_headers(self)->values != Py_None; }

int headers_assign(PyObject *self, PyObject *state) noexcept {
    PyObject *values = PyTuple_GET_ITEM(state, 0);
    if (values != Py_None && !is_exact_list(values)) return err_expected("list", values);
    Py_XSETREF(as_headers(self)->values, Py_NewRef(values));
    return 0;
}

struct Layout {
    PyTypeObject *type;
    PyObject *const *reconstructor;  // name of the module-level function
    const char *fields;              // the field-list text
    Py_ssize_t field_count;
    long long checksums[3];  // written first; all three accepted
    PyObject *(*state_of)(PyObject *self);
    bool (*any_field_set)(PyObject *self);
    int (*assign)(PyObject *self, PyObject *state);
};

const Layout header_layout{
    .type = &HeaderType,
    .reconstructor = &C.unpickle_header,
    .fields = "name, value",
    .field_count = 2,
    .checksums = {0xaaf55bf, 0xe891e3f, 0xfa7a105},
    .state_of = header_state,
    .any_field_set = header_any_set,
    .assign = header_assign,
};
const Layout headers_layout{
    .type = &HeadersType,
    .reconstructor = &C.unpickle_headers,
    .fields = "values",
    .field_count = 1,
    .checksums = {0x89445ea, 0x48b0cb, 0xf09cc7e},
    .state_of = headers_state,
    .any_field_set = headers_any_set,
    .assign = headers_assign,
};

PyObject *reduce(PyObject *self, const Layout &layout) noexcept {
    Ref state = Ref::steal(layout.state_of(self));
    if (!state) return nullptr;
    Ref dict;
    {
        PyObject *d = nullptr;
        if (PyObject_GetOptionalAttr(self, C.dict_attr, &d) < 0) return nullptr;
        dict = Ref::steal(d);
    }
    bool use_setstate;
    if (dict && dict.get() != Py_None) {
        const int truth = PyObject_IsTrue(dict.get());
        if (truth < 0) return nullptr;
        if (truth) {
            Ref extra = Ref::steal(PyTuple_Pack(1, dict.get()));
            if (!extra) return nullptr;
            state = Ref::steal(PySequence_Concat(state.get(), extra.get()));
            if (!state) return nullptr;
            use_setstate = true;
        } else {
            use_setstate = layout.any_field_set(self);
        }
    } else {
        use_setstate = layout.any_field_set(self);
    }
    Ref fn = Ref::steal(lookup_global(*layout.reconstructor));
    if (!fn) return nullptr;
    Ref checksum = Ref::steal(PyLong_FromLongLong(layout.checksums[0]));
    if (!checksum) return nullptr;
    PyObject *cls = reinterpret_cast<PyObject *>(Py_TYPE(self));
    if (use_setstate) return Py_BuildValue("(O(OOO)O)", fn.get(), cls, checksum.get(), Py_None, state.get());
    return Py_BuildValue("(O(OOO))", fn.get(), cls, checksum.get(), state.get());
}

// Applies the optional trailing __dict__ item of a state tuple.
int apply_dict_item(PyObject *self, PyObject *state, Py_ssize_t n) noexcept {
    if (PyTuple_GET_SIZE(state) <= n) return 0;
    PyObject *item = PyTuple_GET_ITEM(state, n);
    const int truth = PyObject_IsTrue(item);
    if (truth <= 0) return truth;
    Ref dict = Ref::steal(PyObject_GenericGetAttr(self, C.dict_attr));
    if (!dict) return -1;
    // update() rather than PyDict_Update even for a plain dict: only the
    // method also takes an iterable of pairs.
    Ref r = Ref::steal(PyObject_CallMethodOneArg(dict.get(), C.update, item));
    return r ? 0 : -1;
}

int set_state(PyObject *self, PyObject *state, const Layout &layout) noexcept {
    // A short state is refused before anything is assigned.
    if (PyTuple_GET_SIZE(state) < layout.field_count)
        return err_short_state(layout.type->tp_name, layout.field_count, PyTuple_GET_SIZE(state));
    if (layout.assign(self, state) < 0) return -1;
    return apply_dict_item(self, state, layout.field_count);
}

PyObject *setstate(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                   const Layout &layout) noexcept {
    static const Signature sig{"__setstate_cython__", {&C.pyx_state}, 1, 1};
    PyObject *state;
    if (bind(sig, args, nargs, kwnames, &state) < 0) return nullptr;
    if (state == Py_None) return err_none_not_allowed();
    if (!is_exact_tuple(state)) return err_expected("tuple", state);
    // The state is held while set_state may run Python code.
    Ref held = Ref::borrow(state);
    if (set_state(self, held.get(), layout) < 0) return nullptr;
    Py_RETURN_NONE;
}

Failure err_checksum(long long got, const Layout &layout) noexcept {
    Ref pickle = Ref::steal(PyImport_ImportModule("pickle"));
    if (!pickle) return {};
    Ref error = Ref::steal(PyObject_GetAttrString(pickle.get(), "PickleError"));
    if (!error) return {};
    return raise_by_call(error.get(),
                         PyUnicode_FromFormat("Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))",
                                              static_cast<unsigned int>(got),
                                              static_cast<unsigned int>(layout.checksums[0]),
                                              static_cast<unsigned int>(layout.checksums[1]),
                                              static_cast<unsigned int>(layout.checksums[2]), layout.fields));
}

PyObject *unpickle(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, const Signature &sig,
                   const Layout &layout) noexcept {
    PyObject *a[3];
    if (bind(sig, args, nargs, kwnames, a) < 0) return nullptr;
    PyObject *type = a[0], *state = a[2];
    const long long checksum = PyLong_AsLongLong(a[1]);
    if (checksum == -1 && PyErr_Occurred()) return nullptr;
    if (state != Py_None && !is_exact_tuple(state)) return err_arg_type("__pyx_state", "tuple", state);
    const auto &sums = layout.checksums;
    if (checksum != sums[0] && checksum != sums[1] && checksum != sums[2]) return err_checksum(checksum, layout);
    // cls.__new__(type): the type checks that `type` is a subtype it can make.
    Ref new_fn = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject *>(layout.type), "__new__"));
    if (!new_fn) return nullptr;
    Ref result = Ref::steal(PyObject_CallOneArg(new_fn.get(), type));
    if (!result) return nullptr;
    if (!PyObject_TypeCheck(result.get(), layout.type)) return err_expected(layout.type->tp_name, result.get());
    if (state != Py_None && set_state(result.get(), state, layout) < 0) return nullptr;
    return result.release();
}

const Signature sig_unpickle_header{"__pyx_unpickle_Header", {&C.pyx_type, &C.pyx_checksum, &C.pyx_state}, 3, 3};
const Signature sig_unpickle_headers{"__pyx_unpickle_Headers", {&C.pyx_type, &C.pyx_checksum, &C.pyx_state}, 3, 3};

PyObject *py_unpickle_header(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return unpickle(args, nargs, kwnames, sig_unpickle_header, header_layout);
}

PyObject *py_unpickle_headers(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return unpickle(args, nargs, kwnames, sig_unpickle_headers, headers_layout);
}

}  // namespace

PyObject *header_py_reduce(PyObject *self, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    if (bind_none("__reduce_cython__", nargs, kwnames) < 0) return nullptr;
    return reduce(self, header_layout);
}

PyObject *header_py_setstate(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return setstate(self, args, nargs, kwnames, header_layout);
}

PyObject *headers_py_reduce(PyObject *self, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    if (bind_none("__reduce_cython__", nargs, kwnames) < 0) return nullptr;
    return reduce(self, headers_layout);
}

PyObject *headers_py_setstate(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return setstate(self, args, nargs, kwnames, headers_layout);
}

PyMethodDef unpickle_header_def = {"__pyx_unpickle_Header", as_pycfunction(py_unpickle_header),
                                   METH_FASTCALL | METH_KEYWORDS, nullptr};
PyMethodDef unpickle_headers_def = {"__pyx_unpickle_Headers", as_pycfunction(py_unpickle_headers),
                                    METH_FASTCALL | METH_KEYWORDS, nullptr};

}  // namespace velmora
