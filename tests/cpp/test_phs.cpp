// Tests for the pairwise homoplasy score internals against plain per-pair versions: tallies,
// p-values, Simes' combination, chunk counts and the mutation-rate estimate. The whole score is
// held against a plain version in Python.
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

#include "metrics/characters/character_data.hpp"
#include "metrics/phs/phs.hpp"
#include "test_util.hpp"
#include "core/tree/newick.hpp"
#include "core/tree/simple_rooted_tree.hpp"

namespace veltrane {
namespace {

bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

CharacterMatrix matrix_of(const std::vector<std::vector<std::int32_t>>& rows) {
    CharacterMatrix m;
    for (const auto& row : rows) m.push_row(row);
    return m;
}

// ---- Plain versions: every pair, an LCA by parent walk, one p-value per pair, a full sort.

struct PlainPairs {
    std::vector<std::uint64_t> h;
    std::vector<double> d;
};

// Every pair of labelled leaves in id order: the depth of its common ancestor, found by walking
// up from both, and the edits the two rows share where that ancestor's states are unedited.
PlainPairs plain_pairs(const SimpleRootedTree& tree, const CharacterMatrix& m,
                       const StateMap& states, std::int32_t missing, std::int32_t unedited) {
    const auto up = [&](NodeId v) {
        std::vector<NodeId> path{v};
        while (tree.nodes[path.back()].parent) path.push_back(*tree.nodes[path.back()].parent);
        return path;
    };
    std::vector<NodeId> leaves;
    for (const Node& node : tree.nodes) {
        if (node.children.empty() && node.taxa) leaves.push_back(node.id);
    }
    // The first node carrying a label holds that label's states.
    std::map<NodeId, const std::vector<std::int32_t>*> held;
    for (const auto& [label, vec] : states) {
        for (const Node& node : tree.nodes) {
            if (node.taxa == label) {
                held.emplace(node.id, &vec);
                break;
            }
        }
    }
    PlainPairs out;
    for (std::size_t i = 0; i < leaves.size(); ++i) {
        for (std::size_t j = i + 1; j < leaves.size(); ++j) {
            const std::vector<NodeId> path_i = up(leaves[i]), path_j = up(leaves[j]);
            const NodeId lca =
                *std::find_first_of(path_j.begin(), path_j.end(), path_i.begin(), path_i.end());
            out.d.push_back(static_cast<double>(up(lca).size() - 1));
            const auto it = held.find(lca);
            const std::vector<std::int32_t>* s = it != held.end() ? it->second : nullptr;
            std::uint64_t h = 0;
            const auto r = m.row(i), t = m.row(j);
            for (std::size_t k = 0; s && k < std::min({r.size(), t.size(), s->size()}); ++k) {
                h += r[k] == t[k] && r[k] != missing && r[k] != unedited && (*s)[k] == unedited;
            }
            out.h.push_back(h);
        }
    }
    return out;
}

double plain_pvalue(std::uint64_t h, double d, std::uint64_t n, double mu, double q) {
    if (h == 0) return 1.0;
    double pi = 1.0;
    if (d != 1.0) {
        const double t = 1.0 - std::exp(-mu * (1.0 - d));
        pi = q * std::exp(-mu * d) * (t * t);
    }
    double p = 0.0;
    if (pi == 0.0) {
        p = 0.0;
    } else if (pi == 1.0) {
        p = h <= n ? 1.0 : 0.0;
    } else {
        double sum = 0.0;
        for (std::uint64_t k = 0; k < h; ++k) {
            if (k > n) continue;
            double ln_c = 0.0;
            if (k != 0 && k != n) {
                for (std::uint64_t i = 0; i < std::min(k, n - k); ++i) {
                    ln_c += std::log(static_cast<double>(n - i) / static_cast<double>(i + 1));
                }
            }
            sum += std::exp(ln_c + static_cast<double>(k) * std::log(pi) +
                            static_cast<double>(n - k) * std::log(1.0 - pi));
        }
        p = 1.0 - sum;
    }
    return p == 0.0 ? 0x1p-52 : p;
}

// nullopt where sorting would meet a NaN.
std::optional<double> plain_simes(std::vector<double> p) {
    if (p.size() == 1) return p[0];
    if (std::any_of(p.begin(), p.end(), [](double v) { return std::isnan(v); })) {
        return std::nullopt;
    }
    std::sort(p.begin(), p.end());
    const double m = static_cast<double>(p.size());
    double best = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < p.size(); ++i) {
        best = std::min(best, m * p[i] / static_cast<double>(i + 1));
    }
    return best;
}

// Pairs counted by (depth, shared edits), in increasing order of both.
using Tallies = std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint64_t>;

Tallies tallies_of(const PlainPairs& pairs) {
    Tallies out;
    for (std::size_t i = 0; i < pairs.h.size(); ++i) {
        ++out[{static_cast<std::uint64_t>(pairs.d[i]), pairs.h[i]}];
    }
    return out;
}

// The lean tallies as a map; entries out of order or repeated would change it.
Tallies tallies_of(const std::vector<PairTally>& tallies) {
    Tallies out;
    for (const PairTally& t : tallies) {
        if (!out.empty() && out.rbegin()->first >= std::pair{t.depth, t.homoplasy}) {
            ADD_FAILURE() << "tally out of order at depth " << t.depth;
        }
        out[{t.depth, t.homoplasy}] += t.pairs;
    }
    return out;
}

// ---- Random inputs: trees with unary nodes, unlabelled and repeated leaves, labelled
// internal nodes; rows of uneven length; states for some labels, some unknown.

struct RandomCase {
    std::string newick;
    SimpleRootedTree tree;
    CharacterMatrix matrix;
    StateMap states;
    std::int32_t missing = -1;
    std::int32_t unedited = 0;
};

RandomCase random_case(std::mt19937_64& rng, std::size_t max_leaves, int n_states) {
    auto pick = [&](std::uint64_t k) { return static_cast<std::size_t>(rng() % k); };
    RandomCase c;
    // Some leaves unlabelled, and a small label space repeats some names.
    std::vector<std::string> leaves(1 + pick(max_leaves)), labels;
    for (auto& leaf : leaves) {
        if (pick(10) != 0) labels.push_back(leaf = "t" + std::to_string(pick(leaves.size() + 2)));
    }
    std::size_t inner = 0;
    c.newick = test_util::random_newick(rng, leaves, [&]() -> std::string {
        if (pick(4) == 0) return "";
        labels.push_back("n" + std::to_string(inner++));
        return labels.back();
    });
    c.tree = from_newick(c.newick);
    if (pick(4) == 0) {
        c.missing = 7;
        c.unedited = pick(3) == 0 ? 7 : 3;
    }
    std::size_t labelled = 0;
    for (const Node& node : c.tree.nodes) labelled += node.children.empty() && node.taxa ? 1u : 0u;
    const std::size_t n = pick(6);
    for (std::size_t r = 0, n_rows = labelled + pick(3); r < n_rows; ++r) {
        std::vector<std::int32_t> row(n + pick(3) - (n > 0 && pick(3) == 0 ? 1 : 0));
        for (auto& v : row) {
            const std::size_t kind = pick(6);
            v = kind == 0 ? c.missing
                : kind == 1
                    ? c.unedited
                    : static_cast<std::int32_t>(10 + pick(static_cast<std::uint64_t>(n_states)));
        }
        c.matrix.push_row(row);
    }
    for (const std::string& label : labels) {
        if (pick(3) == 0) continue;
        std::vector<std::int32_t> s(pick(n + 3));
        for (auto& v : s) v = pick(4) == 0 ? 1 : c.unedited;
        c.states[label] = s;
    }
    return c;
}

TEST(PhsPairStage, RandomTreesMatchEveryPairTally) {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 400; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const RandomCase c = random_case(rng, round < 300 ? 12 : 60, round % 5 == 0 ? 400 : 4);
        SCOPED_TRACE(c.newick);
        const PlainPairs plain = plain_pairs(c.tree, c.matrix, c.states, c.missing, c.unedited);
        if (plain.h.empty()) continue;
        const Tallies want = tallies_of(plain);
        for (const std::size_t code_bytes : {1u, 2u, 4u}) {
            const OptimizedPHSTreeData data = detail::build_phs_tree_data(
                c.tree, c.matrix, c.states, c.missing, c.unedited, code_bytes);
            for (const std::size_t chunks : {1u, 2u, 5u, 64u}) {
                SCOPED_TRACE(std::to_string(code_bytes) + " byte codes, " + std::to_string(chunks) +
                             " chunks");
                EXPECT_EQ(tallies_of(calculate_phs_optimized(data, chunks)), want);
            }
        }
    }
}

TEST(PhsPairStage, RowsLongerThanOneFlushOfByteLanes) {
    // 600 characters: the byte-lane counters must be flushed within one comparison.
    std::mt19937_64 rng(3);
    std::vector<std::vector<std::int32_t>> rows(6, std::vector<std::int32_t>(600));
    for (auto& row : rows) {
        for (auto& v : row) v = static_cast<std::int32_t>(rng() % 3);
    }
    // A and B agree on every site, all edited: 38 blocks of 16 would overflow the byte lanes
    // without the flush after 31.
    for (auto& v : rows[0]) v = static_cast<std::int32_t>(1 + rng() % 2);
    rows[1] = rows[0];
    const SimpleRootedTree tree = from_newick("((A,B)X,(C,D,(E,F)Y)Z)R;");
    StateMap states{{"X", std::vector<std::int32_t>(600, 0)},
                    {"R", std::vector<std::int32_t>(590, 0)},
                    {"Y", std::vector<std::int32_t>(600, 0)}};
    const CharacterMatrix m = matrix_of(rows);
    const PlainPairs plain = plain_pairs(tree, m, states, -1, 0);
    EXPECT_EQ(plain.h[0], 600u);
    const OptimizedPHSTreeData data = build_phs_tree_data(tree, m, states, -1, 0);
    EXPECT_EQ(tallies_of(calculate_phs_optimized(data, 1)), tallies_of(plain));
}

TEST(PhsPValues, EveryCountAtADepthMatchesItsOwnSum) {
    // Among them: pi = 0 (mu = 0), pi = 1 (depth 1), counts above n, the floor for exact 0.
    const double depths[] = {0.0, 1.0, 2.0, 3.0, 7.0, 40.0};
    const double mus[] = {
        0.0, 0.01, 0.5, 1.791759469228055, 3.0, -0.2, std::numeric_limits<double>::infinity()};
    const double qs[] = {0.1, 0.0, 1.0, 2.0, -0.5};
    for (const std::uint64_t n : {0u, 1u, 2u, 10u, 50u}) {
        for (const double d : depths) {
            for (const double mu : mus) {
                for (const double q : qs) {
                    const std::uint64_t max_h = n + 3;
                    const std::vector<double> p = detail::phs_pvalues_at_depth(max_h, d, n, mu, q);
                    ASSERT_EQ(p.size(), max_h + 1);
                    for (std::uint64_t h = 0; h <= max_h; ++h) {
                        const double want = plain_pvalue(h, d, n, mu, q);
                        EXPECT_TRUE(same_bits(p[h], want))
                            << "n=" << n << " d=" << d << " mu=" << mu << " q=" << q << " h=" << h
                            << ": " << p[h] << " vs " << want;
                    }
                }
            }
        }
    }
}

TEST(PhsSimes, GroupedEqualsSortingEveryValue) {
    EXPECT_DOUBLE_EQ(detail::simes_grouped({{0.04, 1}, {0.5, 1}, {0.01, 1}}), 0.03);
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
        const double got = detail::simes_grouped(groups);
        const double want =
            flat.empty() ? std::numeric_limits<double>::infinity() : *plain_simes(flat);
        EXPECT_TRUE(same_bits(got, want)) << got << " vs " << want;
    }
    // NaN: passed through for one pair (groups of no pairs do not count), a panic from two.
    const double nan = std::nan("");
    EXPECT_TRUE(std::isnan(detail::simes_grouped({{0.5, 0}, {nan, 1}})));
    EXPECT_THROW(detail::simes_grouped({{nan, 1}, {0.5, 1}}), Panic);
    EXPECT_THROW(detail::simes_grouped({{nan, 2}}), Panic);
}

TEST(PhsChunks, CountsAndCaps) {
    // 20000 leaves: a = 24998, b = 99995, g0 = 49996; 127 leaves: 8001 pairs, g0 = 2.
    const std::uint64_t p = 20000ull * 19999 / 2;
    EXPECT_EQ(detail::phs_chunk_count(p, std::nullopt, 1000000), 49996u);
    EXPECT_EQ(detail::phs_chunk_count(p, std::nullopt, 2), 2u);
    EXPECT_EQ(detail::phs_chunk_count(p, 7, 16), 7u);
    EXPECT_EQ(detail::phs_chunk_count(p, 64, 16), 16u);
    EXPECT_EQ(detail::phs_chunk_count(p, 0, 16), 1u);  // 0 counts as 1, never a division by 0
    EXPECT_EQ(detail::phs_chunk_count(8001, std::nullopt, 8), 2u);
    EXPECT_EQ(detail::phs_chunk_count(1999, std::nullopt, 8), 1u);
}

TEST(PhsMutationRate, EstimateFromObservedAndEditedEntries) {
    const CharacterMatrix m = matrix_of({{1, 0, -1}, {1, 2, 0}});
    EXPECT_DOUBLE_EQ(detail::estimate_mutation_rate(m, -1, 0), -std::log(0.4));
    // Other codes move N and E; no observed entry gives 0.1, all of them edited infinity.
    EXPECT_DOUBLE_EQ(detail::estimate_mutation_rate(m, 0, 1), -std::log(1.0 - 2.0 / 4.0));
    EXPECT_EQ(detail::estimate_mutation_rate(CharacterMatrix{}, -1, 0), 0.1);
    EXPECT_EQ(detail::estimate_mutation_rate(matrix_of({{}, {-1, -1}}), -1, 0), 0.1);
    EXPECT_EQ(detail::estimate_mutation_rate(matrix_of({{3, -1}}), -1, 0),
              std::numeric_limits<double>::infinity());
}

}  // namespace
}  // namespace veltrane
