// The byte string reader on arbitrary bytes.
//
// A second reader of the container layer, written for clarity into the
// containers of the store's model (which keep the order of the bytes, a
// repeated key in the place of its first occurrence), decides independently whether the sections are well formed and
// what they hold. The real reader must agree with it: the same failure kind
// when the container is bad; otherwise failure exactly when one of the
// surviving record texts is not a valid record, and the same collections when
// none is, in the same order: each key where it first appears in the bytes.
// Whatever decodes must also encode, and decode again to the same
// collections (sizes that are not finite come back absent); a decoded diff
// writes back exactly the bytes it was read from, and from the second round
// on always.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <variant>

#include "encoding/decode.hpp"
#include "encoding/encode.hpp"
#include "fuzz_support.hpp"

namespace {

using namespace quorl;
using encoding::DecodeError;
using model::differences;
using model::GraphDiffModel;
using model::Key;
using model::OrderedMap;
using model::OrderedSet;

// The record texts as read, not yet parsed, and the other three collections.
struct Container {
    OrderedMap<std::string_view> texts;
    GraphDiffModel rest;
};

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
        }
        if (!count(n)) return *failure_;
        for (std::uint64_t k = 0; k < n; ++k) {
            Key id;
            if (!identifier(id)) return *failure_;
            c.rest.deleted_nodes.insert(id);
        }
        if (!count(n)) return *failure_;
        for (std::uint64_t k = 0; k < n; ++k) {
            Key source;
            std::uint64_t m = 0;
            if (!identifier(source) || !count(m)) return *failure_;
            OrderedMap<float> targets;
            for (std::uint64_t t = 0; t < m; ++t) {
                Key target;
                float w = 0;
                if (!identifier(target) || !weight(w)) return *failure_;
                targets[target] = w;
            }
            c.rest.edges[source] = targets;
        }
        if (!count(n)) return *failure_;
        for (std::uint64_t k = 0; k < n; ++k) {
            Key source;
            std::uint64_t m = 0;
            if (!identifier(source) || !count(m)) return *failure_;
            OrderedSet targets;
            for (std::uint64_t t = 0; t < m; ++t) {
                Key target;
                if (!identifier(target)) return *failure_;
                targets.insert(target);
            }
            c.rest.deleted_edges[source] = targets;
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

    bool weight(float& w) {
        if (left() < 4) return fail(DecodeError::Kind::Io);
        std::uint32_t bits = 0;
        for (int i = 3; i >= 0; --i) bits = bits << 8 | data_[pos_ + static_cast<std::size_t>(i)];
        std::memcpy(&w, &bits, 4);
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
    GraphDiffModel expected = container.rest;
    bool records_ok = true;
    for (const auto& [id, text] : container.texts) {
        auto update = encoding::decode_node_update(text);
        if (!update) {
            records_ok = false;
            break;
        }
        expected.nodes[id] = model::Attributes::of(*update);
    }
    if (!records_ok) {
        FUZZ_CHECK(!decoded.ok());
        FUZZ_CHECK(std::holds_alternative<encoding::NodeRecordError>(decoded.error()));
        return 0;
    }
    FUZZ_CHECK(decoded.ok());
    const diff::GraphDiff& diff = *decoded;
    FUZZ_CHECK_NONE(differences(expected, diff));

    // Encode, and read back.
    auto size_needed = encoding::encoded_size(diff);
    FUZZ_CHECK(size_needed.ok());
    auto bytes = encoding::encode_graph_diff(diff);
    FUZZ_CHECK(bytes.ok());
    FUZZ_CHECK(bytes->size() == *size_needed);
    auto again = encoding::decode_graph_diff(bytes->data(), bytes->size());
    FUZZ_CHECK(again.ok());
    const GraphDiffModel read_back = expected.as_read_back();
    FUZZ_CHECK_NONE(differences(read_back, *again));

    // The decoded diff writes back the bytes it was read from, unless a
    // size that is not finite was dropped on the way; and from the second
    // round on, always.
    auto bytes2 = encoding::encode_graph_diff(*again);
    FUZZ_CHECK(bytes2.ok());
    if (read_back == expected) FUZZ_CHECK(*bytes2 == *bytes);
    auto again2 = encoding::decode_graph_diff(bytes2->data(), bytes2->size());
    FUZZ_CHECK(again2.ok());
    FUZZ_CHECK_NONE(differences(read_back, *again2));
    auto bytes3 = encoding::encode_graph_diff(*again2);
    FUZZ_CHECK(bytes3.ok() && *bytes3 == *bytes2);
    return 0;
}
