// The random stream and the sampler against plain versions: the uniform draw's rejection zone
// and both sampling paths (Floyd's method below 2^32, 64-bit rejection above, next_u64 across
// buffer refills) at lengths Python's trees never reach. The keystream, and Floyd's method on
// small lengths, are held against textbook versions in Python.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/random/random_source.hpp"
#include "test_util.hpp"

namespace veltrane {
namespace {

__extension__ using u128 = unsigned __int128;

// Reads the words of a second source with the same seed the way the draws read them.
struct WordCursor {
    RandomSource twin;
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

int wide_rejections = 0;

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
            out.insert(it, j);  // a repeated draw puts j before the entry it repeats
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
        WordCursor cursor{RandomSource::from_u64_seed(seed)};
        auto source = RandomSource::from_u64_seed(seed);
        for (const auto& [length, amount] : cases) {
            const auto expected = oracle_sample(cursor, length, amount);
            const IndexList got = sample_distinct_indices(source, length, amount);
            std::vector<std::uint64_t> got_values;
            for (std::size_t i = 0; i < got.size(); ++i) got_values.push_back(got[i]);
            ASSERT_EQ(got_values, expected) << "seed " << seed << " length " << length;
            EXPECT_EQ(std::set<std::uint64_t>(expected.begin(), expected.end()).size(), amount);
            for (const std::uint64_t v : expected) EXPECT_LT(v, length);
        }
        EXPECT_EQ(source.next_u32(), cursor.u32()) << seed;
    }
    EXPECT_GT(wide_rejections, 0);  // the 64-bit zone did reject words
    for (const std::size_t length : {0ull, 2ull, 1ull << 32}) {
        auto source = RandomSource::from_u64_seed(0);
        EXPECT_PANIC(sample_distinct_indices(source, length, length + 1),
                     "`amount` of samples must be less than or equal to `length`");
    }
}

TEST(RandomSource, EntropySourcesDifferAndFailuresAreNamed) {
    EXPECT_NE(RandomSource::from_entropy().next_u64(), RandomSource::from_entropy().next_u64());
    EXPECT_EQ(detail::entropy_failure_message(EIO), "from_entropy failed: Input/output error");
    EXPECT_EQ(detail::entropy_failure_message(123456), "from_entropy failed: OS Error: 123456");
}

}  // namespace
}  // namespace veltrane
