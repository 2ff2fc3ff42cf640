// Reading a node record: a strict RFC 8259 reader specialised to the
// attributes, which skips any other member without recursion and reports
// every failure with its line and column.

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "encoding/json_escape.hpp"
#include "encoding/node_record.hpp"
#include "encoding/node_record_messages.hpp"

namespace quorl::encoding {

using detail::find_special;
using diff::Attribute;
using diff::AttributeKind;
using diff::NodeUpdate;
using record::Number;
using record::Value;

namespace {

// The attribute whose node record key is `key`, or -1 for any other key.
int attribute_of_wire_key(std::string_view key) noexcept {
    for (const diff::AttributeRow& row : diff::kAttributes) {
        if (key == row.wire_key) return row.attribute;
    }
    return -1;
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) return out.push_back(static_cast<char>(cp));
    static constexpr unsigned char kLead[5] = {0, 0, 0xC0, 0xE0, 0xF0};
    const int n = cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    char buf[4];
    for (int i = n - 1; i > 0; --i, cp >>= 6) buf[i] = static_cast<char>(0x80 | (cp & 0x3F));
    buf[0] = static_cast<char>(kLead[n] | cp);
    out.append(buf, static_cast<std::size_t>(n));
}

// Narrows a double to binary32, rounding to nearest (ties to even); beyond
// the largest finite binary32 value by half a unit or more gives an infinity.
float narrow_to_float(double d) noexcept {
    constexpr double kMax = std::numeric_limits<float>::max();
    constexpr double kOverflow = 0x1.ffffffp+127;  // kMax plus half a unit
    const double magnitude = std::fabs(d);
    float narrowed = std::numeric_limits<float>::max();
    if (magnitude >= kOverflow) {
        narrowed = std::numeric_limits<float>::infinity();
    } else if (magnitude <= kMax) {
        return static_cast<float>(d);
    }
    return std::signbit(d) ? -narrowed : narrowed;
}

// Where scan_number found the parts of the number it passed over: the end
// of the integer part, and the first digit of the exponent (null when there
// is none). A number is integral when its integer part ends it.
struct NumberParts {
    const char* integer_end = nullptr;
    const char* exponent = nullptr;
};

// Whether the number [first, last), whose parts scan_number found, lies
// above 1 in magnitude (it is not zero): tells an overflow from an
// underflow when the text is outside the range of a double.
bool magnitude_above_one(const char* first, const char* last, const NumberParts& parts) noexcept {
    const char* const integer = first + (*first == '-');
    // The decimal exponent of the first significant digit, plus one.
    std::int64_t position = 0;
    if (*integer != '0') {
        position = parts.integer_end - integer;  // no leading zeros
    } else if (parts.integer_end != last && *parts.integer_end == '.') {
        for (const char* p = parts.integer_end + 1; p != last && *p == '0'; ++p) --position;
    }
    if (parts.exponent) {
        const char* p = parts.exponent;
        const bool negative = p[-1] == '-';
        std::int64_t exponent = 0;
        for (; p != last; ++p) {
            if (exponent < 1'000'000'000'000) exponent = exponent * 10 + (*p - '0');
        }
        position += negative ? -exponent : exponent;
    }
    return position > 0;
}

// A number as a size: rounded to the nearest binary32 value.
float to_f32(const Number& n) noexcept {
    switch (n.kind) {
        case Number::U64: return static_cast<float>(n.u);
        case Number::I64: return static_cast<float>(n.i);
        case Number::F64: break;
    }
    return narrow_to_float(n.f);
}

class RecordParser {
public:
    explicit RecordParser(std::string_view text)
        : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

    Result<NodeUpdate, NodeRecordError> parse() {
        if (!parse_record()) return fail(make_error());
        skip_space();
        if (p_ != end_) {
            peek_error("trailing characters");
            return fail(make_error());
        }
        if (texts_present_) update_.set_texts(texts_);
        return std::move(update_);
    }

private:
    // -- errors -------------------------------------------------------------
    // A failure records its message and a byte offset; the line and column
    // are worked out from the offset only when the error is built.

    bool fail_at(std::string message, std::size_t offset) {
        message_ = std::move(message);
        offset_ = offset;
        return false;
    }
    // At the byte under the cursor (or the last byte when the text has ended).
    bool peek_error(std::string message) {
        const std::size_t at = static_cast<std::size_t>(p_ - begin_);
        const std::size_t size = static_cast<std::size_t>(end_ - begin_);
        return fail_at(std::move(message), at < size ? at + 1 : size);
    }
    // At the last byte consumed.
    bool consumed_error(std::string message) { return fail_at(std::move(message), static_cast<std::size_t>(p_ - begin_)); }

    NodeRecordError make_error() {
        return record::error_at(std::string_view(begin_, static_cast<std::size_t>(end_ - begin_)), offset_,
                                std::move(message_));
    }

    bool invalid_type(const Value& v, std::string_view expected) {
        std::string message = record::invalid_type(v, expected);
        // Containers are not consumed: point at their opening bracket.
        return v.kind == Value::Sequence || v.kind == Value::Map ? peek_error(std::move(message))
                                                                 : consumed_error(std::move(message));
    }
    bool invalid_value(const Value& v, std::string_view expected) {
        return consumed_error(record::invalid_value(v, expected));
    }

    // -- lexical pieces -----------------------------------------------------

    void skip_space() noexcept {
        while (p_ != end_ && is_space(*p_)) ++p_;
    }

    // The rest of a literal whose first byte is under the cursor.
    bool parse_ident(std::string_view literal) {
        ++p_;
        for (char expected : literal.substr(1)) {
            if (p_ == end_) return peek_error("EOF while parsing a value");
            if (*p_++ != expected) return consumed_error("expected ident");
        }
        return true;
    }

    // Four hex digits of a \u escape.
    bool parse_hex4(std::uint32_t& out) {
        if (end_ - p_ < 4) {
            p_ = end_;
            return peek_error("EOF while parsing a string");
        }
        std::uint32_t value = 0;
        for (int k = 0; k < 4; ++k) {
            const int digit = hex_value(*p_++);
            if (digit < 0) return consumed_error("invalid escape");
            value = value << 4 | static_cast<std::uint32_t>(digit);
        }
        out = value;
        return true;
    }

    // The string whose opening quote is under the cursor. `out` views either
    // the input (no escapes) or `buffer`, which receives the resolved text.
    bool parse_string(std::string& buffer, std::string_view& out) {
        const char* const start = ++p_;
        const char* q = find_special(start, end_);
        if (q != end_ && *q == '"') {
            out = std::string_view(start, static_cast<std::size_t>(q - start));
            p_ = q + 1;
            return true;
        }
        buffer.clear();
        for (;;) {
            buffer.append(p_, q);
            p_ = q;
            if (p_ == end_) return peek_error("EOF while parsing a string");
            const char c = *p_++;
            if (c == '"') {
                out = buffer;
                return true;
            }
            if (c != '\\') return consumed_error("control character (\\u0000-\\u001F) found while parsing a string");
            if (p_ == end_) return peek_error("EOF while parsing a string");
            switch (*p_++) {
                case '"': buffer += '"'; break;
                case '\\': buffer += '\\'; break;
                case '/': buffer += '/'; break;
                case 'b': buffer += '\b'; break;
                case 'f': buffer += '\f'; break;
                case 'n': buffer += '\n'; break;
                case 'r': buffer += '\r'; break;
                case 't': buffer += '\t'; break;
                case 'u': {
                    std::uint32_t cp = 0;
                    if (!parse_hex4(cp)) return false;
                    if (cp >= 0xDC00 && cp <= 0xDFFF) return consumed_error("lone leading surrogate in hex escape");
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        // Must be followed by the escape of a trailing surrogate.
                        if (p_ == end_) return peek_error("EOF while parsing a string");
                        if (*p_ != '\\') return peek_error("unexpected end of hex escape");
                        ++p_;
                        if (p_ == end_) return peek_error("EOF while parsing a string");
                        if (*p_ != 'u') return peek_error("unexpected end of hex escape");
                        ++p_;
                        std::uint32_t low = 0;
                        if (!parse_hex4(low)) return false;
                        if (low < 0xDC00 || low > 0xDFFF) return consumed_error("lone leading surrogate in hex escape");
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    }
                    append_utf8(buffer, cp);
                    break;
                }
                default: return consumed_error("invalid escape");
            }
            q = find_special(p_, end_);
        }
    }

    // Passes over the number under the cursor, checking only its grammar (a
    // skipped number has no range to exceed), and notes where its parts are.
    // This and scan_digits are forced inline: as calls of their own they cost
    // a record of small numbers a few percent.
    [[gnu::always_inline]] bool scan_number(NumberParts& parts) {
        if (*p_ == '-') ++p_;
        if (p_ == end_) return consumed_error("invalid number");
        if (*p_ == '0') {
            ++p_;
            if (p_ != end_ && is_digit(*p_)) return peek_error("invalid number");
        } else if (is_digit(*p_)) {
            while (p_ != end_ && is_digit(*p_)) ++p_;
        } else {
            ++p_;
            return consumed_error("invalid number");
        }
        parts.integer_end = p_;
        if (p_ != end_ && *p_ == '.') {
            ++p_;
            if (!scan_digits()) return false;
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
            parts.exponent = p_;
            if (!scan_digits()) return false;
        }
        return true;
    }

    // The digits of a fraction or an exponent: at least one.
    [[gnu::always_inline]] bool scan_digits() {
        if (p_ == end_) return peek_error("EOF while parsing a value");
        if (!is_digit(*p_)) return peek_error("invalid number");
        while (p_ != end_ && is_digit(*p_)) ++p_;
        return true;
    }

    // The value of the number [start, p_), whose grammar scan_number has
    // checked: an integer that fits in 64 bits as such, any other number as
    // the nearest double.
    bool classify_number(const char* start, const NumberParts& parts, Number& out) {
        const bool negative = *start == '-';
        if (parts.integer_end == p_) {
            std::uint64_t magnitude = 0;
            bool fits = true;
            for (const char* q = start + negative; q != p_; ++q) {
                if (__builtin_mul_overflow(magnitude, 10u, &magnitude) ||
                    __builtin_add_overflow(magnitude, static_cast<unsigned>(*q - '0'), &magnitude)) {
                    fits = false;
                    break;
                }
            }
            if (fits && !negative) {
                out.kind = Number::U64;
                out.u = magnitude;
                return true;
            }
            if (fits && magnitude == 0) {  // "-0"
                out.kind = Number::F64;
                out.f = -0.0;
                return true;
            }
            if (fits && magnitude <= std::uint64_t{1} << 63) {
                out.kind = Number::I64;
                out.i = static_cast<std::int64_t>(0 - magnitude);
                return true;
            }
        }
        double value = 0.0;
        const auto res = std::from_chars(start, p_, value);
        if (res.ec == std::errc::result_out_of_range) {
            if (magnitude_above_one(start, p_, parts)) return consumed_error("number out of range");
            value = negative ? -0.0 : 0.0;
        } else if (res.ec != std::errc() || res.ptr != p_) {
            return consumed_error("invalid number");  // not expected after the grammar check
        }
        out.kind = Number::F64;
        out.f = value;
        return true;
    }

    // The number starting under the cursor, as an attribute sees it.
    bool parse_number(Number& out) {
        const char* const start = p_;
        NumberParts parts;
        return scan_number(parts) && classify_number(start, parts, out);
    }

    // -- values -------------------------------------------------------------

    // The value under the cursor (after whitespace), as an attribute sees it.
    // Strings go to `buffer` when they hold escapes.
    bool parse_value(Value& v, std::string& buffer) {
        skip_space();
        if (p_ == end_) return peek_error("EOF while parsing a value");
        switch (*p_) {
            case 'n':
                v.kind = Value::Null;
                return parse_ident("null");
            case 't':
                v.kind = Value::Bool;
                v.boolean = true;
                return parse_ident("true");
            case 'f':
                v.kind = Value::Bool;
                v.boolean = false;
                return parse_ident("false");
            case '"':
                v.kind = Value::String;
                return parse_string(buffer, v.string);
            case '[':
                v.kind = Value::Sequence;
                return true;
            case '{':
                v.kind = Value::Map;
                return true;
            default:
                if (*p_ == '-' || is_digit(*p_)) {
                    v.kind = Value::Num;
                    return parse_number(v.number);
                }
                return peek_error("expected value");
        }
    }

    // Reads the value of attribute `field` into the record.
    bool parse_field(Attribute field) {
        static constexpr auto kStore = diff::per_attribute([](auto a) { return &RecordParser::store<a>; });
        static constexpr auto kTextPlace = diff::per_attribute([](auto a) { return diff::index_in_kind(a); });
        const bool text = diff::kAttributes[field].kind == AttributeKind::Text;
        Value v;
        if (!parse_value(v, text ? text_buffers_[kTextPlace[field]] : scratch_)) return false;
        if (v.kind == Value::Null) return true;  // null leaves the attribute absent
        return (this->*kStore[field])(v);
    }

    // Stores `v` (not null) as attribute A, if it is a value of A's kind.
    template <Attribute A>
    bool store(const Value& v) {
        constexpr AttributeKind kind = diff::kKindOf<A>;
        constexpr std::string_view expected = record::expected(kind);
        if constexpr (kind == AttributeKind::Text) {
            if (v.kind != Value::String) return invalid_type(v, expected);
            texts_[diff::index_in_kind(A)] = v.string;  // set with the others at the end, in one block
            texts_present_ = true;
        } else if constexpr (kind == AttributeKind::Float) {
            if (v.kind != Value::Num) return invalid_type(v, expected);
            update_.set<A>(to_f32(v.number));
        } else if constexpr (kind == AttributeKind::Byte) {
            if (v.kind != Value::Num || v.number.kind == Number::F64) return invalid_type(v, expected);
            if (v.number.kind == Number::I64 || v.number.u > 255) return invalid_value(v, expected);
            update_.set<A>(static_cast<std::uint8_t>(v.number.u));
        } else {
            if (v.kind != Value::Bool) return invalid_type(v, expected);
            update_.set<A>(v.boolean);
        }
        return true;
    }

    // -- containers ---------------------------------------------------------
    // Arrays and objects are read item by item. Past the opening bracket and
    // after each item the cursor moves either onto the next item or past the
    // closing bracket `close` (']' or '}'); a comma must separate items and
    // may not follow the last. first_item and next_item are forced inline:
    // the object form runs them once per member, and with `close` known at
    // the call they reduce to a few comparisons.

    enum class Next { Item, End, Failed };

    Next fail_next(const char* message) {
        peek_error(message);
        return Next::Failed;
    }
    static const char* eof_inside(char close) noexcept {
        return close == ']' ? "EOF while parsing a list" : "EOF while parsing an object";
    }

    // The opening bracket is under the cursor.
    [[gnu::always_inline]] Next first_item(char close) {
        ++p_;
        skip_space();
        if (p_ == end_) return fail_next(eof_inside(close));
        if (*p_ != close) return Next::Item;
        ++p_;
        return Next::End;
    }

    // An item has just ended.
    [[gnu::always_inline]] Next next_item(char close) {
        skip_space();
        if (p_ == end_) return fail_next(eof_inside(close));
        if (*p_ == close) {
            ++p_;
            return Next::End;
        }
        if (*p_ != ',') return fail_next(close == ']' ? "expected `,` or `]`" : "expected `,` or `}`");
        ++p_;
        skip_space();
        if (p_ == end_) return fail_next("EOF while parsing a value");
        if (*p_ == close) return fail_next("trailing comma");
        return Next::Item;
    }

    // A member key under the cursor: a string, viewed as parse_string leaves it.
    bool parse_key(std::string_view& key) {
        if (*p_ != '"') return peek_error("key must be a string");
        return parse_string(scratch_, key);
    }

    bool parse_colon() {
        skip_space();
        if (p_ == end_) return peek_error("EOF while parsing an object");
        if (*p_ != ':') return peek_error("expected `:`");
        ++p_;
        return true;
    }

    // Checks and passes over the value under the cursor (after whitespace),
    // whatever it is. Nesting is tracked in a stack of open brackets on the
    // heap, so the depth of the value is limited by memory only.
    bool skip_value() {
        std::string open;  // the closing bracket of each enclosing container
        std::string_view ignored;
        for (;;) {
            // A value starts here.
            skip_space();
            if (p_ == end_) return peek_error("EOF while parsing a value");
            Next next = Next::End;  // a scalar or an empty container ends here
            switch (*p_) {
                case '[':
                case '{': {
                    const char close = *p_ == '[' ? ']' : '}';
                    next = first_item(close);
                    if (next == Next::Item) open += close;
                    break;
                }
                case '"':
                    if (!parse_string(scratch_, ignored)) return false;
                    break;
                case 'n':
                    if (!parse_ident("null")) return false;
                    break;
                case 't':
                    if (!parse_ident("true")) return false;
                    break;
                case 'f':
                    if (!parse_ident("false")) return false;
                    break;
                default:
                    if (*p_ != '-' && !is_digit(*p_)) return peek_error("expected value");
                    if (NumberParts parts; !scan_number(parts)) return false;
            }

            // Close the containers that end with the value, until one goes
            // on with another item.
            while (next == Next::End && !open.empty()) {
                next = next_item(open.back());
                if (next == Next::End) open.pop_back();
            }
            if (next == Next::Failed) return false;
            if (open.empty()) return true;
            if (open.back() == '}' && !(parse_key(ignored) && parse_colon())) return false;
        }
    }

    // -- the record ---------------------------------------------------------

    bool parse_record() {
        skip_space();
        if (p_ == end_) return peek_error("EOF while parsing a value");
        if (*p_ == '{') return parse_object();
        if (*p_ == '[') return parse_array();
        Value v;
        if (!parse_value(v, scratch_)) return false;
        return invalid_type(v, record::kExpectedRecord);
    }

    bool parse_object() {
        unsigned seen = 0;
        for (Next next = first_item('}'); next != Next::End; next = next_item('}')) {
            if (next == Next::Failed) return false;
            std::string_view key;
            if (!parse_key(key)) return false;
            const int attribute = attribute_of_wire_key(key);
            if (attribute >= 0) {
                if (seen & (1u << attribute)) return consumed_error(record::duplicate_field(key));
                seen |= 1u << attribute;
            }
            if (!parse_colon()) return false;
            if (!(attribute < 0 ? skip_value() : parse_field(static_cast<Attribute>(attribute)))) return false;
        }
        return true;
    }

    bool parse_array() {
        // The elements are the attributes in declared order.
        for (int i = 0; i < diff::kAttributeCount; ++i) {
            const Next next = i == 0 ? first_item(']') : next_item(']');
            if (next == Next::Failed) return false;
            if (next == Next::End) return consumed_error(record::invalid_length(i));
            if (!parse_field(static_cast<Attribute>(i))) return false;
        }
        // An element beyond the attributes is not read: anything but the
        // closing bracket is trailing.
        skip_space();
        if (p_ == end_) return peek_error("EOF while parsing a list");
        if (*p_ == ']') {
            ++p_;
            return true;
        }
        if (*p_ == ',') {
            ++p_;
            skip_space();
            if (p_ != end_ && *p_ == ']') return peek_error("trailing comma");
        }
        return peek_error("trailing characters");
    }

    const char* const begin_;
    const char* p_;
    const char* const end_;

    NodeUpdate update_;
    // The texts read so far, each viewing the input or its own buffer (when
    // it held escapes).
    NodeUpdate::Texts texts_;
    bool texts_present_ = false;
    std::string text_buffers_[diff::kTextCount];
    std::string scratch_;

    std::string message_;
    std::size_t offset_ = 0;
};

}  // namespace

Result<NodeUpdate, NodeRecordError> decode_node_update(std::string_view text) {
    return RecordParser(text).parse();
}

}  // namespace quorl::encoding
