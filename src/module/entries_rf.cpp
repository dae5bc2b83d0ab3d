// Python entries for the Robinson-Foulds distance, plain and normalized.
#include "module/convert.hpp"
#include "module/entries.hpp"
#include "module/errors.hpp"
#include "module/results.hpp"
#include "metrics/rf/rf_distance.hpp"

namespace veltrane::py {

namespace {

constexpr Param rf_params[] = {
    {"tree1_newick", ParamKind::text},
    {"tree2_newick", ParamKind::text},
};
constexpr Signature rf_signature{"robinson_foulds_distance", rf_params, 2};
constexpr Signature rf_normalized_signature{"robinson_foulds_distance_normalized", rf_params, 2};

PyRef run_rf(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
             bool normalized) {
    // Ctrl-C stops a long computation with KeyboardInterrupt.
    const SignalScope signals;
    const Arguments a(sig, args, nargs, kwnames);
    const std::string_view text1 = a.text(0);
    const std::string_view text2 = a.text(1);
    const auto [tree1, tree2] =
        parse_tree_args(text1, "Failed to parse tree1: ", text2, "Failed to parse tree2: ");
    const RfDistanceResult rf = calculate_rf_distance(tree1, tree2);
    DictBuilder out;
    out.add_u64("rf_distance", rf.rf_distance);
    if (!normalized) {
        out.add_f64("computation_time_ms", rf.computation_time_ms);
        out.add_str("method_used", rf.method_used);
        return out.finish();
    }
    const RfNormalization norm = normalize_rf_distance(tree1, tree2, rf.rf_distance);
    out.add_f64("normalized_rf_distance", norm.normalized_rf_distance);
    out.add_f64("computation_time_ms", rf.computation_time_ms);
    out.add_str("method_used", rf.method_used);
    out.add_u64("max_possible_rf", norm.max_possible_rf);
    out.add_u64("tree1_leaves", norm.tree1_leaves);
    out.add_u64("tree2_leaves", norm.tree2_leaves);
    return out.finish();
}

}  // namespace

PyObject* py_robinson_foulds_distance(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
    try {
        return run_rf(rf_signature, args, nargs, kwnames, false).release();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

PyObject* py_robinson_foulds_distance_normalized(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames) noexcept {
    try {
        return run_rf(rf_normalized_signature, args, nargs, kwnames, true).release();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

}  // namespace veltrane::py
