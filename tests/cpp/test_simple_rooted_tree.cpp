// Tests for the tree model: building operations, vacant slots, lookups and depths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "test_util.hpp"
#include "tree/simple_rooted_tree.hpp"

namespace veltrane {
namespace {

Node make_node(NodeId id, std::optional<NodeId> parent = {}, std::vector<NodeId> children = {},
               std::optional<std::string> taxa = {}) {
    Node node;
    node.id = id;
    node.parent = parent;
    node.children = std::move(children);
    node.taxa = std::move(taxa);
    return node;
}

TEST(SimpleRootedTree, SetNodeLeavesVacantSlotsInGaps) {
    SimpleRootedTree tree;
    set_node(tree, make_node(3, {}, {}, "C"));
    ASSERT_EQ(tree.nodes.size(), 4u);
    for (NodeId id = 0; id < 3; ++id) EXPECT_FALSE(has_node(tree, id)) << id;
    EXPECT_TRUE(has_node(tree, 3));
    EXPECT_FALSE(has_node(tree, 4));
    EXPECT_EQ(get_taxa_node_id(tree, "C"), NodeId{3});
    EXPECT_EQ(leaf_ids(tree), (std::vector<NodeId>{3}));
    EXPECT_PANIC(get_node(tree, 0), "node id 0 is not in the tree");
    EXPECT_PANIC(get_node_children_ids(tree, 1), "node id 1 is not in the tree");
    EXPECT_PANIC(set_node_taxa(tree, 2, "x"), "node id 2 is not in the tree");
    EXPECT_PANIC(set_node(tree, make_node(no_index)),
                 "node id " + std::to_string(no_index) + " is too large");
    EXPECT_EQ(compute_depths(tree), (std::vector<std::uint64_t>{0, 0, 0, 0}));

    // Filling a gap replaces the vacant slot without growing the table.
    set_node(tree, make_node(0, {}, {3}));
    EXPECT_TRUE(has_node(tree, 0));
    EXPECT_EQ(tree.nodes.size(), 4u);
    EXPECT_EQ(get_node_children_ids(tree, 0), (std::vector<NodeId>{3}));
}

TEST(SimpleRootedTree, RelabellingKeepsTheEarlierMapEntry) {
    SimpleRootedTree tree;
    set_node(tree, make_node(0));
    set_node(tree, make_node(1, 0));
    set_node_taxa(tree, 1, "A");
    set_node_taxa(tree, 1, "B");
    EXPECT_EQ(tree.nodes[1].taxa, "B");
    EXPECT_EQ(get_taxa_node_id(tree, "A"), NodeId{1});
    EXPECT_EQ(get_taxa_node_id(tree, "B"), NodeId{1});
    set_node_taxa(tree, 0, "B");
    EXPECT_EQ(get_taxa_node_id(tree, "B"), NodeId{0});
    // Replacing a node discards it, but not its label's map entry.
    set_node(tree, make_node(1, 0, {}, "D"));
    EXPECT_EQ(tree.nodes[1].taxa, "D");
    EXPECT_EQ(get_taxa_node_id(tree, "A"), NodeId{1});
    EXPECT_EQ(get_taxa_node_id(tree, "D"), NodeId{1});
}

TEST(SimpleRootedTree, DepthsWhenParentsHaveLargerIds) {
    std::mt19937_64 rng(41);
    for (int round = 0; round < 100; ++round) {
        // A random tree on shuffled ids: node order[k] hangs below some order[j], j < k.
        const std::size_t n = 1 + rng() % 50;
        std::vector<NodeId> order(n);
        std::iota(order.begin(), order.end(), NodeId{0});
        std::shuffle(order.begin(), order.end(), rng);
        std::vector<std::uint64_t> want(n, 0);
        SimpleRootedTree tree;
        set_node(tree, make_node(order[0]));
        for (std::size_t k = 1; k < n; ++k) {
            const std::size_t j = rng() % k;
            want[order[k]] = want[order[j]] + 1;
            set_node(tree, make_node(order[k], order[j]));
            tree.nodes[order[j]].children.push_back(order[k]);
        }
        EXPECT_EQ(compute_depths(tree), want);
        for (NodeId id = 0; id < n; ++id) EXPECT_EQ(depth(tree, id), want[id]);
    }
}

TEST(SimpleRootedTree, BrokenParentLinksPanic) {
    SimpleRootedTree cycle;
    set_node(cycle, make_node(0));
    set_node(cycle, make_node(1, 2));
    set_node(cycle, make_node(2, 3));
    set_node(cycle, make_node(3, 1));
    EXPECT_PANIC(depth(cycle, 1), "parent links above node id 1 form a cycle");
    EXPECT_PANIC(compute_depths(cycle), "parent links above node id 1 form a cycle");
    EXPECT_EQ(depth(cycle, 0), 0u);

    SimpleRootedTree self;
    set_node(self, make_node(0, 0));
    EXPECT_PANIC(depth(self, 0), "parent links above node id 0 form a cycle");
    EXPECT_PANIC(compute_depths(self), "parent links above node id 0 form a cycle");

    SimpleRootedTree dangling;
    set_node(dangling, make_node(0));
    set_node(dangling, make_node(1, 7));
    set_node(dangling, make_node(3));
    EXPECT_PANIC(depth(dangling, 1), "node id 7 is not in the tree");
    EXPECT_PANIC(compute_depths(dangling), "node id 7 is not in the tree");
    set_node(dangling, make_node(1, 2));  // slot 2 is vacant
    EXPECT_PANIC(compute_depths(dangling), "node id 2 is not in the tree");
}

}  // namespace
}  // namespace veltrane
