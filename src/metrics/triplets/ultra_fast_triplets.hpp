// The ultra triplet metric and the machinery it shares with the parallel and optimized
// metrics: leaves paired by position, triples counted exactly or sampled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/tree/simple_rooted_tree.hpp"
#include "metrics/triplets/triplets.hpp"

namespace veltrane {

class RandomSource;

// Per-tree data of the metrics that pair leaves by position. Position p is the p-th leaf in
// id order; n_leaves counts the named leaves, and positions 0 .. n_leaves - 1 cover the first
// n_leaves leaves, named or not. Leaves in id order are visited in that order by the Euler
// tour, so the common ancestor of leaves p < q is the shallowest node the tour passes between
// their first visits: one range-minimum query instead of an n x n depth table.
struct UltraFastTreeData {
    const SimpleRootedTree* tree = nullptr;  // with stored LCA tables; outlives the data
    std::size_t n_leaves = 0;
    std::vector<std::size_t> first_visit;  // tour position of the first visit of each position
    // Entry m: depth of the common ancestor of positions m and m + 1. The ancestor of p < q is
    // the shallowest of entries p .. q - 1, which lets the exhaustive loop stream through it.
    std::vector<std::uint64_t> adjacent_depths;

    // Only n_leaves and adjacent_depths, from one linear pass over the Euler tour, failing
    // exactly as storing the tree's LCA tables would; enough for count_all_triples.
    // pair_depth needs enable_pair_queries() first.
    static UltraFastTreeData build_positions(const SimpleRootedTree& tree);

    // Stores the tree's LCA tables and the first visits, for pair_depth and sampling.
    void enable_pair_queries(SimpleRootedTree& tree);

    // Depth of the common ancestor of positions p < q < n_leaves.
    std::uint64_t pair_depth(std::size_t p, std::size_t q) const;
};

// The outgroup among three distinct positions below n_leaves (member a, b or c for i, j, k).
Outgroup get_outgroup_ultra_fast(const UltraFastTreeData& data, std::size_t i, std::size_t j,
                                 std::size_t k);

// Tallies every triple i < j < k below n_leaves, counted without visiting them one by one.
// Throws Panic when the named-leaf counts differ.
TripletTally count_all_triples(const UltraFastTreeData& data1, const UltraFastTreeData& data2);

// Runs `trials` trials, each tallying the positions of one sample_distinct_indices(source, n,
// min(n, 3)) draw. Throws Panic when trials > 0 and n < 3.
TripletTally tally_sampled_triples(const UltraFastTreeData& data1, const UltraFastTreeData& data2,
                                   RandomSource& source, std::uint64_t trials);

// The ultra metric: every triple when there are at most 100000 or at most number_of_trials of
// them, else number_of_trials sampled triples. Stores LCA tables in both trees. Throws Panic
// for trees of different named-leaf counts, for unreachable nodes, and on an entropy failure.
TripletModeResult calculate_triplets_correct_ultra(SimpleRootedTree& tree1, SimpleRootedTree& tree2,
                                                   std::uint64_t number_of_trials,
                                                   std::optional<std::uint64_t> seed);

namespace detail {

// n (n - 1) (n - 2) / 6, or 0 below 3; saturates at 2^64 - 1 instead of wrapping. No n has
// exactly 2^64 - 1 triples, so that value always means "more than 64 bits hold".
std::uint64_t triple_count(std::uint64_t n) noexcept;

// True when every triple fits in `trials`: a saturated count exceeds any trial count, so trees
// past about 4.8 million leaves are sampled even with number_of_trials = 2^64 - 1 rather than
// counted into tallies that would wrap.
bool triples_within(std::uint64_t triples, std::uint64_t trials) noexcept;

// Checks that both trees name the same number of leaves; throws Panic otherwise.
void require_same_taxa_count(const UltraFastTreeData& data1, const UltraFastTreeData& data2);

}  // namespace detail

}  // namespace veltrane
