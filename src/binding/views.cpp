#include "binding/views.hpp"

#include "binding/api.hpp"
#include "binding/attribute_keys.hpp"

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

}  // namespace

std::array<char, 36> uuid_to_text(const diff::Uuid& id) noexcept {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::array<char, 36> text;
    std::size_t out = 0;
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text[out++] = '-';
        text[out++] = kDigits[id.bytes[i] >> 4];
        text[out++] = kDigits[id.bytes[i] & 0xF];
    }
    return text;
}

Owned node_update_to_dict(const diff::NodeUpdate& update) {
    Owned dict = expect_new(api::new_dict());
    auto put = [&](AttributeKey key, Owned value) {
        // A failed insertion only loses this one attribute.
        if (PyDict_SetItem(dict.get(), attribute_key_object(key), value.get()) < 0) (void)take_error();
    };
    auto text = [](std::string_view s) {
        return expect_new(api::new_str(s.data(), static_cast<Py_ssize_t>(s.size())));
    };
    if (auto label = update.label()) put(kLabel, text(*label));
    if (auto url = update.url()) put(kUrl, text(*url));
    if (auto size = update.size()) put(kSize, expect_new(api::new_float(static_cast<double>(*size))));
    if (auto red = update.red()) put(kRed, expect_new(api::new_int(*red)));
    if (auto green = update.green()) put(kGreen, expect_new(api::new_int(*green)));
    if (auto blue = update.blue()) put(kBlue, expect_new(api::new_int(*blue)));
    if (auto show = update.show_label()) put(kShowLabel, Owned::retain(*show ? Py_True : Py_False));
    return dict;
}

Owned uuid_text_list(const diff::FlatSet& ids) {
    Owned list = expect_new(api::new_list(static_cast<Py_ssize_t>(ids.size())));
    Py_ssize_t i = 0;
    for (const auto& entry : ids) PyList_SET_ITEM(list.get(), i++, uuid_str(entry.key).release());
    return list;
}

PyResult<Owned> new_or_updated_nodes_view(const diff::GraphDiff& diff) {
    Owned result = expect_new(api::new_dict());
    for (const auto& entry : diff.new_or_updated_nodes()) {
        Owned attributes = node_update_to_dict(entry.value);
        Owned key = uuid_str(entry.key);
        auto inserted = insert(result.get(), key.get(), attributes.get());
        if (!inserted) return fail(std::move(inserted).error());
    }
    return result;
}

PyResult<Owned> deleted_nodes_view(const diff::GraphDiff& diff) { return uuid_text_list(diff.deleted_nodes()); }

PyResult<Owned> new_or_updated_edges_view(const diff::GraphDiff& diff) {
    Owned result = expect_new(api::new_dict());
    for (const auto& source : diff.new_or_updated_edges()) {
        if (source.value.empty()) continue;  // left behind by delete_node
        Owned targets = expect_new(api::new_dict());
        for (const auto& target : source.value) {
            Owned key = uuid_str(target.key);
            Owned weight = expect_new(api::new_float(static_cast<double>(target.value)));
            auto inserted = insert(targets.get(), key.get(), weight.get());
            if (!inserted) return fail(std::move(inserted).error());
        }
        Owned key = uuid_str(source.key);
        auto inserted = insert(result.get(), key.get(), targets.get());
        if (!inserted) return fail(std::move(inserted).error());
    }
    return result;
}

PyResult<Owned> deleted_edges_view(const diff::GraphDiff& diff) {
    Owned result = expect_new(api::new_dict());
    for (const auto& source : diff.deleted_edges()) {
        if (source.value.empty()) continue;
        Owned targets = uuid_text_list(source.value);
        Owned key = uuid_str(source.key);
        auto inserted = insert(result.get(), key.get(), targets.get());
        if (!inserted) return fail(std::move(inserted).error());
    }
    return result;
}

}  // namespace quorl::binding
