// Rooted tree model: an arena of nodes addressed by dense node id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tree/binary_rmq.hpp"

namespace veltrane {

using NodeId = std::size_t;

// Marks a vacant node slot (its id) and a node absent from the tour (its fa_index entry).
inline constexpr std::size_t no_index = std::numeric_limits<std::size_t>::max();

struct Node {
    NodeId id = 0;
    std::optional<NodeId> parent;
    std::vector<NodeId> children;  // in text order
    std::optional<std::string> taxa;
    std::optional<float> weight;  // stored, never read by a metric
};

struct SimpleRootedTree {
    // Slot i holds node i. The reader never leaves a slot vacant, so the table is dense; a slot
    // that set_node skipped over holds a Node whose id is no_index.
    std::vector<Node> nodes;
    NodeId root = 0;
    // Label -> node id, internal labels included; a repeated label names the node labelled last.
    std::unordered_map<std::string, NodeId> taxa_map;

    // Constant-time LCA tables: empty until precompute_constant_time_lca().
    std::vector<NodeId> euler_walk;
    std::vector<std::size_t> fa_index;       // per node id: first tour position, or no_index
    std::vector<std::uint64_t> depth_table;  // per tour position: depth of the node there
    std::optional<BinaryRmq> rmq;            // present exactly when the tables above are
};

inline bool is_leaf(const Node& node) noexcept { return node.children.empty(); }

// True when slot id exists and is not vacant.
inline bool has_node(const SimpleRootedTree& tree, NodeId id) noexcept {
    return id < tree.nodes.size() && tree.nodes[id].id == id;
}

// Inserts the node at its id, growing the table with vacant slots; a label enters taxa_map.
// Throws Panic for an id too large to store.
void set_node(SimpleRootedTree& tree, Node node);

// Labels node id (replacing an earlier label) and maps label -> id; throws Panic for a bad id.
void set_node_taxa(SimpleRootedTree& tree, NodeId id, std::string_view label);

// The node with this id; throws Panic when no such node exists.
const Node& get_node(const SimpleRootedTree& tree, NodeId id);

// Children of node id in stored order; throws Panic for a bad id.
const std::vector<NodeId>& get_node_children_ids(const SimpleRootedTree& tree, NodeId id);

// The node id taxa_map gives for label, if any.
std::optional<NodeId> get_taxa_node_id(const SimpleRootedTree& tree, std::string_view label);

// Ids of all nodes without children, in increasing id order (their order in the text).
std::vector<NodeId> leaf_ids(const SimpleRootedTree& tree);

// Edges from node id up to the first node without a parent. O(1) once the LCA tables are
// stored, otherwise a walk up the parent links. Throws Panic for a bad id or a cycle.
std::uint64_t depth(const SimpleRootedTree& tree, NodeId id);

// Number of nodes without children.
std::uint64_t count_leaves(const SimpleRootedTree& tree);

// depth() of every node, indexed by node id (0 for vacant slots), in linear time.
// Throws Panic when a parent link names a missing node or the parent links form a cycle.
std::vector<std::uint64_t> compute_depths(const SimpleRootedTree& tree);

}  // namespace veltrane
