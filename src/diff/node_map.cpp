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

// The room a batch makes in a full table before it has seen any item: its
// first items tell how many of the rest to expect new.
constexpr std::size_t kFirstRoom = 64;

// Where each text of an item (or of a record) starts, for the texts present.
using TextStarts = std::array<const char*, kTextCount>;

// The texts that start at `starts`, present as `bits` say.
NodeUpdateView view_at(NodeScalars::Bits bits, const TextStarts& starts) noexcept {
    NodeUpdateView view;
    view.scalars().set_text_bits(bits);
    for_each_text(bits, [&](int t) {
        const char* p = starts[t];
        view.set_text(t, TextArena::read_text(p));
    });
    return view;
}

// Bytes of the texts `texts` has, as a record holds them.
std::uint64_t texts_bytes(const NodeUpdateView& texts) noexcept {
    std::uint64_t bytes = 0;
    for_each_text(texts.scalars().text_bits(), [&](int t) { bytes += TextArena::text_bytes(texts.text(t).size()); });
    return bytes;
}

// The texts of `newer` laid over those of `texts`.
void overlay(NodeUpdateView& texts, const NodeUpdateView& newer) noexcept {
    const NodeScalars::Bits bits = newer.scalars().text_bits();
    for_each_text(bits, [&](int t) { texts.set_text(t, newer.text(t)); });
    texts.scalars().set_text_bits(texts.scalars().text_bits() | bits);
}

}  // namespace

NodeUpdateView NodeMap::view_of(const Stored& stored, const char* texts) noexcept {
    NodeUpdateView view;
    view.scalars() = stored.scalars;
    if (const NodeScalars::Bits bits = stored.scalars.text_bits()) {
        const char* p = texts + stored.offset();
        for_each_text(bits, [&](int t) { view.set_text(t, TextArena::read_text(p)); });
    }
    return view;
}

std::uint64_t NodeMap::record_bytes(const Stored& stored) const noexcept {
    const NodeScalars::Bits bits = stored.scalars.text_bits();
    if (!bits) return 0;
    const char* const start = texts_.data() + stored.offset();
    const char* p = start;
    for_each_text(bits, [&](int) { p += TextArena::written_bytes(p); });
    return static_cast<std::uint64_t>(p - start);
}

std::uint64_t NodeMap::record_bytes(const NodeUpdateView& texts) noexcept { return texts_bytes(texts); }

std::uint64_t NodeMap::append_record(const NodeUpdateView& update) noexcept {
    char* const start = texts_.end();
    char* out = start;
    for_each_text(update.scalars().text_bits(), [&](int t) { out = TextArena::write_text(out, update.text(t)); });
    const std::uint64_t offset = texts_.used();
    texts_.append(static_cast<std::uint64_t>(out - start));
    return offset;
}

NodeUpdateView NodeMap::merged_texts(const Stored& stored, const NodeUpdateView& update) const noexcept {
    NodeUpdateView merged = view_of(stored, texts_.data());
    overlay(merged, update);
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

// ---- a batch of updates ------------------------------------------------------
//
// add_all goes in four phases. The plan appends each new id to the table with
// its item's scalars and the place its texts will take in the arena (after
// the arena's records, the records of the new ids follow one another in the
// order of the items, each the item's texts as the streams hold them), and
// notes each item whose id is pending already, before the batch or earlier
// in it, as a merge. Sizing works out the records the merges make and those
// that die, and makes the arena's room. These two phases allocate: should
// memory run out, the appended entries are taken back and the table goes
// back into its own block. Writing copies the records of the new ids into
// the arena, and applying makes the merges; neither allocates.
//
// Only a new id takes room in the table, so the table grows as new ids come
// rather than for the whole batch at once: when it is full, by as many as
// the share of new ids among the items so far predicts for the rest, and
// never by less than a single insertion grows it, so that growth stays
// geometric. A batch that filled it with new ids and then repeated them
// leaves it larger than the loop would; it is shrunk at the end.
class NodeMap::BatchAdd {
public:
    BatchAdd(NodeMap& map, std::span<const Uuid> ids, const UpdateBatch& batch) noexcept
        : map_(map),
          table_(map.table_),
          texts_(map.texts_),
          ids_(ids),
          batch_(batch),
          capacity_before_(table_.capacity()),
          first_(table_.positions()),
          base_(texts_.used()) {}

    void plan();
    void size_merges();
    void undo() noexcept;
    void write() noexcept;
    void apply() noexcept;

private:
    struct Merge {
        std::uint32_t position;  // of the pending update
        std::uint32_t item;
    };

    TextStarts stream_starts() const noexcept {
        TextStarts starts;
        for (int t = 0; t < kTextCount; ++t) starts[t] = batch_.stream(t).data();
        return starts;
    }
    // The texts of item i, from where the texts of every item start.
    NodeUpdateView item_texts(std::size_t i) const noexcept {
        return view_at(batch_.scalars(i).text_bits(), item_starts_[i]);
    }

    Table::Inserted emplace_growing(std::size_t i, std::size_t appended);
    void grow(std::size_t i);
    void note_merge(std::uint32_t position, std::size_t i);
    void find_item_starts();
    // Calls visit(begin, end, bits) for each pending update that merges
    // [begin, end) make, in the order of the positions, where `bits` are
    // the texts those merges bring.
    template <class Visit>
    void for_each_merged_update(Visit visit) const;
    // The texts of the merges [begin, end) laid over `texts`.
    void overlay_merges(NodeUpdateView& texts, std::size_t begin, std::size_t end) const noexcept {
        for (std::size_t k = begin; k < end; ++k) overlay(texts, item_texts(merges_[k].item));
    }

    NodeMap& map_;
    Table& table_;
    TextArena& texts_;
    std::span<const Uuid> ids_;
    const UpdateBatch& batch_;
    const std::size_t capacity_before_;  // none: the table had no storage
    // The table's block before the batch grew it, to go back into.
    Table::Storage original_;
    std::uint32_t first_;       // position of the first entry appended
    const std::uint64_t base_;  // where the records of the new ids start
    std::size_t appended_ = 0;
    std::uint64_t appended_bytes_ = 0;
    heap::Vector<Merge> merges_;
    // Once there are merges: the item of each appended entry, and where the
    // texts of every item start.
    heap::Vector<std::uint32_t> appended_items_;
    heap::Vector<TextStarts> item_starts_;
    TextArena::Block reclaim_block_;
    bool reclaiming_ = false;
};

void NodeMap::BatchAdd::plan() {
    // The counts live in locals while the loop runs, and go to the members
    // when it ends or throws: the stores into the entries are of bytes,
    // which may alias any member.
    const std::span<const Uuid> ids = ids_;
    const std::uint64_t base = base_;
    std::size_t room = table_.capacity() - table_.positions();  // entries it appends without growing
    std::size_t appended = 0;
    std::uint64_t appended_bytes = 0;
    bool merging = false;
    TextStarts cursor = stream_starts();
    try {
        for (std::size_t i = 0; i < ids.size(); ++i) {
            // The ids of a batch are usually new and spread over the whole
            // index: the slot of one a little ahead is fetched meanwhile.
            if (i + kFetchAhead < ids.size()) table_.prefetch_slot(ids[i + kFetchAhead]);
            const NodeScalars& item = batch_.scalars(i);
            std::uint64_t item_bytes = 0;
            for_each_text(item.text_bits(), [&](int t) {
                const std::uint64_t bytes = TextArena::written_bytes(cursor[t]);
                cursor[t] += bytes;
                item_bytes += bytes;
            });
            const auto entry = room != 0 ? table_.try_emplace_in_room(ids[i]) : emplace_growing(i, appended);
            // After growing, the room counts the entry just appended.
            if (room == 0) room = table_.capacity() - table_.positions() + entry.inserted;
            if (!entry.inserted) {
                note_merge(entry.position, i);
                merging = true;
                continue;
            }
            --room;
            entry.value.scalars = item;
            entry.value.set_offset(base + appended_bytes);
            appended_bytes += item_bytes;
            if (merging) appended_items_.push_back(static_cast<std::uint32_t>(i));
            ++appended;
        }
    } catch (...) {
        appended_ = appended;  // for undo
        throw;
    }
    appended_ = appended;
    appended_bytes_ = appended_bytes;
}

// try_emplace_in_room of item i's id in a full table, which grows first when
// the id is new, `appended` of the items before being new.
NodeMap::Table::Inserted NodeMap::BatchAdd::emplace_growing(std::size_t i, std::size_t appended) {
    const std::uint32_t position = table_.position_of(ids_[i]);
    if (position != Table::kNoPosition) return {table_.at_position(position).value, false, position};
    appended_ = appended;
    grow(i);
    return table_.try_emplace_in_room(ids_[i]);
}

void NodeMap::BatchAdd::grow(std::size_t i) {
    const std::size_t size = table_.size();
    const std::size_t left = ids_.size() - i;
    const std::size_t expected = i == 0 ? std::min(left, kFirstRoom) : (left * appended_ + i - 1) / i;
    const bool has_holes = table_.positions() != size;
    Table::Storage replaced = table_.adopt(table_.room_for(std::max(size + expected, Table::grown_size(size))));
    // A block the batch made is freed as soon as it is replaced.
    if (capacity_before_ != 0 && !original_) original_ = std::move(replaced);
    if (has_holes) {
        // Closing the holes moved the entries behind them: the merges noted
        // so far find their updates again by their ids.
        for (Merge& merge : merges_) merge.position = table_.position_of(ids_[merge.item]);
    }
    first_ = static_cast<std::uint32_t>(table_.positions() - appended_);
}

void NodeMap::BatchAdd::note_merge(std::uint32_t position, std::size_t i) {
    if (merges_.empty()) {
        // Every item so far was appended.
        appended_items_.reserve(ids_.size());
        for (std::uint32_t k = 0; k < i; ++k) appended_items_.push_back(k);
    }
    merges_.push_back({position, static_cast<std::uint32_t>(i)});
}

void NodeMap::BatchAdd::find_item_starts() {
    item_starts_.resize(ids_.size());
    TextStarts cursor = stream_starts();
    for (std::size_t i = 0; i < ids_.size(); ++i) {
        for_each_text(batch_.scalars(i).text_bits(), [&](int t) {
            item_starts_[i][t] = cursor[t];
            cursor[t] += TextArena::written_bytes(cursor[t]);
        });
    }
}

template <class Visit>
void NodeMap::BatchAdd::for_each_merged_update(Visit visit) const {
    for (std::size_t begin = 0, end; begin < merges_.size(); begin = end) {
        NodeScalars::Bits bits = batch_.scalars(merges_[begin].item).text_bits();
        for (end = begin + 1; end < merges_.size() && merges_[end].position == merges_[begin].position; ++end) {
            bits |= batch_.scalars(merges_[end].item).text_bits();
        }
        visit(begin, end, bits);
    }
}

void NodeMap::BatchAdd::size_merges() {
    std::uint64_t incoming = appended_bytes_;
    std::uint64_t dying = 0;
    if (!merges_.empty()) {
        find_item_starts();
        // Merges into one update next to each other, in the order of the
        // items; each update that gets texts gets a record of the merged
        // texts, and its own dies.
        std::sort(merges_.begin(), merges_.end(), [](const Merge& a, const Merge& b) {
            return a.position != b.position ? a.position < b.position : a.item < b.item;
        });
        for_each_merged_update([&](std::size_t begin, std::size_t end, NodeScalars::Bits bits) {
            if (!bits) return;
            const std::uint32_t position = merges_[begin].position;
            // An update appended by the batch has its item's texts, not yet
            // written.
            NodeUpdateView texts = position < first_ ? view_of(table_.at_position(position).value, texts_.data())
                                                     : item_texts(appended_items_[position - first_]);
            dying += texts_bytes(texts);
            overlay_merges(texts, begin, end);
            incoming += texts_bytes(texts);
        });
    }
    reclaiming_ = map_.reclaims(incoming, dying);
    if (reclaiming_) reclaim_block_ = reclaim_block(texts_.live() - dying + incoming);
    texts_.reserve_more(incoming);  // the last allocation: nothing to take back after it
}

void NodeMap::BatchAdd::undo() noexcept {
    // The appended entries, last first, then the table's own block (or none,
    // when it had none).
    for (; appended_ > 0; --appended_) table_.pop_back();
    if (capacity_before_ == 0) {
        table_ = Table();
    } else if (original_) {
        table_.adopt(std::move(original_));
    }
}

void NodeMap::BatchAdd::write() noexcept {
    // When every item is new and has texts of one attribute at most, the
    // records are that attribute's stream as it stands.
    int streams = 0;
    for (int t = 0; t < kTextCount; ++t) streams += !batch_.stream(t).empty();
    if (merges_.empty() && streams <= 1) {
        for (int t = 0; t < kTextCount; ++t) {
            const std::string_view stream = batch_.stream(t);
            if (stream.empty()) continue;
            std::memcpy(texts_.end(), stream.data(), stream.size());
            texts_.append(stream.size());
        }
        return;
    }
    TextStarts cursor = stream_starts();
    char* out = texts_.end();
    for (std::size_t k = 0; k < appended_; ++k) {
        const std::size_t item = merges_.empty() ? k : appended_items_[k];
        for_each_text(batch_.scalars(item).text_bits(), [&](int t) {
            const char* from = merges_.empty() ? cursor[t] : item_starts_[item][t];
            const std::uint64_t bytes = TextArena::written_bytes(from);
            std::memcpy(out, from, static_cast<std::size_t>(bytes));
            out += bytes;
            cursor[t] = from + bytes;
        });
    }
    texts_.append(static_cast<std::uint64_t>(out - texts_.end()));
}

void NodeMap::BatchAdd::apply() noexcept {
    // The merges, each update's in the order of the items.
    for_each_merged_update([&](std::size_t begin, std::size_t end, NodeScalars::Bits bits) {
        Stored& stored = table_.at_position(merges_[begin].position).value;
        if (bits) {
            NodeUpdateView texts = view_of(stored, texts_.data());
            overlay_merges(texts, begin, end);
            texts_.kill(map_.record_bytes(stored));
            stored.set_offset(map_.append_record(texts));
            stored.scalars.set_text_bits(texts.scalars().text_bits());
        }
        for (std::size_t k = begin; k < end; ++k) stored.scalars.merge(batch_.scalars(merges_[k].item));
    });
    if (reclaiming_) map_.reclaim(std::move(reclaim_block_));
    // The room the table grew by for ids that turned out to repeat: a table
    // more than twice the size its entries need (and than it had) moves
    // into the smallest that holds them, as the loop of add_node would have
    // filled.
    table_.shrink_to(std::max(capacity_before_, table_.size()));
}

void NodeMap::add_all(std::span<const Uuid> ids, const UpdateBatch& batch) {
    if (ids.empty()) return;
    BatchAdd add(*this, ids, batch);
    try {
        add.plan();
        add.size_merges();
    } catch (...) {
        add.undo();
        throw;
    }
    add.write();
    add.apply();
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
