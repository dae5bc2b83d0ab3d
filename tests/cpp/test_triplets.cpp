// Triplet internals Python cannot reach: the exact count by middle position against a
// triple-by-triple enumeration for any cut of the middles, the chunk and piece rules, and the
// label-matched agreement's blocks shared out at every size and for several worker counts
// against a plain count of every triple. The metrics themselves are held against plain
// versions in Python.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/pool/chunking.hpp"
#include "core/tree/lca.hpp"
#include "core/tree/newick.hpp"
#include "metrics/triplets/agreement.hpp"
#include "metrics/triplets/exact_triplets.hpp"
#include "metrics/triplets/optimized_triplets.hpp"
#include "metrics/triplets/parallel_triplets.hpp"
#include "test_util.hpp"

namespace veltrane {
namespace {

using Depths = std::vector<std::uint64_t>;

// Every triple p < q < r, its outgroup in each tree read straight from the minima.
TripletTally enumerate(const Depths& adj1, const Depths& adj2) {
    const auto outgroup = [](const Depths& adj, std::size_t p, std::size_t q, std::size_t r) {
        const auto at = [&](std::size_t i) { return adj.begin() + static_cast<std::ptrdiff_t>(i); };
        const std::uint64_t a = *std::min_element(at(p), at(q)),
                            b = *std::min_element(at(q), at(r));
        return a > b ? Outgroup::c : a < b ? Outgroup::a : Outgroup::none;
    };
    TripletTally t;
    for (std::size_t p = 0; p <= adj1.size(); ++p)
        for (std::size_t q = p + 1; q <= adj1.size(); ++q)
            for (std::size_t r = q + 1; r <= adj1.size(); ++r)
                count_trial(t, outgroup(adj1, p, q, r), outgroup(adj2, p, q, r));
    return t;
}

// Profiles of several kinds: few or many distinct depths, combs either way and zigzags (the
// deep stacks), and profiles where most neighbours tie.
Depths random_depths(std::mt19937_64& rng, std::size_t size) {
    Depths adj(size);
    const auto kind = rng() % 5;
    for (std::size_t m = 0; m < size; ++m) {
        adj[m] = kind == 0   ? rng() % 3
                 : kind == 1 ? rng() % 40
                 : kind == 2 ? (rng() % 2 ? m : size - m)
                 : kind == 3 ? std::min(m, size - m) + rng() % 2
                             : (rng() % 4 == 0 ? rng() % 10 : 5);
    }
    return adj;
}

TEST(ExactTriplets, WholeRangeAndAnyCutOfTheMiddlesMatchEnumeration) {
    std::mt19937_64 rng(20261206);
    for (int round = 0; round < 1500; ++round) {
        const std::size_t size = rng() % 48;
        const Depths adj1 = random_depths(rng, size);
        const Depths adj2 = rng() % 4 == 0 ? adj1 : random_depths(rng, size);
        const DepthProfile p1 = DepthProfile::build(adj1), p2 = DepthProfile::build(adj2);
        const TripletTally want = enumerate(adj1, adj2);
        TripletTally pieces;
        for (std::size_t b = 0, e; b < p1.n; b = e) {
            e = std::min(p1.n, b + 1 + rng() % 6);
            pieces += detail::count_triples_by_middle(p1, p2, b, e);
        }
        ASSERT_EQ(detail::count_triples_by_middle(p1, p2, 0, p1.n), want) << round;
        ASSERT_EQ(pieces, want) << round;
    }
}

// The exhaustive plans and the pieces Python cannot see; Python checks the modes, the chunk
// counts and the sampled chunks' trials.
TEST(ChunkRules, ExhaustivePlansAndPieces) {
    using detail::optimized_rules, detail::parallel_rules;
    EXPECT_EQ(worker_count(100, 8), 8U);
    // Past 4,801,280 leaves the triples outnumber 64 bits: no trial count covers them all.
    // (The modes of smaller trees are checked from Python.)
    const std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(detail::triple_count(3000000), 4499995500001000000U);  // math.comb(3000000, 3)
    EXPECT_FALSE(detail::choose_exhaustive(4801281, detail::triple_count(4801281), most, 8, 1e5));
    // {triples, rules, workers, chunks, piece size, pieces}; no pieces means sequential.
    const struct {
        std::uint64_t triples;
        const detail::ChunkRules& rules;
        std::uint64_t workers, chunks, piece_size, pieces;
    } plans[] = {
        {161700, parallel_rules, 8, 8, 10106, 17}, {161700, optimized_rules, 8, 8, 6737, 25},
        {9999, parallel_rules, 8, 1, 0, 0},        {10000, parallel_rules, 8, 2, 5000, 2},
        {12000, optimized_rules, 8, 1, 0, 0},      {16000, optimized_rules, 8, 2, 4000, 4}};
    for (const auto& e : plans) {
        const auto plan = detail::plan_exhaustive(e.triples, e.rules, e.workers);
        EXPECT_EQ(std::tuple(plan.chunk_count, plan.pieces, plan.pieces ? plan.piece_size : 0),
                  std::tuple(e.chunks, e.pieces, e.piece_size))
            << e.triples;
    }
    // Uncapped, the formulas give 40 and 22 exhaustive chunks; the product saturates.
    EXPECT_EQ(chunk_count_for(161700, 8000, 2000, 1000), 40U);
    EXPECT_EQ(chunk_count_for(161700, 12000, 4000, 1000), 22U);
    EXPECT_EQ(chunk_count_for(most, 8000, 2000, 65535), 65535U);
    const std::uint64_t pieces[][3] = {{3, 1, 2},  {4, 2, 2},  {7, 2, 2},  {8, 2, 3},  {15, 2, 3},
                                       {16, 3, 3}, {31, 3, 3}, {32, 3, 4}, {49, 3, 4}, {50, 4, 4}};
    for (const auto& [c, parallel, optimized] : pieces) {
        EXPECT_EQ(pieces_per_chunk_parallel(c), parallel) << c;
        EXPECT_EQ(pieces_per_chunk_optimized(c), optimized) << c;
    }
}

// ---- Label-matched agreement ----

// Random text over labels t0 .. t<n-1> in a random order, with extra taxa, unlabelled leaves
// and internal labels now and then.
std::string random_text(std::mt19937_64& rng, std::size_t n, const char* extra) {
    std::vector<std::string> items;
    for (std::size_t i = 0; i < n; ++i) items.push_back("t" + std::to_string(i));
    for (std::uint64_t i = rng() % 3; i-- > 0;) items.push_back(extra + std::to_string(i));
    if (rng() % 4 == 0) items.emplace_back();
    std::shuffle(items.begin(), items.end(), rng);
    return test_util::random_newick(rng, items, [&] { return rng() % 5 == 0 ? "t1" : ""; });
}

// Every triple of leaf labels both trees carry, each outgroup from the depths of the common
// ancestors (the LCA tables, held against parent walks in test_tree): {triples, agree,
// resolved, resolved_agree, unresolved, unresolved_agree}.
std::array<std::uint64_t, 6> plain_count(SimpleRootedTree& t1, SimpleRootedTree& t2) {
    std::map<std::string, NodeId> leaves2;
    for (const Node& n : t2.nodes)
        if (is_leaf(n) && n.taxa) leaves2[std::string(*n.taxa)] = n.id;
    std::vector<std::array<NodeId, 2>> shared;
    for (const Node& n : t1.nodes) {
        const auto it = n.taxa && is_leaf(n) ? leaves2.find(std::string(*n.taxa)) : leaves2.end();
        if (it != leaves2.end()) shared.push_back({n.id, it->second});
    }
    precompute_constant_time_lca(t1);
    precompute_constant_time_lca(t2);
    std::array<std::uint64_t, 6> c{};
    for (std::size_t i = 0; i < shared.size(); ++i)
        for (std::size_t j = i + 1; j < shared.size(); ++j)
            for (std::size_t k = j + 1; k < shared.size(); ++k) {
                Outgroup o[2];
                for (std::size_t t = 0; t < 2; ++t) {
                    const auto d = [&](std::size_t x, std::size_t y) {
                        return get_lca_depth(t ? t2 : t1, shared[x][t], shared[y][t]);
                    };
                    o[t] = outgroup_from_depths(d(i, j), d(i, k), d(j, k));
                }
                const std::size_t kind = o[0] == Outgroup::none ? 4 : 2;
                c[0] += 1, c[kind] += 1;
                if (o[0] == o[1]) c[1] += 1, c[kind + 1] += 1;
            }
    return c;
}

TEST(TripletAgreement, BlocksSharedOutAtAnySizeMatchThePlainCount) {
    std::mt19937_64 rng(20261207);
    for (int round = 0; round < 400; ++round) {
        const std::size_t n = 3 + rng() % 30;
        SimpleRootedTree t1 = from_newick(random_text(rng, n, "x"));
        SimpleRootedTree t2 = from_newick(random_text(rng, n, "y"));
        const std::array<std::uint64_t, 6> want = plain_count(t1, t2);
        // One worker, then blocks shared out from the first node on for 2 and 3 workers.
        for (const auto& [workers, min_nodes] :
             {std::pair<std::size_t, std::size_t>{1, 1}, {2, 1}, {3, 1}, {3, 8}}) {
            const TripletAgreement r =
                detail::calculate_triplet_agreement(t1, t2, workers, min_nodes);
            std::array<std::uint64_t, 6> got{};
            std::size_t high = 0, i = 0;
            for (const WideCount w : {r.triples, r.agree, r.resolved_in_tree1, r.resolved_agree,
                                      r.unresolved_in_tree1, r.unresolved_agree}) {
                high |= w.high, got[i++] = w.low;
            }
            ASSERT_EQ(got, want) << workers << " workers, round " << round;
            ASSERT_EQ(high, 0u);
            ASSERT_EQ(r.taxa * (r.taxa - 1) * (r.taxa - 2) / 6, want[0]);
            ASSERT_EQ(r.triplet_distance.low, want[0] - want[1]);
        }
    }
}

}  // namespace
}  // namespace veltrane
