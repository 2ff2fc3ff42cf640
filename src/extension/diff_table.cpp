// PyDiffTable: the Python object over an Arrow table (binding/arrow_table.hpp)
// and its part in the Arrow PyCapsule interface.
//
// The object holds one reference to the table. Each export is a new struct
// in a capsule named as the interface says, sharing the table's buffers: an
// array or a stream holds a reference of its own, so it outlives the object
// if need be. A consumer moves the struct out of its capsule and leaves a
// released one (release NULL) behind; the capsule's destructor releases a
// struct still in it and then frees it, so each struct is released exactly
// once, consumed or not.
#include "extension/diff_table.hpp"

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "binding/api.hpp"
#include "binding/arrow_table.hpp"
#include "binding/process_state.hpp"
#include "binding/views.hpp"
#include "extension/method_call.hpp"

namespace quorl::extension {
namespace {

namespace texts = binding::texts;
namespace arrow = binding::arrow;
using binding::CallSignature;

struct PyDiffTableObject {
    PyObject_HEAD
    const arrow::Table* table;  // one reference
};

const arrow::Table& table_of(PyObject* self) noexcept { return *reinterpret_cast<PyDiffTableObject*>(self)->table; }

// ---- the structs in their capsules ---------------------------------------------

// Releases a struct unless a consumer has moved it out, then frees it.
struct StructDeleter {
    template <class Struct>
    void operator()(Struct* exported) const noexcept {
        if (exported->release) exported->release(exported);
        delete exported;
    }
};
template <class Struct>
using Exported = std::unique_ptr<Struct, StructDeleter>;

template <class Struct, const char* Name>
void destroy_capsule(PyObject* capsule) {
    auto* exported = static_cast<Struct*>(PyCapsule_GetPointer(capsule, Name));
    if (!exported) {
        PyErr_WriteUnraisable(capsule);  // not one of ours: it cannot happen
        return;
    }
    StructDeleter()(exported);
}

// A capsule that takes over `exported`; on failure `exported` is released
// and freed as it goes.
template <class Struct, const char* Name>
PyResult<Owned> capsule_of(Exported<Struct> exported) {
    QUORL_TRY(capsule, binding::try_new(binding::api::new_capsule(exported.get(), Name, destroy_capsule<Struct, Name>)));
    (void)exported.release();
    return std::move(capsule);
}

PyResult<Owned> schema_capsule(const arrow::Table& table) {
    Exported<ArrowSchema> schema(new ArrowSchema{});
    table.export_schema(schema.get());
    return capsule_of<ArrowSchema, texts::kSchemaCapsule>(std::move(schema));
}

// ---- the methods ------------------------------------------------------------------

constexpr CallSignature kArraySignature{.class_name = texts::kTableClassName,
                                        .function_name = texts::kArrowCArray.name,
                                        .parameters = texts::kRequestedSchemaParameters,
                                        .required = 0};
constexpr CallSignature kStreamSignature{.class_name = texts::kTableClassName,
                                         .function_name = texts::kArrowCStream.name,
                                         .parameters = texts::kRequestedSchemaParameters,
                                         .required = 0};

// The requested schema, if any, parsed from the arguments. It is honoured
// by being ignored: one equal to the table's own gets what it asked for,
// and the interface lets a table give its own schema for any other. Only
// what is no schema at all is refused.
PyResult<std::monostate> parse_requested_schema(const CallSignature& signature, const FastCall& call) {
    PyObject* requested = nullptr;
    QUORL_CHECK(binding::parse_fastcall_args(signature, call.args, call.nargs, call.kwnames, &requested));
    if (!requested || requested == Py_None || PyCapsule_IsValid(requested, texts::kSchemaCapsule)) {
        return std::monostate{};
    }
    std::string given;
    if (PyCapsule_CheckExact(requested)) {
        const char* name = PyCapsule_GetName(requested);
        given = name ? "a PyCapsule named '" + std::string(name) + "'" : std::string("a PyCapsule without a name");
    } else {
        given = "'" + std::string(Py_TYPE(requested)->tp_name) + "' object";
    }
    return fail(PyErr::new_message(PyExc_TypeError, texts::requested_schema_error(signature.function_name, given)));
}

PyObject* arrow_c_schema(PyObject* self, PyObject*) {
    return binding::run_in_frame([&]() -> PyResult<Owned> { return schema_capsule(table_of(self)); });
}

PyObject* arrow_c_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::run_in_frame([&]() -> PyResult<Owned> {
        QUORL_CHECK(parse_requested_schema(kArraySignature, {self, args, nargs, kwnames}));
        const arrow::Table& table = table_of(self);
        if (table.batch_count() != 1) {
            return fail(PyErr::new_message(PyExc_ValueError,
                                           texts::several_batches(table.batch_count(), table.text_limit())));
        }
        QUORL_TRY(schema, schema_capsule(table));
        Exported<ArrowArray> batch(new ArrowArray{});
        table.export_batch(0, batch.get());
        QUORL_TRY(array, (capsule_of<ArrowArray, texts::kArrayCapsule>(std::move(batch))));
        QUORL_TRY(pair, binding::try_new(binding::api::new_tuple(2)));
        PyTuple_SET_ITEM(pair.get(), 0, schema.release());
        PyTuple_SET_ITEM(pair.get(), 1, array.release());
        return std::move(pair);
    });
}

PyObject* arrow_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::run_in_frame([&]() -> PyResult<Owned> {
        QUORL_CHECK(parse_requested_schema(kStreamSignature, {self, args, nargs, kwnames}));
        Exported<ArrowArrayStream> stream(new ArrowArrayStream{});
        table_of(self).export_stream(stream.get());
        return capsule_of<ArrowArrayStream, texts::kStreamCapsule>(std::move(stream));
    });
}

Py_ssize_t table_length(PyObject* self) { return static_cast<Py_ssize_t>(table_of(self).rows()); }

PyObject* table_repr(PyObject* self) {
    return binding::run_in_frame([&]() -> PyResult<Owned> {
        const arrow::Table& table = table_of(self);
        const std::string text =
            texts::table_repr(texts::kTableKindNames[static_cast<int>(table.kind())], table.rows());
        return binding::expect_new(binding::api::new_str(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

// Tables come only from a diff's table methods.
PyObject* table_new(PyTypeObject*, PyObject*, PyObject*) {
    return binding::run_in_frame(
        []() -> PyResult<Owned> { return fail(PyErr::new_message(PyExc_TypeError, texts::kTableNotInstantiable)); });
}

void table_dealloc(PyObject* self) {
    binding::run_in_frame_unraisable(
        [&]() -> PyResult<std::monostate> {
            reinterpret_cast<PyDiffTableObject*>(self)->table->release();
            PyTypeObject* type = Py_TYPE(self);
            type->tp_free(self);
            binding::release_ref(reinterpret_cast<PyObject*>(type));  // every instance holds one
            return std::monostate{};
        },
        nullptr);
}

// ---- the type --------------------------------------------------------------------

template <class Function>
PyCFunction entry(Function* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef kTableMethods[] = {
    {texts::kArrowCSchema.name, entry(arrow_c_schema), METH_NOARGS, texts::kArrowCSchema.doc},
    {texts::kArrowCArray.name, entry(arrow_c_array), METH_FASTCALL | METH_KEYWORDS, texts::kArrowCArray.doc},
    {texts::kArrowCStream.name, entry(arrow_c_stream), METH_FASTCALL | METH_KEYWORDS, texts::kArrowCStream.doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kTableSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(table_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(table_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(table_repr)},
    {Py_sq_length, reinterpret_cast<void*>(table_length)},
    {Py_tp_methods, kTableMethods},
    {0, nullptr},
};

PyType_Spec kTableTypeDefinition = {
    texts::kTableTypeName,
    static_cast<int>(sizeof(PyDiffTableObject)),
    0,
    Py_TPFLAGS_DEFAULT,  // no subclasses, nothing for the cycle collector
    kTableSlots,
};

// A new table object over the diff's collection of `kind`.
PyResult<Owned> new_table(const diff::GraphDiff& diff, arrow::TableKind kind) {
    QUORL_TRY(type, diff_table_type());
    auto made = arrow::Table::make(diff, kind);
    if (!made) {
        const arrow::TextTooLong& too_long = made.error();
        const std::array<char, 36> id = binding::uuid_to_text(too_long.id);
        return fail(PyErr::new_message(
            PyExc_ValueError, texts::text_too_long(std::string_view(id.data(), id.size()), too_long.column,
                                                   too_long.bytes, arrow::batch_text_limit())));
    }
    QUORL_TRY(object, binding::try_new(binding::api::new_instance(type)));
    reinterpret_cast<PyDiffTableObject*>(object.get())->table = made->release();
    return std::move(object);
}

template <arrow::TableKind Kind>
PyObject* table_method(PyObject* self, PyObject*) {
    return call_method<Access::Shared>(self, [](const diff::GraphDiff& diff) { return new_table(diff, Kind); });
}

}  // namespace

PyResult<PyTypeObject*> diff_table_type() {
    QUORL_TRY(type, binding::filled_once(binding::process_state.diff_table_type, []() -> PyResult<Owned> {
        auto created = binding::try_new(binding::api::new_type(&kTableTypeDefinition));
        if (created) return created;
        PyErr error = PyErr::new_message(PyExc_RuntimeError, texts::class_init_failed(texts::kTableClassName));
        error.set_cause(std::move(created).error());
        return fail(std::move(error));
    }));
    return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* new_or_updated_nodes_table(PyObject* self, PyObject* unused) {
    return table_method<arrow::TableKind::NewOrUpdatedNodes>(self, unused);
}
PyObject* deleted_nodes_table(PyObject* self, PyObject* unused) {
    return table_method<arrow::TableKind::DeletedNodes>(self, unused);
}
PyObject* new_or_updated_edges_table(PyObject* self, PyObject* unused) {
    return table_method<arrow::TableKind::NewOrUpdatedEdges>(self, unused);
}
PyObject* deleted_edges_table(PyObject* self, PyObject* unused) {
    return table_method<arrow::TableKind::DeletedEdges>(self, unused);
}

}  // namespace quorl::extension
