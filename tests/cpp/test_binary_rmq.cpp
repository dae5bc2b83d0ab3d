// Tests for BinaryRmq: row width, table entries and tie-broken query positions.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "core/tree/binary_rmq.hpp"
#include "test_util.hpp"

namespace veltrane {
namespace {

// Rightmost position of a minimum of v[first..last]: the winner of a block under the build
// rule, where the right candidate wins ties at every level.
std::size_t rightmost_min(const std::vector<std::uint64_t>& v, std::size_t first,
                          std::size_t last) {
    std::size_t best = first;
    for (std::size_t i = first; i <= last; ++i) best = v[i] <= v[best] ? i : best;
    return best;
}

// The query rule written out plainly: level from r - l, two covering blocks, left wins ties.
std::size_t naive_range_min(const std::vector<std::uint64_t>& v, std::size_t l, std::size_t r) {
    std::size_t k = 0;
    while ((std::size_t{2} << k) <= r - l) ++k;
    const std::size_t c1 = rightmost_min(v, l, l + (std::size_t{1} << k) - 1);
    const std::size_t c2 = rightmost_min(v, r - (std::size_t{1} << k) + 1, r);
    return v[c2] < v[c1] ? c2 : c1;
}

TEST(BinaryRmq, RandomSequencesMatchNaiveRules) {
    std::mt19937_64 rng(97);
    for (int round = 0; round < 400; ++round) {
        // Mostly short sequences with every query; some long ones with sampled queries. Few
        // distinct values in odd rounds, so that ties are common.
        const std::size_t n = round % 20 == 0 ? 300 + rng() % 700 : rng() % 70;
        const std::uint64_t spread = round % 2 ? 1 + rng() % 4 : ~std::uint64_t{0};
        std::vector<std::uint64_t> values(n);
        for (auto& value : values) value = rng() % spread;
        const BinaryRmq rmq = BinaryRmq::from_vec(values);
        std::size_t width = 1;  // ceil(log2 n) + 1, and 1 for fewer than two values
        while (n > 1 && (std::size_t{1} << (width - 1)) < n) ++width;
        ASSERT_EQ(rmq.width, width) << n;
        ASSERT_EQ(rmq.values, values);
        ASSERT_EQ(rmq.offsets.size(), n * width);
        for (std::size_t l = 0; l < n; ++l) {
            // Every block that lies inside the sequence holds its rightmost minimum.
            for (std::size_t k = 0; k < width && l + (std::size_t{1} << k) <= n; ++k) {
                ASSERT_EQ(l + rmq.offsets[l * width + k],
                          rightmost_min(values, l, l + (std::size_t{1} << k) - 1))
                    << "n=" << n << " l=" << l << " k=" << k;
            }
        }
        const auto check = [&](std::size_t l, std::size_t r) {
            ASSERT_EQ(rmq.range_min(l, r), naive_range_min(values, l, r))
                << "n=" << n << " l=" << l << " r=" << r;
        };
        for (std::size_t l = 0; n <= 70 && l < n; ++l) {
            for (std::size_t r = l; r < n; ++r) check(l, r);
        }
        for (int q = 0; n > 70 && q < 2000; ++q) {
            const std::size_t l = rng() % n;
            check(l, l + rng() % (n - l));
        }
    }
}

}  // namespace
}  // namespace veltrane
