// leaf_positions: for each leaf of a tree, in row order, the position of its label in a list of
// distinct cell names, so that a table's rows can be put in leaf order without a str per leaf.
#include <cstdint>
#include <string_view>
#include <vector>

#include "tools/native.hpp"

namespace veltrane::tools {

namespace {

constexpr std::int64_t unlabelled = -1;  // a leaf without a label
constexpr std::int64_t not_found = -2;   // a label that no name matches

}  // namespace

PyObject* leaf_positions(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return run_entry([&] {
        if (nargs != 3) {
            py::raise(PyExc_TypeError,
                      "leaf_positions() takes the text, the names and labelled_only");
        }
        const std::string_view text = text_argument(args[0], "newick");
        // A tuple of our own keeps every name alive while the lock is released.
        const PyRef names = PyRef::steal(PySequence_Tuple(args[1]));
        if (!names) throw PyErrorSet{};
        const int labelled_only = PyObject_IsTrue(args[2]);
        if (labelled_only < 0) throw PyErrorSet{};
        const Py_ssize_t count = PyTuple_GET_SIZE(names.get());
        std::vector<std::string_view> views(static_cast<std::size_t>(count));
        for (Py_ssize_t k = 0; k < count; ++k) {
            views[static_cast<std::size_t>(k)] =
                text_argument(PyTuple_GET_ITEM(names.get(), k), "a cell name");
        }
        std::vector<std::int64_t> positions;
        std::size_t missing = 0, used = 0;
        {
            const ReleasedGil released;
            const SimpleRootedTree tree = read_tree(text, "newick");
            // The reader's label table answers the lookups: per label entry, its name's row.
            std::vector<std::int64_t> row_of(tree.taxa_map.size(), not_found);
            for (std::size_t k = 0; k < views.size(); ++k) {
                check_interrupt();
                if (const auto entry = tree.taxa_map.find_entry(views[k])) {
                    row_of[*entry] = static_cast<std::int64_t>(k);
                }
            }
            std::vector<bool> seen(row_of.size(), false);
            for (const Node& node : tree.nodes) {
                if (!is_leaf(node)) continue;
                const std::uint32_t entry = tree.nodes.label_ids[node.id];
                if (entry == no_label) {
                    if (!labelled_only) positions.push_back(unlabelled);
                    continue;
                }
                positions.push_back(row_of[entry]);
                if (row_of[entry] == not_found) {
                    ++missing;
                } else if (!seen[entry]) {
                    seen[entry] = true;
                    ++used;
                }
            }
        }
        PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(
            reinterpret_cast<const char*>(positions.data()),
            static_cast<Py_ssize_t>(positions.size() * sizeof(std::int64_t))));
        if (!bytes) throw PyErrorSet{};
        PyRef result = PyRef::steal(Py_BuildValue(
            "(Onn)", bytes.get(), static_cast<Py_ssize_t>(missing), static_cast<Py_ssize_t>(used)));
        if (!result) throw PyErrorSet{};
        return result;
    });
}

}  // namespace veltrane::tools
