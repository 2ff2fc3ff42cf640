#include "binding/batch_arrow.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/api.hpp"
#include "binding/arrow_import.hpp"
#include "binding/convert.hpp"
#include "binding/texts.hpp"
#include "encoding/utf8.hpp"

namespace quorl::binding {
namespace {

using arrow::Chunk;
using arrow::ColumnType;
using arrow::ImportedColumn;
using arrow::type_bits;

constexpr arrow::Accepted kIdTypes{
    type_bits({ColumnType::FixedBinary16, ColumnType::Binary, ColumnType::LargeBinary, ColumnType::BinaryView}),
    texts::kArrowIdTypes};
constexpr arrow::Accepted kFloatTypes{type_bits({ColumnType::Float32, ColumnType::Float64}), texts::kArrowFloatTypes};
constexpr arrow::Accepted kTextTypes{type_bits({ColumnType::Utf8, ColumnType::LargeUtf8, ColumnType::Utf8View}),
                                     texts::kArrowTextTypes};
constexpr arrow::Accepted kIntegerTypes{
    type_bits({ColumnType::Int8, ColumnType::UInt8, ColumnType::Int16, ColumnType::UInt16, ColumnType::Int32,
               ColumnType::UInt32, ColumnType::Int64, ColumnType::UInt64}),
    texts::kArrowIntegerTypes};
constexpr arrow::Accepted kBoolTypes{type_bits({ColumnType::Bool}), texts::kArrowBoolTypes};

// What an attribute of each kind reads.
template <diff::AttributeKind Kind>
constexpr const arrow::Accepted& kAttributeTypes = Kind == diff::AttributeKind::Text    ? kTextTypes
                                                   : Kind == diff::AttributeKind::Float ? kFloatTypes
                                                   : Kind == diff::AttributeKind::Byte  ? kIntegerTypes
                                                                                        : kBoolTypes;

// Calls body(start, chunk) for each chunk of `column`, in order, `start`
// the number of its first item counted from the column's start.
template <class Body>
PyResult<std::monostate> for_each_chunk(const ImportedColumn& column, Body&& body) {
    std::size_t start = 0;
    for (const Chunk& chunk : column.chunks()) {
        QUORL_CHECK(body(start, chunk));
        start += static_cast<std::size_t>(chunk.length);
    }
    return std::monostate{};
}

// Calls read(index, chunk, i) for item i of each chunk of `column`, in
// order, `index` counting from the column's start, with a signal check
// before each run of kSignalInterval items of a chunk.
template <class Read>
PyResult<std::monostate> for_each_item(const ImportedColumn& column, Read&& read) {
    return for_each_chunk(column, [&](std::size_t start, const Chunk& chunk) {
        return for_each_index(static_cast<std::size_t>(chunk.length), [&](std::size_t i) {
            return read(start + i, chunk, static_cast<std::int64_t>(i));
        });
    });
}

// A null where a value is required fails as None does in an iterable: with
// the error of the single conversion `Conversion` of None.
template <class Conversion>
PyErr null_error(const char* name, std::size_t index) {
    return item_error(name, index, Conversion::extract(Py_None).error());
}

// A binary id of another length than 16 fails as a `bytes` of that length.
PyErr id_length_error(const char* name, std::size_t index) {
    return item_error(name, index,
                      field_extraction_error(PyErr::new_message(PyExc_Exception, texts::kExpected16Bytes),
                                             texts::kPyUuid, 0));
}

// The UnicodeDecodeError of a text that is not UTF-8, as the interpreter's
// decoder gives it for the text's bytes, its reason prefixed with the
// argument and the item.
PyErr invalid_text_error(const char* name, std::size_t index, std::string_view text, encoding::Utf8Fault fault) {
    // A lead byte that starts no sequence, or a sequence cut short by a byte
    // that does not continue it or by the end.
    const auto lead = static_cast<std::uint8_t>(text[fault.index]);
    const char* reason = fault.length == 0              ? texts::kUtf8UnexpectedEnd
                         : lead < 0xC2 || lead > 0xF4   ? texts::kUtf8InvalidStart
                                                        : texts::kUtf8InvalidContinuation;
    const std::size_t end = fault.length == 0 ? text.size() : fault.index + fault.length;
    const std::string prefixed = texts::item_error(name, index, reason);
    Owned error = expect_new(api::new_decode_error(texts::kUtf8Codec, text.data(), static_cast<Py_ssize_t>(text.size()),
                                                   static_cast<Py_ssize_t>(fault.index),
                                                   static_cast<Py_ssize_t>(end), prefixed.c_str()));
    return PyErr::from_fetched(Owned::retain(PyExc_UnicodeDecodeError), std::move(error), Owned());
}

// Writes the values of `column` into attribute A of the updates, item i
// into update i; a null leaves it out.
template <diff::Attribute A>
PyResult<std::monostate> write_values(const ImportedColumn& column, const char* name, diff::UpdateBatch& updates) {
    constexpr diff::AttributeKind kind = diff::kKindOf<A>;
    if constexpr (kind == diff::AttributeKind::Text) {
        return arrow::with_values(column.type(), [&](auto values) {
            using Values = decltype(values);
            return for_each_chunk(column, [&](std::size_t start, const Chunk& chunk) {
                // Where all the chunk's bytes are ASCII (labels mostly are),
                // each value is UTF-8 without a look of its own.
                const std::optional<std::string_view> all = Values::all(chunk);
                const bool ascii = all && encoding::is_ascii(reinterpret_cast<const std::uint8_t*>(all->data()),
                                                             all->size());
                return for_each_index(static_cast<std::size_t>(chunk.length),
                                      [&](std::size_t i) -> PyResult<std::monostate> {
                    const auto item = static_cast<std::int64_t>(i);
                    if (chunk.is_null(item)) return std::monostate{};
                    const std::string_view text = Values::at(chunk, item);
                    if (!ascii) {
                        const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
                        if (auto fault = encoding::find_utf8_fault(bytes, text.size())) [[unlikely]] {
                            return fail(invalid_text_error(name, start + i, text, *fault));
                        }
                    }
                    updates.set<A>(start + i, text);
                    return std::monostate{};
                });
            });
        });
    } else if constexpr (kind == diff::AttributeKind::Bool) {
        return for_each_item(column, [&](std::size_t index, const Chunk& chunk,
                                         std::int64_t i) -> PyResult<std::monostate> {
            if (!chunk.is_null(i)) updates.set<A>(index, chunk.bit(i));
            return std::monostate{};
        });
    } else {
        auto write = [&](auto sample) {
            using Number = decltype(sample);
            return for_each_item(column, [&](std::size_t index, const Chunk& chunk,
                                             std::int64_t i) -> PyResult<std::monostate> {
                if (chunk.is_null(i)) return std::monostate{};
                auto value = attribute_value<kind>(chunk.values<Number>()[i]);
                if (!value) [[unlikely]] return fail(item_error(name, index, std::move(value).error()));
                updates.set<A>(index, *value);
                return std::monostate{};
            });
        };
        if constexpr (kind == diff::AttributeKind::Float) {
            return arrow::with_float_type(column.type(), write);
        } else {
            return arrow::with_integer_type(column.type(), write);
        }
    }
}

// The Arrow form of each attribute's column (attribute_column).
struct AttributeArrow {
    template <diff::Attribute A>
    static FormResult<std::monostate> column(PyObject* obj, const char* name, diff::UpdateBatch& updates,
                                             ColumnLength length) {
        if (!arrow::exports_arrow(obj)) return std::nullopt;
        QUORL_TRY(column, arrow::import_column(obj, name, kAttributeTypes<diff::kKindOf<A>>, length));
        return write_values<A>(column, name, updates);
    }
};

}  // namespace

FormResult<IdColumn> ids_from_arrow(PyObject* obj, const char* name, const std::optional<ColumnLength>& length) {
    if (!arrow::exports_arrow(obj)) return std::nullopt;
    QUORL_TRY(column, arrow::import_column(obj, name, kIdTypes, length));
    const std::span<const Chunk> chunks = column.chunks();
    if (column.type() == ColumnType::FixedBinary16 && chunks.size() == 1 && !chunks[0].validity) {
        // A signal that came before still stops the batch here, as it stops
        // a copy.
        QUORL_CHECK(check_signals());
        const std::span<const diff::Uuid> ids(chunks[0].values<diff::Uuid>(), column.length());
        return IdColumn::in_place(ids, std::make_shared<const ImportedColumn>(std::move(column)));
    }
    std::vector<diff::Uuid> ids;
    ids.reserve(column.length());
    QUORL_CHECK(arrow::with_values(column.type(), [&](auto values) {
        return for_each_item(column, [&](std::size_t index, const Chunk& chunk,
                                         std::int64_t i) -> PyResult<std::monostate> {
            if (chunk.is_null(i)) [[unlikely]] return fail(null_error<UuidConversion>(name, index));
            const std::string_view value = decltype(values)::at(chunk, i);
            if (value.size() != sizeof(diff::Uuid)) [[unlikely]] return fail(id_length_error(name, index));
            ids.push_back(diff::Uuid::from_bytes(value.data()));
            return std::monostate{};
        });
    }));
    return IdColumn(std::move(ids));
}

FormResult<Weights> weights_from_arrow(PyObject* obj, const char* name, ColumnLength length) {
    if (!arrow::exports_arrow(obj)) return std::nullopt;
    QUORL_TRY(column, arrow::import_column(obj, name, kFloatTypes, length));
    Weights weights;
    weights.values.resize(column.length());
    QUORL_CHECK(arrow::with_float_type(column.type(), [&](auto sample) {
        using Number = decltype(sample);
        return for_each_chunk(column, [&](std::size_t start, const Chunk& chunk) -> PyResult<std::monostate> {
            const Number* numbers = chunk.values<Number>();
            float* out = weights.values.data() + start;
            return for_each_run(static_cast<std::size_t>(chunk.length),
                                [&](std::size_t begin, std::size_t end) -> PyResult<std::monostate> {
                for (std::size_t i = begin; chunk.validity && i < end; ++i) {
                    if (chunk.is_null(static_cast<std::int64_t>(i))) {
                        return fail(null_error<F32Conversion>(name, start + i));
                    }
                }
                // A float32 as it is, every bit kept; a float64 narrowed.
                if constexpr (sizeof(Number) == sizeof(float)) {
                    std::memcpy(out + begin, numbers + begin, (end - begin) * sizeof(float));
                } else {
                    for (std::size_t i = begin; i < end; ++i) out[i] = static_cast<float>(numbers[i]);
                }
                return std::monostate{};
            });
        });
    }));
    return weights;
}

FormResult<std::monostate> attribute_from_arrow(PyObject* obj, const char* name, diff::Attribute attribute,
                                                diff::UpdateBatch& updates, ColumnLength length) {
    return attribute_column<AttributeArrow>(attribute, obj, name, updates, length);
}

}  // namespace quorl::binding
