// The contents of a diff as plain Python objects: dicts, lists, str, float,
// int and bool, built fresh on every call.
#pragma once

#include <Python.h>

#include <array>

#include "binding/error.hpp"
#include "diff/graph_diff.hpp"

namespace quorl::binding {

// 36 characters: lowercase hex in stored byte order, hyphenated 8-4-4-4-12.
std::array<char, 36> uuid_to_text(const diff::Uuid& id) noexcept;

// The text forms of a set's members, in its order.
Owned uuid_text_list(const diff::NodeSet& ids);
Owned uuid_text_list(const diff::TargetSet& ids);

PyResult<Owned> new_or_updated_nodes_view(const diff::GraphDiff& diff);
PyResult<Owned> deleted_nodes_view(const diff::GraphDiff& diff);
PyResult<Owned> new_or_updated_edges_view(const diff::GraphDiff& diff);
PyResult<Owned> deleted_edges_view(const diff::GraphDiff& diff);

}  // namespace quorl::binding
