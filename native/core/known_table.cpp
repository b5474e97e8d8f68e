// The table of well-known header names and its constant-time lookup, on
// raw bytes: no interpreter needed, so the checks can build it alone.
//
// A name is identified by its length and its first two and last two bytes
// (ASCII-case folded by OR-ing 0x20).  A multiplier that sends every name's
// key to a distinct slot is searched for at compile time, so a lookup is: a
// length check, one multiply, one slot load, one case-insensitive compare
// against the only possible candidate.  The fold in the key is deliberately
// lossy ('-' and '\r' fold alike, so do '@' and '`'); the exact compare
// afterwards is what decides.
#include "vlm_bytes.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "swar.h"

namespace {

// Lowercase, as they are handed out.  Order is the order of known_names().
constexpr std::string_view kNames[] = {
    "accept",
    "accept-charset",
    "accept-encoding",
    "accept-language",
    "accept-ranges",
    "access-control-allow-credentials",
    "access-control-allow-headers",
    "access-control-allow-methods",
    "access-control-allow-origin",
    "access-control-expose-headers",
    "access-control-max-age",
    "access-control-request-headers",
    "access-control-request-method",
    "age",
    "allow",
    "alt-svc",
    "authorization",
    "cache-control",
    "connection",
    "content-disposition",
    "content-encoding",
    "content-language",
    "content-length",
    "content-location",
    "content-range",
    "content-security-policy",
    "content-type",
    "cookie",
    "cross-origin-opener-policy",
    "date",
    "etag",
    "expect",
    "expires",
    "forwarded",
    "host",
    "hx-boosted",
    "hx-current-url",
    "hx-location",
    "hx-prompt",
    "hx-push-url",
    "hx-redirect",
    "hx-refresh",
    "hx-request",
    "hx-reswap",
    "hx-retarget",
    "hx-target",
    "hx-trigger",
    "if-match",
    "if-modified-since",
    "if-none-match",
    "if-range",
    "if-unmodified-since",
    "keep-alive",
    "last-modified",
    "link",
    "location",
    "origin",
    "pragma",
    "priority",
    "proxy-authorization",
    "proxy-connection",
    "range",
    "referer",
    "referrer-policy",
    "retry-after",
    "sec-ch-ua",
    "sec-ch-ua-mobile",
    "sec-ch-ua-platform",
    "sec-fetch-dest",
    "sec-fetch-mode",
    "sec-fetch-site",
    "sec-fetch-user",
    "sec-websocket-accept",
    "sec-websocket-key",
    "sec-websocket-version",
    "server",
    "set-cookie",
    "strict-transport-security",
    "te",
    "trailer",
    "transfer-encoding",
    "upgrade",
    "upgrade-insecure-requests",
    "user-agent",
    "vary",
    "via",
    "www-authenticate",
    "x-cache",
    "x-content-type-options",
    "x-forwarded-for",
    "x-forwarded-host",
    "x-forwarded-proto",
    "x-frame-options",
    "x-powered-by",
    "x-requested-with",
    "x-xss-protection",
};

constexpr std::size_t kCount = std::size(kNames);

constexpr std::size_t min_len() {
    std::size_t m = kNames[0].size();
    for (auto n : kNames) m = n.size() < m ? n.size() : m;
    return m;
}

constexpr std::size_t max_len() {
    std::size_t m = 0;
    for (auto n : kNames) m = n.size() > m ? n.size() : m;
    return m;
}

constexpr std::size_t kMinLen = min_len();
constexpr std::size_t kMaxLen = max_len();

static_assert(kMinLen >= 2, "the key reads two bytes from each end");
static_assert(kCount < 255, "slot indices are bytes, 0xFF marks an empty slot");

constexpr bool names_are_canonical() {
    for (auto n : kNames) {
        for (char c : n) {
            const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
            if (!ok) return false;
        }
    }
    return true;
}
static_assert(names_are_canonical(), "well-known names must be lowercase tokens");

// ---- the perfect hash -------------------------------------------------------

constexpr unsigned kSlotBits = 10;
constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;
constexpr std::uint8_t kEmpty = 0xFF;

// Bytes 0, 1, len-2, len-1 in that order, each |0x20, above the length.
// At run time on little-endian machines this is two 16-bit loads.
constexpr std::uint64_t fold_key(const char *p, std::size_t len) noexcept {
    std::uint64_t ends;
    if (std::endian::native == std::endian::little && !std::is_constant_evaluated()) {
        ends = vlm::swar::load16(p) | std::uint64_t{vlm::swar::load16(p + len - 2)} << 16;
    } else {
        const auto at = [p](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
        ends = at(0) | at(1) << 8 | at(len - 2) << 16 | at(len - 1) << 24;
    }
    return (ends | 0x20202020) | std::uint64_t{len} << 32;
}

constexpr std::size_t slot_of(std::uint64_t key, std::uint64_t mult) noexcept {
    return static_cast<std::size_t>((key * mult) >> (64 - kSlotBits));
}

constexpr std::uint64_t splitmix64(std::uint64_t i) {
    std::uint64_t z = i + 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

constexpr bool collision_free(std::uint64_t mult) {
    std::array<bool, kSlots> used{};
    for (auto n : kNames) {
        const std::size_t s = slot_of(fold_key(n.data(), n.size()), mult);
        if (used[s]) return false;
        used[s] = true;
    }
    return true;
}

constexpr std::uint64_t find_multiplier() {
    for (std::uint64_t i = 0; i < 4096; ++i) {
        const std::uint64_t mult = splitmix64(i) | 1;
        if (collision_free(mult)) return mult;
    }
    return 0;
}

constexpr std::uint64_t kMult = find_multiplier();
static_assert(kMult != 0, "no collision-free multiplier found: raise kSlotBits");
static_assert(collision_free(kMult));

struct Candidate {
    alignas(8) char text[kMaxLen];
    std::uint8_t len;
};

struct Table {
    std::array<std::uint8_t, kSlots> slot_to_index;
    std::array<Candidate, kCount> candidates;
};

constexpr Table build_table() {
    Table t{};
    for (auto &s : t.slot_to_index) s = kEmpty;
    for (std::size_t i = 0; i < kCount; ++i) {
        const std::string_view n = kNames[i];
        t.slot_to_index[slot_of(fold_key(n.data(), n.size()), kMult)] = static_cast<std::uint8_t>(i);
        for (std::size_t k = 0; k < n.size(); ++k) t.candidates[i].text[k] = n[k];
        t.candidates[i].len = static_cast<std::uint8_t>(n.size());
    }
    return t;
}

constexpr Table kTable = build_table();

constexpr bool every_name_finds_itself() {
    for (std::size_t i = 0; i < kCount; ++i) {
        const std::string_view n = kNames[i];
        if (kTable.slot_to_index[slot_of(fold_key(n.data(), n.size()), kMult)] != i) return false;
    }
    return true;
}
static_assert(every_name_finds_itself());

static_assert(kMaxLen <= 32, "equal_folded compares at most four words");

// `p` holds exactly len input bytes; `c` is a candidate of the same length,
// already lowercase.  Straight-line: the last word, then whichever leading
// words lie wholly before it.
inline bool equal_folded(const char *p, const char *c, std::size_t len) noexcept {
    using namespace vlm::swar;
    if (len < 8) return lower_word(pack_short(p, len)) == pack_short(c, len);
    const auto word_diff = [p, c](std::size_t at) { return lower_word(load64(p + at)) ^ load64(c + at); };
    std::uint64_t diff = word_diff(len - 8);
    if (len > 8) diff |= word_diff(0);
    if (len > 16) diff |= word_diff(8);
    if (len > 24) diff |= word_diff(16);
    return diff == 0;
}

}  // namespace

namespace vlm::known {

std::size_t count() noexcept { return kCount; }

std::string_view name(std::size_t index) noexcept {
    return {kTable.candidates[index].text, kTable.candidates[index].len};
}

int index_of(const char *data, std::size_t len) noexcept {
    // One unsigned compare covers both too short and too long.
    if (len - kMinLen > kMaxLen - kMinLen) return -1;
    const std::uint8_t index = kTable.slot_to_index[slot_of(fold_key(data, len), kMult)];
    if (index == kEmpty) return -1;
    const Candidate &c = kTable.candidates[index];
    if (c.len != len || !equal_folded(data, c.text, len)) return -1;
    return index;
}

}  // namespace vlm::known
