// Word-at-a-time ASCII helpers: the core's routines and the extension's
// name matching both hold to the one lowering rule checked here.
// Loads and stores go through memcpy so unaligned access is never UB; the
// compiler turns each into a single move.
#ifndef VELMORA_CORE_SWAR_H
#define VELMORA_CORE_SWAR_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vlm::swar {

// The scalar rule every path must agree with: branch-free so loops over it
// vectorise.  (c - 'A') wraps for bytes below 'A', so one unsigned compare
// selects exactly 'A'..'Z'.
constexpr unsigned char lower_byte(unsigned char c) noexcept {
    return static_cast<unsigned char>(c + (static_cast<unsigned>(static_cast<unsigned char>(c - 'A') < 26) << 5));
}

constexpr bool is_upper_byte(unsigned char c) noexcept { return static_cast<unsigned char>(c - 'A') < 26; }

inline constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr std::uint64_t kHigh = 0x8080808080808080ULL;

// High bit of each byte lane set iff that byte is in 'A'..'Z'.  Lanes are
// processed on their low seven bits so no addition can carry into the next
// lane; bytes >= 0x80 are then masked out explicitly.
constexpr std::uint64_t upper_mask(std::uint64_t w) noexcept {
    const std::uint64_t low7 = w & ~kHigh;
    const std::uint64_t ge_a = low7 + kOnes * (0x80 - 'A');
    const std::uint64_t gt_z = low7 + kOnes * (0x7F - 'Z');
    return ge_a & ~gt_z & ~w & kHigh;
}

// Uppercase letters have bit 0x20 clear, so OR-ing it in is the +32.
constexpr std::uint64_t lower_word(std::uint64_t w) noexcept { return w | (upper_mask(w) >> 2); }

namespace detail {
constexpr bool byte_rule_holds() {
    for (unsigned v = 0; v < 256; ++v) {
        const auto c = static_cast<unsigned char>(v);
        const unsigned char want = (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
        if (lower_byte(c) != want || is_upper_byte(c) != (want != c)) return false;
    }
    return true;
}

// Every byte value in every lane, with a neighbour that would expose a carry
// or borrow leaking across lanes.
constexpr bool word_rule_holds() {
    for (unsigned v = 0; v < 256; ++v) {
        for (unsigned lane = 0; lane < 8; ++lane) {
            const std::uint64_t backgrounds[] = {0, ~std::uint64_t{0}, kOnes * 'Z', kOnes * 'A', kOnes * 0x7F};
            for (std::uint64_t background : backgrounds) {
                const unsigned shift = lane * 8;
                const std::uint64_t w = (background & ~(0xFFULL << shift)) | (std::uint64_t{v} << shift);
                std::uint64_t want = 0;
                std::uint64_t want_mask = 0;
                for (unsigned k = 0; k < 8; ++k) {
                    const auto c = static_cast<unsigned char>(w >> (k * 8));
                    want |= std::uint64_t{lower_byte(c)} << (k * 8);
                    if (is_upper_byte(c)) want_mask |= 0x80ULL << (k * 8);
                }
                if (lower_word(w) != want || upper_mask(w) != want_mask) return false;
            }
        }
    }
    return true;
}
}  // namespace detail

static_assert(detail::byte_rule_holds(), "scalar lowering disagrees with bytes.lower() for some byte value");
static_assert(detail::word_rule_holds(), "word lowering disagrees with the scalar rule");

inline std::uint64_t load64(const char *p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline std::uint32_t load32(const char *p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline std::uint16_t load16(const char *p) noexcept {
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store64(char *p, std::uint64_t v) noexcept { std::memcpy(p, &v, sizeof v); }
inline void store32(char *p, std::uint32_t v) noexcept { std::memcpy(p, &v, sizeof v); }

// All len bytes (len <= 8) folded into one word through overlapping loads.  Two inputs of equal length pack equal iff they are
// byte-for-byte equal, since every byte lands in at least one lane.
inline std::uint64_t pack_short(const char *p, std::size_t len) noexcept {
    if (len >= 4) return load32(p) | (std::uint64_t{load32(p + len - 4)} << 32);
    if (len >= 2) return load16(p) | (std::uint64_t{load16(p + len - 2)} << 16);
    return len ? static_cast<unsigned char>(p[0]) : 0;
}

}  // namespace vlm::swar

#endif  // VELMORA_CORE_SWAR_H
