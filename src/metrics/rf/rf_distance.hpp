// Robinson-Foulds distance over the union of both trees' labels: an exact linear-time path,
// and cluster bit vectors for the inputs that path does not take.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/tree/simple_rooted_tree.hpp"

namespace veltrane {

// A fixed-length bit vector; bits past the length in the last word are always zero.
struct BitVec {
    std::size_t len = 0;
    std::vector<std::uint64_t> words;

    static BitVec zeros(std::size_t len);
    static BitVec ones(std::size_t len);
    void toggle(std::size_t i) noexcept { words[i / 64] ^= std::uint64_t{1} << (i % 64); }
    bool get(std::size_t i) const noexcept { return (words[i / 64] >> (i % 64)) & 1U; }
    // OR and XOR act only on vectors of the same length.
    void or_assign(const BitVec& other) noexcept;
    void xor_assign(const BitVec& other) noexcept;
    bool operator==(const BitVec& other) const noexcept = default;
};

// Keyed with the process hash key (hashing.hpp).
struct BitVecHash {
    BitVecHash() noexcept;
    std::size_t operator()(const BitVec& v) const noexcept;
    std::uint64_t key;
};

struct RfDistanceResult {
    std::string method_used;
    std::uint64_t rf_distance = 0;
    double computation_time_ms = 0.0;
};

// Number of bipartitions found in exactly one tree. Throws Panic when a reachable leaf has no
// label (the first one met in post-order of tree 1, then of tree 2).
RfDistanceResult calculate_rf_distance(const SimpleRootedTree& tree1,
                                       const SimpleRootedTree& tree2);

struct RfNormalization {
    std::uint64_t max_possible_rf = 0;
    double normalized_rf_distance = 0.0;
    std::uint64_t tree1_leaves = 0;  // distinct labels of each tree, internal ones included
    std::uint64_t tree2_leaves = 0;
};

// Scales rf_distance by 2m - 6 (m the smaller label count; 1 when m < 3), unclamped.
RfNormalization normalize_rf_distance(const SimpleRootedTree& tree1, const SimpleRootedTree& tree2,
                                      std::uint64_t rf_distance);

namespace detail {

// The union U of both trees' labels, indexed 0 .. size - 1: tree 1's taxa_map entries keep
// their numbers, and of_entry2 gives the index of each of tree 2's entries.
struct LabelUniverse {
    std::size_t size = 0;
    std::vector<std::uint32_t> of_entry2;
};
LabelUniverse label_universe(const SimpleRootedTree& tree1, const SimpleRootedTree& tree2);

// The distance from cluster bit vectors: any pair of trees, (nodes) x ceil(|U| / 64) words.
// Throws Panic for an unlabelled reachable leaf.
std::uint64_t rf_distance_bitvec(const SimpleRootedTree& tree1, const SimpleRootedTree& tree2);

// The same distance in linear time and memory. Returns nullopt for inputs it does not take: a
// label on two reachable leaves of one tree, fewer than four labels in all, or a tree too large
// for 32-bit positions. Throws Panic exactly where the bit-vector path does.
std::optional<std::uint64_t> rf_distance_linear(const SimpleRootedTree& tree1,
                                                const SimpleRootedTree& tree2);

}  // namespace detail

}  // namespace veltrane
