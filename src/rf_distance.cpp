// Robinson-Foulds distance: every non-root node gives its leaf-label cluster and the
// complement of that cluster; the distance counts the splits found in one tree only.
#include "rf_distance.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "elapsed.hpp"
#include "interrupt.hpp"
#include "panic.hpp"
#include "tree/node_iter.hpp"

namespace veltrane {

BitVec BitVec::zeros(std::size_t len) {
    return BitVec{len, std::vector<std::uint64_t>((len + 63) / 64, 0)};
}

BitVec BitVec::ones(std::size_t len) {
    BitVec v{len, std::vector<std::uint64_t>((len + 63) / 64, ~std::uint64_t{0})};
    if (len % 64 != 0) v.words.back() = (std::uint64_t{1} << (len % 64)) - 1;
    return v;
}

void BitVec::or_assign(const BitVec& other) noexcept {
    if (other.len != len) return;
    for (std::size_t i = 0; i < words.size(); ++i) words[i] |= other.words[i];
}

void BitVec::xor_assign(const BitVec& other) noexcept {
    if (other.len != len) return;
    for (std::size_t i = 0; i < words.size(); ++i) words[i] ^= other.words[i];
}

std::size_t BitVecHash::operator()(const BitVec& v) const noexcept {
    // FNV-1a over the words, mixed with the length.
    std::uint64_t h = 0xcbf29ce484222325ULL ^ v.len;
    for (const std::uint64_t w : v.words) {
        h ^= w;
        h *= 0x100000001b3ULL;
        h ^= h >> 29;
    }
    return static_cast<std::size_t>(h);
}

namespace {

using LabelIndex = std::unordered_map<std::string_view, std::size_t>;
using SplitSet = std::unordered_set<BitVec, BitVecHash>;

SplitSet collect_splits(const SimpleRootedTree& tree, const LabelIndex& index, std::size_t n) {
    SplitSet splits;
    // A node's cluster lives until its parent has absorbed it; each node has one parent.
    std::vector<BitVec> clusters(tree.nodes.size());
    const BitVec all_ones = BitVec::ones(n);
    // A node costs a few passes over words of 64 labels.
    const auto node_cost = static_cast<std::int64_t>(1 + n / 4096);
    for (const NodeId v : postord_ids(tree, tree.root)) {
        check_interrupt(node_cost);
        const Node& node = tree.nodes[v];
        BitVec cluster;
        // The leaf test comes first: a single labelled node is both leaf and root.
        if (is_leaf(node)) {
            if (!node.taxa) {
                throw Panic("Robinson-Foulds distance needs a label on every leaf; node " +
                            std::to_string(v) + " has none");
            }
            cluster = BitVec::zeros(n);
            cluster.toggle(index.at(*node.taxa));
        } else if (v == tree.root) {
            continue;
        } else {
            cluster = BitVec::zeros(n);
            for (const NodeId child : node.children) {
                cluster.or_assign(clusters[child]);
                clusters[child] = BitVec{};
            }
        }
        BitVec complement = all_ones;
        complement.xor_assign(cluster);
        splits.insert(cluster);
        splits.insert(std::move(complement));
        clusters[v] = std::move(cluster);
    }
    return splits;
}

std::uint64_t count_missing(const SplitSet& from, const SplitSet& in) {
    std::uint64_t count = 0;
    for (const BitVec& split : from)
        if (!in.contains(split)) ++count;
    return count;
}

}  // namespace

RfDistanceResult calculate_rf_distance(const SimpleRootedTree& tree1,
                                       const SimpleRootedTree& tree2) {
    const Stopwatch stopwatch;
    // Index order is arbitrary: no result depends on which label gets which bit.
    LabelIndex index;
    for (const SimpleRootedTree* tree : {&tree1, &tree2}) {
        for (const auto& entry : tree->taxa_map) index.try_emplace(entry.first, index.size());
    }
    const std::size_t n = index.size();
    const SplitSet splits1 = collect_splits(tree1, index, n);
    const SplitSet splits2 = collect_splits(tree2, index, n);
    // Splits missing from the other tree come in complementary pairs, so the sum is even.
    const std::uint64_t d = count_missing(splits1, splits2) + count_missing(splits2, splits1);
    return RfDistanceResult{"phylo-rs RobinsonFoulds", d / 2, stopwatch.elapsed_ms()};
}

RfNormalization normalize_rf_distance(const SimpleRootedTree& tree1, const SimpleRootedTree& tree2,
                                      std::uint64_t rf_distance) {
    RfNormalization out;
    out.tree1_leaves = tree1.taxa_map.size();
    out.tree2_leaves = tree2.taxa_map.size();
    const std::uint64_t m = std::min(out.tree1_leaves, out.tree2_leaves);
    out.max_possible_rf = m >= 3 ? 2 * m - 6 : 1;
    out.normalized_rf_distance =
        out.max_possible_rf != 0
            ? static_cast<double>(rf_distance) / static_cast<double>(out.max_possible_rf)
            : 0.0;
    return out;
}

}  // namespace veltrane
