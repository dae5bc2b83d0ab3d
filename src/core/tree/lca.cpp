// Euler tour, first appearances and sparse-table lowest common ancestor.
#include "core/tree/lca.hpp"

#include <algorithm>
#include <utility>

#include "core/support/panic.hpp"
#include "core/tree/node_iter.hpp"

namespace veltrane {

CheckedTour checked_euler_tour(const SimpleRootedTree& tree) {
    CheckedTour tour;
    tour.walk = euler_walk_ids(tree, tree.root);
    // The range-minimum table stores positions in 32 bits.
    if (tour.walk.size() > max_rmq_size) throw Panic("input too large for binary rmq");
    const std::vector<std::uint64_t> depths = compute_depths(tree);
    tour.depths.reserve(tour.walk.size());
    tour.first.assign(tree.nodes.size(), no_index);
    for (std::size_t p = 0; p < tour.walk.size(); ++p) {
        const NodeId id = tour.walk[p];
        tour.depths.push_back(depths[id]);
        if (tour.first[id] == no_index) tour.first[id] = p;
    }
    for (NodeId id = 0; id < tour.first.size(); ++id) {
        if (tour.first[id] == no_index) throw_unreachable_node(id);
    }
    return tour;
}

void precompute_constant_time_lca(SimpleRootedTree& tree) {
    // Build everything first, so a failure leaves the tree as it was.
    CheckedTour tour = checked_euler_tour(tree);
    BinaryRmq rmq = BinaryRmq::from_vec(tour.depths);
    tree.euler_walk = std::move(tour.walk);
    tree.depth_table = std::move(tour.depths);
    tree.fa_index = std::move(tour.first);
    tree.rmq = std::move(rmq);
}

std::uint64_t get_lca_depth(const SimpleRootedTree& tree, NodeId a, NodeId b) {
    if (!tree.rmq) throw Panic("LCA tables are not stored for this tree");
    if (a >= tree.fa_index.size()) throw_missing_node(a);
    if (b >= tree.fa_index.size()) throw_missing_node(b);
    const std::size_t fa = tree.fa_index[a];
    const std::size_t fb = tree.fa_index[b];
    // Every tour position of minimum depth between the two first visits holds the LCA.
    return tree.depth_table[tree.rmq->range_min(std::min(fa, fb), std::max(fa, fb))];
}

}  // namespace veltrane
