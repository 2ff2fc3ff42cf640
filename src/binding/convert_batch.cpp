#include "binding/convert_batch.hpp"

#include "binding/batch_buffer.hpp"
#include "binding/batch_items.hpp"
#include "binding/convert.hpp"

namespace quorl::binding {
namespace {

// A weight that is neither iterable nor a buffer: one number for every edge.
FormResult<Weights> one_weight(PyObject* obj, const char* name) {
    if (float plain = 0; plain_f32(obj, plain)) return Weights{{plain}, true};
    if (PyObject_CheckBuffer(obj) || is_iterable(obj)) return std::nullopt;
    return Weights::one(obj, name);
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

PyResult<diff::UpdateBatch> extract_update_column(PyObject* obj, const char* name, ColumnLength length) {
    return updates_from_items(obj, name, length);
}

PyResult<std::monostate> fill_attribute_column(PyObject* obj, const char* name, diff::Attribute attribute,
                                               diff::UpdateBatch& updates, const char* first_name) {
    const ColumnLength length{first_name, updates.size()};
    if (auto filled = attribute_from_buffer(obj, name, attribute, updates, length)) return std::move(*filled);
    return attribute_from_items(obj, name, attribute, updates, length);
}

}  // namespace quorl::binding
