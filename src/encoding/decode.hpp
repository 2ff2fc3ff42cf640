// Reading a byte string back into a GraphDiff. Every malformed input gives an
// error value; the reader never reads past its input and never reserves room
// in proportion to a count it has not yet seen the data for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "diff/graph_diff.hpp"
#include "diff/result.hpp"

namespace quorl::encoding {

// Failure of the container layer.
struct DecodeError {
    enum class Kind { Io, Custom, InvalidUtf8Encoding };
    Kind kind;
    std::string message;  // the diagnostic text
};

// Failure to read one node record text.
struct NodeRecordError {
    std::string message;
    std::size_t line;
    std::size_t column;
    // message + " at line {line} column {column}"
    std::string text() const;
};

using GraphDiffError = std::variant<DecodeError, NodeRecordError>;

// Entries reserved for a collection before any of its data has been read.
inline constexpr std::size_t kMaxReserve = 4096;

Result<diff::GraphDiff, GraphDiffError> decode_graph_diff(const std::uint8_t* data, std::size_t size);

// Parses one node record text (valid UTF-8) in object or array form.
Result<diff::NodeUpdate, NodeRecordError> decode_node_update(std::string_view text);

}  // namespace quorl::encoding
