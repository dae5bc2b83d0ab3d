// Test helpers over the tree model: children as a vector, a plain model to compare trees with,
// and raw edits that break a built tree's links or labels behind taxa_map's back.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/tree/simple_rooted_tree.hpp"

namespace veltrane {

inline std::vector<NodeId> as_vector(std::span<const NodeId> ids) {
    return {ids.begin(), ids.end()};
}

// A tree as plain values: a vector per node's children, a string per label, a std::map for the
// labels; a vacant slot is a node that is not present.
struct PlainNode {
    std::optional<NodeId> parent;
    std::vector<NodeId> children;
    std::optional<std::string> taxa;
    std::optional<float> weight;
    bool present = true;
};
struct PlainTree {
    std::vector<PlainNode> nodes;
    std::map<std::string, NodeId> taxa_map;

    NodeId add_node() {
        nodes.emplace_back();
        return nodes.size() - 1;
    }
    void set_taxa(NodeId id, const std::string& label) {
        nodes[id].taxa = label;
        taxa_map[label] = id;
    }
};

// Everything a caller can observe of the tree's nodes and labels matches the plain model.
inline void expect_same(const SimpleRootedTree& tree, const PlainTree& want) {
    ASSERT_EQ(tree.nodes.size(), want.nodes.size());
    for (NodeId id = 0; id < want.nodes.size(); ++id) {
        SCOPED_TRACE("node " + std::to_string(id));
        const Node node = tree.nodes[id];
        const PlainNode& p = want.nodes[id];
        ASSERT_EQ(has_node(tree, id), p.present);
        EXPECT_EQ(node.id, p.present ? id : no_index);
        EXPECT_EQ(node.parent, p.parent);
        EXPECT_EQ(as_vector(node.children), p.children);
        EXPECT_EQ(node.taxa, p.taxa);
        EXPECT_EQ(node.weight, p.weight);
    }
    std::map<std::string, NodeId> listed;
    for (const auto& [label, id] : tree.taxa_map) {
        EXPECT_TRUE(listed.emplace(label, id).second) << "listed twice: " << label;
    }
    EXPECT_EQ(listed, want.taxa_map);
    for (const auto& [label, id] : want.taxa_map) EXPECT_EQ(get_taxa_node_id(tree, label), id);
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
