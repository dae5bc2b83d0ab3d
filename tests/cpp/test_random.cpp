// Tests of RandomSource buffering, uniform draws and sample_distinct_indices against plain oracles.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/random/random_source.hpp"
#include "core/support/panic.hpp"
#include "test_util.hpp"

namespace {

using veltrane::IndexList;
using veltrane::RandomSource;
using veltrane::sample_distinct_indices;
using Words = std::vector<std::uint32_t>;
__extension__ using u128 = unsigned __int128;

// Reads the words of a second source with the same seed the way the draws read them. The
// keystream itself is held against a textbook ChaCha12 in the Python suite.
struct WordCursor {
    RandomSource twin;
    explicit WordCursor(std::uint64_t seed) : twin(RandomSource::from_u64_seed(seed)) {}

    std::uint32_t u32() { return twin.next_u32(); }
    std::uint64_t u64() {
        const std::uint64_t low = u32();
        return low | static_cast<std::uint64_t>(u32()) << 32;
    }
    // Uniform in [0, high]; the zone is the range shifted up to bit 31, minus one.
    std::uint32_t uniform(std::uint32_t high) {
        const std::uint64_t range = std::uint64_t{high} + 1;
        std::uint64_t shifted = range;
        while (shifted < 0x80000000u) shifted *= 2;
        for (;;) {
            const std::uint64_t m = u32() * range;
            if ((m & 0xffffffffu) <= shifted - 1) return static_cast<std::uint32_t>(m >> 32);
        }
    }
};

// Which insertion rules Floyd's method met: [list size][position of the repeated draw].
int floyd_hits[3][2] = {};
int wide_rejections = 0;

// Floyd's method below 2^32, rejection sampling on 64-bit words above.
std::vector<std::uint64_t> oracle_sample(WordCursor& c, std::uint64_t length,
                                         std::uint64_t amount) {
    std::vector<std::uint64_t> out;
    if (length <= 0xffffffffu) {
        for (std::uint64_t j = length - amount; j < length; ++j) {
            const std::uint64_t t = c.uniform(static_cast<std::uint32_t>(j));
            const auto it = std::find(out.begin(), out.end(), t);
            if (it == out.end()) {
                out.push_back(t);
                continue;
            }
            const auto at = static_cast<std::size_t>(it - out.begin());
            if (out.size() < 3 && at < 2) ++floyd_hits[out.size()][at];
            out.insert(it, j);
        }
        return out;
    }
    const u128 two64 = u128{1} << 64;
    const u128 zone = (two64 - 1) - ((two64 - length) % length);
    while (out.size() < amount) {
        const u128 m = u128{c.u64()} * length;
        if (m % two64 > zone) {
            ++wide_rejections;
        } else if (std::find(out.begin(), out.end(), m >> 64) == out.end()) {
            out.push_back(static_cast<std::uint64_t>(m >> 64));
        }
    }
    return out;
}

std::vector<std::uint64_t> as_vector(const IndexList& list) {
    std::vector<std::uint64_t> v;
    for (std::size_t i = 0; i < list.size(); ++i) v.push_back(list[i]);
    return v;
}

const std::uint64_t seeds[] = {
    0, 1, 2, 7, 42, 0xdeadbeef, 0x8000000000000000ull, 0xffffffffffffffffull};

TEST(RandomSource, SeedZeroGivesTheReferenceKeyWordsAndDraws) {
    const std::array<std::uint32_t, 8> key = {0xf973f2ec, 0x45cdb581, 0x7346f087, 0xad6cad06,
                                              0xe3a3d0d0, 0x67e71733, 0x72ea9bf2, 0xfe7d8ad7};
    EXPECT_EQ(veltrane::detail::expand_seed(0), key);
    auto source = RandomSource::from_u64_seed(0);
    EXPECT_EQ((Words{source.next_u32(), source.next_u32(), source.next_u32(), source.next_u32()}),
              (Words{0xcd2c6f7f, 0xbb2a3fb2, 0x8e27697b, 0xc6017c94}));
    auto sampler = RandomSource::from_u64_seed(0);
    for (const auto& want :
         std::vector<std::vector<std::uint64_t>>{{6, 7, 0}, {8, 5, 2}, {9, 6, 7}}) {
        EXPECT_EQ(as_vector(sample_distinct_indices(sampler, 10, 3)), want);
    }
}

TEST(RandomSource, NextU64JoinsConsecutiveWordsAtEveryIndex) {
    // Offsets 62, 63 and 64: inside the buffer, the last word joined with the first word of a
    // refill, and an empty buffer. The words after the read must follow on.
    Words words;
    for (auto source = RandomSource::from_u64_seed(3); words.size() < 200;) {
        words.push_back(source.next_u32());
    }
    for (std::size_t skip = 0; skip <= 130; ++skip) {
        auto source = RandomSource::from_u64_seed(3);
        for (std::size_t i = 0; i < skip; ++i) source.next_u32();
        ASSERT_EQ(source.next_u64(), std::uint64_t{words[skip + 1]} << 32 | words[skip]) << skip;
        for (std::size_t i = skip + 2; i < skip + 68; ++i) ASSERT_EQ(source.next_u32(), words[i]);
    }
}

TEST(RandomSource, EntropySourcesDifferAndFailuresAreNamed) {
    auto a = RandomSource::from_entropy();
    auto b = RandomSource::from_entropy();
    EXPECT_NE(a.next_u64(), b.next_u64());
    using veltrane::detail::entropy_failure_message;
    EXPECT_EQ(entropy_failure_message(EIO), "from_entropy failed: Input/output error");
    EXPECT_EQ(entropy_failure_message(0),
              "from_entropy failed: errno: did not return a positive value");
    EXPECT_EQ(entropy_failure_message(-4),
              "from_entropy failed: errno: did not return a positive value");
    EXPECT_EQ(entropy_failure_message(123456), "from_entropy failed: OS Error: 123456");
}

// ---- Distinct-index sampling ----

TEST(SampleDistinctIndices, MatchesOracleOnBothPathsAndConsumesTheSameWords) {
    // (length, amount): Floyd's method up to 2^32 - 1, inline and heap lists, amount 0; the
    // 64-bit path above, where 2^63 + 1 rejects about half of all words.
    // clang-format off
    const std::pair<std::uint64_t, std::uint64_t> cases[] = {
        {3, 3}, {4, 3}, {5, 3}, {10, 3}, {20, 1}, {20, 2}, {20, 4}, {20, 12}, {20, 20}, {0, 0},
        {10, 0}, {0xffffffff, 3}, {1ull << 32, 1}, {1ull << 32, 3}, {(1ull << 40) + 17, 20},
        {1ull << 40, 0}, {(1ull << 63) + 1, 3}, {(1ull << 63) + 1, 20}, {~0ull, 3}};
    // clang-format on
    for (std::uint64_t seed = 0; seed < 200; ++seed) {
        WordCursor cursor(seed);
        auto source = RandomSource::from_u64_seed(seed);
        for (const auto& [length, amount] : cases) {
            const auto expected = oracle_sample(cursor, length, amount);
            const IndexList got = sample_distinct_indices(source, length, amount);
            ASSERT_EQ(as_vector(got), expected) << "seed " << seed << " length " << length;
            EXPECT_EQ(std::set<std::uint64_t>(expected.begin(), expected.end()).size(), amount);
            for (const std::uint64_t v : expected) EXPECT_LT(v, length);
        }
        EXPECT_EQ(source.next_u32(), cursor.u32()) << seed;
    }
    // Every insertion rule was met: the second draw repeating the first, the third draw hitting
    // position 0 or 1; and the 64-bit zone rejected words.
    EXPECT_GT(floyd_hits[1][0], 0);
    EXPECT_GT(floyd_hits[2][0], 0);
    EXPECT_GT(floyd_hits[2][1], 0);
    EXPECT_GT(wide_rejections, 0);
}

TEST(SampleDistinctIndices, AmountAboveLengthPanics) {
    for (const std::size_t length : {0ull, 2ull, 1ull << 32}) {
        auto source = RandomSource::from_u64_seed(0);
        EXPECT_PANIC(sample_distinct_indices(source, length, length + 1),
                     "`amount` of samples must be less than or equal to `length`");
    }
}

}  // namespace
