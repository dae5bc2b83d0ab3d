// The parallel triplet metric, and the chunked engine it shares with the optimized metric:
// mode choice, chunk counts and pieces on the process-wide worker pool.
#pragma once

#include <cstdint>
#include <optional>

#include "core/tree/simple_rooted_tree.hpp"
#include "metrics/triplets/triplets.hpp"
#include "metrics/triplets/ultra_fast_triplets.hpp"

namespace veltrane {

// Same content and construction as the ultra metric's data.
using ParallelTreeData = UltraFastTreeData;

// The parallel metric. Stores LCA tables in both trees. Throws Panic for trees of different
// named-leaf counts, for unreachable nodes, and on an entropy failure (sampling, no seed).
TripletModeResult calculate_triplets_correct_parallel(SimpleRootedTree& tree1,
                                                      SimpleRootedTree& tree2,
                                                      std::uint64_t number_of_trials,
                                                      std::optional<std::uint64_t> seed,
                                                      std::optional<std::uint64_t> max_threads);

namespace detail {

// The constants that tell the parallel and the optimized metric apart.
struct ChunkRules {
    double exhaustive_triples_per_sqrt_worker;
    std::uint64_t exhaustive_sequential_below;  // triples
    std::uint64_t exhaustive_divisor_a;         // chunk formula sqrt((K / a) * (K / b))
    std::uint64_t exhaustive_divisor_b;
    std::uint64_t (*piece_divisor)(std::uint64_t chunk_count) noexcept;
    std::uint64_t sampling_sequential_below;  // trials, before the chunk formula
    std::uint64_t sampling_chunked_from;      // trials, after the chunk formula
    std::uint64_t sampling_divisor_a;
    std::uint64_t sampling_divisor_b;
    const char* exhaustive_method;
    const char* sampling_method;
};

extern const ChunkRules parallel_rules;

// True when every triple is checked: n < 26, K <= T, or K <= floor(sqrt(W) * per_sqrt_worker).
bool choose_exhaustive(std::uint64_t n, std::uint64_t triples, std::uint64_t trials,
                       std::uint64_t workers, double per_sqrt_worker) noexcept;

// How an exhaustive run is cut: pieces == 0 means a sequential run (chunk_count 1).
struct ExhaustivePlan {
    std::uint64_t chunk_count = 1;
    std::uint64_t piece_size = 0;
    std::uint64_t pieces = 0;
};
ExhaustivePlan plan_exhaustive(std::uint64_t triples, const ChunkRules& rules,
                               std::uint64_t workers) noexcept;

// Chunks of a sampling run; 1 means a sequential run.
std::uint64_t plan_sampling(std::uint64_t trials, const ChunkRules& rules,
                            std::uint64_t workers) noexcept;

// Trials of chunk q: floor(T / chunks), plus one for the first T mod chunks chunks.
std::uint64_t chunk_trials(std::uint64_t trials, std::uint64_t chunks, std::uint64_t q) noexcept;

// The whole chunked metric under the given rules.
TripletModeResult calculate_chunked_triplets(SimpleRootedTree& tree1, SimpleRootedTree& tree2,
                                             std::uint64_t number_of_trials,
                                             std::optional<std::uint64_t> seed,
                                             std::optional<std::uint64_t> max_threads,
                                             const ChunkRules& rules);

}  // namespace detail

}  // namespace veltrane
