// The seven optional display attributes of a node and the rule by which a
// newer update is merged into a stored one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "diff/heap_bytes.hpp"

namespace quorl::diff {

// A pending update is 16 bytes: the two optional texts share one heap block
// (absent when neither is present), and the five scalar attributes sit inline
// with one presence bit each.
class NodeUpdate {
public:
    NodeUpdate() noexcept = default;
    NodeUpdate(const NodeUpdate& other);
    NodeUpdate& operator=(const NodeUpdate& other);
    NodeUpdate(NodeUpdate&& other) noexcept;
    NodeUpdate& operator=(NodeUpdate&& other) noexcept;
    ~NodeUpdate();

    std::optional<std::string_view> label() const noexcept;
    std::optional<float> size() const noexcept { return optional_if(kSize, size_); }
    std::optional<std::string_view> url() const noexcept;
    std::optional<std::uint8_t> red() const noexcept { return optional_if(kRed, red_); }
    std::optional<std::uint8_t> green() const noexcept { return optional_if(kGreen, green_); }
    std::optional<std::uint8_t> blue() const noexcept { return optional_if(kBlue, blue_); }
    std::optional<bool> show_label() const noexcept { return optional_if(kShowLabel, show_label_value()); }

    // Setters make the attribute present with the given value; the texts are
    // copied.
    void set_label(std::string_view text) { set_texts(text, url()); }
    void set_url(std::string_view text) { set_texts(label(), text); }
    void set_size(float value) noexcept { size_ = value; present_ |= kSize; }
    void set_red(std::uint8_t value) noexcept { red_ = value; present_ |= kRed; }
    void set_green(std::uint8_t value) noexcept { green_ = value; present_ |= kGreen; }
    void set_blue(std::uint8_t value) noexcept { blue_ = value; present_ |= kBlue; }
    void set_show_label(bool value) noexcept {
        present_ = static_cast<std::uint8_t>((present_ & ~kShowLabelTrue) | kShowLabel | (value ? kShowLabelTrue : 0));
    }

    // Sets both texts at once (one allocation); nullopt makes a text absent.
    void set_texts(std::optional<std::string_view> label, std::optional<std::string_view> url);

    // Each attribute present in `newer` replaces the stored one; absent
    // attributes leave the stored ones as they are.
    void merge(NodeUpdate&& newer);

    // Bytes the update takes from the heap (its block of texts, if any), as
    // the allocator hands them out.
    std::size_t heap_bytes() const noexcept {
        if (!texts_) return 0;
        std::uint64_t lengths[2];
        std::memcpy(lengths, texts_, sizeof lengths);
        return allocated_bytes(sizeof lengths + lengths[0] + lengths[1]);
    }

    // Number of attributes present, 0 to 7.
    int present_count() const noexcept;

    friend bool operator==(const NodeUpdate& a, const NodeUpdate& b) noexcept;

private:
    enum : std::uint8_t {
        kLabel = 1 << 0,
        kUrl = 1 << 1,
        kSize = 1 << 2,
        kRed = 1 << 3,
        kGreen = 1 << 4,
        kBlue = 1 << 5,
        kShowLabel = 1 << 6,
        kShowLabelTrue = 1 << 7,
    };

    template <class T>
    std::optional<T> optional_if(std::uint8_t bit, T value) const noexcept {
        return (present_ & bit) ? std::optional<T>(value) : std::nullopt;
    }
    bool show_label_value() const noexcept { return (present_ & kShowLabelTrue) != 0; }

    // Heap block: two 64-bit lengths, then the label bytes, then the url bytes.
    char* texts_ = nullptr;
    float size_ = 0.0f;
    std::uint8_t red_ = 0;
    std::uint8_t green_ = 0;
    std::uint8_t blue_ = 0;
    std::uint8_t present_ = 0;
};
static_assert(sizeof(NodeUpdate) == 16, "a pending node update is 16 bytes");

}  // namespace quorl::diff
