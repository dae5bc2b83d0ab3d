// Parsimony: mutations counted over the edges, and the Poisson p-value.
#include "metrics/characters/parsimony.hpp"

#include <algorithm>
#include <cmath>

#include "core/support/stopwatch.hpp"

namespace veltrane {

ParsimonyResult calculate_parsimony(const SimpleRootedTree& tree, const CharacterMatrix& matrix,
                                    const StateMap* internal_states, std::int32_t missing_state,
                                    std::int32_t unedited_state) {
    const Stopwatch clock;
    ParsimonyResult result;
    const bool inferred = internal_states == nullptr;
    result.method_used = inferred ? "small_mp_inferred" : "provided_states";
    result.internal_states_inferred = inferred;
    const detail::ScoringStates states =
        detail::scoring_states(tree, matrix, internal_states, missing_state, unedited_state,
                               detail::InferenceRule::parsimony);
    // Only a change from unedited to an edit counts; a missing child counts nothing.
    std::uint64_t total = 0;
    detail::for_each_edge(tree, states, [&](auto p, auto c) {
        const std::size_t len = std::min(p.size(), c.size());
        for (std::size_t i = 0; i < len; ++i) {
            if (p[i] == unedited_state && c[i] != missing_state && c[i] != unedited_state) ++total;
        }
    });
    result.computation_time_ms = clock.elapsed_ms();
    result.parsimony_score = total;
    result.total_mutations = total;
    return result;
}

double parsimony_p_value(std::uint64_t score, std::uint64_t n_leaves, double mutation_rate) {
    const double lambda = mutation_rate * (static_cast<double>(n_leaves) - 1.0);
    // A NaN lambda fails this test on purpose and yields NaN below for any score >= 1.
    if (lambda <= 0.0) return score == 0 ? 1.0 : 0.0;
    if (score <= 100) {
        if (score == 0) return 1.0;
        // Exact tail P(X >= score) = 1 - sum of P(X = k) for k < score, terms built in order.
        double term = std::exp(-lambda);
        double sum = term;
        for (std::uint64_t k = 1; k < score; ++k) {
            term = (lambda / static_cast<double>(k)) * term;
            sum = sum + term;
        }
        return 1.0 - sum;
    }
    // Normal approximation (mean and variance lambda, no continuity correction) with the
    // Abramowitz-Stegun 7.1.26 error function; the operation order fixes the result's bits.
    const double sqrt2 = 1.4142135623730951;
    const double z = (static_cast<double>(score) - lambda) / std::sqrt(lambda) / sqrt2;
    const double a = std::fabs(z);
    const double t = 1.0 / (0.3275911 * a + 1.0);
    const double poly =
        ((((1.061405429 * t - 1.453152027) * t + 1.421413741) * t - 0.284496736) * t +
         0.254829592) *
        t;
    const double y = 1.0 - std::exp(-a * a) * poly;
    const double erf = z >= 0.0 ? y : -y;
    return (1.0 - erf) * 0.5;
}

ParsimonyPValueResult calculate_parsimony_p_value(
    const SimpleRootedTree& tree, const CharacterMatrix& matrix, const StateMap* internal_states,
    std::optional<double> mutation_rate, std::int32_t missing_state, std::int32_t unedited_state) {
    const Stopwatch clock;
    const ParsimonyResult parsimony =
        calculate_parsimony(tree, matrix, internal_states, missing_state, unedited_state);
    const std::uint64_t leaves = count_leaves(tree);
    ParsimonyPValueResult result;
    result.p_value =
        parsimony_p_value(parsimony.parsimony_score, leaves, mutation_rate.value_or(0.1));
    result.computation_time_ms = clock.elapsed_ms();
    result.parsimony_score = parsimony.parsimony_score;
    result.method_used = "poisson_approximation";
    return result;
}

}  // namespace veltrane
