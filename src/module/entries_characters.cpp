// Python entries for the character-based scores: parsimony, its p-value, likelihood and the
// likelihood distance.
#include <optional>

#include "metrics/characters/likelihood.hpp"
#include "module/convert.hpp"
#include "module/entries.hpp"
#include "module/errors.hpp"
#include "module/results.hpp"
#include "metrics/characters/parsimony.hpp"

namespace veltrane::py {

namespace {

constexpr std::int32_t default_missing_state = -1;
constexpr std::int32_t default_unedited_state = 0;

const StateMap* or_null(const std::optional<StateMap>& states) {
    return states ? &*states : nullptr;
}

constexpr Param parsimony_params[] = {
    {"tree_newick", ParamKind::text},
    {"character_matrix", ParamKind::character_matrix},
    {"internal_character_states", ParamKind::optional_state_map},
    {"missing_state", ParamKind::i32},
    {"unedited_state", ParamKind::i32},
};
constexpr Signature parsimony_signature{"parsimony_score", parsimony_params, 2};

constexpr Param p_value_params[] = {
    {"tree_newick", ParamKind::text},
    {"character_matrix", ParamKind::character_matrix},
    {"internal_character_states", ParamKind::optional_state_map},
    {"mutation_rate", ParamKind::optional_f64},
    {"missing_state", ParamKind::i32},
    {"unedited_state", ParamKind::i32},
};
constexpr Signature p_value_signature{"parsimony_p_value", p_value_params, 2};

constexpr Param likelihood_params[] = {
    {"tree_newick", ParamKind::text},
    {"character_matrix", ParamKind::character_matrix},
    {"internal_character_states", ParamKind::optional_state_map},
    {"mutation_rate", ParamKind::optional_f64},
    {"collision_probability", ParamKind::optional_f64},
    {"missing_state", ParamKind::i32},
    {"unedited_state", ParamKind::i32},
};
constexpr Signature likelihood_signature{"likelihood_score", likelihood_params, 2};

constexpr Param distance_params[] = {
    {"reconstructed_tree_newick", ParamKind::text},
    {"ground_truth_tree_newick", ParamKind::text},
    {"character_matrix", ParamKind::character_matrix},
    {"internal_states_reconstructed", ParamKind::optional_state_map},
    {"internal_states_ground_truth", ParamKind::optional_state_map},
    {"mutation_rate", ParamKind::optional_f64},
    {"collision_probability", ParamKind::optional_f64},
    {"missing_state", ParamKind::i32},
    {"unedited_state", ParamKind::i32},
};
constexpr Signature distance_signature{"likelihood_distance", distance_params, 3};

PyRef run_parsimony_score(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // Ctrl-C stops a long computation with KeyboardInterrupt.
    const SignalScope signals;
    const Arguments a(parsimony_signature, args, nargs, kwnames);
    const std::string_view text = a.text(0);
    const CharacterMatrix matrix = a.character_matrix(1);
    const std::optional<StateMap> states = a.optional_state_map(2);
    const std::int32_t missing = a.i32(3, default_missing_state);
    const std::int32_t unedited = a.i32(4, default_unedited_state);
    const SimpleRootedTree tree = parse_tree_arg(text, "Failed to parse tree: ");
    const ParsimonyResult r = calculate_parsimony(tree, matrix, or_null(states), missing, unedited);
    DictBuilder out;
    out.add_u64("parsimony_score", r.parsimony_score);
    out.add_u64("total_mutations", r.total_mutations);
    out.add_f64("computation_time_ms", r.computation_time_ms);
    out.add_str("method_used", r.method_used);
    out.add_bool("internal_states_inferred", r.internal_states_inferred);
    return out.finish();
}

PyRef run_parsimony_p_value(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // Ctrl-C stops a long computation with KeyboardInterrupt.
    const SignalScope signals;
    const Arguments a(p_value_signature, args, nargs, kwnames);
    const std::string_view text = a.text(0);
    const CharacterMatrix matrix = a.character_matrix(1);
    const std::optional<StateMap> states = a.optional_state_map(2);
    const std::optional<double> mutation_rate = a.optional_f64(3);
    const std::int32_t missing = a.i32(4, default_missing_state);
    const std::int32_t unedited = a.i32(5, default_unedited_state);
    const SimpleRootedTree tree = parse_tree_arg(text, "Failed to parse tree: ");
    const ParsimonyPValueResult r = calculate_parsimony_p_value(tree, matrix, or_null(states),
                                                                mutation_rate, missing, unedited);
    DictBuilder out;
    out.add_f64("p_value", r.p_value);
    out.add_u64("parsimony_score", r.parsimony_score);
    out.add_f64("computation_time_ms", r.computation_time_ms);
    out.add_str("method_used", r.method_used);
    return out.finish();
}

PyRef run_likelihood_score(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // Ctrl-C stops a long computation with KeyboardInterrupt.
    const SignalScope signals;
    const Arguments a(likelihood_signature, args, nargs, kwnames);
    const std::string_view text = a.text(0);
    const CharacterMatrix matrix = a.character_matrix(1);
    const std::optional<StateMap> states = a.optional_state_map(2);
    const std::optional<double> mutation_rate = a.optional_f64(3);
    const std::optional<double> collision_probability = a.optional_f64(4);
    const std::int32_t missing = a.i32(5, default_missing_state);
    const std::int32_t unedited = a.i32(6, default_unedited_state);
    const SimpleRootedTree tree = parse_tree_arg(text, "Failed to parse tree: ");
    const LikelihoodResult r = calculate_likelihood(tree, matrix, or_null(states), mutation_rate,
                                                    collision_probability, missing, unedited);
    DictBuilder out;
    out.add_f64("log_likelihood", r.log_likelihood);
    out.add_f64("likelihood", r.likelihood);
    out.add_f64("computation_time_ms", r.computation_time_ms);
    out.add_str("method_used", r.method_used);
    out.add_u64("n_characters", r.n_characters);
    out.add_u64("n_leaves", r.n_leaves);
    return out.finish();
}

PyRef run_likelihood_distance(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // Ctrl-C stops a long computation with KeyboardInterrupt.
    const SignalScope signals;
    const Arguments a(distance_signature, args, nargs, kwnames);
    const std::string_view reconstructed_text = a.text(0);
    const std::string_view ground_truth_text = a.text(1);
    const CharacterMatrix matrix = a.character_matrix(2);
    const std::optional<StateMap> states_reconstructed = a.optional_state_map(3);
    const std::optional<StateMap> states_ground_truth = a.optional_state_map(4);
    const std::optional<double> mutation_rate = a.optional_f64(5);
    const std::optional<double> collision_probability = a.optional_f64(6);
    const std::int32_t missing = a.i32(7, default_missing_state);
    const std::int32_t unedited = a.i32(8, default_unedited_state);
    const auto [reconstructed, ground_truth] = parse_tree_args(
        reconstructed_text, "Failed to parse reconstructed tree: ", ground_truth_text,
        "Failed to parse ground truth tree: ");
    const LikelihoodDistanceResult r = calculate_likelihood_distance(
        reconstructed, ground_truth, matrix, or_null(states_reconstructed),
        or_null(states_ground_truth), mutation_rate, collision_probability, missing, unedited);
    DictBuilder out;
    out.add_f64("likelihood_distance", r.likelihood_distance);
    return out.finish();
}

}  // namespace

PyObject* py_parsimony_score(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
    try {
        return run_parsimony_score(args, nargs, kwnames).release();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

PyObject* py_parsimony_p_value(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
    try {
        return run_parsimony_p_value(args, nargs, kwnames).release();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

PyObject* py_likelihood_score(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
    try {
        return run_likelihood_score(args, nargs, kwnames).release();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

PyObject* py_likelihood_distance(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
    try {
        return run_likelihood_distance(args, nargs, kwnames).release();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

}  // namespace veltrane::py
