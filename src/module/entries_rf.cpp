// Python functions for the Robinson-Foulds distance, plain and normalized.
#include "metrics/rf/rf_distance.hpp"
#include "module/function.hpp"
#include "module/results.hpp"
#include "module/warnings.hpp"

namespace veltrane::py {

namespace {

constexpr Param rf_params[] = {
    {"tree1_newick", ParamKind::text},
    {"tree2_newick", ParamKind::text},
};

PyRef rf_dict(const SimpleRootedTree& tree1, const SimpleRootedTree& tree2,
              const RfDistanceResult& rf, bool normalized) {
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

PyRef run_rf(const Arguments& a, bool normalized) {
    const std::string_view text1 = a.text(0);
    const std::string_view text2 = a.text(1);
    const auto [tree1, tree2] = parse_tree_args(text1, tree1_prefix, text2, tree2_prefix);
    const RfDistanceResult rf = calculate_rf_distance(tree1, tree2);
    PyRef result = rf_dict(tree1, tree2, rf, normalized);
    warn_label_syntax(a.function_name(), {{"tree1_newick", tree1}, {"tree2_newick", tree2}});
    return result;
}

PyRef run_plain(const Arguments& a) { return run_rf(a, false); }
PyRef run_normalized(const Arguments& a) { return run_rf(a, true); }

}  // namespace

const Function robinson_foulds_distance_function{
    {"robinson_foulds_distance", rf_params},
    "Python wrapper for Robinson-Foulds distance calculation",
    run_plain,
    entry<robinson_foulds_distance_function>,
};

const Function robinson_foulds_distance_normalized_function{
    {"robinson_foulds_distance_normalized", rf_params},
    "Python wrapper for normalized Robinson-Foulds distance calculation",
    run_normalized,
    entry<robinson_foulds_distance_normalized_function>,
};

}  // namespace veltrane::py
