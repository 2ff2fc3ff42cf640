// Microbenchmarks of the interpreter-free core: the diff store operations,
// the byte string writer and reader, node record texts and float text.
//
// Identifiers are pseudo-random 16-byte values from a fixed seed, so every
// run works on the same keys and the tables lay out identically.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "diff/graph_diff.hpp"
#include "encoding/decode.hpp"
#include "encoding/encode.hpp"
#include "encoding/float_text.hpp"
#include "encoding/node_record.hpp"
#include "node_record_text.hpp"

namespace {

using quorl::diff::GraphDiff;
using quorl::diff::NodeUpdate;
using quorl::diff::Uuid;

std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

std::vector<Uuid> make_ids(std::size_t n, std::uint64_t seed) {
    std::vector<Uuid> ids(n);
    std::uint64_t state = seed;
    for (Uuid& id : ids) {
        const std::uint64_t words[2] = {splitmix64(state), splitmix64(state)};
        std::memcpy(id.bytes.data(), words, 16);
    }
    return ids;
}

// The update the Python benchmark passes: three scalar attributes.
NodeUpdate three_attributes(std::size_t i) {
    NodeUpdate u;
    u.set<quorl::diff::kSize>(1.5f + static_cast<float>(i % 7));
    u.set<quorl::diff::kRed>(static_cast<std::uint8_t>(i));
    u.set<quorl::diff::kShowLabel>(i % 2 == 0);
    return u;
}

NodeUpdate with_texts(std::size_t i) {
    NodeUpdate u = three_attributes(i);
    u.set_texts({"node label " + std::to_string(i), "https://example.org/nodes/" + std::to_string(i)});
    u.set<quorl::diff::kGreen>(200);
    u.set<quorl::diff::kBlue>(17);
    return u;
}

// 10 edges per source, like the Python bulk diff.
constexpr std::size_t kTargetsPerSource = 10;

// `count` edges: edge e goes from source e / 10 to one of as many targets as
// there are sources.
struct Edges {
    explicit Edges(std::size_t n)
        : count(n), sources(make_ids(n / kTargetsPerSource, 1)), targets(make_ids(n / kTargetsPerSource, 2)) {}
    const Uuid& from(std::size_t e) const { return sources[e / kTargetsPerSource]; }
    const Uuid& to(std::size_t e) const { return targets[(e / kTargetsPerSource * 7 + e) % targets.size()]; }
    // add_edge of every edge, edge e weighing e / 4.
    void add_to(GraphDiff& d) const {
        for (std::size_t e = 0; e < count; ++e) (void)d.add_edge(from(e), to(e), static_cast<float>(e) * 0.25f);
    }

    std::size_t count;
    std::vector<Uuid> sources;
    std::vector<Uuid> targets;
};

// The bulk diff of the Python benchmark, scaled by `edges`: edges / 10
// sources with 10 targets each, plus edges / 2 node updates.
GraphDiff make_bulk(std::size_t edges, bool texts) {
    const auto nodes = make_ids(edges / 2, 3);
    GraphDiff d;
    Edges(edges).add_to(d);
    for (std::size_t i = 0; i < nodes.size(); ++i) d.add_node(nodes[i], texts ? with_texts(i) : three_attributes(i));
    return d;
}

// add_node of N distinct nodes into a fresh diff (growth included).
void BM_AddNode(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const auto ids = make_ids(n, 10);
    for (auto _ : state) {
        GraphDiff d;
        for (std::size_t i = 0; i < n; ++i) d.add_node(ids[i], three_attributes(i));
        benchmark::DoNotOptimize(d);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
}
BENCHMARK(BM_AddNode)->Arg(1000)->Arg(100000);

// add_node on nodes already pending: the merge path, no growth.
void BM_AddNodeMerge(benchmark::State& state) {
    const std::size_t n = 100000;
    const auto ids = make_ids(n, 10);
    GraphDiff d;
    for (std::size_t i = 0; i < n; ++i) d.add_node(ids[i], three_attributes(i));
    std::size_t i = 0;
    for (auto _ : state) {
        d.add_node(ids[i], three_attributes(i));
        if (++i == n) i = 0;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_AddNodeMerge);

// add_edge of N edges (10 per source) into a fresh diff.
void BM_AddEdge(benchmark::State& state) {
    const Edges edges(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        GraphDiff d;
        edges.add_to(d);
        benchmark::DoNotOptimize(d);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * edges.count));
}
BENCHMARK(BM_AddEdge)->Arg(1000)->Arg(200000);

// add_edge replacing the weight of a pending edge.
void BM_AddEdgeReplace(benchmark::State& state) {
    const Edges edges(200000);
    GraphDiff d;
    edges.add_to(d);
    std::size_t e = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(d.add_edge(edges.from(e), edges.to(e), 2.0f).ok());
        if (++e == edges.count) e = 0;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_AddEdgeReplace);

// delete_edge of every pending edge of a diff of N edges (the fill is not
// timed).
void BM_DeleteEdgePending(benchmark::State& state) {
    const Edges edges(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        GraphDiff d;
        edges.add_to(d);
        state.ResumeTiming();
        for (std::size_t e = 0; e < edges.count; ++e) d.delete_edge(edges.from(e), edges.to(e));
        benchmark::DoNotOptimize(d);
        state.PauseTiming();
        d = GraphDiff();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * edges.count));
}
BENCHMARK(BM_DeleteEdgePending)->Arg(200000)->Unit(benchmark::kMillisecond);

// delete_edge of N edges the diff never saw: recorded as deleted edges.
void BM_DeleteEdgeUnseen(benchmark::State& state) {
    const Edges edges(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        GraphDiff d;
        for (std::size_t e = 0; e < edges.count; ++e) d.delete_edge(edges.from(e), edges.to(e));
        benchmark::DoNotOptimize(d);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * edges.count));
}
BENCHMARK(BM_DeleteEdgeUnseen)->Arg(200000)->Unit(benchmark::kMillisecond);

// add_edges of 200,000 edges over 20,000 sources into a fresh diff, the
// sources in runs (10 edges each) or in random order (workload E: each
// edge's source drawn at random, every target new); and delete_edges of the
// random-order batch, the edges unseen.
void BM_AddEdgesBatch(benchmark::State& state) {
    const std::size_t n = 200000;
    const bool any_order = state.range(0) != 0;
    const auto sources = make_ids(n / kTargetsPerSource, 1);
    const auto targets = make_ids(n, 2);
    std::vector<Uuid> from(n);
    std::uint64_t pick = 5;
    for (std::size_t e = 0; e < n; ++e) {
        from[e] = any_order ? sources[splitmix64(pick) % sources.size()] : sources[e / kTargetsPerSource];
    }
    const std::vector<float> weights(n, 0.5f);
    for (auto _ : state) {
        GraphDiff d;
        d.add_edges(from, targets, weights);
        benchmark::DoNotOptimize(d);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
}
BENCHMARK(BM_AddEdgesBatch)->ArgName("any_order")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_DeleteEdgesBatch(benchmark::State& state) {
    const std::size_t n = 200000;
    const auto sources = make_ids(n / kTargetsPerSource, 1);
    const auto targets = make_ids(n, 2);
    std::vector<Uuid> from(n);
    std::uint64_t pick = 5;
    for (Uuid& id : from) id = sources[splitmix64(pick) % sources.size()];
    for (auto _ : state) {
        GraphDiff d;
        d.delete_edges(from, targets);
        benchmark::DoNotOptimize(d);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
}
BENCHMARK(BM_DeleteEdgesBatch)->Unit(benchmark::kMillisecond);

// delete_node visits every source entry of the pending edges. The diff has
// `sources` sources with one edge each; the deleted node is none of their
// targets, and it is taken from a rotating set of 1024 ids, so the diff
// does not change from one iteration to the next once the set is deleted.
void BM_DeleteNode(benchmark::State& state) {
    const std::size_t sources_n = static_cast<std::size_t>(state.range(0));
    const auto sources = make_ids(sources_n, 1);
    const auto targets = make_ids(sources_n, 2);
    const auto victims = make_ids(1024, 4);
    GraphDiff d;
    for (std::size_t s = 0; s < sources_n; ++s) (void)d.add_edge(sources[s], targets[s], 1.0f);
    std::size_t i = 0;
    for (auto _ : state) {
        d.delete_node(victims[i]);
        i = (i + 1) & 1023;
    }
    state.SetComplexityN(state.range(0));
    state.counters["ns_per_source"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * static_cast<double>(sources_n),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::kIs1000);
}
BENCHMARK(BM_DeleteNode)->RangeMultiplier(10)->Range(1000, 100000)->Complexity(benchmark::oN);

// clear, then refill with the same edges and nodes: storage is kept, so
// the refill does not grow the tables.
void BM_ClearRefill(benchmark::State& state) {
    const Edges edges(200000);
    const auto nodes = make_ids(edges.count / 2, 3);
    GraphDiff d;
    edges.add_to(d);
    for (auto _ : state) {
        d.clear();
        edges.add_to(d);
        for (std::size_t i = 0; i < nodes.size(); ++i) d.add_node(nodes[i], three_attributes(i));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * (edges.count + nodes.size())));
}
BENCHMARK(BM_ClearRefill)->Unit(benchmark::kMillisecond);

// The same work into a fresh diff each time, for comparison with the refill.
void BM_FreshFill(benchmark::State& state) {
    const Edges edges(200000);
    const auto nodes = make_ids(edges.count / 2, 3);
    for (auto _ : state) {
        GraphDiff d;
        edges.add_to(d);
        for (std::size_t i = 0; i < nodes.size(); ++i) d.add_node(nodes[i], three_attributes(i));
        benchmark::DoNotOptimize(d);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * (edges.count + nodes.size())));
}
BENCHMARK(BM_FreshFill)->Unit(benchmark::kMillisecond);

// encode_graph_diff of the bulk diff (200,000 edges over 20,000 sources and
// 100,000 node updates), with and without texts in the node records.
void BM_Encode(benchmark::State& state) {
    const GraphDiff d = make_bulk(200000, state.range(0) != 0);
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto out = quorl::encoding::encode_graph_diff(d);
        if (!out) {
            state.SkipWithError("encoding failed");
            return;
        }
        bytes = out->size();
        benchmark::DoNotOptimize(out->data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_Encode)->ArgName("texts")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_Decode(benchmark::State& state) {
    const GraphDiff d = make_bulk(200000, state.range(0) != 0);
    auto encoded = quorl::encoding::encode_graph_diff(d);
    if (!encoded) {
        state.SkipWithError("encoding failed");
        return;
    }
    const std::vector<std::uint8_t>& bytes = *encoded;
    for (auto _ : state) {
        auto back = quorl::encoding::decode_graph_diff(bytes.data(), bytes.size());
        if (!back) {
            state.SkipWithError("decoding failed");
            return;
        }
        benchmark::DoNotOptimize(back->num_nodes());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_Decode)->ArgName("texts")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Node record texts: 0 = no attribute, 1 = three scalars, 2 = all seven with
// plain texts, 3 = texts that need escapes and raw UTF-8.
NodeUpdate record_kind(int kind) {
    switch (kind) {
        case 0:
            return NodeUpdate();
        case 1:
            return three_attributes(3);
        case 2:
            return with_texts(3);
        default: {
            NodeUpdate u = with_texts(3);
            u.set_texts({"a \"quoted\"\\ label\nwith\ttabs \x01 and \xc3\xa9\xe2\x82\xac", "https://example.org/\xe6\x97\xa5"});
            return u;
        }
    }
}

void BM_NodeRecordWrite(benchmark::State& state) {
    const NodeUpdate u = record_kind(static_cast<int>(state.range(0)));
    std::string out;
    for (auto _ : state) {
        out.clear();
        quorl::encoding::encode_node_update(u, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out.size()));
}
BENCHMARK(BM_NodeRecordWrite)->ArgName("kind")->DenseRange(0, 3);

void BM_NodeRecordRead(benchmark::State& state) {
    std::string text;
    quorl::encoding::encode_node_update(record_kind(static_cast<int>(state.range(0))), text);
    for (auto _ : state) {
        auto u = quorl::encoding::decode_node_update(text);
        if (!u) {
            state.SkipWithError("record did not read back");
            return;
        }
        benchmark::DoNotOptimize(u->present_count());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_NodeRecordRead)->ArgName("kind")->DenseRange(0, 3);

// Float text over a spread of binary32 values: 0 = short exact decimals
// (quarter steps, the common sizes), 1 = short decimals that binary32 does
// not hold exactly, 2 = random bit patterns (every exponent and layout rule).
void BM_FloatText(benchmark::State& state) {
    std::vector<float> values(4096);
    std::uint64_t seed = 99;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (state.range(0) == 0) {
            values[i] = static_cast<float>(i % 400) * 0.25f + 0.5f;
        } else if (state.range(0) == 1) {
            values[i] = static_cast<float>(i % 400) * 0.25f + 0.1f;
        } else {
            float f;
            do {
                const auto bits = static_cast<std::uint32_t>(splitmix64(seed));
                std::memcpy(&f, &bits, 4);
            } while (!std::isfinite(f));
            values[i] = f;
        }
    }
    char buf[quorl::encoding::kMaxFloatText];
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(quorl::encoding::write_float_text(values[i], buf));
        benchmark::ClobberMemory();
        i = (i + 1) & 4095;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_FloatText)->ArgName("kind")->DenseRange(0, 2);

}  // namespace
