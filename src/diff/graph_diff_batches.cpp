// The changes of GraphDiff that touch many entries at once: the batches
// (add_nodes, delete_nodes, add_edges, delete_edges) and delete_node, which
// visits every source.
//
// Each is all or nothing when memory runs out. The edge batches and the node
// deletions work in two phases: the first reads the diff, works out what will
// change and makes every block that needs (a larger table, a larger target
// array, an indexed target table), the diff untouched; the second puts the
// blocks in and makes the changes with calls that allocate nothing. A failed
// allocation can only come in the first phase, and the blocks made so far
// free themselves. add_nodes (node_map.cpp) instead inserts and takes its
// insertions back should an allocation fail after them.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <new>
#include <span>
#include <utility>

#include "diff/graph_diff.hpp"
#include "diff/heap.hpp"
#include "diff/heap_bytes.hpp"
#include "diff/prefetch.hpp"

namespace quorl::diff {
namespace {

constexpr std::uint32_t kNone = ~std::uint32_t{0};
static_assert(kMaxBatchItems < kNone, "an item's number is never none");

// Refuses a batch longer than its items can be numbered, as memory it cannot
// have.
void check_batch_size(std::size_t n) {
    if (n > kMaxBatchItems) throw std::bad_alloc();
}
// How many items ahead a batch asks for the memory it will touch.
constexpr std::size_t kFetchAhead = 8;

// Visits every source of `edges` in order. Target arrays and indexed target
// tables lie outside the sources' dense array, so those of the source a few
// places ahead are fetched while the current one is visited.
template <class Visit>
void visit_sources(EdgeMap& edges, Visit visit) {
    auto ahead = edges.begin();
    for (std::size_t i = 0; i < kFetchAhead && ahead != edges.end(); ++i, ++ahead) ahead->value.prefetch();
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
    heap::Vector<std::uint64_t> words_;
};

// ---- a batch of edges grouped by source ------------------------------------

// The positions in a batch of one source's edges, in call order.
class EdgeRange {
public:
    EdgeRange(const std::uint32_t* order, std::uint32_t begin, std::uint32_t end) noexcept
        : order_(order), begin_(begin), end_(end) {}
    std::size_t size() const noexcept { return end_ - begin_; }
    std::uint32_t operator[](std::size_t k) const noexcept {
        const auto at = static_cast<std::uint32_t>(begin_ + k);
        return order_ ? order_[at] : at;
    }

private:
    const std::uint32_t* order_;  // null: the edges are the positions begin_ to end_ themselves
    std::uint32_t begin_;
    std::uint32_t end_;
};

// The edges of a batch grouped by source, by a stable counting sort: the
// sources in the order in which they first appear, each with the positions
// of its edges in call order. An edge whose source is the previous edge's
// joins its group without a lookup; any other costs one probe of a scratch
// table of the sources, whose index slot is fetched a few edges ahead. A
// batch that comes source by source (each source's edges next to each other,
// none left out) needs no sorting: its groups are ranges of the batch.
class SourceGroups {
public:
    // Groups the edges i of `from` for which keep(i) holds.
    template <class Keep>
    SourceGroups(std::span<const Uuid> from, Keep keep) {
        const std::size_t n = from.size();
        OrderedTable<std::uint32_t> ordinal;  // source -> its group
        // Room for a source per four edges to begin with: sources that come
        // with a few edges each fill a quarter of the index or less, which
        // keeps probes short (measured on 200,000 edges over 20,000 sources
        // in random order: 14 ns an edge at room for one per eight, 10.5 at
        // one per four, no better beyond).
        ordinal.reserve(n / 4);
        // The sources ahead that start a run, with their hashes; the index
        // slot of each is fetched meanwhile.
        struct Ahead {
            bool starts_run;
            std::uint32_t hash;
        };
        Ahead ahead[kFetchAhead];
        auto look_ahead = [&](std::size_t j) {
            Ahead& next = ahead[j % kFetchAhead];
            next.starts_run = j < n && (j == 0 || !(from[j] == from[j - 1]));
            if (next.starts_run) {
                next.hash = OrderedTable<std::uint32_t>::hash_of(from[j]);
                ordinal.prefetch_hash(next.hash);
            }
        };
        for (std::size_t j = 0; j < kFetchAhead; ++j) look_ahead(j);
        // While the groups are ranges of the batch, no edge's group is
        // written down; once they are not, those of the edges so far are.
        bool ranges = true;
        auto stop_ranges = [&] {
            ranges = false;
            group_of_.resize(n);
            std::size_t at = 0;
            for (std::uint32_t g = 0; g < ends_.size(); ++g) {
                for (std::uint32_t k = 0; k < ends_[g]; ++k) group_of_[at++] = g;
            }
        };
        std::uint32_t group = kNone;  // of edge i - 1, kNone if it was left out
        for (std::size_t i = 0; i < n; ++i) {
            const Ahead here = ahead[i % kFetchAhead];
            look_ahead(i + kFetchAhead);
            if (!keep(i)) {
                if (ranges) stop_ranges();
                group = kNone;
                group_of_[i] = kNone;
                continue;
            }
            if (here.starts_run || group == kNone) {
                auto entry = ordinal.try_emplace_hashed(
                    from[i], here.starts_run ? here.hash : OrderedTable<std::uint32_t>::hash_of(from[i]));
                if (entry.inserted) {
                    entry.value = static_cast<std::uint32_t>(sources_.size());
                    sources_.push_back(from[i]);
                    ends_.push_back(0);
                } else if (ranges) {
                    stop_ranges();  // a source back after others
                }
                group = entry.value;
            }
            if (!ranges) group_of_[i] = group;
            ++ends_[group];
        }
        // Counts to ends, and, unless the groups are ranges, each edge to its
        // place: filled from the back, each group's start ends up in ends_.
        std::uint32_t end = 0;
        for (std::uint32_t& count : ends_) count = end += count;
        if (ranges || end == 0) return;
        order_.resize(end);
        for (std::size_t i = n; i-- > 0;) {
            if (group_of_[i] != kNone) order_[--ends_[group_of_[i]]] = static_cast<std::uint32_t>(i);
        }
        for (std::size_t g = 0; g + 1 < ends_.size(); ++g) ends_[g] = ends_[g + 1];
        ends_.back() = end;
    }

    std::size_t size() const noexcept { return sources_.size(); }
    const Uuid& source(std::size_t g) const noexcept { return sources_[g]; }
    // The edges of all groups, one group after the other: how many, and the
    // position in the batch of the k-th (for fetching ahead across groups).
    std::size_t edge_count() const noexcept { return ends_.empty() ? 0 : ends_.back(); }
    std::uint32_t edge_at(std::size_t k) const noexcept {
        return order_.empty() ? static_cast<std::uint32_t>(k) : order_[k];
    }
    EdgeRange edges(std::size_t g) const noexcept {
        return {order_.empty() ? nullptr : order_.data(), g == 0 ? 0 : ends_[g - 1], ends_[g]};
    }

private:
    heap::Vector<std::uint32_t> group_of_;  // of each edge, kNone if left out; empty while the groups are ranges
    heap::Vector<Uuid> sources_;            // in order of first appearance
    heap::Vector<std::uint32_t> ends_;      // of each group in order_ (or in the batch)
    heap::Vector<std::uint32_t> order_;     // positions of the edges, group by group; empty for ranges
};

// Puts grouped edges into an edge collection (pending or deleted), each
// target with its value: first the room, then the insertions. A source
// missing from the collection is appended, in the order of the groups.
template <class Targets>
class GroupedInsert {
public:
    using Sources = OrderedTable<Targets>;

    // The first phase: where each source is, and the storage that the
    // collection and each source's targets need. Changes nothing.
    GroupedInsert(const Sources& sources, const SourceGroups& groups, std::span<const Uuid> to)
        : groups_(groups), to_(to), positions_(groups.size(), kNone) {
        rooms_.reserve(groups.size());
        OrderedTable<NoValue> scratch;
        std::size_t new_sources = 0;
        const Targets none{};
        for (std::size_t g = 0; g < groups.size(); ++g) {
            if (g + kFetchAhead < groups.size()) sources.prefetch_slot(groups.source(g + kFetchAhead));
            const auto edges = groups.edges(g);
            const Targets* targets = sources.empty() ? nullptr : sources.find(groups.source(g), positions_[g]);
            if (!targets) {
                positions_[g] = kNone;
                ++new_sources;
            }
            auto key_at = [&](std::size_t k) -> const Uuid& { return to[edges[k]]; };
            rooms_.push_back((targets ? *targets : none).room_for_keys(edges.size(), key_at, scratch));
        }
        outer_ = sources.room_for(sources.size() + new_sources);
    }

    // The second phase: puts the storage in and inserts the edges, edge i
    // with value_of(i), which fetch_value(i) asks the processor to start
    // loading a few edges before. Allocates nothing. `hint` is left at the
    // last source.
    template <class ValueOf, class FetchValue>
    void commit(Sources& sources, std::uint32_t& hint, std::size_t& heap, ValueOf value_of,
                FetchValue fetch_value) noexcept {
        sources.adopt(std::move(outer_));
        const std::size_t edge_count = groups_.edge_count();
        std::size_t flat = 0;  // edges put in so far
        for (std::size_t g = 0; g < groups_.size(); ++g) {
            if (g + kFetchAhead < groups_.size()) {
                const std::uint32_t ahead = positions_[g + kFetchAhead];
                if (ahead == kNone) {
                    sources.prefetch_slot(groups_.source(g + kFetchAhead));
                } else {
                    sources.prefetch_entry(ahead);
                }
            }
            // The position found in the first phase saves the probe, unless
            // adopting new storage moved the entries.
            auto source = sources.try_emplace_in_room(groups_.source(g), positions_[g]);
            hint = source.position;
            Targets& targets = source.value;
            targets.adopt(std::move(rooms_[g]), heap);
            const auto edges = groups_.edges(g);
            for (std::size_t k = 0; k < edges.size(); ++k, ++flat) {
                // The edges of a group lie anywhere in the batch.
                if (flat + kFetchAhead < edge_count) {
                    const std::uint32_t ahead = groups_.edge_at(flat + kFetchAhead);
                    prefetch_line(&to_[ahead]);
                    fetch_value(ahead);
                }
                targets.assign_in_room(to_[edges[k]], value_of(edges[k]));
            }
        }
    }

private:
    const SourceGroups& groups_;
    std::span<const Uuid> to_;
    heap::Vector<std::uint32_t> positions_;  // of each source in the collection, kNone if absent
    heap::Vector<typename Targets::Room> rooms_;
    typename Sources::Storage outer_;
};

// Removes the grouped edges from the other edge collection, and a source
// left without targets with them. Allocates nothing.
template <class Targets>
void erase_grouped(OrderedTable<Targets>& sources, std::uint32_t& hint, const SourceGroups& groups,
                   std::span<const Uuid> to, std::size_t& heap) noexcept {
    if (sources.empty()) return;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        if (g + kFetchAhead < groups.size()) sources.prefetch_slot(groups.source(g + kFetchAhead));
        Targets* targets = sources.find(groups.source(g), hint);
        if (!targets) continue;
        const EdgeRange edges = groups.edges(g);
        for (std::size_t k = 0; k < edges.size(); ++k) targets->erase(to[edges[k]], heap);
        if (targets->empty()) {
            heap -= targets->heap_bytes();
            sources.erase(groups.source(g));
        }
    }
}

// The edges that a deletion of nodes turns into deleted edges: the sources
// that have some, in the order of the sources, each with the end of its
// targets in `targets`.
struct EnteringEdges {
    struct Source {
        EdgeMap::Entry* entry;
        std::uint32_t end;
        std::uint32_t position = kNone;  // in deleted_edges_, kNone if absent
    };
    heap::Vector<Source> sources;
    heap::Vector<Uuid> targets;

    // Closes the list of `source`'s targets, the ones pushed since the last.
    void add(EdgeMap::Entry& source) { sources.push_back({&source, static_cast<std::uint32_t>(targets.size())}); }
};

}  // namespace

// ---- edges -----------------------------------------------------------------

template <class Keep>
void GraphDiff::add_grouped_edges(std::span<const Uuid> from, std::span<const Uuid> to,
                                  std::span<const float> weights, Keep keep) {
    const SourceGroups groups(from, keep);
    GroupedInsert<TargetWeights> insert(edges_, groups, to);
    // Nothing has changed so far; nothing below allocates.
    const bool one_weight = weights.size() == 1;
    insert.commit(
        edges_, edge_source_hint_, entry_heap_bytes_, [&](std::size_t i) { return weights[one_weight ? 0 : i]; },
        [&](std::size_t i) {
            if (!one_weight) prefetch_line(&weights[i]);
        });
    erase_grouped(deleted_edges_, deleted_source_hint_, groups, to, entry_heap_bytes_);
}

void GraphDiff::add_edges(std::span<const Uuid> from, std::span<const Uuid> to, std::span<const float> weights) {
    check_batch_size(from.size());
    if (from.size() <= 1) {
        // One edge changes the diff in one step, all or nothing.
        if (!from.empty()) (void)add_edge(from[0], to[0], weights[0]);
        return;
    }
    // An edge with an endpoint marked for deletion is refused, and the
    // batch adds no such marks.
    if (deleted_nodes_.empty()) {
        add_grouped_edges(from, to, weights, [](std::size_t) { return true; });
    } else {
        add_grouped_edges(from, to, weights, [&](std::size_t i) {
            return !deleted_nodes_.contains(from[i]) && !deleted_nodes_.contains(to[i]);
        });
    }
}

void GraphDiff::delete_edges(std::span<const Uuid> from, std::span<const Uuid> to) {
    check_batch_size(from.size());
    if (from.size() <= 1) {
        if (!from.empty()) delete_edge(from[0], to[0]);
        return;
    }
    const SourceGroups groups(from, [](std::size_t) { return true; });
    GroupedInsert<TargetSet> insert(deleted_edges_, groups, to);
    insert.commit(
        deleted_edges_, deleted_source_hint_, entry_heap_bytes_, [](std::size_t) { return NoValue{}; },
        [](std::size_t) {});
    erase_grouped(edges_, edge_source_hint_, groups, to, entry_heap_bytes_);
}

// ---- node deletions ----------------------------------------------------------

template <class Collect>
void GraphDiff::delete_distinct(std::span<const Uuid> ids, Collect collect) {
    // The first phase: the edges that become deleted edges, source by
    // source in the order of the sources, and the room that recording them
    // and marking the ids need.
    EnteringEdges found;
    collect(found);
    auto& sources = found.sources;
    const auto& targets = found.targets;
    heap::Vector<TargetSet::Room> rooms;
    rooms.reserve(sources.size());
    OrderedTable<NoValue> scratch;
    std::size_t new_sources = 0;
    const TargetSet none{};
    for (std::size_t s = 0; s < sources.size(); ++s) {
        const std::uint32_t begin = s == 0 ? 0 : sources[s - 1].end;
        const TargetSet* deleted =
            deleted_edges_.empty() ? nullptr : deleted_edges_.find(sources[s].entry->key, sources[s].position);
        if (!deleted) {
            sources[s].position = kNone;
            ++new_sources;
        }
        auto key_at = [&](std::size_t k) -> const Uuid& { return targets[begin + k]; };
        rooms.push_back((deleted ? *deleted : none).room_for_keys(sources[s].end - begin, key_at, scratch));
    }
    auto deleted_edges_room = deleted_edges_.room_for(deleted_edges_.size() + new_sources);
    std::size_t new_marks = 0;
    for (const Uuid& id : ids) new_marks += !deleted_nodes_.contains(id);
    auto deleted_nodes_room = deleted_nodes_.room_for(deleted_nodes_.size() + new_marks);
    auto nodes_room = nodes_.room_to_remove(ids);

    // The second phase allocates nothing.
    deleted_edges_.adopt(std::move(deleted_edges_room));
    deleted_nodes_.adopt(std::move(deleted_nodes_room));
    for (std::size_t s = 0; s < sources.size(); ++s) {
        const std::uint32_t begin = s == 0 ? 0 : sources[s - 1].end;
        EdgeMap::Entry& source = *sources[s].entry;
        TargetSet& deleted = deleted_edges_.try_emplace_in_room(source.key, sources[s].position).value;
        deleted.adopt(std::move(rooms[s]), entry_heap_bytes_);
        for (std::uint32_t k = begin; k < sources[s].end; ++k) {
            source.value.erase(targets[k], entry_heap_bytes_);
            deleted.assign_in_room(targets[k], NoValue{});
        }
    }
    // Removals of the ids' own entries come last: they may move the entries
    // of edges_ that `sources` points at.
    for (const Uuid& id : ids) {
        nodes_.erase(id);
        forget_edge_source(id);
        deleted_nodes_.try_emplace_in_room(id);
    }
    nodes_.settle(std::move(nodes_room));
}

void GraphDiff::delete_node(Uuid id) {
    // Edges leaving the node vanish without a trace (with its entry, at the
    // end)... while edges entering it become deleted edges, recorded in the
    // order of the sources. There is no index by target, so every source is
    // visited; a source whose only target was `id` keeps its (now empty)
    // entry. A source's single target lives inside its entry, so the visit
    // is a pass over one dense array.
    delete_distinct(std::span<const Uuid>(&id, 1), [&](EnteringEdges& found) {
        // The visit holds its own copy of the id: the ids it records are
        // bytes, which may alias any id read through a reference, so each
        // would be read again for every source.
        visit_sources(edges_, [&found, target = id](EdgeMap::Entry& source) {
            if (!source.value.contains(target) || source.key == target) return;
            found.targets.push_back(target);
            found.add(source);
        });
    });
}

void GraphDiff::delete_nodes(std::span<const Uuid> ids) {
    check_batch_size(ids.size());
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
    heap::Vector<Uuid> distinct;
    distinct.reserve(turn.size());
    for (const auto& id : turn) distinct.push_back(id.key);
    HashFilter in_batch(turn.size());
    for (const auto& id : turn) in_batch.add(id.key);
    auto turn_of = [&](const Uuid& key) {
        if (!in_batch.may_contain(key)) return kNone;
        const std::uint32_t* found = turn.find(key);
        return found ? *found : kNone;
    };
    // Called one by one, delete_node(t) turns a pending edge (s, t) into a
    // deleted edge if s still has its entry then: if s is not in the batch,
    // or comes later in it. Otherwise the edge leaves with s's entry (a
    // self-loop included). One visit of each source finds all of them.
    delete_distinct(distinct, [&](EnteringEdges& found) {
        visit_sources(edges_, [&](EdgeMap::Entry& source) {
            if (source.value.empty()) return;
            const std::size_t begin = found.targets.size();
            const std::uint32_t last = turn_of(source.key);
            if (source.value.size() <= turn.size()) {
                for (const auto& target : source.value) {
                    if (turn_of(target.key) < last) found.targets.push_back(target.key);
                }
            } else {
                for (const auto& id : turn) {
                    if (id.value < last && source.value.contains(id.key)) found.targets.push_back(id.key);
                }
            }
            if (found.targets.size() != begin) found.add(source);
        });
    });
}

// ---- node updates ------------------------------------------------------------

void GraphDiff::add_nodes(std::span<const Uuid> ids, const UpdateBatch& updates) {
    check_batch_size(ids.size());
    nodes_.add_all(ids, updates);
    // Edge collections stay as an earlier delete_node left them.
    if (!deleted_nodes_.empty()) {
        for (const Uuid& id : ids) deleted_nodes_.erase(id);
    }
}

void GraphDiff::add_nodes(std::span<const Uuid> ids, std::span<const NodeUpdate> updates) {
    check_batch_size(ids.size());
    UpdateBatch batch;
    batch.reserve(updates.size());
    for (const NodeUpdate& update : updates) batch.push_back(update);
    add_nodes(ids, batch);
}

}  // namespace quorl::diff
