// The byte string reader on arbitrary bytes.
//
// A second reader of the container layer, written for clarity with ordered
// containers, decides independently whether the sections are well formed and
// what they hold. The real reader must agree with it: the same failure kind
// when the container is bad; otherwise failure exactly when one of the
// surviving record texts is not a valid record, and the same collections when
// none is. Every collection must hold its keys in the order of their first
// appearance in the bytes. Whatever decodes must also encode, and decode
// again to the same collections (sizes that are not finite come back
// absent); from then on the bytes are a fixed point: a decoded diff writes
// back exactly the bytes it was read from.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <variant>
#include <vector>

#include "encoding/decode.hpp"
#include "encoding/encode.hpp"
#include "fuzz_support.hpp"

namespace {

using namespace quorl;
using encoding::DecodeError;
using fuzz::Collections;
using fuzz::Key;

// Keys in the order of their first appearance.
struct Order {
    std::set<Key> seen;
    std::vector<Key> keys;
    void add(const Key& k) {
        if (seen.insert(k).second) keys.push_back(k);
    }
};

struct Container {
    std::map<Key, std::string_view> texts;
    std::set<Key> deleted_nodes;
    std::map<Key, std::map<Key, std::uint32_t>> edges;
    std::map<Key, std::set<Key>> deleted_edges;
    // The order of each collection, and of the targets of each source's
    // last group (a repeated source group replaces the earlier one whole).
    Order node_order, deleted_order, edge_order, deleted_edge_order;
    std::map<Key, std::vector<Key>> target_order, deleted_target_order;
};

template <class Table>
std::vector<Key> keys_of(const Table& table) {
    std::vector<Key> keys;
    for (const auto& entry : table) keys.push_back(entry.key.bytes);
    return keys;
}

class ReferenceReader {
public:
    ReferenceReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    // The container, or the kind of the first failure.
    std::variant<Container, DecodeError::Kind> read() {
        Container c;
        std::uint64_t n = 0;
        if (!count(n)) return *failure_;
        for (std::uint64_t k = 0; k < n; ++k) {
            Key id;
            std::string_view text;
            if (!identifier(id) || !record_text(text)) return *failure_;
            c.texts[id] = text;
            c.node_order.add(id);
        }
        if (!count(n)) return *failure_;
        for (std::uint64_t k = 0; k < n; ++k) {
            Key id;
            if (!identifier(id)) return *failure_;
            c.deleted_nodes.insert(id);
            c.deleted_order.add(id);
        }
        if (!count(n)) return *failure_;
        for (std::uint64_t k = 0; k < n; ++k) {
            Key source;
            std::uint64_t m = 0;
            if (!identifier(source) || !count(m)) return *failure_;
            std::map<Key, std::uint32_t> targets;
            Order order;
            for (std::uint64_t t = 0; t < m; ++t) {
                Key target;
                std::uint32_t bits = 0;
                if (!identifier(target) || !weight(bits)) return *failure_;
                targets[target] = bits;
                order.add(target);
            }
            c.edges[source] = targets;
            c.edge_order.add(source);
            c.target_order[source] = order.keys;
        }
        if (!count(n)) return *failure_;
        for (std::uint64_t k = 0; k < n; ++k) {
            Key source;
            std::uint64_t m = 0;
            if (!identifier(source) || !count(m)) return *failure_;
            std::set<Key> targets;
            Order order;
            for (std::uint64_t t = 0; t < m; ++t) {
                Key target;
                if (!identifier(target)) return *failure_;
                targets.insert(target);
                order.add(target);
            }
            c.deleted_edges[source] = targets;
            c.deleted_edge_order.add(source);
            c.deleted_target_order[source] = order.keys;
        }
        return c;
    }

private:
    std::size_t left() const { return size_ - pos_; }

    bool fail(DecodeError::Kind kind) {
        failure_ = kind;
        return false;
    }

    bool count(std::uint64_t& n) {
        if (left() < 8) return fail(DecodeError::Kind::Io);
        n = 0;
        for (int i = 7; i >= 0; --i) n = n << 8 | data_[pos_ + static_cast<std::size_t>(i)];
        if (n > 0xFFFFFFFFull) return fail(DecodeError::Kind::Custom);
        pos_ += 8;
        return true;
    }

    bool identifier(Key& id) {
        std::uint64_t length = 0;
        if (!count(length)) return false;
        if (left() < length) return fail(DecodeError::Kind::Io);
        if (length != 16) return fail(DecodeError::Kind::Custom);
        for (std::size_t i = 0; i < 16; ++i) id[i] = data_[pos_ + i];
        pos_ += 16;
        return true;
    }

    bool record_text(std::string_view& text) {
        std::uint64_t length = 0;
        if (!count(length)) return false;
        if (left() < length) return fail(DecodeError::Kind::Io);
        const std::uint8_t* start = data_ + pos_;
        pos_ += static_cast<std::size_t>(length);
        if (!fuzz::valid_utf8(start, static_cast<std::size_t>(length))) return fail(DecodeError::Kind::InvalidUtf8Encoding);
        text = std::string_view(reinterpret_cast<const char*>(start), static_cast<std::size_t>(length));
        return true;
    }

    bool weight(std::uint32_t& bits) {
        if (left() < 4) return fail(DecodeError::Kind::Io);
        bits = 0;
        for (int i = 3; i >= 0; --i) bits = bits << 8 | data_[pos_ + static_cast<std::size_t>(i)];
        pos_ += 4;
        return true;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    std::optional<DecodeError::Kind> failure_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto decoded = encoding::decode_graph_diff(data, size);
    auto reference = ReferenceReader(data, size).read();

    if (auto* kind = std::get_if<DecodeError::Kind>(&reference)) {
        FUZZ_CHECK(!decoded.ok());
        FUZZ_CHECK(std::holds_alternative<DecodeError>(decoded.error()));
        FUZZ_CHECK(std::get<DecodeError>(decoded.error()).kind == *kind);
        return 0;
    }

    // The container is well formed: the records decide.
    const Container& container = std::get<Container>(reference);
    Collections expected;
    bool records_ok = true;
    for (const auto& [id, text] : container.texts) {
        auto update = encoding::decode_node_update(text);
        if (!update) {
            records_ok = false;
            break;
        }
        expected.nodes[id] = fuzz::attributes_of(*update);
    }
    if (!records_ok) {
        FUZZ_CHECK(!decoded.ok());
        FUZZ_CHECK(std::holds_alternative<encoding::NodeRecordError>(decoded.error()));
        return 0;
    }
    FUZZ_CHECK(decoded.ok());
    expected.deleted_nodes = container.deleted_nodes;
    expected.edges = container.edges;
    expected.deleted_edges = container.deleted_edges;

    const diff::GraphDiff& diff = *decoded;
    const Collections got = fuzz::collections_of(diff);
    FUZZ_CHECK(got == expected);
    FUZZ_CHECK(diff.num_nodes() == expected.nodes.size() + expected.deleted_nodes.size());
    FUZZ_CHECK(diff.num_edges() == expected.edges.size() + expected.deleted_edges.size());
    FUZZ_CHECK(keys_of(diff.new_or_updated_nodes()) == container.node_order.keys);
    FUZZ_CHECK(keys_of(diff.deleted_nodes()) == container.deleted_order.keys);
    FUZZ_CHECK(keys_of(diff.new_or_updated_edges()) == container.edge_order.keys);
    FUZZ_CHECK(keys_of(diff.deleted_edges()) == container.deleted_edge_order.keys);
    for (const auto& group : diff.new_or_updated_edges()) {
        FUZZ_CHECK(keys_of(group.value) == container.target_order.at(group.key.bytes));
    }
    for (const auto& group : diff.deleted_edges()) {
        FUZZ_CHECK(keys_of(group.value) == container.deleted_target_order.at(group.key.bytes));
    }

    // Encode, and read back.
    auto size_needed = encoding::encoded_size(diff);
    FUZZ_CHECK(size_needed.ok());
    auto bytes = encoding::encode_graph_diff(diff);
    FUZZ_CHECK(bytes.ok());
    FUZZ_CHECK(bytes->size() == *size_needed);
    auto again = encoding::decode_graph_diff(bytes->data(), bytes->size());
    FUZZ_CHECK(again.ok());
    const Collections round_trip = fuzz::collections_of(*again);
    FUZZ_CHECK(round_trip == expected.as_read_back());

    // The decoded diff writes back the bytes it was read from, unless a
    // size that is not finite was dropped on the way; and from the second
    // round on, always.
    auto bytes2 = encoding::encode_graph_diff(*again);
    FUZZ_CHECK(bytes2.ok());
    if (round_trip == expected) FUZZ_CHECK(*bytes2 == *bytes);
    auto again2 = encoding::decode_graph_diff(bytes2->data(), bytes2->size());
    FUZZ_CHECK(again2.ok());
    FUZZ_CHECK(fuzz::collections_of(*again2) == round_trip);
    auto bytes3 = encoding::encode_graph_diff(*again2);
    FUZZ_CHECK(bytes3.ok() && *bytes3 == *bytes2);
    return 0;
}
