// The optimized triplet metric: the chunked engine of the parallel metric with a higher
// exhaustive threshold, later parallel cut-offs and fewer, larger chunks.
#pragma once

#include <cstdint>
#include <optional>

#include "metrics/triplets/parallel_triplets.hpp"

namespace veltrane {

// Same content and construction as the ultra metric's data.
using OptimizedTreeData = UltraFastTreeData;

// The optimized metric. Stores LCA tables in both trees. Throws Panic for trees of different
// named-leaf counts, for unreachable nodes, and on an entropy failure (sampling, no seed).
TripletModeResult calculate_triplets_correct_optimized(SimpleRootedTree& tree1,
                                                       SimpleRootedTree& tree2,
                                                       std::uint64_t number_of_trials,
                                                       std::optional<std::uint64_t> seed,
                                                       std::optional<std::uint64_t> max_threads);

namespace detail {
extern const ChunkRules optimized_rules;
}  // namespace detail

}  // namespace veltrane
