// The keys of a node's attribute dict, shared by the conversion that reads
// them and the view that writes them.
#pragma once

#include <Python.h>

#include "binding/api.hpp"
#include "binding/error.hpp"
#include "binding/texts.hpp"

namespace quorl::binding {

namespace attribute_keys_detail {
inline PyObject* objects[kAttributeKeyCount] = {};
}  // namespace attribute_keys_detail

// The key as an interned str, made once and kept for the life of the process.
inline PyObject* attribute_key_object(AttributeKey key) {
    PyObject*& object = attribute_keys_detail::objects[key];
    if (!object) object = expect_new(api::new_interned(texts::kAttributeKeyNames[key].data())).release();
    return object;
}

// The key's interned str if it has been made yet, else null; makes nothing.
inline PyObject* made_attribute_key_object(AttributeKey key) noexcept { return attribute_keys_detail::objects[key]; }

}  // namespace quorl::binding
