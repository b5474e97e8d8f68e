// Changing one name at a time: add, set, remove and the item protocols.
#include "args.h"
#include "headers.h"
#include "names.h"
#include "small.h"

#include <cstdint>
#include <cstring>

namespace velmora {

int add_body(HeadersObject *self, PyObject *name, PyObject *value) noexcept {
    if (!self->values || self->values == Py_None) return err_none_no_attribute("append");
    Ref canonical = Ref::steal(canonical_name(name));
    if (!canonical) return -1;
    Ref entry = Ref::steal(PyTuple_New(2));
    if (!entry) return -1;
    PyTuple_SET_ITEM(entry.get(), 0, canonical.release());
    PyTuple_SET_ITEM(entry.get(), 1, Py_NewRef(value));
    // Interning can run Python code (str() of a name, a replaced
    // sys.intern, the collector) that re-initialises the collection: a field
    // appended to the list held before would be a lost write.
    Ref list = Ref::borrow(self->values);
    if (!list || list.get() == Py_None) return err_none_no_attribute("append");
    return PyList_Append(list.get(), entry.get());
}

namespace {

int remove_matching(PyObject *list, const LoweredKey &key) noexcept;

// Positions of matched entries, then the entries taken out at them (a
// position is no longer needed once its entry is taken).
union Matched {
    Py_ssize_t index;
    PyObject *entry;
};
using MatchedEntries = SmallVector<Matched, 8>;

// Removal in one pass when it provably runs no Python code: every entry is
// an exact tuple whose name is not a str subclass. Then nothing can change
// the list between finding the matches and taking them out, and the list
// is compacted in place. Anything else falls back to the general path, and
// since nothing has been done yet, it starts from scratch.
Outcome remove_in_place(PyObject *list, const LoweredKey &key) noexcept {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    MatchedEntries matched;
    const Outcome scanned = with_matcher(key, [&](const auto &matches) noexcept -> Outcome {
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *entry = PyList_GET_ITEM(list, i);
            if (!is_exact_entry(entry, 1)) return Outcome::fallback;
            PyObject *name = PyTuple_GET_ITEM(entry, 0);
            int m;
            if (VLM_LIKELY(Py_IS_TYPE(name, &PyBytes_Type))) {
                m = matches.bytes_name(name);
            } else {
                if (name_may_run_code(name)) return Outcome::fallback;
                m = matches(name);
            }
            if (m < 0 || (m && matched.push({.index = i}) < 0)) return Outcome::error;
        }
        return Outcome::done;
    });
    if (scanned != Outcome::done || matched.size() == 0) return scanned;
    // Matched entries move into `matched` (which then owns them) and are
    // released only once the list is consistent again: releasing one can
    // run arbitrary code.
    PyObject **items = reinterpret_cast<PyListObject *>(list)->ob_item;
    Py_ssize_t kept = matched[0].index;
    std::size_t next = 0;
    for (Py_ssize_t i = matched[0].index; i < n; ++i) {
        if (next < matched.size() && matched[next].index == i) {
            matched[next++].entry = items[i];
        } else {
            items[kept++] = items[i];
        }
    }
    Py_SET_SIZE(list, kept);
    for (std::size_t k = 0; k < matched.size(); ++k) Py_DECREF(matched[k].entry);
    return Outcome::done;
}

}  // namespace

int remove_body(HeadersObject *self, PyObject *key_obj) noexcept {
    LoweredKey key;
    if (lower_key(key_obj, key) < 0) return -1;
    Ref list = walk_list(self);
    if (!list) return -1;
    const Outcome fast = remove_in_place(list.get(), key);
    if (fast != Outcome::fallback) return fast == Outcome::done ? 0 : -1;
    return remove_matching(list.get(), key);
}

namespace {

// Deletes from `list`, in one pass, the first occurrences (by identity) of
// the entries of `gone`, as many of each object as `gone` holds; entries no
// longer there are skipped. `gone` keeps every one of them alive, so taking
// them out releases nothing and runs no code while the list is rewritten.
int take_out(PyObject *list, PyObject *gone) noexcept {
    const Py_ssize_t m = PyList_GET_SIZE(gone);
    if (m == 0) return 0;
    // How many of each object are still to go, by address.
    struct Slot {
        PyObject *key;
        Py_ssize_t count;
    };
    OpenTable<Slot> table;
    if (table.allocate(OpenTable<Slot>::capacity_for(static_cast<std::size_t>(m))) < 0) return -1;
    auto slot_of = [&](PyObject *o) noexcept -> Slot & {
        const std::size_t hash = static_cast<std::size_t>(
            (reinterpret_cast<std::uintptr_t>(o) >> 4) * 0x9e3779b97f4a7c15ULL >> 20);
        return table.probe(hash, [o](const Slot &s) noexcept { return s.key == o; });
    };
    for (Py_ssize_t j = 0; j < m; ++j) {
        Slot &s = slot_of(PyList_GET_ITEM(gone, j));
        s.key = PyList_GET_ITEM(gone, j);
        ++s.count;
    }
    PyObject **items = reinterpret_cast<PyListObject *>(list)->ob_item;
    const Py_ssize_t n = PyList_GET_SIZE(list);
    Py_ssize_t kept = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = items[i];
        Slot &s = slot_of(item);
        if (s.count > 0) {
            --s.count;
            VLM_ASSERT(Py_REFCNT(item) > 1);
            Py_DECREF(item);
        } else {
            items[kept++] = item;
        }
    }
    Py_SET_SIZE(list, kept);
    return 0;
}

// The general removal: the first pass may run Python code (a str subclass's
// lower()), so it collects the matching entries themselves and the second
// pass finds each again.
int remove_matching(PyObject *list_obj, const LoweredKey &key) noexcept {
    Ref to_remove = Ref::steal(PyList_New(0));
    if (!to_remove) return -1;
    Ref list = Ref::borrow(list_obj);
    const int scanned = with_matcher(key, [&](const auto &matches) noexcept -> int {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
            PyObject *entry = PyList_GET_ITEM(list.get(), i);
            PyObject *name;
            if (read_tuple_entry(entry, &name, nullptr) < 0) return -1;
            Ref hold;
            if (VLM_UNLIKELY(name_may_run_code(name))) hold = Ref::borrow(entry);
            const int m = matches(name);
            if (m < 0) return -1;
            if (m && PyList_Append(to_remove.get(), entry) < 0) return -1;
        }
        return 0;
    });
    if (scanned < 0) return -1;
    // Deleting by identity removes exactly the entries that matched; deleting
    // by equality could take an earlier entry that is equal but did not match
    // (a bytes-subclass name equal to a matching bytes name).
    return take_out(list.get(), to_remove.get());
}

// set() on a direct instance, whose contains, remove and add cannot be
// overridden, with a key whose lowering runs no Python code: the key is
// lowered once and the presence test is the removal's own scan. Falls back,
// having done nothing, when the general steps must run.
Outcome set_in_place(HeadersObject *self, PyObject *name, PyObject *value) noexcept {
    if (Py_TYPE(self) != &HeadersType || !(is_exact_bytes(name) || (is_exact_str(name) && interning_is_pure())))
        return Outcome::fallback;
    if (!self->values || self->values == Py_None) return Outcome::fallback;
    Ref held = Ref::borrow(self->values);
    LoweredKey key;
    if (lower_key(name, key) < 0) return Outcome::error;
    const Outcome removed = remove_in_place(held.get(), key);
    if (removed != Outcome::done) return removed;
    // The lowered key is the canonical name add() would store.
    Ref entry = Ref::steal(PyTuple_Pack(2, key.is_bytes ? key.low_b.get() : key.low_s.get(), value));
    if (!entry) return Outcome::error;
    // Releasing the removed entries (and the allocation above, through the
    // collector) can run code that gives the collection a new list: the
    // field goes where add() would put it now, not into the list walked.
    Ref list_now = Ref::borrow(self->values);
    if (!list_now || list_now.get() == Py_None) {
        (void)err_none_no_attribute("append");
        return Outcome::error;
    }
    return PyList_Append(list_now.get(), entry.get()) < 0 ? Outcome::error : Outcome::done;
}

}  // namespace

int set_body(HeadersObject *self, PyObject *name, PyObject *value) noexcept {
    const Outcome fast = set_in_place(self, name, value);
    if (fast != Outcome::fallback) return fast == Outcome::done ? 0 : -1;
    const int present = headers_contains(self, name, 0);
    if (present < 0) return -1;
    if (present && headers_remove(self, name, 0) < 0) return -1;
    return headers_add(self, name, value, 0);
}

// Type slots.

int headers_mp_ass_subscript(PyObject *self, PyObject *key, PyObject *value) noexcept {
    if (value == nullptr) return headers_remove(as_headers(self), key, 0);
    return headers_set(as_headers(self), key, value, 0);
}

int headers_sq_ass_item(PyObject *self, Py_ssize_t i, PyObject *value) noexcept {
    Ref index = Ref::steal(PyLong_FromSsize_t(i));
    if (!index) return -1;
    return Py_TYPE(self)->tp_as_mapping->mp_ass_subscript(self, index.get(), value);
}

}  // namespace velmora
