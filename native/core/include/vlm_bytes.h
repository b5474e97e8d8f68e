/*
 * The core's routines on raw bytes: ASCII case tests and lowering, and the
 * lookup of well-known header names.  Nothing here needs the interpreter, so
 * this header does not include Python.h: the exhaustive checks and the
 * native fuzzer compile these routines on their own, for every target the
 * core supports, without a Python to link against.
 *
 * Everything here may be called with len == 0, in which case the data
 * pointers are never dereferenced and may be NULL.
 */
#ifndef VELMORA_VLM_BYTES_H
#define VELMORA_VLM_BYTES_H

#include <stddef.h>

#if defined(VLM_CORE_BUILDING) && defined(__GNUC__)
#  define VLM_BYTES_API __attribute__((visibility("default")))
#else
#  define VLM_BYTES_API
#endif

#ifdef __cplusplus
#  define VLM_BYTES_NOEXCEPT noexcept
extern "C" {
#else
#  define VLM_BYTES_NOEXCEPT
#endif

/* Nonzero iff none of the len bytes is in 'A'..'Z'.  Any byte values allowed. */
VLM_BYTES_API int simd_is_ascii_lowercase(const char *data, size_t len) VLM_BYTES_NOEXCEPT;

/*
 * Writes exactly len bytes to dst: 'A'..'Z' become 'a'..'z', every other byte
 * value is copied unchanged (the same as Python's bytes.lower()).
 * dst must not overlap src.  Neither the GIL nor any alignment is required.
 */
VLM_BYTES_API void simd_lowercase_ascii(const char *src, char *dst, size_t len) VLM_BYTES_NOEXCEPT;

#ifdef __cplusplus
}

#  include <string_view>

// Internal to the core (hidden symbols): the Python-facing lookup and the
// checks build on these.
namespace vlm {

// Which 16-byte routine this build compiled: "sse2", "neon" or "portable".
const char *ascii_path() noexcept;

namespace known {

// Number of well-known names; fixed at compile time.
std::size_t count() noexcept;

// The lowercase text of name `index` (< count()), in table order.
std::string_view name(std::size_t index) noexcept;

// The table index of the name whose ASCII-lowercase form equals the len
// bytes at data, or -1 when that name is not well known.
int index_of(const char *data, std::size_t len) noexcept;

}  // namespace known
}  // namespace vlm
#endif

#endif /* VELMORA_VLM_BYTES_H */
