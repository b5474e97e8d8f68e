// Bringing many entries in at once: merge, update, add_many,
// _add_to_instance and the +, reflected + and += operators built on it.
#include "args.h"
#include "headers.h"

namespace velmora {

namespace {

// instance.add(*items). A direct Headers instance cannot have its add
// replaced (static type, no instance dict), so the lookup is skipped there.
int add_items(PyObject *instance, PyObject *const *items, Py_ssize_t n) noexcept {
    if (Py_TYPE(instance) == &HeadersType) {
        if (n != 2) return err_arg_count("add", "exactly", 2, n);
        return headers_add(as_headers(instance), items[0], items[1], 1);
    }
    Ref add = Ref::steal(PyObject_GetAttr(instance, C.add));
    if (!add) return -1;
    Ref r = Ref::steal(PyObject_Vectorcall(add.get(), items, static_cast<size_t>(n), nullptr));
    return r ? 0 : -1;
}

// instance.add(*entry): an exact tuple is spread as it is, anything else
// through tuple(entry).
int add_spread(PyObject *instance, PyObject *entry) noexcept {
    Ref items = is_exact_tuple(entry) ? Ref::borrow(entry) : Ref::steal(PySequence_Tuple(entry));
    if (!items) return -1;
    return add_items(instance, &PyTuple_GET_ITEM(items.get(), 0), PyTuple_GET_SIZE(items.get()));
}

// The iterable to walk for `source`. When it is the very list the walk
// appends to, only the entries present now are taken: walking the live list
// would never reach its end.
Ref iter_bounded(PyObject *source, PyObject *instance) noexcept {
    if (is_headers(instance) && source == as_headers(instance)->values && is_exact_list(source)) {
        Ref snapshot = Ref::steal(PyList_GetSlice(source, 0, PyList_GET_SIZE(source)));
        if (!snapshot) return snapshot;
        return Ref::steal(PyObject_GetIter(snapshot.get()));
    }
    return Ref::steal(PyObject_GetIter(source));
}

// Walks an exact dict, checking before every step that its size is the one
// it had at the start; fn(key, value) is called with owned references held.
template <typename Fn>
int walk_dict(PyObject *dict, Fn &&fn) noexcept {
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    for (;;) {
        if (PyDict_GET_SIZE(dict) != size) return err_dict_changed_size();
        if (!PyDict_Next(dict, &pos, &k, &v)) return 0;
        Ref key = Ref::borrow(k), value = Ref::borrow(v);
        if (fn(key.get(), value.get()) < 0) return -1;
    }
}

int isinstance_of_global(PyObject *obj, PyObject *global_name) noexcept {
    Ref cls = Ref::steal(lookup_global(global_name));
    if (!cls) return -1;
    return PyObject_IsInstance(obj, cls.get());
}

}  // namespace

int merge_body(HeadersObject *self, PyObject *values) noexcept {
    if (values == Py_None) return err_none_not_iterable();
    // Native callers are trusted to pass a list, but a wrong type must not
    // be read as one.
    if (!is_exact_list(values)) return err_arg_type("values", "list", values);
    Ref list = Ref::borrow(values);
    const bool own = values == self->values;
    const Py_ssize_t start_size = PyList_GET_SIZE(values);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()) && (!own || i < start_size); ++i) {
        PyObject *item = PyList_GET_ITEM(list.get(), i);
        if (item == Py_None) continue;
        if (!is_exact_tuple(item)) return err_expected("tuple", item);
        if (self->values == Py_None || !self->values) return err_none_no_attribute("append");
        if (PyList_Append(self->values, item) < 0) return -1;
    }
    return 0;
}

namespace {

int add_many_body(HeadersObject *self, PyObject *values) noexcept {
    PyObject *me = reinterpret_cast<PyObject *>(self);
    int r = isinstance_of_global(values, C.mutable_sequence);
    if (r < 0) return -1;
    if (r) {
        Ref it = iter_bounded(values, me);
        if (!it) return -1;
        while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
            if (add_spread(me, item.get()) < 0) return -1;
        }
        return PyErr_Occurred() ? -1 : 0;
    }
    r = isinstance_of_global(values, C.mapping);
    if (r < 0) return -1;
    if (!r) return err_add_many_kind();
    if (is_exact_dict(values)) {
        return walk_dict(values, [&](PyObject *k, PyObject *v) noexcept { return headers_add(self, k, v, 0); });
    }
    Ref pairs = Ref::steal(PyObject_CallMethodNoArgs(values, C.items));
    if (!pairs) return -1;
    Ref it = Ref::steal(PyObject_GetIter(pairs.get()));
    if (!it) return -1;
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        Ref k, v;
        if (unpack_pair(pair.get(), k, v) < 0 || headers_add(self, k.get(), v.get(), 0) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

PyObject *class_name_of(PyObject *instance) noexcept {
    Ref cls = Ref::steal(PyObject_GetAttr(instance, C.class_attr));
    if (!cls) return nullptr;
    return PyObject_GetAttr(cls.get(), C.name_attr);
}

// 1 added, 0 not a kind it takes (NotImplemented), -1 error.
int add_to_instance(PyObject *instance, PyObject *other) noexcept {
    if (is_headers(other)) {
        // A collection sharing the list being appended to (itself, or one
        // built on the same list) is walked over a snapshot, as in
        // iter_bounded.
        const bool same_list = other == instance ||
                               (is_headers(instance) && as_headers(other)->values == as_headers(instance)->values);
        Ref it = same_list ? Ref::steal(PySequence_List(other)) : Ref::borrow(other);
        if (!it) return -1;
        it = Ref::steal(PyObject_GetIter(it.get()));
        if (!it) return -1;
        while (Ref entry = Ref::steal(PyIter_Next(it.get()))) {
            if (add_spread(instance, entry.get()) < 0) return -1;
        }
        return PyErr_Occurred() ? -1 : 1;
    }
    if (is_header(other)) {
        Ref name = Ref::steal(PyObject_GetAttr(other, C.name));
        if (!name) return -1;
        Ref value = Ref::steal(PyObject_GetAttr(other, C.value));
        if (!value) return -1;
        PyObject *items[2] = {name.get(), value.get()};
        return add_items(instance, items, 2) < 0 ? -1 : 1;
    }
    if (PyTuple_Check(other)) {
        const Py_ssize_t n = PyObject_Length(other);
        if (n < 0) return -1;
        if (n != 2) return err_invalid_tuple(other);
        Ref a = Ref::steal(PySequence_GetItem(other, 0));
        if (!a) return -1;
        Ref b = Ref::steal(PySequence_GetItem(other, 1));
        if (!b) return -1;
        PyObject *items[2] = {a.get(), b.get()};
        return add_items(instance, items, 2) < 0 ? -1 : 1;
    }
    const int r = isinstance_of_global(other, C.mutable_sequence);
    if (r <= 0) return r;
    Ref it = iter_bounded(other, instance);
    if (!it) return -1;
    while (Ref element = Ref::steal(PyIter_Next(it.get()))) {
        Py_ssize_t n = -1;
        if (PyTuple_Check(element.get())) {
            n = PyObject_Length(element.get());
            if (n < 0) return -1;
        }
        if (n != 2) {
            Ref cls_name = Ref::steal(class_name_of(instance));
            if (!cls_name) return -1;
            return err_invalid_element(element.get(), cls_name.get());
        }
        Ref a = Ref::steal(PySequence_GetItem(element.get(), 0));
        if (!a) return -1;
        Ref b = Ref::steal(PySequence_GetItem(element.get(), 1));
        if (!b) return -1;
        PyObject *items[2] = {a.get(), b.get()};
        if (add_items(instance, items, 2) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 1;
}

PyObject *add_to_instance_result(PyObject *instance, PyObject *other) noexcept {
    const int r = add_to_instance(instance, other);
    if (r < 0) return nullptr;
    return Py_NewRef(r ? instance : Py_NotImplemented);
}

// self._add_to_instance(target, other), looked up as an attribute except on
// a direct instance, whose class cannot be changed.
PyObject *call_add_to_instance(PyObject *self, PyObject *target, PyObject *other) noexcept {
    if (Py_TYPE(self) == &HeadersType) return add_to_instance_result(target, other);
    Ref fn = Ref::steal(PyObject_GetAttr(self, C.add_to_instance));
    if (!fn) return nullptr;
    PyObject *argv[2] = {target, other};
    return PyObject_Vectorcall(fn.get(), argv, 2, nullptr);
}

// __add__ and __radd__: the clone comes first whichever side self is on.
PyObject *add_operator(PyObject *self, PyObject *other) noexcept {
    Ref copy = Ref::steal(headers_clone(as_headers(self), 0));
    if (!copy) return nullptr;
    return call_add_to_instance(self, copy.get(), other);
}

bool takes_part(PyObject *o, PyObject *peer) noexcept {
    PyTypeObject *tp = Py_TYPE(o);
    return tp == Py_TYPE(peer) || (tp->tp_as_number && tp->tp_as_number->nb_add == headers_nb_add) ||
           PyType_IsSubtype(tp, &HeadersType);
}

const Signature sig_update{"update", {&C.values}, 1, 1};
const Signature sig_add_many{"add_many", {&C.values}, 1, 1};
const Signature sig_add_to_instance{"_add_to_instance", {&C.instance, &C.other}, 2, 2};

}  // namespace

PyObject *headers_py_update(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    PyObject *values;
    if (bind(sig_update, args, nargs, kwnames, &values) < 0) return nullptr;
    if (values != Py_None && !is_exact_dict(values)) return err_arg_type("values", "dict", values);
    if (values == Py_None) return err_none_no_attribute("items");
    const int rc = walk_dict(values, [&](PyObject *k, PyObject *v) noexcept { return PyObject_SetItem(self, k, v); });
    if (rc < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *headers_py_add_many(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    PyObject *values;
    if (bind(sig_add_many, args, nargs, kwnames, &values) < 0) return nullptr;
    if (add_many_body(as_headers(self), values) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *headers_py_add_to_instance(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    PyObject *a[2];
    if (bind(sig_add_to_instance, args, nargs, kwnames, a) < 0) return nullptr;
    return add_to_instance_result(a[0], a[1]);
}

PyObject *headers_nb_add(PyObject *left, PyObject *right) noexcept {
    if (takes_part(left, right)) {
        PyObject *result = add_operator(left, right);
        if (result != Py_NotImplemented) return result;
        Py_DECREF(result);
    }
    if (takes_part(right, left)) return add_operator(right, left);
    Py_RETURN_NOTIMPLEMENTED;
}

PyObject *headers_nb_inplace_add(PyObject *self, PyObject *other) noexcept {
    return call_add_to_instance(self, self, other);
}

}  // namespace velmora
