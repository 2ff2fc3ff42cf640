#include "diff/node_update.hpp"

#include <cstring>
#include <new>
#include <utility>

namespace quorl::diff {
namespace {

constexpr std::size_t kHeader = kTextCount * sizeof(std::uint64_t);

// A block holding `texts`; an absent text is stored as an empty one.
char* make_block(const NodeUpdate::Texts& texts) {
    std::uint64_t lengths[kTextCount];
    std::size_t total = kHeader;
    for (int i = 0; i < kTextCount; ++i) {
        lengths[i] = texts[i] ? texts[i]->size() : 0;
        total += lengths[i];
    }
    char* block = static_cast<char*>(::operator new(total));
    std::memcpy(block, lengths, kHeader);
    char* out = block + kHeader;
    for (int i = 0; i < kTextCount; ++i) {
        if (lengths[i] == 0) continue;
        std::memcpy(out, texts[i]->data(), lengths[i]);
        out += lengths[i];
    }
    return block;
}

}  // namespace

NodeUpdate::NodeUpdate(const NodeUpdate& other)
    : size_(other.size_), red_(other.red_), green_(other.green_), blue_(other.blue_), present_(other.present_) {
    if (other.texts_) texts_ = make_block(other.texts());
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

NodeUpdate::Texts NodeUpdate::texts() const noexcept {
    Texts all;
    for_each_attribute([&](auto a) {
        if constexpr (kKindOf<a> == AttributeKind::Text) all[index_in_kind(a)] = get<a>();
    });
    return all;
}

void NodeUpdate::set_texts(const Texts& texts) {
    unsigned bits = 0;
    for_each_attribute([&](auto a) {
        if constexpr (kKindOf<a> == AttributeKind::Text) {
            if (texts[index_in_kind(a)]) bits |= bit(a);
        }
    });
    // Made before the old block goes: `texts` may view it.
    char* block = bits ? make_block(texts) : nullptr;
    ::operator delete(texts_);
    texts_ = block;
    present_ = static_cast<std::uint8_t>((present_ & ~kTextBits) | bits);
}

void NodeUpdate::merge(NodeUpdate&& newer) {
    if (const std::uint8_t newer_texts = newer.present_ & kTextBits) {
        if (newer_texts == kTextBits || !(present_ & kTextBits)) {
            // The newer block already holds everything that survives.
            std::swap(texts_, newer.texts_);
            present_ = static_cast<std::uint8_t>((present_ & ~kTextBits) | newer_texts);
        } else {
            Texts merged = texts();
            const Texts incoming = newer.texts();
            for (int i = 0; i < kTextCount; ++i) {
                if (incoming[i]) merged[i] = incoming[i];
            }
            set_texts(merged);
        }
    }
    for_each_attribute([&](auto a) {
        if constexpr (kKindOf<a> != AttributeKind::Text) {
            if (auto value = newer.get<a>()) set<a>(*value);
        }
    });
}

int NodeUpdate::present_count() const noexcept {
    // A byte's bit count in three steps; std::popcount becomes a library
    // call on processors the build cannot assume have the instruction.
    unsigned x = present_ & kPresenceBits;
    x -= (x >> 1) & 0x55u;
    x = (x & 0x33u) + ((x >> 2) & 0x33u);
    return static_cast<int>((x + (x >> 4)) & 0x0Fu);
}

bool operator==(const NodeUpdate& a, const NodeUpdate& b) noexcept {
    bool equal = true;
    for_each_attribute([&](auto attribute) {
        const auto x = a.get<attribute>();
        const auto y = b.get<attribute>();
        if constexpr (kKindOf<attribute> == AttributeKind::Float) {
            // Floats compare by their bits: NaN equals itself, -0 differs from 0.
            equal = equal && x.has_value() == y.has_value() && (!x || std::memcmp(&*x, &*y, sizeof(float)) == 0);
        } else {
            equal = equal && x == y;
        }
    });
    return equal;
}

}  // namespace quorl::diff
