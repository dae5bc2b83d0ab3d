// The Robinson-Foulds core: the linear path against the bit-vector path on thousands of random
// tree pairs (label sets past one 64-bit word, repeated and missing labels, unary nodes,
// unattached nodes), and the panic for an unlabelled leaf.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "core/tree/newick.hpp"
#include "metrics/rf/rf_distance.hpp"
#include "test_util.hpp"

namespace veltrane {
namespace {

// A distance, "declined" when the linear path does not take the input, or a Panic's text.
using Outcome = std::variant<std::uint64_t, std::string>;

template <typename F>
Outcome outcome(F&& f) {
    try {
        return f();
    } catch (const Panic& e) {
        return std::string(e.what());
    }
}

struct Shape {
    std::size_t max_leaves, pool;
    unsigned unlabelled_per_mille, internal_label_percent;
    bool cut;
};

std::string random_text(std::mt19937_64& rng, const Shape& s, std::size_t first_label) {
    const auto leaf_label = [&] { return "L" + std::to_string(first_label + rng() % s.pool); };
    std::vector<std::string> leaves(1 + rng() % s.max_leaves);
    for (auto& leaf : leaves) {
        if (rng() % 1000 >= s.unlabelled_per_mille) leaf = leaf_label();
    }
    // Internal labels: some shared with leaves, some found on internal nodes only.
    const auto internal = [&]() -> std::string {
        if (rng() % 100 >= s.internal_label_percent) return "";
        return rng() % 2 ? leaf_label() : "X" + std::to_string(rng() % 4);
    };
    return test_util::random_newick(rng, leaves, internal, s.cut);
}

TEST(RobinsonFoulds, LinearPathAgreesWithBitVectorsOrDeclines) {
    const Shape shapes[] = {{6, 40, 0, 0, false},
                            {15, 12, 0, 30, true},
                            {20, 300, 15, 20, false},
                            {20, 300, 0, 20, true},
                            {60, 1000, 2, 10, true}};
    std::mt19937_64 rng(1);
    std::size_t linear_taken = 0;
    for (const Shape& shape : shapes) {
        for (int round = 0; round < 1500; ++round) {
            const std::string a = random_text(rng, shape, 0);
            const std::string b = random_text(rng, shape, rng() % 2 ? 0 : shape.pool / 3);
            SCOPED_TRACE(a + "  " + b);
            const SimpleRootedTree t1 = from_newick(a);
            const SimpleRootedTree t2 = from_newick(b);
            const Outcome judge = outcome([&] { return detail::rf_distance_bitvec(t1, t2); });
            ASSERT_EQ(outcome([&] { return calculate_rf_distance(t1, t2).rf_distance; }), judge);
            const Outcome linear = outcome([&]() -> Outcome {
                const std::optional<std::uint64_t> rf = detail::rf_distance_linear(t1, t2);
                return rf ? Outcome(*rf) : Outcome("declined");
            });
            if (linear == Outcome("declined")) continue;
            ASSERT_EQ(linear, judge);
            ++linear_taken;
        }
    }
    // The linear path must really be exercised, not just fall back.
    EXPECT_GT(linear_taken, 7500u / 4);
}

TEST(RobinsonFoulds, UnlabelledLeafPanicNamesTheFirstNodeInPostOrder) {
    // Tree 1 first, then tree 2, whichever path runs; "((A,B)" leaves node 1 unattached and the
    // root a childless, unlabelled leaf.
    const std::tuple<const char*, const char*, int> cases[] = {
        {"((A,B)", "(A,B);", 0},
        {"(A,B);", "(A,);", 2},
        {"((A,A),(C,D));", "((A,B),(,D));", 5},
        {"((A,B),(C,D),E);", "((A,),(,D));", 3}};
    for (const auto& [a, b, node] : cases) {
        EXPECT_PANIC(calculate_rf_distance(from_newick(a), from_newick(b)),
                     "Robinson-Foulds distance needs a label on every leaf; node " +
                         std::to_string(node) + " has none");
    }
}

}  // namespace
}  // namespace veltrane
