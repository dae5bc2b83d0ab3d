// The rules that cut parallel work into chunks and pieces, shared by the chunked triplet
// metrics and the pairwise homoplasy score.
#pragma once

#include <cstdint>
#include <optional>

namespace veltrane {

// W: the pool size capped by max_threads. A max_threads of 0 counts as 1, so no rule ever
// divides by zero.
std::uint64_t worker_count(std::optional<std::uint64_t> max_threads,
                           std::uint64_t pool_size) noexcept;

// min(W, max(1, floor(sqrt((work / a) * (work / b))))); the product saturates instead of
// wrapping, which the cap by W makes exact.
std::uint64_t chunk_count_for(std::uint64_t work, std::uint64_t a, std::uint64_t b,
                              std::uint64_t workers) noexcept;

// Pieces per chunk, so that workers that finish early can take over pieces: the parallel
// triplet metric cuts 1 below 4 chunks, 2 up to 15, 3 up to 49, 4 from 50.
std::uint64_t pieces_per_chunk_parallel(std::uint64_t chunk_count) noexcept;

// The optimized triplet metric's and the pairwise homoplasy score's cut: 2 below 8 chunks,
// 3 below 32, 4 from 32.
std::uint64_t pieces_per_chunk_optimized(std::uint64_t chunk_count) noexcept;

}  // namespace veltrane
