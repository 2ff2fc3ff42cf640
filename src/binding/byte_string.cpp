#include "binding/byte_string.hpp"

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "binding/api.hpp"
#include "binding/texts.hpp"
#include "encoding/encode.hpp"

namespace quorl::binding {
namespace {

PyErr serialize_failed() { return PyErr::new_message(PyExc_Exception, texts::kSerializeFailed); }

}  // namespace

PyResult<Owned> bytes_of(const diff::GraphDiff& diff) {
    auto size = encoding::encoded_size(diff);
    if (!size) return fail(serialize_failed());
    Owned bytes = expect_new(api::new_bytes(static_cast<Py_ssize_t>(*size)));
    encoding::encode_into(diff, reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())));
    return bytes;
}

PyResult<diff::GraphDiff> diff_of_bytes(std::string_view data, std::span<const encoding::UnwrittenSize> unwritten) {
    auto decoded =
        encoding::decode_graph_diff(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), unwritten);
    if (!decoded) return fail(PyErr::new_message(PyExc_Exception, texts::kDeserializeFailed));
    return std::move(*decoded);
}

PyResult<diff::GraphDiff> copy_of(const diff::GraphDiff& diff) {
    auto data = encoding::encode_graph_diff(diff);
    if (!data) return fail(serialize_failed());
    const std::string_view bytes(reinterpret_cast<const char*>(data->data()), data->size());
    return diff_of_bytes(bytes, encoding::unwritten_sizes(diff));
}

Owned unwritten_sizes_tuple(const diff::GraphDiff& diff) {
    const std::vector<encoding::UnwrittenSize> sizes = encoding::unwritten_sizes(diff);
    if (sizes.empty()) return Owned();
    Owned pairs = expect_new(api::new_tuple(static_cast<Py_ssize_t>(sizes.size())));
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        Owned id = expect_new(api::new_bytes(sizeof(diff::Uuid)));
        std::memcpy(PyBytes_AS_STRING(id.get()), sizes[i].id.bytes.data(), sizeof(diff::Uuid));
        Owned value = expect_new(api::new_float(static_cast<double>(sizes[i].size)));
        Owned pair = expect_new(api::new_tuple(2));
        PyTuple_SET_ITEM(pair.get(), 0, id.release());
        PyTuple_SET_ITEM(pair.get(), 1, value.release());
        PyTuple_SET_ITEM(pairs.get(), static_cast<Py_ssize_t>(i), pair.release());
    }
    return pairs;
}

}  // namespace quorl::binding
