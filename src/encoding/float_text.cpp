#include "encoding/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace quorl::encoding {
namespace {

// Writes the decimal form of `value` (no sign for non-negative values).
char* write_int(char* out, int value) noexcept {
    return std::to_chars(out, out + 12, value).ptr;
}

}  // namespace

std::size_t write_float_text(float value, char* out) noexcept {
    char* p = out;
    if (std::signbit(value)) *p++ = '-';
    const float magnitude = std::fabs(value);
    if (magnitude == 0.0f) {
        std::memcpy(p, "0.0", 3);
        return static_cast<std::size_t>(p + 3 - out);
    }

    // The shortest round-trip digits of the binary32 value, in the form
    // d[.ddd]e(+|-)xx; taking them apart gives the digit string d1..dn and
    // the decimal exponent of d1.
    char sci[32];
    const auto res = std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific);
    const char* const sci_end = res.ptr;
    char digits[16];
    int n = 0;
    const char* q = sci;
    for (; q != sci_end && *q != 'e'; ++q) {
        if (*q != '.') digits[n++] = *q;
    }
    int sci_exponent = 0;
    if (q != sci_end) {
        ++q;  // 'e'
        const bool negative = *q == '-';
        if (*q == '-' || *q == '+') ++q;
        for (; q != sci_end; ++q) sci_exponent = sci_exponent * 10 + (*q - '0');
        if (negative) sci_exponent = -sci_exponent;
    }
    while (n > 1 && digits[n - 1] == '0') --n;

    // value = d1..dn x 10^e, and p is where the decimal point falls counted
    // from the first digit.
    const int point = sci_exponent + 1;
    const int e = point - n;

    if (e >= 0 && point <= 13) {
        // Integral: the digits, the zeros of the exponent, then ".0".
        std::memcpy(p, digits, static_cast<std::size_t>(n));
        p += n;
        std::memset(p, '0', static_cast<std::size_t>(e));
        p += e;
        *p++ = '.';
        *p++ = '0';
    } else if (point > 0 && point <= 13) {
        // The point falls inside the digits.
        std::memcpy(p, digits, static_cast<std::size_t>(point));
        p += point;
        *p++ = '.';
        std::memcpy(p, digits + point, static_cast<std::size_t>(n - point));
        p += n - point;
    } else if (point > -6 && point <= 0) {
        // Small: "0.", the leading zeros, then the digits.
        *p++ = '0';
        *p++ = '.';
        std::memset(p, '0', static_cast<std::size_t>(-point));
        p += -point;
        std::memcpy(p, digits, static_cast<std::size_t>(n));
        p += n;
    } else {
        // Exponent form, with a point only when there is more than one digit.
        *p++ = digits[0];
        if (n > 1) {
            *p++ = '.';
            std::memcpy(p, digits + 1, static_cast<std::size_t>(n - 1));
            p += n - 1;
        }
        *p++ = 'e';
        p = write_int(p, point - 1);
    }
    return static_cast<std::size_t>(p - out);
}

}  // namespace quorl::encoding
