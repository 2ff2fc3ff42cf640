// Helpers shared by the fuzz targets: checks that stop the run with a
// message, and a plain UTF-8 validator written independently of the reader's.
// The model of the store and its comparison with a real diff are in
// tests/support/graph_diff_model.hpp.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "graph_diff_model.hpp"

namespace quorl::fuzz {

[[noreturn]] inline void check_failed(const char* what, const char* file, int line) {
    std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", what, file, line);
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(cond) \
    do {                 \
        if (!(cond)) ::quorl::fuzz::check_failed(#cond, __FILE__, __LINE__); \
    } while (0)

// Stops the run when a check of the model found something, printing it.
inline void check_none(const std::string& problems, const char* what, const char* file, int line) {
    if (problems.empty()) return;
    std::fprintf(stderr, "%s", problems.c_str());
    check_failed(what, file, line);
}
#define FUZZ_CHECK_NONE(problems) ::quorl::fuzz::check_none((problems), #problems, __FILE__, __LINE__)

// Whether [s, s + n) is well-formed UTF-8 (RFC 3629: shortest forms only, no
// surrogates, nothing beyond U+10FFFF). Decodes each sequence to its code
// point and checks the range, which is a different route from the reader's
// table of lead bytes.
inline bool valid_utf8(const std::uint8_t* s, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t b = s[i];
        std::size_t len;
        std::uint32_t cp;
        if (b < 0x80) {
            len = 1;
            cp = b;
        } else if ((b & 0xE0) == 0xC0) {
            len = 2;
            cp = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3;
            cp = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4;
            cp = b & 0x07;
        } else {
            return false;
        }
        if (n - i < len) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        static constexpr std::uint32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMinimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

inline bool valid_utf8(std::string_view s) {
    return valid_utf8(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

}  // namespace quorl::fuzz
