// Character data: the matrix of leaf states, the name -> states map of internal nodes, and
// the per-node states and edge walk shared by parsimony and likelihood.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/support/hashing.hpp"
#include "core/support/interrupt.hpp"
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

// Node name -> state vector; given by the caller or filled by state inference. The names come
// from the caller, so the map hashes them with the process key.
using StateMap =
    std::unordered_map<std::string, std::vector<std::int32_t>, LabelHash, std::equal_to<>>;

// Whether some key of the states names a node of the tree (leaf or internal). Stops at the
// first that does.
bool names_a_node(const StateMap& states, const SimpleRootedTree& tree);

namespace detail {

// How a node with two children combines their states a (first) and b (second) at a position.
enum class InferenceRule {
    parsimony,  // a when a == b, a != unedited and a != missing; else unedited
    likelihood  // a when a == b and a != missing; else unedited
};

// The states every node is scored with, indexed by node id. Leaves are numbered 0, 1, 2, ... in
// id order, unnamed leaves included, and row k belongs to leaf k; a repeated name reads the
// later leaf's row. A named node takes the row its name maps to when there is one (so an
// internal node named like a leaf reads that leaf's row), else the entry of its name in the
// internal states: the caller's when given, otherwise those that bottom-up inference from the
// root leaves behind (the root then forced to unedited when named), none when the matrix has
// no rows. An unnamed node has no states. Names are compared as taxa_map entries, so no string
// is hashed per edge, and inferred vectors live in one buffer instead of a map.
//
// Inference: a leaf takes its row or n copies of missing; a node with two children combines
// them by the rule and, when named, stores its vector under its name (replacing an earlier
// one); a node with one or three or more children is n copies of unedited, and nothing at or
// below it is visited or stored.
struct ScoringStates {
    std::vector<std::span<const std::int32_t>> by_node;
    std::vector<std::int32_t> inferred;  // storage behind the views of inferred states
};
ScoringStates scoring_states(const SimpleRootedTree& tree, const CharacterMatrix& matrix,
                             const StateMap* internal_states, std::int32_t missing_state,
                             std::int32_t unedited_state, InferenceRule rule);

// Calls edge(parent, child) with the states of both ends of every edge, in the child's id
// order; a child's Ctrl-C cost grows with the shorter vector.
template <typename Edge>
void for_each_edge(const SimpleRootedTree& tree, const ScoringStates& states, Edge&& edge) {
    for (const Node& node : tree.nodes) {
        if (!node.parent) continue;
        const std::span<const std::int32_t> p = states.by_node[*node.parent];
        const std::span<const std::int32_t> c = states.by_node[node.id];
        check_interrupt(static_cast<std::int64_t>(1 + std::min(p.size(), c.size()) / 1024));
        edge(p, c);
    }
}

}  // namespace detail

}  // namespace veltrane
