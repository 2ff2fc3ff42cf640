// Insertion-ordered hash tables keyed by Uuid.
//
// Every collection of a diff iterates in the order of a Python dict under
// the same calls: a key takes its place when it is first inserted, replacing
// or merging its value keeps that place, and a key that is removed and later
// inserted again goes to the end. The order depends on nothing but the calls:
// not on the hash, whose key each process draws afresh (uuid.hpp), nor on an
// address or a capacity. So the same calls list the same keys in the same
// order in every process.
//
// OrderedTable has the layout of CPython's compact dict: a dense array of
// entries in insertion order, and an index of 32-bit slots from the hash to
// the entry's position. A removal leaves a hole in the array (and a tombstone
// in the index) that the next rebuild closes; a table whose holes outnumber
// its entries is compacted at once, so iteration never costs more than twice
// the live entries. SmallTable (small_table.hpp) holds a source's targets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "diff/heap.hpp"
#include "diff/prefetch.hpp"
#include "diff/table_entry.hpp"
#include "diff/uuid.hpp"

namespace quorl::diff {

template <class V>
class OrderedTable {
public:
    using Entry = TableEntry<V>;
    using mapped_type = V;
    using iterator = EntryIterator<Entry>;
    using const_iterator = EntryIterator<const Entry>;

    OrderedTable() noexcept = default;
    OrderedTable(const OrderedTable&) = delete;
    OrderedTable& operator=(const OrderedTable&) = delete;
    OrderedTable(OrderedTable&& other) noexcept
        : block_(std::exchange(other.block_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          used_(std::exchange(other.used_, 0)),
          bits_(std::exchange(other.bits_, 0)) {}
    OrderedTable& operator=(OrderedTable&& other) noexcept {
        if (this != &other) {
            release();
            block_ = std::exchange(other.block_, nullptr);
            size_ = std::exchange(other.size_, 0);
            used_ = std::exchange(other.used_, 0);
            bits_ = std::exchange(other.bits_, 0);
        }
        return *this;
    }
    ~OrderedTable() { release(); }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    // Entries (holes included) the table holds before it must be rebuilt.
    std::size_t capacity() const noexcept { return block_ ? entry_capacity(bits_) : 0; }
    // Bytes of the one heap block the table holds (index, live bits and
    // entries), as requested from the allocator; 0 with no storage. What the
    // values own besides is not counted.
    std::size_t block_bytes() const noexcept { return block_ ? block_bytes(bits_) : 0; }

    // No entry's position: as a hint, none; from position_of, an absent key.
    static constexpr std::uint32_t kNoPosition = ~std::uint32_t{0};

    V* find(const Uuid& key) noexcept {
        const std::uint32_t p = position_of(key);
        return p == kNoPosition ? nullptr : &entries()[p].value;
    }
    const V* find(const Uuid& key) const noexcept {
        const std::uint32_t p = position_of(key);
        return p == kNoPosition ? nullptr : &entries()[p].value;
    }
    bool contains(const Uuid& key) const noexcept { return position_of(key) != kNoPosition; }
    // Where the entry of `key` is (see positions()), or kNoPosition.
    std::uint32_t position_of(const Uuid& key) const noexcept {
        return size_ == 0 ? kNoPosition : probe_for(key).position;
    }

    // The insertions, four of them: try_emplace; try_emplace_prepared, for a
    // change that makes storage of its own before the table changes (a
    // node's texts); try_emplace_in_room, which allocates nothing, in room
    // made beforehand (the batches); and try_emplace_hashed, given a hash
    // computed ahead to fetch the index slot early.
    //
    // The value stored under `key`, appending a default-constructed one first
    // if the key is absent; `inserted` tells which happened, and `position`
    // where the entry is (see positions()). The entry at position `hint` is
    // tried first: a caller that keeps the position of the key it used last
    // skips the probe when keys repeat (a source's edges, one after the
    // other).
    struct Inserted {
        V& value;
        bool inserted;
        std::uint32_t position;
    };
    Inserted try_emplace(const Uuid& key, std::uint32_t hint = kNoPosition) {
        return emplace(key, locate(key, hint), [] {});
    }
    V* find(const Uuid& key, std::uint32_t& hint) noexcept {
        return const_cast<V*>(std::as_const(*this).find(key, hint));
    }
    // find, first trying position `hint`, and leaving the key's position
    // there when it is found elsewhere.
    const V* find(const Uuid& key, std::uint32_t& hint) const noexcept {
        if (at_hint(key, hint)) return &entries()[hint].value;
        const std::uint32_t p = position_of(key);
        if (p == kNoPosition) return nullptr;
        hint = p;
        return &entries()[p].value;
    }

    // try_emplace for a change that has storage of its own to make for a new
    // key: prepare() runs before the key goes in, once the storage the table
    // needs for it is made but not yet in place. Should prepare() throw, the
    // table is as it was. An existing key is returned without prepare().
    template <class Prepare>
    Inserted try_emplace_prepared(const Uuid& key, Prepare&& prepare) {
        return emplace(key, probe_for(key), prepare);
    }

    // Inserts or replaces the value under `key`; a replaced value keeps its
    // place.
    template <class U>
    V& insert_or_assign(const Uuid& key, U&& value) {
        Inserted entry = try_emplace(key);
        entry.value = std::forward<U>(value);
        return entry.value;
    }

    // Removes `key`; returns whether it was present. Compacts the table when
    // its holes come to outnumber its entries.
    bool erase(const Uuid& key) noexcept {
        if (size_ == 0) return false;
        const Probe probe = probe_for(key);
        if (probe.position == kNoPosition) return false;
        index()[probe.slot] = tombstone();
        entries()[probe.position].~Entry();
        live_words()[probe.position / 64] &= ~(std::uint64_t{1} << (probe.position % 64));
        --size_;
        const std::uint32_t holes = used_ - size_;
        if (holes >= kMinHolesToCompact && holes > size_) compact();
        return true;
    }

    // Destroys every entry but keeps the storage, so refilling does not grow.
    void clear() noexcept {
        if (!block_) return;
        destroy_entries();
        std::memset(index(), 0, index_bytes(bits_));
        size_ = 0;
        used_ = 0;
    }

    // Makes room for `n` entries without a rebuild.
    void reserve(std::size_t n) { adopt(room_for(n)); }

    // ---- changes that must not half happen --------------------------------
    //
    // A change made of many insertions, which may run out of memory, first
    // makes the storage it needs while the table is untouched (room_for) and
    // then puts it in and inserts with calls that allocate nothing (adopt,
    // try_emplace_in_room). Appends can also be taken back (pop_back), and
    // adopt gives back the block it replaced, so such a change may instead
    // undo what it did.

    // Storage for the table, made but not yet in use; it frees its block
    // unless adopted.
    class Storage {
    public:
        Storage() noexcept = default;

        // Whether adopting it changes the table's storage.
        explicit operator bool() const noexcept { return block_ || block_.extent().compact; }

    private:
        friend class OrderedTable;
        struct Layout {
            std::uint8_t bits = 0;  // of the index
            bool compact = false;   // no block: closing the table's holes makes the room
        };
        // `block` (null, or from heap::allocate: index, live bits, entries,
        // none constructed) for an index of 2^bits slots.
        Storage(void* block, unsigned bits, bool compact) noexcept
            : block_(block, {static_cast<std::uint8_t>(bits), compact}) {}

        heap::Block<Layout> block_;
    };

    // The storage in which the table holds `n` entries without a rebuild,
    // those beyond the live ones appended: nothing when it has that room
    // already; the table compacted where it is, when closing its holes makes
    // the room; otherwise a new block. Allocates, and may throw
    // std::bad_alloc, but changes nothing.
    Storage room_for(std::size_t n) const {
        if (has_room_for(n)) return {};
        const unsigned bits = bits_for(n);
        if (block_ && bits <= bits_) return Storage(nullptr, bits_, true);
        return Storage(heap::allocate(block_bytes(bits)), bits, false);
    }

    // Whether `n` entries fit without a rebuild.
    bool has_room_for(std::size_t n) const noexcept { return n <= size_ || n - size_ <= capacity() - used_; }

    // Moves the live entries, in order and without holes, into `storage`
    // (made by room_for, or given back by an earlier adopt) and returns the
    // storage they leave: their old block with nothing in it, or nothing
    // when they stayed in their block. Allocates nothing.
    Storage adopt(Storage&& storage) noexcept {
        if (!storage.block_) {
            if (storage.block_.extent().compact) compact_in_place();
            storage.block_.extent().compact = false;
            return {};
        }
        OrderedTable next;
        next.bits_ = storage.block_.extent().bits;
        next.block_ = storage.block_.take();
        std::memset(next.index(), 0, index_bytes(next.bits_));
        Entry* to = next.entries();
        for (Entry& entry : *this) {
            ::new (static_cast<void*>(to)) Entry(std::move(entry));
            entry.~Entry();
            ++to;
        }
        next.size_ = next.used_ = size_;
        next.index_all();
        Storage old(std::exchange(block_, nullptr), bits_, false);
        size_ = used_ = 0;
        *this = std::move(next);
        return old;
    }

    // try_emplace in a table with room for the key (made by room_for and
    // adopt): allocates nothing.
    Inserted try_emplace_in_room(const Uuid& key, std::uint32_t hint = kNoPosition) noexcept {
        const Probe probe = locate(key, hint);
        if (probe.position != kNoPosition) return {entries()[probe.position].value, false, probe.position};
        V& value = append_in_room(key, probe);
        return {value, true, used_ - 1};
    }

    // Takes back the entry appended last, as if it had never come: its index
    // slot becomes empty again, not a tombstone, so taking appends back in
    // the reverse order of their making restores the table exactly. The
    // last position must hold a live entry.
    void pop_back() noexcept {
        const std::uint32_t position = used_ - 1;
        Entry& entry = entries()[position];
        std::uint32_t i = home(hash_of(entry.key), bits_);
        for (;;) {
            const std::uint32_t slot = index()[i];
            if (slot != kEmptySlot && !is_tombstone(slot) && position_in(slot) == position) break;
            i = (i + 1) & mask();
        }
        index()[i] = kEmptySlot;
        entry.~Entry();
        live_words()[position / 64] &= ~(std::uint64_t{1} << (position % 64));
        --used_;
        --size_;
    }

    // The entries a full table of `size` live ones makes room for when one
    // more comes: a quarter more, so that growth doubles a full table and
    // one with many holes is compacted where it is.
    static std::size_t grown_size(std::size_t size) noexcept {
        const std::size_t wanted = size + 1;
        return wanted + wanted / 4;
    }

    // Moves the entries, in order and without holes, into the smallest
    // storage for `n` entries (at least as many as the table holds) when the
    // table's own is more than twice as large; should memory run out, the
    // table stays where it is. Whether it moved.
    bool shrink_to(std::size_t n) noexcept {
        try {
            const unsigned fit = bits_for(n);
            if (fit + 1 >= bits_) return false;
            rebuild(fit);
            return true;
        } catch (const std::bad_alloc&) {
            return false;
        }
    }

    // Positions taken in the dense array, holes included: the position the
    // next appended entry takes. An entry keeps its position until the table
    // is rebuilt, compacted or has its last entry taken back.
    std::uint32_t positions() const noexcept { return used_; }
    // The entry at `position`, which must hold a live one.
    Entry& at_position(std::uint32_t position) noexcept { return entries()[position]; }
    const Entry& at_position(std::uint32_t position) const noexcept { return entries()[position]; }

    // ---- lookups by a hash computed ahead ----------------------------------

    // The hash the table files `key` under, for a caller that computes it
    // a few keys ahead to fetch the key's index slot early.
    static std::uint32_t hash_of(const Uuid& key) noexcept { return table_hash(key); }
    [[gnu::always_inline]] void prefetch_hash(std::uint32_t hash) const noexcept {
        if (block_) prefetch_line(index() + home(hash, bits_));
    }
    // try_emplace of a key whose hash_of is `hash`.
    Inserted try_emplace_hashed(const Uuid& key, std::uint32_t hash) { return emplace(key, probe_for(key, hash), [] {}); }

    iterator begin() noexcept { return {entries(), 0, used_, live_bits_if_holes()}; }
    iterator end() noexcept { return {entries(), used_, used_, nullptr}; }
    const_iterator begin() const noexcept { return {entries(), 0, used_, live_bits_if_holes()}; }
    const_iterator end() const noexcept { return {entries(), used_, used_, nullptr}; }

    // Asks the processor to start loading the index slot where the probe
    // for `key` begins.
    [[gnu::always_inline]] void prefetch_slot(const Uuid& key) const noexcept { prefetch_hash(hash_of(key)); }

    // Asks the processor to start loading the entry at `position`, if there
    // is one.
    [[gnu::always_inline]] void prefetch_entry(std::uint32_t position) const noexcept {
        if (position < used_) prefetch_line(entries() + position);
    }

    // The load limit: entries (holes included) per index slot.
    static constexpr std::size_t kLoadNumerator = 4;
    static constexpr std::size_t kLoadDenominator = 5;

    // Largest number of entries (holes included) a table whose index has
    // 2^bits slots holds: 4/5 of the slots, rounded down. Every index slot holds a tag of
    // the hash beside the position, so a probe passes over other keys'
    // slots without reading their entries, and the longer probe runs that
    // linear probing has at 4/5 cost little. Measured against 2/3 on 100,000
    // nodes: a lookup in the full table takes 3.5 ns longer (19.5 against 16
    // ns), while filling the table takes a fifth less time (64 against 80
    // ns a node: half the index to write and fault in) and a pending node
    // takes 38 bytes instead of 43.
    static constexpr std::size_t entry_capacity(unsigned bits) noexcept {
        return (std::size_t{1} << bits) * kLoadNumerator / kLoadDenominator;
    }

    // For tests: the index slot where the probe for `key` starts in a table
    // whose index has 2^bits slots, and the number of index bits this table
    // has now (0 before its first insertion).
    static std::size_t home_slot(const Uuid& key, unsigned bits) noexcept { return home(hash_of(key), bits); }
    unsigned index_bits() const noexcept { return bits_; }

private:
    static constexpr unsigned kMinBits = 3;   // 8 slots, 6 entries
    static constexpr unsigned kMaxBits = 31;  // positions and tags share 32 bits
    static constexpr std::uint32_t kMinHolesToCompact = 8;

    // An index slot is kEmptySlot, a tombstone, or an entry's: its low
    // `bits` bits hold the entry's position plus one, and its high bits hold
    // a tag, the hash bits just below those that pick the home slot. A
    // tombstone (left by a removal, so that probes go on past it) has all
    // position bits set, a value no position reaches (entry_capacity stays
    // below the slot count minus one), and no tag. These are dictobject.c's
    // DKIX_EMPTY, DKIX_DUMMY and index.
    static constexpr std::uint32_t kEmptySlot = 0;
    static_assert(kEmptySlot == 0, "an index is emptied with memset");
    std::uint32_t tombstone() const noexcept { return mask(); }
    std::uint32_t mask() const noexcept { return (std::uint32_t{1} << bits_) - 1; }
    bool is_tombstone(std::uint32_t slot) const noexcept { return (slot & mask()) == tombstone(); }
    bool has_tag(std::uint32_t slot, std::uint32_t tag) const noexcept { return (slot & ~mask()) == tag; }
    // The entry position an entry's slot holds.
    std::uint32_t position_in(std::uint32_t slot) const noexcept { return (slot & mask()) - 1; }

    // The home slot is the top `bits` of the table hash, the tag the rest.
    static std::uint32_t home(std::uint32_t hash, unsigned bits) noexcept { return hash >> (32 - bits); }
    static std::uint32_t tag_of(std::uint32_t hash, unsigned bits) noexcept { return hash << bits; }

    static std::size_t index_bytes(unsigned bits) noexcept { return sizeof(std::uint32_t) << bits; }
    static constexpr std::size_t live_word_count(unsigned bits) noexcept { return (entry_capacity(bits) + 63) / 64; }
    // Where the entries start in the block, looked up rather than worked out
    // on every probe.
    static std::size_t entries_offset(unsigned bits) noexcept { return kEntriesOffsets[bits]; }
    static constexpr auto kEntriesOffsets = [] {
        std::array<std::size_t, kMaxBits + 1> offsets{};
        for (unsigned bits = 0; bits <= kMaxBits; ++bits) {
            offsets[bits] = (sizeof(std::uint32_t) << bits) + live_word_count(bits) * sizeof(std::uint64_t);
        }
        return offsets;
    }();
    static std::size_t block_bytes(unsigned bits) noexcept {
        return entries_offset(bits) + entry_capacity(bits) * sizeof(Entry);
    }
    static_assert(alignof(Entry) <= alignof(std::uint64_t));

    std::uint32_t* index() const noexcept { return static_cast<std::uint32_t*>(block_); }
    std::uint64_t* live_words() const noexcept {
        return reinterpret_cast<std::uint64_t*>(static_cast<char*>(block_) + index_bytes(bits_));
    }
    Entry* entries() const noexcept {
        return block_ ? reinterpret_cast<Entry*>(static_cast<char*>(block_) + entries_offset(bits_)) : nullptr;
    }
    // The bits of the live positions for iteration to skip holes by, or null
    // when there are no holes to skip.
    const std::uint64_t* live_bits_if_holes() const noexcept { return used_ != size_ ? live_words() : nullptr; }
    // Whether `key` sits at position `hint`.
    bool at_hint(const Uuid& key, std::uint32_t hint) const noexcept {
        return hint < used_ && is_live(hint) && entries()[hint].key == key;
    }
    bool is_live(std::uint32_t position) const noexcept {
        return used_ == size_ || ((live_words()[position / 64] >> (position % 64)) & 1);
    }

    // Where `key` is, if present, and the slot its probe ended on.
    struct Probe {
        std::uint32_t position;  // kNoPosition when absent
        std::uint32_t slot;      // the key's slot, or the empty slot that ended the probe
        std::uint32_t hash;
    };
    Probe probe_for(const Uuid& key) const noexcept { return probe_for(key, hash_of(key)); }
    Probe probe_for(const Uuid& key, std::uint32_t hash) const noexcept {
        if (!block_) return {kNoPosition, 0, hash};
        const std::uint32_t m = mask();
        const std::uint32_t tag = tag_of(hash, bits_);
        const std::uint32_t* slots = index();
        const Entry* e = entries();
        std::uint32_t i = home(hash, bits_);
        for (;;) {
            const std::uint32_t slot = slots[i];
            if (slot == kEmptySlot) return {kNoPosition, i, hash};
            // The tag passes over nearly every other key without reading
            // its entry; a tombstone carries no entry to read.
            if (has_tag(slot, tag) && !is_tombstone(slot) && e[position_in(slot)].key == key) {
                return {position_in(slot), i, hash};
            }
            i = (i + 1) & m;
        }
    }

    // The first empty slot on the probe path of `hash`.
    std::uint32_t free_slot(std::uint32_t hash) const noexcept {
        const std::uint32_t m = mask();
        std::uint32_t i = home(hash, bits_);
        while (index()[i] != kEmptySlot) i = (i + 1) & m;
        return i;
    }

    // Whether appending one more entry needs new storage.
    bool needs_growth() const noexcept { return !block_ || used_ == entry_capacity(bits_); }
    // The storage the table moves to when it is full (see grown_size).
    Storage growth_storage() const {
        const unsigned bits = bits_for(grown_size(size_));
        if (block_ && bits == bits_) return Storage(nullptr, bits_, true);
        return Storage(heap::allocate(block_bytes(bits)), bits, false);
    }

    // Where `key` is: at `hint` when it sits there, else where its probe
    // finds it, or the empty slot that ends the probe.
    Probe locate(const Uuid& key, std::uint32_t hint) const noexcept {
        if (at_hint(key, hint)) return {hint, 0, 0};
        return probe_for(key);
    }

    // The entry of `key`, which `probe` found, or a new one appended where
    // the probe ended, the table grown first when it is full; prepare() runs
    // before the new entry goes in (see try_emplace_prepared).
    template <class Prepare>
    Inserted emplace(const Uuid& key, Probe probe, Prepare&& prepare) {
        if (probe.position != kNoPosition) return {entries()[probe.position].value, false, probe.position};
        if (needs_growth()) {
            probe.slot = grow(probe.hash, prepare);
        } else {
            prepare();
        }
        V& value = append_in_room(key, probe);
        return {value, true, used_ - 1};
    }
    // Moves a full table into larger storage, with prepare() run in
    // between; returns the slot where a key of `hash` now goes. Out of line:
    // it is rare, and inlined it would crowd the insertions' registers.
    template <class Prepare>
    [[gnu::noinline]] std::uint32_t grow(std::uint32_t hash, Prepare& prepare) {
        Storage storage = growth_storage();
        prepare();
        adopt(std::move(storage));
        return free_slot(hash);
    }
    V& append_in_room(const Uuid& key, Probe probe) noexcept {
        const std::uint32_t position = used_;
        Entry* entry = entries() + position;
        ::new (static_cast<void*>(entry)) Entry{key, V()};
        index()[probe.slot] = tag_of(probe.hash, bits_) | (position + 1);
        live_words()[position / 64] |= std::uint64_t{1} << (position % 64);
        ++used_;
        ++size_;
        return entry->value;
    }

    // The smallest index size whose table holds `n` entries.
    static unsigned bits_for(std::size_t n) {
        unsigned bits = kMinBits;
        while (entry_capacity(bits) < n) {
            if (bits >= kMaxBits) throw std::bad_alloc();
            ++bits;
        }
        return bits;
    }

    // Moves the live entries, in order and without holes, into storage whose
    // index has 2^new_bits slots (the same storage when the size does not
    // change) and indexes them afresh. A new block is allocated before
    // anything is touched, so a failed allocation leaves the table as it was.
    void rebuild(unsigned new_bits) {
        if (block_ && new_bits == bits_) {
            compact_in_place();
            return;
        }
        adopt(Storage(heap::allocate(block_bytes(new_bits)), new_bits, false));
    }

    void compact_in_place() noexcept {
        Entry* e = entries();
        std::uint32_t to = 0;
        for (std::uint32_t from = 0; from < used_; ++from) {
            if (!is_live(from)) continue;
            if (from != to) {
                ::new (static_cast<void*>(e + to)) Entry(std::move(e[from]));
                e[from].~Entry();
            }
            ++to;
        }
        used_ = size_;
        std::memset(index(), 0, index_bytes(bits_));
        index_all();
    }

    // Compacts a table whose holes outnumber its entries, into smaller
    // storage when the entries would fill less than a quarter of it. Should
    // that allocation fail, the table is compacted where it is.
    void compact() noexcept {
        const std::size_t wanted = std::size_t{size_} + size_ / 4 + 1;
        if (!shrink_to(wanted < kMinHolesToCompact ? kMinHolesToCompact : wanted)) compact_in_place();
    }

    // Sets the live bits of positions 0..used_-1 and enters each into the
    // (empty) index.
    void index_all() noexcept {
        std::uint64_t* words = live_words();
        const std::uint32_t full = used_ / 64;
        for (std::uint32_t w = 0; w < full; ++w) words[w] = ~std::uint64_t{0};
        if (used_ % 64) words[full] = (std::uint64_t{1} << (used_ % 64)) - 1;
        const Entry* e = entries();
        for (std::uint32_t p = 0; p < used_; ++p) {
            const std::uint32_t hash = hash_of(e[p].key);
            index()[free_slot(hash)] = tag_of(hash, bits_) | (p + 1);
        }
    }

    void destroy_entries() noexcept {
        if constexpr (!std::is_trivially_destructible_v<Entry>) {
            for (Entry& entry : *this) entry.~Entry();
        }
    }

    void release() noexcept {
        if (!block_) return;
        destroy_entries();
        heap::release(block_);
        block_ = nullptr;
        size_ = used_ = 0;
        bits_ = 0;
    }

    void* block_ = nullptr;   // index, live bits, entries
    std::uint32_t size_ = 0;  // live entries
    std::uint32_t used_ = 0;  // positions taken since the last rebuild, holes included
    std::uint8_t bits_ = 0;   // log2 of the index's slot count; 0 with no storage
};

}  // namespace quorl::diff
