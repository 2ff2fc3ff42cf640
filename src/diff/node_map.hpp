// The pending node updates of a diff: node -> update, in insertion order.
//
// Each update is a record of 13 bytes in an OrderedTable (its scalars, and
// where its texts are), and the texts of all of them lie in one arena the
// map owns (text_arena.hpp), so that a node costs its entry and the bytes of
// its texts, with no heap block of its own. Reading an entry gives a
// NodeUpdateView of it, valid until the map changes.
//
// The arena's dead records (texts an update replaced, or whose node went) are
// reclaimed when they come to outnumber the live bytes: the live records move
// into a new block, in the order of the table. A change that may cause that
// makes the new block in its first phase, with everything else it may have
// to allocate, so that every change stays all or nothing when memory runs
// out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "diff/node_update.hpp"
#include "diff/ordered_table.hpp"
#include "diff/text_arena.hpp"
#include "diff/update_batch.hpp"
#include "diff/uuid.hpp"

namespace quorl::diff {

class NodeMap {
public:
    // A node's update as stored: its scalars, and the offset of its record
    // of texts in the arena (meaningful when it has texts), in 40 bits.
    struct Stored {
        NodeScalars scalars;
        std::uint8_t offset_bytes[5] = {};

        std::uint64_t offset() const noexcept {
            std::uint64_t v = 0;
            for (int i = 0; i < 5; ++i) v |= std::uint64_t{offset_bytes[i]} << (8 * i);
            return v;
        }
        void set_offset(std::uint64_t v) noexcept {
            for (int i = 0; i < 5; ++i) offset_bytes[i] = static_cast<std::uint8_t>(v >> (8 * i));
        }
    };
    static_assert(alignof(Stored) == 1, "stored updates pack without padding");
    static_assert(sizeof(Stored) == 13,
                  "a pending node's update is 13 bytes, its entry 29: a new attribute makes every pending node "
                  "larger; say here how large, and bring the memory figures of README.md and bench.py's targets "
                  "of bytes per node along (see node_attributes.hpp)");
    using Table = OrderedTable<Stored>;

    // An entry as it is read: the key and a view of the update.
    struct Entry {
        const Uuid& key;
        NodeUpdateView value;
    };
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Entry;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = Entry;

        const_iterator() = default;
        const_iterator(Table::const_iterator it, const char* texts) noexcept : it_(it), texts_(texts) {}
        Entry operator*() const noexcept { return {it_->key, view_of(it_->value, texts_)}; }
        // it->key and it->value, through the entry made for the access.
        struct Arrow {
            Entry entry;
            const Entry* operator->() const noexcept { return &entry; }
        };
        Arrow operator->() const noexcept { return {**this}; }
        const_iterator& operator++() noexcept {
            ++it_;
            return *this;
        }
        const_iterator operator++(int) noexcept {
            const_iterator old = *this;
            ++it_;
            return old;
        }
        friend bool operator==(const const_iterator& a, const const_iterator& b) noexcept { return a.it_ == b.it_; }

    private:
        Table::const_iterator it_;
        const char* texts_ = nullptr;
    };
    using iterator = const_iterator;

    NodeMap() noexcept = default;
    NodeMap(NodeMap&&) noexcept = default;
    NodeMap& operator=(NodeMap&&) noexcept = default;

    std::size_t size() const noexcept { return table_.size(); }
    bool empty() const noexcept { return table_.empty(); }
    // Entries the table holds before it must be rebuilt.
    std::size_t capacity() const noexcept { return table_.capacity(); }
    const_iterator begin() const noexcept { return {table_.begin(), texts_.data()}; }
    const_iterator end() const noexcept { return {table_.end(), texts_.data()}; }

    std::optional<NodeUpdateView> find(const Uuid& id) const noexcept {
        const Stored* stored = table_.find(id);
        if (!stored) return std::nullopt;
        return view_of(*stored, texts_.data());
    }
    bool contains(const Uuid& id) const noexcept { return table_.contains(id); }
    // Asks the processor to start loading the index slot of `id`.
    [[gnu::always_inline]] void prefetch_slot(const Uuid& id) const noexcept { table_.prefetch_slot(id); }

    // add_node's rule: `update` is merged into the pending update of `id`
    // (each attribute it has replaces the stored one), or becomes it. The
    // texts are copied; `update` must not view this map's own. All or
    // nothing: should memory run out, throws std::bad_alloc and leaves the
    // map as it was.
    void add(const Uuid& id, const NodeUpdateView& update);
    // add(ids[i], the i-th update of `batch`) for each i in turn, at most
    // kMaxBatchItems of them; all or nothing as add.
    void add_all(std::span<const Uuid> ids, const UpdateBatch& batch);

    // ---- removals ---------------------------------------------------------
    //
    // Removing updates is done in two steps: the storage the removal of
    // some distinct ids needs (a block to reclaim the arena into, when their
    // texts tip the dead bytes over the live ones) is made first, while
    // nothing changes; then the ids go, with erase, and the storage goes in
    // with settle.
    class Removal {
    public:
        Removal() noexcept = default;

    private:
        friend class NodeMap;
        TextArena::Block block_;
        bool compact_ = false;
    };
    // Allocates, and may throw std::bad_alloc, but changes nothing.
    Removal room_to_remove(std::span<const Uuid> ids) const;
    // Removes the update of `id`, if any; its texts become dead bytes.
    void erase(const Uuid& id) noexcept;
    void settle(Removal&& removal) noexcept;

    // Empties the map, keeping its storage.
    void clear() noexcept {
        table_.clear();
        texts_.clear();
    }

    // Makes room for `n` entries in the table without a rebuild.
    void reserve(std::size_t n) { table_.reserve(n); }

    // Bytes the map takes from the heap, each block as the allocator hands
    // it out: the table's and the arena's.
    std::size_t heap_bytes() const noexcept {
        const std::size_t table = table_.block_bytes();
        return (table ? allocated_bytes(table) : 0) + texts_.heap_bytes();
    }
    std::size_t table_block_bytes() const noexcept { return table_.block_bytes(); }
    std::size_t text_capacity() const noexcept { return static_cast<std::size_t>(texts_.capacity()); }

    // The arena's live and dead bytes, as kept, and the live bytes found by
    // visiting every record, to check the figures by.
    std::uint64_t live_text_bytes() const noexcept { return texts_.live(); }
    std::uint64_t dead_text_bytes() const noexcept { return texts_.dead(); }
    std::uint64_t live_text_bytes_by_walk() const noexcept;

    // Dead bytes below this many are never reclaimed: moving a few texts
    // would cost more than the bytes are worth.
    static constexpr std::uint64_t kMinDeadBytes = 64;

private:
    // The state of one add_all while it runs (node_map.cpp).
    class BatchAdd;

    static NodeUpdateView view_of(const Stored& stored, const char* texts) noexcept;
    // Bytes of the record of `stored`'s texts (none without texts).
    std::uint64_t record_bytes(const Stored& stored) const noexcept;

    // Whether the arena is to be reclaimed once `dying` bytes of records
    // have died and `incoming` bytes been appended: when the dead bytes then
    // outnumber the live ones.
    bool reclaims(std::uint64_t incoming, std::uint64_t dying) const noexcept {
        const std::uint64_t dead = texts_.dead() + dying;
        const std::uint64_t used = texts_.used() + incoming;
        return dead >= kMinDeadBytes && dead > used - dead;
    }
    // The block to reclaim the arena into, for `live` bytes of records and
    // a quarter more; none for no bytes.
    static TextArena::Block reclaim_block(std::uint64_t live) {
        return TextArena::allocate_block(live == 0 ? 0 : live + live / 4);
    }
    // Moves the records of the entries that have texts, in the order of the
    // table, into `block` (released arena when it is none); returns the
    // block they leave, which the caller frees once it has read what it
    // needs from it.
    TextArena::Block reclaim(TextArena::Block&& block) noexcept;

    // Appends a record of `update`'s texts (room made for it); returns its
    // offset.
    std::uint64_t append_record(const NodeUpdateView& update) noexcept;
    // The texts of `update` merged over `stored`'s.
    NodeUpdateView merged_texts(const Stored& stored, const NodeUpdateView& update) const noexcept;
    // Bytes of the record of `texts`.
    static std::uint64_t record_bytes(const NodeUpdateView& texts) noexcept;
    void merge(Stored& stored, const NodeUpdateView& update);

    Table table_;
    TextArena texts_;
};

}  // namespace quorl::diff
