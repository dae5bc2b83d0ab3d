// The fast triplet metric. A pair's common-ancestor depth is one range-minimum query on the
// stored Euler tour instead of an n x n table, so 10^5 leaves need megabytes, not gigabytes.
#include "metrics/triplets/fast_triplets.hpp"

#include <array>

#include "core/random/random_source.hpp"
#include "core/support/interrupt.hpp"
#include "core/tree/lca.hpp"

namespace veltrane {

FastTreeData FastTreeData::build(SimpleRootedTree& tree) {
    precompute_constant_time_lca(tree);
    FastTreeData data;
    data.tree = &tree;
    data.leaf_of_label.assign(tree.taxa_map.size(), no_index);
    for (const Node& node : tree.nodes) {
        if (!is_leaf(node) || !node.taxa) continue;
        data.leaf_of_label[tree.nodes.label_ids[node.id]] = node.id;
        data.leaf_ids.push_back(node.id);
    }
    return data;
}

Outgroup get_outgroup_fast(const FastTreeData& data, NodeId x, NodeId y, NodeId z) {
    if (x == no_index || y == no_index || z == no_index) return Outgroup::none;
    // Only pairs of two different named leaves have a depth; a pair that collapses onto one
    // leaf has none, and the triple stays unresolved.
    if (x == y || x == z || y == z) return Outgroup::none;
    const SimpleRootedTree& tree = *data.tree;
    return outgroup_from_depths(get_lca_depth(tree, x, y), get_lca_depth(tree, x, z),
                                get_lca_depth(tree, y, z));
}

TripletRatios calculate_triplets_correct_fast(SimpleRootedTree& tree1, SimpleRootedTree& tree2,
                                              std::uint64_t number_of_trials,
                                              std::optional<std::uint64_t> seed) {
    // Created before any tree data and whether or not a trial runs.
    RandomSource source = RandomSource::from_seed_or_entropy(seed);
    const FastTreeData data1 = FastTreeData::build(tree1);
    const FastTreeData data2 = FastTreeData::build(tree2);
    const std::size_t n = data1.leaf_ids.size();
    TripletTally tally;
    if (n < 3) return triplet_ratios(tally, number_of_trials);
    // Each of tree 1's names resolved once in both trees: the leaf that name_to_id gives.
    std::vector<NodeId> leaf1(n);
    std::vector<NodeId> leaf2(n);
    for (std::size_t p = 0; p < n; ++p) {
        const std::uint32_t entry = tree1.nodes.label_ids[data1.leaf_ids[p]];
        leaf1[p] = data1.leaf_of_label[entry];
        const auto entry2 = tree2.taxa_map.find_entry(tree1.taxa_map.entry_label(entry));
        leaf2[p] = entry2 ? data2.leaf_of_label[*entry2] : no_index;
    }
    for (std::uint64_t trial = 0; trial < number_of_trials; ++trial) {
        check_interrupt();
        const IndexList drawn = sample_distinct_indices(source, n, 3);
        const std::array<std::size_t, 3> p{static_cast<std::size_t>(drawn[0]),
                                           static_cast<std::size_t>(drawn[1]),
                                           static_cast<std::size_t>(drawn[2])};
        // A resolved outgroup has three distinct names, so equal members mean equal names.
        count_trial(tally, get_outgroup_fast(data1, leaf1[p[0]], leaf1[p[1]], leaf1[p[2]]),
                    get_outgroup_fast(data2, leaf2[p[0]], leaf2[p[1]], leaf2[p[2]]));
    }
    return triplet_ratios(tally, number_of_trials);
}

}  // namespace veltrane
