// Operation sequences on the store.
//
// The input is read as a program of add_node / delete_node / add_edge /
// delete_edge / clear (plus a round trip through the byte string, and a move
// of the diff) and of the batches add_edges / delete_edges / add_nodes /
// delete_nodes over a small pool of identifiers. Each operation is applied to
// a GraphDiff and to a model of the same rules kept in ordered containers (a
// batch as the loop of single calls); after every step (every eighth, in
// long programs) the two must hold the same collections, the counts must
// match, and the diff must keep its four invariants. The sources of a batch
// come in any order, with repeats, and delete_nodes often names those the
// last add_edges brought. A batch may be made to run out of memory at its
// n-th allocation: it must then leave the diff exactly as it was (its
// collections in order, its bytes, its heap figure). At the end the diff must
// encode and decode to the same collections, and running the same program
// again must give the same bytes.
//
// A third of the pool are identifiers whose probes start at the last slot of
// table indexes of 16, 32 and 64 slots, so their probe runs wrap around;
// another third share slot 0. That puts the tables' tombstones and rebuilds
// through their awkward cases.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "diff/graph_diff.hpp"
#include "diff/heap.hpp"
#include "encoding/decode.hpp"
#include "encoding/encode.hpp"
#include "fuzz_support.hpp"

namespace {

using namespace quorl;
using diff::GraphDiff;
using diff::NodeUpdate;
using diff::Uuid;
using model::Attributes;
using model::broken_invariant;
using model::differences;
using model::GraphDiffModel;

constexpr std::size_t kPoolSize = 48;

bool homes_at(const Uuid& id, bool last) {
    for (unsigned bits = 4; bits <= 6; ++bits) {
        if (diff::NodeSet::home_slot(id, bits) != (last ? (std::size_t{1} << bits) - 1 : 0)) return false;
    }
    return true;
}

std::array<Uuid, kPoolSize> make_pool() {
    std::array<Uuid, kPoolSize> pool{};
    std::size_t last_slot = 0;
    std::size_t first_slot = 16;
    for (std::uint64_t n = 1; last_slot < 16 || first_slot < 32; ++n) {
        Uuid id;
        std::memcpy(id.bytes.data(), &n, 8);
        id.bytes[15] = 0x5A;
        if (last_slot < 16 && homes_at(id, true)) pool[last_slot++] = id;
        if (first_slot < 32 && homes_at(id, false)) pool[first_slot++] = id;
    }
    // Ordinary identifiers, some differing from each other only in their
    // first or their last byte.
    for (std::size_t i = 32; i < kPoolSize; ++i) {
        Uuid id;
        for (std::size_t b = 0; b < 16; ++b) id.bytes[b] = static_cast<std::uint8_t>(0x11 * b + 3);
        if (i % 2) {
            id.bytes[0] = static_cast<std::uint8_t>(i);
        } else {
            id.bytes[15] = static_cast<std::uint8_t>(i);
        }
        pool[i] = id;
    }
    return pool;
}

const std::array<Uuid, kPoolSize>& pool() {
    static const std::array<Uuid, kPoolSize> ids = make_pool();
    return ids;
}

// Text pieces: escapes, control bytes, multi-byte sequences, a NUL.
constexpr std::string_view kPieces[] = {"a", "Label", "\"", "\\", "\n", "\x01", "\x1f", "\x7f", "/",
                                        "\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC", "\xF0\x9F\x98\x80",
                                        std::string_view("\0", 1), " ", "\t", "u"};

class Program {
public:
    Program(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool done() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint32_t word() {
        std::uint32_t w = 0;
        for (int i = 0; i < 4; ++i) w |= static_cast<std::uint32_t>(byte()) << (8 * i);
        return w;
    }
    float number() {
        const std::uint32_t w = word();
        float f;
        std::memcpy(&f, &w, 4);
        return f;
    }
    const Uuid& id() { return pool()[byte() % kPoolSize]; }
    std::string text() {
        std::string out;
        for (unsigned n = byte() % 6; n > 0; --n) out += kPieces[byte() % std::size(kPieces)];
        return out;
    }
    NodeUpdate update() {
        const std::uint8_t mask = byte();
        NodeUpdate u;
        if (mask & 1) u.set<diff::kLabel>(text());
        if (mask & 2) u.set<diff::kSize>(number());
        if (mask & 4) u.set<diff::kUrl>(text());
        if (mask & 8) u.set<diff::kRed>(byte());
        if (mask & 16) u.set<diff::kGreen>(byte());
        if (mask & 32) u.set<diff::kBlue>(byte());
        if (mask & 64) u.set<diff::kShowLabel>((mask & 128) != 0);
        return u;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// The counts, the invariants (the running heap figure against a walk of the
// entries among them) and the collections against the model; the deleted
// edges in any order once delete_nodes has recorded some in its own.
void check_agrees(const GraphDiff& d, const GraphDiffModel& model, bool deleted_edge_order_exact) {
    FUZZ_CHECK_NONE(broken_invariant(d));
    if (deleted_edge_order_exact) {
        FUZZ_CHECK_NONE(differences(model, d));
    } else {
        FUZZ_CHECK_NONE(model::differences_but_deleted_edge_order(model, d));
    }
}

std::vector<std::uint8_t> bytes_of(const GraphDiff& d) {
    auto bytes = encoding::encode_graph_diff(d);
    FUZZ_CHECK(bytes.ok());
    return std::move(bytes).value();
}

// State kept across the steps of one run.
struct Run {
    GraphDiff& d;
    GraphDiffModel* model;
    bool deleted_edge_order_exact = true;
    std::vector<Uuid> last_sources;  // of the last add_edges
};

// Runs `batch` on the diff, and `loop` on the model unless the batch ran out
// of memory (only ever on purpose, when the program arms a failure): then
// the diff must be as it was.
template <class Batch, class Loop>
void run_batch(Program& program, Run& run, Batch batch, Loop loop) {
    const std::uint8_t fail = program.byte();
    const bool armed = (fail & 0x80) != 0;
    GraphDiffModel before;
    std::vector<std::uint8_t> before_bytes;
    std::size_t before_heap = 0;
    if (armed) {
        before = model::model_of(run.d);
        before_bytes = bytes_of(run.d);
        before_heap = run.d.heap_bytes();
        diff::heap::faults::fail_after(fail & 0x3F);
    }
    bool failed = false;
    try {
        batch();
    } catch (const std::bad_alloc&) {
        failed = true;
    }
    diff::heap::faults::fail_after(-1);
    FUZZ_CHECK(armed || !failed);
    if (failed) {
        FUZZ_CHECK_NONE(model::differences(before, model::model_of(run.d), true));
        FUZZ_CHECK(bytes_of(run.d) == before_bytes);
        FUZZ_CHECK(run.d.heap_bytes() == before_heap);
        FUZZ_CHECK_NONE(broken_invariant(run.d));
        return;
    }
    if (run.model) loop(*run.model);
}

// One of the batches, its length and items read from the program.
void batch_step(Program& program, Run& run, unsigned kind) {
    const std::size_t n = program.byte() % 48;
    std::vector<Uuid> from(n), to(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t pick = program.byte();
        // Often a source of the last add_edges, which delete_nodes then
        // deletes while the edges it brought are still pending.
        from[i] = (pick & 0x80) && !run.last_sources.empty() ? run.last_sources[pick % run.last_sources.size()]
                                                             : pool()[pick % kPoolSize];
        to[i] = program.id();
    }
    switch (kind) {
        case 0: {
            std::vector<float> weights(program.byte() % 2 ? 1 : n);
            for (float& w : weights) w = program.number();
            if (n == 0) weights.clear();
            run_batch(program, run, [&] { run.d.add_edges(from, to, weights); },
                      [&](GraphDiffModel& m) {
                          for (std::size_t i = 0; i < n; ++i) {
                              (void)m.add_edge(from[i].bytes, to[i].bytes, weights[weights.size() == 1 ? 0 : i]);
                          }
                      });
            if (n > 0) run.last_sources = from;
            break;
        }
        case 1:
            run_batch(program, run, [&] { run.d.delete_edges(from, to); },
                      [&](GraphDiffModel& m) {
                          for (std::size_t i = 0; i < n; ++i) m.delete_edge(from[i].bytes, to[i].bytes);
                      });
            break;
        case 2: {
            std::vector<NodeUpdate> updates;
            for (std::size_t i = 0; i < n; ++i) updates.push_back(program.update());
            std::vector<Attributes> attributes;
            for (const NodeUpdate& u : updates) attributes.push_back(Attributes::of(u));
            run_batch(program, run, [&] { run.d.add_nodes(from, updates); },
                      [&](GraphDiffModel& m) {
                          for (std::size_t i = 0; i < n; ++i) m.add_node(from[i].bytes, attributes[i]);
                      });
            break;
        }
        default:
            run_batch(program, run, [&] { run.d.delete_nodes(from); },
                      [&](GraphDiffModel& m) {
                          for (const Uuid& id : from) m.delete_node(id.bytes);
                      });
            if (n > 1) run.deleted_edge_order_exact = false;
            break;
    }
}

GraphDiff round_trip(const GraphDiff& d) {
    auto bytes = encoding::encode_graph_diff(d);
    FUZZ_CHECK(bytes.ok());
    auto back = encoding::decode_graph_diff(bytes->data(), bytes->size());
    FUZZ_CHECK(back.ok());
    return std::move(back).value();
}

// Runs the program on `d` (and on the model, when there is one); returns
// whether the deleted edges still come in the model's order.
bool run(Program& program, GraphDiff& d, GraphDiffModel* model) {
    Run state{d, model};
    for (std::size_t step = 0; !program.done(); ++step) {
        const std::uint8_t op = program.byte();
        switch (op % 8) {
            case 0:
            case 1: {
                const Uuid& id = program.id();
                NodeUpdate update = program.update();
                if (model) model->add_node(id.bytes, Attributes::of(update));
                d.add_node(id, std::move(update));
                break;
            }
            case 2: {
                const Uuid& id = program.id();
                if (model) model->delete_node(id.bytes);
                d.delete_node(id);
                break;
            }
            case 3:
            case 4: {
                const Uuid& from = program.id();
                const Uuid& to = program.id();
                const float weight = program.number();
                const bool accepted = d.add_edge(from, to, weight).ok();
                if (model) FUZZ_CHECK(accepted == model->add_edge(from.bytes, to.bytes, weight));
                break;
            }
            case 5:
            case 6: {
                const Uuid& from = program.id();
                const Uuid& to = program.id();
                if (model) model->delete_edge(from.bytes, to.bytes);
                d.delete_edge(from, to);
                break;
            }
            case 7:
                switch (const unsigned sub = program.byte() % 8) {
                    case 0:
                    case 1:
                        if (model) model->clear();
                        d.clear();
                        state.deleted_edge_order_exact = true;
                        break;
                    case 2:
                        // Carry on with the diff as read back from its bytes.
                        d = round_trip(d);
                        if (model) *model = model->as_read_back();
                        break;
                    case 3: {
                        GraphDiff moved(std::move(d));
                        d = std::move(moved);
                        break;
                    }
                    default:
                        batch_step(program, state, sub - 4);
                        break;
                }
                break;
        }
        if (!model) continue;
        // The counts after every step; everything after each of the first
        // steps and then after every eighth (the full comparison costs far
        // more than the operation, and long programs would crawl).
        FUZZ_CHECK(d.num_nodes() == model->num_nodes());
        FUZZ_CHECK(d.num_edges() == model->num_edges());
        if (step < 32 || step % 8 == 0) check_agrees(d, *model, state.deleted_edge_order_exact);
    }
    return state.deleted_edge_order_exact;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    GraphDiff d;
    GraphDiffModel model;
    Program program(data, size);
    const bool deleted_edge_order_exact = run(program, d, &model);
    check_agrees(d, model, deleted_edge_order_exact);

    auto bytes = encoding::encode_graph_diff(d);
    FUZZ_CHECK(bytes.ok());
    auto back = encoding::decode_graph_diff(bytes->data(), bytes->size());
    FUZZ_CHECK(back.ok());
    check_agrees(*back, model.as_read_back(), deleted_edge_order_exact);

    // The same program gives the same bytes: iteration order depends only on
    // the operations.
    GraphDiff replayed;
    Program again(data, size);
    run(again, replayed, nullptr);
    auto replayed_bytes = encoding::encode_graph_diff(replayed);
    FUZZ_CHECK(replayed_bytes.ok());
    FUZZ_CHECK(*replayed_bytes == *bytes);
    return 0;
}
