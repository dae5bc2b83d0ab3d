// Tests for the Euler tour and LCA queries, stored and on the spot, including very deep trees.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "test_util.hpp"
#include "core/tree/lca.hpp"
#include "core/tree/newick.hpp"
#include "core/tree/node_iter.hpp"
#include "core/tree/simple_rooted_tree.hpp"

namespace veltrane {
namespace {

std::string unreachable_text(NodeId id) {
    return "node id " + std::to_string(id) +
           " is unreachable from the root, so no LCA query can be answered";
}

std::string missing_text(NodeId id) {
    return "node id " + std::to_string(id) + " is not in the tree";
}

NodeId naive_lca(const SimpleRootedTree& tree, NodeId a, NodeId b) {
    std::unordered_set<NodeId> above_a;
    for (std::optional<NodeId> n = a; n; n = tree.nodes[*n].parent) above_a.insert(*n);
    NodeId n = b;
    while (!above_a.count(n)) n = *tree.nodes[n].parent;
    return n;
}

std::uint64_t naive_depth(const SimpleRootedTree& tree, NodeId id) {
    std::uint64_t edges = 0;
    for (NodeId n = id; tree.nodes[n].parent; n = *tree.nodes[n].parent) ++edges;
    return edges;
}

// The same tree under new ids: a random permutation spread over a table with vacant slots,
// so parents may have larger ids than their children.
SimpleRootedTree relabelled(const SimpleRootedTree& tree, std::mt19937_64& rng,
                            std::vector<NodeId>& new_id) {
    new_id.resize(tree.nodes.size());
    std::vector<NodeId> slots(tree.nodes.size() + 3);
    std::iota(slots.begin(), slots.end(), NodeId{0});
    std::shuffle(slots.begin(), slots.end(), rng);
    std::copy_n(slots.begin(), new_id.size(), new_id.begin());
    SimpleRootedTree out;
    for (const Node& node : tree.nodes) {
        Node copy = node;
        copy.id = new_id[node.id];
        if (node.parent) copy.parent = new_id[*node.parent];
        std::vector<NodeId> children;
        for (const NodeId child : node.children) children.push_back(new_id[child]);
        copy.children = children;
        set_node(out, copy);
    }
    out.root = new_id[tree.root];
    return out;
}

TEST(Lca, ThreeLeafExample) {
    // Tour 0 1 2 1 3 1 0 4 0: node 3 first shows at position 4, node 4 at position 7.
    SimpleRootedTree tree = from_newick("((A,B),C);");
    for (const bool stored : {false, true}) {
        SCOPED_TRACE(stored ? "stored" : "on the spot");
        if (stored) precompute_constant_time_lca(tree);
        EXPECT_EQ(get_fa_index(tree, 3), 4u);
        EXPECT_EQ(get_euler_pos(tree, 7), 4u);
        for (const auto& [a, b, want] : std::vector<std::array<NodeId, 3>>{
                 {2, 3, 1}, {2, 4, 0}, {3, 4, 0}, {1, 2, 1}, {2, 1, 1}, {3, 3, 3}, {0, 0, 0}}) {
            EXPECT_EQ(get_lca_id(tree, a, b), want) << a << " " << b;
        }
    }
}

// Random trees, unary nodes and single nodes included, first as read and then under new ids
// with parents above their children's ids and vacant slots.
TEST(Lca, RandomTreesMatchParentWalk) {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 200; ++round) {
        std::vector<std::string> leaves;
        for (std::size_t k = 1 + rng() % 30; k > 0; --k) leaves.push_back("L" + std::to_string(k));
        const std::string text = test_util::random_newick(rng, leaves, test_util::no_name);
        SCOPED_TRACE(text);
        const SimpleRootedTree fresh = from_newick(text);
        SimpleRootedTree stored = fresh;
        // A second precompute must replace the tables, not add to them.
        precompute_constant_time_lca(stored);
        precompute_constant_time_lca(stored);
        const std::size_t n = fresh.nodes.size();
        ASSERT_EQ(stored.euler_walk, euler_walk_ids(fresh, 0));
        ASSERT_EQ(stored.euler_walk.size(), 2 * n - 1);
        EXPECT_EQ(depth_array(fresh), stored.depth_table);
        for (std::size_t p = 0; p < stored.euler_walk.size(); ++p) {
            EXPECT_EQ(stored.depth_table[p], naive_depth(fresh, stored.euler_walk[p]));
            EXPECT_EQ(get_euler_pos(fresh, p), stored.euler_walk[p]);
        }
        for (NodeId a = 0; a < n; ++a) {
            EXPECT_EQ(depth(stored, a), naive_depth(fresh, a));
            EXPECT_EQ(depth(fresh, a), naive_depth(fresh, a));
            EXPECT_EQ(get_fa_index(fresh, a), get_fa_index(stored, a));
            const auto first = std::find(stored.euler_walk.begin(), stored.euler_walk.end(), a);
            EXPECT_EQ(get_fa_index(stored, a), first - stored.euler_walk.begin());
            for (NodeId b = 0; b < n; ++b) {
                const NodeId want = naive_lca(fresh, a, b);
                ASSERT_EQ(get_lca_id(stored, a, b), want) << a << " " << b;
                // Rebuilding everything per query is slow, so check it on a sample.
                if ((a * n + b) % 7 == 0) {
                    ASSERT_EQ(get_lca_id(fresh, a, b), want);
                }
            }
        }

        std::vector<NodeId> new_id;
        SimpleRootedTree tree = relabelled(fresh, rng, new_id);
        const std::vector<std::uint64_t> depths = compute_depths(tree);
        precompute_constant_time_lca(tree);
        for (NodeId slot = 0; slot < tree.fa_index.size(); ++slot) {
            if (!has_node(tree, slot)) {
                EXPECT_EQ(tree.fa_index[slot], no_index);
            }
        }
        for (NodeId a = 0; a < n; ++a) {
            EXPECT_EQ(depths[new_id[a]], naive_depth(fresh, a));
            EXPECT_EQ(depth(tree, new_id[a]), naive_depth(fresh, a));
            for (NodeId b = 0; b < n; ++b) {
                ASSERT_EQ(get_lca_id(tree, new_id[a], new_id[b]), new_id[naive_lca(fresh, a, b)]);
            }
        }
    }
}

TEST(Lca, UnreachableNodesPanicWithoutTouchingTheTables) {
    SimpleRootedTree tree = from_newick("((A,B)");
    EXPECT_PANIC(precompute_constant_time_lca(tree), unreachable_text(1));
    EXPECT_FALSE(tree.rmq.has_value());
    EXPECT_TRUE(tree.euler_walk.empty());
    EXPECT_TRUE(tree.fa_index.empty());
    EXPECT_PANIC(get_lca_id(tree, 0, 0), unreachable_text(1));
    EXPECT_PANIC(get_fa_index(tree, 0), unreachable_text(1));

    // A failed precompute keeps the tables of an earlier one.
    SimpleRootedTree grown = from_newick("(A,B);");
    precompute_constant_time_lca(grown);
    const std::vector<NodeId> tour = grown.euler_walk;
    Node stray;
    stray.id = 3;
    set_node(grown, stray);
    EXPECT_PANIC(precompute_constant_time_lca(grown), unreachable_text(3));
    EXPECT_EQ(grown.euler_walk, tour);
    EXPECT_EQ(get_lca_id(grown, 1, 2), 0u);
}

TEST(Lca, MissingNodeIdsPanic) {
    SimpleRootedTree tree = from_newick("((A,B),C);");
    for (const bool stored : {false, true}) {
        SCOPED_TRACE(stored ? "stored" : "on the spot");
        if (stored) precompute_constant_time_lca(tree);
        EXPECT_PANIC(get_lca_id(tree, 9, 0), missing_text(9));
        EXPECT_PANIC(get_lca_id(tree, 0, 5), missing_text(5));
        EXPECT_PANIC(get_fa_index(tree, 5), missing_text(5));
        EXPECT_PANIC(depth(tree, 5), missing_text(5));
        EXPECT_PANIC(get_euler_pos(tree, 9), "tour position 9 is past the end of a tour of 9");
        EXPECT_PANIC(euler_walk_ids(tree, 5), missing_text(5));
    }
}

// Deep trees: nothing may recurse over the depth (the walks themselves are checked with the
// post-order).
constexpr std::size_t deep = 1'000'000;

TEST(DeepTrees, CaterpillarOfAMillionLeaves) {
    // Leaves t0..t(n-1); internal node d sits at depth d, t0 = n - 1, t1 = n, tj = n - 1 + j.
    const std::size_t n = deep;
    SimpleRootedTree tree = from_newick(test_util::caterpillar(n));
    ASSERT_EQ(tree.nodes.size(), 2 * n - 1);
    const auto leaf = [n](std::size_t j) { return n - 1 + j; };

    precompute_constant_time_lca(tree);
    EXPECT_EQ(depth(tree, leaf(0)), n - 1);
    EXPECT_EQ(get_lca_id(tree, leaf(0), leaf(1)), n - 2);
    std::mt19937_64 rng(3);
    for (int q = 0; q < 1000; ++q) {
        std::size_t i = rng() % n;
        std::size_t j = rng() % n;
        if (i > j) std::swap(i, j);
        if (j < 2) continue;
        const NodeId want = i == j ? leaf(j) : n - 1 - j;
        ASSERT_EQ(get_lca_id(tree, leaf(i), leaf(j)), want) << i << " " << j;
        ASSERT_EQ(get_lca_id(tree, leaf(j), leaf(i)), want);
    }
}

TEST(DeepTrees, ChainOfAMillionUnaryNodes) {
    const std::string text = std::string(deep, '(') + "A" + std::string(deep, ')') + ";";
    SimpleRootedTree tree = from_newick(text);
    ASSERT_EQ(tree.nodes.size(), deep + 1);
    EXPECT_EQ(get_taxa_node_id(tree, "A"), NodeId{deep});
    EXPECT_EQ(depth(tree, deep), deep);

    // One query with nothing stored, then the stored tables.
    EXPECT_EQ(get_lca_id(tree, deep, 12345), 12345u);
    precompute_constant_time_lca(tree);
    std::mt19937_64 rng(4);
    for (int q = 0; q < 1000; ++q) {
        const NodeId a = rng() % (deep + 1);
        const NodeId b = rng() % (deep + 1);
        ASSERT_EQ(get_lca_id(tree, a, b), std::min(a, b));
        ASSERT_EQ(depth(tree, a), a);
    }
}

TEST(DeepTrees, MillionUnclosedParentheses) {
    SimpleRootedTree tree = from_newick(std::string(deep, '('));
    ASSERT_EQ(tree.nodes.size(), deep + 1);
    EXPECT_TRUE(tree.nodes[0].children.empty());
    EXPECT_PANIC(precompute_constant_time_lca(tree), unreachable_text(1));
    EXPECT_PANIC(get_lca_id(tree, 0, 0), unreachable_text(1));

    // One ")" short: the chain below node 1 is deep but never reaches the root.
    SimpleRootedTree chain = from_newick(std::string(deep, '(') + "A" + std::string(deep - 1, ')'));
    EXPECT_FALSE(chain.nodes[1].parent.has_value());
    EXPECT_EQ(depth(chain, deep), deep - 1);
    EXPECT_PANIC(precompute_constant_time_lca(chain), unreachable_text(1));
}

}  // namespace
}  // namespace veltrane
