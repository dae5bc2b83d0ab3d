// Exact triplet counts by a sweep over the middle position of the triples: the positions left
// of the middle fall into runs with one common-ancestor depth per tree, and the runs of both
// trees together are summed up in aggregated segments, so each step costs O(log n).
#include "metrics/triplets/exact_triplets.hpp"

#include <algorithm>

#include "core/support/interrupt.hpp"
#include "core/support/panic.hpp"

namespace veltrane {

DepthProfile DepthProfile::build(std::span<const std::uint64_t> adjacent_depths) {
    DepthProfile profile;
    profile.adj = adjacent_depths;
    const std::size_t size = adjacent_depths.size();
    profile.n = size + 1;
    profile.run_begin.resize(size);
    profile.reach_after.resize(size);
    profile.drop_after.resize(size);
    std::vector<std::size_t> stack;
    stack.reserve(64);
    for (std::size_t m = 0; m < size; ++m) {
        while (!stack.empty() && adjacent_depths[stack.back()] >= adjacent_depths[m]) {
            stack.pop_back();
        }
        profile.run_begin[m] = stack.empty() ? 0 : stack.back() + 1;
        stack.push_back(m);
    }
    stack.clear();
    for (std::size_t m = size; m-- > 0;) {
        while (!stack.empty() && adjacent_depths[stack.back()] >= adjacent_depths[m]) {
            stack.pop_back();
        }
        profile.drop_after[m] = stack.empty() ? profile.n : stack.back() + 1;
        stack.push_back(m);
    }
    stack.clear();
    for (std::size_t m = size; m-- > 0;) {
        while (!stack.empty() && adjacent_depths[stack.back()] > adjacent_depths[m]) {
            stack.pop_back();
        }
        profile.reach_after[m] = stack.empty() ? profile.n : stack.back() + 1;
        stack.push_back(m);
    }
    return profile;
}

namespace detail {

namespace {

// For a middle q, the positions p < q form runs ("blocks") with one depth A of their ancestor
// with q. Right of q, the depth B of the ancestor of (q, r) stays above A until r = reach,
// equals A until r = drop and is below A from there on: r in (q, reach) makes p the outgroup,
// r in [reach, drop) leaves the triple unresolved, r in [drop, n) makes r the outgroup. Both
// bounds belong to the block's anchor, the last position of the run, and never change.
struct Block {
    std::size_t begin = 0;
    std::uint64_t depth = 0;
    std::size_t reach = 0;
    std::size_t drop = 0;
};

// Over groups of g positions p with one block in each tree:
struct Sums {
    std::uint64_t reach_min = 0;  // sum of g min(reach1, reach2)
    std::uint64_t drop_max = 0;   // sum of g max(drop1, drop2)
    std::uint64_t both_tied = 0;  // sum of g |[reach1, drop1) & [reach2, drop2)|
    std::uint64_t tied1 = 0;      // sum of g (drop1 - reach1)

    Sums& operator+=(const Sums& o) noexcept {
        reach_min += o.reach_min;
        drop_max += o.drop_max;
        both_tied += o.both_tied;
        tied1 += o.tied1;
        return *this;
    }
    Sums& operator-=(const Sums& o) noexcept {
        reach_min -= o.reach_min;
        drop_max -= o.drop_max;
        both_tied -= o.both_tied;
        tied1 -= o.tied1;
        return *this;
    }
};

Sums group_sums(const Block& b1, const Block& b2, std::uint64_t g) noexcept {
    Sums s;
    s.reach_min = g * std::min(b1.reach, b2.reach);
    s.drop_max = g * std::max(b1.drop, b2.drop);
    const std::size_t lo = std::max(b1.reach, b2.reach);
    const std::size_t hi = std::min(b1.drop, b2.drop);
    s.both_tied = hi > lo ? g * (hi - lo) : 0;
    s.tied1 = g * (b1.drop - b1.reach);
    return s;
}

// The blocks of one tree for the current middle, shallowest first. Depths strictly grow
// towards the top, so reach and drop never grow: every comparison against a fixed bound
// splits a range of blocks in two, found by binary search, and prefix sums over the blocks
// give each side's total.
class BlockStack {
 public:
    const std::vector<Block>& blocks() const noexcept { return blocks_; }

    // Adds the run anchored at m (its bounds from the profile) on top.
    void append(const DepthProfile& profile, std::size_t begin, std::size_t m) {
        Block b{begin, profile.adj[m], profile.reach_after[m], profile.drop_after[m]};
        Prefix p;
        if (!blocks_.empty()) {
            const Block& below = blocks_.back();
            const std::uint64_t g = begin - below.begin;
            p = prefix_.back();
            p.g += g;
            p.reach += g * below.reach;
            p.drop += g * below.drop;
            p.tied += g * (below.drop - below.reach);
        }
        blocks_.push_back(b);
        prefix_.push_back(p);
    }

    // Moves the middle past m: position m joins, and the runs whose depth is not below
    // adj[m] merge with it. Returns where the new top block begins.
    std::size_t push(const DepthProfile& profile, std::size_t m) {
        std::size_t begin = m;
        while (!blocks_.empty() && blocks_.back().depth >= profile.adj[m]) {
            begin = blocks_.back().begin;
            blocks_.pop_back();
            prefix_.pop_back();
        }
        append(profile, begin, m);
        return begin;
    }

    // The blocks for the middle q, read from the profile's run starts: the top run is
    // anchored at q - 1 and each run below ends where the one above begins.
    void reset(const DepthProfile& profile, std::size_t q) {
        blocks_.clear();
        prefix_.clear();
        std::vector<std::size_t> anchors;
        for (std::size_t m = q; m > 0;) {
            anchors.push_back(m - 1);
            m = profile.run_begin[m - 1];
        }
        for (std::size_t a = anchors.size(); a-- > 0;) {
            append(profile, profile.run_begin[anchors[a]], anchors[a]);
        }
    }

    // Index of the block holding position p (p below the middle).
    std::size_t block_at(std::size_t p) const noexcept {
        const auto it =
            std::upper_bound(blocks_.begin(), blocks_.end(), p,
                             [](std::size_t value, const Block& b) { return value < b.begin; });
        return static_cast<std::size_t>(it - blocks_.begin()) - 1;
    }

    // Sums of a fixed block of the other tree against whole blocks [lo, hi), hi not the top.
    Sums range_sums(const Block& fixed, bool fixed_is_tree1, std::size_t lo,
                    std::size_t hi) const noexcept {
        Sums s;
        if (lo >= hi) return s;
        const auto first = [&](std::size_t from, std::size_t to, auto pred) {
            while (from < to) {
                const std::size_t mid = from + (to - from) / 2;
                if (pred(blocks_[mid])) {
                    to = mid;
                } else {
                    from = mid + 1;
                }
            }
            return from;
        };
        const auto g = [&](std::size_t a, std::size_t b) { return prefix_[b].g - prefix_[a].g; };
        const auto reach = [&](std::size_t a, std::size_t b) {
            return prefix_[b].reach - prefix_[a].reach;
        };
        const auto drop = [&](std::size_t a, std::size_t b) {
            return prefix_[b].drop - prefix_[a].drop;
        };

        std::size_t k = first(lo, hi, [&](const Block& b) { return b.reach <= fixed.reach; });
        s.reach_min = fixed.reach * g(lo, k) + reach(k, hi);
        k = first(lo, hi, [&](const Block& b) { return b.drop <= fixed.drop; });
        s.drop_max = drop(lo, k) + fixed.drop * g(k, hi);

        // The tie intervals overlap only from the first block that reaches before the fixed
        // one drops, up to the first block that drops no later than the fixed one reaches.
        const std::size_t from =
            first(lo, hi, [&](const Block& b) { return b.reach < fixed.drop; });
        const std::size_t to = first(lo, hi, [&](const Block& b) { return b.drop <= fixed.reach; });
        if (from < to) {
            const std::size_t kd =
                first(from, to, [&](const Block& b) { return b.drop <= fixed.drop; });
            const std::size_t kr =
                first(from, to, [&](const Block& b) { return b.reach <= fixed.reach; });
            const std::uint64_t min_drop = fixed.drop * g(from, kd) + drop(kd, to);
            const std::uint64_t max_reach = reach(from, kr) + fixed.reach * g(kr, to);
            s.both_tied = min_drop - max_reach;
        }
        s.tied1 = fixed_is_tree1 ? (fixed.drop - fixed.reach) * g(lo, hi)
                                 : prefix_[hi].tied - prefix_[lo].tied;
        return s;
    }

 private:
    // Sums over the blocks below each block: positions, and positions times reach, drop and
    // drop - reach. A block's own size is known once the next block is on top of it.
    struct Prefix {
        std::uint64_t g = 0;
        std::uint64_t reach = 0;
        std::uint64_t drop = 0;
        std::uint64_t tied = 0;
    };
    std::vector<Block> blocks_;
    std::vector<Prefix> prefix_;
};

// The positions left of the middle, cut into segments that each lie inside one block of one
// tree (the fixed block) and cover any number of the other tree's blocks, with their sums.
// Moving the middle changes only the top blocks, so only segments at the top are dropped or
// cut, and at most one new segment is added: O(log n) per step, amortised.
class MiddleSweep {
 public:
    MiddleSweep(const DepthProfile& tree1, const DepthProfile& tree2, std::size_t q)
        : profiles_{&tree1, &tree2}, q_(q) {
        stacks_[0].reset(tree1, q);
        stacks_[1].reset(tree2, q);
        const std::vector<Block>& blocks = stacks_[0].blocks();
        for (std::size_t b = 0; b < blocks.size(); ++b) {
            const std::size_t end = b + 1 < blocks.size() ? blocks[b + 1].begin : q;
            add_segment(0, b, blocks[b].begin, end);
        }
    }

    std::size_t middle() const noexcept { return q_; }

    // The triples with the current middle q, 0 < q < n - 1.
    TripletTally tally() const noexcept {
        const std::uint64_t q = q_;
        const std::uint64_t n = profiles_[0]->n;
        const std::uint64_t outgroup_first = totals_.reach_min - (q + 1) * q;
        const std::uint64_t outgroup_last = n * q - totals_.drop_max;
        TripletTally t;
        t.unresolved = totals_.tied1;
        t.unresolved_correct = totals_.both_tied;
        t.resolvable_correct = outgroup_first + outgroup_last;
        t.all_correct = t.resolvable_correct + t.unresolved_correct;
        return t;
    }

    // Moves the middle from q to q + 1.
    void advance() {
        const std::size_t x1 = stacks_[0].push(*profiles_[0], q_);
        const std::size_t x2 = stacks_[1].push(*profiles_[1], q_);
        ++q_;
        const std::size_t x = std::min(x1, x2);
        while (!segments_.empty() && segments_.back().begin >= x) {
            totals_ -= segments_.back().sums;
            segments_.pop_back();
        }
        if (!segments_.empty() && segments_.back().end > x) {
            Segment& s = segments_.back();
            totals_ -= s.sums;
            s.end = x;
            s.sums = segment_sums(s);
            totals_ += s.sums;
        }
        // The new top block of the tree whose merge reached further left spans [x, q).
        const std::size_t side = x1 <= x2 ? 0 : 1;
        add_segment(side, stacks_[side].blocks().size() - 1, x, q_);
    }

 private:
    struct Segment {
        std::size_t begin = 0;
        std::size_t end = 0;
        std::size_t side = 0;  // tree of the fixed block: 0 or 1
        std::size_t fixed = 0;
        Sums sums;
    };

    void add_segment(std::size_t side, std::size_t fixed, std::size_t begin, std::size_t end) {
        Segment s{begin, end, side, fixed, {}};
        s.sums = segment_sums(s);
        totals_ += s.sums;
        segments_.push_back(s);
    }

    Sums segment_sums(const Segment& s) const {
        const Block& f = stacks_[s.side].blocks()[s.fixed];
        const BlockStack& other = stacks_[1 - s.side];
        const std::vector<Block>& blocks = other.blocks();
        const bool fixed_is_tree1 = s.side == 0;
        const auto group = [&](const Block& b, std::uint64_t g) {
            return fixed_is_tree1 ? group_sums(f, b, g) : group_sums(b, f, g);
        };
        const std::size_t lo = other.block_at(s.begin);
        const std::size_t hi = other.block_at(s.end - 1);
        if (lo == hi) return group(blocks[lo], s.end - s.begin);
        Sums sums = group(blocks[lo], blocks[lo + 1].begin - s.begin);
        sums += other.range_sums(f, fixed_is_tree1, lo + 1, hi);
        sums += group(blocks[hi], s.end - blocks[hi].begin);
        return sums;
    }

    const DepthProfile* profiles_[2];
    std::size_t q_;
    BlockStack stacks_[2];
    std::vector<Segment> segments_;
    Sums totals_;
};

}  // namespace

TripletTally count_triples_by_middle(const DepthProfile& tree1, const DepthProfile& tree2,
                                     std::size_t q_begin, std::size_t q_end) {
    const std::size_t n = tree1.n;
    if (tree2.n != n || q_end > n) throw Panic("middle range outside the trees");
    TripletTally tally;
    // Middles run from 1 to n - 2.
    const std::size_t first = std::max<std::size_t>(q_begin, 1);
    const std::size_t last = std::min(q_end, n >= 2 ? n - 1 : 0);
    if (first >= last) return tally;
    MiddleSweep sweep(tree1, tree2, first);
    for (;;) {
        check_interrupt();
        tally += sweep.tally();
        if (sweep.middle() + 1 >= last) break;
        sweep.advance();
    }
    return tally;
}

}  // namespace detail

}  // namespace veltrane
