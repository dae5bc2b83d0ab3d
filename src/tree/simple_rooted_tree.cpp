// Rooted tree model: building operations, lookups and depths.
#include "tree/simple_rooted_tree.hpp"

#include <string>
#include <utility>

#include "panic.hpp"

namespace veltrane {

namespace {

[[noreturn]] void throw_missing(NodeId id) {
    throw Panic("node id " + std::to_string(id) + " is not in the tree");
}

[[noreturn]] void throw_cycle(NodeId id) {
    throw Panic("parent links above node id " + std::to_string(id) + " form a cycle");
}

}  // namespace

void set_node(SimpleRootedTree& tree, Node node) {
    const NodeId id = node.id;
    // no_index marks vacant slots, so it can never be a real id.
    if (id == no_index || id >= tree.nodes.max_size()) {
        throw Panic("node id " + std::to_string(id) + " is too large");
    }
    if (node.taxa) tree.taxa_map.insert_or_assign(*node.taxa, id);
    if (id >= tree.nodes.size()) {
        Node vacant;
        vacant.id = no_index;
        tree.nodes.resize(id + 1, vacant);
    }
    tree.nodes[id] = std::move(node);
}

void set_node_taxa(SimpleRootedTree& tree, NodeId id, std::string_view label) {
    if (!has_node(tree, id)) throw_missing(id);
    // An earlier label of this node keeps its map entry.
    tree.nodes[id].taxa.emplace(label);
    tree.taxa_map.insert_or_assign(std::string(label), id);
}

const Node& get_node(const SimpleRootedTree& tree, NodeId id) {
    if (!has_node(tree, id)) throw_missing(id);
    return tree.nodes[id];
}

const std::vector<NodeId>& get_node_children_ids(const SimpleRootedTree& tree, NodeId id) {
    return get_node(tree, id).children;
}

std::optional<NodeId> get_taxa_node_id(const SimpleRootedTree& tree, std::string_view label) {
    const auto it = tree.taxa_map.find(std::string(label));
    if (it == tree.taxa_map.end()) return std::nullopt;
    return it->second;
}

std::vector<NodeId> leaf_ids(const SimpleRootedTree& tree) {
    std::vector<NodeId> leaves;
    for (NodeId id = 0; id < tree.nodes.size(); ++id) {
        if (has_node(tree, id) && is_leaf(tree.nodes[id])) leaves.push_back(id);
    }
    return leaves;
}

std::uint64_t depth(const SimpleRootedTree& tree, NodeId id) {
    if (!has_node(tree, id)) throw_missing(id);
    if (tree.rmq && id < tree.fa_index.size() && tree.fa_index[id] != no_index) {
        return tree.depth_table[tree.fa_index[id]];
    }
    std::uint64_t edges = 0;
    NodeId current = id;
    while (const auto parent = tree.nodes[current].parent) {
        if (!has_node(tree, *parent)) throw_missing(*parent);
        // A proper tree has fewer edges on any path than it has slots.
        if (++edges >= tree.nodes.size()) throw_cycle(id);
        current = *parent;
    }
    return edges;
}

std::vector<std::uint64_t> compute_depths(const SimpleRootedTree& tree) {
    const std::size_t n = tree.nodes.size();
    std::vector<std::uint64_t> depths(n, 0);
    // Reader-built trees give every parent a smaller id than its child, so the first branch
    // below always finds the parent done; other trees take the walk up to a known depth.
    enum : unsigned char { pending, on_path, done };
    std::vector<unsigned char> state(n, pending);
    std::vector<NodeId> path;
    for (NodeId id = 0; id < n; ++id) {
        if (!has_node(tree, id) || state[id] == done) continue;
        const auto& parent = tree.nodes[id].parent;
        if (!parent) {
            state[id] = done;
            continue;
        }
        if (*parent < id && state[*parent] == done) {
            depths[id] = depths[*parent] + 1;
            state[id] = done;
            continue;
        }
        NodeId current = id;
        while (state[current] == pending) {
            state[current] = on_path;
            path.push_back(current);
            const auto& up = tree.nodes[current].parent;
            if (!up) break;
            if (!has_node(tree, *up)) throw_missing(*up);
            current = *up;
        }
        std::uint64_t next = 0;
        if (tree.nodes[path.back()].parent) {
            if (state[current] != done) throw_cycle(id);
            next = depths[current] + 1;
        }
        for (auto it = path.rbegin(); it != path.rend(); ++it) {
            depths[*it] = next++;
            state[*it] = done;
        }
        path.clear();
    }
    return depths;
}

std::uint64_t count_leaves(const SimpleRootedTree& tree) {
    std::uint64_t leaves = 0;
    for (const Node& node : tree.nodes) leaves += is_leaf(node) ? 1U : 0U;
    return leaves;
}

}  // namespace veltrane
