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

NodeUpdate::NodeUpdate(const NodeUpdateView& view) : scalars_(view.scalars()) {
    scalars_.set_text_bits(0);
    set_texts(view.texts());
}

NodeUpdate::NodeUpdate(const NodeUpdate& other) : scalars_(other.scalars_) {
    if (other.texts_) texts_ = make_block(other.texts());
}

NodeUpdate& NodeUpdate::operator=(const NodeUpdate& other) {
    if (this != &other) *this = NodeUpdate(other);
    return *this;
}

NodeUpdate::NodeUpdate(NodeUpdate&& other) noexcept
    : texts_(std::exchange(other.texts_, nullptr)), scalars_(std::exchange(other.scalars_, NodeScalars{})) {}

NodeUpdate& NodeUpdate::operator=(NodeUpdate&& other) noexcept {
    if (this != &other) {
        ::operator delete(texts_);
        texts_ = std::exchange(other.texts_, nullptr);
        scalars_ = std::exchange(other.scalars_, NodeScalars{});
    }
    return *this;
}

NodeUpdate::~NodeUpdate() {
    if (texts_) ::operator delete(texts_);  // most updates have no texts
}

NodeUpdate::Texts NodeUpdate::texts() const noexcept {
    Texts all;
    for (int i = 0; i < kTextCount; ++i) {
        if (scalars_.has(text_attribute(i))) all[i] = text(i);
    }
    return all;
}

NodeUpdateView NodeUpdate::view() const noexcept {
    NodeUpdateView view;
    view.scalars() = scalars_;
    for (int i = 0; i < kTextCount; ++i) view.set_text(i, text(i));
    return view;
}

void NodeUpdate::set_texts(const Texts& texts) {
    NodeScalars::Bits bits = 0;
    for (int i = 0; i < kTextCount; ++i) {
        if (texts[i]) bits |= NodeScalars::bit(text_attribute(i));
    }
    // Made before the old block goes: `texts` may view it.
    char* block = bits ? make_block(texts) : nullptr;
    ::operator delete(texts_);
    texts_ = block;
    scalars_.set_text_bits(bits);
}

void NodeUpdate::merge(const NodeUpdateView& newer) {
    if (newer.has_texts()) {
        Texts merged = texts();
        const Texts incoming = newer.texts();
        for (int i = 0; i < kTextCount; ++i) {
            if (incoming[i]) merged[i] = incoming[i];
        }
        set_texts(merged);
    }
    scalars_.merge(newer.scalars());
}

}  // namespace quorl::diff
