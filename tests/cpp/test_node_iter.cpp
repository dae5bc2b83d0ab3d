// Tests for the post-order traversal: order of subtrees, start node, broken links.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "test_util.hpp"
#include "tree/newick.hpp"
#include "tree/node_iter.hpp"
#include "tree_edits.hpp"

namespace veltrane {
namespace {

// Post-order by its definition: a node is emitted once its last child is finished.
std::vector<NodeId> naive_postorder(const SimpleRootedTree& tree, NodeId start) {
    std::vector<NodeId> order;
    std::vector<std::pair<NodeId, std::size_t>> stack{{start, 0}};
    while (!stack.empty()) {
        auto& [id, next] = stack.back();
        const auto& children = tree.nodes[id].children;
        if (next == children.size()) {
            order.push_back(id);
            stack.pop_back();
        } else {
            const NodeId child = children[next++];
            stack.emplace_back(child, 0);
        }
    }
    return order;
}

// Random text: groups of one to four subtrees drawn from a pool, unary groups included.
std::string random_newick(std::mt19937_64& rng, int nodes) {
    std::vector<std::string> parts;
    for (int k = 0; k < nodes; ++k) parts.push_back("L" + std::to_string(k));
    while (parts.size() > 1) {
        const std::size_t take = std::min<std::size_t>(parts.size(), 1 + rng() % 4);
        std::string group = "(";
        for (std::size_t k = 0; k < take; ++k) {
            const std::size_t pick = rng() % parts.size();
            group += (k ? "," : "") + parts[pick];
            parts.erase(parts.begin() + static_cast<std::ptrdiff_t>(pick));
        }
        parts.push_back(group + ")");
    }
    return parts[0] + ";";
}

TEST(PostOrder, ThreeLeafExample) {
    const SimpleRootedTree tree = from_newick("((A,B),C);");
    EXPECT_EQ(postord_ids(tree, 0), (std::vector<NodeId>{2, 3, 1, 4, 0}));
    EXPECT_EQ(postord_ids(tree, 1), (std::vector<NodeId>{2, 3, 1}));
    EXPECT_EQ(postord_ids(tree, 4), (std::vector<NodeId>{4}));
    EXPECT_PANIC(postord_ids(tree, 5), "node id 5 is not in the tree");
}

TEST(PostOrder, RandomTreesFinishChildrenInStoredOrder) {
    std::mt19937_64 rng(8);
    for (int round = 0; round < 200; ++round) {
        const SimpleRootedTree tree =
            from_newick(random_newick(rng, 1 + static_cast<int>(rng() % 30)));
        for (NodeId start = 0; start < tree.nodes.size(); ++start) {
            ASSERT_EQ(postord_ids(tree, start), naive_postorder(tree, start));
        }
    }
}

TEST(PostOrder, BrokenChildLinksPanic) {
    SimpleRootedTree tree = from_newick("((A,B),C);");
    add_child(tree, 2, 1);  // a cycle through the children lists
    EXPECT_PANIC(postord_ids(tree, 0), "children lists below node id 0 do not form a tree");
    replace_children(tree, 2, {9});
    EXPECT_PANIC(postord_ids(tree, 0), "node id 9 is not in the tree");
}

}  // namespace
}  // namespace veltrane
