// Triplet metrics against plain versions built on the straightforward data structures: the n x n
// depth matrix, name lookups, the full list of triples and per-query LCA rebuilds. Also triple
// unranking, piece boundaries and the chunk formulas.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "fast_triplets.hpp"
#include "optimized_triplets.hpp"
#include "panic.hpp"
#include "parallel_triplets.hpp"
#include "pool/pool.hpp"
#include "random/random_source.hpp"
#include "test_util.hpp"
#include "tree/lca.hpp"
#include "tree/newick.hpp"
#include "triplets.hpp"
#include "ultra_fast_triplets.hpp"

namespace veltrane {
namespace {

using detail::Triple;

// ---------------------------------------------------------------------------------------
// Plain versions: every table materialised, every step written out.

struct Counts {
    std::uint64_t all = 0, resolvable = 0, unresolved_correct = 0, unresolved = 0;
    bool operator==(const Counts&) const = default;
};

void plain_count(Counts& c, const std::optional<std::string>& o1,
                 const std::optional<std::string>& o2) {
    if (!o1) {
        ++c.unresolved;
        if (!o2) ++c.all, ++c.unresolved_correct;
    } else if (o2 && *o1 == *o2) {
        ++c.all, ++c.resolvable;
    }
}

// Outgroup label among (a, b, c) from the three pair depths; none on a tie.
std::optional<std::string> plain_rule(std::uint64_t dab, std::uint64_t dac, std::uint64_t dbc,
                                      const std::string& a, const std::string& b,
                                      const std::string& c) {
    if (dab > dac && dab > dbc) return c;
    if (dac > dab && dac > dbc) return b;
    if (dbc > dab && dbc > dac) return a;
    return std::nullopt;
}

TripletRatios plain_ratios(const Counts& c, std::uint64_t total) {
    const double t = static_cast<double>(total);
    const std::uint64_t r = total - c.unresolved;
    TripletRatios out;
    out.all_triplets_correct = static_cast<double>(c.all) / t;
    out.resolvable_triplets_correct =
        r != 0 ? static_cast<double>(c.resolvable) / static_cast<double>(r) : 1.0;
    out.unresolved_triplets_correct =
        c.unresolved != 0
            ? static_cast<double>(c.unresolved_correct) / static_cast<double>(c.unresolved)
            : 1.0;
    out.proportion_unresolvable = static_cast<double>(c.unresolved) / t;
    return out;
}

// What a metric reports, its ratios as bit patterns so that NaN equals NaN and 0.0 differs
// from -0.0; the label metrics leave method, total and chunks at their defaults.
struct Result {
    std::array<std::uint64_t, 4> ratio_bits{};
    std::string method;
    std::uint64_t total = 0, chunks = 1;
    bool operator==(const Result&) const = default;
};

void PrintTo(const Result& r, std::ostream* os) {
    for (const std::uint64_t bits : r.ratio_bits) *os << std::bit_cast<double>(bits) << " ";
    *os << r.method << " " << r.total << " " << r.chunks;
}

Result from_core(const TripletRatios& r) {
    Result out;
    out.ratio_bits = {std::bit_cast<std::uint64_t>(r.all_triplets_correct),
                      std::bit_cast<std::uint64_t>(r.resolvable_triplets_correct),
                      std::bit_cast<std::uint64_t>(r.unresolved_triplets_correct),
                      std::bit_cast<std::uint64_t>(r.proportion_unresolvable)};
    return out;
}

Result from_core(const Result& r) { return r; }

Result from_core(const TripletModeResult& r) {
    Result out = from_core(r.ratios);
    out.method = r.method_used;
    out.total = r.total_triplets_checked;
    out.chunks = r.parallel_chunks_used;
    return out;
}

Result plain_result(const Counts& c, std::uint64_t total, std::string method,
                    std::uint64_t chunks) {
    Result out = from_core(plain_ratios(c, total));
    out.method = std::move(method);
    out.total = total;
    out.chunks = chunks;
    return out;
}

// The label metrics. Reference: every leaf of tree 1 is a candidate, labels are looked up in
// each tree's taxa map and every LCA is rebuilt per query. Fast: the named leaves are the
// candidates, a name stands for the last leaf carrying it, and both trees get their tables
// first.
Result plain_by_label(SimpleRootedTree& t1, SimpleRootedTree& t2, std::uint64_t trials,
                      std::uint64_t seed, bool fast) {
    if (fast) precompute_constant_time_lca(t1), precompute_constant_time_lca(t2);
    std::vector<NodeId> candidates;
    for (const NodeId id : leaf_ids(t1)) {
        if (!fast || t1.nodes[id].taxa) candidates.push_back(id);
    }
    const auto owner = [&](const SimpleRootedTree& t, const std::string& name) {
        if (!fast) return get_taxa_node_id(t, name);
        std::optional<NodeId> last;
        for (const NodeId id : leaf_ids(t)) last = t.nodes[id].taxa == name ? id : last;
        return last;
    };
    const auto outgroup = [&](const SimpleRootedTree& t, const std::string& a, const std::string& b,
                              const std::string& c) -> std::optional<std::string> {
        const auto ia = owner(t, a), ib = owner(t, b), ic = owner(t, c);
        if (!ia || !ib || !ic) return std::nullopt;
        // The fast pair table has no entry for a leaf paired with itself.
        if (fast && (*ia == *ib || *ia == *ic || *ib == *ic)) return std::nullopt;
        return plain_rule(depth(t, get_lca_id(t, *ia, *ib)), depth(t, get_lca_id(t, *ia, *ic)),
                          depth(t, get_lca_id(t, *ib, *ic)), a, b, c);
    };
    RandomSource source = RandomSource::from_u64_seed(seed);
    Counts c;
    for (std::uint64_t trial = 0; trial < trials && candidates.size() >= 3; ++trial) {
        const IndexList d = sample_distinct_indices(source, candidates.size(), 3);
        const auto& la = t1.nodes[candidates[d[0]]].taxa;
        const auto& lb = t1.nodes[candidates[d[1]]].taxa;
        const auto& lc = t1.nodes[candidates[d[2]]].taxa;
        if (!la || !lb || !lc) continue;
        const std::string a(*la), b(*lb), cc(*lc);
        plain_count(c, outgroup(t1, a, b, cc), outgroup(t2, a, b, cc));
    }
    return from_core(plain_ratios(c, trials));
}

// The n x n depth matrix over the first n leaves, n counting the named ones.
struct PlainMatrix {
    std::size_t n = 0;
    std::vector<std::vector<std::uint64_t>> m;

    explicit PlainMatrix(SimpleRootedTree& tree) {
        precompute_constant_time_lca(tree);
        const std::vector<NodeId> all = leaf_ids(tree);
        for (const NodeId id : all) n += tree.nodes[id].taxa ? 1U : 0U;
        m.assign(n, std::vector<std::uint64_t>(n, 0));
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j)
                m[i][j] = depth(tree, get_lca_id(tree, all[i], all[j]));
        }
    }
};

void plain_tally(Counts& c, const PlainMatrix& m1, const PlainMatrix& m2, const Triple& t) {
    const auto outgroup = [&](const PlainMatrix& m) {
        return plain_rule(m.m[t.i][t.j], m.m[t.i][t.k], m.m[t.j][t.k], "i", "j", "k");
    };
    plain_count(c, outgroup(m1), outgroup(m2));
}

std::vector<Triple> all_triples(std::size_t n) {
    std::vector<Triple> out;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j)
            for (std::size_t k = j + 1; k < n; ++k) out.push_back({i, j, k});
    return out;
}

// The positional metrics, every constant spelled out again. The ultra metric is the chunked
// one on a single worker with its own threshold and method names.
struct PlainRules {
    double per_sqrt;
    std::uint64_t exh_seq, ea, eb;
    bool optimized;
    std::uint64_t samp_seq, samp_chunked, sa, sb;
    std::string prefix;
};
const PlainRules plain_ultra{100000.0, 0, 1, 1, false, 0, 0, 1, 1, ""};
const PlainRules plain_parallel{100000.0, 10000, 8000, 2000, false,
                                2000,     5000,  8000, 2000, "parallel_"};
const PlainRules plain_optimized{150000.0, 8000, 12000, 4000, true,
                                 4000,     8000, 12000, 4000, "optimized_"};

Result plain_positional(SimpleRootedTree& t1, SimpleRootedTree& t2, std::uint64_t trials,
                        std::uint64_t seed, std::uint64_t w, const PlainRules& rules) {
    const PlainMatrix m1(t1), m2(t2);
    if (m1.n != m2.n) throw Panic("Trees must have the same number of taxa");
    const std::uint64_t n = m1.n;
    const std::uint64_t k = n >= 3 ? n * (n - 1) * (n - 2) / 6 : 0;
    const auto chunk_formula = [w](std::uint64_t work, std::uint64_t a, std::uint64_t b) {
        const auto x =
            static_cast<std::uint64_t>(std::sqrt(static_cast<double>((work / a) * (work / b))));
        return std::min(w, std::max<std::uint64_t>(1, x));
    };
    Counts c;
    const auto threshold =
        static_cast<std::uint64_t>(std::sqrt(static_cast<double>(w)) * rules.per_sqrt);
    if (n < 26 || k <= trials || k <= threshold) {
        // Pieces split the list of triples, so the counts are those of the whole list.
        for (const Triple& t : all_triples(n)) plain_tally(c, m1, m2, t);
        std::uint64_t chunks = n >= 3 ? chunk_formula(k, rules.ea, rules.eb) : 1;
        if (k < rules.exh_seq || chunks == 1) {
            chunks = 1;
        } else {
            const std::uint64_t d = !rules.optimized ? (chunks < 4     ? 1
                                                        : chunks <= 15 ? 2
                                                        : chunks <= 49 ? 3
                                                                       : 4)
                                                     : (chunks < 8    ? 2
                                                        : chunks < 32 ? 3
                                                                      : 4);
            const std::uint64_t s = std::max<std::uint64_t>(1, k / chunks / d);
            chunks = std::min(chunks, (k + s - 1) / s);
        }
        return plain_result(c, k, rules.prefix + "exhaustive", chunks);
    }
    RandomSource master = RandomSource::from_u64_seed(seed);
    std::uint64_t chunks = trials >= rules.samp_seq ? chunk_formula(trials, rules.sa, rules.sb) : 1;
    if (trials < rules.samp_chunked) chunks = 1;
    std::vector<std::uint64_t> seeds;
    for (std::uint64_t q = 0; chunks > 1 && q < chunks; ++q) seeds.push_back(master.next_u64());
    for (std::uint64_t q = 0; q < chunks; ++q) {
        RandomSource own = RandomSource::from_u64_seed(chunks > 1 ? seeds[q] : 0);
        RandomSource& source = chunks > 1 ? own : master;
        for (std::uint64_t t = 0; t < trials / chunks + (q < trials % chunks ? 1 : 0); ++t) {
            const IndexList d = sample_distinct_indices(source, n, 3);
            plain_tally(c, m1, m2, {d[0], d[1], d[2]});
        }
    }
    return plain_result(c, trials, rules.prefix + "sampling", chunks);
}

// ---------------------------------------------------------------------------------------
// Comparison helpers.

using Outcome = std::variant<Result, std::string>;

// The lean or plain result, or the text of the Panic that ended the computation.
template <typename F>
Outcome outcome(F f) {
    try {
        return from_core(f());
    } catch (const Panic& e) {
        return std::string("Panic: ") + e.what();
    }
}

// Random leaf labels: a small alphabet, so repeats happen, and some leaves unlabelled.
std::vector<std::string> random_labels(std::mt19937_64& rng, std::size_t n) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < n; ++i) {
        if (rng() % 10 == 0) {
            out.emplace_back();
        } else {
            out.push_back(std::string(1, static_cast<char>('A' + rng() % 8)) +
                          std::to_string(rng() % (n + 1)));
        }
    }
    return out;
}

// Random Newick text over the given leaves in that order: runs of 1 to 4 neighbours are
// joined under a new node (runs of one give unary nodes, hence ties), some internal nodes
// get labels, and sometimes the text is cut right after a delimiter, which the reader
// accepts while leaving the unclosed nodes unreachable from the root.
std::string random_newick(std::mt19937_64& rng, const std::vector<std::string>& leaves) {
    std::vector<std::string> items(leaves);
    if (items.empty()) items.emplace_back();
    while (items.size() > 1 || rng() % 3 == 0) {
        const std::size_t run = std::min<std::size_t>(items.size(), 1 + rng() % 4);
        if (run == 1 && rng() % 3 != 0) continue;
        const std::size_t at = rng() % (items.size() - run + 1);
        std::string joined = "(";
        for (std::size_t m = 0; m < run; ++m) joined += (m ? "," : "") + items[at + m];
        joined += ")";
        if (rng() % 6 == 0) joined += rng() % 2 ? leaves[rng() % leaves.size()] : "X";
        items.erase(items.begin() + static_cast<std::ptrdiff_t>(at),
                    items.begin() + static_cast<std::ptrdiff_t>(at + run));
        items.insert(items.begin() + static_cast<std::ptrdiff_t>(at), joined);
    }
    std::string s = items[0];
    if (!s.empty() && rng() % 8 == 0) {
        const std::size_t at = s.find_first_of("(),", rng() % s.size());
        if (at != std::string::npos) return s.substr(0, at + 1);
    }
    return s + ";";
}

// Two random trees: usually over the same leaves in another order (so the named-leaf counts
// agree), sometimes over fresh labels of the same or another count.
std::pair<std::string, std::string> random_pair(std::mt19937_64& rng, std::size_t n) {
    std::vector<std::string> first = random_labels(rng, n);
    std::vector<std::string> second = first;
    switch (rng() % 6) {
        case 0:
            second = random_labels(rng, n);
            break;
        case 1:
            second = random_labels(rng, 1 + rng() % (n + 2));
            break;
        default:
            std::shuffle(second.begin(), second.end(), rng);
    }
    return {random_newick(rng, first), random_newick(rng, second)};
}

// ---------------------------------------------------------------------------------------

TEST(TripleRanks, CountAndUnrankMatchTheLexicographicListing) {
    for (std::size_t n = 0; n <= 24; ++n) {
        const std::vector<Triple> list = all_triples(n);
        ASSERT_EQ(detail::triple_count(n), list.size()) << n;
        for (std::size_t r = 0; r < list.size(); ++r) {
            ASSERT_EQ(detail::unrank_triple(r, n), list[r]) << n << " " << r;
        }
        EXPECT_PANIC(detail::unrank_triple(list.size(), n), "triple rank out of range");
    }
    // The count is exact up to the limit and saturates beyond.
    EXPECT_EQ(detail::triple_count(85), 98770U);
    EXPECT_EQ(detail::triple_count(86), 102340U);
    EXPECT_EQ(detail::triple_count(100), 161700U);
    // From math.comb(3000000, 3); the plain product n (n - 1) (n - 2) overflows 64 bits.
    EXPECT_EQ(detail::triple_count(3000000), 4499995500001000000U);
    EXPECT_EQ(detail::triple_count(5000000), std::numeric_limits<std::uint64_t>::max());
}

TEST(TripleRanks, PiecesMatchSlicesOfTheFullList) {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 40; ++round) {
        const auto [text1, text2] = random_pair(rng, 1 + rng() % 30);
        SimpleRootedTree t1 = from_newick(text1), t2 = from_newick(text2);
        SimpleRootedTree p1 = t1, p2 = t2;
        std::optional<UltraFastTreeData> d1, d2;
        std::optional<PlainMatrix> m1, m2;
        try {
            d1 = UltraFastTreeData::build(t1);
            d2 = UltraFastTreeData::build(t2);
            m1.emplace(p1);
            m2.emplace(p2);
        } catch (const Panic&) {
            continue;  // unreachable nodes: covered elsewhere
        }
        // Pair both trees on the smaller position count by cutting the larger one down.
        const std::size_t n = std::min(d1->n_leaves, d2->n_leaves);
        d1->n_leaves = d2->n_leaves = n;
        d1->adjacent_depths.resize(n > 0 ? n - 1 : 0);
        d2->adjacent_depths.resize(n > 0 ? n - 1 : 0);
        const std::vector<Triple> list = all_triples(n);
        const std::uint64_t k = list.size();
        for (const std::uint64_t size : {std::uint64_t{1}, std::uint64_t{7}, k / 3 + 1, k}) {
            if (size == 0) continue;
            for (std::uint64_t b = 0; b < k; b += size) {
                const std::uint64_t e = std::min(k, b + size);
                Counts want;
                for (std::uint64_t q = b; q < e; ++q) plain_tally(want, *m1, *m2, list[q]);
                const TripletTally got = tally_triple_ranks(*d1, *d2, b, e);
                ASSERT_TRUE((Counts{got.all_correct, got.resolvable_correct, got.unresolved_correct,
                                    got.unresolved} == want))
                    << text1 << " " << text2 << " " << b << " " << e;
            }
        }
        EXPECT_PANIC(tally_triple_ranks(*d1, *d2, 0, k + 1), "triple rank range outside the trees");
    }
}

TEST(ChunkFormulas, ModesPlansAndTrialSplits) {
    using detail::optimized_rules, detail::parallel_rules;
    EXPECT_EQ(detail::worker_count(std::nullopt, 8), 8U);
    EXPECT_EQ(detail::worker_count(3, 8), 3U);
    EXPECT_EQ(detail::worker_count(100, 8), 8U);
    EXPECT_EQ(detail::worker_count(0, 8), 1U);
    // floor(sqrt(8) * 100000) = 282842 triples; fewer than 26 leaves are always exhaustive.
    const double per_sqrt = parallel_rules.exhaustive_triples_per_sqrt_worker;
    EXPECT_TRUE(detail::choose_exhaustive(121, 282842, 0, 8, per_sqrt));
    EXPECT_FALSE(detail::choose_exhaustive(121, 282843, 0, 8, per_sqrt));
    EXPECT_TRUE(detail::choose_exhaustive(121, 282843, 282843, 8, per_sqrt));
    EXPECT_TRUE(detail::choose_exhaustive(25, 1u << 30, 0, 1, per_sqrt));
    EXPECT_FALSE(detail::choose_exhaustive(26, 100001, 0, 1, per_sqrt));
    // {triples, rules, workers, chunks, piece size, pieces}; no pieces means sequential.
    const struct {
        std::uint64_t triples;
        const detail::ChunkRules& rules;
        std::uint64_t workers, chunks, piece_size, pieces;
    } exhaustive[] = {
        {161700, parallel_rules, 8, 8, 10106, 17}, {161700, optimized_rules, 8, 8, 6737, 25},
        {9999, parallel_rules, 8, 1, 0, 0},        {10000, parallel_rules, 8, 2, 5000, 2},
        {12000, optimized_rules, 8, 1, 0, 0},      {16000, optimized_rules, 8, 2, 4000, 4},
        {10000000, parallel_rules, 1, 1, 0, 0}};
    for (const auto& e : exhaustive) {
        const auto plan = detail::plan_exhaustive(e.triples, e.rules, e.workers);
        EXPECT_EQ(plan.chunk_count, e.chunks) << e.triples;
        EXPECT_EQ(plan.pieces, e.pieces) << e.triples;
        EXPECT_EQ(plan.pieces != 0 ? plan.piece_size : 0, e.piece_size) << e.triples;
    }
    // Uncapped, the formulas give 40 and 22 exhaustive chunks, 24 and 14 sampling chunks; the
    // product saturates instead of wrapping.
    EXPECT_EQ(detail::chunk_count_for(161700, 8000, 2000, 1000), 40U);
    EXPECT_EQ(detail::chunk_count_for(161700, 12000, 4000, 1000), 22U);
    EXPECT_EQ(detail::chunk_count_for(100000, 8000, 2000, 1000), 24U);
    EXPECT_EQ(detail::chunk_count_for(100000, 12000, 4000, 1000), 14U);
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(detail::chunk_count_for(max, 8000, 2000, 65535), 65535U);
    EXPECT_EQ(detail::plan_sampling(max, optimized_rules, 2), 2U);
    const std::uint64_t par_divisors[][2] = {{2, 1},  {3, 1},  {4, 2}, {15, 2},
                                             {16, 3}, {49, 3}, {50, 4}};
    for (const auto& [c, d] : par_divisors) EXPECT_EQ(parallel_rules.piece_divisor(c), d) << c;
    const std::uint64_t opt_divisors[][2] = {{2, 2}, {7, 2}, {8, 3}, {31, 3}, {32, 4}, {65535, 4}};
    for (const auto& [c, d] : opt_divisors) EXPECT_EQ(optimized_rules.piece_divisor(c), d) << c;
    EXPECT_EQ(detail::plan_sampling(10000, parallel_rules, 2), 2U);
    EXPECT_EQ(detail::plan_sampling(1999, parallel_rules, 8), 1U);
    EXPECT_EQ(detail::plan_sampling(100000, parallel_rules, 1), 1U);
    EXPECT_EQ(detail::plan_sampling(20000, optimized_rules, 2), 2U);
    EXPECT_EQ(detail::chunk_trials(10000, 3, 0), 3334U);
    EXPECT_EQ(detail::chunk_trials(10000, 3, 2), 3333U);
    EXPECT_EQ(detail::chunk_trials(100000, 8, 7), 12500U);
}

TEST(TripletRatios, ZeroTotalGivesNaNAndOnesAndWideCountsStayExact) {
    const TripletRatios r = triplet_ratios(TripletTally{}, 0);
    EXPECT_TRUE(std::isnan(r.all_triplets_correct));
    EXPECT_EQ(r.resolvable_triplets_correct, 1.0);
    EXPECT_EQ(r.unresolved_triplets_correct, 1.0);
    EXPECT_TRUE(std::isnan(r.proportion_unresolvable));
    // 3e9 trials, all resolved and correct: a 32-bit signed counter would have wrapped.
    const TripletRatios wide = triplet_ratios({3000000000ULL, 3000000000ULL, 0, 0}, 3000000000ULL);
    EXPECT_EQ(wide.all_triplets_correct, 1.0);
    EXPECT_EQ(wide.resolvable_triplets_correct, 1.0);
}

// The lean metrics give the plain versions' values, modes, counts and errors on random trees.
class LeanAgainstPlain : public ::testing::TestWithParam<int> {};

TEST_P(LeanAgainstPlain, ReferenceAndFast) {
    std::mt19937_64 rng(static_cast<std::uint64_t>(GetParam()));
    for (int round = 0; round < 60; ++round) {
        const auto [a, b] = random_pair(rng, 1 + rng() % 12);
        SCOPED_TRACE(a + "  " + b);
        const std::uint64_t trials = rng() % 40;
        const std::uint64_t seed = rng();
        for (const bool fast : {false, true}) {
            const auto lean = outcome([&] {
                SimpleRootedTree t1 = from_newick(a), t2 = from_newick(b);
                return fast ? calculate_triplets_correct_fast(t1, t2, trials, seed)
                            : calculate_triplets_correct(t1, t2, trials, seed);
            });
            const auto plain = outcome([&] {
                SimpleRootedTree t1 = from_newick(a), t2 = from_newick(b);
                return plain_by_label(t1, t2, trials, seed, fast);
            });
            EXPECT_EQ(lean, plain) << (fast ? "fast" : "reference");
        }
    }
}

TEST_P(LeanAgainstPlain, PositionalMetrics) {
    std::mt19937_64 rng(static_cast<std::uint64_t>(GetParam()) + 1000);
    using Metric =
        TripletModeResult (*)(SimpleRootedTree&, SimpleRootedTree&, std::uint64_t,
                              std::optional<std::uint64_t>, std::optional<std::uint64_t>);
    const Metric ultra = [](SimpleRootedTree& t1, SimpleRootedTree& t2, std::uint64_t trials,
                            std::optional<std::uint64_t> seed, std::optional<std::uint64_t>) {
        return calculate_triplets_correct_ultra(t1, t2, trials, seed);
    };
    const std::pair<Metric, const PlainRules*> metrics[] = {
        {ultra, &plain_ultra},
        {&calculate_triplets_correct_parallel, &plain_parallel},
        {&calculate_triplets_correct_optimized, &plain_optimized}};
    for (int round = 0; round < 12; ++round) {
        // Small and mid-sized trees; the big ones reach the sampling and chunked modes.
        const auto [a, b] = random_pair(rng, round % 3 == 0 ? 120 : round % 3 == 1 ? 50 : 12);
        SCOPED_TRACE(a + "  " + b);
        const std::uint64_t seed = rng();
        for (const std::uint64_t trials : {0ULL, 300ULL, 9001ULL, 25001ULL, 1ULL << 40}) {
            for (const std::uint64_t max_threads : {1ULL, 2ULL}) {
                for (const auto& [metric, rules] : metrics) {
                    const std::uint64_t w = rules == &plain_ultra
                                                ? 1
                                                : std::min<std::uint64_t>(max_threads, pool_size());
                    const auto lean = outcome([&] {
                        SimpleRootedTree t1 = from_newick(a), t2 = from_newick(b);
                        return metric(t1, t2, trials, seed, max_threads);
                    });
                    const auto plain = outcome([&] {
                        SimpleRootedTree t1 = from_newick(a), t2 = from_newick(b);
                        return plain_positional(t1, t2, trials, seed, w, *rules);
                    });
                    EXPECT_EQ(lean, plain) << rules->prefix << trials << " " << max_threads;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, LeanAgainstPlain, ::testing::Values(1, 2, 3));

}  // namespace
}  // namespace veltrane
