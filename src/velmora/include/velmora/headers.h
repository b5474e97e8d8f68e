/* velmora.headers C API for other native modules (C99 or C++).
 *
 * Find this directory with velmora.get_include(), include the header, call
 * VlmHeaders_Import() once per translation unit (for instance in your
 * module's exec slot) and then reach the two interning functions and the
 * eleven fast methods of Headers without Python calls:
 *
 *     if (VlmHeaders_Import() < 0) return -1;
 *     ...
 *     if (!VlmHeaders_Check(h)) { PyErr_SetString(PyExc_TypeError, "..."); return NULL; }
 *     PyObject *v = VlmHeaders_GetFirst(h, key);        honours overrides
 *     PyObject *w = VlmHeaders_GetFirstEx(h, key, 1);   runs the base method
 *
 * Ownership and errors:
 * - every PyObject * argument is borrowed; call with no exception set;
 * - every object result is a new reference owned by the caller, or NULL with
 *   an exception set;
 * - the slot helpers take an instance of Headers or of a subclass (check
 *   with VlmHeaders_Check first: anything else is undefined behaviour);
 * - the helpers for add, set, remove and merge return 0, or -1 with an
 *   exception set; VlmHeaders_Contains returns 1, 0, or -1 with an exception
 *   set.  The raw table slots (VlmHeadersVTable) report these through the
 *   error indicator only: their callers test PyErr_Occurred() after each
 *   call, and contains then returns 0.
 *
 * Dispatch: the plain helpers pass the skip-dispatch flag clear, as the
 * module's own operations do, so a Python subclass's override of the method
 * runs instead of the body; its result is checked (keys and get must give a
 * tuple or None, get_tuples a list or None, clone a Headers or None) and
 * may therefore be None.  The ...Ex variants take the flag: nonzero always
 * runs the base method's body.  Direct Headers instances never look up an
 * override, whatever the flag.
 */
#ifndef VELMORA_HEADERS_H
#define VELMORA_HEADERS_H

#include <Python.h>
#include <string.h>

#include "pycompat.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct VlmHeadersObject VlmHeadersObject;

/* The fast-method table; the slot order is part of the ABI. */
typedef struct VlmHeadersVTable {
    PyObject *(*keys)(VlmHeadersObject *self, int skip_dispatch);
    PyObject *(*clone)(VlmHeadersObject *self, int skip_dispatch);
    PyObject *(*get)(VlmHeadersObject *self, PyObject *name, int skip_dispatch);
    PyObject *(*get_tuples)(VlmHeadersObject *self, PyObject *name, int skip_dispatch);
    void (*add)(VlmHeadersObject *self, PyObject *name, PyObject *value, int skip_dispatch);
    void (*set)(VlmHeadersObject *self, PyObject *name, PyObject *value, int skip_dispatch);
    PyObject *(*get_single)(VlmHeadersObject *self, PyObject *key, int skip_dispatch);
    PyObject *(*get_first)(VlmHeadersObject *self, PyObject *key, int skip_dispatch);
    void (*remove)(VlmHeadersObject *self, PyObject *key, int skip_dispatch);
    void (*merge)(VlmHeadersObject *self, PyObject *values, int skip_dispatch);
    int (*contains)(VlmHeadersObject *self, PyObject *key, int skip_dispatch);
} VlmHeadersVTable;

/* Layout of velmora.headers.Headers instances. */
struct VlmHeadersObject {
    PyObject_HEAD
    VlmHeadersVTable *vtab;
    PyObject *values; /* exactly a list, or None */
};

/* Layout of velmora.headers.Header instances. */
typedef struct VlmHeaderObject {
    PyObject_HEAD
    PyObject *name;
    PyObject *value;
} VlmHeaderObject;

/* Signature of the two exported interning functions; the int is ignored.
 * intern_header_name_bytes does not check its argument here: pass bytes or
 * None. */
typedef PyObject *(*VlmInternFunc)(PyObject *name, int skip_dispatch);

#define VLM_HEADERS_MODULE_NAME "velmora.headers"
#define VLM_HEADERS_CAPI_SIGNATURE "PyObject *(PyObject *, int __pyx_skip_dispatch)"

#ifndef VELMORA_HEADERS_MODULE

typedef struct VlmHeadersCAPI {
    VlmInternFunc intern_header_name_bytes;
    VlmInternFunc intern_header_name_str;
    VlmHeadersVTable *vtable;
    PyTypeObject *HeadersType;
    PyTypeObject *HeaderType;
} VlmHeadersCAPI;

/* One table per including translation unit, filled by VlmHeaders_Import.
 * The module keeps both classes and the table alive for the life of the
 * process, so nothing here holds a reference. */
static VlmHeadersCAPI VlmHeaders_API;

/* The function held by the __pyx_capi__ capsule of `key`, or NULL with an
 * ImportError that says what was wrong with it. */
static inline VlmInternFunc vlm_headers_capi_entry_(PyObject *capi, const char *key) {
    PyObject *capsule = NULL;
    VlmInternFunc fn = NULL;
    const int found = VlmCompat_PyDict_GetItemStringRef(capi, key, &capsule);
    if (found < 0) return NULL;
    if (found == 0) {
        PyErr_Format(PyExc_ImportError, "%s does not export %s", VLM_HEADERS_MODULE_NAME, key);
    } else if (!PyCapsule_CheckExact(capsule)) {
        PyErr_Format(PyExc_ImportError, "%s exports %s as %.200s, not as a capsule", VLM_HEADERS_MODULE_NAME, key,
                     Py_TYPE(capsule)->tp_name);
    } else if (!PyCapsule_IsValid(capsule, VLM_HEADERS_CAPI_SIGNATURE)) {
        const char *got = PyCapsule_GetName(capsule);
        PyErr_Format(PyExc_ImportError, "%s exports %s with signature \"%s\", expected \"%s\"", VLM_HEADERS_MODULE_NAME,
                     key, got ? got : "(null)", VLM_HEADERS_CAPI_SIGNATURE);
    } else {
        /* Copied rather than cast: ISO C has no conversion from an object
         * pointer to a function pointer, and -pedantic says so. */
        void *pointer = PyCapsule_GetPointer(capsule, VLM_HEADERS_CAPI_SIGNATURE);
        if (pointer != NULL) memcpy(&fn, &pointer, sizeof fn);
    }
    Py_XDECREF(capsule);
    return fn;
}

/* The class named `name` of the module, checked against the instance size
 * this header was written for; a new reference, or NULL with an error. */
static inline PyTypeObject *vlm_headers_class_(PyObject *module, const char *name, Py_ssize_t size) {
    PyObject *cls = NULL;
    if (VlmCompat_PyObject_GetOptionalAttrString(module, name, &cls) < 0) return NULL;
    if (cls == NULL) {
        PyErr_Format(PyExc_ImportError, "%s has no class %s", VLM_HEADERS_MODULE_NAME, name);
        return NULL;
    }
    if (!PyType_Check(cls)) {
        PyErr_Format(PyExc_ImportError, "%s.%s is not a class", VLM_HEADERS_MODULE_NAME, name);
    } else if (((PyTypeObject *)cls)->tp_basicsize != size) {
        /* Another layout means another velmora than the one compiled for. */
        PyErr_Format(PyExc_ImportError,
                     "%s.%s has instance size %zd, this build of velmora/headers.h expects %zd: "
                     "rebuild against the installed velmora",
                     VLM_HEADERS_MODULE_NAME, name, ((PyTypeObject *)cls)->tp_basicsize, size);
    } else {
        return (PyTypeObject *)cls;
    }
    Py_DECREF(cls);
    return NULL;
}

/* The table of the Headers class's own __pyx_vtable__ capsule, or NULL with
 * an ImportError. */
static inline VlmHeadersVTable *vlm_headers_vtable_(PyTypeObject *headers) {
    PyObject *dict = VlmCompat_PyType_GetDict(headers);
    PyObject *capsule = NULL;
    VlmHeadersVTable *vtable = NULL;
    if (dict == NULL) return NULL;
    const int found = VlmCompat_PyDict_GetItemStringRef(dict, "__pyx_vtable__", &capsule);
    Py_DECREF(dict);
    if (found < 0) return NULL;
    if (found == 0 || !PyCapsule_IsValid(capsule, NULL)) {
        PyErr_SetString(PyExc_ImportError, VLM_HEADERS_MODULE_NAME ".Headers has no __pyx_vtable__ capsule");
    } else {
        vtable = (VlmHeadersVTable *)PyCapsule_GetPointer(capsule, NULL);
    }
    Py_XDECREF(capsule);
    return vtable;
}

/* Imports velmora.headers and fills VlmHeaders_API.  Returns 0, or -1 with
 * an exception set: the import's own error (ModuleNotFoundError, itself an
 * ImportError, when velmora is not installed), or ImportError naming the
 * missing or mismatched part of the C API.  VlmHeaders_API is left as it was
 * on failure. */
static inline int VlmHeaders_Import(void) {
    VlmHeadersCAPI api = {NULL, NULL, NULL, NULL, NULL};
    PyObject *capi = NULL;
    int rc = -1;
    PyObject *module = PyImport_ImportModule(VLM_HEADERS_MODULE_NAME);
    if (module == NULL) return -1;
    if (VlmCompat_PyObject_GetOptionalAttrString(module, "__pyx_capi__", &capi) < 0) goto done;
    if (capi == NULL || !PyDict_Check(capi)) {
        PyErr_SetString(PyExc_ImportError, VLM_HEADERS_MODULE_NAME " has no __pyx_capi__ dict");
        goto done;
    }
    api.intern_header_name_bytes = vlm_headers_capi_entry_(capi, "intern_header_name_bytes");
    if (api.intern_header_name_bytes == NULL) goto done;
    api.intern_header_name_str = vlm_headers_capi_entry_(capi, "intern_header_name_str");
    if (api.intern_header_name_str == NULL) goto done;
    api.HeadersType = vlm_headers_class_(module, "Headers", (Py_ssize_t)sizeof(VlmHeadersObject));
    if (api.HeadersType == NULL) goto done;
    api.HeaderType = vlm_headers_class_(module, "Header", (Py_ssize_t)sizeof(VlmHeaderObject));
    if (api.HeaderType == NULL) goto done;
    api.vtable = vlm_headers_vtable_(api.HeadersType);
    if (api.vtable == NULL) goto done;
    VlmHeaders_API = api;
    rc = 0;
done:
    /* The module holds the classes for the life of the process. */
    Py_XDECREF((PyObject *)api.HeadersType);
    Py_XDECREF((PyObject *)api.HeaderType);
    Py_XDECREF(capi);
    Py_DECREF(module);
    return rc;
}

/* ---- type checks and construction (after VlmHeaders_Import) ------------- */

/* Nonzero for an instance of Headers or of a subclass. */
static inline int VlmHeaders_Check(PyObject *o) {
    assert(VlmHeaders_API.HeadersType != NULL);
    return PyObject_TypeCheck(o, VlmHeaders_API.HeadersType);
}

static inline int VlmHeaders_CheckExact(PyObject *o) {
    assert(VlmHeaders_API.HeadersType != NULL);
    return Py_IS_TYPE(o, VlmHeaders_API.HeadersType);
}

/* Nonzero for an instance of Header or of a subclass. */
static inline int VlmHeader_Check(PyObject *o) {
    assert(VlmHeaders_API.HeaderType != NULL);
    return PyObject_TypeCheck(o, VlmHeaders_API.HeaderType);
}

/* Headers(values): `values` is exactly a list, which the new collection
 * shares rather than copies, or NULL for a new empty one. */
static inline PyObject *VlmHeaders_New(PyObject *values) {
    assert(VlmHeaders_API.HeadersType != NULL);
    if (values == NULL) return PyObject_CallNoArgs((PyObject *)VlmHeaders_API.HeadersType);
    return PyObject_CallOneArg((PyObject *)VlmHeaders_API.HeadersType, values);
}

/* ---- interning ----------------------------------------------------------- */

/* The canonical lowercase name: `name` must be exactly bytes, or None. */
static inline PyObject *VlmHeaders_InternBytes(PyObject *name) {
    assert(VlmHeaders_API.intern_header_name_bytes != NULL);
    assert(name == Py_None || PyBytes_CheckExact(name));
    return VlmHeaders_API.intern_header_name_bytes(name, 0);
}

/* The canonical lowercase str of str(name); None gives None. */
static inline PyObject *VlmHeaders_InternStr(PyObject *name) {
    assert(VlmHeaders_API.intern_header_name_str != NULL);
    return VlmHeaders_API.intern_header_name_str(name, 0);
}

/* ---- the fast methods ------------------------------------------------------ */

#  define VLM_HEADERS_VT_(h) (((VlmHeadersObject *)(h))->vtab)

/* A slot without a result failed exactly when it left an exception set. */
static inline int vlm_headers_status_(void) { return PyErr_Occurred() ? -1 : 0; }

/* keys(): tuple of the distinct names in order of first appearance. */
static inline PyObject *VlmHeaders_KeysEx(PyObject *h, int skip_dispatch) {
    return VLM_HEADERS_VT_(h)->keys((VlmHeadersObject *)h, skip_dispatch);
}
static inline PyObject *VlmHeaders_Keys(PyObject *h) { return VlmHeaders_KeysEx(h, 0); }

/* clone(): a new Headers. */
static inline PyObject *VlmHeaders_CloneEx(PyObject *h, int skip_dispatch) {
    return VLM_HEADERS_VT_(h)->clone((VlmHeadersObject *)h, skip_dispatch);
}
static inline PyObject *VlmHeaders_Clone(PyObject *h) { return VlmHeaders_CloneEx(h, 0); }

/* get(name): tuple of every value of the name, in the form of the key. */
static inline PyObject *VlmHeaders_GetEx(PyObject *h, PyObject *name, int skip_dispatch) {
    return VLM_HEADERS_VT_(h)->get((VlmHeadersObject *)h, name, skip_dispatch);
}
static inline PyObject *VlmHeaders_Get(PyObject *h, PyObject *name) { return VlmHeaders_GetEx(h, name, 0); }

/* get_tuples(name): list of the stored (name, value) entries of the name. */
static inline PyObject *VlmHeaders_GetTuplesEx(PyObject *h, PyObject *name, int skip_dispatch) {
    return VLM_HEADERS_VT_(h)->get_tuples((VlmHeadersObject *)h, name, skip_dispatch);
}
static inline PyObject *VlmHeaders_GetTuples(PyObject *h, PyObject *name) { return VlmHeaders_GetTuplesEx(h, name, 0); }

/* add(name, value): 0 or -1. */
static inline int VlmHeaders_AddEx(PyObject *h, PyObject *name, PyObject *value, int skip_dispatch) {
    VLM_HEADERS_VT_(h)->add((VlmHeadersObject *)h, name, value, skip_dispatch);
    return vlm_headers_status_();
}
static inline int VlmHeaders_Add(PyObject *h, PyObject *name, PyObject *value) {
    return VlmHeaders_AddEx(h, name, value, 0);
}

/* set(name, value): 0 or -1. */
static inline int VlmHeaders_SetEx(PyObject *h, PyObject *name, PyObject *value, int skip_dispatch) {
    VLM_HEADERS_VT_(h)->set((VlmHeadersObject *)h, name, value, skip_dispatch);
    return vlm_headers_status_();
}
static inline int VlmHeaders_Set(PyObject *h, PyObject *name, PyObject *value) {
    return VlmHeaders_SetEx(h, name, value, 0);
}

/* get_single(key): the one value of the name; fails unless there is one. */
static inline PyObject *VlmHeaders_GetSingleEx(PyObject *h, PyObject *key, int skip_dispatch) {
    return VLM_HEADERS_VT_(h)->get_single((VlmHeadersObject *)h, key, skip_dispatch);
}
static inline PyObject *VlmHeaders_GetSingle(PyObject *h, PyObject *key) { return VlmHeaders_GetSingleEx(h, key, 0); }

/* get_first(key): the first value of the name, or None (a new reference). */
static inline PyObject *VlmHeaders_GetFirstEx(PyObject *h, PyObject *key, int skip_dispatch) {
    return VLM_HEADERS_VT_(h)->get_first((VlmHeadersObject *)h, key, skip_dispatch);
}
static inline PyObject *VlmHeaders_GetFirst(PyObject *h, PyObject *key) { return VlmHeaders_GetFirstEx(h, key, 0); }

/* remove(key): 0 or -1. */
static inline int VlmHeaders_RemoveEx(PyObject *h, PyObject *key, int skip_dispatch) {
    VLM_HEADERS_VT_(h)->remove((VlmHeadersObject *)h, key, skip_dispatch);
    return vlm_headers_status_();
}
static inline int VlmHeaders_Remove(PyObject *h, PyObject *key) { return VlmHeaders_RemoveEx(h, key, 0); }

/* merge(values): appends the entries of a list as they are; 0 or -1. */
static inline int VlmHeaders_MergeEx(PyObject *h, PyObject *values, int skip_dispatch) {
    VLM_HEADERS_VT_(h)->merge((VlmHeadersObject *)h, values, skip_dispatch);
    return vlm_headers_status_();
}
static inline int VlmHeaders_Merge(PyObject *h, PyObject *values) { return VlmHeaders_MergeEx(h, values, 0); }

/* contains(key): 1, 0, or -1 with an exception set. */
static inline int VlmHeaders_ContainsEx(PyObject *h, PyObject *key, int skip_dispatch) {
    const int r = VLM_HEADERS_VT_(h)->contains((VlmHeadersObject *)h, key, skip_dispatch);
    return r ? 1 : vlm_headers_status_();
}
static inline int VlmHeaders_Contains(PyObject *h, PyObject *key) { return VlmHeaders_ContainsEx(h, key, 0); }

#  undef VLM_HEADERS_VT_

#endif /* VELMORA_HEADERS_MODULE */

#ifdef __cplusplus
}
#endif

#endif /* VELMORA_HEADERS_H */
