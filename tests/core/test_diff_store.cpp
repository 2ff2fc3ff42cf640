// The graph diff store: how node and edge changes combine with what the diff
// already holds, the merge of node updates, and the invariants the operations
// keep, checked against a literal reference model.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <string>

#include "diff/graph_diff.hpp"
#include "diff/node_update.hpp"
#include "diff/uuid.hpp"

namespace quorl::diff {
namespace {

// An identifier as an ordered key of the standard containers used as models.
struct Key {
    std::array<std::uint8_t, 16> b;
    Key(const std::array<std::uint8_t, 16>& bytes) : b(bytes) {}  // NOLINT: implicit on purpose
    auto operator<=>(const Key&) const = default;
};

// Identifiers used here differ only in their last byte.
Uuid id(std::uint8_t n) {
    Uuid u;
    const std::uint8_t prefix[15] = {0x3f, 0x2a, 0x91, 0x0c, 0x5e, 0x77, 0x41, 0xd2, 0x8b, 0x10, 0xaa, 0x4c, 0x09, 0xe3, 0x6f};
    std::copy(std::begin(prefix), std::end(prefix), u.bytes.begin());
    u.bytes[15] = n;
    return u;
}

// The diff's four collections as ordered standard containers, for comparing
// whole states.
struct Snapshot {
    std::map<Key, NodeUpdate> nodes;
    std::set<Key> deleted_nodes;
    std::map<Key, std::map<Key, float>> edges;
    std::map<Key, std::set<Key>> deleted_edges;
    bool operator==(const Snapshot&) const = default;
};

std::string key_text(const Key& k) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "#%u", static_cast<unsigned>(k.b[15]));
    return id(k.b[15]).bytes == k.b ? std::string(buf) : std::string("<other>");
}

void PrintTo(const Key& k, std::ostream* os) { *os << key_text(k); }

void PrintTo(const Snapshot& s, std::ostream* os) {
    *os << "{nodes:";
    for (const auto& [k, u] : s.nodes) *os << ' ' << key_text(k) << "(" << u.present_count() << " attrs)";
    *os << "; deleted_nodes:";
    for (const auto& k : s.deleted_nodes) *os << ' ' << key_text(k);
    *os << "; edges:";
    for (const auto& [f, ts] : s.edges) {
        *os << ' ' << key_text(f) << "->[";
        for (const auto& [t, w] : ts) *os << ' ' << key_text(t) << '=' << w;
        *os << " ]";
    }
    *os << "; deleted_edges:";
    for (const auto& [f, ts] : s.deleted_edges) {
        *os << ' ' << key_text(f) << "->[";
        for (const auto& t : ts) *os << ' ' << key_text(t);
        *os << " ]";
    }
    *os << '}';
}

template <class Table, class Sink>
void each_key_once(const Table& table, Sink sink) {
    std::set<Key> seen;
    for (const auto& slot : table) {
        if (!seen.insert(slot.key.bytes).second) ADD_FAILURE() << "a key is visited twice";
        sink(slot);
    }
    EXPECT_EQ(seen.size(), table.size());
}

Snapshot snapshot(const GraphDiff& d) {
    Snapshot s;
    each_key_once(d.new_or_updated_nodes(), [&](const auto& slot) { s.nodes.emplace(slot.key.bytes, slot.value); });
    each_key_once(d.deleted_nodes(), [&](const auto& slot) { s.deleted_nodes.insert(slot.key.bytes); });
    each_key_once(d.new_or_updated_edges(), [&](const auto& source) {
        auto& targets = s.edges[source.key.bytes];
        each_key_once(source.value, [&](const auto& t) { targets.emplace(t.key.bytes, t.value); });
    });
    each_key_once(d.deleted_edges(), [&](const auto& source) {
        auto& targets = s.deleted_edges[source.key.bytes];
        each_key_once(source.value, [&](const auto& t) { targets.insert(t.key.bytes); });
    });
    return s;
}

NodeUpdate labelled(std::string_view label) {
    NodeUpdate u;
    u.set_label(label);
    return u;
}

// ---------------------------------------------------------------------------
// Merge of node updates

NodeUpdate full_record() {
    NodeUpdate u;
    u.set_label("old label");
    u.set_url("https://example.org/old");
    u.set_size(4.0f);
    u.set_red(255);
    u.set_green(7);
    u.set_blue(9);
    u.set_show_label(true);
    return u;
}

TEST(NodeUpdateMerge, PresentFieldsReplaceAndAbsentFieldsKeep) {
    NodeUpdate stored;
    stored.set_label("old label");
    stored.set_url("https://example.org/old");
    stored.set_red(255);
    stored.set_green(7);
    stored.set_blue(9);
    stored.set_show_label(true);

    NodeUpdate newer;
    newer.set_label("");  // present and empty is a value, not an absence
    newer.set_size(2.5f);
    newer.set_red(0);
    newer.set_show_label(false);
    stored.merge(std::move(newer));

    EXPECT_EQ(stored.label(), std::optional<std::string_view>(""));
    EXPECT_EQ(stored.size(), std::optional<float>(2.5f));
    EXPECT_EQ(stored.url(), std::optional<std::string_view>("https://example.org/old"));
    EXPECT_EQ(stored.red(), std::optional<std::uint8_t>(0));
    EXPECT_EQ(stored.green(), std::optional<std::uint8_t>(7));
    EXPECT_EQ(stored.blue(), std::optional<std::uint8_t>(9));
    EXPECT_EQ(stored.show_label(), std::optional<bool>(false));
}

TEST(NodeUpdateMerge, EmptyUpdateChangesNothing) {
    NodeUpdate stored = full_record();
    stored.merge(NodeUpdate{});
    EXPECT_EQ(stored, full_record());

    NodeUpdate empty;
    empty.merge(NodeUpdate{});
    EXPECT_EQ(empty.present_count(), 0);
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
            stored.set_blue(1);
            if (old_texts.label) stored.set_label(*old_texts.label);
            if (old_texts.url) stored.set_url(*old_texts.url);
            NodeUpdate newer;
            if (new_texts.label) newer.set_label("new " + *new_texts.label);
            if (new_texts.url) newer.set_url("new " + *new_texts.url);
            stored.merge(std::move(newer));

            std::optional<std::string> want_label =
                new_texts.label ? "new " + *new_texts.label : old_texts.label;
            std::optional<std::string> want_url = new_texts.url ? "new " + *new_texts.url : old_texts.url;
            SCOPED_TRACE(::testing::Message() << "stored " << old_texts.label.value_or("<none>") << "/"
                                              << old_texts.url.value_or("<none>") << ", newer "
                                              << new_texts.label.value_or("<none>") << "/"
                                              << new_texts.url.value_or("<none>"));
            EXPECT_EQ(stored.label(), want_label ? std::optional<std::string_view>(*want_label) : std::nullopt);
            EXPECT_EQ(stored.url(), want_url ? std::optional<std::string_view>(*want_url) : std::nullopt);
            EXPECT_EQ(stored.blue(), std::optional<std::uint8_t>(1));
            EXPECT_EQ(stored.present_count(), 1 + (want_label ? 1 : 0) + (want_url ? 1 : 0));
        }
    }
}

// ---------------------------------------------------------------------------
// Nodes

TEST(GraphDiffNodes, FreshDiffIsEmpty) {
    GraphDiff d;
    EXPECT_EQ(d.num_nodes(), 0u);
    EXPECT_EQ(d.num_edges(), 0u);
    EXPECT_EQ(snapshot(d), Snapshot{});
}

TEST(GraphDiffNodes, SecondAddMergesIntoPendingUpdate) {
    GraphDiff d;
    NodeUpdate first = labelled("alpha");
    first.set_size(1.0f);
    d.add_node(id(1), std::move(first));
    NodeUpdate second;
    second.set_red(3);
    d.add_node(id(1), std::move(second));

    EXPECT_EQ(d.num_nodes(), 1u);
    const NodeUpdate* stored = d.new_or_updated_nodes().find(id(1));
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->label(), std::optional<std::string_view>("alpha"));
    EXPECT_EQ(stored->size(), std::optional<float>(1.0f));
    EXPECT_EQ(stored->red(), std::optional<std::uint8_t>(3));
    EXPECT_EQ(stored->present_count(), 3);

    // An update without attributes leaves the pending record as it is.
    const NodeUpdate before = *stored;
    d.add_node(id(1), NodeUpdate{});
    EXPECT_EQ(*d.new_or_updated_nodes().find(id(1)), before);
    EXPECT_EQ(d.num_nodes(), 1u);
}

TEST(GraphDiffNodes, AddAfterDeleteStartsFromTheNewUpdateAndKeepsEdgeChanges) {
    GraphDiff d;
    NodeUpdate old = labelled("old");
    old.set_red(1);
    d.add_node(id(9), std::move(old));
    ASSERT_TRUE(d.add_edge(id(1), id(9), 0.5f));
    ASSERT_TRUE(d.add_edge(id(9), id(2), 0.5f));
    d.delete_node(id(9));
    const Snapshot after_delete = snapshot(d);

    NodeUpdate fresh;
    fresh.set_size(3.0f);
    d.add_node(id(9), fresh);

    Snapshot want = after_delete;
    want.deleted_nodes.clear();
    want.nodes.clear();
    want.nodes.emplace(id(9).bytes, fresh);  // nothing of the discarded record survives
    EXPECT_EQ(snapshot(d), want);
    EXPECT_EQ(want.deleted_edges, (std::map<Key, std::set<Key>>{{id(1).bytes, {id(9).bytes}}}));
    EXPECT_EQ(d.num_nodes(), 1u);

    // An empty update on a node marked for deletion still unmarks it.
    d.delete_node(id(4));
    d.add_node(id(4), NodeUpdate{});
    EXPECT_FALSE(d.deleted_nodes().contains(id(4)));
    ASSERT_NE(d.new_or_updated_nodes().find(id(4)), nullptr);
    EXPECT_EQ(d.new_or_updated_nodes().find(id(4))->present_count(), 0);
}

TEST(GraphDiffNodes, DeleteDiscardsPendingUpdate) {
    GraphDiff d;
    d.add_node(id(1), labelled("x"));
    d.add_node(id(2), labelled("y"));
    d.delete_node(id(1));
    d.delete_node(id(1));  // repeated: no further effect
    d.delete_node(id(3));  // unknown node: simply marked

    Snapshot want;
    want.nodes.emplace(id(2).bytes, labelled("y"));
    want.deleted_nodes = {id(1).bytes, id(3).bytes};
    EXPECT_EQ(snapshot(d), want);
    EXPECT_EQ(d.num_nodes(), 3u);
    EXPECT_EQ(d.num_edges(), 0u);
}

TEST(GraphDiffNodes, DeleteTurnsInEdgesIntoDeletedEdgesAndDropsOutEdges) {
    const Uuid a = id(1), x = id(2), b = id(3);
    GraphDiff d;
    ASSERT_TRUE(d.add_edge(a, x, 1.0f));
    ASSERT_TRUE(d.add_edge(x, b, 2.0f));
    d.delete_node(x);

    Snapshot want;
    want.deleted_nodes = {x.bytes};
    want.edges[a.bytes];  // the source stays, with no targets left
    want.deleted_edges[a.bytes] = {x.bytes};
    EXPECT_EQ(snapshot(d), want);
    EXPECT_EQ(d.num_edges(), 2u);  // a counts once in each edge collection
}

TEST(GraphDiffNodes, DeleteVisitsEverySource) {
    GraphDiff d;
    const Uuid x = id(200);
    Snapshot want;
    for (std::uint8_t s = 0; s < 60; ++s) {
        ASSERT_TRUE(d.add_edge(id(s), id(201), 1.0f));
        want.edges[id(s).bytes][id(201).bytes] = 1.0f;
        if (s % 3 != 0) {
            ASSERT_TRUE(d.add_edge(id(s), x, 2.0f));
            want.deleted_edges[id(s).bytes] = {x.bytes};
        }
    }
    d.delete_node(x);
    want.deleted_nodes = {x.bytes};
    EXPECT_EQ(snapshot(d), want);
}

TEST(GraphDiffNodes, SelfLoopVanishesAndEarlierEdgeDeletionsStay) {
    const Uuid x = id(1), a = id(2), b = id(3);
    GraphDiff d;
    d.delete_edge(x, b);
    d.delete_edge(a, x);
    ASSERT_TRUE(d.add_edge(x, x, 1.0f));
    ASSERT_TRUE(d.add_edge(x, a, 1.0f));
    d.delete_node(x);

    Snapshot want;
    want.deleted_nodes = {x.bytes};
    want.deleted_edges[x.bytes] = {b.bytes};
    want.deleted_edges[a.bytes] = {x.bytes};
    EXPECT_EQ(snapshot(d), want);
}

// ---------------------------------------------------------------------------
// Edges

TEST(GraphDiffEdges, RefusedWhenAnEndpointIsMarkedForDeletion) {
    const Uuid a = id(1), b = id(2), c = id(3);
    for (int which = 0; which < 3; ++which) {
        SCOPED_TRACE(which == 0 ? "deleted source" : which == 1 ? "deleted target" : "both deleted");
        GraphDiff d;
        d.add_node(c, labelled("c"));
        ASSERT_TRUE(d.add_edge(c, id(9), 1.0f));
        // A deleted edge under the source with the same target: a refusal must
        // not get as far as cancelling it.
        d.delete_edge(a, b);
        if (which != 1) d.delete_node(a);
        if (which != 0) d.delete_node(b);
        const Snapshot before = snapshot(d);

        auto result = d.add_edge(a, b, 5.0f);
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().message, "Either from or to nodes are marked to be deleted");
        EXPECT_EQ(snapshot(d), before);
    }
}

TEST(GraphDiffEdges, LaterWeightReplacesEarlier) {
    GraphDiff d;
    ASSERT_TRUE(d.add_edge(id(1), id(2), 1.0f));
    ASSERT_TRUE(d.add_edge(id(1), id(2), 2.0f));
    ASSERT_TRUE(d.add_edge(id(2), id(1), 3.0f));  // the reverse edge is another edge
    Snapshot want;
    want.edges[id(1).bytes][id(2).bytes] = 2.0f;
    want.edges[id(2).bytes][id(1).bytes] = 3.0f;
    EXPECT_EQ(snapshot(d), want);
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
    GraphDiff d;
    d.delete_edge(a, b);
    d.delete_edge(a, c);
    ASSERT_TRUE(d.add_edge(a, b, 0.25f));
    EXPECT_EQ(snapshot(d).deleted_edges, (std::map<Key, std::set<Key>>{{a.bytes, {c.bytes}}}));
    ASSERT_TRUE(d.add_edge(a, id(9), 1.0f));  // not deleted: the set is untouched
    ASSERT_TRUE(d.add_edge(a, c, 0.5f));      // the last target goes, and the source with it

    Snapshot want;
    want.edges[a.bytes] = {{b.bytes, 0.25f}, {id(9).bytes, 1.0f}, {c.bytes, 0.5f}};
    EXPECT_EQ(snapshot(d), want);
    EXPECT_EQ(d.num_edges(), 1u);
}

TEST(GraphDiffEdges, DeleteCancelsPendingEdgeAndIsRecorded) {
    const Uuid a = id(1), b = id(2), c = id(3);
    GraphDiff d;
    ASSERT_TRUE(d.add_edge(a, b, 1.0f));
    ASSERT_TRUE(d.add_edge(a, c, 1.0f));
    d.delete_edge(a, b);
    Snapshot want;
    want.edges[a.bytes][c.bytes] = 1.0f;
    want.deleted_edges[a.bytes] = {b.bytes};
    EXPECT_EQ(snapshot(d), want);

    d.delete_edge(a, c);
    want.edges.clear();
    want.deleted_edges[a.bytes] = {b.bytes, c.bytes};
    EXPECT_EQ(snapshot(d), want);
}

TEST(GraphDiffEdges, DeleteOfUnknownEdgeIsRecordedEvenForDeletedNodes) {
    GraphDiff d;
    d.delete_edge(id(1), id(2));
    d.delete_edge(id(1), id(2));
    d.delete_node(id(4));
    d.delete_edge(id(3), id(4));  // deletion of an edge to a deleted node is not checked
    Snapshot want;
    want.deleted_nodes = {id(4).bytes};
    want.deleted_edges[id(1).bytes] = {id(2).bytes};
    want.deleted_edges[id(3).bytes] = {id(4).bytes};
    EXPECT_EQ(snapshot(d), want);
}

TEST(GraphDiffEdges, SourceLeftEmptyByNodeDeletion) {
    const Uuid a = id(1), x = id(2), z = id(3), y = id(4);
    {
        // delete_edge from that source removes the empty entry.
        GraphDiff d;
        ASSERT_TRUE(d.add_edge(a, x, 1.0f));
        d.delete_node(x);
        d.delete_edge(a, z);
        EXPECT_FALSE(d.new_or_updated_edges().contains(a));
        EXPECT_EQ(snapshot(d).deleted_edges, (std::map<Key, std::set<Key>>{{a.bytes, {x.bytes, z.bytes}}}));
    }
    {
        // add_edge from that source fills it again.
        GraphDiff d;
        ASSERT_TRUE(d.add_edge(a, x, 1.0f));
        d.delete_node(x);
        ASSERT_TRUE(d.add_edge(a, y, 2.0f));
        Snapshot want;
        want.deleted_nodes = {x.bytes};
        want.edges[a.bytes][y.bytes] = 2.0f;
        want.deleted_edges[a.bytes] = {x.bytes};
        EXPECT_EQ(snapshot(d), want);
    }
    {
        // delete_node of the source removes it.
        GraphDiff d;
        ASSERT_TRUE(d.add_edge(a, x, 1.0f));
        d.delete_node(x);
        d.delete_node(a);
        EXPECT_TRUE(d.new_or_updated_edges().empty());
        EXPECT_EQ(d.num_edges(), 1u);
    }
}

TEST(GraphDiffEdges, BuiltFromPartsHoldsThemAsGiven) {
    // Parts as a reader might deliver them: no combination rules are applied,
    // and an empty target set under a source is kept.
    NodeMap nodes;
    nodes.insert_or_assign(id(1), labelled("one"));
    NodeSet deleted_nodes;
    deleted_nodes.try_emplace(id(1));
    EdgeMap edges;
    edges.try_emplace(id(2)).value.insert_or_assign(id(3), 7.0f);
    DeletedEdgeMap deleted_edges;
    deleted_edges.try_emplace(id(2)).value.try_emplace(id(3));
    deleted_edges.try_emplace(id(5));
    GraphDiff d(std::move(nodes), std::move(deleted_nodes), std::move(edges), std::move(deleted_edges));

    Snapshot want;
    want.nodes.emplace(id(1).bytes, labelled("one"));
    want.deleted_nodes = {id(1).bytes};
    want.edges[id(2).bytes][id(3).bytes] = 7.0f;
    want.deleted_edges[id(2).bytes] = {id(3).bytes};
    want.deleted_edges[id(5).bytes];
    EXPECT_EQ(snapshot(d), want);
    EXPECT_EQ(d.num_nodes(), 2u);
    EXPECT_EQ(d.num_edges(), 3u);

    // The emptiness test of add_edge runs even when the target was not there.
    ASSERT_TRUE(d.add_edge(id(5), id(6), 1.0f));
    EXPECT_FALSE(d.deleted_edges().contains(id(5)));
}

// The operations copy their identifiers before changing anything, so a key
// taken from the diff's own collections is a valid argument.
TEST(GraphDiffEdges, ArgumentsMayReferToTheDiffsOwnKeys) {
    GraphDiff d;
    std::set<Key> all;
    for (std::uint8_t n = 0; n < 40; ++n) {
        d.add_node(id(n), NodeUpdate{});
        ASSERT_TRUE(d.add_edge(id(n), id(static_cast<std::uint8_t>(n + 100)), 1.0f));
        d.delete_edge(id(static_cast<std::uint8_t>(n + 150)), id(n));
        all.insert(id(n).bytes);
    }
    for (int guard = 0; guard < 40 && !d.new_or_updated_nodes().empty(); ++guard) {
        d.delete_node(d.new_or_updated_nodes().begin()->key);
    }
    EXPECT_TRUE(d.new_or_updated_nodes().empty());
    EXPECT_EQ(snapshot(d).deleted_nodes, all);
    EXPECT_TRUE(d.new_or_updated_edges().empty());

    // Each source of deleted_edges holds one target; adding that edge empties
    // the set and removes the very entry both arguments refer to.
    GraphDiff e;
    std::map<Key, std::map<Key, float>> want;
    for (std::uint8_t n = 0; n < 40; ++n) {
        e.delete_edge(id(static_cast<std::uint8_t>(n + 100)), id(static_cast<std::uint8_t>(n + 50)));
        want[id(static_cast<std::uint8_t>(n + 100)).bytes][id(static_cast<std::uint8_t>(n + 50)).bytes] = 1.0f;
    }
    for (int guard = 0; guard < 40 && !e.deleted_edges().empty(); ++guard) {
        const auto& first = *e.deleted_edges().begin();
        ASSERT_TRUE(e.add_edge(first.key, first.value.begin()->key, 1.0f));
    }
    EXPECT_TRUE(e.deleted_edges().empty());
    EXPECT_EQ(snapshot(e).edges, want);
}

// ---------------------------------------------------------------------------
// Clearing

void fill(GraphDiff& d) {
    for (std::uint8_t n = 0; n < 50; ++n) {
        NodeUpdate u = labelled("node");
        u.set_url("https://example.org/");
        d.add_node(id(n), std::move(u));
        ASSERT_TRUE(d.add_edge(id(n), id(static_cast<std::uint8_t>(n + 1)), 0.5f));
        ASSERT_TRUE(d.add_edge(id(n), id(static_cast<std::uint8_t>(n + 2)), 0.5f));
        d.delete_edge(id(static_cast<std::uint8_t>(n + 60)), id(n));
    }
    for (std::uint8_t n = 120; n < 150; ++n) d.delete_node(id(n));
}

TEST(GraphDiffClear, EmptiesEverythingKeepsStorageAndIsReusable) {
    GraphDiff d;
    fill(d);
    const Snapshot filled = snapshot(d);
    const std::size_t caps[] = {d.new_or_updated_nodes().capacity(), d.deleted_nodes().capacity(),
                                d.new_or_updated_edges().capacity(), d.deleted_edges().capacity()};

    d.clear();
    EXPECT_EQ(snapshot(d), Snapshot{});
    EXPECT_EQ(d.num_nodes(), 0u);
    EXPECT_EQ(d.num_edges(), 0u);
    EXPECT_EQ(d.new_or_updated_nodes().capacity(), caps[0]);
    EXPECT_EQ(d.deleted_nodes().capacity(), caps[1]);
    EXPECT_EQ(d.new_or_updated_edges().capacity(), caps[2]);
    EXPECT_EQ(d.deleted_edges().capacity(), caps[3]);

    // A node deleted before the clear is no longer marked.
    ASSERT_TRUE(d.add_edge(id(120), id(121), 1.0f));
    d.clear();
    fill(d);
    EXPECT_EQ(snapshot(d), filled);
    EXPECT_EQ(d.new_or_updated_nodes().capacity(), caps[0]);
    EXPECT_EQ(d.new_or_updated_edges().capacity(), caps[2]);
}

// ---------------------------------------------------------------------------
// Invariants and a literal reference model

struct ModelUpdate {
    std::optional<std::string> label, url;
    std::optional<float> size;
    std::optional<std::uint8_t> red, green, blue;
    std::optional<bool> show_label;

    NodeUpdate record() const {
        NodeUpdate u;
        if (label) u.set_label(*label);
        if (size) u.set_size(*size);
        if (url) u.set_url(*url);
        if (red) u.set_red(*red);
        if (green) u.set_green(*green);
        if (blue) u.set_blue(*blue);
        if (show_label) u.set_show_label(*show_label);
        return u;
    }
};

// The combination rules written out one by one over ordered containers.
struct Model {
    std::map<Key, ModelUpdate> nodes;
    std::set<Key> deleted_nodes;
    std::map<Key, std::map<Key, float>> edges;
    std::map<Key, std::set<Key>> deleted_edges;

    void add_node(const Key& k, const ModelUpdate& u) {
        auto it = nodes.find(k);
        if (it == nodes.end()) {
            nodes[k] = u;
        } else {
            ModelUpdate& s = it->second;
            if (u.label) s.label = u.label;
            if (u.size) s.size = u.size;
            if (u.url) s.url = u.url;
            if (u.red) s.red = u.red;
            if (u.green) s.green = u.green;
            if (u.blue) s.blue = u.blue;
            if (u.show_label) s.show_label = u.show_label;
        }
        deleted_nodes.erase(k);
    }
    void delete_node(const Key& k) {
        nodes.erase(k);
        edges.erase(k);
        for (auto& [from, targets] : edges) {
            if (targets.count(k)) {
                deleted_edges[from].insert(k);
                targets.erase(k);
            }
        }
        deleted_nodes.insert(k);
    }
    bool add_edge(const Key& from, const Key& to, float w) {
        if (deleted_nodes.count(from) || deleted_nodes.count(to)) return false;
        auto it = deleted_edges.find(from);
        if (it != deleted_edges.end()) {
            it->second.erase(to);
            if (it->second.empty()) deleted_edges.erase(it);
        }
        edges[from][to] = w;
        return true;
    }
    void delete_edge(const Key& from, const Key& to) {
        deleted_edges[from].insert(to);
        auto it = edges.find(from);
        if (it != edges.end()) {
            it->second.erase(to);
            if (it->second.empty()) edges.erase(it);
        }
    }
    void clear() { *this = Model{}; }

    Snapshot snapshot() const {
        Snapshot s;
        for (const auto& [k, u] : nodes) s.nodes.emplace(k, u.record());
        s.deleted_nodes = deleted_nodes;
        s.edges = edges;
        s.deleted_edges = deleted_edges;
        return s;
    }
};

void expect_invariants(const GraphDiff& d) {
    for (const auto& node : d.new_or_updated_nodes()) {
        ASSERT_FALSE(d.deleted_nodes().contains(node.key)) << "node both pending and deleted";
    }
    for (const auto& source : d.new_or_updated_edges()) {
        const TargetSet* deleted = d.deleted_edges().find(source.key);
        for (const auto& target : source.value) {
            ASSERT_FALSE(deleted && deleted->contains(target.key)) << "edge both pending and deleted";
            ASSERT_FALSE(d.deleted_nodes().contains(source.key)) << "pending edge from a deleted node";
            ASSERT_FALSE(d.deleted_nodes().contains(target.key)) << "pending edge to a deleted node";
        }
    }
    for (const auto& source : d.deleted_edges()) {
        ASSERT_FALSE(source.value.empty()) << "empty set of deleted targets";
    }
}

TEST(GraphDiffModel, RandomOperationsKeepInvariantsAndFollowTheRules) {
    const char* texts[] = {"", "a", "label", "\xc3\xa9t\xc3\xa9"};
    for (std::uint64_t seed : {1u, 2u, 3u, 4u}) {
        SCOPED_TRACE(::testing::Message() << "seed " << seed);
        std::mt19937_64 rng(seed);
        auto pick_id = [&] { return id(static_cast<std::uint8_t>(rng() % 7)); };
        auto maybe = [&] { return rng() % 3 == 0; };
        GraphDiff d;
        Model m;
        for (int step = 0; step < 5000; ++step) {
            const auto op = rng() % 1000;
            if (op < 200) {
                ModelUpdate u;
                if (maybe()) u.label = texts[rng() % 4];
                if (maybe()) u.size = static_cast<float>(rng() % 10) / 4.0f;
                if (maybe()) u.url = texts[rng() % 4];
                if (maybe()) u.red = static_cast<std::uint8_t>(rng());
                if (maybe()) u.green = static_cast<std::uint8_t>(rng());
                if (maybe()) u.blue = static_cast<std::uint8_t>(rng());
                if (maybe()) u.show_label = rng() % 2 == 0;
                const Uuid k = pick_id();
                d.add_node(k, u.record());
                m.add_node(k.bytes, u);
            } else if (op < 320) {
                const Uuid k = pick_id();
                d.delete_node(k);
                m.delete_node(k.bytes);
            } else if (op < 700) {
                const Uuid from = pick_id(), to = pick_id();
                const float w = static_cast<float>(rng() % 100) / 8.0f;
                auto result = d.add_edge(from, to, w);
                ASSERT_EQ(result.ok(), m.add_edge(from.bytes, to.bytes, w)) << "step " << step;
            } else if (op < 997) {
                const Uuid from = pick_id(), to = pick_id();
                d.delete_edge(from, to);
                m.delete_edge(from.bytes, to.bytes);
            } else {
                d.clear();
                m.clear();
            }
            expect_invariants(d);
            ASSERT_FALSE(::testing::Test::HasFatalFailure()) << "step " << step;
            ASSERT_EQ(snapshot(d), m.snapshot()) << "step " << step;
            ASSERT_EQ(d.num_nodes(), m.nodes.size() + m.deleted_nodes.size());
            ASSERT_EQ(d.num_edges(), m.edges.size() + m.deleted_edges.size());
        }
    }
}

}  // namespace
}  // namespace quorl::diff
