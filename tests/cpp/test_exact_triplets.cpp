// The exact triplet count against a triple-by-triple enumeration of the same depth rule, on
// random depth profiles (many ties, deep and shallow runs) and on parsed trees.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "exact_triplets.hpp"
#include "interrupt.hpp"
#include "panic.hpp"
#include "test_util.hpp"
#include "tree/newick.hpp"
#include "ultra_fast_triplets.hpp"

namespace veltrane {
namespace {

using Depths = std::vector<std::uint64_t>;

// Every triple p < q < r, its outgroup in each tree read straight from the minima.
TripletTally enumerate(const Depths& adj1, const Depths& adj2) {
    TripletTally t;
    const std::size_t n = adj1.size() + 1;
    const auto outgroup = [](const Depths& adj, std::size_t p, std::size_t q, std::size_t r) {
        const std::uint64_t a = *std::min_element(adj.begin() + static_cast<std::ptrdiff_t>(p),
                                                  adj.begin() + static_cast<std::ptrdiff_t>(q));
        const std::uint64_t b = *std::min_element(adj.begin() + static_cast<std::ptrdiff_t>(q),
                                                  adj.begin() + static_cast<std::ptrdiff_t>(r));
        return a > b ? Outgroup::c : a < b ? Outgroup::a : Outgroup::none;
    };
    for (std::size_t p = 0; p < n; ++p) {
        for (std::size_t q = p + 1; q < n; ++q) {
            for (std::size_t r = q + 1; r < n; ++r) {
                count_trial(t, outgroup(adj1, p, q, r), outgroup(adj2, p, q, r));
            }
        }
    }
    return t;
}

TripletTally count(const Depths& adj1, const Depths& adj2, std::size_t begin, std::size_t end) {
    const DepthProfile p1 = DepthProfile::build(adj1);
    const DepthProfile p2 = DepthProfile::build(adj2);
    return detail::count_triples_by_middle(p1, p2, begin, end);
}

// Depth profiles of several kinds: random with few or many distinct depths, combs running
// either way and zigzags (the deep stacks), and profiles where most neighbours tie.
Depths random_depths(std::mt19937_64& rng, std::size_t size) {
    Depths adj(size);
    switch (rng() % 5) {
        case 0:
            for (auto& d : adj) d = rng() % 3;
            break;
        case 1:
            for (auto& d : adj) d = rng() % 40;
            break;
        case 2:  // a comb, deepening to the left or to the right
            for (std::size_t m = 0; m < size; ++m) adj[m] = rng() % 2 ? m : size - m;
            break;
        case 3:  // a zigzag: depth grows towards the middle
            for (std::size_t m = 0; m < size; ++m) adj[m] = std::min(m, size - m) + rng() % 2;
            break;
        default:
            for (auto& d : adj) d = rng() % 4 == 0 ? rng() % 10 : 5;
    }
    return adj;
}

struct Case {
    const char* name;
    Depths adj1;
    Depths adj2;
};

class ExactCount : public ::testing::TestWithParam<Case> {};

TEST_P(ExactCount, MatchesEnumeration) {
    const Case& c = GetParam();
    const TripletTally want = enumerate(c.adj1, c.adj2);
    EXPECT_EQ(count(c.adj1, c.adj2, 0, c.adj1.size() + 1), want);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ExactCount,
    ::testing::Values(Case{"NoLeaf", {}, {}}, Case{"TwoLeaves", {3}, {0}},
                      Case{"ThreeLeavesSameCherry", {2, 1}, {5, 0}},
                      Case{"ThreeLeavesOtherCherry", {2, 1}, {1, 2}},
                      Case{"StarAgainstCherry", {0, 0}, {1, 0}},
                      Case{"TwoStars", {0, 0, 0}, {4, 4, 4}},
                      Case{"CombAgainstReversedComb", {5, 4, 3, 2, 1}, {1, 2, 3, 4, 5}},
                      Case{"Zigzag", {0, 2, 4, 6, 5, 3, 1}, {3, 3, 1, 3, 3, 1, 3}}),
    [](const ::testing::TestParamInfo<Case>& p) { return std::string(p.param.name); });

TEST(ExactCountRandom, WholeRangeAndPiecesMatchEnumeration) {
    std::mt19937_64 rng(20261206);
    for (int round = 0; round < 1500; ++round) {
        const std::size_t size = rng() % 48;
        const Depths adj1 = random_depths(rng, size);
        const Depths adj2 = rng() % 4 == 0 ? adj1 : random_depths(rng, size);
        SCOPED_TRACE(round);
        const TripletTally want = enumerate(adj1, adj2);
        const std::size_t n = size + 1;
        ASSERT_EQ(count(adj1, adj2, 0, n), want);
        // Any cut of the middles into ranges adds up to the whole.
        TripletTally pieces;
        for (std::size_t b = 0; b < n;) {
            const std::size_t e = std::min(n, b + 1 + rng() % 6);
            pieces += count(adj1, adj2, b, e);
            b = e;
        }
        ASSERT_EQ(pieces, want);
    }
}

TEST(ExactCountRandom, BigProfilesMatchThePairByPairCount) {
    // Too big to enumerate triple by triple; the run-length count over pairs is the judge.
    std::mt19937_64 rng(7);
    for (const std::size_t n : {std::size_t{300}, std::size_t{1000}, std::size_t{2500}}) {
        for (int kind = 0; kind < 5; ++kind) {
            const Depths adj1 = random_depths(rng, n - 1);
            const Depths adj2 = random_depths(rng, n - 1);
            UltraFastTreeData d1, d2;
            d1.n_leaves = d2.n_leaves = n;
            d1.adjacent_depths = adj1;
            d2.adjacent_depths = adj2;
            const TripletTally want = tally_triple_ranks(d1, d2, 0, detail::triple_count(n));
            EXPECT_EQ(count(adj1, adj2, 0, n), want) << n << " " << kind;
        }
    }
}

TEST(ExactCountRandom, ParsedTreesWithUnaryNodesAndMultifurcations) {
    std::mt19937_64 rng(3);
    for (int round = 0; round < 300; ++round) {
        // Runs of 1 to 4 neighbours joined under a new node: unary nodes and multifurcations.
        std::vector<std::string> items1, items2;
        const std::size_t n = 3 + rng() % 30;
        for (std::size_t m = 0; m < n; ++m) {
            items1.push_back(rng() % 9 == 0 ? "" : "L" + std::to_string(m));
            items2.push_back("M" + std::to_string(m));
        }
        for (auto* items : {&items1, &items2}) {
            while (items->size() > 1) {
                const std::size_t run = std::min<std::size_t>(items->size(), 1 + rng() % 4);
                const std::size_t at = rng() % (items->size() - run + 1);
                std::string joined = "(";
                for (std::size_t m = 0; m < run; ++m) joined += (m ? "," : "") + (*items)[at + m];
                (*items)[at] = joined + ")";
                items->erase(items->begin() + static_cast<std::ptrdiff_t>(at + 1),
                             items->begin() + static_cast<std::ptrdiff_t>(at + run));
            }
        }
        SimpleRootedTree t1 = from_newick(items1[0] + ";");
        SimpleRootedTree t2 = from_newick(items2[0] + ";");
        UltraFastTreeData d1 = UltraFastTreeData::build(t1);
        UltraFastTreeData d2 = UltraFastTreeData::build(t2);
        // Unlabelled leaves shrink tree 1's positions; pair on the smaller count.
        const std::size_t k = std::min(d1.n_leaves, d2.n_leaves);
        d1.adjacent_depths.resize(k > 0 ? k - 1 : 0);
        d2.adjacent_depths.resize(k > 0 ? k - 1 : 0);
        d1.n_leaves = d2.n_leaves = k;
        SCOPED_TRACE(items1[0] + "  " + items2[0]);
        ASSERT_EQ(count(d1.adjacent_depths, d2.adjacent_depths, 0, k),
                  tally_triple_ranks(d1, d2, 0, detail::triple_count(k)));
    }
}

// The linear build (no LCA tables) against the table-based one: the same positions and
// depths, or the same failure for texts cut short (nodes left unreachable from the root).
TEST(PositionsOnly, MatchTheTableBuildAndItsFailures) {
    std::mt19937_64 rng(17);
    for (int round = 0; round < 400; ++round) {
        std::vector<std::string> items;
        const std::size_t n = 1 + rng() % 25;
        for (std::size_t m = 0; m < n; ++m)
            items.push_back(rng() % 7 == 0 ? "" : "L" + std::to_string(m));
        while (items.size() > 1) {
            const std::size_t run = std::min<std::size_t>(items.size(), 1 + rng() % 4);
            const std::size_t at = rng() % (items.size() - run + 1);
            std::string joined = "(";
            for (std::size_t m = 0; m < run; ++m) joined += (m ? "," : "") + items[at + m];
            items[at] = joined + ")";
            items.erase(items.begin() + static_cast<std::ptrdiff_t>(at + 1),
                        items.begin() + static_cast<std::ptrdiff_t>(at + run));
        }
        std::string text = items[0] + ";";
        if (rng() % 3 == 0)
            text = text.substr(0, text.find_first_of("(),", rng() % text.size()) + 1);
        SCOPED_TRACE(text);
        SimpleRootedTree with_tables = from_newick(text);
        const SimpleRootedTree lean = from_newick(text);
        std::string want_error, got_error;
        UltraFastTreeData want, got;
        try {
            want = UltraFastTreeData::build(with_tables);
        } catch (const Panic& e) {
            want_error = e.what();
        }
        try {
            got = UltraFastTreeData::build_positions(lean);
        } catch (const Panic& e) {
            got_error = e.what();
        }
        ASSERT_EQ(got_error, want_error);
        EXPECT_EQ(got.n_leaves, want.n_leaves);
        EXPECT_EQ(got.adjacent_depths, want.adjacent_depths);
    }
}

TEST(ExactCountRandom, RejectsRangesOutsideTheTrees) {
    const DepthProfile p1 = DepthProfile::build(Depths{1, 2, 3});
    const DepthProfile p2 = DepthProfile::build(Depths{1, 2});
    EXPECT_PANIC(detail::count_triples_by_middle(p1, p2, 0, 3), "middle range outside the trees");
    EXPECT_PANIC(detail::count_triples_by_middle(p1, p1, 0, 5), "middle range outside the trees");
}

TEST(ExactCountRandom, StopsWhenAskedToWhileCounting) {
    std::mt19937_64 rng(5);
    const Depths adj = random_depths(rng, 5000);
    const DepthProfile p = DepthProfile::build(adj);
    const InterruptScope scope([]() noexcept { return true; });
    EXPECT_THROW(detail::count_triples_by_middle(p, p, 0, p.n), Interrupted);
}

}  // namespace
}  // namespace veltrane
