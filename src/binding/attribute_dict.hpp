// The attribute dict: a node's attributes as Python sees them, one key per
// attribute present, the attribute's name (diff/node_attributes.hpp). The
// keys' order, the key objects, and the way back from a key to its
// attribute, for the code that reads such dicts (convert.cpp) and the code
// that writes them (views.cpp).
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <string_view>

#include "binding/process_state.hpp"
#include "diff/node_attributes.hpp"

namespace quorl::binding {

// add_node reads the keys, and the views write them, in this order: the
// texts first, then the others, each in declared order ("label", "url",
// "size", "red", "green", "blue", "show_label"). add_nodes' attribute
// columns come in it too.
inline constexpr auto kAttributeDictOrder = [] {
    std::array<diff::Attribute, diff::kAttributeCount> order{};
    std::size_t n = 0;
    for (const bool texts : {true, false}) {
        for (const diff::AttributeRow& row : diff::kAttributes) {
            if ((row.kind == diff::AttributeKind::Text) == texts) order[n++] = row.attribute;
        }
    }
    return order;
}();

// The attribute's key as an interned str, made on first use (the module
// makes them all as it starts).
inline PyObject* attribute_key_object(diff::Attribute attribute) {
    return interned_name(process_state.attribute_keys[attribute], diff::kAttributes[attribute].name.data());
}

// The key's interned str if it has been made yet, else null; makes nothing.
inline PyObject* made_attribute_key_object(diff::Attribute attribute) noexcept {
    return process_state.attribute_keys[attribute];
}

// The attribute an exact str names, or -1 for any other text. Keys written
// as literals are the interned key objects themselves, told by address.
inline int attribute_of_dict_key(PyObject* key) {
    for (int a = 0; a < diff::kAttributeCount; ++a) {
        if (key == made_attribute_key_object(static_cast<diff::Attribute>(a))) return a;
    }
    if (!PyUnicode_IS_READY(key) || !PyUnicode_IS_ASCII(key)) return -1;
    const std::string_view text(static_cast<const char*>(PyUnicode_DATA(key)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)));
    for (const diff::AttributeRow& row : diff::kAttributes) {
        if (text == row.name) return row.attribute;
    }
    return -1;
}

}  // namespace quorl::binding
