// Label-matched triplet agreement internals Python cannot reach: the block recursion shared out
// at every size and for several worker counts against a plain count of every triple, and the
// 128-bit arithmetic of compilers without a 128-bit integer against the compiler's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/tree/newick.hpp"
#include "metrics/triplets/agreement.hpp"
#include "metrics/triplets/triplets.hpp"
#include "test_util.hpp"

namespace veltrane {
namespace {

struct Plain {
    std::uint64_t taxa = 0, triples = 0, agree = 0, resolved = 0, resolved_agree = 0,
                  unresolved = 0, unresolved_agree = 0;
};

// Every triple of shared leaf labels, each outgroup found by climbing to the common ancestors.
Plain plain_count(const SimpleRootedTree& t1, const SimpleRootedTree& t2) {
    const auto leaves = [](const SimpleRootedTree& t) {
        std::map<std::string, NodeId> out;
        for (const Node& node : t.nodes) {
            if (is_leaf(node) && node.taxa) out[std::string(*node.taxa)] = node.id;
        }
        return out;
    };
    const auto lca_depth = [](const SimpleRootedTree& t, const std::vector<std::uint64_t>& depth,
                              NodeId a, NodeId b) {
        while (depth[a] > depth[b]) a = t.nodes.slots[a].parent;
        while (depth[b] > depth[a]) b = t.nodes.slots[b].parent;
        while (a != b) a = t.nodes.slots[a].parent, b = t.nodes.slots[b].parent;
        return depth[a];
    };
    const auto l1 = leaves(t1), l2 = leaves(t2);
    const auto d1 = compute_depths(t1), d2 = compute_depths(t2);
    std::vector<std::pair<NodeId, NodeId>> shared;
    for (const auto& [label, id] : l1) {
        if (l2.count(label)) shared.emplace_back(id, l2.at(label));
    }
    const auto outgroup = [&](bool second, std::size_t i, std::size_t j, std::size_t k) {
        const auto& t = second ? t2 : t1;
        const auto& d = second ? d2 : d1;
        const auto id = [&](std::size_t x) { return second ? shared[x].second : shared[x].first; };
        return outgroup_from_depths(lca_depth(t, d, id(i), id(j)), lca_depth(t, d, id(i), id(k)),
                                    lca_depth(t, d, id(j), id(k)));
    };
    Plain p;
    p.taxa = shared.size();
    for (std::size_t i = 0; i < shared.size(); ++i)
        for (std::size_t j = i + 1; j < shared.size(); ++j)
            for (std::size_t k = j + 1; k < shared.size(); ++k) {
                const Outgroup o1 = outgroup(false, i, j, k), o2 = outgroup(true, i, j, k);
                ++p.triples;
                (o1 == Outgroup::none ? p.unresolved : p.resolved) += 1;
                if (o1 == o2) {
                    ++p.agree;
                    (o1 == Outgroup::none ? p.unresolved_agree : p.resolved_agree) += 1;
                }
            }
    return p;
}

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

std::uint64_t low(WideCount c) {
    EXPECT_EQ(c.high, 0u);
    return c.low;
}

TEST(TripletAgreement, BlocksSharedOutAtAnySizeMatchThePlainCount) {
    std::mt19937_64 rng(20261207);
    for (int round = 0; round < 400; ++round) {
        const std::size_t n = 3 + rng() % 30;
        const SimpleRootedTree t1 = from_newick(random_text(rng, n, "x"));
        const SimpleRootedTree t2 = from_newick(random_text(rng, n, "y"));
        const Plain p = plain_count(t1, t2);
        // One worker, then blocks shared out from the first node on for 2 and 3 workers.
        for (const auto& [workers, min_nodes] :
             {std::pair<std::size_t, std::size_t>{1, 1}, {2, 1}, {3, 1}, {3, 8}}) {
            const TripletAgreement r =
                detail::calculate_triplet_agreement(t1, t2, workers, min_nodes);
            ASSERT_EQ(r.taxa, p.taxa);
            EXPECT_EQ(low(r.triples), p.triples);
            EXPECT_EQ(low(r.agree), p.agree);
            EXPECT_EQ(low(r.resolved_in_tree1), p.resolved);
            EXPECT_EQ(low(r.resolved_agree), p.resolved_agree);
            EXPECT_EQ(low(r.unresolved_in_tree1), p.unresolved);
            EXPECT_EQ(low(r.unresolved_agree), p.unresolved_agree);
            EXPECT_EQ(low(r.triplet_distance), p.triples - p.agree);
        }
    }
}

#if defined(__SIZEOF_INT128__)
__extension__ typedef unsigned __int128 u128;

u128 native(WideCount c) { return (static_cast<u128>(c.high) << 64) | c.low; }

TEST(WideCount, PortableArithmeticMatchesTheCompilers) {
    std::mt19937_64 rng(7);
    const auto draw = [&] {
        const int kind = static_cast<int>(rng() % 3);
        return kind == 0   ? rng()
               : kind == 1 ? rng() >> (rng() % 64)
                           : ~std::uint64_t{0} - rng() % 3;
    };
    for (int i = 0; i < 100000; ++i) {
        const std::uint64_t a = draw(), b = draw(), c = draw(), d = draw();
        const WideCount x = wide_mul(a, b), y = wide_mul(c, d);
        ASSERT_EQ(native(x), static_cast<u128>(a) * b);
        ASSERT_EQ(native(wide_add(x, y)), native(x) + native(y));
        if (native(x) >= native(y)) {
            ASSERT_EQ(native(wide_sub(x, y)), native(x) - native(y));
        }
        // Correct rounding, ties to even, as the compiler's conversion.
        ASSERT_EQ(to_double(x), static_cast<double>(native(x)));
    }
    // Ties and values just past them, where rounding 128 bits to 53 goes wrong most easily.
    for (int shift = 53; shift < 128; ++shift) {
        const u128 tie = (u128{1} << shift) + (u128{1} << (shift - 53));
        for (const u128 v : {tie, tie + 1, tie - 1, tie + (u128{1} << (shift - 52))}) {
            const WideCount w{static_cast<std::uint64_t>(v >> 64), static_cast<std::uint64_t>(v)};
            ASSERT_EQ(to_double(w), static_cast<double>(v)) << shift;
        }
    }
}

TEST(WideCount, ChooseThreeIsExactUpTo32Bits) {
    for (const std::uint64_t n :
         {std::uint64_t{0}, std::uint64_t{2}, std::uint64_t{3}, std::uint64_t{1000},
          std::uint64_t{4'801'593}, std::uint64_t{5'000'000}, std::uint64_t{0xFFFFFFFF}}) {
        const u128 expected = n < 3 ? 0 : static_cast<u128>(n) * (n - 1) * (n - 2) / 6;
        EXPECT_EQ(native(detail::choose3(n)), expected) << n;
    }
}
#endif

}  // namespace
}  // namespace veltrane
