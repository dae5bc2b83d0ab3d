// Tests for BinaryRmq: row width, table entries and tie-broken query positions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "test_util.hpp"
#include "tree/binary_rmq.hpp"

namespace veltrane {
namespace {

// Rightmost position of a minimum of v[first..last]: the winner of a block under the build
// rule, where the right candidate wins ties at every level.
std::size_t rightmost_min(const std::vector<std::uint64_t>& v, std::size_t first,
                          std::size_t last) {
    std::size_t best = first;
    for (std::size_t i = first; i <= last; ++i) {
        if (v[i] <= v[best]) best = i;
    }
    return best;
}

std::size_t floor_log2(std::size_t x) {
    std::size_t k = 0;
    while ((std::size_t{2} << k) <= x) ++k;
    return k;
}

// The query rule written out plainly: level from r - l, two covering blocks, left wins ties.
std::size_t naive_range_min(const std::vector<std::uint64_t>& v, std::size_t l, std::size_t r) {
    const std::size_t k = r > l ? floor_log2(r - l) : 0;
    const std::size_t c1 = rightmost_min(v, l, l + (std::size_t{1} << k) - 1);
    const std::size_t c2 = rightmost_min(v, r - (std::size_t{1} << k) + 1, r);
    return v[c2] < v[c1] ? c2 : c1;
}

std::size_t expected_width(std::size_t n) {
    if (n < 2) return 1;
    std::size_t ceil_log2 = 0;
    while ((std::size_t{1} << ceil_log2) < n) ++ceil_log2;
    return ceil_log2 + 1;
}

TEST(BinaryRmq, EqualPairKeepsTheLeftPosition) {
    const BinaryRmq rmq = BinaryRmq::from_vec({5, 5});
    EXPECT_EQ(rmq.width, 2u);
    EXPECT_EQ(rmq.offsets, (std::vector<std::uint32_t>{0, 1, 0, 0}));
    EXPECT_EQ(rmq.range_min(0, 1), 0u);
}

TEST(BinaryRmq, EmptyAndSingleValue) {
    const BinaryRmq empty = BinaryRmq::from_vec({});
    EXPECT_EQ(empty.width, 1u);
    EXPECT_TRUE(empty.offsets.empty());
    const BinaryRmq one = BinaryRmq::from_vec({7});
    EXPECT_EQ(one.width, 1u);
    EXPECT_EQ(one.offsets, (std::vector<std::uint32_t>{0}));
    EXPECT_EQ(one.range_min(0, 0), 0u);
}

TEST(BinaryRmq, WidthIsCeilLog2PlusOne) {
    for (std::size_t n = 0; n <= 300; ++n) {
        EXPECT_EQ(BinaryRmq::from_vec(std::vector<std::uint64_t>(n, 1)).width, expected_width(n))
            << n;
    }
}

TEST(BinaryRmq, RandomSequencesWithTiesMatchNaiveRules) {
    std::mt19937_64 rng(97);
    for (int round = 0; round < 400; ++round) {
        const std::size_t n = 1 + rng() % 70;
        const std::uint64_t spread = 1 + rng() % 4;  // few distinct values: many ties
        std::vector<std::uint64_t> values(n);
        for (auto& value : values) value = rng() % spread;
        const BinaryRmq rmq = BinaryRmq::from_vec(values);
        ASSERT_EQ(rmq.values, values);
        ASSERT_EQ(rmq.offsets.size(), n * rmq.width);
        for (std::size_t l = 0; l < n; ++l) {
            for (std::size_t r = l; r < n; ++r) {
                const std::size_t got = rmq.range_min(l, r);
                ASSERT_EQ(got, naive_range_min(values, l, r))
                    << "n=" << n << " l=" << l << " r=" << r;
            }
            // Every block that lies inside the sequence holds its rightmost minimum.
            for (std::size_t k = 0; k < rmq.width && l + (std::size_t{1} << k) <= n; ++k) {
                ASSERT_EQ(l + rmq.offsets[l * rmq.width + k],
                          rightmost_min(values, l, l + (std::size_t{1} << k) - 1));
            }
        }
    }
}

TEST(BinaryRmq, AnswerHoldsTheMinimumValue) {
    std::mt19937_64 rng(5);
    std::vector<std::uint64_t> values(1000);
    for (auto& value : values) value = rng();
    const BinaryRmq rmq = BinaryRmq::from_vec(values);
    for (int q = 0; q < 2000; ++q) {
        std::size_t l = rng() % values.size();
        std::size_t r = rng() % values.size();
        if (l > r) std::swap(l, r);
        std::uint64_t least = values[l];
        for (std::size_t i = l; i <= r; ++i) least = std::min(least, values[i]);
        const std::size_t got = rmq.range_min(l, r);
        EXPECT_TRUE(l <= got && got <= r);
        EXPECT_EQ(values[got], least);
    }
}

TEST(BinaryRmq, QueryOutsideTheSequencePanics) {
    const BinaryRmq rmq = BinaryRmq::from_vec({3, 1});
    EXPECT_PANIC(rmq.range_min(1, 0), "range_min(1, 0) is outside a sequence of 2 values");
    EXPECT_PANIC(rmq.range_min(0, 2), "range_min(0, 2) is outside a sequence of 2 values");
    EXPECT_PANIC(BinaryRmq::from_vec({}).range_min(0, 0),
                 "range_min(0, 0) is outside a sequence of 0 values");
}

}  // namespace
}  // namespace veltrane
