// The pending changes to a directed, weighted graph: nodes to add or update,
// nodes to delete, edges to add or re-weight and edges to delete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "diff/node_map.hpp"
#include "diff/node_update.hpp"
#include "diff/ordered_table.hpp"
#include "diff/result.hpp"
#include "diff/small_table.hpp"
#include "diff/update_batch.hpp"
#include "diff/uuid.hpp"

namespace quorl::diff {

// Every collection iterates in the order its keys were first inserted (a key
// removed and inserted again goes to the end), like a Python dict. NodeMap
// (node -> pending update) is in node_map.hpp.
using NodeSet = OrderedTable<NoValue>;      // nodes marked for deletion
using TargetWeights = SmallTable<float>;    // target -> weight
using EdgeMap = OrderedTable<TargetWeights>;  // source -> targets with weights
using TargetSet = SmallTable<NoValue>;      // targets of deleted edges
using DeletedEdgeMap = OrderedTable<TargetSet>;

// The most items a batch may hold: the batches number their items with 32
// bits, the largest value standing for none.
inline constexpr std::size_t kMaxBatchItems = 0xFFFFFFFE;

// The one refusal of the store: an edge with an endpoint marked for
// deletion.
struct EdgeRefused {};

class GraphDiff {
public:
    GraphDiff() = default;
    // Takes the four collections as they stand, without applying any of the
    // combination rules (used when rebuilding a diff from bytes).
    GraphDiff(NodeMap nodes, NodeSet deleted_nodes, EdgeMap edges, DeletedEdgeMap deleted_edges) noexcept;
    // A moved-from diff is empty.
    GraphDiff(GraphDiff&& other) noexcept;
    GraphDiff& operator=(GraphDiff&& other) noexcept;

    // The changes. Each is all or nothing: should memory run out, it throws
    // std::bad_alloc and leaves the diff as it was, to the byte (its
    // collections, their order and heap_bytes). The batches (add_nodes,
    // delete_nodes, add_edges, delete_edges) make all the room they need
    // before they change anything, or, in add_nodes, take back what they did.
    //
    // Identifiers are taken by value: a caller may pass a key that lives in
    // one of this diff's own tables, and removals shift those keys around.
    // The spans of a batch, and the texts an update views, must not point
    // into the diff. A batch has at most kMaxBatchItems items; a longer one
    // throws std::bad_alloc before it reads any.
    void add_node(Uuid id, const NodeUpdateView& update);
    // add_node(ids[i], the i-th update of `updates`) for each i in turn;
    // `updates` has as many items as `ids`.
    void add_nodes(std::span<const Uuid> ids, const UpdateBatch& updates);
    void add_nodes(std::span<const Uuid> ids, std::span<const NodeUpdate> updates);
    void delete_node(Uuid id);
    // The same contents as delete_node for each id in turn, in one visit of
    // the sources; the deleted edges it records may come in another order.
    void delete_nodes(std::span<const Uuid> ids);
    Result<void, EdgeRefused> add_edge(Uuid from, Uuid to, float weight);
    // add_edge for each (from[i], to[i]) in turn, with weights[i], or with
    // weights[0] for every edge when there is one weight; refused edges are
    // skipped. `to` is as long as `from`, and so is `weights` unless it
    // holds one weight. The edges go in source by source, whatever order
    // the sources come in, with the result of the loop: the same
    // collections in the same order.
    void add_edges(std::span<const Uuid> from, std::span<const Uuid> to, std::span<const float> weights);
    void delete_edge(Uuid from, Uuid to);
    // delete_edge(from[i], to[i]) for each i in turn, source by source as
    // add_edges goes; `to` is as long as `from`.
    void delete_edges(std::span<const Uuid> from, std::span<const Uuid> to);
    void clear() noexcept;

    // Asks the processor to start loading the index slot that add_node of
    // `id` probes first. A caller that has the id before the update (still
    // to read from its arguments) calls this first, so that the load
    // overlaps that work.
    [[gnu::always_inline]] void prefetch_node(const Uuid& id) const noexcept { nodes_.prefetch_slot(id); }

    // Pending node updates plus nodes marked for deletion.
    std::uint64_t num_nodes() const noexcept;
    // Source entries of both edge collections (sources, not edges; an entry
    // whose targets are all gone still counts).
    std::uint64_t num_edges() const noexcept;

    const NodeMap& new_or_updated_nodes() const noexcept { return nodes_; }
    const NodeSet& deleted_nodes() const noexcept { return deleted_nodes_; }
    const EdgeMap& new_or_updated_edges() const noexcept { return edges_; }
    const DeletedEdgeMap& deleted_edges() const noexcept { return deleted_edges_; }

    // Bytes the diff takes from the heap, each block counted as the
    // allocator hands it out: the four tables' blocks, from their
    // capacities, the arena of the node updates' texts, and the blocks the
    // entries of the edge tables own (the target tables of the sources),
    // kept as a running figure that every change adjusts by what it touched.
    // Constant time.
    std::size_t heap_bytes() const noexcept;
    // The same figure found by visiting every entry, to check the running one.
    std::size_t heap_bytes_by_walk() const noexcept;

private:
    // delete_nodes of the distinct `ids`, where collect(found) lists the
    // edges that become deleted edges (see graph_diff_batches.cpp).
    template <class Collect>
    void delete_distinct(std::span<const Uuid> ids, Collect collect);
    template <class Keep>
    void add_grouped_edges(std::span<const Uuid> from, std::span<const Uuid> to, std::span<const float> weights,
                           Keep keep);
    std::size_t table_block_bytes() const noexcept;
    std::size_t entry_bytes_by_walk() const noexcept;
    void forget_edge_source(const Uuid& id) noexcept;

    NodeMap nodes_;
    NodeSet deleted_nodes_;
    EdgeMap edges_;
    DeletedEdgeMap deleted_edges_;
    // Where the last source looked up sits in each edge collection: edges
    // tend to come source by source.
    std::uint32_t edge_source_hint_ = 0;
    std::uint32_t deleted_source_hint_ = 0;
    // Heap bytes owned by the entries of the edge tables (not the tables'
    // own blocks).
    std::size_t entry_heap_bytes_ = 0;
};

}  // namespace quorl::diff
