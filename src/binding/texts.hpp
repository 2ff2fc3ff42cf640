// Every fixed text that callers of the module can see: the names and
// documentation the interpreter shows, the keys of the attribute dicts, and
// the messages of the exceptions the module raises and of the reports it
// writes to standard error. These texts are the module's contract with its
// callers, who match on them (and the tests compare them byte for byte):
// they must not be reworded. A message with variable parts is given as the
// function that assembles it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorl::binding {
namespace texts {

// ---- the module and its class ----------------------------------------------

inline constexpr char kModuleName[] = "quorl_api";
inline constexpr char kModuleDoc[] = "";  // a present, empty __doc__
inline constexpr char kAllName[] = "__all__";
inline constexpr char kQualnameName[] = "__qualname__";
inline constexpr char kClassName[] = "PyGraphDiff";
// The interpreter reports __module__ "builtins" and __name__ "PyGraphDiff".
inline constexpr char kTypeName[] = "builtins.PyGraphDiff";
// The class name, the constructor's text signature, the separator, and the
// (empty) documentation proper.
inline constexpr char kClassDoc[] = "PyGraphDiff()\n--\n\n";

// The methods in the order of the method table: each name with its
// documentation, a text signature with an empty body (so __doc__ is None).
struct Method {
    const char* name;
    const char* doc;
};
inline constexpr Method kNewOrUpdatedNodes{"new_or_updated_nodes", "new_or_updated_nodes($self)\n--\n\n"};
inline constexpr Method kDeletedNodes{"deleted_nodes", "deleted_nodes($self)\n--\n\n"};
inline constexpr Method kNewOrUpdatedEdges{"new_or_updated_edges", "new_or_updated_edges($self)\n--\n\n"};
inline constexpr Method kDeletedEdges{"deleted_edges", "deleted_edges($self)\n--\n\n"};
inline constexpr Method kNumNodes{"num_nodes", "num_nodes($self)\n--\n\n"};
inline constexpr Method kNumEdges{"num_edges", "num_edges($self)\n--\n\n"};
inline constexpr Method kAddNode{"add_node", "add_node($self, id, update)\n--\n\n"};
inline constexpr Method kDeleteNode{"delete_node", "delete_node($self, id)\n--\n\n"};
inline constexpr Method kAddEdge{"add_edge", "add_edge($self, from, to, weight)\n--\n\n"};
inline constexpr Method kDeleteEdge{"delete_edge", "delete_edge($self, from, to)\n--\n\n"};
inline constexpr Method kClear{"clear", "clear($self)\n--\n\n"};
inline constexpr Method kToBytes{"to_bytes", "to_bytes($self)\n--\n\n"};
inline constexpr Method kFromBytes{"from_bytes", "from_bytes(bytes)\n--\n\n"};
inline constexpr Method kAddEdges{"add_edges", "add_edges($self, from, to, weight)\n--\n\n"};
inline constexpr Method kDeleteEdges{"delete_edges", "delete_edges($self, from, to)\n--\n\n"};
inline constexpr Method kAddNodes{
    "add_nodes",
    "add_nodes($self, ids, updates=None, *, label=None, url=None, size=None, red=None, green=None, blue=None, "
    "show_label=None)\n--\n\n"};
inline constexpr Method kDeleteNodes{"delete_nodes", "delete_nodes($self, ids)\n--\n\n"};
// After the batch methods: the methods through which a diff takes part in
// Python's object protocols (pickling, copies, sys.getsizeof).
inline constexpr Method kReduce{"__reduce__", "__reduce__($self)\n--\n\n"};
inline constexpr Method kCopy{"__copy__", "__copy__($self)\n--\n\n"};
inline constexpr Method kDeepCopy{"__deepcopy__", "__deepcopy__($self, memo)\n--\n\n"};
inline constexpr Method kSizeOf{"__sizeof__", "__sizeof__($self)\n--\n\n"};
// Last, the ids and weights of the views as buffers, in the order of the
// views.
inline constexpr Method kNewOrUpdatedNodesIds{"new_or_updated_nodes_ids", "new_or_updated_nodes_ids($self)\n--\n\n"};
inline constexpr Method kDeletedNodesIds{"deleted_nodes_ids", "deleted_nodes_ids($self)\n--\n\n"};
inline constexpr Method kNewOrUpdatedEdgesColumns{"new_or_updated_edges_columns",
                                                  "new_or_updated_edges_columns($self)\n--\n\n"};
inline constexpr Method kDeletedEdgesColumns{"deleted_edges_columns", "deleted_edges_columns($self)\n--\n\n"};
// The constructor, which has no entry in the table.
inline constexpr char kNew[] = "__new__";

// Parameter names, as the text signatures above give them (where each
// method's parameter list is made, a static_assert compares the two).
inline constexpr const char* kAddNodeParameters[] = {"id", "update"};
inline constexpr const char* kDeleteNodeParameters[] = {"id"};
inline constexpr const char* kAddEdgeParameters[] = {"from", "to", "weight"};
inline constexpr const char* kDeleteEdgeParameters[] = {"from", "to"};
inline constexpr const char* kFromBytesParameters[] = {"bytes"};
inline constexpr const char* kAddEdgesParameters[] = {"from", "to", "weight"};
inline constexpr const char* kDeleteEdgesParameters[] = {"from", "to"};
// `ids` and `updates`, then the attribute columns, named and ordered as the
// keys of the attribute dict.
inline constexpr const char* kAddNodesParameters[] = {"ids",   "updates", "label", "url",       "size",
                                                      "red",   "green",   "blue",  "show_label"};
inline constexpr const char* kDeleteNodesParameters[] = {"ids"};
inline constexpr const char* kDeepCopyParameters[] = {"memo"};

// The module's function that rebuilds a pickled diff. Every pickle of a diff
// names it as "quorl_api._restore" and calls it with the pickle's arguments
// when loaded, so its name and parameters are part of every pickle already
// stored: never rename it or change what it accepts.
inline constexpr Method kRestore{
    "_restore",
    "_restore($module, data, sizes=())\n--\n\n"
    "Rebuild a pickled PyGraphDiff from its byte string and the (id, size)\n"
    "pairs of the NaN and infinite node sizes, which the byte string cannot\n"
    "carry. The pickle hook of PyGraphDiff; not for direct use."};
inline constexpr const char* kRestoreParameters[] = {"data", "sizes"};

// repr() of a diff: its counts, never its contents.
inline std::string diff_repr(std::uint64_t nodes, std::uint64_t edge_sources) {
    return "<PyGraphDiff: " + std::to_string(nodes) + (nodes == 1 ? " node, " : " nodes, ") +
           std::to_string(edge_sources) + (edge_sources == 1 ? " edge source>" : " edge sources>");
}
// repr() of a diff that a call in progress is changing: the counts cannot be
// read then, and repr() does not fail for that.
inline constexpr char kBorrowedDiffRepr[] = "<PyGraphDiff: borrowed>";

// ---- argument parsing --------------------------------------------------------

// "PyGraphDiff.add_node()"
inline std::string full_name(std::string_view class_name, std::string_view function_name) {
    std::string name;
    if (!class_name.empty()) {
        name += class_name;
        name += '.';
    }
    name += function_name;
    name += "()";
    return name;
}

inline std::string too_many_positional(std::string_view full_name, std::size_t parameters, std::ptrdiff_t given) {
    return std::string(full_name) + " takes " + std::to_string(parameters) + " positional arguments but " +
           std::to_string(given) + (given == 1 ? " was" : " were") + " given";
}

// For a method with optional or keyword-only parameters: "... takes from 1
// to 2 positional arguments but 3 were given", and when keyword-only
// arguments came too, "... but 3 positional arguments (and 1 keyword-only
// argument) were given".
inline std::string too_many_positional(std::string_view full_name, std::size_t required, std::size_t parameters,
                                       std::ptrdiff_t given, std::size_t keyword_only_given) {
    std::string text = std::string(full_name) + " takes ";
    if (required != parameters) text += "from " + std::to_string(required) + " to ";
    text += std::to_string(parameters) + " positional arguments but " + std::to_string(given);
    if (keyword_only_given > 0) {
        text += std::string(" positional argument") + (given == 1 ? "" : "s") + " (and " +
                std::to_string(keyword_only_given) + " keyword-only argument" + (keyword_only_given == 1 ? "" : "s") +
                ")";
        return text + " were given";
    }
    return text + (given == 1 ? " was" : " were") + " given";
}

inline std::string unexpected_keyword(std::string_view full_name, std::string_view keyword) {
    return std::string(full_name) + " got an unexpected keyword argument '" + std::string(keyword) + "'";
}

inline std::string multiple_values(std::string_view full_name, std::string_view parameter) {
    return std::string(full_name) + " got multiple values for argument '" + std::string(parameter) + "'";
}

// "... missing 3 required positional arguments: 'from', 'to', and 'weight'"
inline std::string missing_required(std::string_view full_name, const char* const* missing, std::size_t count) {
    std::string list;
    for (std::size_t k = 0; k < count; ++k) {
        if (k > 0) {
            if (count > 2) list += ',';
            list += k + 1 == count ? " and " : " ";
        }
        list += '\'';
        list += missing[k];
        list += '\'';
    }
    return std::string(full_name) + " missing " + std::to_string(count) + " required positional " +
           (count == 1 ? "argument" : "arguments") + ": " + list;
}

// A failed conversion of an argument, restated with the argument's name.
inline std::string argument_error(std::string_view name, std::string_view message) {
    return "argument '" + std::string(name) + "': " + std::string(message);
}

// What str() of an object gives when str() itself fails.
inline std::string unprintable(const char* type_name) {
    return type_name ? std::string("<unprintable ") + type_name + " object>" : "<unprintable object>";
}

// ---- conversions -------------------------------------------------------------

// Names of the expected types in conversion errors.
inline constexpr char kPyBytes[] = "PyBytes";
inline constexpr char kPyDict[] = "PyDict";
inline constexpr char kPyString[] = "PyString";
inline constexpr char kPyBool[] = "PyBool";
inline constexpr char kPyList[] = "PyList";
inline constexpr char kPyUuid[] = "PyUuid";
inline constexpr char kPyTuple[] = "PyTuple";

// "'str' object cannot be converted to 'PyBytes'"
inline std::string downcast(std::string_view type_name, std::string_view target) {
    return "'" + std::string(type_name) + "' object cannot be converted to '" + std::string(target) + "'";
}
inline constexpr char kUnknownTypeName[] = "<failed to extract type name>";

inline std::string field_extraction(std::string_view struct_name, int index) {
    return "failed to extract field " + std::string(struct_name) + "." + std::to_string(index);
}

inline constexpr char kExpected16Bytes[] = "Expected 16 bytes.";
// An entry of _restore's sizes that is not a pair.
inline constexpr char kExpectedSizePair[] = "expected (id, size) pairs";
// A byte attribute (a colour component) outside 0..255.
inline constexpr char kByteOutOfRange[] = "out of range integral type conversion attempted";
// numpy's boolean scalar is recognised by the name of its type.
inline constexpr char kNumpyBool[] = "numpy.bool_";
inline std::string no_bool_conversion(std::string_view type_text) {
    return "object of type '" + std::string(type_text) + "' does not define a '__bool__' conversion";
}

// ---- the batch methods ---------------------------------------------------------

// A wrong item of a batch argument: "argument 'to': item 3: " and the error
// the single method gives for it.
inline std::string item_error(std::string_view name, std::size_t index, std::string_view message) {
    return "argument '" + std::string(name) + "': item " + std::to_string(index) + ": " + std::string(message);
}
// "argument 'to' has 3 items but argument 'from' has 4"
inline std::string length_mismatch(std::string_view name, std::size_t count, std::string_view other_name,
                                   std::size_t other_count) {
    return "argument '" + std::string(name) + "' has " + std::to_string(count) + (count == 1 ? " item" : " items") +
           " but argument '" + std::string(other_name) + "' has " + std::to_string(other_count);
}
// "argument 'label' has more than 2 items but argument 'ids' has 2": an
// iterable read no further than one item past the count required.
inline std::string more_items(std::string_view name, std::string_view other_name, std::size_t other_count) {
    return "argument '" + std::string(name) + "' has more than " + std::to_string(other_count) +
           (other_count == 1 ? " item" : " items") + " but argument '" + std::string(other_name) + "' has " +
           std::to_string(other_count);
}
// A batch argument with more items than a batch can hold: "argument
// 'from': a batch holds at most 4294967294 items".
inline std::string too_many_items(std::string_view name, std::size_t most) {
    return "argument '" + std::string(name) + "': a batch holds at most " + std::to_string(most) + " items";
}
// A buffer of ids whose size is no multiple of 16.
inline std::string ids_not_whole(std::string_view name, std::size_t bytes) {
    return "argument '" + std::string(name) + "': a buffer of " + std::to_string(bytes) +
           " bytes does not hold whole 16-byte ids";
}
// add_nodes given both forms of the updates.
inline std::string updates_and_columns(std::string_view full_name, std::string_view column) {
    return std::string(full_name) + " takes either 'updates' or attribute columns, but 'updates' and '" +
           std::string(column) + "' were given";
}

// ---- the methods -------------------------------------------------------------

inline constexpr char kAlreadyMutablyBorrowed[] = "Already mutably borrowed";
inline constexpr char kAlreadyBorrowed[] = "Already borrowed";
inline constexpr char kSerializeFailed[] = "Failed to serialize graph diff.";
inline constexpr char kDeserializeFailed[] = "Failed to deserialize graph diff.";
inline constexpr char kUnwrapFailed[] = "called `Result::unwrap()` on an `Err` value";
inline constexpr char kNoTpFree[] = "PyGraphDiff type has no tp_free";
inline constexpr char kNoRestoreFunction[] = "quorl_api._restore was never made";

// ---- module initialisation and the type ---------------------------------------

inline constexpr char kAppendToAllFailed[] = "could not append __name__ to __all__";
inline constexpr char kClassDocNul[] = "class doc cannot contain nul bytes";
inline std::string class_init_failed(std::string_view class_name) {
    return "An error occurred while initializing class " + std::string(class_name);
}
inline std::string no_type_object(std::string_view class_name) {
    return "failed to create type object for " + std::string(class_name);
}
// A second initialisation of the module in a process.
inline constexpr char kInitialisedOnce[] =
    "PyO3 modules compiled for CPython 3.8 or older may only be initialized once per interpreter process";

// ---- reference bookkeeping and the call frame ----------------------------------

inline constexpr char kGilProhibitedInTraverse[] =
    "Access to the GIL is prohibited while a __traverse__ implmentation is running.";
inline constexpr char kGilProhibited[] = "Access to the GIL is currently prohibited.";
// The fatal report of a fault that escaped every frame.
inline constexpr char kFfiBoundary[] = "uncaught panic at ffi boundary";

// ---- errors and the panic exception --------------------------------------------

inline constexpr char kPanicName[] = "pyo3_runtime.PanicException";
inline constexpr char kPanicDoc[] =
    "\n"
    "The exception raised when Rust code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
inline constexpr char kPanicTypeFailed[] = "Failed to initialize new exception type.";
inline constexpr char kApiCallFailed[] = "Python API call failed";
inline constexpr char kNoExceptionSet[] = "attempted to fetch exception but none was set";
inline constexpr char kNotAnException[] = "exceptions must derive from BaseException";
inline constexpr char kInvalidErrorState[] = "PyErr state should never be invalid outside of normalization";
inline constexpr char kNormalizingTwice[] = "Cannot normalize a PyErr while already normalizing it.";
inline constexpr char kExceptionTypeMissing[] = "Exception type missing";
inline constexpr char kExceptionValueMissing[] = "Exception value missing";
// The message of a fault that carries no text of its own.
inline constexpr char kPanicWithoutMessage[] = "panic from Rust code";
// The message of a PanicException from Python code that has no readable value.
inline constexpr char kUnwrappedPanic[] = "Unwrapped panic from Python code";
// Written to standard error before a PanicException met in Python code is
// printed and its fault resumed.
inline constexpr char kResumingPanicHeader[] =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n";

// The debug form of an error value: "PyErr { type: <repr>, value: <repr>,
// traceback: None }", with "Some(<repr>)" for a traceback that is there.
inline std::string error_debug_form(std::string_view type_repr, std::string_view value_repr,
                                    const std::string* traceback_repr) {
    return "PyErr { type: " + std::string(type_repr) + ", value: " + std::string(value_repr) +
           ", traceback: " + (traceback_repr ? "Some(" + *traceback_repr + ")" : std::string("None")) + " }";
}
// A fault about an error value: "<text>: <debug form of the error>".
inline std::string fault_with_error(std::string_view text, std::string_view debug_form) {
    return std::string(text) + ": " + std::string(debug_form);
}

// ---- the diff as columns --------------------------------------------------------

// The weights go into array.array(kFloatTypeCode), of 4-byte floats.
inline constexpr char kArrayModule[] = "array";
inline constexpr char kArrayTypeName[] = "array";
inline constexpr char kFloatTypeCode[] = "f";
inline constexpr char kPyType[] = "PyType";
inline constexpr char kNoFloatArray[] = "array.array('f') gave no writable buffer of 4-byte floats";

// ---- the diff as Arrow tables ---------------------------------------------------

// After the columns: each collection as a table that Arrow libraries read.
inline constexpr Method kNewOrUpdatedNodesTable{"new_or_updated_nodes_table",
                                                "new_or_updated_nodes_table($self)\n--\n\n"};
inline constexpr Method kDeletedNodesTable{"deleted_nodes_table", "deleted_nodes_table($self)\n--\n\n"};
inline constexpr Method kNewOrUpdatedEdgesTable{"new_or_updated_edges_table",
                                                "new_or_updated_edges_table($self)\n--\n\n"};
inline constexpr Method kDeletedEdgesTable{"deleted_edges_table", "deleted_edges_table($self)\n--\n\n"};

// The tables' type, and its methods: the Arrow PyCapsule interface.
inline constexpr char kTableClassName[] = "PyDiffTable";
inline constexpr char kTableTypeName[] = "quorl_api.PyDiffTable";
inline constexpr Method kArrowCSchema{"__arrow_c_schema__", "__arrow_c_schema__($self)\n--\n\n"};
inline constexpr Method kArrowCArray{"__arrow_c_array__", "__arrow_c_array__($self, requested_schema=None)\n--\n\n"};
inline constexpr Method kArrowCStream{"__arrow_c_stream__",
                                      "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"};
inline constexpr const char* kRequestedSchemaParameters[] = {"requested_schema"};
// The names the interface gives its capsules.
inline constexpr char kSchemaCapsule[] = "arrow_schema";
inline constexpr char kArrayCapsule[] = "arrow_array";
inline constexpr char kStreamCapsule[] = "arrow_array_stream";
// The name of the collection a table holds, as its view is named.
inline constexpr const char* kTableKindNames[] = {"new_or_updated_nodes", "deleted_nodes", "new_or_updated_edges",
                                                  "deleted_edges"};

// repr() of a table: "<PyDiffTable new_or_updated_edges: 3 rows>".
inline std::string table_repr(std::string_view kind, std::uint64_t rows) {
    return "<PyDiffTable " + std::string(kind) + ": " + std::to_string(rows) + (rows == 1 ? " row>" : " rows>");
}
inline constexpr char kTableNotInstantiable[] = "cannot create 'quorl_api.PyDiffTable' instances";
// A requested_schema that is not a schema capsule: "'int' object" or
// "PyCapsule named 'arrow_array'".
inline std::string requested_schema_error(std::string_view method, std::string_view given) {
    return "PyDiffTable." + std::string(method) +
           "() argument 'requested_schema': expected None or a PyCapsule named 'arrow_schema', not " +
           std::string(given);
}
// A table cut into several record batches has no single array.
inline std::string several_batches(std::size_t batches, std::uint64_t limit) {
    return "the table's texts need " + std::to_string(batches) +
           " Arrow record batches (a text column of one batch holds at most " + std::to_string(limit) +
           " bytes): read it as a stream, through __arrow_c_stream__";
}
// A node text longer than any record batch holds.
inline std::string text_too_long(std::string_view id_text, std::string_view column, std::uint64_t bytes,
                                 std::uint64_t limit) {
    return "node " + std::string(id_text) + ": its " + std::string(column) + " of " + std::to_string(bytes) +
           " bytes is longer than an Arrow record batch holds (" + std::to_string(limit) + " bytes)";
}

}  // namespace texts
}  // namespace quorl::binding
