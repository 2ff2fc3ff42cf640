// The optional display attributes of a node, in the forms an update
// takes on its way into a diff, and the rule by which a newer update is
// merged into a stored one.
//
// NodeScalars holds what every form holds inline: which attributes are
// present, and the values of those that are not texts. A NodeUpdate owns its
// texts; a NodeUpdateView only views them (in a Python string, a byte
// string being read, or a NodeUpdate), for the time of one call. What a diff
// stores is a third form, of its own (node_map.hpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <type_traits>

#include "diff/heap_bytes.hpp"
#include "diff/node_attributes.hpp"

namespace quorl::diff {

// The text attribute of place `index` among the texts, in declared order.
constexpr Attribute text_attribute(int index) noexcept {
    for (const AttributeRow& row : kAttributes) {
        if (row.kind == AttributeKind::Text && index-- == 0) return row.attribute;
    }
    return kLabel;
}

// Presence of every attribute and the values of the scalar ones, aligned to
// a byte, so that a stored record packs tightly. Each kind of scalar has an
// array of its own, indexed by an attribute's place among those of its kind.
class NodeScalars {
public:
    // The presence bits: one per attribute, at its place in declared order,
    // and above them one per boolean for its value; as many bytes as they
    // take.
    static constexpr int kPresenceBitCount = kAttributeCount + count_of_kind(AttributeKind::Bool);
    static_assert(kPresenceBitCount <= 32, "more presence bits than Bits holds: widen Bits");
    using Bits = std::conditional_t<kPresenceBitCount <= 8, std::uint8_t,
                                    std::conditional_t<kPresenceBitCount <= 16, std::uint16_t, std::uint32_t>>;

    // bit(A) tells whether attribute A is present.
    static constexpr Bits bit(Attribute a) noexcept { return static_cast<Bits>(1u << a); }
    // The presence bits of the text attributes.
    static constexpr Bits kTextBits = [] {
        unsigned bits = 0;
        for (const AttributeRow& row : kAttributes) {
            if (row.kind == AttributeKind::Text) bits |= 1u << row.attribute;
        }
        return static_cast<Bits>(bits);
    }();

    bool has(Attribute a) const noexcept { return (present() & bit(a)) != 0; }

    // Attribute A's value, if present; A is not a text.
    template <Attribute A>
    std::optional<AttributeValue<A>> get() const noexcept {
        static_assert(kKindOf<A> != AttributeKind::Text, "texts live outside the scalars");
        if (!has(A)) return std::nullopt;
        if constexpr (kKindOf<A> == AttributeKind::Bool) {
            return (present() & truth_bit(A)) != 0;
        } else if constexpr (kKindOf<A> == AttributeKind::Float) {
            float value;
            std::memcpy(&value, floats_[index_in_kind(A)], sizeof value);
            return value;
        } else {
            return bytes_[index_in_kind(A)];
        }
    }

    // Makes attribute A present with `value`; A is not a text.
    template <Attribute A>
    void set(AttributeValue<A> value) noexcept {
        static_assert(kKindOf<A> != AttributeKind::Text, "texts live outside the scalars");
        if constexpr (kKindOf<A> == AttributeKind::Bool) {
            set_present((present() & ~truth_bit(A)) | bit(A) | (value ? truth_bit(A) : 0));
        } else if constexpr (kKindOf<A> == AttributeKind::Float) {
            std::memcpy(floats_[index_in_kind(A)], &value, sizeof value);
            set_present(present() | bit(A));
        } else {
            bytes_[index_in_kind(A)] = value;
            set_present(present() | bit(A));
        }
    }

    // Which texts are present (a subset of kTextBits).
    Bits text_bits() const noexcept { return present() & kTextBits; }
    void set_text_bits(Bits bits) noexcept { set_present((present() & ~kTextBits) | (bits & kTextBits)); }

    // Each scalar attribute present in `newer` replaces this one's, and the
    // texts present in `newer` become present here (their values are the
    // caller's to merge).
    void merge(const NodeScalars& newer) noexcept {
        for_each_attribute([&](auto a) {
            if constexpr (kKindOf<a> != AttributeKind::Text) {
                if (auto value = newer.get<a>()) set<a>(*value);
            }
        });
        set_present(present() | newer.text_bits());
    }

    // Number of attributes present.
    int present_count() const noexcept {
        // A bit count in steps; std::popcount becomes a library call on
        // processors the build cannot assume have the instruction.
        unsigned x = present() & kPresenceBits;
        x -= (x >> 1) & 0x55555555u;
        x = (x & 0x33333333u) + ((x >> 2) & 0x33333333u);
        x = (x + (x >> 4)) & 0x0F0F0F0Fu;
        if constexpr (sizeof(Bits) == 1) return static_cast<int>(x);
        return static_cast<int>((x * 0x01010101u) >> 24);
    }

    // The same attributes present, with the same scalar values (a float by
    // its bits: NaN equals itself, -0 differs from 0).
    friend bool operator==(const NodeScalars& a, const NodeScalars& b) noexcept {
        bool equal = (a.present() & kPresenceBits) == (b.present() & kPresenceBits);
        for_each_attribute([&](auto attribute) {
            if constexpr (kKindOf<attribute> != AttributeKind::Text) {
                const auto x = a.get<attribute>();
                const auto y = b.get<attribute>();
                if constexpr (kKindOf<attribute> == AttributeKind::Float) {
                    equal = equal && (!x || std::memcmp(&*x, &*y, sizeof(float)) == 0);
                } else {
                    equal = equal && x == y;
                }
            }
        });
        return equal;
    }

private:
    // Above the presence bits, one bit for the value of each boolean.
    static constexpr Bits truth_bit(Attribute a) noexcept {
        return static_cast<Bits>(1u << (kAttributeCount + index_in_kind(a)));
    }
    static constexpr Bits kPresenceBits = static_cast<Bits>((1u << kAttributeCount) - 1);

    Bits present() const noexcept {
        Bits bits;
        std::memcpy(&bits, present_, sizeof bits);
        return bits;
    }
    void set_present(unsigned bits) noexcept {
        const auto narrowed = static_cast<Bits>(bits);
        std::memcpy(present_, &narrowed, sizeof narrowed);
    }

    // Bytes, read and written with memcpy, so that the object stays aligned
    // to a byte whatever the width of Bits.
    std::uint8_t present_[sizeof(Bits)] = {};
    std::uint8_t bytes_[count_of_kind(AttributeKind::Byte)] = {};
    std::uint8_t floats_[count_of_kind(AttributeKind::Float)][sizeof(float)] = {};
};
static_assert(alignof(NodeScalars) == 1 &&
                  sizeof(NodeScalars) == sizeof(NodeScalars::Bits) + count_of_kind(AttributeKind::Byte) +
                                             count_of_kind(AttributeKind::Float) * sizeof(float),
              "the scalars pack without padding");
static_assert(sizeof(NodeScalars) == 8,
              "the scalars of the seven attributes take 8 bytes: a new attribute makes every update, pending "
              "node and batch item larger (see node_attributes.hpp); say here how large they are now");

// Calls visit(t) for the place t among the texts of each text attribute
// present as `bits` (presence bits, see NodeScalars::text_bits) say, in
// declared order.
template <class Visit>
[[gnu::always_inline]] inline void for_each_text(NodeScalars::Bits bits, Visit&& visit) {
    for (int t = 0; t < kTextCount; ++t) {
        if (bits & NodeScalars::bit(text_attribute(t))) visit(t);
    }
}

// An update that views its texts: valid while the bytes it views are.
class NodeUpdateView {
public:
    // Every text attribute, in declared order; nullopt is an absent one.
    using Texts = std::array<std::optional<std::string_view>, kTextCount>;

    NodeUpdateView() noexcept = default;

    template <Attribute A>
    std::optional<AttributeValue<A>> get() const noexcept {
        if constexpr (kKindOf<A> == AttributeKind::Text) {
            if (!scalars_.has(A)) return std::nullopt;
            return texts_[index_in_kind(A)];
        } else {
            return scalars_.get<A>();
        }
    }
    // Makes attribute A present with `value`; a text is viewed, not copied.
    template <Attribute A>
    void set(AttributeValue<A> value) noexcept {
        if constexpr (kKindOf<A> == AttributeKind::Text) {
            texts_[index_in_kind(A)] = value;
            scalars_.set_text_bits(scalars_.text_bits() | NodeScalars::bit(A));
        } else {
            scalars_.set<A>(value);
        }
    }

    const NodeScalars& scalars() const noexcept { return scalars_; }
    NodeScalars& scalars() noexcept { return scalars_; }
    // The text of place `index` among the texts; empty when absent.
    std::string_view text(int index) const noexcept { return texts_[index]; }
    void set_text(int index, std::string_view text) noexcept { texts_[index] = text; }
    bool has_texts() const noexcept { return scalars_.text_bits() != 0; }
    Texts texts() const noexcept {
        Texts all;
        for (int i = 0; i < kTextCount; ++i) {
            if (scalars_.has(text_attribute(i))) all[i] = texts_[i];
        }
        return all;
    }
    int present_count() const noexcept { return scalars_.present_count(); }

    friend bool operator==(const NodeUpdateView& a, const NodeUpdateView& b) noexcept {
        if (!(a.scalars_ == b.scalars_)) return false;
        for (int i = 0; i < kTextCount; ++i) {
            if (a.scalars_.has(text_attribute(i)) && a.texts_[i] != b.texts_[i]) return false;
        }
        return true;
    }

private:
    NodeScalars scalars_;
    std::string_view texts_[kTextCount];
};

// A pending update that owns its texts, in 16 bytes: the optional texts
// share one heap block (absent when none is present), the scalars sit
// inline. The form an update takes when it must outlive what it was read
// from; it hands its contents on as a view.
class NodeUpdate {
public:
    using Texts = NodeUpdateView::Texts;

    NodeUpdate() noexcept = default;
    // A copy of what `view` views.
    explicit NodeUpdate(const NodeUpdateView& view);
    NodeUpdate(const NodeUpdate& other);
    NodeUpdate& operator=(const NodeUpdate& other);
    NodeUpdate(NodeUpdate&& other) noexcept;
    NodeUpdate& operator=(NodeUpdate&& other) noexcept;
    ~NodeUpdate();

    // Attribute A's value, if present. A text views the update's own copy.
    template <Attribute A>
    std::optional<AttributeValue<A>> get() const noexcept {
        if constexpr (kKindOf<A> == AttributeKind::Text) {
            if (!scalars_.has(A)) return std::nullopt;
            return text(index_in_kind(A));
        } else {
            return scalars_.get<A>();
        }
    }

    // Makes attribute A present with `value`; a text is copied.
    template <Attribute A>
    void set(AttributeValue<A> value) noexcept(kKindOf<A> != AttributeKind::Text) {
        if constexpr (kKindOf<A> == AttributeKind::Text) {
            Texts all = texts();
            all[index_in_kind(A)] = value;
            set_texts(all);
        } else {
            scalars_.set<A>(value);
        }
    }

    // Every text attribute at once.
    Texts texts() const noexcept;
    // Sets every text attribute at once (one allocation); nullopt makes a
    // text absent.
    void set_texts(const Texts& texts);

    // Each attribute present in `newer` replaces the stored one; absent
    // attributes leave the stored ones as they are.
    void merge(const NodeUpdateView& newer);

    // The update as a view, valid while the update is unchanged.
    NodeUpdateView view() const noexcept;
    operator NodeUpdateView() const noexcept { return view(); }  // NOLINT(google-explicit-constructor)

    const NodeScalars& scalars() const noexcept { return scalars_; }

    // Bytes the update takes from the heap (its block of texts, if any), as
    // the allocator hands them out.
    std::size_t heap_bytes() const noexcept {
        if (!texts_) return 0;
        std::uint64_t lengths[kTextCount];
        std::memcpy(lengths, texts_, sizeof lengths);
        std::size_t bytes = sizeof lengths;
        for (std::uint64_t length : lengths) bytes += length;
        return allocated_bytes(bytes);
    }

    // Number of attributes present.
    int present_count() const noexcept { return scalars_.present_count(); }

    friend bool operator==(const NodeUpdate& a, const NodeUpdate& b) noexcept { return a.view() == b.view(); }

private:
    // The text of place `index` among the texts, present or not.
    std::string_view text(int index) const noexcept {
        if (!texts_) return {};
        std::uint64_t lengths[kTextCount];
        std::memcpy(lengths, texts_, sizeof lengths);
        const char* start = texts_ + sizeof lengths;
        for (int i = 0; i < index; ++i) start += lengths[i];
        return std::string_view(start, lengths[index]);
    }

    // Heap block: one 64-bit length per text attribute, then the bytes of
    // each text in declared order.
    char* texts_ = nullptr;
    NodeScalars scalars_;
};
static_assert(sizeof(NodeUpdate) == 16,
              "an update in flight is 16 bytes: a pointer and the scalars; with larger scalars (a new attribute), "
              "say here how large it is now");

}  // namespace quorl::diff
