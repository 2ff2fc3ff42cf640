// Bytes of a JSON string that cannot be copied as they are: the double quote,
// the backslash and the control characters 0x00 to 0x1F. The record writer
// escapes them; the same set ends the record reader's fast scan of a string.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace quorl::encoding::detail {

// The character written after the backslash ('u' for the \u00XX form), or 0
// for a byte copied unchanged.
inline constexpr std::array<char, 256> kEscape = [] {
    std::array<char, 256> table{};
    for (int c = 0; c < 0x20; ++c) table[c] = 'u';
    table['"'] = '"';
    table['\\'] = '\\';
    table['\b'] = 'b';
    table['\t'] = 't';
    table['\n'] = 'n';
    table['\f'] = 'f';
    table['\r'] = 'r';
    return table;
}();

// Whether any of the eight bytes of `w` is special (exact, no false hits).
inline bool word_has_special(std::uint64_t w) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
    const std::uint64_t control = (w - kOnes * 0x20) & ~w & kHighs;
    const std::uint64_t q = w ^ (kOnes * '"');
    const std::uint64_t quote = (q - kOnes) & ~q & kHighs;
    const std::uint64_t b = w ^ (kOnes * '\\');
    const std::uint64_t backslash = (b - kOnes) & ~b & kHighs;
    return (control | quote | backslash) != 0;
}

// First special byte in [p, end), or end.
inline const char* find_special(const char* p, const char* end) noexcept {
    while (end - p >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        if (word_has_special(w)) break;
        p += 8;
    }
    while (p != end && kEscape[static_cast<unsigned char>(*p)] == 0) ++p;
    return p;
}

}  // namespace quorl::encoding::detail
