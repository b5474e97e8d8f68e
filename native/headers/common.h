// What every subsystem of velmora.headers shares: the object layouts (from
// the public header, in its implementing mode), the process-wide constants
// and the branch hints.
#pragma once

#define VELMORA_HEADERS_MODULE 1
#include <Python.h>

#include "velmora/headers.h"

#define VLM_LIKELY(x) __builtin_expect(!!(x), 1)
#define VLM_UNLIKELY(x) __builtin_expect(!!(x), 0)


#ifdef VELMORA_DEBUG
#define VLM_ASSERT(cond) assert(cond)
#else
#define VLM_ASSERT(cond) ((void)0)
#endif

namespace velmora {

using HeadersObject = VlmHeadersObject;
using HeaderObject = VlmHeaderObject;

// Constants built once at module exec and kept for the life of the process.
struct Constants {
    // Argument and method names.
    PyObject *name, *value, *key, *values, *instance, *other;
    PyObject *keys, *clone, *get, *get_tuples, *add, *set, *get_single, *get_first, *remove, *merge,
        *contains, *update, *items, *add_many, *add_to_instance;
    PyObject *reduce_cython, *setstate_cython, *reduce, *setstate, *getstate, *reduce_ex;
    PyObject *pyx_state, *pyx_type, *pyx_checksum;
    PyObject *lower, *dict_attr, *class_attr, *name_attr, *sys, *intern, *append;
    PyObject *unpickle_header, *unpickle_headers;
    PyObject *mapping, *mutable_sequence;
    // Empty objects.
    PyObject *empty_tuple, *empty_bytes, *empty_str;
    // Presets.
    PyObject *content_type_bytes;
    PyObject *preset_json, *preset_text, *preset_html, *preset_not_found;
    // Interpreter objects cached at exec.
    PyObject *str_lower;  // unbound str.lower
    PyObject *staticmethod, *not_implemented;
    PyObject *builtin_intern;  // sys.intern as imported, to spot the common case
    PyObject *module;      // the module object once exec has begun
    PyObject *module_dict;
    PyObject *known_headers_str;  // _KNOWN_HEADERS_STR (module-internal)
};
extern Constants C;

extern PyTypeObject HeadersType;
extern PyTypeObject HeaderType;
extern VlmHeadersVTable headers_vtable;

template <typename F>
inline PyCFunction as_pycfunction(F f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

inline bool is_exact_bytes(PyObject *o) noexcept { return PyBytes_CheckExact(o); }
inline bool is_exact_str(PyObject *o) noexcept { return PyUnicode_CheckExact(o); }
inline bool is_str(PyObject *o) noexcept { return PyUnicode_Check(o); }
inline bool is_exact_tuple(PyObject *o) noexcept { return PyTuple_CheckExact(o); }
inline bool is_exact_list(PyObject *o) noexcept { return PyList_CheckExact(o); }
inline bool is_exact_dict(PyObject *o) noexcept { return PyDict_CheckExact(o); }
inline bool is_headers(PyObject *o) noexcept { return PyObject_TypeCheck(o, &HeadersType); }
inline bool is_header(PyObject *o) noexcept { return PyObject_TypeCheck(o, &HeaderType); }

// A module global looked up the way Python code would at each use: the
// module's own attributes first, then the built-ins. Returns a new reference
// or raises NameError.
PyObject *lookup_global(PyObject *name) noexcept;

}  // namespace velmora
