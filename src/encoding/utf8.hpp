// Where a run of bytes stops being UTF-8, and whether it is ASCII, for
// every reader of text that the interpreter did not make: the byte string's
// node records, and the texts of Arrow columns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace quorl::encoding {

// Where a run of bytes stops being UTF-8: the index of the offending
// sequence and the number of bytes that make it invalid, or 0 when the input
// ends in the middle of an otherwise valid sequence.
struct Utf8Fault {
    std::size_t index;
    std::size_t length;
};

inline std::optional<Utf8Fault> find_utf8_fault(const std::uint8_t* s, std::size_t n) noexcept {
    std::size_t i = 0;
    while (i < n) {
        if (s[i] < 0x80) {
            // ASCII runs go eight bytes at a time.
            while (n - i >= 8) {
                std::uint64_t w;
                std::memcpy(&w, s + i, 8);
                if (w & 0x8080808080808080ULL) break;
                i += 8;
            }
            while (i < n && s[i] < 0x80) ++i;
            continue;
        }
        // The lead byte fixes the number of continuation bytes and the range
        // the first of them must lie in (which excludes overlong forms,
        // surrogates and values beyond U+10FFFF); later ones are 80..BF.
        const std::uint8_t lead = s[i];
        std::size_t continuations;
        std::uint8_t low = 0x80;
        std::uint8_t high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            continuations = 1;
        } else if (lead == 0xE0) {
            continuations = 2;
            low = 0xA0;
        } else if (lead == 0xED) {
            continuations = 2;
            high = 0x9F;
        } else if (lead >= 0xE1 && lead <= 0xEF) {
            continuations = 2;
        } else if (lead == 0xF0) {
            continuations = 3;
            low = 0x90;
        } else if (lead == 0xF4) {
            continuations = 3;
            high = 0x8F;
        } else if (lead >= 0xF1 && lead <= 0xF3) {
            continuations = 3;
        } else {
            return Utf8Fault{i, 1};
        }
        for (std::size_t k = 1; k <= continuations; ++k) {
            if (i + k >= n) return Utf8Fault{i, 0};
            const std::uint8_t c = s[i + k];
            if (c < low || c > high) return Utf8Fault{i, k};
            low = 0x80;
            high = 0xBF;
        }
        i += continuations + 1;
    }
    return std::nullopt;
}

// Whether all `n` bytes at `s` are ASCII, and so any run of them UTF-8:
// the whole run is read, eight bytes at a time, with no test per byte.
inline bool is_ascii(const std::uint8_t* s, std::size_t n) noexcept {
    std::uint64_t seen = 0;
    std::size_t i = 0;
    for (; n - i >= 8; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, s + i, 8);
        seen |= w;
    }
    for (; i < n; ++i) seen |= s[i];
    return (seen & 0x8080808080808080ULL) == 0;
}

}  // namespace quorl::encoding
