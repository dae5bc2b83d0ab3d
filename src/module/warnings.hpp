// Warnings for results that cannot mean what the caller thinks: labels that another Newick
// dialect would have read otherwise, leaves paired across trees by position with their labels
// in different orders, a matrix whose rows do not fit the tree, internal states that name no
// node. Each function issues at most one RuntimeWarning; call them after the result is
// computed. When a filter turns the warning into an exception they throw PyErrorSet with it
// pending, and the caller's result is released like any other.
#pragma once

#include <cstddef>
#include <initializer_list>

#include "core/tree/simple_rooted_tree.hpp"
#include "metrics/characters/character_data.hpp"

namespace veltrane::py {

// A tree and the name of the argument it came from.
struct TreeArg {
    const char* name;
    const SimpleRootedTree& tree;
};

// A label of one of the trees holds a quote character or a square bracket.
void warn_label_syntax(const char* function, std::initializer_list<TreeArg> trees);

// The triplet metrics that pair leaves by position: same labels, different leaf orders.
void warn_positional_pairing(const char* function, TreeArg tree1, TreeArg tree2);

// likelihood_distance: the same leaf names, but rows tied to them differ between the trees.
void warn_rows_per_name(const char* function, TreeArg tree1, TreeArg tree2);

// The matrix's row count differs from the leaf count of any of the trees; with `labelled`,
// from their labelled-leaf count (the rows of phs_optimized).
void warn_row_count(const char* function, std::size_t rows, std::initializer_list<TreeArg> trees,
                    bool labelled = false);

// Internal states given as `name` that hold keys, none of which names a node of the tree.
struct StatesArg {
    const char* name;
    const StateMap* states;  // nullptr when not given
    TreeArg tree;
};
void warn_unused_states(const char* function, std::initializer_list<StatesArg> given);

}  // namespace veltrane::py
