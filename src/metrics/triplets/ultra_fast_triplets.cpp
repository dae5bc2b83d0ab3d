// The ultra triplet metric: exhaustive or sampled, leaves of the two trees paired by position.
#include "metrics/triplets/ultra_fast_triplets.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <utility>

#include "core/random/random_source.hpp"
#include "core/support/interrupt.hpp"
#include "core/support/panic.hpp"
#include "core/tree/lca.hpp"
#include "metrics/triplets/exact_triplets.hpp"

namespace veltrane {

namespace {

// Outgroup of positions p < q < r, from the depths of the pairs (p, q) and (q, r). The tour
// passes the first visit of q between those of p and r, so the ancestor of (p, r) is the
// shallower of the two.
inline Outgroup ordered_outgroup(std::uint64_t dpq, std::uint64_t dqr) noexcept {
    return outgroup_from_depths(dpq, std::min(dpq, dqr), dqr);
}

// How many of the leaves (ids in id order) carry a label.
std::size_t named_leaf_count(const SimpleRootedTree& tree, const std::vector<NodeId>& leaves) {
    return static_cast<std::size_t>(std::count_if(
        leaves.begin(), leaves.end(), [&](NodeId id) { return tree.nodes[id].taxa.has_value(); }));
}

}  // namespace

UltraFastTreeData UltraFastTreeData::build_positions(const SimpleRootedTree& tree) {
    const CheckedTour tour = checked_euler_tour(tree);
    UltraFastTreeData data;
    const std::vector<NodeId> leaves = leaf_ids(tree);
    data.n_leaves = named_leaf_count(tree, leaves);
    std::vector<std::size_t> first(data.n_leaves);
    // Node ids follow the text, a pre-order walk, so the tour meets the leaves in id order.
    for (std::size_t p = 0; p < data.n_leaves; ++p) first[p] = tour.first[leaves[p]];
    // The ancestor of neighbours m and m + 1 is the shallowest node the tour passes between
    // their first visits; neighbouring stretches share only their ends, so one pass.
    if (data.n_leaves > 1) {
        data.adjacent_depths.resize(data.n_leaves - 1);
        for (std::size_t m = 0; m + 1 < data.n_leaves; ++m) {
            data.adjacent_depths[m] = *std::min_element(
                tour.depths.begin() + static_cast<std::ptrdiff_t>(first[m]),
                tour.depths.begin() + static_cast<std::ptrdiff_t>(first[m + 1]) + 1);
        }
    }
    return data;
}

void UltraFastTreeData::enable_pair_queries(SimpleRootedTree& source) {
    if (!source.rmq) precompute_constant_time_lca(source);
    tree = &source;
    const std::vector<NodeId> leaves = leaf_ids(source);
    first_visit.resize(n_leaves);
    for (std::size_t p = 0; p < n_leaves; ++p) first_visit[p] = source.fa_index[leaves[p]];
}

std::uint64_t UltraFastTreeData::pair_depth(std::size_t p, std::size_t q) const {
    return tree->depth_table[tree->rmq->range_min(first_visit[p], first_visit[q])];
}

Outgroup get_outgroup_ultra_fast(const UltraFastTreeData& data, std::size_t i, std::size_t j,
                                 std::size_t k) {
    // The rule does not depend on the order of the members, so sort them by position.
    std::array<std::pair<std::size_t, Outgroup>, 3> m{
        {{i, Outgroup::a}, {j, Outgroup::b}, {k, Outgroup::c}}};
    if (m[1].first < m[0].first) std::swap(m[0], m[1]);
    if (m[2].first < m[1].first) std::swap(m[1], m[2]);
    if (m[1].first < m[0].first) std::swap(m[0], m[1]);
    const Outgroup o = ordered_outgroup(data.pair_depth(m[0].first, m[1].first),
                                        data.pair_depth(m[1].first, m[2].first));
    switch (o) {
        case Outgroup::a:
            return m[0].second;
        case Outgroup::b:
            return m[1].second;
        case Outgroup::c:
            return m[2].second;
        case Outgroup::none:
            break;
    }
    return Outgroup::none;
}

TripletTally count_all_triples(const UltraFastTreeData& data1, const UltraFastTreeData& data2) {
    detail::require_same_taxa_count(data1, data2);
    const DepthProfile p1 = DepthProfile::build(data1.adjacent_depths);
    const DepthProfile p2 = DepthProfile::build(data2.adjacent_depths);
    return detail::count_triples_by_middle(p1, p2, 0, p1.n);
}

TripletTally tally_sampled_triples(const UltraFastTreeData& data1, const UltraFastTreeData& data2,
                                   RandomSource& source, std::uint64_t trials) {
    TripletTally tally;
    const std::size_t n = data1.n_leaves;
    if (trials == 0) return tally;
    if (n < 3 || data2.n_leaves != n) throw Panic("sampling needs three leaves in both trees");
    for (std::uint64_t trial = 0; trial < trials; ++trial) {
        check_interrupt();
        const IndexList drawn = sample_distinct_indices(source, n, std::min<std::size_t>(n, 3));
        const std::size_t p0 = static_cast<std::size_t>(drawn[0]);
        const std::size_t p1 = static_cast<std::size_t>(drawn[1]);
        const std::size_t p2 = static_cast<std::size_t>(drawn[2]);
        count_trial(tally, get_outgroup_ultra_fast(data1, p0, p1, p2),
                    get_outgroup_ultra_fast(data2, p0, p1, p2));
    }
    return tally;
}

TripletModeResult calculate_triplets_correct_ultra(SimpleRootedTree& tree1, SimpleRootedTree& tree2,
                                                   std::uint64_t number_of_trials,
                                                   std::optional<std::uint64_t> seed) {
    // Positions first: the exhaustive count needs no LCA tables, sampling adds them.
    UltraFastTreeData data1 = UltraFastTreeData::build_positions(tree1);
    UltraFastTreeData data2 = UltraFastTreeData::build_positions(tree2);
    detail::require_same_taxa_count(data1, data2);
    const std::uint64_t triples = detail::triple_count(data1.n_leaves);
    TripletModeResult result;
    TripletTally tally;
    if (triples <= 100000 || detail::triples_within(triples, number_of_trials)) {
        // Exact and independent of the seed: no source is made.
        tally = count_all_triples(data1, data2);
        result.method_used = "exhaustive";
        result.total_triplets_checked = triples;
    } else {
        data1.enable_pair_queries(tree1);
        data2.enable_pair_queries(tree2);
        RandomSource source = RandomSource::from_seed_or_entropy(seed);
        tally = tally_sampled_triples(data1, data2, source, number_of_trials);
        result.method_used = "sampling";
        result.total_triplets_checked = number_of_trials;
    }
    result.ratios = triplet_ratios(tally, result.total_triplets_checked);
    return result;
}

namespace detail {

std::uint64_t triple_count(std::uint64_t n) noexcept {
    if (n < 3) return 0;
    std::array<std::uint64_t, 3> f{n, n - 1, n - 2};
    // Divide before multiplying: one of n, n - 1 is even and one of the three is a multiple
    // of 3, so the product of the reduced factors is exact.
    if (f[0] % 2 == 0) {
        f[0] /= 2;
    } else {
        f[1] /= 2;
    }
    for (std::uint64_t& x : f) {
        if (x % 3 == 0) {
            x /= 3;
            break;
        }
    }
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t product = 1;
    for (const std::uint64_t x : f) {
        if (x != 0 && product > max / x) return max;
        product *= x;
    }
    return product;
}

bool triples_within(std::uint64_t triples, std::uint64_t trials) noexcept {
    return triples != std::numeric_limits<std::uint64_t>::max() && triples <= trials;
}

void require_same_taxa_count(const UltraFastTreeData& data1, const UltraFastTreeData& data2) {
    if (data1.n_leaves != data2.n_leaves) throw Panic("Trees must have the same number of taxa");
}

}  // namespace detail

}  // namespace veltrane
