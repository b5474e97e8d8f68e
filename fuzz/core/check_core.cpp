// Exhaustive check of the core's raw-bytes routines against the byte-loop
// reference: every byte value at every position, every length up to well
// past two vectors plus long ones, every source and destination alignment
// within a vector, and every well-known name in several letter cases with
// every one-byte near miss.  Output is written between fence bytes, so a
// store outside [dst, dst + len) fails the check even without a sanitizer.
//
//   check_core [--expect-path=sse2|neon|portable]
//
// Prints which 16-byte routine was compiled; with --expect-path, a build
// that silently fell back to another one fails.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "reference.h"

namespace {

constexpr std::size_t kAlign = 16;
constexpr std::size_t kFenceSize = 32;
constexpr unsigned char kFence = 0xA5;

std::size_t g_cases = 0;
std::size_t g_failures = 0;

void fail(const char *what, std::string_view input, std::size_t src_align, std::size_t dst_align) {
    if (++g_failures > 20) return;
    std::printf("FAIL %s: %zu bytes, src %% 16 = %zu, dst %% 16 = %zu:", what, input.size(), src_align, dst_align);
    for (std::size_t i = 0; i < input.size() && i < 48; ++i) std::printf(" %02x", static_cast<unsigned char>(input[i]));
    std::printf("%s\n", input.size() > 48 ? " ..." : "");
}

// Source and destination at chosen offsets from a 16-byte boundary, the
// destination fenced on both sides.
class Buffers {
public:
    explicit Buffers(std::size_t max_len)
        : src_(max_len + 2 * kAlign), dst_(max_len + 2 * kAlign + 2 * kFenceSize), scratch_(max_len + 1) {}

    void run(std::string_view input, std::size_t src_align, std::size_t dst_align) {
        ++g_cases;
        char *src = aligned(src_.data(), src_align);
        std::memcpy(src, input.data(), input.size());
        char *dst = aligned(dst_.data() + kFenceSize, dst_align);
        std::memset(dst - kFenceSize, kFence, input.size() + 2 * kFenceSize);
        const char *what = ref::disagreement(src, input.size(), dst, scratch_.data());
        if (!what && (!fenced(dst - kFenceSize) || !fenced(dst + input.size())))
            what = "simd_lowercase_ascii wrote outside [dst, dst + len)";
        if (what) fail(what, input, src_align, dst_align);
    }

private:
    static char *aligned(char *base, std::size_t offset) {
        const auto addr = reinterpret_cast<std::uintptr_t>(base);
        return base + ((kAlign - addr % kAlign) % kAlign) + offset;
    }

    static bool fenced(const char *fence) {
        for (std::size_t i = 0; i < kFenceSize; ++i) {
            if (static_cast<unsigned char>(fence[i]) != kFence) return false;
        }
        return true;
    }

    std::vector<char> src_, dst_, scratch_;
};

std::vector<std::size_t> lengths() {
    std::vector<std::size_t> out;
    for (std::size_t n = 0; n <= 80; ++n) out.push_back(n);
    for (std::size_t n : {95, 96, 97, 127, 128, 129, 255, 256, 257, 1023, 1024, 1025, 4095, 4096, 4097})
        out.push_back(n);
    return out;
}

// Positions where one odd byte is planted: all of them in short inputs;
// in long ones each end and the middle, where the vector and tail paths meet.
std::vector<std::size_t> positions(std::size_t len) {
    std::vector<std::size_t> out;
    for (std::size_t p = 0; p < len; ++p) {
        if (len <= 48 || p < 24 || p + 24 >= len || p == len / 2) out.push_back(p);
    }
    return out;
}

void check_ascii(Buffers &buffers) {
    std::string input;
    for (std::size_t len : lengths()) {
        input.resize(len);
        // Every alignment pair is reached through the short lengths; long
        // inputs only add the vector loop, which alignment does not change.
        const std::size_t align_step = len <= 80 ? 1 : 5;
        for (std::size_t src_align = 0; src_align < kAlign; src_align += align_step) {
            const std::size_t dst_align = (src_align * 7 + 3) % kAlign;
            // Every byte value at every position, with varied neighbours.
            for (unsigned v = 0; v < 256; ++v) {
                for (std::size_t k = 0; k < len; ++k) input[k] = static_cast<char>((v + 37 * k) & 0xFF);
                buffers.run(input, src_align, dst_align);
            }
        }
        // One odd byte in a background without uppercase letters: the tests
        // must find it wherever it is.  0xC1 is 'A' with the high bit set,
        // which a test ignoring that bit would take for a letter.
        for (unsigned char background : {static_cast<unsigned char>('a'), static_cast<unsigned char>(0xC1)}) {
            for (std::size_t p : positions(len)) {
                input.assign(len, static_cast<char>(background));
                for (unsigned v = 0; v < 256; ++v) {
                    input[p] = static_cast<char>(v);
                    buffers.run(input, (v + p) % kAlign, (v * 7 + p) % kAlign);
                }
            }
        }
    }
}

std::string flip_case(std::string s, std::size_t at) {
    const auto c = static_cast<unsigned char>(s[at]);
    if (c >= 'a' && c <= 'z') s[at] = static_cast<char>(c - 'a' + 'A');
    return s;
}

void check_names(Buffers &buffers) {
    // Every string of up to two bytes.
    for (unsigned a = 0; a < 256; ++a) {
        buffers.run(std::string(1, static_cast<char>(a)), 0, 0);
        for (unsigned b = 0; b < 256; ++b)
            buffers.run(std::string{static_cast<char>(a), static_cast<char>(b)}, a % 8, 0);
    }
    buffers.run({}, 0, 0);
    for (std::size_t i = 0; i < vlm::known::count(); ++i) {
        const std::string name(vlm::known::name(i));
        std::string upper = name, alternate = name;
        for (std::size_t k = 0; k < name.size(); ++k) {
            upper = flip_case(upper, k);
            if (k % 2) alternate = flip_case(alternate, k);
        }
        std::vector<std::string> variants = {name, upper, alternate};
        for (std::size_t k = 0; k < name.size(); ++k) variants.push_back(flip_case(name, k));
        for (std::size_t align = 0; align < kAlign; ++align) {
            for (const std::string &v : variants) {
                if (vlm::known::index_of(v.data(), v.size()) != static_cast<int>(i))
                    fail("a well-known name is missed", v, align, 0);
                buffers.run(v, align, 0);
            }
        }
        // Near misses: every byte value at every position, one byte cut off
        // either end, one byte of every value added at either end.
        for (std::size_t k = 0; k < name.size(); ++k) {
            for (unsigned v = 0; v < 256; ++v) {
                std::string miss = upper;
                miss[k] = static_cast<char>(v);
                buffers.run(miss, k % 8, 0);
            }
        }
        buffers.run(name.substr(1), 0, 0);
        buffers.run(name.substr(0, name.size() - 1), 0, 0);
        for (unsigned v = 0; v < 256; ++v) {
            buffers.run(name + static_cast<char>(v), v % 8, 0);
            buffers.run(static_cast<char>(v) + name, v % 8, 0);
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    const std::string_view path = vlm::ascii_path();
    std::printf("ascii path: %.*s\n", static_cast<int>(path.size()), path.data());
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        constexpr std::string_view kExpect = "--expect-path=";
        if (arg.substr(0, kExpect.size()) == kExpect) {
            if (arg.substr(kExpect.size()) != path) {
                std::printf("FAIL: expected the %s path\n", argv[i] + kExpect.size());
                return 1;
            }
        } else {
            std::fprintf(stderr, "usage: %s [--expect-path=sse2|neon|portable]\n", argv[0]);
            return 2;
        }
    }
    Buffers buffers(8192);
    check_ascii(buffers);
    check_names(buffers);
    std::printf("%zu cases, %zu failures, %zu well-known names\n", g_cases, g_failures, vlm::known::count());
    return g_failures ? 1 : 0;
}
