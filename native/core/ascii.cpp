// ASCII case routines.  Inputs of 16 bytes and more go through 16-byte
// vectors (SSE2 on x86-64, NEON on aarch64, an auto-vectorised byte loop
// elsewhere); shorter ones - most header names - take a word-at-a-time path
// with no loop at all.  Partial trailing vectors are handled by one
// overlapping access ending exactly at len, never by reading past it.
#include "vlm_bytes.h"

#include <cstddef>
#include <cstdint>

#include "swar.h"

#if defined(VELMORA_PORTABLE_ASCII)
#  define VLM_ASCII_PORTABLE 1
#elif defined(__SSE2__) || defined(_M_X64)
#  include <emmintrin.h>
#  define VLM_ASCII_SSE2 1
#elif defined(__aarch64__) || defined(_M_ARM64)
#  include <arm_neon.h>
#  define VLM_ASCII_NEON 1
#else
#  define VLM_ASCII_PORTABLE 1
#endif

namespace {

using vlm::swar::load32;
using vlm::swar::load64;
using vlm::swar::lower_byte;
using vlm::swar::lower_word;
using vlm::swar::store32;
using vlm::swar::store64;
using vlm::swar::upper_mask;

constexpr std::size_t kVector = 16;

// ---- fewer than 16 bytes ----------------------------------------------------

inline bool short_is_lower(const char *p, std::size_t len) noexcept {
    if (len >= 8) return (upper_mask(load64(p)) | upper_mask(load64(p + len - 8))) == 0;
    if (len >= 4) return (upper_mask(load32(p)) | upper_mask(load32(p + len - 4))) == 0;
    if (len == 0) return true;
    // 1..3 bytes: first, middle and last cover them all.
    const auto b = [p](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
    return upper_mask(b(0) | b(len >> 1) << 8 | b(len - 1) << 16) == 0;
}

inline void short_lower(const char *src, char *dst, std::size_t len) noexcept {
    if (len >= 8) {
        const std::uint64_t head = load64(src), tail = load64(src + len - 8);
        store64(dst, lower_word(head));
        store64(dst + len - 8, lower_word(tail));
    } else if (len >= 4) {
        const std::uint32_t head = load32(src), tail = load32(src + len - 4);
        store32(dst, static_cast<std::uint32_t>(lower_word(head)));
        store32(dst + len - 4, static_cast<std::uint32_t>(lower_word(tail)));
    } else if (len != 0) {
        const auto first = static_cast<unsigned char>(src[0]);
        const auto mid = static_cast<unsigned char>(src[len >> 1]);
        const auto last = static_cast<unsigned char>(src[len - 1]);
        dst[0] = static_cast<char>(lower_byte(first));
        dst[len >> 1] = static_cast<char>(lower_byte(mid));
        dst[len - 1] = static_cast<char>(lower_byte(last));
    }
}

// ---- 16 bytes and more ------------------------------------------------------

#if defined(VLM_ASCII_SSE2)

// 'A'..'Z' shifted to the bottom of the signed range, so one signed compare
// picks them out (SSE2 has no unsigned byte compare).
inline __m128i upper_lanes(__m128i v) noexcept {
    const __m128i shifted = _mm_add_epi8(v, _mm_set1_epi8(static_cast<char>(0x80 - 'A')));
    return _mm_cmplt_epi8(shifted, _mm_set1_epi8(static_cast<char>(0x80 + 26)));
}

inline __m128i lower_lanes(__m128i v) noexcept {
    return _mm_add_epi8(v, _mm_and_si128(upper_lanes(v), _mm_set1_epi8(0x20)));
}

inline bool long_is_lower(const char *p, std::size_t len) noexcept {
    std::size_t i = 0;
    for (; i + kVector <= len; i += kVector) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
        if (_mm_movemask_epi8(upper_lanes(v))) return false;
    }
    if (i == len) return true;
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + len - kVector));
    return _mm_movemask_epi8(upper_lanes(v)) == 0;
}

inline void long_lower(const char *src, char *dst, std::size_t len) noexcept {
    std::size_t i = 0;
    for (; i + kVector <= len; i += kVector) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), lower_lanes(v));
    }
    if (i == len) return;
    const __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + len - kVector));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + len - kVector), lower_lanes(tail));
}

#elif defined(VLM_ASCII_NEON)

inline uint8x16_t upper_lanes(uint8x16_t v) noexcept { return vcltq_u8(vsubq_u8(v, vdupq_n_u8('A')), vdupq_n_u8(26)); }

inline uint8x16_t lower_lanes(uint8x16_t v) noexcept { return vaddq_u8(v, vandq_u8(upper_lanes(v), vdupq_n_u8(0x20))); }

inline const std::uint8_t *bytes(const char *p) noexcept { return reinterpret_cast<const std::uint8_t *>(p); }
inline std::uint8_t *bytes(char *p) noexcept { return reinterpret_cast<std::uint8_t *>(p); }

inline bool long_is_lower(const char *p, std::size_t len) noexcept {
    std::size_t i = 0;
    for (; i + kVector <= len; i += kVector) {
        if (vmaxvq_u8(upper_lanes(vld1q_u8(bytes(p + i))))) return false;
    }
    if (i == len) return true;
    return vmaxvq_u8(upper_lanes(vld1q_u8(bytes(p + len - kVector)))) == 0;
}

inline void long_lower(const char *src, char *dst, std::size_t len) noexcept {
    std::size_t i = 0;
    for (; i + kVector <= len; i += kVector) vst1q_u8(bytes(dst + i), lower_lanes(vld1q_u8(bytes(src + i))));
    if (i != len) vst1q_u8(bytes(dst + len - kVector), lower_lanes(vld1q_u8(bytes(src + len - kVector))));
}

#else  // portable

// Fixed-size blocks let the compiler vectorise the inner loop while still
// stopping early on long inputs.
constexpr std::size_t kBlock = 64;

inline bool block_has_upper(const unsigned char *p, std::size_t n) noexcept {
    unsigned found = 0;
    for (std::size_t k = 0; k < n; ++k) found |= vlm::swar::is_upper_byte(p[k]);
    return found != 0;
}

inline bool long_is_lower(const char *p, std::size_t len) noexcept {
    const auto *u = reinterpret_cast<const unsigned char *>(p);
    std::size_t i = 0;
    for (; i + kBlock <= len; i += kBlock) {
        if (block_has_upper(u + i, kBlock)) return false;
    }
    return !block_has_upper(u + i, len - i);
}

inline void long_lower(const char *src, char *dst, std::size_t len) noexcept {
    const auto *s = reinterpret_cast<const unsigned char *>(src);
    auto *d = reinterpret_cast<unsigned char *>(dst);
    for (std::size_t i = 0; i < len; ++i) d[i] = lower_byte(s[i]);
}

#endif

}  // namespace

const char *vlm::ascii_path() noexcept {
#if defined(VLM_ASCII_SSE2)
    return "sse2";
#elif defined(VLM_ASCII_NEON)
    return "neon";
#else
    return "portable";
#endif
}

extern "C" int simd_is_ascii_lowercase(const char *data, std::size_t len) noexcept {
    if (len < kVector) return short_is_lower(data, len);
    return long_is_lower(data, len);
}

extern "C" void simd_lowercase_ascii(const char *src, char *dst, std::size_t len) noexcept {
    if (len < kVector) {
        short_lower(src, dst, len);
        return;
    }
    long_lower(src, dst, len);
}
