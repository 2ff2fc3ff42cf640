// Conversions of the arguments of the batch methods (add_edges,
// delete_edges, add_nodes, delete_nodes): each turns a whole argument into a
// column of model values, item by item with the conversion the single method
// uses, or straight from the memory of an object that holds them packed.
//
// Each kind of column is read by the first of its forms that takes the
// object, tried in a fixed order (convert_batch.cpp): ids packed in an exact
// `bytes` (read in place), then an object that exports a buffer
// (batch_buffer.hpp), then any iterable (batch_items.hpp); weights also take
// a single number for every edge. A new form of every column is a file of
// its own beside those two and one line in each kind's chain.
//
// Every failure is already attributed to its argument: the error of a wrong
// item is the single conversion's error with "argument '<name>': item <k>: "
// in front of its message (its type and cause kept), and failures of the
// argument as a whole (not iterable, a buffer that cannot be read) carry
// "argument '<name>': " as the single methods' errors do.
//
// The arguments after a batch's first are columns that must have as many
// items as the first (ColumnLength): a column's length is compared as soon
// as it is known, from its len() or its buffer's shape before any item is
// read, and an iterable is read no further than one item past the count, so
// that an endless one ends too. The first column is refused in the same way
// when it has more items than a batch can hold (diff::kMaxBatchItems), and
// the others, which must match its count, cannot have more either.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/attribute_dict.hpp"
#include "binding/batch_column.hpp"
#include "binding/error.hpp"
#include "diff/node_attributes.hpp"
#include "diff/update_batch.hpp"
#include "diff/uuid.hpp"

namespace quorl::binding {

// A column of ids: read in place from a `bytes` object, which cannot change
// and which the caller holds until the call ends, or else a copy.
class IdColumn {
public:
    IdColumn() noexcept = default;
    explicit IdColumn(std::vector<diff::Uuid> copy) noexcept : copy_(std::move(copy)) {}
    static IdColumn in_place(std::span<const diff::Uuid> ids) noexcept {
        IdColumn column;
        column.in_place_ = ids;
        return column;
    }

    std::span<const diff::Uuid> ids() const noexcept {
        return in_place_.empty() ? std::span<const diff::Uuid>(copy_) : in_place_;
    }
    std::size_t size() const noexcept { return ids().size(); }

private:
    std::vector<diff::Uuid> copy_;
    std::span<const diff::Uuid> in_place_;
};

// Weights: one number for every edge, or one per edge. The store reads a
// single value as the weight of every edge; only the length check of the
// batch tells a number from a sequence of one.
struct Weights {
    std::vector<float> values;
    bool one_for_all = false;  // `values` holds the number that every edge takes

    // The number `number` for every edge, converted as `weight` is.
    static PyResult<Weights> one(PyObject* number, const char* name);
};

// Ids: packed 16 bytes to an id in an exact `bytes` or in the bytes of a
// buffer in C order, or the items of any other iterable, each converted as
// `id` is; as many as `length` says, when it is given.
PyResult<IdColumn> extract_uuid_column(PyObject* obj, const char* name,
                                       std::optional<ColumnLength> length = std::nullopt);

// A number that is not iterable (a zero-dimensional buffer such as a numpy
// scalar counts as one number), a one-dimensional buffer of float32 or
// float64, or an iterable of numbers, each converted as `weight` is, as
// many as `length` says.
PyResult<Weights> extract_weights(PyObject* obj, const char* name, ColumnLength length);

// Whether `names` are add_nodes' attribute columns: the attributes' names,
// in the order of the attribute dict's keys.
constexpr bool are_attribute_columns(std::span<const char* const> names) {
    if (names.size() != kAttributeDictOrder.size()) return false;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (std::string_view(names[i]) != diff::kAttributes[kAttributeDictOrder[i]].name) return false;
    }
    return true;
}

// The updates of add_nodes, `count` of them (one per id), from its
// parameters after the ids (`signature`'s parameters[1...], given in `given`
// in that order, each null when left out or None): the list `updates` of
// attribute dicts, each converted as `update` is; or else the attribute
// columns (are_attribute_columns) that were given, each written into the
// updates in turn: an iterable in which None leaves the attribute out for
// that item, or (for the numeric attributes) a one-dimensional buffer of a
// fitting format: float32 or float64 for sizes, any integer type for
// colours (range-checked as `update` checks them), bool for show_label.
// `updates` and a column together are refused (TypeError) before either is
// read.
PyResult<diff::UpdateBatch> extract_node_updates(const CallSignature& signature, std::span<PyObject* const> given,
                                                 std::size_t count);

}  // namespace quorl::binding
