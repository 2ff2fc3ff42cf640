// Conversions of the Python arguments of PyGraphDiff's methods into the
// values of the diff model. Each only reads its object and returns the value
// or a PyErr.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "binding/error.hpp"
#include "diff/node_update.hpp"
#include "diff/uuid.hpp"

namespace quorl::binding {

// A 16-byte `bytes` (or subclass); every failure is the TypeError "failed to
// extract field PyUuid.0" with the specific reason as its cause.
PyResult<diff::Uuid> extract_uuid(PyObject* obj);
// The attribute dict of add_node: seven direct lookups, never iterated.
PyResult<diff::NodeUpdate> extract_node_update(PyObject* obj);
// The same update for the common dict (an exact dict of at most seven
// entries with exact str keys and plain values), read in one pass without
// running Python code; nothing for any other object, with nothing raised.
std::optional<diff::NodeUpdate> extract_plain_node_update(PyObject* obj);
PyResult<std::string_view> extract_text(PyObject* obj);  // valid while obj lives
PyResult<float> extract_f32(PyObject* obj);
PyResult<std::uint8_t> extract_u8(PyObject* obj);
PyResult<bool> extract_bool(PyObject* obj);
// The content of a `bytes` (or subclass), valid while obj lives.
PyResult<std::string_view> extract_bytes(PyObject* obj);

// TypeError "failed to extract field <struct_name>.<index>" caused by `inner`.
PyErr field_extraction_error(PyErr inner, const char* struct_name, int index);

}  // namespace quorl::binding
