// Header names: canonical (interned, lowercase) names in both forms, the
// lowered lookup key, name matching and conversion of values to the key's
// form. Matching and conversion run once per stored entry in every scan, so
// they are inline here and the common cases allocate nothing.
#pragma once

#include <cstdint>
#include <cstring>

#include "common.h"
#include "messages.h"
#include "ref.h"
#include "swar.h"
#include "vlm_core.h"

namespace velmora {

// Exported through __pyx_capi__; the flag is ignored.
PyObject *intern_header_name_bytes(PyObject *name, int skip_dispatch) noexcept;
PyObject *intern_header_name_str(PyObject *name, int skip_dispatch) noexcept;
// intern_header_name_bytes for a name known to be exactly bytes.
PyObject *intern_bytes_name(PyObject *name) noexcept;
// Lowercases a bytes name (or passes None through); new reference.
PyObject *simd_lower_bytes(PyObject *name) noexcept;

// Lets interning skip the lookups of `sys.intern` while neither the module's
// `sys` nor sys's `intern` has been touched. Called once at module exec.
[[nodiscard]] int watch_intern(PyObject *module_dict, PyObject *sys_module) noexcept;

// True while interning a str can run no Python code (the module's sys and
// sys.intern are the ones found at import).
bool interning_is_pure() noexcept;

// Indexes _KNOWN_HEADERS_STR by address for interned keys; once, at exec.
int index_known_names(PyObject *table) noexcept;

// An exact, interned str of _KNOWN_HEADERS_STR: its own canonical form,
// found without running any code.
bool is_known_str_key(PyObject *key) noexcept;

extern PyMethodDef intern_header_name_bytes_def;
extern PyMethodDef intern_header_name_str_def;

// Canonical form of a name on its way into a collection or a record: bytes
// and str names are interned, anything else is kept as given.
inline PyObject *canonical_name(PyObject *name) noexcept {
    if (is_exact_bytes(name)) return intern_bytes_name(name);
    if (is_str(name)) return intern_header_name_str(name, 0);
    return Py_NewRef(name);
}

// The caller's key in canonical form: exactly one of low_b / low_s is set.
struct LoweredKey {
    Ref low_b;
    Ref low_s;
    bool is_bytes = false;
};

namespace detail {

// Framework code passes the same literal call after call, so recognising
// an exact bytes key by address spares the core probe. Only keys that need
// no copy are remembered: a lowered copy must stay a new object per call.
inline BytesKeyMemo &bytes_key_memo_slot(PyObject *key) noexcept {
    return C.names.bytes_key_memo[(reinterpret_cast<uintptr_t>(key) >> 4) % kBytesKeyMemoSlots];
}

PyObject *canonical_bytes_probe(PyObject *key) noexcept;

}  // namespace detail

// The canonical object of an exact bytes name when it is the core's shared
// object or the name itself (borrowed); nullptr, with no error set, when
// only a lowered copy will do. The core table answers whatever the letter
// case, so a core miss on a name with capitals means a copy is needed.
inline PyObject *canonical_bytes_no_copy(PyObject *key) noexcept {
    const BytesKeyMemo &m = detail::bytes_key_memo_slot(key);
    if (VLM_LIKELY(m.key == key)) return m.canonical;
    return detail::canonical_bytes_probe(key);
}

[[nodiscard]] inline int lower_bytes_key(PyObject *key, LoweredKey &out) noexcept {
    out.is_bytes = true;
    if (PyObject *canonical = canonical_bytes_no_copy(key)) {
        out.low_b = Ref::borrow(canonical);
        return 0;
    }
    out.low_b = Ref::steal(simd_lower_bytes(key));
    return out.low_b ? 0 : -1;
}

[[nodiscard]] inline int lower_key(PyObject *key, LoweredKey &out) noexcept {
    if (VLM_LIKELY(is_exact_bytes(key))) return lower_bytes_key(key, out);
    out.is_bytes = false;
    if (VLM_LIKELY(is_str(key))) {
        out.low_s = Ref::steal(intern_header_name_str(key, 0));
    } else {
        Ref text = Ref::steal(PyObject_Str(key));
        if (!text) return -1;
        out.low_s = Ref::steal(intern_header_name_str(text.get(), 0));
    }
    return out.low_s ? 0 : -1;
}

namespace detail {

// lower(a) == b for n bytes; b is compared as it is. Header names are mostly
// 4 to 30 bytes, so the tail is one overlapping word rather than a byte loop:
// bytes compared twice compare equal twice.
inline bool lowered_equals(const unsigned char *a, const unsigned char *b, Py_ssize_t n) noexcept {
    using namespace vlm::swar;
    const char *pa = reinterpret_cast<const char *>(a);
    const char *pb = reinterpret_cast<const char *>(b);
    if (n < 8) return lower_word(pack_short(pa, static_cast<size_t>(n))) == pack_short(pb, static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i + 8 < n; i += 8)
        if (lower_word(load64(pa + i)) != load64(pb + i)) return false;
    return lower_word(load64(pa + n - 8)) == load64(pb + n - 8);
}

inline bool bytes_lower_equals(PyObject *stored, const unsigned char *low, Py_ssize_t low_size) noexcept {
    return PyBytes_GET_SIZE(stored) == low_size &&
           lowered_equals(reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(stored)), low, low_size);
}

// stored.lower() for a str name, with the result type the comparison needs.
// Returns a new reference, Py_None for a None result, or nullptr.
PyObject *call_str_lower(PyObject *stored) noexcept;

// Slow paths: a non-ASCII or subclassed stored str name.
int str_name_matches_str(PyObject *stored, PyObject *low_s) noexcept;
int str_name_matches_bytes(PyObject *stored, PyObject *low_b) noexcept;
int encode_error(PyObject *low_s) noexcept;

// bytes decoded as Latin-1: the bytes are the code points, so the text is a
// copy into a str of the narrowest kind that holds them. Header values are
// mostly short: up to 16 bytes they are read and written as two
// overlapping pieces (bytes compared or copied twice come out the same),
// with no loop and no call.
inline PyObject *latin1_to_str(PyObject *b) noexcept {
    using namespace vlm::swar;
    const Py_ssize_t n = PyBytes_GET_SIZE(b);
    const char *src = PyBytes_AS_STRING(b);
    if (n > 0 && n <= 16) {
        uint64_t head, tail;
        if (n >= 8) {
            head = load64(src), tail = load64(src + n - 8);
        } else if (n >= 4) {
            head = load32(src), tail = load32(src + n - 4);
        } else {
            head = static_cast<unsigned char>(src[0]) |
                   (static_cast<unsigned>(static_cast<unsigned char>(src[n / 2])) << 8);
            tail = static_cast<unsigned char>(src[n - 1]);
        }
        PyObject *out = PyUnicode_New(n, ((head | tail) & 0x8080808080808080ULL) ? 255 : 127);
        if (!out) return nullptr;
        char *dst = reinterpret_cast<char *>(PyUnicode_1BYTE_DATA(out));
        if (n >= 8) {
            store64(dst, head);
            store64(dst + n - 8, tail);
        } else if (n >= 4) {
            store32(dst, static_cast<uint32_t>(head));
            store32(dst + n - 4, static_cast<uint32_t>(tail));
        } else {
            dst[0] = src[0];
            dst[n / 2] = src[n / 2];
            dst[n - 1] = src[n - 1];
        }
        return out;
    }
    uint64_t high = 0;
    Py_ssize_t i = 0;
    for (; i + 8 <= n; i += 8) high |= load64(src + i);
    for (; i < n; ++i) high |= static_cast<unsigned char>(src[i]);
    const bool ascii = (high & 0x8080808080808080ULL) == 0;
    PyObject *out = PyUnicode_New(n, ascii ? 127 : 255);
    if (out && n) std::memcpy(PyUnicode_1BYTE_DATA(out), src, static_cast<size_t>(n));
    return out;
}

}  // namespace detail

// Matching a name runs Python code only for a str subclass (its lower());
// scans hold the entry alive just for those.
inline bool name_may_run_code(PyObject *name) noexcept { return is_str(name) && !is_exact_str(name); }

// Name matching rules, first that applies decides. 1 match, 0 no match,
// -1 with an exception set.
[[nodiscard]] inline int header_name_matches(PyObject *h_name, PyObject *low_b, PyObject *low_s) noexcept {
    const bool has_s = low_s != nullptr && low_s != Py_None;
    const bool has_b = low_b != nullptr && low_b != Py_None;
    if (has_s && is_str(h_name)) {
        if (h_name == low_s) return 1;
        if (is_exact_str(h_name) && PyUnicode_IS_ASCII(h_name)) {
            if (!PyUnicode_IS_ASCII(low_s) || PyUnicode_GET_LENGTH(h_name) != PyUnicode_GET_LENGTH(low_s)) return 0;
            return detail::lowered_equals(PyUnicode_1BYTE_DATA(h_name), PyUnicode_1BYTE_DATA(low_s),
                                          PyUnicode_GET_LENGTH(h_name));
        }
        return detail::str_name_matches_str(h_name, low_s);
    }
    const bool h_bytes = is_exact_bytes(h_name);
    if (has_b && h_bytes) {
        if (h_name == low_b) return 1;
        return detail::bytes_lower_equals(h_name, reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(low_b)),
                                          PyBytes_GET_SIZE(low_b));
    }
    if (!has_b && has_s && h_bytes) {
        // A str that fits one byte per character is exactly its Latin-1 form.
        if (PyUnicode_KIND(low_s) != PyUnicode_1BYTE_KIND) return detail::encode_error(low_s);
        return detail::bytes_lower_equals(h_name, PyUnicode_1BYTE_DATA(low_s), PyUnicode_GET_LENGTH(low_s));
    }
    if (!has_s && has_b && is_str(h_name)) {
        if (is_exact_str(h_name) && PyUnicode_IS_ASCII(h_name)) {
            return PyUnicode_GET_LENGTH(h_name) == PyBytes_GET_SIZE(low_b) &&
                   detail::lowered_equals(PyUnicode_1BYTE_DATA(h_name),
                                          reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(low_b)),
                                          PyBytes_GET_SIZE(low_b));
        }
        return detail::str_name_matches_bytes(h_name, low_b);
    }
    return 0;
}

// The matching rules specialised to the key's form, for the scans: the
// stored names of an ASGI list are bytes, so that test comes first and
// costs a type test, a size test and a word-wise compare.
class BytesKeyMatcher {
public:
    explicit BytesKeyMatcher(PyObject *low_b) noexcept
        : low_b_(low_b),
          data_(reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(low_b))),
          size_(PyBytes_GET_SIZE(low_b)) {}

    // What a bytes name must lower to, for the scans' own loop.
    [[nodiscard]] const unsigned char *bytes_key() const noexcept { return data_; }
    [[nodiscard]] Py_ssize_t bytes_size() const noexcept { return size_; }

    // A name that is exactly bytes: never runs Python code.
    [[nodiscard]] int bytes_name(PyObject *name) const noexcept {
        return name == low_b_ ||
               (PyBytes_GET_SIZE(name) == size_ &&
                detail::lowered_equals(reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(name)), data_, size_));
    }

    [[nodiscard]] int operator()(PyObject *name) const noexcept {
        if (VLM_LIKELY(Py_IS_TYPE(name, &PyBytes_Type))) return bytes_name(name);
        return header_name_matches(name, low_b_, nullptr);
    }

private:
    PyObject *low_b_;
    const unsigned char *data_;
    Py_ssize_t size_;
};

class StrKeyMatcher {
public:
    explicit StrKeyMatcher(PyObject *low_s) noexcept
        : low_s_(low_s),
          latin1_(PyUnicode_KIND(low_s) == PyUnicode_1BYTE_KIND ? PyUnicode_1BYTE_DATA(low_s) : nullptr),
          size_(PyUnicode_GET_LENGTH(low_s)) {}

    // What a bytes name must lower to, for the scans' own loop; nullptr
    // for a key beyond Latin-1, which no bytes name can match.
    [[nodiscard]] const unsigned char *bytes_key() const noexcept { return latin1_; }
    [[nodiscard]] Py_ssize_t bytes_size() const noexcept { return size_; }

    // A name that is exactly bytes: never runs Python code.
    [[nodiscard]] int bytes_name(PyObject *name) const noexcept {
        if (VLM_UNLIKELY(!latin1_)) return detail::encode_error(low_s_);
        return PyBytes_GET_SIZE(name) == size_ &&
               detail::lowered_equals(reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(name)), latin1_, size_);
    }

    [[nodiscard]] int operator()(PyObject *name) const noexcept {
        if (name == low_s_) return 1;
        if (VLM_LIKELY(Py_IS_TYPE(name, &PyBytes_Type))) return bytes_name(name);
        return header_name_matches(name, nullptr, low_s_);
    }

private:
    PyObject *low_s_;
    const unsigned char *latin1_;
    Py_ssize_t size_;
};

// Calls fn(matcher) with the matcher for the key's form.
template <typename Fn>
inline auto with_matcher(const LoweredKey &key, Fn &&fn) noexcept {
    if (key.is_bytes) return fn(BytesKeyMatcher(key.low_b.get()));
    return fn(StrKeyMatcher(key.low_s.get()));
}

// A stored value in the form of the caller's key; new reference.
[[nodiscard]] inline PyObject *convert_header_value(PyObject *val, bool caller_asked_bytes) noexcept {
    if (val == Py_None) return Py_NewRef(Py_None);
    if (is_exact_bytes(val)) {
        if (caller_asked_bytes) return Py_NewRef(val);
        return detail::latin1_to_str(val);
    }
    if (is_exact_str(val)) {
        if (!caller_asked_bytes) return Py_NewRef(val);
        return PyUnicode_AsLatin1String(val);
    }
    // str() may run code that drops the entry holding the value.
    Ref held = Ref::borrow(val);
    PyObject *text = PyObject_Str(held.get());
    if (!text || !caller_asked_bytes) return text;
    PyObject *encoded = PyUnicode_AsLatin1String(text);
    Py_DECREF(text);
    return encoded;
}

}  // namespace velmora
