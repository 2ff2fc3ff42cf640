// Little-endian loads and stores of the byte string's fixed-width fields,
// independent of the machine's own byte order.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace quorl::encoding::detail {

inline std::uint64_t to_little_endian(std::uint64_t v) noexcept {
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

inline std::uint32_t to_little_endian(std::uint32_t v) noexcept {
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    return v;
}

inline std::uint8_t* store_u64(std::uint8_t* out, std::uint64_t v) noexcept {
    v = to_little_endian(v);
    std::memcpy(out, &v, 8);
    return out + 8;
}

inline std::uint8_t* store_u32(std::uint8_t* out, std::uint32_t v) noexcept {
    v = to_little_endian(v);
    std::memcpy(out, &v, 4);
    return out + 4;
}

inline std::uint64_t load_u64(const std::uint8_t* in) noexcept {
    std::uint64_t v;
    std::memcpy(&v, in, 8);
    return to_little_endian(v);
}

inline std::uint32_t load_u32(const std::uint8_t* in) noexcept {
    std::uint32_t v;
    std::memcpy(&v, in, 4);
    return to_little_endian(v);
}

}  // namespace quorl::encoding::detail
