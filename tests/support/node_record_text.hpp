// One node record text as a string, for the tests, fuzz targets and
// benchmarks that look at records one at a time; the byte string's writer
// measures each record and writes it in place instead
// (encoding/node_record.hpp).
#pragma once

#include <cstddef>
#include <string>

#include "encoding/node_record.hpp"

namespace quorl::encoding {

// Appends the node record text of `update` to `out`.
inline void encode_node_update(const diff::NodeUpdateView& update, std::string& out) {
    const std::size_t start = out.size();
    out.resize(start + detail::node_record_length(update));
    char* end = detail::write_node_record(update, out.data() + start);
    out.resize(static_cast<std::size_t>(end - out.data()));
}

}  // namespace quorl::encoding
