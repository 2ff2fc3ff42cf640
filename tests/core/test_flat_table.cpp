// The Uuid-keyed open-addressing table: behaviour against std::map, collision
// runs and backward-shift deletion, reproducible iteration order, storage reuse
// and moves.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <random>
#include <set>
#include <vector>

#include "diff/flat_table.hpp"
#include "diff/uuid.hpp"

namespace quorl::diff {
namespace {

// An identifier as an ordered key of the standard containers used as models.
struct Key {
    std::array<std::uint8_t, 16> b;
    Key(const std::array<std::uint8_t, 16>& bytes) : b(bytes) {}  // NOLINT: implicit on purpose
    auto operator<=>(const Key&) const = default;
};

void PrintTo(const Key& k, std::ostream* os) {
    static const char digits[] = "0123456789abcdef";
    for (std::uint8_t byte : k.b) *os << digits[byte >> 4] << digits[byte & 15];
}

Uuid make_key(std::uint64_t n) {
    Uuid id;
    for (int i = 0; i < 8; ++i) {
        id.bytes[i] = static_cast<std::uint8_t>(n >> (8 * i));
        id.bytes[8 + i] = static_cast<std::uint8_t>((n * 0x9e3779b97f4a7c15ULL) >> (8 * i));
    }
    return id;
}

// A value that counts live instances, so that a missed or doubled destructor
// in erase, clear, growth or moves shows up as a wrong count.
struct Counted {
    static inline long live = 0;
    std::int64_t v = -1;
    Counted() { ++live; }
    explicit Counted(std::int64_t x) : v(x) { ++live; }
    Counted(Counted&& o) noexcept : v(o.v) { ++live; }
    Counted& operator=(Counted&& o) noexcept {
        v = o.v;
        return *this;
    }
    ~Counted() { --live; }
};

class FlatTableTest : public ::testing::Test {
protected:
    void SetUp() override { Counted::live = 0; }
    void TearDown() override { EXPECT_EQ(Counted::live, 0) << "a value was leaked or destroyed twice"; }
};

// Every key is visited exactly once, with the value the model holds.
template <class V, class Model>
void expect_matches(const FlatTable<V>& table, const Model& model) {
    ASSERT_EQ(table.size(), model.size());
    ASSERT_EQ(table.empty(), model.empty());
    std::set<Key> seen;
    std::size_t visited = 0;
    for (const auto& slot : table) {
        ++visited;
        ASSERT_TRUE(seen.insert(slot.key.bytes).second) << "key visited twice";
        auto it = model.find(slot.key.bytes);
        ASSERT_NE(it, model.end()) << "iteration produced a key that is not in the table";
        if constexpr (std::is_same_v<V, Counted>) {
            ASSERT_EQ(slot.value.v, it->second);
        }
    }
    ASSERT_EQ(visited, model.size());
}

template <class V>
std::vector<Key> order_of(const FlatTable<V>& table) {
    std::vector<Key> keys;
    for (const auto& slot : table) keys.push_back(slot.key.bytes);
    return keys;
}

TEST_F(FlatTableTest, RandomOperationsAgreeWithStdMap) {
    std::mt19937_64 rng(20240611);
    FlatTable<Counted> table;
    std::map<Key, std::int64_t> model;
    // The pool size swings between phases so that the table grows, drains to
    // empty and grows again.
    const std::size_t pools[] = {8, 300, 2000, 40, 1000, 1};
    for (std::size_t pool : pools) {
        std::uniform_int_distribution<std::uint64_t> pick(0, pool - 1);
        for (int step = 0; step < 6000; ++step) {
            const Uuid k = make_key(pick(rng));
            const std::int64_t v = static_cast<std::int64_t>(rng() >> 1);
            switch (rng() % 6) {
                case 0:
                case 1: {
                    table.insert_or_assign(k, Counted(v));
                    model[k.bytes] = v;
                    break;
                }
                case 2: {
                    auto entry = table.try_emplace(k);
                    const bool absent = model.count(k.bytes) == 0;
                    ASSERT_EQ(entry.inserted, absent);
                    if (absent) {
                        ASSERT_EQ(entry.value.v, -1) << "a new entry starts default-constructed";
                        entry.value.v = v;
                        model[k.bytes] = v;
                    } else {
                        ASSERT_EQ(entry.value.v, model[k.bytes]);
                    }
                    break;
                }
                case 3:
                case 4: {
                    ASSERT_EQ(table.erase(k), model.erase(k.bytes) == 1);
                    break;
                }
                default: {
                    const Counted* found = table.find(k);
                    auto it = model.find(k.bytes);
                    ASSERT_EQ(found != nullptr, it != model.end());
                    ASSERT_EQ(table.contains(k), it != model.end());
                    if (found) {
                        ASSERT_EQ(found->v, it->second);
                    }
                    break;
                }
            }
            ASSERT_EQ(table.size(), model.size());
            ASSERT_EQ(Counted::live, static_cast<long>(model.size()));
            if (step % 97 == 0) expect_matches(table, model);
        }
        expect_matches(table, model);
        // Drain through iteration-order keys, which also checks that erase
        // copes with a key that refers into the table itself.
        if (pool == 2000) {
            while (!table.empty()) {
                const Key k = table.begin()->key.bytes;
                ASSERT_TRUE(table.erase(table.begin()->key));
                model.erase(k);
            }
            expect_matches(table, model);
        }
    }
}

TEST_F(FlatTableTest, KeysDifferingInOneByteAreDistinct) {
    for (int position : {0, 7, 8, 15}) {
        FlatTable<Counted> table;
        Uuid base = make_key(12345);
        for (int b = 0; b < 256; ++b) {
            Uuid k = base;
            k.bytes[position] = static_cast<std::uint8_t>(b);
            table.insert_or_assign(k, Counted(b));
        }
        ASSERT_EQ(table.size(), 256u) << "byte " << position;
        for (int b = 0; b < 256; b += 2) {
            Uuid k = base;
            k.bytes[position] = static_cast<std::uint8_t>(b);
            ASSERT_TRUE(table.erase(k));
        }
        for (int b = 0; b < 256; ++b) {
            Uuid k = base;
            k.bytes[position] = static_cast<std::uint8_t>(b);
            const Counted* found = table.find(k);
            if (b % 2 == 0) {
                EXPECT_EQ(found, nullptr) << "byte " << position << " value " << b;
            } else {
                ASSERT_NE(found, nullptr) << "byte " << position << " value " << b;
                EXPECT_EQ(found->v, b);
            }
        }
    }
}

// Keys whose home slots in a table of `capacity` slots fall on the given
// homes, `per_home` keys for each; the table's own hash decides the homes.
std::vector<Uuid> keys_with_homes(std::size_t capacity, const std::vector<std::size_t>& homes, int per_home) {
    std::map<std::size_t, int> wanted;
    for (std::size_t h : homes) wanted[h] = per_home;
    std::vector<Uuid> keys;
    for (std::uint64_t n = 0; keys.size() < homes.size() * per_home; ++n) {
        const Uuid k = make_key(n);
        auto it = wanted.find(hash_uuid(k) & (capacity - 1));
        if (it != wanted.end() && it->second > 0) {
            --it->second;
            keys.push_back(k);
        }
    }
    return keys;
}

TEST_F(FlatTableTest, BackwardShiftKeepsCollidingRunsReachable) {
    // A fixed-size table with long collision runs, one of which wraps around
    // the end of the slot array, emptied in many different orders.
    FlatTable<Counted> probe;
    probe.reserve(40);
    const std::size_t capacity = probe.capacity();
    ASSERT_GE(FlatTable<Counted>::max_load(capacity), 40u);
    const std::vector<Uuid> keys =
        keys_with_homes(capacity, {capacity - 3, capacity - 1, 0, 1, 5, 6, 7, 20}, 5);

    std::mt19937_64 rng(7);
    for (int round = 0; round < 300; ++round) {
        std::vector<Uuid> inserts = keys;
        std::shuffle(inserts.begin(), inserts.end(), rng);
        FlatTable<Counted> table;
        table.reserve(inserts.size());
        std::map<Key, std::int64_t> model;
        for (std::size_t i = 0; i < inserts.size(); ++i) {
            table.insert_or_assign(inserts[i], Counted(static_cast<std::int64_t>(i)));
            model[inserts[i].bytes] = static_cast<std::int64_t>(i);
        }
        ASSERT_EQ(table.capacity(), capacity) << "the runs only collide at this capacity";

        std::vector<Uuid> erases = keys;
        std::shuffle(erases.begin(), erases.end(), rng);
        for (std::size_t i = 0; i < erases.size(); ++i) {
            ASSERT_TRUE(table.erase(erases[i]));
            ASSERT_FALSE(table.erase(erases[i]));
            model.erase(erases[i].bytes);
            // Every remaining key must still be found by its probe run.
            for (const auto& [k, v] : model) {
                const Counted* found = table.find(Uuid{k.b});
                ASSERT_NE(found, nullptr) << "round " << round << " after " << i + 1 << " erases";
                ASSERT_EQ(found->v, v);
            }
            // Reinsert now and then, into the holes the shifts left behind.
            if (i % 7 == 3) {
                table.insert_or_assign(erases[i], Counted(1000 + static_cast<std::int64_t>(i)));
                model[erases[i].bytes] = 1000 + static_cast<std::int64_t>(i);
                erases.push_back(erases[i]);
            }
            ASSERT_EQ(table.capacity(), capacity);
        }
        expect_matches(table, model);
    }
}

TEST_F(FlatTableTest, SameHistoryGivesSameOrder) {
    auto build = [](FlatTable<Counted>& table) {
        std::mt19937_64 rng(99);
        for (int step = 0; step < 5000; ++step) {
            const Uuid k = make_key(rng() % 700);
            if (rng() % 3 == 0) {
                table.erase(k);
            } else {
                table.insert_or_assign(k, Counted(step));
            }
        }
    };
    FlatTable<Counted> first;
    build(first);

    // Disturb the heap so that the second table's storage lands elsewhere and
    // the allocator is in a different state.
    std::vector<std::unique_ptr<char[]>> churn;
    std::mt19937 sizes(3);
    for (int i = 0; i < 500; ++i) churn.emplace_back(new char[1 + sizes() % 4096]);
    for (std::size_t i = 0; i < churn.size(); i += 2) churn[i].reset();

    FlatTable<Counted> second;
    build(second);
    ASSERT_GT(first.size(), 100u);
    EXPECT_EQ(order_of(first), order_of(second));
}

TEST_F(FlatTableTest, ClearKeepsStorageAndTableRefills) {
    FlatTable<Counted> table;
    std::map<Key, std::int64_t> model;
    for (int i = 0; i < 1000; ++i) {
        table.insert_or_assign(make_key(i), Counted(i));
        model[make_key(i).bytes] = i;
    }
    const std::size_t capacity = table.capacity();
    table.clear();
    EXPECT_EQ(Counted::live, 0);
    EXPECT_EQ(table.size(), 0u);
    EXPECT_TRUE(table.empty());
    EXPECT_TRUE(table.begin() == table.end());
    EXPECT_FALSE(table.contains(make_key(5)));
    EXPECT_EQ(table.capacity(), capacity);

    // Refilling with other keys reaches the same size without growing.
    model.clear();
    for (int i = 1000; i < 2000; ++i) {
        table.insert_or_assign(make_key(i), Counted(i));
        model[make_key(i).bytes] = i;
    }
    EXPECT_EQ(table.capacity(), capacity);
    expect_matches(table, model);

    FlatTable<Counted> never_used;
    never_used.clear();
    EXPECT_EQ(never_used.capacity(), 0u);
    EXPECT_TRUE(never_used.begin() == never_used.end());
}

TEST_F(FlatTableTest, MovesTransferEntriesAndLeaveSourceUsable) {
    FlatTable<Counted> a;
    std::map<Key, std::int64_t> model_a;
    for (int i = 0; i < 50; ++i) {
        a.insert_or_assign(make_key(i), Counted(i));
        model_a[make_key(i).bytes] = i;
    }
    const std::vector<Key> order = order_of(a);

    FlatTable<Counted> b(std::move(a));
    expect_matches(b, model_a);
    EXPECT_EQ(order_of(b), order);
    EXPECT_EQ(a.size(), 0u);
    EXPECT_EQ(a.capacity(), 0u);
    EXPECT_TRUE(a.begin() == a.end());
    EXPECT_EQ(a.find(make_key(1)), nullptr);
    a.insert_or_assign(make_key(500), Counted(500));
    expect_matches(a, std::map<Key, std::int64_t>{{make_key(500).bytes, 500}});

    // Assignment over a filled table destroys what it held.
    FlatTable<Counted> c;
    for (int i = 100; i < 120; ++i) c.insert_or_assign(make_key(i), Counted(i));
    c = std::move(b);
    EXPECT_EQ(Counted::live, 51);
    expect_matches(c, model_a);
    EXPECT_TRUE(b.empty());

    FlatTable<Counted>& alias = c;
    c = std::move(alias);
    expect_matches(c, model_a);
}

TEST_F(FlatTableTest, ReserveAvoidsGrowthAndKeepsEntries) {
    FlatTable<Counted> table;
    table.reserve(0);
    EXPECT_EQ(table.capacity(), 0u);

    table.insert_or_assign(make_key(1), Counted(1));
    table.reserve(300);
    const std::size_t capacity = table.capacity();
    EXPECT_GE(FlatTable<Counted>::max_load(capacity), 300u);
    ASSERT_NE(table.find(make_key(1)), nullptr);
    EXPECT_EQ(table.find(make_key(1))->v, 1);

    for (int i = 2; i <= 300; ++i) table.insert_or_assign(make_key(i), Counted(i));
    EXPECT_EQ(table.capacity(), capacity);
    table.reserve(10);
    EXPECT_EQ(table.capacity(), capacity) << "reserving less never shrinks";
    EXPECT_EQ(table.size(), 300u);
    EXPECT_EQ(table.find(make_key(300))->v, 300);
}

TEST_F(FlatTableTest, NestedTablesSurviveRehashAndShifts) {
    // The outer table moves inner tables when it grows and when erase shifts
    // entries back; their contents must come along intact.
    FlatTable<FlatTable<Counted>> outer;
    std::map<Key, std::map<Key, std::int64_t>> model;
    std::mt19937_64 rng(5);
    for (int step = 0; step < 20000; ++step) {
        const Uuid source = make_key(rng() % 150);
        const Uuid target = make_key(1000 + rng() % 40);
        const auto op = rng() % 10;
        if (op < 6) {
            outer.try_emplace(source).value.insert_or_assign(target, Counted(step));
            model[source.bytes][target.bytes] = step;
        } else if (op < 8) {
            if (auto* inner = outer.find(source)) {
                inner->erase(target);
                model[source.bytes].erase(target.bytes);
            }
        } else {
            ASSERT_EQ(outer.erase(source), model.erase(source.bytes) == 1);
        }
    }
    ASSERT_EQ(outer.size(), model.size());
    for (const auto& slot : outer) {
        auto it = model.find(slot.key.bytes);
        ASSERT_NE(it, model.end());
        expect_matches(slot.value, it->second);
    }
    outer.clear();
    EXPECT_EQ(Counted::live, 0);
}

TEST_F(FlatTableTest, SetOfKeys) {
    FlatSet set;
    for (int i = 0; i < 100; ++i) EXPECT_TRUE(set.try_emplace(make_key(i % 60)).inserted == (i < 60));
    EXPECT_EQ(set.size(), 60u);
    for (int i = 0; i < 60; i += 3) EXPECT_TRUE(set.erase(make_key(i)));
    std::set<Key> visited;
    for (const auto& slot : set) EXPECT_TRUE(visited.insert(slot.key.bytes).second);
    EXPECT_EQ(visited.size(), 40u);
    for (int i = 0; i < 60; ++i) EXPECT_EQ(set.contains(make_key(i)), i % 3 != 0);
}

}  // namespace
}  // namespace quorl::diff
