// Test builds only (QUORL_FAULT_INJECTION): makes one chosen object-creating
// interpreter call of the module fail, so that tests can walk every failure
// path. Never part of the shipped module.
#pragma once

#include <Python.h>

namespace quorl::binding {

// Adds the functions _inject_failure_after(n),
// _inject_store_failure_after(n) and _set_batch_text_limit(n) to the
// module. Returns 0, or -1 with an exception set.
//
// _inject_failure_after(n) arms the injection: after n further successful
// object-creating calls (the calls of api.hpp), the next one fails with
// MemoryError; only that one. n = None (or negative) disarms it. Either way
// it returns how many object-creating calls the module made since the
// previous call of _inject_failure_after, so a test can tell whether the
// chosen call was reached (count > n). The environment variable
// QUORL_INJECT_FAILURE_AFTER=n arms it before the module is first
// initialised, which reaches the calls made by the import itself.
//
// _inject_store_failure_after(n) does the same for the allocations of the
// diff store (its tables, target arrays and the scratch of its batches),
// counted apart: the failed one raises MemoryError. They include the
// buffers and exported structs of the Arrow tables.
//
// _set_batch_text_limit(n) lowers the most text bytes one record batch of a
// table holds, so that a test cuts small tables into several batches.
int install_fault_injection(PyObject* module);

}  // namespace quorl::binding
