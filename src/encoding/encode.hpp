// Writing a GraphDiff as its byte string: four sections of little-endian
// counts, 16-byte identifiers, weights and node record JSON texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "diff/graph_diff.hpp"
#include "diff/result.hpp"
#include "encoding/wire_format.hpp"

namespace quorl::encoding {

struct EncodeError {
    std::string message;
};

// Fails when `n` (a count or a length about to be written) exceeds kMaxCount.
Result<void, EncodeError> check_count(std::uint64_t n);

// Exact length of the byte string of `diff`, or a failure when some count or
// length would exceed kMaxCount.
Result<std::size_t, EncodeError> encoded_size(const diff::GraphDiff& diff);

// Writes the byte string of `diff` to `out`, which must have room for exactly
// encoded_size(diff) bytes (and encoded_size must have succeeded).
void encode_into(const diff::GraphDiff& diff, std::uint8_t* out) noexcept;

// encoded_size, one allocation of exactly that size, and encode_into.
Result<std::vector<std::uint8_t>, EncodeError> encode_graph_diff(const diff::GraphDiff& diff);

namespace detail {

// Measures the node record text of one update.
using RecordLengthFn = std::uint64_t (*)(const diff::NodeUpdateView&) noexcept;

// encoded_size with the measure of node record texts supplied by the caller;
// encoded_size passes the real one. Lets the limit on text lengths be checked
// without building a text of gigabytes.
Result<std::size_t, EncodeError> encoded_size_with(const diff::GraphDiff& diff, RecordLengthFn record_length);

}  // namespace detail

}  // namespace quorl::encoding
