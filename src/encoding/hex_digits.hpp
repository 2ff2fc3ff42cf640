// The lowercase hexadecimal digits, for every text that spells bytes in hex:
// \u escapes in node records, and identifiers as UUID text.
#pragma once

namespace quorl::encoding {

inline constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace quorl::encoding
