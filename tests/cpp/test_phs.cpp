// Pairwise homoplasy score internals against plain per-pair versions: the pair tallies for every
// chunk cut, the p-values shared across counts, and Simes' combination of grouped p-values. The
// undefined p-values and their message are checked from Python.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/tree/newick.hpp"
#include "metrics/phs/phs.hpp"
#include "test_util.hpp"

namespace veltrane {
namespace {

bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// Pairs counted by (LCA depth, shared edits).
using Tallies = std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint64_t>;

// Every pair of labelled leaves in id order (leaf i reads row i): the depth of its common
// ancestor by walking up, and the edits both rows share where that ancestor's states, those of
// the first node carrying the label, are unedited.
Tallies plain_tallies(const SimpleRootedTree& tree, const CharacterMatrix& m,
                      const StateMap& states, std::int32_t missing, std::int32_t unedited) {
    std::vector<NodeId> leaves;
    for (const Node& node : tree.nodes) {
        if (node.children.empty() && node.taxa) leaves.push_back(node.id);
    }
    Tallies out;
    for (std::size_t i = 0; i < leaves.size(); ++i) {
        for (std::size_t j = i + 1; j < leaves.size(); ++j) {
            const NodeId a = test_util::walk_lca(tree, leaves[i], leaves[j]);
            const std::vector<std::int32_t>* s = nullptr;
            const std::optional<std::string_view> label = tree.nodes[a].taxa;
            if (label && states.contains(std::string(*label))) {
                s = &states.at(std::string(*label));
                for (NodeId v = 0; v < a; ++v)
                    if (tree.nodes[v].taxa == label) s = nullptr;
            }
            std::uint64_t h = 0;
            const auto r = m.row(i), t = m.row(j);
            for (std::size_t k = 0; s && k < std::min({r.size(), t.size(), s->size()}); ++k) {
                if (r[k] == t[k] && r[k] != missing && r[k] != unedited && (*s)[k] == unedited) ++h;
            }
            ++out[{test_util::walk_depth(tree, a), h}];
        }
    }
    return out;
}

TEST(PhsPairStage, RandomTreesMatchEveryPairTallyForEveryChunkCut) {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 400; ++round) {
        const auto pick = [&](std::uint64_t k) { return static_cast<std::size_t>(rng() % k); };
        // Unlabelled and repeated leaves, labelled internal nodes, rows of uneven length (600
        // sites now and then, past one flush of the byte-lane counters), 400 states now and
        // then (two-byte codes), other state codes.
        std::vector<std::string> leaves(1 + pick(round < 300 ? 12 : 60)), labels;
        for (auto& leaf : leaves) {
            if (pick(10) != 0)
                labels.push_back(leaf = "t" + std::to_string(pick(leaves.size() + 2)));
        }
        const std::string text = test_util::random_newick(rng, leaves, [&]() -> std::string {
            if (pick(4) == 0) return "";
            labels.push_back("n" + std::to_string(labels.size()));
            return labels.back();
        });
        SCOPED_TRACE(text);
        const SimpleRootedTree tree = from_newick(text);
        const std::int32_t missing = pick(4) == 0 ? 7 : -1, unedited = missing == 7 ? 3 : 0;
        const std::uint64_t n_states = round % 5 == 0 ? 400 : 3;
        const std::size_t n = round % 40 == 0 ? 600 : pick(6);
        CharacterMatrix m;
        for (std::size_t r = 0; r < leaves.size() + pick(3); ++r) {
            std::vector<std::int32_t> row(n + pick(3));
            for (auto& v : row)
                v = pick(3)   ? 10 + static_cast<std::int32_t>(pick(n_states))
                    : pick(2) ? missing
                              : unedited;
            m.push_row(row);
        }
        StateMap states;
        for (const std::string& label : labels) {
            if (pick(3) == 0) continue;
            std::vector<std::int32_t> s(pick(n + 3));
            for (auto& v : s) v = pick(4) == 0 ? 1 : unedited;
            states[label] = s;
        }
        const Tallies want = plain_tallies(tree, m, states, missing, unedited);
        if (want.empty()) continue;
        const OptimizedPHSTreeData data = build_phs_tree_data(tree, m, states, missing, unedited);
        for (const std::size_t chunks : {1u, 2u, 5u, 64u}) {
            Tallies got;
            for (const PairTally& t : calculate_phs_optimized(data, chunks)) {
                // Sorted by depth, then count, and each key once.
                const std::pair key{t.depth, t.homoplasy};
                ASSERT_TRUE(got.empty() || got.rbegin()->first < key);
                got[key] = t.pairs;
            }
            ASSERT_EQ(got, want) << chunks << " chunks";
        }
    }
}

double plain_pvalue(std::uint64_t h, double d, std::uint64_t n, double mu, double q) {
    if (h == 0) return 1.0;
    const double t = 1.0 - std::exp(-mu * (1.0 - d));
    const double pi = d == 1.0 ? 1.0 : q * std::exp(-mu * d) * (t * t);
    double p = pi == 1.0 ? (h <= n ? 1.0 : 0.0) : 0.0;
    if (pi != 1.0 && pi != 0.0) {
        double sum = 0.0;
        for (std::uint64_t k = 0; k < h && k <= n; ++k) {
            double ln_c = 0.0;
            for (std::uint64_t i = 0; k != n && i < std::min(k, n - k); ++i) {
                ln_c += std::log(static_cast<double>(n - i) / static_cast<double>(i + 1));
            }
            sum += std::exp(ln_c + static_cast<double>(k) * std::log(pi) +
                            static_cast<double>(n - k) * std::log(1.0 - pi));
        }
        p = 1.0 - sum;
    }
    return p == 0.0 ? 0x1p-52 : p;
}

TEST(PhsPValues, EveryCountAtADepthMatchesItsOwnSumBitForBit) {
    // pi = 0 (mu = 0), pi = 1 (depth 1), counts above n, NaN from rates out of range.
    const double inf = std::numeric_limits<double>::infinity();
    for (const std::uint64_t n : {0u, 1u, 2u, 10u, 50u})
        for (const double d : {0.0, 1.0, 2.0, 3.0, 7.0, 40.0})
            for (const double mu : {0.0, 0.01, 0.5, 1.791759469228055, 3.0, -0.2, inf})
                for (const double q : {0.1, 0.0, 1.0, 2.0, -0.5}) {
                    const std::vector<double> p = detail::phs_pvalues_at_depth(n + 3, d, n, mu, q);
                    for (std::uint64_t h = 0; h <= n + 3; ++h) {
                        ASSERT_TRUE(same_bits(p[h], plain_pvalue(h, d, n, mu, q)))
                            << n << " " << d << " " << mu << " " << q << " " << h;
                    }
                }
}

TEST(PhsSimes, GroupedEqualsSortingEveryValue) {
    std::mt19937_64 rng(9);
    // Few distinct values, so that runs of ties are long; some rounded below zero.
    const double values[] = {1.0, 0.5, 0.25, 1e-3, 0x1p-52, -1e-16, -3e-17, 0.75, 0.125};
    for (int round = 0; round < 2000; ++round) {
        std::vector<detail::PValueGroup> groups;
        std::vector<double> flat;
        for (std::size_t g = 0, n_groups = 1 + rng() % 6; g < n_groups; ++g) {
            const double p = values[rng() % std::size(values)];
            const std::uint64_t pairs = rng() % 5;
            groups.push_back({p, pairs});
            flat.insert(flat.end(), pairs, p);
        }
        std::sort(flat.begin(), flat.end());
        double want = flat.size() == 1 ? flat[0] : std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; flat.size() > 1 && i < flat.size(); ++i) {
            want = std::min(
                want, static_cast<double>(flat.size()) * flat[i] / static_cast<double>(i + 1));
        }
        ASSERT_TRUE(same_bits(detail::simes_grouped(groups), want));
    }
    // NaN: passed through for one pair (groups of no pairs do not count), a panic from two.
    const double nan = std::nan("");
    EXPECT_TRUE(std::isnan(detail::simes_grouped({{0.5, 0}, {nan, 1}})));
    EXPECT_THROW(detail::simes_grouped({{nan, 1}, {0.5, 1}}), Panic);
}

}  // namespace
}  // namespace veltrane
