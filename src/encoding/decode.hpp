// Reading a byte string back into a GraphDiff. Every malformed input gives an
// error value; the reader never reads past its input and never reserves room
// in proportion to a count it has not yet seen the data for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "diff/graph_diff.hpp"
#include "diff/result.hpp"
#include "encoding/node_record.hpp"

namespace quorl::encoding {

// Failure of the container layer.
struct DecodeError {
    enum class Kind { Io, Custom, InvalidUtf8Encoding };
    Kind kind;
    std::string message;  // the diagnostic text
};

using GraphDiffError = std::variant<DecodeError, NodeRecordError>;

// Entries reserved for a collection before any of its data has been read.
inline constexpr std::size_t kMaxReserve = 4096;

Result<diff::GraphDiff, GraphDiffError> decode_graph_diff(const std::uint8_t* data, std::size_t size);

}  // namespace quorl::encoding
