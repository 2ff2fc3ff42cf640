#include "diff/graph_diff.hpp"

#include <utility>
#include <vector>

#include "diff/heap_bytes.hpp"

namespace quorl::diff {
namespace {

// Visits every source of `edges` in order. Target arrays and indexed target
// tables lie outside the sources' dense array, so those of the source a few
// places ahead are fetched while the current one is visited.
template <class Visit>
void visit_sources(EdgeMap& edges, Visit visit) {
    constexpr int kFetchAhead = 8;
    auto ahead = edges.begin();
    for (int i = 0; i < kFetchAhead && ahead != edges.end(); ++i, ++ahead) ahead->value.prefetch();
    for (auto& source : edges) {
        if (ahead != edges.end()) {
            ahead->value.prefetch();
            ++ahead;
        }
        visit(source);
    }
}

// A filter of a set of ids by bits of each id's hash, with about 64 bits
// per id: nearly every key outside the set is passed over with one load,
// without a probe of the set's table.
class HashFilter {
public:
    explicit HashFilter(std::size_t ids) {
        while (bits_ < kMaxBits && (std::size_t{1} << bits_) < ids * 64) ++bits_;
        words_.assign((std::size_t{1} << bits_) / 64, 0);
    }
    void add(const Uuid& key) noexcept {
        const std::uint32_t bit = bit_of(key);
        words_[bit / 64] |= std::uint64_t{1} << (bit % 64);
    }
    // False for every key not added, but for a few.
    bool may_contain(const Uuid& key) const noexcept {
        const std::uint32_t bit = bit_of(key);
        return (words_[bit / 64] >> (bit % 64)) & 1;
    }

private:
    static constexpr unsigned kMaxBits = 22;
    std::uint32_t bit_of(const Uuid& key) const noexcept { return table_hash(key) >> (32 - bits_); }

    unsigned bits_ = 6;
    std::vector<std::uint64_t> words_;
};

template <class Table>
std::size_t entries_heap_bytes(const Table& table) noexcept {
    std::size_t bytes = 0;
    for (const auto& entry : table) bytes += entry.value.heap_bytes();
    return bytes;
}

}  // namespace

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

void GraphDiff::add_node(Uuid id, NodeUpdate update) {
    auto entry = nodes_.try_emplace(id);
    if (entry.inserted) {
        entry_heap_bytes_ += update.heap_bytes();
        entry.value = std::move(update);
    } else if (update.heap_bytes() != 0) {
        // Only the texts take heap space.
        HeapChange change(entry_heap_bytes_, entry.value);
        entry.value.merge(std::move(update));
    } else {
        entry.value.merge(std::move(update));
    }
    // Edge collections stay as an earlier delete_node left them.
    deleted_nodes_.erase(id);
}

void GraphDiff::add_nodes(std::span<const Uuid> ids, std::span<NodeUpdate> updates) {
    // Room for every id at once (ids already pending only leave some unused),
    // and the index slot of an id a little ahead is fetched while the
    // current one is added: the ids of a batch are usually new and spread
    // over the whole index.
    nodes_.reserve(nodes_.size() + ids.size());
    constexpr std::size_t kFetchAhead = 8;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (i + kFetchAhead < ids.size()) nodes_.prefetch_slot(ids[i + kFetchAhead]);
        add_node(ids[i], std::move(updates[i]));
    }
}

// Removes the pending update of `id`, if any.
void GraphDiff::forget_node(const Uuid& id) noexcept {
    if (const NodeUpdate* update = nodes_.find(id)) {
        entry_heap_bytes_ -= update->heap_bytes();
        nodes_.erase(id);
    }
}

// Removes the pending edges leaving `id`, if any.
void GraphDiff::forget_edge_source(const Uuid& id) noexcept {
    if (const TargetWeights* targets = edges_.find(id)) {
        entry_heap_bytes_ -= targets->heap_bytes();
        edges_.erase(id);
    }
}

void GraphDiff::delete_node(Uuid id) {
    forget_node(id);
    // Edges leaving the node vanish without a trace...
    forget_edge_source(id);
    // ...while edges entering it become deleted edges, recorded in the order
    // of the sources. There is no index by target, so every source is
    // visited; a source whose only target was `id` keeps its (now empty)
    // entry. A source's single target lives inside its entry, so the visit
    // is a pass over one dense array.
    visit_sources(edges_, [&](EdgeMap::Entry& source) {
        if (source.value.erase(id, entry_heap_bytes_)) {
            deleted_edges_.try_emplace(source.key).value.try_emplace(id, entry_heap_bytes_);
        }
    });
    deleted_nodes_.try_emplace(id);
}

void GraphDiff::delete_nodes(std::span<const Uuid> ids) {
    if (ids.size() <= 1) {
        for (const Uuid& id : ids) delete_node(id);
        return;
    }
    // Each id's first turn in the batch.
    OrderedTable<std::uint32_t> turn;
    turn.reserve(ids.size());
    for (std::uint32_t i = 0; i < ids.size(); ++i) {
        auto entry = turn.try_emplace(ids[i]);
        if (entry.inserted) entry.value = i;
    }
    HashFilter in_batch(turn.size());
    for (const auto& id : turn) in_batch.add(id.key);
    constexpr std::uint32_t kNoTurn = ~std::uint32_t{0};
    auto turn_of = [&](const Uuid& key) {
        if (!in_batch.may_contain(key)) return kNoTurn;
        const std::uint32_t* found = turn.find(key);
        return found ? *found : kNoTurn;
    };
    // Called one by one, delete_node(t) turns a pending edge (s, t) into a
    // deleted edge if s still has its entry then: if s is not in the batch,
    // or comes later in it. Otherwise the edge leaves with s's entry (a
    // self-loop included). One visit of each source applies all the turns.
    std::vector<Uuid> entering;
    visit_sources(edges_, [&](EdgeMap::Entry& source) {
        if (source.value.empty()) return;
        const std::uint32_t last = turn_of(source.key);
        entering.clear();
        if (source.value.size() <= turn.size()) {
            for (const auto& target : source.value) {
                if (turn_of(target.key) < last) entering.push_back(target.key);
            }
        } else {
            for (const auto& id : turn) {
                if (id.value < last && source.value.contains(id.key)) entering.push_back(id.key);
            }
        }
        if (entering.empty()) return;
        auto& deleted = deleted_edges_.try_emplace(source.key).value;
        for (const Uuid& target : entering) {
            source.value.erase(target, entry_heap_bytes_);
            deleted.try_emplace(target, entry_heap_bytes_);
        }
    });
    for (const auto& id : turn) {
        forget_node(id.key);
        forget_edge_source(id.key);
        deleted_nodes_.try_emplace(id.key);
    }
}

Result<void, EdgeRefused> GraphDiff::add_edge(Uuid from, Uuid to, float weight) {
    if (deleted_nodes_.contains(from) || deleted_nodes_.contains(to)) return fail(EdgeRefused{});
    // The insertions (which may allocate) come first, and a source entry made
    // for an insertion that then fails is taken out again, so a failed
    // allocation leaves the diff as it was.
    auto source = edges_.try_emplace(from, edge_source_hint_);
    try {
        source.value.insert_or_assign(to, weight, entry_heap_bytes_);
    } catch (...) {
        if (source.inserted) edges_.erase(from);
        throw;
    }
    if (TargetSet* deleted = deleted_edges_.find(from, deleted_source_hint_)) {
        deleted->erase(to, entry_heap_bytes_);
        if (deleted->empty()) {
            entry_heap_bytes_ -= deleted->heap_bytes();
            deleted_edges_.erase(from);
        }
    }
    return {};
}

void GraphDiff::add_edges(std::span<const Uuid> from, std::span<const Uuid> to, std::span<const float> weights) {
    // Edges tend to come source by source. add_edge keeps the place of the
    // last source it looked up, so a run of edges from one source finds it
    // without a probe; once the run's first edge is in, the source's targets
    // get room for the rest of the run at once.
    const bool one_weight = weights.size() == 1;
    std::size_t i = 0;
    while (i < from.size()) {
        // The run of edges from the source of edge i.
        std::size_t end = i + 1;
        while (end < from.size() && from[end] == from[i]) ++end;
        bool room_made = end - i == 1;
        for (; i < end; ++i) {
            const bool added = add_edge(from[i], to[i], weights[one_weight ? 0 : i]).ok();
            if (added && !room_made) {
                TargetWeights& targets = *edges_.find(from[i], edge_source_hint_);
                targets.reserve_unindexed(targets.size() + (end - i - 1), entry_heap_bytes_);
                room_made = true;
            }
        }
    }
}

void GraphDiff::delete_edge(Uuid from, Uuid to) {
    auto source = deleted_edges_.try_emplace(from, deleted_source_hint_);
    try {
        source.value.try_emplace(to, entry_heap_bytes_);
    } catch (...) {
        if (source.inserted) deleted_edges_.erase(from);
        throw;
    }
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

bool GraphDiff::restore_size(Uuid id, float size) noexcept {
    NodeUpdate* update = nodes_.find(id);
    if (!update || update->size()) return false;
    update->set_size(size);
    return true;
}

std::uint64_t GraphDiff::num_nodes() const noexcept { return nodes_.size() + deleted_nodes_.size(); }

std::uint64_t GraphDiff::num_edges() const noexcept { return edges_.size() + deleted_edges_.size(); }

std::size_t GraphDiff::table_block_bytes() const noexcept {
    return allocated_bytes(nodes_.block_bytes()) + allocated_bytes(deleted_nodes_.block_bytes()) +
           allocated_bytes(edges_.block_bytes()) + allocated_bytes(deleted_edges_.block_bytes());
}

std::size_t GraphDiff::entry_bytes_by_walk() const noexcept {
    return entries_heap_bytes(nodes_) + entries_heap_bytes(edges_) + entries_heap_bytes(deleted_edges_);
}

std::size_t GraphDiff::heap_bytes() const noexcept { return table_block_bytes() + entry_heap_bytes_; }

std::size_t GraphDiff::heap_bytes_by_walk() const noexcept { return table_block_bytes() + entry_bytes_by_walk(); }

}  // namespace quorl::diff
