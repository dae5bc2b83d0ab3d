// Triplet metrics against plain versions built on the straightforward data structures: the n x n
// depth matrix, the FastTreeData maps, the full list of triples and per-query LCA rebuilds.
// Also triple unranking, piece boundaries and the chunk formulas.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
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

std::vector<double> plain_ratios(const Counts& c, std::uint64_t total) {
    const double t = static_cast<double>(total);
    const std::uint64_t r = total - c.unresolved;
    return {static_cast<double>(c.all) / t,
            r != 0 ? static_cast<double>(c.resolvable) / static_cast<double>(r) : 1.0,
            c.unresolved != 0
                ? static_cast<double>(c.unresolved_correct) / static_cast<double>(c.unresolved)
                : 1.0,
            static_cast<double>(c.unresolved) / t};
}

std::vector<double> as_vector(const TripletRatios& r) {
    return {r.all_triplets_correct, r.resolvable_triplets_correct, r.unresolved_triplets_correct,
            r.proportion_unresolvable};
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

// The reference metric with every LCA query rebuilt on the spot and depths by parent walks.
std::vector<double> plain_reference(const SimpleRootedTree& t1, const SimpleRootedTree& t2,
                                    std::uint64_t trials, std::uint64_t seed) {
    RandomSource source = RandomSource::from_u64_seed(seed);
    const auto outgroup = [](const SimpleRootedTree& t, const std::string& a, const std::string& b,
                             const std::string& c) -> std::optional<std::string> {
        const auto ia = get_taxa_node_id(t, a), ib = get_taxa_node_id(t, b),
                   ic = get_taxa_node_id(t, c);
        if (!ia || !ib || !ic) return std::nullopt;
        const std::uint64_t dab = depth(t, get_lca_id(t, *ia, *ib));
        const std::uint64_t dac = depth(t, get_lca_id(t, *ia, *ic));
        const std::uint64_t dbc = depth(t, get_lca_id(t, *ib, *ic));
        return plain_rule(dab, dac, dbc, a, b, c);
    };
    Counts c;
    for (std::uint64_t trial = 0; trial < trials; ++trial) {
        const std::vector<NodeId> leaves = leaf_ids(t1);
        if (leaves.size() < 3) continue;
        const IndexList d = sample_distinct_indices(source, leaves.size(), 3);
        const auto& la = t1.nodes[leaves[d[0]]].taxa;
        const auto& lb = t1.nodes[leaves[d[1]]].taxa;
        const auto& lc = t1.nodes[leaves[d[2]]].taxa;
        if (!la || !lb || !lc) continue;
        const std::string a(*la), b(*lb), cc(*lc);
        const auto o1 = outgroup(t1, a, b, cc);
        const auto o2 = outgroup(t2, a, b, cc);
        plain_count(c, o1, o2);
    }
    return plain_ratios(c, trials);
}

// The fast metric's per-tree maps, with a pair table of n (n - 1) entries.
struct PlainFastTreeData {
    std::vector<NodeId> leaf_ids;
    std::unordered_map<std::string, NodeId> name_to_id;
    std::unordered_map<NodeId, std::string> id_to_name;
    std::map<std::pair<NodeId, NodeId>, std::uint64_t> lca_depths;

    explicit PlainFastTreeData(SimpleRootedTree& tree) {
        precompute_constant_time_lca(tree);
        for (const Node& node : tree.nodes) {
            if (!node.children.empty() || !node.taxa) continue;
            name_to_id[std::string(*node.taxa)] = node.id;
            id_to_name[node.id] = *node.taxa;
            leaf_ids.push_back(node.id);
        }
        for (std::size_t i = 0; i < leaf_ids.size(); ++i) {
            for (std::size_t j = i + 1; j < leaf_ids.size(); ++j) {
                const std::uint64_t d = depth(tree, get_lca_id(tree, leaf_ids[i], leaf_ids[j]));
                lca_depths[{leaf_ids[i], leaf_ids[j]}] = d;
                lca_depths[{leaf_ids[j], leaf_ids[i]}] = d;
            }
        }
    }

    std::optional<std::string> outgroup(const std::string& x, const std::string& y,
                                        const std::string& z) const {
        if (!name_to_id.count(x) || !name_to_id.count(y) || !name_to_id.count(z)) return {};
        if (lca_depths.empty()) return {};
        const NodeId a = name_to_id.at(x), b = name_to_id.at(y), c = name_to_id.at(z);
        const auto xy = lca_depths.find({a, b}), xz = lca_depths.find({a, c}),
                   yz = lca_depths.find({b, c});
        if (xy == lca_depths.end() || xz == lca_depths.end() || yz == lca_depths.end()) return {};
        return plain_rule(xy->second, xz->second, yz->second, x, y, z);
    }
};

std::vector<double> plain_fast(SimpleRootedTree& t1, SimpleRootedTree& t2, std::uint64_t trials,
                               std::uint64_t seed) {
    RandomSource source = RandomSource::from_u64_seed(seed);
    const PlainFastTreeData d1(t1);
    const PlainFastTreeData d2(t2);
    Counts c;
    const std::size_t n = d1.leaf_ids.size();
    if (trials != 0 && n >= 3) {
        for (std::uint64_t trial = 0; trial < trials; ++trial) {
            const IndexList d = sample_distinct_indices(source, n, 3);
            const std::string x = d1.id_to_name.at(d1.leaf_ids[d[0]]);
            const std::string y = d1.id_to_name.at(d1.leaf_ids[d[1]]);
            const std::string z = d1.id_to_name.at(d1.leaf_ids[d[2]]);
            plain_count(c, d1.outgroup(x, y, z), d2.outgroup(x, y, z));
        }
    }
    return plain_ratios(c, trials);
}

// The n x n depth matrix over the first n leaves, n counting the named ones.
struct PlainMatrix {
    std::size_t n = 0;
    std::vector<std::vector<std::uint64_t>> m;

    explicit PlainMatrix(SimpleRootedTree& tree) {
        precompute_constant_time_lca(tree);
        std::vector<NodeId> all;
        for (const Node& node : tree.nodes) {
            if (!node.children.empty()) continue;
            all.push_back(node.id);
            if (node.taxa) ++n;
        }
        m.assign(n, std::vector<std::uint64_t>(n, 0));
        for (std::size_t i = 0; i < n; ++i) {
            m[i][i] = depth(tree, all[i]);
            for (std::size_t j = i + 1; j < n; ++j) {
                m[i][j] = m[j][i] = depth(tree, get_lca_id(tree, all[i], all[j]));
            }
        }
    }

    std::optional<std::string> outgroup(std::size_t i, std::size_t j, std::size_t k) const {
        return plain_rule(m[i][j], m[i][k], m[j][k], std::to_string(i), std::to_string(j),
                          std::to_string(k));
    }
};

void plain_tally(Counts& c, const PlainMatrix& m1, const PlainMatrix& m2, const Triple& t) {
    plain_count(c, m1.outgroup(t.i, t.j, t.k), m2.outgroup(t.i, t.j, t.k));
}

std::vector<Triple> all_triples(std::size_t n) {
    std::vector<Triple> out;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j)
            for (std::size_t k = j + 1; k < n; ++k) out.push_back({i, j, k});
    return out;
}

Counts plain_sampled(const PlainMatrix& m1, const PlainMatrix& m2, RandomSource& source,
                     std::uint64_t trials) {
    Counts c;
    for (std::uint64_t t = 0; t < trials; ++t) {
        const IndexList d = sample_distinct_indices(source, m1.n, std::min<std::size_t>(m1.n, 3));
        plain_tally(c, m1, m2, {d[0], d[1], d[2]});
    }
    return c;
}

void add(Counts& a, const Counts& b) {
    a.all += b.all, a.resolvable += b.resolvable, a.unresolved_correct += b.unresolved_correct;
    a.unresolved += b.unresolved;
}

struct PlainModeResult {
    std::vector<double> ratios;
    std::string method;
    std::uint64_t total = 0;
    std::uint64_t chunks = 1;
};

PlainModeResult plain_ultra(SimpleRootedTree& t1, SimpleRootedTree& t2, std::uint64_t trials,
                            std::uint64_t seed) {
    const PlainMatrix m1(t1), m2(t2);
    if (m1.n != m2.n) throw Panic("Trees must have the same number of taxa");
    const std::uint64_t n = m1.n;
    const std::uint64_t k = n >= 3 ? n * (n - 1) * (n - 2) / 6 : 0;
    PlainModeResult r;
    Counts c;
    if (k <= 100000 || k <= trials) {
        for (const Triple& t : all_triples(n)) plain_tally(c, m1, m2, t);
        r.method = "exhaustive";
        r.total = k;
    } else {
        RandomSource source = RandomSource::from_u64_seed(seed);
        c = plain_sampled(m1, m2, source, trials);
        r.method = "sampling";
        r.total = trials;
    }
    r.ratios = plain_ratios(c, r.total);
    return r;
}

// The chunked metrics, every constant spelled out again.
struct PlainRules {
    double per_sqrt;
    std::uint64_t exh_seq, ea, eb;
    bool optimized;
    std::uint64_t samp_seq, samp_chunked, sa, sb;
    std::string prefix;
};
const PlainRules plain_parallel{100000.0, 10000, 8000, 2000, false,
                                2000,     5000,  8000, 2000, "parallel"};
const PlainRules plain_optimized{150000.0, 8000, 12000, 4000, true,
                                 4000,     8000, 12000, 4000, "optimized"};

PlainModeResult plain_chunked(SimpleRootedTree& t1, SimpleRootedTree& t2, std::uint64_t trials,
                              std::uint64_t seed, std::uint64_t workers, const PlainRules& rules) {
    const PlainMatrix m1(t1), m2(t2);
    if (m1.n != m2.n) throw Panic("Trees must have the same number of taxa");
    const std::uint64_t n = m1.n;
    const std::uint64_t k = n >= 3 ? n * (n - 1) * (n - 2) / 6 : 0;
    const std::uint64_t w = workers;
    PlainModeResult r;
    Counts c;
    const auto threshold =
        static_cast<std::uint64_t>(std::sqrt(static_cast<double>(w)) * rules.per_sqrt);
    if (n < 26 || k <= trials || k <= threshold) {
        r.method = rules.prefix + "_exhaustive";
        r.total = k;
        if (n >= 3) {
            const auto x = static_cast<std::uint64_t>(
                std::sqrt(static_cast<double>((k / rules.ea) * (k / rules.eb))));
            r.chunks = std::min(w, std::max<std::uint64_t>(1, x));
            const std::vector<Triple> list = all_triples(n);
            if (k < rules.exh_seq || r.chunks == 1) {
                r.chunks = 1;
                for (const Triple& t : list) plain_tally(c, m1, m2, t);
            } else {
                std::uint64_t d;
                if (!rules.optimized) {
                    d = r.chunks < 4 ? 1 : r.chunks <= 15 ? 2 : r.chunks <= 49 ? 3 : 4;
                } else {
                    d = r.chunks < 8 ? 2 : r.chunks < 32 ? 3 : 4;
                }
                const std::uint64_t s = std::max<std::uint64_t>(1, k / r.chunks / d);
                std::uint64_t pieces = 0;
                for (std::uint64_t b = 0; b < k; b += s, ++pieces) {
                    Counts piece;
                    for (std::uint64_t q = b; q < std::min(k, b + s); ++q) {
                        plain_tally(piece, m1, m2, list[q]);
                    }
                    add(c, piece);
                }
                r.chunks = std::min(r.chunks, pieces);
            }
        }
    } else {
        r.method = rules.prefix + "_sampling";
        r.total = trials;
        RandomSource master = RandomSource::from_u64_seed(seed);
        std::uint64_t chunks = 1;
        if (trials >= rules.samp_seq) {
            const auto x = static_cast<std::uint64_t>(
                std::sqrt(static_cast<double>((trials / rules.sa) * (trials / rules.sb))));
            chunks = std::min(w, std::max<std::uint64_t>(1, x));
            if (trials < rules.samp_chunked) chunks = 1;
        }
        r.chunks = chunks;
        if (chunks == 1) {
            c = plain_sampled(m1, m2, master, trials);
        } else {
            std::vector<std::uint64_t> seeds;
            for (std::uint64_t q = 0; q < chunks; ++q) seeds.push_back(master.next_u64());
            for (std::uint64_t q = 0; q < chunks; ++q) {
                RandomSource source = RandomSource::from_u64_seed(seeds[q]);
                add(c,
                    plain_sampled(m1, m2, source, trials / chunks + (q < trials % chunks ? 1 : 0)));
            }
        }
    }
    r.ratios = plain_ratios(c, r.total);
    return r;
}

// ---------------------------------------------------------------------------------------
// Comparison helpers.

// Either a value or the text of the Panic that ended the computation.
template <typename T>
using Outcome = std::variant<T, std::string>;

template <typename F>
auto outcome(F f) -> Outcome<decltype(f())> {
    try {
        return f();
    } catch (const Panic& e) {
        return std::string("Panic: ") + e.what();
    }
}

// Bitwise equality, so that NaN equals NaN and 0.0 differs from -0.0.
bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    return std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

PlainModeResult from_core(const TripletModeResult& r) {
    return {as_vector(r.ratios), r.method_used, r.total_triplets_checked, r.parallel_chunks_used};
}

void expect_same(const Outcome<std::vector<double>>& lean,
                 const Outcome<std::vector<double>>& plain, const std::string& what) {
    ASSERT_EQ(lean.index(), plain.index()) << what;
    if (lean.index() == 1) {
        EXPECT_EQ(std::get<1>(lean), std::get<1>(plain)) << what;
    } else {
        EXPECT_TRUE(same_bits(std::get<0>(lean), std::get<0>(plain))) << what;
    }
}

void expect_same(const Outcome<PlainModeResult>& lean, const Outcome<PlainModeResult>& plain,
                 const std::string& what) {
    ASSERT_EQ(lean.index(), plain.index()) << what;
    if (lean.index() == 1) {
        EXPECT_EQ(std::get<1>(lean), std::get<1>(plain)) << what;
        return;
    }
    const PlainModeResult& a = std::get<0>(lean);
    const PlainModeResult& b = std::get<0>(plain);
    EXPECT_TRUE(same_bits(a.ratios, b.ratios)) << what;
    EXPECT_EQ(a.method, b.method) << what;
    EXPECT_EQ(a.total, b.total) << what;
    EXPECT_EQ(a.chunks, b.chunks) << what;
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

TEST(TripleRanks, UnrankMatchesLexicographicListing) {
    for (std::size_t n = 0; n <= 24; ++n) {
        const std::vector<Triple> list = all_triples(n);
        ASSERT_EQ(detail::triple_count(n), list.size()) << n;
        for (std::size_t r = 0; r < list.size(); ++r) {
            ASSERT_EQ(detail::unrank_triple(r, n), list[r]) << n << " " << r;
        }
        EXPECT_PANIC(detail::unrank_triple(list.size(), n), "triple rank out of range");
    }
}

TEST(TripleRanks, CountIsExactUpToTheLimitAndSaturatesBeyond) {
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
        const auto texts = random_pair(rng, 1 + rng() % 30);
        const std::string& text1 = texts.first;
        const std::string& text2 = texts.second;
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
                ASSERT_EQ(got.all_correct, want.all) << text1 << " " << text2 << " " << b;
                ASSERT_EQ(got.resolvable_correct, want.resolvable);
                ASSERT_EQ(got.unresolved_correct, want.unresolved_correct);
                ASSERT_EQ(got.unresolved, want.unresolved);
            }
        }
        EXPECT_PANIC(tally_triple_ranks(*d1, *d2, 0, k + 1), "triple rank range outside the trees");
    }
}

TEST(ChunkFormulas, WorkerCountTreatsZeroAsOne) {
    EXPECT_EQ(detail::worker_count(std::nullopt, 8), 8U);
    EXPECT_EQ(detail::worker_count(3, 8), 3U);
    EXPECT_EQ(detail::worker_count(100, 8), 8U);
    EXPECT_EQ(detail::worker_count(0, 8), 1U);
}

TEST(ChunkFormulas, ModeThresholdsForEightWorkers) {
    const double par = detail::parallel_rules.exhaustive_triples_per_sqrt_worker;
    const double opt = detail::optimized_rules.exhaustive_triples_per_sqrt_worker;
    EXPECT_TRUE(detail::choose_exhaustive(120, 280840, 10000, 8, par));
    EXPECT_FALSE(detail::choose_exhaustive(121, 287980, 10000, 8, par));
    EXPECT_TRUE(detail::choose_exhaustive(121, 287980, 287980, 8, par));
    EXPECT_TRUE(detail::choose_exhaustive(121, 282842, 0, 8, par));
    EXPECT_FALSE(detail::choose_exhaustive(121, 282843, 0, 8, par));
    EXPECT_TRUE(detail::choose_exhaustive(137, 419220, 10000, 8, opt));
    EXPECT_FALSE(detail::choose_exhaustive(138, 428536, 10000, 8, opt));
    EXPECT_TRUE(detail::choose_exhaustive(138, 428536, 428536, 8, opt));
    // Fewer than 26 leaves are always counted exactly.
    EXPECT_TRUE(detail::choose_exhaustive(25, 1u << 30, 0, 1, par));
    EXPECT_FALSE(detail::choose_exhaustive(26, 100001, 0, 1, par));
}

TEST(ChunkFormulas, ExhaustivePiecesForOneHundredLeaves) {
    const auto par = detail::plan_exhaustive(161700, detail::parallel_rules, 8);
    EXPECT_EQ(par.chunk_count, 8U);
    EXPECT_EQ(par.piece_size, 10106U);
    EXPECT_EQ(par.pieces, 17U);
    const auto opt = detail::plan_exhaustive(161700, detail::optimized_rules, 8);
    EXPECT_EQ(opt.chunk_count, 8U);
    EXPECT_EQ(opt.piece_size, 6737U);
    EXPECT_EQ(opt.pieces, 25U);
    // Uncapped, the formulas give 40 and 22 chunks.
    EXPECT_EQ(detail::chunk_count_for(161700, 8000, 2000, 1000), 40U);
    EXPECT_EQ(detail::chunk_count_for(161700, 12000, 4000, 1000), 22U);
}

TEST(ChunkFormulas, ExhaustiveSequentialCutoffs) {
    // Below the cut-off, or one chunk by the formula: sequential, reported as one chunk.
    EXPECT_EQ(detail::plan_exhaustive(9999, detail::parallel_rules, 8).pieces, 0U);
    EXPECT_EQ(detail::plan_exhaustive(9999, detail::parallel_rules, 8).chunk_count, 1U);
    const auto p = detail::plan_exhaustive(10000, detail::parallel_rules, 8);
    EXPECT_EQ(p.chunk_count, 2U);
    EXPECT_EQ(p.piece_size, 5000U);
    EXPECT_EQ(p.pieces, 2U);
    EXPECT_EQ(detail::plan_exhaustive(12000, detail::optimized_rules, 8).pieces, 0U);
    const auto o = detail::plan_exhaustive(16000, detail::optimized_rules, 8);
    EXPECT_EQ(o.chunk_count, 2U);
    EXPECT_EQ(o.piece_size, 4000U);
    EXPECT_EQ(o.pieces, 4U);
    EXPECT_EQ(detail::plan_exhaustive(10000000, detail::parallel_rules, 1).pieces, 0U);
}

TEST(ChunkFormulas, PieceDivisorTables) {
    const auto par = detail::parallel_rules.piece_divisor;
    const auto opt = detail::optimized_rules.piece_divisor;
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> par_table{
        {2, 1}, {3, 1}, {4, 2}, {15, 2}, {16, 3}, {49, 3}, {50, 4}, {65535, 4}};
    for (const auto& [c, d] : par_table) EXPECT_EQ(par(c), d) << c;
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> opt_table{
        {2, 2}, {7, 2}, {8, 3}, {31, 3}, {32, 4}, {65535, 4}};
    for (const auto& [c, d] : opt_table) EXPECT_EQ(opt(c), d) << c;
}

TEST(ChunkFormulas, SamplingChunks) {
    const auto& par = detail::parallel_rules;
    const auto& opt = detail::optimized_rules;
    EXPECT_EQ(detail::plan_sampling(10000, par, 2), 2U);
    EXPECT_EQ(detail::plan_sampling(10000, par, 8), 2U);
    EXPECT_EQ(detail::plan_sampling(100000, par, 8), 8U);
    EXPECT_EQ(detail::chunk_count_for(100000, 8000, 2000, 1000), 24U);
    EXPECT_EQ(detail::plan_sampling(7999, par, 8), 1U);
    EXPECT_EQ(detail::plan_sampling(1999, par, 8), 1U);
    EXPECT_EQ(detail::plan_sampling(10000, opt, 8), 1U);
    EXPECT_EQ(detail::plan_sampling(20000, opt, 2), 2U);
    EXPECT_EQ(detail::plan_sampling(100000, opt, 8), 8U);
    EXPECT_EQ(detail::chunk_count_for(100000, 12000, 4000, 1000), 14U);
    EXPECT_EQ(detail::plan_sampling(100000, par, 1), 1U);
}

TEST(ChunkFormulas, HugeWorkSaturatesToTheWorkerCap) {
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(detail::chunk_count_for(max, 8000, 2000, 65535), 65535U);
    EXPECT_EQ(detail::plan_sampling(max, detail::optimized_rules, 2), 2U);
}

TEST(ChunkFormulas, TrialsPerChunkAddUp) {
    EXPECT_EQ(detail::chunk_trials(10000, 3, 0), 3334U);
    EXPECT_EQ(detail::chunk_trials(10000, 3, 1), 3333U);
    EXPECT_EQ(detail::chunk_trials(10000, 3, 2), 3333U);
    EXPECT_EQ(detail::chunk_trials(100000, 8, 7), 12500U);
}

TEST(OutgroupRule, StrictlyDeepestPairWins) {
    EXPECT_EQ(outgroup_from_depths(3, 1, 1), Outgroup::c);
    EXPECT_EQ(outgroup_from_depths(1, 3, 1), Outgroup::b);
    EXPECT_EQ(outgroup_from_depths(1, 1, 3), Outgroup::a);
    EXPECT_EQ(outgroup_from_depths(2, 2, 1), Outgroup::none);
    EXPECT_EQ(outgroup_from_depths(0, 0, 0), Outgroup::none);
}

TEST(TripletRatios, ZeroTotalGivesNaNAndOnes) {
    const TripletRatios r = triplet_ratios(TripletTally{}, 0);
    EXPECT_TRUE(std::isnan(r.all_triplets_correct));
    EXPECT_EQ(r.resolvable_triplets_correct, 1.0);
    EXPECT_EQ(r.unresolved_triplets_correct, 1.0);
    EXPECT_TRUE(std::isnan(r.proportion_unresolvable));
}

TEST(TripletRatios, CountsBeyondThirtyTwoBitsStayExact) {
    // 3e9 trials, all resolved and correct: a 32-bit signed counter would have wrapped.
    const TripletTally t{3000000000ULL, 3000000000ULL, 0, 0};
    const TripletRatios r = triplet_ratios(t, 3000000000ULL);
    EXPECT_EQ(r.all_triplets_correct, 1.0);
    EXPECT_EQ(r.resolvable_triplets_correct, 1.0);
}

// The lean metrics give the plain versions' values, modes, counts and errors on random trees.
class LeanAgainstPlain : public ::testing::TestWithParam<int> {};

TEST_P(LeanAgainstPlain, ReferenceAndFast) {
    std::mt19937_64 rng(static_cast<std::uint64_t>(GetParam()));
    for (int round = 0; round < 60; ++round) {
        const auto texts = random_pair(rng, 1 + rng() % 12);
        const std::string& a = texts.first;
        const std::string& b = texts.second;
        SCOPED_TRACE(a + "  " + b);
        const std::uint64_t trials = rng() % 40;
        const std::uint64_t seed = rng();
        const auto lean_ref = outcome([&] {
            SimpleRootedTree t1 = from_newick(a), t2 = from_newick(b);
            return as_vector(calculate_triplets_correct(t1, t2, trials, seed));
        });
        const auto plain_ref =
            outcome([&] { return plain_reference(from_newick(a), from_newick(b), trials, seed); });
        expect_same(lean_ref, plain_ref, "reference");
        const auto lean_fast = outcome([&] {
            SimpleRootedTree t1 = from_newick(a), t2 = from_newick(b);
            return as_vector(calculate_triplets_correct_fast(t1, t2, trials, seed));
        });
        const auto plain_fast_result = outcome([&] {
            SimpleRootedTree t1 = from_newick(a), t2 = from_newick(b);
            return plain_fast(t1, t2, trials, seed);
        });
        expect_same(lean_fast, plain_fast_result, "fast");
    }
}

TEST_P(LeanAgainstPlain, PositionalMetrics) {
    std::mt19937_64 rng(static_cast<std::uint64_t>(GetParam()) + 1000);
    const std::uint64_t pool = pool_size();
    for (int round = 0; round < 12; ++round) {
        // Small and mid-sized trees; the big ones reach the sampling and chunked modes.
        const std::size_t size = round % 3 == 0 ? 120 : round % 3 == 1 ? 50 : 12;
        const auto texts = random_pair(rng, size);
        const std::string& a = texts.first;
        const std::string& b = texts.second;
        SCOPED_TRACE(a + "  " + b);
        const std::uint64_t seed = rng();
        for (const std::uint64_t trials :
             {std::uint64_t{0}, std::uint64_t{300}, std::uint64_t{9000}, std::uint64_t{25000},
              std::uint64_t{1} << 40}) {
            const auto lean_ultra = outcome([&] {
                SimpleRootedTree t1 = from_newick(a), t2 = from_newick(b);
                PlainModeResult r =
                    from_core(calculate_triplets_correct_ultra(t1, t2, trials, seed));
                r.chunks = 1;
                return r;
            });
            const auto plain_ultra_result = outcome([&] {
                SimpleRootedTree t1 = from_newick(a), t2 = from_newick(b);
                return plain_ultra(t1, t2, trials, seed);
            });
            expect_same(lean_ultra, plain_ultra_result, "ultra");
            for (const std::uint64_t max_threads : {std::uint64_t{1}, std::uint64_t{2}}) {
                const std::uint64_t w = std::min(max_threads, pool);
                const auto lean_par = outcome([&] {
                    SimpleRootedTree t1 = from_newick(a), t2 = from_newick(b);
                    return from_core(
                        calculate_triplets_correct_parallel(t1, t2, trials, seed, max_threads));
                });
                const auto plain_par = outcome([&] {
                    SimpleRootedTree t1 = from_newick(a), t2 = from_newick(b);
                    return plain_chunked(t1, t2, trials, seed, w, plain_parallel);
                });
                expect_same(lean_par, plain_par, "parallel");
                const auto lean_opt = outcome([&] {
                    SimpleRootedTree t1 = from_newick(a), t2 = from_newick(b);
                    return from_core(
                        calculate_triplets_correct_optimized(t1, t2, trials, seed, max_threads));
                });
                const auto plain_opt = outcome([&] {
                    SimpleRootedTree t1 = from_newick(a), t2 = from_newick(b);
                    return plain_chunked(t1, t2, trials, seed, w, plain_optimized);
                });
                expect_same(lean_opt, plain_opt, "optimized");
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, LeanAgainstPlain, ::testing::Values(1, 2, 3));

}  // namespace
}  // namespace veltrane
