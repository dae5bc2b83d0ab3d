// Iterative traversals: no recursion, so any depth of nesting is safe.
#pragma once

#include <vector>

#include "core/tree/simple_rooted_tree.hpp"

namespace veltrane {

// start and every node below it, each after all of its descendants; children finish in
// stored order and start comes last. Throws Panic for a bad id.
std::vector<NodeId> postord_ids(const SimpleRootedTree& tree, NodeId start);

// Euler tour of the subtree of start: each node once when entered and once more after each
// child; ends with start's parent when start has one. Throws Panic for a bad id.
std::vector<NodeId> euler_walk_ids(const SimpleRootedTree& tree, NodeId start);

}  // namespace veltrane
