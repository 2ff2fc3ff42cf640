// What the forms of a batch column share. A batch method's arguments are
// columns, one item per change; convert_batch.hpp reads each column by the
// first of its forms that takes the object (packed `bytes`, a buffer, any
// iterable). Every form checks the column's count here as soon as it knows
// it, before it copies an item, and lets the interpreter run its signal
// handlers every few thousand items, so that Ctrl-C stops a long batch
// (KeyboardInterrupt) before the diff changes.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <utility>
#include <variant>

#include "binding/error.hpp"
#include "diff/node_attributes.hpp"

namespace quorl::binding {

// The number of items each further argument of a batch must have: that of
// the batch's first argument, which the messages name.
struct ColumnLength {
    const char* first_name;
    std::size_t count;
};

// What a form of a column makes of an object: nothing when the object is
// not of that form, and the next form is tried; else the column, or the
// failure that ends the call.
template <class T>
using FormResult = std::optional<PyResult<T>>;

// A column of `count` items for argument `name`: refused with ValueError
// when `length` requires another count, and, for the first column of a
// batch, which has no `length` and whose count the others must match, with
// OverflowError when a batch cannot hold that many (diff::kMaxBatchItems).
PyResult<std::monostate> check_count(const char* name, std::size_t count, const std::optional<ColumnLength>& length);
// ValueError: the column `name` has `count` items, not the count required.
PyErr length_error(const char* name, std::size_t count, const ColumnLength& length);
// An iterable that goes on past the most items the column may have: as many
// as `length` requires, or else as a batch can hold. A ValueError or an
// OverflowError as check_count gives them.
PyErr past_last_item_error(const char* name, const std::optional<ColumnLength>& length);

// Calls Form::column<A>(args...) for the attribute A that `attribute`
// names: how a form reads add_nodes' column of an attribute known at run
// time with the code it has made for each attribute.
template <class Form, class... Args>
auto attribute_column(diff::Attribute attribute, Args&&... args) {
    static constexpr auto kColumns = diff::per_attribute([](auto a) { return &Form::template column<a>; });
    return kColumns[attribute](std::forward<Args>(args)...);
}

// Loops over a caller's items let the interpreter run its signal handlers
// before item 0 and every kSignalInterval items after: Ctrl-C (or what a
// handler raises) ends the call there, before the diff has changed. A power
// of two, so that telling those items costs a mask.
inline constexpr std::size_t kSignalInterval = 4096;

PyResult<std::monostate> check_signals();

// Whether item `index` of a caller's items is one that a signal check comes
// before.
constexpr bool signal_check_due(std::size_t index) noexcept { return (index & (kSignalInterval - 1)) == 0; }

// Calls read(i) for i = 0, 1, ..., n - 1 (the items of a buffer), with a
// signal check before each run of kSignalInterval items.
template <class Read>
PyResult<std::monostate> for_each_index(std::size_t n, Read&& read) {
    for (std::size_t start = 0; start < n; start += kSignalInterval) {
        QUORL_CHECK(check_signals());
        const std::size_t end = n - start < kSignalInterval ? n : start + kSignalInterval;
        for (std::size_t i = start; i < end; ++i) QUORL_CHECK(read(i));
    }
    return std::monostate{};
}

}  // namespace quorl::binding
