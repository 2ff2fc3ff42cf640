#include "encoding/encode.hpp"

#include <cstring>
#include <limits>
#include <string>

#include "encoding/byte_order.hpp"
#include "encoding/node_record.hpp"
#include "encoding/wire_format.hpp"

namespace quorl::encoding {

using diff::GraphDiff;
using diff::Uuid;

namespace {

EncodeError too_large(std::uint64_t n) {
    return EncodeError{"count or length " + std::to_string(n) + " exceeds the limit of " + std::to_string(kMaxCount)};
}

std::uint8_t* write_identifier(std::uint8_t* out, const Uuid& id) noexcept {
    out = detail::store_u64(out, 16);
    std::memcpy(out, id.bytes.data(), 16);
    return out + 16;
}

}  // namespace

Result<void, EncodeError> check_count(std::uint64_t n) {
    if (n > kMaxCount) return fail(too_large(n));
    return {};
}

namespace detail {

Result<std::size_t, EncodeError> encoded_size_with(const GraphDiff& diff, RecordLengthFn record_length) {
    // Every count is checked against the limit, so each product below is far
    // from overflowing; only the running total needs a guard.
    std::uint64_t total = 4 * kCountSize;
    bool overflow = false;
    auto add = [&](std::uint64_t n) { overflow |= __builtin_add_overflow(total, n, &total); };

    const auto& nodes = diff.new_or_updated_nodes();
    if (nodes.size() > kMaxCount) return fail(too_large(nodes.size()));
    for (const auto& node : nodes) {
        const std::uint64_t text = record_length(node.value);
        if (text > kMaxCount) return fail(too_large(text));
        add(kNodeEntrySize + text);
    }

    const auto& deleted_nodes = diff.deleted_nodes();
    if (deleted_nodes.size() > kMaxCount) return fail(too_large(deleted_nodes.size()));
    add(kIdentifierSize * deleted_nodes.size());

    const auto& edges = diff.new_or_updated_edges();
    if (edges.size() > kMaxCount) return fail(too_large(edges.size()));
    for (const auto& group : edges) {
        if (group.value.size() > kMaxCount) return fail(too_large(group.value.size()));
        add(kGroupHeaderSize + kWeightedTargetSize * group.value.size());
    }

    const auto& deleted_edges = diff.deleted_edges();
    if (deleted_edges.size() > kMaxCount) return fail(too_large(deleted_edges.size()));
    for (const auto& group : deleted_edges) {
        if (group.value.size() > kMaxCount) return fail(too_large(group.value.size()));
        add(kGroupHeaderSize + kIdentifierSize * group.value.size());
    }

    if (overflow || total > std::numeric_limits<std::size_t>::max()) {
        return fail(EncodeError{"the byte string would not fit in memory"});
    }
    return static_cast<std::size_t>(total);
}

}  // namespace detail

Result<std::size_t, EncodeError> encoded_size(const GraphDiff& diff) {
    return detail::encoded_size_with(diff, &detail::node_record_length);
}

void encode_into(const GraphDiff& diff, std::uint8_t* out) noexcept {
    using detail::store_u64;

    const auto& nodes = diff.new_or_updated_nodes();
    out = store_u64(out, nodes.size());
    for (const auto& node : nodes) {
        out = write_identifier(out, node.key);
        // The record goes straight after its length field, which is filled
        // in once the record's end is known.
        char* const text = reinterpret_cast<char*>(out + kCountSize);
        char* const text_end = detail::write_node_record(node.value, text);
        store_u64(out, static_cast<std::uint64_t>(text_end - text));
        out = reinterpret_cast<std::uint8_t*>(text_end);
    }

    const auto& deleted_nodes = diff.deleted_nodes();
    out = store_u64(out, deleted_nodes.size());
    for (const auto& node : deleted_nodes) out = write_identifier(out, node.key);

    const auto& edges = diff.new_or_updated_edges();
    out = store_u64(out, edges.size());
    for (const auto& group : edges) {
        out = write_identifier(out, group.key);
        out = store_u64(out, group.value.size());
        for (const auto& target : group.value) {
            out = write_identifier(out, target.key);
            std::uint32_t bits;
            std::memcpy(&bits, &target.value, 4);
            out = detail::store_u32(out, bits);
        }
    }

    const auto& deleted_edges = diff.deleted_edges();
    out = store_u64(out, deleted_edges.size());
    for (const auto& group : deleted_edges) {
        out = write_identifier(out, group.key);
        out = store_u64(out, group.value.size());
        for (const auto& target : group.value) out = write_identifier(out, target.key);
    }
}

Result<std::vector<std::uint8_t>, EncodeError> encode_graph_diff(const GraphDiff& diff) {
    auto size = encoded_size(diff);
    if (!size) return fail(std::move(size).error());
    std::vector<std::uint8_t> out(*size);
    encode_into(diff, out.data());
    return out;
}

}  // namespace quorl::encoding
