// The messages of the node record reader's failures. They never reach
// Python: they say what the reader met, for tests and for whoever debugs a
// byte string.

#include "encoding/node_record_messages.hpp"

#include <charconv>
#include <cmath>

#include "encoding/hex_digits.hpp"

namespace quorl::encoding {

std::string NodeRecordError::text() const {
    return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

namespace record {
namespace {

// A double in plain decimal notation with at least one fractional digit
// ("255.0", "0.5", "1e20" as "100000000000000000000.0").
std::string plain_double(double value) {
    std::string out;
    if (std::signbit(value)) out += '-';
    value = std::fabs(value);
    if (value == 0.0) return out + "0.0";
    char sci[40];
    const char* end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
    std::string digits;
    const char* q = sci;
    for (; q != end && *q != 'e'; ++q) {
        if (*q != '.') digits += *q;
    }
    int exponent = 0;
    std::from_chars(q + 1 + (q[1] == '+'), end, exponent);
    const int point = exponent + 1;
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
        out += digits;
        out.append(static_cast<std::size_t>(point) - digits.size(), '0');
        out += ".0";
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits, static_cast<std::size_t>(point));
    }
    return out;
}

// A string in double quotes with the quote, the backslash and control
// characters escaped.
std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    out += "\\u{";
                    if (c >= 0x10) out += kHexDigits[c >> 4];
                    out += kHexDigits[c & 0xF];
                    out += '}';
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

std::string describe(const Value& v) {
    switch (v.kind) {
        case Value::Null: return "null";
        case Value::Bool: return v.boolean ? "boolean `true`" : "boolean `false`";
        case Value::String: return "string " + quoted(v.string);
        case Value::Sequence: return "sequence";
        case Value::Map: return "map";
        case Value::Num: break;
    }
    switch (v.number.kind) {
        case Number::U64: return "integer `" + std::to_string(v.number.u) + "`";
        case Number::I64: return "integer `" + std::to_string(v.number.i) + "`";
        case Number::F64: break;
    }
    return "floating point `" + plain_double(v.number.f) + "`";
}

}  // namespace

NodeRecordError error_at(std::string_view text, std::size_t offset, std::string message) {
    std::size_t line = 1;
    std::size_t column = 0;
    for (char c : text.substr(0, offset)) {
        if (c == '\n') {
            ++line;
            column = 0;
        } else {
            ++column;
        }
    }
    return NodeRecordError{std::move(message), line, column};
}

std::string invalid_type(const Value& found, std::string_view expected) {
    return "invalid type: " + describe(found) + ", expected " + std::string(expected);
}

std::string invalid_value(const Value& found, std::string_view expected) {
    return "invalid value: " + describe(found) + ", expected " + std::string(expected);
}

std::string invalid_length(int elements) {
    return "invalid length " + std::to_string(elements) + ", expected " + std::string(kExpectedRecord) + " with " +
           std::to_string(diff::kAttributeCount) + " elements";
}

std::string duplicate_field(std::string_view key) { return "duplicate field `" + std::string(key) + "`"; }

}  // namespace record
}  // namespace quorl::encoding
