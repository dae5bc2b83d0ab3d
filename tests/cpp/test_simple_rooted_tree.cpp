// Tests for the tree model: building operations, vacant slots, lookups and depths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "test_util.hpp"
#include "core/tree/simple_rooted_tree.hpp"
#include "tree_edits.hpp"

namespace veltrane {
namespace {

// The node views children and taxa: both must outlive the set_node call it is passed to.
Node make_node(NodeId id, std::optional<NodeId> parent = {},
               const std::vector<NodeId>& children = {},
               std::optional<std::string_view> taxa = {}) {
    Node node;
    node.id = id;
    node.parent = parent;
    node.children = children;
    node.taxa = taxa;
    return node;
}

// Slots, links and labels themselves are held to a plain model below; these are what it
// leaves out: lookups of vacant or impossible ids, and depths over broken parent links.
TEST(SimpleRootedTree, VacantSlotsAreNoNodes) {
    SimpleRootedTree tree;
    set_node(tree, make_node(3, {}, {}, "C"));
    EXPECT_EQ(leaf_ids(tree), (std::vector<NodeId>{3}));
    EXPECT_EQ(compute_depths(tree), (std::vector<std::uint64_t>{0, 0, 0, 0}));
    EXPECT_PANIC(get_node(tree, 0), "node id 0 is not in the tree");
    EXPECT_PANIC(get_node_children_ids(tree, 1), "node id 1 is not in the tree");
    EXPECT_PANIC(set_node_taxa(tree, 2, "x"), "node id 2 is not in the tree");
    EXPECT_PANIC(set_node(tree, make_node(no_index)),
                 "node id " + std::to_string(no_index) + " is too large");
}

TEST(SimpleRootedTree, BrokenParentLinksPanic) {
    struct Case {
        std::vector<std::optional<NodeId>> parents;  // by id; a vacant slot has parent 99
        NodeId asked;
        std::string message;
    };
    const std::optional<NodeId> vacant = 99;
    for (const Case& c :
         std::vector<Case>{{{{}, 2, 3, 1}, 1, "parent links above node id 1 form a cycle"},
                           {{0}, 0, "parent links above node id 0 form a cycle"},
                           {{{}, 7, vacant, {}}, 1, "node id 7 is not in the tree"},
                           {{{}, 2, vacant, {}}, 1, "node id 2 is not in the tree"}}) {
        SCOPED_TRACE(c.message);
        SimpleRootedTree tree;
        for (NodeId id = 0; id < c.parents.size(); ++id) {
            if (c.parents[id] != vacant) set_node(tree, make_node(id, c.parents[id]));
        }
        EXPECT_PANIC(depth(tree, c.asked), c.message);
        EXPECT_PANIC(compute_depths(tree), c.message);
    }
    SimpleRootedTree cycle_elsewhere;
    set_node(cycle_elsewhere, make_node(0));
    set_node(cycle_elsewhere, make_node(1, 1));
    EXPECT_EQ(depth(cycle_elsewhere, 0), 0u);
}

// The building operations replayed on the plain model.
TEST(SimpleRootedTree, BuildingMatchesAPlainModel) {
    std::mt19937_64 rng(12);
    PlainNode vacant;
    vacant.present = false;
    for (int round = 0; round < 200; ++round) {
        SimpleRootedTree tree;
        PlainTree model;
        std::vector<PlainNode>& plain = model.nodes;
        const std::size_t steps = 1 + rng() % 120;
        for (std::size_t step = 0; step < steps; ++step) {
            // Few distinct labels, so that labels repeat and map entries get replaced; long
            // ones too, past any inline buffer.
            const std::string label =
                (rng() % 5 == 0 ? "a_rather_long_label_" : "L") + std::to_string(rng() % 25);
            const NodeId id = rng() % 40;
            if (rng() % 3 == 0 && id < plain.size() && plain[id].present) {
                set_node_taxa(tree, id, label);
                model.set_taxa(id, label);
                continue;
            }
            PlainNode p;
            if (rng() % 2) p.parent = rng() % 40;
            for (std::size_t k = rng() % 4; k > 0; --k) p.children.push_back(rng() % 40);
            if (rng() % 2) p.taxa = label;
            if (rng() % 2) p.weight = static_cast<float>(rng() % 7) / 4.0f;
            Node node = make_node(id, p.parent, p.children, p.taxa);
            node.weight = p.weight;
            set_node(tree, node);
            if (id >= plain.size()) plain.resize(id + 1, vacant);
            plain[id] = p;
            if (p.taxa) model.set_taxa(id, *p.taxa);
        }
        // A node copied from its own table: set_node must read the view before it grows the
        // arrays the view points into.
        if (!plain.empty() && plain.back().present) {
            const NodeId last = plain.size() - 1;
            Node copy = tree.nodes[last];
            copy.id = last + 1;
            set_node(tree, copy);
            plain.push_back(plain.back());
            if (plain.back().taxa) model.set_taxa(last + 1, *plain.back().taxa);
        }
        SCOPED_TRACE("round " + std::to_string(round));
        expect_same(tree, model);
        if (HasFailure()) return;
    }
}

TEST(TaxaMap, InsertNodeLabelsKeepsTheLabelStoredLast) {
    // Labels stored out of id order, with repeats: the map must follow the storing order.
    // Enough of them to run through the lookahead of the batch insert many times.
    std::mt19937_64 rng(3);
    NodeTable table;
    const std::size_t n = 5000;
    table.slots.resize(n);
    std::vector<NodeId> order(n);
    std::iota(order.begin(), order.end(), NodeId{0});
    std::shuffle(order.begin(), order.end(), rng);
    std::map<std::string, NodeId> want;
    std::size_t labelled = 0;
    for (const NodeId id : order) {
        if (rng() % 4 == 0) continue;
        ++labelled;
        const std::string label = "x" + std::to_string(rng() % 1500);
        table.slots[id].label_offset = table.label_bytes.size();
        table.slots[id].label_size = label.size();
        table.label_bytes += label;
        want[label] = id;
    }
    TaxaMap map;
    map.insert_node_labels(table, labelled);
    TaxaMap undersized;
    undersized.insert_node_labels(table, 1);
    EXPECT_EQ((std::map<std::string, NodeId>(undersized.begin(), undersized.end())), want);
    EXPECT_EQ((std::map<std::string, NodeId>(map.begin(), map.end())), want);
    for (const auto& [label, id] : want) EXPECT_EQ(map.find(label), id);
    EXPECT_EQ(map.find("x1500"), std::nullopt);
    EXPECT_EQ(map.find(""), std::nullopt);
}

}  // namespace
}  // namespace veltrane
