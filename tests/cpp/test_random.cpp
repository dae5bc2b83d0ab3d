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
using veltrane::Panic;
using veltrane::RandomSource;
using veltrane::sample_distinct_indices;

template <typename F>
void expect_panic(F&& f, const std::string& text) {
    try {
        f();
        ADD_FAILURE() << "no Panic thrown, expected: " << text;
    } catch (const Panic& e) {
        EXPECT_EQ(std::string(e.what()), text);
    }
}

// ---- Independent reference: PCG32 key expansion and ChaCha as written in textbooks ----

std::array<std::uint32_t, 8> textbook_key(std::uint64_t seed) {
    std::array<std::uint32_t, 8> key{};
    std::uint64_t s = seed;
    for (int k = 0; k < 8; ++k) {
        s = s * 6364136223846793005ull + 11634580027462260723ull;
        const auto x = static_cast<std::uint32_t>((s >> 45) ^ (s >> 27));
        const auto r = static_cast<unsigned>(s >> 59);
        key[static_cast<std::size_t>(k)] = r == 0 ? x : (x >> r) | (x << (32 - r));
    }
    return key;
}

std::uint32_t rotl32(std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

// The quarter-round as the textbook writes it: a += b; d ^= a; d <<<= 16; and so on.
void qr(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) {
    a += b, d ^= a, d = rotl32(d, 16);
    c += d, b ^= c, b = rotl32(b, 12);
    a += b, d ^= a, d = rotl32(d, 8);
    c += d, b ^= c, b = rotl32(b, 7);
}

// The block function on a full 16-word input state, serialised as 64 little-endian bytes.
std::array<std::uint8_t, 64> textbook_block_bytes(const std::array<std::uint32_t, 16>& in,
                                                  int rounds) {
    std::array<std::uint32_t, 16> x = in;
    for (int i = 0; i < rounds; i += 2) {
        qr(x[0], x[4], x[8], x[12]);
        qr(x[1], x[5], x[9], x[13]);
        qr(x[2], x[6], x[10], x[14]);
        qr(x[3], x[7], x[11], x[15]);
        qr(x[0], x[5], x[10], x[15]);
        qr(x[1], x[6], x[11], x[12]);
        qr(x[2], x[7], x[8], x[13]);
        qr(x[3], x[4], x[9], x[14]);
    }
    std::array<std::uint8_t, 64> out{};
    for (std::size_t i = 0; i < 16; ++i) {
        const std::uint32_t v = x[i] + in[i];
        for (std::size_t b = 0; b < 4; ++b)
            out[4 * i + b] = static_cast<std::uint8_t>(v >> (8 * b));
    }
    return out;
}

// The keystream of a seeded source as 32-bit words: blocks for counters 0, 1, 2, ..., nonce 0.
std::vector<std::uint32_t> textbook_words(std::uint64_t seed, std::size_t count) {
    const auto key = textbook_key(seed);
    std::vector<std::uint8_t> bytes;
    for (std::uint64_t counter = 0; bytes.size() < 4 * count; ++counter) {
        std::array<std::uint32_t, 16> state = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
        std::copy(key.begin(), key.end(), state.begin() + 4);
        state[12] = static_cast<std::uint32_t>(counter);
        state[13] = static_cast<std::uint32_t>(counter >> 32);
        const auto block = textbook_block_bytes(state, 12);
        bytes.insert(bytes.end(), block.begin(), block.end());
    }
    std::vector<std::uint32_t> words(count);
    for (std::size_t i = 0; i < count; ++i) {
        words[i] = static_cast<std::uint32_t>(bytes[4 * i]) |
                   static_cast<std::uint32_t>(bytes[4 * i + 1]) << 8 |
                   static_cast<std::uint32_t>(bytes[4 * i + 2]) << 16 |
                   static_cast<std::uint32_t>(bytes[4 * i + 3]) << 24;
    }
    return words;
}

// Reads a precomputed word list the way the draws read the source.
struct WordCursor {
    const std::vector<std::uint32_t>& words;
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
        const std::uint64_t zone = shifted - 1;
        for (;;) {
            const std::uint64_t m = u32() * range;
            if ((m & 0xffffffffu) <= zone) return static_cast<std::uint32_t>(m >> 32);
        }
    }
};

std::vector<std::uint64_t> oracle_floyd(WordCursor& c, std::uint64_t length, std::uint64_t amount) {
    std::vector<std::uint64_t> out;
    for (std::uint64_t j = length - amount; j < length; ++j) {
        const std::uint64_t t = c.uniform(static_cast<std::uint32_t>(j));
        const auto it = std::find(out.begin(), out.end(), t);
        if (it != out.end()) {
            out.insert(it, j);
        } else {
            out.push_back(t);
        }
    }
    return out;
}

__extension__ using u128 = unsigned __int128;

std::vector<std::uint64_t> oracle_rejection(WordCursor& c, std::uint64_t length,
                                            std::uint64_t amount, int* rejections = nullptr) {
    const u128 two64 = u128{1} << 64;
    const u128 zone = (two64 - 1) - ((two64 - length) % length);
    std::vector<std::uint64_t> out;
    while (out.size() < amount) {
        const u128 m = u128{c.u64()} * length;
        if (m % two64 > zone) {
            if (rejections != nullptr) ++*rejections;
            continue;
        }
        const auto v = static_cast<std::uint64_t>(m >> 64);
        if (std::find(out.begin(), out.end(), v) == out.end()) out.push_back(v);
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

// ---- The textbook reference itself ----

TEST(TextbookChaCha, MatchesPublishedChaCha20Vector) {
    // The 20-round block for key 00..1f, counter 1, nonce 00000009 0000004a 00000000
    // (the IETF layout: one counter word, three nonce words).
    std::array<std::uint32_t, 16> state = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574,
                                           0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c,
                                           0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c,
                                           0x00000001, 0x09000000, 0x4a000000, 0x00000000};
    const auto bytes = textbook_block_bytes(state, 20);
    const std::array<std::uint8_t, 16> expected_head = {0x10, 0xf1, 0xe7, 0xe4, 0xd1, 0x3b,
                                                        0x59, 0x15, 0x50, 0x0f, 0xdd, 0x1f,
                                                        0xa3, 0x20, 0x71, 0xc4};
    const std::array<std::uint8_t, 4> expected_tail = {0xa2, 0x50, 0x3c, 0x4e};
    EXPECT_TRUE(std::equal(expected_head.begin(), expected_head.end(), bytes.begin()));
    EXPECT_TRUE(std::equal(expected_tail.begin(), expected_tail.end(), bytes.end() - 4));
}

// ---- Seed expansion and keystream ----

TEST(ExpandSeed, SeedZeroGivesReferenceKey) {
    const std::array<std::uint32_t, 8> expected = {0xf973f2ec, 0x45cdb581, 0x7346f087, 0xad6cad06,
                                                   0xe3a3d0d0, 0x67e71733, 0x72ea9bf2, 0xfe7d8ad7};
    EXPECT_EQ(veltrane::detail::expand_seed(0), expected);
}

TEST(ExpandSeed, MatchesPlainPcg32ForManySeeds) {
    for (const std::uint64_t seed : seeds) {
        EXPECT_EQ(veltrane::detail::expand_seed(seed), textbook_key(seed)) << seed;
    }
}

TEST(RandomSource, SeedZeroFirstWordsAreReference) {
    auto source = RandomSource::from_u64_seed(0);
    EXPECT_EQ(source.next_u32(), 0xcd2c6f7fu);
    EXPECT_EQ(source.next_u32(), 0xbb2a3fb2u);
    EXPECT_EQ(source.next_u32(), 0x8e27697bu);
    EXPECT_EQ(source.next_u32(), 0xc6017c94u);
}

TEST(RandomSource, StreamEqualsTextbookChaCha12) {
    // 300 words cross four refills (after words 64, 128, 192 and 256).
    for (const std::uint64_t seed : seeds) {
        const auto expected = textbook_words(seed, 300);
        auto source = RandomSource::from_u64_seed(seed);
        for (std::size_t i = 0; i < expected.size(); ++i) {
            ASSERT_EQ(source.next_u32(), expected[i]) << "seed " << seed << " word " << i;
        }
    }
}

TEST(RandomSource, SixtyFifthWordStartsBlockFour) {
    auto source = RandomSource::from_u64_seed(7);
    for (int i = 0; i < 64; ++i) source.next_u32();
    std::array<std::uint32_t, 16> state = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    const auto key = textbook_key(7);
    std::copy(key.begin(), key.end(), state.begin() + 4);
    state[12] = 4;
    const auto block = textbook_block_bytes(state, 12);
    const std::uint32_t first =
        static_cast<std::uint32_t>(block[0]) | static_cast<std::uint32_t>(block[1]) << 8 |
        static_cast<std::uint32_t>(block[2]) << 16 | static_cast<std::uint32_t>(block[3]) << 24;
    EXPECT_EQ(source.next_u32(), first);
}

TEST(RandomSource, SameSeedSameStream) {
    auto a = RandomSource::from_u64_seed(0xffffffffffffffffull);
    auto b = RandomSource::from_u64_seed(0xffffffffffffffffull);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(a.next_u32(), b.next_u32());
}

TEST(RandomSource, EntropySourcesDiffer) {
    auto a = RandomSource::from_entropy();
    auto b = RandomSource::from_entropy();
    std::vector<std::uint32_t> wa, wb;
    for (int i = 0; i < 8; ++i) {
        wa.push_back(a.next_u32());
        wb.push_back(b.next_u32());
    }
    EXPECT_NE(wa, wb);
}

TEST(RandomSource, EntropyFailureMessages) {
    using veltrane::detail::entropy_failure_message;
    EXPECT_EQ(entropy_failure_message(EIO), "from_entropy failed: Input/output error");
    EXPECT_EQ(entropy_failure_message(ENOSYS), "from_entropy failed: Function not implemented");
    EXPECT_EQ(entropy_failure_message(0),
              "from_entropy failed: errno: did not return a positive value");
    EXPECT_EQ(entropy_failure_message(-4),
              "from_entropy failed: errno: did not return a positive value");
    EXPECT_EQ(entropy_failure_message(123456), "from_entropy failed: OS Error: 123456");
}

// ---- 64-bit reads ----

TEST(RandomSource, NextU64JoinsConsecutiveWordsAtEveryIndex) {
    // Offsets 62, 63 and 64 cover the three cases: inside the buffer, the last word joined with
    // the first word of a refill, and an empty buffer.
    const auto words = textbook_words(3, 200);
    for (std::size_t skip = 0; skip <= 130; ++skip) {
        auto source = RandomSource::from_u64_seed(3);
        for (std::size_t i = 0; i < skip; ++i) source.next_u32();
        const std::uint64_t expected = std::uint64_t{words[skip + 1]} << 32 | words[skip];
        ASSERT_EQ(source.next_u64(), expected) << "after " << skip << " words";
        ASSERT_EQ(source.next_u32(), words[skip + 2]) << "after " << skip << " words";
    }
}

TEST(RandomSource, NextU64AtIndex63LeavesIndexOne) {
    const auto words = textbook_words(11, 130);
    auto source = RandomSource::from_u64_seed(11);
    for (int i = 0; i < 63; ++i) source.next_u32();
    EXPECT_EQ(source.next_u64(), std::uint64_t{words[64]} << 32 | words[63]);
    // Index 1 of the new buffer is word 65; the rest of that buffer follows in order.
    for (std::size_t i = 65; i < 130; ++i) ASSERT_EQ(source.next_u32(), words[i]);
}

// ---- Uniform draw ----

TEST(UniformInclusive, BoundZeroConsumesWordsUntilOneIsBelowTwoToThe31) {
    // Seed 0 starts with four words >= 2^31, so the draw rejects at least four.
    const auto words = textbook_words(0, 64);
    std::size_t first_low = 0;
    while (words[first_low] >= 0x80000000u) ++first_low;
    ASSERT_GE(first_low, 4u);
    auto source = RandomSource::from_u64_seed(0);
    EXPECT_EQ(source.uniform_inclusive_u32(0), 0u);
    EXPECT_EQ(source.next_u32(), words[first_low + 1]);
}

TEST(UniformInclusive, ResultsAndConsumedWordsMatchOracle) {
    const std::uint32_t bounds[] = {
        0, 1, 2, 3, 5, 9, 63, 64, 1000, 0x7ffffffe, 0x7fffffff, 0x80000000, 0xc0000000, 0xfffffffe};
    for (const std::uint64_t seed : seeds) {
        const auto words = textbook_words(seed, 4000);
        WordCursor cursor{words};
        auto source = RandomSource::from_u64_seed(seed);
        for (int round = 0; round < 20; ++round) {
            for (const std::uint32_t high : bounds) {
                const std::uint32_t got = source.uniform_inclusive_u32(high);
                ASSERT_EQ(got, cursor.uniform(high)) << "seed " << seed << " high " << high;
                ASSERT_LE(got, high);
            }
        }
        // Same position in the stream afterwards: the same words were rejected.
        EXPECT_EQ(source.next_u32(), cursor.u32());
    }
}

TEST(UniformInclusive, FullRangeTakesOneWord) {
    const auto words = textbook_words(5, 4);
    auto source = RandomSource::from_u64_seed(5);
    EXPECT_EQ(source.uniform_inclusive_u32(0xffffffffu), words[0]);
    EXPECT_EQ(source.next_u32(), words[1]);
}

// ---- Distinct-index sampling ----

TEST(SampleDistinctIndices, SeedZeroReferenceTriples) {
    auto source = RandomSource::from_u64_seed(0);
    EXPECT_EQ(as_vector(sample_distinct_indices(source, 10, 3)),
              (std::vector<std::uint64_t>{6, 7, 0}));
    EXPECT_EQ(as_vector(sample_distinct_indices(source, 10, 3)),
              (std::vector<std::uint64_t>{8, 5, 2}));
    EXPECT_EQ(as_vector(sample_distinct_indices(source, 10, 3)),
              (std::vector<std::uint64_t>{9, 6, 7}));
}

TEST(SampleDistinctIndices, FloydMatchesOracleAndCoversEveryInsertion) {
    // Counts of the ways a triple can come out: second draw repeats the first, third draw hits
    // position 0 or position 1.
    int second_repeats = 0, third_hits_front = 0, third_hits_back = 0;
    for (std::uint64_t seed = 0; seed < 200; ++seed) {
        const auto words = textbook_words(seed, 512);
        WordCursor cursor{words};
        auto source = RandomSource::from_u64_seed(seed);
        for (const std::size_t length :
             {std::size_t{3}, std::size_t{4}, std::size_t{5}, std::size_t{10}}) {
            const std::size_t pos_before = cursor.pos;
            const auto expected = oracle_floyd(cursor, length, 3);
            const IndexList got = sample_distinct_indices(source, length, 3);
            ASSERT_EQ(as_vector(got), expected) << "seed " << seed << " length " << length;
            EXPECT_FALSE(got.wide);
            // Replay the three draws to see which insertion rule produced the triple.
            WordCursor replay{words, pos_before};
            const std::uint32_t t0 = replay.uniform(static_cast<std::uint32_t>(length - 3));
            const std::uint32_t t1 = replay.uniform(static_cast<std::uint32_t>(length - 2));
            const std::uint32_t t2 = replay.uniform(static_cast<std::uint32_t>(length - 1));
            const std::uint64_t n = length;
            std::vector<std::uint64_t> two = {t0, t1};
            if (t1 == t0) {
                ++second_repeats;
                two = {n - 2, t0};
            }
            if (t2 == two[0]) {
                ++third_hits_front;
                EXPECT_EQ(as_vector(got), (std::vector<std::uint64_t>{n - 1, two[0], two[1]}));
            } else if (t2 == two[1]) {
                ++third_hits_back;
                EXPECT_EQ(as_vector(got), (std::vector<std::uint64_t>{two[0], n - 1, two[1]}));
            } else {
                EXPECT_EQ(as_vector(got), (std::vector<std::uint64_t>{two[0], two[1], t2}));
            }
        }
        EXPECT_EQ(source.next_u32(), cursor.u32());
    }
    EXPECT_GT(second_repeats, 0);
    EXPECT_GT(third_hits_front, 0);
    EXPECT_GT(third_hits_back, 0);
}

TEST(SampleDistinctIndices, SmallAmountsDoNotAllocate) {
    auto source = RandomSource::from_u64_seed(13);
    std::uint64_t checksum = 0;
    const std::size_t before = allocation_count;
    for (int trial = 0; trial < 1000; ++trial) {
        for (const std::size_t amount : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
            const IndexList got = sample_distinct_indices(source, 1000, amount);
            for (std::size_t i = 0; i < got.size(); ++i) checksum += got[i];
        }
    }
    EXPECT_EQ(allocation_count, before);
    EXPECT_GT(checksum, 0u);
}

TEST(SampleDistinctIndices, LengthThreeGivesPermutations) {
    std::set<std::vector<std::uint64_t>> seen;
    for (std::uint64_t seed = 0; seed < 100; ++seed) {
        auto source = RandomSource::from_u64_seed(seed);
        auto v = as_vector(sample_distinct_indices(source, 3, 3));
        seen.insert(v);
        std::sort(v.begin(), v.end());
        ASSERT_EQ(v, (std::vector<std::uint64_t>{0, 1, 2}));
    }
    EXPECT_EQ(seen.size(), 6u);
}

TEST(SampleDistinctIndices, LargerAmountsMatchOracle) {
    // Beyond three entries the list leaves its inline storage; insertions must still land right.
    for (const std::uint64_t seed : seeds) {
        const auto words = textbook_words(seed, 2000);
        WordCursor cursor{words};
        auto source = RandomSource::from_u64_seed(seed);
        for (const std::size_t amount : std::array<std::size_t, 6>{1, 2, 4, 7, 12, 20}) {
            const auto expected = oracle_floyd(cursor, 20, amount);
            ASSERT_EQ(as_vector(sample_distinct_indices(source, 20, amount)), expected)
                << "seed " << seed << " amount " << amount;
        }
    }
}

TEST(SampleDistinctIndices, AmountZeroDrawsNothing) {
    for (const std::size_t length : {std::size_t{0}, std::size_t{10}, std::size_t{1} << 40}) {
        auto source = RandomSource::from_u64_seed(9);
        const IndexList got = sample_distinct_indices(source, length, 0);
        EXPECT_EQ(got.size(), 0u);
        EXPECT_EQ(source.next_u32(), textbook_words(9, 1)[0]) << length;
    }
}

TEST(SampleDistinctIndices, AmountAboveLengthPanics) {
    const std::pair<std::size_t, std::size_t> cases[] = {
        {0, 1}, {2, 3}, {10, 11}, {std::size_t{1} << 32, (std::size_t{1} << 32) + 1}};
    for (const auto& [length, amount] : cases) {
        auto source = RandomSource::from_u64_seed(0);
        expect_panic([&] { sample_distinct_indices(source, length, amount); },
                     "`amount` of samples must be less than or equal to `length`");
    }
}

TEST(SampleDistinctIndices, WidePathMatchesOracle) {
    // 2^63 + 1 rejects about half of all 64-bit words, so the zone is exercised.
    const std::uint64_t lengths[] = {std::uint64_t{1} << 32, (std::uint64_t{1} << 40) + 17,
                                     (std::uint64_t{1} << 63) + 1, 0xffffffffffffffffull};
    int rejections = 0;
    for (const std::uint64_t seed : seeds) {
        const auto words = textbook_words(seed, 4000);
        WordCursor cursor{words};
        auto source = RandomSource::from_u64_seed(seed);
        for (const std::uint64_t length : lengths) {
            for (const std::uint64_t amount : std::array<std::uint64_t, 3>{1, 3, 20}) {
                const auto expected = oracle_rejection(cursor, length, amount, &rejections);
                const IndexList got = sample_distinct_indices(source, length, amount);
                ASSERT_EQ(as_vector(got), expected) << "seed " << seed << " length " << length;
                EXPECT_TRUE(got.wide);
                const std::set<std::uint64_t> distinct(expected.begin(), expected.end());
                EXPECT_EQ(distinct.size(), amount);
                for (const std::uint64_t v : expected) EXPECT_LT(v, length);
            }
        }
        EXPECT_EQ(source.next_u32(), cursor.u32());
    }
    EXPECT_GT(rejections, 0);
}

TEST(SampleDistinctIndices, LargestNarrowLengthStaysOnFloydPath) {
    const std::uint64_t length = 0xffffffffu;
    const auto words = textbook_words(21, 64);
    WordCursor cursor{words};
    auto source = RandomSource::from_u64_seed(21);
    const IndexList got = sample_distinct_indices(source, length, 3);
    EXPECT_FALSE(got.wide);
    EXPECT_EQ(as_vector(got), oracle_floyd(cursor, length, 3));
}

// ---- IndexList storage ----

TEST(IndexList, InsertAndPushBackMatchVectorAcrossInlineLimit) {
    // Each step is (position, value); position -1 means push_back.
    const std::vector<std::pair<int, std::uint64_t>> steps = {{-1, 10}, {0, 11}, {1, 12}, {-1, 13},
                                                              {0, 14},  {5, 15}, {2, 16}, {-1, 17}};
    IndexList list;
    std::vector<std::uint64_t> expected;
    for (const auto& [pos, value] : steps) {
        if (pos < 0) {
            list.push_back(value);
            expected.push_back(value);
        } else {
            list.insert(static_cast<std::size_t>(pos), value);
            expected.insert(expected.begin() + pos, value);
        }
        ASSERT_EQ(as_vector(list), expected);
    }
}

}  // namespace

TEST(MultiplyWidePortable, EqualsTheBuiltInProduct) {
    // The portable product serves compilers without __int128; here it is held against it.
    __extension__ using u128 = unsigned __int128;
    std::vector<std::uint64_t> values = {0,
                                         1,
                                         2,
                                         0xffffffffull,
                                         0x100000000ull,
                                         0xffffffffffffffffull,
                                         0x8000000000000000ull,
                                         0xfffffffeffffffffull};
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
