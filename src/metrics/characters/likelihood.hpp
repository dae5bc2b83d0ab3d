// Log-likelihood of character data on a tree under an irreversible editing model, and the
// likelihood distance between a reconstructed and a ground-truth tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/tree/simple_rooted_tree.hpp"
#include "metrics/characters/character_data.hpp"

namespace veltrane {

struct LikelihoodResult {
    double log_likelihood = 0.0;
    double likelihood = 1.0;
    double computation_time_ms = 0.0;
    std::string method_used;  // "crispr_cas9_model" or "empty_data"
    std::uint64_t n_characters = 0;
    std::uint64_t n_leaves = 0;
};

// Sum over edges (in node-id order, each edge summed first) of log_stay, log_mut, 0 or -inf per
// position. mutation_rate mu gives p_mut = 1 - e^-mu (default 1 - e^-0.1), collision_probability
// defaults to 0.1; neither is validated. Internal states are used as given or inferred.
LikelihoodResult calculate_likelihood(const SimpleRootedTree& tree, const CharacterMatrix& matrix,
                                      const StateMap* internal_states,
                                      std::optional<double> mutation_rate,
                                      std::optional<double> collision_probability,
                                      std::int32_t missing_state, std::int32_t unedited_state);

// +inf when ll_reconstructed is zero; otherwise ll_ground_truth / ll_reconstructed - 1 floored
// at +0.0, with NaN giving 0.0.
double likelihood_distance(double ll_reconstructed, double ll_ground_truth);

struct LikelihoodDistanceResult {
    double likelihood_distance = 0.0;
};

// calculate_likelihood on each tree with its own states, then likelihood_distance.
LikelihoodDistanceResult calculate_likelihood_distance(
    const SimpleRootedTree& reconstructed, const SimpleRootedTree& ground_truth,
    const CharacterMatrix& matrix, const StateMap* states_reconstructed,
    const StateMap* states_ground_truth, std::optional<double> mutation_rate,
    std::optional<double> collision_probability, std::int32_t missing_state,
    std::int32_t unedited_state);

}  // namespace veltrane
