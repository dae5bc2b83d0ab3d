// leaf_labels: the labels of a tree's leaves in the order rows of a character matrix follow.
#include <optional>
#include <string_view>
#include <vector>

#include "tools/native.hpp"

namespace veltrane::tools {

PyObject* leaf_labels(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return run_entry([&] {
        if (nargs != 1) {
            PyErr_SetString(PyExc_TypeError, "leaf_labels() takes one argument, the Newick text");
            throw PyErrorSet{};
        }
        const std::string_view text = text_argument(args[0], "newick");
        SimpleRootedTree tree;
        std::vector<std::optional<std::string_view>> labels;
        {
            const ReleasedGil released;
            tree = read_tree(text, "newick");
            // Leaves in id order: the order of the text, which is the order of the rows.
            for (const Node& node : tree.nodes) {
                if (is_leaf(node)) labels.push_back(node.taxa);
            }
        }
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(labels.size())));
        if (!list) throw PyErrorSet{};
        for (std::size_t i = 0; i < labels.size(); ++i) {
            PyRef item =
                labels[i]
                    ? PyRef::steal(PyUnicode_DecodeUTF8(
                          labels[i]->data(), static_cast<Py_ssize_t>(labels[i]->size()), nullptr))
                    : PyRef::borrow(Py_None);
            if (!item) throw PyErrorSet{};
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
        }
        return list;
    });
}

}  // namespace veltrane::tools
