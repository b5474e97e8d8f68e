/* The newer C API calls velmora uses, on every CPython it supports (3.10 and
 * later).  On the interpreter that has a call, its name here is the call
 * itself, so that build pays nothing; on older ones it is a small inline
 * function built from calls those interpreters have.
 *
 * The names carry the VlmCompat_ prefix so that a consumer's own shims of
 * the same calls never collide with these.  Code that wants the newer
 * spelling itself (velmora's own sources) defines VELMORA_COMPAT_NEW_NAMES
 * before including this header.
 */
#ifndef VELMORA_PYCOMPAT_H
#define VELMORA_PYCOMPAT_H

#include <Python.h>

#if PY_VERSION_HEX < 0x030A0000
#  error "velmora needs the headers of CPython 3.10 or later"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- 3.13: strong-reference lookups -------------------------------------- */

#if PY_VERSION_HEX >= 0x030D0000
#  define VlmCompat_PyDict_GetItemRef PyDict_GetItemRef
#  define VlmCompat_PyDict_GetItemStringRef PyDict_GetItemStringRef
#  define VlmCompat_PyObject_GetOptionalAttr PyObject_GetOptionalAttr
#  define VlmCompat_PyObject_GetOptionalAttrString PyObject_GetOptionalAttrString
#  define VlmCompat_PyList_GetItemRef PyList_GetItemRef
#  define VlmCompat_PyType_GetFullyQualifiedName PyType_GetFullyQualifiedName
#else
/* 1 and a new reference in *result, 0 and NULL when absent, -1 on error. */
static inline int VlmCompat_PyDict_GetItemRef(PyObject *dict, PyObject *key, PyObject **result) {
    PyObject *found = PyDict_GetItemWithError(dict, key);
    if (found != NULL) {
        Py_INCREF(found);
        *result = found;
        return 1;
    }
    *result = NULL;
    return PyErr_Occurred() ? -1 : 0;
}

static inline int VlmCompat_PyDict_GetItemStringRef(PyObject *dict, const char *key, PyObject **result) {
    PyObject *key_obj = PyUnicode_FromString(key);
    int rc;
    if (key_obj == NULL) {
        *result = NULL;
        return -1;
    }
    rc = VlmCompat_PyDict_GetItemRef(dict, key_obj, result);
    Py_DECREF(key_obj);
    return rc;
}

/* As getattr with a default: a missing attribute is 0 and no exception. */
static inline int VlmCompat_PyObject_GetOptionalAttr(PyObject *obj, PyObject *name, PyObject **result) {
    *result = PyObject_GetAttr(obj, name);
    if (*result != NULL) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

static inline int VlmCompat_PyObject_GetOptionalAttrString(PyObject *obj, const char *name, PyObject **result) {
    PyObject *name_obj = PyUnicode_FromString(name);
    int rc;
    if (name_obj == NULL) {
        *result = NULL;
        return -1;
    }
    rc = VlmCompat_PyObject_GetOptionalAttr(obj, name_obj, result);
    Py_DECREF(name_obj);
    return rc;
}

static inline PyObject *VlmCompat_PyList_GetItemRef(PyObject *list, Py_ssize_t index) {
    PyObject *item = PyList_GetItem(list, index);
    Py_XINCREF(item);
    return item;
}

/* What the newer "%T" prints: the qualified name, after its module unless
 * that is builtins. */
static inline PyObject *VlmCompat_PyType_GetFullyQualifiedName(PyTypeObject *type) {
    PyObject *qualname = PyObject_GetAttrString((PyObject *)type, "__qualname__");
    PyObject *module, *result;
    if (qualname == NULL) return NULL;
    if (VlmCompat_PyObject_GetOptionalAttrString((PyObject *)type, "__module__", &module) < 0) {
        Py_DECREF(qualname);
        return NULL;
    }
    if (module == NULL || !PyUnicode_Check(module) || PyUnicode_CompareWithASCIIString(module, "builtins") == 0 ||
        PyUnicode_CompareWithASCIIString(module, "__main__") == 0) {
        Py_XDECREF(module);
        return qualname;
    }
    result = PyUnicode_FromFormat("%U.%U", module, qualname);
    Py_DECREF(module);
    Py_DECREF(qualname);
    return result;
}
#endif

/* ---- 3.12: the raised exception as one object, a type's dict -------------- */

#if PY_VERSION_HEX >= 0x030C0000
#  define VlmCompat_PyErr_GetRaisedException PyErr_GetRaisedException
#  define VlmCompat_PyErr_SetRaisedException PyErr_SetRaisedException
#  define VlmCompat_PyType_GetDict PyType_GetDict
#else
/* Takes the current exception (a new reference, normalised, its traceback
 * attached) and clears the indicator; NULL when none is set. */
static inline PyObject *VlmCompat_PyErr_GetRaisedException(void) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == NULL) return NULL;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != NULL && value != NULL) PyException_SetTraceback(value, traceback);
    Py_DECREF(type);
    Py_XDECREF(traceback);
    return value;
}

/* Steals `exc`; NULL clears the indicator. */
static inline void VlmCompat_PyErr_SetRaisedException(PyObject *exc) {
    if (exc == NULL) {
        PyErr_Clear();
        return;
    }
    Py_INCREF(Py_TYPE(exc));
    PyErr_Restore((PyObject *)Py_TYPE(exc), exc, PyException_GetTraceback(exc));
}

static inline PyObject *VlmCompat_PyType_GetDict(PyTypeObject *type) {
    Py_XINCREF(type->tp_dict);
    return type->tp_dict;
}
#endif

/* ---- 3.11: the running interpreter's version ------------------------------ */

#if PY_VERSION_HEX >= 0x030B0000
#  define VlmCompat_Py_Version Py_Version
#else
/* Py_Version's encoding of the version string the interpreter reports (its
 * major, minor and micro numbers; the release level left as final). */
static inline unsigned long VlmCompat_running_version_(void) {
    const char *text = Py_GetVersion();
    unsigned long parts[3] = {0, 0, 0};
    int i = 0;
    for (; *text != '\0' && i < 3; ++text) {
        if (*text >= '0' && *text <= '9') {
            parts[i] = parts[i] * 10 + (unsigned long)(*text - '0');
        } else if (*text == '.') {
            ++i;
        } else {
            break;
        }
    }
    return (parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | 0xF0;
}
#  define VlmCompat_Py_Version (VlmCompat_running_version_())
#endif

/* ---- the newer spellings, for velmora's own sources ------------------------ */

#ifdef VELMORA_COMPAT_NEW_NAMES
#  if PY_VERSION_HEX < 0x030D0000
#    define PyDict_GetItemRef VlmCompat_PyDict_GetItemRef
#    define PyDict_GetItemStringRef VlmCompat_PyDict_GetItemStringRef
#    define PyObject_GetOptionalAttr VlmCompat_PyObject_GetOptionalAttr
#    define PyObject_GetOptionalAttrString VlmCompat_PyObject_GetOptionalAttrString
#    define PyList_GetItemRef VlmCompat_PyList_GetItemRef
#    define PyType_GetFullyQualifiedName VlmCompat_PyType_GetFullyQualifiedName
/* The same type, public under this name only from 3.13. */
#    define PyCFunctionFastWithKeywords _PyCFunctionFastWithKeywords
#  endif
#  if PY_VERSION_HEX < 0x030C0000
#    define PyErr_GetRaisedException VlmCompat_PyErr_GetRaisedException
#    define PyErr_SetRaisedException VlmCompat_PyErr_SetRaisedException
#    define PyType_GetDict VlmCompat_PyType_GetDict
#  endif
#  if PY_VERSION_HEX < 0x030B0000
#    define Py_Version VlmCompat_Py_Version
#  endif
#endif

#ifdef __cplusplus
}
#endif

#endif /* VELMORA_PYCOMPAT_H */
