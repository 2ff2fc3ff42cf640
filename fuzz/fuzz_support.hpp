// Helpers shared by the fuzz targets: a check that stops the run with a
// message, a plain UTF-8 validator written independently of the reader's, and
// ordered copies of a diff's four collections that compare by value.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "diff/graph_diff.hpp"
#include "diff/node_update.hpp"
#include "diff/uuid.hpp"

namespace quorl::fuzz {

[[noreturn]] inline void check_failed(const char* what, const char* file, int line) {
    std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", what, file, line);
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(cond) \
    do {                 \
        if (!(cond)) ::quorl::fuzz::check_failed(#cond, __FILE__, __LINE__); \
    } while (0)

// Whether [s, s + n) is well-formed UTF-8 (RFC 3629: shortest forms only, no
// surrogates, nothing beyond U+10FFFF). Decodes each sequence to its code
// point and checks the range, which is a different route from the reader's
// table of lead bytes.
inline bool valid_utf8(const std::uint8_t* s, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t b = s[i];
        std::size_t len;
        std::uint32_t cp;
        if (b < 0x80) {
            len = 1;
            cp = b;
        } else if ((b & 0xE0) == 0xC0) {
            len = 2;
            cp = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3;
            cp = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4;
            cp = b & 0x07;
        } else {
            return false;
        }
        if (n - i < len) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        static constexpr std::uint32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMinimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

inline bool valid_utf8(std::string_view s) {
    return valid_utf8(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

using Key = std::array<std::uint8_t, 16>;

inline std::uint32_t bits_of(float f) {
    std::uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

// A node update as plain optionals; sizes compare by their bits.
struct Attributes {
    std::optional<std::string> label;
    std::optional<std::uint32_t> size;
    std::optional<std::string> url;
    std::optional<std::uint8_t> red, green, blue;
    std::optional<bool> show_label;
    bool operator==(const Attributes&) const = default;

    // What the attributes read back as from their node record text: a size
    // that is not finite is written as null and comes back absent.
    Attributes as_read_back() const {
        Attributes out = *this;
        if (out.size) {
            float f;
            std::memcpy(&f, &*out.size, 4);
            if (!std::isfinite(f)) out.size.reset();
        }
        return out;
    }
};

inline Attributes attributes_of(const diff::NodeUpdate& u) {
    Attributes a;
    if (auto v = u.label()) a.label = std::string(*v);
    if (auto v = u.size()) a.size = bits_of(*v);
    if (auto v = u.url()) a.url = std::string(*v);
    a.red = u.red();
    a.green = u.green();
    a.blue = u.blue();
    a.show_label = u.show_label();
    return a;
}

// The four collections in ordered containers. Weights compare by bits, so a
// NaN weight equals itself.
struct Collections {
    std::map<Key, Attributes> nodes;
    std::set<Key> deleted_nodes;
    std::map<Key, std::map<Key, std::uint32_t>> edges;
    std::map<Key, std::set<Key>> deleted_edges;
    bool operator==(const Collections&) const = default;

    Collections as_read_back() const {
        Collections out = *this;
        for (auto& node : out.nodes) node.second = node.second.as_read_back();
        return out;
    }
};

// Copies the collections of `d`, checking on the way that iteration visits
// every entry once: as many distinct keys as each table's size, and each one
// found again by lookup.
inline Collections collections_of(const diff::GraphDiff& d) {
    Collections c;
    for (const auto& n : d.new_or_updated_nodes()) {
        FUZZ_CHECK(c.nodes.emplace(n.key.bytes, attributes_of(n.value)).second);
        FUZZ_CHECK(d.new_or_updated_nodes().find(n.key) == &n.value);
    }
    FUZZ_CHECK(c.nodes.size() == d.new_or_updated_nodes().size());
    for (const auto& n : d.deleted_nodes()) {
        FUZZ_CHECK(c.deleted_nodes.insert(n.key.bytes).second);
        FUZZ_CHECK(d.deleted_nodes().contains(n.key));
    }
    FUZZ_CHECK(c.deleted_nodes.size() == d.deleted_nodes().size());
    for (const auto& g : d.new_or_updated_edges()) {
        auto& targets = c.edges[g.key.bytes];
        FUZZ_CHECK(targets.empty());
        FUZZ_CHECK(d.new_or_updated_edges().find(g.key) == &g.value);
        for (const auto& t : g.value) {
            FUZZ_CHECK(targets.emplace(t.key.bytes, bits_of(t.value)).second);
            FUZZ_CHECK(g.value.find(t.key) == &t.value);
        }
        FUZZ_CHECK(targets.size() == g.value.size());
    }
    FUZZ_CHECK(c.edges.size() == d.new_or_updated_edges().size());
    for (const auto& g : d.deleted_edges()) {
        FUZZ_CHECK(c.deleted_edges.find(g.key.bytes) == c.deleted_edges.end());
        auto& targets = c.deleted_edges[g.key.bytes];
        FUZZ_CHECK(d.deleted_edges().find(g.key) == &g.value);
        for (const auto& t : g.value) {
            FUZZ_CHECK(targets.insert(t.key.bytes).second);
            FUZZ_CHECK(g.value.contains(t.key));
        }
        FUZZ_CHECK(targets.size() == g.value.size());
    }
    FUZZ_CHECK(c.deleted_edges.size() == d.deleted_edges().size());
    return c;
}

}  // namespace quorl::fuzz
