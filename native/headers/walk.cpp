// The generator type of walks: next, send, close and throw as on the
// interpreter's generators, and the method's __name__ and __qualname__.
#include "walk.h"

#include "messages.h"

namespace velmora {

namespace {

struct WalkObject {
    PyObject_HEAD
    PyObject *source;  // the Headers or Header walked
    PyObject *list;    // the list a Headers walk started on, until it ends
    Py_ssize_t index;  // next position in `list`
    WalkKind kind;
    int step;  // 0 not started, then 1, 2, ...; -1 finished
};

WalkObject *as_walk(PyObject *o) noexcept { return reinterpret_cast<WalkObject *>(o); }

struct WalkNames {
    const char *name;
    const char *qualname;
};

WalkNames names_of(WalkKind kind) noexcept {
    switch (kind) {
        case WalkKind::items: return {"items", "Headers.items"};
        case WalkKind::headers_iter: return {"__iter__", "Headers.__iter__"};
        case WalkKind::header_iter: break;
    }
    return {"__iter__", "Header.__iter__"};
}

void finish(WalkObject *w) noexcept {
    w->step = -1;
    Py_CLEAR(w->list);
}

// Handing out an entry runs no Python code, so the size read here is
// current, whatever was appended or removed between steps.
inline PyObject *walk_list_step(WalkObject *w) noexcept {
    if (w->index < PyList_GET_SIZE(w->list)) return Py_NewRef(PyList_GET_ITEM(w->list, w->index++));
    finish(w);
    return nullptr;
}

// Next item, or nullptr: with an error set, or without one at the end.
PyObject *walk_step(WalkObject *w) noexcept {
    if (w->step < 0) return nullptr;
    if (w->kind == WalkKind::header_iter) {
        auto *record = reinterpret_cast<HeaderObject *>(w->source);
        const int step = w->step++;
        if (step == 0) return Py_NewRef(record->name ? record->name : Py_None);
        if (step == 1) return Py_NewRef(record->value ? record->value : Py_None);
        finish(w);
        return nullptr;
    }
    if (w->step == 0) {
        w->step = 1;
        PyObject *values = as_headers(w->source)->values;
        if (!values || values == Py_None) {
            finish(w);
            return err_none_not_iterable();
        }
        // The list is walked by position as its own iterator would, without
        // making one: entries appended before the end are seen, and the
        // list is let go once the walk is over.
        w->list = Py_NewRef(values);
        w->index = 0;
    }
    return walk_list_step(w);
}

PyObject *walk_tp_iternext(PyObject *self) noexcept {
    WalkObject *w = as_walk(self);
    if (VLM_LIKELY(w->list != nullptr)) return walk_list_step(w);
    return walk_step(w);
}

PyObject *stop_or_error() noexcept {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return nullptr;
}

PyObject *walk_send(PyObject *self, PyObject *value) noexcept {
    WalkObject *w = as_walk(self);
    if (w->step == 0 && value != Py_None) {
        return err_send_to_new_generator();
    }
    PyObject *item = walk_step(w);
    return item ? item : stop_or_error();
}

PyObject *walk_close(PyObject *self, PyObject *) noexcept {
    finish(as_walk(self));
    Py_RETURN_NONE;
}

// throw(exc) or the old throw(type[, value[, traceback]]): the walk ends and
// the exception propagates, as from a generator that does not catch it.
PyObject *walk_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) noexcept {
    if (nargs < 1 || nargs > 3) {
        return err_throw_arguments(nargs);
    }
    finish(as_walk(self));
    PyObject *type = args[0];
    PyObject *value = nargs > 1 ? args[1] : Py_None;
    if (PyExceptionInstance_Check(type)) {
        if (value != Py_None) {
            return err_throw_instance_with_value();
        }
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(type)), type);
        return nullptr;
    }
    if (PyExceptionClass_Check(type)) {
        PyErr_SetObject(type, value);
        return nullptr;
    }
    return err_throw_not_exception(type);
}

PyObject *walk_get_name(PyObject *self, void *) noexcept {
    return PyUnicode_FromString(names_of(as_walk(self)->kind).name);
}

PyObject *walk_get_qualname(PyObject *self, void *) noexcept {
    return PyUnicode_FromString(names_of(as_walk(self)->kind).qualname);
}

PyObject *walk_get_running(PyObject *, void *) noexcept { Py_RETURN_FALSE; }

PyObject *walk_tp_repr(PyObject *self) noexcept {
    return PyUnicode_FromFormat("<generator object %s at %p>", names_of(as_walk(self)->kind).qualname, self);
}

int walk_tp_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    Py_VISIT(as_walk(self)->source);
    Py_VISIT(as_walk(self)->list);
    return 0;
}

int walk_tp_clear(PyObject *self) noexcept {
    finish(as_walk(self));
    return 0;
}

void walk_tp_dealloc(PyObject *self) noexcept {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_walk(self)->list);
    Py_CLEAR(as_walk(self)->source);
    PyObject_GC_Del(self);
}

PyMethodDef walk_methods[] = {
    {"send", walk_send, METH_O, "send(value) -> next yielded value or raise StopIteration."},
    {"throw", as_pycfunction(walk_throw), METH_FASTCALL, "throw(value) -> raise exception in generator."},
    {"close", walk_close, METH_NOARGS, "close() -> end the walk."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef walk_getset[] = {
    {"__name__", walk_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", walk_get_qualname, nullptr, nullptr, nullptr},
    {"gi_running", walk_get_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

// PyVarObject_HEAD_INIT ends in a comma of its own, which the formatter
// cannot see.
// clang-format off
PyTypeObject WalkType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "generator",
    .tp_basicsize = sizeof(WalkObject),
    .tp_itemsize = 0,
    .tp_dealloc = walk_tp_dealloc,
    .tp_repr = walk_tp_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = walk_tp_traverse,
    .tp_clear = walk_tp_clear,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = walk_tp_iternext,
    .tp_methods = walk_methods,
    .tp_getset = walk_getset,
};
// clang-format on

PyObject *walk_new(WalkKind kind, PyObject *source) noexcept {
    WalkObject *w = PyObject_GC_New(WalkObject, &WalkType);
    if (!w) return nullptr;
    w->source = Py_NewRef(source);
    w->list = nullptr;
    w->index = 0;
    w->kind = kind;
    w->step = 0;
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject *>(w);
}

}  // namespace velmora
