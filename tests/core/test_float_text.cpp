// The text of a binary32 size: shortest round-trip digits, laid out in plain
// form up to 13 integer digits and down to five leading fractional zeros, in
// exponent form beyond.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "encoding/float_text.hpp"

namespace quorl::encoding {
namespace {

std::string text(float value) {
    char buf[kMaxFloatText];
    return std::string(buf, write_float_text(value, buf));
}

TEST(FloatText, KnownValues) {
    constexpr float kMax = std::numeric_limits<float>::max();
    constexpr float kMin = std::numeric_limits<float>::min();
    constexpr float kDenormMin = std::numeric_limits<float>::denorm_min();
    const struct {
        float value;
        const char* text;
    } cases[] = {
        {0.0f, "0.0"},
        {-0.0f, "-0.0"},
        // Integral values up to thirteen digits, then the exponent form.
        {1.0f, "1.0"},
        {100.0f, "100.0"},
        {-7.0f, "-7.0"},
        {16777216.0f, "16777216.0"},
        {1e12f, "1000000000000.0"},
        {1.5e12f, "1500000000000.0"},
        {-1e12f, "-1000000000000.0"},
        {1e13f, "1e13"},
        {1.5e13f, "1.5e13"},
        {-1e13f, "-1e13"},
        // The point inside the digits.
        {2.5f, "2.5"},
        {123.25f, "123.25"},
        {-1.75f, "-1.75"},
        {1.1f, "1.1"},  // digits of the binary32 value, not of its widening
        {3.1415927f, "3.1415927"},
        // Small values down to six decimals, then the exponent form.
        {0.1f, "0.1"},
        {0.5f, "0.5"},
        {0.001f, "0.001"},
        {1e-6f, "0.000001"},
        {1.5e-6f, "0.0000015"},
        {-0.25f, "-0.25"},
        {1e-7f, "1e-7"},
        {1.5e-7f, "1.5e-7"},
        // The exponent form.
        {kMax, "3.4028235e38"},
        {-kMax, "-3.4028235e38"},
        {kMin, "1.1754944e-38"},
        {1e38f, "1e38"},
        {1e20f, "1e20"},
        // Denormals.
        {kDenormMin, "1e-45"},
        {-kDenormMin, "-1e-45"},
        {2 * kDenormMin, "3e-45"},
        {std::nextafter(kMin, 0.0f), "1.1754942e-38"},
    };
    for (const auto& c : cases) EXPECT_EQ(text(c.value), c.text);
}

// Every finite value: the text is a JSON number that reads back as the same
// binary32 value, fits the buffer, and uses the exponent form exactly where
// the plain form would be too long.
TEST(FloatText, RandomValuesRoundTrip) {
    std::mt19937_64 rng(0x5eed);
    for (int i = 0; i < 200000; ++i) {
        const auto bits = static_cast<std::uint32_t>(rng());
        float value;
        std::memcpy(&value, &bits, 4);
        if (!std::isfinite(value)) continue;
        const std::string t = text(value);
        ASSERT_LE(t.size(), kMaxFloatText);
        ASSERT_EQ(float_text_length(value), t.size()) << t;
        float back = 0;
        const auto res = std::from_chars(t.data(), t.data() + t.size(), back);
        ASSERT_TRUE(res.ec == std::errc() && res.ptr == t.data() + t.size()) << t;
        std::uint32_t back_bits;
        std::memcpy(&back_bits, &back, 4);
        ASSERT_EQ(back_bits, bits) << t;

        const float magnitude = std::fabs(value);
        const bool plain = magnitude == 0.0f || (magnitude >= 1e-6f && magnitude < 1e13f);
        ASSERT_EQ(t.find('e') == std::string::npos, plain) << t;
        ASSERT_EQ(t.find('+'), std::string::npos) << t;
        if (plain) {
            ASSERT_NE(t.find('.'), std::string::npos) << t;
        }
    }
}

// Values that are short exact decimals take a shortcut around the general
// shortest-digits search; both must give the same text. Covered here: every
// multiple of 1/64 below 2^14, a spread of decimals with up to six places
// (most of them not exact in binary32), and the edges of the shortcut.
TEST(FloatText, ShortExactDecimalsMatchTheGeneralSearch) {
    auto check = [](float value) {
        char fast[kMaxFloatText];
        char searched[kMaxFloatText];
        const std::string a(fast, write_float_text(value, fast));
        const std::string b(searched, detail::write_float_text_searched(value, searched));
        ASSERT_EQ(a, b) << "bits " << std::hex << std::bit_cast<std::uint32_t>(value);
        ASSERT_EQ(float_text_length(value), a.size());
    };
    for (int n = 0; n < (1 << 20); ++n) {
        check(static_cast<float>(n) / 64.0f);
        check(-static_cast<float>(n) / 64.0f);
    }
    for (int n = 0; n < 1000000; n += 7) {
        check(static_cast<float>(n / 1000.0));
        check(static_cast<float>(n / 1000000.0));
        check(static_cast<float>(n));
    }
    for (float edge : {999999.0f, 1000000.0f, 999999.5f, 0.015625f, 0.0078125f, 15625e-6f, 1048576.0f, 524288.0f,
                       3.0517578e-5f, 1.1920929e-7f}) {
        check(edge);
    }
}

}  // namespace
}  // namespace quorl::encoding
