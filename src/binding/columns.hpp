// The contents of a diff as columns: ids packed 16 bytes each in `bytes`,
// weights in an `array.array('f')`, in the order of the views. Objects that
// export a buffer, so numpy reads them without a copy, and that the batch
// methods take back as they are.
#pragma once

#include <Python.h>

#include "binding/error.hpp"
#include "diff/graph_diff.hpp"

namespace quorl::binding {

// The type `array.array`, imported on first use and kept for the process
// (borrowed). Importing runs Python code, so callers fetch it before they
// borrow a diff; a failed import is returned and tried again next time.
PyResult<PyObject*> float_array_type();

// (from_ids, to_ids, weights): one row per pending edge, source by source,
// each source's targets in order, as new_or_updated_edges() lists them.
// `array_type` is what float_array_type() gives.
PyResult<Owned> new_or_updated_edges_columns(const diff::GraphDiff& diff, PyObject* array_type);
// (from_ids, to_ids): one row per deleted edge, as deleted_edges() lists them.
PyResult<Owned> deleted_edges_columns(const diff::GraphDiff& diff);
// The ids of new_or_updated_nodes() and of deleted_nodes(), in their order.
PyResult<Owned> new_or_updated_nodes_ids(const diff::GraphDiff& diff);
PyResult<Owned> deleted_nodes_ids(const diff::GraphDiff& diff);

}  // namespace quorl::binding
