// The reference model of the graph diff store, shared by the native tests and
// the fuzz targets: the four collections in containers that iterate in
// insertion order (as Python dicts do), the combination rules written out one
// by one, the invariants the operations keep, and the comparison of a model
// with a real GraphDiff.
//
// Order. A key takes its place when first inserted; replacing or merging its
// value keeps the place; a key removed and inserted again goes to the end.
// A model filled from a byte string inserts in the order of the bytes, so a
// repeated key keeps the place of its first occurrence and the value of its
// last.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "diff/graph_diff.hpp"
#include "diff/node_update.hpp"
#include "diff/uuid.hpp"

namespace quorl::model {

// Whether a comparison of a model with a real diff also requires both to list
// their entries in the same order. Off while the store's tables iterate in
// hash order.
inline constexpr bool kCompareOrder = false;

using Key = std::array<std::uint8_t, 16>;

inline std::uint32_t bits_of(float f) {
    std::uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

// Floats (weights, sizes) compare by their bits, so a NaN equals itself.
inline bool same_value(float a, float b) { return bits_of(a) == bits_of(b); }
template <class V>
bool same_value(const V& a, const V& b) {
    return a == b;
}

// A map that iterates in insertion order. Lookup is a linear search: models
// hold a few dozen keys.
template <class V>
class OrderedMap {
public:
    using Entry = std::pair<Key, V>;

    V* find(const Key& k) {
        for (Entry& e : entries_) {
            if (e.first == k) return &e.second;
        }
        return nullptr;
    }
    const V* find(const Key& k) const { return const_cast<OrderedMap*>(this)->find(k); }
    bool contains(const Key& k) const { return find(k) != nullptr; }

    // The value under `k`; a missing key is inserted at the end with a
    // default value. Assigning to the result replaces the value in place.
    V& operator[](const Key& k) {
        if (V* v = find(k)) return *v;
        return entries_.emplace_back(k, V{}).second;
    }
    void insert(const Key& k) { (void)(*this)[k]; }
    bool erase(const Key& k) {
        auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.first == k; });
        if (it == entries_.end()) return false;
        entries_.erase(it);
        return true;
    }

    void clear() { entries_.clear(); }
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    auto begin() { return entries_.begin(); }
    auto end() { return entries_.end(); }
    auto begin() const { return entries_.begin(); }
    auto end() const { return entries_.end(); }

    // The same entries, those of inner maps included, sorted by key.
    OrderedMap sorted() const {
        OrderedMap out = *this;
        std::sort(out.entries_.begin(), out.entries_.end(),
                  [](const Entry& a, const Entry& b) { return a.first < b.first; });
        if constexpr (requires(const V& v) { v.sorted(); }) {
            for (Entry& e : out.entries_) e.second = e.second.sorted();
        }
        return out;
    }

    // The same entries, inner maps included, in any order.
    friend bool same_entries(const OrderedMap& a, const OrderedMap& b) {
        if (a.size() != b.size()) return false;
        for (const Entry& e : a) {
            const V* w = b.find(e.first);
            if (!w) return false;
            if constexpr (requires(const V& v) { v.sorted(); }) {
                if (!same_entries(e.second, *w)) return false;
            } else if (!same_value(e.second, *w)) {
                return false;
            }
        }
        return true;
    }

    // The same entries in the same order.
    friend bool operator==(const OrderedMap& a, const OrderedMap& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Entry& x, const Entry& y) {
            return x.first == y.first && same_value(x.second, y.second);
        });
    }

private:
    std::vector<Entry> entries_;
};

using OrderedSet = OrderedMap<std::monostate>;

// A node update as plain optionals (written with designated initializers:
// {.label = "A", .red = 3}).
struct Attributes {
    std::optional<std::string> label{};
    std::optional<float> size{};
    std::optional<std::string> url{};
    std::optional<std::uint8_t> red{}, green{}, blue{};
    std::optional<bool> show_label{};

    static Attributes of(const diff::NodeUpdate& u) {
        Attributes a;
        if (auto v = u.label()) a.label = std::string(*v);
        a.size = u.size();
        if (auto v = u.url()) a.url = std::string(*v);
        a.red = u.red();
        a.green = u.green();
        a.blue = u.blue();
        a.show_label = u.show_label();
        return a;
    }

    diff::NodeUpdate record() const {
        diff::NodeUpdate u;
        if (label) u.set_label(*label);
        if (size) u.set_size(*size);
        if (url) u.set_url(*url);
        if (red) u.set_red(*red);
        if (green) u.set_green(*green);
        if (blue) u.set_blue(*blue);
        if (show_label) u.set_show_label(*show_label);
        return u;
    }

    // Each attribute present in `newer` replaces the stored one; absent ones
    // leave it as it is.
    void merge(const Attributes& newer) {
        if (newer.label) label = newer.label;
        if (newer.size) size = newer.size;
        if (newer.url) url = newer.url;
        if (newer.red) red = newer.red;
        if (newer.green) green = newer.green;
        if (newer.blue) blue = newer.blue;
        if (newer.show_label) show_label = newer.show_label;
    }

    // As read back from the node record text: a size that is not finite is
    // written as null and comes back absent.
    Attributes as_read_back() const {
        Attributes out = *this;
        if (out.size && !std::isfinite(*out.size)) out.size.reset();
        return out;
    }

    friend bool operator==(const Attributes& a, const Attributes& b) {
        return a.label == b.label && a.url == b.url && a.size.has_value() == b.size.has_value() &&
               (!a.size || same_value(*a.size, *b.size)) && a.red == b.red && a.green == b.green &&
               a.blue == b.blue && a.show_label == b.show_label;
    }
};

// The store's four collections and its combination rules.
struct GraphDiffModel {
    OrderedMap<Attributes> nodes;
    OrderedSet deleted_nodes;
    OrderedMap<OrderedMap<float>> edges;
    OrderedMap<OrderedSet> deleted_edges;

    void add_node(Key id, const Attributes& update) {
        if (Attributes* stored = nodes.find(id)) {
            stored->merge(update);
        } else {
            nodes[id] = update;
        }
        deleted_nodes.erase(id);
    }

    // Pending out-edges vanish; pending in-edges become deleted edges, source
    // by source in the order of the sources, and their sources keep an entry
    // even when it is left empty.
    void delete_node(Key id) {
        nodes.erase(id);
        edges.erase(id);
        for (auto& [source, targets] : edges) {
            if (targets.erase(id)) deleted_edges[source].insert(id);
        }
        deleted_nodes.insert(id);
    }

    // False (and nothing changes) when an endpoint is marked for deletion.
    bool add_edge(Key from, Key to, float weight) {
        if (deleted_nodes.contains(from) || deleted_nodes.contains(to)) return false;
        if (OrderedSet* gone = deleted_edges.find(from)) {
            gone->erase(to);
            if (gone->empty()) deleted_edges.erase(from);
        }
        edges[from][to] = weight;
        return true;
    }

    void delete_edge(Key from, Key to) {
        deleted_edges[from].insert(to);
        if (OrderedMap<float>* targets = edges.find(from)) {
            targets->erase(to);
            if (targets->empty()) edges.erase(from);
        }
    }

    void clear() { *this = GraphDiffModel{}; }

    std::uint64_t num_nodes() const { return nodes.size() + deleted_nodes.size(); }
    std::uint64_t num_edges() const { return edges.size() + deleted_edges.size(); }

    // The model as its byte string reads back.
    GraphDiffModel as_read_back() const {
        GraphDiffModel out = *this;
        for (auto& node : out.nodes) node.second = node.second.as_read_back();
        return out;
    }

    GraphDiffModel sorted() const {
        return {nodes.sorted(), deleted_nodes.sorted(), edges.sorted(), deleted_edges.sorted()};
    }

    // Same collections, in the same order.
    friend bool operator==(const GraphDiffModel&, const GraphDiffModel&) = default;
    // Same collections, in any order.
    friend bool same_entries(const GraphDiffModel& a, const GraphDiffModel& b) {
        return same_entries(a.nodes, b.nodes) && same_entries(a.deleted_nodes, b.deleted_nodes) &&
               same_entries(a.edges, b.edges) && same_entries(a.deleted_edges, b.deleted_edges);
    }
};

// ---- reading and comparing real diffs ---------------------------------------

inline std::string key_text(const Key& k) {
    char buf[33];
    for (std::size_t i = 0; i < 16; ++i) std::snprintf(buf + 2 * i, 3, "%02x", k[i]);
    return buf;
}

inline std::string float_text(float f) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%g(%08x)", static_cast<double>(f), static_cast<unsigned>(bits_of(f)));
    return buf;
}

inline std::string describe(const Attributes& a) {
    std::string out = "{";
    if (a.label) out += " label=\"" + *a.label + "\"";
    if (a.size) out += " size=" + float_text(*a.size);
    if (a.url) out += " url=\"" + *a.url + "\"";
    if (a.red) out += " red=" + std::to_string(*a.red);
    if (a.green) out += " green=" + std::to_string(*a.green);
    if (a.blue) out += " blue=" + std::to_string(*a.blue);
    if (a.show_label) out += *a.show_label ? " show_label=true" : " show_label=false";
    return out + " }";
}
inline std::string describe(float w) { return float_text(w); }
inline std::string describe(std::monostate) { return ""; }

template <class V>
std::string describe(const OrderedMap<V>& m) {
    std::string out = "[";
    for (const auto& [k, v] : m) {
        const std::string value = describe(v);
        out += " " + key_text(k) + (value.empty() ? "" : ": " + value);
    }
    return out + " ]";
}

inline std::string describe(const GraphDiffModel& m) {
    return "nodes " + describe(m.nodes) + "\n  deleted_nodes " + describe(m.deleted_nodes) + "\n  edges " +
           describe(m.edges) + "\n  deleted_edges " + describe(m.deleted_edges) + "\n";
}

// The collections of `d` in its iteration order. Checks on the way that
// iteration meets every entry once and that lookup finds each one where
// iteration met it; whatever fails is appended to `problems`.
inline GraphDiffModel model_of(const diff::GraphDiff& d, std::string& problems) {
    auto check = [&](bool ok, const char* what) {
        if (!ok) problems += std::string(what) + "\n";
    };
    GraphDiffModel m;
    for (const auto& n : d.new_or_updated_nodes()) {
        check(!m.nodes.contains(n.key.bytes), "a node is visited twice");
        check(d.new_or_updated_nodes().find(n.key) == &n.value, "a node is not found where it is visited");
        m.nodes[n.key.bytes] = Attributes::of(n.value);
    }
    check(m.nodes.size() == d.new_or_updated_nodes().size(), "node count differs from the nodes visited");
    for (const auto& n : d.deleted_nodes()) {
        check(!m.deleted_nodes.contains(n.key.bytes), "a deleted node is visited twice");
        check(d.deleted_nodes().contains(n.key), "a deleted node is not found");
        m.deleted_nodes.insert(n.key.bytes);
    }
    check(m.deleted_nodes.size() == d.deleted_nodes().size(), "deleted node count differs from those visited");
    for (const auto& g : d.new_or_updated_edges()) {
        check(!m.edges.contains(g.key.bytes), "an edge source is visited twice");
        check(d.new_or_updated_edges().find(g.key) == &g.value, "an edge source is not found where it is visited");
        auto& targets = m.edges[g.key.bytes];
        for (const auto& t : g.value) {
            check(!targets.contains(t.key.bytes), "an edge target is visited twice");
            check(g.value.find(t.key) == &t.value, "an edge target is not found where it is visited");
            targets[t.key.bytes] = t.value;
        }
        check(targets.size() == g.value.size(), "target count differs from the targets visited");
    }
    check(m.edges.size() == d.new_or_updated_edges().size(), "source count differs from the sources visited");
    for (const auto& g : d.deleted_edges()) {
        check(!m.deleted_edges.contains(g.key.bytes), "a deleted-edge source is visited twice");
        check(d.deleted_edges().find(g.key) == &g.value, "a deleted-edge source is not found where it is visited");
        auto& targets = m.deleted_edges[g.key.bytes];
        for (const auto& t : g.value) {
            check(!targets.contains(t.key.bytes), "a deleted-edge target is visited twice");
            check(g.value.contains(t.key), "a deleted-edge target is not found");
            targets.insert(t.key.bytes);
        }
        check(targets.size() == g.value.size(), "deleted target count differs from the targets visited");
    }
    check(m.deleted_edges.size() == d.deleted_edges().size(), "deleted-edge source count differs from those visited");
    return m;
}

// What differs between two models; empty when they agree. Order counts only
// with `compare_order`.
inline std::string differences(const GraphDiffModel& expected, const GraphDiffModel& actual, bool compare_order) {
    if (compare_order ? expected == actual : same_entries(expected, actual)) return "";
    return "expected " + describe(compare_order ? expected : expected.sorted()) + "actual   " +
           describe(compare_order ? actual : actual.sorted());
}

// What differs between a model and a real diff, counts and the soundness of
// iteration included; empty when they agree.
inline std::string differences(const GraphDiffModel& expected, const diff::GraphDiff& d,
                               bool compare_order = kCompareOrder) {
    std::string problems;
    const GraphDiffModel actual = model_of(d, problems);
    if (d.num_nodes() != expected.num_nodes()) problems += "num_nodes differs\n";
    if (d.num_edges() != expected.num_edges()) problems += "num_edges differs\n";
    return problems + differences(expected, actual, compare_order);
}

// The first invariant of the store that `d` breaks, or empty. Every sequence
// of operations keeps them; a diff read from bytes need not.
inline std::string broken_invariant(const diff::GraphDiff& d) {
    for (const auto& node : d.new_or_updated_nodes()) {
        if (d.deleted_nodes().contains(node.key)) return "node both pending and deleted";
    }
    for (const auto& source : d.new_or_updated_edges()) {
        const diff::TargetSet* deleted = d.deleted_edges().find(source.key);
        for (const auto& target : source.value) {
            if (deleted && deleted->contains(target.key)) return "edge both pending and deleted";
            if (d.deleted_nodes().contains(source.key)) return "pending edge from a deleted node";
            if (d.deleted_nodes().contains(target.key)) return "pending edge to a deleted node";
        }
    }
    for (const auto& source : d.deleted_edges()) {
        if (source.value.empty()) return "empty set of deleted targets";
    }
    return "";
}

}  // namespace quorl::model
