// Python function for the pairwise homoplasy score.
#include "metrics/phs/phs.hpp"
#include "module/errors.hpp"
#include "module/function.hpp"
#include "module/results.hpp"
#include "module/warnings.hpp"

namespace veltrane::py {

namespace {

constexpr Param phs_params[] = {
    {"tree_newick", ParamKind::text},
    {"character_matrix", ParamKind::character_matrix},
    {"internal_character_states", ParamKind::state_map},
    {"mutation_rate", ParamKind::optional_f64},
    {"collision_probability", ParamKind::optional_f64},
    {"missing_state", ParamKind::i32, -1, "..."},
    {"unedited_state", ParamKind::i32, 0},
    {"max_threads", ParamKind::optional_u64},
};

PyRef run_phs(const Arguments& a) {
    const std::string_view text = a.text(0);
    const CharacterMatrix matrix = a.character_matrix(1);
    const StateMap states = a.state_map(2);
    PhsOptions options;
    options.mutation_rate = a.optional_f64(3);
    options.collision_probability = a.optional_f64(4);
    options.missing_state = a.i32(5);
    options.unedited_state = a.i32(6);
    options.max_threads = a.optional_u64(7);
    const SimpleRootedTree tree = parse_tree_arg(text, tree_prefix);
    PhsResult result;
    try {
        result = phs_optimized(tree, matrix, states, options);
    } catch (const PhsInputError& e) {
        // A matrix too short for the tree's labelled leaves (checked before any work), or a
        // pair whose p-value the rates leave undefined.
        raise(PyExc_ValueError, e.what());
    }
    DictBuilder out;
    out.add_f64("phs_score", result.phs_score);
    out.add_u64("total_pairs", result.total_pairs);
    out.add_f64("computation_time_ms", result.computation_time_ms);
    out.add_str("method_used", result.method_used);
    out.add_u64("parallel_chunks_used", result.parallel_chunks_used);
    PyRef dict = out.finish();
    // Rows belong to labelled leaves here; fewer rows than those was an error above.
    const TreeArg t{"tree_newick", tree};
    warn_label_syntax(a.function_name(), {t});
    warn_row_count(a.function_name(), matrix.rows(), {t}, true);
    warn_unused_states(a.function_name(), {{"internal_character_states", &states, t}});
    return dict;
}

}  // namespace

const Function phs_optimized_function{
    {"phs_optimized", phs_params},
    "Optimized PHS (Pairwise Homoplasy Score) calculation",
    run_phs,
    entry<phs_optimized_function>,
};

}  // namespace veltrane::py
