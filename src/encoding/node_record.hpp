// The node record: the JSON object in which the attributes of a new or
// updated node travel inside the byte string. The writer (node_record_write)
// measures a record and then writes it in place; the reader
// (node_record_read) is a strict RFC 8259 reader specialised to the
// attributes, whose failure messages node_record_messages builds. Both take
// the attributes, their keys and their order from diff/node_attributes.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "diff/node_update.hpp"
#include "diff/result.hpp"

namespace quorl::encoding {

// Failure to read one node record text.
struct NodeRecordError {
    std::string message;
    std::size_t line;
    std::size_t column;
    // message + " at line {line} column {column}"
    std::string text() const;
};

// Parses one node record text (valid UTF-8) in object or array form.
Result<diff::NodeUpdate, NodeRecordError> decode_node_update(std::string_view text);

namespace detail {

// Exact length of the node record text of `update`. A 64-bit count: a text
// attribute may be longer than the byte string can carry, which the caller
// checks.
std::uint64_t node_record_length(const diff::NodeUpdateView& update) noexcept;

// Writes the node record text of `update` at `out`, which has room for
// node_record_length(update) bytes, and returns the end of what was written.
// The byte string writer measures every record first and then writes it in
// place.
char* write_node_record(const diff::NodeUpdateView& update, char* out) noexcept;

}  // namespace detail

}  // namespace quorl::encoding
