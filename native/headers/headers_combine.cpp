// Bringing many entries in at once: merge, update, add_many,
// _add_to_instance and the +, reflected + and += operators built on it.
#include "args.h"
#include "headers.h"
#include "names.h"

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
    // No code runs in this loop (type tests and appends only), so items are
    // read borrowed.
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

// The lowered names of update()'s keys, found by their text whatever the
// letter case of a stored name: one probe per stored entry instead of one
// scan of the list per key. Probes use the interpreter's own (keyed) hash of
// the lowercase text, so chosen names cannot make them collide; bytes and a
// one-byte-per-character str of the same text hash alike. Texts are
// borrowed from the canonical names, which the caller holds.
class KeyTexts {
public:
    KeyTexts() = default;
    KeyTexts(const KeyTexts &) = delete;
    KeyTexts &operator=(const KeyTexts &) = delete;
    ~KeyTexts() { PyMem_Free(slots_); }

    [[nodiscard]] int reserve(Py_ssize_t count) noexcept {
        size_t cap = 16;
        while (cap < static_cast<size_t>(count) * 2) cap *= 2;
        slots_ = static_cast<Slot *>(PyMem_Calloc(cap, sizeof(Slot)));
        if (!slots_) {
            PyErr_NoMemory();
            return -1;
        }
        mask_ = cap - 1;
        return 0;
    }

    // Records key number `index` under its lowercase text; a later key of
    // the same text takes the place over. Returns the place, for last_at().
    size_t put(const unsigned char *text, Py_ssize_t len, Py_hash_t hash, Py_ssize_t index) noexcept {
        Slot &s = probe(text, len, hash);
        s = {text, len, hash, index};
        return static_cast<size_t>(&s - slots_);
    }

    Py_ssize_t last_at(size_t place) const noexcept { return slots_[place].last; }

    // The last key whose text is the name's once lowered (`hash` is that of
    // the lowered text), or -1.
    Py_ssize_t find(const unsigned char *name, Py_ssize_t len, Py_hash_t hash) const noexcept {
        const Slot &s = probe(name, len, hash);
        return s.text ? s.last : -1;
    }

private:
    struct Slot {
        const unsigned char *text;
        Py_ssize_t len;
        Py_hash_t hash;
        Py_ssize_t last;
    };

    Slot &probe(const unsigned char *p, Py_ssize_t n, Py_hash_t hash) const noexcept {
        size_t perturb = static_cast<size_t>(hash);
        for (size_t i = perturb & mask_;; perturb >>= 5, i = (i * 5 + perturb + 1) & mask_) {
            Slot &s = slots_[i];
            if (!s.text || (s.hash == hash && s.len == n && detail::lowered_equals(p, s.text, n))) return s;
        }
    }

    Slot *slots_ = nullptr;
    size_t mask_ = 0;
};

// The hash of a stored name's lowercase text (as that of the exact bytes of
// it), or -1 with an error. Names stored by add() are lowercase already and
// keep their hash cached; others are hashed through a lowered copy.
Py_hash_t lowered_hash(PyObject *name, const unsigned char *data, Py_ssize_t len) noexcept {
    if (simd_is_ascii_lowercase(reinterpret_cast<const char *>(data), static_cast<size_t>(len)))
        return PyObject_Hash(name);
    Ref lowered = Ref::steal(PyBytes_FromStringAndSize(nullptr, len));
    if (!lowered) return -1;
    simd_lowercase_ascii(reinterpret_cast<const char *>(data), PyBytes_AS_STRING(lowered.get()),
                         static_cast<size_t>(len));
    return PyObject_Hash(lowered.get());
}

// Releasing it runs no code: a type without finalizer, or not the last reference.
bool releases_quietly(PyObject *o) noexcept {
    return Py_REFCNT(o) > 1 || o == Py_None || is_exact_bytes(o) || is_exact_str(o) || PyLong_CheckExact(o) ||
           PyFloat_CheckExact(o) || PyBool_Check(o);
}

// update() on a direct instance (item assignment is then set(), nothing
// overridable) in one pass over the list, when no step can run Python code:
// every key exactly bytes, or exactly str of one byte per character while
// interning is untouched; every stored entry an exact tuple named by exact
// bytes, ASCII exact str or an object no key can match; and every entry to
// go released without code. The assignments in turn would leave the entries
// no key matches in their order, then one new entry per key in dict order,
// less those a later key of the same name replaced: that is built directly.
// Returns 1, having changed nothing, when a condition fails.
int update_in_place(HeadersObject *self, PyObject *dict) noexcept {
    if (Py_TYPE(self) != &HeadersType || !self->values || !is_exact_list(self->values)) return 1;
    const Py_ssize_t nkeys = PyDict_GET_SIZE(dict);
    PyObject *list = self->values;
    const Py_ssize_t n = PyList_GET_SIZE(list);
    if (nkeys == 0) return 1;
    Ref canonical = Ref::steal(PyList_New(nkeys));
    if (!canonical) return -1;
    KeyTexts texts;
    // Per key its place in `texts`, then per stored entry whether it goes.
    size_t *places = PyMem_New(size_t, static_cast<size_t>(nkeys));
    char *goes = static_cast<char *>(PyMem_Malloc(static_cast<size_t>(n) + 1));
    struct Buffers {
        size_t *&places;
        char *&goes;
        ~Buffers() {
            PyMem_Free(places);
            PyMem_Free(goes);
        }
    } buffers{places, goes};
    if (!places || !goes) {
        PyErr_NoMemory();
        return -1;
    }
    if (texts.reserve(nkeys) < 0) return -1;
    Py_ssize_t pos = 0, i = 0;
    PyObject *k, *v;
    while (PyDict_Next(dict, &pos, &k, &v)) {
        PyObject *name;
        if (is_exact_bytes(k)) {
            LoweredKey key;
            if (lower_bytes_key(k, key) < 0) return -1;
            name = key.low_b.release();
        } else if (is_exact_str(k) && interning_is_pure()) {
            name = intern_header_name_str(k, 0);
            if (!name) return -1;
        } else {
            return 1;
        }
        PyList_SET_ITEM(canonical.get(), i, name);
        if (!is_exact_bytes(name) && PyUnicode_KIND(name) != PyUnicode_1BYTE_KIND) return 1;
        const Py_hash_t hash = PyObject_Hash(name);  // exact bytes or str: runs no code
        if (hash == -1) return -1;
        places[i] = is_exact_bytes(name) ? texts.put(reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(name)),
                                                     PyBytes_GET_SIZE(name), hash, i)
                                         : texts.put(PyUnicode_1BYTE_DATA(name), PyUnicode_GET_LENGTH(name), hash, i);
        ++i;
    }
    PyObject **items = reinterpret_cast<PyListObject *>(list)->ob_item;
    Py_ssize_t matched = 0;
    for (Py_ssize_t j = 0; j < n; ++j) {
        PyObject *entry = items[j];
        goes[j] = 0;
        if (!is_exact_tuple(entry) || PyTuple_GET_SIZE(entry) < 1) return 1;
        PyObject *stored = PyTuple_GET_ITEM(entry, 0);
        const unsigned char *data;
        Py_ssize_t len;
        if (is_exact_bytes(stored)) {
            data = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(stored));
            len = PyBytes_GET_SIZE(stored);
        } else if (is_str(stored)) {
            if (!is_exact_str(stored) || !PyUnicode_IS_ASCII(stored)) return 1;
            data = PyUnicode_1BYTE_DATA(stored);
            len = PyUnicode_GET_LENGTH(stored);
        } else {
            continue;  // matches no key and runs no code
        }
        const Py_hash_t hash = lowered_hash(stored, data, len);
        if (hash == -1) return -1;
        if (texts.find(data, len, hash) < 0) continue;
        if (Py_REFCNT(entry) == 1) {
            for (Py_ssize_t t = 1; t < PyTuple_GET_SIZE(entry); ++t)
                if (!releases_quietly(PyTuple_GET_ITEM(entry, t))) return 1;
        }
        goes[j] = 1;
        ++matched;
    }
    // Nothing has changed so far. The new entries are made before the list
    // is touched, and the old ones released once it is consistent again.
    Ref fresh = Ref::steal(PyList_New(0));
    if (!fresh) return -1;
    pos = 0;
    for (i = 0; PyDict_Next(dict, &pos, &k, &v); ++i) {
        if (texts.last_at(places[i]) != i) continue;  // a later key of this name replaces it
        Ref entry = Ref::steal(PyTuple_Pack(2, PyList_GET_ITEM(canonical.get(), i), v));
        if (!entry || PyList_Append(fresh.get(), entry.get()) < 0) return -1;
    }
    Ref going = Ref::steal(PyList_New(matched));  // takes over the list's references
    if (!going) return -1;
    Py_ssize_t kept = 0, gone = 0;
    for (Py_ssize_t j = 0; j < n; ++j) {
        if (goes[j])
            PyList_SET_ITEM(going.get(), gone++, items[j]);
        else
            items[kept++] = items[j];
    }
    Py_SET_SIZE(list, kept);
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(fresh.get()); ++j)
        if (PyList_Append(list, PyList_GET_ITEM(fresh.get(), j)) < 0) return -1;
    return 0;
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
    const int batched = update_in_place(as_headers(self), values);
    if (batched <= 0) return batched < 0 ? nullptr : Py_None;
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
