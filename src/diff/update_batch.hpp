// Node updates on their way into a diff in bulk (GraphDiff::add_nodes).
//
// Each item has its scalars (which attributes it has, and the values of those
// that are not texts); the texts of all items lie in one stream per text
// attribute, item after item, each written as the diff's arena writes a text
// (TextArena). A text is copied into its stream once, while the object it
// came from is at hand, and the diff takes whole runs of the streams over
// without looking at each text again.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <string_view>
#include <utility>

#include "diff/heap.hpp"
#include "diff/node_update.hpp"
#include "diff/text_arena.hpp"

namespace quorl::diff {

// A run of bytes that grows at its end.
class ByteStream {
public:
    std::size_t size() const noexcept { return block_.extent().size; }
    const char* data() const noexcept { return block_.data<char>(); }
    std::string_view view() const noexcept { return {data(), size()}; }

    // Room for `n` more bytes at the end, to be written and then taken with
    // grow(); throws std::bad_alloc.
    char* room(std::size_t n) {
        const Fill& fill = block_.extent();
        if (n > fill.capacity - fill.size) expand(n);
        return block_.data<char>() + block_.extent().size;
    }
    void grow(std::size_t n) noexcept { block_.extent().size += n; }

    // Appends `text` as the arena writes it.
    void append_text(std::string_view text) {
        char* out = room(static_cast<std::size_t>(TextArena::text_bytes(text.size())));
        grow(static_cast<std::size_t>(TextArena::write_text(out, text) - out));
    }

private:
    struct Fill {
        std::size_t size = 0;
        std::size_t capacity = 0;
    };

    void expand(std::size_t n) {
        Fill& fill = block_.extent();
        if (n > static_cast<std::size_t>(-1) / 4 - fill.size) throw std::bad_alloc();
        std::size_t capacity = fill.capacity + fill.capacity / 2;
        if (capacity < fill.size + n) capacity = fill.size + n;
        if (capacity < 64) capacity = 64;
        block_.resize(capacity);
        fill.capacity = capacity;
    }

    heap::Block<Fill> block_;
};

class UpdateBatch {
public:
    UpdateBatch() noexcept = default;
    // `n` items without attributes.
    explicit UpdateBatch(std::size_t n) : items_(n) {}

    std::size_t size() const noexcept { return items_.size(); }
    std::span<const NodeScalars> items() const noexcept { return items_; }
    const NodeScalars& scalars(std::size_t i) const noexcept { return items_[i]; }

    // Makes attribute A of item i present with `value`. A text goes to the
    // end of its stream: the texts of one attribute are set in the order of
    // the items, each item's once.
    template <Attribute A>
    void set(std::size_t i, AttributeValue<A> value) {
        if constexpr (kKindOf<A> == AttributeKind::Text) {
            streams_[index_in_kind(A)].append_text(value);
            items_[i].set_text_bits(items_[i].text_bits() | NodeScalars::bit(A));
        } else {
            items_[i].set<A>(value);
        }
    }

    // Appends an item with the attributes of `update`.
    void push_back(const NodeUpdateView& update) {
        items_.push_back(update.scalars());
        for (int t = 0; t < kTextCount; ++t) {
            if (update.scalars().has(text_attribute(t))) streams_[t].append_text(update.text(t));
        }
    }
    void reserve(std::size_t n) { items_.reserve(n); }

    // The texts of attribute of place `index` among the texts, item after item.
    std::string_view stream(int index) const noexcept { return streams_[index].view(); }

private:
    heap::Vector<NodeScalars> items_;
    std::array<ByteStream, kTextCount> streams_;
};

}  // namespace quorl::diff
