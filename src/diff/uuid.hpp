// Node identifiers: 16 opaque bytes, kept in the order they arrived in (the
// order of the standard text form, first byte most significant).
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace quorl::diff {

struct Uuid {
    std::array<std::uint8_t, 16> bytes{};

    static Uuid from_bytes(const void* data) noexcept {
        Uuid id;
        std::memcpy(id.bytes.data(), data, 16);
        return id;
    }

    // Two 8-byte comparisons, written out: memcmp of 16 bytes is not always
    // inlined, and the tables compare keys on every probe and array scan.
    friend bool operator==(const Uuid& a, const Uuid& b) noexcept {
        std::uint64_t a_half[2];
        std::uint64_t b_half[2];
        std::memcpy(a_half, a.bytes.data(), 16);
        std::memcpy(b_half, b.bytes.data(), 16);
        return a_half[0] == b_half[0] && a_half[1] == b_half[1];
    }
};
static_assert(sizeof(Uuid) == 16, "an identifier is its 16 bytes and nothing else");

constexpr std::uint64_t mix64(std::uint64_t x) noexcept {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

// The hash depends on the 16 bytes and fixed constants only, so tables that
// use it lay out (and iterate) their entries identically in every process.
inline std::uint64_t hash_uuid(const Uuid& id) noexcept {
    std::uint64_t lo;
    std::uint64_t hi;
    std::memcpy(&lo, id.bytes.data(), 8);
    std::memcpy(&hi, id.bytes.data() + 8, 8);
    if constexpr (std::endian::native == std::endian::big) {
        // Read both halves as little-endian, so the layout is the same on
        // every machine.
        lo = __builtin_bswap64(lo);
        hi = __builtin_bswap64(hi);
    }
    // Each half goes through its own bijective step (xor, multiply by an odd
    // constant, fold the high half down), side by side rather than one after
    // the other. With either half fixed the sum is a bijection of the other,
    // so two keys that share a half never collide in the full 64-bit hash.
    // Tables finish with a multiply and keep the top bits (table_hash).
    std::uint64_t a = (lo ^ 0x9e3779b97f4a7c15ULL) * 0xff51afd7ed558ccdULL;
    std::uint64_t b = (hi ^ 0xc2b2ae3d27d4eb4fULL) * 0xc4ceb9fe1a85ec53ULL;
    a ^= a >> 32;
    b ^= b >> 29;
    return a + b;
}

// The hash the tables use: hash_uuid after a final multiply, its top 32
// bits. A table's home slot is the top bits of it, and its tag the rest.
inline std::uint32_t table_hash(const Uuid& id) noexcept {
    return static_cast<std::uint32_t>((hash_uuid(id) * 0x9e3779b97f4a7c15ULL) >> 32);
}

}  // namespace quorl::diff
