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
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "diff/graph_diff.hpp"
#include "diff/node_update.hpp"
#include "diff/uuid.hpp"

namespace quorl::model {

// Whether a comparison of a model with a real diff also requires both to list
// their entries in the same order: the store's tables iterate in the order of
// a Python dict under the same calls, as the model does.
inline constexpr bool kCompareOrder = true;

using Key = std::array<std::uint8_t, 16>;

// Floats (weights, sizes) compare by their bits, so a NaN equals itself.
inline bool same_value(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }
template <class V>
bool same_value(const V& a, const V& b) {
    return a == b;
}

template <class V>
inline constexpr bool kIsSet = std::is_same_v<V, std::monostate>;

// A map that iterates in insertion order: the entries in a vector, with an
// index from key to position.
template <class V>
class OrderedMap {
public:
    using Entry = std::pair<Key, V>;

    OrderedMap() = default;
    OrderedMap(std::initializer_list<Entry> entries) {
        for (const Entry& e : entries) (*this)[e.first] = e.second;
    }
    OrderedMap(std::initializer_list<Key> keys) requires kIsSet<V> {
        for (const Key& k : keys) insert(k);
    }

    V* find(const Key& k) {
        auto it = index_.find(k);
        return it == index_.end() ? nullptr : &entries_[it->second].second;
    }
    const V* find(const Key& k) const { return const_cast<OrderedMap*>(this)->find(k); }
    bool contains(const Key& k) const { return index_.count(k) != 0; }

    // The value under `k`; a missing key is inserted at the end with a
    // default value. Assigning to the result replaces the value in place.
    V& operator[](const Key& k) {
        if (V* v = find(k)) return *v;
        index_.emplace(k, entries_.size());
        return entries_.emplace_back(k, V{}).second;
    }
    void insert(const Key& k) { (void)(*this)[k]; }
    bool erase(const Key& k) {
        auto it = index_.find(k);
        if (it == index_.end()) return false;
        const std::size_t at = it->second;
        index_.erase(it);
        entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(at));
        for (auto& position : index_) position.second -= position.second > at ? 1 : 0;
        return true;
    }
    void clear() {
        entries_.clear();
        index_.clear();
    }

    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    auto begin() const { return entries_.begin(); }
    auto end() const { return entries_.end(); }
    auto begin() { return entries_.begin(); }
    auto end() { return entries_.end(); }

    // The same entries, inner maps included, in any order.
    friend bool same_entries(const OrderedMap& a, const OrderedMap& b) {
        return a.size() == b.size() && std::all_of(a.begin(), a.end(), [&](const Entry& e) {
                   const V* w = b.find(e.first);
                   if constexpr (requires(const V& x) { same_entries(x, x); }) {
                       return w && same_entries(e.second, *w);
                   } else {
                       return w && same_value(e.second, *w);
                   }
               });
    }

    // The same entries in the same order.
    friend bool operator==(const OrderedMap& a, const OrderedMap& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Entry& x, const Entry& y) {
            return x.first == y.first && same_value(x.second, y.second);
        });
    }

private:
    std::vector<Entry> entries_;
    std::map<Key, std::size_t> index_;
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

    static Attributes of(const diff::NodeUpdateView& u) {
        Attributes a{.size = u.get<diff::kSize>(),
                     .red = u.get<diff::kRed>(),
                     .green = u.get<diff::kGreen>(),
                     .blue = u.get<diff::kBlue>(),
                     .show_label = u.get<diff::kShowLabel>()};
        if (auto v = u.get<diff::kLabel>()) a.label = std::string(*v);
        if (auto v = u.get<diff::kUrl>()) a.url = std::string(*v);
        return a;
    }

    static_assert(diff::kAttributeCount == 7,
                  "the model names each attribute itself: give a new one a field here, and a line in of(), "
                  "merge(), operator== and describe()");

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
    OrderedMap<Attributes> nodes{};
    OrderedSet deleted_nodes{};
    OrderedMap<OrderedMap<float>> edges{};
    OrderedMap<OrderedSet> deleted_edges{};

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

    // Same collections, in the same order.
    friend bool operator==(const GraphDiffModel&, const GraphDiffModel&) = default;
    // Same collections, in any order.
    friend bool same_entries(const GraphDiffModel& a, const GraphDiffModel& b) {
        return same_entries(a.nodes, b.nodes) && same_entries(a.deleted_nodes, b.deleted_nodes) &&
               same_entries(a.edges, b.edges) && same_entries(a.deleted_edges, b.deleted_edges);
    }
};

// ---- reading and comparing real diffs ---------------------------------------

inline std::string describe(const Key& k) {
    char buf[33];
    for (std::size_t i = 0; i < 16; ++i) std::snprintf(buf + 2 * i, 3, "%02x", k[i]);
    return buf;
}
inline std::string describe(float f) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%g(%08x)", static_cast<double>(f), std::bit_cast<std::uint32_t>(f));
    return buf;
}
inline std::string describe(std::monostate) { return ""; }
inline std::string describe(const Attributes& a) {
    std::string out = "{";
    if (a.label) out += " label=\"" + *a.label + "\"";
    if (a.size) out += " size=" + describe(*a.size);
    if (a.url) out += " url=\"" + *a.url + "\"";
    for (auto [name, v] : {std::pair{" red=", a.red}, {" green=", a.green}, {" blue=", a.blue}}) {
        if (v) out += name + std::to_string(*v);
    }
    if (a.show_label) out += *a.show_label ? " show_label=true" : " show_label=false";
    return out + " }";
}
template <class V>
std::string describe(const OrderedMap<V>& m) {
    std::string out = "[";
    for (const auto& [k, v] : m) out += " " + describe(k) + (kIsSet<V> ? "" : ": " + describe(v));
    return out + " ]";
}
inline std::string describe(const GraphDiffModel& m) {
    return "nodes " + describe(m.nodes) + "\n  deleted_nodes " + describe(m.deleted_nodes) + "\n  edges " +
           describe(m.edges) + "\n  deleted_edges " + describe(m.deleted_edges) + "\n";
}

// Copies a table of the store into `out` in its iteration order, checking on
// the way that iteration meets every key once and that lookup finds each
// entry where iteration met it (what fails is noted in `problems`).
template <class Table, class V>
void read_table(const Table& table, OrderedMap<V>& out, std::string* problems) {
    auto note = [&](const char* what) {
        if (problems) *problems += what;
    };
    for (const auto& slot : table) {
        if (out.contains(slot.key.bytes)) note("a key is visited twice\n");
        if constexpr (std::is_same_v<Table, diff::NodeMap>) {
            const auto found = table.find(slot.key);
            if (!found || !(*found == slot.value)) note("a key is not found where it is visited\n");
        } else if (table.find(slot.key) != &slot.value) {
            note("a key is not found where it is visited\n");
        }
        V& value = out[slot.key.bytes];
        if constexpr (std::is_same_v<V, Attributes>) {
            value = Attributes::of(slot.value);
        } else if constexpr (std::is_same_v<V, float>) {
            value = slot.value;
        } else if constexpr (!kIsSet<V>) {
            read_table(slot.value, value, problems);
        }
    }
    if (out.size() != table.size()) note("a table's size differs from the keys visited\n");
}

// The collections of `d` in its iteration order.
inline GraphDiffModel model_of(const diff::GraphDiff& d, std::string* problems = nullptr) {
    GraphDiffModel m;
    read_table(d.new_or_updated_nodes(), m.nodes, problems);
    read_table(d.deleted_nodes(), m.deleted_nodes, problems);
    read_table(d.new_or_updated_edges(), m.edges, problems);
    read_table(d.deleted_edges(), m.deleted_edges, problems);
    return m;
}

// What differs between two models; empty when they agree. Order counts only
// with `compare_order`.
inline std::string differences(const GraphDiffModel& expected, const GraphDiffModel& actual, bool compare_order) {
    if (compare_order ? expected == actual : same_entries(expected, actual)) return "";
    return "expected " + describe(expected) + "actual   " + describe(actual);
}

// What differs between a model and a real diff, counts and the soundness of
// iteration included; empty when they agree.
inline std::string differences(const GraphDiffModel& expected, const diff::GraphDiff& d,
                               bool compare_order = kCompareOrder) {
    std::string problems;
    const GraphDiffModel actual = model_of(d, &problems);
    if (d.num_nodes() != expected.num_nodes()) problems += "num_nodes differs\n";
    if (d.num_edges() != expected.num_edges()) problems += "num_edges differs\n";
    return problems + differences(expected, actual, compare_order);
}

// As differences(), but with the deleted edges compared in any order: those
// that delete_nodes records come in an order of their own.
inline std::string differences_but_deleted_edge_order(const GraphDiffModel& expected, const diff::GraphDiff& d) {
    std::string problems;
    GraphDiffModel actual = model_of(d, &problems);
    if (d.num_nodes() != expected.num_nodes()) problems += "num_nodes differs\n";
    if (d.num_edges() != expected.num_edges()) problems += "num_edges differs\n";
    if (!same_entries(expected.deleted_edges, actual.deleted_edges)) {
        return problems + "deleted edges differ\n" + differences(expected, actual, false);
    }
    actual.deleted_edges = expected.deleted_edges;
    return problems + differences(expected, actual, true);
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
    // The running figure of the heap bytes against a visit of every entry:
    // a change that forgets to adjust it shows here.
    if (d.heap_bytes() != d.heap_bytes_by_walk()) return "running heap figure differs from the walk";
    // The arena of the node texts: its live bytes are its records', and its
    // dead ones are reclaimed before they pass the live ones.
    const diff::NodeMap& nodes = d.new_or_updated_nodes();
    if (nodes.live_text_bytes() != nodes.live_text_bytes_by_walk()) return "live text bytes differ from the walk";
    if (nodes.dead_text_bytes() >= diff::NodeMap::kMinDeadBytes && nodes.dead_text_bytes() > nodes.live_text_bytes()) {
        return "dead text bytes outnumber the live ones";
    }
    return "";
}

}  // namespace quorl::model
