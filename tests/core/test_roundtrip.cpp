// Writing and reading back: random sequences of operations on a diff, over a
// small pool of identifiers so that merges, cancellations and empty groups
// happen, must read back as the same four collections (sizes that are not
// finite come back absent), and the same sequence must give the same bytes.
#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>
#include <vector>

#include "encoding/decode.hpp"
#include "encoding/encode.hpp"
#include "encoding_test_util.hpp"

namespace quorl::encoding {
namespace {

using diff::GraphDiff;
using diff::NodeUpdate;
using model::differences;
using model::model_of;
using test_util::uuid;

struct Op {
    enum Kind { AddNode, DeleteNode, AddEdge, DeleteEdge, Clear } kind;
    std::uint8_t a = 0;
    std::uint8_t b = 0;
    float weight = 0.0f;
    NodeUpdate update;
};

class OpGenerator {
public:
    explicit OpGenerator(std::uint64_t seed) : rng_(seed) {}

    std::vector<Op> sequence() {
        std::vector<Op> ops(pick(80));
        for (Op& op : ops) {
            const unsigned r = pick(100);
            op.kind = r < 35 ? Op::AddNode : r < 50 ? Op::DeleteNode : r < 80 ? Op::AddEdge : r < 99 ? Op::DeleteEdge : Op::Clear;
            op.a = node();
            op.b = node();
            op.weight = value();
            if (op.kind == Op::AddNode) op.update = update();
        }
        return ops;
    }

private:
    unsigned pick(unsigned n) { return static_cast<unsigned>(rng_() % n); }
    bool coin() { return pick(2) == 0; }
    std::uint8_t node() { return static_cast<std::uint8_t>(pick(10)); }

    float value() {
        switch (pick(12)) {
            case 0: return 0.0f;
            case 1: return -0.0f;
            case 2: return std::numeric_limits<float>::quiet_NaN();
            case 3: return test_util::float_from_bits(0xffc0beef);
            case 4: return std::numeric_limits<float>::infinity();
            case 5: return -std::numeric_limits<float>::infinity();
            case 6: return std::numeric_limits<float>::denorm_min();
            case 7: return std::numeric_limits<float>::max();
            case 8: return static_cast<float>(pick(2000)) / 8.0f;
            default: return test_util::float_from_bits(static_cast<std::uint32_t>(rng_()));
        }
    }

    std::string text() {
        static const char* const pieces[] = {"a", "Label", "\"", "\\", "\n", "\x01", "\x1f", "\x7f", "/",
                                             "\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC", "\xF0\x9F\x98\x80",
                                             "http://example.org/x?y=1&z=2", " "};
        std::string out;
        for (unsigned n = pick(6); n > 0; --n) out += pieces[pick(sizeof pieces / sizeof *pieces)];
        return out;
    }

    NodeUpdate update() {
        NodeUpdate u;
        if (coin()) u.set<diff::kLabel>(text());
        if (coin()) u.set<diff::kSize>(value());
        if (coin()) u.set<diff::kUrl>(text());
        if (coin()) u.set<diff::kRed>(static_cast<std::uint8_t>(rng_()));
        if (coin()) u.set<diff::kGreen>(static_cast<std::uint8_t>(rng_()));
        if (coin()) u.set<diff::kBlue>(static_cast<std::uint8_t>(rng_()));
        if (coin()) u.set<diff::kShowLabel>(coin());
        return u;
    }

    std::mt19937_64 rng_;
};

GraphDiff replay(const std::vector<Op>& ops) {
    GraphDiff d;
    for (const Op& op : ops) {
        switch (op.kind) {
            case Op::AddNode: d.add_node(uuid(op.a), op.update); break;
            case Op::DeleteNode: d.delete_node(uuid(op.a)); break;
            case Op::AddEdge: (void)d.add_edge(uuid(op.a), uuid(op.b), op.weight); break;
            case Op::DeleteEdge: d.delete_edge(uuid(op.a), uuid(op.b)); break;
            case Op::Clear: d.clear(); break;
        }
    }
    return d;
}

std::vector<std::uint8_t> encode(const GraphDiff& d) {
    auto r = encode_graph_diff(d);
    EXPECT_TRUE(r.ok());
    return r.ok() ? std::move(r).value() : std::vector<std::uint8_t>{};
}

TEST(RoundTrip, RandomOperationSequences) {
    OpGenerator gen(0x9a7f0c3e51d2b684ULL);
    for (int seq = 0; seq < 400; ++seq) {
        SCOPED_TRACE("sequence " + std::to_string(seq));
        const std::vector<Op> ops = gen.sequence();
        const GraphDiff original = replay(ops);
        const std::vector<std::uint8_t> bytes = encode(original);

        // The same operations give the same bytes.
        ASSERT_EQ(encode(replay(ops)), bytes);

        auto back = decode_graph_diff(bytes.data(), bytes.size());
        ASSERT_TRUE(back.ok());
        const model::GraphDiffModel expected = model_of(original).as_read_back();
        ASSERT_EQ(differences(expected, *back), "");
        EXPECT_EQ(back->num_nodes(), original.num_nodes());
        EXPECT_EQ(back->num_edges(), original.num_edges());

        // The diff read back writes a byte string of the same length that
        // reads back to the same collections again.
        const std::vector<std::uint8_t> again = encode(*back);
        auto twice = decode_graph_diff(again.data(), again.size());
        ASSERT_TRUE(twice.ok());
        ASSERT_EQ(differences(expected, *twice), "");

        // Bytes after the last section change nothing.
        std::vector<std::uint8_t> longer = bytes;
        longer.insert(longer.end(), bytes.begin(), bytes.end());
        auto lenient = decode_graph_diff(longer.data(), longer.size());
        ASSERT_TRUE(lenient.ok());
        ASSERT_EQ(differences(expected, *lenient), "");

        // Every proper prefix is refused.
        for (std::size_t cut = 0; cut < bytes.size(); cut += 1 + bytes.size() / 16) {
            ASSERT_FALSE(decode_graph_diff(bytes.data(), cut).ok()) << cut;
        }
    }
}

// Collections larger than what the reader sets aside in advance.
TEST(RoundTrip, LargeCollections) {
    auto id = [](std::uint32_t n, std::uint8_t tag) {
        diff::Uuid u;
        for (int i = 0; i < 16; ++i) u.bytes[i] = static_cast<std::uint8_t>(n >> (8 * (i % 4)) ^ (i * 29));
        u.bytes[15] = tag;
        return u;
    };
    GraphDiff d;
    for (std::uint32_t i = 0; i < 10000; ++i) {
        NodeUpdate u;
        u.set<diff::kRed>(static_cast<std::uint8_t>(i));
        d.add_node(id(i, 1), u);
        d.delete_node(id(i, 2));
        ASSERT_TRUE(d.add_edge(id(0, 3), id(i, 4), static_cast<float>(i)).ok());
        ASSERT_TRUE(d.add_edge(id(i, 5), id(i, 6), 1.0f).ok());
        d.delete_edge(id(0, 7), id(i, 8));
        d.delete_edge(id(i, 9), id(i, 10));
    }
    const std::vector<std::uint8_t> bytes = encode(d);
    auto back = decode_graph_diff(bytes.data(), bytes.size());
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(differences(model_of(d), *back), "");
    EXPECT_EQ(back->new_or_updated_edges().find(id(0, 3))->size(), 10000u);
}

}  // namespace
}  // namespace quorl::encoding
