// Conversions of the Python arguments of PyGraphDiff's methods into the
// values of the diff model. Each only reads its object and returns the value
// or a PyErr.
#pragma once

#include <Python.h>

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "binding/error.hpp"
#include "diff/node_attributes.hpp"
#include "diff/node_update.hpp"
#include "diff/uuid.hpp"
#include "encoding/decode.hpp"

namespace quorl::binding {

// A 16-byte `bytes` (or subclass); every failure is the TypeError "failed to
// extract field PyUuid.0" with the specific reason as its cause.
PyResult<diff::Uuid> extract_uuid(PyObject* obj);
// The attribute dict of add_node: one direct lookup per attribute, never
// iterated. The update views its texts in the dict's strings, which the
// call's pool of temporaries holds until the call ends.
PyResult<diff::NodeUpdateView> extract_node_update(PyObject* obj);
PyResult<std::string_view> extract_text(PyObject* obj);  // valid while obj lives
PyResult<float> extract_f32(PyObject* obj);
PyResult<std::uint8_t> extract_u8(PyObject* obj);
PyResult<bool> extract_bool(PyObject* obj);
// The content of a `bytes` (or subclass), valid while obj lives.
PyResult<std::string_view> extract_bytes(PyObject* obj);

// A tuple (or subclass) of (id, size) pairs, each a tuple of two: a 16-byte
// `bytes` and a number.
PyResult<std::vector<encoding::UnwrittenSize>> extract_node_sizes(PyObject* obj);

// ---- plain forms ------------------------------------------------------------
//
// The same conversions for the common objects alone, without running Python
// code: each stores the value the conversion above gives and returns true,
// or returns false, with nothing raised and `value` untouched, for any
// other object (whose conversion then reports what it reports).

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
// The UTF-8 text of an exact str, valid while obj lives. Only a str holding
// lone surrogates fails; its error is dropped here and raised again by
// extract_text.
inline bool plain_text(PyObject* obj, std::string_view& text) {
    if (!PyUnicode_CheckExact(obj)) return false;
    if (PyUnicode_IS_COMPACT_ASCII(obj)) {  // its characters are its UTF-8, right after its header
        text = std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
        return true;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!data) {
        PyErr_Clear();
        return false;
    }
    text = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}
// The value of an int (or bool) that the interpreter holds in a single
// digit, read in place; false for a larger one.
inline bool one_digit_value(PyObject* obj, long& value) {
    auto* number = reinterpret_cast<PyLongObject*>(obj);
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(number)) return false;
    value = static_cast<long>(PyUnstable_Long_CompactValue(number));
#else
    const Py_ssize_t digits = Py_SIZE(obj);  // negative for a negative int
    if (digits < -1 || digits > 1) return false;
    value = digits == 0 ? 0 : static_cast<long>(digits) * static_cast<long>(number->ob_digit[0]);
#endif
    return true;
}
// An exact int or bool in 0..255.
inline bool plain_u8(PyObject* obj, std::uint8_t& value) {
    if (!PyLong_CheckExact(obj) && !PyBool_Check(obj)) return false;
    long v = 0;
    if (!one_digit_value(obj, v) || v < 0 || v > 255) return false;
    value = static_cast<std::uint8_t>(v);
    return true;
}
// True or False.
inline bool plain_bool(PyObject* obj, bool& value) {
    if (!PyBool_Check(obj)) return false;
    value = obj == Py_True;
    return true;
}
// An exact dict of at most one entry per attribute, with exact str keys and
// plain values, read in one pass into `update`, which holds no attribute yet
// and holds none again when the dict is not plain.
// The texts are views of the dict's strings, valid while the dict holds them.
bool plain_node_update(PyObject* obj, diff::NodeUpdateView& update);

// ---- the conversions as types ---------------------------------------------
//
// Each kind of value that an argument or an attribute converts to: the
// Value, its conversion (`extract`, which reports every failure) and, where
// the common objects have one, its plain form (`plain`). Code written once
// for several kinds (the parameters of the methods, the attributes of an
// update, the items of a batch argument) takes them as types.

// A kind whose common objects have a plain form.
template <class V, auto Extract, auto Plain>
struct PlainFirstConversion {
    using Value = V;
    static constexpr auto extract = Extract;
    static constexpr auto plain = Plain;
};
using UuidConversion = PlainFirstConversion<diff::Uuid, extract_uuid, plain_uuid>;
using NodeUpdateConversion = PlainFirstConversion<diff::NodeUpdateView, extract_node_update, plain_node_update>;
using F32Conversion = PlainFirstConversion<float, extract_f32, plain_f32>;
using TextConversion = PlainFirstConversion<std::string_view, extract_text, plain_text>;
using U8Conversion = PlainFirstConversion<std::uint8_t, extract_u8, plain_u8>;
using BoolConversion = PlainFirstConversion<bool, extract_bool, plain_bool>;
struct BytesConversion {
    using Value = std::string_view;  // valid while the object lives
    static constexpr auto extract = extract_bytes;
};
struct NodeSizesConversion {
    using Value = std::vector<encoding::UnwrittenSize>;
    static constexpr auto extract = extract_node_sizes;
};

template <class Conversion>
concept HasPlainForm = requires(PyObject* obj, typename Conversion::Value& value) {
    { Conversion::plain(obj, value) } -> std::same_as<bool>;
};

// The conversion of an attribute of each kind.
template <diff::AttributeKind Kind>
using AttributeConversion =
    std::tuple_element_t<static_cast<std::size_t>(Kind),
                         std::tuple<TextConversion, F32Conversion, U8Conversion, BoolConversion>>;

// TypeError "failed to extract field <struct_name>.<index>" caused by `inner`.
PyErr field_extraction_error(PyErr inner, const char* struct_name, int index);

}  // namespace quorl::binding
