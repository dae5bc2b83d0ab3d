// Facts about labels that the boundary warns about: how the leaves of two trees line up, and
// characters that other Newick dialects give a meaning this reader does not know.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "core/tree/simple_rooted_tree.hpp"

namespace veltrane {

// Number of leaves that carry a label.
std::size_t count_labelled_leaves(const SimpleRootedTree& tree);

// Whether pairing the labelled-leaf positions of a and b, as the positional triplet metrics
// do (the first n leaves in id order, n the smaller labelled-leaf count), pairs equal labels:
// an unlabelled leaf matches only an unlabelled one. Equal leaf digests answer at once (see
// NodeTable::leaf_label_digest); otherwise the labels are compared byte by byte.
bool leaves_pair_by_label(const SimpleRootedTree& a, const SimpleRootedTree& b);

// Whether the labelled leaves of a and b carry the same set of distinct labels. Equal leaf
// digests answer at once; otherwise b's leaf labels are looked up in a.
bool same_leaf_label_set(const SimpleRootedTree& a, const SimpleRootedTree& b);

// Whether every label found on leaves of both trees takes the same leaf number in each:
// leaves numbered in id order, unlabelled ones included, a repeated label taking its last
// leaf. That number is the row of a character matrix the label reads. Equal leaf digests
// answer at once; otherwise each leaf label of b is looked up in a.
bool leaf_rows_agree(const SimpleRootedTree& a, const SimpleRootedTree& b);

// The first label, in node id order, holding a quote character (' or ") or a square bracket.
std::optional<std::string_view> label_with_quote_or_bracket(const SimpleRootedTree& tree);

}  // namespace veltrane
