// Python functions for the character-based scores: parsimony, its p-value, likelihood and the
// likelihood distance.
#include <optional>

#include "metrics/characters/likelihood.hpp"
#include "metrics/characters/parsimony.hpp"
#include "module/function.hpp"
#include "module/results.hpp"
#include "module/warnings.hpp"

namespace veltrane::py {

namespace {

// The text signatures show missing_state's default -1 as "...".
constexpr Param missing_state_param{"missing_state", ParamKind::i32, -1, "..."};
constexpr Param unedited_state_param{"unedited_state", ParamKind::i32, 0};

constexpr Param parsimony_params[] = {
    {"tree_newick", ParamKind::text},
    {"character_matrix", ParamKind::character_matrix},
    {"internal_character_states", ParamKind::optional_state_map},
    missing_state_param,
    unedited_state_param,
};

constexpr Param p_value_params[] = {
    {"tree_newick", ParamKind::text},
    {"character_matrix", ParamKind::character_matrix},
    {"internal_character_states", ParamKind::optional_state_map},
    {"mutation_rate", ParamKind::optional_f64},
    missing_state_param,
    unedited_state_param,
};

constexpr Param likelihood_params[] = {
    {"tree_newick", ParamKind::text},
    {"character_matrix", ParamKind::character_matrix},
    {"internal_character_states", ParamKind::optional_state_map},
    {"mutation_rate", ParamKind::optional_f64},
    {"collision_probability", ParamKind::optional_f64},
    missing_state_param,
    unedited_state_param,
};

constexpr Param distance_params[] = {
    {"reconstructed_tree_newick", ParamKind::text},
    {"ground_truth_tree_newick", ParamKind::text},
    {"character_matrix", ParamKind::character_matrix},
    {"internal_states_reconstructed", ParamKind::optional_state_map},
    {"internal_states_ground_truth", ParamKind::optional_state_map},
    {"mutation_rate", ParamKind::optional_f64},
    {"collision_probability", ParamKind::optional_f64},
    missing_state_param,
    unedited_state_param,
};

const StateMap* or_null(const std::optional<StateMap>& states) {
    return states ? &*states : nullptr;
}

// The warnings of the one-tree scores, once the result is there.
PyRef warned(PyRef result, const Arguments& a, const SimpleRootedTree& tree,
             const CharacterMatrix& matrix, const std::optional<StateMap>& states) {
    const TreeArg t{"tree_newick", tree};
    warn_label_syntax(a.function_name(), {t});
    warn_row_count(a.function_name(), matrix.rows(), {t});
    warn_unused_states(a.function_name(), {{"internal_character_states", or_null(states), t}});
    return result;
}

PyRef run_parsimony_score(const Arguments& a) {
    const std::string_view text = a.text(0);
    const CharacterMatrix matrix = a.character_matrix(1);
    const std::optional<StateMap> states = a.optional_state_map(2);
    const std::int32_t missing = a.i32(3);
    const std::int32_t unedited = a.i32(4);
    const SimpleRootedTree tree = parse_tree_arg(text, tree_prefix);
    const ParsimonyResult r = calculate_parsimony(tree, matrix, or_null(states), missing, unedited);
    DictBuilder out;
    out.add_u64("parsimony_score", r.parsimony_score);
    out.add_u64("total_mutations", r.total_mutations);
    out.add_f64("computation_time_ms", r.computation_time_ms);
    out.add_str("method_used", r.method_used);
    out.add_bool("internal_states_inferred", r.internal_states_inferred);
    return warned(out.finish(), a, tree, matrix, states);
}

PyRef run_parsimony_p_value(const Arguments& a) {
    const std::string_view text = a.text(0);
    const CharacterMatrix matrix = a.character_matrix(1);
    const std::optional<StateMap> states = a.optional_state_map(2);
    const std::optional<double> mutation_rate = a.optional_f64(3);
    const std::int32_t missing = a.i32(4);
    const std::int32_t unedited = a.i32(5);
    const SimpleRootedTree tree = parse_tree_arg(text, tree_prefix);
    const ParsimonyPValueResult r = calculate_parsimony_p_value(tree, matrix, or_null(states),
                                                                mutation_rate, missing, unedited);
    DictBuilder out;
    out.add_f64("p_value", r.p_value);
    out.add_u64("parsimony_score", r.parsimony_score);
    out.add_f64("computation_time_ms", r.computation_time_ms);
    out.add_str("method_used", r.method_used);
    return warned(out.finish(), a, tree, matrix, states);
}

PyRef run_likelihood_score(const Arguments& a) {
    const std::string_view text = a.text(0);
    const CharacterMatrix matrix = a.character_matrix(1);
    const std::optional<StateMap> states = a.optional_state_map(2);
    const std::optional<double> mutation_rate = a.optional_f64(3);
    const std::optional<double> collision_probability = a.optional_f64(4);
    const std::int32_t missing = a.i32(5);
    const std::int32_t unedited = a.i32(6);
    const SimpleRootedTree tree = parse_tree_arg(text, tree_prefix);
    const LikelihoodResult r = calculate_likelihood(tree, matrix, or_null(states), mutation_rate,
                                                    collision_probability, missing, unedited);
    DictBuilder out;
    out.add_f64("log_likelihood", r.log_likelihood);
    out.add_f64("likelihood", r.likelihood);
    out.add_f64("computation_time_ms", r.computation_time_ms);
    out.add_str("method_used", r.method_used);
    out.add_u64("n_characters", r.n_characters);
    out.add_u64("n_leaves", r.n_leaves);
    return warned(out.finish(), a, tree, matrix, states);
}

PyRef run_likelihood_distance(const Arguments& a) {
    const std::string_view reconstructed_text = a.text(0);
    const std::string_view ground_truth_text = a.text(1);
    const CharacterMatrix matrix = a.character_matrix(2);
    const std::optional<StateMap> states_reconstructed = a.optional_state_map(3);
    const std::optional<StateMap> states_ground_truth = a.optional_state_map(4);
    const std::optional<double> mutation_rate = a.optional_f64(5);
    const std::optional<double> collision_probability = a.optional_f64(6);
    const std::int32_t missing = a.i32(7);
    const std::int32_t unedited = a.i32(8);
    const auto [reconstructed, ground_truth] = parse_tree_args(
        reconstructed_text, reconstructed_prefix, ground_truth_text, ground_truth_prefix);
    const LikelihoodDistanceResult r = calculate_likelihood_distance(
        reconstructed, ground_truth, matrix, or_null(states_reconstructed),
        or_null(states_ground_truth), mutation_rate, collision_probability, missing, unedited);
    DictBuilder out;
    out.add_f64("likelihood_distance", r.likelihood_distance);
    PyRef result = out.finish();
    const TreeArg rec{"reconstructed_tree_newick", reconstructed};
    const TreeArg truth{"ground_truth_tree_newick", ground_truth};
    warn_label_syntax(a.function_name(), {rec, truth});
    warn_rows_per_name(a.function_name(), rec, truth);
    warn_row_count(a.function_name(), matrix.rows(), {rec, truth});
    warn_unused_states(a.function_name(),
                       {{"internal_states_reconstructed", or_null(states_reconstructed), rec},
                        {"internal_states_ground_truth", or_null(states_ground_truth), truth}});
    return result;
}

}  // namespace

const Function parsimony_score_function{
    {"parsimony_score", parsimony_params},
    "Python wrapper for parsimony calculation",
    run_parsimony_score,
    entry<parsimony_score_function>,
};

const Function parsimony_p_value_function{
    {"parsimony_p_value", p_value_params},
    // The two trailing blanks belong to the fixed text.
    "Python wrapper for parsimony p-value calculation  ",
    run_parsimony_p_value,
    entry<parsimony_p_value_function>,
};

const Function likelihood_score_function{
    {"likelihood_score", likelihood_params},
    "Python wrapper for likelihood calculation",
    run_likelihood_score,
    entry<likelihood_score_function>,
};

const Function likelihood_distance_function{
    {"likelihood_distance", distance_params},
    "Python wrapper for likelihood distance calculation",
    run_likelihood_distance,
    entry<likelihood_distance_function>,
};

}  // namespace veltrane::py
