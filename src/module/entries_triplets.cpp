// Python entries for the five triplet metrics.
#include "metrics/triplets/fast_triplets.hpp"
#include "module/convert.hpp"
#include "module/entries.hpp"
#include "module/errors.hpp"
#include "module/results.hpp"
#include "metrics/triplets/optimized_triplets.hpp"
#include "metrics/triplets/parallel_triplets.hpp"
#include "metrics/triplets/triplets.hpp"
#include "metrics/triplets/ultra_fast_triplets.hpp"

namespace veltrane::py {

namespace {

// The first five serve every triplet function; the chunked ones add max_threads.
constexpr Param triplet_params[] = {
    {"tree1_newick", ParamKind::text},    {"tree2_newick", ParamKind::text},
    {"number_of_trials", ParamKind::u64}, {"min_triplets_at_depth", ParamKind::u64},
    {"seed", ParamKind::optional_u64},    {"max_threads", ParamKind::optional_u64},
};
constexpr std::span<const Param> sampled_params{triplet_params, 5};
constexpr std::span<const Param> chunked_params{triplet_params, 6};

enum class Metric { reference, fast, ultra, parallel, optimized };

struct TripletCall {
    Signature signature;
    std::uint64_t default_trials;
};

constexpr TripletCall reference_call{{"triplets_correct", sampled_params, 2}, 1000};
constexpr TripletCall fast_call{{"triplets_correct_fast", sampled_params, 2}, 1000};
constexpr TripletCall ultra_call{{"triplets_correct_ultra", sampled_params, 2}, 5000};
constexpr TripletCall parallel_call{{"triplets_correct_parallel", chunked_params, 2}, 10000};
constexpr TripletCall optimized_call{{"triplets_correct_optimized", chunked_params, 2}, 10000};

void add_ratios(DictBuilder& out, const TripletRatios& r) {
    out.add_depth_bucket("all_triplets_correct", r.all_triplets_correct);
    out.add_depth_bucket("resolvable_triplets_correct", r.resolvable_triplets_correct);
    out.add_depth_bucket("unresolved_triplets_correct", r.unresolved_triplets_correct);
    out.add_depth_bucket("proportion_unresolvable", r.proportion_unresolvable);
}

PyRef run_triplets(const TripletCall& call, Metric metric, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
    // Ctrl-C stops a long computation with KeyboardInterrupt.
    const SignalScope signals;
    const Arguments a(call.signature, args, nargs, kwnames);
    const std::string_view text1 = a.text(0);
    const std::string_view text2 = a.text(1);
    const std::uint64_t trials = a.u64(2, call.default_trials);
    // Converted, so that a bad value still fails, and then deliberately not used.
    static_cast<void>(a.u64(3, 1));
    const std::optional<std::uint64_t> seed = a.optional_u64(4);
    std::optional<std::uint64_t> max_threads;
    if (call.signature.params.size() > 5) max_threads = a.optional_u64(5);
    auto [tree1, tree2] =
        parse_tree_args(text1, "Failed to parse tree1: ", text2, "Failed to parse tree2: ");

    DictBuilder out;
    TripletModeResult mode;
    switch (metric) {
        case Metric::reference:
            add_ratios(out, calculate_triplets_correct(tree1, tree2, trials, seed));
            return out.finish();
        case Metric::fast:
            add_ratios(out, calculate_triplets_correct_fast(tree1, tree2, trials, seed));
            return out.finish();
        case Metric::ultra:
            mode = calculate_triplets_correct_ultra(tree1, tree2, trials, seed);
            break;
        case Metric::parallel:
            mode = calculate_triplets_correct_parallel(tree1, tree2, trials, seed, max_threads);
            break;
        case Metric::optimized:
            mode = calculate_triplets_correct_optimized(tree1, tree2, trials, seed, max_threads);
            break;
    }
    add_ratios(out, mode.ratios);
    out.add_str("method_used", mode.method_used);
    out.add_u64("total_triplets_checked", mode.total_triplets_checked);
    if (metric != Metric::ultra) out.add_u64("parallel_chunks_used", mode.parallel_chunks_used);
    return out.finish();
}

}  // namespace

PyObject* py_triplets_correct(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
    try {
        return run_triplets(reference_call, Metric::reference, args, nargs, kwnames).release();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

PyObject* py_triplets_correct_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
    try {
        return run_triplets(fast_call, Metric::fast, args, nargs, kwnames).release();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

PyObject* py_triplets_correct_ultra(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
    try {
        return run_triplets(ultra_call, Metric::ultra, args, nargs, kwnames).release();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

PyObject* py_triplets_correct_parallel(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept {
    try {
        return run_triplets(parallel_call, Metric::parallel, args, nargs, kwnames).release();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

PyObject* py_triplets_correct_optimized(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept {
    try {
        return run_triplets(optimized_call, Metric::optimized, args, nargs, kwnames).release();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

}  // namespace veltrane::py
