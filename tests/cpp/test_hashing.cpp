// Hash flooding: labels made to collide under the unkeyed label hash (with key 0, the hash the
// label map used before it took the process key) are spread by the key, and trees that carry
// them give the same lookups and distances as trees with plain labels.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/support/hashing.hpp"
#include "core/tree/newick.hpp"
#include "metrics/rf/rf_distance.hpp"
#include "test_util.hpp"

namespace veltrane {
namespace {

// a^-1 modulo 2^64 for odd a, by Newton's iteration (each step doubles the correct bits).
std::uint64_t inverse_odd(std::uint64_t a) {
    std::uint64_t x = a;  // right to 3 bits
    for (int i = 0; i < 5; ++i) x *= 2 - a * x;
    return x;
}

// Inverse of x ^= x >> s.
std::uint64_t unshift(std::uint64_t x, int s) {
    std::uint64_t y = x;
    for (int k = s; k < 64; k += s) y = x ^ (y >> s);
    return y;
}

std::uint64_t unmix64(std::uint64_t h) {
    h = unshift(h, 31);
    h *= inverse_odd(0x94d049bb133111ebULL);
    h = unshift(h, 27);
    h *= inverse_odd(0xbf58476d1ce4e5b9ULL);
    return unshift(h, 30);
}

// Label bytes: printable ASCII without the Newick delimiters, quotes and brackets.
bool label_byte(unsigned char c) {
    return c > 0x20 && c < 0x7F && std::strchr("(),:;'\"[]", c) == nullptr;
}

// `count` labels of 16 bytes whose unkeyed hash is the same: for any first word the second
// word that hits the target follows from inverting the final mix; keep those that are text.
std::vector<std::string> colliding_labels(std::size_t count) {
    const std::string alphabet = [] {
        std::string a;
        for (int c = 0; c < 256; ++c)
            if (label_byte(static_cast<unsigned char>(c))) a += static_cast<char>(c);
        return a;
    }();
    const std::uint64_t target = hash_label("flood", 0);
    const std::uint64_t start = 0x9e3779b97f4a7c15ULL * 17;  // a 16-byte label's first state
    std::vector<std::string> out;
    for (std::uint64_t n = 0; out.size() < count; ++n) {
        char first[8];
        for (std::uint64_t k = 0, v = n; k < 8; ++k, v /= alphabet.size()) {
            first[k] = alphabet[v % alphabet.size()];
        }
        std::uint64_t w0 = 0;
        std::memcpy(&w0, first, 8);
        const std::uint64_t w1 = unmix64(target) ^ mix64(start ^ w0);
        char second[8];
        std::memcpy(second, &w1, 8);
        bool text = true;
        for (const char c : second) text = text && label_byte(static_cast<unsigned char>(c));
        if (text) out.push_back(std::string(first, 8) + std::string(second, 8));
    }
    return out;
}

TEST(LabelHash, LabelsCraftedToCollideWithoutTheKeyAreSpreadByIt) {
    std::mt19937_64 rng(3);
    for (int i = 0; i < 100; ++i) {
        const std::uint64_t x = rng();
        ASSERT_EQ(mix64(unmix64(x)), x);
    }
    const std::vector<std::string> labels = colliding_labels(1500);
    std::set<std::uint64_t> keyed;
    std::set<std::uint64_t> homes;  // slots of a 4096-slot table: the hash's top 12 bits
    for (const std::string& label : labels) {
        EXPECT_EQ(hash_label(label, 0), hash_label("flood", 0)) << label;
        const std::uint64_t h = hash_label(label, process_hash_key());
        keyed.insert(h);
        homes.insert(h >> 52);
    }
    EXPECT_EQ(keyed.size(), labels.size());
    // 1500 random slots of 4096 fill 1256 on average, with a standard deviation of 12.
    EXPECT_GT(homes.size(), 1150u);
    EXPECT_NE(process_hash_key(), 0u);
    EXPECT_EQ(process_hash_key(), process_hash_key());
}

TEST(LabelHash, CollidingLabelsGiveTheLookupsAndDistancesOfPlainOnes) {
    const std::size_t n = 2000;
    const std::vector<std::string> crafted = colliding_labels(n);
    std::vector<std::string> plain;
    for (std::size_t i = 0; i < n; ++i) plain.push_back("t" + std::to_string(i));
    // Two random shapes, each written once with plain and once with crafted labels (internal
    // labels too, from the same lists), so that both pairs of trees have the same structure.
    std::mt19937_64 rng(11);
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    const auto text = [&](const std::vector<std::string>& names, std::uint64_t seed) {
        std::mt19937_64 shape(seed);
        std::vector<std::string> leaves;
        for (const std::size_t i : order) leaves.push_back(names[i]);
        std::size_t next_inner = 0;
        return test_util::random_newick(shape, leaves, [&] {
            return next_inner < n / 4 ? names[next_inner++] : std::string();
        });
    };
    const std::string plain1 = text(plain, 1);
    const std::string crafted1 = text(crafted, 1);
    std::shuffle(order.begin(), order.end(), rng);
    const std::string plain2 = text(plain, 2);
    const std::string crafted2 = text(crafted, 2);

    const SimpleRootedTree p1 = from_newick(plain1);
    const SimpleRootedTree c1 = from_newick(crafted1);
    ASSERT_EQ(p1.nodes.size(), c1.nodes.size());
    EXPECT_EQ(p1.taxa_map.size(), c1.taxa_map.size());
    EXPECT_EQ(p1.nodes.label_ids, c1.nodes.label_ids);
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(get_taxa_node_id(p1, plain[i]), get_taxa_node_id(c1, crafted[i])) << i;
    }
    EXPECT_FALSE(get_taxa_node_id(c1, "flood").has_value());

    const SimpleRootedTree p2 = from_newick(plain2);
    const SimpleRootedTree c2 = from_newick(crafted2);
    const std::uint64_t rf = calculate_rf_distance(p1, p2).rf_distance;
    EXPECT_GT(rf, 0u);
    EXPECT_EQ(calculate_rf_distance(c1, c2).rf_distance, rf);
    EXPECT_EQ(detail::rf_distance_bitvec(c1, c2), rf);
}

}  // namespace
}  // namespace veltrane
