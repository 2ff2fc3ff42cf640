#include "binding/convert.hpp"

#include <cstring>
#include <optional>
#include <string>

#include "binding/api.hpp"
#include "binding/attribute_dict.hpp"
#include "binding/process_state.hpp"
#include "binding/refs.hpp"

namespace quorl::binding {
namespace {

// Pending exception after a failed interpreter call (SystemError if none).
template <class T>
PyResult<T> pending() {
    return fail(fetch_error());
}

// Looks the key of `attribute` up with the dict's own lookup. The item, if
// any, is kept alive by the call's temporary pool, since converting it may
// run Python code that changes the dict.
PyResult<PyObject*> lookup(PyObject* dict, diff::Attribute attribute) {
    PyObject* item = PyDict_GetItemWithError(dict, attribute_key_object(attribute));
    if (!item) {
        if (PyErr_Occurred()) return pending<PyObject*>();
        return static_cast<PyObject*>(nullptr);
    }
    retain_ref(item);
    pool_temporary(item);
    return item;
}

// ---- the common attribute dict, read in one pass ---------------------------
//
// Most updates are a small plain dict of plain values, for example
// {"size": 1.5, "red": 3, "show_label": True}. For such a dict the lookups
// cannot run Python code or fail, so one pass over its entries finds the
// same items, and converting them gives the same update. Anything unusual
// (a dict subclass, more entries than there are attributes, a key that is
// not an exact str, a value of another type, or a value whose conversion
// would fail) makes plain_node_update return nothing before anything is
// observable, and the general path then runs and reports what it reports.

constexpr Py_ssize_t kPlainDictMaxSize = diff::kAttributeCount;

// Attribute A's plain conversion of `obj` into `update`.
template <diff::Attribute A>
bool set_plain_attribute(PyObject* obj, diff::NodeUpdateView& update) {
    diff::AttributeValue<A> value{};
    if (!AttributeConversion<diff::kKindOf<A>>::plain(obj, value)) return false;
    update.set<A>(value);
    return true;
}

constexpr auto kSetPlainAttribute = diff::per_attribute([](auto a) { return &set_plain_attribute<a>; });

}  // namespace

bool plain_node_update(PyObject* dict, diff::NodeUpdateView& update) {
    if (!PyDict_CheckExact(dict)) return false;
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    if (size > kPlainDictMaxSize) return false;
    // The values are converted as their entries come: a plain conversion
    // has no effect but its value, so the order of the attributes shows
    // only in the general path's errors. They go straight into `update`
    // (gathering them in a copy first would have the copy's wide loads wait
    // for the narrow stores just made), which a failure empties again.
    const auto not_plain = [&] {
        update = diff::NodeUpdateView{};
        return false;
    };
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (Py_ssize_t seen = 0; seen < size; ++seen) {  // no call past the last entry
        if (!PyDict_Next(dict, &position, &key, &value) || !PyUnicode_CheckExact(key)) return not_plain();
        const int a = attribute_of_dict_key(key);
        // Other keys are ignored, as by the lookups.
        if (a >= 0 && !kSetPlainAttribute[static_cast<std::size_t>(a)](value, update)) return not_plain();
    }
    return true;
}

PyErr field_extraction_error(PyErr inner, const char* struct_name, int index) {
    PyErr outer = PyErr::new_message(PyExc_TypeError, texts::field_extraction(struct_name, index));
    outer.set_cause(std::move(inner));
    return outer;
}

PyResult<diff::Uuid> extract_uuid(PyObject* obj) {
    if (!PyBytes_Check(obj)) {
        return fail(field_extraction_error(downcast_error(obj, texts::kPyBytes), texts::kPyUuid, 0));
    }
    if (PyBytes_GET_SIZE(obj) != 16) {
        return fail(field_extraction_error(PyErr::new_message(PyExc_Exception, texts::kExpected16Bytes),
                                           texts::kPyUuid, 0));
    }
    return diff::Uuid::from_bytes(PyBytes_AS_STRING(obj));
}

PyResult<std::string_view> extract_text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) return fail(downcast_error(obj, texts::kPyString));
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
        return fail(PyErr::new_message(PyExc_OverflowError, texts::kByteOutOfRange));
    }
    return static_cast<std::uint8_t>(value);
}

PyResult<bool> extract_bool(PyObject* obj) {
    if (Py_TYPE(obj) == &PyBool_Type) return obj == Py_True;
    // numpy's boolean scalar is accepted by the name of its type, without
    // importing numpy.
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_name && std::strcmp(type->tp_name, texts::kNumpyBool) == 0) {
        if (type->tp_as_number && type->tp_as_number->nb_bool) {
            const int truth = type->tp_as_number->nb_bool(obj);
            if (truth == 0 || truth == 1) return truth == 1;
            return pending<bool>();
        }
        return fail(PyErr::new_message(PyExc_TypeError,
                                       texts::no_bool_conversion(display_text(reinterpret_cast<PyObject*>(type)))));
    }
    return fail(downcast_error(obj, texts::kPyBool));
}

PyResult<std::string_view> extract_bytes(PyObject* obj) {
    if (!PyBytes_Check(obj)) return fail(downcast_error(obj, texts::kPyBytes));
    return std::string_view(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
}

PyResult<std::vector<encoding::UnwrittenSize>> extract_node_sizes(PyObject* obj) {
    if (!PyTuple_Check(obj)) return fail(downcast_error(obj, texts::kPyTuple));
    const Py_ssize_t count = PyTuple_GET_SIZE(obj);
    std::vector<encoding::UnwrittenSize> sizes;
    sizes.reserve(static_cast<std::size_t>(count));
    // The tuple and its items cannot change while a size's conversion runs
    // Python code.
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* pair = PyTuple_GET_ITEM(obj, i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
            return fail(PyErr::new_message(PyExc_TypeError, texts::kExpectedSizePair));
        }
        QUORL_TRY(id, extract_uuid(PyTuple_GET_ITEM(pair, 0)));
        QUORL_TRY(size, extract_f32(PyTuple_GET_ITEM(pair, 1)));
        sizes.push_back({id, size});
    }
    return sizes;
}

PyResult<diff::NodeUpdateView> extract_node_update(PyObject* obj) {
    if (!PyDict_Check(obj)) return fail(downcast_error(obj, texts::kPyDict));
    diff::NodeUpdateView update;
    if (plain_node_update(obj, update)) return update;
    retain_ref(obj);
    pool_temporary(obj);

    // The texts stay valid until the call ends: the pool holds their
    // objects.
    std::optional<PyErr> failure;
    diff::all_attributes<kAttributeDictOrder>([&](auto a) {
        auto read = [&]() -> PyResult<std::monostate> {
            QUORL_TRY(item, lookup(obj, a));
            if (item) {
                QUORL_TRY(value, AttributeConversion<diff::kKindOf<a>>::extract(item));
                update.set<a>(value);
            }
            return std::monostate{};
        };
        auto done = read();
        if (!done) failure = std::move(done).error();
        return !failure;
    });
    if (failure) return fail(std::move(*failure));
    return update;
}

}  // namespace quorl::binding
