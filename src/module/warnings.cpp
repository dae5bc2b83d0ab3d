// The RuntimeWarnings of the module's functions: the checks and their messages.
#include "module/warnings.hpp"

#include <Python.h>

#include <string>
#include <string_view>

#include "core/tree/label_checks.hpp"
#include "module/errors.hpp"

namespace veltrane::py {

namespace {

// Issues the warning at the caller's line; a filter may have turned it into an exception.
void warn(const std::string& message) {
    if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) < 0) throw PyErrorSet{};
}

// A label as the message quotes it: long ones are cut.
std::string quoted(std::string_view label) {
    constexpr std::size_t longest = 40;
    if (label.size() <= longest) return "'" + std::string(label) + "'";
    // Cut at a character boundary, not inside a multi-byte UTF-8 sequence.
    std::size_t cut = longest;
    while (cut > 0 && (static_cast<unsigned char>(label[cut]) & 0xC0) == 0x80) --cut;
    return "'" + std::string(label.substr(0, cut)) + "...'";
}

// "1 row", "2 rows".
std::string count_of(std::size_t n, const std::string& one, const std::string& many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

void warn_label_syntax(const char* function, std::initializer_list<TreeArg> trees) {
    for (const TreeArg& t : trees) {
        const std::optional<std::string_view> label = label_with_quote_or_bracket(t.tree);
        if (!label) continue;
        warn(std::string(function) + ": the label " + quoted(*label) + " in " + t.name +
             " holds a quote character or a square bracket. The Newick reader has no quoting "
             "and no comments, so these characters became part of the name, and it differs "
             "from the same name written without them. Pass the text through "
             "veltrane_tools.clean_newick first.");
        return;
    }
}

void warn_positional_pairing(const char* function, TreeArg tree1, TreeArg tree2) {
    // Equal leaf sequences, the usual case, are settled by their digests; labels are read
    // only when the sequences differ.
    if (leaves_pair_by_label(tree1.tree, tree2.tree)) return;
    if (!same_leaf_label_set(tree1.tree, tree2.tree)) return;
    warn(std::string(function) + ": " + tree1.name + " and " + tree2.name +
         " carry the same leaf labels in different orders. This function pairs leaves by "
         "position (the k-th leaf of one text with the k-th leaf of the other) without reading "
         "their labels, so it compared different taxa. Write both trees with their leaves in "
         "the same order, or use veltrane_tools.triplet_agreement, which matches leaves by "
         "label.");
}

void warn_rows_per_name(const char* function, TreeArg tree1, TreeArg tree2) {
    if (leaf_rows_agree(tree1.tree, tree2.tree)) return;
    if (!same_leaf_label_set(tree1.tree, tree2.tree)) return;
    warn(std::string(function) + ": " + tree1.name + " and " + tree2.name +
         " list the same leaf names in different orders. Row k of character_matrix belongs to "
         "the k-th leaf of each tree, so the one matrix gives these names different rows in "
         "the two trees. Write both trees with their leaves in the same order "
         "(veltrane_tools.leaf_labels lists a tree's order), or score each tree with "
         "likelihood_score and a matrix in its own leaf order.");
}

void warn_row_count(const char* function, std::size_t rows, std::initializer_list<TreeArg> trees,
                    bool labelled) {
    const std::string leaf = labelled ? "labelled leaf" : "leaf";
    const std::string leaves = labelled ? "labelled leaves" : "leaves";
    std::string counts;
    bool differs = false;
    for (const TreeArg& t : trees) {
        const std::size_t n = labelled ? count_labelled_leaves(t.tree) : count_leaves(t.tree);
        differs = differs || n != rows;
        if (!counts.empty()) counts += " and ";
        counts += std::string(t.name) + " has " + count_of(n, leaf, leaves);
    }
    if (!differs) return;
    warn(std::string(function) + ": character_matrix has " + count_of(rows, "row", "rows") +
         " but " + counts + ". Row k belongs to the k-th " + leaf + " in the Newick text, so a " +
         leaf +
         " without a row counts as missing data and a row "
         "without a " +
         leaf + " is not used. Pass one row per " + leaf +
         ", in the order veltrane_tools.leaf_labels lists the leaves.");
}

void warn_unused_states(const char* function, std::initializer_list<StatesArg> given) {
    std::string unused;
    for (const StatesArg& s : given) {
        if (s.states == nullptr || s.states->empty() || names_a_node(*s.states, s.tree.tree)) {
            continue;
        }
        if (!unused.empty()) unused += ", and none of the keys of ";
        unused += std::string(s.name) + " names a node of " + s.tree.name;
    }
    if (unused.empty()) return;
    warn(std::string(function) + ": none of the keys of " + unused +
         ", so the states given there take no part in the result. Keys are node labels of the "
         "Newick text: label the internal nodes there (in '((A,B)X,C)R;' the internal nodes "
         "are X and R) and key their states by those labels.");
}

}  // namespace veltrane::py
