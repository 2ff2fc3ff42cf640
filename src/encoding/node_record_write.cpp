// Writing a node record: a measuring pass and a writing pass over the
// update, so that the text can go straight into a buffer of known size.

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "encoding/float_text.hpp"
#include "encoding/hex_digits.hpp"
#include "encoding/json_escape.hpp"
#include "encoding/node_record.hpp"

namespace quorl::encoding {

using detail::find_special;
using detail::kEscape;
using diff::NodeUpdateView;

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

// A member is written as its key, a colon and the value; this is the part
// before the value, made from the attribute's key.
template <diff::Attribute A>
constexpr auto kMemberStart = [] {
    constexpr std::string_view key = diff::kAttributes[A].wire_key;
    std::array<char, key.size() + 3> start{};
    start[0] = '"';
    for (std::size_t i = 0; i < key.size(); ++i) start[i + 1] = key[i];
    start[key.size() + 1] = '"';
    start[key.size() + 2] = ':';
    return start;
}();

std::uint64_t size_value_length(float size) noexcept {
    if (!std::isfinite(size)) return 4;  // null
    return float_text_length(size);
}

// The length of an attribute's value as written.
template <diff::AttributeKind Kind>
std::uint64_t value_length(diff::KindValue<Kind> value) noexcept {
    using diff::AttributeKind;
    if constexpr (Kind == AttributeKind::Text) {
        return quoted_length(value);
    } else if constexpr (Kind == AttributeKind::Float) {
        return size_value_length(value);
    } else if constexpr (Kind == AttributeKind::Byte) {
        return u8_length(value);
    } else {
        return value ? 4 : 5;
    }
}

template <diff::AttributeKind Kind>
char* write_value(char* out, diff::KindValue<Kind> value) noexcept {
    using diff::AttributeKind;
    if constexpr (Kind == AttributeKind::Text) {
        return write_quoted(out, value);
    } else if constexpr (Kind == AttributeKind::Float) {
        // A value JSON cannot write is null, and reads back absent.
        if (!std::isfinite(value)) return write_literal(out, "null");
        return out + write_float_text(value, out);
    } else if constexpr (Kind == AttributeKind::Byte) {
        return write_u8(out, value);
    } else {
        return value ? write_literal(out, "true") : write_literal(out, "false");
    }
}

}  // namespace

namespace detail {

std::uint64_t node_record_length(const NodeUpdateView& update) noexcept {
    const int members = update.present_count();
    if (members == 0) return 2;
    std::uint64_t n = 2 + static_cast<std::uint64_t>(members - 1);  // braces and commas
    diff::for_each_attribute([&](auto a) {
        if (auto value = update.get<a>()) n += kMemberStart<a>.size() + value_length<diff::kKindOf<a>>(*value);
    });
    return n;
}

char* write_node_record(const NodeUpdateView& update, char* out) noexcept {
    *out++ = '{';
    bool first = true;
    diff::for_each_attribute([&](auto a) {
        auto value = update.get<a>();
        if (!value) return;
        if (!first) *out++ = ',';
        first = false;
        std::memcpy(out, kMemberStart<a>.data(), kMemberStart<a>.size());
        out = write_value<diff::kKindOf<a>>(out + kMemberStart<a>.size(), *value);
    });
    *out++ = '}';
    return out;
}

}  // namespace detail

}  // namespace quorl::encoding
