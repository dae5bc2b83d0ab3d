// The optimized triplet metric's constants. Counts are integers, so summing the pieces in
// any order gives the parallel engine's result exactly.
#include "metrics/triplets/optimized_triplets.hpp"

#include "core/pool/chunking.hpp"

namespace veltrane {

namespace detail {

const ChunkRules optimized_rules{
    150000.0,
    8000,
    12000,
    4000,
    pieces_per_chunk_optimized,
    4000,
    8000,
    12000,
    4000,
    "optimized_exhaustive",
    "optimized_sampling",
};

}  // namespace detail

TripletModeResult calculate_triplets_correct_optimized(SimpleRootedTree& tree1,
                                                       SimpleRootedTree& tree2,
                                                       std::uint64_t number_of_trials,
                                                       std::optional<std::uint64_t> seed,
                                                       std::optional<std::uint64_t> max_threads) {
    return detail::calculate_chunked_triplets(tree1, tree2, number_of_trials, seed, max_threads,
                                              detail::optimized_rules);
}

}  // namespace veltrane
