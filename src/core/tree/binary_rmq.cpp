// Sparse-table range minimum with fixed tie rules: the right candidate wins while building,
// the left block's candidate wins while querying.
#include "core/tree/binary_rmq.hpp"

#include <algorithm>
#include <bit>
#include <string>
#include <utility>

#include "core/support/interrupt.hpp"
#include "core/support/memory.hpp"
#include "core/support/panic.hpp"

namespace veltrane {

namespace {
// Rows filled between two interrupt checks, and the work units they count for: a row takes a
// few nanoseconds.
constexpr std::size_t rows_per_check = 1024;
constexpr std::int64_t rows_check_cost = 32;
}  // namespace

BinaryRmq BinaryRmq::from_vec(std::vector<std::uint64_t> values) {
    const std::size_t n = values.size();
    if (n > max_rmq_size) throw Panic("input too large for binary rmq");
    BinaryRmq rmq;
    rmq.width = n < 2 ? 1 : static_cast<std::size_t>(65 - std::countl_zero(std::uint64_t{n - 1}));
    rmq.values = std::move(values);
    if (n == 0) return rmq;
    const std::size_t width = rmq.width;
    const std::vector<std::uint64_t>& v = rmq.values;
    std::vector<std::uint32_t>& table = rmq.offsets;
    // The table's size is known now: a tree too large for memory fails here, not halfway.
    require_memory(n, width * sizeof(std::uint32_t));
    table.assign(n * width, 0);  // entry (i, 0) is 0: a block of one
    for (std::size_t k = 0; k + 1 < width; ++k) {
        const std::size_t half = std::size_t{1} << k;
        // Blocks starting at i >= n - half run past the end, are never queried and stay 0.
        for (std::size_t start = 0; start + half < n; start += rows_per_check) {
            check_interrupt(rows_check_cost);
            const std::size_t stop = std::min(n - half, start + rows_per_check);
            for (std::size_t i = start; i < stop; ++i) {
                const std::size_t left = i + table[i * width + k];
                const std::size_t right = i + half + table[(i + half) * width + k];
                const std::size_t winner = v[left] < v[right] ? left : right;
                table[i * width + k + 1] = static_cast<std::uint32_t>(winner - i);
            }
        }
    }
    return rmq;
}

std::size_t BinaryRmq::range_min(std::size_t l, std::size_t r) const {
    if (l > r || r >= values.size()) {
        throw Panic("range_min(" + std::to_string(l) + ", " + std::to_string(r) +
                    ") is outside a sequence of " + std::to_string(values.size()) + " values");
    }
    // The level comes from r - l, not from the block length r - l + 1; the two blocks still
    // cover [l, r].
    const std::size_t k =
        r > l ? static_cast<std::size_t>(63 - std::countl_zero(std::uint64_t{r - l})) : 0;
    const std::size_t right_start = r - (std::size_t{1} << k) + 1;
    const std::size_t c1 = l + offsets[l * width + k];
    const std::size_t c2 = right_start + offsets[right_start * width + k];
    return values[c2] < values[c1] ? c2 : c1;
}

}  // namespace veltrane
