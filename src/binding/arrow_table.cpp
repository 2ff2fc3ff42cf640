#include "binding/arrow_table.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>
#include <type_traits>

namespace quorl::binding::arrow {
namespace {

namespace heap = diff::heap;
using diff::AttributeKind;

constexpr std::size_t kIdBytes = sizeof(diff::Uuid);

// The buffers of a column without rows: every buffer must be there, the
// offsets of a text column holding its one 0.
alignas(64) const std::uint8_t kNoBytes[64] = {};
// A struct array's buffers: its validity bitmap, absent (no row is null).
const void* kStructBuffers[1] = {nullptr};

constexpr const char* format_of(AttributeKind kind) noexcept {
    switch (kind) {
        case AttributeKind::Text: return "u";      // utf8, 32-bit offsets
        case AttributeKind::Float: return "f";     // float32
        case AttributeKind::Byte: return "C";      // uint8
        case AttributeKind::Bool: return "b";      // bool, one bit a row
    }
    return "";
}

// The nodes' columns: the id, then each attribute, in declared order.
constexpr ColumnField kNodeColumns[] = {
    {"id", "w:16", false},       {"label", "u", true}, {"size", "f", true},
    {"url", "u", true},          {"red", "C", true},   {"green", "C", true},
    {"blue", "C", true},         {"show_label", "b", true},
};
static_assert([] {
    if (std::size(kNodeColumns) != 1 + diff::kAttributeCount) return false;
    for (const diff::AttributeRow& row : diff::kAttributes) {
        const ColumnField& column = kNodeColumns[1 + row.attribute];
        if (std::string_view(column.name) != row.name || std::string_view(column.format) != format_of(row.kind)) {
            return false;
        }
    }
    return true;
}(), "a column per attribute after the id, named after it, in declared order");
constexpr ColumnField kDeletedNodeColumns[] = {{"id", "w:16", false}};
constexpr ColumnField kEdgeColumns[] = {{"from", "w:16", false}, {"to", "w:16", false}, {"weight", "f", false}};
constexpr ColumnField kDeletedEdgeColumns[] = {{"from", "w:16", false}, {"to", "w:16", false}};
static_assert(std::size(kNodeColumns) <= kMaxColumns);

std::uint64_t g_text_limit = kMaxBatchTextBytes;

constexpr std::size_t bitmap_bytes(std::size_t bits) noexcept { return (bits + 7) / 8; }
inline void set_bit(std::uint8_t* bits, std::size_t i) noexcept {
    bits[i >> 3] = static_cast<std::uint8_t>(bits[i >> 3] | (1u << (i & 7)));
}
inline std::uint8_t* put_id(std::uint8_t* out, const diff::Uuid& id) noexcept {
    std::memcpy(out, id.bytes.data(), kIdBytes);
    return out + kIdBytes;
}

// ---- the exported structs --------------------------------------------------
//
// An exported schema or array is one heap block holding its children's
// structs and the array of pointers to them. A consumer may move a child out
// and release it after its parent, so a child owns nothing in that block:
// an array's child holds a reference to the table of its own, and its
// buffers' addresses live in the table.

struct SchemaBlock {
    ArrowSchema children[kMaxColumns];
    ArrowSchema* pointers[kMaxColumns];
};

void release_child_schema(ArrowSchema* schema) noexcept { schema->release = nullptr; }

void release_schema(ArrowSchema* schema) noexcept {
    for (std::int64_t i = 0; i < schema->n_children; ++i) {
        ArrowSchema* child = schema->children[i];
        if (child->release) child->release(child);
    }
    heap::release(schema->private_data);
    schema->release = nullptr;
}

struct ArrayBlock {
    const Table* table;
    ArrowArray children[kMaxColumns];
    ArrowArray* pointers[kMaxColumns];
};

void release_child_array(ArrowArray* array) noexcept {
    static_cast<const Table*>(array->private_data)->release();
    array->release = nullptr;
}

void release_array(ArrowArray* array) noexcept {
    for (std::int64_t i = 0; i < array->n_children; ++i) {
        ArrowArray* child = array->children[i];
        if (child->release) child->release(child);
    }
    auto* block = static_cast<ArrayBlock*>(array->private_data);
    const Table* table = block->table;
    heap::release(block);
    table->release();
    array->release = nullptr;
}

// A stream's state: its table and the next batch to give.
struct StreamState {
    const Table* table;
    std::size_t next;
};

StreamState& state_of(ArrowArrayStream* stream) noexcept { return *static_cast<StreamState*>(stream->private_data); }

// The one way a stream's call fails: no memory for the structs it gives.
constexpr char kStreamNoMemory[] = "out of memory";

int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
    try {
        state_of(stream).table->export_schema(out);
        return 0;
    } catch (...) {
        return ENOMEM;
    }
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
    StreamState& state = state_of(stream);
    if (state.next == state.table->batch_count()) {
        std::memset(out, 0, sizeof *out);  // released: the end of the stream
        return 0;
    }
    try {
        state.table->export_batch(state.next, out);
    } catch (...) {
        return ENOMEM;
    }
    ++state.next;
    return 0;
}

const char* stream_error(ArrowArrayStream*) noexcept { return kStreamNoMemory; }

void stream_release(ArrowArrayStream* stream) noexcept {
    auto* state = static_cast<StreamState*>(stream->private_data);
    const Table* table = state->table;
    heap::release(state);
    table->release();
    stream->release = nullptr;
}

}  // namespace

std::span<const ColumnField> columns_of(TableKind kind) noexcept {
    switch (kind) {
        case TableKind::NewOrUpdatedNodes: return kNodeColumns;
        case TableKind::DeletedNodes: return kDeletedNodeColumns;
        case TableKind::NewOrUpdatedEdges: return kEdgeColumns;
        case TableKind::DeletedEdges: return kDeletedEdgeColumns;
    }
    return {};
}

std::uint64_t batch_text_limit() noexcept { return g_text_limit; }
#ifdef QUORL_FAULT_INJECTION
void set_batch_text_limit(std::uint64_t bytes) noexcept { g_text_limit = bytes; }
#endif

// ---- making a table ------------------------------------------------------------

Table::~Table() {
    for (void* block : blocks_) heap::release(block);
    std::free(zeros_);
}

void Table::release() const noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

std::uint8_t* Table::allocate(std::size_t bytes) {
    if (bytes == 0) return const_cast<std::uint8_t*>(kNoBytes);
    blocks_.push_back(nullptr);
    blocks_.back() = heap::allocate(bytes);
    return static_cast<std::uint8_t*>(blocks_.back());
}

struct Table::Build {
    static TableRef start(TableKind kind) { return TableRef(new Table(kind, g_text_limit)); }
    static Table& of(const TableRef& table) noexcept { return const_cast<Table&>(*table.get()); }

    // One batch of `rows` rows.
    static void one_batch(Table& table, std::size_t rows) {
        table.starts_ = {0, rows};
        table.children_.resize(table.columns().size());
    }
    // A column of `values`, none null.
    static Child plain(const void* values) noexcept { return {0, 2, {nullptr, values, nullptr}}; }

    // The ids of a set of nodes.
    static TableRef ids(const diff::NodeSet& nodes) {
        TableRef ref = start(TableKind::DeletedNodes);
        Table& table = of(ref);
        one_batch(table, nodes.size());
        std::uint8_t* out = table.allocate(nodes.size() * kIdBytes);
        table.child(0, 0) = plain(out);
        for (const auto& node : nodes) out = put_id(out, node.key);
        return ref;
    }

    // A row per target of each source, in order.
    template <class Sources>
    static TableRef edges(TableKind kind, const Sources& sources) {
        constexpr bool kWeighted = std::is_same_v<typename Sources::mapped_type, diff::TargetWeights>;
        std::size_t rows = 0;
        for (const auto& source : sources) rows += source.value.size();
        TableRef ref = start(kind);
        Table& table = of(ref);
        one_batch(table, rows);
        std::uint8_t* from = table.allocate(rows * kIdBytes);
        std::uint8_t* to = table.allocate(rows * kIdBytes);
        table.child(0, 0) = plain(from);
        table.child(0, 1) = plain(to);
        std::uint8_t* weights = nullptr;
        if constexpr (kWeighted) {
            weights = table.allocate(rows * sizeof(float));
            table.child(0, 2) = plain(weights);
        }
        for (const auto& source : sources) {
            for (const auto& target : source.value) {
                from = put_id(from, source.key);
                to = put_id(to, target.key);
                if constexpr (kWeighted) {
                    std::memcpy(weights, &target.value, sizeof(float));  // every bit kept
                    weights += sizeof(float);
                }
            }
        }
        return ref;
    }

    // ---- the nodes -----------------------------------------------------------
    //
    // The nodes go in two passes. The first (plan) finds which attributes
    // are present, how many bytes each text column holds and where each
    // batch starts; the buffers are then made at their final sizes
    // (allocate_columns), and the second pass writes them (NodeWriter).

    static constexpr int kTexts = diff::kTextCount;
    struct NodePlan {
        std::array<std::size_t, diff::kAttributeCount> present{};  // nodes that have each attribute
        std::array<std::uint64_t, kTexts> text_bytes{};             // of each text column
    };
    // An attribute's column, all its batches. A column in which every node
    // has the attribute has no validity bitmap. One in which none has it is
    // all null: its buffers are one block of zeros that all such columns
    // share, allocated zeroed, so that pages nobody reads need not be
    // touched.
    struct NodeColumn {
        const std::uint8_t* validity = nullptr;  // null when no row is null
        std::uint8_t* values = nullptr;          // the offsets of a text
        std::uint8_t* data = nullptr;            // the bytes of a text
        bool all_null = false;
    };
    using NodeColumns = std::array<NodeColumn, diff::kAttributeCount>;
    class NodeWriter;

    static Result<NodePlan, TextTooLong> plan(Table& table, const diff::NodeMap& nodes);
    static NodeColumns allocate_columns(Table& table, const NodePlan& plan);
    static Result<TableRef, TextTooLong> nodes(const diff::NodeMap& nodes);
};

// Fills the table's batch starts: a batch ends before the node whose texts
// would take one of its text columns past the limit.
Result<Table::Build::NodePlan, TextTooLong> Table::Build::plan(Table& table, const diff::NodeMap& nodes) {
    const std::uint64_t limit = table.text_limit_;
    NodePlan plan;
    std::array<std::uint64_t, kTexts> batch_bytes{};
    table.starts_.push_back(0);
    std::size_t row = 0;
    for (const auto& node : nodes) {
        const diff::NodeScalars& scalars = node.value.scalars();
        for (int a = 0; a < diff::kAttributeCount; ++a) plan.present[a] += scalars.has(static_cast<diff::Attribute>(a));
        std::array<std::uint64_t, kTexts> length{};
        bool fits = true;
        for (int k = 0; k < kTexts; ++k) {
            const diff::Attribute attribute = diff::text_attribute(k);
            if (scalars.has(attribute)) length[k] = node.value.text(k).size();
            if (length[k] > limit) return fail(TextTooLong{node.key, diff::kAttributes[attribute].name.data(), length[k]});
            fits = fits && batch_bytes[k] + length[k] <= limit;
        }
        if (!fits) {  // never at a batch's first node, whose texts fit alone
            table.starts_.push_back(row);
            batch_bytes = {};
        }
        for (int k = 0; k < kTexts; ++k) {
            batch_bytes[k] += length[k];
            plan.text_bytes[k] += length[k];
        }
        ++row;
    }
    table.starts_.push_back(row);
    return plan;
}

Table::Build::NodeColumns Table::Build::allocate_columns(Table& table, const NodePlan& plan) {
    const std::size_t rows = table.rows();
    // The bytes of a column's values: a text's offsets, each batch's
    // following the batch before (batch b's first offset is entry
    // start + b).
    auto values_bytes = [&](AttributeKind kind) -> std::size_t {
        switch (kind) {
            case AttributeKind::Text: return (rows + table.batch_count()) * sizeof(std::int32_t);
            case AttributeKind::Float: return rows * sizeof(float);
            case AttributeKind::Byte: return rows;
            case AttributeKind::Bool: return bitmap_bytes(rows);
        }
        return 0;
    };
    std::size_t zero_bytes = 0;
    for (const diff::AttributeRow& attribute : diff::kAttributes) {
        if (plan.present[attribute.attribute] == 0) zero_bytes = std::max(zero_bytes, values_bytes(attribute.kind));
    }
    auto* zeros = const_cast<std::uint8_t*>(kNoBytes);  // never written: every row of its columns is null
    if (zero_bytes > sizeof kNoBytes) {
        if (heap::next_fails() || !(table.zeros_ = std::calloc(zero_bytes, 1))) throw std::bad_alloc();
        zeros = static_cast<std::uint8_t*>(table.zeros_);
    }

    NodeColumns columns;
    for (const diff::AttributeRow& attribute : diff::kAttributes) {
        NodeColumn& column = columns[attribute.attribute];
        const std::size_t present = plan.present[attribute.attribute];
        if (present == 0) {
            column = {zeros, zeros, zeros, true};
            continue;
        }
        if (present < rows) {
            std::uint8_t* validity = table.allocate(bitmap_bytes(rows));
            std::memset(validity, 0, bitmap_bytes(rows));
            column.validity = validity;
        }
        column.values = table.allocate(values_bytes(attribute.kind));
        if (attribute.kind == AttributeKind::Bool) std::memset(column.values, 0, bitmap_bytes(rows));
        if (attribute.kind == AttributeKind::Text) {
            column.data = table.allocate(plan.text_bytes[diff::index_in_kind(attribute.attribute)]);
        }
    }
    return columns;
}

// Writes the nodes row by row into the columns, batch by batch.
class Table::Build::NodeWriter {
public:
    NodeWriter(Table& table, const NodeColumns& columns) noexcept
        : table_(table), columns_(columns), ids_(nullptr), id_out_(nullptr) {}

    void start(std::uint8_t* ids) {
        ids_ = id_out_ = ids;
        open_batch();
    }

    void write(const diff::Uuid& id, const diff::NodeUpdateView& update) {
        if (row_ == table_.starts_[batch_ + 1]) {
            close_batch();
            ++batch_;
            open_batch();
        }
        id_out_ = put_id(id_out_, id);
        diff::for_each_attribute([&](auto a) { write_attribute<a>(update.get<a>()); });
        ++row_;
    }

    // Sets the children of the last batch.
    void finish() noexcept { close_batch(); }

private:
    template <diff::Attribute A>
    void write_attribute(std::optional<diff::AttributeValue<A>> value) noexcept {
        const NodeColumn& column = columns_[A];
        if (column.all_null) return;
        if (value) {
            if (column.validity) set_bit(const_cast<std::uint8_t*>(column.validity), row_);
        } else {
            ++nulls_[A];
        }
        if constexpr (diff::kKindOf<A> == AttributeKind::Text) {
            constexpr int kK = diff::index_in_kind(A);
            if (value && !value->empty()) {
                std::memcpy(column.data + written_[kK], value->data(), value->size());
                written_[kK] += value->size();
            }
            // Within the limit, which 32 bits hold.
            const auto offset = static_cast<std::int32_t>(written_[kK] - batch_start_[kK]);
            std::memcpy(column.values + (row_ + batch_ + 1) * sizeof offset, &offset, sizeof offset);
        } else if constexpr (diff::kKindOf<A> == AttributeKind::Float) {
            const float size = value ? *value : 0.0f;
            std::memcpy(column.values + row_ * sizeof size, &size, sizeof size);
        } else if constexpr (diff::kKindOf<A> == AttributeKind::Byte) {
            column.values[row_] = value ? *value : 0;
        } else {
            if (value && *value) set_bit(column.values, row_);
        }
    }

    void open_batch() noexcept {
        for (int k = 0; k < kTexts; ++k) {
            const NodeColumn& column = columns_[diff::text_attribute(k)];
            batch_start_[k] = written_[k];
            if (!column.all_null) std::memset(column.values + (row_ + batch_) * sizeof(std::int32_t), 0, sizeof(std::int32_t));
        }
        nulls_ = {};
    }

    void close_batch() noexcept {
        const std::size_t length = table_.starts_[batch_ + 1] - table_.starts_[batch_];
        table_.child(batch_, 0) = plain(ids_);
        diff::for_each_attribute([&](auto a) {
            constexpr diff::Attribute kA = a;
            const NodeColumn& column = columns_[kA];
            Child& child = table_.child(batch_, 1 + kA);
            child.null_count = column.all_null ? static_cast<std::int64_t>(length) : nulls_[kA];
            child.buffers[0] = column.validity;
            if constexpr (diff::kKindOf<kA> == AttributeKind::Text) {
                child.n_buffers = 3;
                child.buffers[1] = column.values + batch_ * sizeof(std::int32_t);
                child.buffers[2] = column.data + batch_start_[diff::index_in_kind(kA)];
            } else {
                child.n_buffers = 2;
                child.buffers[1] = column.values;
            }
        });
    }

    Table& table_;
    const NodeColumns& columns_;
    std::uint8_t* ids_;
    std::uint8_t* id_out_;
    std::size_t row_ = 0;
    std::size_t batch_ = 0;
    // Where the current batch starts in each text column's bytes, and how
    // far the column has come; each column's nulls in the current batch.
    std::array<std::uint64_t, kTexts> batch_start_{};
    std::array<std::uint64_t, kTexts> written_{};
    std::array<std::int64_t, diff::kAttributeCount> nulls_{};
};

Result<TableRef, TextTooLong> Table::Build::nodes(const diff::NodeMap& nodes) {
    TableRef ref = start(TableKind::NewOrUpdatedNodes);
    Table& table = of(ref);
    auto planned = plan(table, nodes);
    if (!planned) return fail(std::move(planned).error());
    table.children_.resize(table.batch_count() * table.columns().size());
    const NodeColumns columns = allocate_columns(table, *planned);
    NodeWriter writer(table, columns);
    writer.start(table.allocate(table.rows() * kIdBytes));
    for (const auto& node : nodes) writer.write(node.key, node.value);
    writer.finish();
    return ref;
}

Result<TableRef, TextTooLong> Table::make(const diff::GraphDiff& diff, TableKind kind) {
    switch (kind) {
        case TableKind::NewOrUpdatedNodes: return Build::nodes(diff.new_or_updated_nodes());
        case TableKind::DeletedNodes: return Build::ids(diff.deleted_nodes());
        case TableKind::NewOrUpdatedEdges: return Build::edges(kind, diff.new_or_updated_edges());
        case TableKind::DeletedEdges: return Build::edges(kind, diff.deleted_edges());
    }
    return Build::ids(diff.deleted_nodes());
}

// ---- exports ---------------------------------------------------------------------

void Table::export_schema(ArrowSchema* out) const {
    const std::span<const ColumnField> fields = columns();
    auto* block = static_cast<SchemaBlock*>(heap::allocate(sizeof(SchemaBlock)));
    for (std::size_t i = 0; i < fields.size(); ++i) {
        block->children[i] = ArrowSchema{fields[i].format, fields[i].name, nullptr,
                                         fields[i].nullable ? ARROW_FLAG_NULLABLE : 0, 0, nullptr, nullptr,
                                         release_child_schema, nullptr};
        block->pointers[i] = &block->children[i];
    }
    *out = ArrowSchema{"+s", "", nullptr, 0, static_cast<std::int64_t>(fields.size()), block->pointers, nullptr,
                       release_schema, block};
}

void Table::export_batch(std::size_t batch, ArrowArray* out) const {
    const std::size_t columns = this->columns().size();
    auto* block = static_cast<ArrayBlock*>(heap::allocate(sizeof(ArrayBlock)));
    const auto start = static_cast<std::int64_t>(starts_[batch]);
    const auto length = static_cast<std::int64_t>(starts_[batch + 1]) - start;
    block->table = this;
    for (std::size_t i = 0; i < columns; ++i) {
        const Child& source = child(batch, i);
        retain();  // the child's own
        block->children[i] = ArrowArray{length,
                                        source.null_count,
                                        start,
                                        source.n_buffers,
                                        0,
                                        const_cast<const void**>(source.buffers),
                                        nullptr,
                                        nullptr,
                                        release_child_array,
                                        const_cast<Table*>(this)};
        block->pointers[i] = &block->children[i];
    }
    retain();  // the block's
    *out = ArrowArray{length, 0, 0, 1, static_cast<std::int64_t>(columns), kStructBuffers, block->pointers, nullptr,
                      release_array, block};
}

void Table::export_stream(ArrowArrayStream* out) const {
    auto* state = static_cast<StreamState*>(heap::allocate(sizeof(StreamState)));
    // An empty table streams no batch at all: a batch of no rows is what
    // some readers (polars 1.8) cannot take.
    *state = StreamState{this, rows() == 0 ? batch_count() : 0};
    retain();
    *out = ArrowArrayStream{stream_schema, stream_next, stream_error, stream_release, state};
}

}  // namespace quorl::binding::arrow
