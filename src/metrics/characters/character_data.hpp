// Character data: the matrix of leaf states, the name -> states map of internal nodes, the
// leaf-to-row index and the per-node state lookup shared by parsimony and likelihood.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/tree/simple_rooted_tree.hpp"

namespace veltrane {

// Rows of signed 32-bit states, stored back to back. Rows may differ in length; the number of
// characters of a call is the length of row 0 (0 without rows).
struct CharacterMatrix {
    std::vector<std::int32_t> values;
    std::vector<std::size_t> row_starts{0};  // row k is values[row_starts[k] .. row_starts[k+1])

    std::size_t rows() const noexcept { return row_starts.size() - 1; }
    std::span<const std::int32_t> row(std::size_t k) const noexcept {
        return {values.data() + row_starts[k], row_starts[k + 1] - row_starts[k]};
    }
    std::size_t n_characters() const noexcept { return rows() == 0 ? 0 : row(0).size(); }
    void push_row(std::span<const std::int32_t> states) {
        values.insert(values.end(), states.begin(), states.end());
        row_starts.push_back(values.size());
    }
};

// Node name -> state vector; given by the caller or filled by state inference.
using StateMap = std::unordered_map<std::string, std::vector<std::int32_t>>;

// Leaf name -> row number. Leaves are numbered 0, 1, 2, ... in node-id order, unnamed leaves
// included; a repeated name keeps the later leaf's number. Keys view the tree's labels, so the
// tree must outlive the index.
struct LeafRowIndex {
    std::unordered_map<std::string_view, std::size_t> rows;
};

// Builds the index of a tree (every node without children, reachable from the root or not).
LeafRowIndex build_leaf_row_index(const SimpleRootedTree& tree);
// The index views the tree's labels, so a temporary tree would leave it dangling.
LeafRowIndex build_leaf_row_index(SimpleRootedTree&& tree) = delete;

// Row of a named node when the index maps its name below matrix.rows(), else its entry in
// states, else empty (so is an unnamed node). The view borrows from matrix or states and stays
// valid while neither changes.
std::span<const std::int32_t> get_node_states_likelihood(const Node& node,
                                                         const LeafRowIndex& index,
                                                         const CharacterMatrix& matrix,
                                                         const StateMap& states);

// get_node_states_likelihood of every node, indexed by node id.
std::vector<std::span<const std::int32_t>> node_states_by_id(const SimpleRootedTree& tree,
                                                             const LeafRowIndex& index,
                                                             const CharacterMatrix& matrix,
                                                             const StateMap& states);

namespace detail {

// How a node with two children combines their states a (first) and b (second) at a position.
enum class InferenceRule {
    parsimony,  // a when a == b, a != unedited and a != missing; else unedited
    likelihood  // a when a == b and a != missing; else unedited
};

// Bottom-up state inference from node start, without recursion. A leaf takes its row (through
// the index) or n copies of missing; a node with two children combines them by the rule and,
// when named, stores a copy under its name (replacing an earlier entry); a node with one or
// three or more children is n copies of unedited, and nothing at or below it is visited or
// stored. Returns start's vector. Throws Panic for a bad start id.
std::vector<std::int32_t> infer_states(const SimpleRootedTree& tree, NodeId start,
                                       const LeafRowIndex& index, const CharacterMatrix& matrix,
                                       StateMap& states, std::size_t n, std::int32_t missing_state,
                                       std::int32_t unedited_state, InferenceRule rule);

// The states every node is scored with, indexed by node id: exactly get_node_states_likelihood
// of each node, with internal_states when given, otherwise with the map that inference from the
// root (then the root forced to unedited when named) leaves behind, or an empty map when the
// matrix has no rows. Names are interned once, so no string is hashed per edge or per lookup,
// and inferred vectors live in one buffer instead of a map.
struct ScoringStates {
    std::vector<std::span<const std::int32_t>> by_node;
    std::vector<std::int32_t> inferred;  // storage behind the views of inferred states
};
ScoringStates scoring_states(const SimpleRootedTree& tree, const CharacterMatrix& matrix,
                             const StateMap* internal_states, std::int32_t missing_state,
                             std::int32_t unedited_state, InferenceRule rule);

}  // namespace detail

}  // namespace veltrane
