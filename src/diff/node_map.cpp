#include "diff/node_map.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "diff/heap.hpp"

namespace quorl::diff {
namespace {

// How many items ahead a batch asks for the index slot it will probe.
constexpr std::size_t kFetchAhead = 8;

// Where each text of an item (or of a record) starts, for the texts present.
using TextStarts = std::array<const char*, kTextCount>;

// The texts that start at `starts`, present as `bits` say.
NodeUpdateView view_at(std::uint8_t bits, const TextStarts& starts) noexcept {
    NodeUpdateView view;
    view.scalars().set_text_bits(bits);
    for (int t = 0; t < kTextCount; ++t) {
        if (bits & NodeScalars::bit(text_attribute(t))) {
            const char* p = starts[t];
            view.set_text(t, TextArena::read_text(p));
        }
    }
    return view;
}

// Bytes of the texts present as `bits` say, as a record holds them.
std::uint64_t texts_bytes(const NodeUpdateView& texts) noexcept {
    std::uint64_t bytes = 0;
    for (int t = 0; t < kTextCount; ++t) {
        if (texts.scalars().has(text_attribute(t))) bytes += TextArena::text_bytes(texts.text(t).size());
    }
    return bytes;
}

}  // namespace

NodeUpdateView NodeMap::view_of(const Stored& stored, const char* texts) noexcept {
    NodeUpdateView view;
    view.scalars() = stored.scalars;
    if (const std::uint8_t bits = stored.scalars.text_bits()) {
        const char* p = texts + stored.offset();
        for (int t = 0; t < kTextCount; ++t) {
            if (bits & NodeScalars::bit(text_attribute(t))) view.set_text(t, TextArena::read_text(p));
        }
    }
    return view;
}

std::uint64_t NodeMap::record_bytes(const Stored& stored) const noexcept {
    const std::uint8_t bits = stored.scalars.text_bits();
    if (!bits) return 0;
    const char* const start = texts_.data() + stored.offset();
    const char* p = start;
    for (int t = 0; t < kTextCount; ++t) {
        if (bits & NodeScalars::bit(text_attribute(t))) p += TextArena::written_bytes(p);
    }
    return static_cast<std::uint64_t>(p - start);
}

std::uint64_t NodeMap::record_bytes(const NodeUpdateView& texts) noexcept { return texts_bytes(texts); }

std::uint64_t NodeMap::append_record(const NodeUpdateView& update) noexcept {
    char* const start = texts_.end();
    char* out = start;
    for (int t = 0; t < kTextCount; ++t) {
        if (update.scalars().has(text_attribute(t))) out = TextArena::write_text(out, update.text(t));
    }
    const std::uint64_t offset = texts_.used();
    texts_.append(static_cast<std::uint64_t>(out - start));
    return offset;
}

NodeUpdateView NodeMap::merged_texts(const Stored& stored, const NodeUpdateView& update) const noexcept {
    NodeUpdateView merged = view_of(stored, texts_.data());
    for (int t = 0; t < kTextCount; ++t) {
        if (update.scalars().has(text_attribute(t))) merged.set_text(t, update.text(t));
    }
    merged.scalars().set_text_bits(stored.scalars.text_bits() | update.scalars().text_bits());
    return merged;
}

TextArena::Block NodeMap::reclaim(TextArena::Block&& block) noexcept {
    char* const out = block.data<char>();
    std::uint64_t used = 0;
    for (auto& entry : table_) {
        Stored& stored = entry.value;
        if (!stored.scalars.text_bits()) continue;
        const std::uint64_t n = record_bytes(stored);
        std::memcpy(out + used, texts_.data() + stored.offset(), static_cast<std::size_t>(n));
        stored.set_offset(used);
        used += n;
    }
    return texts_.swap_in(std::move(block), used);
}

void NodeMap::add(const Uuid& id, const NodeUpdateView& update) {
    auto entry = table_.try_emplace_prepared(id, [&] {
        if (update.has_texts()) texts_.reserve_more(record_bytes(update));
    });
    if (!entry.inserted) return merge(entry.value, update);
    Stored& stored = entry.value;
    stored.scalars = update.scalars();
    if (update.has_texts()) stored.set_offset(append_record(update));
}

void NodeMap::merge(Stored& stored, const NodeUpdateView& update) {
    if (!update.has_texts()) {
        stored.scalars.merge(update.scalars());  // nothing to allocate
        return;
    }
    // The merged texts make a record of their own; the stored one dies.
    const std::uint64_t dying = record_bytes(stored);
    const std::uint64_t incoming = record_bytes(merged_texts(stored, update));
    const bool reclaiming = reclaims(incoming, dying);
    TextArena::Block block = reclaiming ? reclaim_block(texts_.live() - dying + incoming) : TextArena::Block();
    texts_.reserve_more(incoming);
    // Nothing below allocates. The texts are looked up again: making room
    // may have moved the arena.
    const NodeUpdateView texts = merged_texts(stored, update);
    stored.set_offset(append_record(texts));
    stored.scalars.set_text_bits(texts.scalars().text_bits());
    stored.scalars.merge(update.scalars());
    texts_.kill(dying);
    if (reclaiming) reclaim(std::move(block));
}

void NodeMap::add_all(std::span<const Uuid> ids, const UpdateBatch& batch) {
    const std::size_t n = ids.size();
    if (n == 0) return;
    // Room for every id at once (ids already pending only leave some unused),
    // in a block the old one stays beside until the batch is through.
    const bool had_storage = table_.capacity() != 0;
    auto previous = table_.adopt(table_.room_for(table_.size() + n));
    const std::uint32_t first = table_.positions();  // of the first entry appended
    // A new id is appended with its item's scalars, and the place its texts
    // will take in the arena: after the arena's records, the records of the
    // new ids follow one another in the order of the items, each the item's
    // texts as the streams hold them. An item whose id is pending already
    // (before the batch, or earlier in it) is merged in afterwards.
    const std::uint64_t base = texts_.used();
    std::uint64_t appended_bytes = 0;
    std::size_t appended = 0;
    TextStarts cursor{};
    for (int t = 0; t < kTextCount; ++t) cursor[t] = batch.stream(t).data();
    struct Merge {
        std::uint32_t position;  // of the pending update
        std::uint32_t item;
    };
    heap::Vector<Merge> merges;
    // Once there are merges: the item of each appended entry, and where the
    // texts of every item start.
    heap::Vector<std::uint32_t> appended_items;
    heap::Vector<TextStarts> item_starts;
    // The texts of merges [begin, end), one pending update's, laid over
    // `texts` in the order of the items.
    const auto overlay = [&](NodeUpdateView& texts, std::size_t begin, std::size_t end) noexcept {
        for (std::size_t k = begin; k < end; ++k) {
            const std::uint32_t item = merges[k].item;
            const std::uint8_t bits = batch.scalars(item).text_bits();
            const NodeUpdateView newer = view_at(bits, item_starts[item]);
            for (int t = 0; t < kTextCount; ++t) {
                if (bits & NodeScalars::bit(text_attribute(t))) texts.set_text(t, newer.text(t));
            }
            texts.scalars().set_text_bits(texts.scalars().text_bits() | bits);
        }
    };
    TextArena::Block block;
    bool reclaiming = false;
    try {
        for (std::size_t i = 0; i < n; ++i) {
            // The ids of a batch are usually new and spread over the whole
            // index: the slot of one a little ahead is fetched meanwhile.
            if (i + kFetchAhead < n) table_.prefetch_slot(ids[i + kFetchAhead]);
            const NodeScalars& item = batch.scalars(i);
            std::uint64_t item_bytes = 0;
            if (const std::uint8_t bits = item.text_bits()) {
                for (int t = 0; t < kTextCount; ++t) {
                    if (!(bits & NodeScalars::bit(text_attribute(t)))) continue;
                    const std::uint64_t bytes = TextArena::written_bytes(cursor[t]);
                    cursor[t] += bytes;
                    item_bytes += bytes;
                }
            }
            auto entry = table_.try_emplace_in_room(ids[i]);
            if (entry.inserted) {
                entry.value.scalars = item;
                entry.value.set_offset(base + appended_bytes);
                appended_bytes += item_bytes;
                if (!merges.empty()) appended_items.push_back(static_cast<std::uint32_t>(i));
                ++appended;
            } else {
                if (merges.empty()) {
                    // Every item so far was appended.
                    appended_items.reserve(n);
                    for (std::uint32_t k = 0; k < i; ++k) appended_items.push_back(k);
                }
                merges.push_back({entry.position, static_cast<std::uint32_t>(i)});
            }
        }
        std::uint64_t incoming = appended_bytes;
        std::uint64_t dying = 0;
        if (!merges.empty()) {
            item_starts.resize(n);
            for (int t = 0; t < kTextCount; ++t) cursor[t] = batch.stream(t).data();
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint8_t bits = batch.scalars(i).text_bits();
                for (int t = 0; t < kTextCount; ++t) {
                    if (!(bits & NodeScalars::bit(text_attribute(t)))) continue;
                    item_starts[i][t] = cursor[t];
                    cursor[t] += TextArena::written_bytes(cursor[t]);
                }
            }
            // Merges into one update next to each other, in the order of the
            // items; each update that gets texts gets a record of the merged
            // texts, and its own dies.
            std::sort(merges.begin(), merges.end(), [](const Merge& a, const Merge& b) {
                return a.position != b.position ? a.position < b.position : a.item < b.item;
            });
            for (std::size_t begin = 0, end; begin < merges.size(); begin = end) {
                end = begin + 1;
                while (end < merges.size() && merges[end].position == merges[begin].position) ++end;
                std::uint8_t incoming_bits = 0;
                for (std::size_t k = begin; k < end; ++k) incoming_bits |= batch.scalars(merges[k].item).text_bits();
                if (!incoming_bits) continue;
                const std::uint32_t position = merges[begin].position;
                NodeUpdateView texts;
                if (position < first) {
                    texts = view_of(table_.at_position(position).value, texts_.data());
                } else {
                    const std::uint32_t item = appended_items[position - first];
                    texts = view_at(batch.scalars(item).text_bits(), item_starts[item]);
                }
                dying += texts_bytes(texts);
                overlay(texts, begin, end);
                incoming += texts_bytes(texts);
            }
        }
        reclaiming = reclaims(incoming, dying);
        if (reclaiming) block = reclaim_block(texts_.live() - dying + incoming);
        texts_.reserve_more(incoming);
    } catch (...) {
        // Take back the appended entries, last first, and the old block (or
        // the new one, when the table had none).
        for (; appended > 0; --appended) table_.pop_back();
        if (previous) {
            table_.adopt(std::move(previous));
        } else if (!had_storage) {
            table_ = Table();
        }
        throw;
    }

    // Nothing below allocates. The records of the new ids, in the order of
    // the items: when every item is new and has texts of one attribute at
    // most, they are that attribute's stream as it stands.
    int streams = 0;
    for (int t = 0; t < kTextCount; ++t) streams += !batch.stream(t).empty();
    if (merges.empty() && streams <= 1) {
        for (int t = 0; t < kTextCount; ++t) {
            const std::string_view stream = batch.stream(t);
            if (stream.empty()) continue;
            std::memcpy(texts_.end(), stream.data(), stream.size());
            texts_.append(stream.size());
        }
    } else {
        for (int t = 0; t < kTextCount; ++t) cursor[t] = batch.stream(t).data();
        char* out = texts_.end();
        for (std::size_t k = 0; k < appended; ++k) {
            const std::size_t item = merges.empty() ? k : appended_items[k];
            const std::uint8_t bits = batch.scalars(item).text_bits();
            for (int t = 0; t < kTextCount; ++t) {
                if (!(bits & NodeScalars::bit(text_attribute(t)))) continue;
                const char* from = merges.empty() ? cursor[t] : item_starts[item][t];
                const std::uint64_t bytes = TextArena::written_bytes(from);
                std::memcpy(out, from, static_cast<std::size_t>(bytes));
                out += bytes;
                cursor[t] = from + bytes;
            }
        }
        texts_.append(static_cast<std::uint64_t>(out - texts_.end()));
    }
    // The merges, each update's in the order of the items.
    for (std::size_t begin = 0, end; begin < merges.size(); begin = end) {
        end = begin + 1;
        while (end < merges.size() && merges[end].position == merges[begin].position) ++end;
        Stored& stored = table_.at_position(merges[begin].position).value;
        std::uint8_t incoming_bits = 0;
        for (std::size_t k = begin; k < end; ++k) incoming_bits |= batch.scalars(merges[k].item).text_bits();
        if (incoming_bits) {
            NodeUpdateView texts = view_of(stored, texts_.data());
            overlay(texts, begin, end);
            texts_.kill(record_bytes(stored));
            stored.set_offset(append_record(texts));
            stored.scalars.set_text_bits(texts.scalars().text_bits());
        }
        for (std::size_t k = begin; k < end; ++k) stored.scalars.merge(batch.scalars(merges[k].item));
    }
    if (reclaiming) reclaim(std::move(block));
}

bool NodeMap::restore_size(const Uuid& id, float size) noexcept {
    Stored* stored = table_.find(id);
    if (!stored || stored->scalars.has(kSize)) return false;
    stored->scalars.set<kSize>(size);
    return true;
}

NodeMap::Removal NodeMap::room_to_remove(std::span<const Uuid> ids) const {
    Removal removal;
    if (texts_.used() == 0) return removal;
    std::uint64_t dying = 0;
    for (const Uuid& id : ids) {
        if (const Stored* stored = table_.find(id)) dying += record_bytes(*stored);
    }
    if (dying == 0 || !reclaims(0, dying)) return removal;
    removal.block_ = reclaim_block(texts_.live() - dying);
    removal.compact_ = true;
    return removal;
}

void NodeMap::erase(const Uuid& id) noexcept {
    if (const Stored* stored = table_.find(id)) {
        texts_.kill(record_bytes(*stored));
        table_.erase(id);
    }
}

void NodeMap::settle(Removal&& removal) noexcept {
    if (removal.compact_) reclaim(std::move(removal.block_));
}

std::uint64_t NodeMap::live_text_bytes_by_walk() const noexcept {
    std::uint64_t bytes = 0;
    for (const auto& entry : table_) bytes += record_bytes(entry.value);
    return bytes;
}

}  // namespace quorl::diff
