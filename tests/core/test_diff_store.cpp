// The graph diff store: how node and edge changes combine with what the diff
// already holds, the merge of node updates, and the invariants the operations
// keep. Case by case, the diff and the model of tests/support are both held to
// a state written out by hand; at random, the diff is held to the model.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "diff/graph_diff.hpp"
#include "diff/heap_bytes.hpp"
#include "diff/node_update.hpp"
#include "diff/text_arena.hpp"
#include "diff/update_batch.hpp"
#include "diff/uuid.hpp"
#include "graph_diff_model.hpp"

// Under a sanitizer the allocator is the sanitizer's own.
#if defined(__SANITIZE_ADDRESS__)
#define QUORL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define QUORL_SANITIZED 1
#endif
#endif
#ifndef QUORL_SANITIZED
#define QUORL_SANITIZED 0
#endif
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace quorl::diff {
namespace {

using model::Attributes;
using model::broken_invariant;
using model::differences;
using model::GraphDiffModel;
using model::Key;

// Identifiers used here differ only in their last byte.
Uuid id(std::uint8_t n) {
    Uuid u;
    const std::uint8_t prefix[15] = {0x3f, 0x2a, 0x91, 0x0c, 0x5e, 0x77, 0x41, 0xd2, 0x8b, 0x10, 0xaa, 0x4c, 0x09, 0xe3, 0x6f};
    std::copy(std::begin(prefix), std::end(prefix), u.bytes.begin());
    u.bytes[15] = n;
    return u;
}

Key key(std::uint8_t n) { return id(n).bytes; }

NodeUpdate labelled(std::string_view label) {
    NodeUpdate u;
    u.set<kLabel>(label);
    return u;
}

// A diff and the model, given the same operations.
struct Both {
    GraphDiff d;
    GraphDiffModel m;

    void add_node(const Uuid& k, const NodeUpdate& u) {
        d.add_node(k, u);
        m.add_node(k.bytes, Attributes::of(u));
    }
    void delete_node(const Uuid& k) {
        d.delete_node(k);
        m.delete_node(k.bytes);
    }
    // Whether the edge was accepted, which the two must agree on.
    bool add_edge(const Uuid& from, const Uuid& to, float w) {
        const bool accepted = d.add_edge(from, to, w).ok();
        EXPECT_EQ(m.add_edge(from.bytes, to.bytes, w), accepted);
        return accepted;
    }
    void delete_edge(const Uuid& from, const Uuid& to) {
        d.delete_edge(from, to);
        m.delete_edge(from.bytes, to.bytes);
    }
    void clear() {
        d.clear();
        m.clear();
    }
};

// The model holds exactly `want`, order included; the diff holds it as far as
// the comparison of a diff with a model looks.
#define EXPECT_STATE(both, want)                                                    \
    do {                                                                            \
        EXPECT_EQ(differences((want), (both).m, /*compare_order=*/true), "") << "model"; \
        EXPECT_EQ(differences((want), (both).d), "") << "diff";                     \
    } while (0)

// ---------------------------------------------------------------------------
// Merge of node updates

// Every attribute present: a text "old <name>", a float 4, a byte 255 - its
// place, true.
NodeUpdate full_record() {
    NodeUpdate u;
    for_each_attribute([&](auto a) {
        if constexpr (kKindOf<a> == AttributeKind::Text) {
            u.set<a>("old " + std::string(kAttributes[a].name));
        } else if constexpr (kKindOf<a> == AttributeKind::Float) {
            u.set<a>(4.0f);
        } else if constexpr (kKindOf<a> == AttributeKind::Byte) {
            u.set<a>(static_cast<std::uint8_t>(255 - a));
        } else {
            u.set<a>(true);
        }
    });
    return u;
}

TEST(NodeUpdateMerge, PresentFieldsReplaceAndAbsentFieldsKeep) {
    NodeUpdate stored;
    stored.set<kLabel>("old label");
    stored.set<kUrl>("https://example.org/old");
    stored.set<kRed>(255);
    stored.set<kGreen>(7);
    stored.set<kBlue>(9);
    stored.set<kShowLabel>(true);

    NodeUpdate newer;
    newer.set<kLabel>("");  // present and empty is a value, not an absence
    newer.set<kSize>(2.5f);
    newer.set<kRed>(0);
    newer.set<kShowLabel>(false);
    stored.merge(std::move(newer));

    EXPECT_EQ(stored.get<kLabel>(), std::optional<std::string_view>(""));
    EXPECT_EQ(stored.get<kSize>(), std::optional<float>(2.5f));
    EXPECT_EQ(stored.get<kUrl>(), std::optional<std::string_view>("https://example.org/old"));
    EXPECT_EQ(stored.get<kRed>(), std::optional<std::uint8_t>(0));
    EXPECT_EQ(stored.get<kGreen>(), std::optional<std::uint8_t>(7));
    EXPECT_EQ(stored.get<kBlue>(), std::optional<std::uint8_t>(9));
    EXPECT_EQ(stored.get<kShowLabel>(), std::optional<bool>(false));
}

TEST(NodeUpdateMerge, EmptyUpdateChangesNothing) {
    NodeUpdate stored = full_record();
    stored.merge(NodeUpdate{});
    EXPECT_EQ(stored, full_record());

    NodeUpdate empty;
    empty.merge(NodeUpdate{});
    EXPECT_EQ(empty.present_count(), 0);
}

// Every attribute stands alone: set by itself it is the one present, merged
// into a full record it replaces only itself, and it is part of equality.
// The attributes share storage (presence bits, the block of texts), so each
// is checked against all the others.
TEST(NodeUpdateMerge, EachAttributeAlone) {
    diff::for_each_attribute([](auto a) {
        SCOPED_TRACE(std::string(diff::kAttributes[a].name));
        diff::AttributeValue<a> value{};
        if constexpr (diff::kKindOf<a> == diff::AttributeKind::Text) {
            value = "new text";
        } else if constexpr (diff::kKindOf<a> == diff::AttributeKind::Bool) {
            value = false;  // the full record holds true
        } else {
            value = 1;
        }
        NodeUpdate alone;
        alone.set<a>(value);
        EXPECT_EQ(alone.present_count(), 1);
        diff::for_each_attribute([&](auto b) { EXPECT_EQ(alone.get<b>().has_value(), a == b); });

        NodeUpdate stored = full_record();
        stored.merge(NodeUpdate(alone));
        EXPECT_EQ(stored.present_count(), diff::kAttributeCount);
        EXPECT_FALSE(stored == full_record());
        diff::for_each_attribute([&](auto b) {
            if constexpr (a == b) {
                EXPECT_EQ(stored.get<b>(), std::optional(value));
            } else {
                EXPECT_EQ(stored.get<b>(), full_record().get<b>());
            }
        });
    });
}

// The two texts share storage, so every combination of which texts the stored
// and the newer record hold is checked.
TEST(NodeUpdateMerge, TextCombinations) {
    struct Texts {
        std::optional<std::string> label, url;
    };
    const Texts variants[] = {
        {std::nullopt, std::nullopt},
        {"L", std::nullopt},
        {std::nullopt, "U"},
        {"label text", "url text"},
        {"", ""},
    };
    for (const Texts& old_texts : variants) {
        for (const Texts& new_texts : variants) {
            NodeUpdate stored;
            stored.set<kBlue>(1);
            if (old_texts.label) stored.set<kLabel>(*old_texts.label);
            if (old_texts.url) stored.set<kUrl>(*old_texts.url);
            NodeUpdate newer;
            if (new_texts.label) newer.set<kLabel>("new " + *new_texts.label);
            if (new_texts.url) newer.set<kUrl>("new " + *new_texts.url);
            stored.merge(std::move(newer));

            std::optional<std::string> want_label =
                new_texts.label ? "new " + *new_texts.label : old_texts.label;
            std::optional<std::string> want_url = new_texts.url ? "new " + *new_texts.url : old_texts.url;
            SCOPED_TRACE(::testing::Message() << "stored " << old_texts.label.value_or("<none>") << "/"
                                              << old_texts.url.value_or("<none>") << ", newer "
                                              << new_texts.label.value_or("<none>") << "/"
                                              << new_texts.url.value_or("<none>"));
            EXPECT_EQ(stored.get<kLabel>(), want_label ? std::optional<std::string_view>(*want_label) : std::nullopt);
            EXPECT_EQ(stored.get<kUrl>(), want_url ? std::optional<std::string_view>(*want_url) : std::nullopt);
            EXPECT_EQ(stored.get<kBlue>(), std::optional<std::uint8_t>(1));
            EXPECT_EQ(stored.present_count(), 1 + (want_label ? 1 : 0) + (want_url ? 1 : 0));
        }
    }
}

// ---------------------------------------------------------------------------
// Nodes

// A text in the arena is its length (one byte, or 255 and eight more from
// 255 bytes on) and its bytes; text_bytes, write_text, written_bytes and
// read_text agree at every length where the form changes.
TEST(TextArena, EveryLengthReadsBackAsWritten) {
    for (const std::size_t length : {0u, 1u, 254u, 255u, 256u, 70000u}) {
        SCOPED_TRACE(length);
        std::string text(length, 'a');
        for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char>('a' + i % 26);
        const std::size_t header = length < 255 ? 1 : 9;
        EXPECT_EQ(TextArena::text_bytes(length), header + length);
        std::vector<char> out(header + length + 1, '#');
        EXPECT_EQ(TextArena::write_text(out.data(), text), out.data() + header + length);
        EXPECT_EQ(out.back(), '#');
        EXPECT_EQ(TextArena::written_bytes(out.data()), header + length);
        const char* in = out.data();
        EXPECT_EQ(TextArena::read_text(in), text);
        EXPECT_EQ(in, out.data() + header + length);
        // A batch's stream holds the same bytes.
        ByteStream stream;
        stream.append_text(text);
        EXPECT_EQ(stream.view(), std::string_view(out.data(), header + length));
    }
}

TEST(GraphDiffNodes, FreshDiffIsEmpty) {
    GraphDiff d;
    EXPECT_EQ(d.num_nodes(), 0u);
    EXPECT_EQ(d.num_edges(), 0u);
    EXPECT_EQ(differences(GraphDiffModel{}, d), "");
}

TEST(GraphDiffNodes, SecondAddMergesIntoPendingUpdate) {
    Both both;
    NodeUpdate first = labelled("alpha");
    first.set<kSize>(1.0f);
    both.add_node(id(1), first);
    NodeUpdate second;
    second.set<kRed>(3);
    both.add_node(id(1), second);
    const GraphDiffModel want{.nodes = {{key(1), {.label = "alpha", .size = 1.0f, .red = 3}}}};
    EXPECT_STATE(both, want);
    EXPECT_EQ(both.d.num_nodes(), 1u);

    // An update without attributes leaves the pending record as it is.
    both.add_node(id(1), NodeUpdate{});
    EXPECT_STATE(both, want);
}

TEST(GraphDiffNodes, AddAfterDeleteStartsFromTheNewUpdateAndKeepsEdgeChanges) {
    Both both;
    NodeUpdate old = labelled("old");
    old.set<kRed>(1);
    both.add_node(id(9), old);
    ASSERT_TRUE(both.add_edge(id(1), id(9), 0.5f));
    ASSERT_TRUE(both.add_edge(id(9), id(2), 0.5f));
    both.delete_node(id(9));
    NodeUpdate fresh;
    fresh.set<kSize>(3.0f);
    both.add_node(id(9), fresh);
    GraphDiffModel want{.nodes = {{key(9), {.size = 3.0f}}},  // nothing of the discarded record survives
                        .edges = {{key(1), {}}},
                        .deleted_edges = {{key(1), {key(9)}}}};
    EXPECT_STATE(both, want);

    // An empty update on a node marked for deletion still unmarks it.
    both.delete_node(id(4));
    both.add_node(id(4), NodeUpdate{});
    want.nodes[key(4)] = {};
    EXPECT_STATE(both, want);
}

TEST(GraphDiffNodes, DeleteDiscardsPendingUpdate) {
    Both both;
    both.add_node(id(1), labelled("x"));
    both.add_node(id(2), labelled("y"));
    both.delete_node(id(1));
    both.delete_node(id(1));  // repeated: no further effect
    both.delete_node(id(3));  // unknown node: simply marked
    EXPECT_STATE(both, (GraphDiffModel{.nodes = {{key(2), {.label = "y"}}}, .deleted_nodes = {key(1), key(3)}}));
    EXPECT_EQ(both.d.num_nodes(), 3u);
}

TEST(GraphDiffNodes, DeleteTurnsInEdgesIntoDeletedEdgesAndDropsOutEdges) {
    const Uuid a = id(1), x = id(2), b = id(3);
    Both both;
    ASSERT_TRUE(both.add_edge(a, x, 1.0f));
    ASSERT_TRUE(both.add_edge(x, b, 2.0f));
    both.delete_node(x);
    EXPECT_STATE(both, (GraphDiffModel{.deleted_nodes = {x.bytes},
                                       .edges = {{a.bytes, {}}},  // the source stays, with no targets left
                                       .deleted_edges = {{a.bytes, {x.bytes}}}}));
    EXPECT_EQ(both.d.num_edges(), 2u);  // a counts once in each edge collection
}

TEST(GraphDiffNodes, DeleteVisitsEverySource) {
    Both both;
    const Uuid x = id(200);
    GraphDiffModel want;
    for (std::uint8_t s = 0; s < 60; ++s) {
        ASSERT_TRUE(both.add_edge(id(s), id(201), 1.0f));
        want.edges[key(s)][key(201)] = 1.0f;
        if (s % 3 != 0) {
            ASSERT_TRUE(both.add_edge(id(s), x, 2.0f));
            want.deleted_edges[key(s)].insert(x.bytes);
        }
    }
    both.delete_node(x);
    want.deleted_nodes.insert(x.bytes);
    EXPECT_STATE(both, want);
}

TEST(GraphDiffNodes, SelfLoopVanishesAndEarlierEdgeDeletionsStay) {
    const Uuid x = id(1), a = id(2), b = id(3);
    Both both;
    both.delete_edge(x, b);
    both.delete_edge(a, x);
    ASSERT_TRUE(both.add_edge(x, x, 1.0f));
    ASSERT_TRUE(both.add_edge(x, a, 1.0f));
    both.delete_node(x);
    EXPECT_STATE(both, (GraphDiffModel{.deleted_nodes = {x.bytes},
                                       .deleted_edges = {{x.bytes, {b.bytes}}, {a.bytes, {x.bytes}}}}));
}

// ---------------------------------------------------------------------------
// Edges

TEST(GraphDiffEdges, RefusedWhenAnEndpointIsMarkedForDeletion) {
    const Uuid a = id(1), b = id(2), c = id(3);
    for (int which = 0; which < 3; ++which) {
        SCOPED_TRACE(which == 0 ? "deleted source" : which == 1 ? "deleted target" : "both deleted");
        Both both;
        both.add_node(c, labelled("c"));
        ASSERT_TRUE(both.add_edge(c, id(9), 1.0f));
        // A deleted edge under the source with the same target: a refusal must
        // not get as far as cancelling it.
        both.delete_edge(a, b);
        if (which != 1) both.delete_node(a);
        if (which != 0) both.delete_node(b);
        const GraphDiffModel before = both.m;

        auto result = both.d.add_edge(a, b, 5.0f);
        ASSERT_FALSE(result.ok());
        EXPECT_FALSE(both.m.add_edge(a.bytes, b.bytes, 5.0f));
        EXPECT_STATE(both, before);
    }
}

TEST(GraphDiffEdges, LaterWeightReplacesEarlier) {
    Both both;
    ASSERT_TRUE(both.add_edge(id(1), id(2), 1.0f));
    ASSERT_TRUE(both.add_edge(id(1), id(2), 2.0f));
    ASSERT_TRUE(both.add_edge(id(2), id(1), 3.0f));  // the reverse edge is another edge
    EXPECT_STATE(both, (GraphDiffModel{.edges = {{key(1), {{key(2), 2.0f}}}, {key(2), {{key(1), 3.0f}}}}}));
}

TEST(GraphDiffEdges, CountIsTheNumberOfSourcesInBothCollections) {
    GraphDiff d;
    ASSERT_TRUE(d.add_edge(id(1), id(2), 1.0f));
    ASSERT_TRUE(d.add_edge(id(1), id(4), 1.0f));
    EXPECT_EQ(d.num_edges(), 1u);
    d.delete_edge(id(3), id(5));
    d.delete_edge(id(3), id(6));
    EXPECT_EQ(d.num_edges(), 2u);
    d.delete_edge(id(1), id(7));  // source 1 now appears in both collections
    EXPECT_EQ(d.num_edges(), 3u);
    EXPECT_EQ(d.num_nodes(), 0u);
}

TEST(GraphDiffEdges, AddCancelsDeletion) {
    const Uuid a = id(1), b = id(2), c = id(3);
    Both both;
    both.delete_edge(a, b);
    both.delete_edge(a, c);
    ASSERT_TRUE(both.add_edge(a, b, 0.25f));
    EXPECT_STATE(both, (GraphDiffModel{.edges = {{a.bytes, {{b.bytes, 0.25f}}}}, .deleted_edges = {{a.bytes, {c.bytes}}}}));
    ASSERT_TRUE(both.add_edge(a, id(9), 1.0f));  // not deleted: the set is untouched
    ASSERT_TRUE(both.add_edge(a, c, 0.5f));      // the last target goes, and the source with it
    EXPECT_STATE(both, (GraphDiffModel{.edges = {{a.bytes, {{b.bytes, 0.25f}, {key(9), 1.0f}, {c.bytes, 0.5f}}}}}));
    EXPECT_EQ(both.d.num_edges(), 1u);
}

TEST(GraphDiffEdges, DeleteCancelsPendingEdgeAndIsRecorded) {
    const Uuid a = id(1), b = id(2), c = id(3);
    Both both;
    ASSERT_TRUE(both.add_edge(a, b, 1.0f));
    ASSERT_TRUE(both.add_edge(a, c, 1.0f));
    both.delete_edge(a, b);
    EXPECT_STATE(both, (GraphDiffModel{.edges = {{a.bytes, {{c.bytes, 1.0f}}}}, .deleted_edges = {{a.bytes, {b.bytes}}}}));
    both.delete_edge(a, c);
    EXPECT_STATE(both, (GraphDiffModel{.deleted_edges = {{a.bytes, {b.bytes, c.bytes}}}}));
}

TEST(GraphDiffEdges, DeleteOfUnknownEdgeIsRecordedEvenForDeletedNodes) {
    Both both;
    both.delete_edge(id(1), id(2));
    both.delete_edge(id(1), id(2));
    both.delete_node(id(4));
    both.delete_edge(id(3), id(4));  // deletion of an edge to a deleted node is not checked
    EXPECT_STATE(both, (GraphDiffModel{.deleted_nodes = {key(4)},
                                       .deleted_edges = {{key(1), {key(2)}}, {key(3), {key(4)}}}}));
}

TEST(GraphDiffEdges, SourceLeftEmptyByNodeDeletion) {
    const Uuid a = id(1), x = id(2), z = id(3), y = id(4);
    auto pending_a_x_then_x_deleted = [&](Both& both) {
        ASSERT_TRUE(both.add_edge(a, x, 1.0f));
        both.delete_node(x);
    };
    {
        // delete_edge from that source removes the empty entry.
        Both both;
        pending_a_x_then_x_deleted(both);
        both.delete_edge(a, z);
        EXPECT_STATE(both, (GraphDiffModel{.deleted_nodes = {x.bytes}, .deleted_edges = {{a.bytes, {x.bytes, z.bytes}}}}));
    }
    {
        // add_edge from that source fills it again.
        Both both;
        pending_a_x_then_x_deleted(both);
        ASSERT_TRUE(both.add_edge(a, y, 2.0f));
        EXPECT_STATE(both, (GraphDiffModel{.deleted_nodes = {x.bytes},
                                           .edges = {{a.bytes, {{y.bytes, 2.0f}}}},
                                           .deleted_edges = {{a.bytes, {x.bytes}}}}));
    }
    {
        // delete_node of the source removes it.
        Both both;
        pending_a_x_then_x_deleted(both);
        both.delete_node(a);
        EXPECT_STATE(both, (GraphDiffModel{.deleted_nodes = {x.bytes, a.bytes}, .deleted_edges = {{a.bytes, {x.bytes}}}}));
        EXPECT_EQ(both.d.num_edges(), 1u);
    }
}

TEST(GraphDiffEdges, BuiltFromPartsHoldsThemAsGiven) {
    // Parts as a reader might deliver them: no combination rules are applied,
    // and an empty target set under a source is kept.
    NodeMap nodes;
    nodes.add(id(1), labelled("one"));
    NodeSet deleted_nodes;
    deleted_nodes.try_emplace(id(1));
    EdgeMap edges;
    edges.try_emplace(id(2)).value.insert_or_assign(id(3), 7.0f);
    DeletedEdgeMap deleted_edges;
    deleted_edges.try_emplace(id(2)).value.try_emplace(id(3));
    deleted_edges.try_emplace(id(5));
    GraphDiffModel want{.nodes = {{key(1), {.label = "one"}}},
                        .deleted_nodes = {key(1)},
                        .edges = {{key(2), {{key(3), 7.0f}}}},
                        .deleted_edges = {{key(2), {key(3)}}, {key(5), {}}}};
    Both both{GraphDiff(std::move(nodes), std::move(deleted_nodes), std::move(edges), std::move(deleted_edges)), want};
    EXPECT_STATE(both, want);
    EXPECT_EQ(both.d.num_nodes(), 2u);
    EXPECT_EQ(both.d.num_edges(), 3u);

    // The emptiness test of add_edge runs even when the target was not there.
    ASSERT_TRUE(both.add_edge(id(5), id(6), 1.0f));
    want.deleted_edges.erase(key(5));
    want.edges[key(5)][key(6)] = 1.0f;
    EXPECT_STATE(both, want);
}

// The operations copy their identifiers before changing anything, so a key
// taken from the diff's own collections is a valid argument.
TEST(GraphDiffEdges, ArgumentsMayReferToTheDiffsOwnKeys) {
    auto n_plus = [](std::uint8_t n, int k) { return id(static_cast<std::uint8_t>(n + k)); };
    GraphDiff d;
    GraphDiffModel want;
    for (std::uint8_t n = 0; n < 40; ++n) {
        d.add_node(id(n), NodeUpdate{});
        ASSERT_TRUE(d.add_edge(id(n), n_plus(n, 100), 1.0f));
        d.delete_edge(n_plus(n, 150), id(n));
        want.deleted_nodes.insert(key(n));
        want.deleted_edges[n_plus(n, 150).bytes].insert(key(n));
    }
    for (int guard = 0; guard < 40 && !d.new_or_updated_nodes().empty(); ++guard) {
        d.delete_node(d.new_or_updated_nodes().begin()->key);
    }
    EXPECT_EQ(differences(want, d), "");

    // Each source of deleted_edges holds one target; adding that edge empties
    // the set and removes the very entry both arguments refer to.
    GraphDiff e;
    GraphDiffModel want_e;
    for (std::uint8_t n = 0; n < 40; ++n) {
        e.delete_edge(n_plus(n, 100), n_plus(n, 50));
        want_e.edges[n_plus(n, 100).bytes][n_plus(n, 50).bytes] = 1.0f;
    }
    for (int guard = 0; guard < 40 && !e.deleted_edges().empty(); ++guard) {
        const auto& first = *e.deleted_edges().begin();
        ASSERT_TRUE(e.add_edge(first.key, first.value.begin()->key, 1.0f));
    }
    EXPECT_EQ(differences(want_e, e), "");
}

// ---------------------------------------------------------------------------
// Clearing

void fill(Both& both) {
    for (std::uint8_t n = 0; n < 50; ++n) {
        NodeUpdate u = labelled("node");
        u.set<kUrl>("https://example.org/");
        both.add_node(id(n), u);
        ASSERT_TRUE(both.add_edge(id(n), id(static_cast<std::uint8_t>(n + 1)), 0.5f));
        ASSERT_TRUE(both.add_edge(id(n), id(static_cast<std::uint8_t>(n + 2)), 0.5f));
        both.delete_edge(id(static_cast<std::uint8_t>(n + 60)), id(n));
    }
    for (std::uint8_t n = 120; n < 150; ++n) both.delete_node(id(n));
}

TEST(GraphDiffClear, EmptiesEverythingKeepsStorageAndIsReusable) {
    Both both;
    GraphDiff& d = both.d;
    fill(both);
    const GraphDiffModel filled = both.m;
    EXPECT_EQ(differences(filled, d), "");
    const std::size_t caps[] = {d.new_or_updated_nodes().capacity(), d.deleted_nodes().capacity(),
                                d.new_or_updated_edges().capacity(), d.deleted_edges().capacity()};

    both.clear();
    EXPECT_STATE(both, GraphDiffModel{});
    EXPECT_EQ(d.num_nodes(), 0u);
    EXPECT_EQ(d.num_edges(), 0u);
    EXPECT_EQ(d.new_or_updated_nodes().capacity(), caps[0]);
    EXPECT_EQ(d.deleted_nodes().capacity(), caps[1]);
    EXPECT_EQ(d.new_or_updated_edges().capacity(), caps[2]);
    EXPECT_EQ(d.deleted_edges().capacity(), caps[3]);

    // A node deleted before the clear is no longer marked.
    ASSERT_TRUE(both.add_edge(id(120), id(121), 1.0f));
    both.clear();
    fill(both);
    EXPECT_STATE(both, filled);
    EXPECT_EQ(d.new_or_updated_nodes().capacity(), caps[0]);
    EXPECT_EQ(d.new_or_updated_edges().capacity(), caps[2]);
}

// ---------------------------------------------------------------------------
// Heap bytes: the running figure (checked against a walk of every entry by
// broken_invariant, here and in the randomised test below) and the model of
// the allocator it rests on

std::size_t table_blocks(const GraphDiff& d) {
    return allocated_bytes(d.new_or_updated_nodes().table_block_bytes()) +
           allocated_bytes(d.deleted_nodes().block_bytes()) +
           allocated_bytes(d.new_or_updated_edges().block_bytes()) +
           allocated_bytes(d.deleted_edges().block_bytes());
}

TEST(GraphDiffHeapBytes, FollowsTextsAndTargetTablesAndClearKeepsOnlyTheTableBlocks) {
    GraphDiff d;
    EXPECT_EQ(d.heap_bytes(), 0u);
    d.add_node(id(1), NodeUpdate{});
    EXPECT_EQ(d.heap_bytes(), table_blocks(d));  // no texts yet
    // The texts go into the arena's block: a merged label takes a record of
    // its length and its bytes, in the smallest block.
    const NodeMap& nodes = d.new_or_updated_nodes();
    d.add_node(id(1), labelled("abc"));
    EXPECT_EQ(nodes.live_text_bytes(), 1u + 3);
    EXPECT_EQ(nodes.text_capacity(), 40u);
    EXPECT_EQ(d.heap_bytes(), table_blocks(d) + allocated_bytes(40));
    // A url merged in: a record of both texts (the url's length in 9 bytes),
    // and the label's own record dies.
    NodeUpdate long_url;
    long_url.set<kUrl>(std::string(300, 'u'));
    d.add_node(id(1), long_url);
    EXPECT_EQ(nodes.live_text_bytes(), (1u + 3) + (9 + 300));
    EXPECT_EQ(nodes.dead_text_bytes(), 1u + 3);
    EXPECT_EQ(nodes.text_capacity(), 4u + 313);
    EXPECT_EQ(d.heap_bytes(), table_blocks(d) + allocated_bytes(4 + 313));
    const std::size_t with_texts = d.heap_bytes();
    const std::size_t blocks_with_texts = table_blocks(d);

    // A single target lives inside the source's entry; more take an array,
    // and more than the array holds an indexed table.
    ASSERT_TRUE(d.add_edge(id(2), id(3), 1.0f).ok());
    const std::size_t one_target = d.heap_bytes();
    EXPECT_EQ(one_target - table_blocks(d), with_texts - blocks_with_texts);
    ASSERT_TRUE(d.add_edge(id(2), id(4), 1.0f).ok());
    EXPECT_GT(d.heap_bytes(), one_target);
    for (std::uint8_t n = 10; n < 60; ++n) ASSERT_TRUE(d.add_edge(id(2), id(n), 1.0f).ok());
    const std::size_t many_targets = d.heap_bytes();
    EXPECT_GT(many_targets, one_target + 50 * 20);  // at least the entries themselves
    ASSERT_EQ(broken_invariant(d), "");
    // Deleting most targets shrinks the indexed table.
    for (std::uint8_t n = 10; n < 58; ++n) d.delete_edge(id(2), id(n));
    EXPECT_LT(d.heap_bytes(), many_targets);
    ASSERT_EQ(broken_invariant(d), "");

    // So does deleting the nodes most targets are: the indexed table gives
    // up its entries one at a time, and the deleted edges are recorded.
    for (std::uint8_t n = 60; n < 200; ++n) ASSERT_TRUE(d.add_edge(id(3), id(n), 1.0f).ok());
    const std::size_t full_table = d.new_or_updated_edges().find(id(3))->heap_bytes();
    for (std::uint8_t n = 60; n < 196; ++n) d.delete_node(id(n));
    ASSERT_EQ(broken_invariant(d), "");
    EXPECT_LT(d.new_or_updated_edges().find(id(3))->heap_bytes(), full_table);

    d.delete_node(id(1));
    d.delete_node(id(2));
    ASSERT_EQ(broken_invariant(d), "");
    d.clear();
    EXPECT_GT(d.heap_bytes(), 0u);
    EXPECT_EQ(d.heap_bytes(), table_blocks(d));
    ASSERT_EQ(broken_invariant(d), "");

    // A moved-from diff holds nothing; the figure moves with the contents.
    d.add_node(id(7), labelled("seven"));
    const std::size_t before = d.heap_bytes();
    GraphDiff moved(std::move(d));
    EXPECT_EQ(moved.heap_bytes(), before);
    EXPECT_EQ(d.heap_bytes(), 0u);  // NOLINT(bugprone-use-after-move): moved-from is empty
    GraphDiff assigned;
    assigned.add_node(id(8), labelled("eight"));
    assigned = std::move(moved);
    EXPECT_EQ(assigned.heap_bytes(), before);
    EXPECT_EQ(moved.heap_bytes(), 0u);  // NOLINT(bugprone-use-after-move)
}

TEST(GraphDiffHeapBytes, BuiltFromPartsCountsWhatThePartsHold) {
    NodeMap nodes;
    nodes.add(id(1), labelled("one"));
    EdgeMap edges;
    for (std::uint8_t n = 0; n < 20; ++n) edges.try_emplace(id(2)).value.insert_or_assign(id(n), 1.0f);
    DeletedEdgeMap deleted_edges;
    deleted_edges.try_emplace(id(3)).value.try_emplace(id(4));
    deleted_edges.try_emplace(id(3)).value.try_emplace(id(5));
    GraphDiff d(std::move(nodes), NodeSet{}, std::move(edges), std::move(deleted_edges));
    EXPECT_GT(d.heap_bytes(), table_blocks(d) + allocated_bytes(40) + 20 * 20);
    EXPECT_EQ(d.heap_bytes(), d.heap_bytes_by_walk());
}

// The texts of the pending updates share the diff's arena. The records that
// merges replace and deletions leave behind are reclaimed once they pass the
// live ones (broken_invariant checks that after every change), so the arena
// stays within a few times its live bytes however the texts churn.
TEST(GraphDiffHeapBytes, DeadTextsAreReclaimedAndTheArenaFollowsTheLiveOnes) {
    Both both;
    const NodeMap& nodes = both.d.new_or_updated_nodes();
    for (std::uint8_t n = 0; n < 10; ++n) both.add_node(id(n), labelled(std::string(40, static_cast<char>('a' + n))));
    const std::uint64_t settled = nodes.live_text_bytes();
    EXPECT_EQ(settled, 10u * 41);
    // One node relabelled over and over, with a url now and then: the other
    // records move as the arena is reclaimed, and keep their texts.
    for (int round = 0; round < 400; ++round) {
        NodeUpdate u = labelled(std::string(1 + round % 90, static_cast<char>('A' + round % 26)));
        if (round % 7 == 0) u.set<kUrl>(std::string(round % 3 == 0 ? 280 : 5, 'u'));
        both.add_node(id(3), u);
        ASSERT_EQ(broken_invariant(both.d), "") << "round " << round;
    }
    EXPECT_STATE(both, both.m);
    EXPECT_LT(nodes.text_capacity(), 4 * nodes.live_text_bytes());
    // Deleting nodes reclaims too; once no text is left, the block goes.
    for (std::uint8_t n = 0; n < 10; ++n) {
        both.delete_node(id(n));
        ASSERT_EQ(broken_invariant(both.d), "") << "node " << int{n};
    }
    EXPECT_STATE(both, both.m);
    EXPECT_EQ(nodes.live_text_bytes(), 0u);
    EXPECT_EQ(nodes.text_capacity(), 0u);
    EXPECT_EQ(both.d.heap_bytes(), table_blocks(both.d));
    // A clear keeps the block, as it keeps the tables'.
    both.add_node(id(1), labelled("again"));
    const std::size_t capacity = nodes.text_capacity();
    both.clear();
    EXPECT_EQ(nodes.text_capacity(), capacity);
    EXPECT_EQ(nodes.live_text_bytes(), 0u);
    both.add_node(id(2), labelled("refilled"));
    EXPECT_EQ(nodes.text_capacity(), capacity);
    EXPECT_STATE(both, (GraphDiffModel{.nodes = {{key(2), {.label = "refilled"}}}}));
    // Batches: ten long labels, then a batch that relabels every node with a
    // short text, leaving the long ones dead; it is reclaimed before it
    // returns.
    std::vector<Uuid> all;
    for (std::uint8_t n = 0; n < 10; ++n) all.push_back(id(n));
    for (const std::size_t length : {60u, 1u}) {
        const std::vector<NodeUpdate> labels(10, labelled(std::string(length, 'b')));
        for (std::uint8_t n = 0; n < 10; ++n) both.m.add_node(key(n), Attributes::of(labels[n]));
        both.d.add_nodes(all, labels);
        ASSERT_EQ(broken_invariant(both.d), "");
        EXPECT_STATE(both, both.m);
        EXPECT_EQ(nodes.live_text_bytes(), 10 * (1 + length));
    }
    EXPECT_LT(nodes.text_capacity(), 4 * nodes.live_text_bytes());
}

// add_nodes makes room in the node table for the ids it adds, not for its
// items: repeats and ids already pending take none, and a table the batch
// grew for ids that turned out to repeat is shrunk to what the loop of
// add_node keeps. Growing in the middle of a batch closes the table's holes,
// which moves the updates that earlier items merge into.
TEST(GraphDiffHeapBytes, AddNodesKeepsRoomForTheNewIdsOnly) {
    GraphDiff loop;
    loop.add_node(id(1), NodeUpdate{});
    for (const std::size_t repeats : {std::size_t{2}, std::size_t{10000}}) {
        GraphDiff batch;
        batch.add_nodes(std::vector<Uuid>(repeats, id(1)), std::vector<NodeUpdate>(repeats));
        EXPECT_EQ(batch.heap_bytes(), loop.heap_bytes()) << repeats << " repeats";
    }

    Both both;
    std::vector<Uuid> ids;
    for (std::uint8_t n = 0; n < 200; ++n) {
        ids.push_back(id(n));
        both.add_node(id(n), labelled("pending"));
    }
    const std::size_t pending = both.d.heap_bytes();
    std::vector<NodeUpdate> reds(ids.size());
    for (NodeUpdate& u : reds) u.set<kRed>(7);
    for (std::size_t i = 0; i < ids.size(); ++i) both.m.add_node(ids[i].bytes, Attributes::of(reds[i]));
    both.d.add_nodes(ids, reds);
    EXPECT_EQ(both.d.heap_bytes(), pending) << "updating pending nodes takes no room";
    EXPECT_STATE(both, both.m);

    // New ids, then many repeats of them: the table the batch grew for the
    // rest of its items is no larger than twice the loop's.
    GraphDiff first_new;
    std::vector<Uuid> mostly_repeats(ids.begin(), ids.end());
    for (int round = 0; round < 50; ++round) mostly_repeats.insert(mostly_repeats.end(), ids.begin(), ids.end());
    first_new.add_nodes(mostly_repeats, std::vector<NodeUpdate>(mostly_repeats.size()));
    const std::size_t loop_capacity = both.d.new_or_updated_nodes().capacity();
    EXPECT_LE(first_new.new_or_updated_nodes().capacity(), 2 * loop_capacity);
    EXPECT_EQ(broken_invariant(first_new), "");

    // Holes, then a batch that merges texts into pending updates, fills the
    // table with new ids and merges again.
    for (std::uint8_t n = 0; n < 60; ++n) both.delete_node(id(static_cast<std::uint8_t>(3 * n)));
    ASSERT_LT(both.d.new_or_updated_nodes().size(), both.d.new_or_updated_nodes().capacity());
    std::vector<Uuid> batch_ids;
    std::vector<NodeUpdate> updates;
    for (int n = 1; n < 256; ++n) {
        batch_ids.push_back(id(static_cast<std::uint8_t>(n)));
        updates.push_back(labelled(std::string(n % 7, 'm')));
    }
    batch_ids.insert(batch_ids.end(), {id(1), id(2), id(250)});
    updates.insert(updates.end(), {labelled("again"), NodeUpdate{}, labelled("last")});
    for (std::size_t i = 0; i < batch_ids.size(); ++i) both.m.add_node(batch_ids[i].bytes, Attributes::of(updates[i]));
    both.d.add_nodes(batch_ids, updates);
    ASSERT_EQ(broken_invariant(both.d), "");
    EXPECT_STATE(both, both.m);
}

#if defined(__GLIBC__) && !QUORL_SANITIZED
// The figure against the allocator's own count of the bytes in use.
// Freed blocks the allocator keeps in its per-thread cache still count as in
// use there, so the two differ by a few small blocks.
TEST(GraphDiffHeapBytes, CloseToWhatTheAllocatorHandsOut) {
    auto in_use = [] {
        const struct mallinfo2 info = mallinfo2();
        return info.uordblks + info.hblkhd;  // heap chunks and mapped blocks
    };
    std::mt19937_64 rng(7);
    const std::size_t start = in_use();
    {
        GraphDiff d;
        for (std::uint32_t n = 0; n < 40000; ++n) {
            Uuid node = id(0);
            std::memcpy(node.bytes.data(), &n, sizeof n);
            NodeUpdate u;
            if (n % 3 == 0) u.set<kLabel>(std::string(rng() % 40, 'l'));
            if (n % 5 == 0) u.set<kUrl>(std::string(rng() % 90, 'u'));
            d.add_node(node, std::move(u));
            for (std::uint32_t k = 0, targets = static_cast<std::uint32_t>(rng() % 24); k < targets; ++k) {
                Uuid target = id(1);
                const std::uint32_t t = static_cast<std::uint32_t>(rng());
                std::memcpy(target.bytes.data(), &t, sizeof t);
                (void)d.add_edge(node, target, 0.5f);
            }
            if (n % 7 == 0) {
                Uuid source = id(2);
                std::memcpy(source.bytes.data(), &n, sizeof n);
                d.delete_edge(source, node);
            }
        }
        const std::size_t used = in_use() - start;
        const double ratio = static_cast<double>(d.heap_bytes()) / static_cast<double>(used);
        EXPECT_GT(used, 10u << 20);
        EXPECT_NEAR(ratio, 1.0, 0.01) << d.heap_bytes() << " counted, " << used << " in use";
    }
}
#endif

// ---------------------------------------------------------------------------
// Order: a key takes its place when first inserted, keeps it while its value
// is replaced or merged, and goes to the end when removed and inserted again;
// delete_node visits the sources in their order.

template <class Map>
std::vector<Key> keys(const Map& map) {
    std::vector<Key> out;
    for (const auto& entry : map) out.push_back(entry.first);
    return out;
}

TEST(GraphDiffOrder, FirstInsertionGivesThePlace) {
    Both both;
    both.add_node(id(1), NodeUpdate{});
    both.add_node(id(2), NodeUpdate{});
    both.add_node(id(3), NodeUpdate{});
    both.add_node(id(1), labelled("merged"));
    both.delete_node(id(2));
    both.add_node(id(2), NodeUpdate{});
    for (std::uint8_t target : {9, 8, 7}) ASSERT_TRUE(both.add_edge(id(5), id(target), 1.0f));
    ASSERT_TRUE(both.add_edge(id(4), id(9), 1.0f));
    ASSERT_TRUE(both.add_edge(id(6), id(7), 1.0f));
    ASSERT_TRUE(both.add_edge(id(5), id(8), 3.0f));
    both.delete_edge(id(6), id(1));
    both.delete_node(id(9));
    const GraphDiffModel& m = both.m;
    EXPECT_EQ(keys(m.nodes), (std::vector<Key>{key(1), key(3), key(2)}));
    EXPECT_EQ(keys(m.edges), (std::vector<Key>{key(5), key(4), key(6)}));
    EXPECT_EQ(keys(*m.edges.find(key(5))), (std::vector<Key>{key(8), key(7)}));
    EXPECT_EQ(keys(m.deleted_edges), (std::vector<Key>{key(6), key(5), key(4)}));

    ASSERT_TRUE(both.add_edge(id(6), id(1), 1.0f));  // empties the entry of 6
    both.delete_edge(id(6), id(2));
    EXPECT_EQ(keys(m.deleted_edges), (std::vector<Key>{key(5), key(4), key(6)}));
    EXPECT_EQ(differences(m, both.d), "");
}

// ---------------------------------------------------------------------------
// Invariants, and the diff against the model at random

TEST(GraphDiffModel, RandomOperationsKeepInvariantsAndFollowTheRules) {
    // The last text is too long for a one-byte length in the arena.
    const std::string long_text(300, 'L');
    const std::string_view texts[] = {"", "a", "label", "\xc3\xa9t\xc3\xa9", long_text};
    // Seven ids keep the rules busy; forty give sources more targets than
    // an array holds, whose indexed tables grow and shrink.
    for (auto [seed, pool] : {std::pair{1u, 7u}, {2u, 7u}, {3u, 7u}, {4u, 7u}, {5u, 40u}, {6u, 40u}}) {
        SCOPED_TRACE(::testing::Message() << "seed " << seed);
        std::mt19937_64 rng(seed);
        auto pick_id = [&] { return id(static_cast<std::uint8_t>(rng() % pool)); };
        auto maybe = [&] { return rng() % 3 == 0; };
        Both both;
        for (int step = 0; step < 5000; ++step) {
            const auto op = rng() % 1000;
            if (op < 200) {
                NodeUpdate u;
                if (maybe()) u.set<kLabel>(texts[rng() % 5]);
                if (maybe()) u.set<kSize>(static_cast<float>(rng() % 10) / 4.0f);
                if (maybe()) u.set<kUrl>(texts[rng() % 5]);
                if (maybe()) u.set<kRed>(static_cast<std::uint8_t>(rng()));
                if (maybe()) u.set<kGreen>(static_cast<std::uint8_t>(rng()));
                if (maybe()) u.set<kBlue>(static_cast<std::uint8_t>(rng()));
                if (maybe()) u.set<kShowLabel>(rng() % 2 == 0);
                both.add_node(pick_id(), u);
            } else if (op < 320) {
                both.delete_node(pick_id());
            } else if (op < 700) {
                const Uuid from = pick_id(), to = pick_id();
                both.add_edge(from, to, static_cast<float>(rng() % 100) / 8.0f);
            } else if (op < 997) {
                const Uuid from = pick_id(), to = pick_id();
                both.delete_edge(from, to);
            } else {
                both.clear();
            }
            ASSERT_EQ(broken_invariant(both.d), "") << "step " << step;
            ASSERT_EQ(differences(both.m, both.d), "") << "step " << step;
        }
    }
}

TEST(GraphDiffBatch, DeleteNodesGivesTheContentsOfOneCallPerNode) {
    // Batches with repeats, sources, targets and self-loops, against the
    // model given one delete_node per id: the same contents, and the same
    // order everywhere but among the deleted edges the batch records.
    for (std::uint64_t seed = 1; seed <= 200; ++seed) {
        SCOPED_TRACE(::testing::Message() << "seed " << seed);
        std::mt19937_64 rng(seed);
        auto pick_id = [&] { return id(static_cast<std::uint8_t>(rng() % 9)); };
        Both both;
        GraphDiff batch;
        for (int step = 0; step < 60; ++step) {
            const Uuid a = pick_id(), b = pick_id();
            switch (rng() % 6) {
                case 0:
                    both.delete_node(a);
                    batch.delete_node(a);
                    break;
                case 1:
                    both.delete_edge(a, b);
                    batch.delete_edge(a, b);
                    break;
                case 2:
                    both.add_node(a, labelled("x"));
                    batch.add_node(a, labelled("x"));
                    break;
                default:
                    both.add_edge(a, b, 1.5f);
                    (void)batch.add_edge(a, b, 1.5f);
            }
        }
        std::vector<Uuid> ids(rng() % 6);
        for (Uuid& u : ids) u = pick_id();
        for (const Uuid& u : ids) both.delete_node(u);
        batch.delete_nodes(ids);
        ASSERT_EQ(differences(both.m, batch, false), "");
        ASSERT_EQ(broken_invariant(batch), "");
        const GraphDiffModel got = model::model_of(batch);
        EXPECT_TRUE(got.nodes == both.m.nodes && got.deleted_nodes == both.m.deleted_nodes &&
                    got.edges == both.m.edges)
            << "order of the nodes, the deleted nodes or the pending edges";
    }
}

// Items and positions are 32-bit numbers: a longer batch is refused as
// memory it cannot have, before any of its items is read (the spans here
// are longer than what they point at) and with the diff unchanged.
TEST(GraphDiffBatch, LongerThanTheItemsCanBeNumberedIsRefused) {
    Both both;
    fill(both);
    const Uuid some[1] = {id(1)};
    const float weight[1] = {1.0f};
    const NodeUpdate update[1] = {};
    const std::span<const Uuid> ids(some, kMaxBatchItems + 1);
    EXPECT_THROW(both.d.add_edges(ids, ids, std::span<const float>(weight, 1)), std::bad_alloc);
    EXPECT_THROW(both.d.delete_edges(ids, ids), std::bad_alloc);
    EXPECT_THROW(both.d.delete_nodes(ids), std::bad_alloc);
    EXPECT_THROW(both.d.add_nodes(ids, std::span<const NodeUpdate>(update, kMaxBatchItems + 1)), std::bad_alloc);
    EXPECT_THROW(both.d.add_nodes(ids, UpdateBatch(1)), std::bad_alloc);
    EXPECT_STATE(both, both.m);
}

// The shapes of the batches below: how many ids the sources and the
// targets come from, how long a batch is at most, and how often an edge's
// source is the previous edge's.
struct BatchShape {
    const char* name;
    std::uint8_t sources;
    std::uint8_t targets;
    std::size_t max_length;
    unsigned run_percent;
};
constexpr BatchShape kBatchShapes[] = {
    {"runs of one source", 9, 9, 40, 75},
    {"sources in any order", 9, 9, 40, 0},
    // Workload E in small: sources drawn at random, with repeats, each
    // gathering more targets than an array holds over the rounds.
    {"sources in any order, many targets", 24, 250, 300, 0},
};

TEST(GraphDiffBatch, BatchesGiveWhatOneCallPerItemGives) {
    // Round after round on one diff: a few single changes (deletions of
    // nodes and edges among them), then a batch of any kind, against the
    // model given one call per item. The same contents in the same order,
    // but for the deleted edges once delete_nodes has recorded some (see
    // DeleteNodesGivesTheContentsOfOneCallPerNode). delete_nodes often names
    // sources that the last add_edges added.
    for (const BatchShape& shape : kBatchShapes) {
        for (std::uint64_t seed = 1; seed <= 120; ++seed) {
            SCOPED_TRACE(::testing::Message() << shape.name << ", seed " << seed);
            std::mt19937_64 rng(seed);
            auto pick = [&](std::uint8_t pool) { return id(static_cast<std::uint8_t>(rng() % pool)); };
            Both both;
            bool deleted_edge_order_exact = true;
            std::vector<Uuid> last_sources{id(0)};
            for (int round = 0; round < 5; ++round) {
                for (int step = static_cast<int>(rng() % 8); step > 0; --step) {
                    const Uuid a = pick(shape.sources), b = pick(shape.targets);
                    switch (rng() % 5) {
                        case 0: both.delete_node(rng() % 2 ? a : b); break;
                        case 1: both.delete_edge(a, b); break;
                        case 2: both.add_node(a, labelled("n")); break;
                        default: both.add_edge(a, b, 0.5f);
                    }
                }
                const std::size_t n = rng() % shape.max_length;
                std::vector<Uuid> from(n), to(n);
                for (std::size_t i = 0; i < n; ++i) {
                    from[i] = (i > 0 && rng() % 100 < shape.run_percent) ? from[i - 1] : pick(shape.sources);
                    to[i] = pick(shape.targets);
                }
                switch (rng() % 4) {
                    case 0: {
                        std::vector<float> weights(rng() % 4 == 0 ? 1 : n);
                        for (float& w : weights) w = static_cast<float>(rng() % 100) / 4;
                        for (std::size_t i = 0; i < n; ++i) {
                            (void)both.m.add_edge(from[i].bytes, to[i].bytes, weights[weights.size() == 1 ? 0 : i]);
                        }
                        both.d.add_edges(from, to, weights);
                        if (n > 0) last_sources = from;
                        break;
                    }
                    case 1:
                        for (std::size_t i = 0; i < n; ++i) both.m.delete_edge(from[i].bytes, to[i].bytes);
                        both.d.delete_edges(from, to);
                        break;
                    case 2: {
                        std::vector<NodeUpdate> updates(n);
                        for (std::size_t i = 0; i < n; ++i) {
                            if (rng() % 2) updates[i].set<kLabel>(std::string(rng() % 9 ? 1 + rng() % 20 : 300, 'x'));
                            if (rng() % 3 == 0) updates[i].set<kUrl>(rng() % 2 ? "u" : std::string(255, 'u'));
                            if (rng() % 2) updates[i].set<kRed>(static_cast<std::uint8_t>(rng()));
                            if (rng() % 4 == 0) updates[i].set<kSize>(static_cast<float>(rng() % 8) / 2);
                            both.m.add_node(from[i].bytes, Attributes::of(updates[i]));
                        }
                        if (rng() % 2) {
                            both.d.add_nodes(from, updates);
                            break;
                        }
                        // As add_nodes' columns fill a batch: attribute after
                        // attribute, each in the order of the items.
                        UpdateBatch columns(n);
                        for_each_attribute([&](auto a) {
                            for (std::size_t i = 0; i < n; ++i) {
                                if (const auto value = updates[i].get<a>()) columns.set<a>(i, *value);
                            }
                        });
                        both.d.add_nodes(from, columns);
                        break;
                    }
                    default: {
                        std::vector<Uuid> ids(rng() % 8);
                        for (Uuid& u : ids) u = rng() % 3 ? last_sources[rng() % last_sources.size()] : pick(shape.targets);
                        for (const Uuid& u : ids) both.m.delete_node(u.bytes);
                        both.d.delete_nodes(ids);
                        deleted_edge_order_exact = deleted_edge_order_exact && ids.size() <= 1;
                    }
                }
                ASSERT_EQ(broken_invariant(both.d), "") << "round " << round;
                ASSERT_EQ(deleted_edge_order_exact ? differences(both.m, both.d)
                                                   : model::differences_but_deleted_edge_order(both.m, both.d),
                          "")
                    << "round " << round;
            }
        }
    }
}

}  // namespace
}  // namespace quorl::diff
