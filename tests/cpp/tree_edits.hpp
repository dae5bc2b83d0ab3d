// Test helpers over the tree model: children as a vector, and raw edits that break a built
// tree's links or labels behind taxa_map's back (trees no reader would build).
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "tree/simple_rooted_tree.hpp"

namespace veltrane {

inline std::vector<NodeId> as_vector(std::span<const NodeId> ids) {
    return {ids.begin(), ids.end()};
}

// Sets the stored children of node id; nothing else changes.
inline void replace_children(SimpleRootedTree& tree, NodeId id,
                             const std::vector<NodeId>& children) {
    NodeTable& table = tree.nodes;
    NodeSlot& slot = table.slots.at(id);
    slot.first_child = table.child_ids.size();
    slot.child_count = children.size();
    table.child_ids.insert(table.child_ids.end(), children.begin(), children.end());
}

inline void add_child(SimpleRootedTree& tree, NodeId id, NodeId child) {
    std::vector<NodeId> children = as_vector(tree.nodes[id].children);
    children.push_back(child);
    replace_children(tree, id, children);
}

// Sets the stored label of node id without touching taxa_map.
inline void replace_label(SimpleRootedTree& tree, NodeId id, std::string_view label) {
    NodeTable& table = tree.nodes;
    NodeSlot& slot = table.slots.at(id);
    slot.label_offset = table.label_bytes.size();
    slot.label_size = label.size();
    table.label_bytes.append(label);
}

}  // namespace veltrane
