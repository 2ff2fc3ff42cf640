// The entries of the store's tables and the iterator over a dense array of
// them, shared by OrderedTable (ordered_table.hpp) and SmallTable
// (small_table.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>

#include "diff/uuid.hpp"

namespace quorl::diff {

// The value type of a table used as a set.
struct NoValue {};

template <class V>
struct TableEntry {
    Uuid key;
    [[no_unique_address]] V value;
};

// Visits a dense array of entries in order. `live` is the table's bitmap of
// occupied positions, or null when the array has no holes.
template <class Entry>
class EntryIterator {
public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::remove_const_t<Entry>;
    using difference_type = std::ptrdiff_t;
    using pointer = Entry*;
    using reference = Entry&;

    EntryIterator() = default;
    EntryIterator(Entry* entries, std::uint32_t position, std::uint32_t end, const std::uint64_t* live) noexcept
        : entries_(entries), position_(position), end_(end), live_(live) {
        skip_holes();
    }

    reference operator*() const noexcept { return entries_[position_]; }
    pointer operator->() const noexcept { return entries_ + position_; }
    EntryIterator& operator++() noexcept {
        ++position_;
        skip_holes();
        return *this;
    }
    EntryIterator operator++(int) noexcept {
        EntryIterator old = *this;
        ++*this;
        return old;
    }
    // Iterators of one table compare by position.
    friend bool operator==(const EntryIterator& a, const EntryIterator& b) noexcept {
        return a.position_ == b.position_;
    }

private:
    void skip_holes() noexcept {
        if (!live_) return;
        while (position_ < end_ && !((live_[position_ / 64] >> (position_ % 64)) & 1)) ++position_;
    }

    Entry* entries_ = nullptr;
    std::uint32_t position_ = 0;
    std::uint32_t end_ = 0;
    const std::uint64_t* live_ = nullptr;
};

}  // namespace quorl::diff
