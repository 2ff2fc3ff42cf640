#include "binding/arguments.hpp"

#include <cstring>
#include <string>
#include <string_view>

#include "binding/texts.hpp"

namespace quorl::binding {
namespace {

PyErr type_error(std::string text) { return PyErr::new_message(PyExc_TypeError, std::move(text)); }

PyErr missing_required(const CallSignature& signature, PyObject** slots) {
    const char* missing[8];
    std::size_t count = 0;
    for (std::size_t i = 0; i < signature.required_count() && count < 8; ++i) {
        if (!slots[i]) missing[count++] = signature.parameters[i];
    }
    return type_error(texts::missing_required(full_name(signature), missing, count));
}

// Index of the parameter called `name`, or parameter_count.
std::size_t find_parameter(const CallSignature& signature, std::string_view name) {
    for (std::size_t i = 0; i < signature.parameter_count(); ++i) {
        const char* candidate = signature.parameters[i];
        if (std::strlen(candidate) == name.size() && std::memcmp(candidate, name.data(), name.size()) == 0) return i;
    }
    return signature.parameter_count();
}

// Places one keyword argument, or fails with the message for it.
PyResult<std::monostate> place_keyword(const CallSignature& signature, PyObject* name, PyObject* value,
                                       PyObject** slots) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    auto unexpected = [&] { return type_error(texts::unexpected_keyword(full_name(signature), display_text(name))); };
    if (!text) {
        PyErr_Clear();
        return fail(unexpected());
    }
    const std::string_view key(text, static_cast<std::size_t>(size));
    const std::size_t i = find_parameter(signature, key);
    if (i == signature.parameter_count()) return fail(unexpected());
    if (slots[i]) return fail(type_error(texts::multiple_values(full_name(signature), key)));
    slots[i] = value;
    return std::monostate{};
}

PyResult<std::monostate> check_required(const CallSignature& signature, Py_ssize_t nargs, PyObject** slots) {
    for (std::size_t i = static_cast<std::size_t>(nargs); i < signature.required_count(); ++i) {
        if (!slots[i]) return fail(missing_required(signature, slots));
    }
    return std::monostate{};
}

// Whether `name` is one of the keyword-only parameters.
bool is_keyword_only(const CallSignature& signature, PyObject* name) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (!text) {
        PyErr_Clear();
        return false;
    }
    const std::size_t i = find_parameter(signature, std::string_view(text, static_cast<std::size_t>(size)));
    return i >= signature.positional_count() && i < signature.parameter_count();
}

// More positional arguments than parameters that take them. A signature
// with optional or keyword-only parameters gives the range of counts it
// takes and the number of keyword-only arguments that came along.
template <class KeywordNames>
PyErr too_many(const CallSignature& signature, Py_ssize_t given, KeywordNames&& for_each_keyword) {
    if (signature.positional_count() == signature.parameter_count() &&
        signature.required_count() == signature.parameter_count()) {
        return type_error(texts::too_many_positional(full_name(signature), signature.parameter_count(), given));
    }
    std::size_t keyword_only = 0;
    for_each_keyword([&](PyObject* name) { keyword_only += is_keyword_only(signature, name) ? 1 : 0; });
    return type_error(texts::too_many_positional(full_name(signature), signature.required_count(),
                                                 signature.positional_count(), given, keyword_only));
}

}  // namespace

std::string full_name(const CallSignature& signature) {
    return texts::full_name(signature.class_name ? signature.class_name : "", signature.function_name);
}

PyResult<std::monostate> parse_fastcall_args(const CallSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames, PyObject** slots) {
    if (!args) nargs = 0;
    const auto positional = static_cast<Py_ssize_t>(signature.positional_count());
    for (Py_ssize_t i = 0; i < nargs && i < positional; ++i) slots[i] = args[i];
    if (nargs > positional) {
        return fail(too_many(signature, nargs, [&](auto&& visit) {
            for (Py_ssize_t k = 0; kwnames && k < PyTuple_GET_SIZE(kwnames); ++k) visit(PyTuple_GET_ITEM(kwnames, k));
        }));
    }
    if (kwnames) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < count; ++k) {
            QUORL_CHECK(place_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots));
        }
    }
    return check_required(signature, nargs, slots);
}

PyResult<std::monostate> parse_tuple_dict_args(const CallSignature& signature, PyObject* args, PyObject* kwargs,
                                               PyObject** slots) {
    const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    const auto positional = static_cast<Py_ssize_t>(signature.positional_count());
    for (Py_ssize_t i = 0; i < nargs && i < positional; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
    if (nargs > positional) {
        return fail(too_many(signature, nargs, [&](auto&& visit) {
            Py_ssize_t position = 0;
            PyObject* name = nullptr;
            PyObject* value = nullptr;
            while (kwargs && PyDict_Next(kwargs, &position, &name, &value)) visit(name);
        }));
    }
    if (kwargs) {
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            QUORL_CHECK(place_keyword(signature, name, value, slots));
        }
    }
    return check_required(signature, nargs, slots);
}

}  // namespace quorl::binding
