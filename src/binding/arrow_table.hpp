// A diff's collection as an Arrow table: a snapshot of one of the four
// collections in column buffers of its own, and its exports through the
// Arrow C data and stream interfaces (arrow_c.hpp).
//
// A Table is made once, from the diff as it stands, and never changes. Every
// export shares its buffers: an exported schema owns only its own structs,
// and an exported array or stream holds a counted reference to the table,
// which goes when the last of them, and the Python object that made them,
// let it go. Consumers release what they were given from any thread, with
// or without the interpreter lock, so nothing here touches the interpreter:
// the count is atomic and the release callbacks free plain heap blocks.
//
// A text column's offsets are 32-bit, so one record batch holds at most
// batch_text_limit() bytes of each text column. A table whose texts need
// more is cut into several batches, each within the limit: its stream gives
// them one after the other, and it has no single array.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "binding/arrow_c.hpp"
#include "diff/graph_diff.hpp"
#include "diff/heap.hpp"
#include "diff/result.hpp"

namespace quorl::binding::arrow {

// The collection a table holds, in the order of the views.
enum class TableKind : std::uint8_t { NewOrUpdatedNodes, DeletedNodes, NewOrUpdatedEdges, DeletedEdges };

// A column: its name, its Arrow format and whether it may hold nulls.
struct ColumnField {
    const char* name;
    const char* format;
    bool nullable;
};
std::span<const ColumnField> columns_of(TableKind kind) noexcept;
inline constexpr std::size_t kMaxColumns = 8;

// The most bytes a text column's 32-bit offsets reach, and so the most one
// record batch holds of each text column.
inline constexpr std::uint64_t kMaxBatchTextBytes = 0x7FFFFFFF;
// The limit tables are made with: kMaxBatchTextBytes, or less in test
// builds, which may lower it to cut small tables into batches.
std::uint64_t batch_text_limit() noexcept;
#ifdef QUORL_FAULT_INJECTION
void set_batch_text_limit(std::uint64_t bytes) noexcept;
#endif

// A node's text longer than any record batch can hold.
struct TextTooLong {
    diff::Uuid id;
    const char* column;
    std::uint64_t bytes;
};

class Table;

// A counted reference to a table.
class TableRef {
public:
    TableRef() noexcept = default;
    explicit TableRef(const Table* adopted) noexcept : table_(adopted) {}
    TableRef(TableRef&& other) noexcept : table_(other.table_) { other.table_ = nullptr; }
    TableRef(const TableRef&) = delete;
    TableRef& operator=(const TableRef&) = delete;
    TableRef& operator=(TableRef&&) = delete;
    ~TableRef();

    const Table* get() const noexcept { return table_; }
    const Table* operator->() const noexcept { return table_; }
    // Gives up the reference: the caller now holds it.
    const Table* release() noexcept {
        const Table* table = table_;
        table_ = nullptr;
        return table;
    }

private:
    const Table* table_ = nullptr;
};

class Table {
public:
    // The table of `kind` of the diff as it stands. Throws std::bad_alloc
    // when its buffers cannot be allocated.
    static Result<TableRef, TextTooLong> make(const diff::GraphDiff& diff, TableKind kind);

    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;

    TableKind kind() const noexcept { return kind_; }
    std::size_t rows() const noexcept { return starts_.back(); }
    std::size_t batch_count() const noexcept { return starts_.size() - 1; }
    std::span<const ColumnField> columns() const noexcept { return columns_of(kind_); }
    // The limit the table was cut by.
    std::uint64_t text_limit() const noexcept { return text_limit_; }

    // Fill `out`, which the caller owns and releases through its release
    // callback. Each throws std::bad_alloc, leaving `out` as it was, when
    // the structs cannot be allocated.
    void export_schema(ArrowSchema* out) const;
    // A struct array of the columns: a record batch.
    void export_batch(std::size_t batch, ArrowArray* out) const;
    // The schema, then each batch (none for no rows), then the end.
    void export_stream(ArrowArrayStream* out) const;

    void retain() const noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release() const noexcept;

private:
    // One column of one batch, as its arrays are exported.
    struct Child {
        std::int64_t null_count = 0;
        std::int64_t n_buffers = 0;
        const void* buffers[3] = {};
    };
    struct Build;

    Table(TableKind kind, std::uint64_t text_limit) noexcept : kind_(kind), text_limit_(text_limit) {}
    ~Table();
    // A new block of `bytes` owned by the table (a shared empty one for
    // none).
    std::uint8_t* allocate(std::size_t bytes);
    Child& child(std::size_t batch, std::size_t column) noexcept { return children_[batch * columns().size() + column]; }
    const Child& child(std::size_t batch, std::size_t column) const noexcept {
        return children_[batch * columns().size() + column];
    }

    mutable std::atomic<std::size_t> refs_{1};
    TableKind kind_;
    std::uint64_t text_limit_;
    // The first row of each batch, then the number of rows.
    diff::heap::Vector<std::size_t> starts_;
    diff::heap::Vector<Child> children_;  // batch by batch, column by column
    diff::heap::Vector<void*> blocks_;    // the buffers
    void* zeros_ = nullptr;               // the buffers of the all-null columns
};

inline TableRef::~TableRef() {
    if (table_) table_->release();
}

}  // namespace quorl::binding::arrow
