#include "binding/arrow_import.hpp"

#include <cerrno>
#include <limits>
#include <string>

#include "binding/api.hpp"
#include "binding/process_state.hpp"
#include "binding/texts.hpp"
#include "encoding/utf8.hpp"

namespace quorl::binding::arrow {
namespace {

// The furthest an array may reach (its offset plus its length) in items of
// up to 16 bytes (an id, a view) and still be addressed without overflow.
constexpr std::int64_t kMaxReach = std::numeric_limits<std::int64_t>::max() / 16;

struct FormatType {
    std::string_view format;
    ColumnType type;
};
constexpr FormatType kFormats[] = {
    {"b", ColumnType::Bool},          {"c", ColumnType::Int8},         {"C", ColumnType::UInt8},
    {"s", ColumnType::Int16},         {"S", ColumnType::UInt16},       {"i", ColumnType::Int32},
    {"I", ColumnType::UInt32},        {"l", ColumnType::Int64},        {"L", ColumnType::UInt64},
    {"f", ColumnType::Float32},       {"g", ColumnType::Float64},      {"w:16", ColumnType::FixedBinary16},
    {"z", ColumnType::Binary},        {"Z", ColumnType::LargeBinary},  {"vz", ColumnType::BinaryView},
    {"u", ColumnType::Utf8},          {"U", ColumnType::LargeUtf8},    {"vu", ColumnType::Utf8View},
};

std::optional<ColumnType> type_of(std::string_view format) noexcept {
    for (const FormatType& known : kFormats) {
        if (known.format == format) return known.type;
    }
    return std::nullopt;
}

bool is_view(ColumnType type) noexcept { return type == ColumnType::BinaryView || type == ColumnType::Utf8View; }

// The number of buffers of an array of `type`: its validity bitmap and its
// values; the bytes too for binary and utf8 types. A view type has any
// number of data buffers after its views, and their sizes last, so 3 or
// more.
std::int64_t buffer_count(ColumnType type) noexcept {
    switch (type) {
        case ColumnType::Binary:
        case ColumnType::LargeBinary:
        case ColumnType::Utf8:
        case ColumnType::LargeUtf8:
        case ColumnType::BinaryView:
        case ColumnType::Utf8View:
            return 3;
        default:
            return 2;
    }
}

PyObject* array_method_name() { return interned_name(process_state.arrow_c_array_name, texts::kArrowCArrayName); }
PyObject* stream_method_name() { return interned_name(process_state.arrow_c_stream_name, texts::kArrowCStreamName); }

// A text that a producer gave (a format string, an error message), as UTF-8
// that a str can be made of: an invalid byte becomes U+FFFD.
std::string producer_text(const char* text) {
    if (!text) return {};
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text);
    std::size_t size = std::strlen(text);
    std::string out;
    while (auto fault = encoding::find_utf8_fault(bytes, size)) {
        const std::size_t skip = fault->length == 0 ? size - fault->index : fault->length;
        out.append(reinterpret_cast<const char*>(bytes), fault->index);
        out += "\xEF\xBF\xBD";
        bytes += fault->index + skip;
        size -= fault->index + skip;
    }
    out.append(reinterpret_cast<const char*>(bytes), size);
    return out;
}

// How a refusal names what an interface method returned.
std::string returned_text(PyObject* obj) {
    if (PyCapsule_CheckExact(obj)) {
        const char* name = PyCapsule_GetName(obj);
        return name ? "a PyCapsule named '" + producer_text(name) + "'" : std::string("a PyCapsule without a name");
    }
    if (PyTuple_CheckExact(obj) && PyTuple_GET_SIZE(obj) <= 3) {
        std::string text = "(";
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) {
            if (i > 0) text += ", ";
            text += returned_text(PyTuple_GET_ITEM(obj, i));
        }
        return text + ")";
    }
    return "'" + producer_text(Py_TYPE(obj)->tp_name) + "' object";
}

// Whether every bit of [offset, offset + length) of a validity bitmap is
// set: no item there is null.
bool all_set(const std::uint8_t* bits, std::int64_t offset, std::int64_t length) noexcept {
    for (std::int64_t i = offset; i < offset + length; ++i) {
        if (!((bits[i >> 3] >> (i & 7)) & 1)) return false;
    }
    return true;
}

using Checked = Result<Chunk, std::string>;

// An array's description of itself, checked for an array with `children`
// children and `buffers` buffers (`or_more`: at least that many): its
// length and offset, its null count and validity bitmap.
Checked check_array(const ArrowArray& array, std::string_view format, std::int64_t children, std::int64_t buffers,
                    bool or_more = false) {
    if (array.length < 0) return fail(texts::arrow_negative("length", array.length));
    if (array.offset < 0) return fail(texts::arrow_negative("offset", array.offset));
    if (array.offset > kMaxReach - array.length) return fail(std::string(texts::kArrowTooLong));
    if (array.null_count < -1) return fail(texts::arrow_negative("null count", array.null_count));
    if (array.n_children != children) return fail(texts::arrow_child_count(format, array.n_children, children));
    if (children > 0 && (!array.children || !array.children[0])) return fail(std::string(texts::kArrowNoChild));
    if (or_more ? array.n_buffers < buffers : array.n_buffers != buffers) {
        return fail(texts::arrow_buffer_count(format, array.n_buffers,
                                              std::to_string(buffers) + (or_more ? " or more" : "")));
    }
    if (!array.buffers) return fail(std::string(texts::kArrowNoBuffers));
    Chunk chunk{array.length, array.offset, nullptr, array.buffers, array.n_buffers};
    // A null count of 0 says there is no null, whatever the bitmap holds; an
    // unknown one (-1) lets the bitmap tell, if there is one.
    if (array.null_count != 0) chunk.validity = static_cast<const std::uint8_t*>(array.buffers[0]);
    if (array.null_count > 0 && !chunk.validity) return fail(texts::arrow_nulls_without_bitmap(array.null_count));
    return chunk;
}

// The buffers that hold the values of a chunk of `type` (not empty).
Result<std::monostate, std::string> check_value_buffers(const Chunk& chunk, ColumnType type) {
    if (!chunk.buffers[1]) return fail(texts::arrow_missing_buffer(1));
    if (!is_view(type)) return std::monostate{};
    const std::int64_t data_buffers = chunk.n_buffers - 3;
    const auto* sizes = static_cast<const char*>(chunk.buffers[chunk.n_buffers - 1]);
    if (data_buffers > 0 && !sizes) return fail(texts::arrow_missing_buffer(chunk.n_buffers - 1));
    for (std::int64_t b = 0; b < data_buffers; ++b) {
        std::int64_t size;
        std::memcpy(&size, sizes + 8 * b, sizeof size);
        if (size > 0 && !chunk.buffers[2 + b]) return fail(texts::arrow_missing_buffer(2 + b));
    }
    return std::monostate{};
}

}  // namespace

// Takes a column over from the structs of its producer, struct by struct,
// each checked as it comes.
class Importer {
public:
    Importer(const char* name, const Accepted& accepted) noexcept : name_(name), accepted_(accepted) {}

    // The (schema, array) pair of capsules of __arrow_c_array__.
    PyResult<std::monostate> take_array(PyObject* pair);
    // The stream capsule of __arrow_c_stream__, read to its end.
    PyResult<std::monostate> take_stream(PyObject* capsule);
    // The column, its count checked against `length` and then the places of
    // its variable-length values.
    PyResult<ImportedColumn> finish(const std::optional<ColumnLength>& length);

private:
    PyErr malformed(std::string_view detail) const {
        return PyErr::new_message(PyExc_ValueError, texts::arrow_malformed(name_, detail));
    }
    PyErr bad_export(const char* method, PyObject* returned, const char* expected) const {
        return PyErr::new_message(PyExc_TypeError,
                                  texts::arrow_bad_export(name_, method, returned_text(returned), expected));
    }
    PyErr wrong_type(const std::string& format) const {
        return PyErr::new_message(PyExc_TypeError, texts::arrow_wrong_type(name_, accepted_.names, format));
    }
    PyErr stream_failed(ArrowArrayStream* stream, const char* call, int code) const;

    // The column's type, from the schema the column holds.
    PyResult<std::monostate> take_schema();
    // An array of the column, after the ones before.
    PyResult<std::monostate> add_array(Held<ArrowArray> array);
    // The chunk of an array of the column's type; of a record batch: its
    // one column, from the batch's offset on, as long as the batch.
    Checked column_chunk(const ArrowArray& array) const;
    Checked record_batch_chunk(const ArrowArray& batch) const;
    // Offsets that decrease or start below 0, and views outside their
    // buffers, named by their item.
    template <class Offset>
    PyResult<std::monostate> check_offsets() const;
    PyResult<std::monostate> check_views() const;

    const char* name_;
    const Accepted& accepted_;
    ImportedColumn column_;
    std::string format_;         // of the column, as the producer wrote it
    bool record_batch_ = false;  // the column is a record batch's only one
};

PyErr Importer::stream_failed(ArrowArrayStream* stream, const char* call, int code) const {
    const char* message = stream->get_last_error ? stream->get_last_error(stream) : nullptr;
    std::string text = texts::argument_error(name_, texts::arrow_stream_failed(call, code, producer_text(message)));
    // The code is an errno value, as the interface says.
    PyObject* type = code == ENOMEM ? PyExc_MemoryError : code == EINVAL ? PyExc_ValueError : PyExc_OSError;
    return PyErr::new_message(type, std::move(text));
}

PyResult<std::monostate> Importer::take_array(PyObject* pair) {
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2 ||
        !PyCapsule_IsValid(PyTuple_GET_ITEM(pair, 0), texts::kSchemaCapsule) ||
        !PyCapsule_IsValid(PyTuple_GET_ITEM(pair, 1), texts::kArrayCapsule)) {
        return fail(bad_export(texts::kArrowCArrayName, pair, texts::kArrowArrayCapsules));
    }
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(pair, 0), texts::kSchemaCapsule));
    auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(pair, 1), texts::kArrayCapsule));
    if (!schema->release) return fail(malformed(texts::arrow_released("schema")));
    if (!array->release) return fail(malformed(texts::arrow_released("array")));
    // Both are moved out at once: a struct left in its capsule is the
    // capsule's to release.
    *column_.schema_.get() = *schema;
    schema->release = nullptr;
    Held<ArrowArray> held;
    *held.get() = *array;
    array->release = nullptr;
    QUORL_CHECK(take_schema());
    return add_array(std::move(held));
}

PyResult<std::monostate> Importer::take_stream(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, texts::kStreamCapsule)) {
        return fail(bad_export(texts::kArrowCStreamName, capsule, texts::kArrowStreamCapsule));
    }
    auto* inside = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, texts::kStreamCapsule));
    if (!inside->release) return fail(malformed(texts::arrow_released("stream")));
    Held<ArrowArrayStream> stream;
    *stream.get() = *inside;
    inside->release = nullptr;
    if (!stream->get_schema || !stream->get_next) return fail(malformed(texts::kArrowStreamCallbacks));
    if (const int code = stream->get_schema(stream.get(), column_.schema_.get()); code != 0) {
        return fail(stream_failed(stream.get(), "get_schema", code));
    }
    if (!column_.schema_->release) return fail(malformed(texts::arrow_released("schema")));
    QUORL_CHECK(take_schema());
    // The arrays, till the released one that ends the stream. A long stream
    // of a slow producer stops at Ctrl-C.
    for (;;) {
        QUORL_CHECK(check_signals());
        Held<ArrowArray> array;
        if (const int code = stream->get_next(stream.get(), array.get()); code != 0) {
            return fail(stream_failed(stream.get(), "get_next", code));
        }
        if (!array->release) return std::monostate{};
        QUORL_CHECK(add_array(std::move(array)));
    }
}

PyResult<std::monostate> Importer::take_schema() {
    const ArrowSchema* schema = column_.schema_.get();
    if (!schema->format) return fail(malformed(texts::kArrowNoFormat));
    if (std::string_view(schema->format) == "+s") {
        // A record batch (a table's stream gives them) of one column is
        // that column; of more, it is no column.
        if (schema->n_children != 1) {
            return fail(wrong_type(texts::arrow_record_batch_format(schema->format, schema->n_children)));
        }
        if (!schema->children || !schema->children[0] || !schema->children[0]->format) {
            return fail(malformed(texts::kArrowNoFormat));
        }
        schema = schema->children[0];
        record_batch_ = true;
    }
    format_ = producer_text(schema->format);
    if (schema->dictionary) {
        const std::string values = producer_text(schema->dictionary->format ? schema->dictionary->format : "");
        return fail(wrong_type(texts::arrow_dictionary_format(format_, values)));
    }
    const std::optional<ColumnType> type = type_of(schema->format);
    if (!type || !accepted_.has(*type)) return fail(wrong_type("'" + format_ + "'"));
    column_.type_ = *type;
    return std::monostate{};
}

Checked Importer::column_chunk(const ArrowArray& array) const {
    return check_array(array, format_, 0, buffer_count(column_.type_), is_view(column_.type_));
}

Checked Importer::record_batch_chunk(const ArrowArray& batch) const {
    auto rows = check_array(batch, "+s", 1, 1);
    if (!rows) return rows;
    const ArrowArray& column = *batch.children[0];
    auto chunk = column_chunk(column);
    if (!chunk) return chunk;
    if (column.length - batch.offset < batch.length) return fail(std::string(texts::kArrowShortChild));
    chunk->offset += batch.offset;
    chunk->length = batch.length;
    return chunk;
}

PyResult<std::monostate> Importer::add_array(Held<ArrowArray> array) {
    const ArrowArray& header = *array.get();
    Checked chunk = record_batch_ ? record_batch_chunk(header) : column_chunk(header);
    if (!chunk) return fail(malformed(chunk.error()));
    if (record_batch_ && header.null_count != 0 && header.buffers[0] &&
        !all_set(static_cast<const std::uint8_t*>(header.buffers[0]), header.offset, header.length)) {
        return fail(PyErr::new_message(PyExc_ValueError, texts::argument_error(name_, texts::kArrowNullRows)));
    }
    // An empty array adds nothing (and its buffers, which nothing reads,
    // may be missing).
    if (chunk->length > 0) {
        if (auto buffers = check_value_buffers(*chunk, column_.type_); !buffers) return fail(malformed(buffers.error()));
        column_.chunks_.push_back(*chunk);
        const auto length = static_cast<std::size_t>(chunk->length);
        // Saturating: a count past any batch's is refused as it stands.
        column_.length_ = column_.length_ > SIZE_MAX - length ? SIZE_MAX : column_.length_ + length;
    }
    column_.arrays_.push_back(std::move(array));
    return std::monostate{};
}

template <class Offset>
PyResult<std::monostate> Importer::check_offsets() const {
    std::size_t start = 0;
    for (const Chunk& chunk : column_.chunks_) {
        const Offset* offsets = chunk.values<Offset>();
        if (offsets[0] < 0) {
            return fail(malformed(texts::arrow_bad_offsets(start, offsets[0], offsets[1])));
        }
        // Each run is read whole, without a test per item to leave it by,
        // and searched again only when it holds offsets that decrease.
        QUORL_CHECK(for_each_run(static_cast<std::size_t>(chunk.length),
                                 [&](std::size_t begin, std::size_t end) -> PyResult<std::monostate> {
            bool decreasing = false;
            for (std::size_t i = begin; i < end; ++i) decreasing |= offsets[i + 1] < offsets[i];
            if (!decreasing) [[likely]] return std::monostate{};
            std::size_t i = begin;
            while (offsets[i + 1] >= offsets[i]) ++i;
            return fail(malformed(texts::arrow_bad_offsets(start + i, offsets[i], offsets[i + 1])));
        }));
        // The bytes may be missing where no value has any.
        if (!chunk.buffers[2] && offsets[chunk.length] != offsets[0]) {
            return fail(malformed(texts::arrow_missing_buffer(2)));
        }
        start += static_cast<std::size_t>(chunk.length);
    }
    return std::monostate{};
}

PyResult<std::monostate> Importer::check_views() const {
    std::size_t start = 0;
    for (const Chunk& chunk : column_.chunks_) {
        const std::int64_t data_buffers = chunk.n_buffers - 3;
        const auto* sizes = static_cast<const char*>(chunk.buffers[chunk.n_buffers - 1]);
        QUORL_CHECK(for_each_index(static_cast<std::size_t>(chunk.length), [&](std::size_t i) -> PyResult<std::monostate> {
            const auto item = static_cast<std::int64_t>(i);
            if (chunk.is_null(item)) return std::monostate{};  // a null's view is not read
            const ViewValues::View view = ViewValues::view(chunk, item);
            if (view.length >= 0 && view.length <= ViewValues::kInline) return std::monostate{};
            bool inside = view.length >= 0 && view.buffer >= 0 && view.buffer < data_buffers && view.offset >= 0;
            if (inside) {
                std::int64_t size;
                std::memcpy(&size, sizes + 8 * view.buffer, sizeof size);
                inside = std::int64_t{view.offset} + view.length <= size;
            }
            if (inside) [[likely]] return std::monostate{};
            return fail(malformed(texts::arrow_bad_view(start + i, view.length, view.buffer, view.offset)));
        }));
        start += static_cast<std::size_t>(chunk.length);
    }
    return std::monostate{};
}

PyResult<ImportedColumn> Importer::finish(const std::optional<ColumnLength>& length) {
    QUORL_CHECK(check_count(name_, column_.length_, length));
    switch (column_.type_) {
        case ColumnType::Binary:
        case ColumnType::Utf8:
            QUORL_CHECK(check_offsets<std::int32_t>());
            break;
        case ColumnType::LargeBinary:
        case ColumnType::LargeUtf8:
            QUORL_CHECK(check_offsets<std::int64_t>());
            break;
        case ColumnType::BinaryView:
        case ColumnType::Utf8View:
            QUORL_CHECK(check_views());
            break;
        default:
            break;
    }
    return std::move(column_);
}

bool exports_arrow(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    return _PyType_Lookup(type, array_method_name()) || _PyType_Lookup(type, stream_method_name());
}

PyResult<ImportedColumn> import_column(PyObject* obj, const char* name, const Accepted& accepted,
                                       const std::optional<ColumnLength>& length) {
    Importer importer(name, accepted);
    // A single array where the object has one, as the interface's other
    // readers ask first.
    const bool array = _PyType_Lookup(Py_TYPE(obj), array_method_name()) != nullptr;
    Owned exported = Owned::steal(api::call_method(obj, array ? array_method_name() : stream_method_name()));
    if (!exported) return fail(wrap_argument_error(name, fetch_error()));
    QUORL_CHECK(array ? importer.take_array(exported.get()) : importer.take_stream(exported.get()));
    return importer.finish(length);
}

}  // namespace quorl::binding::arrow
