// The fast triplet metric. A pair's common-ancestor depth is one range-minimum query on the
// stored Euler tour instead of an n x n table, so 10^5 leaves need megabytes, not gigabytes.
#include "metrics/triplets/fast_triplets.hpp"

#include "core/support/interrupt.hpp"
#include "core/random/random_source.hpp"
#include "core/tree/lca.hpp"

namespace veltrane {

FastTreeData FastTreeData::build(SimpleRootedTree& tree) {
    precompute_constant_time_lca(tree);
    FastTreeData data;
    data.tree = &tree;
    for (const Node& node : tree.nodes) {
        if (!is_leaf(node) || !node.taxa) continue;
        data.name_to_id.insert_or_assign(std::string_view(*node.taxa), node.id);
        data.leaf_ids.push_back(node.id);
        data.names.emplace_back(*node.taxa);
    }
    return data;
}

Outgroup get_outgroup_fast(const FastTreeData& data, std::string_view x, std::string_view y,
                           std::string_view z) {
    const auto ix = data.name_to_id.find(x);
    const auto iy = data.name_to_id.find(y);
    const auto iz = data.name_to_id.find(z);
    const auto end = data.name_to_id.end();
    if (ix == end || iy == end || iz == end) return Outgroup::none;
    const NodeId a = ix->second;
    const NodeId b = iy->second;
    const NodeId c = iz->second;
    // Only pairs of two different named leaves have a depth; a pair that collapses onto one
    // leaf has none, and the triple stays unresolved.
    if (a == b || a == c || b == c) return Outgroup::none;
    return outgroup_from_depths(stored_lca_depth(*data.tree, a, b),
                                stored_lca_depth(*data.tree, a, c),
                                stored_lca_depth(*data.tree, b, c));
}

TripletRatios calculate_triplets_correct_fast(SimpleRootedTree& tree1, SimpleRootedTree& tree2,
                                              std::uint64_t number_of_trials,
                                              std::optional<std::uint64_t> seed) {
    // Created before any tree data and whether or not a trial runs.
    RandomSource source = seed ? RandomSource::from_u64_seed(*seed) : RandomSource::from_entropy();
    const FastTreeData data1 = FastTreeData::build(tree1);
    const FastTreeData data2 = FastTreeData::build(tree2);
    const std::size_t n = data1.leaf_ids.size();
    TripletTally tally;
    if (n >= 3) {
        for (std::uint64_t trial = 0; trial < number_of_trials; ++trial) {
            check_interrupt();
            const IndexList drawn = sample_distinct_indices(source, n, 3);
            const std::string_view x = data1.names[drawn[0]];
            const std::string_view y = data1.names[drawn[1]];
            const std::string_view z = data1.names[drawn[2]];
            // A resolved outgroup has three distinct names, so equal members mean equal names.
            count_trial(tally, get_outgroup_fast(data1, x, y, z),
                        get_outgroup_fast(data2, x, y, z));
        }
    }
    return triplet_ratios(tally, number_of_trials);
}

}  // namespace veltrane
