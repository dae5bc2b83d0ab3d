// The triplet vocabulary shared by the five triplet metrics (outgroup rule, tally, ratios)
// and the reference metric triplets_correct.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/tree/simple_rooted_tree.hpp"

namespace veltrane {

// The member of a triple (a, b, c) that lies outside the other two, or none.
enum class Outgroup : std::uint8_t { a, b, c, none };

// The outgroup rule, given the depths of the common ancestors of the pairs (a, b), (a, c) and
// (b, c): the pair whose ancestor lies strictly deepest is the closest pair, and the third
// member is the outgroup. A tie for the deepest pair leaves the triple unresolved.
inline Outgroup outgroup_from_depths(std::uint64_t dab, std::uint64_t dac,
                                     std::uint64_t dbc) noexcept {
    if (dab > dac && dab > dbc) return Outgroup::c;
    if (dac > dab && dac > dbc) return Outgroup::b;
    if (dbc > dab && dbc > dac) return Outgroup::a;
    return Outgroup::none;
}

// The counters of one call (or of one chunk). All four are 64-bit, so no count can wrap
// whatever number_of_trials a caller asks for.
struct TripletTally {
    std::uint64_t all_correct = 0;
    std::uint64_t resolvable_correct = 0;
    std::uint64_t unresolved_correct = 0;
    std::uint64_t unresolved = 0;  // trials that tree 1 leaves unresolved

    TripletTally& operator+=(const TripletTally& other) noexcept {
        all_correct += other.all_correct;
        resolvable_correct += other.resolvable_correct;
        unresolved_correct += other.unresolved_correct;
        unresolved += other.unresolved;
        return *this;
    }
    bool operator==(const TripletTally&) const = default;
};

// Counts one trial. same_outgroup tells whether two resolved outgroups name the same leaf.
inline void count_trial(TripletTally& tally, bool resolved1, bool resolved2,
                        bool same_outgroup) noexcept {
    if (!resolved1) {
        ++tally.unresolved;
        if (!resolved2) {
            ++tally.all_correct;
            ++tally.unresolved_correct;
        }
    } else if (resolved2 && same_outgroup) {
        ++tally.all_correct;
        ++tally.resolvable_correct;
    }
}

// Counts one trial whose outgroups are members of the same triple in both trees.
inline void count_trial(TripletTally& tally, Outgroup o1, Outgroup o2) noexcept {
    count_trial(tally, o1 != Outgroup::none, o2 != Outgroup::none, o1 == o2);
}

// Counts `times` trials that all have the outgroups o1 and o2.
inline void count_trials(TripletTally& tally, Outgroup o1, Outgroup o2,
                         std::uint64_t times) noexcept {
    TripletTally one;
    count_trial(one, o1, o2);
    tally.all_correct += one.all_correct * times;
    tally.resolvable_correct += one.resolvable_correct * times;
    tally.unresolved_correct += one.unresolved_correct * times;
    tally.unresolved += one.unresolved * times;
}

// The four results every triplet metric reports, each under the single depth bucket 0.
struct TripletRatios {
    double all_triplets_correct = 0.0;
    double resolvable_triplets_correct = 0.0;
    double unresolved_triplets_correct = 0.0;
    double proportion_unresolvable = 0.0;
};

// The ratios over `total` trials or triples; a zero total gives NaN where it divides.
TripletRatios triplet_ratios(const TripletTally& tally, std::uint64_t total) noexcept;

// The result of the metrics that choose their own mode.
struct TripletModeResult {
    TripletRatios ratios;
    const char* method_used = "";
    std::uint64_t total_triplets_checked = 0;
    std::uint64_t parallel_chunks_used = 1;
};

// LCA depths for the reference metric: the tables are stored at the first query, so a tree
// that cannot answer LCA queries fails only once a trial needs it, as in the reference rule.
class ReferenceLca {
 public:
    explicit ReferenceLca(SimpleRootedTree& tree) noexcept : tree_(tree) {}
    std::uint64_t lca_depth(NodeId a, NodeId b);
    const SimpleRootedTree& tree() const noexcept { return tree_; }

 private:
    SimpleRootedTree& tree_;
};

// The outgroup of the labels (a, b, c) in the tree of `lca`, labels resolved through the
// tree's taxa_map (internal labels included); none when a label is missing or on a tie.
// Throws Panic when the tree cannot answer LCA queries.
Outgroup get_outgroup(ReferenceLca& lca, std::string_view a, std::string_view b,
                      std::string_view c);

// The reference metric: number_of_trials random triples of tree 1's leaves, compared by
// label. Stores LCA tables in the trees. Throws Panic on an entropy failure (no seed) or when
// a queried tree has nodes unreachable from its root.
TripletRatios calculate_triplets_correct(SimpleRootedTree& tree1, SimpleRootedTree& tree2,
                                         std::uint64_t number_of_trials,
                                         std::optional<std::uint64_t> seed);

}  // namespace veltrane
