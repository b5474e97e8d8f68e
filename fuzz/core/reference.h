// Byte-at-a-time statements of what the core's routines must do, and one
// comparison of the real routines against them.  Shared by the exhaustive
// check and the libFuzzer harness so both hold the core to the same rules.
#ifndef VELMORA_FUZZ_CORE_REFERENCE_H
#define VELMORA_FUZZ_CORE_REFERENCE_H

#include <cstddef>
#include <cstring>
#include <string_view>

#include "vlm_bytes.h"

namespace ref {

// Written out longhand on purpose: the core's own rule is branch-free
// arithmetic, and the reference must not share its tricks.
inline bool is_upper(unsigned char c) { return c >= 'A' && c <= 'Z'; }

inline unsigned char lower(unsigned char c) { return is_upper(c) ? static_cast<unsigned char>(c - 'A' + 'a') : c; }

inline bool is_lowercase(const char *p, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i) {
        if (is_upper(static_cast<unsigned char>(p[i]))) return false;
    }
    return true;
}

inline void lowercase(const char *src, char *dst, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i) dst[i] = static_cast<char>(lower(static_cast<unsigned char>(src[i])));
}

// A linear scan over the table's texts: whatever the hashing does, a name
// is found exactly when its letters match one entry's, whatever the case.
inline int index_of(const char *p, std::size_t len) {
    for (std::size_t i = 0; i < vlm::known::count(); ++i) {
        const std::string_view n = vlm::known::name(i);
        if (n.size() != len) continue;
        std::size_t k = 0;
        while (k < len && lower(static_cast<unsigned char>(p[k])) == static_cast<unsigned char>(n[k])) ++k;
        if (k == len) return static_cast<int>(i);
    }
    return -1;
}

// Runs every routine on the len bytes at src (dst: len writable bytes, not
// overlapping src) and returns what disagrees with the reference, or
// nullptr.  `scratch` holds len bytes for the reference's own output.
inline const char *disagreement(const char *src, std::size_t len, char *dst, char *scratch) {
    if ((simd_is_ascii_lowercase(src, len) != 0) != is_lowercase(src, len)) return "simd_is_ascii_lowercase";
    simd_lowercase_ascii(src, dst, len);
    lowercase(src, scratch, len);
    if (len && std::memcmp(dst, scratch, len) != 0) return "simd_lowercase_ascii";
    if (vlm::known::index_of(src, len) != index_of(src, len)) return "known::index_of";
    return nullptr;
}

}  // namespace ref

#endif  // VELMORA_FUZZ_CORE_REFERENCE_H
