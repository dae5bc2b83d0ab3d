// The exact triplet count, by middle position and by triple rank, against a triple-by-triple
// enumeration of the same depth rule on random depth profiles (many ties, deep and shallow
// runs). Depths read from parsed trees are held against the Python position table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "metrics/triplets/exact_triplets.hpp"
#include "core/support/interrupt.hpp"
#include "core/support/panic.hpp"
#include "test_util.hpp"
#include "metrics/triplets/ultra_fast_triplets.hpp"

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

TEST(ExactCountRandom, WholeRangeAndPiecesMatchEnumeration) {
    // Both counts: by middle position here, by triple rank in the pair-by-pair count.
    std::mt19937_64 rng(20261206);
    for (int round = 0; round < 1500; ++round) {
        const std::size_t size = rng() % 48;
        const Depths adj1 = random_depths(rng, size);
        const Depths adj2 = rng() % 4 == 0 ? adj1 : random_depths(rng, size);
        SCOPED_TRACE(round);
        const TripletTally want = enumerate(adj1, adj2);
        const std::size_t n = size + 1;
        ASSERT_EQ(count(adj1, adj2, 0, n), want);
        UltraFastTreeData d1, d2;
        d1.n_leaves = d2.n_leaves = n;
        d1.adjacent_depths = adj1;
        d2.adjacent_depths = adj2;
        // Any cut of the middles, or of the ranks, into ranges adds up to the whole.
        TripletTally by_middle, by_rank;
        for (std::size_t b = 0; b < n;) {
            const std::size_t e = std::min(n, b + 1 + rng() % 6);
            by_middle += count(adj1, adj2, b, e);
            b = e;
        }
        const std::uint64_t k = detail::triple_count(n);
        for (std::uint64_t b = 0; b < k;) {
            const std::uint64_t e = std::min(k, b + 1 + rng() % 40);
            by_rank += tally_triple_ranks(d1, d2, b, e);
            b = e;
        }
        ASSERT_EQ(by_middle, want);
        ASSERT_EQ(by_rank, want);
        EXPECT_PANIC(tally_triple_ranks(d1, d2, 0, k + 1), "triple rank range outside the trees");
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
