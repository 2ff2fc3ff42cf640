// Reading a byte string back into a GraphDiff. Every malformed input gives an
// error value; the reader never reads past its input and never reserves room
// in proportion to a count it has not yet seen the data for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

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

// A node's size that the byte string leaves out: the writer writes a NaN or
// infinite size as null, which reads back absent. A pickle or a copy of a
// diff carries these sizes beside its bytes and hands them back to the
// reader, which puts each into its node's update as it reads the update.
struct UnwrittenSize {
    diff::Uuid id;
    float size;
};

// The sizes of `diff` that its byte string leaves out, in the order of its
// nodes; none, as nearly always, when every size is finite.
std::vector<UnwrittenSize> unwritten_sizes(const diff::GraphDiff& diff);

// The diff that `data` holds, with the `unwritten` sizes put back. Each of
// those must be NaN or infinite and belong to a distinct node that reads
// back without a size: anything else did not come from the writer, and the
// input is refused.
Result<diff::GraphDiff, GraphDiffError> decode_graph_diff(const std::uint8_t* data, std::size_t size,
                                                          std::span<const UnwrittenSize> unwritten = {});

}  // namespace quorl::encoding
