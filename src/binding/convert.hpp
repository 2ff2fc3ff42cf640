// Conversions of the Python arguments of PyGraphDiff's methods into the
// values of the diff model. Each only reads its object and returns the value
// or a PyErr.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/error.hpp"
#include "diff/node_update.hpp"
#include "diff/uuid.hpp"

namespace quorl::binding {

// A 16-byte `bytes` (or subclass); every failure is the TypeError "failed to
// extract field PyUuid.0" with the specific reason as its cause.
PyResult<diff::Uuid> extract_uuid(PyObject* obj);
// The attribute dict of add_node: seven direct lookups, never iterated.
PyResult<diff::NodeUpdate> extract_node_update(PyObject* obj);
PyResult<std::string_view> extract_text(PyObject* obj);  // valid while obj lives
PyResult<float> extract_f32(PyObject* obj);
PyResult<std::uint8_t> extract_u8(PyObject* obj);
PyResult<bool> extract_bool(PyObject* obj);
// The content of a `bytes` (or subclass), valid while obj lives.
PyResult<std::string_view> extract_bytes(PyObject* obj);

// A node and a size for it.
struct NodeSize {
    diff::Uuid id;
    float size;
};
// A tuple (or subclass) of (id, size) pairs, each a tuple of two: a 16-byte
// `bytes` and a number.
PyResult<std::vector<NodeSize>> extract_node_sizes(PyObject* obj);

// The same conversions for the common arguments alone, without running
// Python code: each stores the value the conversion above gives and returns
// true, or returns false, with nothing raised, for any other object (whose
// conversion then reports what it reports).

// An exact `bytes` of 16 bytes.
inline bool plain_uuid(PyObject* obj, diff::Uuid& id) {
    if (!PyBytes_CheckExact(obj) || PyBytes_GET_SIZE(obj) != 16) return false;
    id = diff::Uuid::from_bytes(PyBytes_AS_STRING(obj));
    return true;
}
// An exact float, or an exact int within the range of a double.
inline bool plain_f32(PyObject* obj, float& value) {
    if (PyFloat_CheckExact(obj)) {
        value = static_cast<float>(PyFloat_AS_DOUBLE(obj));
        return true;
    }
    if (!PyLong_CheckExact(obj)) return false;
    const double widened = PyLong_AsDouble(obj);
    if (widened == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    value = static_cast<float>(widened);
    return true;
}
// An exact dict of at most seven entries with exact str keys and plain
// values, read in one pass into `update`, which holds no attribute yet.
bool plain_node_update(PyObject* obj, diff::NodeUpdate& update);

// TypeError "failed to extract field <struct_name>.<index>" caused by `inner`.
PyErr field_extraction_error(PyErr inner, const char* struct_name, int index);

}  // namespace quorl::binding
