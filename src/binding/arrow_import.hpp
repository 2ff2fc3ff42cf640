// Arrow data handed to the module: a column that an object exports through
// the Arrow PyCapsule interface (its __arrow_c_array__, or else its
// __arrow_c_stream__), taken over from its capsules and checked against the
// layout its type has in the Arrow C data interface (arrow_c.hpp). The
// reader's side of what arrow_table.hpp writes.
//
// Every struct received is moved out of its capsule, which keeps a released
// one as the interface says, or is made by a stream's call into a struct of
// the module's own; either way it is released exactly once, when the
// ImportedColumn holding it goes, on every path. A column's data stay where
// the producer keeps them, alive until then.
//
// A producer may break the interface's rules. Whatever the structs say about
// themselves is checked before a value is read: lengths, offsets, buffer and
// child counts, null counts, and the offsets or view that place each value
// of a variable-length type. The sizes of the buffers themselves are not in
// the structs, so a buffer shorter than its array's length says cannot be
// told.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/arrow_c.hpp"
#include "binding/batch_column.hpp"
#include "binding/error.hpp"

namespace quorl::binding::arrow {

// The Arrow types that batch columns read, each named by its format string.
enum class ColumnType : std::uint8_t {
    Bool,                                                      // b
    Int8, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64,  // c C s S i I l L
    Float32, Float64,                                          // f g
    FixedBinary16,                                             // w:16
    Binary, LargeBinary, BinaryView,                           // z Z vz
    Utf8, LargeUtf8, Utf8View,                                 // u U vu
};

// The types a kind of column reads, and the words its refusal names them by.
struct Accepted {
    std::uint32_t types;  // a bit per ColumnType
    const char* names;
    bool has(ColumnType type) const noexcept { return (types >> static_cast<int>(type)) & 1; }
};
constexpr std::uint32_t type_bits(std::initializer_list<ColumnType> types) noexcept {
    std::uint32_t bits = 0;
    for (ColumnType type : types) bits |= 1u << static_cast<int>(type);
    return bits;
}

// One array of a column, checked: `length` items from item `offset` of its
// buffers on (a record batch's offset included).
struct Chunk {
    std::int64_t length = 0;
    std::int64_t offset = 0;
    const std::uint8_t* validity = nullptr;  // null when no item is null
    const void* const* buffers = nullptr;    // the array's own
    std::int64_t n_buffers = 0;

    bool is_null(std::int64_t i) const noexcept {
        if (!validity) return false;
        const std::int64_t bit = offset + i;
        return !((validity[bit >> 3] >> (bit & 7)) & 1);
    }
    // The fixed-width values (buffer 1), from the chunk's first item on.
    template <class T>
    const T* values() const noexcept {
        return static_cast<const T*>(buffers[1]) + offset;
    }
    // Item i of a bool column, its bit in buffer 1.
    bool bit(std::int64_t i) const noexcept {
        const std::int64_t bit = offset + i;
        return (static_cast<const std::uint8_t*>(buffers[1])[bit >> 3] >> (bit & 7)) & 1;
    }
};

// The values of the binary and text types: item i of a chunk whose offsets
// or views import_column has checked, and where they lie together, the
// bytes of all of them in a row.
//
// binary and utf8 (Offset int32_t), large_binary and large_utf8 (int64_t):
// offsets in buffer 1, bytes in buffer 2.
template <class Offset>
struct OffsetValues {
    static std::string_view at(const Chunk& chunk, std::int64_t i) noexcept {
        const Offset* offsets = chunk.values<Offset>();
        if (offsets[i + 1] == offsets[i]) return {};  // the bytes may be missing then
        return std::string_view(static_cast<const char*>(chunk.buffers[2]) + offsets[i],
                                static_cast<std::size_t>(offsets[i + 1] - offsets[i]));
    }
    // The bytes of all the chunk's values, one after the other.
    static std::optional<std::string_view> all(const Chunk& chunk) noexcept {
        const Offset* offsets = chunk.values<Offset>();
        if (offsets[chunk.length] == offsets[0]) return std::string_view();
        return std::string_view(static_cast<const char*>(chunk.buffers[2]) + offsets[0],
                                static_cast<std::size_t>(offsets[chunk.length] - offsets[0]));
    }
};
// binary_view and string_view: a 16-byte view per item in buffer 1, holding
// its length and either the bytes themselves (12 or fewer) or, after a
// 4-byte prefix, the number of a data buffer (buffers 2 on) and an offset
// in it; the last buffer holds the data buffers' sizes.
struct ViewValues {
    static constexpr std::int32_t kInline = 12;
    struct View {
        std::int32_t length;
        std::int32_t buffer;
        std::int32_t offset;
    };
    static const char* place(const Chunk& chunk, std::int64_t i) noexcept {
        return static_cast<const char*>(chunk.buffers[1]) + (chunk.offset + i) * 16;
    }
    static View view(const Chunk& chunk, std::int64_t i) noexcept {
        const char* at = place(chunk, i);
        View view;
        std::memcpy(&view.length, at, 4);
        std::memcpy(&view.buffer, at + 8, 4);
        std::memcpy(&view.offset, at + 12, 4);
        return view;
    }
    // Nothing: the values lie in the views and in the data buffers, in no
    // order.
    static std::optional<std::string_view> all(const Chunk&) noexcept { return std::nullopt; }
    static std::string_view at(const Chunk& chunk, std::int64_t i) noexcept {
        const View v = view(chunk, i);
        const char* data = v.length <= kInline ? place(chunk, i) + 4
                                               : static_cast<const char*>(chunk.buffers[2 + v.buffer]) + v.offset;
        return std::string_view(data, static_cast<std::size_t>(v.length));
    }
};

// fixed_size_binary(16): 16 bytes an item in buffer 1.
struct FixedValues16 {
    static std::string_view at(const Chunk& chunk, std::int64_t i) noexcept {
        return std::string_view(static_cast<const char*>(chunk.buffers[1]) + (chunk.offset + i) * 16, 16);
    }
    static std::optional<std::string_view> all(const Chunk& chunk) noexcept {
        return std::string_view(static_cast<const char*>(chunk.buffers[1]) + chunk.offset * 16,
                                static_cast<std::size_t>(chunk.length) * 16);
    }
};

// Calls body(Values{}) with the values' reader of a binary or text type.
template <class Body>
decltype(auto) with_values(ColumnType type, Body&& body) {
    switch (type) {
        case ColumnType::FixedBinary16:
            return body(FixedValues16{});
        case ColumnType::Binary:
        case ColumnType::Utf8:
            return body(OffsetValues<std::int32_t>{});
        case ColumnType::LargeBinary:
        case ColumnType::LargeUtf8:
            return body(OffsetValues<std::int64_t>{});
        default:
            return body(ViewValues{});
    }
}

// Calls body(T{}) with T the C type of the items of a float type, or of an
// integer type.
template <class Body>
decltype(auto) with_float_type(ColumnType type, Body&& body) {
    return type == ColumnType::Float32 ? body(float{}) : body(double{});
}
template <class Body>
decltype(auto) with_integer_type(ColumnType type, Body&& body) {
    switch (type) {
        case ColumnType::Int8: return body(std::int8_t{});
        case ColumnType::UInt8: return body(std::uint8_t{});
        case ColumnType::Int16: return body(std::int16_t{});
        case ColumnType::UInt16: return body(std::uint16_t{});
        case ColumnType::Int32: return body(std::int32_t{});
        case ColumnType::UInt32: return body(std::uint32_t{});
        case ColumnType::Int64: return body(std::int64_t{});
        default: return body(std::uint64_t{});
    }
}

// An Arrow struct taken over from its producer, released once when it goes.
// Moving it moves the struct, as the interface allows, and leaves a
// released one behind.
template <class Struct>
class Held {
public:
    Held() noexcept = default;
    Held(Held&& other) noexcept : held_(other.held_) { other.held_.release = nullptr; }
    Held& operator=(Held&&) = delete;
    ~Held() {
        if (held_.release) held_.release(&held_);
    }
    Struct* get() noexcept { return &held_; }
    Struct* operator->() noexcept { return &held_; }
    const Struct* operator->() const noexcept { return &held_; }

private:
    Struct held_{};
};

// A column imported from an object, its arrays in order.
class ImportedColumn {
public:
    ColumnType type() const noexcept { return type_; }
    std::span<const Chunk> chunks() const noexcept { return chunks_; }
    // The items of all the chunks.
    std::size_t length() const noexcept { return length_; }

private:
    friend class Importer;
    ColumnType type_ = ColumnType::Bool;
    std::vector<Chunk> chunks_;
    std::size_t length_ = 0;
    // The structs the chunks point into, released (the arrays first) when
    // the column goes.
    Held<ArrowSchema> schema_;
    std::vector<Held<ArrowArray>> arrays_;
};

// Whether the type of `obj` has a method through which it exports Arrow
// data (__arrow_c_array__ or __arrow_c_stream__). Runs no Python code.
bool exports_arrow(PyObject* obj);

// The column that `obj` exports, for batch argument `name`, with as many
// items as `length` requires (check_count), counted before any value is
// looked at. Refused with TypeError when its type is not one of `accepted`,
// or when the interface's methods return something else than its capsules;
// with ValueError when the data break the interface's rules (a value whose
// offsets or view lie outside its buffers is named by its item); a failure
// of the methods or of the stream is the argument's.
PyResult<ImportedColumn> import_column(PyObject* obj, const char* name, const Accepted& accepted,
                                       const std::optional<ColumnLength>& length);

}  // namespace quorl::binding::arrow
