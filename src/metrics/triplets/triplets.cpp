// The ratios shared by every triplet metric, LCA depths from stored tables, and the reference
// metric triplets_correct, which compares random leaf triples by label.
#include "metrics/triplets/triplets.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "core/random/random_source.hpp"
#include "core/support/interrupt.hpp"
#include "core/support/panic.hpp"
#include "core/tree/lca.hpp"

namespace veltrane {

TripletRatios triplet_ratios(const TripletTally& tally, std::uint64_t total) noexcept {
    const auto f = [](std::uint64_t v) { return static_cast<double>(v); };
    // Every trial adds at most one to `unresolved`, so the difference cannot wrap.
    const std::uint64_t resolvable = total - tally.unresolved;
    TripletRatios r;
    r.all_triplets_correct = f(tally.all_correct) / f(total);
    r.resolvable_triplets_correct =
        resolvable != 0 ? f(tally.resolvable_correct) / f(resolvable) : 1.0;
    r.unresolved_triplets_correct =
        tally.unresolved != 0 ? f(tally.unresolved_correct) / f(tally.unresolved) : 1.0;
    r.proportion_unresolvable = f(tally.unresolved) / f(total);
    return r;
}

std::uint64_t ReferenceLca::lca_depth(NodeId a, NodeId b) {
    if (!tree_.rmq) precompute_constant_time_lca(tree_);
    return get_lca_depth(tree_, a, b);
}

Outgroup get_outgroup(ReferenceLca& lca, std::string_view a, std::string_view b,
                      std::string_view c) {
    const SimpleRootedTree& tree = lca.tree();
    const std::optional<NodeId> ia = get_taxa_node_id(tree, a);
    if (!ia) return Outgroup::none;
    const std::optional<NodeId> ib = get_taxa_node_id(tree, b);
    if (!ib) return Outgroup::none;
    const std::optional<NodeId> ic = get_taxa_node_id(tree, c);
    if (!ic) return Outgroup::none;
    const std::uint64_t dab = lca.lca_depth(*ia, *ib);
    const std::uint64_t dac = lca.lca_depth(*ia, *ic);
    const std::uint64_t dbc = lca.lca_depth(*ib, *ic);
    return outgroup_from_depths(dab, dac, dbc);
}

TripletRatios calculate_triplets_correct(SimpleRootedTree& tree1, SimpleRootedTree& tree2,
                                         std::uint64_t number_of_trials,
                                         std::optional<std::uint64_t> seed) {
    // The source exists even when no trial runs, so a failing entropy request always shows.
    RandomSource source = RandomSource::from_seed_or_entropy(seed);
    // Triples are drawn among all leaves of tree 1, labelled or not; the list is the same for
    // every trial, so it is built once.
    const std::vector<NodeId> leaves = leaf_ids(tree1);
    ReferenceLca lca1(tree1);
    ReferenceLca lca2(tree2);
    TripletTally tally;
    if (leaves.size() >= 3) {
        for (std::uint64_t trial = 0; trial < number_of_trials; ++trial) {
            check_interrupt();
            const IndexList drawn = sample_distinct_indices(source, leaves.size(), 3);
            std::array<std::optional<std::string_view>, 3> labels{};
            bool all_labelled = true;
            for (std::size_t m = 0; m < 3; ++m) {
                labels[m] = tree1.nodes[leaves[drawn[m]]].taxa;
                all_labelled = all_labelled && labels[m].has_value();
            }
            // A trial that draws an unlabelled leaf counts only in the denominators.
            if (!all_labelled) continue;
            const std::string_view a = *labels[0];
            const std::string_view b = *labels[1];
            const std::string_view c = *labels[2];
            const Outgroup o1 = get_outgroup(lca1, a, b, c);
            const Outgroup o2 = get_outgroup(lca2, a, b, c);
            // Outgroups are compared as labels: two members may carry the same text.
            const auto label_of = [&](Outgroup o) {
                return o == Outgroup::a ? a : o == Outgroup::b ? b : c;
            };
            const bool resolved1 = o1 != Outgroup::none;
            const bool resolved2 = o2 != Outgroup::none;
            count_trial(tally, resolved1, resolved2,
                        resolved1 && resolved2 && label_of(o1) == label_of(o2));
        }
    }
    return triplet_ratios(tally, number_of_trials);
}

}  // namespace veltrane
