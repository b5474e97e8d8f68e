// _vlm_cpp_consumer: a C++17 module built on velmora/headers.hpp the way a
// framework's own C++ extension would be.  Each function turns velmora::error
// back into the Python exception at the boundary, the one place it is caught.
// Built only by the test-suite; never installed.
// "s#" takes a Py_ssize_t length; before 3.13 only when this is defined.
#define PY_SSIZE_T_CLEAN
#include <velmora/headers.hpp>

#include <string>
#include <utility>

namespace {

using velmora::headers;
using velmora::object;

// Runs `body` and returns its object; a velmora::error becomes the pending
// Python exception again.
template <class Body>
PyObject *guarded(Body &&body) noexcept {
    try {
        return std::forward<Body>(body)().release();
    } catch (velmora::error &e) {
        e.restore();
        return nullptr;
    }
}

object none() { return object::borrow(Py_None); }

PyObject *keys(PyObject *, PyObject *h) {
    return guarded([&] { return headers::borrow(h).keys(); });
}

PyObject *clone(PyObject *, PyObject *h) {
    return guarded([&] { return headers::borrow(h).clone(); });
}

// The functions taking arguments unpack (h, a[, b]) positionally.
bool unpack(PyObject *args, const char *format, PyObject **h, PyObject **a, PyObject **b = nullptr) {
    return b ? PyArg_ParseTuple(args, format, h, a, b) : PyArg_ParseTuple(args, format, h, a);
}

PyObject *get(PyObject *, PyObject *args) {
    PyObject *h, *name;
    if (!unpack(args, "OO:get", &h, &name)) return nullptr;
    return guarded([&] { return headers::borrow(h).get(name); });
}

PyObject *get_tuples(PyObject *, PyObject *args) {
    PyObject *h, *name;
    if (!unpack(args, "OO:get_tuples", &h, &name)) return nullptr;
    return guarded([&] { return headers::borrow(h).get_tuples(name); });
}

PyObject *add(PyObject *, PyObject *args) {
    PyObject *h, *name, *value;
    if (!unpack(args, "OOO:add", &h, &name, &value)) return nullptr;
    return guarded([&] {
        headers::borrow(h).add(name, value);
        return none();
    });
}

PyObject *set(PyObject *, PyObject *args) {
    PyObject *h, *name, *value;
    if (!unpack(args, "OOO:set", &h, &name, &value)) return nullptr;
    return guarded([&] {
        headers::borrow(h).set(name, value);
        return none();
    });
}

PyObject *get_single(PyObject *, PyObject *args) {
    PyObject *h, *key;
    if (!unpack(args, "OO:get_single", &h, &key)) return nullptr;
    return guarded([&] { return headers::borrow(h).get_single(key); });
}

PyObject *get_first(PyObject *, PyObject *args) {
    PyObject *h, *key;
    if (!unpack(args, "OO:get_first", &h, &key)) return nullptr;
    return guarded([&] { return headers::borrow(h).get_first(key); });
}

PyObject *remove(PyObject *, PyObject *args) {
    PyObject *h, *key;
    if (!unpack(args, "OO:remove", &h, &key)) return nullptr;
    return guarded([&] {
        headers::borrow(h).remove(key);
        return none();
    });
}

PyObject *merge(PyObject *, PyObject *args) {
    PyObject *h, *values;
    if (!unpack(args, "OO:merge", &h, &values)) return nullptr;
    return guarded([&] {
        headers::borrow(h).merge(object::borrow(values));
        return none();
    });
}

PyObject *contains(PyObject *, PyObject *args) {
    PyObject *h, *key;
    if (!unpack(args, "OO:contains", &h, &key)) return nullptr;
    return guarded([&] { return object::borrow(headers::borrow(h).contains(key) ? Py_True : Py_False); });
}

// first_value(h, key: str) -> bytes or None: a C++ string key (so a bytes
// lookup), and the value's bytes copied out through a string_view.
PyObject *first_value(PyObject *, PyObject *args) {
    PyObject *h;
    const char *key;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "Os#:first_value", &h, &key, &size)) return nullptr;
    return guarded([&] {
        object value = headers::borrow(h).get_first(std::string_view(key, static_cast<std::size_t>(size)));
        if (value.is_none()) return value;
        const std::string copy(value.bytes());
        return velmora::bytes(copy);
    });
}

// A response built from C++ strings alone, from a new collection or one
// sharing `values` when given.
PyObject *build(PyObject *, PyObject *args) {
    PyObject *values = nullptr;
    if (!PyArg_ParseTuple(args, "|O:build", &values)) return nullptr;
    return guarded([&] {
        headers h = values ? headers(object::borrow(values)) : headers();
        h.add("Content-Type", std::string("text/plain"));
        h.add(std::string_view("X-Cpp"), "1");
        h.set("X-Cpp", "2");
        headers copy = h;  // a second reference to the same collection
        copy.add("Vary", "Accept");
        return object::borrow(h.ptr());
    });
}

// [(name, value), ...] read through items(), and values() itself.
PyObject *items(PyObject *, PyObject *h) {
    return guarded([&] {
        headers hs = headers::borrow(h);
        object out = velmora::object::steal(PyList_New(0));
        if (!out) throw velmora::error();
        for (auto [name, value] : hs.items()) {
            object pair = object::steal(PyTuple_Pack(2, name.get(), value.get()));
            if (!pair || PyList_Append(out.get(), pair.get()) < 0) throw velmora::error();
        }
        object shared = object::steal(PyTuple_Pack(2, out.get(), hs.values().get()));
        if (!shared) throw velmora::error();
        return shared;
    });
}

// (what(), the exception object) of the error `method` raises on `h`:
// get_single with a missing key, or headers::borrow of a non-Headers.
PyObject *caught(PyObject *, PyObject *args) {
    PyObject *h, *key;
    if (!unpack(args, "OO:caught", &h, &key)) return nullptr;
    try {
        headers::borrow(h).get_single(key);
    } catch (velmora::error &e) {
        return Py_BuildValue("(sO)", e.what(), e.exception());
    }
    Py_RETURN_NONE;
}

PyObject *reimport(PyObject *, PyObject *) {
    return guarded([] {
        velmora::import();
        return none();
    });
}

PyMethodDef methods[] = {
    {"keys", keys, METH_O, nullptr},
    {"clone", clone, METH_O, nullptr},
    {"get", get, METH_VARARGS, nullptr},
    {"get_tuples", get_tuples, METH_VARARGS, nullptr},
    {"add", add, METH_VARARGS, nullptr},
    {"set", set, METH_VARARGS, nullptr},
    {"get_single", get_single, METH_VARARGS, nullptr},
    {"get_first", get_first, METH_VARARGS, nullptr},
    {"remove", remove, METH_VARARGS, nullptr},
    {"merge", merge, METH_VARARGS, nullptr},
    {"contains", contains, METH_VARARGS, nullptr},
    {"first_value", first_value, METH_VARARGS, nullptr},
    {"build", build, METH_VARARGS, nullptr},
    {"items", items, METH_O, nullptr},
    {"caught", caught, METH_VARARGS, nullptr},
    {"reimport", reimport, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject *) {
    try {
        velmora::import();
    } catch (velmora::error &e) {
        e.restore();
        return -1;
    }
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_vlm_cpp_consumer", nullptr, 0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__vlm_cpp_consumer() { return PyModuleDef_Init(&module_def); }
