// Tests for the post-order traversal and the Euler tour: order of subtrees, start node, broken
// links.
#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "test_util.hpp"
#include "core/tree/newick.hpp"
#include "core/tree/node_iter.hpp"
#include "tree_edits.hpp"

namespace veltrane {
namespace {

// Both walks by their definition, from one explicit stack: post-order emits a node once its
// last child is finished; the tour lists a node on entry and again after each child's subtree,
// and a subtree's tour ends at the start node's parent.
std::pair<std::vector<NodeId>, std::vector<NodeId>> naive_walks(const SimpleRootedTree& tree,
                                                                NodeId start) {
    std::vector<NodeId> post;
    std::vector<NodeId> tour{start};
    std::vector<std::pair<NodeId, std::size_t>> stack{{start, 0}};
    while (!stack.empty()) {
        auto& [id, next] = stack.back();
        const auto& children = tree.nodes[id].children;
        if (next == children.size()) {
            post.push_back(id);
            stack.pop_back();
            if (!stack.empty()) tour.push_back(stack.back().first);
            continue;
        }
        const NodeId child = children[next++];
        tour.push_back(child);
        stack.emplace_back(child, 0);
    }
    if (tree.nodes[start].parent) tour.push_back(*tree.nodes[start].parent);
    return {post, tour};
}

TEST(Walks, ThreeLeafExample) {
    const SimpleRootedTree tree = from_newick("((A,B),C);");
    EXPECT_EQ(postord_ids(tree, 0), (std::vector<NodeId>{2, 3, 1, 4, 0}));
    EXPECT_EQ(postord_ids(tree, 1), (std::vector<NodeId>{2, 3, 1}));
    EXPECT_EQ(euler_walk_ids(tree, 0), (std::vector<NodeId>{0, 1, 2, 1, 3, 1, 0, 4, 0}));
    EXPECT_EQ(euler_walk_ids(tree, 1), (std::vector<NodeId>{1, 2, 1, 3, 1, 0}));
    EXPECT_EQ(euler_walk_ids(tree, 4), (std::vector<NodeId>{4, 0}));
    EXPECT_PANIC(postord_ids(tree, 5), "node id 5 is not in the tree");
    EXPECT_PANIC(euler_walk_ids(tree, 5), "node id 5 is not in the tree");
}

TEST(Walks, RandomTreesFromEveryStartMatchTheDefinition) {
    std::mt19937_64 rng(8);
    for (int round = 0; round < 200; ++round) {
        std::vector<std::string> leaves;
        for (std::size_t k = 1 + rng() % 30; k > 0; --k) leaves.push_back("L" + std::to_string(k));
        const std::string text = test_util::random_newick(rng, leaves, test_util::no_name);
        SCOPED_TRACE(text);
        const SimpleRootedTree tree = from_newick(text);
        for (NodeId start = 0; start < tree.nodes.size(); ++start) {
            const auto [post, tour] = naive_walks(tree, start);
            ASSERT_EQ(postord_ids(tree, start), post);
            ASSERT_EQ(euler_walk_ids(tree, start), tour);
        }
    }
}

// Nothing may recurse over the depth: a million-deep caterpillar and chain, unclosed
// parentheses, and a chain one ")" short whose top never reaches the root.
TEST(Walks, MillionDeepTreesMatchTheDefinition) {
    const std::size_t deep = 1'000'000;
    const std::string open(deep, '(');
    for (const auto& [text, start, size] :
         std::vector<std::tuple<std::string, NodeId, std::size_t>>{
             {test_util::caterpillar(deep), 0, 2 * deep - 1},
             {open + "A" + std::string(deep, ')') + ";", 0, deep + 1},
             {open, 0, 1},
             {open + "A" + std::string(deep - 1, ')'), 1, deep}}) {
        SCOPED_TRACE(text.substr(0, 3) + "... " + std::to_string(text.size()) + " bytes");
        const SimpleRootedTree tree = from_newick(text);
        const auto [post, tour] = naive_walks(tree, start);
        ASSERT_EQ(post.size(), size);
        ASSERT_EQ(postord_ids(tree, start), post);
        ASSERT_EQ(euler_walk_ids(tree, start), tour);
    }
}

TEST(Walks, BrokenChildLinksPanic) {
    SimpleRootedTree tree = from_newick("((A,B),C);");
    add_child(tree, 2, 1);  // a cycle through the children lists
    EXPECT_PANIC(postord_ids(tree, 0), "children lists below node id 0 do not form a tree");
    replace_children(tree, 2, {9});
    EXPECT_PANIC(postord_ids(tree, 0), "node id 9 is not in the tree");
}

}  // namespace
}  // namespace veltrane
