// Pairwise homoplasy score: per-pair shared-edit counts, binomial p-values, Simes' combination.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/tree/simple_rooted_tree.hpp"
#include "metrics/characters/character_data.hpp"

namespace veltrane {

// Input that converts but cannot be scored: the boundary raises it as ValueError.
class PhsInputError : public std::invalid_argument {
 public:
    explicit PhsInputError(const std::string& message) : std::invalid_argument(message) {}
};

struct PhsOptions {
    std::optional<double> mutation_rate;          // estimated from the matrix when absent
    std::optional<double> collision_probability;  // 0.1 when absent
    std::int32_t missing_state = -1;
    std::int32_t unedited_state = 0;
    std::optional<std::uint64_t> max_threads;  // caps the reported chunk count; 0 counts as 1
};

struct PhsResult {
    double phs_score = 1.0;
    std::uint64_t total_pairs = 0;
    double computation_time_ms = 0.0;
    std::string_view method_used;
    std::uint64_t parallel_chunks_used = 1;
};

// Number of leaf pairs that share one homoplasy count h and one LCA depth.
struct PairTally {
    std::uint64_t depth = 0;
    std::uint64_t homoplasy = 0;
    std::uint64_t pairs = 0;
};

// Pairs whose LCA carries internal states: every leaf in x_lo..x_hi against every leaf in
// y_lo..y_hi (positions in depth-first leaf order), compared under the LCA's mask.
struct PairBlock {
    std::uint64_t depth = 0;
    std::size_t mask = 0;  // row of OptimizedPHSTreeData::masks
    std::size_t x_lo = 0, x_hi = 0, y_lo = 0, y_hi = 0;
};

// Per-call tables of the pair stage. Instead of L x L LCA tables, the pairs are grouped by
// their LCA: the leaves below each child of a node form a contiguous range in depth-first
// order, so the pairs of a node are rectangles of ranges. Character states are recoded per
// column to small codes (0 = missing, unedited or past the row's end), so that one row
// comparison is a byte-wise equality count over `width` entries.
struct OptimizedPHSTreeData {
    std::size_t labelled_leaves = 0;  // L
    std::size_t width = 0;            // padded row width in codes (a multiple of 16)
    // Code rows in depth-first leaf order, `width` codes each; the narrowest type that holds
    // every column's number of distinct edited states plus the never-matching sentinel.
    std::variant<std::vector<std::uint8_t>, std::vector<std::uint16_t>, std::vector<std::uint32_t>>
        codes;
    // One row of `width` flags per LCA with states: 1 where that node's state is unedited.
    std::vector<std::uint8_t> masks;
    std::vector<PairBlock> blocks;  // sorted by depth
    // Pairs whose LCA has no states, or whose mask is all zero: homoplasy count 0.
    std::vector<PairTally> zero_tallies;
};

// Builds the pair-stage tables. Throws PhsInputError when L >= 2 and the matrix has fewer
// than L rows, and Panic when the tree has no labelled leaf or a node unreachable from the
// root.
OptimizedPHSTreeData build_phs_tree_data(const SimpleRootedTree& tree,
                                         const CharacterMatrix& matrix,
                                         const StateMap& internal_states,
                                         std::int32_t missing_state, std::int32_t unedited_state);

// Homoplasy counts of all pairs, tallied by (depth, count) and sorted by depth, then count.
// chunks <= 1 runs on the calling thread, otherwise the work is cut into that many chunks
// of about equal pair counts on the worker pool. The tallies do not depend on `chunks`.
std::vector<PairTally> calculate_phs_optimized(const OptimizedPHSTreeData& data,
                                               std::size_t chunks);

// Simes' combination of the binomial p-values of all tallied pairs (any tally order), with
// n characters, mutation rate mu and collision probability q. +inf without pairs. Throws
// PhsInputError, naming the depth and the rates, when a pair's p-value is undefined (NaN:
// the per-character probability is outside [0, 1] or a rate is NaN or infinite).
double calculate_phs_pvalues(std::span<const PairTally> tallies, std::uint64_t n, double mu,
                             double q);

// The whole score for a parsed tree; the clock starts on entry. Throws as
// build_phs_tree_data and calculate_phs_pvalues do.
PhsResult phs_optimized(const SimpleRootedTree& tree, const CharacterMatrix& matrix,
                        const StateMap& internal_states, const PhsOptions& options);

namespace detail {

// -ln(1 - E/N) over all entries (N not missing, E also not unedited); 0.1 when N = 0.
double estimate_mutation_rate(const CharacterMatrix& matrix, std::int32_t missing_state,
                              std::int32_t unedited_state);

// The per-character probability that two leaves share an edit that their LCA at depth d (in
// edges) lacks: q * e^(-mu d) * (1 - e^(-mu (1 - d)))^2, and 1 at depth 1 exactly.
double phs_edit_probability(double d, double mu, double q);

// p-values of counts h = 0 .. max_h for pairs whose LCA is at depth d.
std::vector<double> phs_pvalues_at_depth(std::uint64_t max_h, double d, std::uint64_t n, double mu,
                                         double q);

// A p-value shared by `pairs` pairs.
struct PValueGroup {
    double p = 0.0;
    std::uint64_t pairs = 0;
};

// min over ranks i = 1..m of m * p_(i) / i, with equal p-values grouped. A group's ranks are
// consecutive and m * p / i is monotone in i, so only its first and last rank can be the
// minimum. A NaN p-value cannot be ordered: Panic when m >= 2 (calculate_phs_pvalues never
// passes one); with m = 1 returns that p-value.
double simes_grouped(std::vector<PValueGroup> groups);

}  // namespace detail

}  // namespace veltrane
