// Python functions for the five triplet metrics.
#include <array>

#include "metrics/triplets/fast_triplets.hpp"
#include "metrics/triplets/optimized_triplets.hpp"
#include "metrics/triplets/parallel_triplets.hpp"
#include "metrics/triplets/triplets.hpp"
#include "metrics/triplets/ultra_fast_triplets.hpp"
#include "module/function.hpp"
#include "module/results.hpp"
#include "module/warnings.hpp"

namespace veltrane::py {

namespace {

// Every triplet function takes the first five; the chunked ones add max_threads. Only the
// default of number_of_trials differs between them.
constexpr std::array<Param, 6> triplet_params(std::int64_t default_trials) {
    return {{
        {"tree1_newick", ParamKind::text},
        {"tree2_newick", ParamKind::text},
        {"number_of_trials", ParamKind::u64, default_trials},
        {"min_triplets_at_depth", ParamKind::u64, 1},
        {"seed", ParamKind::optional_u64},
        {"max_threads", ParamKind::optional_u64},
    }};
}
constexpr auto params_1000 = triplet_params(1000);
constexpr auto params_5000 = triplet_params(5000);
constexpr auto params_10000 = triplet_params(10000);
constexpr std::size_t sampled = 5;  // parameters of the functions without max_threads

struct TripletArgs {
    SimpleRootedTree tree1;
    SimpleRootedTree tree2;
    std::uint64_t trials;
    std::optional<std::uint64_t> seed;
    std::optional<std::uint64_t> max_threads;
};

TripletArgs convert(const Arguments& a) {
    const std::string_view text1 = a.text(0);
    const std::string_view text2 = a.text(1);
    const std::uint64_t trials = a.u64(2);
    // Converted, so that a bad value still fails, and then deliberately not used.
    static_cast<void>(a.u64(3));
    const std::optional<std::uint64_t> seed = a.optional_u64(4);
    std::optional<std::uint64_t> max_threads;
    if (a.size() > sampled) max_threads = a.optional_u64(5);
    auto [tree1, tree2] = parse_tree_args(text1, tree1_prefix, text2, tree2_prefix);
    return {std::move(tree1), std::move(tree2), trials, seed, max_threads};
}

DictBuilder ratios_dict(const TripletRatios& r) {
    DictBuilder out;
    out.add_depth_bucket("all_triplets_correct", r.all_triplets_correct);
    out.add_depth_bucket("resolvable_triplets_correct", r.resolvable_triplets_correct);
    out.add_depth_bucket("unresolved_triplets_correct", r.unresolved_triplets_correct);
    out.add_depth_bucket("proportion_unresolvable", r.proportion_unresolvable);
    return out;
}

PyRef mode_dict(const TripletModeResult& mode, bool with_chunks) {
    DictBuilder out = ratios_dict(mode.ratios);
    out.add_str("method_used", mode.method_used);
    out.add_u64("total_triplets_checked", mode.total_triplets_checked);
    if (with_chunks) out.add_u64("parallel_chunks_used", mode.parallel_chunks_used);
    return out.finish();
}

// The warnings, once the result is there: labels of another dialect for every triplet
// function, and for those that pair leaves by position, the same labels in other orders.
PyRef warned(PyRef result, const Arguments& a, const TripletArgs& t, bool by_position) {
    const TreeArg tree1{"tree1_newick", t.tree1};
    const TreeArg tree2{"tree2_newick", t.tree2};
    warn_label_syntax(a.function_name(), {tree1, tree2});
    if (by_position) warn_positional_pairing(a.function_name(), tree1, tree2);
    return result;
}

PyRef run_reference(const Arguments& a) {
    TripletArgs t = convert(a);
    PyRef result =
        ratios_dict(calculate_triplets_correct(t.tree1, t.tree2, t.trials, t.seed)).finish();
    return warned(std::move(result), a, t, false);
}

PyRef run_fast(const Arguments& a) {
    TripletArgs t = convert(a);
    PyRef result =
        ratios_dict(calculate_triplets_correct_fast(t.tree1, t.tree2, t.trials, t.seed)).finish();
    return warned(std::move(result), a, t, false);
}

PyRef run_ultra(const Arguments& a) {
    TripletArgs t = convert(a);
    PyRef result =
        mode_dict(calculate_triplets_correct_ultra(t.tree1, t.tree2, t.trials, t.seed), false);
    return warned(std::move(result), a, t, true);
}

PyRef run_parallel(const Arguments& a) {
    TripletArgs t = convert(a);
    PyRef result = mode_dict(
        calculate_triplets_correct_parallel(t.tree1, t.tree2, t.trials, t.seed, t.max_threads),
        true);
    return warned(std::move(result), a, t, true);
}

PyRef run_optimized(const Arguments& a) {
    TripletArgs t = convert(a);
    PyRef result = mode_dict(
        calculate_triplets_correct_optimized(t.tree1, t.tree2, t.trials, t.seed, t.max_threads),
        true);
    return warned(std::move(result), a, t, true);
}

}  // namespace

// The summary lines are fixed texts ("rayon-based" and "phylo-rs" included): keep them as
// they stand.
const Function triplets_correct_function{
    {"triplets_correct", std::span(params_1000).first(sampled)},
    "Python wrapper for triplets_correct function",
    run_reference,
    entry<triplets_correct_function>,
};

const Function triplets_correct_fast_function{
    {"triplets_correct_fast", std::span(params_1000).first(sampled)},
    "Fast Python wrapper for triplets_correct function",
    run_fast,
    entry<triplets_correct_fast_function>,
};

const Function triplets_correct_ultra_function{
    {"triplets_correct_ultra", std::span(params_5000).first(sampled)},
    "Ultra-fast Python wrapper with automatic exhaustive/sampling selection",
    run_ultra,
    entry<triplets_correct_ultra_function>,
};

const Function triplets_correct_parallel_function{
    {"triplets_correct_parallel", params_10000},
    "Parallel Python wrapper with rayon-based parallelization",
    run_parallel,
    entry<triplets_correct_parallel_function>,
};

const Function triplets_correct_optimized_function{
    {"triplets_correct_optimized", params_10000},
    "Optimized Python wrapper using phylo-rs inspired techniques",
    run_optimized,
    entry<triplets_correct_optimized_function>,
};

}  // namespace veltrane::py
