#include "extension/graph_diff_protocols.hpp"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/api.hpp"
#include "binding/byte_string.hpp"
#include "extension/graph_diff_object.hpp"
#include "extension/method_call.hpp"

namespace quorl::extension {

namespace texts = binding::texts;
using binding::CallSignature;

namespace {

constexpr CallSignature kDeepCopySignature = method_signature(texts::kDeepCopy, texts::kDeepCopyParameters);
static_assert(binding::matches_text_signature(kDeepCopySignature, texts::kDeepCopy.doc));
// A function of the module: no class in its messages; `sizes` may be left out.
constexpr CallSignature kRestoreSignature{
    .function_name = texts::kRestore.name, .parameters = texts::kRestoreParameters, .required = 1};
static_assert(binding::matches_text_signature(kRestoreSignature, texts::kRestore.doc));

PyResult<Owned> copy_object(const diff::GraphDiff& diff) {
    QUORL_TRY(copied, binding::copy_of(diff));
    return new_graph_diff_object(std::move(copied));
}

}  // namespace

// The class cannot be found by its name (its module reads "builtins"), so
// the pickle names the module's function instead.
PyObject* reduce(PyObject* self, PyObject*) {
    return call_method<Access::Shared>(self, [](const diff::GraphDiff& diff) -> PyResult<Owned> {
        PyObject* restore_function = binding::process_state.restore_function;
        if (!restore_function) binding::raise_fault(texts::kNoRestoreFunction);
        QUORL_TRY(data, binding::bytes_of(diff));
        Owned sizes = binding::unwritten_sizes_tuple(diff);
        Owned arguments = binding::expect_new(binding::api::new_tuple(sizes ? 2 : 1));
        PyTuple_SET_ITEM(arguments.get(), 0, data.release());
        if (sizes) PyTuple_SET_ITEM(arguments.get(), 1, sizes.release());
        Owned reduced = binding::expect_new(binding::api::new_tuple(2));
        PyTuple_SET_ITEM(reduced.get(), 0, Owned::retain(restore_function).release());
        PyTuple_SET_ITEM(reduced.get(), 1, arguments.release());
        return reduced;
    });
}

PyObject* copy(PyObject* self, PyObject*) { return call_method<Access::Shared>(self, copy_object); }

PyObject* deep_copy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // A diff holds no Python objects, so the memo has nothing to record.
    return call_method<Access::Shared, kDeepCopySignature, Object>(
        {self, args, nargs, kwnames},
        [](const diff::GraphDiff& diff, PyObject*) -> PyResult<Owned> { return copy_object(diff); });
}

PyObject* size_of(PyObject* self, PyObject*) {
    return call_method<Access::Shared>(self, [](const diff::GraphDiff& diff) -> PyResult<Owned> {
        const std::uint64_t bytes = sizeof(PyGraphDiffObject) + diff.heap_bytes();
        return binding::expect_new(binding::api::new_uint64(bytes));
    });
}

PyObject* repr(PyObject* self) {
    return binding::run_in_frame([&]() -> PyResult<Owned> {
        auto diff = borrow_shared(self);
        const std::string text = diff ? texts::diff_repr((*diff)->num_nodes(), (*diff)->num_edges())
                                      : std::string(texts::kBorrowedDiffRepr);
        return binding::expect_new(binding::api::new_str(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

PyObject* restore(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Access::Static, kRestoreSignature, Bytes, Optional<NodeSizes>>(
        {module, args, nargs, kwnames},
        [](std::string_view data, std::optional<std::vector<encoding::UnwrittenSize>>&& sizes) -> PyResult<Owned> {
            std::span<const encoding::UnwrittenSize> unwritten;
            if (sizes) unwritten = *sizes;
            QUORL_TRY(diff, binding::diff_of_bytes(data, unwritten));
            return new_graph_diff_object(std::move(diff));
        });
}

}  // namespace quorl::extension
