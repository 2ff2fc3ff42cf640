// The iterable form of the batch columns, the form every column falls back
// to: any object that the iteration protocol applies to (the items of a
// list or a tuple read from it directly), each item converted as the single
// method converts its argument. A failure of an item is attributed to its
// index (item_error), one of the iteration to the argument.
#pragma once

#include <Python.h>

#include <optional>
#include <variant>

#include "binding/batch_column.hpp"
#include "binding/convert_batch.hpp"
#include "diff/node_attributes.hpp"
#include "diff/update_batch.hpp"

namespace quorl::binding {

// Whether the iteration protocol applies to `obj` (what PyObject_GetIter
// looks at), without calling anything.
inline bool is_iterable(PyObject* obj) noexcept { return Py_TYPE(obj)->tp_iter != nullptr || PySequence_Check(obj); }

// Ids, each converted as `id` is.
PyResult<IdColumn> ids_from_items(PyObject* obj, const char* name, const std::optional<ColumnLength>& length);
// Weights, each converted as `weight` is.
PyResult<Weights> weights_from_items(PyObject* obj, const char* name, ColumnLength length);
// Attribute dicts, each converted as `update` is.
PyResult<diff::UpdateBatch> updates_from_items(PyObject* obj, const char* name, ColumnLength length);
// Values of `attribute`, each converted as the attribute dict's value is,
// written into item i of `updates` for each item i; None leaves the
// attribute out for that item.
PyResult<std::monostate> attribute_from_items(PyObject* obj, const char* name, diff::Attribute attribute,
                                              diff::UpdateBatch& updates, ColumnLength length);

}  // namespace quorl::binding
