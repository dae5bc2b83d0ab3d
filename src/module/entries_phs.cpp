// Python entry for the pairwise homoplasy score.
#include "module/convert.hpp"
#include "module/entries.hpp"
#include "module/errors.hpp"
#include "module/results.hpp"
#include "metrics/phs/phs.hpp"

namespace veltrane::py {

namespace {

constexpr Param phs_params[] = {
    {"tree_newick", ParamKind::text},
    {"character_matrix", ParamKind::character_matrix},
    {"internal_character_states", ParamKind::state_map},
    {"mutation_rate", ParamKind::optional_f64},
    {"collision_probability", ParamKind::optional_f64},
    {"missing_state", ParamKind::i32},
    {"unedited_state", ParamKind::i32},
    {"max_threads", ParamKind::optional_u64},
};
constexpr Signature phs_signature{"phs_optimized", phs_params, 3};

PyRef run_phs(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // Ctrl-C stops a long computation with KeyboardInterrupt.
    const SignalScope signals;
    const Arguments a(phs_signature, args, nargs, kwnames);
    const std::string_view text = a.text(0);
    const CharacterMatrix matrix = a.character_matrix(1);
    const StateMap states = a.state_map(2);
    PhsOptions options;
    options.mutation_rate = a.optional_f64(3);
    options.collision_probability = a.optional_f64(4);
    options.missing_state = a.i32(5, -1);
    options.unedited_state = a.i32(6, 0);
    options.max_threads = a.optional_u64(7);
    const SimpleRootedTree tree = parse_tree_arg(text, "Failed to parse tree: ");
    PhsResult result;
    try {
        result = phs_optimized(tree, matrix, states, options);
    } catch (const PhsInputError& e) {
        // Checked before any work: a matrix too short for the tree's labelled leaves.
        raise(PyExc_ValueError, e.what());
    }
    DictBuilder out;
    out.add_f64("phs_score", result.phs_score);
    out.add_u64("total_pairs", result.total_pairs);
    out.add_f64("computation_time_ms", result.computation_time_ms);
    out.add_str("method_used", result.method_used);
    out.add_u64("parallel_chunks_used", result.parallel_chunks_used);
    return out.finish();
}

}  // namespace

PyObject* py_phs_optimized(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    try {
        return run_phs(args, nargs, kwnames).release();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

}  // namespace veltrane::py
