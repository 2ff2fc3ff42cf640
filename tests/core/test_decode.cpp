// The byte string reader: what it refuses, with which error, and where it is
// lenient (repeated keys, leftovers, collections that contradict each other).
#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "encoding/decode.hpp"
#include "encoding/encode.hpp"
#include "encoding_test_util.hpp"

namespace quorl::encoding {
namespace {

using diff::GraphDiff;
using diff::Uuid;
using test_util::Bytes;
using test_util::uuid;

Result<GraphDiff, GraphDiffError> decode(const std::vector<std::uint8_t>& bytes) {
    return decode_graph_diff(bytes.data(), bytes.size());
}
Result<GraphDiff, GraphDiffError> decode(const Bytes& bytes) { return decode(bytes.data()); }

GraphDiff decoded(const Bytes& bytes) {
    auto r = decode(bytes);
    EXPECT_TRUE(r.ok());
    return r.ok() ? std::move(r).value() : GraphDiff{};
}

// The container error of a failed decode.
DecodeError container_error(const Bytes& bytes) {
    auto r = decode(bytes);
    EXPECT_FALSE(r.ok());
    if (r.ok()) return {};
    EXPECT_TRUE(std::holds_alternative<DecodeError>(r.error()));
    return std::holds_alternative<DecodeError>(r.error()) ? std::get<DecodeError>(r.error()) : DecodeError{};
}

NodeRecordError record_error(const Bytes& bytes) {
    auto r = decode(bytes);
    EXPECT_FALSE(r.ok());
    if (r.ok()) return {};
    EXPECT_TRUE(std::holds_alternative<NodeRecordError>(r.error()));
    return std::holds_alternative<NodeRecordError>(r.error()) ? std::get<NodeRecordError>(r.error())
                                                              : NodeRecordError{};
}

// One node entry whose text is `text`, and empty other sections.
Bytes with_record(std::string_view text) { return Bytes().count(1).id(uuid(1)).text(text).count(0).count(0).count(0); }

using Kind = DecodeError::Kind;
constexpr const char* kEof = "io error: unexpected end of file";

TEST(Decode, EmptyDiff) {
    const GraphDiff d = decoded(Bytes().zeros(32));
    EXPECT_EQ(d.num_nodes(), 0u);
    EXPECT_EQ(d.num_edges(), 0u);
    for (std::size_t n = 0; n < 32; ++n) {
        const DecodeError e = container_error(Bytes().zeros(n));
        EXPECT_EQ(e.kind, Kind::Io);
        EXPECT_EQ(e.message, kEof);
    }
}

TEST(Decode, TrailingBytesIgnored) {
    GraphDiff d;
    diff::NodeUpdate u;
    u.set<diff::kLabel>("x");
    d.add_node(uuid(1), u);
    ASSERT_TRUE(d.add_edge(uuid(2), uuid(3), 2.0f).ok());
    d.delete_edge(uuid(4), uuid(5));
    auto bytes = encode_graph_diff(d);
    ASSERT_TRUE(bytes.ok());
    std::vector<std::uint8_t> longer = *bytes;
    longer.insert(longer.end(), {0xFF, 0x00, 0x7B, 0x01});
    auto r = decode(longer);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(model::differences(model::model_of(d), *r), "");
}

TEST(Decode, CountBeyondThirtyTwoBits) {
    const std::string message = "Invalid size 4294967296: sizes must fit in a usize (0 to 4294967295)";
    Bytes big_count = Bytes().count(4294967296ULL).zeros(1000);
    DecodeError e = container_error(big_count);
    EXPECT_EQ(e.kind, Kind::Custom);
    EXPECT_EQ(e.message, message);

    // In a later section, in a group's target count, and as a text length.
    e = container_error(Bytes().count(0).count(0).count(0).count(4294967296ULL).zeros(64));
    EXPECT_EQ(e.message, message);
    e = container_error(Bytes().count(0).count(0).count(1).id(uuid(1)).count(4294967296ULL).zeros(64));
    EXPECT_EQ(e.message, message);
    e = container_error(Bytes().count(1).id(uuid(1)).count(4294967296ULL).zeros(64));
    EXPECT_EQ(e.message, message);
    e = container_error(Bytes().count(0).count(1).u64(0xFFFFFFFFFFFFFFFFULL).zeros(64));
    EXPECT_EQ(e.message, "Invalid size 18446744073709551615: sizes must fit in a usize (0 to 4294967295)");

    // 2^32 - 1 itself is a valid count; the data for it is what is missing.
    e = container_error(Bytes().count(4294967295ULL).id(uuid(1)));
    EXPECT_EQ(e.kind, Kind::Io);
}

TEST(Decode, IdentifierLength) {
    for (std::uint64_t length : {0u, 15u, 17u}) {
        Bytes bytes = Bytes().count(0).count(1).u64(length).zeros(64);
        const DecodeError e = container_error(bytes);
        EXPECT_EQ(e.kind, Kind::Custom);
        EXPECT_EQ(e.message, "UUID parsing failed: invalid length: expected 16 bytes, found " + std::to_string(length));
    }
    // Fewer bytes than announced: an I/O error, whatever the length.
    for (std::uint64_t length : {16u, 40u}) {
        const DecodeError e = container_error(Bytes().count(0).count(1).u64(length).zeros(10));
        EXPECT_EQ(e.kind, Kind::Io);
        EXPECT_EQ(e.message, "io error: ");
    }
}

TEST(Decode, TruncatedItems) {
    // Inside a count, a text, a weight.
    EXPECT_EQ(container_error(Bytes().count(1).id(uuid(1)).zeros(7)).message, kEof);
    EXPECT_EQ(container_error(Bytes().count(1).id(uuid(1)).count(3).raw("{}")).message, "io error: ");
    const Bytes edge = Bytes().count(0).count(0).count(1).id(uuid(1)).count(1).id(uuid(2));
    Bytes short_weight = edge;
    short_weight.raw("abc");
    EXPECT_EQ(container_error(short_weight).message, kEof);
    Bytes whole = edge;
    whole.weight(1.0f);
    EXPECT_EQ(container_error(whole).message, kEof);  // section 4 missing
    whole.count(0);
    EXPECT_TRUE(decode(whole).ok());
}

TEST(Decode, ForgedCountsFailAtTheEnd) {
    // A million entries claimed and none present in each section: the reader
    // stops at the end of the input (room for at most kMaxReserve entries is
    // set aside first).
    EXPECT_EQ(container_error(Bytes().count(1000000)).message, kEof);
    EXPECT_EQ(container_error(Bytes().count(0).count(1000000)).message, kEof);
    EXPECT_EQ(container_error(Bytes().count(0).count(0).count(1000000)).message, kEof);
    EXPECT_EQ(container_error(Bytes().count(0).count(0).count(1).id(uuid(1)).count(1000000)).message, kEof);
    EXPECT_EQ(container_error(Bytes().count(0).count(0).count(0).count(1).id(uuid(1)).count(4294967295ULL)).message,
              kEof);
    // Past the entries set aside in advance, too.
    Bytes many = Bytes().count(0).count(1000000);
    for (int i = 0; i < 5000; ++i) many.id(uuid(static_cast<std::uint8_t>(i)));
    EXPECT_EQ(container_error(many).message, kEof);
}

TEST(Decode, InvalidUtf8) {
    const struct {
        const char* text;
        std::size_t size;
        const char* detail;
    } cases[] = {
        {"\x80", 1, "invalid utf-8 sequence of 1 bytes from index 0"},
        {"{}\xFF", 3, "invalid utf-8 sequence of 1 bytes from index 2"},
        {"ab\xE2\x82", 4, "incomplete utf-8 byte sequence from index 2"},
        {"ab\xF0", 3, "incomplete utf-8 byte sequence from index 2"},
        {"\xE2\x82x", 3, "invalid utf-8 sequence of 2 bytes from index 0"},
        {"\xF0\x9F\x98x", 4, "invalid utf-8 sequence of 3 bytes from index 0"},
        {"\xE0\x80\x80", 3, "invalid utf-8 sequence of 1 bytes from index 0"},      // overlong
        {"\xC0\xAF", 2, "invalid utf-8 sequence of 1 bytes from index 0"},          // overlong
        {"\xED\xA0\x80", 3, "invalid utf-8 sequence of 1 bytes from index 0"},      // surrogate
        {"\xF4\x90\x80\x80", 4, "invalid utf-8 sequence of 1 bytes from index 0"},  // beyond U+10FFFF
        {"\xF5\x80", 2, "invalid utf-8 sequence of 1 bytes from index 0"},
        {"0123456789abcdef\xC3", 17, "incomplete utf-8 byte sequence from index 16"},
        {"0123456789\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 \xC3(", 23, "invalid utf-8 sequence of 1 bytes from index 20"},
    };
    for (const auto& c : cases) {
        const DecodeError e = container_error(with_record(std::string_view(c.text, c.size)));
        EXPECT_EQ(e.kind, Kind::InvalidUtf8Encoding) << c.detail;
        EXPECT_EQ(e.message, std::string("string is not valid utf8: ") + c.detail);
    }
    // Also inside the value of a key the record does not know.
    const DecodeError e = container_error(with_record("{\"other\":\"\xFF\"}"));
    EXPECT_EQ(e.kind, Kind::InvalidUtf8Encoding);
    // Valid multi-byte text is accepted.
    EXPECT_TRUE(decode(with_record("{\"label\":\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBF\"}")).ok());
}

TEST(Decode, RecordTexts) {
    const GraphDiff d = decoded(with_record("{}"));
    ASSERT_EQ(d.new_or_updated_nodes().size(), 1u);
    EXPECT_TRUE(*d.new_or_updated_nodes().find(uuid(1)) == diff::NodeUpdate{});

    const GraphDiff sized = decoded(with_record(R"({"size":null,"red":4})"));
    EXPECT_FALSE(sized.new_or_updated_nodes().find(uuid(1))->get<diff::kSize>());

    const NodeRecordError e = record_error(with_record(R"({"red":256})"));
    EXPECT_EQ(e.message, "invalid value: integer `256`, expected u8");
    EXPECT_EQ(e.text(), "invalid value: integer `256`, expected u8 at line 1 column 10");
}

TEST(Decode, RepeatedNodeEntryLaterWins) {
    const Bytes bytes = Bytes()
                            .count(2)
                            .id(uuid(1)).text("not a record")
                            .id(uuid(1)).text(R"({"label":"later"})")
                            .count(0).count(0).count(0);
    const GraphDiff d = decoded(bytes);
    ASSERT_EQ(d.new_or_updated_nodes().size(), 1u);
    EXPECT_EQ(d.new_or_updated_nodes().find(uuid(1))->get<diff::kLabel>(), "later");
}

TEST(Decode, RepeatedGroupsReplaceWhole) {
    const Bytes bytes = Bytes()
                            .count(0)
                            .count(2).id(uuid(9)).id(uuid(9))
                            .count(2)
                            .id(uuid(1)).count(2).id(uuid(2)).weight(1.0f).id(uuid(3)).weight(2.0f)
                            .id(uuid(1)).count(2).id(uuid(4)).weight(3.0f).id(uuid(4)).weight(4.0f)
                            .count(2)
                            .id(uuid(5)).count(1).id(uuid(6))
                            .id(uuid(5)).count(2).id(uuid(7)).id(uuid(7));
    const GraphDiff d = decoded(bytes);
    EXPECT_EQ(d.deleted_nodes().size(), 1u);
    ASSERT_EQ(d.new_or_updated_edges().size(), 1u);
    const auto* targets = d.new_or_updated_edges().find(uuid(1));
    ASSERT_TRUE(targets);
    EXPECT_EQ(targets->size(), 1u);
    EXPECT_EQ(*targets->find(uuid(4)), 4.0f);
    const auto* deleted = d.deleted_edges().find(uuid(5));
    ASSERT_TRUE(deleted);
    EXPECT_EQ(deleted->size(), 1u);
    EXPECT_TRUE(deleted->contains(uuid(7)));
}

TEST(Decode, ContradictionsTakenAsTheyStand) {
    const Bytes bytes = Bytes()
                            .count(1).id(uuid(1)).text("{}")
                            .count(1).id(uuid(1))
                            .count(2)
                            .id(uuid(2)).count(1).id(uuid(1)).weight(1.0f)
                            .id(uuid(3)).count(0)
                            .count(1).id(uuid(2)).count(1).id(uuid(1));
    const GraphDiff d = decoded(bytes);
    EXPECT_TRUE(d.new_or_updated_nodes().contains(uuid(1)));
    EXPECT_TRUE(d.deleted_nodes().contains(uuid(1)));
    EXPECT_TRUE(d.new_or_updated_edges().find(uuid(2))->contains(uuid(1)));
    EXPECT_TRUE(d.new_or_updated_edges().find(uuid(3))->empty());
    EXPECT_TRUE(d.deleted_edges().find(uuid(2))->contains(uuid(1)));
    EXPECT_EQ(d.num_nodes(), 2u);
    EXPECT_EQ(d.num_edges(), 3u);
}

TEST(Decode, ContainerCheckedBeforeRecords) {
    // A bad record followed by a broken later section: the container error
    // decides.
    const Bytes bytes = Bytes().count(1).id(uuid(1)).text("bad").count(1).u64(15).zeros(40);
    const DecodeError e = container_error(bytes);
    EXPECT_EQ(e.kind, Kind::Custom);
}

TEST(Decode, FirstBadRecordInOrderOfTheBytes) {
    // Every record is bad, each in its own way; the one reported is the first
    // in the byte string. A repeated identifier keeps its first place but
    // takes the later text, so a later bad text is met in the earlier place.
    Bytes bytes;
    bytes.count(21);
    for (int i = 0; i < 20; ++i) {
        bytes.id(uuid(static_cast<std::uint8_t>(i))).text("{\"red\":" + std::to_string(300 + i) + "}");
    }
    bytes.id(uuid(0)).text("{\"red\":999}");
    bytes.count(0).count(0).count(0);
    EXPECT_EQ(record_error(bytes).message, "invalid value: integer `999`, expected u8");
}

}  // namespace
}  // namespace quorl::encoding
