// Tests of RandomSource and sample_distinct_indices against a textbook ChaCha and plain oracles.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "panic.hpp"
#include "random/random_source.hpp"

// Counts heap allocations, so tests can check that the per-trial sampling path makes none.
static std::size_t allocation_count = 0;

void* operator new(std::size_t size) {
    ++allocation_count;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
// Out of line, so g++ does not pair the inlined free() with operator new at call sites.
[[gnu::noinline]] static void release(void* p) noexcept { std::free(p); }
void operator delete(void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }

namespace {

using veltrane::IndexList;
using veltrane::RandomSource;
using veltrane::sample_distinct_indices;
using Words = std::vector<std::uint32_t>;
using Key = std::array<std::uint32_t, 8>;
__extension__ using u128 = unsigned __int128;

// ---- Independent reference: PCG32 key expansion and ChaCha as written in textbooks ----

Key textbook_key(std::uint64_t seed) {
    Key key{};
    for (auto& word : key) {
        seed = seed * 6364136223846793005ull + 11634580027462260723ull;
        const auto x = static_cast<std::uint32_t>((seed >> 45) ^ (seed >> 27));
        const auto r = static_cast<unsigned>(seed >> 59);
        word = r == 0 ? x : (x >> r) | (x << (32 - r));
    }
    return key;
}

std::uint32_t rotl32(std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

void qr(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) {
    a += b, d ^= a, d = rotl32(d, 16);
    c += d, b ^= c, b = rotl32(b, 12);
    a += b, d ^= a, d = rotl32(d, 8);
    c += d, b ^= c, b = rotl32(b, 7);
}

// The block function on a full 16-word input state; output words read as little-endian bytes.
std::array<std::uint32_t, 16> textbook_block(const std::array<std::uint32_t, 16>& in, int rounds) {
    std::array<std::uint32_t, 16> x = in;
    for (int i = 0; i < rounds; i += 2) {
        qr(x[0], x[4], x[8], x[12]), qr(x[1], x[5], x[9], x[13]);
        qr(x[2], x[6], x[10], x[14]), qr(x[3], x[7], x[11], x[15]);
        qr(x[0], x[5], x[10], x[15]), qr(x[1], x[6], x[11], x[12]);
        qr(x[2], x[7], x[8], x[13]), qr(x[3], x[4], x[9], x[14]);
    }
    for (std::size_t i = 0; i < 16; ++i) x[i] += in[i];
    return x;
}

// The keystream of a seeded source: ChaCha12 blocks for counters 0, 1, 2, ..., nonce 0.
Words textbook_words(std::uint64_t seed, std::size_t count) {
    const Key key = textbook_key(seed);
    Words words;
    for (std::uint64_t counter = 0; words.size() < count; ++counter) {
        std::array<std::uint32_t, 16> state = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
        std::copy(key.begin(), key.end(), state.begin() + 4);
        state[12] = static_cast<std::uint32_t>(counter);
        state[13] = static_cast<std::uint32_t>(counter >> 32);
        const auto block = textbook_block(state, 12);
        words.insert(words.end(), block.begin(), block.end());
    }
    words.resize(count);
    return words;
}

// Reads a precomputed word list the way the draws read the source.
struct WordCursor {
    const Words& words;
    std::size_t pos = 0;

    std::uint32_t u32() { return words.at(pos++); }
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

// ---- Keystream ----

TEST(TextbookChaCha, MatchesPublishedChaCha20Vector) {
    // The 20-round block for key 00..1f, counter 1, nonce 00000009 0000004a 00000000 (IETF
    // layout); output bytes 10 f1 e7 e4 d1 3b 59 15 ... a2 50 3c 4e.
    const auto block =
        textbook_block({0x61707865, 0x3320646e, 0x79622d32, 0x6b206574, 0x03020100, 0x07060504,
                        0x0b0a0908, 0x0f0e0d0c, 0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c,
                        0x00000001, 0x09000000, 0x4a000000, 0x00000000},
                       20);
    EXPECT_EQ(block[0], 0xe4e7f110u);
    EXPECT_EQ(block[1], 0x15593bd1u);
    EXPECT_EQ(block[15], 0x4e3c50a2u);
}

TEST(RandomSource, SeedExpansionAndStreamEqualTextbookChaCha12) {
    // Golden anchors for seed 0, from oracles.expand_seed(0) and oracles.chacha12_words(0, 2).
    EXPECT_EQ(veltrane::detail::expand_seed(0),
              (Key{0xf973f2ec, 0x45cdb581, 0x7346f087, 0xad6cad06, 0xe3a3d0d0, 0x67e71733,
                   0x72ea9bf2, 0xfe7d8ad7}));
    EXPECT_EQ(textbook_words(0, 2), (Words{0xcd2c6f7fu, 0xbb2a3fb2u}));
    // 300 words cross four refills of the four-block buffer.
    for (const std::uint64_t seed : seeds) {
        EXPECT_EQ(veltrane::detail::expand_seed(seed), textbook_key(seed)) << seed;
        const Words expected = textbook_words(seed, 300);
        auto source = RandomSource::from_u64_seed(seed);
        for (std::size_t i = 0; i < expected.size(); ++i) {
            ASSERT_EQ(source.next_u32(), expected[i]) << "seed " << seed << " word " << i;
        }
    }
}

TEST(RandomSource, NextU64JoinsConsecutiveWordsAtEveryIndex) {
    // Offsets 62, 63 and 64: inside the buffer, the last word joined with the first word of a
    // refill, and an empty buffer. The words after the read must follow on.
    const Words words = textbook_words(3, 200);
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

TEST(UniformInclusive, ResultsAndConsumedWordsMatchOracle) {
    const std::uint32_t bounds[] = {0,          1,          2,          3,          5,
                                    9,          63,         64,         1000,       0x7ffffffe,
                                    0x7fffffff, 0x80000000, 0xc0000000, 0xfffffffe, 0xffffffff};
    for (const std::uint64_t seed : seeds) {
        const Words words = textbook_words(seed, 4000);
        WordCursor cursor{words};
        auto source = RandomSource::from_u64_seed(seed);
        for (int round = 0; round < 20; ++round) {
            for (const std::uint32_t high : bounds) {
                ASSERT_EQ(source.uniform_inclusive_u32(high), cursor.uniform(high))
                    << "seed " << seed << " high " << high;
            }
        }
        // Same position in the stream afterwards: the same words were rejected.
        EXPECT_EQ(source.next_u32(), cursor.u32());
    }
}

// ---- Distinct-index sampling ----

TEST(SampleDistinctIndices, MatchesOracleOnBothPathsAndConsumesTheSameWords) {
    // Golden anchor, from oracles.sample_distinct_indices(WordStream(0), 10, 3) twice.
    auto golden = RandomSource::from_u64_seed(0);
    EXPECT_EQ(as_vector(sample_distinct_indices(golden, 10, 3)),
              (std::vector<std::uint64_t>{6, 7, 0}));
    EXPECT_EQ(as_vector(sample_distinct_indices(golden, 10, 3)),
              (std::vector<std::uint64_t>{8, 5, 2}));
    // (length, amount): Floyd's method up to 2^32 - 1, inline and heap lists, amount 0; the
    // 64-bit path above, where 2^63 + 1 rejects about half of all words.
    const std::pair<std::uint64_t, std::uint64_t> cases[] = {{3, 3},
                                                             {4, 3},
                                                             {5, 3},
                                                             {10, 3},
                                                             {20, 1},
                                                             {20, 2},
                                                             {20, 4},
                                                             {20, 12},
                                                             {20, 20},
                                                             {0, 0},
                                                             {10, 0},
                                                             {0xffffffff, 3},
                                                             {1ull << 32, 1},
                                                             {1ull << 32, 3},
                                                             {(1ull << 40) + 17, 20},
                                                             {1ull << 40, 0},
                                                             {(1ull << 63) + 1, 3},
                                                             {(1ull << 63) + 1, 20},
                                                             {~0ull, 3}};
    for (std::uint64_t seed = 0; seed < 200; ++seed) {
        const Words words = textbook_words(seed, 2000);
        WordCursor cursor{words};
        auto source = RandomSource::from_u64_seed(seed);
        for (const auto& [length, amount] : cases) {
            const auto expected = oracle_sample(cursor, length, amount);
            const IndexList got = sample_distinct_indices(source, length, amount);
            ASSERT_EQ(as_vector(got), expected) << "seed " << seed << " length " << length;
            EXPECT_EQ(got.wide, length > 0xffffffffu);
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

TEST(SampleDistinctIndices, SmallAmountsDoNotAllocate) {
    auto source = RandomSource::from_u64_seed(13);
    std::uint64_t checksum = 0;
    const std::size_t before = allocation_count;
    for (int trial = 0; trial < 1000; ++trial) {
        for (const std::size_t amount : {0u, 1u, 3u}) {
            const IndexList got = sample_distinct_indices(source, 1000, amount);
            for (std::size_t i = 0; i < got.size(); ++i) checksum += got[i];
        }
    }
    EXPECT_EQ(allocation_count, before);
    EXPECT_GT(checksum, 0u);
}

TEST(SampleDistinctIndices, AmountAboveLengthPanics) {
    for (const std::size_t length : {0ull, 2ull, 1ull << 32}) {
        auto source = RandomSource::from_u64_seed(0);
        try {
            sample_distinct_indices(source, length, length + 1);
            ADD_FAILURE() << "no Panic for length " << length;
        } catch (const veltrane::Panic& e) {
            EXPECT_STREQ(e.what(), "`amount` of samples must be less than or equal to `length`");
        }
    }
}

}  // namespace

TEST(MultiplyWidePortable, EqualsTheBuiltInProduct) {
    // The portable product serves compilers without __int128; here it is held against it.
    std::vector<std::uint64_t> values = {0,          1,     2,          0xffffffff,
                                         1ull << 32, ~0ull, 1ull << 63, 0xfffffffeffffffffull};
    auto source = RandomSource::from_u64_seed(11);
    for (int k = 0; k < 200; ++k) values.push_back(source.next_u64());
    for (const std::uint64_t a : values) {
        for (const std::uint64_t b : values) {
            const u128 expected = static_cast<u128>(a) * b;
            const auto got = veltrane::detail::multiply_wide_portable(a, b);
            ASSERT_EQ(got.high, static_cast<std::uint64_t>(expected >> 64)) << a << " * " << b;
            ASSERT_EQ(got.low, static_cast<std::uint64_t>(expected)) << a << " * " << b;
        }
    }
}
