// A diff as its byte string and back: for to_bytes and from_bytes, and for
// the pickles and copies of a diff, which carry beside the bytes the node
// sizes that the bytes leave out (encoding::unwritten_sizes).
#pragma once

#include <Python.h>

#include <span>
#include <string_view>

#include "binding/error.hpp"
#include "diff/graph_diff.hpp"
#include "encoding/decode.hpp"

namespace quorl::binding {

// The byte string of `diff` as a new bytes object, written straight into
// it; Exception "Failed to serialize graph diff." for a diff too large for
// the byte string.
PyResult<Owned> bytes_of(const diff::GraphDiff& diff);

// The diff that `data` holds, with the `unwritten` sizes put back;
// Exception "Failed to deserialize graph diff." when it holds none.
PyResult<diff::GraphDiff> diff_of_bytes(std::string_view data,
                                        std::span<const encoding::UnwrittenSize> unwritten = {});

// A diff equal to `diff`: the same views in the same order, the same bytes.
PyResult<diff::GraphDiff> copy_of(const diff::GraphDiff& diff);

// The sizes of `diff` that its byte string leaves out, as a tuple of
// (id, size) pairs, each a 16-byte `bytes` and a float, for a pickle to
// carry; null when there are none, as nearly always.
Owned unwritten_sizes_tuple(const diff::GraphDiff& diff);

}  // namespace quorl::binding
