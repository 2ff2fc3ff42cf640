// A compact open-addressing hash table keyed by Uuid.
//
// Linear probing over a power-of-two array of slots, one occupancy bit per
// slot, and backward-shift deletion (no tombstones). The layout is a pure
// function of the hash, which is fixed, and of the sequence of insertions and
// removals, so iteration order (slot order) is reproducible across processes
// and never depends on addresses or a per-process seed.
//
// One allocation holds the occupancy words followed by the slots; the table
// object itself is 16 bytes (slot pointer, size, mask), which keeps nested
// tables (source -> targets) small.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <new>
#include <type_traits>
#include <utility>

#include "diff/uuid.hpp"

namespace quorl::diff {

// The value type of a table used as a set.
struct NoValue {};

template <class V>
struct TableSlot {
    Uuid key;
    [[no_unique_address]] V value;
};

template <class V>
class FlatTable {
public:
    using Slot = TableSlot<V>;
    using mapped_type = V;

    FlatTable() noexcept = default;
    FlatTable(const FlatTable&) = delete;
    FlatTable& operator=(const FlatTable&) = delete;
    FlatTable(FlatTable&& other) noexcept
        : slots_(std::exchange(other.slots_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          mask_(std::exchange(other.mask_, 0)) {}
    FlatTable& operator=(FlatTable&& other) noexcept {
        if (this != &other) {
            release();
            slots_ = std::exchange(other.slots_, nullptr);
            size_ = std::exchange(other.size_, 0);
            mask_ = std::exchange(other.mask_, 0);
        }
        return *this;
    }
    ~FlatTable() { release(); }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::size_t capacity() const noexcept { return slots_ ? std::size_t{mask_} + 1 : 0; }

    V* find(const Uuid& key) noexcept {
        const std::size_t i = locate(key);
        return i == kNotFound ? nullptr : &slots_[i].value;
    }
    const V* find(const Uuid& key) const noexcept {
        const std::size_t i = locate(key);
        return i == kNotFound ? nullptr : &slots_[i].value;
    }
    bool contains(const Uuid& key) const noexcept { return locate(key) != kNotFound; }

    // Returns the value stored under `key`, inserting a default-constructed
    // one first if the key is absent; `inserted` tells which happened.
    struct Entry {
        V& value;
        bool inserted;
    };
    Entry try_emplace(const Uuid& key) {
        if (slots_) {
            std::size_t i = home(key);
            while (occupied(i)) {
                if (slots_[i].key == key) return {slots_[i].value, false};
                i = (i + 1) & mask_;
            }
            if (size_ < max_load(capacity())) return {fill(i, key), true};
        }
        grow_for(std::size_t{size_} + 1);
        return {fill(free_slot_for(key), key), true};
    }

    // Inserts or replaces the value under `key`.
    template <class U>
    V& insert_or_assign(const Uuid& key, U&& value) {
        Entry entry = try_emplace(key);
        entry.value = std::forward<U>(value);
        return entry.value;
    }

    // Removes `key`; returns whether it was present.
    bool erase(const Uuid& key) noexcept {
        std::size_t hole = locate(key);
        if (hole == kNotFound) return false;
        // Backward shift: pull later members of the probe run into the hole
        // unless their home position lies cyclically after the hole.
        std::size_t j = hole;
        for (;;) {
            j = (j + 1) & mask_;
            if (!occupied(j)) break;
            const std::size_t k = home(slots_[j].key);
            const bool stays = hole <= j ? (hole < k && k <= j) : (hole < k || k <= j);
            if (stays) continue;
            slots_[hole].key = slots_[j].key;
            slots_[hole].value = std::move(slots_[j].value);
            hole = j;
        }
        slots_[hole].value.~V();
        set_occupied(hole, false);
        --size_;
        return true;
    }

    // Destroys every entry but keeps the storage, so refilling does not grow.
    void clear() noexcept {
        if (!slots_) return;
        destroy_values();
        clear_words(words(), word_count(capacity()));
        size_ = 0;
    }

    // Makes room for `n` entries without further growth.
    void reserve(std::size_t n) {
        if (n > max_load(capacity())) grow_for(n);
    }

    template <bool Const>
    class Iter {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Slot;
        using difference_type = std::ptrdiff_t;
        using pointer = std::conditional_t<Const, const Slot*, Slot*>;
        using reference = std::conditional_t<Const, const Slot&, Slot&>;

        Iter() = default;
        reference operator*() const { return table_->slots_[index_]; }
        pointer operator->() const { return &table_->slots_[index_]; }
        Iter& operator++() {
            index_ = table_->next_occupied(index_ + 1);
            return *this;
        }
        Iter operator++(int) {
            Iter old = *this;
            ++*this;
            return old;
        }
        friend bool operator==(const Iter& a, const Iter& b) { return a.index_ == b.index_; }

    private:
        friend class FlatTable;
        using TablePtr = std::conditional_t<Const, const FlatTable*, FlatTable*>;
        Iter(TablePtr table, std::size_t index) : table_(table), index_(index) {}
        TablePtr table_ = nullptr;
        std::size_t index_ = 0;
    };
    using iterator = Iter<false>;
    using const_iterator = Iter<true>;

    iterator begin() noexcept { return {this, next_occupied(0)}; }
    iterator end() noexcept { return {this, capacity()}; }
    const_iterator begin() const noexcept { return {this, next_occupied(0)}; }
    const_iterator end() const noexcept { return {this, capacity()}; }

    // Asks the processor to start loading the start of the table's storage
    // (its occupancy words and first slots) ahead of a visit to it.
    void prefetch() const noexcept {
        if (slots_) __builtin_prefetch(words());
    }

    // Largest number of entries a table of `capacity` slots holds (4/5).
    static constexpr std::size_t max_load(std::size_t capacity) noexcept { return capacity / 5 * 4 + capacity % 5 * 4 / 5; }

private:
    static constexpr std::size_t kNotFound = ~std::size_t{0};
    // Odd multipliers, one per table size (2^1 to 2^31 slots), fixed so
    // that layouts are the same in every process.
    static constexpr std::array<std::uint64_t, 32> kSizeMultipliers = [] {
        std::array<std::uint64_t, 32> table{};
        for (std::uint64_t i = 0; i < table.size(); ++i) table[i] = mix64(0x9e3779b97f4a7c15ULL * (i + 1)) | 1;
        return table;
    }();
    static constexpr std::size_t kMinCapacity = 2;
    static constexpr std::size_t kMaxCapacity = std::size_t{1} << 31;

    static std::size_t word_count(std::size_t capacity) noexcept { return (capacity + 63) / 64; }
    std::uint64_t* words() const noexcept {
        return reinterpret_cast<std::uint64_t*>(slots_) - word_count(capacity());
    }
    bool occupied(std::size_t i) const noexcept { return (words()[i / 64] >> (i % 64)) & 1; }
    void set_occupied(std::size_t i, bool on) noexcept {
        const std::uint64_t bit = std::uint64_t{1} << (i % 64);
        if (on) {
            words()[i / 64] |= bit;
        } else {
            words()[i / 64] &= ~bit;
        }
    }
    // The home slot: the top bits of the hash times a multiplier chosen by
    // the table's size. Tables of different sizes thus order keys unlike one
    // another, so copying one table's entries into a smaller, growing one in
    // iteration order does not pile them up at one end.
    std::size_t home(const Uuid& key) const noexcept {
        const unsigned bits = static_cast<unsigned>(__builtin_ctzll(std::uint64_t{mask_} + 1));
        return static_cast<std::size_t>((hash_uuid(key) * kSizeMultipliers[bits]) >> (64 - bits));
    }

    std::size_t next_occupied(std::size_t i) const noexcept {
        const std::size_t cap = capacity();
        if (i >= cap) return cap;
        const std::uint64_t* w = words();
        std::size_t word = i / 64;
        std::uint64_t bits = w[word] & (~std::uint64_t{0} << (i % 64));
        const std::size_t last = word_count(cap);
        while (bits == 0) {
            if (++word == last) return cap;
            bits = w[word];
        }
        const std::size_t found = word * 64 + static_cast<std::size_t>(__builtin_ctzll(bits));
        return found < cap ? found : cap;
    }

    std::size_t locate(const Uuid& key) const noexcept {
        if (size_ == 0) return kNotFound;
        std::size_t i = home(key);
        while (occupied(i)) {
            if (slots_[i].key == key) return i;
            i = (i + 1) & mask_;
        }
        return kNotFound;
    }

    // The first free slot on the probe path of a key known to be absent.
    std::size_t free_slot_for(const Uuid& key) const noexcept {
        std::size_t i = home(key);
        while (occupied(i)) i = (i + 1) & mask_;
        return i;
    }

    V& fill(std::size_t i, const Uuid& key) {
        Slot* slot = &slots_[i];
        slot->key = key;
        ::new (static_cast<void*>(&slot->value)) V();
        set_occupied(i, true);
        ++size_;
        return slot->value;
    }

    // Rehashes into the smallest power-of-two capacity that holds `n`. The
    // new storage is allocated before the old is touched, so a failed
    // allocation leaves the table as it was.
    void grow_for(std::size_t n) {
        std::size_t cap = kMinCapacity;
        while (max_load(cap) < n) {
            if (cap >= kMaxCapacity) throw std::bad_alloc();
            cap *= 2;
        }
        const std::size_t nwords = word_count(cap);
        void* mem = ::operator new(nwords * sizeof(std::uint64_t) + cap * sizeof(Slot));
        auto* new_words = static_cast<std::uint64_t*>(mem);
        clear_words(new_words, nwords);
        FlatTable fresh;
        fresh.slots_ = reinterpret_cast<Slot*>(new_words + nwords);
        fresh.mask_ = static_cast<std::uint32_t>(cap - 1);
        for (Slot& slot : *this) {
            const std::size_t i = fresh.free_slot_for(slot.key);
            fresh.slots_[i].key = slot.key;
            ::new (static_cast<void*>(&fresh.slots_[i].value)) V(std::move(slot.value));
            fresh.set_occupied(i, true);
            ++fresh.size_;
        }
        *this = std::move(fresh);
    }

    // Most tables have at most 64 slots: their one word is cleared by a
    // store rather than a library call.
    static void clear_words(std::uint64_t* w, std::size_t n) noexcept {
        if (n == 1) {
            w[0] = 0;
        } else {
            std::fill(w, w + n, std::uint64_t{0});
        }
    }

    void destroy_values() noexcept {
        if constexpr (!std::is_trivially_destructible_v<V>) {
            for (Slot& slot : *this) slot.value.~V();
        }
    }

    // Gives the storage back without clearing it first.
    void release() noexcept {
        if (!slots_) return;
        destroy_values();
        ::operator delete(static_cast<void*>(words()));
        slots_ = nullptr;
        size_ = 0;
        mask_ = 0;
    }

    Slot* slots_ = nullptr;
    std::uint32_t size_ = 0;
    std::uint32_t mask_ = 0;
};

template <class V>
using FlatMap = FlatTable<V>;
using FlatSet = FlatTable<NoValue>;

}  // namespace quorl::diff
