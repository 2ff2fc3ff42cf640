// Helpers shared by the byte string tests: identifiers, a builder for hand
// made byte strings, and a comparable snapshot of a diff's four collections.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "diff/graph_diff.hpp"
#include "diff/node_update.hpp"
#include "diff/uuid.hpp"

namespace quorl::encoding::test_util {

using diff::GraphDiff;
using diff::NodeUpdate;
using diff::Uuid;

// Identifiers that differ in their first and last bytes.
inline Uuid uuid(std::uint8_t n) {
    Uuid u;
    for (int i = 0; i < 16; ++i) u.bytes[i] = static_cast<std::uint8_t>(0x10 * i + 7);
    u.bytes[0] = n;
    u.bytes[15] = static_cast<std::uint8_t>(n ^ 0x5a);
    return u;
}

inline std::uint32_t float_bits(float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, 4);
    return bits;
}

inline float float_from_bits(std::uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

// Builds a byte string item by item, little-endian.
class Bytes {
public:
    Bytes& u64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) data_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    Bytes& count(std::uint64_t n) { return u64(n); }
    Bytes& id(const Uuid& u) {
        u64(16);
        data_.insert(data_.end(), u.bytes.begin(), u.bytes.end());
        return *this;
    }
    Bytes& text(std::string_view t) {
        u64(t.size());
        return raw(t);
    }
    Bytes& weight(float w) {
        const std::uint32_t bits = float_bits(w);
        for (int i = 0; i < 4; ++i) data_.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
        return *this;
    }
    Bytes& raw(std::string_view t) {
        data_.insert(data_.end(), t.begin(), t.end());
        return *this;
    }
    Bytes& zeros(std::size_t n) {
        data_.insert(data_.end(), n, 0);
        return *this;
    }
    const std::vector<std::uint8_t>& data() const { return data_; }
    std::size_t size() const { return data_.size(); }

private:
    std::vector<std::uint8_t> data_;
};

using Key = std::array<std::uint8_t, 16>;

// The update as it reads back from its text: a size that is not finite is
// written as null and comes back absent.
inline NodeUpdate as_read_back(const NodeUpdate& u) {
    if (!u.size() || std::isfinite(*u.size())) return u;
    NodeUpdate out;
    if (u.label()) out.set_label(*u.label());
    if (u.url()) out.set_url(*u.url());
    if (u.red()) out.set_red(*u.red());
    if (u.green()) out.set_green(*u.green());
    if (u.blue()) out.set_blue(*u.blue());
    if (u.show_label()) out.set_show_label(*u.show_label());
    return out;
}

// The four collections in ordered containers; weights compare by bits, so
// NaN weights compare equal to themselves.
struct Snapshot {
    std::map<Key, NodeUpdate> nodes;
    std::set<Key> deleted_nodes;
    std::map<Key, std::map<Key, std::uint32_t>> edges;
    std::map<Key, std::set<Key>> deleted_edges;
    bool operator==(const Snapshot&) const = default;
};

inline Snapshot snapshot(const GraphDiff& d, bool as_read = false) {
    Snapshot s;
    for (const auto& n : d.new_or_updated_nodes()) s.nodes.emplace(n.key.bytes, as_read ? as_read_back(n.value) : n.value);
    for (const auto& n : d.deleted_nodes()) s.deleted_nodes.insert(n.key.bytes);
    for (const auto& g : d.new_or_updated_edges()) {
        auto& targets = s.edges[g.key.bytes];
        for (const auto& t : g.value) targets.emplace(t.key.bytes, float_bits(t.value));
    }
    for (const auto& g : d.deleted_edges()) {
        auto& targets = s.deleted_edges[g.key.bytes];
        for (const auto& t : g.value) targets.insert(t.key.bytes);
    }
    return s;
}

}  // namespace quorl::encoding::test_util
