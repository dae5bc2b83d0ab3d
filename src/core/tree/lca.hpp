// Euler tour and sparse-table lowest common ancestor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/tree/simple_rooted_tree.hpp"

namespace veltrane {

// The Euler tour of a tree from its root, with the depth of each tour position and the first
// position of each node.
struct CheckedTour {
    std::vector<NodeId> walk;
    std::vector<std::uint64_t> depths;  // per tour position
    std::vector<std::size_t> first;     // per node id: first tour position
};

// The tour in linear memory. Throws Panic when a node is unreachable from the root (no LCA
// query can be answered then) or when the tour is too long for BinaryRmq.
CheckedTour checked_euler_tour(const SimpleRootedTree& tree);

// Computes and stores euler_walk, rmq, depth_table and fa_index, replacing earlier tables.
// Throws as checked_euler_tour; a failure leaves the tree unchanged.
void precompute_constant_time_lca(SimpleRootedTree& tree);

// Depth of the lowest common ancestor of nodes a and b, in constant time from the stored
// tables (precompute_constant_time_lca must have run). Throws Panic for a bad id.
std::uint64_t get_lca_depth(const SimpleRootedTree& tree, NodeId a, NodeId b);

}  // namespace veltrane
