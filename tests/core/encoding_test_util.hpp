// Helpers shared by the byte string tests: identifiers and a builder for hand
// made byte strings. Diffs are compared through the model of the store
// (graph_diff_model.hpp).
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "diff/graph_diff.hpp"
#include "diff/node_update.hpp"
#include "diff/uuid.hpp"
#include "graph_diff_model.hpp"

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

}  // namespace quorl::encoding::test_util
