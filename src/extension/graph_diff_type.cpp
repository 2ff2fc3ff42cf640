// PyGraphDiff: the type object, its constructor and deallocator, the borrow
// of `self`, and the thirteen methods, each a thin layer over the diff model
// and the byte encoding.
#include <cstring>
#include <new>

#include "binding/api.hpp"
#include "binding/convert.hpp"
#include "binding/frame.hpp"
#include "binding/process_state.hpp"
#include "binding/views.hpp"
#include "encoding/decode.hpp"
#include "encoding/encode.hpp"
#include "extension/graph_diff_object.hpp"

namespace quorl::extension {

namespace texts = binding::texts;
using binding::CallSignature;
using binding::Owned;
using binding::PyErr;
using binding::PyResult;

namespace {

Owned none() { return Owned::retain(Py_None); }

// ---- borrowing `self` ---------------------------------------------------

// `self` if it is exactly a PyGraphDiff (the common case), else null.
PyGraphDiffObject* exact_instance(PyObject* self) {
    PyObject* const type = binding::process_state.graph_diff_type;
    return type && Py_TYPE(self) == reinterpret_cast<PyTypeObject*>(type) ? reinterpret_cast<PyGraphDiffObject*>(self)
                                                                           : nullptr;
}

// `self` as a PyGraphDiff, for anything but the exact type (the borrows
// check that inline): creates the type if need be and accepts subtypes.
PyResult<PyGraphDiffObject*> checked_self(PyObject* self) {
    auto type = graph_diff_type();
    if (!type) {
        type.error().print();
        binding::raise_fault(texts::no_type_object(texts::kClassName));
    }
    if (Py_TYPE(self) != *type && !PyType_IsSubtype(Py_TYPE(self), *type)) {
        return fail(binding::downcast_error(self, texts::kClassName));
    }
    return reinterpret_cast<PyGraphDiffObject*>(self);
}

}  // namespace

[[gnu::always_inline]] inline PyResult<Borrow<false>> borrow_shared(PyObject* self) {
    PyGraphDiffObject* object = exact_instance(self);
    if (!object) {
        QUORL_TRY(checked, checked_self(self));
        object = checked;
    }
    if (object->borrow_flag == -1) {
        return fail(PyErr::new_message(PyExc_RuntimeError, texts::kAlreadyMutablyBorrowed));
    }
    ++object->borrow_flag;
    binding::retain_ref(self);
    return Borrow<false>(object);
}

[[gnu::always_inline]] inline PyResult<Borrow<true>> borrow_exclusive(PyObject* self) {
    PyGraphDiffObject* object = exact_instance(self);
    if (!object) {
        QUORL_TRY(checked, checked_self(self));
        object = checked;
    }
    if (object->borrow_flag != 0) return fail(PyErr::new_message(PyExc_RuntimeError, texts::kAlreadyBorrowed));
    object->borrow_flag = -1;
    binding::retain_ref(self);
    return Borrow<true>(object);
}

namespace {

// ---- argument handling --------------------------------------------------

// Converts one argument; a failure is attributed to the parameter's name.
template <class Extract>
auto argument(PyObject* obj, const char* name, Extract extract) -> decltype(extract(obj)) {
    auto value = extract(obj);
    if (!value) return fail(binding::wrap_argument_error(name, std::move(value).error()));
    return value;
}

template <std::size_t N>
struct Arguments {
    PyObject* slots[N] = {};
    PyObject* operator[](std::size_t i) const { return slots[i]; }
};

template <std::size_t N>
PyResult<Arguments<N>> parse(const CallSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    Arguments<N> parsed;
    QUORL_CHECK(binding::parse_fastcall_args(signature, args, nargs, kwnames, parsed.slots));
    return parsed;
}

// The parameter list of a method of PyGraphDiff.
template <std::size_t N>
constexpr CallSignature signature(const char* name, const char* const (&parameters)[N]) {
    return {texts::kClassName, name, parameters, N};
}
constexpr CallSignature kNewSignature{texts::kClassName, texts::kNew, nullptr, 0};
constexpr CallSignature kAddNodeSignature = signature(texts::kAddNode.name, texts::kAddNodeParameters);
constexpr CallSignature kDeleteNodeSignature = signature(texts::kDeleteNode.name, texts::kDeleteNodeParameters);
constexpr CallSignature kAddEdgeSignature = signature(texts::kAddEdge.name, texts::kAddEdgeParameters);
constexpr CallSignature kDeleteEdgeSignature = signature(texts::kDeleteEdge.name, texts::kDeleteEdgeParameters);
constexpr CallSignature kFromBytesSignature = signature(texts::kFromBytes.name, texts::kFromBytesParameters);

// ---- methods without arguments ------------------------------------------

template <PyResult<Owned> (*View)(const diff::GraphDiff&)>
PyObject* view_method(PyObject* self, PyObject*) {
    return binding::run_in_frame([&]() -> PyResult<Owned> {
        QUORL_TRY(diff, borrow_shared(self));
        return View(*diff);
    });
}

template <std::uint64_t (diff::GraphDiff::*Count)() const noexcept>
PyObject* count_method(PyObject* self, PyObject*) {
    return binding::run_in_frame([&]() -> PyResult<Owned> {
        QUORL_TRY(diff, borrow_shared(self));
        return binding::expect_new(binding::api::new_uint64(((*diff).*Count)()));
    });
}

PyObject* clear(PyObject* self, PyObject*) {
    return binding::run_in_frame([&]() -> PyResult<Owned> {
        QUORL_TRY(diff, borrow_exclusive(self));
        diff->clear();
        return none();
    });
}

PyObject* to_bytes(PyObject* self, PyObject*) {
    return binding::run_in_frame([&]() -> PyResult<Owned> {
        QUORL_TRY(diff, borrow_shared(self));
        auto size = encoding::encoded_size(*diff);
        if (!size) return fail(PyErr::new_message(PyExc_Exception, texts::kSerializeFailed));
        // The byte string is written straight into the new bytes object.
        Owned bytes = binding::expect_new(binding::api::new_bytes(static_cast<Py_ssize_t>(*size)));
        encoding::encode_into(*diff, reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())));
        return bytes;
    });
}

// ---- methods with arguments ---------------------------------------------

// ---- the common calls -----------------------------------------------------
//
// add_node(id, update), add_edge(from, to, weight) and delete_edge(from, to)
// are called in bulk, nearly always by position with 16-byte `bytes`, a plain
// attribute dict and a `float`, on a PyGraphDiff that nothing else borrows.
// For that call no step of the general path can fail or run Python code, so
// it is done inline: the arguments are read directly and the exclusive
// borrow is set and cleared around the store call (the reference the general
// borrow takes on `self` is left out, since no code can run that would see
// it). Any other call takes the general path, which gives the same result
// and every error message.

bool exact_id(PyObject* obj) { return PyBytes_CheckExact(obj) && PyBytes_GET_SIZE(obj) == 16; }
diff::Uuid id_of(PyObject* obj) { return diff::Uuid::from_bytes(PyBytes_AS_STRING(obj)); }

// `self` if it is a PyGraphDiff that no borrow holds, else null.
PyGraphDiffObject* unborrowed(PyObject* self) {
    PyGraphDiffObject* object = exact_instance(self);
    return object && object->borrow_flag == 0 ? object : nullptr;
}

// Holds the exclusive borrow of an unborrowed object until the scope ends,
// a fault included.
class ExclusiveScope {
public:
    explicit ExclusiveScope(PyGraphDiffObject* object) noexcept : object_(object) { object_->borrow_flag = -1; }
    ExclusiveScope(const ExclusiveScope&) = delete;
    ExclusiveScope& operator=(const ExclusiveScope&) = delete;
    ~ExclusiveScope() { object_->borrow_flag = 0; }
    diff::GraphDiff& diff() const noexcept { return object_->value; }

private:
    PyGraphDiffObject* object_;
};

PyObject* add_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::run_in_frame([&]() -> PyResult<Owned> {
        // The common call: an id and a plain attribute dict, by position.
        if (!kwnames && nargs == 2 && exact_id(args[0]) && PyDict_CheckExact(args[1])) {
            if (PyGraphDiffObject* object = unborrowed(self)) {
                if (auto update = binding::extract_plain_node_update(args[1])) {
                    ExclusiveScope borrow(object);
                    borrow.diff().add_node(id_of(args[0]), std::move(*update));
                    return none();
                }
            }
        }
        QUORL_TRY(arguments, parse<2>(kAddNodeSignature, args, nargs, kwnames));
        QUORL_TRY(diff, borrow_exclusive(self));
        QUORL_TRY(id, argument(arguments[0], texts::kAddNodeParameters[0], binding::extract_uuid));
        QUORL_TRY(update, argument(arguments[1], texts::kAddNodeParameters[1], binding::extract_node_update));
        diff->add_node(id, std::move(update));
        return none();
    });
}

PyObject* delete_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::run_in_frame([&]() -> PyResult<Owned> {
        QUORL_TRY(arguments, parse<1>(kDeleteNodeSignature, args, nargs, kwnames));
        QUORL_TRY(diff, borrow_exclusive(self));
        QUORL_TRY(id, argument(arguments[0], texts::kDeleteNodeParameters[0], binding::extract_uuid));
        diff->delete_node(id);
        return none();
    });
}

PyObject* add_edge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!kwnames && nargs == 3 && exact_id(args[0]) && exact_id(args[1]) && PyFloat_CheckExact(args[2])) {
        if (PyGraphDiffObject* object = unborrowed(self)) {
            return binding::run_in_frame([&]() -> PyResult<Owned> {
                ExclusiveScope borrow(object);
                (void)borrow.diff().add_edge(id_of(args[0]), id_of(args[1]),
                                             static_cast<float>(PyFloat_AS_DOUBLE(args[2])));
                return none();
            });
        }
    }
    return binding::run_in_frame([&]() -> PyResult<Owned> {
        QUORL_TRY(arguments, parse<3>(kAddEdgeSignature, args, nargs, kwnames));
        QUORL_TRY(diff, borrow_exclusive(self));
        QUORL_TRY(from, argument(arguments[0], texts::kAddEdgeParameters[0], binding::extract_uuid));
        QUORL_TRY(to, argument(arguments[1], texts::kAddEdgeParameters[1], binding::extract_uuid));
        QUORL_TRY(weight, argument(arguments[2], texts::kAddEdgeParameters[2], binding::extract_f32));
        // An edge touching a node marked for deletion is refused; the
        // refusal is not an error for the caller.
        (void)diff->add_edge(from, to, weight);
        return none();
    });
}

PyObject* delete_edge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!kwnames && nargs == 2 && exact_id(args[0]) && exact_id(args[1])) {
        if (PyGraphDiffObject* object = unborrowed(self)) {
            return binding::run_in_frame([&]() -> PyResult<Owned> {
                ExclusiveScope borrow(object);
                borrow.diff().delete_edge(id_of(args[0]), id_of(args[1]));
                return none();
            });
        }
    }
    return binding::run_in_frame([&]() -> PyResult<Owned> {
        QUORL_TRY(arguments, parse<2>(kDeleteEdgeSignature, args, nargs, kwnames));
        QUORL_TRY(diff, borrow_exclusive(self));
        QUORL_TRY(from, argument(arguments[0], texts::kDeleteEdgeParameters[0], binding::extract_uuid));
        QUORL_TRY(to, argument(arguments[1], texts::kDeleteEdgeParameters[1], binding::extract_uuid));
        diff->delete_edge(from, to);
        return none();
    });
}

PyObject* from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::run_in_frame([&]() -> PyResult<Owned> {
        QUORL_TRY(arguments, parse<1>(kFromBytesSignature, args, nargs, kwnames));
        QUORL_TRY(data, argument(arguments[0], texts::kFromBytesParameters[0], binding::extract_bytes));
        auto decoded = encoding::decode_graph_diff(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
        if (!decoded) return fail(PyErr::new_message(PyExc_Exception, texts::kDeserializeFailed));
        auto object = new_graph_diff_object(std::move(*decoded));
        if (!object) binding::raise_fault_with(texts::kUnwrapFailed, std::move(object).error());
        return std::move(*object);
    });
}

// ---- construction and destruction ---------------------------------------

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

// ---- the type -----------------------------------------------------------

template <class Function>
PyCFunction entry(Function* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}
constexpr int kWithArguments = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {texts::kNewOrUpdatedNodes.name, entry(view_method<binding::new_or_updated_nodes_view>), METH_NOARGS,
     texts::kNewOrUpdatedNodes.doc},
    {texts::kDeletedNodes.name, entry(view_method<binding::deleted_nodes_view>), METH_NOARGS, texts::kDeletedNodes.doc},
    {texts::kNewOrUpdatedEdges.name, entry(view_method<binding::new_or_updated_edges_view>), METH_NOARGS,
     texts::kNewOrUpdatedEdges.doc},
    {texts::kDeletedEdges.name, entry(view_method<binding::deleted_edges_view>), METH_NOARGS, texts::kDeletedEdges.doc},
    {texts::kNumNodes.name, entry(count_method<&diff::GraphDiff::num_nodes>), METH_NOARGS, texts::kNumNodes.doc},
    {texts::kNumEdges.name, entry(count_method<&diff::GraphDiff::num_edges>), METH_NOARGS, texts::kNumEdges.doc},
    {texts::kAddNode.name, entry(add_node), kWithArguments, texts::kAddNode.doc},
    {texts::kDeleteNode.name, entry(delete_node), kWithArguments, texts::kDeleteNode.doc},
    {texts::kAddEdge.name, entry(add_edge), kWithArguments, texts::kAddEdge.doc},
    {texts::kDeleteEdge.name, entry(delete_edge), kWithArguments, texts::kDeleteEdge.doc},
    {texts::kClear.name, entry(clear), METH_NOARGS, texts::kClear.doc},
    {texts::kToBytes.name, entry(to_bytes), METH_NOARGS, texts::kToBytes.doc},
    {texts::kFromBytes.name, entry(from_bytes), kWithArguments | METH_STATIC, texts::kFromBytes.doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(texts::kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(tp_new)},
    {Py_tp_methods, kMethods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
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
    QUORL_TRY(type_object, binding::try_new(binding::api::new_type(&kSpec)));
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

PyResult<Owned> new_graph_diff_object(diff::GraphDiff value) {
    auto type = graph_diff_type();
    if (!type) {
        type.error().print();
        binding::raise_fault(texts::no_type_object(texts::kClassName));
    }
    return allocate(*type, std::move(value));
}

}  // namespace quorl::extension
