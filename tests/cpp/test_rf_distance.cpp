// The Robinson-Foulds core on parsed trees: the linear path against the bit-vector path on
// thousands of random tree pairs (whose label sets reach past one 64-bit word), panics, deep
// chains and broken links.
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "metrics/rf/rf_distance.hpp"
#include "test_util.hpp"
#include "core/tree/newick.hpp"
#include "tree_edits.hpp"

namespace veltrane {
namespace {

std::uint64_t rf(const char* a, const char* b) {
    return calculate_rf_distance(from_newick(a), from_newick(b)).rf_distance;
}

TEST(RobinsonFoulds, UnlabelledLeafPanicNamesTheFirstNodeInPostOrder) {
    // {tree 1, tree 2, node}: post-order of tree 1, then tree 2, whichever path runs; "((A,B)"
    // leaves node 1 unattached and the root a childless, unlabelled leaf.
    const std::tuple<const char*, const char*, int> cases[] = {
        {"((A,B)", "(A,B);", 0},
        {"(A,B);", "(A,);", 2},
        {"((A,A),(C,D));", "((A,B),(,D));", 5},
        {"((A,B),(C,D),E);", "((A,),(,D));", 3}};
    for (const auto& [a, b, node] : cases) {
        EXPECT_PANIC(rf(a, b), "Robinson-Foulds distance needs a label on every leaf; node " +
                                   std::to_string(node) + " has none");
    }
}

// Random Newick texts that reach every corner the linear path must handle: unary nodes,
// multifurcations, single nodes, labels on internal nodes only, shared and private labels,
// repeated leaf labels, unlabelled leaves and text cut short after a delimiter.
struct TextShape {
    const char* name;
    std::size_t max_leaves;
    std::size_t first_label;  // leaf labels are L<first_label> .. L<first_label + pool - 1>
    std::size_t pool;
    unsigned unlabelled_per_mille;
    unsigned internal_label_percent;
    bool cut;
};

void PrintTo(const TextShape& shape, std::ostream* os) { *os << shape.name; }

std::string random_text(std::mt19937_64& rng, const TextShape& shape) {
    const auto leaf_label = [&] {
        return "L" + std::to_string(shape.first_label + rng() % shape.pool);
    };
    std::vector<std::string> leaves(1 + rng() % shape.max_leaves);
    for (auto& leaf : leaves) {
        if (rng() % 1000 >= shape.unlabelled_per_mille) leaf = leaf_label();
    }
    const auto internal = [&]() -> std::string {
        if (rng() % 100 >= shape.internal_label_percent) return "";
        // Some shared with leaves, some found on internal nodes only.
        return rng() % 2 ? leaf_label() : "X" + std::to_string(rng() % 4);
    };
    return test_util::random_newick(rng, leaves, internal, shape.cut);
}

// A distance or the text of the Panic that ended the computation.
using Outcome = std::variant<std::uint64_t, std::string>;

template <typename F>
Outcome outcome(F&& f) {
    try {
        return f();
    } catch (const Panic& e) {
        return std::string(e.what());
    }
}

class LinearAgainstBitvec : public ::testing::TestWithParam<TextShape> {};

TEST_P(LinearAgainstBitvec, SameDistanceOrSamePanic) {
    const TextShape shape = GetParam();
    std::mt19937_64 rng(shape.max_leaves * 1000 + shape.pool * 10 + shape.first_label);
    TextShape other = shape;
    other.first_label += shape.pool / 3;  // overlapping but different label sets
    std::size_t linear_taken = 0;
    constexpr int rounds = 1500;
    for (int round = 0; round < rounds; ++round) {
        const std::string a = random_text(rng, shape);
        const std::string b = random_text(rng, rng() % 2 ? shape : other);
        SCOPED_TRACE(a + "  " + b);
        const SimpleRootedTree t1 = from_newick(a);
        const SimpleRootedTree t2 = from_newick(b);
        const Outcome judge =
            outcome([&] { return detail::calculate_rf_distance_bitvec(t1, t2).rf_distance; });
        const Outcome got = outcome([&] { return calculate_rf_distance(t1, t2).rf_distance; });
        ASSERT_EQ(got, judge);
        const Outcome linear = outcome([&] {
            const std::optional<std::uint64_t> rf = detail::rf_distance_linear(t1, t2);
            return rf ? *rf : std::uint64_t{999999};
        });
        if (linear != Outcome{std::uint64_t{999999}}) {
            ASSERT_EQ(linear, judge);
            ++linear_taken;
        }
    }
    // The linear path must really be exercised, not just fall back.
    EXPECT_GT(linear_taken, static_cast<std::size_t>(rounds) / 10);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, LinearAgainstBitvec,
    ::testing::Values(
        // name, max_leaves, first_label, pool, unlabelled per mille, internal label %, cut
        TextShape{"SmallDistinct", 6, 0, 40, 0, 0, false},
        TextShape{"RepeatedLeafLabels", 15, 0, 12, 0, 30, true},
        TextShape{"UnlabelledLeaves", 20, 0, 300, 15, 20, false},
        TextShape{"UnreachableNodes", 20, 5, 300, 0, 20, true},
        TextShape{"Larger", 60, 0, 1000, 2, 10, true}),
    [](const ::testing::TestParamInfo<TextShape>& param_info) {
        return std::string(param_info.param.name);
    });

SimpleRootedTree chain_above(std::size_t depth, const std::string& tip) {
    return from_newick(std::string(depth, '(') + tip + std::string(depth, ')') + ";");
}

TEST(RobinsonFouldsLinear, DeepChainsNeedNoCallStack) {
    // Every chain node has the cluster U, a bipartition {U, {}} the other tree lacks; with
    // {A,B} | {C,D} from the other tree that makes 2.
    const SimpleRootedTree chain = chain_above(1'000'000, "(A,B,C,D)");
    const SimpleRootedTree other = from_newick("((A,B),(C,D));");
    EXPECT_EQ(detail::rf_distance_linear(chain, other), std::uint64_t{2});
    EXPECT_EQ(detail::rf_distance_linear(other, chain), std::uint64_t{2});
    EXPECT_EQ(detail::rf_distance_linear(chain, chain), std::uint64_t{0});
    const SimpleRootedTree deep = chain_above(50'000, "((A,B),C,(D,E))");
    const SimpleRootedTree shallow = chain_above(3, "((A,C),B,(D,F))");
    EXPECT_EQ(detail::rf_distance_linear(deep, shallow),
              detail::calculate_rf_distance_bitvec(deep, shallow).rf_distance);
}

TEST(RobinsonFouldsLinear, DeclinesBrokenLinks) {
    SimpleRootedTree shared = from_newick("((A,B),(C,D));");
    // Node 2 listed under two parents: the reachable part is no tree.
    add_child(shared, 4, 2);
    const SimpleRootedTree plain = from_newick("((A,B),(C,D));");
    EXPECT_FALSE(detail::rf_distance_linear(shared, plain).has_value());
    EXPECT_FALSE(detail::rf_distance_linear(plain, shared).has_value());

    SimpleRootedTree missing = plain;
    add_child(missing, 1, 99);
    EXPECT_FALSE(detail::rf_distance_linear(plain, missing).has_value());
    EXPECT_PANIC(calculate_rf_distance(plain, missing), "node id 99 is not in the tree");

    // A leaf label that is in neither map: the bit-vector path reports it.
    SimpleRootedTree stray = plain;
    replace_label(stray, 2, "Z");
    EXPECT_FALSE(detail::rf_distance_linear(stray, plain).has_value());
    EXPECT_THROW(calculate_rf_distance(stray, plain), std::out_of_range);
}

}  // namespace
}  // namespace veltrane
