// The methods of PyGraphDiff, each a thin layer over the diff model, the
// byte encoding and the conversions, and its method table, which lists them
// in this order: the thirteen methods of the first release; the batch
// methods, which apply many changes in one call; the methods of Python's
// object protocols (graph_diff_protocols.cpp); and the diff's contents as
// columns of ids and weights, and as Arrow tables (diff_table.cpp).
#include <span>
#include <string_view>
#include <utility>

#include "binding/api.hpp"
#include "binding/byte_string.hpp"
#include "binding/columns.hpp"
#include "binding/views.hpp"
#include "extension/diff_table.hpp"
#include "extension/graph_diff_object.hpp"
#include "extension/graph_diff_protocols.hpp"
#include "extension/method_call.hpp"

namespace quorl::extension {

namespace texts = binding::texts;
using binding::CallSignature;

namespace {

// The parameter lists of the methods with arguments, each matching the
// method's text signature.
constexpr CallSignature kAddNodeSignature = method_signature(texts::kAddNode, texts::kAddNodeParameters);
constexpr CallSignature kDeleteNodeSignature = method_signature(texts::kDeleteNode, texts::kDeleteNodeParameters);
constexpr CallSignature kAddEdgeSignature = method_signature(texts::kAddEdge, texts::kAddEdgeParameters);
constexpr CallSignature kDeleteEdgeSignature = method_signature(texts::kDeleteEdge, texts::kDeleteEdgeParameters);
constexpr CallSignature kFromBytesSignature = method_signature(texts::kFromBytes, texts::kFromBytesParameters);
constexpr CallSignature kAddEdgesSignature = method_signature(texts::kAddEdges, texts::kAddEdgesParameters);
constexpr CallSignature kDeleteEdgesSignature = method_signature(texts::kDeleteEdges, texts::kDeleteEdgesParameters);
// `ids` and `updates` by position or keyword (`updates` may be left out),
// then the attribute columns by keyword only.
constexpr CallSignature kAddNodesSignature{.class_name = texts::kClassName,
                                           .function_name = texts::kAddNodes.name,
                                           .parameters = texts::kAddNodesParameters,
                                           .positional = 2,
                                           .required = 1};
constexpr CallSignature kDeleteNodesSignature = method_signature(texts::kDeleteNodes, texts::kDeleteNodesParameters);

static_assert(binding::matches_text_signature(kAddNodeSignature, texts::kAddNode.doc));
static_assert(binding::matches_text_signature(kDeleteNodeSignature, texts::kDeleteNode.doc));
static_assert(binding::matches_text_signature(kAddEdgeSignature, texts::kAddEdge.doc));
static_assert(binding::matches_text_signature(kDeleteEdgeSignature, texts::kDeleteEdge.doc));
static_assert(binding::matches_text_signature(kFromBytesSignature, texts::kFromBytes.doc));
static_assert(binding::matches_text_signature(kAddEdgesSignature, texts::kAddEdges.doc));
static_assert(binding::matches_text_signature(kDeleteEdgesSignature, texts::kDeleteEdges.doc));
static_assert(binding::matches_text_signature(kAddNodesSignature, texts::kAddNodes.doc));
static_assert(binding::matches_text_signature(kDeleteNodesSignature, texts::kDeleteNodes.doc));
static_assert(binding::are_attribute_columns(
                  kAddNodesSignature.parameters.subspan(kAddNodesSignature.positional_count())),
              "add_nodes has a column for each attribute, named after it, in the order of the attribute dict");

// The entries of the two calling conventions.
using NoArguments = PyObject* (*)(PyObject* self, PyObject*);
using WithArguments = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

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

// ---- the thirteen --------------------------------------------------------

constexpr NoArguments new_or_updated_nodes = view_method<binding::new_or_updated_nodes_view>;
constexpr NoArguments deleted_nodes = view_method<binding::deleted_nodes_view>;
constexpr NoArguments new_or_updated_edges = view_method<binding::new_or_updated_edges_view>;
constexpr NoArguments deleted_edges = view_method<binding::deleted_edges_view>;
constexpr NoArguments num_nodes = count_method<&diff::GraphDiff::num_nodes>;
constexpr NoArguments num_edges = count_method<&diff::GraphDiff::num_edges>;

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

PyObject* clear(PyObject* self, PyObject*) {
    return call_method<Access::Exclusive>(self, [](diff::GraphDiff& diff) -> PyResult<Owned> {
        diff.clear();
        return none();
    });
}

PyObject* to_bytes(PyObject* self, PyObject*) { return call_method<Access::Shared>(self, binding::bytes_of); }

PyObject* from_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Access::Static, kFromBytesSignature, Bytes>(
        {self, args, nargs, kwnames}, [](std::string_view data) -> PyResult<Owned> {
            QUORL_TRY(diff, binding::diff_of_bytes(data));
            // Unlike a pickle's or a copy's, the new object of from_bytes
            // is a fault when it cannot be made.
            auto object = new_graph_diff_object(std::move(diff));
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

// add_nodes' parameters after the ids: `updates` and the attribute columns.
using UpdatesAndColumns = NoneDefaults<kAddNodesSignature.parameter_count() - 1>;

PyObject* add_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Access::Exclusive, kAddNodesSignature, Ids, UpdatesAndColumns>(
        {self, args, nargs, kwnames},
        [](diff::GraphDiff& diff, binding::IdColumn&& ids, const UpdatesAndColumns::Value& given) -> PyResult<Owned> {
            QUORL_TRY(updates, binding::extract_node_updates(kAddNodesSignature, given, ids.size()));
            diff.add_nodes(ids.ids(), updates);
            return none();
        });
}

PyObject* delete_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Access::Exclusive, kDeleteNodesSignature, Ids>(
        {self, args, nargs, kwnames}, [](diff::GraphDiff& diff, binding::IdColumn&& ids) -> PyResult<Owned> {
            diff.delete_nodes(ids.ids());
            return none();
        });
}

// ---- the diff as columns ------------------------------------------------
//
// The ids and weights of the views as buffers, for numpy and the batch
// methods. The ids alone come through view_method; the edge columns need the
// array type for their weights, which is fetched before the diff is
// borrowed: the first fetch imports `array`, and the Python code of an
// import, which may let other threads run, should not find the diff
// borrowed.

constexpr NoArguments new_or_updated_nodes_ids = view_method<binding::new_or_updated_nodes_ids>;
constexpr NoArguments deleted_nodes_ids = view_method<binding::deleted_nodes_ids>;

PyObject* new_or_updated_edges_columns(PyObject* self, PyObject*) {
    return binding::run_in_frame([&]() -> PyResult<Owned> {
        QUORL_TRY(array_type, binding::float_array_type());
        QUORL_TRY(diff, borrow_shared(self));
        return binding::new_or_updated_edges_columns(*diff, array_type);
    });
}

constexpr NoArguments deleted_edges_columns = view_method<binding::deleted_edges_columns>;

// ---- the table ------------------------------------------------------------

// The rows of the method table: a method's name and text signature, and
// its entry, of the shape of its calling convention.
PyMethodDef no_arguments(const texts::Method& method, NoArguments entry) {
    return {method.name, entry, METH_NOARGS, method.doc};
}
PyMethodDef with_arguments(const texts::Method& method, WithArguments entry, int flags = 0) {
    return {method.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
            METH_FASTCALL | METH_KEYWORDS | flags, method.doc};
}

}  // namespace

PyMethodDef kGraphDiffMethods[] = {
    no_arguments(texts::kNewOrUpdatedNodes, new_or_updated_nodes),
    no_arguments(texts::kDeletedNodes, deleted_nodes),
    no_arguments(texts::kNewOrUpdatedEdges, new_or_updated_edges),
    no_arguments(texts::kDeletedEdges, deleted_edges),
    no_arguments(texts::kNumNodes, num_nodes),
    no_arguments(texts::kNumEdges, num_edges),
    with_arguments(texts::kAddNode, add_node),
    with_arguments(texts::kDeleteNode, delete_node),
    with_arguments(texts::kAddEdge, add_edge),
    with_arguments(texts::kDeleteEdge, delete_edge),
    no_arguments(texts::kClear, clear),
    no_arguments(texts::kToBytes, to_bytes),
    with_arguments(texts::kFromBytes, from_bytes, METH_STATIC),
    with_arguments(texts::kAddEdges, add_edges),
    with_arguments(texts::kDeleteEdges, delete_edges),
    with_arguments(texts::kAddNodes, add_nodes),
    with_arguments(texts::kDeleteNodes, delete_nodes),
    no_arguments(texts::kReduce, reduce),
    no_arguments(texts::kCopy, copy),
    with_arguments(texts::kDeepCopy, deep_copy),
    no_arguments(texts::kSizeOf, size_of),
    no_arguments(texts::kNewOrUpdatedNodesIds, new_or_updated_nodes_ids),
    no_arguments(texts::kDeletedNodesIds, deleted_nodes_ids),
    no_arguments(texts::kNewOrUpdatedEdgesColumns, new_or_updated_edges_columns),
    no_arguments(texts::kDeletedEdgesColumns, deleted_edges_columns),
    no_arguments(texts::kNewOrUpdatedNodesTable, new_or_updated_nodes_table),
    no_arguments(texts::kDeletedNodesTable, deleted_nodes_table),
    no_arguments(texts::kNewOrUpdatedEdgesTable, new_or_updated_edges_table),
    no_arguments(texts::kDeletedEdgesTable, deleted_edges_table),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quorl::extension
