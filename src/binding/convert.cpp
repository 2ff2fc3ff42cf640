#include "binding/convert.hpp"

#include <cstring>
#include <optional>
#include <string>

#include "binding/refs.hpp"

namespace quorl::binding {
namespace {

// Pending exception after a failed interpreter call (SystemError if none).
template <class T>
PyResult<T> pending() {
    return fail(fetch_error());
}

// The attribute keys, made once and kept for the life of the process.
enum Key { kLabel, kUrl, kSize, kRed, kGreen, kBlue, kShowLabel, kKeyCount };
PyObject* key_object(Key key) {
    static PyObject* keys[kKeyCount] = {};
    static const char* const names[kKeyCount] = {"label", "url", "size", "red", "green", "blue", "show_label"};
    if (!keys[key]) keys[key] = expect_new(PyUnicode_InternFromString(names[key])).release();
    return keys[key];
}

// Looks `key` up with the dict's own lookup. The item, if any, is kept alive
// by the call's temporary pool, since converting it may run Python code that
// changes the dict.
PyResult<PyObject*> lookup(PyObject* dict, Key key) {
    PyObject* item = PyDict_GetItemWithError(dict, key_object(key));
    if (!item) {
        if (PyErr_Occurred()) return pending<PyObject*>();
        return static_cast<PyObject*>(nullptr);
    }
    retain_ref(item);
    pool_temporary(item);
    return item;
}

}  // namespace

PyErr field_extraction_error(PyErr inner, const char* struct_name, int index) {
    PyErr outer = PyErr::new_message(PyExc_TypeError,
                                     std::string("failed to extract field ") + struct_name + "." + std::to_string(index));
    outer.set_cause(std::move(inner));
    return outer;
}

PyResult<diff::Uuid> extract_uuid(PyObject* obj) {
    if (!PyBytes_Check(obj)) return fail(field_extraction_error(downcast_error(obj, "PyBytes"), "PyUuid", 0));
    if (PyBytes_GET_SIZE(obj) != 16) {
        return fail(field_extraction_error(PyErr::new_message(PyExc_Exception, "Expected 16 bytes."), "PyUuid", 0));
    }
    return diff::Uuid::from_bytes(PyBytes_AS_STRING(obj));
}

PyResult<std::string_view> extract_text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) return fail(downcast_error(obj, "PyString"));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!data) return pending<std::string_view>();
    return std::string_view(data, static_cast<std::size_t>(size));
}

PyResult<float> extract_f32(PyObject* obj) {
    double value;
    if (Py_TYPE(obj) == &PyFloat_Type) {
        value = PyFloat_AS_DOUBLE(obj);
    } else {
        value = PyFloat_AsDouble(obj);
        if (value == -1.0 && PyErr_Occurred()) return pending<float>();
    }
    return static_cast<float>(value);
}

PyResult<std::uint8_t> extract_u8(PyObject* obj) {
    long value;
    if (PyLong_Check(obj)) {
        value = PyLong_AsLong(obj);
    } else {
        Owned index = Owned::steal(PyNumber_Index(obj));
        if (!index) return pending<std::uint8_t>();
        value = PyLong_AsLong(index.get());
    }
    if (value == -1 && PyErr_Occurred()) return pending<std::uint8_t>();
    if (value < 0 || value > 255) {
        return fail(PyErr::new_message(PyExc_OverflowError, "out of range integral type conversion attempted"));
    }
    return static_cast<std::uint8_t>(value);
}

PyResult<bool> extract_bool(PyObject* obj) {
    if (Py_TYPE(obj) == &PyBool_Type) return obj == Py_True;
    // numpy's boolean scalar is accepted by the name of its type, without
    // importing numpy.
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_name && std::strcmp(type->tp_name, "numpy.bool_") == 0) {
        if (type->tp_as_number && type->tp_as_number->nb_bool) {
            const int truth = type->tp_as_number->nb_bool(obj);
            if (truth == 0 || truth == 1) return truth == 1;
            return pending<bool>();
        }
        return fail(PyErr::new_message(PyExc_TypeError, "object of type '" +
                                                            display_text(reinterpret_cast<PyObject*>(type)) +
                                                            "' does not define a '__bool__' conversion"));
    }
    return fail(downcast_error(obj, "PyBool"));
}

PyResult<std::string_view> extract_bytes(PyObject* obj) {
    if (!PyBytes_Check(obj)) return fail(downcast_error(obj, "PyBytes"));
    return std::string_view(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
}

PyResult<diff::NodeUpdate> extract_node_update(PyObject* obj) {
    if (!PyDict_Check(obj)) return fail(downcast_error(obj, "PyDict"));
    retain_ref(obj);
    pool_temporary(obj);

    diff::NodeUpdate update;
    std::optional<std::string_view> texts[2];
    for (Key key : {kLabel, kUrl}) {
        auto item = lookup(obj, key);
        if (!item) return fail(std::move(item).error());
        if (!*item) continue;
        auto text = extract_text(*item);
        if (!text) return fail(std::move(text).error());
        texts[key] = *text;
    }
    if (texts[kLabel] || texts[kUrl]) update.set_texts(texts[kLabel], texts[kUrl]);

    // The scalar attributes, each with its conversion and setter.
    auto scalar = [&](Key key, auto extract, auto set) -> PyResult<std::monostate> {
        auto item = lookup(obj, key);
        if (!item) return fail(std::move(item).error());
        if (*item) {
            auto value = extract(*item);
            if (!value) return fail(std::move(value).error());
            (update.*set)(*value);
        }
        return std::monostate{};
    };
    using diff::NodeUpdate;
    PyResult<std::monostate> step = scalar(kSize, extract_f32, &NodeUpdate::set_size);
    if (step) step = scalar(kRed, extract_u8, &NodeUpdate::set_red);
    if (step) step = scalar(kGreen, extract_u8, &NodeUpdate::set_green);
    if (step) step = scalar(kBlue, extract_u8, &NodeUpdate::set_blue);
    if (step) step = scalar(kShowLabel, extract_bool, &NodeUpdate::set_show_label);
    if (!step) return fail(std::move(step).error());
    return update;
}

}  // namespace quorl::binding
