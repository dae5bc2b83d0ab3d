// The fast triplet metric: triples drawn among tree 1's named leaves, leaves of both trees
// matched by name.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/tree/simple_rooted_tree.hpp"
#include "metrics/triplets/triplets.hpp"

namespace veltrane {

// Per-tree data of the fast metric. The depth of the common ancestor of two named leaves
// comes from the tree's stored LCA tables, so the data stays linear in the tree size.
struct FastTreeData {
    const SimpleRootedTree* tree = nullptr;  // with stored LCA tables; outlives the data
    std::vector<NodeId> leaf_ids;            // leaves that carry a name, in id order
    std::vector<std::string_view> names;     // id_to_name by position: the name of leaf_ids[p]
    // Name -> leaf id among named leaves only; a later leaf replaces an earlier one.
    std::unordered_map<std::string_view, NodeId> name_to_id;

    // Stores the tree's LCA tables, then indexes its named leaves. Throws Panic when the tree
    // has nodes unreachable from its root. The views point into the tree's labels.
    static FastTreeData build(SimpleRootedTree& tree);
};

// The outgroup of the names (x, y, z): none when a name is missing, when two names resolve to
// the same leaf, or on a tie for the deepest pair.
Outgroup get_outgroup_fast(const FastTreeData& data, std::string_view x, std::string_view y,
                           std::string_view z);

// The fast metric: number_of_trials triples of tree 1's named leaves, compared by name.
// Stores LCA tables in both trees. Throws Panic on an entropy failure (no seed) or when a tree
// has nodes unreachable from its root.
TripletRatios calculate_triplets_correct_fast(SimpleRootedTree& tree1, SimpleRootedTree& tree2,
                                              std::uint64_t number_of_trials,
                                              std::optional<std::uint64_t> seed);

}  // namespace veltrane
