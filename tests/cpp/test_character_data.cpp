// Tests for the leaf-to-row index and state inference. The per-node state lookup, and the lean
// per-call states that scoring uses instead of name lookups, are held against the name-lookup
// road through the Python oracles' scores; deep trees are scored there too.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "metrics/characters/character_data.hpp"
#include "metrics/characters/likelihood.hpp"
#include "metrics/characters/parsimony.hpp"
#include "test_util.hpp"
#include "core/tree/newick.hpp"

namespace veltrane {
namespace {

using Row = std::vector<std::int32_t>;

CharacterMatrix matrix_of(const std::vector<Row>& rows) {
    CharacterMatrix matrix;
    for (const Row& row : rows) matrix.push_row(row);
    return matrix;
}

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

}  // namespace
}  // namespace veltrane
