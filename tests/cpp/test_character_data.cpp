// Tests for the leaf-to-row index, the per-node state lookup, state inference and the lean
// per-call states that scoring uses instead of name lookups.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <utility>
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

TEST(LeafRowIndex, NumbersEveryChildlessNodeInTextOrder) {
    // Internal names are not leaves, an unnamed leaf consumes a number, a repeated name keeps
    // the later leaf, and "((A,B)" leaves the root childless: it is leaf 0.
    const std::pair<const char*, std::map<std::string, std::size_t>> cases[] = {
        {"(C,(A,B)X);", {{"C", 0}, {"A", 1}, {"B", 2}}},
        {"(A,,B);", {{"A", 0}, {"B", 2}}},
        {"(A,(B,A)A);", {{"A", 2}, {"B", 1}}},
        {"((A,B)", {{"A", 1}, {"B", 2}}},
        {"A;", {{"A", 0}}},
        {";", {}}};
    using Rows = std::map<std::string, std::size_t>;
    for (const auto& [text, expected] : cases) {
        const SimpleRootedTree tree = from_newick(text);
        const LeafRowIndex index = build_leaf_row_index(tree);
        EXPECT_EQ(Rows(index.rows.begin(), index.rows.end()), expected) << text;
    }
}

TEST(NodeStatesLookup, RowBeforeMapByNameThenNothing) {
    // Leaves A (row 0), B (row 1), unnamed (row 2), C (row 3, absent from a 3-row matrix).
    const SimpleRootedTree tree = from_newick("((A,B)A,(,C)Y)R;");
    const LeafRowIndex index = build_leaf_row_index(tree);
    const CharacterMatrix matrix = matrix_of({{1, 2}, {3}, {4, 4}});
    const StateMap states{{"A", {9}}, {"Y", {7, 7}}, {"C", {5}}, {"R", {}}};
    // By node id: R maps to an empty vector; the internal "A" reads the row before the map; a
    // leaf without a row falls back to the map; the unnamed leaf has no states.
    const std::vector<Row> expected = {{}, {1, 2}, {1, 2}, {3}, {7, 7}, {}, {5}};
    const auto views = node_states_by_id(tree, index, matrix, states);
    ASSERT_EQ(views.size(), expected.size());
    for (NodeId id = 0; id < views.size(); ++id) {
        EXPECT_EQ(as_row(get_node_states_likelihood(tree.nodes[id], index, matrix, states)),
                  expected[id])
            << id;
        EXPECT_EQ(as_row(views[id]), expected[id]) << id;
    }
    EXPECT_TRUE(get_node_states_likelihood(tree.nodes[4], index, matrix, {}).empty());
}

TEST(StateInference, EditKeptOnlyWhenBothChildrenCarryItUnderEitherRule) {
    const SimpleRootedTree tree = from_newick("(A,B)R;");
    const LeafRowIndex index = build_leaf_row_index(tree);
    // Agreeing edit, disagreement, missing on one side, unedited, missing on both, short row;
    // then other codes (missing 9, unedited 7).
    const CharacterMatrix matrix = matrix_of({{3, 1, -1, 0, -1, 4}, {3, 2, 5, 0, -1}});
    const CharacterMatrix coded = matrix_of({{7, 9, 2}, {7, 9, 2}});
    for (const auto infer : {&infer_states_recursive, &infer_ml_states_recursive}) {
        StateMap states;
        EXPECT_EQ(infer(tree, 0, index, matrix, states, 6, -1, 0), (Row{3, 0, 0, 0, 0, 0}));
        EXPECT_EQ(states, (StateMap{{"R", {3, 0, 0, 0, 0, 0}}}));
        EXPECT_EQ(infer(tree, 0, index, coded, states, 3, 9, 7), (Row{7, 7, 2}));
        // Starting at a leaf gives its row, or missing states without one; a bad id panics.
        EXPECT_EQ(infer(tree, 1, index, coded, states, 2, -1, 0), (Row{7, 9, 2}));
        EXPECT_EQ(infer(tree, 2, index, matrix_of({{4}}), states, 2, -3, 0), (Row{-3, -3}));
        EXPECT_THROW(infer(tree, 3, index, matrix, states, 1, -1, 0), Panic);
    }
}

TEST(StateInference, DeepCaterpillarNeedsNoCallStack) {
    // 300000 nested levels would overflow any recursive walk on a default 8 MB stack.
    constexpr int leaves = 300000;
    std::string text(leaves - 1, '(');
    text += "L0";
    for (int i = 1; i < leaves; ++i) text += ",L" + std::to_string(i) + ")N" + std::to_string(i);
    const SimpleRootedTree tree = from_newick(text + ";");
    CharacterMatrix matrix;
    for (int i = 0; i < leaves; ++i) matrix.push_row(Row{1});
    StateMap states;
    EXPECT_EQ(infer_states_recursive(tree, 0, build_leaf_row_index(tree), matrix, states, 1, -1, 0),
              (Row{1}));
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
            // Both rules infer the same states.
            StateMap other;
            const Row root =
                infer_states_recursive(tree, 0, index, matrix, map, n, missing, unedited);
            EXPECT_EQ(
                infer_ml_states_recursive(tree, 0, index, matrix, other, n, missing, unedited),
                root);
            EXPECT_EQ(other, map) << text;
            if (tree.nodes[0].taxa) {
                map.insert_or_assign(std::string(*tree.nodes[0].taxa), Row(n, unedited));
            }
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

}  // namespace
}  // namespace veltrane
