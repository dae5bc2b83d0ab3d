// Exact triplet agreement of two trees whose leaves are matched by label, whatever the order of
// their texts: the counts over all triples of shared taxa, found without visiting the triples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "core/support/wide_count.hpp"
#include "core/tree/simple_rooted_tree.hpp"

namespace veltrane {

// Two texts that read but cannot be compared: a label on two leaves of one tree, fewer than
// three shared taxa, or nodes that an unclosed "(" leaves unattached to the root.
class AgreementError : public std::invalid_argument {
 public:
    explicit AgreementError(const std::string& message) : std::invalid_argument(message) {}
};

// The counts over the triples of the shared taxa (labels on a leaf of each tree), and the four
// shares of the triplet metrics computed from them.
struct TripletAgreement {
    std::uint64_t taxa = 0;
    WideCount triples;              // taxa choose 3
    WideCount agree;                // same outgroup in both trees, or unresolved in both
    WideCount resolved_in_tree1;    // one pair strictly closest in tree 1
    WideCount resolved_agree;       // of those, the same outgroup in tree 2
    WideCount unresolved_in_tree1;  // no pair strictly closest in tree 1
    WideCount unresolved_agree;     // of those, unresolved in tree 2 as well
    WideCount triplet_distance;     // triples - agree
    double all_triplets_correct = 0.0;
    double resolvable_triplets_correct = 0.0;
    double unresolved_triplets_correct = 0.0;
    double proportion_unresolvable = 0.0;
    std::uint64_t only_in_tree1 = 0;  // leaf labels of tree 1 that no leaf of tree 2 carries
    std::uint64_t only_in_tree2 = 0;
};

// Counts every triple of shared taxa; internal labels, unlabelled leaves and unary nodes play no
// part. Work is spread over the worker pool when max_threads allows (0 or 1: this thread only);
// the result does not depend on the thread count. Throws AgreementError for input that cannot be
// compared, Interrupted, std::bad_alloc.
TripletAgreement calculate_triplet_agreement(const SimpleRootedTree& tree1,
                                             const SimpleRootedTree& tree2,
                                             std::optional<std::uint64_t> max_threads);

namespace detail {

// The computation with its parallel cut fixed by the caller: `workers` chunks' worth of blocks
// (1: none, and the pool is not used) once a block has at least `parallel_min_nodes` nodes.
TripletAgreement calculate_triplet_agreement(const SimpleRootedTree& tree1,
                                             const SimpleRootedTree& tree2, std::size_t workers,
                                             std::size_t parallel_min_nodes);

// n choose 3, for n below 2^32.
WideCount choose3(std::uint64_t n) noexcept;

}  // namespace detail

}  // namespace veltrane
