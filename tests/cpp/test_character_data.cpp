// Tests for the leaf-to-row index, the per-node state lookup, state inference and the lean
// per-call states that scoring uses instead of name lookups.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "character_data.hpp"
#include "likelihood.hpp"
#include "parsimony.hpp"
#include "test_util.hpp"
#include "tree/newick.hpp"

namespace veltrane {
namespace {

using Row = std::vector<std::int32_t>;

CharacterMatrix matrix_of(const std::vector<Row>& rows) {
    CharacterMatrix matrix;
    for (const Row& row : rows) matrix.push_row(row);
    return matrix;
}

Row as_row(std::span<const std::int32_t> states) { return {states.begin(), states.end()}; }

std::optional<std::size_t> row_of(const LeafRowIndex& index, const std::string& name) {
    const auto it = index.rows.find(name);
    if (it == index.rows.end()) return std::nullopt;
    return it->second;
}

NodeId id_of(const SimpleRootedTree& tree, const std::string& label) {
    return get_taxa_node_id(tree, label).value();
}

TEST(LeafRowIndex, NumbersLeavesInTextOrderNotByName) {
    const SimpleRootedTree tree = from_newick("(C,(A,B)X);");
    const LeafRowIndex index = build_leaf_row_index(tree);
    EXPECT_EQ(index.rows.size(), 3U);
    EXPECT_EQ(row_of(index, "C"), 0U);
    EXPECT_EQ(row_of(index, "A"), 1U);
    EXPECT_EQ(row_of(index, "B"), 2U);
    EXPECT_EQ(row_of(index, "X"), std::nullopt);  // internal names are not leaves
}

TEST(LeafRowIndex, UnnamedLeafConsumesANumber) {
    const SimpleRootedTree tree = from_newick("(A,,B);");
    const LeafRowIndex index = build_leaf_row_index(tree);
    EXPECT_EQ(index.rows.size(), 2U);
    EXPECT_EQ(row_of(index, "A"), 0U);
    EXPECT_EQ(row_of(index, "B"), 2U);
}

TEST(LeafRowIndex, RepeatedNameKeepsTheLaterLeaf) {
    const SimpleRootedTree tree = from_newick("(A,(B,A)A);");
    const LeafRowIndex index = build_leaf_row_index(tree);
    EXPECT_EQ(row_of(index, "A"), 2U);
    EXPECT_EQ(row_of(index, "B"), 1U);
}

TEST(LeafRowIndex, ChildlessRootOfUnbalancedTextIsLeafZero) {
    // "((A,B)" leaves node 1 unattached and the root without children: the root is leaf 0.
    const SimpleRootedTree tree = from_newick("((A,B)");
    const LeafRowIndex index = build_leaf_row_index(tree);
    EXPECT_EQ(row_of(index, "A"), 1U);
    EXPECT_EQ(row_of(index, "B"), 2U);
}

TEST(LeafRowIndex, SingleNodeTree) {
    const SimpleRootedTree one = from_newick("A;");
    const SimpleRootedTree empty = from_newick(";");
    EXPECT_EQ(row_of(build_leaf_row_index(one), "A"), 0U);
    EXPECT_TRUE(build_leaf_row_index(empty).rows.empty());
}

class NodeStatesLookup : public ::testing::Test {
 protected:
    // Leaves A (row 0), B (row 1), unnamed (row 2), C (row 3, absent from a 3-row matrix).
    SimpleRootedTree tree = from_newick("((A,B)A,(,C)Y)R;");
    LeafRowIndex index = build_leaf_row_index(tree);
    CharacterMatrix matrix = matrix_of({{1, 2}, {3}, {4, 4}});
    StateMap states{{"A", {9}}, {"Y", {7, 7}}, {"C", {5}}, {"R", {}}};

    Row lookup(NodeId id) const {
        return as_row(get_node_states_likelihood(tree.nodes[id], index, matrix, states));
    }
};

TEST_F(NodeStatesLookup, LeafReadsItsRow) { EXPECT_EQ(lookup(id_of(tree, "B")), (Row{3})); }

TEST_F(NodeStatesLookup, InternalNodeNamedLikeALeafReadsTheRowBeforeTheMap) {
    EXPECT_EQ(lookup(1), (Row{1, 2}));  // node 1 is the internal "A"
}

TEST_F(NodeStatesLookup, LeafWithoutARowFallsBackToTheMap) {
    EXPECT_EQ(lookup(id_of(tree, "C")), (Row{5}));
}

TEST_F(NodeStatesLookup, InternalNodeReadsTheMap) {
    EXPECT_EQ(lookup(id_of(tree, "Y")), (Row{7, 7}));
}

TEST_F(NodeStatesLookup, UnnamedNodeHasNoStates) {
    const NodeId unnamed = tree.nodes[id_of(tree, "Y")].children[0];
    ASSERT_FALSE(tree.nodes[unnamed].taxa);
    EXPECT_TRUE(lookup(unnamed).empty());
}

TEST_F(NodeStatesLookup, EmptyEntryAndUnknownNameGiveNothing) {
    EXPECT_TRUE(lookup(0).empty());  // R maps to an empty vector
    states.erase("Y");
    EXPECT_TRUE(lookup(id_of(tree, "Y")).empty());
}

TEST_F(NodeStatesLookup, ViewsAllNodesAtOnce) {
    const auto views = node_states_by_id(tree, index, matrix, states);
    ASSERT_EQ(views.size(), tree.nodes.size());
    for (NodeId id = 0; id < tree.nodes.size(); ++id) EXPECT_EQ(as_row(views[id]), lookup(id));
}

TEST(StateInference, WorkedExampleStoresNamedNodes) {
    const SimpleRootedTree tree = from_newick("((A,B)X,(C,D)Y)R;");
    const CharacterMatrix matrix = matrix_of({{1}, {1}, {2}, {0}});
    StateMap states;
    const Row root =
        infer_states_recursive(tree, 0, build_leaf_row_index(tree), matrix, states, 1, -1, 0);
    EXPECT_EQ(root, (Row{0}));
    EXPECT_EQ(states, (StateMap{{"X", {1}}, {"Y", {0}}, {"R", {0}}}));
}

TEST(StateInference, EditKeptOnlyWhenBothChildrenCarryIt) {
    const SimpleRootedTree tree = from_newick("(A,B)R;");
    // Agreeing edit, disagreement, missing on one side, unedited, missing on both, short row.
    const CharacterMatrix matrix = matrix_of({{3, 1, -1, 0, -1, 4}, {3, 2, 5, 0, -1}});
    StateMap states;
    const Row root =
        infer_states_recursive(tree, 0, build_leaf_row_index(tree), matrix, states, 6, -1, 0);
    EXPECT_EQ(root, (Row{3, 0, 0, 0, 0, 0}));
}

TEST(StateInference, LikelihoodRuleKeepsAgreeingUnedited) {
    // With unedited 7, "both 7" gives 7 under either rule; codes are honoured throughout.
    const SimpleRootedTree tree = from_newick("(A,B)R;");
    const CharacterMatrix matrix = matrix_of({{7, 9, 2}, {7, 9, 2}});
    StateMap a;
    StateMap b;
    const LeafRowIndex index = build_leaf_row_index(tree);
    EXPECT_EQ(infer_states_recursive(tree, 0, index, matrix, a, 3, 9, 7), (Row{7, 7, 2}));
    EXPECT_EQ(infer_ml_states_recursive(tree, 0, index, matrix, b, 3, 9, 7), (Row{7, 7, 2}));
}

TEST(StateInference, LeafStartReturnsItsRowOrMissingStates) {
    const SimpleRootedTree tree = from_newick("(A,B);");
    const CharacterMatrix matrix = matrix_of({{4, 5, 6}});
    const LeafRowIndex index = build_leaf_row_index(tree);
    StateMap states;
    EXPECT_EQ(infer_states_recursive(tree, 1, index, matrix, states, 2, -1, 0), (Row{4, 5, 6}));
    EXPECT_EQ(infer_states_recursive(tree, 2, index, matrix, states, 2, -3, 0), (Row{-3, -3}));
    EXPECT_TRUE(states.empty());
}

TEST(StateInference, NodeWithOneOrThreeChildrenStopsTheWalk) {
    const CharacterMatrix matrix = matrix_of({{1}, {1}, {1}, {1}});
    for (const char* text : {"((A,B)X,C,D)R;", "(((A,B)X)Z,C)R;"}) {
        const SimpleRootedTree tree = from_newick(text);
        StateMap states;
        const Row root =
            infer_states_recursive(tree, 0, build_leaf_row_index(tree), matrix, states, 1, -1, 5);
        if (tree.nodes[0].children.size() == 3) {
            EXPECT_EQ(root, (Row{5})) << text;
            EXPECT_TRUE(states.empty()) << text;
        } else {
            // Z is unedited (5) and unstored; X below it is never visited.
            EXPECT_EQ(root, (Row{5})) << text;
            EXPECT_EQ(states, (StateMap{{"R", {5}}})) << text;
        }
    }
}

TEST(StateInference, LaterNodeWithTheSameNameReplaces) {
    const SimpleRootedTree tree = from_newick("((A,B)X,(C,D)X)R;");
    const CharacterMatrix matrix = matrix_of({{1}, {1}, {2}, {2}});
    StateMap states{{"X", {8, 8}}};
    infer_states_recursive(tree, 0, build_leaf_row_index(tree), matrix, states, 1, -1, 0);
    EXPECT_EQ(states.at("X"), (Row{2}));
}

TEST(StateInference, BadStartIdPanics) {
    const SimpleRootedTree tree = from_newick("(A,B);");
    StateMap states;
    EXPECT_THROW(infer_states_recursive(tree, 3, build_leaf_row_index(tree), CharacterMatrix{},
                                        states, 1, -1, 0),
                 Panic);
}

TEST(StateInference, DeepCaterpillarNeedsNoCallStack) {
    // 300000 nested levels would overflow any recursive walk on a default 8 MB stack.
    constexpr int leaves = 300000;
    std::string text(leaves - 1, '(');
    text += "L0";
    for (int i = 1; i < leaves; ++i) text += ",L" + std::to_string(i) + ")N" + std::to_string(i);
    text += ";";
    const SimpleRootedTree tree = from_newick(text);
    CharacterMatrix matrix;
    for (int i = 0; i < leaves; ++i) matrix.push_row(Row{1});
    StateMap states;
    const Row root =
        infer_states_recursive(tree, 0, build_leaf_row_index(tree), matrix, states, 1, -1, 0);
    EXPECT_EQ(root, (Row{1}));
    EXPECT_EQ(states.size(), static_cast<std::size_t>(leaves - 1));
    EXPECT_EQ(calculate_parsimony(tree, matrix, nullptr, -1, 0).parsimony_score, 2U);
}

// Random text: groups of one to four subtrees, names that repeat and collide with leaf names,
// unnamed leaves and internal nodes.
std::string random_named_newick(std::mt19937_64& rng, std::size_t leaves) {
    std::vector<std::string> parts;
    for (std::size_t k = 0; k < leaves; ++k) {
        const auto r = rng() % 8;
        parts.push_back(r == 0 ? "" : "L" + std::to_string(r == 1 ? rng() % 4 : k));
    }
    while (parts.size() > 1 || rng() % 10 == 0) {
        const std::size_t take = std::min<std::size_t>(parts.size(), 1 + rng() % 4);
        std::string group = "(";
        for (std::size_t k = 0; k < take; ++k) {
            const std::size_t pick = rng() % parts.size();
            group += (k ? "," : "") + parts[pick];
            parts.erase(parts.begin() + static_cast<std::ptrdiff_t>(pick));
        }
        const auto r = rng() % 10;
        group += ")";
        if (r < 6) group += "N" + std::to_string(rng() % 5);
        if (r == 6) group += "L" + std::to_string(rng() % leaves);
        parts.push_back(group);
    }
    return parts[0] + ";";
}

CharacterMatrix random_matrix(std::mt19937_64& rng, std::size_t rows, std::size_t width) {
    CharacterMatrix matrix;
    for (std::size_t r = 0; r < rows; ++r) {
        Row row(rng() % 5 == 0 ? rng() % (width + 2) : width);
        for (auto& v : row) v = static_cast<std::int32_t>(rng() % 5) - 1;
        matrix.push_row(row);
    }
    return matrix;
}

// The scoring states must equal the documented road: a StateMap filled by inference (root
// forced when named), or the given map, then get_node_states_likelihood node by node.
TEST(ScoringStates, EqualLookupsThroughTheStateMap) {
    std::mt19937_64 rng(2024);
    for (int round = 0; round < 400; ++round) {
        const std::size_t leaves = 1 + rng() % 12;
        const std::string text = random_named_newick(rng, leaves);
        const SimpleRootedTree tree = from_newick(text);
        const std::size_t width = rng() % 4;
        const std::size_t rows = (leaves > 2 ? leaves - 2 : 0) + rng() % 4;
        const CharacterMatrix matrix = random_matrix(rng, rows, width);
        const auto rule =
            rng() % 2 ? detail::InferenceRule::parsimony : detail::InferenceRule::likelihood;
        const std::int32_t missing = -1;
        const std::int32_t unedited = rng() % 3 == 0 ? 1 : 0;
        const bool given = rng() % 3 == 0;

        StateMap map;
        if (given) {
            for (const char* name : {"N0", "N1", "N2", "L0", "L1", "L5"}) {
                if (rng() % 2)
                    map[name] = Row(rng() % (width + 2), static_cast<std::int32_t>(rng() % 3));
            }
        } else if (matrix.rows() > 0) {
            const std::size_t n = matrix.n_characters();
            const LeafRowIndex index = build_leaf_row_index(tree);
            if (rule == detail::InferenceRule::parsimony) {
                infer_states_recursive(tree, 0, index, matrix, map, n, missing, unedited);
            } else {
                infer_ml_states_recursive(tree, 0, index, matrix, map, n, missing, unedited);
            }
            if (tree.nodes[0].taxa)
                map.insert_or_assign(std::string(*tree.nodes[0].taxa), Row(n, unedited));
        }
        const detail::ScoringStates lean =
            detail::scoring_states(tree, matrix, given ? &map : nullptr, missing, unedited, rule);
        const auto documented = node_states_by_id(tree, build_leaf_row_index(tree), matrix, map);
        ASSERT_EQ(lean.by_node.size(), documented.size());
        for (NodeId id = 0; id < documented.size(); ++id) {
            ASSERT_EQ(as_row(lean.by_node[id]), as_row(documented[id]))
                << text << " node " << id << " round " << round;
        }
        if (rule == detail::InferenceRule::parsimony) {
            const auto score =
                calculate_parsimony(tree, matrix, given ? &map : nullptr, missing, unedited);
            EXPECT_EQ(score.parsimony_score,
                      count_total_mutations(tree, matrix, map, missing, unedited))
                << text;
        }
    }
}

TEST(ScoringStates, BothRulesInferTheSameStates) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 200; ++round) {
        const std::size_t leaves = 1 + rng() % 12;
        const SimpleRootedTree tree = from_newick(random_named_newick(rng, leaves));
        const CharacterMatrix matrix = random_matrix(rng, leaves, 3);
        const LeafRowIndex index = build_leaf_row_index(tree);
        StateMap a;
        StateMap b;
        const Row ra = infer_states_recursive(tree, 0, index, matrix, a, 3, -1, 0);
        const Row rb = infer_ml_states_recursive(tree, 0, index, matrix, b, 3, -1, 0);
        EXPECT_EQ(ra, rb);
        EXPECT_EQ(a, b);
    }
}

}  // namespace
}  // namespace veltrane
