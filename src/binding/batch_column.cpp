#include "binding/batch_column.hpp"

#include "binding/texts.hpp"
#include "diff/graph_diff.hpp"

namespace quorl::binding {

PyResult<std::monostate> check_count(const char* name, std::size_t count, const std::optional<ColumnLength>& length) {
    if (length) {
        if (count == length->count) return std::monostate{};
        return fail(length_error(name, count, *length));
    }
    if (count <= diff::kMaxBatchItems) [[likely]] return std::monostate{};
    return fail(PyErr::new_message(PyExc_OverflowError, texts::too_many_items(name, diff::kMaxBatchItems)));
}

PyErr length_error(const char* name, std::size_t count, const ColumnLength& length) {
    return PyErr::new_message(PyExc_ValueError, texts::length_mismatch(name, count, length.first_name, length.count));
}

PyErr past_last_item_error(const char* name, const std::optional<ColumnLength>& length) {
    if (!length) return PyErr::new_message(PyExc_OverflowError, texts::too_many_items(name, diff::kMaxBatchItems));
    return PyErr::new_message(PyExc_ValueError, texts::more_items(name, length->first_name, length->count));
}

PyResult<std::monostate> check_signals() {
    if (PyErr_CheckSignals() == 0) return std::monostate{};
    return fail(fetch_error());
}

}  // namespace quorl::binding
