// Bringing many entries in at once: merge, update, add_many,
// _add_to_instance and the +, reflected + and += operators built on it.
#include "args.h"
#include "headers.h"
#include "names.h"
#include "small.h"

namespace velmora {

namespace {

// instance.add(*items). A direct Headers instance cannot have its add
// replaced (static type, no instance dict), so the lookup is skipped there.
int add_items(PyObject *instance, PyObject *const *items, Py_ssize_t n) noexcept {
    if (Py_TYPE(instance) == &HeadersType) {
        if (n != 2) return err_arg_count("add", "exactly", 2, n);
        return headers_add(as_headers(instance), items[0], items[1], 1);
    }
    Ref add = Ref::steal(PyObject_GetAttr(instance, method_name<row_of("add")>()));
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

Outcome added(int rc) noexcept { return rc < 0 ? Outcome::error : Outcome::done; }

// instance.add(other[0], other[1]) for a tuple of two items (subclasses too:
// their length and items are asked for as Python would).
int add_two_items(PyObject *instance, PyObject *pair) noexcept {
    Ref a = Ref::steal(PySequence_GetItem(pair, 0));
    if (!a) return -1;
    Ref b = Ref::steal(PySequence_GetItem(pair, 1));
    if (!b) return -1;
    PyObject *items[2] = {a.get(), b.get()};
    return add_items(instance, items, 2);
}

int add_headers(PyObject *instance, PyObject *other) noexcept {
    // A collection sharing the list being appended to (itself, or one built
    // on the same list) is walked over a snapshot, as in iter_bounded.
    const bool same_list = other == instance ||
                           (is_headers(instance) && as_headers(other)->values == as_headers(instance)->values);
    Ref it = same_list ? Ref::steal(PySequence_List(other)) : Ref::borrow(other);
    if (!it) return -1;
    it = Ref::steal(PyObject_GetIter(it.get()));
    if (!it) return -1;
    while (Ref entry = Ref::steal(PyIter_Next(it.get()))) {
        if (add_spread(instance, entry.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

int add_header(PyObject *instance, PyObject *other) noexcept {
    Ref name = Ref::steal(PyObject_GetAttr(other, C.name));
    if (!name) return -1;
    Ref value = Ref::steal(PyObject_GetAttr(other, C.value));
    if (!value) return -1;
    PyObject *items[2] = {name.get(), value.get()};
    return add_items(instance, items, 2);
}

int add_pair(PyObject *instance, PyObject *other) noexcept {
    const Py_ssize_t n = PyObject_Length(other);
    if (n < 0) return -1;
    if (n != 2) return err_invalid_tuple(other);
    return add_two_items(instance, other);
}

int add_pairs(PyObject *instance, PyObject *other) noexcept {
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
        if (add_two_items(instance, element.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Falls back (to NotImplemented) for a kind it does not take.
Outcome add_to_instance(PyObject *instance, PyObject *other) noexcept {
    if (is_headers(other)) return added(add_headers(instance, other));
    if (is_header(other)) return added(add_header(instance, other));
    if (PyTuple_Check(other)) return added(add_pair(instance, other));
    const int r = isinstance_of_global(other, C.mutable_sequence);
    if (r < 0) return Outcome::error;
    if (r == 0) return Outcome::fallback;
    return added(add_pairs(instance, other));
}

PyObject *add_to_instance_result(PyObject *instance, PyObject *other) noexcept {
    switch (add_to_instance(instance, other)) {
        case Outcome::error: return nullptr;
        case Outcome::fallback: return Py_NewRef(Py_NotImplemented);
        case Outcome::done: break;
    }
    return Py_NewRef(instance);
}

// self._add_to_instance(target, other), looked up as an attribute except on
// a direct instance, whose class cannot be changed.
PyObject *call_add_to_instance(PyObject *self, PyObject *target, PyObject *other) noexcept {
    if (Py_TYPE(self) == &HeadersType) return add_to_instance_result(target, other);
    Ref fn = Ref::steal(PyObject_GetAttr(self, method_name<row_of("_add_to_instance")>()));
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
    [[nodiscard]] int reserve(Py_ssize_t count) noexcept {
        return table_.allocate(OpenTable<Slot>::capacity_for(static_cast<size_t>(count)));
    }

    // Records key number `index` under its lowercase text; a later key of
    // the same text takes the place over. Returns the place, for last_at().
    size_t put(const unsigned char *text, Py_ssize_t len, Py_hash_t hash, Py_ssize_t index) noexcept {
        Slot &s = probe(text, len, hash);
        s = {text, len, hash, index};
        return table_.place_of(s);
    }

    Py_ssize_t last_at(size_t place) const noexcept { return table_.at(place).last; }

    // The last key whose text is the name's once lowered (`hash` is that of
    // the lowered text), or -1.
    Py_ssize_t find(const unsigned char *name, Py_ssize_t len, Py_hash_t hash) const noexcept {
        const Slot &s = probe(name, len, hash);
        return s.key ? s.last : -1;
    }

private:
    struct Slot {
        const unsigned char *key;  // the lowercase text
        Py_ssize_t len;
        Py_hash_t hash;
        Py_ssize_t last;
    };

    Slot &probe(const unsigned char *p, Py_ssize_t n, Py_hash_t hash) const noexcept {
        return table_.probe(static_cast<size_t>(hash), [&](const Slot &s) noexcept {
            return s.hash == hash && s.len == n && detail::lowered_equals(p, s.key, n);
        });
    }

    OpenTable<Slot> table_;
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

// Releasing it can run no code, whoever else holds it: its type has no
// finalizer and holds nothing. A reference count says nothing here, since
// two entries that both go can share one value.
bool releases_quietly(PyObject *o) noexcept {
    return o == Py_None || is_exact_bytes(o) || is_exact_str(o) || PyLong_CheckExact(o) || PyFloat_CheckExact(o) ||
           PyBool_Check(o);
}

// The text of an exactly bytes name, or of an exactly str one of one byte
// per character.
inline const unsigned char *text_of(PyObject *name, Py_ssize_t &len) noexcept {
    if (is_exact_bytes(name)) {
        len = PyBytes_GET_SIZE(name);
        return reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(name));
    }
    len = PyUnicode_GET_LENGTH(name);
    return PyUnicode_1BYTE_DATA(name);
}

// update() on a direct instance (item assignment is then set(), nothing
// overridable) in one pass over the list, when no step can run Python code:
// every key exactly bytes, or exactly str of one byte per character while
// interning is untouched; every stored entry an exact tuple named by exact
// bytes, ASCII exact str or an object no key can match; and every entry to
// go released without code. The assignments in turn would leave the entries
// no key matches in their order, then one new entry per key in dict order,
// less those a later key of the same name replaced: that is built directly.
// Each step falls back, having changed nothing, when a condition fails;
// only the last one touches the list.
class DictUpdate {
public:
    DictUpdate(HeadersObject *self, PyObject *dict) noexcept : self_(self), dict_(dict) {}

    Outcome run() noexcept {
        Outcome o = index_keys();
        if (o == Outcome::done) o = make_fresh();
        if (o == Outcome::done) o = mark_going();
        if (o == Outcome::done) o = splice();
        return o;
    }

private:
    // The canonical name of each key, recorded by its text.
    Outcome index_keys() noexcept {
        const Py_ssize_t nkeys = PyDict_GET_SIZE(dict_);
        canonical_ = Ref::steal(PyList_New(nkeys));
        if (!canonical_ || places_.resize(static_cast<size_t>(nkeys)) < 0 || texts_.reserve(nkeys) < 0)
            return Outcome::error;
        Py_ssize_t pos = 0, i = 0;
        PyObject *k, *v;
        while (PyDict_Next(dict_, &pos, &k, &v)) {
            PyObject *name;
            const Outcome o = canonical_key(k, name);
            if (o != Outcome::done) return o;
            PyList_SET_ITEM(canonical_.get(), i, name);
            if (!is_exact_bytes(name) && PyUnicode_KIND(name) != PyUnicode_1BYTE_KIND) return Outcome::fallback;
            const Py_hash_t hash = PyObject_Hash(name);  // exact bytes or str: runs no code
            if (hash == -1) return Outcome::error;
            Py_ssize_t len;
            const unsigned char *text = text_of(name, len);
            places_[static_cast<size_t>(i)] = texts_.put(text, len, hash, i);
            ++i;
        }
        return Outcome::done;
    }

    static Outcome canonical_key(PyObject *k, PyObject *&name) noexcept {
        if (is_exact_bytes(k)) {
            LoweredKey key;
            if (lower_bytes_key(k, key) < 0) return Outcome::error;
            name = key.low_b.release();
            return Outcome::done;
        }
        if (!is_exact_str(k) || !interning_is_pure()) return Outcome::fallback;
        name = intern_header_name_str(k, 0);
        return name ? Outcome::done : Outcome::error;
    }

    // The new entries, one per key that no later key of the same name
    // replaces. They are made before the stored entries are read: making an
    // object the collector tracks can start a collection, and so finalizers
    // that change the list.
    Outcome make_fresh() noexcept {
        fresh_ = Ref::steal(PyList_New(0));
        if (!fresh_) return Outcome::error;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        for (Py_ssize_t i = 0; PyDict_Next(dict_, &pos, &k, &v); ++i) {
            if (texts_.last_at(places_[static_cast<size_t>(i)]) != i) continue;
            Ref entry = Ref::steal(PyTuple_Pack(2, PyList_GET_ITEM(canonical_.get(), i), v));
            if (!entry || PyList_Append(fresh_.get(), entry.get()) < 0) return Outcome::error;
        }
        return Outcome::done;
    }

    // The stored entries a key replaces, in list order. From here to the end
    // of splice() nothing allocates an object the collector tracks, so no
    // code runs and the list stays as read.
    Outcome mark_going() noexcept {
        list_ = self_->values;
        if (!list_ || !is_exact_list(list_)) return Outcome::fallback;
        const Py_ssize_t n = PyList_GET_SIZE(list_);
        for (Py_ssize_t j = 0; j < n; ++j) {
            PyObject *entry = PyList_GET_ITEM(list_, j);
            bool goes = false;
            const Outcome o = entry_goes(entry, goes);
            if (o != Outcome::done) return o;
            if (goes && going_.push(entry) < 0) return Outcome::error;
        }
        return Outcome::done;
    }

    Outcome entry_goes(PyObject *entry, bool &goes) noexcept {
        PyObject *stored = exact_entry_name(entry, 1);
        if (!stored) return Outcome::fallback;
        if (is_str(stored) && (!is_exact_str(stored) || !PyUnicode_IS_ASCII(stored))) return Outcome::fallback;
        if (!is_exact_bytes(stored) && !is_str(stored)) return Outcome::done;  // matches no key and runs no code
        Py_ssize_t len;
        const unsigned char *data = text_of(stored, len);
        const Py_hash_t hash = lowered_hash(stored, data, len);  // a bytes object at most: not tracked
        if (hash == -1) return Outcome::error;
        if (texts_.find(data, len, hash) < 0) return Outcome::done;
        // Two replaced entries may share a value, so its reference count says
        // nothing of whether this release is its last: only its type does.
        for (Py_ssize_t t = 1; t < PyTuple_GET_SIZE(entry); ++t)
            if (!releases_quietly(PyTuple_GET_ITEM(entry, t))) return Outcome::fallback;
        goes = true;
        return Outcome::done;
    }

    // The list rewritten; the replaced entries, whose references it held,
    // are released once it is consistent again, and quietly.
    Outcome splice() noexcept {
        PyObject **items = reinterpret_cast<PyListObject *>(list_)->ob_item;
        const Py_ssize_t n = PyList_GET_SIZE(list_);
        const std::size_t gone = going_.size();
        Py_ssize_t kept = 0;
        std::size_t next = 0;
        for (Py_ssize_t j = 0; j < n; ++j) {
            if (next < gone && going_[next] == items[j])
                ++next;
            else
                items[kept++] = items[j];
        }
        Py_SET_SIZE(list_, kept);
        Outcome o = Outcome::done;
        for (Py_ssize_t j = 0; o == Outcome::done && j < PyList_GET_SIZE(fresh_.get()); ++j)
            if (PyList_Append(list_, PyList_GET_ITEM(fresh_.get(), j)) < 0) o = Outcome::error;
        for (std::size_t j = 0; j < gone; ++j) Py_DECREF(going_[j]);
        return o;
    }

    HeadersObject *self_;
    PyObject *dict_;
    PyObject *list_ = nullptr;  // self_->values as mark_going() read it
    Ref canonical_;             // per key its canonical name
    KeyTexts texts_;
    SmallVector<size_t, 16> places_;     // per key its place in texts_
    SmallVector<PyObject *, 16> going_;  // the replaced entries, borrowed until splice()
    Ref fresh_;
};

Outcome update_in_place(HeadersObject *self, PyObject *dict) noexcept {
    if (Py_TYPE(self) != &HeadersType || !self->values || !is_exact_list(self->values) || PyDict_GET_SIZE(dict) == 0)
        return Outcome::fallback;
    return DictUpdate(self, dict).run();
}

}  // namespace

PyObject *headers_py_update(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    PyObject *values;
    if (bind(detail::signature<row_of("update")>, args, nargs, kwnames, &values) < 0) return nullptr;
    if (values != Py_None && !is_exact_dict(values)) return err_arg_type("values", "dict", values);
    if (values == Py_None) return err_none_no_attribute("items");
    const Outcome batched = update_in_place(as_headers(self), values);
    if (batched != Outcome::fallback) return batched == Outcome::done ? Py_NewRef(Py_None) : nullptr;
    const int rc = walk_dict(values, [&](PyObject *k, PyObject *v) noexcept { return PyObject_SetItem(self, k, v); });
    if (rc < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *headers_py_add_many(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    PyObject *values;
    if (bind(detail::signature<row_of("add_many")>, args, nargs, kwnames, &values) < 0) return nullptr;
    if (add_many_body(as_headers(self), values) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *headers_py_add_to_instance(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    PyObject *a[2];
    if (bind(detail::signature<row_of("_add_to_instance")>, args, nargs, kwnames, a) < 0) return nullptr;
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
