// The fixed widths of the byte string's items and the limit on its counts,
// shared by the writer and the reader.
#pragma once

#include <cstdint>

namespace quorl::encoding {

// Counts and lengths are at most this; the reader refuses larger ones, so the
// writer does too rather than produce bytes that cannot be read back.
inline constexpr std::uint64_t kMaxCount = 4294967295ULL;

inline constexpr std::uint64_t kCountSize = 8;  // a count or a length
inline constexpr std::uint64_t kWeightSize = 4;
inline constexpr std::uint64_t kIdentifierSize = kCountSize + 16;  // length 16, then the bytes

// The fixed part of each kind of entry: the least number of bytes it takes.
inline constexpr std::uint64_t kNodeEntrySize = kIdentifierSize + kCountSize;   // identifier and text length
inline constexpr std::uint64_t kGroupHeaderSize = kIdentifierSize + kCountSize;  // source and target count
inline constexpr std::uint64_t kWeightedTargetSize = kIdentifierSize + kWeightSize;

}  // namespace quorl::encoding
