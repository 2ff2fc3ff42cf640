// The values the node record reader meets where an attribute is expected,
// and the messages of its failures that describe them (the syntax failures
// are fixed texts, written where they are detected). Private to the reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "diff/node_attributes.hpp"
#include "encoding/node_record.hpp"

namespace quorl::encoding::record {

// A JSON number as the reader classifies it: an integer that fits in 64 bits
// (unsigned, or negative within the signed range) or a 64-bit float.
struct Number {
    enum Kind { U64, I64, F64 } kind = U64;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    double f = 0.0;
};

// A value met where an attribute is expected. Containers are recorded but
// not consumed: an attribute never accepts one.
struct Value {
    enum Kind { Null, Bool, String, Num, Sequence, Map } kind = Null;
    bool boolean = false;
    std::string_view string;
    Number number;
};

// The failure `message` detected at byte `offset` of `text`, with its line
// and column: the column is the 1-based column of the byte before the
// offset, so a failure "at" a byte reports that byte's column.
NodeRecordError error_at(std::string_view text, std::size_t offset, std::string message);

// What a record or an attribute of `kind` expected, as the messages name it.
inline constexpr std::string_view kExpectedRecord = "struct NodeUpdate";
constexpr std::string_view expected(diff::AttributeKind kind) noexcept {
    switch (kind) {
        case diff::AttributeKind::Text: return "a string";
        case diff::AttributeKind::Float: return "f32";
        case diff::AttributeKind::Byte: return "u8";
        case diff::AttributeKind::Bool: break;
    }
    return "a boolean";
}

// "invalid type: integer `5`, expected struct NodeUpdate"
std::string invalid_type(const Value& found, std::string_view expected);
// "invalid value: integer `256`, expected u8"
std::string invalid_value(const Value& found, std::string_view expected);
// "invalid length 6, expected struct NodeUpdate with 7 elements"
std::string invalid_length(int elements);
// "duplicate field `label`"
std::string duplicate_field(std::string_view key);

}  // namespace quorl::encoding::record
