// The PyGraphDiff type: its creation, with the method table
// (graph_diff_methods.cpp) and the slots of the object protocols
// (graph_diff_protocols.cpp); its constructor and deallocator; and the
// checks of `self` that every method makes.
#include <cstring>
#include <new>
#include <utility>

#include "binding/api.hpp"
#include "binding/arguments.hpp"
#include "binding/frame.hpp"
#include "extension/graph_diff_object.hpp"
#include "extension/graph_diff_protocols.hpp"

namespace quorl::extension {

namespace texts = binding::texts;
using binding::Owned;
using binding::PyErr;
using binding::PyResult;

namespace {

// The type object, for calls that cannot go on without it.
PyTypeObject* type_or_fault() {
    auto type = graph_diff_type();
    if (!type) {
        type.error().print();
        binding::raise_fault(texts::no_type_object(texts::kClassName));
    }
    return *type;
}

constexpr binding::CallSignature kNewSignature{.class_name = texts::kClassName, .function_name = texts::kNew};

// Allocates an instance of `type` holding `value`.
PyResult<Owned> allocate(PyTypeObject* type, diff::GraphDiff&& value) {
    QUORL_TRY(object, binding::try_new(binding::api::new_instance(type)));
    auto* record = reinterpret_cast<PyGraphDiffObject*>(object.get());
    ::new (static_cast<void*>(&record->value)) diff::GraphDiff(std::move(value));
    record->borrow_flag = 0;
    return std::move(object);
}

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return binding::run_in_frame([&]() -> PyResult<Owned> {
        QUORL_CHECK(binding::parse_tuple_dict_args(kNewSignature, args, kwargs, nullptr));
        return allocate(type, diff::GraphDiff());
    });
}

void tp_dealloc(PyObject* self) {
    binding::run_in_frame_unraisable(
        [&]() -> PyResult<std::monostate> {
            reinterpret_cast<PyGraphDiffObject*>(self)->value.~GraphDiff();
            PyTypeObject* type = Py_TYPE(self);
            if (!type->tp_free) binding::raise_fault(texts::kNoTpFree);
            type->tp_free(self);
            // Instances of a heap type hold a reference to it.
            binding::release_ref(reinterpret_cast<PyObject*>(type));
            return std::monostate{};
        },
        nullptr);
}

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(texts::kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(tp_new)},
    {Py_tp_methods, kGraphDiffMethods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {0, nullptr},
};

PyType_Spec kTypeDefinition = {
    texts::kTypeName,
    static_cast<int>(sizeof(PyGraphDiffObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

PyResult<Owned> create_type() {
    constexpr std::size_t kDocSize = sizeof texts::kClassDoc;  // with the terminating NUL
    if (std::memchr(texts::kClassDoc, '\0', kDocSize - 1)) {
        return fail(PyErr::new_message(PyExc_ValueError, texts::kClassDocNul));
    }
    QUORL_TRY(type_object, binding::try_new(binding::api::new_type(&kTypeDefinition)));
    auto* type = reinterpret_cast<PyTypeObject*>(type_object.get());
    // The interpreter keeps the documentation without its text signature;
    // put the full text back so that __text_signature__ is "()".
    PyObject_Free(const_cast<char*>(type->tp_doc));
    auto* doc = static_cast<char*>(PyObject_Malloc(kDocSize));
    type->tp_doc = doc;
    if (!doc) return fail(PyErr::new_message(PyExc_MemoryError, ""));  // the type is released
    std::memcpy(doc, texts::kClassDoc, kDocSize);
    return std::move(type_object);
}

}  // namespace

PyResult<PyTypeObject*> graph_diff_type() {
    QUORL_TRY(type, binding::filled_once(binding::process_state.graph_diff_type, []() -> PyResult<Owned> {
        auto created = create_type();
        if (created) return created;
        PyErr error = PyErr::new_message(PyExc_RuntimeError, texts::class_init_failed(texts::kClassName));
        error.set_cause(std::move(created).error());
        return fail(std::move(error));
    }));
    return reinterpret_cast<PyTypeObject*>(type);
}

PyResult<Owned> new_graph_diff_object(diff::GraphDiff value) { return allocate(type_or_fault(), std::move(value)); }

PyResult<PyGraphDiffObject*> checked_self(PyObject* self) {
    PyTypeObject* type = type_or_fault();
    if (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type)) {
        return fail(binding::downcast_error(self, texts::kClassName));
    }
    return reinterpret_cast<PyGraphDiffObject*>(self);
}

}  // namespace quorl::extension
