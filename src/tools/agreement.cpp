// triplet_agreement: the exact triplet counts of two trees whose leaves are matched by label.
#include "metrics/triplets/agreement.hpp"

#include <cstdint>
#include <optional>

#include "module/results.hpp"
#include "tools/native.hpp"

namespace veltrane::tools {

namespace {

// None, or an int of at least 0; an int past 64 bits asks for more threads than any pool has.
std::optional<std::uint64_t> thread_cap(PyObject* obj) {
    if (obj == Py_None) return std::nullopt;
    if (!PyLong_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "max_threads must be None or an int, not %s",
                     Py_TYPE(obj)->tp_name);
        throw PyErrorSet{};
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (value == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (overflow > 0) return std::nullopt;
    if (overflow < 0 || value < 0) py::raise(PyExc_ValueError, "max_threads must be at least 0");
    return static_cast<std::uint64_t>(value);
}

// A count of up to 128 bits as an exact Python int.
PyRef to_py_count(WideCount count) {
    PyRef low = py::to_py_u64(count.low);
    if (count.high == 0) return low;
    const PyRef high = py::to_py_u64(count.high);
    const PyRef bits = py::to_py_u64(64);
    const PyRef shifted = PyRef::steal(PyNumber_Lshift(high.get(), bits.get()));
    if (!shifted) throw PyErrorSet{};
    PyRef value = PyRef::steal(PyNumber_Or(shifted.get(), low.get()));
    if (!value) throw PyErrorSet{};
    return value;
}

}  // namespace

PyObject* triplet_agreement(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return run_entry([&] {
        if (nargs != 3) {
            py::raise(PyExc_TypeError,
                      "triplet_agreement() takes three arguments: tree1_newick, tree2_newick, "
                      "max_threads");
        }
        const std::string_view text1 = text_argument(args[0], "tree1_newick");
        const std::string_view text2 = text_argument(args[1], "tree2_newick");
        const std::optional<std::uint64_t> max_threads = thread_cap(args[2]);
        TripletAgreement r;
        {
            const ReleasedGil released;
            const SimpleRootedTree tree1 = read_tree(text1, "tree1_newick");
            const SimpleRootedTree tree2 = read_tree(text2, "tree2_newick");
            r = calculate_triplet_agreement(tree1, tree2, max_threads);
        }
        py::DictBuilder dict;
        dict.add_u64("taxa", r.taxa)
            .add("triples", to_py_count(r.triples))
            .add("agree", to_py_count(r.agree))
            .add("resolved_in_tree1", to_py_count(r.resolved_in_tree1))
            .add("resolved_agree", to_py_count(r.resolved_agree))
            .add("unresolved_in_tree1", to_py_count(r.unresolved_in_tree1))
            .add("unresolved_agree", to_py_count(r.unresolved_agree))
            .add("triplet_distance", to_py_count(r.triplet_distance))
            .add_f64("all_triplets_correct", r.all_triplets_correct)
            .add_f64("resolvable_triplets_correct", r.resolvable_triplets_correct)
            .add_f64("unresolved_triplets_correct", r.unresolved_triplets_correct)
            .add_f64("proportion_unresolvable", r.proportion_unresolvable)
            .add_u64("only_in_tree1", r.only_in_tree1)
            .add_u64("only_in_tree2", r.only_in_tree2);
        return dict.finish();
    });
}

}  // namespace veltrane::tools
