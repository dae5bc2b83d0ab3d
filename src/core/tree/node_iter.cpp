// Iterative pre-order, post-order and Euler tour over the children lists.
#include "core/tree/node_iter.hpp"

#include <algorithm>
#include <string>

#include "core/support/panic.hpp"

namespace veltrane {

namespace {

// start and every node below it, each before its descendants; siblings in stored order, or
// in reverse order when `reversed`.
std::vector<NodeId> parents_first(const SimpleRootedTree& tree, NodeId start, bool reversed) {
    if (start >= tree.nodes.size()) throw_missing_node(start);
    const std::vector<NodeSlot>& slots = tree.nodes.slots;
    const NodeId* const child_ids = tree.nodes.child_ids.data();
    std::vector<NodeId> order;
    order.reserve(slots.size());
    std::vector<NodeId> stack{start};
    while (!stack.empty()) {
        const NodeId id = stack.back();
        stack.pop_back();
        order.push_back(id);
        const NodeId* first = child_ids + slots[id].first_child;
        const NodeId* last = first + slots[id].child_count;
        if (reversed) {
            stack.insert(stack.end(), first, last);
        } else {
            for (; last != first; --last) stack.push_back(last[-1]);
        }
    }
    return order;
}

}  // namespace

std::vector<NodeId> preorder_ids(const SimpleRootedTree& tree, NodeId start) {
    return parents_first(tree, start, false);
}

std::vector<NodeId> postord_ids(const SimpleRootedTree& tree, NodeId start) {
    // Parents first with siblings reversed, read backwards: each node comes after its
    // descendants, and the first child's subtree comes first.
    std::vector<NodeId> order = parents_first(tree, start, true);
    std::reverse(order.begin(), order.end());
    return order;
}

std::vector<NodeId> euler_walk_ids(const SimpleRootedTree& tree, NodeId start) {
    if (start >= tree.nodes.size()) throw_missing_node(start);
    const std::vector<NodeSlot>& slots = tree.nodes.slots;
    const NodeId* const child_ids = tree.nodes.child_ids.data();
    std::vector<NodeId> tour;
    tour.reserve(2 * slots.size());
    std::vector<bool> visited(slots.size(), false);
    std::vector<NodeId> stack{start};
    while (!stack.empty()) {
        const NodeId id = stack.back();
        stack.pop_back();
        const NodeSlot& slot = slots[id];
        if (visited[id]) {
            // Second pop: the node is finished, so the tour steps back up to its parent.
            if (slot.parent != no_index) tour.push_back(slot.parent);
            continue;
        }
        visited[id] = true;
        tour.push_back(id);
        stack.push_back(id);
        for (std::size_t k = slot.child_count; k-- > 0;) {
            stack.push_back(child_ids[slot.first_child + k]);
        }
    }
    return tour;
}

std::vector<NodeId> checked_preorder_ids(const SimpleRootedTree& tree) {
    std::vector<NodeId> order = preorder_ids(tree, tree.root);
    if (order.size() != tree.nodes.size()) {
        std::vector<bool> reached(tree.nodes.size(), false);
        for (const NodeId id : order) reached[id] = true;
        for (NodeId id = 0; id < reached.size(); ++id) {
            if (!reached[id]) throw_unreachable_node(id);
        }
    }
    return order;
}

void throw_unreachable_node(NodeId id) {
    throw Panic("node id " + std::to_string(id) +
                " is unreachable from the root, so no LCA query can be answered");
}

}  // namespace veltrane
