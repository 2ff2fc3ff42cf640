#include "binding/batch_items.hpp"

#include <cstddef>
#include <type_traits>
#include <vector>

#include "binding/api.hpp"
#include "binding/convert.hpp"
#include "diff/graph_diff.hpp"
#include "diff/prefetch.hpp"

namespace quorl::binding {
namespace {

// A list's or a tuple's size, which no Python code tells; nothing for any
// other object.
std::optional<std::size_t> listed_length(PyObject* obj) noexcept {
    if (PyList_CheckExact(obj)) return static_cast<std::size_t>(PyList_GET_SIZE(obj));
    if (PyTuple_CheckExact(obj)) return static_cast<std::size_t>(PyTuple_GET_SIZE(obj));
    return std::nullopt;
}

// The number of items `obj` states without being iterated: a list's or a
// tuple's size, and for a column whose count is required, len() of an
// object that has one; nothing for other iterables (an iterator, a
// generator), whose length only iterating tells. As for list(), a TypeError
// of len() counts as no length; any other failure of it is the argument's.
PyResult<std::optional<std::size_t>> stated_length(PyObject* obj, const char* name,
                                                   const std::optional<ColumnLength>& length) {
    using Stated = std::optional<std::size_t>;
    if (Stated listed = listed_length(obj); listed || !length) return listed;
    PyTypeObject* type = Py_TYPE(obj);
    const bool sized = (type->tp_as_sequence && type->tp_as_sequence->sq_length) ||
                       (type->tp_as_mapping && type->tp_as_mapping->mp_length);
    if (!sized) return Stated();
    const Py_ssize_t size = PyObject_Size(obj);
    if (size >= 0) return Stated(size);
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return fail(wrap_argument_error(name, fetch_error()));
    PyErr_Clear();
    return Stated();
}

// The room to reserve for a column read from `obj`: the count required, or
// the size of a list or a tuple; nothing for other iterables.
std::size_t reserved_length(PyObject* obj, const std::optional<ColumnLength>& length) noexcept {
    if (length) return length->count;
    return listed_length(obj).value_or(0);
}

// A list that has grown under a conversion past the most items its column
// may have.
PyErr grown_list_error(const char* name, PyObject* list, const std::optional<ColumnLength>& length) {
    if (!length) return past_last_item_error(name, length);
    return length_error(name, static_cast<std::size_t>(PyList_GET_SIZE(list)), *length);
}

// The look-ahead of a column whose items are read as they come.
struct NoFetchAhead {
    void operator()(PyObject* const*, std::size_t, std::size_t) const noexcept {}
};

// The look-ahead of a column of attribute dicts. Reading a dict is a chain
// of loads (the dict, its table of keys, each value) that the processor
// cannot start before the last one ends, and the dicts of a long column are
// spread over the heap: so the dict a few items ahead is asked for, and,
// half as far ahead, the table of keys of one that has come meanwhile.
// Nothing is read but the items and the dict's pointer to its keys.
struct FetchDictsAhead {
    static constexpr std::size_t kDictsAhead = 16;
    static constexpr std::size_t kKeysAhead = 8;
    [[gnu::always_inline]] void operator()(PyObject* const* items, std::size_t index,
                                           std::size_t count) const noexcept {
        if (index + kDictsAhead < count) diff::prefetch_line(items[index + kDictsAhead]);
        if (index + kKeysAhead < count) {
            PyObject* item = items[index + kKeysAhead];
            if (PyDict_CheckExact(item)) {
                // The header, the index and the first entries of a small table.
                const char* keys = reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(item)->ma_keys);
                diff::prefetch_line(keys);
                diff::prefetch_line(keys + 64);
                diff::prefetch_line(keys + 128);
            }
        }
    }
};

// Hands each item of `obj`, in order, to take(item), which takes a common
// item without running Python code and returns true, or returns false and
// leaves the item to visit(item); returns the number of items. A failure of
// the iteration is attributed to argument `name`, a failure of visit to the
// item's index. The items of a list are read from it directly, each held
// while it is visited: a conversion may run Python code that changes the
// list, which then is seen as the list's own iterator would see it. No such
// code runs in take, so the list holds the items it takes.
//
// The items must number length->count when a `length` is given, and no more
// than a batch can hold in any case: an object that states another number
// of items is refused before any is read, and reading stops at the first
// item past the most.
//
// For a list or a tuple, ahead(items, index, count) runs before each item
// is read, with the sequence's items as they are then: it may ask the
// processor for what the reading of later items will load.
template <class Take, class Visit, class Ahead = NoFetchAhead>
PyResult<std::size_t> for_each_item(PyObject* obj, const char* name, const std::optional<ColumnLength>& length,
                                    Take&& take, Visit&& visit, Ahead ahead = {}) {
    auto visit_at = [&](PyObject* item, std::size_t index) -> PyResult<std::monostate> {
        auto visited = visit(item);
        if (!visited) return fail(item_error(name, index, std::move(visited).error()));
        return std::monostate{};
    };
    QUORL_TRY(stated, stated_length(obj, name, length));
    if (stated) QUORL_CHECK(check_count(name, *stated, length));
    const std::size_t most = length ? length->count : diff::kMaxBatchItems;
    std::size_t count = 0;
    if (PyList_CheckExact(obj)) {
        for (; count < static_cast<std::size_t>(PyList_GET_SIZE(obj)); ++count) {
            if (count == most) return fail(grown_list_error(name, obj, length));
            if (signal_check_due(count)) [[unlikely]] QUORL_CHECK(check_signals());
            ahead(PySequence_Fast_ITEMS(obj), count, static_cast<std::size_t>(PyList_GET_SIZE(obj)));
            PyObject* listed = PyList_GET_ITEM(obj, count);
            if (take(listed)) [[likely]] continue;
            Owned item = Owned::retain(listed);
            QUORL_CHECK(visit_at(item.get(), count));
        }
    } else if (PyTuple_CheckExact(obj)) {
        // A tuple cannot change, and the caller holds it.
        for (; count < static_cast<std::size_t>(PyTuple_GET_SIZE(obj)); ++count) {
            if (signal_check_due(count)) [[unlikely]] QUORL_CHECK(check_signals());
            ahead(PySequence_Fast_ITEMS(obj), count, static_cast<std::size_t>(PyTuple_GET_SIZE(obj)));
            PyObject* item = PyTuple_GET_ITEM(obj, count);
            if (take(item)) [[likely]] continue;
            QUORL_CHECK(visit_at(item, count));
        }
    } else {
        Owned iterator = Owned::steal(api::get_iter(obj));
        if (!iterator) return fail(wrap_argument_error(name, fetch_error()));
        for (;; ++count) {
            if (signal_check_due(count)) [[unlikely]] QUORL_CHECK(check_signals());
            Owned item = Owned::steal(api::iter_next(iterator.get()));
            if (!item) {
                if (PyErr_Occurred()) return fail(wrap_argument_error(name, fetch_error()));
                break;
            }
            if (count == most) return fail(past_last_item_error(name, length));
            if (take(item.get())) continue;
            QUORL_CHECK(visit_at(item.get(), count));
        }
    }
    QUORL_CHECK(check_count(name, count, length));
    return count;
}

// Converts each item of `obj` with conversion C and hands the value to
// store(value), in order; with a `none` handler, an item None is handed to
// none() instead. The common items go by C's plain form, the others by its
// conversion, which reports what it reports.
template <class C, class Store, class None = std::nullptr_t, class Ahead = NoFetchAhead>
PyResult<std::size_t> for_each_item_converted(PyObject* obj, const char* name,
                                              const std::optional<ColumnLength>& length, Store&& store,
                                              None&& none = nullptr, Ahead ahead = {}) {
    constexpr bool kNoneSkips = !std::is_same_v<std::remove_cvref_t<None>, std::nullptr_t>;
    auto take = [&](PyObject* item) {
        if constexpr (kNoneSkips) {
            if (item == Py_None) {
                none();
                return true;
            }
        }
        typename C::Value value{};
        if (!C::plain(item, value)) return false;
        store(value);
        return true;
    };
    auto visit = [&](PyObject* item) -> PyResult<std::monostate> {
        QUORL_TRY(value, C::extract(item));
        store(value);
        return std::monostate{};
    };
    return for_each_item(obj, name, length, take, visit, ahead);
}

struct AttributeItems {
    template <diff::Attribute A>
    static PyResult<std::monostate> column(PyObject* obj, const char* name, diff::UpdateBatch& updates,
                                           ColumnLength length) {
        // The items come in order, so a text goes to the end of its stream
        // as soon as it is converted, while its string is at hand.
        std::size_t i = 0;
        QUORL_CHECK(for_each_item_converted<AttributeConversion<diff::kKindOf<A>>>(
            obj, name, length, [&](const diff::AttributeValue<A>& value) { updates.set<A>(i++, value); },
            [&] { ++i; }));
        return std::monostate{};
    }
};

}  // namespace

PyResult<IdColumn> ids_from_items(PyObject* obj, const char* name, const std::optional<ColumnLength>& length) {
    std::vector<diff::Uuid> ids;
    ids.reserve(reserved_length(obj, length));
    QUORL_CHECK(for_each_item_converted<UuidConversion>(obj, name, length,
                                                        [&](const diff::Uuid& id) { ids.push_back(id); }));
    return IdColumn(std::move(ids));
}

PyResult<Weights> weights_from_items(PyObject* obj, const char* name, ColumnLength length) {
    Weights weights;
    weights.values.reserve(length.count);
    QUORL_CHECK(for_each_item_converted<F32Conversion>(obj, name, length,
                                                       [&](float value) { weights.values.push_back(value); }));
    return weights;
}

PyResult<diff::UpdateBatch> updates_from_items(PyObject* obj, const char* name, ColumnLength length) {
    diff::UpdateBatch updates;
    updates.reserve(length.count);
    // Each update's texts are copied as it is read, since its item may not
    // outlive the next one's reading.
    QUORL_CHECK(for_each_item_converted<NodeUpdateConversion>(
        obj, name, length, [&](const diff::NodeUpdateView& update) { updates.push_back(update); }, nullptr,
        FetchDictsAhead{}));
    return updates;
}

PyResult<std::monostate> attribute_from_items(PyObject* obj, const char* name, diff::Attribute attribute,
                                              diff::UpdateBatch& updates, ColumnLength length) {
    return attribute_column<AttributeItems>(attribute, obj, name, updates, length);
}

}  // namespace quorl::binding
