// The read side of Headers: case-insensitive lookups in list order.
#include "args.h"
#include "headers.h"
#include "names.h"
#include "small.h"

#include <cstring>

namespace velmora {

namespace {

// Walks the tuple entries of the collection with the lowered key and calls
// on_match(entry, value) for each matching one: it returns -1 to fail, 0 to
// go on, 1 to stop. The walk holds the list itself and re-reads its size
// every step. Only a str-subclass name can run Python code while it is
// matched (its own lower()), so only then is the entry held as well: that
// code may empty the list. Conversions hold what they convert themselves.
template <typename OnMatch>
[[nodiscard]] int scan_tuples(HeadersObject *self, const LoweredKey &key, OnMatch &&on_match) noexcept {
    Ref list = walk_list(self);
    if (!list) return -1;
    return with_matcher(key, [&](const auto &matches) noexcept -> int {
        for (Py_ssize_t i = 0;; ++i) {
            int m;
            i = scan_bytes_names(list.get(), i, 2, matches, m);
            if (i >= PyList_GET_SIZE(list.get())) return 0;
            PyObject *entry = PyList_GET_ITEM(list.get(), i);
            Ref hold;
            if (!m) {
                PyObject *name, *value;
                if (VLM_UNLIKELY(read_tuple_entry(entry, &name, &value) < 0)) return -1;
                if (name_may_run_code(name)) hold = Ref::borrow(entry);
                m = matches(name);
            }
            if (VLM_UNLIKELY(m < 0)) return -1;
            if (m) {
                const int r = on_match(entry, PyTuple_GET_ITEM(entry, 1));
                if (r != 0) return r;
            }
        }
    });
}

// Collects converted values, owning them; the tuple is built once at the end.
class ValueCollector {
public:
    ValueCollector() = default;
    ValueCollector(const ValueCollector &) = delete;
    ValueCollector &operator=(const ValueCollector &) = delete;
    ~ValueCollector() {
        for (std::size_t i = 0; i < items_.size(); ++i) Py_DECREF(items_[i]);
    }

    [[nodiscard]] int add_steal(PyObject *item) noexcept {
        if (!item) return -1;
        if (VLM_LIKELY(items_.push(item) == 0)) return 0;
        Py_DECREF(item);
        return -1;
    }

    PyObject *to_tuple() noexcept {
        const auto n = static_cast<Py_ssize_t>(items_.size());
        PyObject *tuple = PyTuple_New(n);
        if (!tuple) return nullptr;
        std::memcpy(&PyTuple_GET_ITEM(tuple, 0), items_.data(), sizeof(PyObject *) * items_.size());
        items_.clear();
        return tuple;
    }

private:
    SmallVector<PyObject *, 8> items_;
};

}  // namespace

// Fast-method bodies.

PyObject *get_body(HeadersObject *self, PyObject *name) noexcept {
    ValueCollector results;
    LoweredKey key;
    if (lower_key(name, key) < 0) return nullptr;
    const bool as_bytes = key.is_bytes;
    const int rc = scan_tuples(self, key, [&](PyObject *, PyObject *value) noexcept -> int {
        return results.add_steal(convert_header_value(value, as_bytes));
    });
    if (rc < 0) return nullptr;
    return results.to_tuple();
}

PyObject *get_tuples_body(HeadersObject *self, PyObject *name) noexcept {
    Ref results = Ref::steal(PyList_New(0));
    if (!results) return nullptr;
    LoweredKey key;
    if (lower_key(name, key) < 0) return nullptr;
    const int rc = scan_tuples(self, key, [&](PyObject *entry, PyObject *) noexcept -> int {
        return PyList_Append(results.get(), entry);
    });
    if (rc < 0) return nullptr;
    return results.release();
}

// get_first over plain bytes-named pairs for a key that is its own
// canonical form (a remembered bytes key, or an interned str of the known
// table), answered when the value is bytes or None: then nothing can run
// Python code, so no reference is taken. Done with the answer in `out`, or
// falls back to the general walk (a str-subclass name whose lower() changes
// the list, and values of other kinds, take that way).
template <typename Matcher>
inline Outcome get_first_plain(PyObject *list, const Matcher &matches, bool as_bytes, PyObject *&out) noexcept {
    int m;
    const Py_ssize_t i = scan_bytes_names(list, 0, 2, matches, m);
    if (i >= PyList_GET_SIZE(list)) {
        out = Py_NewRef(Py_None);
        return Outcome::done;
    }
    if (m != 1) return Outcome::fallback;
    PyObject *value = PyTuple_GET_ITEM(PyList_GET_ITEM(list, i), 1);
    if (value != Py_None && !is_exact_bytes(value)) return Outcome::fallback;
    out = convert_header_value(value, as_bytes);
    return out ? Outcome::done : Outcome::error;
}

namespace {

// Out of line, so that the plain path needs no frame for the general one.
[[gnu::noinline]] PyObject *get_first_general(HeadersObject *self, PyObject *key_obj) noexcept {
    LoweredKey key;
    if (lower_key(key_obj, key) < 0) return nullptr;
    Ref found;
    const bool as_bytes = key.is_bytes;
    const int rc = scan_tuples(self, key, [&](PyObject *, PyObject *value) noexcept -> int {
        found = Ref::steal(convert_header_value(value, as_bytes));
        return found ? 1 : -1;
    });
    if (rc < 0) return nullptr;
    if (rc == 0) return Py_NewRef(Py_None);
    return found.release();
}

}  // namespace

PyObject *get_first_body(HeadersObject *self, PyObject *key_obj) noexcept {
    PyObject *list = self->values;
    PyObject *out = nullptr;
    Outcome r = Outcome::fallback;
    if (list && list != Py_None) {
        if (is_exact_bytes(key_obj)) {
            if (PyObject *low = canonical_bytes_no_copy(key_obj))
                r = get_first_plain(list, BytesKeyMatcher(low), true, out);
        } else if (is_known_str_key(key_obj) && PyUnicode_KIND(key_obj) == PyUnicode_1BYTE_KIND) {
            r = get_first_plain(list, StrKeyMatcher(key_obj), false, out);
        }
    }
    if (r != Outcome::fallback) return out;
    return get_first_general(self, key_obj);
}

int contains_body(HeadersObject *self, PyObject *key_obj) noexcept {
    LoweredKey key;
    if (lower_key(key_obj, key) < 0) return -1;
    Ref list = walk_list(self);
    if (!list) return -1;
    return with_matcher(key, [&](const auto &matches) noexcept -> int {
        for (Py_ssize_t i = 0;; ++i) {
            int m;
            i = scan_bytes_names(list.get(), i, 1, matches, m);
            if (m != 0) return m;
            if (i >= PyList_GET_SIZE(list.get())) return 0;
            PyObject *entry = PyList_GET_ITEM(list.get(), i);
            PyObject *name = exact_entry_name(entry, 1);
            if (name && !name_may_run_code(name)) {
                m = matches(name);
            } else {
                // Indexing and matching may run Python code that empties the list.
                Ref held = Ref::borrow(entry);
                Ref first = Ref::steal(entry_first_item(held.get()));
                if (!first) return -1;
                m = matches(first.get());
            }
            if (m != 0) return m;
        }
    });
}

PyObject *get_single_body(HeadersObject *self, PyObject *key) noexcept {
    Ref results = Ref::steal(headers_get(self, key, 0));
    if (!results) return nullptr;
    if (results.get() == Py_None) return err_none_no_len();
    const Py_ssize_t n = PyTuple_GET_SIZE(results.get());
    if (n > 1) return err_more_than_one();
    if (n == 1) return Py_NewRef(PyTuple_GET_ITEM(results.get(), 0));
    return err_not_one();
}

// Type slots.

PyObject *headers_mp_subscript(PyObject *self, PyObject *item) noexcept {
    return headers_get(as_headers(self), item, 0);
}

PyObject *headers_sq_item(PyObject *self, Py_ssize_t i) noexcept {
    Ref index = Ref::steal(PyLong_FromSsize_t(i));
    if (!index) return nullptr;
    return Py_TYPE(self)->tp_as_mapping->mp_subscript(self, index.get());
}

int headers_sq_contains(PyObject *self, PyObject *key) noexcept { return headers_contains(as_headers(self), key, 0); }

}  // namespace velmora
