// The module's process-wide state: a few cells, each filled at most once, on
// first use, and never emptied while the process runs. They are read and
// written only with the interpreter lock held. Everything else the module
// keeps lives in the objects it hands out or, per thread, in the reference
// bookkeeping (refs.hpp).
#pragma once

#include <Python.h>

#include <type_traits>
#include <utility>

#include "binding/api.hpp"
#include "binding/error.hpp"
#include "binding/texts.hpp"
#include "diff/node_attributes.hpp"

namespace quorl::binding {

struct ProcessState {
    PyObject* module;           // one reference, from the first successful initialisation
    PyObject* graph_diff_type;  // the PyGraphDiff type object
    PyObject* panic_type;       // pyo3_runtime.PanicException
    PyObject* restore_function; // quorl_api._restore, which pickles of a diff call
    // Interned names: the keys of the attribute dicts, "__qualname__" (read
    // from types for conversion errors) and "__all__".
    PyObject* attribute_keys[diff::kAttributeCount];
    PyObject* qualname_name;
    PyObject* all_name;
    PyObject* array_type;       // array.array, for the weights of the edge columns
    PyObject* diff_table_type;  // quorl_api.PyDiffTable, the tables' type
};

inline constinit ProcessState process_state{};

// The value of `cell`, made by `make` on first use. `make` returns either an
// Owned (failing to make the value is then an internal fault) or a
// PyResult<Owned>, whose failure is returned and leaves the cell empty.
//
// Making a value can run Python code, and Python code can release the
// interpreter lock, so another thread may fill the cell meanwhile. The value
// stored first is kept: a fresh value that finds the cell filled is released,
// and every caller gets the same object.
template <class Make, class Made = std::invoke_result_t<Make&>,
          class Found = std::conditional_t<std::is_same_v<Made, Owned>, PyObject*, PyResult<PyObject*>>>
Found filled_once(PyObject*& cell, Make&& make) {
    if (cell) return cell;
    auto keep_first = [&](Owned fresh) {
        if (!cell) cell = fresh.release();
        return cell;
    };
    if constexpr (std::is_same_v<Made, Owned>) {
        return keep_first(make());
    } else {
        QUORL_TRY(made, make());
        return keep_first(std::move(made));
    }
}

// An interned str of a fixed name, made on first use.
inline PyObject* interned_name(PyObject*& cell, const char* name) {
    return filled_once(cell, [name] { return expect_new(api::new_interned(name)); });
}

}  // namespace quorl::binding
