#include "encoding/float_text.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace quorl::encoding {
namespace {

// A positive value as decimal digits d1..dn (no trailing zero unless n is
// 1) and the position of the decimal point counted from d1: the value is
// 0.d1..dn x 10^point.
struct Decimal {
    char digits[16];
    int count = 0;
    int point = 0;
};

// Writes the decimal form of `value` (no sign for non-negative values).
char* write_int(char* out, int value) noexcept {
    return std::to_chars(out, out + 12, value).ptr;
}

// The common case, without a general shortest-digits search: a value that
// is exactly n / 10^places for a whole n below 10^6. Two different decimals
// of at most six significant digits never read as the same binary32 value
// (six is the format's guaranteed decimal precision), so the digits of n are
// the shortest digits that read back as the value.
struct ShortDecimal {
    std::uint32_t n = 0;
    int places = 0;
};

bool exact_short_decimal(float magnitude, ShortDecimal& out) noexcept {
    const auto bits = std::bit_cast<std::uint32_t>(magnitude);
    const std::uint32_t biased = bits >> 23;
    if (biased == 0) return false;  // zero and denormals
    // magnitude = mantissa x 2^exponent, with an odd mantissa.
    std::uint64_t mantissa = (bits & 0x7FFFFFu) | 0x800000u;
    int exponent = static_cast<int>(biased) - 150;
    const int shift = std::countr_zero(mantissa);
    mantissa >>= shift;
    exponent += shift;

    constexpr std::uint64_t kLimit = 1000000;
    std::uint64_t n = mantissa;
    int places = 0;  // 2^-k = 5^k / 10^k
    if (exponent >= 0) {
        if (exponent >= 20) return false;
        n <<= exponent;
    } else {
        places = -exponent;
        if (places > 6) return false;
        for (int i = 0; i < places; ++i) n *= 5;
    }
    if (n >= kLimit) return false;
    out.n = static_cast<std::uint32_t>(n);
    out.places = places;
    return true;
}

int decimal_digits(std::uint32_t v) noexcept {
    int count = 1;
    while (v >= 10) {
        v /= 10;
        ++count;
    }
    return count;
}

// A short exact decimal is always laid out in plain form: the whole part,
// the point, then the fraction padded to `places` digits, or ".0" for a
// whole value. With an odd mantissa the last fraction digit is 5, so the
// fraction never has trailing zeros to drop.
std::size_t short_decimal_length(const ShortDecimal& d) noexcept {
    if (d.places == 0) return static_cast<std::size_t>(decimal_digits(d.n) + 2);
    const int whole = decimal_digits(d.n) - d.places;
    return static_cast<std::size_t>((whole > 0 ? whole : 1) + 1 + d.places);
}

std::size_t write_short_decimal(const ShortDecimal& d, char* out) noexcept {
    const std::size_t length = short_decimal_length(d);
    char* p = out + length;
    std::uint32_t v = d.n;
    if (d.places == 0) {
        *--p = '0';
        *--p = '.';
    } else {
        for (int i = 0; i < d.places; ++i) {
            *--p = static_cast<char>('0' + v % 10);
            v /= 10;
        }
        *--p = '.';
    }
    do {
        *--p = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (p != out);
    return length;
}

// Any other positive finite value: the shortest round-trip digits from
// std::to_chars in the form d[.ddd]e(+|-)xx, taken apart.
void shortest_decimal(float magnitude, Decimal& out) noexcept {
    char sci[32];
    const auto res = std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific);
    const char* const sci_end = res.ptr;
    int n = 0;
    const char* q = sci;
    for (; q != sci_end && *q != 'e'; ++q) {
        if (*q != '.') out.digits[n++] = *q;
    }
    int sci_exponent = 0;
    if (q != sci_end) {
        ++q;  // 'e'
        const bool negative = *q == '-';
        if (*q == '-' || *q == '+') ++q;
        for (; q != sci_end; ++q) sci_exponent = sci_exponent * 10 + (*q - '0');
        if (negative) sci_exponent = -sci_exponent;
    }
    while (n > 1 && out.digits[n - 1] == '0') --n;
    out.count = n;
    out.point = sci_exponent + 1;
}

// Lays the digits out at `p` in plain or exponent form.
char* lay_out(const Decimal& d, char* p) noexcept {
    const int n = d.count;
    const int point = d.point;
    const int e = point - n;  // value = d1..dn x 10^e
    if (e >= 0 && point <= 13) {
        // Integral: the digits, the zeros of the exponent, then ".0".
        std::memcpy(p, d.digits, static_cast<std::size_t>(n));
        p += n;
        std::memset(p, '0', static_cast<std::size_t>(e));
        p += e;
        *p++ = '.';
        *p++ = '0';
    } else if (point > 0 && point <= 13) {
        // The point falls inside the digits.
        std::memcpy(p, d.digits, static_cast<std::size_t>(point));
        p += point;
        *p++ = '.';
        std::memcpy(p, d.digits + point, static_cast<std::size_t>(n - point));
        p += n - point;
    } else if (point > -6 && point <= 0) {
        // Small: "0.", the leading zeros, then the digits.
        *p++ = '0';
        *p++ = '.';
        std::memset(p, '0', static_cast<std::size_t>(-point));
        p += -point;
        std::memcpy(p, d.digits, static_cast<std::size_t>(n));
        p += n;
    } else {
        // Exponent form, with a point only when there is more than one digit.
        *p++ = d.digits[0];
        if (n > 1) {
            *p++ = '.';
            std::memcpy(p, d.digits + 1, static_cast<std::size_t>(n - 1));
            p += n - 1;
        }
        *p++ = 'e';
        p = write_int(p, point - 1);
    }
    return p;
}

// The text after the sign of a nonzero finite magnitude.
std::size_t write_magnitude(float magnitude, char* out, bool allow_exact) noexcept {
    ShortDecimal exact;
    if (allow_exact && exact_short_decimal(magnitude, exact)) return write_short_decimal(exact, out);
    Decimal d;
    shortest_decimal(magnitude, d);
    return static_cast<std::size_t>(lay_out(d, out) - out);
}

std::size_t write_with(float value, char* out, bool allow_exact) noexcept {
    const std::size_t sign = std::signbit(value) ? 1 : 0;
    if (sign) out[0] = '-';
    const float magnitude = std::fabs(value);
    if (magnitude == 0.0f) {
        std::memcpy(out + sign, "0.0", 3);
        return sign + 3;
    }
    return sign + write_magnitude(magnitude, out + sign, allow_exact);
}

}  // namespace

std::size_t write_float_text(float value, char* out) noexcept { return write_with(value, out, true); }

std::size_t float_text_length(float value) noexcept {
    // A short exact decimal (the common sizes) is measured without being
    // written; any other value is written into a scratch buffer.
    ShortDecimal exact;
    if (exact_short_decimal(std::fabs(value), exact)) return (std::signbit(value) ? 1 : 0) + short_decimal_length(exact);
    char scratch[kMaxFloatText];
    return write_float_text(value, scratch);
}

namespace detail {
std::size_t write_float_text_searched(float value, char* out) noexcept { return write_with(value, out, false); }
}  // namespace detail

}  // namespace quorl::encoding
