// Tests for the pairwise homoplasy score internals against plain per-pair versions: tallies,
// p-values, Simes' combination, chunk counts, the mutation-rate estimate and input checks.
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
#include <unordered_set>
#include <utility>
#include <vector>

#include "character_data.hpp"
#include "phs.hpp"
#include "test_util.hpp"
#include "tree/newick.hpp"
#include "tree/simple_rooted_tree.hpp"

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

std::vector<NodeId> ancestors(const SimpleRootedTree& tree, NodeId v) {
    std::vector<NodeId> path{v};
    while (tree.nodes[v].parent) {
        v = *tree.nodes[v].parent;
        path.push_back(v);
    }
    return path;
}

struct PlainPairs {
    std::vector<std::uint64_t> h;
    std::vector<double> d;
};

PlainPairs plain_pairs(const SimpleRootedTree& tree, const CharacterMatrix& m,
                       const StateMap& states, std::int32_t missing, std::int32_t unedited) {
    std::vector<NodeId> leaves;
    for (const Node& node : tree.nodes) {
        if (node.children.empty() && node.taxa) leaves.push_back(node.id);
    }
    std::map<NodeId, std::vector<std::int32_t>> node_states;
    for (const auto& [label, vec] : states) {
        for (const Node& node : tree.nodes) {
            if (node.taxa == label) {
                node_states[node.id] = vec;
                break;
            }
        }
    }
    PlainPairs out;
    for (std::size_t i = 0; i < leaves.size(); ++i) {
        for (std::size_t j = i + 1; j < leaves.size(); ++j) {
            const std::vector<NodeId> up_i = ancestors(tree, leaves[i]);
            NodeId lca = leaves[j];
            while (std::find(up_i.begin(), up_i.end(), lca) == up_i.end()) {
                lca = *tree.nodes[lca].parent;
            }
            out.d.push_back(static_cast<double>(ancestors(tree, lca).size() - 1));
            std::uint64_t h = 0;
            const auto it = node_states.find(lca);
            if (it != node_states.end()) {
                const auto r = m.row(i);
                const auto t = m.row(j);
                const auto& s = it->second;
                const std::size_t k_end = std::min({r.size(), t.size(), s.size()});
                for (std::size_t k = 0; k < k_end; ++k) {
                    if (r[k] == t[k] && r[k] != missing && t[k] != missing && r[k] != unedited &&
                        s[k] == unedited) {
                        ++h;
                    }
                }
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

std::vector<PairTally> tallies_of(const PlainPairs& pairs) {
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint64_t> counts;
    for (std::size_t i = 0; i < pairs.h.size(); ++i) {
        ++counts[{static_cast<std::uint64_t>(pairs.d[i]), pairs.h[i]}];
    }
    std::vector<PairTally> out;
    for (const auto& [key, n] : counts) out.push_back({key.first, key.second, n});
    return out;
}

void expect_same_tallies(const std::vector<PairTally>& got, const std::vector<PairTally>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].depth, want[i].depth) << "tally " << i;
        EXPECT_EQ(got[i].homoplasy, want[i].homoplasy) << "tally " << i;
        EXPECT_EQ(got[i].pairs, want[i].pairs) << "tally " << i;
    }
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
    const std::size_t n_leaves = 1 + pick(max_leaves);
    std::vector<std::string> pool;
    std::vector<std::string> labels;
    for (std::size_t i = 0; i < n_leaves; ++i) {
        if (pick(10) == 0) {
            pool.emplace_back("");  // an unlabelled leaf
        } else {
            // A small label space repeats some names.
            pool.push_back("t" + std::to_string(pick(n_leaves + 2)));
            labels.push_back(pool.back());
        }
    }
    std::size_t inner = 0;
    while (pool.size() > 1 || pick(8) == 0) {
        const std::size_t arity = std::min(pool.size(), 1 + pick(4));
        std::string text = "(";
        for (std::size_t k = 0; k < arity; ++k) {
            const std::size_t at = pick(pool.size());
            text += (k > 0 ? "," : "") + pool[at];
            pool.erase(pool.begin() + static_cast<std::ptrdiff_t>(at));
        }
        text += ")";
        if (pick(4) != 0) {
            // Some internal nodes share a name with a leaf.
            const std::string label = pick(6) == 0 && !labels.empty()
                                          ? labels[pick(labels.size())]
                                          : "n" + std::to_string(inner++);
            text += label;
            labels.push_back(label);
        }
        pool.push_back(text);
    }
    c.newick = pool[0] + ";";
    c.tree = from_newick(c.newick);
    if (pick(4) == 0) {
        c.missing = 7;
        c.unedited = pick(3) == 0 ? 7 : 3;
    }
    std::size_t labelled = 0;
    for (const Node& node : c.tree.nodes) labelled += node.children.empty() && node.taxa ? 1u : 0u;
    const std::size_t n = pick(6);
    const std::size_t n_rows = labelled + pick(3);
    for (std::size_t r = 0; r < n_rows; ++r) {
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
    labels.push_back("nowhere");
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
        const std::vector<PairTally> want = tallies_of(plain);
        for (const std::size_t code_bytes : {1u, 2u, 4u}) {
            const OptimizedPHSTreeData data = detail::build_phs_tree_data(
                c.tree, c.matrix, c.states, c.missing, c.unedited, code_bytes);
            for (const std::size_t chunks : {1u, 2u, 5u, 64u}) {
                SCOPED_TRACE(std::to_string(code_bytes) + " byte codes, " + std::to_string(chunks) +
                             " chunks");
                expect_same_tallies(calculate_phs_optimized(data, chunks), want);
            }
        }
    }
}

TEST(PhsPairStage, RowsLongerThanOneFlushOfByteLanes) {
    // 600 characters: the byte-lane counters are flushed more than once per comparison.
    std::mt19937_64 rng(3);
    std::vector<std::vector<std::int32_t>> rows(6, std::vector<std::int32_t>(600));
    for (auto& row : rows) {
        for (auto& v : row) v = static_cast<std::int32_t>(rng() % 3);
    }
    rows[1] = rows[0];
    const SimpleRootedTree tree = from_newick("((A,B)X,(C,D,(E,F)Y)Z)R;");
    StateMap states{{"X", std::vector<std::int32_t>(600, 0)},
                    {"R", std::vector<std::int32_t>(590, 0)},
                    {"Y", std::vector<std::int32_t>(600, 0)}};
    const CharacterMatrix m = matrix_of(rows);
    const PlainPairs plain = plain_pairs(tree, m, states, -1, 0);
    EXPECT_GT(plain.h[0], 255u);  // A and B agree on every edited site
    const OptimizedPHSTreeData data = build_phs_tree_data(tree, m, states, -1, 0);
    expect_same_tallies(calculate_phs_optimized(data, 1), tallies_of(plain));
}

TEST(PhsScore, RandomInputsMatchSortingEveryPValue) {
    std::mt19937_64 rng(5);
    const double mus[] = {0.0, 0.05, 0.3, 1.2, std::nan("")};
    const double qs[] = {0.1, 0.0, 1.0, 0.5};
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const RandomCase c = random_case(rng, 30, 3);
        const PlainPairs plain = plain_pairs(c.tree, c.matrix, c.states, c.missing, c.unedited);
        if (plain.h.empty()) continue;
        const double mu = mus[round % 5];
        const double q = qs[(round / 5) % 4];
        const std::uint64_t n = c.matrix.n_characters();
        std::vector<double> p;
        for (std::size_t i = 0; i < plain.h.size(); ++i) {
            p.push_back(plain_pvalue(plain.h[i], plain.d[i], n, mu, q));
        }
        const std::optional<double> want = plain_simes(p);
        const OptimizedPHSTreeData data =
            build_phs_tree_data(c.tree, c.matrix, c.states, c.missing, c.unedited);
        const std::vector<PairTally> tallies = calculate_phs_optimized(data, 1);
        if (want) {
            const double got = calculate_phs_pvalues(tallies, n, mu, q);
            EXPECT_TRUE(same_bits(got, *want)) << got << " vs " << *want;
        } else {
            EXPECT_THROW(calculate_phs_pvalues(tallies, n, mu, q), Panic);
        }
    }
}

TEST(PhsPValues, EveryCountAtADepthMatchesItsOwnSum) {
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

TEST(PhsPValues, TailAddsBinomialCoefficientsOneTenFortyFive) {
    // n = 10, h = 3: 1 - [(1-pi)^10 + 10 pi (1-pi)^9 + 45 pi^2 (1-pi)^8].
    const double mu = 0.4;
    const double q = 0.3;
    const double pi = q * (1.0 - std::exp(-mu)) * (1.0 - std::exp(-mu));
    const double want = 1.0 - (std::pow(1.0 - pi, 10) + 10 * pi * std::pow(1.0 - pi, 9) +
                               45 * pi * pi * std::pow(1.0 - pi, 8));
    EXPECT_NEAR(detail::phs_pvalues_at_depth(3, 0.0, 10, mu, q)[3], want, 1e-14);
}

TEST(PhsPValues, WorkedExampleRootPairs) {
    // Rows [1,2], [1,2], [1,0]: mu = -ln(1/6); the root pairs share one edit.
    const double mu = -std::log(1.0 / 6.0);
    const std::vector<double> p = detail::phs_pvalues_at_depth(1, 0.0, 2, mu, 0.1);
    const double pi = 0.1 * (5.0 / 6.0) * (5.0 / 6.0);
    EXPECT_NEAR(p[1], 1.0 - (1.0 - pi) * (1.0 - pi), 1e-15);
    EXPECT_NEAR(p[1], 0.1340664, 1e-7);
}

TEST(PhsPValues, FloorReplacesExactZeroOnly) {
    // mu = 0 gives pi = 0 away from depth 1; h above n at depth 1 gives p = 0 as well.
    EXPECT_EQ(detail::phs_pvalues_at_depth(2, 3.0, 5, 0.0, 0.1)[1], 0x1p-52);
    const std::vector<double> at_one = detail::phs_pvalues_at_depth(4, 1.0, 2, 0.5, 0.1);
    EXPECT_EQ(at_one[2], 1.0);
    EXPECT_EQ(at_one[3], 0x1p-52);
    EXPECT_EQ(at_one[0], 1.0);
}

TEST(PhsSimes, DocumentedThreeValues) {
    EXPECT_DOUBLE_EQ(detail::simes_grouped({{0.04, 1}, {0.5, 1}, {0.01, 1}}), 0.03);
}

TEST(PhsSimes, GroupedEqualsSortingEveryValue) {
    std::mt19937_64 rng(9);
    // Few distinct values, so that runs of ties are long; some rounded below zero.
    const double values[] = {1.0, 0.5, 0.25, 1e-3, 0x1p-52, -1e-16, -3e-17, 0.75, 0.125};
    for (int round = 0; round < 2000; ++round) {
        std::vector<detail::PValueGroup> groups;
        std::vector<double> flat;
        const std::size_t n_groups = 1 + rng() % 6;
        for (std::size_t g = 0; g < n_groups; ++g) {
            const double p = values[rng() % std::size(values)];
            const std::uint64_t pairs = rng() % 5;
            groups.push_back({p, pairs});
            flat.insert(flat.end(), pairs, p);
        }
        if (flat.empty()) {
            EXPECT_EQ(detail::simes_grouped(groups), std::numeric_limits<double>::infinity());
            continue;
        }
        const double got = detail::simes_grouped(groups);
        EXPECT_TRUE(same_bits(got, *plain_simes(flat))) << got << " vs " << *plain_simes(flat);
    }
}

TEST(PhsSimes, NaNPanicsFromTwoPairsAndPassesThroughForOne) {
    const double nan = std::nan("");
    EXPECT_TRUE(std::isnan(detail::simes_grouped({{nan, 1}})));
    EXPECT_TRUE(std::isnan(detail::simes_grouped({{0.5, 0}, {nan, 1}})));
    EXPECT_THROW(detail::simes_grouped({{nan, 1}, {0.5, 1}}), Panic);
    EXPECT_THROW(detail::simes_grouped({{nan, 2}}), Panic);
}

TEST(PhsChunks, DocumentedExamplesAndCaps) {
    // 127 leaves: 8001 pairs, a = 1, b = 4, g0 = 2. 64 leaves: 2016 pairs, a = 0.
    EXPECT_EQ(detail::phs_chunk_count(8001, std::nullopt, 8), 2u);
    EXPECT_EQ(detail::phs_chunk_count(2016, std::nullopt, 8), 1u);
    EXPECT_EQ(detail::phs_chunk_count(1999, std::nullopt, 8), 1u);
    // 20000 leaves: a = 24998, b = 99995, g0 = 49996.
    const std::uint64_t p = 20000ull * 19999 / 2;
    EXPECT_EQ(detail::phs_chunk_count(p, std::nullopt, 1000000), 49996u);
    EXPECT_EQ(detail::phs_chunk_count(p, std::nullopt, 2), 2u);
    EXPECT_EQ(detail::phs_chunk_count(p, 7, 16), 7u);
    EXPECT_EQ(detail::phs_chunk_count(p, 64, 16), 16u);
    EXPECT_EQ(detail::phs_chunk_count(p, 1, 16), 1u);
    EXPECT_EQ(detail::phs_chunk_count(p, 0, 16), 1u);  // 0 counts as 1, never a division by 0
}

TEST(PhsMutationRate, EstimateFromObservedAndEditedEntries) {
    const CharacterMatrix m = matrix_of({{1, 0, -1}, {1, 2, 0}});
    EXPECT_DOUBLE_EQ(detail::estimate_mutation_rate(m, -1, 0), -std::log(0.4));
    // Every row counts, also rows beyond the tree's leaves; other codes move N and E.
    EXPECT_DOUBLE_EQ(detail::estimate_mutation_rate(m, 0, 1), -std::log(1.0 - 2.0 / 4.0));
    EXPECT_EQ(detail::estimate_mutation_rate(CharacterMatrix{}, -1, 0), 0.1);
    EXPECT_EQ(detail::estimate_mutation_rate(matrix_of({{}, {-1, -1}}), -1, 0), 0.1);
    EXPECT_EQ(detail::estimate_mutation_rate(matrix_of({{3, -1}}), -1, 0),
              std::numeric_limits<double>::infinity());
}

TEST(PhsInputs, TooFewRowsIsAnInputErrorNamingBothCounts) {
    const SimpleRootedTree tree = from_newick("((A,B),(C,,D),E);");
    const CharacterMatrix m = matrix_of({{1}, {1}, {1}});
    try {
        build_phs_tree_data(tree, m, {}, -1, 0);
        FAIL() << "expected PhsInputError";
    } catch (const PhsInputError& e) {
        EXPECT_STREQ(e.what(), "character_matrix has 3 rows but the tree has 5 labelled leaves");
    }
    // One labelled leaf reads no row.
    EXPECT_EQ(
        build_phs_tree_data(from_newick("(A,);"), CharacterMatrix{}, {}, -1, 0).labelled_leaves,
        1u);
}

TEST(PhsInputs, TreesWithoutLabelledLeavesOrWithUnreachableNodesPanic) {
    EXPECT_PANIC(build_phs_tree_data(from_newick("(,);"), CharacterMatrix{}, {}, -1, 0),
                 "the tree has no labelled leaf");
    EXPECT_PANIC(build_phs_tree_data(from_newick(""), CharacterMatrix{}, {}, -1, 0),
                 "the tree has no labelled leaf");
    EXPECT_PANIC(build_phs_tree_data(from_newick("((A,B)"), matrix_of({{1}, {1}}), {}, -1, 0),
                 "node id 1 is unreachable from the root, so no LCA query can be answered");
}

TEST(PhsInputs, StatesGoToTheFirstNodeCarryingTheLabel) {
    // Leaf "X" (id 2) comes before the internal node "X" (id 4): the leaf takes the states,
    // so the pair (C, D) below the internal X counts nothing.
    const SimpleRootedTree tree = from_newick("((X,B),(C,D)X);");
    const CharacterMatrix m = matrix_of({{5}, {6}, {7}, {7}});
    const StateMap states{{"X", {0}}};
    const std::vector<PairTally> tallies =
        calculate_phs_optimized(build_phs_tree_data(tree, m, states, -1, 0), 1);
    expect_same_tallies(tallies, {{0, 0, 4}, {1, 0, 2}});
    const SimpleRootedTree relabelled = from_newick("((Y,B),(C,D)X);");
    expect_same_tallies(
        calculate_phs_optimized(build_phs_tree_data(relabelled, m, states, -1, 0), 1),
        {{0, 0, 4}, {1, 0, 1}, {1, 1, 1}});
}

TEST(PhsScore, WorkedExample) {
    const SimpleRootedTree tree = from_newick("((A,B)X,C)R;");
    const CharacterMatrix m = matrix_of({{1, 2}, {1, 2}, {1, 0}});
    const StateMap states{{"X", {0, 0}}, {"R", {0, 0}}};
    const PhsResult r = phs_optimized(tree, m, states, PhsOptions{});
    EXPECT_NEAR(r.phs_score, 0.2010995, 1e-7);
    EXPECT_EQ(r.total_pairs, 3u);
    EXPECT_EQ(r.method_used, "optimized_sequential");
    EXPECT_EQ(r.parallel_chunks_used, 1u);
}

}  // namespace
}  // namespace veltrane
