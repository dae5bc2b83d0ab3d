// Triplet agreement of two trees matched by label: exact counts over all triples in O(n log n)
// linear passes, without visiting a triple.
//
// How the count works. Both trees are first cut down to the shared taxa. Tree 1 is read along
// its heavy paths (each node continues into its child with the most leaves). A triple that tree 1
// resolves is counted at its outgroup c, the member that leaves the path of the other two first:
// either the pair leaves the same heavy path further down ("later" than c), or the pair lies in
// one light subtree of the path node where c leaves, and c elsewhere below that node. Only the
// triples tree 1 resolves are looked at: those both trees leave unresolved are tree 2's
// unresolved triples less the ones tree 1 resolves.
//
// Tree 2 is carried as blocks: tree 2 cut down to a set of leaves, each node knowing the weight
// (the number of further leaves that matter) below it and along the edge above it. A path block
// splits its leaves by where they leave the path, earlier half against later half: one backward
// pass counts the triples with the outgroup earlier and a later leaf in the pair, and a forward
// pass cuts the block down to both halves, the earlier one weighted also by the later leaves. A
// block of one path node splits its light subtrees into halves the same way, each the other's
// weight, until one subtree is left: it counts its own pairs against the weight around it and
// starts its own heavy path. Every leaf takes part in O(log n) splits, each linear in the block.
#include "metrics/triplets/agreement.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <span>
#include <utility>
#include <vector>

#include "core/pool/chunking.hpp"
#include "core/pool/pool.hpp"
#include "core/support/interrupt.hpp"

namespace veltrane {

namespace detail {

WideCount choose3(std::uint64_t n) noexcept {
    if (n < 3) return {};
    // Of three neighbours one is a multiple of 3 and one is even: divide first, so that each
    // factor stays below 2^32 and only the last product needs 128 bits.
    std::uint64_t f[3] = {n, n - 1, n - 2};
    for (std::uint64_t& x : f) {
        if (x % 3 == 0) {
            x /= 3;
            break;
        }
    }
    for (std::uint64_t& x : f) {
        if (x % 2 == 0) {
            x /= 2;
            break;
        }
    }
    return wide_mul(f[0] * f[1], f[2]);
}

}  // namespace detail

namespace {

#if defined(__SIZEOF_INT128__)
__extension__ typedef unsigned __int128 Acc;
inline Acc mul(std::uint64_t a, std::uint64_t b) noexcept { return static_cast<Acc>(a) * b; }
inline WideCount wide(Acc v) noexcept {
    return {static_cast<std::uint64_t>(v >> 64), static_cast<std::uint64_t>(v)};
}
#else
// Compilers without a 128-bit integer count with the portable halves.
struct Acc {
    WideCount v;
    Acc(std::uint64_t x = 0) noexcept : v{0, x} {}  // NOLINT: converts like an integer
    explicit Acc(WideCount w) noexcept : v(w) {}
    Acc& operator+=(Acc o) noexcept {
        v = wide_add(v, o.v);
        return *this;
    }
    Acc& operator-=(Acc o) noexcept {
        v = wide_sub(v, o.v);
        return *this;
    }
    friend Acc operator+(Acc a, Acc b) noexcept { return a += b; }
    friend Acc operator-(Acc a, Acc b) noexcept { return a -= b; }
    friend bool operator==(Acc a, Acc b) noexcept { return a.v == b.v; }
};
inline Acc mul(std::uint64_t a, std::uint64_t b) noexcept { return Acc(wide_mul(a, b)); }
inline WideCount wide(Acc v) noexcept { return v.v; }
#endif

using u32 = std::uint32_t;
using u64 = std::uint64_t;
constexpr u32 none = 0xFFFFFFFFu;
// Node ids and counts fit in 32 bits, and a product of two counts in 63.
constexpr std::size_t max_nodes = std::size_t{1} << 31;

// Per-node loops poll for Ctrl-C every 2^16 nodes; a unit of interrupt cost is about 1024.
// Never at i = 0, so that the many small blocks do not pay for it.
inline void poll_every(std::size_t i) {
    if ((i & 0xFFFF) == 0xFFFF) check_interrupt(64);
}

// What the blocks count: resolved in tree 1 with the same outgroup in tree 2, and resolved in
// tree 1 but unresolved in tree 2.
struct Sums {
    Acc resolved_agree = 0;
    Acc resolved_unresolved = 0;
    Sums& operator+=(const Sums& o) noexcept {
        resolved_agree += o.resolved_agree;
        resolved_unresolved += o.resolved_unresolved;
        return *this;
    }
};

// ---- Matching the taxa -------------------------------------------------------------------

constexpr u32 inner = 0xFFFFFFFEu;  // a tag: not a leaf (label entries stay below 2^31)

// What the count needs of a tree, read in one pass over its node table: each node's parent and,
// for a leaf, its label entry (no_label when it has none); inner nodes are tagged `inner`.
struct Skeleton {
    std::vector<u32> parent;  // none for the root
    std::vector<u32> tag;
};

Skeleton read_skeleton(const SimpleRootedTree& tree, const char* name) {
    const NodeTable& nodes = tree.nodes;
    const std::size_t n = nodes.size();
    if (n >= max_nodes) throw AgreementError(std::string(name) + " has more than 2^31 nodes");
    Skeleton s;
    s.parent.resize(n);
    s.tag.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        poll_every(i);
        const NodeSlot& slot = nodes.slots[i];
        if (i > 0 && slot.parent == no_index) {
            throw AgreementError(
                std::string(name) +
                ": a '(' that is never closed leaves nodes unattached to the root");
        }
        s.parent[i] = i == 0 ? none : static_cast<u32>(slot.parent);
        s.tag[i] = slot.child_count != 0 ? inner : nodes.label_ids[i];
    }
    return s;
}

// For each label of the tree, the leaf that carries it, or none. Leaves are told apart by
// their labels, so a label on two leaves is an error.
std::vector<u32> leaf_by_label(const Skeleton& s, const TaxaMap& labels, const char* name) {
    std::vector<u32> leaf(labels.size(), none);
    for (std::size_t i = 0; i < s.tag.size(); ++i) {
        poll_every(i);
        const u32 entry = s.tag[i];
        if (entry >= inner) continue;
        if (leaf[entry] != none) {
            throw AgreementError(std::string(name) + " has two leaves labelled '" +
                                 std::string(labels.entry_label(entry)) +
                                 "'; leaves are matched by label, so a label may name one leaf "
                                 "only");
        }
        leaf[entry] = static_cast<u32>(i);
    }
    return leaf;
}

struct SharedTaxa {
    std::vector<std::uint8_t> shared1;  // per node of tree 1: a leaf whose taxon tree 2 has
    std::vector<u32> partner2;          // per node of tree 2: the leaf of tree 1 with its taxon
    u64 taxa = 0;
    u64 only1 = 0;
    u64 only2 = 0;
};

SharedTaxa match_taxa(const SimpleRootedTree& tree1, const Skeleton& s1,
                      const SimpleRootedTree& tree2, const Skeleton& s2) {
    const std::vector<u32> leaf1 = leaf_by_label(s1, tree1.taxa_map, "tree1");
    const std::vector<u32> leaf2 = leaf_by_label(s2, tree2.taxa_map, "tree2");
    const std::vector<u32> entry_in1 = tree1.taxa_map.find_entries(tree2.taxa_map);
    SharedTaxa s;
    s.shared1.assign(s1.tag.size(), 0);
    s.partner2.assign(s2.tag.size(), none);
    u64 leaves1 = 0;
    u64 leaves2 = 0;
    for (const u32 leaf : leaf1) leaves1 += leaf != none;
    for (std::size_t e = 0; e < leaf2.size(); ++e) {
        if (leaf2[e] == none) continue;
        ++leaves2;
        const u32 e1 = entry_in1[e];
        if (e1 == no_label || leaf1[e1] == none) continue;
        s.partner2[leaf2[e]] = leaf1[e1];
        s.shared1[leaf1[e1]] = 1;
        ++s.taxa;
    }
    s.only1 = leaves1 - s.taxa;
    s.only2 = leaves2 - s.taxa;
    return s;
}

// ---- Trees cut down to the shared taxa ---------------------------------------------------

// The nodes that are shared leaves or join two or more branches holding shared leaves, in id
// order (so the root, their common ancestor, comes first and parents before children).
struct Restricted {
    std::vector<u32> ids;          // node id in the tree
    std::vector<u32> parent;       // index of the parent; none for the root, index 0
    std::vector<u32> child_start;  // children of k: child[child_start[k] .. child_start[k + 1])
    std::vector<u32> child;        // in text order
    std::vector<u32> leaves;       // shared leaves below
    std::vector<u32> index_of;     // per node id: its index, or none
    Acc unresolved = 0;            // triples whose leaves lie in three children of one node
};

template <typename IsShared>
Restricted restrict_tree(const Skeleton& s, IsShared is_shared) {
    const std::size_t n = s.parent.size();
    Restricted r;
    std::vector<u32> count(n, 0);
    std::vector<std::uint8_t> branches(n, 0);
    // Children have larger ids than their parent: one backward sweep sums every subtree.
    for (std::size_t i = n; i-- > 0;) {
        poll_every(i);
        if (s.tag[i] != inner && is_shared(i)) count[i] = 1;
        if (count[i] == 0 || i == 0) continue;
        const u32 p = s.parent[i];
        count[p] += count[i];
        if (branches[p] < 2) ++branches[p];
    }
    r.index_of.assign(n, none);
    std::vector<u32>& nearest = count;  // reused: nearest kept ancestor-or-self, or none
    for (std::size_t i = 0; i < n; ++i) {
        poll_every(i);
        const bool leaf = s.tag[i] != inner;
        const u32 up = i == 0 ? none : nearest[s.parent[i]];
        if (count[i] > 0 && (leaf || branches[i] >= 2)) {
            const u32 k = static_cast<u32>(r.ids.size());
            r.ids.push_back(static_cast<u32>(i));
            r.parent.push_back(up);
            r.leaves.push_back(count[i]);
            r.index_of[i] = k;
            nearest[i] = k;
        } else {
            nearest[i] = up;
        }
    }
    const std::size_t kept = r.ids.size();
    r.child_start.assign(kept + 1, 0);
    for (std::size_t k = 1; k < kept; ++k) ++r.child_start[r.parent[k] + 1];
    for (std::size_t k = 0; k < kept; ++k) r.child_start[k + 1] += r.child_start[k];
    r.child.resize(kept == 0 ? 0 : kept - 1);
    std::vector<u32> fill(r.child_start.begin(), r.child_start.end() - 1);
    for (std::size_t k = 1; k < kept; ++k) r.child[fill[r.parent[k]]++] = static_cast<u32>(k);
    // Unresolved triples: for each node, the third elementary symmetric sum of its children's
    // leaf counts.
    for (std::size_t k = 0; k < kept; ++k) {
        u64 e1 = 0;
        u64 e2 = 0;
        for (u32 c = r.child_start[k]; c < r.child_start[k + 1]; ++c) {
            const u64 x = r.leaves[r.child[c]];
            r.unresolved += mul(e2, x);
            e2 += e1 * x;
            e1 += x;
        }
    }
    return r;
}

// Tree 1 in preorder with each node's heaviest child first, so that a heavy path is a run of
// consecutive numbers and the light subtrees of its nodes follow it from the bottom up: the
// leaves that leave the path at node s are numbered end(s + 1) + 1 .. end(s).
struct Tree1 {
    std::vector<u32> size;    // nodes in the subtree
    std::vector<u32> leaves;  // leaves in the subtree
    std::vector<u32> parent;
    std::vector<u32> bottom;  // the leaf that ends the heavy path through the node
    std::vector<u32> number;  // per index of the restricted tree: its preorder number
    u32 end(u32 x) const noexcept { return x + size[x] - 1; }
};

Tree1 order_tree1(const Restricted& r) {
    const std::size_t kept = r.ids.size();
    std::vector<u32> nodes(kept, 1);
    for (std::size_t k = kept; k-- > 1;) nodes[r.parent[k]] += nodes[k];
    Tree1 t;
    t.size.resize(kept);
    t.leaves.resize(kept);
    t.parent.resize(kept);
    t.bottom.resize(kept);
    t.number.resize(kept);
    std::vector<u32> stack{0};
    u32 next = 0;
    while (!stack.empty()) {
        const u32 k = stack.back();
        stack.pop_back();
        poll_every(next);
        const u32 x = next++;
        t.number[k] = x;
        t.size[x] = nodes[k];
        t.leaves[x] = r.leaves[k];
        t.parent[x] = k == 0 ? none : t.number[r.parent[k]];
        const u32 first = r.child_start[k];
        const u32 last = r.child_start[k + 1];
        if (first == last) continue;
        u32 heavy = first;
        for (u32 c = first + 1; c < last; ++c) {
            if (r.leaves[r.child[c]] > r.leaves[r.child[heavy]]) heavy = c;
        }
        // The light children come after the whole heavy subtree, in text order.
        for (u32 c = last; c-- > first;) {
            if (c != heavy) stack.push_back(r.child[c]);
        }
        stack.push_back(r.child[heavy]);
    }
    for (std::size_t x = kept; x-- > 0;) {
        t.bottom[x] = t.size[x] == 1 ? static_cast<u32>(x) : t.bottom[x + 1];
    }
    return t;
}

// ---- Blocks ------------------------------------------------------------------------------

// One node of a block: tree 2 cut down to the block's leaves, in preorder.
struct BNode {
    u32 sz;  // nodes in the subtree (1 for a leaf)
    u32 nk;  // leaves below an inner node; for a leaf, its tree-1 preorder number
    u32 w;   // weight below the tree-2 node itself
    u32 e;   // weight hanging off the edge above: at the parent's child toward here, minus w
};

inline bool is_leaf(const BNode& b) noexcept { return b.sz == 1; }
inline u32 leaf_count(const BNode& b) noexcept { return is_leaf(b) ? 1 : b.nk; }

// Makes room for `size` elements, keeping the capacity between steps.
template <typename T>
void grow(std::vector<T>& v, std::size_t size) {
    if (v.size() < size) v.resize(std::max(size, v.size() * 2));
}

std::vector<BNode> tree2_block(const Restricted& r2, const std::vector<u32>& key) {
    std::vector<BNode> out;
    out.reserve(r2.ids.size());
    std::vector<u32> nodes(r2.ids.size(), 1);
    for (std::size_t k = r2.ids.size(); k-- > 1;) nodes[r2.parent[k]] += nodes[k];
    std::vector<u32> stack{0};
    while (!stack.empty()) {
        const u32 k = stack.back();
        stack.pop_back();
        poll_every(out.size());
        const bool leaf = r2.child_start[k] == r2.child_start[k + 1];
        out.push_back({nodes[k], leaf ? key[k] : r2.leaves[k], 0, 0});
        for (u32 c = r2.child_start[k + 1]; c-- > r2.child_start[k];) stack.push_back(r2.child[c]);
    }
    return out;
}

enum class Kind : std::uint8_t { path, groups };

// A block's place in tree 1. A path block holds the leaves that leave a heavy path at the path
// nodes first .. last; a groups block the light subtrees of path node `first` that lie in the
// preorder range lo .. hi.
struct Block {
    Kind kind = Kind::path;
    bool folded = false;  // groups: single-leaf subtrees already turned into weight
    u32 first = 0;
    u32 last = 0;
    u32 lo = 0;
    u32 hi = 0;
    u64 weight = 0;  // total weight, wherever it hangs in tree 2
};

// How a split hands the leaves of one side to the other as weight.
enum class Mode : std::uint8_t {
    path,      // a = earlier leaves, weighted also by b; b = later leaves; cross triples counted
    exchange,  // each side weighted also by the other
    fold,      // only a is kept, weighted also by b
};

struct SplitPlan {
    Mode mode = Mode::path;
    // The block is one light subtree: count its own pairs against the weight (total `weight`)
    // first, then split it as the start of its own heavy path, where no weight counts.
    bool group_pairs = false;
    u64 weight = 0;
};

class Engine {
 public:
    explicit Engine(const Tree1& t1) : t1_(t1) {}

    // Counts what one step of the block settles and leaves its children (none to two).
    void step(Block block, std::span<const BNode> tree, Sums& sums);

    std::size_t child_count() const noexcept { return children_; }
    const Block& child(std::size_t i) const noexcept { return child_[i]; }
    std::span<const BNode> child_tree(std::size_t i) const noexcept {
        return side_[i] == 0 ? std::span<const BNode>(out_a_.data(), size_a_)
                             : std::span<const BNode>(out_b_.data(), size_b_);
    }

 private:
    struct Frame {
        u32 end;
        u32 in_a;  // index in side a's tree, or none
        u32 in_b;
        u32 top_a;  // weight at the top of the edge above the node, as side a counts it
        u32 top_b;
    };
    // A finished subtree of the backward pass: where it starts, its leaves on each side and
    // the weight at the top of the edge above it. Popped as a child of the node being read.
    struct Kid {
        u32 start;
        u32 a;
        u32 b;
        u32 top;
    };

    void split_path(u32 first, u32 last, u64 weight, std::span<const BNode> tree,
                    const SplitPlan& plan, Sums& sums);
    void step_groups(Block block, std::span<const BNode> tree, Sums& sums);
    template <typename InB>
    void split(std::span<const BNode> tree, InB in_b, const SplitPlan& plan, Sums& sums);
    template <typename InB>
    void count_sides(std::span<const BNode> tree, InB in_b, const SplitPlan& plan, Sums& sums);
    void cut_to_sides(std::span<const BNode> tree, const SplitPlan& plan);
    void count_cross(u64 na, u64 nb, u64 weight, Sums& sums) const;
    void count_pairs(u64 n, u64 weight_below, u64 weight, Sums& sums) const;
    void add_child(const Block& block, std::size_t side) {
        child_[children_] = block;
        side_[children_++] = side;
    }

    const Tree1& t1_;
    // Buffers that only grow, so that no step pays for filling them.
    std::vector<u32> count_b_;        // per node: leaves of side b below
    std::vector<std::uint8_t> keep_;  // per node: kept by side a (1), side b (2)
    std::vector<Kid> done_;           // subtrees of the backward pass not yet joined
    std::vector<Frame> frames_;
    std::vector<u32> open_a_;  // frames of the kept ancestors of side a
    std::vector<u32> open_b_;
    std::vector<Kid> kids_;
    std::vector<BNode> out_a_;
    std::vector<BNode> out_b_;
    std::vector<BNode> folded_;
    u32 size_a_ = 0;  // nodes of the trees in out_a_ and out_b_
    u32 size_b_ = 0;
    Block child_[2];
    std::size_t side_[2] = {0, 1};
    std::size_t children_ = 0;
};

// Splits the block's leaves into side a and side b (in_b(key)) and cuts tree 2 down to each
// side: kept are a side's leaves and the nodes where two of its branches meet. A kept node
// takes its weight from the node itself; its edge weight reaches up to the kept parent, through
// the nodes that were dropped, plus what the other side adds when it becomes weight.
template <typename InB>
void Engine::split(std::span<const BNode> t, InB in_b, const SplitPlan& plan, Sums& sums) {
    count_sides(t, in_b, plan, sums);
    cut_to_sides(t, plan);
}

// Backward over the preorder: marks each node's leaves of side b and the nodes each side
// keeps, and counts what the split settles at every node.
template <typename InB>
void Engine::count_sides(std::span<const BNode> t, InB in_b, const SplitPlan& plan, Sums& sums) {
    const u32 m = static_cast<u32>(t.size());
    const bool path = plan.mode == Mode::path;
    // A light subtree starting its own path: the weight around it has been counted already.
    const bool weighted = !plan.group_pairs;
    grow(count_b_, m);
    grow(keep_, m);
    // Backward over the preorder: a node's children are the finished subtrees on top of the
    // stack that start inside its range, so every count comes from a sequential read.
    done_.clear();
    for (u32 k = m; k-- > 0;) {
        poll_every(k);
        const BNode node = t[k];
        u32 nb = 0;
        if (is_leaf(node)) {
            nb = in_b(node.nk) ? 1 : 0;
            keep_[k] = nb != 0 ? 2 : 1;
        } else {
            kids_.clear();
            u32 kids_a = 0;
            u32 kids_b = 0;
            while (!done_.empty() && done_.back().start < k + node.sz) {
                const Kid kid = done_.back();
                done_.pop_back();
                nb += kid.b;
                kids_a += kid.a > 0 ? 1u : 0u;
                kids_b += kid.b > 0 ? 1u : 0u;
                kids_.push_back(kid);
            }
            keep_[k] = static_cast<std::uint8_t>((kids_a >= 2 ? 1 : 0) | (kids_b >= 2 ? 2 : 0));
            const u32 na = node.nk - nb;
            if (plan.group_pairs) count_pairs(node.nk, node.w, plan.weight, sums);
            if (path && na > 0 && nb > 0) {
                if (!weighted) {
                    for (Kid& kid : kids_) kid.top = 0;
                }
                count_cross(na, nb, weighted ? node.w : 0, sums);
            }
        }
        count_b_[k] = nb;
        done_.push_back({k, leaf_count(node) - nb, nb, node.w + node.e});
    }
}

// Forward over the preorder: emits each side's kept nodes, with their weights, in preorder.
void Engine::cut_to_sides(std::span<const BNode> t, const SplitPlan& plan) {
    const u32 m = static_cast<u32>(t.size());
    const bool b_gets_a = plan.mode == Mode::exchange;
    const bool emit_b = plan.mode != Mode::fold;
    const bool weighted = !plan.group_pairs;
    grow(out_a_, m);
    if (emit_b) grow(out_b_, m);
    BNode* const out_a = out_a_.data();
    BNode* const out_b = out_b_.data();
    u32 size_a = 0;
    u32 size_b = 0;
    grow(frames_, m);
    Frame* const frames = frames_.data();
    u32 depth = 0;
    open_a_.clear();
    open_b_.clear();
    for (u32 k = 0; k < m; ++k) {
        poll_every(k);
        while (depth > 0 && frames[depth - 1].end <= k) {
            const Frame& f = frames[--depth];
            if (f.in_a != none) {
                out_a[f.in_a].sz = size_a - f.in_a;
                open_a_.pop_back();
            }
            if (f.in_b != none) {
                out_b[f.in_b].sz = size_b - f.in_b;
                open_b_.pop_back();
            }
        }
        const BNode node = t[k];
        const u32 nb = count_b_[k];
        const u32 na = leaf_count(node) - nb;
        const u32 w = weighted ? node.w : 0;
        const u32 top = weighted ? node.w + node.e : 0;
        Frame& f = frames[depth];
        f.end = k + node.sz;
        f.in_a = none;
        f.in_b = none;
        f.top_a = top + nb;
        f.top_b = top + (b_gets_a ? na : 0);
        // A kept node's edge reaches up to its kept parent: its top is the top of the old edge
        // just below that parent on the way down here (the node's own when that is its parent).
        if (keep_[k] & 1) {
            const u32 own = w + nb;
            const u32 e = open_a_.empty() ? 0 : frames[open_a_.back() + 1].top_a - own;
            out_a[size_a] = {0, is_leaf(node) ? node.nk : na, own, e};
            f.in_a = size_a++;
            open_a_.push_back(depth);
        }
        if ((keep_[k] & 2) && emit_b) {
            const u32 own = w + (b_gets_a ? na : 0);
            const u32 e = open_b_.empty() ? 0 : frames[open_b_.back() + 1].top_b - own;
            out_b[size_b] = {0, is_leaf(node) ? node.nk : nb, own, e};
            f.in_b = size_b++;
            open_b_.push_back(depth);
        }
        ++depth;
    }
    while (depth > 0) {
        const Frame& f = frames[--depth];
        if (f.in_a != none) out_a[f.in_a].sz = size_a - f.in_a;
        if (f.in_b != none) out_b[f.in_b].sz = size_b - f.in_b;
    }
    size_a_ = size_a;
    size_b_ = size_b;
}

// The triples with outgroup c on side a (earlier) and a pair from side b (later) and the
// weight, at least one of the pair from side b, that meet at the node whose children are in
// kids_ (`weight` below the node itself).
//   Same outgroup in tree 2: the pair hangs off c's path in one branch x, the top of the edge
//   to a child with b-leaves; every a-leaf under the node but not under that child sees it.
//   Unresolved in tree 2: c, a and b in three different children of the node.
void Engine::count_cross(u64 na, u64 nb, u64 weight, Sums& sums) const {
    u64 top_sum = 0;
    for (const Kid& kid : kids_) {
        const u64 b = kid.b;
        top_sum += kid.top;
        if (b > 0 && na > kid.a)
            sums.resolved_agree += mul(b * kid.top + b * (b - 1) / 2, na - kid.a);
    }
    // Weight in children that hold none of the block's leaves.
    const u64 elsewhere = weight - top_sum;
    if (kids_.size() < 3 && elsewhere == 0) return;
    // Pairs from two different children, b-leaves and weight alike (sum_x, e2_x), minus the
    // pairs of weight alone (sum_w, e2_w); the children without block leaves add weight only.
    u64 sum_x = 0;
    u64 e2_x = 0;
    u64 sum_w = 0;
    u64 e2_w = 0;
    for (const Kid& kid : kids_) {
        const u64 x = u64{kid.b} + kid.top;
        e2_x += x * sum_x;
        sum_x += x;
        e2_w += u64{kid.top} * sum_w;
        sum_w += kid.top;
    }
    for (const Kid& kid : kids_) {
        if (kid.a == 0) continue;
        const u64 x = u64{kid.b} + kid.top;
        const u64 pairs_x = e2_x - x * (sum_x - x);
        const u64 pairs_w = e2_w - kid.top * (sum_w - kid.top);
        sums.resolved_unresolved += mul(pairs_x - pairs_w + elsewhere * (nb - kid.b), kid.a);
    }
}

// A light subtree's own pairs against the weight around it (every other leaf of the path node
// and later, `weight` in all): the pair meets at the node whose children are in kids_; a
// weight leaf outside that node makes it the same outgroup in both trees, one under it in a
// third child leaves tree 2 unresolved.
void Engine::count_pairs(u64 n, u64 weight_below, u64 weight, Sums& sums) const {
    u64 squares = 0;
    u64 top_sum = 0;
    for (const Kid& kid : kids_) {
        const u64 nc = u64{kid.a} + kid.b;
        squares += nc * nc;
        top_sum += kid.top;
    }
    const u64 pairs = (n * n - squares) / 2;
    sums.resolved_agree += mul(pairs, weight - weight_below);
    if (kids_.size() < 3 && weight_below == top_sum) return;
    Acc third = mul(pairs, weight_below);
    for (const Kid& kid : kids_) {
        const u64 nc = u64{kid.a} + kid.b;
        third -= mul(nc * (n - nc), kid.top);
    }
    sums.resolved_unresolved += third;
}

void Engine::step(Block block, std::span<const BNode> tree, Sums& sums) {
    children_ = 0;
    check_interrupt(1 + static_cast<std::int64_t>(tree.size() >> 11));
    if (leaf_count(tree[0]) < 2) return;
    if (block.kind == Kind::path) {
        if (block.first != block.last) {
            split_path(block.first, block.last, block.weight, tree, SplitPlan{}, sums);
            return;
        }
        const u32 s = block.first;
        if (s == t1_.bottom[s]) return;
        block = Block{Kind::groups, false, s, s, t1_.end(s + 1) + 1, t1_.end(s), block.weight};
    }
    step_groups(block, tree, sums);
}

// Splits the leaves that leave the path at first .. last into an earlier and a later half.
void Engine::split_path(u32 first, u32 last, u64 weight, std::span<const BNode> tree,
                        const SplitPlan& plan, Sums& sums) {
    const u64 below = last == t1_.bottom[first] ? 0 : t1_.leaves[last + 1];
    // Leaves of the block that leave the path at x or later.
    const auto from = [&](u32 x) -> u64 { return t1_.leaves[x] - below; };
    const u64 total = from(first);
    // The cut after `mid` that best halves the leaves, so that every leaf takes part in
    // O(log n) splits over all paths together.
    u32 lo = first;
    u32 hi = last - 1;
    while (lo < hi) {
        const u32 mid = lo + (hi - lo) / 2;
        if (from(mid + 1) * 2 <= total) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    u32 mid = lo;
    const auto imbalance = [&](u32 cut) {
        const u64 later = from(cut + 1);
        return std::max(later, total - later);
    };
    if (mid > first && imbalance(mid - 1) < imbalance(mid)) --mid;
    const u32 theta = t1_.end(mid + 1);
    split(
        tree, [theta](u32 key) { return key <= theta; }, plan, sums);
    const u64 later = from(mid + 1);
    if (total - later >= 2) {
        add_child(Block{Kind::path, false, first, mid, 0, 0, weight + later}, 0);
    }
    if (later >= 2) add_child(Block{Kind::path, false, mid + 1, last, 0, 0, weight}, 1);
}

void Engine::step_groups(Block block, std::span<const BNode> tree, Sums& sums) {
    const u32 s = block.first;
    // The light subtrees of more than one leaf in lo .. hi, and their leaves; a subtree of one
    // leaf holds no pair and only counts as weight for the others.
    u64 total = 0;
    u32 groups = 0;
    u32 single = 0;
    u32 only = none;
    for (u32 c = block.lo; c <= block.hi; c += t1_.size[c]) {
        if (t1_.size[c] == 1) {
            ++single;
            continue;
        }
        total += t1_.leaves[c];
        ++groups;
        only = c;
    }
    if (total < 2) return;
    if (!block.folded && single > 0) {
        SplitPlan fold;
        fold.mode = Mode::fold;
        split(
            tree, [&](u32 key) { return t1_.parent[key] == s; }, fold, sums);
        std::swap(folded_, out_a_);
        tree = std::span<const BNode>(folded_.data(), size_a_);
        block.weight += single;
    }
    if (groups == 1) {
        SplitPlan plan;
        plan.group_pairs = true;
        plan.weight = block.weight;
        if (t1_.leaves[only] >= 3) {
            // The subtree's own heavy path, with no weight: its triples involve its leaves only.
            split_path(only, t1_.bottom[only], 0, tree, plan, sums);
        } else {
            // Two leaves: one pair, and no path to split.
            kids_.clear();
            for (u32 c = 1; c < tree.size(); c += tree[c].sz) {
                kids_.push_back({c, leaf_count(tree[c]), 0, tree[c].w + tree[c].e});
            }
            count_pairs(leaf_count(tree[0]), tree[0].w, block.weight, sums);
        }
        return;
    }
    // Two halves of the subtrees, each the other's weight.
    u64 acc = 0;
    u32 seen = 0;
    u32 theta = block.lo;
    for (u32 c = block.lo; c <= block.hi; c += t1_.size[c]) {
        if (t1_.size[c] == 1) continue;
        acc += t1_.leaves[c];
        theta = t1_.end(c);
        if (++seen == groups - 1 || acc * 2 >= total) break;
    }
    SplitPlan plan;
    plan.mode = Mode::exchange;
    split(
        tree, [theta](u32 key) { return key > theta; }, plan, sums);
    add_child(Block{Kind::groups, true, s, s, block.lo, theta, block.weight + (total - acc)}, 0);
    add_child(Block{Kind::groups, true, s, s, theta + 1, block.hi, block.weight + acc}, 1);
}

// Runs a block and everything it leads to on this thread. The blocks waiting at any time hold
// disjoint sets of leaves, so the arena never exceeds about two nodes per leaf of the start.
Sums run_to_end(const Tree1& t1, const Block& start, std::vector<BNode> arena) {
    struct Slot {
        Block block;
        std::size_t offset;
        std::size_t size;
    };
    Engine engine(t1);
    Sums sums;
    std::vector<Slot> stack{{start, 0, arena.size()}};
    while (!stack.empty()) {
        const Slot slot = stack.back();
        stack.pop_back();
        engine.step(slot.block, std::span<const BNode>(arena.data() + slot.offset, slot.size),
                    sums);
        arena.resize(slot.offset);
        for (std::size_t i = 0; i < engine.child_count(); ++i) {
            const std::span<const BNode> tree = engine.child_tree(i);
            stack.push_back({engine.child(i), arena.size(), tree.size()});
            arena.insert(arena.end(), tree.begin(), tree.end());
        }
    }
    return sums;
}

// Splits the largest blocks on this thread until there are a few per worker, then runs them
// on the pool, one chunk per block. The counts are integers, so the total does not depend on
// how the blocks were shared out.
Sums run_blocks(const Tree1& t1, const Block& start, std::vector<BNode> tree, std::size_t workers,
                std::size_t min_nodes) {
    if (workers <= 1 || tree.size() < min_nodes) return run_to_end(t1, start, std::move(tree));
    struct Pending {
        Block block;
        std::vector<BNode> tree;
    };
    std::vector<Pending> pending;
    pending.push_back({start, std::move(tree)});
    Sums sums;
    Engine engine(t1);
    while (!pending.empty() && pending.size() < 4 * workers) {
        const auto largest = std::max_element(
            pending.begin(), pending.end(),
            [](const Pending& x, const Pending& y) { return x.tree.size() < y.tree.size(); });
        if (largest->tree.size() < min_nodes / 4) break;
        std::iter_swap(largest, pending.end() - 1);
        Pending p = std::move(pending.back());
        pending.pop_back();
        engine.step(p.block, p.tree, sums);
        for (std::size_t i = 0; i < engine.child_count(); ++i) {
            const std::span<const BNode> child = engine.child_tree(i);
            pending.push_back({engine.child(i), std::vector<BNode>(child.begin(), child.end())});
        }
    }
    std::vector<Sums> parts(pending.size());
    run_chunks(pending.size(), [&](std::size_t i) {
        parts[i] = run_to_end(t1, pending[i].block, std::move(pending[i].tree));
    });
    for (const Sums& part : parts) sums += part;
    return sums;
}

}  // namespace

namespace detail {

TripletAgreement calculate_triplet_agreement(const SimpleRootedTree& tree1,
                                             const SimpleRootedTree& tree2, std::size_t workers,
                                             std::size_t parallel_min_nodes) {
    TripletAgreement result;
    Sums sums;
    Acc unresolved1 = 0;
    Acc unresolved2 = 0;
    {
        Skeleton s1 = read_skeleton(tree1, "tree1");
        Skeleton s2 = read_skeleton(tree2, "tree2");
        SharedTaxa shared = match_taxa(tree1, s1, tree2, s2);
        result.taxa = shared.taxa;
        result.only_in_tree1 = shared.only1;
        result.only_in_tree2 = shared.only2;
        if (shared.taxa < 3) {
            throw AgreementError("tree1 and tree2 share " + std::to_string(shared.taxa) +
                                 (shared.taxa == 1 ? " taxon" : " taxa") +
                                 " (labels on a leaf of each); a triple needs three");
        }
        Tree1 t1;
        std::vector<BNode> tree;
        {
            const Restricted r1 =
                restrict_tree(s1, [&](std::size_t i) { return shared.shared1[i] != 0; });
            const Restricted r2 =
                restrict_tree(s2, [&](std::size_t i) { return shared.partner2[i] != none; });
            s1 = Skeleton{};
            s2 = Skeleton{};
            unresolved1 = r1.unresolved;
            unresolved2 = r2.unresolved;
            t1 = order_tree1(r1);
            std::vector<u32> key(r2.ids.size(), 0);
            for (std::size_t k = 0; k < key.size(); ++k) {
                const u32 partner = shared.partner2[r2.ids[k]];
                if (partner != none) key[k] = t1.number[r1.index_of[partner]];
            }
            shared = SharedTaxa{};
            tree = tree2_block(r2, key);
        }
        const Block start{Kind::path, false, 0, t1.bottom[0], 0, 0, 0};
        sums = run_blocks(t1, start, std::move(tree), workers, parallel_min_nodes);
    }
    const WideCount triples = choose3(result.taxa);
    const WideCount u1 = wide(unresolved1);
    // Unresolved in both: unresolved in tree 2, less those tree 1 resolves.
    const WideCount uu = wide(unresolved2 - sums.resolved_unresolved);
    const WideCount rr = wide(sums.resolved_agree);
    result.triples = triples;
    result.resolved_agree = rr;
    result.unresolved_in_tree1 = u1;
    result.unresolved_agree = uu;
    result.agree = wide_add(rr, uu);
    result.resolved_in_tree1 = wide_sub(triples, u1);
    result.triplet_distance = wide_sub(triples, result.agree);
    // As the other triplet metrics: counts to doubles first, then divided.
    const double t = to_double(triples);
    result.all_triplets_correct = to_double(result.agree) / t;
    result.resolvable_triplets_correct = result.resolved_in_tree1 == WideCount{}
                                             ? 1.0
                                             : to_double(rr) / to_double(result.resolved_in_tree1);
    result.unresolved_triplets_correct = u1 == WideCount{} ? 1.0 : to_double(uu) / to_double(u1);
    result.proportion_unresolvable = to_double(u1) / t;
    return result;
}

}  // namespace detail

TripletAgreement calculate_triplet_agreement(const SimpleRootedTree& tree1,
                                             const SimpleRootedTree& tree2,
                                             std::optional<std::uint64_t> max_threads) {
    // Below this many nodes of tree 2 a call takes a few milliseconds: not worth the pool.
    constexpr std::size_t parallel_min_nodes = std::size_t{1} << 16;
    std::size_t workers = 1;
    const bool may_share = !max_threads || *max_threads > 1;
    if (may_share && tree2.nodes.size() >= parallel_min_nodes) {
        workers = static_cast<std::size_t>(worker_count(max_threads, pool_size()));
    }
    return detail::calculate_triplet_agreement(tree1, tree2, workers, parallel_min_nodes);
}

}  // namespace veltrane
