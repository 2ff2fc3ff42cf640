// Writes the starting corpora of the fuzz targets from the test vectors of
// the byte string and the node record: make_seeds <dir> fills
// <dir>/corpus-decode_graph_diff, <dir>/corpus-decode_node_update and
// <dir>/corpus-operations (created if missing). File names are a hash of the
// content, so running it again adds nothing twice.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "diff/graph_diff.hpp"
#include "encoding/encode.hpp"

namespace {

using namespace quorl;
using Bytes = std::vector<std::uint8_t>;

void write_seed(const std::filesystem::path& dir, const Bytes& content) {
    std::uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a
    for (std::uint8_t b : content) h = (h ^ b) * 0x100000001b3ULL;
    char name[32];
    std::snprintf(name, sizeof name, "seed-%016llx", static_cast<unsigned long long>(h));
    std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(content.data()),
                                                      static_cast<std::streamsize>(content.size()));
}

void write_seed(const std::filesystem::path& dir, std::string_view content) {
    write_seed(dir, Bytes(content.begin(), content.end()));
}

// Hand-made byte strings, item by item.
class Builder {
public:
    Builder& u64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    Builder& id(std::uint8_t n, std::uint64_t length = 16) {
        u64(length);
        for (std::uint64_t i = 0; i < length && i < 64; ++i) out.push_back(static_cast<std::uint8_t>(n + 0x11 * i));
        return *this;
    }
    Builder& text(std::string_view t) {
        u64(t.size());
        out.insert(out.end(), t.begin(), t.end());
        return *this;
    }
    Builder& weight(std::uint32_t bits) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
        return *this;
    }
    Builder& raw(std::string_view t) {
        out.insert(out.end(), t.begin(), t.end());
        return *this;
    }
    Bytes out;
};

diff::Uuid uuid(std::uint8_t n) {
    diff::Uuid id;
    for (int i = 0; i < 16; ++i) id.bytes[i] = static_cast<std::uint8_t>(0x11 * i);
    id.bytes[0] = n;
    return id;
}

// Node record texts: the forms the writer produces and the cases the reader
// must accept or refuse.
const std::vector<std::string_view> kRecords = {
    "{}",
    "{\"label\":\"A\"}",
    "{\"label\":\"\"}",
    "{\"label\":\"q\\\"b\\\\n\\nc\\u0001\"}",
    "{\"label\":\"\xE6\x97\xA5\xE6\x9C\xAC\"}",
    "{\"label\":\"\\ud83d\\ude00 \\u00e9\"}",
    "{\"label\":\"A\",\"size\":2.5,\"url\":\"http://x/y\",\"red\":255,\"green\":0,\"blue\":7,\"showLabel\":true}",
    "{\"size\":null}",
    "{\"size\":1e13}",
    "{\"size\":1000000000000.0}",
    "{\"size\":0.000001}",
    "{\"size\":1e-7}",
    "{\"size\":-0.0}",
    "{\"size\":3}",
    "{\"size\":1e39}",
    "{\"size\":1e400}",
    "{\"size\":-9223372036854775808}",
    "{\"size\":18446744073709551616}",
    "{\"size\":3.4028235e38}",
    "{\"red\":256}",
    "{\"red\":-1}",
    "{\"red\":255.0}",
    "{\"showLabel\":false}",
    "{\"show_label\":true}",
    "{\"label\":null,\"label\":\"x\"}",
    "{\"other\":[1,{\"a\":[true,false,null]},\"s\"],\"red\":1}",
    "[null,null,null,null,null,null,null]",
    "[\"a\",1.5,\"u\",1,2,3,true]",
    "[null,null,null,null,null,null]",
    "[null,null,null,null,null,null,null,null]",
    "[null,null,null,null,null,null,null,]",
    " {\"red\" : 1 } \n\r\t",
    "{\"red\":1} x",
    "{\"red\":1,}",
    "{\"red\" 1}",
    "{red:1}",
    "{\"label\":\"\\ud800\"}",
    "{\"label\":\"\\udc00\"}",
    "{\"label\":\"\\x\"}",
    "{\"label\":\"\x01\"}",
    "{\"size\":01}",
    "{\"size\":-}",
    "{\"size\":1.}",
    "{\"size\":1e}",
    "nul",
    "true",
    "\"text\"",
    "12",
    "",
    "{\"label\":\"\xC3\x28\"}",
    "{\"x\":\"\xED\xA0\x80\"}",
    "{\"label\":\"\xF0\x9F\x98\"}",
};

diff::GraphDiff random_diff(std::mt19937_64& rng, int ops) {
    diff::GraphDiff d;
    auto pick = [&](unsigned n) { return static_cast<unsigned>(rng() % n); };
    for (int k = 0; k < ops; ++k) {
        const auto a = uuid(static_cast<std::uint8_t>(pick(8)));
        const auto b = uuid(static_cast<std::uint8_t>(pick(8)));
        switch (pick(5)) {
            case 0: {
                diff::NodeUpdate u;
                if (pick(2)) u.set<diff::kLabel>(pick(2) ? "node \"x\"\n" : "\xC3\xA9t\xC3\xA9");
                if (pick(2)) u.set<diff::kSize>(pick(3) == 0 ? std::numeric_limits<float>::quiet_NaN() : 0.1f * pick(100));
                if (pick(2)) u.set<diff::kUrl>("http://example.org/");
                if (pick(2)) u.set<diff::kRed>(static_cast<std::uint8_t>(pick(256)));
                if (pick(2)) u.set<diff::kShowLabel>(pick(2));
                d.add_node(a, std::move(u));
                break;
            }
            case 1: d.delete_node(a); break;
            case 2:
            case 3: (void)d.add_edge(a, b, 0.25f * static_cast<float>(pick(9))); break;
            case 4: d.delete_edge(a, b); break;
        }
    }
    return d;
}

void graph_diff_seeds(const std::filesystem::path& dir) {
    write_seed(dir, Bytes(32, 0));
    // One node with the label A; one edge of weight 0.5.
    write_seed(dir, Builder().u64(1).id(0).text("{\"label\":\"A\"}").u64(0).u64(0).u64(0).out);
    write_seed(dir, Builder().u64(0).u64(0).u64(1).id(1).u64(1).id(2).weight(0x3F000000).u64(0).out);
    // Every section filled, an empty group, a NaN weight, trailing bytes.
    write_seed(dir, Builder()
                        .u64(2).id(1).text("{}").id(2).text("[\"a\",1.5,\"u\",1,2,3,true]")
                        .u64(2).id(3).id(4)
                        .u64(2).id(1).u64(2).id(2).weight(0x7FC00000).id(5).weight(0xFF800000).id(6).u64(0)
                        .u64(1).id(7).u64(2).id(1).id(3)
                        .raw("trailing")
                        .out);
    // Repeated keys: later node text wins, later groups replace whole.
    write_seed(dir, Builder()
                        .u64(2).id(1).text("{\"red\":300}").id(1).text("{\"red\":3}")
                        .u64(2).id(2).id(2)
                        .u64(2).id(3).u64(1).id(4).weight(0).id(3).u64(1).id(5).weight(0x3F800000)
                        .u64(2).id(3).u64(1).id(4).id(3).u64(2).id(5).id(5)
                        .out);
    // Refusals: a count beyond 32 bits, identifier lengths 15 and 17, a
    // forged count, a bad record, bad UTF-8, truncation.
    write_seed(dir, Builder().u64(0x100000000ULL).u64(0).u64(0).u64(0).out);
    write_seed(dir, Builder().u64(0).u64(1).id(1, 15).u64(0).u64(0).out);
    write_seed(dir, Builder().u64(0).u64(1).id(1, 17).u64(0).u64(0).out);
    write_seed(dir, Builder().u64(1000000).out);
    write_seed(dir, Builder().u64(1).id(1).text("{\"label\":1}").u64(0).u64(0).u64(0).out);
    write_seed(dir, Builder().u64(1).id(1).text("{\"label\":\"\xFF\"}").u64(0).u64(0).u64(0).out);
    write_seed(dir, Builder().u64(0).u64(0).u64(1).id(1).u64(1).id(2).raw("\x01\x02").out);
    for (std::string_view record : kRecords) {
        write_seed(dir, Builder().u64(1).id(9).text(record).u64(0).u64(0).u64(0).out);
    }
    // Diffs built by operations, as the writer lays them out.
    std::mt19937_64 rng(0x5eed);
    for (int ops : {3, 10, 30, 60, 120}) {
        auto bytes = encoding::encode_graph_diff(random_diff(rng, ops));
        if (bytes) write_seed(dir, *bytes);
    }
}

void node_record_seeds(const std::filesystem::path& dir) {
    for (std::string_view record : kRecords) write_seed(dir, record);
    write_seed(dir, std::string(200, '[') + std::string(200, ']'));
    write_seed(dir, "{\"x\":" + std::string(100, '[') + std::string(100, ']') + "}");
}

// Programs for the operation target: opcode bytes followed by their operands
// (see fuzz_operations.cpp), from the sequences the store's rules single out.
void operation_seeds(const std::filesystem::path& dir) {
    auto node = [](std::uint8_t n) { return n; };
    const std::uint8_t a = node(40), b = node(41), x = node(42), z = node(43);
    auto add_node = [](Bytes& p, std::uint8_t id, std::uint8_t mask) {
        p.insert(p.end(), {0, id, mask});
        if (mask & 1) p.insert(p.end(), {2, 0, 9});
        if (mask & 2) p.insert(p.end(), {0, 0, 0x80, 0x3F});
        if (mask & 4) p.insert(p.end(), {1, 10});
        if (mask & 8) p.push_back(255);
        if (mask & 16) p.push_back(0);
        if (mask & 32) p.push_back(7);
    };
    auto add_edge = [](Bytes& p, std::uint8_t f, std::uint8_t t) { p.insert(p.end(), {3, f, t, 0, 0, 0, 0x3F}); };
    auto delete_node = [](Bytes& p, std::uint8_t id) { p.insert(p.end(), {2, id}); };
    auto delete_edge = [](Bytes& p, std::uint8_t f, std::uint8_t t) { p.insert(p.end(), {5, f, t}); };

    Bytes p;
    add_edge(p, a, x);
    add_edge(p, x, b);
    delete_node(p, x);
    delete_edge(p, a, z);
    write_seed(dir, p);

    p.clear();
    add_node(p, x, 0x7F);
    add_node(p, x, 0xC8);
    delete_node(p, x);
    add_node(p, x, 0);
    add_edge(p, x, x);
    delete_node(p, x);
    add_edge(p, a, x);
    write_seed(dir, p);

    p.clear();
    delete_edge(p, a, b);
    add_edge(p, a, b);
    add_edge(p, a, b);
    delete_edge(p, a, b);
    p.insert(p.end(), {7, 2});  // round trip
    add_node(p, a, 0xFF);
    p.insert(p.end(), {7, 0});  // clear
    add_edge(p, a, b);
    write_seed(dir, p);

    // Many colliding identifiers (the first 32 of the pool) in and out.
    p.clear();
    for (std::uint8_t i = 0; i < 32; ++i) add_edge(p, i, static_cast<std::uint8_t>(31 - i));
    for (std::uint8_t i = 0; i < 32; i += 3) delete_node(p, i);
    for (std::uint8_t i = 0; i < 32; i += 2) delete_edge(p, i, static_cast<std::uint8_t>(31 - i));
    p.insert(p.end(), {7, 3});  // move
    write_seed(dir, p);

    // Batches: edges from sources in any order with repeats, their sources
    // deleted by delete_nodes, edges deleted and nodes added in batches;
    // the second program makes each batch run out of memory partway.
    for (const std::uint8_t fail : {0x00, 0x83}) {
        p.clear();
        p.insert(p.end(), {7, 4, 24});
        for (std::uint8_t i = 0; i < 24; ++i) p.insert(p.end(), {static_cast<std::uint8_t>(i * 5 % 7 + 32), static_cast<std::uint8_t>(i + 8)});
        p.insert(p.end(), {1, 0, 0, 0x40, 0x3F, fail});  // one weight for all
        p.insert(p.end(), {7, 5, 3, 32, 8, 0x81, 9, 33, 10, fail});
        p.insert(p.end(), {7, 6, 2, 34, 0, 0, 35, 0, 0x01, 2, 0, 9, fail});
        p.insert(p.end(), {7, 7, 4, 0x80, 0, 0x81, 0, 0x82, 0, 8, 0, fail});
        write_seed(dir, p);
    }

    std::mt19937_64 rng(0x0b5);
    for (int n = 0; n < 8; ++n) {
        Bytes random(64 + 64 * static_cast<std::size_t>(n));
        for (auto& byte : random) byte = static_cast<std::uint8_t>(rng());
        write_seed(dir, random);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <dir>\n", argv[0]);
        return 2;
    }
    const std::filesystem::path root = argv[1];
    const std::filesystem::path graph = root / "corpus-decode_graph_diff";
    const std::filesystem::path record = root / "corpus-decode_node_update";
    const std::filesystem::path operations = root / "corpus-operations";
    for (const auto& dir : {graph, record, operations}) std::filesystem::create_directories(dir);
    graph_diff_seeds(graph);
    node_record_seeds(record);
    operation_seeds(operations);
    return 0;
}
