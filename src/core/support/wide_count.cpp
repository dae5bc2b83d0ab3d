// 128-bit counts from 64-bit halves.
#include "core/support/wide_count.hpp"

#include <bit>
#include <cmath>

namespace veltrane {

WideCount wide_add(WideCount a, WideCount b) noexcept {
    WideCount r;
    r.low = a.low + b.low;
    r.high = a.high + b.high + (r.low < a.low ? 1 : 0);
    return r;
}

WideCount wide_sub(WideCount a, WideCount b) noexcept {
    WideCount r;
    r.low = a.low - b.low;
    r.high = a.high - b.high - (a.low < b.low ? 1 : 0);
    return r;
}

WideCount wide_mul(std::uint64_t a, std::uint64_t b) noexcept {
    // Schoolbook product of 32-bit halves; no partial sum can overflow 64 bits.
    constexpr std::uint64_t half = 0xFFFFFFFFu;
    const std::uint64_t ll = (a & half) * (b & half);
    const std::uint64_t lh = (a & half) * (b >> 32);
    const std::uint64_t hl = (a >> 32) * (b & half);
    const std::uint64_t hh = (a >> 32) * (b >> 32);
    const std::uint64_t mid = (ll >> 32) + (lh & half) + (hl & half);
    return {hh + (lh >> 32) + (hl >> 32) + (mid >> 32), (mid << 32) | (ll & half)};
}

double to_double(WideCount count) noexcept {
    if (count.high == 0) return static_cast<double>(count.low);
    // The top 64 bits, with any bit cut off below folded into the lowest one: rounding to 53
    // bits then sees whether the value lies above a tie.
    const int shift = static_cast<int>(std::bit_width(count.high));
    const std::uint64_t lost =
        shift == 64 ? count.low : count.low & ((std::uint64_t{1} << shift) - 1);
    std::uint64_t top =
        shift == 64 ? count.high : (count.high << (64 - shift)) | (count.low >> shift);
    if (lost != 0) top |= 1;
    return std::ldexp(static_cast<double>(top), shift);
}

}  // namespace veltrane
