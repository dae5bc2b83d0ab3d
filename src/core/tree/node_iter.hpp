// Iterative traversals: no recursion, so any depth of nesting is safe.
#pragma once

#include <vector>

#include "core/tree/simple_rooted_tree.hpp"

namespace veltrane {

// start and every node below it, each before its descendants, children in stored order.
// Throws Panic for a bad id.
std::vector<NodeId> preorder_ids(const SimpleRootedTree& tree, NodeId start);

// start and every node below it, each after all of its descendants; children finish in
// stored order and start comes last. Throws Panic for a bad id.
std::vector<NodeId> postord_ids(const SimpleRootedTree& tree, NodeId start);

// Euler tour of the subtree of start: each node once when entered and once more after each
// child; ends with start's parent when start has one. Throws Panic for a bad id.
std::vector<NodeId> euler_walk_ids(const SimpleRootedTree& tree, NodeId start);

// preorder_ids from the root, which must reach every node: throws Panic for the first node
// (in id order) that unbalanced text left unattached.
std::vector<NodeId> checked_preorder_ids(const SimpleRootedTree& tree);

// Throws Panic for a node that a walk from the root did not reach (unbalanced "(" leaves such
// nodes): the one message every metric that needs the whole tree connected gives.
[[noreturn]] void throw_unreachable_node(NodeId id);

}  // namespace veltrane
