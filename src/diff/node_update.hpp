// The seven optional display attributes of a node and the rule by which a
// newer update is merged into a stored one.
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

// A pending update is 16 bytes: the optional texts share one heap block
// (absent when none is present), and the scalar attributes sit inline with
// one presence bit each.
class NodeUpdate {
public:
    // Every text attribute, in declared order; nullopt is an absent one.
    using Texts = std::array<std::optional<std::string_view>, kTextCount>;

    NodeUpdate() noexcept = default;
    NodeUpdate(const NodeUpdate& other);
    NodeUpdate& operator=(const NodeUpdate& other);
    NodeUpdate(NodeUpdate&& other) noexcept;
    NodeUpdate& operator=(NodeUpdate&& other) noexcept;
    ~NodeUpdate();

    // Attribute A's value, if present. A text views the update's own copy.
    template <Attribute A>
    std::optional<AttributeValue<A>> get() const noexcept {
        if (!(present_ & bit(A))) return std::nullopt;
        if constexpr (kKindOf<A> == AttributeKind::Text) {
            return text(index_in_kind(A));
        } else if constexpr (kKindOf<A> == AttributeKind::Bool) {
            return (present_ & truth_bit(A)) != 0;
        } else {
            return scalar<A>(*this);
        }
    }

    // Makes attribute A present with `value`; a text is copied.
    template <Attribute A>
    void set(AttributeValue<A> value) noexcept(kKindOf<A> != AttributeKind::Text) {
        if constexpr (kKindOf<A> == AttributeKind::Text) {
            Texts all = texts();
            all[index_in_kind(A)] = value;
            set_texts(all);
        } else if constexpr (kKindOf<A> == AttributeKind::Bool) {
            present_ = static_cast<std::uint8_t>((present_ & ~truth_bit(A)) | bit(A) | (value ? truth_bit(A) : 0));
        } else {
            scalar<A>(*this) = value;
            present_ |= bit(A);
        }
    }

    // The same by name.
    std::optional<std::string_view> label() const noexcept { return get<kLabel>(); }
    std::optional<float> size() const noexcept { return get<kSize>(); }
    std::optional<std::string_view> url() const noexcept { return get<kUrl>(); }
    std::optional<std::uint8_t> red() const noexcept { return get<kRed>(); }
    std::optional<std::uint8_t> green() const noexcept { return get<kGreen>(); }
    std::optional<std::uint8_t> blue() const noexcept { return get<kBlue>(); }
    std::optional<bool> show_label() const noexcept { return get<kShowLabel>(); }
    void set_label(std::string_view text) { set<kLabel>(text); }
    void set_size(float value) noexcept { set<kSize>(value); }
    void set_url(std::string_view text) { set<kUrl>(text); }
    void set_red(std::uint8_t value) noexcept { set<kRed>(value); }
    void set_green(std::uint8_t value) noexcept { set<kGreen>(value); }
    void set_blue(std::uint8_t value) noexcept { set<kBlue>(value); }
    void set_show_label(bool value) noexcept { set<kShowLabel>(value); }

    // Every text attribute at once.
    Texts texts() const noexcept;
    // Sets every text attribute at once (one allocation); nullopt makes a
    // text absent.
    void set_texts(const Texts& texts);

    // Each attribute present in `newer` replaces the stored one; absent
    // attributes leave the stored ones as they are.
    void merge(NodeUpdate&& newer);

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
    int present_count() const noexcept;

    friend bool operator==(const NodeUpdate& a, const NodeUpdate& b) noexcept;

private:
    // present_ holds bit A for each attribute A that is present, and above
    // those one bit for the value of each boolean attribute.
    static constexpr std::uint8_t bit(Attribute a) noexcept { return static_cast<std::uint8_t>(1u << a); }
    static constexpr std::uint8_t truth_bit(Attribute a) noexcept {
        return static_cast<std::uint8_t>(1u << (kAttributeCount + index_in_kind(a)));
    }
    static_assert(kAttributeCount + count_of_kind(AttributeKind::Bool) <= 8, "widen present_ for more attributes");
    static constexpr std::uint8_t kPresenceBits = static_cast<std::uint8_t>((1u << kAttributeCount) - 1);
    static constexpr std::uint8_t kTextBits = [] {
        unsigned bits = 0;
        for (const AttributeRow& row : kAttributes) {
            if (row.kind == AttributeKind::Text) bits |= 1u << row.attribute;  // bit(row.attribute)
        }
        return static_cast<std::uint8_t>(bits);
    }();

    // The member that holds a numeric attribute: a new one needs a member
    // below and a line here.
    template <Attribute A, class Self>
    static auto& scalar(Self& self) noexcept {
        if constexpr (A == kSize) {
            return self.size_;
        } else if constexpr (A == kRed) {
            return self.red_;
        } else if constexpr (A == kGreen) {
            return self.green_;
        } else {
            static_assert(A == kBlue, "an attribute without a member to hold it");
            return self.blue_;
        }
    }

    // The text of place `index` among the texts, present or not.
    std::string_view text(int index) const noexcept {
        std::uint64_t lengths[kTextCount];
        std::memcpy(lengths, texts_, sizeof lengths);
        const char* start = texts_ + sizeof lengths;
        for (int i = 0; i < index; ++i) start += lengths[i];
        return std::string_view(start, lengths[index]);
    }

    // Heap block: one 64-bit length per text attribute, then the bytes of
    // each text in declared order.
    char* texts_ = nullptr;
    float size_ = 0.0f;
    std::uint8_t red_ = 0;
    std::uint8_t green_ = 0;
    std::uint8_t blue_ = 0;
    std::uint8_t present_ = 0;
};
static_assert(sizeof(NodeUpdate) == 16, "a pending node update is 16 bytes");

}  // namespace quorl::diff
