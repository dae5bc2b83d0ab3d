// Euler tour and sparse-table lowest common ancestor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/tree/simple_rooted_tree.hpp"

namespace veltrane {

// Depths of the tour positions (stored tour if present, else a fresh one from the root).
std::vector<std::uint64_t> depth_array(const SimpleRootedTree& tree);

// First tour position of node id (stored table if present, else built on the spot).
// Throws Panic for a bad id or a node unreachable from the root.
std::size_t get_fa_index(const SimpleRootedTree& tree, NodeId id);

// Node id at tour position p (stored tour if present, else a fresh one).
NodeId get_euler_pos(const SimpleRootedTree& tree, std::size_t p);

// The Euler tour of a tree with its checks, without the range-minimum table.
struct CheckedTour {
    std::vector<NodeId> walk;
    std::vector<std::uint64_t> depths;  // per tour position
    std::vector<std::size_t> first;     // per node id: first tour position
};

// The tour, its depths and first positions, failing exactly as precompute_constant_time_lca
// would (same checks, same order, same messages) but in linear memory.
CheckedTour checked_euler_tour(const SimpleRootedTree& tree);

// Computes and stores euler_walk, rmq, depth_table and fa_index, replacing earlier tables.
// Throws Panic when a node is unreachable from the root.
void precompute_constant_time_lca(SimpleRootedTree& tree);

// Lowest common ancestor of a and b: constant time with stored tables, otherwise every
// table is rebuilt for this one query. Throws Panic for a bad id or an unreachable node.
NodeId get_lca_id(const SimpleRootedTree& tree, NodeId a, NodeId b);

}  // namespace veltrane
