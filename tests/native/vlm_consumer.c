/* _vlm_consumer: a native module built on velmora's C API the way a
 * framework's own extension would be.  It imports the API in its exec slot
 * and reaches Headers only through velmora/headers.h: the typed helpers for
 * the fast methods, the interning functions, the type checks, and the raw
 * table where the test needs to see what a slot itself reports.
 *
 * Every fast method takes the collection, its arguments, then `skip`: 0 calls
 * the plain helper (overrides honoured), anything else the Ex variant with
 * that flag.  Built only by the test-suite; never installed.
 */
#include <velmora/headers.h>

static PyObject *require_headers(PyObject *h) {
    if (VlmHeaders_Check(h)) return h;
    PyErr_Format(PyExc_TypeError, "expected velmora.headers.Headers, got %.200s", Py_TYPE(h)->tp_name);
    return NULL;
}

static PyObject *none_or_null(int rc) {
    if (rc < 0) return NULL;
    Py_RETURN_NONE;
}

static PyObject *c_keys(PyObject *mod, PyObject *args) {
    PyObject *h;
    int skip = 0;
    (void)mod;
    if (!PyArg_ParseTuple(args, "O|i:keys", &h, &skip) || !require_headers(h)) return NULL;
    return skip ? VlmHeaders_KeysEx(h, skip) : VlmHeaders_Keys(h);
}

static PyObject *c_clone(PyObject *mod, PyObject *args) {
    PyObject *h;
    int skip = 0;
    (void)mod;
    if (!PyArg_ParseTuple(args, "O|i:clone", &h, &skip) || !require_headers(h)) return NULL;
    return skip ? VlmHeaders_CloneEx(h, skip) : VlmHeaders_Clone(h);
}

static PyObject *c_get(PyObject *mod, PyObject *args) {
    PyObject *h, *name;
    int skip = 0;
    (void)mod;
    if (!PyArg_ParseTuple(args, "OO|i:get", &h, &name, &skip) || !require_headers(h)) return NULL;
    return skip ? VlmHeaders_GetEx(h, name, skip) : VlmHeaders_Get(h, name);
}

static PyObject *c_get_tuples(PyObject *mod, PyObject *args) {
    PyObject *h, *name;
    int skip = 0;
    (void)mod;
    if (!PyArg_ParseTuple(args, "OO|i:get_tuples", &h, &name, &skip) || !require_headers(h)) return NULL;
    return skip ? VlmHeaders_GetTuplesEx(h, name, skip) : VlmHeaders_GetTuples(h, name);
}

static PyObject *c_add(PyObject *mod, PyObject *args) {
    PyObject *h, *name, *value;
    int skip = 0;
    (void)mod;
    if (!PyArg_ParseTuple(args, "OOO|i:add", &h, &name, &value, &skip) || !require_headers(h)) return NULL;
    return none_or_null(skip ? VlmHeaders_AddEx(h, name, value, skip) : VlmHeaders_Add(h, name, value));
}

static PyObject *c_set(PyObject *mod, PyObject *args) {
    PyObject *h, *name, *value;
    int skip = 0;
    (void)mod;
    if (!PyArg_ParseTuple(args, "OOO|i:set", &h, &name, &value, &skip) || !require_headers(h)) return NULL;
    return none_or_null(skip ? VlmHeaders_SetEx(h, name, value, skip) : VlmHeaders_Set(h, name, value));
}

static PyObject *c_get_single(PyObject *mod, PyObject *args) {
    PyObject *h, *key;
    int skip = 0;
    (void)mod;
    if (!PyArg_ParseTuple(args, "OO|i:get_single", &h, &key, &skip) || !require_headers(h)) return NULL;
    return skip ? VlmHeaders_GetSingleEx(h, key, skip) : VlmHeaders_GetSingle(h, key);
}

static PyObject *c_get_first(PyObject *mod, PyObject *args) {
    PyObject *h, *key;
    int skip = 0;
    (void)mod;
    if (!PyArg_ParseTuple(args, "OO|i:get_first", &h, &key, &skip) || !require_headers(h)) return NULL;
    return skip ? VlmHeaders_GetFirstEx(h, key, skip) : VlmHeaders_GetFirst(h, key);
}

static PyObject *c_remove(PyObject *mod, PyObject *args) {
    PyObject *h, *key;
    int skip = 0;
    (void)mod;
    if (!PyArg_ParseTuple(args, "OO|i:remove", &h, &key, &skip) || !require_headers(h)) return NULL;
    return none_or_null(skip ? VlmHeaders_RemoveEx(h, key, skip) : VlmHeaders_Remove(h, key));
}

static PyObject *c_merge(PyObject *mod, PyObject *args) {
    PyObject *h, *values;
    int skip = 0;
    (void)mod;
    if (!PyArg_ParseTuple(args, "OO|i:merge", &h, &values, &skip) || !require_headers(h)) return NULL;
    return none_or_null(skip ? VlmHeaders_MergeEx(h, values, skip) : VlmHeaders_Merge(h, values));
}

static PyObject *c_contains(PyObject *mod, PyObject *args) {
    PyObject *h, *key;
    int skip = 0;
    (void)mod;
    if (!PyArg_ParseTuple(args, "OO|i:contains", &h, &key, &skip) || !require_headers(h)) return NULL;
    const int r = skip ? VlmHeaders_ContainsEx(h, key, skip) : VlmHeaders_Contains(h, key);
    if (r < 0) return NULL;
    return PyBool_FromLong(r);
}

/* The table's own contains slot, reached through the exported table rather
 * than the instance: (its int result, the exception it left set or None). */
static PyObject *c_contains_raw(PyObject *mod, PyObject *args) {
    PyObject *h, *key;
    int skip = 0;
    (void)mod;
    if (!PyArg_ParseTuple(args, "OO|i:contains_raw", &h, &key, &skip) || !require_headers(h)) return NULL;
    const int r = VlmHeaders_API.vtable->contains((VlmHeadersObject *)h, key, skip);
    PyObject *exc = VlmCompat_PyErr_GetRaisedException();
    return Py_BuildValue("(iN)", r, exc ? exc : Py_NewRef(Py_None));
}

/* Whether the instance carries the table exported by __pyx_vtable__. */
static PyObject *c_shares_table(PyObject *mod, PyObject *h) {
    (void)mod;
    if (!require_headers(h)) return NULL;
    return PyBool_FromLong(((VlmHeadersObject *)h)->vtab == VlmHeaders_API.vtable);
}

static PyObject *c_intern_bytes(PyObject *mod, PyObject *name) {
    (void)mod;
    /* The exported entry trusts its caller with the type. */
    if (name != Py_None && !PyBytes_CheckExact(name)) {
        PyErr_Format(PyExc_TypeError, "expected bytes or None, got %.200s", Py_TYPE(name)->tp_name);
        return NULL;
    }
    return VlmHeaders_InternBytes(name);
}

static PyObject *c_intern_str(PyObject *mod, PyObject *name) {
    (void)mod;
    return VlmHeaders_InternStr(name);
}

static PyObject *c_new(PyObject *mod, PyObject *args) {
    PyObject *values = NULL;
    (void)mod;
    if (!PyArg_ParseTuple(args, "|O:new", &values)) return NULL;
    return VlmHeaders_New(values);
}

/* (Check, CheckExact, Header Check) of an object. */
static PyObject *c_kind(PyObject *mod, PyObject *o) {
    (void)mod;
    return Py_BuildValue("(NNN)", PyBool_FromLong(VlmHeaders_Check(o)), PyBool_FromLong(VlmHeaders_CheckExact(o)),
                         PyBool_FromLong(VlmHeader_Check(o)));
}

/* Runs the import again, against whatever velmora.headers is then. */
static PyObject *c_reimport(PyObject *mod, PyObject *unused) {
    (void)mod;
    (void)unused;
    if (VlmHeaders_Import() < 0) return NULL;
    Py_RETURN_NONE;
}

/* dict[key] = value from C while RuntimeError("pending") is set, as the
 * interpreter's own code may do; whatever is pending afterwards propagates. */
static PyObject *c_setitem_with_error_pending(PyObject *mod, PyObject *args) {
    PyObject *dict, *key, *value;
    (void)mod;
    if (!PyArg_ParseTuple(args, "O!OO:setitem_with_error_pending", &PyDict_Type, &dict, &key, &value)) return NULL;
    PyErr_SetString(PyExc_RuntimeError, "pending");
    if (PyDict_SetItem(dict, key, value) < 0 || PyErr_Occurred()) return NULL;
    Py_RETURN_NONE;
}

static PyMethodDef consumer_methods[] = {
    {"keys", c_keys, METH_VARARGS, NULL},
    {"clone", c_clone, METH_VARARGS, NULL},
    {"get", c_get, METH_VARARGS, NULL},
    {"get_tuples", c_get_tuples, METH_VARARGS, NULL},
    {"add", c_add, METH_VARARGS, NULL},
    {"set", c_set, METH_VARARGS, NULL},
    {"get_single", c_get_single, METH_VARARGS, NULL},
    {"get_first", c_get_first, METH_VARARGS, NULL},
    {"remove", c_remove, METH_VARARGS, NULL},
    {"merge", c_merge, METH_VARARGS, NULL},
    {"contains", c_contains, METH_VARARGS, NULL},
    {"contains_raw", c_contains_raw, METH_VARARGS, NULL},
    {"shares_table", c_shares_table, METH_O, NULL},
    {"intern_bytes", c_intern_bytes, METH_O, NULL},
    {"intern_str", c_intern_str, METH_O, NULL},
    {"new", c_new, METH_VARARGS, NULL},
    {"kind", c_kind, METH_O, NULL},
    {"reimport", c_reimport, METH_NOARGS, NULL},
    {"setitem_with_error_pending", c_setitem_with_error_pending, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static int consumer_exec(PyObject *module) {
    (void)module;
    return VlmHeaders_Import();
}

static PyModuleDef_Slot consumer_slots[] = {
    {Py_mod_exec, (void *)consumer_exec},
    {0, NULL},
};

static struct PyModuleDef consumer_module = {
    PyModuleDef_HEAD_INIT,
    "_vlm_consumer",
    "Test-only consumer of the velmora.headers C API.",
    0,
    consumer_methods,
    consumer_slots,
    NULL,
    NULL,
    NULL,
};

PyMODINIT_FUNC PyInit__vlm_consumer(void) { return PyModuleDef_Init(&consumer_module); }
