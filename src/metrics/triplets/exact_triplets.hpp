// Exact triplet counts for two trees whose leaves are paired by position, in O(n log n) time
// and linear memory, without visiting the triples one by one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "metrics/triplets/triplets.hpp"

namespace veltrane {

// One tree seen through its leaf positions. Leaves are numbered in text order, which is the
// order a depth-first walk meets them, so with adj[m] the depth of the common ancestor of
// positions m and m + 1, the ancestor of p < q has depth min(adj[p .. q - 1]). For a triple
// p < q < r with A = min(adj[p .. q - 1]) and B = min(adj[q .. r - 1]), the outgroup is r when
// A > B, p when A < B, and the triple is unresolved when A = B.
//
// For an anchor m (an index of adj) the profile keeps where the run of positions whose minimum
// towards m is adj[m] begins, and where, scanning right from m, the minimum first reaches
// adj[m] and first drops below it (each plus one, so they are positions r).
struct DepthProfile {
    std::span<const std::uint64_t> adj;
    std::size_t n = 0;                     // leaf positions: adj.size() + 1 (0 for no leaf)
    std::vector<std::size_t> run_begin;    // (last m' < m with adj[m'] < adj[m]) + 1, or 0
    std::vector<std::size_t> reach_after;  // (first m' > m with adj[m'] <= adj[m]) + 1, or n
    std::vector<std::size_t> drop_after;   // (first m' > m with adj[m'] < adj[m]) + 1, or n

    static DepthProfile build(std::span<const std::uint64_t> adjacent_depths);
};

namespace detail {

// Tallies every triple p < q < r < n whose middle position q lies in [q_begin, q_end), as the
// per-triple rule would, tree 1 first. Both profiles must cover the same n; throws Panic
// otherwise or when q_end > n. Runs in O((q_end - q_begin + depth) log n) for the stacks'
// depth at q_begin, so disjoint ranges of middles may be counted on different threads.
TripletTally count_triples_by_middle(const DepthProfile& tree1, const DepthProfile& tree2,
                                     std::size_t q_begin, std::size_t q_end);

}  // namespace detail

}  // namespace veltrane
