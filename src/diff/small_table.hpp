// The targets of one source: an insertion-ordered table built for the many
// sources that have few targets.
//
// Up to one entry lives inside the 24-byte object itself, so a source with a
// single target needs no allocation of its own. Up to kArrayMax entries live
// in one heap array, searched linearly and kept in order by closing the gap
// a removal leaves. Beyond that the targets move into an OrderedTable, which
// has an index. Values are plain data (a weight, or nothing for a set), so
// entries are moved with memcpy and the array grows with realloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "diff/heap.hpp"
#include "diff/heap_bytes.hpp"
#include "diff/ordered_table.hpp"
#include "diff/prefetch.hpp"
#include "diff/uuid.hpp"

namespace quorl::diff {

template <class V>
class SmallTable {
public:
    // The indexed table the targets move into; its entries and iterators are
    // this table's.
    using Big = OrderedTable<V>;
    using Entry = typename Big::Entry;
    using mapped_type = V;
    using iterator = typename Big::iterator;
    using const_iterator = typename Big::const_iterator;

    static_assert(std::is_trivially_copyable_v<V>, "entries are moved with memcpy");
    static constexpr std::size_t kInlineBytes = 20;
    static_assert(sizeof(Entry) <= kInlineBytes, "one entry fits inside the object");

    // Entries kept in a plain array before the table gets an index.
    static constexpr std::uint32_t kArrayMax = 16;

    SmallTable() noexcept = default;
    SmallTable(const SmallTable&) = delete;
    SmallTable& operator=(const SmallTable&) = delete;
    SmallTable(SmallTable&& other) noexcept : meta_(std::exchange(other.meta_, 0)) {
        std::memcpy(raw_, other.raw_, sizeof raw_);
    }
    SmallTable& operator=(SmallTable&& other) noexcept {
        if (this != &other) {
            release();
            std::memcpy(raw_, other.raw_, sizeof raw_);
            meta_ = std::exchange(other.meta_, 0);
        }
        return *this;
    }
    ~SmallTable() { release(); }

    std::size_t size() const noexcept { return mode() == kBig ? big()->size() : count(); }
    bool empty() const noexcept { return size() == 0; }

    V* find(const Uuid& key) noexcept { return const_cast<V*>(std::as_const(*this).find(key)); }
    const V* find(const Uuid& key) const noexcept {
        if (mode() == kBig) return big()->find(key);
        const Entry* e = data();
        const std::uint32_t i = scan(e, count(), key);
        return i == count() ? nullptr : &e[i].value;
    }
    bool contains(const Uuid& key) const noexcept { return find(key) != nullptr; }

    // The changes below come in two forms: the plain one, and one that also
    // adds to `heap` what the change makes heap_bytes() gain or lose
    // (unsigned arithmetic: a loss wraps around to a subtraction), for an
    // owner that keeps a running figure. Storage changes only where a table
    // grows, moves to an index, or (with an index) shrinks, so the figure
    // costs nothing on the common paths.

    // The value stored under `key`, appending a default-constructed one first
    // if the key is absent; `inserted` tells which happened.
    struct Inserted {
        V& value;
        bool inserted;
    };
    Inserted try_emplace(const Uuid& key) {
        std::size_t ignored = 0;
        return try_emplace(key, ignored);
    }
    Inserted try_emplace(const Uuid& key, std::size_t& heap) {
        if (mode() == kBig) {
            const HeapChange counted(heap, *this);
            return in_big(key);
        }
        Entry* e = data();
        const std::uint32_t n = count();
        const std::uint32_t i = scan(e, n, key);
        if (i < n) return {e[i].value, false};
        if (n == capacity()) {
            const HeapChange counted(heap, *this);
            if (n == kArrayMax) {
                to_big();
                return in_big(key);
            }
            grow(n + 1);
            e = data();
        }
        ::new (static_cast<void*>(e + n)) Entry{key, V()};
        meta_ = mode() | (n + 1);
        return {e[n].value, true};
    }

    template <class U>
    V& insert_or_assign(const Uuid& key, U&& value) {
        std::size_t ignored = 0;
        return insert_or_assign(key, std::forward<U>(value), ignored);
    }
    template <class U>
    V& insert_or_assign(const Uuid& key, U&& value, std::size_t& heap) {
        Inserted entry = try_emplace(key, heap);
        entry.value = std::forward<U>(value);
        return entry.value;
    }

    // Removes `key`, keeping the others in order; returns whether it was
    // present.
    bool erase(const Uuid& key) noexcept {
        if (mode() == kBig) return big()->erase(key);
        return erase_unindexed(key);
    }
    bool erase(const Uuid& key, std::size_t& heap) noexcept {
        if (mode() == kBig) return erase_indexed(key, heap);
        return erase_unindexed(key);
    }

    // Makes room for `n` entries without further growth.
    void reserve(std::size_t n) {
        if (mode() == kBig) {
            big()->reserve(n);
        } else if (n > kArrayMax) {
            to_big().reserve(n);
        } else if (n > capacity()) {
            grow(static_cast<std::uint32_t>(n));
        }
    }

private:
    // An indexed table in a block of the store's, freed with it.
    struct BigDeleter {
        void operator()(Big* table) const noexcept { heap::destroy(table); }
    };
    using BigPtr = std::unique_ptr<Big, BigDeleter>;

public:
    // ---- changes that must not half happen (see OrderedTable) -------------

    // Storage for the table, made but not yet in use: a larger array, or an
    // indexed table with room; it frees itself unless adopted.
    class Room {
    public:
        Room() noexcept = default;

    private:
        friend class SmallTable;
        heap::Block<std::uint32_t> array_;  // room for `extent` entries
        BigPtr big_;
    };

    // The storage in which the table holds `n` entries: nothing when it has
    // room for them, an array when they fit one, else an indexed table.
    // Allocates, and may throw std::bad_alloc, but changes nothing.
    Room room_for(std::size_t n) const {
        if (mode() == kBig ? big()->has_room_for(n) : n <= capacity()) return {};
        if (mode() != kBig && n <= kArrayMax) {
            const std::uint32_t fitted = fitted_capacity(static_cast<std::uint32_t>(n));
            Room room;
            room.array_ = heap::Block<std::uint32_t>::allocate(fitted * sizeof(Entry), fitted);
            return room;
        }
        Room room;
        room.big_.reset(heap::make<Big>());
        room.big_->reserve(n);
        return room;
    }

    // The storage in which the table holds its entries together with the
    // keys key_at(k) for k < count, some of which it may hold already and
    // some of which may repeat. Counted one by one (with `scratch`, emptied
    // first, for the distinct new keys) where the count decides whether the
    // table needs an index or how large that must be; otherwise bounded from
    // above, at the cost of a place or two unused in an array when keys
    // repeat. Allocates, and may throw std::bad_alloc, but changes nothing.
    template <class KeyAt>
    Room room_for_keys(std::size_t count, KeyAt key_at, OrderedTable<NoValue>& scratch) const {
        if (mode() != kBig) {
            std::size_t bound = size() + count;
            if (!empty()) {
                bound = size();
                for (std::size_t k = 0; k < count; ++k) bound += !contains(key_at(k));
            }
            if (bound <= kArrayMax) return room_for(bound);
        }
        scratch.clear();
        for (std::size_t k = 0; k < count; ++k) {
            const Uuid& key = key_at(k);
            if (!contains(key)) scratch.try_emplace(key);
        }
        return room_for(size() + scratch.size());
    }

    // Moves the entries, in order, into `room` (made by room_for). Allocates
    // nothing; adds the change in heap_bytes() to `heap`.
    void adopt(Room&& room, std::size_t& heap) noexcept {
        if (!room.array_ && !room.big_) return;
        const HeapChange counted(heap, *this);
        if (room.array_) {
            const std::uint32_t capacity = room.array_.extent();
            auto* array = static_cast<Entry*>(room.array_.take());
            std::memcpy(static_cast<void*>(array), data(), count() * sizeof(Entry));
            if (mode() == kArray) heap::release(heap_data());
            set_heap(array, capacity);
            meta_ = kArray | count();
            return;
        }
        Big* table = room.big_.release();
        for (const Entry& entry : *this) table->try_emplace_in_room(entry.key).value = entry.value;
        release();
        std::memcpy(raw_, &table, sizeof table);
        meta_ = kBig;
    }

    // insert_or_assign in a table with room for the key (made by room_for
    // and adopt): allocates nothing.
    void assign_in_room(const Uuid& key, const V& value) noexcept {
        if (mode() == kBig) {
            big()->try_emplace_in_room(key).value = value;
            return;
        }
        Entry* e = data();
        const std::uint32_t n = count();
        const std::uint32_t i = scan(e, n, key);
        if (i == n) {
            ::new (static_cast<void*>(e + n)) Entry{key, value};
            meta_ = mode() | (n + 1);
        } else {
            e[i].value = value;
        }
    }

    // Bytes the table takes from the heap, as the allocator hands them out:
    // nothing inline, the array, or the indexed table's object and block.
    std::size_t heap_bytes() const noexcept {
        if (mode() == kInline) return 0;
        if (mode() == kArray) return allocated_bytes(heap_capacity() * sizeof(Entry));
        return allocated_bytes(sizeof(Big)) + allocated_bytes(big()->block_bytes());
    }

    iterator begin() noexcept {
        return mode() == kBig ? big()->begin() : iterator(data(), 0, count(), nullptr);
    }
    iterator end() noexcept { return mode() == kBig ? big()->end() : iterator(data(), count(), count(), nullptr); }
    const_iterator begin() const noexcept {
        return mode() == kBig ? std::as_const(*big()).begin() : const_iterator(data(), 0, count(), nullptr);
    }
    const_iterator end() const noexcept {
        return mode() == kBig ? std::as_const(*big()).end() : const_iterator(data(), count(), count(), nullptr);
    }

    // Asks the processor to start loading the array of entries, which a
    // lookup reads from its start. An indexed table is probed where the
    // key's hash says, which no line fetched ahead of the key serves.
    [[gnu::always_inline]] void prefetch() const noexcept {
        if (mode() == kArray) prefetch_line(heap_data());
    }

private:
    // meta_: the mode in the top two bits; in the inline and array modes the
    // entry count in the rest.
    static constexpr std::uint32_t kInline = 0;
    static constexpr std::uint32_t kArray = 1u << 30;
    static constexpr std::uint32_t kBig = 2u << 30;
    static constexpr std::uint32_t kModeMask = 3u << 30;

    std::uint32_t mode() const noexcept { return meta_ & kModeMask; }
    std::uint32_t count() const noexcept { return meta_ & ~kModeMask; }

    bool erase_unindexed(const Uuid& key) noexcept {
        Entry* e = data();
        const std::uint32_t n = count();
        const std::uint32_t i = scan(e, n, key);
        if (i == n) return false;
        std::memmove(static_cast<void*>(e + i), e + i + 1, (n - i - 1) * sizeof(Entry));
        meta_ = mode() | (n - 1);
        return true;
    }

    Inserted in_big(const Uuid& key) {
        auto entry = big()->try_emplace(key);
        return {entry.value, entry.inserted};
    }

    // Out of line: a visit of every source (delete_node) erases from each,
    // and nearly all of them have no index.
    [[gnu::noinline]] bool erase_indexed(const Uuid& key, std::size_t& heap) noexcept {
        const HeapChange counted(heap, *this);
        return big()->erase(key);
    }

    // Array mode keeps the array's address and capacity in raw_; big mode
    // the table's address. raw_ is a plain byte array, read and written
    // through memcpy, because it holds an entry in inline mode and a pointer
    // in the others: a union of an Entry with a pointer would be aligned to
    // 8 and grow the object from 24 bytes to 32 (see the static_assert at
    // the end), while alignas(4) keeps the inline entry's float weight
    // aligned. The memcpy calls compile to plain loads and stores.
    Entry* heap_data() const noexcept {
        Entry* p;
        std::memcpy(&p, raw_, sizeof p);
        return p;
    }
    std::uint32_t heap_capacity() const noexcept {
        std::uint32_t c;
        std::memcpy(&c, raw_ + sizeof(Entry*), sizeof c);
        return c;
    }
    void set_heap(Entry* p, std::uint32_t capacity) noexcept {
        std::memcpy(raw_, &p, sizeof p);
        std::memcpy(raw_ + sizeof p, &capacity, sizeof capacity);
    }
    Big* big() const noexcept {
        Big* t;
        std::memcpy(&t, raw_, sizeof t);
        return t;
    }

    Entry* data() noexcept { return mode() == kInline ? reinterpret_cast<Entry*>(raw_) : heap_data(); }
    const Entry* data() const noexcept {
        return mode() == kInline ? reinterpret_cast<const Entry*>(raw_) : heap_data();
    }
    std::uint32_t capacity() const noexcept { return mode() == kInline ? 1 : heap_capacity(); }

    static std::uint32_t scan(const Entry* e, std::uint32_t n, const Uuid& key) noexcept {
        std::uint32_t i = 0;
        while (i < n && !(e[i].key == key)) ++i;
        return i;
    }

    // The capacity for at least `n` entries, rounded up to fill the
    // allocator's block, at most kArrayMax.
    static std::uint32_t fitted_capacity(std::uint32_t n) noexcept {
        const auto fitted = static_cast<std::uint32_t>(usable_bytes(n * sizeof(Entry)) / sizeof(Entry));
        return fitted < kArrayMax ? fitted : kArrayMax;
    }

    // Moves the entries into an array with room for at least `n` (at most
    // kArrayMax): doubling up to 8 entries, then growing by a quarter at a
    // time, since most sources stop at a few targets and a tight array is
    // what keeps an edge small.
    void grow(std::uint32_t n) {
        const std::uint32_t old_capacity = capacity();
        std::uint32_t wanted = old_capacity < 8 ? 2 * old_capacity : old_capacity + old_capacity / 4;
        if (wanted < n) wanted = n;
        const std::uint32_t new_capacity = fitted_capacity(wanted);
        // A new block and a copy rather than realloc: blocks this small come
        // from the allocator's per-thread cache, which realloc bypasses.
        void* p = heap::allocate(new_capacity * sizeof(Entry));
        std::memcpy(p, data(), count() * sizeof(Entry));
        if (mode() == kArray) heap::release(heap_data());
        set_heap(static_cast<Entry*>(p), new_capacity);
        meta_ = kArray | count();
    }

    // Moves the entries into an indexed table, in order. The table is made
    // whole (with room for every entry) before the entries move, so a failed
    // allocation leaves this table as it was.
    Big& to_big() {
        BigPtr table(heap::make<Big>());
        table->reserve(2 * kArrayMax);
        const Entry* e = data();
        for (std::uint32_t i = 0; i < count(); ++i) table->try_emplace_in_room(e[i].key).value = e[i].value;
        if (mode() == kArray) heap::release(heap_data());
        Big* owned = table.release();
        std::memcpy(raw_, &owned, sizeof owned);
        meta_ = kBig;
        return *owned;
    }

    void release() noexcept {
        if (mode() == kArray) {
            heap::release(heap_data());
        } else if (mode() == kBig) {
            heap::destroy(big());
        }
        meta_ = 0;
    }

    alignas(4) unsigned char raw_[kInlineBytes];
    std::uint32_t meta_ = 0;
};

// A source's entry in an edge collection is its identifier and this object:
// 40 bytes, with room inside for a single target.
static_assert(sizeof(SmallTable<float>) == 24 && sizeof(SmallTable<NoValue>) == 24);
static_assert(sizeof(TableEntry<SmallTable<float>>) == 40);

}  // namespace quorl::diff
