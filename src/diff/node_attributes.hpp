// The attributes of a node update, written down once: the name of each, the
// key it travels under in the node record, the kind of value it holds, and
// their declared order. Every layer that handles the attributes one by one
// (the update's storage, merge and equality, the node record's writer and
// reader, the batches, the conversions from Python and the views) loops
// over this table or indexes it.
//
// Adding an attribute of a kind that exists is a name in the enumeration
// and a row in the table, placed where it goes in declared order (the order
// of the node record's members), and then what the table cannot give, which
// a build or a test asks for:
//   1. Sizes. Every update, pending node and batch item grows by the new
//      value (and a byte more once the presence bits, one per attribute and
//      one per boolean for its value, pass 8: they widen by themselves).
//      The static_asserts on the sizes of NodeScalars and NodeUpdate
//      (node_update.hpp) and NodeMap::Stored (node_map.hpp) fail until they
//      are given the new sizes; bring the memory figures of README.md and
//      bench.py's targets of bytes per node along.
//   2. The node record's array form has one element per attribute
//      (node_record_read.cpp): arrays of the old length no longer read, and
//      their tests (test_node_record.cpp, tests/python/test_bytes.py) fail.
//      Decide whether the reader is to take the shorter arrays, the new
//      attribute absent, before byte strings in that form are kept anywhere.
//   3. The references that name each attribute themselves, to check the
//      table-driven code against: the model of tests/support
//      (graph_diff_model.hpp) and the reference reader of
//      fuzz/fuzz_decode_node_update.cpp assert the count of attributes.
//      Give fuzz_operations.cpp and make_seeds.cpp values of the new one
//      too: nothing checks that they do.
//   4. A float attribute: a NaN or infinite value is written as null and
//      reads back absent. The pickle of a diff carries such values of
//      `size` beside its byte string (encoding::unwritten_sizes,
//      decode.hpp), and of no other attribute.
//   5. The binding. Asserted at build time, so the build names them:
//      add_nodes' parameter list and text signature (binding/texts.hpp,
//      kAddNodesParameters and kAddNodes: a column per attribute, in the
//      order of the attribute dict) and the nodes table's columns
//      (binding/arrow_table.cpp, kNodeColumns: one per attribute, named
//      after it). Not asserted, so bring them along by hand: the stub
//      (quorl_api.pyi: NodeAttributes, add_nodes' keywords and the
//      docstrings that list the attributes), the tests' list of attributes
//      and columns (tests/python/conftest.py: ATTRIBUTE_ORDER,
//      NODE_COLUMNS, the add_nodes signature of METHODS), the pure-Python
//      implementation (tests/support/pure_graph_diff.py) and the README's
//      tables of attributes. A byte attribute shares the colours' range
//      check and error text (kByteOutOfRange).
// A new kind of value needs a member of AttributeKind, a KindValue, and its
// own code wherever the kinds are told apart (`if constexpr` on kKindOf):
// in the binding, a conversion from Python (AttributeConversion,
// convert.cpp), a value for the views (views.cpp), the buffer and Arrow
// readers of a batch's column (batch_buffer.cpp, batch_arrow.cpp) and an
// Arrow format of the nodes table (format_of, arrow_table.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace quorl::diff {

// What an attribute holds.
enum class AttributeKind : std::uint8_t {
    Text,   // UTF-8 text, owned by the update
    Float,  // 32-bit float
    Byte,   // unsigned 8-bit integer
    Bool,
};

// The attributes in declared order: the order of the members a node record
// writes and of the elements of its array form.
enum Attribute : int { kLabel, kSize, kUrl, kRed, kGreen, kBlue, kShowLabel };

struct AttributeRow {
    Attribute attribute;
    AttributeKind kind;
    // The key of the attribute dict in Python, and the name of add_nodes'
    // column of this attribute. A literal, so its data() ends with a NUL.
    std::string_view name;
    // The key of the member in the node record.
    std::string_view wire_key;
};

inline constexpr AttributeRow kAttributes[] = {
    {kLabel, AttributeKind::Text, "label", "label"},
    {kSize, AttributeKind::Float, "size", "size"},
    {kUrl, AttributeKind::Text, "url", "url"},
    {kRed, AttributeKind::Byte, "red", "red"},
    {kGreen, AttributeKind::Byte, "green", "green"},
    {kBlue, AttributeKind::Byte, "blue", "blue"},
    {kShowLabel, AttributeKind::Bool, "show_label", "showLabel"},
};
inline constexpr int kAttributeCount = static_cast<int>(std::size(kAttributes));

static_assert([] {
    for (int a = 0; a < kAttributeCount; ++a) {
        if (kAttributes[a].attribute != a) return false;
    }
    return true;
}(), "the rows are in the order of the enumeration");

// The value an attribute of each kind holds (a text as a view of the bytes
// the update owns).
template <AttributeKind Kind>
using KindValue = std::tuple_element_t<static_cast<std::size_t>(Kind),
                                       std::tuple<std::string_view, float, std::uint8_t, bool>>;

template <Attribute A>
inline constexpr AttributeKind kKindOf = kAttributes[A].kind;
template <Attribute A>
using AttributeValue = KindValue<kKindOf<A>>;

// How many attributes are of `kind`, and the place of attribute `a` among
// those of its kind, counted in declared order.
constexpr int count_of_kind(AttributeKind kind) noexcept {
    int n = 0;
    for (const AttributeRow& row : kAttributes) n += row.kind == kind;
    return n;
}
constexpr int index_in_kind(Attribute a) noexcept {
    int n = 0;
    for (int b = 0; b < a; ++b) n += kAttributes[b].kind == kAttributes[a].kind;
    return n;
}
inline constexpr int kTextCount = count_of_kind(AttributeKind::Text);

// An attribute as a type, for code that differs by attribute at compile
// time: `tag` converts to the attribute, as a constant expression.
template <Attribute A>
using AttributeTag = std::integral_constant<Attribute, A>;

// The attributes in declared order, as a list that other orders are given in.
inline constexpr auto kDeclaredOrder = [] {
    std::array<Attribute, kAttributeCount> order{};
    for (int a = 0; a < kAttributeCount; ++a) order[a] = static_cast<Attribute>(a);
    return order;
}();

// Calls visit(AttributeTag<A>{}) for every attribute A, in `Order` (an
// array of all the attributes, declared order unless given).
template <const auto& Order = kDeclaredOrder, class Visit>
[[gnu::always_inline]] constexpr void for_each_attribute(Visit&& visit) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (visit(AttributeTag<Order[I]>{}), ...);
    }(std::make_index_sequence<std::size(Order)>{});
}

// The same while visit returns true; whether it always did.
template <const auto& Order = kDeclaredOrder, class Visit>
[[gnu::always_inline]] constexpr bool all_attributes(Visit&& visit) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return (visit(AttributeTag<Order[I]>{}) && ...);
    }(std::make_index_sequence<std::size(Order)>{});
}

// A table with one entry per attribute, made by make(AttributeTag<A>{}):
// the means of going from an attribute known only at run time to code made
// for it at compile time.
template <class Make>
constexpr auto per_attribute(Make&& make) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return std::array{make(AttributeTag<static_cast<Attribute>(I)>{})...};
    }(std::make_index_sequence<kAttributeCount>{});
}

}  // namespace quorl::diff
