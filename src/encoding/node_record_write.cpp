// Writing a node record: a measuring pass and a writing pass over the
// update, so that the text can go straight into a buffer of known size.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "encoding/float_text.hpp"
#include "encoding/hex_digits.hpp"
#include "encoding/json_escape.hpp"
#include "encoding/node_record.hpp"

namespace quorl::encoding {

using detail::find_special;
using detail::kEscape;
using diff::NodeUpdate;

namespace {

std::uint64_t quoted_length(std::string_view text) noexcept {
    std::uint64_t n = text.size() + 2;
    const char* p = text.data();
    const char* const end = p + text.size();
    for (;;) {
        p = find_special(p, end);
        if (p == end) return n;
        n += kEscape[static_cast<unsigned char>(*p)] == 'u' ? 5 : 1;
        ++p;
    }
}

char* write_quoted(char* out, std::string_view text) noexcept {
    *out++ = '"';
    const char* p = text.data();
    const char* const end = p + text.size();
    for (;;) {
        const char* special = find_special(p, end);
        std::memcpy(out, p, static_cast<std::size_t>(special - p));
        out += special - p;
        if (special == end) break;
        const auto byte = static_cast<unsigned char>(*special);
        const char escape = kEscape[byte];
        *out++ = '\\';
        *out++ = escape;
        if (escape == 'u') {
            *out++ = '0';
            *out++ = '0';
            *out++ = kHexDigits[byte >> 4];
            *out++ = kHexDigits[byte & 0xF];
        }
        p = special + 1;
    }
    *out++ = '"';
    return out;
}

std::size_t u8_length(std::uint8_t v) noexcept { return v >= 100 ? 3 : v >= 10 ? 2 : 1; }

char* write_u8(char* out, std::uint8_t v) noexcept {
    if (v >= 100) *out++ = static_cast<char>('0' + v / 100);
    if (v >= 10) *out++ = static_cast<char>('0' + v / 10 % 10);
    *out++ = static_cast<char>('0' + v % 10);
    return out;
}

template <std::size_t N>
char* write_literal(char* out, const char (&text)[N]) noexcept {
    std::memcpy(out, text, N - 1);
    return out + (N - 1);
}

// Members are written as key, colon and value; these are the key parts.
constexpr char kLabelKey[] = "\"label\":";
constexpr char kSizeKey[] = "\"size\":";
constexpr char kUrlKey[] = "\"url\":";
constexpr char kRedKey[] = "\"red\":";
constexpr char kGreenKey[] = "\"green\":";
constexpr char kBlueKey[] = "\"blue\":";
constexpr char kShowLabelKey[] = "\"showLabel\":";

template <std::size_t N>
constexpr std::uint64_t key_length(const char (&)[N]) noexcept {
    return N - 1;
}

std::uint64_t size_value_length(float size) noexcept {
    if (!std::isfinite(size)) return 4;  // null
    return float_text_length(size);
}

}  // namespace

namespace detail {

std::uint64_t node_record_length(const NodeUpdate& update) noexcept {
    const int members = update.present_count();
    if (members == 0) return 2;
    std::uint64_t n = 2 + static_cast<std::uint64_t>(members - 1);  // braces and commas
    if (auto label = update.label()) n += key_length(kLabelKey) + quoted_length(*label);
    if (auto size = update.size()) n += key_length(kSizeKey) + size_value_length(*size);
    if (auto url = update.url()) n += key_length(kUrlKey) + quoted_length(*url);
    if (auto red = update.red()) n += key_length(kRedKey) + u8_length(*red);
    if (auto green = update.green()) n += key_length(kGreenKey) + u8_length(*green);
    if (auto blue = update.blue()) n += key_length(kBlueKey) + u8_length(*blue);
    if (auto show = update.show_label()) n += key_length(kShowLabelKey) + (*show ? 4 : 5);
    return n;
}

char* write_node_record(const NodeUpdate& update, char* out) noexcept {
    *out++ = '{';
    bool first = true;
    auto member = [&](auto& key) {
        if (!first) *out++ = ',';
        first = false;
        out = write_literal(out, key);
    };
    if (auto label = update.label()) {
        member(kLabelKey);
        out = write_quoted(out, *label);
    }
    if (auto size = update.size()) {
        member(kSizeKey);
        if (std::isfinite(*size)) {
            out += write_float_text(*size, out);
        } else {
            out = write_literal(out, "null");
        }
    }
    if (auto url = update.url()) {
        member(kUrlKey);
        out = write_quoted(out, *url);
    }
    if (auto red = update.red()) {
        member(kRedKey);
        out = write_u8(out, *red);
    }
    if (auto green = update.green()) {
        member(kGreenKey);
        out = write_u8(out, *green);
    }
    if (auto blue = update.blue()) {
        member(kBlueKey);
        out = write_u8(out, *blue);
    }
    if (auto show = update.show_label()) {
        member(kShowLabelKey);
        out = *show ? write_literal(out, "true") : write_literal(out, "false");
    }
    *out++ = '}';
    return out;
}

}  // namespace detail

void encode_node_update(const NodeUpdate& update, std::string& out) {
    const std::size_t start = out.size();
    out.resize(start + detail::node_record_length(update));
    char* end = detail::write_node_record(update, out.data() + start);
    out.resize(static_cast<std::size_t>(end - out.data()));
}

}  // namespace quorl::encoding
