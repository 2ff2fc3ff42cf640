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
#include <string_view>
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

// Whether the text signature `doc` (as "add_nodes($self, ids, updates=None,
// *, label=None)\n--\n\n", any documentation after it) gives `signature`'s
// function and parameters: in order, with "*" before those that are keyword
// only, and a default after exactly those that may be left out.
constexpr bool matches_text_signature(const CallSignature& signature, std::string_view doc) {
    auto take = [&](std::string_view text) {
        if (!doc.starts_with(text)) return false;
        doc.remove_prefix(text.size());
        return true;
    };
    // Up to the next separator outside brackets: `self`'s name, or a
    // default such as "()".
    auto skip_to_separator = [&] {
        int depth = 0;
        for (std::size_t i = 0; i < doc.size(); ++i) {
            const char c = doc[i];
            if (depth == 0 && (c == ',' || c == ')')) {
                doc.remove_prefix(i);
                return true;
            }
            depth += c == '(' ? 1 : c == ')' ? -1 : 0;
        }
        return false;
    };
    if (!take(signature.function_name) || !take("(")) return false;
    const bool has_self = doc.starts_with("$");
    if (has_self && !skip_to_separator()) return false;
    for (std::size_t i = 0; i < signature.parameter_count(); ++i) {
        if ((i > 0 || has_self) && !take(", ")) return false;
        if (i == signature.positional_count() && !take("*, ")) return false;
        if (!take(signature.parameters[i])) return false;
        if (i >= signature.required_count() && !(take("=") && skip_to_separator())) return false;
    }
    return take(")\n--\n\n");
}

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
