// Node identifiers: 16 opaque bytes, kept in the order they arrived in (the
// order of the standard text form, first byte most significant), and the
// keyed hash the tables file them under.
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

// The secret the hash is keyed with: one word for each half of an id.
struct HashKey {
    std::uint64_t lo;
    std::uint64_t hi;
};

// The process's key, drawn from the operating system's randomness as the
// program or the module is loaded, before any code of the project runs,
// and never changed after (hash_key.cpp). A child made by fork keeps its
// parent's key, as it must: it keeps its parent's tables too.
extern constinit HashKey hash_key;

// The high and low halves of the 128-bit product of `a` and `b`, xored.
inline std::uint64_t folded_multiply(std::uint64_t a, std::uint64_t b) noexcept {
    __extension__ using Product = unsigned __int128;  // GCC's and Clang's, on every 64-bit target
    const Product product = Product{a} * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

// The hash of an id under the process's key: each half of the id xored
// with its word of the key, the two multiplied and folded (as Go's maps
// hash on processors without AES instructions, and Rust's foldhash), then
// folded once more with a fixed odd constant, which spreads every bit of
// the first fold over the top bits the tables use. Without that second
// step, ids that count up in a few bytes crowd into runs of neighbouring
// slots under about one key in a hundred.
//
// The fixed function used before could be inverted: for any first half,
// one second half gave any chosen hash, so anyone could make any number of
// ids sharing one, and a diff of n of them took time in n squared. Here
// both factors are unknown without the key, so any relation an attacker
// builds between two ids (a flipped bit, swapped halves, a difference of
// any size) moves the product by an amount that depends on those unknown
// factors: where each id lands is as unknown as the key. Nothing tells the
// hash back, as every table lists its keys in the order of the calls. The
// degenerate ids, a half equal to its word of the key (a factor of zero,
// under which every id sharing that half collides), take guessing a 64-bit
// secret.
//
// SipHash-1-3 of the two halves (CPython's str hash) costs about 100
// instructions more a hash, which made the batches 34 to 41% slower and
// single calls 16 to 21%. This costs fewer instructions than the fixed
// function did, and no time that could be measured (README, The hash).
inline std::uint64_t hash_uuid(const Uuid& id) noexcept {
    std::uint64_t lo;
    std::uint64_t hi;
    std::memcpy(&lo, id.bytes.data(), 8);
    std::memcpy(&hi, id.bytes.data() + 8, 8);
    if constexpr (std::endian::native == std::endian::big) {
        // Both halves read as little-endian, so that a key means the same on
        // every machine.
        lo = __builtin_bswap64(lo);
        hi = __builtin_bswap64(hi);
    }
    return folded_multiply(folded_multiply(lo ^ hash_key.lo, hi ^ hash_key.hi), 0x9e3779b97f4a7c15ULL);
}

// The hash the tables use: the top 32 bits of hash_uuid. A table's home
// slot is the top bits of it, and its tag the rest.
inline std::uint32_t table_hash(const Uuid& id) noexcept { return static_cast<std::uint32_t>(hash_uuid(id) >> 32); }

}  // namespace quorl::diff
