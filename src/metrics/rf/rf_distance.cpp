// Robinson-Foulds distance: every non-root node gives its leaf-label cluster and the
// complement of that cluster; the distance counts the splits found in one tree only.
#include "metrics/rf/rf_distance.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>

#include "core/support/hashing.hpp"
#include "core/support/interrupt.hpp"
#include "core/support/panic.hpp"
#include "core/support/stopwatch.hpp"
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

BitVecHash::BitVecHash() noexcept : key(process_hash_key()) {}

std::size_t BitVecHash::operator()(const BitVec& v) const noexcept {
    // One keyed mix per word, the length first: clusters are the text's to choose, so no
    // difference between two of them may cancel out whatever the key.
    std::uint64_t h = hash_u64(v.len, key);
    for (const std::uint64_t w : v.words) h = mix64(h ^ w);
    return static_cast<std::size_t>(h);
}

namespace {

// The method text the Robinson-Foulds functions report; callers compare it as it stands.
constexpr const char* rf_method = "phylo-rs RobinsonFoulds";

[[noreturn]] void throw_unlabelled_leaf(NodeId v) {
    throw Panic("Robinson-Foulds distance needs a label on every leaf; node " + std::to_string(v) +
                " has none");
}

}  // namespace

namespace detail {

LabelUniverse label_universe(const SimpleRootedTree& tree1, const SimpleRootedTree& tree2) {
    // Tree 1's entries keep their numbers; tree 2's labels that tree 1 lacks follow in entry
    // order. No result depends on which label gets which index.
    LabelUniverse u;
    u.size = tree1.taxa_map.size();
    u.of_entry2 = tree1.taxa_map.find_entries(tree2.taxa_map);
    for (std::uint32_t& e : u.of_entry2) {
        if (e == no_label) e = static_cast<std::uint32_t>(u.size++);
    }
    return u;
}

}  // namespace detail

namespace {

// Index in U of a labelled node of tree 1 (second = false) or tree 2 (second = true).
std::size_t universe_index(const SimpleRootedTree& tree, const detail::LabelUniverse& u,
                           bool second, NodeId v) {
    const std::uint32_t entry = tree.nodes.label_ids[v];
    return second ? u.of_entry2[entry] : entry;
}

// ---------------------------------------------------------------------------------------------
// Bit-vector path.

using SplitSet = std::unordered_set<BitVec, BitVecHash>;

SplitSet collect_splits(const SimpleRootedTree& tree, const detail::LabelUniverse& u, bool second) {
    const std::size_t n = u.size;
    SplitSet splits;
    // A node's cluster lives until its parent has absorbed it; each node has one parent.
    std::vector<BitVec> clusters(tree.nodes.size());
    const BitVec all_ones = BitVec::ones(n);
    // A node costs a few passes over words of 64 labels.
    const auto node_cost = static_cast<std::int64_t>(1 + n / 4096);
    for (const NodeId v : postord_ids(tree, tree.root)) {
        check_interrupt(node_cost);
        const Node node = tree.nodes[v];
        BitVec cluster;
        // The leaf test comes first: a single labelled node is both leaf and root.
        if (is_leaf(node)) {
            if (!node.taxa) throw_unlabelled_leaf(v);
            cluster = BitVec::zeros(n);
            cluster.toggle(universe_index(tree, u, second, v));
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

// Set of 64-bit keys other than all-ones; room for the number of keys given at construction.
class KeySet {
 public:
    explicit KeySet(std::size_t expected)
        : slots_(table_capacity(expected), empty), key_(process_hash_key()) {
        mask_ = slots_.size() - 1;
    }

    // True when key was not yet a member.
    bool insert(std::uint64_t key) noexcept {
        for (std::size_t i = home(key);; i = (i + 1) & mask_) {
            if (slots_[i] == key) return false;
            if (slots_[i] == empty) {
                slots_[i] = key;
                ++size_;
                return true;
            }
        }
    }

    bool contains(std::uint64_t key) const noexcept {
        for (std::size_t i = home(key);; i = (i + 1) & mask_) {
            if (slots_[i] == key) return true;
            if (slots_[i] == empty) return false;
        }
    }

    std::uint64_t size() const noexcept { return size_; }

    void prefetch_slot(std::uint64_t key) const noexcept { prefetch(&slots_[home(key)]); }

 private:
    static constexpr std::uint64_t empty = ~std::uint64_t{0};
    // The keys are positions the tree's shape chooses; the keyed hash keeps them apart.
    std::size_t home(std::uint64_t key) const noexcept {
        return static_cast<std::size_t>(hash_u64(key, key_)) & mask_;
    }
    std::vector<std::uint64_t> slots_;
    std::uint64_t key_;
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
    std::vector<Pos> parent;      // pre-order index of the parent; no_pos for the root
    std::vector<Pos> leaves;      // pre-order indices of the leaves, left to right
    std::vector<Pos> leaf_label;  // index in U of each leaf's label
    bool root_has_one_child = false;
};

// nullopt when the tree is too large for 32-bit positions: the bit-vector path takes it. The
// first unlabelled leaf throws, as it does in the bit-vector path's post-order walk (leaves
// come in the same order in both walks).
std::optional<Reach> reach(const SimpleRootedTree& tree, const detail::LabelUniverse& u,
                           bool second) {
    if (tree.nodes.size() >= no_pos / 2) return std::nullopt;
    const std::vector<NodeId> order = preorder_ids(tree, tree.root);
    const std::vector<NodeSlot>& slots = tree.nodes.slots;
    std::vector<Pos> position(slots.size(), no_pos);
    Reach out;
    out.parent.reserve(order.size());
    for (Pos k = 0; k < order.size(); ++k) {
        check_interrupt();
        const NodeId id = order[k];
        const NodeSlot& slot = slots[id];
        position[id] = k;
        out.parent.push_back(k == 0 ? no_pos : position[slot.parent]);
        if (slot.child_count != 0) continue;
        if (slot.label_size == no_index) throw_unlabelled_leaf(id);
        out.leaves.push_back(k);
        out.leaf_label.push_back(static_cast<Pos>(universe_index(tree, u, second, id)));
    }
    out.root_has_one_child = tree.nodes[tree.root].children.size() == 1;
    return out;
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

// The trivial bipartitions that the extension added to one extended tree only; the comparison
// of the extended trees counts the rest.
std::uint64_t trivial_splits_in_one(const Reach& reach1, const std::vector<Pos>& position1,
                                    const Reach& reach2, const std::vector<Pos>& position2, Pos n) {
    std::uint64_t count = 0;
    for (Pos label = 0; label < n; ++label) {
        count += has_trivial_split(reach1, n, position1[label]) !=
                 has_trivial_split(reach2, n, position2[label]);
    }
    return count;
}

// Tree 1's sides without r, r being its first leaf: every such side is a plain interval
// [start, start + length) of tree-1 positions with start >= 1, or empty.
KeySet tree1_sides(const Reach& reach1, Pos n) {
    std::vector<Pos> lo;
    std::vector<Pos> count;
    leaf_intervals(reach1, lo, count);
    const Pos own1 = static_cast<Pos>(reach1.leaves.size());
    // The root gives no bipartition, unless it is a leaf: then it hangs below a new root.
    const std::size_t first1 = reach1.parent.size() == 1 ? 0 : 1;
    std::vector<std::uint64_t> keys;
    keys.reserve(lo.size() + (n - own1));
    for (std::size_t k = first1; k < lo.size(); ++k)
        keys.push_back(own_side(lo[k], count[k], n, 0));
    for (Pos p = own1; p < n; ++p) keys.push_back(side_key(p, 1));
    KeySet sides1(keys.size());
    for_each_key(keys, sides1, [&](std::size_t i) { sides1.insert(keys[i]); });
    return sides1;
}

// Extremes of tree-1 positions over tree-2 prefixes [0, q) and suffixes [q, n).
struct PositionExtremes {
    std::vector<Pos> prefix_min, prefix_max, suffix_min, suffix_max;
};

PositionExtremes position_extremes(const std::vector<Pos>& tree1_at, Pos n) {
    PositionExtremes e;
    e.prefix_min.resize(n + 1);
    e.prefix_max.resize(n + 1);
    e.suffix_min.resize(n + 1);
    e.suffix_max.resize(n + 1);
    e.prefix_min[0] = no_pos;
    e.prefix_max[0] = 0;
    for (Pos q = 0; q < n; ++q) {
        e.prefix_min[q + 1] = std::min(e.prefix_min[q], tree1_at[q]);
        e.prefix_max[q + 1] = std::max(e.prefix_max[q], tree1_at[q]);
    }
    e.suffix_min[n] = no_pos;
    e.suffix_max[n] = 0;
    for (Pos q = n; q-- > 0;) {
        e.suffix_min[q] = std::min(e.suffix_min[q + 1], tree1_at[q]);
        e.suffix_max[q] = std::max(e.suffix_max[q + 1], tree1_at[q]);
    }
    return e;
}

constexpr std::uint64_t no_side = ~std::uint64_t{0};

// Tree 2's sides: each as its own interval (keys, for telling distinct sides apart) and as an
// interval of tree-1 positions (in_tree1), or no_side when those positions are not contiguous.
void tree2_sides(const Reach& reach2, const std::vector<Pos>& position2,
                 const std::vector<Pos>& tree1_at, Pos r, Pos n, std::vector<std::uint64_t>& keys,
                 std::vector<std::uint64_t>& in_tree1) {
    const Pos r2 = position2[r];
    const PositionExtremes ext = position_extremes(tree1_at, n);
    std::vector<Pos> lo;
    std::vector<Pos> count;
    leaf_intervals(reach2, lo, count);
    const std::size_t size2 = lo.size();
    // Smallest and largest tree-1 position of each node's leaves.
    std::vector<Pos> low(size2, no_pos);
    std::vector<Pos> high(size2, 0);
    for (std::size_t k = size2; k-- > 0;) {
        if (count[k] == 1 && lo[k] < reach2.leaves.size() && reach2.leaves[lo[k]] == k) {
            low[k] = high[k] = tree1_at[lo[k]];
        }
        if (k > 0) {
            const Pos parent = reach2.parent[k];
            low[parent] = std::min(low[parent], low[k]);
            high[parent] = std::max(high[parent], high[k]);
        }
    }
    const Pos own2 = static_cast<Pos>(reach2.leaves.size());
    keys.clear();
    in_tree1.clear();
    in_tree1.reserve(size2 + (n - own2));
    const auto add_side = [&](Pos start, Pos length, Pos min1, Pos max1) {
        keys.push_back(own_side(start, length, n, r2));
        Pos size = length;
        if (start <= r2 && r2 - start < length) {
            // The side is the complement: positions before start and from start + length on.
            const Pos end = start + length;
            min1 = std::min(ext.prefix_min[start], ext.suffix_min[end]);
            max1 = std::max(ext.prefix_max[start], ext.suffix_max[end]);
            size = n - length;
        }
        in_tree1.push_back(size == 0                 ? side_key(0, 0)
                           : max1 - min1 + 1 == size ? side_key(min1, size)
                                                     : no_side);
    };
    const std::size_t first2 = size2 == 1 ? 0 : 1;
    for (std::size_t k = first2; k < size2; ++k) add_side(lo[k], count[k], low[k], high[k]);
    for (Pos q = own2; q < n; ++q) add_side(q, 1, tree1_at[q], tree1_at[q]);
}

}  // namespace

namespace detail {

std::uint64_t rf_distance_bitvec(const SimpleRootedTree& tree1, const SimpleRootedTree& tree2) {
    const LabelUniverse u = label_universe(tree1, tree2);
    const SplitSet splits1 = collect_splits(tree1, u, false);
    const SplitSet splits2 = collect_splits(tree2, u, true);
    // Splits missing from the other tree come in complementary pairs, so the sum is even.
    return (count_missing(splits1, splits2) + count_missing(splits2, splits1)) / 2;
}

std::optional<std::uint64_t> rf_distance_linear(const SimpleRootedTree& tree1,
                                                const SimpleRootedTree& tree2) {
    const LabelUniverse u = label_universe(tree1, tree2);
    // With four labels or more, the trivial bipartitions of distinct labels are distinct.
    if (u.size < 4 || u.size >= no_pos / 2) return std::nullopt;
    const Pos n = static_cast<Pos>(u.size);
    const std::optional<Reach> reach1 = reach(tree1, u, false);
    if (!reach1) return std::nullopt;
    const std::optional<Reach> reach2 = reach(tree2, u, true);
    if (!reach2) return std::nullopt;
    const std::vector<Pos> position1 = leaf_positions(*reach1, n);
    const std::vector<Pos> position2 = leaf_positions(*reach2, n);
    if (position1.empty() || position2.empty()) return std::nullopt;

    std::uint64_t rf = trivial_splits_in_one(*reach1, position1, *reach2, position2, n);
    const KeySet sides1 = tree1_sides(*reach1, n);
    // tree1_at[q]: the tree-1 position of the label at tree-2 position q.
    std::vector<Pos> tree1_at(n);
    for (Pos label = 0; label < n; ++label) tree1_at[position2[label]] = position1[label];
    std::vector<std::uint64_t> keys;
    std::vector<std::uint64_t> in_tree1;
    tree2_sides(*reach2, position2, tree1_at, reach1->leaf_label.front(), n, keys, in_tree1);

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
    if (!rf) rf = detail::rf_distance_bitvec(tree1, tree2);
    return RfDistanceResult{rf_method, *rf, stopwatch.elapsed_ms()};
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
