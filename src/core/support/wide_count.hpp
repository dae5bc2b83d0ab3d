// Unsigned counts of up to 128 bits from 64-bit halves, for compilers without unsigned __int128:
// the number of triples of a tree passes 2^64 near 4.8 million leaves, and the 64-bit uniform
// draw needs the high half of a 128-bit product.
#pragma once

#include <cstdint>

namespace veltrane {

struct WideCount {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    bool operator==(const WideCount&) const = default;
};

WideCount wide_add(WideCount a, WideCount b) noexcept;
WideCount wide_sub(WideCount a, WideCount b) noexcept;  // a >= b
WideCount wide_mul(std::uint64_t a, std::uint64_t b) noexcept;

// The count rounded to the nearest double, ties to even: below 2^64 the same double as the
// 64-bit count gives.
double to_double(WideCount count) noexcept;

}  // namespace veltrane
