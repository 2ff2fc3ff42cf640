#include "binding/convert_batch.hpp"

#include <algorithm>

#include "binding/batch_buffer.hpp"
#include "binding/batch_items.hpp"
#include "binding/convert.hpp"
#include "binding/texts.hpp"

namespace quorl::binding {
namespace {

// A weight that is neither iterable nor a buffer: one number for every edge.
FormResult<Weights> one_weight(PyObject* obj, const char* name) {
    if (float plain = 0; plain_f32(obj, plain)) return Weights{{plain}, true};
    if (PyObject_CheckBuffer(obj) || is_iterable(obj)) return std::nullopt;
    return Weights::one(obj, name);
}

PyResult<diff::UpdateBatch> extract_update_column(PyObject* obj, const char* name, ColumnLength length) {
    return updates_from_items(obj, name, length);
}

PyResult<std::monostate> fill_attribute_column(PyObject* obj, const char* name, diff::Attribute attribute,
                                               diff::UpdateBatch& updates, ColumnLength length) {
    if (auto filled = attribute_from_buffer(obj, name, attribute, updates, length)) return std::move(*filled);
    return attribute_from_items(obj, name, attribute, updates, length);
}

}  // namespace

PyResult<Weights> Weights::one(PyObject* number, const char* name) {
    auto value = extract_f32(number);
    if (!value) return fail(wrap_argument_error(name, std::move(value).error()));
    return Weights{{*value}, true};
}

PyResult<IdColumn> extract_uuid_column(PyObject* obj, const char* name, std::optional<ColumnLength> length) {
    if (auto ids = ids_in_bytes(obj, name, length)) return std::move(*ids);
    if (auto ids = ids_from_buffer(obj, name, length)) return std::move(*ids);
    return ids_from_items(obj, name, length);
}

PyResult<Weights> extract_weights(PyObject* obj, const char* name, ColumnLength length) {
    if (auto weights = one_weight(obj, name)) return std::move(*weights);
    if (auto weights = weights_from_buffer(obj, name, length)) return std::move(*weights);
    return weights_from_items(obj, name, length);
}

PyResult<diff::UpdateBatch> extract_node_updates(const CallSignature& signature, std::span<PyObject* const> given,
                                                 std::size_t count) {
    const char* const* names = signature.parameters.data();
    const ColumnLength length{names[0], count};
    PyObject* const updates = given[0];
    const std::span<PyObject* const> columns = given.subspan(1);
    const char* const* column_names = names + 2;
    if (updates) {
        const auto given_column = std::ranges::find_if(columns, [](PyObject* obj) { return obj != nullptr; });
        if (given_column != columns.end()) {
            const char* column = column_names[given_column - columns.begin()];
            return fail(PyErr::new_message(PyExc_TypeError, texts::updates_and_columns(full_name(signature), column)));
        }
        return extract_update_column(updates, names[1], length);
    }
    // One update per id, written one column after the other.
    diff::UpdateBatch batch(count);
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (columns[i]) {
            QUORL_CHECK(fill_attribute_column(columns[i], column_names[i], kAttributeDictOrder[i], batch, length));
        }
    }
    return batch;
}

}  // namespace quorl::binding
