// BitVec operations and the Robinson-Foulds core on parsed trees.
#include <gtest/gtest.h>

#include <random>
#include <unordered_set>

#include "rf_distance.hpp"
#include "test_util.hpp"
#include "tree/newick.hpp"

namespace veltrane {
namespace {

class BitVecLength : public ::testing::TestWithParam<std::size_t> {};

TEST_P(BitVecLength, OnesClearsTheTailOfTheLastWord) {
    const std::size_t n = GetParam();
    const BitVec ones = BitVec::ones(n);
    EXPECT_EQ(ones.words.size(), (n + 63) / 64);
    for (std::size_t i = 0; i < n; ++i) EXPECT_TRUE(ones.get(i)) << i;
    if (n % 64 != 0) {
        EXPECT_EQ(ones.words.back() >> (n % 64), 0U);
    }
}

TEST_P(BitVecLength, ComplementOfComplementIsIdentity) {
    const std::size_t n = GetParam();
    std::mt19937_64 rng(n);
    BitVec v = BitVec::zeros(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (rng() % 3 == 0) v.toggle(i);
    }
    BitVec c = BitVec::ones(n);
    c.xor_assign(v);
    for (std::size_t i = 0; i < n; ++i) EXPECT_NE(c.get(i), v.get(i)) << i;
    BitVec back = BitVec::ones(n);
    back.xor_assign(c);
    EXPECT_EQ(back, v);
}

INSTANTIATE_TEST_SUITE_P(Lengths, BitVecLength, ::testing::Values(1, 2, 63, 64, 65, 128, 1000));

TEST(BitVec, ToggleTwiceRestores) {
    BitVec v = BitVec::zeros(70);
    v.toggle(69);
    EXPECT_TRUE(v.get(69));
    EXPECT_EQ(v.words[1], std::uint64_t{1} << 5);
    v.toggle(69);
    EXPECT_EQ(v, BitVec::zeros(70));
}

TEST(BitVec, OrAndXorIgnoreDifferentLengths) {
    BitVec a = BitVec::zeros(10);
    const BitVec b = BitVec::ones(11);
    a.or_assign(b);
    a.xor_assign(b);
    EXPECT_EQ(a, BitVec::zeros(10));
}

TEST(BitVec, EqualVectorsHashEqualAndLengthMatters) {
    BitVec a = BitVec::zeros(100);
    BitVec b = BitVec::zeros(100);
    a.toggle(3);
    b.toggle(3);
    EXPECT_EQ(BitVecHash{}(a), BitVecHash{}(b));
    EXPECT_NE(BitVec::zeros(64), BitVec::zeros(65));
    std::unordered_set<BitVec, BitVecHash> set{a};
    EXPECT_TRUE(set.contains(b));
}

std::uint64_t rf(const char* a, const char* b) {
    return calculate_rf_distance(from_newick(a), from_newick(b)).rf_distance;
}

TEST(RobinsonFoulds, MethodTextAndTime) {
    const RfDistanceResult r = calculate_rf_distance(from_newick("(A,B);"), from_newick("(A,B);"));
    EXPECT_EQ(r.method_used, "phylo-rs RobinsonFoulds");
    EXPECT_GE(r.computation_time_ms, 0.0);
}

TEST(RobinsonFoulds, ExamplesFromBothSides) {
    EXPECT_EQ(rf("((A,B),(C,D));", "((A,C),(B,D));"), 2U);
    EXPECT_EQ(rf("((A,B),(C,D));", "(A,(B,(C,D)));"), 0U);
    EXPECT_EQ(rf("((A,B),(C,D));", "((A,B),(C,E));"), 4U);
    EXPECT_EQ(rf("((A,B)X,(C,D));", "((A,B),(C,D));"), 0U);
}

TEST(RobinsonFoulds, UnreachableNodesAreNotVisited) {
    // Node 1 of "((A,B)" is never attached; the root alone is an unlabelled leaf.
    EXPECT_PANIC(rf("((A,B)", "(A,B);"),
                 "Robinson-Foulds distance needs a label on every leaf; node 0 has none");
}

TEST(RobinsonFoulds, UnlabelledLeafNamesTheNode) {
    EXPECT_PANIC(rf("(A,B);", "(A,);"),
                 "Robinson-Foulds distance needs a label on every leaf; node 2 has none");
}

TEST(RobinsonFoulds, Normalization) {
    const SimpleRootedTree t1 = from_newick("((A,B),(C,D))R;");
    const SimpleRootedTree t2 = from_newick("(A,B,C);");
    const RfNormalization n = normalize_rf_distance(t1, t2, 5);
    EXPECT_EQ(n.tree1_leaves, 5U);
    EXPECT_EQ(n.tree2_leaves, 3U);
    EXPECT_EQ(n.max_possible_rf, 0U);
    EXPECT_EQ(n.normalized_rf_distance, 0.0);
}

}  // namespace
}  // namespace veltrane
