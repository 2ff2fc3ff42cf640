// The node record JSON text, written straight into a buffer of known size.
// Used by encode_node_update and by the byte string writer, which measures
// every record first and then writes it in place.
#pragma once

#include <cstdint>

#include "diff/node_update.hpp"

namespace quorl::encoding::detail {

// Exact length of the node record text of `update`. A 64-bit count: a text
// attribute may be longer than the byte string can carry, which the caller
// checks.
std::uint64_t node_record_length(const diff::NodeUpdate& update) noexcept;

// Writes the node record text of `update` at `out`, which has room for
// node_record_length(update) bytes, and returns the end of what was written.
char* write_node_record(const diff::NodeUpdate& update, char* out) noexcept;

}  // namespace quorl::encoding::detail
