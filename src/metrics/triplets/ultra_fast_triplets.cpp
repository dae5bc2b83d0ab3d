// The ultra triplet metric: exhaustive or sampled, leaves of the two trees paired by position.
#include "metrics/triplets/ultra_fast_triplets.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <utility>

#include "metrics/triplets/exact_triplets.hpp"
#include "core/support/interrupt.hpp"
#include "core/support/panic.hpp"
#include "core/random/random_source.hpp"
#include "core/tree/lca.hpp"

namespace veltrane {

namespace {

constexpr std::uint64_t no_depth = std::numeric_limits<std::uint64_t>::max();

// Smallest of values[from .. to - 1]; no_depth for an empty range.
std::uint64_t min_of(const std::vector<std::uint64_t>& values, std::size_t from, std::size_t to) {
    std::uint64_t m = no_depth;
    for (std::size_t p = from; p < to; ++p) m = std::min(m, values[p]);
    return m;
}

// Outgroup of positions p < q < r, from the depths of the pairs (p, q) and (q, r). The tour
// passes the first visit of q between those of p and r, so the ancestor of (p, r) is the
// shallower of the two.
inline Outgroup ordered_outgroup(std::uint64_t dpq, std::uint64_t dqr) noexcept {
    return outgroup_from_depths(dpq, std::min(dpq, dqr), dqr);
}

}  // namespace

namespace {

// Leaf ids in id order, and how many of them carry a label.
std::size_t named_leaf_count(const SimpleRootedTree& tree, const std::vector<NodeId>& leaves) {
    return static_cast<std::size_t>(std::count_if(
        leaves.begin(), leaves.end(), [&](NodeId id) { return tree.nodes[id].taxa.has_value(); }));
}

// Node ids follow a pre-order walk, so the tour meets the leaves in id order.
void require_tour_order(const std::vector<std::size_t>& first_visit) {
    for (std::size_t p = 1; p < first_visit.size(); ++p) {
        if (first_visit[p] <= first_visit[p - 1]) throw Panic("leaves are not in Euler tour order");
    }
}

}  // namespace

UltraFastTreeData UltraFastTreeData::build_positions(const SimpleRootedTree& tree) {
    const CheckedTour tour = checked_euler_tour(tree);
    UltraFastTreeData data;
    const std::vector<NodeId> leaves = leaf_ids(tree);
    data.n_leaves = named_leaf_count(tree, leaves);
    std::vector<std::size_t> first(data.n_leaves);
    for (std::size_t p = 0; p < data.n_leaves; ++p) first[p] = tour.first[leaves[p]];
    require_tour_order(first);
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
    require_tour_order(first_visit);
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

namespace {

// The leaves k that follow a pair (i, j) in one tree. With a the depth of the ancestor of
// (i, j) and b(k) that of (j, k), the ancestor of (i, k) is the shallower of the two, so the
// rule gives the outgroup i while b(k) > a, none while b(k) = a, and k once b(k) < a. As k
// moves right b(k) only grows shallower, so the k after j fall into three consecutive zones:
// [j + 1, tie) outgroup i, [tie, below) unresolved, [below, n) outgroup k.
class KZones {
 public:
    explicit KZones(const std::vector<std::uint64_t>& adjacent) noexcept : adj_(adjacent) {}

    // Zones for the pair (i, j) with ancestor depth a. For a fixed i, successive calls with a
    // growing j (and a therefore never deeper) only move the scan positions forward, so
    // all pairs of one i cost O(n) together. restart() begins a new i.
    void restart(std::size_t j) noexcept { tie_ = below_ = j; }
    void place(std::size_t j, std::uint64_t a) noexcept {
        // b(k) = min(adj[j .. k - 1]) first reaches a at k = m + 1 for the first m >= j with
        // adj[m] <= a, and first drops below a after the first m with adj[m] < a.
        tie_ = std::max(tie_, j);
        while (tie_ < adj_.size() && adj_[tie_] > a) ++tie_;
        below_ = std::max(below_, tie_);
        while (below_ < adj_.size() && adj_[below_] >= a) ++below_;
    }
    Outgroup at(std::size_t k) const noexcept {
        if (k <= tie_) return Outgroup::a;
        return k <= below_ ? Outgroup::none : Outgroup::c;
    }
    std::size_t tie_start() const noexcept { return tie_ + 1; }
    std::size_t below_start() const noexcept { return below_ + 1; }

 private:
    const std::vector<std::uint64_t>& adj_;
    std::size_t tie_ = 0;
    std::size_t below_ = 0;
};

// Tallies the triples (i, j, k) for k in [k_begin, k_end): the zone boundaries of both trees
// cut the range into at most five pieces with a fixed pair of outgroups each.
void tally_run(TripletTally& tally, const KZones& zones1, const KZones& zones2, std::size_t k_begin,
               std::size_t k_end) {
    std::array<std::size_t, 6> cuts{
        k_begin, zones1.tie_start(), zones1.below_start(), zones2.tie_start(), zones2.below_start(),
        k_end};
    for (std::size_t& c : cuts) c = std::clamp(c, k_begin, k_end);
    std::sort(cuts.begin(), cuts.end());
    for (std::size_t m = 0; m + 1 < cuts.size(); ++m) {
        if (cuts[m] == cuts[m + 1]) continue;
        count_trials(tally, zones1.at(cuts[m]), zones2.at(cuts[m]), cuts[m + 1] - cuts[m]);
    }
}

}  // namespace

TripletTally tally_triple_ranks(const UltraFastTreeData& data1, const UltraFastTreeData& data2,
                                std::uint64_t begin, std::uint64_t end) {
    TripletTally tally;
    const std::size_t n = data1.n_leaves;
    if (data2.n_leaves != n || end > detail::triple_count(n)) {
        throw Panic("triple rank range outside the trees");
    }
    if (begin >= end) return tally;
    const std::vector<std::uint64_t>& adj1 = data1.adjacent_depths;
    const std::vector<std::uint64_t>& adj2 = data2.adjacent_depths;
    const detail::Triple first = detail::unrank_triple(begin, n);
    std::size_t i = first.i;
    std::size_t j = first.j;
    std::size_t k = first.k;
    // Depth of the ancestor of (i, j) in each tree.
    std::uint64_t a1 = min_of(adj1, i, j);
    std::uint64_t a2 = min_of(adj2, i, j);
    KZones zones1(adj1);
    KZones zones2(adj2);
    zones1.restart(j);
    zones2.restart(j);
    std::uint64_t remaining = end - begin;
    for (;;) {
        check_interrupt();
        // One run over k for the pair (i, j), in lexicographic order.
        zones1.place(j, a1);
        zones2.place(j, a2);
        const std::size_t run = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, n - k));
        tally_run(tally, zones1, zones2, k, k + run);
        remaining -= run;
        if (remaining == 0) break;
        if (j + 2 < n) {
            a1 = std::min(a1, adj1[j]);
            a2 = std::min(a2, adj2[j]);
            ++j;
        } else {
            ++i;
            j = i + 1;
            a1 = adj1[i];
            a2 = adj2[i];
            zones1.restart(j);
            zones2.restart(j);
        }
        k = j + 1;
    }
    return tally;
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
        RandomSource source =
            seed ? RandomSource::from_u64_seed(*seed) : RandomSource::from_entropy();
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

Triple unrank_triple(std::uint64_t rank, std::size_t n) {
    if (rank >= triple_count(n)) throw Panic("triple rank out of range");
    Triple t;
    // C(n - 1 - i, 2) triples start with i, and n - 1 - j of them continue with j.
    for (;; ++t.i) {
        const std::uint64_t rest = n - 1 - t.i;
        const std::uint64_t block = rest * (rest - 1) / 2;
        if (rank < block) break;
        rank -= block;
    }
    for (t.j = t.i + 1;; ++t.j) {
        const std::uint64_t block = n - 1 - t.j;
        if (rank < block) break;
        rank -= block;
    }
    t.k = t.j + 1 + static_cast<std::size_t>(rank);
    return t;
}

void require_same_taxa_count(const UltraFastTreeData& data1, const UltraFastTreeData& data2) {
    if (data1.n_leaves != data2.n_leaves) throw Panic("Trees must have the same number of taxa");
}

}  // namespace detail

}  // namespace veltrane
