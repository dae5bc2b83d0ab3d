// Euler tour, first appearances and sparse-table lowest common ancestor.
#include "core/tree/lca.hpp"

#include <string>
#include <utility>

#include "core/support/panic.hpp"
#include "core/tree/node_iter.hpp"

namespace veltrane {

namespace {

[[noreturn]] void throw_missing(NodeId id) {
    throw Panic("node id " + std::to_string(id) + " is not in the tree");
}

// Depth of the node at each tour position, from one linear pass over the parent links.
std::vector<std::uint64_t> tour_depths(const SimpleRootedTree& tree,
                                       const std::vector<NodeId>& tour) {
    const std::vector<std::uint64_t> depths = compute_depths(tree);
    std::vector<std::uint64_t> out;
    out.reserve(tour.size());
    for (const NodeId id : tour) out.push_back(depths[id]);
    return out;
}

// First tour position of every present node; a node missing from the tour cannot be answered.
std::vector<std::size_t> first_appearances(const SimpleRootedTree& tree,
                                           const std::vector<NodeId>& tour) {
    std::size_t size = 0;
    for (NodeId id = tree.nodes.size(); id > 0; --id) {
        if (has_node(tree, id - 1)) {
            size = id;
            break;
        }
    }
    std::vector<std::size_t> first(size, no_index);
    for (std::size_t p = 0; p < tour.size(); ++p) {
        // Only a parent link to a missing node can put an id past the table into the tour.
        if (tour[p] >= size) throw_missing(tour[p]);
        if (first[tour[p]] == no_index) first[tour[p]] = p;
    }
    for (NodeId id = 0; id < size; ++id) {
        if (has_node(tree, id) && first[id] == no_index) {
            throw Panic("node id " + std::to_string(id) +
                        " is unreachable from the root, so no LCA query can be answered");
        }
    }
    return first;
}

const std::vector<NodeId>& stored_or_fresh_tour(const SimpleRootedTree& tree,
                                                std::vector<NodeId>& fresh) {
    if (tree.rmq) return tree.euler_walk;
    fresh = euler_walk_ids(tree, tree.root);
    return fresh;
}

}  // namespace

std::vector<std::uint64_t> depth_array(const SimpleRootedTree& tree) {
    std::vector<NodeId> fresh;
    return tour_depths(tree, stored_or_fresh_tour(tree, fresh));
}

std::size_t get_fa_index(const SimpleRootedTree& tree, NodeId id) {
    if (!has_node(tree, id)) throw_missing(id);
    if (tree.rmq) {
        if (id >= tree.fa_index.size() || tree.fa_index[id] == no_index) throw_missing(id);
        return tree.fa_index[id];
    }
    return first_appearances(tree, euler_walk_ids(tree, tree.root))[id];
}

NodeId get_euler_pos(const SimpleRootedTree& tree, std::size_t p) {
    std::vector<NodeId> fresh;
    const std::vector<NodeId>& tour = stored_or_fresh_tour(tree, fresh);
    if (p >= tour.size()) {
        throw Panic("tour position " + std::to_string(p) + " is past the end of a tour of " +
                    std::to_string(tour.size()));
    }
    return tour[p];
}

CheckedTour checked_euler_tour(const SimpleRootedTree& tree) {
    CheckedTour tour;
    tour.walk = euler_walk_ids(tree, tree.root);
    tour.depths = tour_depths(tree, tour.walk);
    // The range-minimum table stores positions in 32 bits.
    if (tour.depths.size() > max_rmq_size) throw Panic("input too large for binary rmq");
    tour.first = first_appearances(tree, tour.walk);
    return tour;
}

void precompute_constant_time_lca(SimpleRootedTree& tree) {
    // Build everything first, so a failure leaves the tree as it was.
    std::vector<NodeId> walk = euler_walk_ids(tree, tree.root);
    std::vector<std::uint64_t> depths = tour_depths(tree, walk);
    BinaryRmq rmq = BinaryRmq::from_vec(depths);
    std::vector<std::size_t> first = first_appearances(tree, walk);
    tree.euler_walk = std::move(walk);
    tree.depth_table = std::move(depths);
    tree.fa_index = std::move(first);
    tree.rmq = std::move(rmq);
}

NodeId get_lca_id(const SimpleRootedTree& tree, NodeId a, NodeId b) {
    if (tree.rmq) {
        const std::vector<std::size_t>& first = tree.fa_index;
        if (a >= first.size() || first[a] == no_index) throw_missing(a);
        if (b >= first.size() || first[b] == no_index) throw_missing(b);
        const std::size_t fa = first[a];
        const std::size_t fb = first[b];
        return tree.euler_walk[tree.rmq->range_min(fa < fb ? fa : fb, fa < fb ? fb : fa)];
    }
    // No stored tables: build the tour once and everything else from it for this query.
    if (!has_node(tree, a)) throw_missing(a);
    if (!has_node(tree, b)) throw_missing(b);
    const std::vector<NodeId> walk = euler_walk_ids(tree, tree.root);
    const std::vector<std::size_t> first = first_appearances(tree, walk);
    const std::size_t fa = first[a];
    const std::size_t fb = first[b];
    const BinaryRmq rmq = BinaryRmq::from_vec(tour_depths(tree, walk));
    return walk[rmq.range_min(fa < fb ? fa : fb, fa < fb ? fb : fa)];
}

}  // namespace veltrane
