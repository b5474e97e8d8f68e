// Every message the module raises is written here once. Each helper sets
// the exception and returns a Failure, which converts to the failure value of
// either kind of function (nullptr for object results, -1 for status results).
#pragma once

#include <Python.h>

namespace velmora {

struct Failure {
    operator PyObject *() const noexcept { return nullptr; }
    operator int() const noexcept { return -1; }
};

inline const char *type_name(PyObject *o) noexcept { return Py_TYPE(o)->tp_name; }

// Argument binding.
inline Failure err_arg_count(const char *func, const char *more_or_less, Py_ssize_t expected,
                             Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func, more_or_less,
                 expected, expected == 1 ? "" : "s", given);
    return {};
}
inline Failure err_unexpected_keyword(const char *func, PyObject *kw) noexcept {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, kw);
    return {};
}
inline Failure err_multiple_values(const char *func, PyObject *kw) noexcept {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func, kw);
    return {};
}
inline Failure err_keywords_not_strings(const char *func) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func);
    return {};
}

// Type tests.
inline Failure err_arg_type(const char *arg, const char *expected, PyObject *got) noexcept {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg, expected,
                 type_name(got));
    return {};
}
inline Failure err_expected(const char *expected, PyObject *got) noexcept {
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", expected, type_name(got));
    return {};
}
inline Failure err_cannot_convert(PyObject *got, const char *target) noexcept {
    PyErr_Format(PyExc_TypeError, "%.1sCannot convert %.200s to %.200s", "", type_name(got), target);
    return {};
}
inline Failure err_none_not_iterable() noexcept {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
    return {};
}
inline Failure err_none_not_subscriptable() noexcept {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
    return {};
}
inline Failure err_none_no_attribute(const char *attr) noexcept {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", attr);
    return {};
}
inline Failure err_none_no_len() noexcept {
    PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
    return {};
}
inline Failure err_none_not_allowed() noexcept {
    PyErr_SetString(PyExc_TypeError, "cannot pass None into a C function argument that is declared 'not None'");
    return {};
}
inline Failure err_not_defined(PyObject *name) noexcept {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

// Entries that are not pairs.
inline Failure err_too_many_to_unpack(Py_ssize_t expected) noexcept {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
    return {};
}
inline Failure err_need_more_to_unpack(Py_ssize_t got) noexcept {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
    return {};
}
inline Failure err_short_entry(Py_ssize_t size) noexcept {
    PyErr_Format(PyExc_IndexError, "header entry has %zd item%s, expected a (name, value) pair", size,
                 size == 1 ? "" : "s");
    return {};
}
inline Failure err_dict_changed_size() noexcept {
    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
    return {};
}

// Messages raised by calling the exception class with one argument, the way
// user code would, so subclass hooks of ValueError behave as usual.
inline Failure raise_by_call(PyObject *exc_class, PyObject *message) noexcept {
    if (!message) return {};
    PyObject *exc = PyObject_CallOneArg(exc_class, message);
    Py_DECREF(message);
    if (exc) {
        PyErr_SetObject(exc_class, exc);
        Py_DECREF(exc);
    }
    return {};
}
inline Failure err_more_than_one() noexcept {
    return raise_by_call(PyExc_ValueError,
                         PyUnicode_FromString("Headers contains more than one header with the given key"));
}
inline Failure err_not_one() noexcept {
    return raise_by_call(PyExc_ValueError,
                         PyUnicode_FromString("Headers does not contain one header with the given key"));
}
inline Failure err_invalid_tuple(PyObject *tuple) noexcept {
    return raise_by_call(PyExc_ValueError, PyUnicode_FromFormat("Cannot add, an invalid tuple %S.", tuple));
}
inline Failure err_invalid_element(PyObject *element, PyObject *class_name) noexcept {
    return raise_by_call(PyExc_ValueError,
                         PyUnicode_FromFormat("The sequence contains invalid elements: cannot add %S to %S", element,
                                              class_name));
}
inline Failure err_add_many_kind() noexcept {
    return raise_by_call(PyExc_ValueError, PyUnicode_FromString("values must be dict[bytes, bytes] or list[Header]"));
}

// The generator objects of walks, worded as the interpreter's generators.
inline Failure err_send_to_new_generator() noexcept {
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
    return {};
}
inline Failure err_throw_arguments(Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", given);
    return {};
}
inline Failure err_throw_instance_with_value() noexcept {
    PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
    return {};
}
inline Failure err_throw_not_exception(PyObject *got) noexcept {
    PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                 type_name(got));
    return {};
}

// Module frame.
inline Failure err_interpreter_change() noexcept {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return {};
}
inline Failure err_reinitialisation() noexcept {
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'headers' has already been imported. Re-initialisation is not supported.");
    return {};
}
inline Failure err_cannot_import_name(PyObject *name) noexcept {
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return {};
}
inline Failure err_pickling_setup(PyTypeObject *type) noexcept {
    PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", type->tp_name);
    return {};
}

// Persistence.
inline Failure err_short_state(const char *cls, Py_ssize_t need, Py_ssize_t got) noexcept {
    PyErr_Format(PyExc_ValueError, "%s state needs %zd item%s, got %zd", cls, need, need == 1 ? "" : "s", got);
    return {};
}

}  // namespace velmora
