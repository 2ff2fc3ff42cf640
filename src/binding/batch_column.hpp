// What the forms of a batch column share. A batch method's arguments are
// columns, one item per change; convert_batch.hpp reads each column by the
// first of its forms that takes the object (packed `bytes`, an Arrow
// column, a buffer, any iterable). Every form checks the column's count here as soon as it knows
// it, before it copies an item, and lets the interpreter run its signal
// handlers every few thousand items, so that Ctrl-C stops a long batch
// (KeyboardInterrupt) before the diff changes.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "binding/api.hpp"
#include "binding/convert.hpp"
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

// The value of an integer read from memory (a buffer's, an Arrow column's)
// for a byte attribute: outside 0..255, the error that converting the same
// integer as a Python int gives.
template <class Integer>
PyResult<std::uint8_t> byte_value(Integer number) {
    if (!std::cmp_less(number, 0) && !std::cmp_greater(number, 255)) [[likely]] {
        return static_cast<std::uint8_t>(number);
    }
    Owned object;
    if constexpr (std::is_signed_v<Integer>) {
        object = expect_new(api::new_int64(number));
    } else {
        object = expect_new(api::new_uint64(number));
    }
    return AttributeConversion<diff::AttributeKind::Byte>::extract(object.get());
}

// The attribute value of a number read from memory, or the error that
// converting the same number as a Python object gives.
template <diff::AttributeKind Kind, class T>
PyResult<diff::KindValue<Kind>> attribute_value(T number) {
    using diff::AttributeKind;
    if constexpr (Kind == AttributeKind::Float) {
        return static_cast<float>(static_cast<double>(number));
    } else if constexpr (Kind == AttributeKind::Byte) {
        return byte_value(number);
    } else {
        return number != 0;
    }
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

// Calls run(start, end) for the runs [start, end) of kSignalInterval items
// (the last one shorter) that make up [0, n), with a signal check before
// each; a loop over a run that makes no result per item is a plain loop.
template <class Run>
PyResult<std::monostate> for_each_run(std::size_t n, Run&& run) {
    for (std::size_t start = 0; start < n; start += kSignalInterval) {
        QUORL_CHECK(check_signals());
        QUORL_CHECK(run(start, n - start < kSignalInterval ? n : start + kSignalInterval));
    }
    return std::monostate{};
}

// Calls read(i) for i = 0, 1, ..., n - 1 (the items of a buffer), with a
// signal check before each run of kSignalInterval items.
template <class Read>
PyResult<std::monostate> for_each_index(std::size_t n, Read&& read) {
    return for_each_run(n, [&](std::size_t start, std::size_t end) -> PyResult<std::monostate> {
        for (std::size_t i = start; i < end; ++i) QUORL_CHECK(read(i));
        return std::monostate{};
    });
}

}  // namespace quorl::binding
