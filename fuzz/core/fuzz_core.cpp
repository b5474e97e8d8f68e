// libFuzzer harness for the core's raw-bytes routines.  The first input
// byte picks the alignments of source (low nibble) and destination (high
// nibble); the rest is the data.  Buffers are allocated to the exact byte,
// so AddressSanitizer reports any access past the end, and every result is
// compared with the byte-loop reference.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "reference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t src_align = data[0] & 15, dst_align = data[0] >> 4;
    const std::size_t len = size - 1;
    const auto src_buf = std::make_unique<char[]>(src_align + len);
    const auto dst_buf = std::make_unique<char[]>(dst_align + len);
    const auto scratch = std::make_unique<char[]>(len + 1);
    char *src = src_buf.get() + src_align;
    if (len) std::memcpy(src, data + 1, len);
    if (const char *what = ref::disagreement(src, len, dst_buf.get() + dst_align, scratch.get())) {
        std::fprintf(stderr, "%s disagrees with the reference on %zu bytes (src %% 16 = %zu, dst %% 16 = %zu)\n", what,
                     len, src_align, dst_align);
        std::abort();
    }
    return 0;
}
