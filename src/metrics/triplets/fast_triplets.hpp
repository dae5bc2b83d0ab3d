// The fast triplet metric: triples drawn among tree 1's named leaves, leaves of both trees
// matched by name.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/tree/simple_rooted_tree.hpp"
#include "metrics/triplets/triplets.hpp"

namespace veltrane {

// Per-tree data of the fast metric. The depth of the common ancestor of two named leaves
// comes from the tree's stored LCA tables, so the data stays linear in the tree size.
struct FastTreeData {
    const SimpleRootedTree* tree = nullptr;  // with stored LCA tables; outlives the data
    std::vector<NodeId> leaf_ids;            // leaves that carry a name, in id order
    // name_to_id by label entry (taxa_map's numbering): the leaf carrying that name, the later
    // one when several do; no_index when only internal nodes carry it.
    std::vector<NodeId> leaf_of_label;

    // Stores the tree's LCA tables, then indexes its named leaves. Throws Panic when the tree
    // has nodes unreachable from its root.
    static FastTreeData build(SimpleRootedTree& tree);
};

// The outgroup of three named leaves (no_index for a name the tree lacks): none when a name
// is missing, when two names resolve to the same leaf, or on a tie for the deepest pair.
Outgroup get_outgroup_fast(const FastTreeData& data, NodeId x, NodeId y, NodeId z);

// The fast metric: number_of_trials triples of tree 1's named leaves, compared by name.
// Stores LCA tables in both trees. Throws Panic on an entropy failure (no seed) or when a tree
// has nodes unreachable from its root.
TripletRatios calculate_triplets_correct_fast(SimpleRootedTree& tree1, SimpleRootedTree& tree2,
                                              std::uint64_t number_of_trials,
                                              std::optional<std::uint64_t> seed);

}  // namespace veltrane
