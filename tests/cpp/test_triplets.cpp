// Triplet internals Python cannot reach: triple ranks, the chunk and piece formulas, and the
// ratios of a zero total. The metrics themselves are held against plain versions in Python.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "metrics/triplets/optimized_triplets.hpp"
#include "metrics/triplets/parallel_triplets.hpp"
#include "test_util.hpp"
#include "metrics/triplets/triplets.hpp"
#include "metrics/triplets/ultra_fast_triplets.hpp"

namespace veltrane {
namespace {

using detail::Triple;

TEST(TripleRanks, CountAndUnrankMatchTheLexicographicListing) {
    for (std::size_t n = 0; n <= 24; ++n) {
        std::vector<Triple> list;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = i + 1; j < n; ++j)
                for (std::size_t k = j + 1; k < n; ++k) list.push_back({i, j, k});
        ASSERT_EQ(detail::triple_count(n), list.size()) << n;
        for (std::size_t r = 0; r < list.size(); ++r) {
            ASSERT_EQ(detail::unrank_triple(r, n), list[r]) << n << " " << r;
        }
        EXPECT_PANIC(detail::unrank_triple(list.size(), n), "triple rank out of range");
    }
    // The count is exact up to the limit and saturates beyond.
    EXPECT_EQ(detail::triple_count(85), 98770U);
    EXPECT_EQ(detail::triple_count(86), 102340U);
    EXPECT_EQ(detail::triple_count(100), 161700U);
    // From math.comb(3000000, 3); the plain product n (n - 1) (n - 2) overflows 64 bits.
    EXPECT_EQ(detail::triple_count(3000000), 4499995500001000000U);
    EXPECT_EQ(detail::triple_count(5000000), std::numeric_limits<std::uint64_t>::max());
}

TEST(ChunkFormulas, ModesPlansAndTrialSplits) {
    using detail::optimized_rules, detail::parallel_rules;
    EXPECT_EQ(detail::worker_count(std::nullopt, 8), 8U);
    EXPECT_EQ(detail::worker_count(3, 8), 3U);
    EXPECT_EQ(detail::worker_count(100, 8), 8U);
    EXPECT_EQ(detail::worker_count(0, 8), 1U);
    // floor(sqrt(8) * 100000) = 282842 triples; fewer than 26 leaves are always exhaustive.
    const double per_sqrt = parallel_rules.exhaustive_triples_per_sqrt_worker;
    EXPECT_TRUE(detail::choose_exhaustive(121, 282842, 0, 8, per_sqrt));
    EXPECT_FALSE(detail::choose_exhaustive(121, 282843, 0, 8, per_sqrt));
    EXPECT_TRUE(detail::choose_exhaustive(121, 282843, 282843, 8, per_sqrt));
    EXPECT_TRUE(detail::choose_exhaustive(25, 1u << 30, 0, 1, per_sqrt));
    EXPECT_FALSE(detail::choose_exhaustive(26, 100001, 0, 1, per_sqrt));
    // Past 4,801,280 leaves the triples outnumber 64 bits: no trial count covers them all.
    const std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(detail::triple_count(4801280) < most, true);
    EXPECT_EQ(detail::triple_count(4801281), most);
    EXPECT_TRUE(detail::triples_within(detail::triple_count(4801280), most));
    EXPECT_FALSE(detail::triples_within(detail::triple_count(4801281), most));
    EXPECT_FALSE(detail::choose_exhaustive(4801281, most, most, 8, per_sqrt));
    // {triples, rules, workers, chunks, piece size, pieces}; no pieces means sequential.
    const struct {
        std::uint64_t triples;
        const detail::ChunkRules& rules;
        std::uint64_t workers, chunks, piece_size, pieces;
    } exhaustive[] = {
        {161700, parallel_rules, 8, 8, 10106, 17}, {161700, optimized_rules, 8, 8, 6737, 25},
        {9999, parallel_rules, 8, 1, 0, 0},        {10000, parallel_rules, 8, 2, 5000, 2},
        {12000, optimized_rules, 8, 1, 0, 0},      {16000, optimized_rules, 8, 2, 4000, 4},
        {10000000, parallel_rules, 1, 1, 0, 0}};
    for (const auto& e : exhaustive) {
        const auto plan = detail::plan_exhaustive(e.triples, e.rules, e.workers);
        EXPECT_EQ(plan.chunk_count, e.chunks) << e.triples;
        EXPECT_EQ(plan.pieces, e.pieces) << e.triples;
        EXPECT_EQ(plan.pieces != 0 ? plan.piece_size : 0, e.piece_size) << e.triples;
    }
    // Uncapped, the formulas give 40 and 22 exhaustive chunks, 24 and 14 sampling chunks; the
    // product saturates instead of wrapping.
    EXPECT_EQ(detail::chunk_count_for(161700, 8000, 2000, 1000), 40U);
    EXPECT_EQ(detail::chunk_count_for(161700, 12000, 4000, 1000), 22U);
    EXPECT_EQ(detail::chunk_count_for(100000, 8000, 2000, 1000), 24U);
    EXPECT_EQ(detail::chunk_count_for(100000, 12000, 4000, 1000), 14U);
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(detail::chunk_count_for(max, 8000, 2000, 65535), 65535U);
    EXPECT_EQ(detail::plan_sampling(max, optimized_rules, 2), 2U);
    const std::uint64_t par_divisors[][2] = {{2, 1},  {3, 1},  {4, 2}, {15, 2},
                                             {16, 3}, {49, 3}, {50, 4}};
    for (const auto& [c, d] : par_divisors) EXPECT_EQ(parallel_rules.piece_divisor(c), d) << c;
    const std::uint64_t opt_divisors[][2] = {{2, 2}, {7, 2}, {8, 3}, {31, 3}, {32, 4}, {65535, 4}};
    for (const auto& [c, d] : opt_divisors) EXPECT_EQ(optimized_rules.piece_divisor(c), d) << c;
    EXPECT_EQ(detail::plan_sampling(10000, parallel_rules, 2), 2U);
    EXPECT_EQ(detail::plan_sampling(1999, parallel_rules, 8), 1U);
    EXPECT_EQ(detail::plan_sampling(100000, parallel_rules, 1), 1U);
    EXPECT_EQ(detail::plan_sampling(20000, optimized_rules, 2), 2U);
    EXPECT_EQ(detail::chunk_trials(10000, 3, 0), 3334U);
    EXPECT_EQ(detail::chunk_trials(10000, 3, 2), 3333U);
    EXPECT_EQ(detail::chunk_trials(100000, 8, 7), 12500U);
}

TEST(TripletRatios, ZeroTotalGivesNaNAndOnesAndWideCountsStayExact) {
    const TripletRatios r = triplet_ratios(TripletTally{}, 0);
    EXPECT_TRUE(std::isnan(r.all_triplets_correct));
    EXPECT_EQ(r.resolvable_triplets_correct, 1.0);
    EXPECT_EQ(r.unresolved_triplets_correct, 1.0);
    EXPECT_TRUE(std::isnan(r.proportion_unresolvable));
    // 3e9 trials, all resolved and correct: a 32-bit signed counter would have wrapped.
    const TripletRatios wide = triplet_ratios({3000000000ULL, 3000000000ULL, 0, 0}, 3000000000ULL);
    EXPECT_EQ(wide.all_triplets_correct, 1.0);
    EXPECT_EQ(wide.resolvable_triplets_correct, 1.0);
}

}  // namespace
}  // namespace veltrane
