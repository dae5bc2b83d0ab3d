// Tests of the up-front allocation check.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <vector>

#include "core/support/memory.hpp"

namespace veltrane {
namespace {

TEST(RequestFits, SmallAlwaysLargeOnlyWhenAvailableOverflowNever) {
    using detail::checked_request_bytes;
    using detail::request_fits;
    constexpr std::uint64_t gib = std::uint64_t{1} << 30;
    constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
    EXPECT_TRUE(request_fits(checked_request_bytes - 1, 1, 0));
    EXPECT_TRUE(request_fits(gib, 4, 4 * gib));
    EXPECT_FALSE(request_fits(gib, 4, 4 * gib - 1));
    EXPECT_TRUE(request_fits(checked_request_bytes, 1, checked_request_bytes));
    EXPECT_FALSE(request_fits(checked_request_bytes, 1, checked_request_bytes - 1));
    // Unknown availability refuses only a byte count that overflows.
    EXPECT_TRUE(request_fits(gib, 64, std::nullopt));
    EXPECT_FALSE(request_fits(max / 2 + 1, 2, std::nullopt));
}

TEST(RequireMemory, ImpossibleRequestsThrowBadAlloc) {
    ASSERT_GT(detail::available_memory_bytes().value_or(0), 0u);
    EXPECT_THROW(require_memory(std::numeric_limits<std::size_t>::max() / 4, 8), std::bad_alloc);
    EXPECT_THROW(require_memory(std::size_t{1} << 47, 8), std::bad_alloc);  // 2^50 bytes
    EXPECT_NO_THROW(require_memory(1000, 8));
    std::vector<std::uint32_t> v;
    EXPECT_THROW(reserve_checked(v, std::size_t{1} << 50), std::bad_alloc);
    EXPECT_EQ(v.capacity(), 0u);
}

}  // namespace
}  // namespace veltrane
