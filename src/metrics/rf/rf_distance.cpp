// Robinson-Foulds distance: every non-root node gives its leaf-label cluster and the
// complement of that cluster; the distance counts the splits found in one tree only.
#include "metrics/rf/rf_distance.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "core/support/stopwatch.hpp"
#include "core/support/hashing.hpp"
#include "core/support/interrupt.hpp"
#include "core/support/panic.hpp"
#include "core/tree/node_iter.hpp"

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

[[noreturn]] void throw_unlabelled_leaf(NodeId v) {
    throw Panic("Robinson-Foulds distance needs a label on every leaf; node " + std::to_string(v) +
                " has none");
}

// ---------------------------------------------------------------------------------------------
// Bit-vector path.

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
            if (!node.taxa) throw_unlabelled_leaf(v);
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

std::uint64_t rf_distance_bitvec(const SimpleRootedTree& tree1, const SimpleRootedTree& tree2) {
    // Index order is arbitrary: no result depends on which label gets which bit.
    LabelIndex index;
    for (const SimpleRootedTree* tree : {&tree1, &tree2}) {
        for (const auto& entry : tree->taxa_map) index.try_emplace(entry.first, index.size());
    }
    const std::size_t n = index.size();
    const SplitSet splits1 = collect_splits(tree1, index, n);
    const SplitSet splits2 = collect_splits(tree2, index, n);
    // Splits missing from the other tree come in complementary pairs, so the sum is even.
    return (count_missing(splits1, splits2) + count_missing(splits2, splits1)) / 2;
}

// ---------------------------------------------------------------------------------------------
// Linear path. Each tree is extended by the labels of U that are not among its reachable leaves,
// hung as extra leaves from the root; both extended trees then have the leaf set U, and their
// bipartitions are compared by Day's method: with a reference label r, the side of each
// bipartition that lacks r is an interval of leaf positions in a left-to-right order in which r
// comes first.

using Pos = std::uint32_t;
constexpr Pos no_pos = std::numeric_limits<Pos>::max();

std::size_t table_capacity(std::size_t expected) {
    std::size_t capacity = 16;
    while (capacity < expected + expected / 2) capacity *= 2;
    return capacity;
}

// Open-addressing map from label to its index in U, growing as needed. Short labels are copied
// into their slot, so a probe reads one cache line; longer ones are borrowed from the trees.
class LabelTable {
 public:
    explicit LabelTable(std::size_t expected) : slots_(table_capacity(expected)) {
        mask_ = slots_.size() - 1;
    }

    void prefetch_slot(std::uint64_t hash) const noexcept { prefetch(&slots_[hash & mask_]); }

    // Index of label (whose hash_label is hash), handing out the next index when it is new.
    Pos insert(std::string_view label, std::uint64_t hash) {
        if ((std::size_t{size_} + 1) * 4 > slots_.size() * 3) grow();
        for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
            Slot& slot = slots_[i];
            if (slot.index == no_pos) {
                slot.index = size_;
                slot.length = static_cast<Pos>(label.size());
                slot.data = label.data();
                if (label.size() <= inline_size) std::memcpy(slot.head, label.data(), label.size());
                return size_++;
            }
            if (matches(slot, label)) return slot.index;
        }
    }

    Pos find(std::string_view label, std::uint64_t hash) const noexcept {
        for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (slot.index == no_pos) return no_pos;
            if (matches(slot, label)) return slot.index;
        }
    }

    Pos size() const noexcept { return size_; }

 private:
    static constexpr std::size_t inline_size = 16;
    struct Slot {
        Pos index = no_pos;
        Pos length = 0;
        char head[inline_size] = {};
        const char* data = nullptr;
    };

    static std::string_view text(const Slot& slot) noexcept {
        return {slot.length <= inline_size ? slot.head : slot.data, slot.length};
    }

    static bool matches(const Slot& slot, std::string_view label) noexcept {
        return slot.length == label.size() && text(slot) == label;
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        mask_ = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (slot.index == no_pos) continue;
            std::size_t i = hash_label(text(slot)) & mask_;
            while (slots_[i].index != no_pos) i = (i + 1) & mask_;
            slots_[i] = slot;
        }
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    Pos size_ = 0;
};

// Calls f(i, hash_label(labels[i])) for every label in order, prefetching the table slots of
// the labels a few steps ahead: the probes then overlap instead of waiting one by one.
template <typename F>
void for_each_hashed(const LabelTable& table, const std::vector<std::string_view>& labels, F&& f) {
    constexpr std::size_t ahead = 16;
    std::array<std::uint64_t, ahead> hashes{};
    const std::size_t count = labels.size();
    for (std::size_t i = 0; i < std::min(ahead, count); ++i) {
        hashes[i] = hash_label(labels[i]);
        table.prefetch_slot(hashes[i]);
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t hash = hashes[i % ahead];
        if (i + ahead < count) {
            hashes[i % ahead] = hash_label(labels[i + ahead]);
            table.prefetch_slot(hashes[i % ahead]);
        }
        f(i, hash);
    }
}

// Set of 64-bit keys other than all-ones; room for the number of keys given at construction.
class KeySet {
 public:
    explicit KeySet(std::size_t expected) : slots_(table_capacity(expected), empty) {
        mask_ = slots_.size() - 1;
    }

    // True when key was not yet a member.
    bool insert(std::uint64_t key) noexcept {
        for (std::size_t i = mix64(key) & mask_;; i = (i + 1) & mask_) {
            if (slots_[i] == key) return false;
            if (slots_[i] == empty) {
                slots_[i] = key;
                ++size_;
                return true;
            }
        }
    }

    bool contains(std::uint64_t key) const noexcept {
        for (std::size_t i = mix64(key) & mask_;; i = (i + 1) & mask_) {
            if (slots_[i] == key) return true;
            if (slots_[i] == empty) return false;
        }
    }

    std::uint64_t size() const noexcept { return size_; }

    void prefetch_slot(std::uint64_t key) const noexcept { prefetch(&slots_[mix64(key) & mask_]); }

 private:
    static constexpr std::uint64_t empty = ~std::uint64_t{0};
    std::vector<std::uint64_t> slots_;
    std::size_t mask_ = 0;
    std::uint64_t size_ = 0;
};

// Calls f(i) for every key in order, prefetching set's slot for the key a few steps ahead.
template <typename F>
void for_each_key(const std::vector<std::uint64_t>& keys, const KeySet& set, F&& f) {
    constexpr std::size_t ahead = 16;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (i + ahead < keys.size()) set.prefetch_slot(keys[i + ahead]);
        f(i);
    }
}

// The part of a tree reachable from its root, in pre-order with children in stored order.
struct Reach {
    std::vector<NodeId> order;    // node ids
    std::vector<Pos> parent;      // pre-order index of the parent; no_pos for the root
    std::vector<Pos> leaves;      // pre-order indices of the leaves, left to right
    std::vector<Pos> leaf_label;  // index in U of each leaf's label
    bool root_has_one_child = false;
};

// nullopt when the links below the root do not form a tree (a missing child, a node reached
// twice) or the tree is too large for 32-bit positions: the bit-vector path judges those.
std::optional<Reach> reach(const SimpleRootedTree& tree) {
    const std::size_t size = tree.nodes.size();
    if (!has_node(tree, tree.root) || size >= no_pos / 2) return std::nullopt;
    Reach out;
    std::vector<unsigned char> visited(size, 0);
    std::vector<std::pair<NodeId, Pos>> stack{{tree.root, no_pos}};
    while (!stack.empty()) {
        check_interrupt();
        const auto [id, parent] = stack.back();
        stack.pop_back();
        if (visited[id]) return std::nullopt;
        visited[id] = 1;
        const Pos index = static_cast<Pos>(out.order.size());
        out.order.push_back(id);
        out.parent.push_back(parent);
        const std::span<const NodeId> children = tree.nodes[id].children;
        if (children.empty()) out.leaves.push_back(index);
        for (auto it = children.rbegin(); it != children.rend(); ++it) {
            if (!has_node(tree, *it)) return std::nullopt;
            stack.emplace_back(*it, index);
        }
    }
    out.root_has_one_child = tree.nodes[tree.root].children.size() == 1;
    return out;
}

// Looks up each leaf's label in U, left to right. The first unlabelled leaf throws, as it does
// in the bit-vector path's post-order walk (leaves come in the same order in both walks); a
// label missing from U (possible only in a tree not built by the reader) gives false, and the
// bit-vector path reports it.
bool label_leaves(const SimpleRootedTree& tree, Reach& reach, const LabelTable& table) {
    std::vector<std::string_view> labels;
    labels.reserve(reach.leaves.size());
    std::optional<NodeId> unlabelled;
    for (const Pos leaf : reach.leaves) {
        const NodeId id = reach.order[leaf];
        const std::optional<std::string_view> label = tree.nodes[id].taxa;
        if (!label) {
            unlabelled = id;
            break;
        }
        labels.emplace_back(*label);
    }
    reach.leaf_label.resize(labels.size());
    bool all_found = true;
    for_each_hashed(table, labels, [&](std::size_t i, std::uint64_t hash) {
        reach.leaf_label[i] = table.find(labels[i], hash);
        all_found = all_found && reach.leaf_label[i] != no_pos;
    });
    if (!all_found) return false;
    if (unlabelled) throw_unlabelled_leaf(*unlabelled);
    return true;
}

// Builds U (tree 1's map, then tree 2's, as the bit-vector path does) and labels both trees'
// leaves; the size of U, or nullopt when a leaf label is not in U. The table is released here,
// before the larger part of the work starts.
std::optional<Pos> label_universe(const SimpleRootedTree& tree1, Reach& reach1,
                                  const SimpleRootedTree& tree2, Reach& reach2) {
    const std::size_t labels = tree1.taxa_map.size() + tree2.taxa_map.size();
    if (labels >= no_pos / 2) return std::nullopt;
    std::vector<std::string_view> keys;
    keys.reserve(labels);
    for (const SimpleRootedTree* tree : {&tree1, &tree2}) {
        for (const auto& entry : tree->taxa_map) {
            if (entry.first.size() >= no_pos) return std::nullopt;
            keys.emplace_back(entry.first);
        }
    }
    // Usually one tree's labels are most of U; the table grows when they are not.
    LabelTable table(std::max(tree1.taxa_map.size(), tree2.taxa_map.size()));
    for_each_hashed(table, keys,
                    [&](std::size_t i, std::uint64_t hash) { table.insert(keys[i], hash); });
    keys = {};
    if (!label_leaves(tree1, reach1, table) || !label_leaves(tree2, reach2, table)) {
        return std::nullopt;
    }
    // Node ids are not needed past this point.
    reach1.order = {};
    reach2.order = {};
    return table.size();
}

// Leaf positions of an extended tree, indexed by label: the tree's own leaves left to right,
// then the labels it lacks in increasing index order. Empty when a label is on two leaves.
std::vector<Pos> leaf_positions(const Reach& reach, Pos n) {
    std::vector<Pos> position(n, no_pos);
    Pos next = 0;
    for (const Pos label : reach.leaf_label) {
        if (position[label] != no_pos) return {};
        position[label] = next++;
    }
    for (Pos label = 0; label < n; ++label)
        if (position[label] == no_pos) position[label] = next++;
    return position;
}

// Per pre-order node: the position of its first leaf (lo) and its number of leaves (count).
void leaf_intervals(const Reach& reach, std::vector<Pos>& lo, std::vector<Pos>& count) {
    const std::size_t size = reach.parent.size();
    lo.assign(size, 0);
    count.assign(size, 0);
    Pos seen = 0;
    std::size_t next_leaf = 0;
    for (std::size_t k = 0; k < size; ++k) {
        lo[k] = seen;
        if (next_leaf < reach.leaves.size() && reach.leaves[next_leaf] == k) {
            count[k] = 1;
            ++seen;
            ++next_leaf;
        }
    }
    for (std::size_t k = size; k-- > 1;) count[reach.parent[k]] += count[k];
}

std::uint64_t side_key(Pos start, Pos length) noexcept {
    return (std::uint64_t{start} << 32) | length;
}

// The side without r of the bipartition of a leaf interval [lo, lo + count), as (start, length)
// on the circle of n positions; r sits at position r_pos. An empty side is (0, 0).
std::uint64_t own_side(Pos lo, Pos count, Pos n, Pos r_pos) noexcept {
    if (lo <= r_pos && r_pos - lo < count) {
        const Pos length = n - count;
        return length == 0 ? side_key(0, 0) : side_key((lo + count) % n, length);
    }
    return side_key(lo, count);
}

// Is the trivial bipartition {e} | U - {e} one of the tree's own? Either e is a leaf label, or e
// is the one label the tree lacks and some non-root node holds all of its leaves.
bool has_trivial_split(const Reach& reach, Pos n, Pos position_of_e) {
    const Pos own_leaves = static_cast<Pos>(reach.leaves.size());
    if (position_of_e < own_leaves) return true;
    const bool root_is_leaf = reach.parent.size() == 1;
    return n - own_leaves == 1 && (root_is_leaf || reach.root_has_one_child);
}

}  // namespace

namespace detail {

RfDistanceResult calculate_rf_distance_bitvec(const SimpleRootedTree& tree1,
                                              const SimpleRootedTree& tree2) {
    const Stopwatch stopwatch;
    const std::uint64_t rf = rf_distance_bitvec(tree1, tree2);
    return RfDistanceResult{"phylo-rs RobinsonFoulds", rf, stopwatch.elapsed_ms()};
}

std::optional<std::uint64_t> rf_distance_linear(const SimpleRootedTree& tree1,
                                                const SimpleRootedTree& tree2) {
    std::optional<Reach> reach1 = reach(tree1);
    if (!reach1) return std::nullopt;
    std::optional<Reach> reach2 = reach(tree2);
    if (!reach2) return std::nullopt;

    const std::optional<Pos> universe = label_universe(tree1, *reach1, tree2, *reach2);
    if (!universe) return std::nullopt;
    // With four labels or more, the trivial bipartitions of distinct labels are distinct.
    const Pos n = *universe;
    if (n < 4) return std::nullopt;
    const std::vector<Pos> position1 = leaf_positions(*reach1, n);
    const std::vector<Pos> position2 = leaf_positions(*reach2, n);
    if (position1.empty() || position2.empty()) return std::nullopt;

    // Every trivial bipartition is in both extended trees; those the extension added to one
    // side only are counted here, and the comparison of the extended trees counts the rest.
    std::uint64_t rf = 0;
    for (Pos label = 0; label < n; ++label) {
        rf += has_trivial_split(*reach1, n, position1[label]) !=
              has_trivial_split(*reach2, n, position2[label]);
    }

    // r is tree 1's first leaf, so tree 1's order puts it first: every side without r is a
    // plain interval [start, start + length) of tree-1 positions with start >= 1, or empty.
    const Pos r = reach1->leaf_label.front();
    std::vector<Pos> lo;
    std::vector<Pos> count;
    leaf_intervals(*reach1, lo, count);
    const Pos own1 = static_cast<Pos>(reach1->leaves.size());
    // The root gives no bipartition, unless it is a leaf: then it hangs below a new root.
    const std::size_t first1 = reach1->parent.size() == 1 ? 0 : 1;
    std::vector<std::uint64_t> keys;
    keys.reserve(lo.size() + (n - own1));
    for (std::size_t k = first1; k < lo.size(); ++k)
        keys.push_back(own_side(lo[k], count[k], n, 0));
    for (Pos p = own1; p < n; ++p) keys.push_back(side_key(p, 1));
    KeySet sides1(keys.size());
    for_each_key(keys, sides1, [&](std::size_t i) { sides1.insert(keys[i]); });

    // Tree 2, in its own left-to-right order; tree1_at[q] is the tree-1 position of the label at
    // tree-2 position q.
    std::vector<Pos> tree1_at(n);
    for (Pos label = 0; label < n; ++label) tree1_at[position2[label]] = position1[label];
    const Pos r2 = position2[r];
    // Extremes of tree-1 positions over tree-2 prefixes [0, q) and suffixes [q, n).
    std::vector<Pos> prefix_min(n + 1), prefix_max(n + 1), suffix_min(n + 1), suffix_max(n + 1);
    prefix_min[0] = no_pos;
    prefix_max[0] = 0;
    for (Pos q = 0; q < n; ++q) {
        prefix_min[q + 1] = std::min(prefix_min[q], tree1_at[q]);
        prefix_max[q + 1] = std::max(prefix_max[q], tree1_at[q]);
    }
    suffix_min[n] = no_pos;
    suffix_max[n] = 0;
    for (Pos q = n; q-- > 0;) {
        suffix_min[q] = std::min(suffix_min[q + 1], tree1_at[q]);
        suffix_max[q] = std::max(suffix_max[q + 1], tree1_at[q]);
    }

    leaf_intervals(*reach2, lo, count);
    const std::size_t size2 = lo.size();
    std::vector<Pos> low(size2, no_pos);
    std::vector<Pos> high(size2, 0);
    for (std::size_t k = size2; k-- > 0;) {
        if (count[k] == 1 && lo[k] < reach2->leaves.size() && reach2->leaves[lo[k]] == k) {
            low[k] = high[k] = tree1_at[lo[k]];
        }
        if (k > 0) {
            const Pos parent = reach2->parent[k];
            low[parent] = std::min(low[parent], low[k]);
            high[parent] = std::max(high[parent], high[k]);
        }
    }

    // Each side of tree 2 as its own interval (for telling distinct sides apart) and as an
    // interval of tree-1 positions, or no_side when those positions are not contiguous.
    constexpr std::uint64_t no_side = ~std::uint64_t{0};
    const Pos own2 = static_cast<Pos>(reach2->leaves.size());
    keys.clear();
    std::vector<std::uint64_t> in_tree1;
    in_tree1.reserve(size2 + (n - own2));
    const auto add_side = [&](Pos start, Pos length, Pos min1, Pos max1) {
        keys.push_back(own_side(start, length, n, r2));
        Pos size = length;
        if (start <= r2 && r2 - start < length) {
            // The side is the complement: positions before start and from start + length on.
            const Pos end = start + length;
            min1 = std::min(prefix_min[start], suffix_min[end]);
            max1 = std::max(prefix_max[start], suffix_max[end]);
            size = n - length;
        }
        in_tree1.push_back(size == 0                 ? side_key(0, 0)
                           : max1 - min1 + 1 == size ? side_key(min1, size)
                                                     : no_side);
    };
    const std::size_t first2 = size2 == 1 ? 0 : 1;
    for (std::size_t k = first2; k < size2; ++k) add_side(lo[k], count[k], low[k], high[k]);
    for (Pos q = own2; q < n; ++q) add_side(q, 1, tree1_at[q], tree1_at[q]);

    // Each distinct side of tree 2 is looked up in tree 1 once.
    KeySet sides2(keys.size());
    for_each_key(keys, sides2, [&](std::size_t i) {
        if (!sides2.insert(keys[i])) in_tree1[i] = no_side;
    });
    std::uint64_t common = 0;
    for_each_key(in_tree1, sides1, [&](std::size_t i) {
        common += in_tree1[i] != no_side && sides1.contains(in_tree1[i]);
    });

    return rf + sides1.size() + sides2.size() - 2 * common;
}

}  // namespace detail

RfDistanceResult calculate_rf_distance(const SimpleRootedTree& tree1,
                                       const SimpleRootedTree& tree2) {
    const Stopwatch stopwatch;
    std::optional<std::uint64_t> rf = detail::rf_distance_linear(tree1, tree2);
    if (!rf) rf = rf_distance_bitvec(tree1, tree2);
    return RfDistanceResult{"phylo-rs RobinsonFoulds", *rf, stopwatch.elapsed_ms()};
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
