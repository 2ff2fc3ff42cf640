#include "binding/convert_batch.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "binding/api.hpp"
#include "binding/convert.hpp"
#include "binding/refs.hpp"
#include "binding/texts.hpp"
#include "diff/prefetch.hpp"

namespace quorl::binding {
namespace {

// ---- buffers -----------------------------------------------------------------

// A buffer export of an object, released when the handle goes, whatever the
// path.
class BufferView {
public:
    BufferView() noexcept = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    // Asks for the full description (format, shape, strides, suboffsets),
    // read-only; false with the exporter's error pending.
    bool acquire(PyObject* obj) noexcept {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_FULL_RO) != 0) return false;
        held_ = true;
        return true;
    }
    void release() noexcept {
        if (held_) {
            held_ = false;
            PyBuffer_Release(&view_);
        }
    }
    const Py_buffer& operator*() const noexcept { return view_; }
    const Py_buffer* operator->() const noexcept { return &view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The buffer of `obj` for the batch argument `name`, or the exporter's
// error attributed to it.
PyResult<std::monostate> acquire(BufferView& view, PyObject* obj, const char* name) {
    if (!view.acquire(obj)) return fail(wrap_argument_error(name, fetch_error()));
    return std::monostate{};
}

// What the items of a buffer are, as far as the fast paths read them.
enum class ItemKind { Other, Float, Signed, Unsigned, Bool };

// The kind of a buffer's items: one struct code for a single value in the
// machine's byte order (the size taken from itemsize), or Other.
ItemKind item_kind(const Py_buffer& view) noexcept {
    const char* format = view.format ? view.format : "B";
    if (*format == '@' || *format == '=' || (*format == '<' && std::endian::native == std::endian::little)) ++format;
    if (format[0] == '\0' || format[1] != '\0') return ItemKind::Other;
    const Py_ssize_t size = view.itemsize;
    const bool integer_size = size == 1 || size == 2 || size == 4 || size == 8;
    switch (format[0]) {
        case 'f':
            return size == 4 ? ItemKind::Float : ItemKind::Other;
        case 'd':
            return size == 8 ? ItemKind::Float : ItemKind::Other;
        case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
            return integer_size ? ItemKind::Signed : ItemKind::Other;
        case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
            return integer_size ? ItemKind::Unsigned : ItemKind::Other;
        case '?':
            return size == 1 ? ItemKind::Bool : ItemKind::Other;
        default:
            return ItemKind::Other;
    }
}

// Whether the items of a buffer hold Python objects: its struct format has
// the type code 'O', for the item itself or for a field of it. Field names,
// written between colons, are free text and skipped: a field called "NODE"
// holds no object.
bool holds_objects(const char* format) noexcept {
    for (const char* p = format ? format : ""; *p; ++p) {
        if (*p == ':') {
            p = std::strchr(p + 1, ':');
            if (!p) return false;
        } else if (*p == 'O') {
            return true;
        }
    }
    return false;
}

// A buffer whose items can be read one after the other: one dimension, no
// indirection.
bool is_flat(const Py_buffer& view) noexcept {
    return view.ndim == 1 && view.shape && view.strides && (!view.suboffsets || view.suboffsets[0] < 0);
}

const char* item_at(const Py_buffer& view, Py_ssize_t i) noexcept {
    return static_cast<const char*>(view.buf) + i * view.strides[0];
}

// A weight item: a float32 as it is, every bit kept (a signalling NaN
// widened to a double and back would come out quiet); a float64 narrowed.
float read_weight(const char* p, Py_ssize_t size) noexcept {
    if (size == 4) {
        float f;
        std::memcpy(&f, p, sizeof f);
        return f;
    }
    double d;
    std::memcpy(&d, p, sizeof d);
    return static_cast<float>(d);
}

// ---- lengths and interruptions ------------------------------------------------

// Loops over a caller's items let the interpreter run its signal handlers
// before item 0 and every kSignalInterval items after: Ctrl-C (or what a
// handler raises) ends the call there, before the diff has changed. A power
// of two, so that telling those items costs a mask.
constexpr std::size_t kSignalInterval = 4096;

PyResult<std::monostate> check_signals() {
    if (PyErr_CheckSignals() == 0) return std::monostate{};
    return fail(fetch_error());
}

[[gnu::always_inline]] inline PyResult<std::monostate> check_signals_at(std::size_t index) {
    if ((index & (kSignalInterval - 1)) != 0) [[likely]] return std::monostate{};
    return check_signals();
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

// Calls read(i) for i = 0, 1, ..., n - 1 (the items of a buffer), with a
// signal check before each run of kSignalInterval items.
template <class Read>
PyResult<std::monostate> for_each_index(std::size_t n, Read&& read) {
    for (std::size_t start = 0; start < n; start += kSignalInterval) {
        QUORL_CHECK(check_signals());
        const std::size_t end = n - start < kSignalInterval ? n : start + kSignalInterval;
        for (std::size_t i = start; i < end; ++i) QUORL_CHECK(read(i));
    }
    return std::monostate{};
}

// ValueError: the column `name` has `count` items, not the count required.
PyErr length_error(const char* name, std::size_t count, const ColumnLength& length) {
    return PyErr::new_message(PyExc_ValueError, texts::length_mismatch(name, count, length.first_name, length.count));
}

PyResult<std::monostate> check_count(const char* name, std::size_t count, const std::optional<ColumnLength>& length) {
    if (!length || count == length->count) return std::monostate{};
    return fail(length_error(name, count, *length));
}

// The number of items `obj` states without being iterated: a list's or a
// tuple's size, or len() of an object that has one; nothing for other
// iterables (an iterator, a generator), whose length only iterating tells.
// As for list(), a TypeError of len() counts as no length; any other
// failure of it is the argument's.
PyResult<std::optional<std::size_t>> stated_length(PyObject* obj, const char* name) {
    using Stated = std::optional<std::size_t>;
    if (PyList_CheckExact(obj)) return Stated(PyList_GET_SIZE(obj));
    if (PyTuple_CheckExact(obj)) return Stated(PyTuple_GET_SIZE(obj));
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

// ---- iteration -----------------------------------------------------------------

// Whether the iteration protocol applies to `obj` (what PyObject_GetIter
// looks at), without calling anything.
bool is_iterable(PyObject* obj) noexcept { return Py_TYPE(obj)->tp_iter != nullptr || PySequence_Check(obj); }

// Hands each item of `obj`, in order, to take(item), which takes a common
// item without running Python code and returns true, or returns false and
// leaves the item to visit(item); returns the number of items. A failure of
// the iteration is attributed to argument `name`, a failure of visit to the
// item's index. The items of a list are read from it directly, each held
// while it is visited: a conversion may run Python code that changes the
// list, which then is seen as the list's own iterator would see it. No such
// code runs in take, so the list holds the items it takes.
//
// With a `length`, the items must number length->count: an object that
// states another number of items is refused before any is read, and
// reading stops at the first item past the count.
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
    std::size_t limit = static_cast<std::size_t>(-1);
    if (length) {
        QUORL_TRY(stated, stated_length(obj, name));
        if (stated) QUORL_CHECK(check_count(name, *stated, length));
        limit = length->count;
    }
    std::size_t count = 0;
    if (PyList_CheckExact(obj)) {
        for (; count < static_cast<std::size_t>(PyList_GET_SIZE(obj)); ++count) {
            if (count == limit) {  // the list has grown under a conversion
                return fail(length_error(name, static_cast<std::size_t>(PyList_GET_SIZE(obj)), *length));
            }
            QUORL_CHECK(check_signals_at(count));
            ahead(PySequence_Fast_ITEMS(obj), count, static_cast<std::size_t>(PyList_GET_SIZE(obj)));
            PyObject* listed = PyList_GET_ITEM(obj, count);
            if (take(listed)) [[likely]] continue;
            Owned item = Owned::retain(listed);
            QUORL_CHECK(visit_at(item.get(), count));
        }
    } else if (PyTuple_CheckExact(obj)) {
        // A tuple cannot change, and the caller holds it.
        for (; count < static_cast<std::size_t>(PyTuple_GET_SIZE(obj)); ++count) {
            QUORL_CHECK(check_signals_at(count));
            ahead(PySequence_Fast_ITEMS(obj), count, static_cast<std::size_t>(PyTuple_GET_SIZE(obj)));
            PyObject* item = PyTuple_GET_ITEM(obj, count);
            if (take(item)) [[likely]] continue;
            QUORL_CHECK(visit_at(item, count));
        }
    } else {
        Owned iterator = Owned::steal(api::get_iter(obj));
        if (!iterator) return fail(wrap_argument_error(name, fetch_error()));
        for (;; ++count) {
            QUORL_CHECK(check_signals_at(count));
            Owned item = Owned::steal(api::iter_next(iterator.get()));
            if (!item) {
                if (PyErr_Occurred()) return fail(wrap_argument_error(name, fetch_error()));
                break;
            }
            if (count == limit) {
                return fail(PyErr::new_message(PyExc_ValueError,
                                               texts::more_items(name, length->first_name, length->count)));
            }
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

// The room to reserve for a column read from `obj`: the count required, or
// the size of a list or a tuple; nothing for other iterables.
std::size_t reserved_length(PyObject* obj, const std::optional<ColumnLength>& length) noexcept {
    if (length) return length->count;
    if (PyList_CheckExact(obj)) return static_cast<std::size_t>(PyList_GET_SIZE(obj));
    if (PyTuple_CheckExact(obj)) return static_cast<std::size_t>(PyTuple_GET_SIZE(obj));
    return 0;
}

// Copies the bytes of a buffer in C order to `out` (view.len bytes), a block
// of its first dimension at a time with a signal check before each block,
// so that Ctrl-C stops the copy of a huge buffer. A buffer that cannot be
// cut so (no dimension, or indirect) is copied in one go.
PyResult<std::monostate> copy_in_c_order(const Py_buffer& view, unsigned char* out) {
    constexpr Py_ssize_t kBlockBytes = kSignalInterval * sizeof(diff::Uuid);
    if (view.len == 0) return std::monostate{};
    auto* source = static_cast<const unsigned char*>(view.buf);
    if (PyBuffer_IsContiguous(&view, 'C')) {
        for (Py_ssize_t done = 0; done < view.len; done += kBlockBytes) {
            QUORL_CHECK(check_signals());
            std::memcpy(out + done, source + done, static_cast<std::size_t>(std::min(kBlockBytes, view.len - done)));
        }
        return std::monostate{};
    }
    Py_buffer block = view;
    if (view.ndim < 1 || view.ndim > PyBUF_MAX_NDIM || (view.suboffsets && view.suboffsets[0] >= 0)) {
        QUORL_CHECK(check_signals());
        if (PyBuffer_ToContiguous(out, &block, view.len, 'C') != 0) return fail(fetch_error());
        return std::monostate{};
    }
    // Blocks of rows of the first dimension, each a buffer of its own.
    Py_ssize_t shape[PyBUF_MAX_NDIM];
    std::copy(view.shape, view.shape + view.ndim, shape);
    block.shape = shape;
    const Py_ssize_t rows = view.shape[0];
    const Py_ssize_t row_bytes = view.len / rows;
    const Py_ssize_t rows_per_block = std::max<Py_ssize_t>(1, kBlockBytes / row_bytes);
    for (Py_ssize_t row = 0; row < rows; row += rows_per_block) {
        QUORL_CHECK(check_signals());
        shape[0] = std::min(rows_per_block, rows - row);
        block.buf = const_cast<unsigned char*>(source) + row * view.strides[0];
        block.len = shape[0] * row_bytes;
        if (PyBuffer_ToContiguous(out + row * row_bytes, &block, block.len, 'C') != 0) return fail(fetch_error());
    }
    return std::monostate{};
}

// The single conversion's error for an integer read from a buffer, which
// lies outside 0..255: the same integer as a Python int, converted.
template <class Integer>
PyErr colour_error(Integer value) {
    Owned number;
    if constexpr (std::is_signed_v<Integer>) {
        number = expect_new(api::new_int64(value));
    } else {
        number = expect_new(api::new_uint64(value));
    }
    auto converted = extract_u8(number.get());
    if (converted) return PyErr::new_message(PyExc_OverflowError, texts::kColourOutOfRange);  // cannot happen
    return std::move(converted).error();
}

// The number of ids that `bytes` bytes of packed ids hold, refused unless
// whole and as many as `length` says.
PyResult<std::size_t> whole_id_count(const char* name, std::size_t bytes, const std::optional<ColumnLength>& length) {
    if (bytes % sizeof(diff::Uuid) != 0) {
        return fail(PyErr::new_message(PyExc_ValueError, texts::ids_not_whole(name, bytes)));
    }
    QUORL_CHECK(check_count(name, bytes / sizeof(diff::Uuid), length));
    return bytes / sizeof(diff::Uuid);
}

}  // namespace

PyResult<IdColumn> extract_uuid_column(PyObject* obj, const char* name, std::optional<ColumnLength> length) {
    // Ids packed in a `bytes` (the exact type: a subclass may export another
    // buffer) are its bytes, read where they are; a signal that came before
    // still stops the batch here, as it stops a copy.
    if (PyBytes_CheckExact(obj)) {
        QUORL_CHECK(check_signals());
        QUORL_TRY(count, whole_id_count(name, static_cast<std::size_t>(PyBytes_GET_SIZE(obj)), length));
        static_assert(alignof(diff::Uuid) == 1, "ids are read in place at any address");
        return IdColumn::in_place({reinterpret_cast<const diff::Uuid*>(PyBytes_AS_STRING(obj)), count});
    }
    std::vector<diff::Uuid> ids;
    if (PyObject_CheckBuffer(obj)) {
        BufferView view;
        QUORL_CHECK(acquire(view, obj, name));
        // An array of Python objects holds pointers, not ids: its items are
        // the ids.
        if (!holds_objects(view->format)) {
            QUORL_TRY(count, whole_id_count(name, static_cast<std::size_t>(view->len), length));
            ids.resize(count);
            auto copied = copy_in_c_order(*view, reinterpret_cast<unsigned char*>(ids.data()));
            if (!copied) return fail(wrap_argument_error(name, std::move(copied).error()));
            return IdColumn(std::move(ids));
        }
    }
    ids.reserve(reserved_length(obj, length));
    QUORL_CHECK(for_each_item_converted<UuidConversion>(obj, name, length,
                                                        [&](const diff::Uuid& id) { ids.push_back(id); }));
    return IdColumn(std::move(ids));
}

PyResult<Weights> extract_weights(PyObject* obj, const char* name, ColumnLength length) {
    Weights weights;
    auto one = [&](PyObject* number) -> PyResult<Weights> {
        auto value = extract_f32(number);
        if (!value) return fail(wrap_argument_error(name, std::move(value).error()));
        weights.values.push_back(*value);
        weights.one_for_all = true;
        return std::move(weights);
    };
    if (float plain = 0; plain_f32(obj, plain)) {
        weights.values.push_back(plain);
        weights.one_for_all = true;
        return weights;
    }
    if (PyObject_CheckBuffer(obj)) {
        BufferView view;
        QUORL_CHECK(acquire(view, obj, name));
        if (view->ndim == 0) {
            view.release();
            return one(obj);
        }
        if (is_flat(*view) && item_kind(*view) == ItemKind::Float) {
            const auto n = static_cast<std::size_t>(view->shape[0]);
            QUORL_CHECK(check_count(name, n, length));
            weights.values.resize(n);
            QUORL_CHECK(for_each_index(n, [&](std::size_t i) -> PyResult<std::monostate> {
                weights.values[i] = read_weight(item_at(*view, static_cast<Py_ssize_t>(i)), view->itemsize);
                return std::monostate{};
            }));
            return weights;
        }
    } else if (!is_iterable(obj)) {
        return one(obj);
    }
    weights.values.reserve(length.count);
    QUORL_CHECK(for_each_item_converted<F32Conversion>(obj, name, length,
                                                       [&](float value) { weights.values.push_back(value); }));
    return weights;
}

PyResult<diff::UpdateBatch> extract_update_column(PyObject* obj, const char* name, ColumnLength length) {
    diff::UpdateBatch updates;
    updates.reserve(length.count);
    // Each update's texts are copied as it is read, since its item may not
    // outlive the next one's reading.
    QUORL_CHECK(for_each_item_converted<NodeUpdateConversion>(
        obj, name, length, [&](const diff::NodeUpdateView& update) { updates.push_back(update); }, nullptr,
        FetchDictsAhead{}));
    return updates;
}

namespace {

// Whether add_nodes reads the items of a buffer straight into attributes of
// `Kind`, and the value of one such item (or the error that converting the
// same number as a Python object gives).
template <diff::AttributeKind Kind>
bool reads_directly(ItemKind item) noexcept {
    using diff::AttributeKind;
    if constexpr (Kind == AttributeKind::Float) return item == ItemKind::Float;
    if constexpr (Kind == AttributeKind::Byte) return item == ItemKind::Signed || item == ItemKind::Unsigned;
    if constexpr (Kind == AttributeKind::Bool) return item == ItemKind::Bool;
    return false;  // texts come from Python objects only
}

// Calls body(T{}) with T the C type of a buffer's items, of a kind that
// reads_directly<Kind>: the choice is made once for the whole buffer, so
// that its loop reads each item with one plain load.
template <diff::AttributeKind Kind, class Body>
PyResult<std::monostate> with_item_type(ItemKind item, Py_ssize_t size, Body&& body) {
    using diff::AttributeKind;
    static_assert(Kind != AttributeKind::Text);
    if constexpr (Kind == AttributeKind::Float) {
        return size == 4 ? body(float{}) : body(double{});
    } else if constexpr (Kind == AttributeKind::Byte) {
        const bool is_signed = item == ItemKind::Signed;
        switch (size) {
            case 1: return is_signed ? body(std::int8_t{}) : body(std::uint8_t{});
            case 2: return is_signed ? body(std::int16_t{}) : body(std::uint16_t{});
            case 4: return is_signed ? body(std::int32_t{}) : body(std::uint32_t{});
            default: return is_signed ? body(std::int64_t{}) : body(std::uint64_t{});
        }
    } else {
        return body(std::uint8_t{});  // a bool's byte
    }
}

// The attribute value of a number read from a buffer, or the error that
// converting the same number as a Python object gives.
template <diff::AttributeKind Kind, class T>
PyResult<diff::KindValue<Kind>> attribute_value(T number) {
    using diff::AttributeKind;
    if constexpr (Kind == AttributeKind::Float) {
        return static_cast<float>(static_cast<double>(number));
    } else if constexpr (Kind == AttributeKind::Byte) {
        if (std::cmp_less(number, 0) || std::cmp_greater(number, 255)) return fail(colour_error(number));
        return static_cast<std::uint8_t>(number);
    } else {
        return number != 0;
    }
}

template <diff::Attribute A>
PyResult<std::monostate> fill_column(PyObject* obj, const char* name, diff::UpdateBatch& updates,
                                     const char* first_name) {
    constexpr diff::AttributeKind kind = diff::kKindOf<A>;
    const ColumnLength length{first_name, updates.size()};
    if (PyObject_CheckBuffer(obj)) {
        BufferView view;
        QUORL_CHECK(acquire(view, obj, name));
        const ItemKind item = item_kind(*view);
        if (is_flat(*view) && reads_directly<kind>(item)) {
            QUORL_CHECK(check_count(name, static_cast<std::size_t>(view->shape[0]), length));
            if constexpr (kind != diff::AttributeKind::Text) {
                return with_item_type<kind>(item, view->itemsize, [&](auto sample) {
                    using Number = decltype(sample);
                    return for_each_index(updates.size(), [&](std::size_t i) -> PyResult<std::monostate> {
                        Number number;
                        std::memcpy(&number, item_at(*view, static_cast<Py_ssize_t>(i)), sizeof number);
                        auto value = attribute_value<kind>(number);
                        if (!value) [[unlikely]] return fail(item_error(name, i, std::move(value).error()));
                        updates.set<A>(i, *value);
                        return std::monostate{};
                    });
                });
            }
            return std::monostate{};
        }
    }
    // The items come in order, so a text goes to the end of its stream as
    // soon as it is converted, while its string is at hand.
    std::size_t i = 0;
    QUORL_CHECK(for_each_item_converted<AttributeConversion<kind>>(
        obj, name, length, [&](const diff::AttributeValue<A>& value) { updates.set<A>(i++, value); },
        [&] { ++i; }));
    return std::monostate{};
}

}  // namespace

PyResult<std::monostate> fill_attribute_column(PyObject* obj, const char* name, diff::Attribute attribute,
                                               diff::UpdateBatch& updates, const char* first_name) {
    static constexpr auto kFill = diff::per_attribute([](auto a) { return &fill_column<a>; });
    return kFill[attribute](obj, name, updates, first_name);
}

}  // namespace quorl::binding
