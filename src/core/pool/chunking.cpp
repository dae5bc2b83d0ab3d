// Chunk and piece counts of parallel runs.
#include "core/pool/chunking.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace veltrane {

std::uint64_t worker_count(std::optional<std::uint64_t> max_threads,
                           std::uint64_t pool_size) noexcept {
    const std::uint64_t w = max_threads ? std::min(*max_threads, pool_size) : pool_size;
    return std::max<std::uint64_t>(w, 1);
}

std::uint64_t chunk_count_for(std::uint64_t work, std::uint64_t a, std::uint64_t b,
                              std::uint64_t workers) noexcept {
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t x = work / a;
    const std::uint64_t y = work / b;
    const std::uint64_t product = x != 0 && y > max / x ? max : x * y;
    const auto root =
        static_cast<std::uint64_t>(std::floor(std::sqrt(static_cast<double>(product))));
    return std::min(workers, std::max<std::uint64_t>(1, root));
}

std::uint64_t pieces_per_chunk_parallel(std::uint64_t chunk_count) noexcept {
    if (chunk_count < 4) return 1;
    if (chunk_count <= 15) return 2;
    if (chunk_count <= 49) return 3;
    return 4;
}

std::uint64_t pieces_per_chunk_optimized(std::uint64_t chunk_count) noexcept {
    if (chunk_count < 8) return 2;
    if (chunk_count < 32) return 3;
    return 4;
}

}  // namespace veltrane
