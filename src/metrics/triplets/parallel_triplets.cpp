// The parallel triplet metric: exhaustive pieces of middle positions, or sampling chunks with
// their own seeded sources, on the process-wide worker pool.
#include "metrics/triplets/parallel_triplets.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/pool/chunking.hpp"
#include "core/pool/pool.hpp"
#include "core/random/random_source.hpp"
#include "metrics/triplets/exact_triplets.hpp"

namespace veltrane {

namespace detail {

namespace {

// Start of piece q when `size` items are cut into `pieces` nearly equal ranges.
std::size_t piece_begin(std::size_t size, std::size_t pieces, std::size_t q) noexcept {
    return q * (size / pieces) + std::min(q, size % pieces);
}

TripletTally sum(const std::vector<TripletTally>& parts) {
    TripletTally total;
    for (const TripletTally& part : parts) total += part;
    return total;
}

}  // namespace

const ChunkRules parallel_rules{
    100000.0,
    10000,
    8000,
    2000,
    pieces_per_chunk_parallel,
    2000,
    5000,
    8000,
    2000,
    "parallel_exhaustive",
    "parallel_sampling",
};

bool choose_exhaustive(std::uint64_t n, std::uint64_t triples, std::uint64_t trials,
                       std::uint64_t workers, double per_sqrt_worker) noexcept {
    const auto threshold =
        static_cast<std::uint64_t>(std::sqrt(static_cast<double>(workers)) * per_sqrt_worker);
    return n < 26 || triples_within(triples, trials) || triples <= threshold;
}

ExhaustivePlan plan_exhaustive(std::uint64_t triples, const ChunkRules& rules,
                               std::uint64_t workers) noexcept {
    ExhaustivePlan plan;
    const std::uint64_t chunks =
        chunk_count_for(triples, rules.exhaustive_divisor_a, rules.exhaustive_divisor_b, workers);
    if (triples < rules.exhaustive_sequential_below || chunks == 1) return plan;
    plan.chunk_count = chunks;
    plan.piece_size = std::max<std::uint64_t>(1, triples / chunks / rules.piece_divisor(chunks));
    plan.pieces = triples / plan.piece_size + (triples % plan.piece_size != 0 ? 1 : 0);
    // The reported count is min(chunks, pieces); pieces are never fewer than chunks.
    plan.chunk_count = std::min(plan.chunk_count, plan.pieces);
    return plan;
}

std::uint64_t plan_sampling(std::uint64_t trials, const ChunkRules& rules,
                            std::uint64_t workers) noexcept {
    if (trials < rules.sampling_sequential_below) return 1;
    const std::uint64_t chunks =
        chunk_count_for(trials, rules.sampling_divisor_a, rules.sampling_divisor_b, workers);
    return trials < rules.sampling_chunked_from ? 1 : chunks;
}

std::uint64_t chunk_trials(std::uint64_t trials, std::uint64_t chunks, std::uint64_t q) noexcept {
    return trials / chunks + (q < trials % chunks ? 1 : 0);
}

TripletModeResult calculate_chunked_triplets(SimpleRootedTree& tree1, SimpleRootedTree& tree2,
                                             std::uint64_t number_of_trials,
                                             std::optional<std::uint64_t> seed,
                                             std::optional<std::uint64_t> max_threads,
                                             const ChunkRules& rules) {
    // Positions first: the exhaustive count needs no LCA tables, sampling adds them.
    ParallelTreeData data1 = ParallelTreeData::build_positions(tree1);
    ParallelTreeData data2 = ParallelTreeData::build_positions(tree2);
    require_same_taxa_count(data1, data2);
    const std::uint64_t n = data1.n_leaves;
    const std::uint64_t triples = triple_count(n);
    // Every call obtains the pool, whatever mode it then takes.
    const std::uint64_t workers = worker_count(max_threads, pool_size());

    TripletModeResult result;
    TripletTally tally;
    if (choose_exhaustive(n, triples, number_of_trials, workers,
                          rules.exhaustive_triples_per_sqrt_worker)) {
        const ExhaustivePlan plan = plan_exhaustive(triples, rules, workers);
        if (plan.pieces == 0) {
            tally = count_all_triples(data1, data2);
        } else {
            // As many pieces as the plan makes, each a range of middle positions counted on
            // its own; the counts are integers, so their sum does not depend on the cut.
            const DepthProfile p1 = DepthProfile::build(data1.adjacent_depths);
            const DepthProfile p2 = DepthProfile::build(data2.adjacent_depths);
            const std::size_t positions = p1.n;
            const auto pieces = static_cast<std::size_t>(
                std::min<std::uint64_t>(plan.pieces, std::max<std::size_t>(positions, 1)));
            std::vector<TripletTally> parts(pieces);
            run_chunks(parts.size(), [&](std::size_t q) {
                parts[q] = count_triples_by_middle(p1, p2, piece_begin(positions, pieces, q),
                                                   piece_begin(positions, pieces, q + 1));
            });
            tally = sum(parts);
        }
        result.method_used = rules.exhaustive_method;
        result.total_triplets_checked = triples;
        result.parallel_chunks_used = plan.chunk_count;
    } else {
        const std::uint64_t chunks = plan_sampling(number_of_trials, rules, workers);
        data1.enable_pair_queries(tree1);
        data2.enable_pair_queries(tree2);
        RandomSource master = RandomSource::from_seed_or_entropy(seed);
        if (chunks == 1) {
            tally = tally_sampled_triples(data1, data2, master, number_of_trials);
        } else {
            // Chunk seeds are drawn in chunk order before any chunk runs, so the result
            // depends on the seed and the chunk count only, never on scheduling.
            std::vector<std::uint64_t> chunk_seeds(chunks);
            for (std::uint64_t& s : chunk_seeds) s = master.next_u64();
            std::vector<TripletTally> parts(chunks);
            run_chunks(parts.size(), [&](std::size_t q) {
                RandomSource source = RandomSource::from_u64_seed(chunk_seeds[q]);
                parts[q] = tally_sampled_triples(data1, data2, source,
                                                 chunk_trials(number_of_trials, chunks, q));
            });
            tally = sum(parts);
        }
        result.method_used = rules.sampling_method;
        result.total_triplets_checked = number_of_trials;
        result.parallel_chunks_used = chunks;
    }
    result.ratios = triplet_ratios(tally, result.total_triplets_checked);
    return result;
}

}  // namespace detail

TripletModeResult calculate_triplets_correct_parallel(SimpleRootedTree& tree1,
                                                      SimpleRootedTree& tree2,
                                                      std::uint64_t number_of_trials,
                                                      std::optional<std::uint64_t> seed,
                                                      std::optional<std::uint64_t> max_threads) {
    return detail::calculate_chunked_triplets(tree1, tree2, number_of_trials, seed, max_threads,
                                              detail::parallel_rules);
}

}  // namespace veltrane
