#include "diff/graph_diff.hpp"

#include <utility>

#include "diff/heap_bytes.hpp"

namespace quorl::diff {
GraphDiff::GraphDiff(NodeMap nodes, NodeSet deleted_nodes, EdgeMap edges, DeletedEdgeMap deleted_edges) noexcept
    : nodes_(std::move(nodes)),
      deleted_nodes_(std::move(deleted_nodes)),
      edges_(std::move(edges)),
      deleted_edges_(std::move(deleted_edges)),
      entry_heap_bytes_(entry_bytes_by_walk()) {}

GraphDiff::GraphDiff(GraphDiff&& other) noexcept
    : nodes_(std::move(other.nodes_)),
      deleted_nodes_(std::move(other.deleted_nodes_)),
      edges_(std::move(other.edges_)),
      deleted_edges_(std::move(other.deleted_edges_)),
      edge_source_hint_(std::exchange(other.edge_source_hint_, 0)),
      deleted_source_hint_(std::exchange(other.deleted_source_hint_, 0)),
      entry_heap_bytes_(std::exchange(other.entry_heap_bytes_, 0)) {}

GraphDiff& GraphDiff::operator=(GraphDiff&& other) noexcept {
    if (this != &other) {
        nodes_ = std::move(other.nodes_);
        deleted_nodes_ = std::move(other.deleted_nodes_);
        edges_ = std::move(other.edges_);
        deleted_edges_ = std::move(other.deleted_edges_);
        edge_source_hint_ = std::exchange(other.edge_source_hint_, 0);
        deleted_source_hint_ = std::exchange(other.deleted_source_hint_, 0);
        entry_heap_bytes_ = std::exchange(other.entry_heap_bytes_, 0);
    }
    return *this;
}

void GraphDiff::add_node(Uuid id, const NodeUpdateView& update) {
    nodes_.add(id, update);
    // Edge collections stay as an earlier delete_node left them.
    deleted_nodes_.erase(id);
}

// Removes the pending edges leaving `id`, if any.
void GraphDiff::forget_edge_source(const Uuid& id) noexcept {
    if (const TargetWeights* targets = edges_.find(id)) {
        entry_heap_bytes_ -= targets->heap_bytes();
        edges_.erase(id);
    }
}

Result<void, EdgeRefused> GraphDiff::add_edge(Uuid from, Uuid to, float weight) {
    if (deleted_nodes_.contains(from) || deleted_nodes_.contains(to)) return fail(EdgeRefused{});
    // The insertions (which may allocate) come first, each making its room
    // before it changes anything, so a failed allocation leaves the diff as
    // it was. A new source's single target lives inside its entry: its
    // insertion allocates nothing.
    auto source = edges_.try_emplace(from, edge_source_hint_);
    edge_source_hint_ = source.position;
    source.value.insert_or_assign(to, weight, entry_heap_bytes_);
    if (TargetSet* deleted = deleted_edges_.find(from, deleted_source_hint_)) {
        deleted->erase(to, entry_heap_bytes_);
        if (deleted->empty()) {
            entry_heap_bytes_ -= deleted->heap_bytes();
            deleted_edges_.erase(from);
        }
    }
    return {};
}

void GraphDiff::delete_edge(Uuid from, Uuid to) {
    // As in add_edge, the insertions come first and cannot half happen.
    auto deleted = deleted_edges_.try_emplace(from, deleted_source_hint_);
    deleted_source_hint_ = deleted.position;
    deleted.value.try_emplace(to, entry_heap_bytes_);
    if (TargetWeights* targets = edges_.find(from, edge_source_hint_)) {
        targets->erase(to, entry_heap_bytes_);
        // Also drops an empty entry left behind by delete_node.
        if (targets->empty()) {
            entry_heap_bytes_ -= targets->heap_bytes();
            edges_.erase(from);
        }
    }
}

void GraphDiff::clear() noexcept {
    nodes_.clear();
    deleted_nodes_.clear();
    edges_.clear();
    deleted_edges_.clear();
    entry_heap_bytes_ = 0;
}

std::uint64_t GraphDiff::num_nodes() const noexcept { return nodes_.size() + deleted_nodes_.size(); }

std::uint64_t GraphDiff::num_edges() const noexcept { return edges_.size() + deleted_edges_.size(); }

std::size_t GraphDiff::table_block_bytes() const noexcept {
    return nodes_.heap_bytes() + allocated_bytes(deleted_nodes_.block_bytes()) +
           allocated_bytes(edges_.block_bytes()) + allocated_bytes(deleted_edges_.block_bytes());
}

std::size_t GraphDiff::entry_bytes_by_walk() const noexcept {
    std::size_t bytes = 0;
    for (const auto& source : edges_) bytes += source.value.heap_bytes();
    for (const auto& source : deleted_edges_) bytes += source.value.heap_bytes();
    return bytes;
}

std::size_t GraphDiff::heap_bytes() const noexcept { return table_block_bytes() + entry_heap_bytes_; }

std::size_t GraphDiff::heap_bytes_by_walk() const noexcept { return table_block_bytes() + entry_bytes_by_walk(); }

}  // namespace quorl::diff
