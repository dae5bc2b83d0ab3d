// Parsimony score of a tree for a character matrix, and its p-value under a Poisson null model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/tree/simple_rooted_tree.hpp"
#include "metrics/characters/character_data.hpp"

namespace veltrane {

struct ParsimonyResult {
    std::string method_used;  // "small_mp_inferred" or "provided_states"
    std::uint64_t parsimony_score = 0;
    std::uint64_t total_mutations = 0;  // always equal to parsimony_score
    double computation_time_ms = 0.0;
    bool internal_states_inferred = false;
};

// Counts unedited -> edited changes over every edge. internal_states, when given, is used as
// it is; otherwise states are inferred bottom-up and a named root is forced to unedited.
ParsimonyResult calculate_parsimony(const SimpleRootedTree& tree, const CharacterMatrix& matrix,
                                    const StateMap* internal_states, std::int32_t missing_state,
                                    std::int32_t unedited_state);

// Probability of at least `score` mutations when lambda = mutation_rate * (n_leaves - 1):
// the exact Poisson tail up to a score of 100, a normal approximation above.
double parsimony_p_value(std::uint64_t score, std::uint64_t n_leaves, double mutation_rate);

struct ParsimonyPValueResult {
    double p_value = 0.0;
    std::uint64_t parsimony_score = 0;
    double computation_time_ms = 0.0;
    std::string method_used;  // always "poisson_approximation"
};

// calculate_parsimony, then the p-value; mutation_rate defaults to 0.1.
ParsimonyPValueResult calculate_parsimony_p_value(
    const SimpleRootedTree& tree, const CharacterMatrix& matrix, const StateMap* internal_states,
    std::optional<double> mutation_rate, std::int32_t missing_state, std::int32_t unedited_state);

}  // namespace veltrane
