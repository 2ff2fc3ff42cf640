// The byte string writer: exact bytes of small diffs, the counting pass
// against the writing pass, and the limit on counts and lengths.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "encoding/encode.hpp"
#include "encoding/node_record.hpp"
#include "encoding_test_util.hpp"

namespace quorl::encoding {
namespace {

using diff::GraphDiff;
using diff::NodeUpdate;
using diff::Uuid;
using test_util::Bytes;
using test_util::uuid;

std::vector<std::uint8_t> encode(const GraphDiff& d) {
    auto r = encode_graph_diff(d);
    EXPECT_TRUE(r.ok());
    return r.ok() ? std::move(r).value() : std::vector<std::uint8_t>{};
}

Uuid counting_uuid() {
    Uuid u;
    for (int i = 0; i < 16; ++i) u.bytes[i] = static_cast<std::uint8_t>(0x11 * i);
    return u;
}

TEST(Encode, EmptyDiffIsFourZeroCounts) {
    EXPECT_EQ(encode(GraphDiff{}), std::vector<std::uint8_t>(32, 0));
}

TEST(Encode, OneNodeWithALabel) {
    GraphDiff d;
    NodeUpdate u;
    u.set<diff::kLabel>("A");
    d.add_node(counting_uuid(), u);
    const std::vector<std::uint8_t> expected = {
        0x01, 0, 0, 0, 0, 0, 0, 0,                                                                       // one entry
        0x10, 0, 0, 0, 0, 0, 0, 0,                                                                       // length 16
        0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF,  // id
        0x0D, 0, 0, 0, 0, 0, 0, 0,                                                                       // text length
        0x7B, 0x22, 0x6C, 0x61, 0x62, 0x65, 0x6C, 0x22, 0x3A, 0x22, 0x41, 0x22, 0x7D,                    // {"label":"A"}
        0, 0, 0, 0, 0, 0, 0, 0,                                                                          // section 2
        0, 0, 0, 0, 0, 0, 0, 0,                                                                          // section 3
        0, 0, 0, 0, 0, 0, 0, 0,                                                                          // section 4
    };
    ASSERT_EQ(expected.size(), 77u);
    EXPECT_EQ(encode(d), expected);
}

TEST(Encode, OneEdge) {
    GraphDiff d;
    const Uuid x = uuid(1);
    const Uuid y = uuid(2);
    ASSERT_TRUE(d.add_edge(x, y, 0.5f).ok());
    const auto expected = Bytes().count(0).count(0).count(1).id(x).count(1).id(y).weight(0.5f).count(0).data();
    ASSERT_EQ(expected.size(), 92u);
    const auto bytes = encode(d);
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 80, bytes.begin() + 84),
              (std::vector<std::uint8_t>{0x00, 0x00, 0x00, 0x3F}));
}

TEST(Encode, EmptyRecordEntry) {
    GraphDiff d;
    d.add_node(uuid(3), NodeUpdate{});
    const auto bytes = encode(d);
    EXPECT_EQ(bytes, Bytes().count(1).id(uuid(3)).text("{}").count(0).count(0).count(0).data());
    EXPECT_EQ(bytes.size(), 32u + 34u);
}

TEST(Encode, DeletionsAndEmptySourceGroup) {
    GraphDiff d;
    const Uuid a = uuid(1);
    const Uuid x = uuid(2);
    ASSERT_TRUE(d.add_edge(a, x, 1.0f).ok());
    d.delete_node(x);  // leaves an empty target map under a, and the deleted edge (a, x)
    EXPECT_EQ(encode(d), Bytes()
                             .count(0)
                             .count(1).id(x)
                             .count(1).id(a).count(0)
                             .count(1).id(a).count(1).id(x)
                             .data());
}

TEST(Encode, WeightBitsAsHeld) {
    const float weights[] = {
        test_util::float_from_bits(0x7fc00001),  // NaN with a payload
        test_util::float_from_bits(0xffbfffff),  // negative signalling-pattern NaN
        std::numeric_limits<float>::infinity(),
        -0.0f,
        std::numeric_limits<float>::denorm_min(),
    };
    for (float w : weights) {
        GraphDiff d;
        ASSERT_TRUE(d.add_edge(uuid(1), uuid(2), w).ok());
        const auto bytes = encode(d);
        ASSERT_EQ(bytes.size(), 92u);
        const std::uint32_t bits = test_util::float_bits(w);
        EXPECT_EQ(bytes[80] | bytes[81] << 8 | bytes[82] << 16 | static_cast<std::uint32_t>(bytes[83]) << 24, bits);
    }
}

// The counting pass gives the exact length, and the writing pass fills it to
// the last byte without going past it.
TEST(Encode, SizeIsExact) {
    GraphDiff d;
    for (int i = 0; i < 40; ++i) {
        NodeUpdate u;
        if (i % 2) u.set<diff::kLabel>(std::string(static_cast<std::size_t>(i), '"'));
        if (i % 3) u.set<diff::kSize>(static_cast<float>(i) / 7.0f);
        if (i % 5 == 0) u.set<diff::kSize>(std::numeric_limits<float>::quiet_NaN());
        if (i % 4) u.set<diff::kUrl>("http://example.org/\x01" + std::to_string(i));
        if (i % 7) u.set<diff::kRed>(static_cast<std::uint8_t>(i * 9));
        u.set<diff::kShowLabel>(i % 2 == 0);
        d.add_node(uuid(static_cast<std::uint8_t>(i)), u);
        ASSERT_TRUE(d.add_edge(uuid(static_cast<std::uint8_t>(i)), uuid(static_cast<std::uint8_t>(i / 3)), 0.25f).ok());
        d.delete_edge(uuid(static_cast<std::uint8_t>(100 + i % 4)), uuid(static_cast<std::uint8_t>(i)));
        d.delete_node(uuid(static_cast<std::uint8_t>(200 + i)));
    }
    auto size = encoded_size(d);
    ASSERT_TRUE(size.ok());
    std::vector<std::uint8_t> buffer(*size + 64, 0xA5);
    encode_into(d, buffer.data());
    for (std::size_t i = *size; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xA5) << i;
    buffer.resize(*size);
    EXPECT_EQ(buffer, encode(d));
}

TEST(Encode, CountLimit) {
    EXPECT_TRUE(check_count(0).ok());
    EXPECT_TRUE(check_count(4294967295ULL).ok());
    auto over = check_count(4294967296ULL);
    ASSERT_FALSE(over.ok());
    EXPECT_NE(over.error().message.find("4294967296"), std::string::npos);
    EXPECT_FALSE(check_count(std::numeric_limits<std::uint64_t>::max()).ok());
}

// A node record text longer than a length field may hold makes encoding
// fail instead of writing a byte string no reader accepts. The measure of
// the records is stood in for, so no such text has to be built.
std::uint64_t longest_record(const diff::NodeUpdateView&) noexcept { return kMaxCount; }
std::uint64_t too_long_record(const diff::NodeUpdateView&) noexcept { return kMaxCount + 1; }

TEST(Encode, RecordTextLimit) {
    GraphDiff d;
    d.add_node(uuid(1), NodeUpdate{});
    auto at_limit = detail::encoded_size_with(d, &longest_record);
    ASSERT_TRUE(at_limit.ok());
    EXPECT_EQ(*at_limit, 32u + 32u + kMaxCount);

    auto over = detail::encoded_size_with(d, &too_long_record);
    ASSERT_FALSE(over.ok());
    EXPECT_NE(over.error().message.find("4294967296"), std::string::npos);

    // The real measure is what encoded_size uses.
    EXPECT_EQ(*encoded_size(d), *detail::encoded_size_with(d, &detail::node_record_length));
}

TEST(Encode, SameOperationsSameBytes) {
    auto build = [] {
        GraphDiff d;
        for (int i = 0; i < 300; ++i) {
            NodeUpdate u;
            u.set<diff::kBlue>(static_cast<std::uint8_t>(i));
            d.add_node(uuid(static_cast<std::uint8_t>(i * 7)), u);
            (void)d.add_edge(uuid(static_cast<std::uint8_t>(i)), uuid(static_cast<std::uint8_t>(i * 3)), 1.5f);
            if (i % 5 == 0) d.delete_node(uuid(static_cast<std::uint8_t>(i * 11)));
        }
        return d;
    };
    EXPECT_EQ(encode(build()), encode(build()));
}

}  // namespace
}  // namespace quorl::encoding
