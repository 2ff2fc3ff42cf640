// The store when memory runs out: every allocation that a change makes (the
// tables' blocks, target arrays and indexed target tables, a batch's scratch,
// the arena of the node texts as it grows or is reclaimed into a new block,
// and the updates' own texts) is made to fail in turn, over random diffs and
// batches. A failed change must leave the diff as it was, to the byte:
// its collections in order, its byte string and its heap figure. A change
// that meets no failure must give what the loop of single calls gives.
//
// Built against a core compiled with the store's allocation seam
// (QUORL_STORE_ALLOCATION_FAULTS, src/diff/heap.hpp); the texts of the
// updates in flight come from operator new, which this file replaces so that
// the seam's counter sees them too.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "diff/graph_diff.hpp"
#include "diff/heap.hpp"
#include "diff/update_batch.hpp"
#include "encoding/encode.hpp"
#include "graph_diff_model.hpp"

// Out of line, so that the compiler does not meet malloc's blocks freed by a
// delete expression and warn of a mismatch.
[[gnu::noinline]] void* operator new(std::size_t n) {
    if (quorl::diff::heap::faults::next_fails()) throw std::bad_alloc();
    if (void* block = std::malloc(n ? n : 1)) return block;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* block) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace quorl::diff {
namespace {

using model::Attributes;
using model::GraphDiffModel;

// A pool of ids: the first few are sources with many targets, whose
// targets move into indexed tables.
Uuid pool_id(std::uint32_t n) {
    Uuid id;
    for (std::size_t b = 0; b < 16; ++b) id.bytes[b] = static_cast<std::uint8_t>(0x5b * b + 1);
    std::memcpy(id.bytes.data() + 4, &n, sizeof n);
    return id;
}

NodeUpdate random_update(std::mt19937_64& rng) {
    // The last text is too long for a one-byte length in the arena.
    static const std::string long_text(260, 'z');
    static const std::string_view texts[] = {"", "a", "a label long enough to count", "\xc3\xa9", long_text};
    NodeUpdate u;
    if (rng() % 2) u.set<kLabel>(texts[rng() % 5]);
    if (rng() % 3 == 0) u.set<kUrl>(texts[rng() % 5]);
    if (rng() % 2) u.set<kSize>(static_cast<float>(rng() % 8) / 2);
    if (rng() % 3 == 0) u.set<kRed>(static_cast<std::uint8_t>(rng()));
    return u;
}

// A diff made the same way every time from `seed`, mostly with something in
// every collection: pending updates with texts, deleted nodes, sources whose
// targets are inline, in an array or indexed, deleted edges.
GraphDiff history(std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    GraphDiff d;
    const std::uint32_t pool = 20 + static_cast<std::uint32_t>(rng() % 60);
    // Some diffs are empty: their tables have no storage yet.
    const int steps = rng() % 8 == 0 ? 0 : 50 + static_cast<int>(rng() % 300);
    for (int step = 0; step < steps; ++step) {
        const Uuid a = pool_id(static_cast<std::uint32_t>(rng() % pool));
        const Uuid b = pool_id(static_cast<std::uint32_t>(rng() % pool));
        const auto op = rng() % 10;
        if (op < 2) {
            d.add_node(a, random_update(rng));
        } else if (op < 3) {
            if (rng() % 4 == 0) d.delete_node(a);
        } else if (op < 8) {
            // A few sources get many targets.
            (void)d.add_edge(rng() % 3 == 0 ? pool_id(static_cast<std::uint32_t>(rng() % 3)) : a, b, 0.5f);
        } else {
            d.delete_edge(a, b);
        }
    }
    return d;
}

// One batch: its arguments, and the loop it stands for on the model.
struct Batch {
    const char* name;
    std::function<void(GraphDiff&)> run;
    std::function<void(GraphDiffModel&)> loop;
    bool exact_deleted_edge_order = true;
};

std::vector<Uuid> random_ids(std::mt19937_64& rng, std::size_t n, std::uint32_t pool) {
    std::vector<Uuid> ids(n);
    // Sources in any order, with repeats, a few of them new to the diff.
    for (Uuid& id : ids) id = pool_id(static_cast<std::uint32_t>(rng() % pool));
    return ids;
}

Batch make_batch(std::uint64_t seed) {
    std::mt19937_64 rng(seed * 7919 + 3);
    const std::uint32_t pool = 10 + static_cast<std::uint32_t>(rng() % 100);
    const std::size_t n = 2 + rng() % 50;
    auto from = std::make_shared<std::vector<Uuid>>(random_ids(rng, n, pool));
    auto to = std::make_shared<std::vector<Uuid>>(random_ids(rng, n, pool));
    switch (seed % 7) {
        case 0: {
            auto weights = std::make_shared<std::vector<float>>(rng() % 3 == 0 ? 1 : n);
            for (float& w : *weights) w = static_cast<float>(rng() % 64) / 8;
            return {"add_edges",
                    [=](GraphDiff& d) { d.add_edges(*from, *to, *weights); },
                    [=](GraphDiffModel& m) {
                        for (std::size_t i = 0; i < n; ++i) {
                            (void)m.add_edge(from->at(i).bytes, to->at(i).bytes,
                                             (*weights)[weights->size() == 1 ? 0 : i]);
                        }
                    }};
        }
        case 1:
            return {"delete_edges", [=](GraphDiff& d) { d.delete_edges(*from, *to); },
                    [=](GraphDiffModel& m) {
                        for (std::size_t i = 0; i < n; ++i) m.delete_edge(from->at(i).bytes, to->at(i).bytes);
                    }};
        case 2: {
            auto updates = std::make_shared<std::vector<NodeUpdate>>();
            for (std::size_t i = 0; i < n; ++i) updates->push_back(random_update(rng));
            return {"add_nodes",
                    [=](GraphDiff& d) {
                        std::vector<NodeUpdate> consumed = *updates;  // the batch moves from them
                        d.add_nodes(*from, consumed);
                    },
                    [=](GraphDiffModel& m) {
                        for (std::size_t i = 0; i < n; ++i) m.add_node(from->at(i).bytes, Attributes::of((*updates)[i]));
                    }};
        }
        case 3:
            return {"delete_nodes", [=](GraphDiff& d) { d.delete_nodes(*from); },
                    [=](GraphDiffModel& m) {
                        for (const Uuid& id : *from) m.delete_node(id.bytes);
                    },
                    false};
        case 4:
            return {"delete_node", [=](GraphDiff& d) { d.delete_node(from->front()); },
                    [=](GraphDiffModel& m) { m.delete_node(from->front().bytes); }};
        case 5: {
            // Every id a history may use, each given short texts: the records
            // of their pending updates die, which reclaims the arena within
            // the batch. The batch is filled as add_nodes' columns fill it,
            // attribute after attribute, so its own allocations fail too.
            auto ids = std::make_shared<std::vector<Uuid>>();
            auto updates = std::make_shared<std::vector<NodeUpdate>>(80);
            for (std::uint32_t k = 0; k < 80; ++k) {
                ids->push_back(pool_id(k));
                (*updates)[k].set<kLabel>(k % 3 ? "" : "s");
                if (k % 2) (*updates)[k].set<kUrl>("u");
            }
            return {"add_nodes relabelling every node",
                    [=](GraphDiff& d) {
                        UpdateBatch columns(ids->size());
                        for_each_attribute([&](auto a) {
                            for (std::size_t i = 0; i < updates->size(); ++i) {
                                if (const auto value = (*updates)[i].get<a>()) columns.set<a>(i, *value);
                            }
                        });
                        d.add_nodes(*ids, columns);
                    },
                    [=](GraphDiffModel& m) {
                        for (std::size_t i = 0; i < ids->size(); ++i) {
                            m.add_node(ids->at(i).bytes, Attributes::of((*updates)[i]));
                        }
                    }};
        }
        default: {
            // Merged into a pending update, the texts take a record of their
            // own, which may tip the arena into being reclaimed.
            auto update = std::make_shared<NodeUpdate>(random_update(rng));
            return {"add_node", [=](GraphDiff& d) { d.add_node(from->front(), *update); },
                    [=](GraphDiffModel& m) { m.add_node(from->front().bytes, Attributes::of(*update)); }};
        }
    }
}

std::vector<std::uint8_t> bytes_of(const GraphDiff& d) {
    auto bytes = encoding::encode_graph_diff(d);
    EXPECT_TRUE(bytes.ok());
    return bytes.ok() ? *bytes : std::vector<std::uint8_t>{};
}

TEST(AllocationFaults, EveryFailedAllocationOfAChangeLeavesTheDiffAsItWas) {
    std::size_t failures = 0;
    for (std::uint64_t seed = 1; seed <= 150; ++seed) {
        const Batch batch = make_batch(seed);
        SCOPED_TRACE(::testing::Message() << batch.name << ", seed " << seed);
        const GraphDiff before = history(seed);
        const GraphDiffModel before_model = model::model_of(before);
        const std::vector<std::uint8_t> before_bytes = bytes_of(before);
        GraphDiffModel want = before_model;
        batch.loop(want);
        for (long long n = 0;; ++n) {
            GraphDiff d = history(seed);
            bool failed = false;
            heap::faults::fail_after(n);
            try {
                batch.run(d);
            } catch (const std::bad_alloc&) {
                failed = true;
            }
            const long long made = heap::faults::fail_after(-1);
            if (failed) {
                ++failures;
                ASSERT_EQ(model::differences(before_model, d), "") << "failure " << n;
                ASSERT_EQ(model::broken_invariant(d), "") << "failure " << n;
                ASSERT_EQ(d.heap_bytes(), before.heap_bytes()) << "failure " << n;
                ASSERT_EQ(bytes_of(d), before_bytes) << "failure " << n;
            } else {
                // A failure the store gets over (a table that could not
                // shrink as it compacts) changes no contents either.
                ASSERT_EQ(model::broken_invariant(d), "") << "failure " << n;
                ASSERT_EQ(batch.exact_deleted_edge_order ? model::differences(want, d)
                                                         : model::differences_but_deleted_edge_order(want, d),
                          "")
                    << "failure " << n;
            }
            if (made <= n) break;  // the chosen allocation was never reached
            ASSERT_LT(n, 100000);
        }
    }
    // The batches above allocate; enough of them to have walked every path.
    EXPECT_GT(failures, 1000u);
}

}  // namespace
}  // namespace quorl::diff
