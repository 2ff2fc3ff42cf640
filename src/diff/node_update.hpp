// The seven optional display attributes of a node, in the forms an update
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

// Presence of every attribute and the values of the scalar ones, in 8
// bytes aligned to a byte, so that a stored record packs tightly.
class NodeScalars {
public:
    // bit(A) tells whether attribute A is present.
    static constexpr std::uint8_t bit(Attribute a) noexcept { return static_cast<std::uint8_t>(1u << a); }
    // The presence bits of the text attributes.
    static constexpr std::uint8_t kTextBits = [] {
        unsigned bits = 0;
        for (const AttributeRow& row : kAttributes) {
            if (row.kind == AttributeKind::Text) bits |= 1u << row.attribute;
        }
        return static_cast<std::uint8_t>(bits);
    }();

    bool has(Attribute a) const noexcept { return (present_ & bit(a)) != 0; }

    // Attribute A's value, if present; A is not a text.
    template <Attribute A>
    std::optional<AttributeValue<A>> get() const noexcept {
        static_assert(kKindOf<A> != AttributeKind::Text, "texts live outside the scalars");
        if (!has(A)) return std::nullopt;
        if constexpr (kKindOf<A> == AttributeKind::Bool) {
            return (present_ & truth_bit(A)) != 0;
        } else if constexpr (kKindOf<A> == AttributeKind::Float) {
            float value;
            std::memcpy(&value, size_, sizeof value);
            return value;
        } else {
            return byte<A>(*this);
        }
    }

    // Makes attribute A present with `value`; A is not a text.
    template <Attribute A>
    void set(AttributeValue<A> value) noexcept {
        static_assert(kKindOf<A> != AttributeKind::Text, "texts live outside the scalars");
        if constexpr (kKindOf<A> == AttributeKind::Bool) {
            present_ = static_cast<std::uint8_t>((present_ & ~truth_bit(A)) | bit(A) | (value ? truth_bit(A) : 0));
        } else if constexpr (kKindOf<A> == AttributeKind::Float) {
            std::memcpy(size_, &value, sizeof value);
            present_ |= bit(A);
        } else {
            byte<A>(*this) = value;
            present_ |= bit(A);
        }
    }

    // Which texts are present (a subset of kTextBits).
    std::uint8_t text_bits() const noexcept { return present_ & kTextBits; }
    void set_text_bits(std::uint8_t bits) noexcept {
        present_ = static_cast<std::uint8_t>((present_ & ~kTextBits) | (bits & kTextBits));
    }

    // Each scalar attribute present in `newer` replaces this one's, and the
    // texts present in `newer` become present here (their values are the
    // caller's to merge).
    void merge(const NodeScalars& newer) noexcept {
        for_each_attribute([&](auto a) {
            if constexpr (kKindOf<a> != AttributeKind::Text) {
                if (auto value = newer.get<a>()) set<a>(*value);
            }
        });
        present_ |= newer.text_bits();
    }

    // Number of attributes present.
    int present_count() const noexcept {
        // A byte's bit count in three steps; std::popcount becomes a library
        // call on processors the build cannot assume have the instruction.
        unsigned x = present_ & kPresenceBits;
        x -= (x >> 1) & 0x55u;
        x = (x & 0x33u) + ((x >> 2) & 0x33u);
        return static_cast<int>((x + (x >> 4)) & 0x0Fu);
    }

    // The same attributes present, with the same scalar values (a size by
    // its bits: NaN equals itself, -0 differs from 0).
    friend bool operator==(const NodeScalars& a, const NodeScalars& b) noexcept {
        bool equal = (a.present_ & kPresenceBits) == (b.present_ & kPresenceBits);
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
    static constexpr std::uint8_t truth_bit(Attribute a) noexcept {
        return static_cast<std::uint8_t>(1u << (kAttributeCount + index_in_kind(a)));
    }
    static_assert(kAttributeCount + count_of_kind(AttributeKind::Bool) <= 8, "widen present_ for more attributes");
    static constexpr std::uint8_t kPresenceBits = static_cast<std::uint8_t>((1u << kAttributeCount) - 1);

    // The member that holds a byte attribute: a new one needs a member below
    // and a line here.
    template <Attribute A, class Self>
    static auto& byte(Self& self) noexcept {
        if constexpr (A == kRed) {
            return self.red_;
        } else if constexpr (A == kGreen) {
            return self.green_;
        } else {
            static_assert(A == kBlue, "an attribute without a member to hold it");
            return self.blue_;
        }
    }

    std::uint8_t present_ = 0;
    std::uint8_t red_ = 0;
    std::uint8_t green_ = 0;
    std::uint8_t blue_ = 0;
    std::uint8_t size_[4] = {};  // a float's bytes
};
static_assert(sizeof(NodeScalars) == 8 && alignof(NodeScalars) == 1, "scalars pack into 8 bytes");

// Calls visit(t) for the place t among the texts of each text attribute
// present as `bits` (presence bits, see NodeScalars::text_bits) say, in
// declared order.
template <class Visit>
[[gnu::always_inline]] inline void for_each_text(std::uint8_t bits, Visit&& visit) {
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
static_assert(sizeof(NodeUpdate) == 16, "an update in flight is 16 bytes");

}  // namespace quorl::diff
