#include "binding/batch_buffer.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "binding/api.hpp"
#include "binding/convert.hpp"
#include "binding/texts.hpp"

namespace quorl::binding {
namespace {

// A buffer export of an object, released when the handle goes, whatever the
// path.
class BufferView {
public:
    BufferView() noexcept = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    // The full description (format, shape, strides, suboffsets) of the
    // buffer of `obj` for the batch argument `name`, read-only; or the
    // exporter's error attributed to the argument.
    PyResult<std::monostate> acquire(PyObject* obj, const char* name) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_FULL_RO) != 0) return fail(wrap_argument_error(name, fetch_error()));
        held_ = true;
        return std::monostate{};
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

// What the items of a buffer are, as far as the direct reads go.
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

const char* item_at(const Py_buffer& view, std::size_t i) noexcept {
    return static_cast<const char*>(view.buf) + static_cast<Py_ssize_t>(i) * view.strides[0];
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

// ---- ids and weights -------------------------------------------------------

// The number of ids that `bytes` bytes of packed ids hold, refused unless
// whole and as many as `length` says.
PyResult<std::size_t> whole_id_count(const char* name, std::size_t bytes, const std::optional<ColumnLength>& length) {
    if (bytes % sizeof(diff::Uuid) != 0) {
        return fail(PyErr::new_message(PyExc_ValueError, texts::ids_not_whole(name, bytes)));
    }
    QUORL_CHECK(check_count(name, bytes / sizeof(diff::Uuid), length));
    return bytes / sizeof(diff::Uuid);
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

// ---- attributes --------------------------------------------------------------

// Whether the items of a buffer are read straight into attributes of
// `Kind`.
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

// The value of an integer read from a buffer for a byte attribute: outside
// 0..255, the error that converting the same integer as a Python int gives.
template <class Integer>
PyResult<std::uint8_t> byte_value(Integer number) {
    if (!std::cmp_less(number, 0) && !std::cmp_greater(number, 255)) return static_cast<std::uint8_t>(number);
    Owned object;
    if constexpr (std::is_signed_v<Integer>) {
        object = expect_new(api::new_int64(number));
    } else {
        object = expect_new(api::new_uint64(number));
    }
    return AttributeConversion<diff::AttributeKind::Byte>::extract(object.get());
}

// The attribute value of a number read from a buffer, or the error that
// converting the same number as a Python object gives.
template <diff::AttributeKind Kind, class T>
PyResult<diff::KindValue<Kind>> attribute_value(T number) {
    using diff::AttributeKind;
    if constexpr (Kind == AttributeKind::Float) {
        return static_cast<float>(static_cast<double>(number));
    } else if constexpr (Kind == AttributeKind::Byte) {
        return byte_value(number);
    } else {
        return number != 0;
    }
}

// Writes the items of `view`, of kind `item`, into attribute A of the
// updates, item i into update i.
template <diff::Attribute A>
PyResult<std::monostate> write_items(const Py_buffer& view, ItemKind item, const char* name,
                                     diff::UpdateBatch& updates) {
    constexpr diff::AttributeKind kind = diff::kKindOf<A>;
    return with_item_type<kind>(item, view.itemsize, [&](auto sample) {
        using Number = decltype(sample);
        return for_each_index(updates.size(), [&](std::size_t i) -> PyResult<std::monostate> {
            Number number;
            std::memcpy(&number, item_at(view, i), sizeof number);
            auto value = attribute_value<kind>(number);
            if (!value) [[unlikely]] return fail(item_error(name, i, std::move(value).error()));
            updates.set<A>(i, *value);
            return std::monostate{};
        });
    });
}

// The buffer form of each attribute's column (attribute_column).
struct AttributeBuffer {
    template <diff::Attribute A>
    static FormResult<std::monostate> column(PyObject* obj, const char* name, diff::UpdateBatch& updates,
                                             ColumnLength length) {
        constexpr diff::AttributeKind kind = diff::kKindOf<A>;
        if (!PyObject_CheckBuffer(obj)) return std::nullopt;
        BufferView view;
        QUORL_CHECK(view.acquire(obj, name));
        const ItemKind item = item_kind(*view);
        if (!is_flat(*view) || !reads_directly<kind>(item)) return std::nullopt;
        QUORL_CHECK(check_count(name, static_cast<std::size_t>(view->shape[0]), length));
        if constexpr (kind != diff::AttributeKind::Text) return write_items<A>(*view, item, name, updates);
        return std::nullopt;  // not reached: texts are not read directly
    }
};

}  // namespace

FormResult<IdColumn> ids_in_bytes(PyObject* obj, const char* name, const std::optional<ColumnLength>& length) {
    // Only the exact type: a subclass may export another buffer.
    if (!PyBytes_CheckExact(obj)) return std::nullopt;
    // A signal that came before still stops the batch here, as it stops a
    // copy.
    QUORL_CHECK(check_signals());
    QUORL_TRY(count, whole_id_count(name, static_cast<std::size_t>(PyBytes_GET_SIZE(obj)), length));
    static_assert(alignof(diff::Uuid) == 1, "ids are read in place at any address");
    return IdColumn::in_place({reinterpret_cast<const diff::Uuid*>(PyBytes_AS_STRING(obj)), count});
}

FormResult<IdColumn> ids_from_buffer(PyObject* obj, const char* name, const std::optional<ColumnLength>& length) {
    if (!PyObject_CheckBuffer(obj)) return std::nullopt;
    BufferView view;
    QUORL_CHECK(view.acquire(obj, name));
    if (holds_objects(view->format)) return std::nullopt;
    QUORL_TRY(count, whole_id_count(name, static_cast<std::size_t>(view->len), length));
    std::vector<diff::Uuid> ids(count);
    auto copied = copy_in_c_order(*view, reinterpret_cast<unsigned char*>(ids.data()));
    if (!copied) return fail(wrap_argument_error(name, std::move(copied).error()));
    return IdColumn(std::move(ids));
}

FormResult<Weights> weights_from_buffer(PyObject* obj, const char* name, ColumnLength length) {
    if (!PyObject_CheckBuffer(obj)) return std::nullopt;
    BufferView view;
    QUORL_CHECK(view.acquire(obj, name));
    if (view->ndim == 0) {
        view.release();
        return Weights::one(obj, name);
    }
    if (!is_flat(*view) || item_kind(*view) != ItemKind::Float) return std::nullopt;
    const auto n = static_cast<std::size_t>(view->shape[0]);
    QUORL_CHECK(check_count(name, n, length));
    Weights weights;
    weights.values.resize(n);
    QUORL_CHECK(for_each_index(n, [&](std::size_t i) -> PyResult<std::monostate> {
        weights.values[i] = read_weight(item_at(*view, i), view->itemsize);
        return std::monostate{};
    }));
    return weights;
}

FormResult<std::monostate> attribute_from_buffer(PyObject* obj, const char* name, diff::Attribute attribute,
                                                 diff::UpdateBatch& updates, ColumnLength length) {
    return attribute_column<AttributeBuffer>(attribute, obj, name, updates, length);
}

}  // namespace quorl::binding
