// The Robinson-Foulds core: the linear path against the bit-vector path on thousands of random
// tree pairs (label sets past one 64-bit word, repeated and missing labels, unary nodes,
// unattached nodes), and the panic for an unlabelled leaf.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "core/tree/newick.hpp"
#include "metrics/rf/rf_distance.hpp"
#include "test_util.hpp"

namespace veltrane {
namespace {

// A distance as text, "declined" when the linear path does not take the input, or a Panic's
// text.
template <typename F>
std::string outcome(F&& f) {
    try {
        const std::optional<std::uint64_t> rf = f();
        return rf ? std::to_string(*rf) : "declined";
    } catch (const Panic& e) {
        return e.what();
    }
}

TEST(RobinsonFoulds, LinearPathAgreesWithBitVectorsOrDeclines) {
    // clang-format off
    const struct {
        std::size_t most_leaves, pool;
        unsigned unlabelled_per_mille, internal_label_percent;
        bool cut;
    } shapes[] = {{6, 40, 0, 0, false}, {15, 12, 0, 30, true}, {20, 300, 15, 20, false},
                  {20, 300, 0, 20, true}, {60, 1000, 2, 10, true}};
    // clang-format on
    std::mt19937_64 rng(1);
    std::size_t linear_taken = 0;
    for (const auto& shape : shapes) {
        // Internal labels: some shared with leaves, some found on internal nodes only.
        const auto text = [&](std::size_t first) {
            const auto label = [&] { return "L" + std::to_string(first + rng() % shape.pool); };
            std::vector<std::string> leaves(1 + rng() % shape.most_leaves);
            for (auto& leaf : leaves)
                leaf = rng() % 1000 >= shape.unlabelled_per_mille ? label() : "";
            return test_util::random_newick(
                rng, leaves,
                [&] {
                    return rng() % 100 >= shape.internal_label_percent ? ""
                           : rng() % 2                                 ? label()
                                       : "X" + std::to_string(rng() % 4);
                },
                shape.cut);
        };
        for (int round = 0; round < 1500; ++round) {
            const std::string a = text(0), b = text(rng() % 2 ? 0 : shape.pool / 3);
            SCOPED_TRACE(a + "  " + b);
            const SimpleRootedTree t1 = from_newick(a), t2 = from_newick(b);
            const std::string judge =
                outcome([&] { return std::optional(detail::rf_distance_bitvec(t1, t2)); });
            ASSERT_EQ(
                outcome([&] { return std::optional(calculate_rf_distance(t1, t2).rf_distance); }),
                judge);
            const std::string linear = outcome([&] { return detail::rf_distance_linear(t1, t2); });
            if (linear == "declined") continue;
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
    // clang-format off
    const std::tuple<const char*, const char*, int> cases[] = {
        {"((A,B)", "(A,B);", 0}, {"(A,B);", "(A,);", 2}, {"((A,A),(C,D));", "((A,B),(,D));", 5},
        {"((A,B),(C,D),E);", "((A,),(,D));", 3}};
    // clang-format on
    for (const auto& [a, b, node] : cases) {
        EXPECT_PANIC(calculate_rf_distance(from_newick(a), from_newick(b)),
                     "Robinson-Foulds distance needs a label on every leaf; node " +
                         std::to_string(node) + " has none");
    }
}

}  // namespace
}  // namespace veltrane
