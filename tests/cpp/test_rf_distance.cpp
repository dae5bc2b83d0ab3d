// BitVec operations and the Robinson-Foulds core on parsed trees; the linear path against the
// bit-vector path on thousands of random tree pairs.
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "rf_distance.hpp"
#include "test_util.hpp"
#include "tree/newick.hpp"
#include "tree_edits.hpp"

namespace veltrane {
namespace {

class BitVecLength : public ::testing::TestWithParam<std::size_t> {};

TEST_P(BitVecLength, OperationsKeepTheTailClearAndRoundTrip) {
    const std::size_t n = GetParam();
    const BitVec ones = BitVec::ones(n);
    EXPECT_EQ(ones.words.size(), (n + 63) / 64);
    for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(ones.get(i)) << i;
    if (n % 64 != 0) {
        EXPECT_EQ(ones.words.back() >> (n % 64), 0U);
    }
    std::mt19937_64 rng(n);
    BitVec v = BitVec::zeros(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (rng() % 3 == 0) v.toggle(i);
    }
    BitVec c = ones;
    c.xor_assign(v);
    for (std::size_t i = 0; i < n; ++i) ASSERT_NE(c.get(i), v.get(i)) << i;
    BitVec back = ones;
    back.xor_assign(c);
    EXPECT_EQ(back, v);
    c.or_assign(v);
    EXPECT_EQ(c, ones);
    // Equal vectors hash equal; other lengths are unequal and leave OR and XOR without effect.
    EXPECT_TRUE((std::unordered_set<BitVec, BitVecHash>{v}.contains(back)));
    EXPECT_NE(BitVec::zeros(n), BitVec::zeros(n + 1));
    back.or_assign(BitVec::ones(n + 1));
    back.xor_assign(BitVec::ones(n + 1));
    EXPECT_EQ(back, v);
}

INSTANTIATE_TEST_SUITE_P(Lengths, BitVecLength, ::testing::Values(1, 2, 63, 64, 65, 128, 1000));

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
    std::size_t max_nodes;
    std::size_t first_label;  // leaf labels are L<first_label> .. L<first_label + pool - 1>
    std::size_t pool;
    unsigned unlabelled_per_mille;
    unsigned internal_label_percent;
    unsigned cut_percent;
};

void PrintTo(const TextShape& shape, std::ostream* os) { *os << shape.name; }

std::string random_text(std::mt19937_64& rng, const TextShape& shape) {
    const std::size_t size = 1 + rng() % shape.max_nodes;
    std::vector<std::vector<std::size_t>> children(size);
    std::vector<std::size_t> parent(size, 0);
    // Node i hangs below a node on the path from the root to node i - 1 (preorder ids).
    for (std::size_t id = 1; id < size; ++id) {
        std::size_t p = id - 1;
        while (p != 0 && rng() % 3 == 0) p = parent[p];
        parent[id] = p;
        children[p].push_back(id);
    }
    const auto label = [&](bool leaf) -> std::string {
        if (leaf) {
            if (rng() % 1000 < shape.unlabelled_per_mille) return "";
            return "L" + std::to_string(shape.first_label + rng() % shape.pool);
        }
        if (rng() % 100 >= shape.internal_label_percent) return "";
        // Internal labels: some shared with leaves, some found on internal nodes only.
        return rng() % 2 ? "L" + std::to_string(shape.first_label + rng() % shape.pool)
                         : "X" + std::to_string(rng() % 4);
    };
    std::string text;
    std::vector<std::pair<std::size_t, std::size_t>> stack{{0, 0}};
    while (!stack.empty()) {
        auto& [id, next] = stack.back();
        if (next < children[id].size()) {
            text += next == 0 ? "(" : ",";
            const std::size_t child = children[id][next++];
            stack.emplace_back(child, 0);
            continue;
        }
        if (!children[id].empty()) text += ")";
        text += label(children[id].empty());
        if (rng() % 4 == 0) text += ":1.5";
        stack.pop_back();
    }
    text += ";";
    if (rng() % 100 < shape.cut_percent) {
        // Cut right after a delimiter: the reader then leaves open nodes unattached.
        std::vector<std::size_t> cuts;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '(' || text[i] == ')' || text[i] == ',') cuts.push_back(i + 1);
        }
        if (!cuts.empty()) text.resize(cuts[rng() % cuts.size()]);
    }
    return text;
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
    std::mt19937_64 rng(shape.max_nodes * 1000 + shape.pool * 10 + shape.first_label);
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
        // name, max_nodes, first_label, pool, unlabelled per mille, internal label %, cut %
        TextShape{"SmallDistinct", 12, 0, 40, 0, 0, 0},
        TextShape{"InternalLabelsOtherSets", 30, 0, 200, 0, 30, 0},
        TextShape{"RepeatedLeafLabels", 30, 0, 12, 0, 30, 5},
        TextShape{"UnlabelledLeaves", 40, 0, 300, 15, 20, 0},
        TextShape{"UnreachableNodes", 40, 5, 300, 0, 20, 30},
        TextShape{"TinyTrees", 6, 0, 8, 5, 50, 20}, TextShape{"Larger", 80, 0, 1000, 2, 10, 10}),
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

TEST(RobinsonFouldsLinear, DeclinesWhatItDoesNotTake) {
    const auto declines = [](const char* a, const char* b) {
        return !detail::rf_distance_linear(from_newick(a), from_newick(b)).has_value();
    };
    EXPECT_TRUE(declines("((A,B),(A,D));", "((A,B),(C,D));"));    // A on two leaves
    EXPECT_TRUE(declines("((A,B),C);", "((A,C),B);"));            // three labels in all
    EXPECT_FALSE(declines("((A,B),C)D;", "((A,C),B);"));          // an internal label is in U
    EXPECT_FALSE(declines("((A,B)A,(C,D));", "((A,B),(C,D));"));  // A on one leaf only
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
