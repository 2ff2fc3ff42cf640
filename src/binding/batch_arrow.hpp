// The Arrow form of the batch columns: an object that exports an Arrow
// array or stream through the PyCapsule interface (a pyarrow Array or
// ChunkedArray, a polars Series, a column of a diff's table), read through
// the Arrow C data interface (arrow_import.hpp) without importing any Arrow
// library. Each function takes an object whose type has __arrow_c_array__
// or __arrow_c_stream__ and leaves any other to the next form
// (FormResult).
//
// The column's chunks are read in order, and an item is numbered from the
// column's start across them, as the other forms number it; its errors are
// theirs: a null id or weight fails as None does in an iterable, a value
// out of range as the same number does. In an attribute column a null
// leaves the attribute out, as None does.
#pragma once

#include <Python.h>

#include <optional>
#include <variant>

#include "binding/batch_column.hpp"
#include "binding/convert_batch.hpp"
#include "diff/node_attributes.hpp"
#include "diff/update_batch.hpp"

namespace quorl::binding {

// fixed_size_binary(16) (the arrow.uuid extension type's storage too), or
// binary, large_binary or binary_view whose values are 16 bytes each. A
// fixed_size_binary(16) column of one chunk without nulls is read where it
// is, as a `bytes` is.
FormResult<IdColumn> ids_from_arrow(PyObject* obj, const char* name, const std::optional<ColumnLength>& length);

// float32 or float64, one weight per edge.
FormResult<Weights> weights_from_arrow(PyObject* obj, const char* name, ColumnLength length);

// An attribute's values, written into item i of `updates` for each item i:
// utf8, large_utf8 or string_view for a text (valid UTF-8 each), float32 or
// float64 for a float, any integer type for a byte (range-checked as the
// single conversion checks it), bool for a bool.
FormResult<std::monostate> attribute_from_arrow(PyObject* obj, const char* name, diff::Attribute attribute,
                                                diff::UpdateBatch& updates, ColumnLength length);

}  // namespace quorl::binding
