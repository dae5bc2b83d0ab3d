// Support units Python cannot see: the per-process hash key against labels crafted to collide
// without it, the up-front memory check, and 128-bit counts against the compiler's own.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/support/hashing.hpp"
#include "core/support/memory.hpp"
#include "core/support/wide_count.hpp"

namespace veltrane {
namespace {

// mix64 is a bijection: its inverse lets a text carry labels that collide under a known key.
std::uint64_t unmix64(std::uint64_t h) {
    const auto unshift = [](std::uint64_t x, int s) {
        std::uint64_t y = x;
        for (int k = s; k < 64; k += s) y = x ^ (y >> s);
        return y;
    };
    const auto inverse = [](std::uint64_t a) {  // a^-1 mod 2^64 for odd a, by Newton's steps
        std::uint64_t x = a;
        for (int i = 0; i < 5; ++i) x *= 2 - a * x;
        return x;
    };
    h = unshift(h, 31) * inverse(0x94d049bb133111ebULL);
    return unshift(unshift(h, 27) * inverse(0xbf58476d1ce4e5b9ULL), 30);
}

TEST(LabelHash, LabelsCraftedToCollideWithoutTheKeyAreSpreadByIt) {
    // 16-byte labels: any first word, then the second word that the last mix needs to give the
    // unkeyed hash of "flood". Under the process key they must land all over a table.
    const std::uint64_t start = 0x9e3779b97f4a7c15ULL * 17, flood = hash_label("flood", 0);
    std::set<std::uint64_t> homes;  // slots of a 4096-slot table: the hash's top 12 bits
    for (std::uint64_t w0 = 1; w0 <= 1500; ++w0) {
        const std::uint64_t words[2] = {w0, unmix64(flood) ^ mix64(start ^ w0)};
        const std::string label(reinterpret_cast<const char*>(words), 16);
        ASSERT_EQ(hash_label(label, 0), flood);
        homes.insert(hash_label(label, process_hash_key()) >> 52);
    }
    // 1500 random slots of 4096 fill 1256 on average, with a standard deviation of 12.
    EXPECT_GT(homes.size(), 1150u);
    EXPECT_NE(process_hash_key(), 0u);
    EXPECT_EQ(process_hash_key(), process_hash_key());
}

TEST(RequireMemory, LargeRequestsOnlyWhenAvailableAndImpossibleOnesThrow) {
    using detail::checked_request_bytes, detail::request_fits;
    constexpr std::uint64_t gib = std::uint64_t{1} << 30;
    EXPECT_TRUE(request_fits(checked_request_bytes - 1, 1, 0));
    EXPECT_TRUE(request_fits(gib, 4, 4 * gib));
    EXPECT_FALSE(request_fits(gib, 4, 4 * gib - 1));
    EXPECT_TRUE(request_fits(checked_request_bytes, 1, checked_request_bytes));
    EXPECT_FALSE(request_fits(checked_request_bytes, 1, checked_request_bytes - 1));
    EXPECT_TRUE(request_fits(gib, 64, std::nullopt));  // unknown: only an overflow is refused
    EXPECT_FALSE(request_fits(std::numeric_limits<std::size_t>::max() / 2 + 1, 2, std::nullopt));
    ASSERT_GT(detail::available_memory_bytes().value_or(0), 0u);
    EXPECT_THROW(require_memory(std::size_t{1} << 47, 8), std::bad_alloc);  // 2^50 bytes
    EXPECT_NO_THROW(require_memory(1000, 8));
    std::vector<std::uint32_t> v;
    EXPECT_THROW(reserve_checked(v, std::size_t{1} << 50), std::bad_alloc);
    EXPECT_EQ(v.capacity(), 0u);
}

#if defined(__SIZEOF_INT128__)
__extension__ typedef unsigned __int128 u128;

u128 native(WideCount c) { return (static_cast<u128>(c.high) << 64) | c.low; }

// The portable halves serve compilers without a 128-bit integer; here they meet one.
TEST(WideCount, PortableArithmeticMatchesTheCompilers) {
    std::mt19937_64 rng(7);
    const auto draw = [&] {
        const int kind = static_cast<int>(rng() % 3);
        return kind == 0   ? rng()
               : kind == 1 ? rng() >> (rng() % 64)
                           : ~std::uint64_t{0} - rng() % 3;
    };
    for (int i = 0; i < 100000; ++i) {
        const std::uint64_t a = draw(), b = draw(), c = draw(), d = draw();
        const WideCount x = wide_mul(a, b), y = wide_mul(c, d);
        ASSERT_EQ(native(x), static_cast<u128>(a) * b);
        ASSERT_EQ(native(wide_add(x, y)), native(x) + native(y));
        const bool x_first = native(x) >= native(y);
        const WideCount big = x_first ? x : y, small = x_first ? y : x;
        ASSERT_EQ(native(wide_sub(big, small)), native(big) - native(small));
        ASSERT_EQ(to_double(x), static_cast<double>(native(x)));  // ties to even
    }
    // Ties and values just past them, where rounding 128 bits to 53 goes wrong most easily.
    for (int shift = 53; shift < 128; ++shift) {
        const u128 tie = (u128{1} << shift) + (u128{1} << (shift - 53));
        for (const u128 v : {tie, tie + 1, tie - 1, tie + (u128{1} << (shift - 52))}) {
            const WideCount w{static_cast<std::uint64_t>(v >> 64), static_cast<std::uint64_t>(v)};
            ASSERT_EQ(to_double(w), static_cast<double>(v)) << shift;
        }
    }
}
#endif

}  // namespace
}  // namespace veltrane
