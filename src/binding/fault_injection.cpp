// Fault injection for test builds; see fault_injection.hpp. Compiled only
// when the CMake option QUORL_FAULT_INJECTION is on. The state is plain
// process-wide counters: every object-creating call runs with the
// interpreter lock held.
#include "binding/fault_injection.hpp"

#include <cstdlib>

#include "binding/api.hpp"
#include "binding/arrow_table.hpp"
#include "diff/heap.hpp"

namespace quorl::binding {
namespace {

long long g_fail_at = -1;  // index of the call to fail; negative when disarmed
long long g_calls = 0;     // object-creating calls counted since the last (dis)arming
bool g_environment_read = false;

// Arming from the environment, for the calls made during import.
void read_environment() noexcept {
    if (g_environment_read) return;
    g_environment_read = true;
    const char* text = std::getenv("QUORL_INJECT_FAILURE_AFTER");
    if (!text || !*text) return;
    char* end = nullptr;
    const long long n = std::strtoll(text, &end, 10);
    if (*end == '\0' && n >= 0) g_fail_at = n;
}

PyObject* inject_failure_after(PyObject*, PyObject* arg) {
    long long n = -1;
    if (arg != Py_None) {
        n = PyLong_AsLongLong(arg);
        if (n == -1 && PyErr_Occurred()) return nullptr;
        if (n < 0) n = -1;
    }
    read_environment();
    const long long counted = g_calls;
    g_fail_at = n;
    g_calls = 0;
    return PyLong_FromLongLong(counted);  // not counted: the hook is no call of the module's
}

PyMethodDef g_hook = {
    "_inject_failure_after", inject_failure_after, METH_O,
    "_inject_failure_after(n)\n--\n\nTest builds only: make the object-creating call after the next n fail "
    "with MemoryError (None disarms); returns the number of such calls made since the previous call.",
};

// The store's allocations (src/diff/heap.hpp) have a counter of their own: a
// failed one throws std::bad_alloc, which the call frame raises as
// MemoryError.
PyObject* inject_store_failure_after(PyObject*, PyObject* arg) {
    long long n = -1;
    if (arg != Py_None) {
        n = PyLong_AsLongLong(arg);
        if (n == -1 && PyErr_Occurred()) return nullptr;
    }
    return PyLong_FromLongLong(diff::heap::faults::fail_after(n));
}

PyMethodDef g_store_hook = {
    "_inject_store_failure_after", inject_store_failure_after, METH_O,
    "_inject_store_failure_after(n)\n--\n\nTest builds only: make the store's allocation after the next n "
    "fail (None disarms); returns the number of the store's allocations made since the previous call.",
};

// The most text bytes a record batch of a table holds: lowered, small
// tables are cut into several batches, as tables of more than 2 GiB of
// texts are.
PyObject* set_batch_text_limit(PyObject*, PyObject* arg) {
    const unsigned long long bytes = PyLong_AsUnsignedLongLong(arg);
    if (bytes == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    const std::uint64_t before = arrow::batch_text_limit();
    arrow::set_batch_text_limit(bytes < arrow::kMaxBatchTextBytes ? bytes : arrow::kMaxBatchTextBytes);
    return PyLong_FromUnsignedLongLong(before);
}

PyMethodDef g_text_limit_hook = {
    "_set_batch_text_limit", set_batch_text_limit, METH_O,
    "_set_batch_text_limit(n)\n--\n\nTest builds only: make the tables made from now on hold at most n bytes "
    "of a text column in one record batch (at most 2**31 - 1); returns the limit before.",
};

int add_hook(PyObject* module, PyMethodDef* definition) {
    PyObject* hook = PyCFunction_NewEx(definition, nullptr, nullptr);
    if (!hook) return -1;
    if (PyModule_AddObject(module, definition->ml_name, hook) < 0) {
        Py_DECREF(hook);
        return -1;
    }
    return 0;
}

}  // namespace

namespace api {

bool inject_failure() noexcept {
    read_environment();
    if (g_fail_at < 0) return false;
    if (g_calls++ != g_fail_at) return false;
    PyErr_NoMemory();
    return true;
}

}  // namespace api

int install_fault_injection(PyObject* module) {
    if (add_hook(module, &g_hook) < 0 || add_hook(module, &g_store_hook) < 0) return -1;
    return add_hook(module, &g_text_limit_hook);
}

}  // namespace quorl::binding
