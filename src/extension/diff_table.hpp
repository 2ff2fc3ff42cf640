// quorl_api.PyDiffTable: a snapshot of one collection of a diff as an Arrow
// table, which pyarrow, polars, duckdb and any other reader of the Arrow
// PyCapsule interface take without a copy; and the PyGraphDiff methods that
// make one.
#pragma once

#include <Python.h>

#include "binding/error.hpp"

namespace quorl::extension {

// The type, created on first use (module initialisation publishes it); a
// failure is returned, not cached.
binding::PyResult<PyTypeObject*> diff_table_type();

// PyGraphDiff's table methods (METH_NOARGS), one per collection, each taking
// the diff shared.
PyObject* new_or_updated_nodes_table(PyObject* self, PyObject*);
PyObject* deleted_nodes_table(PyObject* self, PyObject*);
PyObject* new_or_updated_edges_table(PyObject* self, PyObject*);
PyObject* deleted_edges_table(PyObject* self, PyObject*);

}  // namespace quorl::extension
