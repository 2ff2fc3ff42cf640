// Parsing the positional and keyword arguments of a call against the
// callee's parameter list, with the interpreter's fixed TypeError texts for
// a mismatch. The parsers only place borrowed references into slots; the
// conversions of the values come after (convert.hpp, convert_batch.hpp).
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <span>
#include <string>
#include <variant>

#include "binding/error.hpp"

namespace quorl::binding {

// A method's parameter list, for the argument parsers and their messages,
// written with designated initializers. The first `positional` parameters
// may be given by position or by keyword, the others by keyword only; the
// first `required` must be given, the others may be left out (their slots
// stay null). Both counts default to every parameter.
struct CallSignature {
    static constexpr std::size_t kEvery = static_cast<std::size_t>(-1);

    const char* class_name = nullptr;  // null for a function of the module
    const char* function_name = nullptr;
    std::span<const char* const> parameters = {};
    std::size_t positional = kEvery;
    std::size_t required = kEvery;

    constexpr std::size_t parameter_count() const noexcept { return parameters.size(); }
    constexpr std::size_t positional_count() const noexcept { return std::min(positional, parameters.size()); }
    constexpr std::size_t required_count() const noexcept { return std::min(required, parameters.size()); }
};

// "PyGraphDiff.add_node()": the callee as the messages name it.
std::string full_name(const CallSignature& signature);

// Fill `slots` (parameter_count entries, borrowed references) from a
// vectorcall argument array, or fail with the TypeError of the mismatch.
PyResult<std::monostate> parse_fastcall_args(const CallSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames, PyObject** slots);
// The same for a positional tuple and a keyword dict (may be null).
PyResult<std::monostate> parse_tuple_dict_args(const CallSignature& signature, PyObject* args, PyObject* kwargs,
                                               PyObject** slots);

}  // namespace quorl::binding
