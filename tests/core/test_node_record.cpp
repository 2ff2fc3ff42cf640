// The node record JSON text: the exact text written for an update, and the
// strict reader with its typing rules, leniencies and messages.
#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include "encoding/node_record.hpp"
#include "node_record_text.hpp"
#include "encoding_test_util.hpp"
#include "graph_diff_model.hpp"

namespace quorl::encoding {
namespace {

using diff::NodeUpdate;
using model::Attributes;
using model::describe;

std::string record(const NodeUpdate& u) {
    std::string out;
    encode_node_update(u, out);
    return out;
}

NodeUpdate decoded(std::string_view text) {
    auto r = decode_node_update(text);
    EXPECT_TRUE(r.ok()) << text << " -> " << (r.ok() ? "" : r.error().text());
    return r.ok() ? std::move(r).value() : NodeUpdate{};
}

// The attributes of `u`, as the model writes them out.
std::string attributes(const NodeUpdate& u) { return describe(Attributes::of(u)); }

// The message of the failure to read `text` (empty when it is read).
std::string failure(std::string_view text) {
    auto r = decode_node_update(text);
    return r.ok() ? std::string() : r.error().message;
}

// Texts the reader refuses, each with the message expected.
struct Refusal {
    std::string text;
    const char* message;
};
void expect_refusals(std::initializer_list<Refusal> refusals) {
    for (const Refusal& r : refusals) EXPECT_EQ(failure(r.text), r.message) << r.text;
}

// ---------------------------------------------------------------------------
// Writing

TEST(NodeRecordWrite, EmptyAndFullRecords) {
    EXPECT_EQ(record(NodeUpdate{}), "{}");

    NodeUpdate all;
    all.set<diff::kShowLabel>(true);
    all.set<diff::kBlue>(255);
    all.set<diff::kGreen>(10);
    all.set<diff::kRed>(0);
    all.set<diff::kUrl>("u");
    all.set<diff::kSize>(2.5f);
    all.set<diff::kLabel>("A");
    EXPECT_EQ(record(all), R"({"label":"A","size":2.5,"url":"u","red":0,"green":10,"blue":255,"showLabel":true})");

    NodeUpdate some;
    some.set<diff::kShowLabel>(false);
    some.set<diff::kGreen>(7);
    some.set<diff::kSize>(100.0f);
    EXPECT_EQ(record(some), R"({"size":100.0,"green":7,"showLabel":false})");

    NodeUpdate empty_label;
    empty_label.set<diff::kLabel>("");
    EXPECT_EQ(record(empty_label), R"({"label":""})");
}

TEST(NodeRecordWrite, AppendsToTheBuffer) {
    NodeUpdate u;
    u.set<diff::kRed>(3);
    std::string out = "xy";
    encode_node_update(u, out);
    EXPECT_EQ(out, R"(xy{"red":3})");
}

TEST(NodeRecordWrite, Escapes) {
    NodeUpdate u;
    u.set<diff::kLabel>(std::string("\"\\\n\x01", 4));
    EXPECT_EQ(record(u), R"({"label":"\"\\\n\u0001"})");

    NodeUpdate all_controls;
    std::string controls;
    for (int c = 0; c < 0x20; ++c) controls += static_cast<char>(c);
    controls += "\x7f/";
    all_controls.set<diff::kUrl>(controls);
    EXPECT_EQ(record(all_controls),
              R"({"url":"\u0000\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000b\f\r\u000e\u000f)"
              R"(\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001a\u001b\u001c\u001d\u001e\u001f)"
              "\x7f/\"}");

    NodeUpdate script;
    script.set<diff::kLabel>("Ελληνικά 日本語 😀");
    EXPECT_EQ(record(script), "{\"label\":\"Ελληνικά 日本語 😀\"}");
}

// The measuring pass and the writing pass agree, wherever the special bytes
// fall relative to the eight-byte scan.
TEST(NodeRecordWrite, LengthMatchesText) {
    for (std::size_t length = 0; length < 40; ++length) {
        for (std::size_t at = 0; at <= length; ++at) {
            for (char special : {'"', '\\', '\n', '\x1f', '\x00', 'a', '\x80'}) {
                std::string label(length, 'x');
                if (at < length) label[at] = special;
                NodeUpdate u;
                u.set<diff::kLabel>(label);
                u.set<diff::kUrl>(label + label);
                const std::string text = record(u);
                ASSERT_EQ(detail::node_record_length(u), text.size()) << length << " " << at;
                // And the text reads back to the same update.
                auto back = decode_node_update(text);
                ASSERT_TRUE(back.ok()) << text;
                ASSERT_TRUE(*back == u) << text;
            }
        }
    }
}

TEST(NodeRecordWrite, NonFiniteSizeIsNull) {
    for (float f : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                    -std::numeric_limits<float>::infinity()}) {
        NodeUpdate u;
        u.set<diff::kSize>(f);
        u.set<diff::kRed>(1);
        const std::string text = record(u);
        EXPECT_EQ(text, R"({"size":null,"red":1})");
        EXPECT_EQ(detail::node_record_length(u), text.size());
        const NodeUpdate back = decoded(text);
        EXPECT_FALSE(back.get<diff::kSize>());
        EXPECT_EQ(back.get<diff::kRed>(), 1);
    }
}

TEST(NodeRecordWrite, SizeTexts) {
    auto size_text = [](float f) {
        NodeUpdate u;
        u.set<diff::kSize>(f);
        return record(u);
    };
    EXPECT_EQ(size_text(1e13f), R"({"size":1e13})");
    EXPECT_EQ(size_text(1e12f), R"({"size":1000000000000.0})");
    EXPECT_EQ(size_text(1e-6f), R"({"size":0.000001})");
    EXPECT_EQ(size_text(1e-7f), R"({"size":1e-7})");
    EXPECT_EQ(size_text(-0.0f), R"({"size":-0.0})");
}

// ---------------------------------------------------------------------------
// Reading: accepted forms

TEST(NodeRecordRead, ObjectForm) {
    const NodeUpdate u = decoded(
        R"( { "label" : "A", "size": 2.5, "url":"u", "red":0, "green" :10, "blue":255, "showLabel": true } )"
        "\n\r\t");
    const Attributes all{.label = "A", .size = 2.5f, .url = "u", .red = 0, .green = 10, .blue = 255, .show_label = true};
    EXPECT_EQ(attributes(u), describe(all));

    EXPECT_TRUE(decoded("{}") == NodeUpdate{});
    // Members in any order.
    EXPECT_EQ(attributes(decoded(R"({"showLabel":false,"url":"","label":""})")),
              describe(Attributes{.label = "", .url = "", .show_label = false}));
}

TEST(NodeRecordRead, NullIsAbsent) {
    const NodeUpdate u =
        decoded(R"({"label":null,"size":null,"url":null,"red":null,"green":null,"blue":null,"showLabel":null})");
    EXPECT_TRUE(u == NodeUpdate{});
    EXPECT_TRUE(decoded("[null,null,null,null,null,null,null]") == NodeUpdate{});
}

TEST(NodeRecordRead, ArrayForm) {
    const NodeUpdate u = decoded(R"([ "L", 1.5, "U", 1, 2, 3, false ])");
    const Attributes all{.label = "L", .size = 1.5f, .url = "U", .red = 1, .green = 2, .blue = 3, .show_label = false};
    EXPECT_EQ(attributes(u), describe(all));

    expect_refusals({
        {"[null,null,null,null,null,null]", "invalid length 6, expected struct NodeUpdate with 7 elements"},
        {"[]", "invalid length 0, expected struct NodeUpdate with 7 elements"},
        {"[null,null,null,null,null,null,null,null]", "trailing characters"},
        {"[null,null,null,null,null,null,null,]", "trailing comma"},
        {"[null,null,null,null,null,null,null", "EOF while parsing a list"},
        {"[null,null,null,null,null,null,null x", "trailing characters"},
        {"[null null", "expected `,` or `]`"},
        {"[null,", "EOF while parsing a value"},
        {"[null,]", "trailing comma"},
        {"[", "EOF while parsing a list"},
    });
}

TEST(NodeRecordRead, UnknownKeysAreSkipped) {
    const NodeUpdate u = decoded(R"({"show_label":true,"x":{"a":[1,-2.5e3,{"b":null}],"c":"\u00e9"},"Label":"no",)"
                                 R"("big":1e400,"label":"L"})");
    EXPECT_FALSE(u.get<diff::kShowLabel>());
    EXPECT_EQ(u.get<diff::kLabel>(), "L");
    EXPECT_EQ(decoded(R"({"showLabel":true})").get<diff::kShowLabel>(), true);
}

TEST(NodeRecordRead, DuplicateFields) {
    expect_refusals({
        {R"({"label":"a","label":"b"})", "duplicate field `label`"},
        {R"({"label":null,"label":"b"})", "duplicate field `label`"},
        {R"({"showLabel":true,"red":1,"showLabel":true})", "duplicate field `showLabel`"},
    });
    // Unknown keys may repeat.
    EXPECT_TRUE(decode_node_update(R"({"x":1,"x":2})").ok());
}

TEST(NodeRecordRead, StringsAndEscapes) {
    EXPECT_EQ(decoded(R"({"label":"a\"\\\/\b\f\n\r\t\u00e9\u20AC\ud83d\ude00z"})").get<diff::kLabel>(),
              "a\"\\/\b\f\n\r\t\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80z");
    EXPECT_EQ(decoded(R"({"url":"\u0000"})").get<diff::kUrl>(), std::string_view("\0", 1));
    // Keys compare after their escapes are resolved.
    EXPECT_EQ(decoded(R"({"\u006cabel":"x"})").get<diff::kLabel>(), "x");
    EXPECT_EQ(decoded("{\"label\":\"日本\"}").get<diff::kLabel>(), "日本");
}

TEST(NodeRecordRead, Colours) {
    EXPECT_EQ(decoded(R"({"red":255,"green":0,"blue":128})").get<diff::kRed>(), 255);
    expect_refusals({
        {R"({"red":256})", "invalid value: integer `256`, expected u8"},
        {R"({"green":-1})", "invalid value: integer `-1`, expected u8"},
        {R"({"blue":255.0})", "invalid type: floating point `255.0`, expected u8"},
        {R"({"blue":2.55e2})", "invalid type: floating point `255.0`, expected u8"},
        {R"({"red":1e0})", "invalid type: floating point `1.0`, expected u8"},
        {R"({"red":-0})", "invalid type: floating point `-0.0`, expected u8"},
        {R"({"red":18446744073709551615})", "invalid value: integer `18446744073709551615`, expected u8"},
    });
    EXPECT_EQ(failure(R"({"red":18446744073709551616})"),
              "invalid type: floating point `18446744073709552000.0`, expected u8");
    expect_refusals({
        {R"({"red":"1"})", "invalid type: string \"1\", expected u8"},
        {R"({"red":true})", "invalid type: boolean `true`, expected u8"},
        {R"({"red":{}})", "invalid type: map, expected u8"},
        {R"({"red":1e400})", "number out of range"},
    });
}

TEST(NodeRecordRead, Sizes) {
    auto size = [](std::string_view number) {
        const NodeUpdate u = decoded("{\"size\":" + std::string(number) + "}");
        EXPECT_TRUE(u.get<diff::kSize>().has_value()) << number;
        return u.get<diff::kSize>().value_or(-12345.0f);
    };
    EXPECT_EQ(size("3"), 3.0f);
    EXPECT_EQ(size("0.1"), 0.1f);
    EXPECT_EQ(size("-2.5E-1"), -0.25f);
    EXPECT_EQ(size("1e39"), std::numeric_limits<float>::infinity());
    EXPECT_EQ(size("-1e39"), -std::numeric_limits<float>::infinity());
    EXPECT_EQ(size("3.4028235e38"), std::numeric_limits<float>::max());
    EXPECT_EQ(size("3.40282356e38"), std::numeric_limits<float>::max());  // below half a unit above max
    EXPECT_EQ(size("3.4028236e38"), std::numeric_limits<float>::infinity());
    EXPECT_EQ(size("1e-400"), 0.0f);
    EXPECT_TRUE(std::signbit(size("-1e-400")));
    EXPECT_EQ(size("0.0000000000000000000000000000000000000000000000000000001"), 0.0f);
    EXPECT_TRUE(std::signbit(size("-0")));
    EXPECT_FALSE(std::signbit(size("0")));
    EXPECT_EQ(size("18446744073709551615"), 18446744073709551615.0f);
    EXPECT_EQ(size("-9223372036854775808"), -9223372036854775808.0f);
    EXPECT_EQ(size("123456789012345678901234567890"), 1.2345679e29f);
    // Integers are converted directly: 2^24 + 1 rounds to even.
    EXPECT_EQ(size("16777217"), 16777216.0f);
    // Other numbers pass through a double first: this one is a hair above
    // the midpoint between 1 and the next binary32 value, but its double is
    // the midpoint itself, which rounds to even.
    EXPECT_EQ(size("1.00000005960464477539062500000001"), 1.0f);

    // Beyond the range of a double, what decides between an overflow (a
    // failure) and an underflow (zero) is where the first significant digit
    // stands: integer digits, zeros after the point, and the exponent.
    struct Beyond {
        std::string number;
        bool overflows;
    };
    const Beyond beyond[] = {
        {"1e400", true},
        {"-1e400", true},
        {"1" + std::string(400, '0'), true},
        {"123.5e-330", false},
        {"0.001e312", true},
        {"-0.1e310", true},
        {"0.0001e-400", false},
        {"0." + std::string(400, '0') + "1", false},
        {"0." + std::string(400, '0') + "1e800", true},
        {"1000e-327", false},
        {"10e+308", true},
    };
    for (const Beyond& b : beyond) {
        const std::string record = "{\"size\":" + b.number + "}";
        if (b.overflows) {
            EXPECT_EQ(failure(record), "number out of range") << b.number;
        } else {
            EXPECT_EQ(size(b.number), 0.0f) << b.number;
        }
    }
    // A number that ends the text is read to its end and no further.
    expect_refusals({
        {"1e400", "number out of range"},
        {"0.000001e-400", "invalid type: floating point `0.0`, expected struct NodeUpdate"},
        {R"({"size":"x"})", "invalid type: string \"x\", expected f32"},
        {R"({"size":[1]})", "invalid type: sequence, expected f32"},
    });
}

TEST(NodeRecordRead, TextAndBooleanTypes) {
    expect_refusals({
        {R"({"label":true})", "invalid type: boolean `true`, expected a string"},
        {R"({"url":5})", "invalid type: integer `5`, expected a string"},
        {R"({"label":[]})", "invalid type: sequence, expected a string"},
        {R"({"showLabel":1})", "invalid type: integer `1`, expected a boolean"},
        {R"({"showLabel":"true"})", "invalid type: string \"true\", expected a boolean"},
        {R"(["a",null,null,null,null,null,0])", "invalid type: integer `0`, expected a boolean"},
    });
}

TEST(NodeRecordRead, TopLevel) {
    expect_refusals({
        {"", "EOF while parsing a value"},
        {"  \n", "EOF while parsing a value"},
        {"null", "invalid type: null, expected struct NodeUpdate"},
        {"5", "invalid type: integer `5`, expected struct NodeUpdate"},
        {"-1.5", "invalid type: floating point `-1.5`, expected struct NodeUpdate"},
        {R"("x")", "invalid type: string \"x\", expected struct NodeUpdate"},
        {"true", "invalid type: boolean `true`, expected struct NodeUpdate"},
        {"x", "expected value"},
        {"{} x", "trailing characters"},
        {"{}{}", "trailing characters"},
        {"{}\n\n  \t\r", ""},
    });
}

// Malformed JSON gives the reader's syntax messages, in attribute values and
// in skipped values alike.
TEST(NodeRecordRead, SyntaxErrors) {
    expect_refusals({
        {"{", "EOF while parsing an object"},
        {R"({"label")", "EOF while parsing an object"},
        {R"({"label":"a")", "EOF while parsing an object"},
        {R"({"label" 1})", "expected `:`"},
        {R"({"label":})", "expected value"},
        {R"({"label":"a",})", "trailing comma"},
        {R"({"label":"a",)", "EOF while parsing a value"},
        {R"({"label":"a" "url":"b"})", "expected `,` or `}`"},
        {R"({1:2})", "key must be a string"},
        {R"({"label":"a",1:2})", "key must be a string"},
        {R"({"label":"abc)", "EOF while parsing a string"},
        {"{\"label\":\"a\x01\"}", "control character (\\u0000-\\u001F) found while parsing a string"},
        {"{\"x\":\"a\nb\"}", "control character (\\u0000-\\u001F) found while parsing a string"},
        {R"({"label":"\q"})", "invalid escape"},
        {R"({"label":"\u12"})", "invalid escape"},
        {R"({"label":"\u12)", "EOF while parsing a string"},
        {R"({"label":"\u12G4"})", "invalid escape"},
        {R"({"label":"\)", "EOF while parsing a string"},
        {R"({"label":"\uD800"})", "unexpected end of hex escape"},
        {R"({"label":"\uD800\n"})", "unexpected end of hex escape"},
        {R"({"label":"\uDC00"})", "lone leading surrogate in hex escape"},
        {R"({"label":"\uD800\u0041"})", "lone leading surrogate in hex escape"},
        {R"({"label":"\uD800\uD800"})", "lone leading surrogate in hex escape"},
        {R"({"size":01})", "invalid number"},
        {R"({"size":-})", "invalid number"},
        {R"({"size":-x})", "invalid number"},
        {R"({"size":1.})", "invalid number"},
        {R"({"size":1.)", "EOF while parsing a value"},
        {R"({"size":1e})", "invalid number"},
        {R"({"size":1e+})", "invalid number"},
        {R"({"size":+1})", "expected value"},
        {R"({"size":.5})", "expected value"},
        {R"({"size":NaN})", "expected value"},
        {R"({"size":Infinity})", "expected value"},
        {R"({"showLabel":tru})", "expected ident"},
        {R"({"showLabel":True})", "expected value"},
        {R"({"showLabel":nul)", "EOF while parsing a value"},
        {R"({"x":[1,2,]})", "trailing comma"},
        {R"({"x":[1 2]})", "expected `,` or `]`"},
        {R"({"x":[1,)", "EOF while parsing a value"},
        {R"({"x":[)", "EOF while parsing a list"},
        {R"({"x":{"a" 1}})", "expected `:`"},
        {R"({"x":{"a":1,}})", "trailing comma"},
        {R"({"x":{"a":1 "b"}})", "expected `,` or `}`"},
        {R"({"x":{1:1}})", "key must be a string"},
        {R"({"x":{"a":1,2:1}})", "key must be a string"},
        {R"({"x":{)", "EOF while parsing an object"},
        {R"({"x":{"a":1)", "EOF while parsing an object"},
        {R"({"x":tru})", "expected ident"},
        {R"({"x":"\uD800"})", "unexpected end of hex escape"},
        {R"({"x":01})", "invalid number"},
        {R"({"x":})", "expected value"},
        {R"({"x":1 /* c */})", "expected `,` or `}`"},
        {"{/* c */}", "key must be a string"},
    });
}

TEST(NodeRecordRead, ErrorPosition) {
    auto r = decode_node_update("{\n  \"red\": 256\n}");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().line, 2u);
    EXPECT_EQ(r.error().column, 12u);
    EXPECT_EQ(r.error().text(), "invalid value: integer `256`, expected u8 at line 2 column 12");

    auto eof = decode_node_update("");
    ASSERT_FALSE(eof.ok());
    EXPECT_EQ(eof.error().text(), "EOF while parsing a value at line 1 column 0");

    auto trailing = decode_node_update("{}\n x");
    ASSERT_FALSE(trailing.ok());
    EXPECT_EQ(trailing.error().text(), "trailing characters at line 2 column 2");
}

// A skipped value may nest as deep as memory allows; the reader keeps its
// open brackets on the heap, not on the call stack.
TEST(NodeRecordRead, DeeplyNestedSkippedValues) {
    constexpr std::size_t kDepth = 1'000'000;
    const std::string lists = std::string(kDepth, '[') + std::string(kDepth, ']');
    EXPECT_EQ(failure("{\"x\":" + lists + ",\"red\":1}"), "");
    EXPECT_EQ(decoded("{\"x\":" + lists + ",\"red\":1}").get<diff::kRed>(), 1);

    std::string objects;
    for (std::size_t i = 0; i < kDepth / 8; ++i) objects += "{\"a\":[";
    objects += "1";
    for (std::size_t i = 0; i < kDepth / 8; ++i) objects += "]}";
    EXPECT_EQ(failure("{\"x\":" + objects + "}"), "");

    // One bracket short, one too many, and a fault at the bottom.
    expect_refusals({
        {"{\"x\":" + lists.substr(1) + "}", "expected `,` or `}`"},
        {"{\"x\":" + lists.substr(0, lists.size() - 1) + "}", "expected `,` or `]`"},
        {"{\"x\":" + lists.substr(0, lists.size() - 1), "EOF while parsing a list"},
        {"{\"x\":" + std::string(kDepth, '[') + "x", "expected value"},
        {"{\"x\":" + std::string(kDepth, '[') + "1,]", "trailing comma"},
        {"{\"x\":" + objects.substr(0, objects.size() - 1), "EOF while parsing an object"},
    });
}

}  // namespace
}  // namespace quorl::encoding
