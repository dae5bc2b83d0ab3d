// Iterative post-order and Euler tour over the children lists.
#include "core/tree/node_iter.hpp"

#include <algorithm>
#include <string>

#include "core/support/panic.hpp"

namespace veltrane {

std::vector<NodeId> postord_ids(const SimpleRootedTree& tree, NodeId start) {
    // Visit node-then-children-last-first, then reverse: each node ends up after its
    // descendants, and the first child's subtree comes first.
    std::vector<NodeId> order;
    std::vector<NodeId> stack{start};
    while (!stack.empty()) {
        const NodeId id = stack.back();
        stack.pop_back();
        const auto& children = get_node_children_ids(tree, id);
        order.push_back(id);
        // A proper tree lists each node at most once; more means the links are broken.
        if (order.size() > tree.nodes.size()) {
            throw Panic("children lists below node id " + std::to_string(start) +
                        " do not form a tree");
        }
        stack.insert(stack.end(), children.begin(), children.end());
    }
    std::reverse(order.begin(), order.end());
    return order;
}

std::vector<NodeId> euler_walk_ids(const SimpleRootedTree& tree, NodeId start) {
    std::vector<NodeId> tour;
    std::vector<bool> visited(tree.nodes.size(), false);
    std::vector<NodeId> stack{start};
    while (!stack.empty()) {
        const NodeId id = stack.back();
        stack.pop_back();
        const Node& node = get_node(tree, id);
        if (visited[id]) {
            // Second pop: the node is finished, so the tour steps back up to its parent.
            if (node.parent) tour.push_back(*node.parent);
            continue;
        }
        visited[id] = true;
        tour.push_back(id);
        stack.push_back(id);
        stack.insert(stack.end(), node.children.rbegin(), node.children.rend());
    }
    return tour;
}

}  // namespace veltrane
