#include "diff/node_update.hpp"

#include <cstring>
#include <new>
#include <utility>

namespace quorl::diff {
namespace {

constexpr std::size_t kHeader = 2 * sizeof(std::uint64_t);

std::uint64_t stored_length(const char* block, int which) noexcept {
    std::uint64_t n;
    std::memcpy(&n, block + which * sizeof(std::uint64_t), sizeof n);
    return n;
}

char* make_block(std::string_view label, std::string_view url) {
    const std::uint64_t lengths[2] = {label.size(), url.size()};
    char* block = static_cast<char*>(::operator new(kHeader + label.size() + url.size()));
    std::memcpy(block, lengths, kHeader);
    if (!label.empty()) std::memcpy(block + kHeader, label.data(), label.size());
    if (!url.empty()) std::memcpy(block + kHeader + label.size(), url.data(), url.size());
    return block;
}

}  // namespace

NodeUpdate::NodeUpdate(const NodeUpdate& other)
    : size_(other.size_), red_(other.red_), green_(other.green_), blue_(other.blue_), present_(other.present_) {
    if (other.texts_) texts_ = make_block(other.label().value_or(""), other.url().value_or(""));
}

NodeUpdate& NodeUpdate::operator=(const NodeUpdate& other) {
    if (this != &other) *this = NodeUpdate(other);
    return *this;
}

NodeUpdate::NodeUpdate(NodeUpdate&& other) noexcept
    : texts_(std::exchange(other.texts_, nullptr)),
      size_(other.size_),
      red_(other.red_),
      green_(other.green_),
      blue_(other.blue_),
      present_(std::exchange(other.present_, 0)) {}

NodeUpdate& NodeUpdate::operator=(NodeUpdate&& other) noexcept {
    if (this != &other) {
        ::operator delete(texts_);
        texts_ = std::exchange(other.texts_, nullptr);
        size_ = other.size_;
        red_ = other.red_;
        green_ = other.green_;
        blue_ = other.blue_;
        present_ = std::exchange(other.present_, 0);
    }
    return *this;
}

NodeUpdate::~NodeUpdate() {
    if (texts_) ::operator delete(texts_);  // most updates have no texts
}

std::optional<std::string_view> NodeUpdate::label() const noexcept {
    if (!(present_ & kLabel)) return std::nullopt;
    return std::string_view(texts_ + kHeader, stored_length(texts_, 0));
}

std::optional<std::string_view> NodeUpdate::url() const noexcept {
    if (!(present_ & kUrl)) return std::nullopt;
    return std::string_view(texts_ + kHeader + stored_length(texts_, 0), stored_length(texts_, 1));
}

void NodeUpdate::set_texts(std::optional<std::string_view> label, std::optional<std::string_view> url) {
    char* block = (label || url) ? make_block(label.value_or(""), url.value_or("")) : nullptr;
    ::operator delete(texts_);
    texts_ = block;
    present_ = static_cast<std::uint8_t>((present_ & ~(kLabel | kUrl)) | (label ? kLabel : 0) | (url ? kUrl : 0));
}

void NodeUpdate::merge(NodeUpdate&& newer) {
    if (newer.present_ & (kLabel | kUrl)) {
        if ((newer.present_ & (kLabel | kUrl)) == (kLabel | kUrl) || !(present_ & (kLabel | kUrl))) {
            // The newer block already holds everything that survives.
            const std::uint8_t kept = present_ & ~(kLabel | kUrl);
            std::swap(texts_, newer.texts_);
            present_ = static_cast<std::uint8_t>(kept | (newer.present_ & (kLabel | kUrl)));
        } else {
            set_texts(newer.label() ? newer.label() : label(), newer.url() ? newer.url() : url());
        }
    }
    if (newer.present_ & kSize) set_size(newer.size_);
    if (newer.present_ & kRed) set_red(newer.red_);
    if (newer.present_ & kGreen) set_green(newer.green_);
    if (newer.present_ & kBlue) set_blue(newer.blue_);
    if (newer.present_ & kShowLabel) set_show_label(newer.show_label_value());
}

int NodeUpdate::present_count() const noexcept {
    // A byte's bit count in three steps; std::popcount becomes a library
    // call on processors the build cannot assume have the instruction.
    unsigned x = present_ & ~kShowLabelTrue & 0xFFu;
    x -= (x >> 1) & 0x55u;
    x = (x & 0x33u) + ((x >> 2) & 0x33u);
    return static_cast<int>((x + (x >> 4)) & 0x0Fu);
}

bool operator==(const NodeUpdate& a, const NodeUpdate& b) noexcept {
    auto same_float = [](std::optional<float> x, std::optional<float> y) {
        if (x.has_value() != y.has_value()) return false;
        return !x || std::memcmp(&*x, &*y, sizeof(float)) == 0;
    };
    return a.label() == b.label() && a.url() == b.url() && same_float(a.size(), b.size()) && a.red() == b.red() &&
           a.green() == b.green() && a.blue() == b.blue() && a.show_label() == b.show_label();
}

}  // namespace quorl::diff
