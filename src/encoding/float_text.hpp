// The text of a binary32 value in a node record: its shortest round-trip
// decimal digits laid out in plain or exponent form.
#pragma once

#include <cstddef>

namespace quorl::encoding {

// Longest text write_float_text produces ("-1.2345678e-45" and the like).
inline constexpr std::size_t kMaxFloatText = 24;

// Writes the text of a finite `value` to `out` (room for kMaxFloatText
// characters) and returns its length. Non-finite values are the caller's to
// handle: they are written as null.
std::size_t write_float_text(float value, char* out) noexcept;

// The length of the text write_float_text gives, without writing it.
std::size_t float_text_length(float value) noexcept;

namespace detail {
// The same text, always from the general shortest-digits search (the
// reference the exact-decimal shortcut is checked against).
std::size_t write_float_text_searched(float value, char* out) noexcept;
}  // namespace detail

}  // namespace quorl::encoding
