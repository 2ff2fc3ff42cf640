// The buffer form of the batch columns: an object that exports a buffer
// (a numpy array, array.array, bytearray, memoryview), whose memory is read
// directly instead of item by item. Each function takes the object if it
// exports a buffer of a layout it reads; any other object is left to the
// next form (FormResult), and so is a buffer whose items are of another
// kind (Python objects, texts), which the iterable form then reads.
#pragma once

#include <Python.h>

#include <optional>
#include <variant>

#include "binding/batch_column.hpp"
#include "binding/convert_batch.hpp"
#include "diff/node_attributes.hpp"
#include "diff/update_batch.hpp"

namespace quorl::binding {

// The bytes of an exact `bytes` (a subclass may export another buffer),
// 16 to an id, read where they are: the object cannot change, and the
// caller holds it until the call ends.
FormResult<IdColumn> ids_in_bytes(PyObject* obj, const char* name, const std::optional<ColumnLength>& length);

// The bytes of a buffer of any shape in C order, 16 to an id; not a buffer
// of Python objects, whose items are the ids.
FormResult<IdColumn> ids_from_buffer(PyObject* obj, const char* name, const std::optional<ColumnLength>& length);

// A one-dimensional buffer of float32 or float64; a zero-dimensional buffer
// of any kind (a numpy scalar) is one number for every edge.
FormResult<Weights> weights_from_buffer(PyObject* obj, const char* name, ColumnLength length);

// A one-dimensional buffer of a numeric attribute's items, written into
// item i of `updates` for each item i: float32 or float64 for a float, any
// integer type for a byte (range-checked as the single conversion checks
// it), bool for a bool.
FormResult<std::monostate> attribute_from_buffer(PyObject* obj, const char* name, diff::Attribute attribute,
                                                 diff::UpdateBatch& updates, ColumnLength length);

}  // namespace quorl::binding
