// Sparse-table range-minimum structure over a sequence of depths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltrane {

// Most values a table can hold: positions are stored as 32-bit offsets.
inline constexpr std::size_t max_rmq_size = 0xFFFF'FFFFu;

struct BinaryRmq {
    std::vector<std::uint64_t> values;
    // Row-major n x width table; entry (i, k) is the offset from i of a minimum of
    // values[i .. i + 2^k - 1] (0 for blocks that run past the end).
    std::vector<std::uint32_t> offsets;
    std::size_t width = 1;

    // Builds the table; throws Panic("input too large for binary rmq") above 2^32 - 1 values.
    static BinaryRmq from_vec(std::vector<std::uint64_t> values);

    // Position of a minimum of values[l..r]; requires l <= r < values.size().
    // On equal values the candidate of the left block wins.
    std::size_t range_min(std::size_t l, std::size_t r) const;
};

}  // namespace veltrane
