// PyGraphDiff: the type object, its constructor and deallocator, the borrow
// of `self`, the thirteen methods, each a thin layer over the diff model and
// the byte encoding, and the batch methods that apply many changes in one
// call.
#include <cstring>
#include <iterator>
#include <optional>
#include <string_view>
#include <vector>
#include <new>

#include "binding/api.hpp"
#include "binding/views.hpp"
#include "encoding/decode.hpp"
#include "encoding/encode.hpp"
#include "extension/graph_diff_object.hpp"
#include "extension/method_call.hpp"

namespace quorl::extension {

namespace texts = binding::texts;
using binding::CallSignature;

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

}  // namespace

PyResult<PyGraphDiffObject*> checked_self(PyObject* self) {
    PyTypeObject* type = type_or_fault();
    if (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type)) {
        return fail(binding::downcast_error(self, texts::kClassName));
    }
    return reinterpret_cast<PyGraphDiffObject*>(self);
}

namespace {

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
constexpr CallSignature kAddEdgesSignature = signature(texts::kAddEdges.name, texts::kAddEdgesParameters);
constexpr CallSignature kDeleteEdgesSignature = signature(texts::kDeleteEdges.name, texts::kDeleteEdgesParameters);
constexpr CallSignature kAddNodesSignature{texts::kClassName,
                                           texts::kAddNodes.name,
                                           texts::kAddNodesParameters,
                                           std::size(texts::kAddNodesParameters),
                                           texts::kAddNodesPositional,
                                           texts::kAddNodesRequired};
constexpr CallSignature kDeleteNodesSignature = signature(texts::kDeleteNodes.name, texts::kDeleteNodesParameters);

// ---- methods without arguments ------------------------------------------

template <PyResult<Owned> (*View)(const diff::GraphDiff&)>
PyObject* view_method(PyObject* self, PyObject*) {
    return call_method<Access::Shared>(self, View);
}

template <std::uint64_t (diff::GraphDiff::*Count)() const noexcept>
PyObject* count_method(PyObject* self, PyObject*) {
    return call_method<Access::Shared>(self, [](const diff::GraphDiff& diff) -> PyResult<Owned> {
        return binding::expect_new(binding::api::new_uint64((diff.*Count)()));
    });
}

PyObject* clear(PyObject* self, PyObject*) {
    return call_method<Access::Exclusive>(self, [](diff::GraphDiff& diff) -> PyResult<Owned> {
        diff.clear();
        return none();
    });
}

PyObject* to_bytes(PyObject* self, PyObject*) {
    return call_method<Access::Shared>(self, [](const diff::GraphDiff& diff) -> PyResult<Owned> {
        auto size = encoding::encoded_size(diff);
        if (!size) return fail(PyErr::new_message(PyExc_Exception, texts::kSerializeFailed));
        // The byte string is written straight into the new bytes object.
        Owned bytes = binding::expect_new(binding::api::new_bytes(static_cast<Py_ssize_t>(*size)));
        encoding::encode_into(diff, reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())));
        return bytes;
    });
}

// ---- methods with arguments ---------------------------------------------

PyObject* add_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Access::Exclusive, kAddNodeSignature, Id, Update>(
        {self, args, nargs, kwnames},
        [](diff::GraphDiff& diff, diff::Uuid id, diff::NodeUpdate&& update) -> PyResult<Owned> {
            diff.add_node(id, std::move(update));
            return none();
        });
}

PyObject* delete_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Access::Exclusive, kDeleteNodeSignature, Id>(
        {self, args, nargs, kwnames}, [](diff::GraphDiff& diff, diff::Uuid id) -> PyResult<Owned> {
            diff.delete_node(id);
            return none();
        });
}

PyObject* add_edge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Access::Exclusive, kAddEdgeSignature, Id, Id, Weight>(
        {self, args, nargs, kwnames},
        [](diff::GraphDiff& diff, diff::Uuid from, diff::Uuid to, float weight) -> PyResult<Owned> {
            // An edge touching a node marked for deletion is refused; the
            // refusal is not an error for the caller.
            (void)diff.add_edge(from, to, weight);
            return none();
        });
}

PyObject* delete_edge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Access::Exclusive, kDeleteEdgeSignature, Id, Id>(
        {self, args, nargs, kwnames},
        [](diff::GraphDiff& diff, diff::Uuid from, diff::Uuid to) -> PyResult<Owned> {
            diff.delete_edge(from, to);
            return none();
        });
}

PyObject* from_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Access::Static, kFromBytesSignature, Bytes>(
        {self, args, nargs, kwnames}, [](std::string_view data) -> PyResult<Owned> {
            auto decoded =
                encoding::decode_graph_diff(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
            if (!decoded) return fail(PyErr::new_message(PyExc_Exception, texts::kDeserializeFailed));
            auto object = new_graph_diff_object(std::move(*decoded));
            if (!object) binding::raise_fault_with(texts::kUnwrapFailed, std::move(object).error());
            return std::move(*object);
        });
}

// ---- batch methods ------------------------------------------------------
//
// Every argument is converted into a column before the diff changes, and
// the columns' lengths are checked against each other; only then are the
// store operations applied, item after item, as the single methods would
// apply them.

// ValueError when a column's length differs from the first argument's.
PyResult<std::monostate> check_length(const char* name, std::size_t count, const char* first_name,
                                      std::size_t first_count) {
    if (count != first_count) return fail(binding::length_mismatch(name, count, first_name, first_count));
    return std::monostate{};
}

PyObject* add_edges(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Access::Exclusive, kAddEdgesSignature, IdColumn, IdColumn, WeightColumn>(
        {self, args, nargs, kwnames},
        [](diff::GraphDiff& diff, std::vector<diff::Uuid>&& from, std::vector<diff::Uuid>&& to,
           binding::WeightColumn&& weights) -> PyResult<Owned> {
            const char* const* names = texts::kAddEdgesParameters;
            QUORL_CHECK(check_length(names[1], to.size(), names[0], from.size()));
            if (!weights.single) QUORL_CHECK(check_length(names[2], weights.values.size(), names[0], from.size()));
            diff.add_edges(from, to, weights.values);
            return none();
        });
}

PyObject* delete_edges(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Access::Exclusive, kDeleteEdgesSignature, IdColumn, IdColumn>(
        {self, args, nargs, kwnames},
        [](diff::GraphDiff& diff, std::vector<diff::Uuid>&& from, std::vector<diff::Uuid>&& to) -> PyResult<Owned> {
            const char* const* names = texts::kDeleteEdgesParameters;
            QUORL_CHECK(check_length(names[1], to.size(), names[0], from.size()));
            for (std::size_t i = 0; i < from.size(); ++i) diff.delete_edge(from[i], to[i]);
            return none();
        });
}

PyObject* add_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Access::Exclusive, kAddNodesSignature, IdColumn, Optional<UpdateColumn>, Given, Given, Given,
                       Given, Given, Given, Given>(
        {self, args, nargs, kwnames},
        [](diff::GraphDiff& diff, std::vector<diff::Uuid>&& ids, std::optional<UpdateColumn::Value>&& updates,
           auto... column_objects) -> PyResult<Owned> {
            const char* const* names = texts::kAddNodesParameters;
            // The columns in the order of their parameters, which is that of
            // the attribute keys.
            static_assert(sizeof...(column_objects) == binding::kAttributeKeyCount);
            PyObject* const columns[] = {column_objects...};
            auto column_name = [&](int key) { return names[texts::kAddNodesPositional + key]; };
            if (updates) {
                for (int key = 0; key < binding::kAttributeKeyCount; ++key) {
                    if (!columns[key]) continue;
                    return fail(PyErr::new_message(
                        PyExc_TypeError, texts::updates_and_columns(
                                             texts::full_name(texts::kClassName, texts::kAddNodes.name), column_name(key))));
                }
                QUORL_CHECK(check_length(names[1], updates->size(), names[0], ids.size()));
            } else {
                // The columns are written into one update per id, attribute
                // after attribute.
                updates.emplace(ids.size());
                for (int key = 0; key < binding::kAttributeKeyCount; ++key) {
                    if (!columns[key]) continue;
                    QUORL_CHECK(binding::fill_attribute_column(columns[key], column_name(key),
                                                               static_cast<binding::AttributeKey>(key), *updates,
                                                               names[0]));
                }
            }
            diff.add_nodes(ids, *updates);
            return none();
        });
}

PyObject* delete_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Access::Exclusive, kDeleteNodesSignature, IdColumn>(
        {self, args, nargs, kwnames}, [](diff::GraphDiff& diff, std::vector<diff::Uuid>&& ids) -> PyResult<Owned> {
            diff.delete_nodes(ids);
            return none();
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
    {texts::kAddEdges.name, entry(add_edges), kWithArguments, texts::kAddEdges.doc},
    {texts::kDeleteEdges.name, entry(delete_edges), kWithArguments, texts::kDeleteEdges.doc},
    {texts::kAddNodes.name, entry(add_nodes), kWithArguments, texts::kAddNodes.doc},
    {texts::kDeleteNodes.name, entry(delete_nodes), kWithArguments, texts::kDeleteNodes.doc},
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

PyResult<Owned> new_graph_diff_object(diff::GraphDiff value) { return allocate(type_or_fault(), std::move(value)); }

}  // namespace quorl::extension
