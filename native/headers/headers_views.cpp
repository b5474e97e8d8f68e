// Walks over a collection: keys(), items() and iteration (the generator
// objects the last two hand out are in walk.cpp).
#include "args.h"
#include "headers.h"
#include "small.h"
#include "walk.h"

#include <cstdint>
#include <cstring>

namespace velmora {

namespace {

// The text of an exactly bytes or exactly str name, as keys() compares it.
struct NameText {
    const char *data;
    Py_ssize_t nbytes;
    std::uint64_t meta;  // length and kind (0 bytes, else bytes per character)

    explicit NameText(PyObject *name) noexcept {
        int kind = 0;
        if (is_exact_bytes(name)) {
            data = PyBytes_AS_STRING(name);
            nbytes = PyBytes_GET_SIZE(name);
        } else {
            kind = PyUnicode_KIND(name);
            data = static_cast<const char *>(PyUnicode_DATA(name));
            nbytes = PyUnicode_GET_LENGTH(name) * kind;
        }
        meta = static_cast<std::uint64_t>(nbytes) * 8 + static_cast<std::uint64_t>(kind);
    }

    bool same(std::uint64_t other_meta, const char *other) const noexcept {
        return meta == other_meta && (data == other || std::memcmp(data, other, static_cast<size_t>(nbytes)) == 0);
    }

    // One of 256 buckets from length, kind and the two end bytes (a str's
    // and a bytes' buffers both end in a terminating zero, so an empty name
    // reads that).
    unsigned bucket() const noexcept {
        const std::uint64_t ends = static_cast<unsigned char>(data[0]) |
                                   static_cast<std::uint64_t>(static_cast<unsigned char>(data[nbytes ? nbytes - 1 : 0]))
                                       << 8;
        return static_cast<unsigned>(((meta << 16 | ends) * 0x9e3779b97f4a7c15ULL) >> 56);
    }
};

// The distinct names keys() has collected, in order, while every name is
// exactly bytes or exactly str: comparing two such names runs no code and is
// content equality within one type (a bytes name never equals a str one), so
// membership here answers as a list membership test would. The first few
// are compared inline; past those, an open-addressing table probed with the
// interpreter's own keyed hash (cached on the name), so that chosen names
// cannot pile up in one chain. Names are borrowed: no code runs while the
// collection is in use, and the entries hold them.
class ExactNames {
public:
    // 0 (remembered, new or not) or -1 with an error.
    [[nodiscard]] int add(PyObject *name) noexcept {
        const NameText t(name);
        if (!table_.allocated()) {
            // A name whose bucket is empty has not been seen: most new names
            // skip the comparisons.
            const unsigned bucket = t.bucket();
            std::uint64_t &word = filter_[bucket >> 6];
            const std::uint64_t bit = std::uint64_t{1} << (bucket & 63);
            if (word & bit) {
                for (std::size_t i = 0; i < order_.size(); ++i)
                    if (t.same(meta_[i], data_[i])) return 0;
            }
            word |= bit;
            if (order_.size() < kSmall) {
                meta_[order_.size()] = t.meta;
                data_[order_.size()] = t.data;
                order_.push_inline(name);
                return 0;
            }
            if (rehash(OpenTable<Slot>::capacity_for(kSmall * 2)) < 0) return -1;
        }
        const Py_hash_t hash = PyObject_Hash(name);  // exact bytes or str: no code, no failure
        Slot &s = probe(t, hash);
        if (s.key) return 0;
        if (order_.push(name) < 0) return -1;
        s = {name, hash};
        if (order_.size() * 2 > table_.capacity()) return rehash(table_.capacity() * 2);
        return 0;
    }

    Py_ssize_t size() const noexcept { return static_cast<Py_ssize_t>(order_.size()); }
    PyObject *const *names() const noexcept { return order_.data(); }

private:
    struct Slot {
        PyObject *key;  // the name
        Py_hash_t hash;
    };

    Slot &probe(const NameText &t, Py_hash_t hash) const noexcept {
        return table_.probe(static_cast<size_t>(hash), [&](const Slot &s) noexcept {
            if (s.hash != hash) return false;
            const NameText o(s.key);
            return t.same(o.meta, o.data);
        });
    }

    // A table of `cap` slots (a power of two) holding every name so far.
    int rehash(size_t cap) noexcept {
        if (table_.allocate(cap) < 0) return -1;
        for (std::size_t i = 0; i < order_.size(); ++i) {
            PyObject *name = order_[i];
            const Py_hash_t hash = PyObject_Hash(name);
            probe(NameText(name), hash) = {name, hash};
        }
        return 0;
    }

    static constexpr std::size_t kSmall = 24;
    std::uint64_t filter_[4] = {};
    std::uint64_t meta_[kSmall];
    const char *data_[kSmall];
    SmallVector<PyObject *, kSmall> order_;
    OpenTable<Slot> table_;
};

// A new tuple or list of the names, each with a reference of its own.
PyObject *collect(PyObject *const *names, Py_ssize_t n, bool as_list) noexcept {
    PyObject *out = as_list ? PyList_New(n) : PyTuple_New(n);
    if (!out) return nullptr;
    PyObject **items = as_list ? reinterpret_cast<PyListObject *>(out)->ob_item : &PyTuple_GET_ITEM(out, 0);
    for (Py_ssize_t i = 0; i < n; ++i) items[i] = Py_NewRef(names[i]);
    return out;
}

}  // namespace

PyObject *keys_body(HeadersObject *self) noexcept {
    Ref list = walk_list(self);
    if (!list) return nullptr;
    Ref names;
    Py_ssize_t i = 0;
    {
        // Entries read borrowed: no code runs in this loop. Allocations only
        // schedule a collection, which the interpreter runs between bytecodes.
        ExactNames exact;
        for (; i < PyList_GET_SIZE(list.get()); ++i) {
            PyObject *name = exact_entry_name(PyList_GET_ITEM(list.get(), i), 1);
            if (!name || (!is_exact_bytes(name) && !is_exact_str(name))) break;
            if (exact.add(name) < 0) return nullptr;
        }
        const bool done = i == PyList_GET_SIZE(list.get());
        names = Ref::steal(collect(exact.names(), exact.size(), !done));
        if (!names || done) return names.release();
    }
    // From the first other entry or name on, the general test: it may run
    // code (indexing, __eq__), so the entry and name are held.
    for (; i < PyList_GET_SIZE(list.get()); ++i) {
        Ref entry = Ref::borrow(PyList_GET_ITEM(list.get(), i));
        Ref name = Ref::steal(entry_first_item(entry.get()));
        if (!name) return nullptr;
        const int seen = PySequence_Contains(names.get(), name.get());
        if (seen < 0) return nullptr;
        if (seen) continue;
        // Indexed again, as a plain `names.append(entry[0])` would.
        name = Ref::steal(entry_first_item(entry.get()));
        if (!name || PyList_Append(names.get(), name.get()) < 0) return nullptr;
    }
    return PyList_AsTuple(names.get());
}

PyObject *headers_py_items(PyObject *self, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    if (bind_none(method_rows[row_of("items")].name, nargs, kwnames) < 0) return nullptr;
    return walk_new(WalkKind::items, self);
}

PyObject *headers_tp_iter(PyObject *self) noexcept { return walk_new(WalkKind::headers_iter, self); }

}  // namespace velmora
