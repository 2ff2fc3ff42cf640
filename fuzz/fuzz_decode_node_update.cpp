// The node record reader on arbitrary text.
//
// The reader is only ever handed valid UTF-8 (the byte string reader checks
// first), so text that is not valid UTF-8 goes in through the byte string
// reader, which must refuse it as such. Valid text goes to the record reader
// directly and through the byte string reader, which must agree, and to a
// small recursive JSON reader below that decides on its own whether the text
// is a valid record and what it holds. A record that reads must write back
// into exactly the length measured for it and read back the same.
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "encoding/decode.hpp"
#include "encoding/node_record.hpp"
#include "node_record_text.hpp"
#include "fuzz_support.hpp"

namespace {

using namespace quorl;
using model::Attributes;

// ---------------------------------------------------------------------------
// A plain recursive JSON reader (RFC 8259) building a tree.

struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    std::string text;  // the number's lexeme, or the string with escapes resolved
    std::vector<Json> items;        // array elements, or object member values
    std::vector<std::string> keys;  // object member keys, one per item
};

class JsonReader {
public:
    explicit JsonReader(std::string_view s) : s_(s) {}

    // The value filling the whole text (whitespace around it allowed), or
    // nothing when the text is not JSON. `too_deep` is set when nesting went
    // beyond what this reader follows; the answer is then unknown.
    std::optional<Json> document() {
        Json v;
        space();
        if (!value(v, 0)) return std::nullopt;
        space();
        if (i_ != s_.size()) return std::nullopt;
        return v;
    }
    bool too_deep = false;

private:
    static constexpr int kMaxDepth = 400;

    bool at_end() const { return i_ >= s_.size(); }
    char peek() const { return s_[i_]; }
    void space() {
        while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) ++i_;
    }
    bool literal(std::string_view word) {
        if (s_.substr(i_, word.size()) != word) return false;
        i_ += word.size();
        return true;
    }
    static bool digit(char c) { return c >= '0' && c <= '9'; }

    bool value(Json& v, int depth) {
        if (depth > kMaxDepth) {
            too_deep = true;
            return false;
        }
        if (at_end()) return false;
        switch (peek()) {
            case 'n': v.kind = Json::Null; return literal("null");
            case 't': v.kind = Json::Bool; v.boolean = true; return literal("true");
            case 'f': v.kind = Json::Bool; v.boolean = false; return literal("false");
            case '"': v.kind = Json::String; return string(v.text);
            case '[': {
                v.kind = Json::Array;
                ++i_;
                space();
                if (!at_end() && peek() == ']') {
                    ++i_;
                    return true;
                }
                for (;;) {
                    Json item;
                    space();
                    if (!value(item, depth + 1)) return false;
                    v.items.push_back(std::move(item));
                    space();
                    if (at_end()) return false;
                    if (peek() == ']') {
                        ++i_;
                        return true;
                    }
                    if (peek() != ',') return false;
                    ++i_;
                }
            }
            case '{': {
                v.kind = Json::Object;
                ++i_;
                space();
                if (!at_end() && peek() == '}') {
                    ++i_;
                    return true;
                }
                for (;;) {
                    std::string key;
                    Json item;
                    space();
                    if (at_end() || peek() != '"' || !string(key)) return false;
                    space();
                    if (at_end() || peek() != ':') return false;
                    ++i_;
                    space();
                    if (!value(item, depth + 1)) return false;
                    v.keys.push_back(std::move(key));
                    v.items.push_back(std::move(item));
                    space();
                    if (at_end()) return false;
                    if (peek() == '}') {
                        ++i_;
                        return true;
                    }
                    if (peek() != ',') return false;
                    ++i_;
                }
            }
            default: v.kind = Json::Number; return number(v.text);
        }
    }

    bool number(std::string& lexeme) {
        const std::size_t start = i_;
        if (!at_end() && peek() == '-') ++i_;
        if (at_end()) return false;
        if (peek() == '0') {
            ++i_;
        } else if (peek() >= '1' && peek() <= '9') {
            while (!at_end() && digit(peek())) ++i_;
        } else {
            return false;
        }
        if (!at_end() && peek() == '.') {
            ++i_;
            if (at_end() || !digit(peek())) return false;
            while (!at_end() && digit(peek())) ++i_;
        }
        if (!at_end() && (peek() == 'e' || peek() == 'E')) {
            ++i_;
            if (!at_end() && (peek() == '+' || peek() == '-')) ++i_;
            if (at_end() || !digit(peek())) return false;
            while (!at_end() && digit(peek())) ++i_;
        }
        lexeme.assign(s_.substr(start, i_ - start));
        return true;
    }

    bool hex4(std::uint32_t& out) {
        if (s_.size() - i_ < 4) return false;
        out = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = s_[i_++];
            int d;
            if (c >= '0' && c <= '9') {
                d = c - '0';
            } else if (c >= 'a' && c <= 'f') {
                d = c - 'a' + 10;
            } else if (c >= 'A' && c <= 'F') {
                d = c - 'A' + 10;
            } else {
                return false;
            }
            out = out * 16 + static_cast<std::uint32_t>(d);
        }
        return true;
    }

    static void put_utf8(std::string& out, std::uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool string(std::string& out) {
        ++i_;  // the opening quote
        for (;;) {
            if (at_end()) return false;
            const char c = s_[i_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_end()) return false;
            const char e = s_[i_++];
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    std::uint32_t cp;
                    if (!hex4(cp)) return false;
                    if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        std::uint32_t low;
                        if (!literal("\\u") || !hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    }
                    put_utf8(out, cp);
                    break;
                }
                default: return false;
            }
        }
    }

    std::string_view s_;
    std::size_t i_ = 0;
};

// ---------------------------------------------------------------------------
// The record rules, applied to the tree.

enum Field { kLabel, kSize, kUrl, kRed, kGreen, kBlue, kShowLabel };
constexpr const char* kKeys[] = {"label", "size", "url", "red", "green", "blue", "showLabel"};
static_assert(std::size(kKeys) == diff::kAttributeCount,
              "the reference reader names each attribute itself: give a new one a Field, its key here and its "
              "rule in apply()");

std::optional<float> size_of(const std::string& lexeme) {
    const bool integral = lexeme.find_first_of(".eE") == std::string::npos;
    if (integral) {
        const bool negative = lexeme[0] == '-';
        const std::string digits = negative ? lexeme.substr(1) : lexeme;
        // Fits in 64 bits? (No leading zeros, so the length tells most.)
        errno = 0;
        char* end = nullptr;
        const unsigned long long magnitude = std::strtoull(digits.c_str(), &end, 10);
        const bool fits = errno == 0;
        if (fits && !negative) return static_cast<float>(magnitude);
        if (fits && negative && magnitude == 0) return -0.0f;
        if (fits && negative && magnitude <= (1ull << 63)) {
            return static_cast<float>(static_cast<long long>(0 - magnitude));
        }
    }
    const double d = std::strtod(lexeme.c_str(), nullptr);
    if (std::isinf(d)) return std::nullopt;  // beyond the range of a double
    constexpr double kMax = std::numeric_limits<float>::max();
    if (std::fabs(d) > kMax) {
        // Round to nearest: from half a unit above the largest finite value on
        // it is an infinity.
        const float big = std::fabs(d) >= 0x1.ffffffp+127 ? std::numeric_limits<float>::infinity() : std::numeric_limits<float>::max();
        return d < 0 ? -big : big;
    }
    return static_cast<float>(d);
}

std::optional<std::uint8_t> u8_of(const std::string& lexeme) {
    if (lexeme.find_first_of(".eE-") != std::string::npos) return std::nullopt;
    if (lexeme.size() > 3) return std::nullopt;
    const int v = std::atoi(lexeme.c_str());
    if (v > 255) return std::nullopt;
    return static_cast<std::uint8_t>(v);
}

bool apply(Attributes& a, int field, const Json& v) {
    if (v.kind == Json::Null) return true;
    switch (field) {
        case kLabel:
        case kUrl:
            if (v.kind != Json::String) return false;
            (field == kLabel ? a.label : a.url) = v.text;
            return true;
        case kSize: {
            if (v.kind != Json::Number) return false;
            auto f = size_of(v.text);
            if (!f) return false;
            a.size = *f;
            return true;
        }
        case kRed:
        case kGreen:
        case kBlue: {
            if (v.kind != Json::Number) return false;
            auto c = u8_of(v.text);
            if (!c) return false;
            (field == kRed ? a.red : field == kGreen ? a.green : a.blue) = *c;
            return true;
        }
        case kShowLabel:
            if (v.kind != Json::Bool) return false;
            a.show_label = v.boolean;
            return true;
    }
    return false;
}

std::optional<Attributes> record_of(const Json& doc) {
    Attributes a;
    if (doc.kind == Json::Array) {
        if (doc.items.size() != std::size(kKeys)) return std::nullopt;
        for (int f = 0; f < static_cast<int>(std::size(kKeys)); ++f) {
            if (!apply(a, f, doc.items[static_cast<std::size_t>(f)])) return std::nullopt;
        }
        return a;
    }
    if (doc.kind != Json::Object) return std::nullopt;
    unsigned seen = 0;
    for (std::size_t m = 0; m < doc.keys.size(); ++m) {
        for (int f = 0; f < static_cast<int>(std::size(kKeys)); ++f) {
            if (doc.keys[m] != kKeys[f]) continue;
            if (seen & (1u << f)) return std::nullopt;
            seen |= 1u << f;
            if (!apply(a, f, doc.items[m])) return std::nullopt;
        }
    }
    return a;
}

// The text inside a byte string holding one node entry and nothing else.
std::vector<std::uint8_t> one_node(std::string_view text) {
    std::vector<std::uint8_t> out;
    auto u64 = [&](std::uint64_t v) {
        for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    u64(1);
    u64(16);
    out.insert(out.end(), 16, 0xAB);
    u64(text.size());
    out.insert(out.end(), text.begin(), text.end());
    u64(0);
    u64(0);
    u64(0);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<std::uint8_t> wrapped = one_node(text);
    auto via_container = encoding::decode_graph_diff(wrapped.data(), wrapped.size());

    if (!fuzz::valid_utf8(data, size)) {
        FUZZ_CHECK(!via_container.ok());
        const auto* error = std::get_if<encoding::DecodeError>(&via_container.error());
        FUZZ_CHECK(error && error->kind == encoding::DecodeError::Kind::InvalidUtf8Encoding);
        return 0;
    }

    auto decoded = encoding::decode_node_update(text);
    FUZZ_CHECK(decoded.ok() == via_container.ok());

    JsonReader reader(text);
    const std::optional<Json> doc = reader.document();
    if (!reader.too_deep) {
        const std::optional<Attributes> expected = doc ? record_of(*doc) : std::nullopt;
        FUZZ_CHECK(decoded.ok() == expected.has_value());
        if (expected) FUZZ_CHECK(Attributes::of(*decoded) == *expected);
    }

    if (!decoded) {
        const encoding::NodeRecordError& error = decoded.error();
        FUZZ_CHECK(!error.message.empty());
        FUZZ_CHECK(error.line >= 1);
        FUZZ_CHECK(error.column <= size);
        FUZZ_CHECK(!error.text().empty());
        FUZZ_CHECK(std::holds_alternative<encoding::NodeRecordError>(via_container.error()));
        return 0;
    }

    const Attributes got = Attributes::of(*decoded);
    FUZZ_CHECK(via_container->new_or_updated_nodes().size() == 1);
    FUZZ_CHECK(Attributes::of(via_container->new_or_updated_nodes().begin()->value) == got);

    // Written into exactly the measured length (a heap block of that size,
    // so that writing past it is caught), the record reads back the same.
    const std::uint64_t length = encoding::detail::node_record_length(*decoded);
    std::vector<char> exact(static_cast<std::size_t>(length));
    char* end = encoding::detail::write_node_record(*decoded, exact.data());
    FUZZ_CHECK(end == exact.data() + exact.size());
    const std::string_view written(exact.data(), exact.size());
    std::string appended = "prefix";
    encoding::encode_node_update(*decoded, appended);
    FUZZ_CHECK(appended.substr(6) == written);
    FUZZ_CHECK(fuzz::valid_utf8(written));

    auto again = encoding::decode_node_update(written);
    FUZZ_CHECK(again.ok());
    FUZZ_CHECK(Attributes::of(*again) == got.as_read_back());
    // The written text is a JSON object, keys in their fixed order.
    JsonReader writer_check(written);
    const std::optional<Json> written_doc = writer_check.document();
    FUZZ_CHECK(written_doc && written_doc->kind == Json::Object);
    return 0;
}
