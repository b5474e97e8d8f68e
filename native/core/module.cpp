// velmora._vlm_core as an importable module: test hooks into the core's C
// entry points.  They hand pointers straight into the caller's bytes (no
// copy), so tests can drive the routines at every alignment.
#include "vlm_core.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core_internal.h"
#include "shared.h"

namespace {

// Formatted by hand rather than with "%T": the same text on interpreters
// whose PyErr_Format lacks it.
void err_must_be_bytes(const char *what, PyObject *obj) {
    PyObject *type_name = PyType_GetFullyQualifiedName(Py_TYPE(obj));
    if (!type_name) return;
    PyErr_Format(PyExc_TypeError, "%s must be bytes, not %U", what, type_name);
    Py_DECREF(type_name);
}

// Resolves `data` and `offset` into the tail data[offset:], without copying.
bool tail_of(PyObject *args, PyObject *kwargs, const char *format, const char **out, Py_ssize_t *out_len) {
    static const char *const kwlist[] = {"data", "offset", nullptr};
    PyObject *data = nullptr;
    Py_ssize_t offset = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char **>(kwlist), &data, &offset)) return false;
    if (!PyBytes_Check(data)) {
        err_must_be_bytes("data", data);
        return false;
    }
    const Py_ssize_t size = PyBytes_GET_SIZE(data);
    if (offset < 0 || offset > size) {
        PyErr_Format(PyExc_ValueError, "offset %zd out of range for %zd bytes", offset, size);
        return false;
    }
    *out = PyBytes_AS_STRING(data) + offset;
    *out_len = size - offset;
    return true;
}

PyObject *is_ascii_lowercase(PyObject *, PyObject *args, PyObject *kwargs) {
    const char *p;
    Py_ssize_t n;
    if (!tail_of(args, kwargs, "O|n:_is_ascii_lowercase", &p, &n)) return nullptr;
    return PyBool_FromLong(simd_is_ascii_lowercase(p, static_cast<size_t>(n)));
}

// The output goes to a scratch buffer fenced by guard bytes, so a routine
// writing outside [dst, dst + len) is reported rather than silently
// corrupting the heap.  dst's alignment is varied with the offset,
// independently of src's.
PyObject *lowercase_ascii(PyObject *, PyObject *args, PyObject *kwargs) {
    const char *p;
    Py_ssize_t n;
    if (!tail_of(args, kwargs, "O|n:_lowercase_ascii", &p, &n)) return nullptr;

    constexpr size_t kGuard = 32;
    constexpr unsigned char kFence = 0xA5;
    const auto len = static_cast<size_t>(n);
    const size_t skew = (reinterpret_cast<std::uintptr_t>(p) * 7 + 3) % 16;
    const size_t total = kGuard + skew + len + kGuard;
    auto *scratch = static_cast<char *>(PyMem_Malloc(total));
    if (!scratch) return PyErr_NoMemory();
    std::memset(scratch, kFence, total);
    char *dst = scratch + kGuard + skew;

    simd_lowercase_ascii(p, dst, len);

    bool fenced = true;
    for (char *q = scratch; q < dst; ++q) fenced &= static_cast<unsigned char>(*q) == kFence;
    for (char *q = dst + len; q < scratch + total; ++q) fenced &= static_cast<unsigned char>(*q) == kFence;
    PyObject *result = fenced ? PyBytes_FromStringAndSize(dst, n) : nullptr;
    PyMem_Free(scratch);
    if (!fenced) PyErr_SetString(PyExc_RuntimeError, "simd_lowercase_ascii wrote outside [dst, dst + len)");
    return result;
}

PyObject *lookup(PyObject *, PyObject *name) {
    if (!PyBytes_Check(name)) {
        err_must_be_bytes("name", name);
        return nullptr;
    }
    PyObject *found = get_interned_header_name_bytes(PyBytes_AS_STRING(name),
                                                     static_cast<size_t>(PyBytes_GET_SIZE(name)));
    if (!found) Py_RETURN_NONE;
    return Py_NewRef(found);
}

PyObject *known_names(PyObject *, PyObject *) {
    PyObject *const *objects = vlm::known::objects();
    if (!objects) return PyErr_NoMemory();
    const auto count = static_cast<Py_ssize_t>(vlm::known::count());
    PyObject *tuple = PyTuple_New(count);
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(objects[i]));
    return tuple;
}

// Which 16-byte routines were compiled in, so a cross-built test run can
// prove it exercised the vector code of its target rather than the fallback.
PyObject *ascii_path(PyObject *, PyObject *) { return PyUnicode_FromString(vlm::ascii_path()); }

PyMethodDef methods[] = {
    {"_is_ascii_lowercase", as_pycfunction(is_ascii_lowercase), METH_VARARGS | METH_KEYWORDS,
     "_is_ascii_lowercase(data, offset=0)\n--\n\nTrue iff data[offset:] has no byte in b'A'..b'Z'."},
    {"_lowercase_ascii", as_pycfunction(lowercase_ascii), METH_VARARGS | METH_KEYWORDS,
     "_lowercase_ascii(data, offset=0)\n--\n\ndata[offset:].lower(), computed by the core routine."},
    {"_lookup", lookup, METH_O, "_lookup(name)\n--\n\nThe shared bytes object for a well-known header name, or None."},
    {"_ascii_path", ascii_path, METH_NOARGS,
     "_ascii_path()\n--\n\nThe ASCII routines compiled in: 'sse2', 'neon' or 'portable'."},
    {"known_names", known_names, METH_NOARGS,
     "known_names()\n--\n\nThe shared bytes objects of all well-known header names, in table order."},
    {nullptr, nullptr, 0, nullptr},
};

// The shared name objects are process-wide, so interpreters with their own
// GIL must not see them (before 3.12 every interpreter shares the one GIL).
PyModuleDef_Slot slots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velmora._vlm_core",
    "Shared native core of velmora (ASCII routines, well-known header names) and its test hooks.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__vlm_core(void) { return PyModuleDef_Init(&module_def); }
