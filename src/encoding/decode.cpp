#include "encoding/decode.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "encoding/byte_order.hpp"
#include "encoding/wire_format.hpp"

namespace quorl::encoding {

using diff::DeletedEdgeMap;
using diff::EdgeMap;
using diff::OrderedTable;
using diff::GraphDiff;
using diff::NodeMap;
using diff::NodeSet;
using diff::TargetSet;
using diff::TargetWeights;
using diff::Uuid;

namespace {

// Where a run of bytes stops being UTF-8: the index of the offending
// sequence and the number of bytes that make it invalid, or 0 when the input
// ends in the middle of an otherwise valid sequence.
struct Utf8Fault {
    std::size_t index;
    std::size_t length;
};

std::optional<Utf8Fault> find_utf8_fault(const std::uint8_t* s, std::size_t n) noexcept {
    std::size_t i = 0;
    while (i < n) {
        if (s[i] < 0x80) {
            // ASCII runs go eight bytes at a time.
            while (n - i >= 8) {
                std::uint64_t w;
                std::memcpy(&w, s + i, 8);
                if (w & 0x8080808080808080ULL) break;
                i += 8;
            }
            while (i < n && s[i] < 0x80) ++i;
            continue;
        }
        // The lead byte fixes the number of continuation bytes and the range
        // the first of them must lie in (which excludes overlong forms,
        // surrogates and values beyond U+10FFFF); later ones are 80..BF.
        const std::uint8_t lead = s[i];
        std::size_t continuations;
        std::uint8_t low = 0x80;
        std::uint8_t high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            continuations = 1;
        } else if (lead == 0xE0) {
            continuations = 2;
            low = 0xA0;
        } else if (lead == 0xED) {
            continuations = 2;
            high = 0x9F;
        } else if (lead >= 0xE1 && lead <= 0xEF) {
            continuations = 2;
        } else if (lead == 0xF0) {
            continuations = 3;
            low = 0x90;
        } else if (lead == 0xF4) {
            continuations = 3;
            high = 0x8F;
        } else if (lead >= 0xF1 && lead <= 0xF3) {
            continuations = 3;
        } else {
            return Utf8Fault{i, 1};
        }
        for (std::size_t k = 1; k <= continuations; ++k) {
            if (i + k >= n) return Utf8Fault{i, 0};
            const std::uint8_t c = s[i + k];
            if (c < low || c > high) return Utf8Fault{i, k};
            low = 0x80;
            high = 0xBF;
        }
        i += continuations + 1;
    }
    return std::nullopt;
}

// Consumes the items of the byte string from the front. Every read checks
// that enough bytes remain; a failed read records the error and leaves the
// reader where it was.
class ContainerReader {
public:
    ContainerReader(const std::uint8_t* data, std::size_t size) : p_(data), remaining_(size) {}

    DecodeError& error() { return error_; }
    std::size_t remaining() const { return remaining_; }

    // A count or a length.
    bool read_count(std::uint64_t& n) {
        if (remaining_ < kCountSize) return fail_with(DecodeError::Kind::Io, "io error: unexpected end of file");
        const std::uint64_t value = detail::load_u64(p_);
        if (value > kMaxCount) {
            return fail_with(DecodeError::Kind::Custom, "Invalid size " + std::to_string(value) +
                                                            ": sizes must fit in a usize (0 to " +
                                                            std::to_string(kMaxCount) + ")");
        }
        take(kCountSize);
        n = value;
        return true;
    }

    bool read_identifier(Uuid& id) {
        std::uint64_t length;
        if (!read_count(length)) return false;
        if (remaining_ < length) return fail_with(DecodeError::Kind::Io, "io error: ");
        const std::uint8_t* bytes = take(static_cast<std::size_t>(length));
        if (length != 16) {
            return fail_with(DecodeError::Kind::Custom,
                             "UUID parsing failed: invalid length: expected 16 bytes, found " + std::to_string(length));
        }
        id = Uuid::from_bytes(bytes);
        return true;
    }

    // A node record text, viewed in place; it must be UTF-8.
    bool read_text(std::string_view& text) {
        std::uint64_t length;
        if (!read_count(length)) return false;
        if (remaining_ < length) return fail_with(DecodeError::Kind::Io, "io error: ");
        const std::uint8_t* bytes = take(static_cast<std::size_t>(length));
        if (auto fault = find_utf8_fault(bytes, static_cast<std::size_t>(length))) {
            std::string detail = fault->length == 0
                                     ? "incomplete utf-8 byte sequence from index " + std::to_string(fault->index)
                                     : "invalid utf-8 sequence of " + std::to_string(fault->length) +
                                           " bytes from index " + std::to_string(fault->index);
            return fail_with(DecodeError::Kind::InvalidUtf8Encoding, "string is not valid utf8: " + detail);
        }
        text = std::string_view(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length));
        return true;
    }

    // A binary32 value, bit for bit.
    bool read_weight(float& weight) {
        if (remaining_ < kWeightSize) return fail_with(DecodeError::Kind::Io, "io error: unexpected end of file");
        const std::uint32_t bits = detail::load_u32(take(kWeightSize));
        std::memcpy(&weight, &bits, 4);
        return true;
    }

private:
    const std::uint8_t* take(std::size_t n) noexcept {
        const std::uint8_t* at = p_;
        p_ += n;
        remaining_ -= n;
        return at;
    }

    bool fail_with(DecodeError::Kind kind, std::string message) {
        error_ = DecodeError{kind, std::move(message)};
        return false;
    }

    const std::uint8_t* p_;
    std::size_t remaining_;
    DecodeError error_{DecodeError::Kind::Io, {}};
};

// Room for the entries a collection announces, but never more than
// kMaxReserve before the data for them has been seen.
template <class Table>
void reserve_for(Table& table, std::uint64_t count) {
    table.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(count, kMaxReserve)));
}

// Called before reading entry `index` of `count`. Once the kMaxReserve
// entries reserved in advance are in, the rest are reserved in one step, as
// many as the remaining input can hold at `entry_size` bytes or more each, so
// memory still follows the bytes present and a large section costs one
// rebuild of its table rather than one per doubling.
template <class Table>
void make_room(Table& table, std::uint64_t index, std::uint64_t count, const ContainerReader& in,
               std::size_t entry_size) {
    if (index != kMaxReserve) return;
    const std::uint64_t rest = std::min<std::uint64_t>(count - index, in.remaining() / entry_size);
    table.reserve(table.size() + static_cast<std::size_t>(rest));
}

// The four sections, with the node record texts left unparsed.
struct Sections {
    OrderedTable<std::string_view> texts;  // node -> its record text (later entries win)
    NodeSet deleted_nodes;
    EdgeMap edges;
    DeletedEdgeMap deleted_edges;
};

// Reads a count and then that many entries into `table`, each by
// `read_entry`, reserving room by the rules above as they arrive.
template <class Table, class ReadEntry>
bool read_entries(ContainerReader& in, Table& table, std::size_t entry_size, ReadEntry read_entry) {
    std::uint64_t count;
    if (!in.read_count(count)) return false;
    reserve_for(table, count);
    for (std::uint64_t k = 0; k < count; ++k) {
        make_room(table, k, count, in, entry_size);
        if (!read_entry()) return false;
    }
    return true;
}

// A source group: the source, then its targets, each read by `read_target`
// into a fresh target table. A repeated source replaces the earlier group
// whole.
template <class Groups, class ReadTarget>
bool read_group(ContainerReader& in, Groups& groups, std::size_t target_size, ReadTarget read_target) {
    Uuid source;
    if (!in.read_identifier(source)) return false;
    typename Groups::mapped_type targets;
    if (!read_entries(in, targets, target_size, [&] { return read_target(targets); })) return false;
    groups.insert_or_assign(source, std::move(targets));
    return true;
}

bool read_sections(ContainerReader& in, Sections& out) {
    return read_entries(in, out.texts, kNodeEntrySize,
                        [&] {
                            Uuid id;
                            std::string_view text;
                            if (!in.read_identifier(id) || !in.read_text(text)) return false;
                            out.texts.insert_or_assign(id, text);
                            return true;
                        }) &&
           read_entries(in, out.deleted_nodes, kIdentifierSize,
                        [&] {
                            Uuid id;
                            if (!in.read_identifier(id)) return false;
                            out.deleted_nodes.try_emplace(id);
                            return true;
                        }) &&
           read_entries(in, out.edges, kGroupHeaderSize,
                        [&] {
                            return read_group(in, out.edges, kWeightedTargetSize, [&](TargetWeights& targets) {
                                Uuid target;
                                float weight;
                                if (!in.read_identifier(target) || !in.read_weight(weight)) return false;
                                targets.insert_or_assign(target, weight);
                                return true;
                            });
                        }) &&
           read_entries(in, out.deleted_edges, kGroupHeaderSize, [&] {
               return read_group(in, out.deleted_edges, kIdentifierSize, [&](TargetSet& targets) {
                   Uuid target;
                   if (!in.read_identifier(target)) return false;
                   targets.try_emplace(target);
                   return true;
               });
           });
    // Whatever follows the last section is ignored.
}

// A size the byte string cannot carry: the writer writes it as null.
bool unwritable(std::optional<float> size) noexcept { return size && !std::isfinite(*size); }

// The sizes handed back beside the bytes, by node, as the node records are
// read: each must be one the writer leaves out, and find its node.
class SizesToPutBack {
public:
    // False when `sizes` name a node twice, or hold a size the writer writes.
    bool take(std::span<const UnwrittenSize> sizes) {
        if (sizes.empty()) return true;
        table_.reserve(sizes.size());
        for (const UnwrittenSize& entry : sizes) {
            auto slot = table_.try_emplace(entry.id);
            if (!slot.inserted || !unwritable(entry.size)) return false;
            slot.value = entry.size;
        }
        return true;
    }
    // Puts the size of node `id`, if there is one, into its `update`; false
    // when the update has a size of its own.
    bool put_back(const Uuid& id, diff::NodeUpdate& update) {
        if (table_.empty()) return true;
        const float* size = table_.find(id);
        if (!size) return true;
        if (update.get<diff::kSize>()) return false;
        update.set<diff::kSize>(*size);
        ++placed_;
        return true;
    }
    // Whether every size has found its node.
    bool all_placed() const noexcept { return placed_ == table_.size(); }

private:
    OrderedTable<float> table_;
    std::size_t placed_ = 0;
};

DecodeError sizes_refused() {
    return DecodeError{DecodeError::Kind::Custom,
                       "the unwritten sizes must be NaN or infinite, each of a node read without a size"};
}

}  // namespace

std::vector<UnwrittenSize> unwritten_sizes(const GraphDiff& diff) {
    std::vector<UnwrittenSize> sizes;
    for (const auto& node : diff.new_or_updated_nodes()) {
        const std::optional<float> size = node.value.get<diff::kSize>();
        if (unwritable(size)) sizes.push_back({node.key, *size});
    }
    return sizes;
}

Result<GraphDiff, GraphDiffError> decode_graph_diff(const std::uint8_t* data, std::size_t size,
                                                    std::span<const UnwrittenSize> unwritten) {
    ContainerReader in(data, size);
    Sections sections;
    if (!read_sections(in, sections)) return fail(GraphDiffError(std::move(in.error())));
    SizesToPutBack sizes;
    if (!sizes.take(unwritten)) return fail(GraphDiffError(sizes_refused()));

    // Only now, with the whole container read, are the record texts parsed,
    // in the order of the table; the first bad one ends decoding.
    NodeMap nodes;
    nodes.reserve(sections.texts.size());
    for (const auto& entry : sections.texts) {
        auto update = decode_node_update(entry.value);
        if (!update) return fail(GraphDiffError(std::move(update).error()));
        if (!sizes.put_back(entry.key, *update)) return fail(GraphDiffError(sizes_refused()));
        nodes.add(entry.key, *update);  // the keys are distinct
    }
    if (!sizes.all_placed()) return fail(GraphDiffError(sizes_refused()));
    return GraphDiff(std::move(nodes), std::move(sections.deleted_nodes), std::move(sections.edges),
                     std::move(sections.deleted_edges));
}

}  // namespace quorl::encoding
