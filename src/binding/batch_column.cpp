#include "binding/batch_column.hpp"

#include "binding/texts.hpp"

namespace quorl::binding {

PyResult<std::monostate> check_count(const char* name, std::size_t count, const std::optional<ColumnLength>& length) {
    if (!length || count == length->count) return std::monostate{};
    return fail(length_error(name, count, *length));
}

PyErr length_error(const char* name, std::size_t count, const ColumnLength& length) {
    return PyErr::new_message(PyExc_ValueError, texts::length_mismatch(name, count, length.first_name, length.count));
}

PyErr more_items_error(const char* name, const ColumnLength& length) {
    return PyErr::new_message(PyExc_ValueError, texts::more_items(name, length.first_name, length.count));
}

PyResult<std::monostate> check_signals() {
    if (PyErr_CheckSignals() == 0) return std::monostate{};
    return fail(fetch_error());
}

}  // namespace quorl::binding
