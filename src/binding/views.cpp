#include "binding/views.hpp"

#include <cstdint>
#include <cstring>

#include "binding/api.hpp"
#include "binding/attribute_dict.hpp"
#include "binding/process_state.hpp"
#include "encoding/hex_digits.hpp"

namespace quorl::binding {
namespace {

Owned uuid_str(const diff::Uuid& id) {
    const std::array<char, 36> text = uuid_to_text(id);
    return expect_new(api::new_ascii(text.data(), 36));
}

// Inserts into a view's dict; a failure ends the view with the pending error.
PyResult<std::monostate> insert(PyObject* dict, PyObject* key, PyObject* value) {
    if (PyDict_SetItem(dict, key, value) < 0) return fail(fetch_error());
    return std::monostate{};
}

// A collection's size as a dict size hint: a view knows its sizes in
// advance, so its dicts are made at their final size rather than grown.
// (Collections stay far below the largest Py_ssize_t.)
template <class Table>
Py_ssize_t sized(const Table& table) noexcept {
    return static_cast<Py_ssize_t>(table.size());
}

Owned new_text(std::string_view s) { return expect_new(api::new_str(s.data(), static_cast<Py_ssize_t>(s.size()))); }

// A new Python object for an attribute's value.
template <diff::AttributeKind Kind>
Owned python_value(diff::KindValue<Kind> value) {
    using diff::AttributeKind;
    if constexpr (Kind == AttributeKind::Text) {
        return new_text(value);
    } else if constexpr (Kind == AttributeKind::Float) {
        return expect_new(api::new_float(static_cast<double>(value)));  // widened exactly
    } else if constexpr (Kind == AttributeKind::Byte) {
        return expect_new(api::new_int(value));
    } else {
        return Owned::retain(value ? Py_True : Py_False);
    }
}

// Whether the values of an attribute are objects the interpreter shares
// (small ints and bools), rather than made for each node (texts, floats).
constexpr bool shared_values(diff::AttributeKind kind) noexcept {
    return kind == diff::AttributeKind::Byte || kind == diff::AttributeKind::Bool;
}

// Calls visit(AttributeTag<A>{}, value) for each attribute A present in
// `update`, in the order of the attribute dict's keys.
template <class Visit>
[[gnu::always_inline]] inline void for_each_present(const diff::NodeUpdateView& update, Visit&& visit) {
    diff::for_each_attribute<kAttributeDictOrder>([&](auto a) {
        if (auto value = update.get<a>()) visit(a, *value);
    });
}

// Fills a node's attribute dict key by key, in the order of the keys; with
// `placeholders`, the attributes whose values are not shared get None
// instead of their values. A failed insertion only loses that one
// attribute; returns whether none failed.
bool fill_attribute_dict(PyObject* dict, const diff::NodeUpdateView& update, bool placeholders) {
    bool complete = true;
    for_each_present(update, [&](auto a, auto value) {
        constexpr diff::AttributeKind kind = diff::kKindOf<a>;
        Owned object = placeholders && !shared_values(kind) ? Owned::retain(Py_None) : python_value<kind>(value);
        if (PyDict_SetItem(dict, attribute_key_object(a), object.get()) < 0) {
            (void)take_error();
            complete = false;
        }
    });
    return complete;
}

Owned node_update_to_dict(const diff::NodeUpdateView& update) {
    Owned dict = expect_new(api::new_dict_sized(update.present_count()));
    (void)fill_attribute_dict(dict.get(), update, false);
    return dict;
}

// The bits a value of a shared attribute takes in a template's signature.
constexpr int signature_bits(diff::AttributeKind kind) noexcept { return kind == diff::AttributeKind::Byte ? 8 : 1; }
static_assert([] {
    int bits = diff::kAttributeCount;
    for (const diff::AttributeRow& row : diff::kAttributes) {
        if (shared_values(row.kind)) bits += signature_bits(row.kind);
    }
    return bits <= 64;
}(), "a template's signature holds every shared value");

// The same dicts, made faster by copying a template. Nodes that have the
// same attributes present and agree on the attributes whose values are
// shared (the colours and show_label) get dicts with the same keys in the
// same order and the same objects for those values; only the texts and the
// size differ from node to node. A template holds the keys with the shared
// values, and None where a node's own value goes; a copy of it with those
// replaced costs less than a dict built key by key. Up to 16 recent templates
// are kept, by signature.
class AttributeDicts {
public:
    Owned make(const diff::NodeUpdateView& update) {
        const std::uint64_t signature = signature_of(update);
        Slot& slot = slot_for(signature);
        if (!slot.dict) {
            slot.dict = make_template(update);
            slot.signature = signature;
            if (!slot.dict) return node_update_to_dict(update);
        }
        Owned dict = expect_new(api::copy_dict(slot.dict.get()));
        for_each_present(update, [&](auto a, auto value) {
            constexpr diff::AttributeKind kind = diff::kKindOf<a>;
            if constexpr (!shared_values(kind)) {
                // Replacing the value of a key the copy holds does not
                // allocate; should it fail all the same, the attribute is
                // lost rather than left as None.
                PyObject* const name = attribute_key_object(a);
                if (PyDict_SetItem(dict.get(), name, python_value<kind>(value).get()) < 0) {
                    (void)take_error();
                    if (PyDict_DelItem(dict.get(), name) < 0) (void)take_error();
                }
            }
        });
        return dict;
    }

private:
    struct Slot {
        std::uint64_t signature = 0;
        Owned dict;
    };

    // The slot holding the template of `signature`, or the empty slot it
    // goes to. The search starts where the signature hashes to and goes on
    // past the slots of other signatures, so that any 16 of them are kept
    // together however they hash; once every slot is taken, a miss empties
    // them in turn.
    Slot& slot_for(std::uint64_t signature) noexcept {
        const std::size_t start = (signature * 0x9E3779B97F4A7C15ULL) >> 60;
        for (std::size_t k = 0; k < slots_.size(); ++k) {
            Slot& slot = slots_[(start + k) % slots_.size()];
            if (!slot.dict || slot.signature == signature) return slot;
        }
        Slot& victim = slots_[next_victim_++ % slots_.size()];
        victim.dict = Owned();
        return victim;
    }

    // Which attributes are present (bit A for attribute A), and above those
    // the values of the shared ones.
    static std::uint64_t signature_of(const diff::NodeUpdateView& u) noexcept {
        std::uint64_t signature = 0;
        int shift = diff::kAttributeCount;
        diff::for_each_attribute([&](auto a) {
            const auto value = u.get<a>();
            if (value) signature |= std::uint64_t{1} << a;
            if constexpr (shared_values(diff::kKindOf<a>)) {
                if (value) signature |= std::uint64_t{*value} << shift;
                shift += signature_bits(diff::kKindOf<a>);
            }
        });
        return signature;
    }

    // The template, or nothing (and no pending error) when an insertion
    // fails, in which case the node's dict is built key by key.
    static Owned make_template(const diff::NodeUpdateView& update) {
        Owned dict = expect_new(api::new_dict_sized(update.present_count()));
        return fill_attribute_dict(dict.get(), update, true) ? std::move(dict) : Owned();
    }

    std::array<Slot, 16> slots_;
    std::size_t next_victim_ = 0;
};

template <class Set>
Owned text_list(const Set& ids) {
    Owned list = expect_new(api::new_list(static_cast<Py_ssize_t>(ids.size())));
    Py_ssize_t i = 0;
    for (const auto& entry : ids) PyList_SET_ITEM(list.get(), i++, uuid_str(entry.key).release());
    return list;
}

}  // namespace

std::array<char, 36> uuid_to_text(const diff::Uuid& id) noexcept {
    // The two hex digits of every byte value, and where each byte's digits
    // go in the hyphenated text.
    static constexpr auto kPairs = [] {
        constexpr const char* kDigits = encoding::kHexDigits;
        std::array<char, 512> pairs{};
        for (std::size_t b = 0; b < 256; ++b) {
            pairs[2 * b] = kDigits[b >> 4];
            pairs[2 * b + 1] = kDigits[b & 0xF];
        }
        return pairs;
    }();
    static constexpr std::uint8_t kPlace[16] = {0, 2, 4, 6, 9, 11, 14, 16, 19, 21, 24, 26, 28, 30, 32, 34};
    std::array<char, 36> text;
    text[8] = text[13] = text[18] = text[23] = '-';
    for (std::size_t i = 0; i < 16; ++i) std::memcpy(&text[kPlace[i]], &kPairs[2 * id.bytes[i]], 2);
    return text;
}

Owned uuid_text_list(const diff::NodeSet& ids) { return text_list(ids); }
Owned uuid_text_list(const diff::TargetSet& ids) { return text_list(ids); }

PyResult<Owned> new_or_updated_nodes_view(const diff::GraphDiff& diff) {
    Owned result = expect_new(api::new_dict_sized(sized(diff.new_or_updated_nodes())));
    AttributeDicts attribute_dicts;
    for (const auto& entry : diff.new_or_updated_nodes()) {
        Owned attributes = attribute_dicts.make(entry.value);
        Owned key = uuid_str(entry.key);
        QUORL_CHECK(insert(result.get(), key.get(), attributes.get()));
    }
    return result;
}

PyResult<Owned> deleted_nodes_view(const diff::GraphDiff& diff) { return uuid_text_list(diff.deleted_nodes()); }

PyResult<Owned> new_or_updated_edges_view(const diff::GraphDiff& diff) {
    Owned result = expect_new(api::new_dict_sized(sized(diff.new_or_updated_edges())));
    for (const auto& source : diff.new_or_updated_edges()) {
        if (source.value.empty()) continue;  // left behind by delete_node
        Owned targets = expect_new(api::new_dict_sized(sized(source.value)));
        for (const auto& target : source.value) {
            Owned key = uuid_str(target.key);
            Owned weight = expect_new(api::new_float(static_cast<double>(target.value)));
            QUORL_CHECK(insert(targets.get(), key.get(), weight.get()));
        }
        Owned key = uuid_str(source.key);
        QUORL_CHECK(insert(result.get(), key.get(), targets.get()));
    }
    return result;
}

PyResult<Owned> deleted_edges_view(const diff::GraphDiff& diff) {
    Owned result = expect_new(api::new_dict_sized(sized(diff.deleted_edges())));
    for (const auto& source : diff.deleted_edges()) {
        if (source.value.empty()) continue;
        Owned targets = uuid_text_list(source.value);
        Owned key = uuid_str(source.key);
        QUORL_CHECK(insert(result.get(), key.get(), targets.get()));
    }
    return result;
}

}  // namespace quorl::binding
