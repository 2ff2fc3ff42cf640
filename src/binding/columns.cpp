#include "binding/columns.hpp"

#include <cstdint>
#include <functional>
#include <numeric>
#include <cstring>
#include <utility>

#include "binding/api.hpp"
#include "binding/process_state.hpp"

namespace quorl::binding {
namespace {

constexpr std::size_t kIdBytes = sizeof(diff::Uuid);
constexpr std::size_t kWeightBytes = sizeof(float);

// A new bytes object with room for `count` ids, for the caller to fill.
PyResult<Owned> new_id_bytes(std::size_t count) {
    return try_new(api::new_bytes(static_cast<Py_ssize_t>(count * kIdBytes)));
}

std::uint8_t* storage_of(const Owned& bytes) noexcept {
    return reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get()));
}

// Writes an id at `out` and returns where the next one goes.
std::uint8_t* put_id(std::uint8_t* out, const diff::Uuid& id) noexcept {
    std::memcpy(out, id.bytes.data(), kIdBytes);
    return out + kIdBytes;
}

// A new array.array('f') of `count` zeros: one zero repeated, which makes
// the array at its final size in one allocation.
PyResult<Owned> new_float_array(PyObject* array_type, std::size_t count) {
    QUORL_TRY(type_code, try_new(api::new_str(texts::kFloatTypeCode, 1)));
    QUORL_TRY(zero, try_new(api::new_bytes(kWeightBytes)));
    std::memset(PyBytes_AS_STRING(zero.get()), 0, kWeightBytes);
    QUORL_TRY(one, try_new(api::call2(array_type, type_code.get(), zero.get())));
    return try_new(api::repeat(one.get(), static_cast<Py_ssize_t>(count)));
}

// The storage of an array of `count` 4-byte floats, exported for writing
// until the handle goes (while it is exported the array cannot be resized).
class FloatStorage {
public:
    static PyResult<FloatStorage> of(PyObject* array, std::size_t count) {
        FloatStorage storage;
        if (PyObject_GetBuffer(array, &storage.view_, PyBUF_WRITABLE | PyBUF_FORMAT) < 0) return fail(fetch_error());
        storage.exported_ = true;
        const Py_buffer& view = storage.view_;
        const bool floats = view.itemsize == static_cast<Py_ssize_t>(kWeightBytes) && view.format &&
                            std::strcmp(view.format, texts::kFloatTypeCode) == 0 &&
                            view.len == static_cast<Py_ssize_t>(count * kWeightBytes);
        if (!floats) return fail(PyErr::new_message(PyExc_TypeError, texts::kNoFloatArray));
        return storage;
    }

    FloatStorage(FloatStorage&& other) noexcept
        : view_(other.view_), exported_(std::exchange(other.exported_, false)) {}
    FloatStorage(const FloatStorage&) = delete;
    FloatStorage& operator=(const FloatStorage&) = delete;
    FloatStorage& operator=(FloatStorage&&) = delete;
    ~FloatStorage() {
        if (exported_) PyBuffer_Release(&view_);
    }

    std::uint8_t* data() const noexcept { return static_cast<std::uint8_t*>(view_.buf); }

private:
    FloatStorage() noexcept = default;
    Py_buffer view_{};
    bool exported_ = false;
};

// A new tuple that takes over `items`.
template <class... Items>
PyResult<Owned> tuple_of(Items&... items) {
    QUORL_TRY(tuple, try_new(api::new_tuple(sizeof...(items))));
    Py_ssize_t i = 0;
    ((PyTuple_SET_ITEM(tuple.get(), i++, items.release())), ...);
    return std::move(tuple);
}

// The ids of a table's entries, in its order.
template <class Table>
PyResult<Owned> ids_of(const Table& table) {
    QUORL_TRY(ids, new_id_bytes(table.size()));
    std::uint8_t* out = storage_of(ids);
    for (const auto& entry : table) out = put_id(out, entry.key);
    return std::move(ids);
}

// Rows of a table of sources, each with its table of targets.
template <class Sources>
std::size_t row_count(const Sources& sources) noexcept {
    return std::transform_reduce(sources.begin(), sources.end(), std::size_t{0}, std::plus<>(),
                                 [](const auto& source) { return source.value.size(); });
}

}  // namespace

PyResult<PyObject*> float_array_type() {
    return filled_once(process_state.array_type, []() -> PyResult<Owned> {
        QUORL_TRY(module, try_new(api::import_module(texts::kArrayModule)));
        QUORL_TRY(type, try_new(api::get_attr(module.get(), texts::kArrayTypeName)));
        if (!PyType_Check(type.get())) return fail(downcast_error(type.get(), texts::kPyType));
        return std::move(type);
    });
}

PyResult<Owned> new_or_updated_edges_columns(const diff::GraphDiff& diff, PyObject* array_type) {
    const diff::EdgeMap& edges = diff.new_or_updated_edges();
    const std::size_t rows = row_count(edges);
    QUORL_TRY(from, new_id_bytes(rows));
    QUORL_TRY(to, new_id_bytes(rows));
    QUORL_TRY(weights, new_float_array(array_type, rows));
    {
        QUORL_TRY(weight_storage, FloatStorage::of(weights.get(), rows));
        std::uint8_t* from_out = storage_of(from);
        std::uint8_t* to_out = storage_of(to);
        std::uint8_t* weight_out = weight_storage.data();
        for (const auto& source : edges) {
            for (const auto& target : source.value) {
                from_out = put_id(from_out, source.key);
                to_out = put_id(to_out, target.key);
                std::memcpy(weight_out, &target.value, kWeightBytes);  // every bit kept
                weight_out += kWeightBytes;
            }
        }
    }
    return tuple_of(from, to, weights);
}

PyResult<Owned> deleted_edges_columns(const diff::GraphDiff& diff) {
    const diff::DeletedEdgeMap& edges = diff.deleted_edges();
    const std::size_t rows = row_count(edges);
    QUORL_TRY(from, new_id_bytes(rows));
    QUORL_TRY(to, new_id_bytes(rows));
    std::uint8_t* from_out = storage_of(from);
    std::uint8_t* to_out = storage_of(to);
    for (const auto& source : edges) {
        for (const auto& target : source.value) {
            from_out = put_id(from_out, source.key);
            to_out = put_id(to_out, target.key);
        }
    }
    return tuple_of(from, to);
}

PyResult<Owned> new_or_updated_nodes_ids(const diff::GraphDiff& diff) { return ids_of(diff.new_or_updated_nodes()); }

PyResult<Owned> deleted_nodes_ids(const diff::GraphDiff& diff) { return ids_of(diff.deleted_nodes()); }

}  // namespace quorl::binding
