// Likelihood under the irreversible editing model, and the likelihood distance.
#include "metrics/characters/likelihood.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/support/stopwatch.hpp"

namespace veltrane {

namespace {

// 1 - e^-0.1, the per-edge mutation probability when no rate is given.
constexpr double default_p_mut = 0.09516258196404048;
constexpr double default_collision_probability = 0.1;

struct EdgeLogs {
    double log_mut;   // an unedited character becomes edited on one edge
    double log_stay;  // it stays unedited
};

}  // namespace

LikelihoodResult calculate_likelihood(const SimpleRootedTree& tree, const CharacterMatrix& matrix,
                                      const StateMap* internal_states,
                                      std::optional<double> mutation_rate,
                                      std::optional<double> collision_probability,
                                      std::int32_t missing_state, std::int32_t unedited_state) {
    const Stopwatch clock;
    LikelihoodResult result;
    result.n_leaves = count_leaves(tree);
    if (matrix.rows() == 0 || matrix.row(0).empty() || result.n_leaves == 0) {
        result.method_used = "empty_data";
        return result;  // log-likelihood 0.0, likelihood 1.0, time 0.0, no characters
    }
    const std::size_t n = matrix.n_characters();
    const double p_mut = mutation_rate ? 1.0 - std::exp(-*mutation_rate) : default_p_mut;
    const double q = collision_probability.value_or(default_collision_probability);
    const EdgeLogs logs{std::log(q * p_mut), std::log(1.0 - p_mut)};

    const detail::ScoringStates states =
        detail::scoring_states(tree, matrix, internal_states, missing_state, unedited_state,
                               detail::InferenceRule::likelihood);
    const double impossible = -std::numeric_limits<double>::infinity();
    double total = 0.0;
    detail::for_each_edge(tree, states, [&](auto p, auto c) {
        // The edge is summed on its own, then added to the total: the order fixes the bits.
        // An edited parent with an equal child adds 0.0, which leaves the sum unchanged and is
        // skipped (the sum starts at +0.0 and no term is -0.0, so it is never -0.0).
        double edge = 0.0;
        const std::size_t len = std::min(p.size(), c.size());
        for (std::size_t i = 0; i < len; ++i) {
            if (p[i] == missing_state || c[i] == missing_state) continue;
            if (p[i] == unedited_state) {
                edge += c[i] == p[i] ? logs.log_stay : logs.log_mut;
            } else if (c[i] != p[i]) {
                edge += impossible;
            }
        }
        total = total + edge;
    });
    result.computation_time_ms = clock.elapsed_ms();
    result.method_used = "crispr_cas9_model";
    result.log_likelihood = total;
    result.likelihood = std::exp(total);
    result.n_characters = n;
    return result;
}

double likelihood_distance(double ll_reconstructed, double ll_ground_truth) {
    if (ll_reconstructed == 0.0) return std::numeric_limits<double>::infinity();  // -0.0 too
    const double d = ll_ground_truth / ll_reconstructed - 1.0;
    // Written out rather than std::max so that NaN and -0.0 both give +0.0.
    return d > 0.0 ? d : 0.0;
}

LikelihoodDistanceResult calculate_likelihood_distance(
    const SimpleRootedTree& reconstructed, const SimpleRootedTree& ground_truth,
    const CharacterMatrix& matrix, const StateMap* states_reconstructed,
    const StateMap* states_ground_truth, std::optional<double> mutation_rate,
    std::optional<double> collision_probability, std::int32_t missing_state,
    std::int32_t unedited_state) {
    const LikelihoodResult rec =
        calculate_likelihood(reconstructed, matrix, states_reconstructed, mutation_rate,
                             collision_probability, missing_state, unedited_state);
    const LikelihoodResult gt =
        calculate_likelihood(ground_truth, matrix, states_ground_truth, mutation_rate,
                             collision_probability, missing_state, unedited_state);
    return {likelihood_distance(rec.log_likelihood, gt.log_likelihood)};
}

}  // namespace veltrane
