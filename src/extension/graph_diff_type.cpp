// PyGraphDiff: the type object, its constructor and deallocator, the borrow
// of `self`, the thirteen methods, each a thin layer over the diff model and
// the byte encoding; the batch methods that apply many changes in one call;
// the diff's part in Python's object protocols (pickling, copies,
// sys.getsizeof, repr) with the module function that rebuilds a pickled
// diff; and the diff's contents as columns of ids and weights.
#include <cmath>
#include <cstring>
#include <iterator>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/api.hpp"
#include "binding/columns.hpp"
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

// The parameter lists of the methods of PyGraphDiff, and of the module's
// _restore.
constexpr CallSignature kNewSignature{.class_name = texts::kClassName, .function_name = texts::kNew};
// A method of the class whose parameters all come by position or keyword.
constexpr CallSignature method_signature(const char* name, std::span<const char* const> parameters) {
    return {.class_name = texts::kClassName, .function_name = name, .parameters = parameters};
}
constexpr CallSignature kAddNodeSignature = method_signature(texts::kAddNode.name, texts::kAddNodeParameters);
constexpr CallSignature kDeleteNodeSignature = method_signature(texts::kDeleteNode.name, texts::kDeleteNodeParameters);
constexpr CallSignature kAddEdgeSignature = method_signature(texts::kAddEdge.name, texts::kAddEdgeParameters);
constexpr CallSignature kDeleteEdgeSignature = method_signature(texts::kDeleteEdge.name, texts::kDeleteEdgeParameters);
constexpr CallSignature kFromBytesSignature = method_signature(texts::kFromBytes.name, texts::kFromBytesParameters);
constexpr CallSignature kAddEdgesSignature = method_signature(texts::kAddEdges.name, texts::kAddEdgesParameters);
constexpr CallSignature kDeleteEdgesSignature =
    method_signature(texts::kDeleteEdges.name, texts::kDeleteEdgesParameters);
// `ids` and `updates` by position or keyword (`updates` may be left out),
// then the attribute columns by keyword only.
constexpr CallSignature kAddNodesSignature{.class_name = texts::kClassName,
                                           .function_name = texts::kAddNodes.name,
                                           .parameters = texts::kAddNodesParameters,
                                           .positional = 2,
                                           .required = 1};
constexpr std::size_t kFirstColumn = kAddNodesSignature.positional_count();
// The columns are the attributes, named and ordered as the attribute dict's
// keys.
static_assert([] {
    const std::span<const char* const> columns = kAddNodesSignature.parameters.subspan(kFirstColumn);
    if (columns.size() != diff::kAttributeCount) return false;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (std::string_view(columns[i]) != diff::kAttributes[texts::kAttributeDictOrder[i]].name) return false;
    }
    return true;
}(), "add_nodes has a column for each attribute, named after it, in the order of the attribute dict");
constexpr CallSignature kDeleteNodesSignature{.class_name = texts::kClassName,
                                              .function_name = texts::kDeleteNodes.name,
                                              .parameters = texts::kDeleteNodesParameters};
constexpr CallSignature kDeepCopySignature{.class_name = texts::kClassName,
                                           .function_name = texts::kDeepCopy.name,
                                           .parameters = texts::kDeepCopyParameters};
// A function of the module: no class in its messages; `sizes` may be left out.
constexpr CallSignature kRestoreSignature{
    .function_name = texts::kRestore.name, .parameters = texts::kRestoreParameters, .required = 1};

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

// The byte string of `diff` as a new bytes object, written straight into it.
PyResult<Owned> bytes_of(const diff::GraphDiff& diff) {
    auto size = encoding::encoded_size(diff);
    if (!size) return fail(PyErr::new_message(PyExc_Exception, texts::kSerializeFailed));
    Owned bytes = binding::expect_new(binding::api::new_bytes(static_cast<Py_ssize_t>(*size)));
    encoding::encode_into(diff, reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())));
    return bytes;
}

PyObject* to_bytes(PyObject* self, PyObject*) { return call_method<Access::Shared>(self, bytes_of); }

// ---- methods with arguments ---------------------------------------------

PyObject* add_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Access::Exclusive, kAddNodeSignature, Id, Update>(
        {self, args, nargs, kwnames},
        [](diff::GraphDiff& diff, diff::Uuid id, const diff::NodeUpdateView& update) -> PyResult<Owned> {
            diff.add_node(id, update);
            return none();
        },
        [](const diff::GraphDiff& diff, const diff::Uuid& id) { diff.prefetch_node(id); });
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
// Every argument is converted into a column before the diff changes: the
// first, then each other one given the first's count, which its length must
// match. Only then does the store take the batch, which it applies as the
// loop of single methods would.

// What the columns after the first are converted given: the first
// argument's count, named as the signature names it.
binding::ColumnLength column_length(const CallSignature& signature, std::size_t count) {
    return {signature.parameters[0], count};
}

PyObject* add_edges(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Access::Exclusive, kAddEdgesSignature, Ids, Object, Object>(
        {self, args, nargs, kwnames},
        [](diff::GraphDiff& diff, binding::IdColumn&& from, PyObject* to_object,
           PyObject* weight_object) -> PyResult<Owned> {
            const binding::ColumnLength length = column_length(kAddEdgesSignature, from.size());
            QUORL_TRY(to, binding::extract_uuid_column(to_object, kAddEdgesSignature.parameters[1], length));
            QUORL_TRY(weights, binding::extract_weights(weight_object, kAddEdgesSignature.parameters[2], length));
            diff.add_edges(from.ids(), to.ids(), weights.values);
            return none();
        });
}

PyObject* delete_edges(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Access::Exclusive, kDeleteEdgesSignature, Ids, Object>(
        {self, args, nargs, kwnames},
        [](diff::GraphDiff& diff, binding::IdColumn&& from, PyObject* to_object) -> PyResult<Owned> {
            QUORL_TRY(to, binding::extract_uuid_column(to_object, kDeleteEdgesSignature.parameters[1],
                                                       column_length(kDeleteEdgesSignature, from.size())));
            diff.delete_edges(from.ids(), to.ids());
            return none();
        });
}

// The kind of add_nodes' parameter for column I: the object, converted by
// the work given the ids (None, the default, gives none).
template <std::size_t I>
using AttributeColumn = NoneDefault<Object>;

PyObject* add_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return call_method<Access::Exclusive, kAddNodesSignature, Ids, NoneDefault<Object>, AttributeColumn<I>...>(
            {self, args, nargs, kwnames},
            [](diff::GraphDiff& diff, binding::IdColumn&& id_column, std::optional<PyObject*> updates_object,
               auto... column_objects) -> PyResult<Owned> {
                // The columns in the order of their parameters: that of the
                // attribute dict's keys.
                const std::optional<PyObject*> columns[] = {column_objects...};
                const char* const* names = kAddNodesSignature.parameters.data();
                diff::UpdateBatch updates;
                if (updates_object) {
                    for (std::size_t i = 0; i < std::size(columns); ++i) {
                        if (!columns[i]) continue;
                        return fail(PyErr::new_message(
                            PyExc_TypeError,
                            texts::updates_and_columns(texts::full_name(texts::kClassName, texts::kAddNodes.name),
                                                       names[kFirstColumn + i])));
                    }
                    const binding::ColumnLength length = column_length(kAddNodesSignature, id_column.size());
                    QUORL_TRY(read, binding::extract_update_column(*updates_object, names[1], length));
                    updates = std::move(read);
                } else {
                    // The columns are written into one update per id,
                    // attribute after attribute.
                    updates = diff::UpdateBatch(id_column.size());
                    for (std::size_t i = 0; i < std::size(columns); ++i) {
                        if (!columns[i]) continue;
                        QUORL_CHECK(binding::fill_attribute_column(*columns[i], names[kFirstColumn + i],
                                                                   texts::kAttributeDictOrder[i], updates, names[0]));
                    }
                }
                diff.add_nodes(id_column.ids(), updates);
                return none();
            });
    }(std::make_index_sequence<diff::kAttributeCount>{});
}

PyObject* delete_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Access::Exclusive, kDeleteNodesSignature, Ids>(
        {self, args, nargs, kwnames}, [](diff::GraphDiff& diff, binding::IdColumn&& id_column) -> PyResult<Owned> {
            diff.delete_nodes(id_column.ids());
            return none();
        });
}

// ---- Python's object protocols ------------------------------------------
//
// A pickle or a copy of a diff goes through its byte string, which holds
// everything but the NaN and infinite node sizes (written as null, read back
// absent); those travel beside it and are put back after reading.

bool unwritten(std::optional<float> size) noexcept { return size && !std::isfinite(*size); }

// The (id, size) pairs of the sizes the byte string leaves out, in the
// order of the nodes; null when there are none, as nearly always.
Owned unwritten_sizes(const diff::GraphDiff& diff) {
    Py_ssize_t count = 0;
    for (const auto& node : diff.new_or_updated_nodes()) count += unwritten(node.value.get<diff::kSize>());
    if (count == 0) return Owned{};
    Owned pairs = binding::expect_new(binding::api::new_tuple(count));
    Py_ssize_t i = 0;
    for (const auto& node : diff.new_or_updated_nodes()) {
        const std::optional<float> size = node.value.get<diff::kSize>();
        if (!unwritten(size)) continue;
        Owned id = binding::expect_new(binding::api::new_bytes(16));
        std::memcpy(PyBytes_AS_STRING(id.get()), node.key.bytes.data(), 16);
        Owned value = binding::expect_new(binding::api::new_float(static_cast<double>(*size)));
        Owned pair = binding::expect_new(binding::api::new_tuple(2));
        PyTuple_SET_ITEM(pair.get(), 0, id.release());
        PyTuple_SET_ITEM(pair.get(), 1, value.release());
        PyTuple_SET_ITEM(pairs.get(), i++, pair.release());
    }
    return pairs;
}

// Gives the decoded diff the sizes its bytes could not carry. They must
// belong to pending updates that read back without a size, and be NaN or
// infinite: anything else did not come from a pickle of a diff.
PyResult<std::monostate> put_back_sizes(diff::GraphDiff& diff, const std::vector<binding::NodeSize>& sizes) {
    for (const binding::NodeSize& entry : sizes) {
        if (!unwritten(entry.size) || !diff.restore_size(entry.id, entry.size)) {
            return fail(PyErr::new_message(PyExc_Exception, texts::kDeserializeFailed));
        }
    }
    return std::monostate{};
}

// A new PyGraphDiff equal to `diff`: the same views in the same order, the
// same bytes.
PyResult<Owned> copy_of(const diff::GraphDiff& diff) {
    auto size = encoding::encoded_size(diff);
    if (!size) return fail(PyErr::new_message(PyExc_Exception, texts::kSerializeFailed));
    std::vector<std::uint8_t> data(*size);
    encoding::encode_into(diff, data.data());
    auto decoded = encoding::decode_graph_diff(data.data(), data.size());
    if (!decoded) return fail(PyErr::new_message(PyExc_Exception, texts::kDeserializeFailed));
    for (const auto& node : diff.new_or_updated_nodes()) {
        if (unwritten(node.value.get<diff::kSize>())) (void)decoded->restore_size(node.key, *node.value.get<diff::kSize>());
    }
    return new_graph_diff_object(std::move(*decoded));
}

// (quorl_api._restore, (data,)), or (quorl_api._restore, (data, sizes))
// when there are sizes the bytes leave out. The class cannot be found by its
// name (its module reads "builtins"), so the pickle names the module's
// function instead.
PyObject* reduce(PyObject* self, PyObject*) {
    return call_method<Access::Shared>(self, [](const diff::GraphDiff& diff) -> PyResult<Owned> {
        PyObject* restore_function = binding::process_state.restore_function;
        if (!restore_function) binding::raise_fault(texts::kNoRestoreFunction);
        QUORL_TRY(data, bytes_of(diff));
        Owned sizes = unwritten_sizes(diff);
        Owned arguments = binding::expect_new(binding::api::new_tuple(sizes ? 2 : 1));
        PyTuple_SET_ITEM(arguments.get(), 0, data.release());
        if (sizes) PyTuple_SET_ITEM(arguments.get(), 1, sizes.release());
        Owned reduced = binding::expect_new(binding::api::new_tuple(2));
        PyTuple_SET_ITEM(reduced.get(), 0, Owned::retain(restore_function).release());
        PyTuple_SET_ITEM(reduced.get(), 1, arguments.release());
        return reduced;
    });
}

PyObject* copy(PyObject* self, PyObject*) { return call_method<Access::Shared>(self, copy_of); }

PyObject* deep_copy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // A diff holds no Python objects, so the memo has nothing to record.
    return call_method<Access::Shared, kDeepCopySignature, Object>(
        {self, args, nargs, kwnames}, [](const diff::GraphDiff& diff, PyObject*) -> PyResult<Owned> { return copy_of(diff); });
}

// The object and every heap block its diff owns.
PyObject* size_of(PyObject* self, PyObject*) {
    return call_method<Access::Shared>(self, [](const diff::GraphDiff& diff) -> PyResult<Owned> {
        const std::uint64_t bytes = sizeof(PyGraphDiffObject) + diff.heap_bytes();
        return binding::expect_new(binding::api::new_uint64(bytes));
    });
}

PyObject* tp_repr(PyObject* self) {
    return binding::run_in_frame([&]() -> PyResult<Owned> {
        auto diff = borrow_shared(self);
        const std::string text = diff ? texts::diff_repr((*diff)->num_nodes(), (*diff)->num_edges())
                                      : std::string(texts::kBorrowedDiffRepr);
        return binding::expect_new(binding::api::new_str(text.data(), static_cast<Py_ssize_t>(text.size())));
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

// ---- the diff as columns ------------------------------------------------
//
// The ids and weights of the views as buffers, for numpy and the batch
// methods. The ids alone come through view_method; the edge columns need the
// array type for their weights, which is fetched before the diff is
// borrowed: the first fetch imports `array`, and the Python code of an
// import, which may let other threads run, should not find the diff
// borrowed.

PyObject* new_or_updated_edges_columns(PyObject* self, PyObject*) {
    return binding::run_in_frame([&]() -> PyResult<Owned> {
        QUORL_TRY(array_type, binding::float_array_type());
        QUORL_TRY(diff, borrow_shared(self));
        return binding::new_or_updated_edges_columns(*diff, array_type);
    });
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
    {texts::kReduce.name, entry(reduce), METH_NOARGS, texts::kReduce.doc},
    {texts::kCopy.name, entry(copy), METH_NOARGS, texts::kCopy.doc},
    {texts::kDeepCopy.name, entry(deep_copy), kWithArguments, texts::kDeepCopy.doc},
    {texts::kSizeOf.name, entry(size_of), METH_NOARGS, texts::kSizeOf.doc},
    {texts::kNewOrUpdatedNodesIds.name, entry(view_method<binding::new_or_updated_nodes_ids>), METH_NOARGS,
     texts::kNewOrUpdatedNodesIds.doc},
    {texts::kDeletedNodesIds.name, entry(view_method<binding::deleted_nodes_ids>), METH_NOARGS,
     texts::kDeletedNodesIds.doc},
    {texts::kNewOrUpdatedEdgesColumns.name, entry(new_or_updated_edges_columns), METH_NOARGS,
     texts::kNewOrUpdatedEdgesColumns.doc},
    {texts::kDeletedEdgesColumns.name, entry(view_method<binding::deleted_edges_columns>), METH_NOARGS,
     texts::kDeletedEdgesColumns.doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(texts::kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(tp_new)},
    {Py_tp_methods, kMethods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(tp_repr)},
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

PyObject* restore(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Access::Static, kRestoreSignature, Bytes, Optional<NodeSizes>>(
        {module, args, nargs, kwnames},
        [](std::string_view data, std::optional<std::vector<binding::NodeSize>>&& sizes) -> PyResult<Owned> {
            auto decoded =
                encoding::decode_graph_diff(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
            if (!decoded) return fail(PyErr::new_message(PyExc_Exception, texts::kDeserializeFailed));
            if (sizes) QUORL_CHECK(put_back_sizes(*decoded, *sizes));
            return new_graph_diff_object(std::move(*decoded));
        });
}

}  // namespace quorl::extension
