// The small containers the container's files share: a vector whose first
// few items live inline, one probe loop of open addressing and a table built
// on it, and the test that lets a scan read an entry's name without a call.
#pragma once

#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

#include "common.h"

namespace velmora {

// Whether an entry is exactly a tuple of at least `n` items, the shape
// every scan reads directly; anything else goes to the general readers.
inline bool is_exact_entry(PyObject *entry, Py_ssize_t n) noexcept {
    return is_exact_tuple(entry) && PyTuple_GET_SIZE(entry) >= n;
}

// The name of such an entry, borrowed, or null. Reading it runs no Python
// code.
inline PyObject *exact_entry_name(PyObject *entry, Py_ssize_t n) noexcept {
    return is_exact_entry(entry, n) ? PyTuple_GET_ITEM(entry, 0) : nullptr;
}

// A vector of trivially copyable items, the first N inline: the usual
// handful of matches or names needs no allocation. It owns nothing its
// items point to.
template <typename T, std::size_t N>
class SmallVector {
    static_assert(std::is_trivially_copyable_v<T> && N > 0);

public:
    SmallVector() = default;
    SmallVector(const SmallVector &) = delete;
    SmallVector &operator=(const SmallVector &) = delete;
    ~SmallVector() {
        if (data_ != inline_) PyMem_Free(data_);
    }

    // 0, or -1 with MemoryError.
    [[nodiscard]] int push(T item) noexcept {
        if (VLM_UNLIKELY(size_ == capacity_) && reserve(capacity_ * 2) < 0) return -1;
        data_[size_++] = item;
        return 0;
    }

    // For a caller that has just seen size() < N.
    void push_inline(T item) noexcept {
        VLM_ASSERT(size_ < N);
        data_[size_++] = item;
    }

    // `n` items whose values the caller writes before reading them.
    [[nodiscard]] int resize(std::size_t n) noexcept {
        if (n > capacity_ && reserve(n) < 0) return -1;
        size_ = n;
        return 0;
    }

    void clear() noexcept { size_ = 0; }
    std::size_t size() const noexcept { return size_; }
    T *data() noexcept { return data_; }
    const T *data() const noexcept { return data_; }
    T &operator[](std::size_t i) noexcept { return data_[i]; }
    const T &operator[](std::size_t i) const noexcept { return data_[i]; }

private:
    int reserve(std::size_t n) noexcept {
        T *bigger = PyMem_New(T, n);
        if (!bigger) {
            PyErr_NoMemory();
            return -1;
        }
        std::memcpy(static_cast<void *>(bigger), data_, sizeof(T) * size_);
        if (data_ != inline_) PyMem_Free(data_);
        data_ = bigger;
        capacity_ = n;
        return 0;
    }

    T inline_[N];
    T *data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = N;
};

// The one probe loop of open addressing, in the interpreter's own order
// (the perturbed sequence of its dicts), so that every bit of the hash takes
// part: the slot of `slots` (mask + 1 of them, a power of two) that `same`
// accepts on the probe path of `hash`, or the first free one there. A slot
// is free while its `key` is null; there must be a free one.
// Always inlined: left out of line, it changes the code GCC makes for the
// loops around its callers, and keys() alone costs 2 % more.
template <typename Slot, typename Same>
[[gnu::always_inline]] inline Slot &probe_slots(Slot *slots, std::size_t mask, std::size_t hash, Same &&same) noexcept {
    std::size_t perturb = hash;
    for (std::size_t i = perturb & mask;; perturb >>= 5, i = (i * 5 + perturb + 1) & mask) {
        Slot &s = slots[i];
        if (!s.key || same(s)) return s;
    }
}

// An open-addressing table of Slot, allocated to the size its user asks.
// A Slot is trivially copyable and free while its `key` is null; what the
// key means, and when two keys are the same, is the user's.
template <typename Slot>
class OpenTable {
    static_assert(std::is_trivially_copyable_v<Slot>);

public:
    OpenTable() = default;
    OpenTable(const OpenTable &) = delete;
    OpenTable &operator=(const OpenTable &) = delete;
    ~OpenTable() { PyMem_Free(slots_); }

    // The power of two that keeps `count` keys at most half the slots.
    static std::size_t capacity_for(std::size_t count) noexcept {
        std::size_t cap = 16;
        while (cap < count * 2) cap *= 2;
        return cap;
    }

    // `cap` free slots (a power of two), the old ones dropped; 0, or -1
    // with MemoryError and the table unchanged.
    [[nodiscard]] int allocate(std::size_t cap) noexcept {
        Slot *fresh = static_cast<Slot *>(PyMem_Calloc(cap, sizeof(Slot)));
        if (!fresh) {
            PyErr_NoMemory();
            return -1;
        }
        PyMem_Free(slots_);
        slots_ = fresh;
        mask_ = cap - 1;
        return 0;
    }

    bool allocated() const noexcept { return slots_ != nullptr; }
    std::size_t capacity() const noexcept { return mask_ + 1; }

    // The slot `same` accepts on the probe path of `hash`, or the first free
    // one there. The table must have a free slot.
    template <typename Same>
    Slot &probe(std::size_t hash, Same &&same) const noexcept {
        return probe_slots(slots_, mask_, hash, std::forward<Same>(same));
    }

    std::size_t place_of(const Slot &s) const noexcept { return static_cast<std::size_t>(&s - slots_); }
    const Slot &at(std::size_t place) const noexcept { return slots_[place]; }

private:
    Slot *slots_ = nullptr;
    std::size_t mask_ = 0;
};

}  // namespace velmora
