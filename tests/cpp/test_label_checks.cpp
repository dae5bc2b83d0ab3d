// The label facts behind the module's warnings, against plain versions on random trees with
// repeated, missing and bracketed labels.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/tree/label_checks.hpp"
#include "core/tree/newick.hpp"
#include "test_util.hpp"

namespace veltrane {
namespace {

using Labels = std::vector<std::optional<std::string>>;

// Leaf labels in id order.
Labels leaf_labels(const SimpleRootedTree& tree) {
    Labels out;
    for (const Node& node : tree.nodes) {
        if (!is_leaf(node)) continue;
        out.push_back(node.taxa ? std::optional<std::string>(std::string(*node.taxa))
                                : std::nullopt);
    }
    return out;
}

std::size_t named(const Labels& labels) {
    return static_cast<std::size_t>(
        std::count_if(labels.begin(), labels.end(), [](const auto& l) { return l.has_value(); }));
}

std::set<std::string> label_set(const Labels& labels) {
    std::set<std::string> out;
    for (const auto& l : labels)
        if (l) out.insert(*l);
    return out;
}

std::map<std::string, std::size_t> last_row(const Labels& labels) {
    std::map<std::string, std::size_t> out;
    for (std::size_t k = 0; k < labels.size(); ++k)
        if (labels[k]) out[*labels[k]] = k;
    return out;
}

std::string random_tree(std::mt19937_64& rng) {
    static const std::vector<std::string> names = {"A", "B", "C", "D", "", "'E'", "F[G]"};
    std::vector<std::string> leaves(1 + rng() % 7);
    for (auto& leaf : leaves) leaf = names[rng() % (rng() % 3 == 0 ? names.size() : 4)];
    // Often a permutation of the same few labels, so that equal sets in other orders occur.
    if (rng() % 2 == 0) {
        leaves = {"A", "B", "C", "D"};
        std::shuffle(leaves.begin(), leaves.end(), rng);
        leaves.resize(2 + rng() % 3);
    }
    return test_util::random_newick(rng, leaves, [&] { return rng() % 4 == 0 ? "X" : ""; });
}

TEST(LabelChecks, MatchPlainVersionsOnRandomTrees) {
    std::mt19937_64 rng(5);
    int warned_orders = 0;
    for (int round = 0; round < 4000; ++round) {
        const std::string text_a = random_tree(rng);
        const std::string text_b = random_tree(rng);
        const SimpleRootedTree a = from_newick(text_a);
        const SimpleRootedTree b = from_newick(text_b);
        const Labels la = leaf_labels(a);
        const Labels lb = leaf_labels(b);
        SCOPED_TRACE(text_a + "  " + text_b);

        EXPECT_EQ(count_labelled_leaves(a), named(la));
        // The reader's leaf digests agree exactly when the leaf label sequences do.
        EXPECT_EQ(a.nodes.leaf_label_digest == b.nodes.leaf_label_digest, la == lb);
        const std::size_t n = std::min(named(la), named(lb));
        const bool pair =
            std::equal(la.begin(), la.begin() + static_cast<std::ptrdiff_t>(n), lb.begin());
        EXPECT_EQ(leaves_pair_by_label(a, b), pair);
        const bool same_set = label_set(la) == label_set(lb);
        EXPECT_EQ(same_leaf_label_set(a, b), same_set);
        EXPECT_EQ(same_leaf_label_set(b, a), same_set);
        warned_orders += same_set && !pair ? 1 : 0;

        bool rows = true;
        const auto rows_a = last_row(la);
        for (const auto& [label, row] : last_row(lb)) {
            const auto it = rows_a.find(label);
            rows = rows && (it == rows_a.end() || it->second == row);
        }
        EXPECT_EQ(leaf_rows_agree(a, b), rows);

        std::optional<std::string> bracketed;
        for (const Node& node : a.nodes) {
            if (node.taxa && node.taxa->find_first_of("'\"[]") != std::string_view::npos) {
                bracketed = std::string(*node.taxa);
                break;
            }
        }
        const auto found = label_with_quote_or_bracket(a);
        EXPECT_EQ(found ? std::optional<std::string>(std::string(*found)) : std::nullopt,
                  bracketed);
        EXPECT_TRUE(leaves_pair_by_label(a, a));
        EXPECT_TRUE(leaf_rows_agree(a, a));
    }
    EXPECT_GT(warned_orders, 100);  // the cases that warn do come up
}

}  // namespace
}  // namespace veltrane
