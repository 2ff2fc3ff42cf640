#include "binding/convert_batch.hpp"

#include <bit>
#include <cstring>
#include <type_traits>
#include <utility>
#include <variant>

#include "binding/api.hpp"
#include "binding/convert.hpp"
#include "binding/frame.hpp"
#include "binding/refs.hpp"
#include "binding/texts.hpp"

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

// A buffer whose items can be read one after the other: one dimension, no
// indirection.
bool is_flat(const Py_buffer& view) noexcept {
    return view.ndim == 1 && view.shape && view.strides && (!view.suboffsets || view.suboffsets[0] < 0);
}

const char* item_at(const Py_buffer& view, Py_ssize_t i) noexcept {
    return static_cast<const char*>(view.buf) + i * view.strides[0];
}

double read_float(const char* p, Py_ssize_t size) noexcept {
    if (size == 4) {
        float f;
        std::memcpy(&f, p, sizeof f);
        return f;
    }
    double d;
    std::memcpy(&d, p, sizeof d);
    return d;
}

// A weight item: a float32 as it is, every bit kept (a signalling NaN
// widened to a double and back would come out quiet); a float64 narrowed.
float read_weight(const char* p, Py_ssize_t size) noexcept {
    if (size == 4) {
        float f;
        std::memcpy(&f, p, sizeof f);
        return f;
    }
    return static_cast<float>(read_float(p, size));
}

template <class T>
T read_integer_as(const char* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

std::int64_t read_signed(const char* p, Py_ssize_t size) noexcept {
    switch (size) {
        case 1: return read_integer_as<std::int8_t>(p);
        case 2: return read_integer_as<std::int16_t>(p);
        case 4: return read_integer_as<std::int32_t>(p);
        default: return read_integer_as<std::int64_t>(p);
    }
}

std::uint64_t read_unsigned(const char* p, Py_ssize_t size) noexcept {
    switch (size) {
        case 1: return read_integer_as<std::uint8_t>(p);
        case 2: return read_integer_as<std::uint16_t>(p);
        case 4: return read_integer_as<std::uint32_t>(p);
        default: return read_integer_as<std::uint64_t>(p);
    }
}

// ---- iteration -----------------------------------------------------------------

// Whether the iteration protocol applies to `obj` (what PyObject_GetIter
// looks at), without calling anything.
bool is_iterable(PyObject* obj) noexcept { return Py_TYPE(obj)->tp_iter != nullptr || PySequence_Check(obj); }

// Calls visit(item) for each item of `obj`, in order. A failure of the
// iteration is attributed to argument `name`, a failure of visit to the
// item's index. The items of a list are read from it directly, each held
// while it is visited: a conversion may run Python code that changes the
// list, which then is seen as the list's own iterator would see it.
template <class Visit>
PyResult<std::monostate> for_each_item(PyObject* obj, const char* name, Visit&& visit) {
    auto visit_at = [&](PyObject* item, std::size_t index) -> PyResult<std::monostate> {
        auto visited = visit(item);
        if (!visited) return fail(item_error(name, index, std::move(visited).error()));
        return std::monostate{};
    };
    if (PyList_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            Owned item = Owned::retain(PyList_GET_ITEM(obj, i));
            QUORL_CHECK(visit_at(item.get(), static_cast<std::size_t>(i)));
        }
        return std::monostate{};
    }
    if (PyTuple_CheckExact(obj)) {
        // A tuple cannot change, and the caller holds it.
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) {
            QUORL_CHECK(visit_at(PyTuple_GET_ITEM(obj, i), static_cast<std::size_t>(i)));
        }
        return std::monostate{};
    }
    Owned iterator = Owned::steal(api::get_iter(obj));
    if (!iterator) return fail(wrap_argument_error(name, fetch_error()));
    for (std::size_t index = 0;; ++index) {
        Owned item = Owned::steal(api::iter_next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred()) return fail(wrap_argument_error(name, fetch_error()));
            return std::monostate{};
        }
        QUORL_CHECK(visit_at(item.get(), index));
    }
}

// The reserved length of a column read from `obj`: exact for a list or a
// tuple, nothing for other iterables (whose length only iterating tells).
std::size_t known_length(PyObject* obj) noexcept {
    if (PyList_CheckExact(obj)) return static_cast<std::size_t>(PyList_GET_SIZE(obj));
    if (PyTuple_CheckExact(obj)) return static_cast<std::size_t>(PyTuple_GET_SIZE(obj));
    return 0;
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

}  // namespace

PyErr item_error(const char* name, std::size_t index, PyErr error) {
    PyObject* type = error.type();
    PyObject* value = error.value();
    if (PyType_HasFeature(reinterpret_cast<PyTypeObject*>(type), Py_TPFLAGS_HEAPTYPE)) return error;
    PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(value)->args;
    if (!args || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) != 1 || !PyUnicode_Check(PyTuple_GET_ITEM(args, 0))) {
        return error;
    }
    // The interpreter's own exception classes live as long as it does.
    PyErr restated = PyErr::new_message(type, texts::item_error(name, index, display_text(value)));
    // The cause carries over (None when there is none); SetCause steals it.
    PyException_SetCause(restated.value(), PyException_GetCause(value));
    return restated;
}

PyResult<std::vector<diff::Uuid>> extract_uuid_column(PyObject* obj, const char* name) {
    std::vector<diff::Uuid> ids;
    if (PyObject_CheckBuffer(obj)) {
        BufferView view;
        QUORL_CHECK(acquire(view, obj, name));
        // An array of Python objects holds pointers, not ids: its items are
        // the ids.
        const bool objects = view->format && std::strchr(view->format, 'O');
        if (!objects) {
            const auto bytes = static_cast<std::size_t>(view->len);
            if (bytes % sizeof(diff::Uuid) != 0) {
                return fail(PyErr::new_message(PyExc_ValueError, texts::ids_not_whole(name, bytes)));
            }
            ids.resize(bytes / sizeof(diff::Uuid));
            if (bytes > 0 && PyBuffer_ToContiguous(ids.data(), const_cast<Py_buffer*>(&*view), view->len, 'C') != 0) {
                return fail(wrap_argument_error(name, fetch_error()));
            }
            return ids;
        }
    }
    ids.reserve(known_length(obj));
    QUORL_CHECK(for_each_item(obj, name, [&](PyObject* item) -> PyResult<std::monostate> {
        diff::Uuid id;
        QUORL_CHECK(convert_into<UuidConversion>(item, id));
        ids.push_back(id);
        return std::monostate{};
    }));
    return ids;
}

PyResult<Weights> extract_weights(PyObject* obj, const char* name) {
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
            const Py_ssize_t n = view->shape[0];
            weights.values.resize(static_cast<std::size_t>(n));
            for (Py_ssize_t i = 0; i < n; ++i) {
                weights.values[static_cast<std::size_t>(i)] = read_weight(item_at(*view, i), view->itemsize);
            }
            return weights;
        }
    } else if (!is_iterable(obj)) {
        return one(obj);
    }
    weights.values.reserve(known_length(obj));
    QUORL_CHECK(for_each_item(obj, name, [&](PyObject* item) -> PyResult<std::monostate> {
        float value = 0;
        QUORL_CHECK(convert_into<F32Conversion>(item, value));
        weights.values.push_back(value);
        return std::monostate{};
    }));
    return weights;
}

PyResult<std::vector<diff::NodeUpdate>> extract_update_column(PyObject* obj, const char* name) {
    std::vector<diff::NodeUpdate> updates;
    updates.reserve(known_length(obj));
    QUORL_CHECK(for_each_item(obj, name, [&](PyObject* item) -> PyResult<std::monostate> {
        QUORL_TRY(update, extract_node_update(item));
        updates.emplace_back(update);  // a copy of the texts, which the item may not outlive
        return std::monostate{};
    }));
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

template <diff::AttributeKind Kind>
PyResult<diff::KindValue<Kind>> read_item(const char* p, ItemKind item, Py_ssize_t size) {
    using diff::AttributeKind;
    static_assert(Kind != AttributeKind::Text);
    if constexpr (Kind == AttributeKind::Float) {
        return static_cast<float>(read_float(p, size));
    } else if constexpr (Kind == AttributeKind::Byte) {
        if (item == ItemKind::Signed) {
            const std::int64_t v = read_signed(p, size);
            if (v < 0 || v > 255) return fail(colour_error(v));
            return static_cast<std::uint8_t>(v);
        }
        const std::uint64_t v = read_unsigned(p, size);
        if (v > 255) return fail(colour_error(v));
        return static_cast<std::uint8_t>(v);
    } else {
        return *p != 0;
    }
}

template <diff::Attribute A>
PyResult<std::size_t> fill_column(PyObject* obj, const char* name, std::span<diff::NodeUpdate> updates) {
    constexpr diff::AttributeKind kind = diff::kKindOf<A>;
    const std::size_t n = updates.size();
    if (PyObject_CheckBuffer(obj)) {
        BufferView view;
        QUORL_CHECK(acquire(view, obj, name));
        const ItemKind item = item_kind(*view);
        if (is_flat(*view) && reads_directly<kind>(item)) {
            const auto count = static_cast<std::size_t>(view->shape[0]);
            if (count != n) return count;
            if constexpr (kind != diff::AttributeKind::Text) {
                for (std::size_t i = 0; i < n; ++i) {
                    auto value = read_item<kind>(item_at(*view, static_cast<Py_ssize_t>(i)), item, view->itemsize);
                    if (!value) return fail(item_error(name, i, std::move(value).error()));
                    updates[i].set<A>(*value);
                }
            }
            return count;
        }
    }
    // Items beyond the n-th are counted for the message, not converted.
    std::size_t count = 0;
    QUORL_CHECK(for_each_item(obj, name, [&](PyObject* item) -> PyResult<std::monostate> {
        const std::size_t i = count++;
        if (i >= n || item == Py_None) return std::monostate{};
        diff::AttributeValue<A> value{};
        QUORL_CHECK(convert_into<AttributeConversion<kind>>(item, value));
        updates[i].set<A>(value);
        return std::monostate{};
    }));
    return count;
}

}  // namespace

PyResult<std::size_t> fill_attribute_column(PyObject* obj, const char* name, diff::Attribute attribute,
                                            std::span<diff::NodeUpdate> updates) {
    static constexpr auto kFill = diff::per_attribute([](auto a) { return &fill_column<a>; });
    return kFill[attribute](obj, name, updates);
}

}  // namespace quorl::binding
