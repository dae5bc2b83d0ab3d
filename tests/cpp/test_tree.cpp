// The tree layer against plain versions: the Newick reader's node table for random trees,
// branch lengths against strtof, the walks and LCA depths against parent links (trees a million
// deep too), and the label facts behind the warnings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <ranges>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "core/tree/label_checks.hpp"
#include "core/tree/lca.hpp"
#include "core/tree/newick.hpp"
#include "core/tree/node_iter.hpp"
#include "test_util.hpp"

namespace veltrane {
namespace {

using test_util::walk_depth;

// A node as plain values; a tree is its nodes and its label map.
struct PlainNode {
    std::optional<NodeId> parent;
    std::vector<NodeId> children;
    std::optional<std::string> label;
    std::optional<float> weight;
    bool operator==(const PlainNode&) const = default;
};
using Plain = std::pair<std::vector<PlainNode>, std::map<std::string, NodeId>>;

Plain plain_of(const SimpleRootedTree& tree) {
    Plain p;
    for (const Node& n : tree.nodes) {
        p.first.push_back({n.parent, std::vector<NodeId>(n.children.begin(), n.children.end()),
                           n.taxa ? std::optional<std::string>(*n.taxa) : std::nullopt, n.weight});
    }
    for (const auto& [label, id] : tree.taxa_map) p.second.emplace(label, id);
    return p;
}

// Every White_Space code point, and label characters that share a lead byte with one.
const std::vector<std::string> white_space = {
    "\t",     "\n",     "\v",     "\f",     "\r",     " ",      "\u0085", "\u00a0", "\u1680",
    "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008",
    "\u2009", "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"};
// clang-format off
const std::vector<std::string> letters = {"A", "'", "[", "\u0084", "\u00a1", "\u1681", "\u200b",
                                          "\u2027", "\u202a", "\u205e", "\u3001", "\U0001F333"};
// clang-format on

// Random trees written out with blanks of every kind between and inside the tokens (labels of
// look-alike characters, lengths of all sorts): the reader gives back each node's parent,
// children, label and length, the label map (a repeated label names the node labelled last in
// the text) and each node's label entry. Its rules for any other text, stray delimiters and
// error positions included, are held against a plain reader in Python.
TEST(NewickReader, ReadsBackRandomTreesWrittenWithBlanksOfEveryKind) {
    const std::vector<std::string> lengths = {"1", "-0.25", "1e-3", ".5", "x", "17.125", "-"};
    std::mt19937_64 rng(77);
    for (int round = 0; round < 5000 && !HasFailure(); ++round) {
        std::string text;
        const auto blank = [&] {
            while (rng() % 4 == 0) text += white_space[rng() % white_space.size()];
        };
        Plain want;
        want.first.resize(1 + rng() % 30);
        // Writes v's ")" if it has children, then its label and length.
        const auto close = [&](NodeId v) {
            PlainNode& node = want.first[v];
            text += node.children.empty() ? "" : ")";
            blank();
            std::string label;
            for (std::uint64_t k = rng() % 3; k-- > 0; blank()) {
                const std::string& c = letters[rng() % letters.size()];
                label += c, text += c;
            }
            if (!label.empty()) node.label = label, want.second[label] = v;
            if (rng() % 2 == 0) return;
            const std::string& length = lengths[rng() % lengths.size()];
            text += ":";
            for (const char c : length) blank(), text += c;
            if (v != 0) node.weight = detail::parse_branch_length(length);  // not the root's
        };
        std::vector<NodeId> path{0};  // the open nodes, from the root down
        blank();
        for (NodeId k = 1; k < want.first.size(); ++k) {
            // Node k hangs under a node on the path to k - 1, so ids follow the text.
            for (std::size_t up = rng() % path.size(); up > 0; --up, path.pop_back()) {
                close(path.back());
            }
            PlainNode& parent = want.first[path.back()];
            text += parent.children.empty() ? "(" : ",";
            blank();
            parent.children.push_back(k);
            want.first[k].parent = path.back();
            path.push_back(k);
        }
        for (; !path.empty(); path.pop_back()) close(path.back());
        text += ";";
        SCOPED_TRACE(text);
        const SimpleRootedTree tree = from_newick(text);
        ASSERT_EQ(plain_of(tree), want);
        for (const Node& node : tree.nodes) {  // each label id names its own label's entry
            const std::uint32_t e = tree.nodes.label_ids[node.id];
            ASSERT_EQ(e == no_label ? std::nullopt : std::optional(tree.taxa_map.entry_label(e)),
                      node.taxa);
        }
    }
}

TEST(BranchLength, DecimalsRoundLikeStrtofAndOtherTextsAreAbsent) {
    const auto like_strtof = [](const std::string& text) {
        const std::optional<float> got = detail::parse_branch_length(text);
        const float want = std::strtof(text.c_str(), nullptr);
        ASSERT_TRUE(got.has_value()) << text;
        ASSERT_TRUE(std::isnan(want) ? std::isnan(*got) : *got == want) << text;
        ASSERT_EQ(std::signbit(*got), std::signbit(want)) << text;
    };
    for (const char* text :
         {"0", "-0", "+2", ".5", "5.", "-.5e1", "0.1", "16777217", "1e-40", "8e-46",
          "3.40282357e38", "1e39", "0.001e42", "1e0010", "-Infinity", "iNfInItY", "-NAN",
          "1e99999999999999999999999", "3.14159265358979323846264338327950288"}) {
        like_strtof(text);
    }
    // Lengths as tree writers print them, around the limits of the exact float shortcut.
    std::mt19937_64 rng(2024);
    for (int round = 0; round < 100000 && !HasFailure(); ++round) {
        std::string text = rng() % 4 == 0 ? "-" : "";
        const std::size_t digits = 1 + rng() % 9, point = rng() % (digits + 2);
        for (std::size_t k = 0; k < digits; ++k) {
            text += (k == point ? "." : "") + std::string(1, static_cast<char>('0' + rng() % 10));
        }
        like_strtof(point == digits ? text + "." : text);
    }
    for (const char* text : {"", ".", "+", "e5", "1e", "0x1p3", "nan(1)", "+-1", "1.2.3", "inf5",
                             "infinityy", "1:2", "x", "1f"}) {
        EXPECT_EQ(detail::parse_branch_length(text), std::nullopt) << text;
    }
}

// The walks by their recursive definitions, and LCA depths (the sparse table's minima over the
// Euler tour) by walking up from both nodes: every pair on small trees, sampled pairs on large.
TEST(TreeWalks, RandomTreesMatchTheDefinitions) {
    std::mt19937_64 rng(3);
    for (int round = 0; round < 300; ++round) {
        std::vector<std::string> leaves(1 + rng() % (round % 30 ? 30 : 600));
        for (std::size_t i = 0; i < leaves.size(); ++i) leaves[i] = "t" + std::to_string(i);
        SimpleRootedTree tree =
            from_newick(test_util::random_newick(rng, leaves, [] { return ""; }));
        std::vector<NodeId> pre, post, euler;
        const auto visit = [&](auto&& self, NodeId v) -> void {
            pre.push_back(v);
            euler.push_back(v);
            for (const NodeId c : tree.nodes[v].children) {
                self(self, c);
                euler.push_back(v);
            }
            post.push_back(v);
        };
        visit(visit, 0);
        ASSERT_EQ(preorder_ids(tree, 0), pre);
        ASSERT_EQ(postord_ids(tree, 0), post);
        ASSERT_EQ(euler_walk_ids(tree, 0), euler);
        precompute_constant_time_lca(tree);
        const std::size_t n = tree.nodes.size();
        for (std::size_t q = 0; q < std::min<std::size_t>(n * n, 4000); ++q) {
            const NodeId a = n <= 60 ? q / n : rng() % n, b = n <= 60 ? q % n : rng() % n;
            ASSERT_EQ(get_lca_depth(tree, a, b), walk_depth(tree, test_util::walk_lca(tree, a, b)));
        }
    }
}

TEST(TreeWalks, MillionDeepTreesNeedNoCallStack) {
    std::string text(1000000, '(');
    text += "t";
    for (int i = 0; i < 1000000; ++i) text += ",u)";
    SimpleRootedTree tree = from_newick(text + ";");
    precompute_constant_time_lca(tree);
    // Leaf t is node 1000000, and the first u its sibling.
    EXPECT_EQ(get_lca_depth(tree, 1000000, 1000001), 999999u);
    EXPECT_EQ(postord_ids(tree, 0).size(), tree.nodes.size());
}

// ---- Label facts behind the warnings ----

std::string random_labelled_tree(std::mt19937_64& rng) {
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
    for (int round = 0; round < 4000 && !HasFailure(); ++round) {
        const std::string texts[2] = {random_labelled_tree(rng), random_labelled_tree(rng)};
        SCOPED_TRACE(texts[0] + "  " + texts[1]);
        const SimpleRootedTree a = from_newick(texts[0]), b = from_newick(texts[1]);
        // Per tree: leaf labels in id order ("" for none), the last leaf of each label, and
        // the number of labelled leaves.
        std::vector<std::string> l[2];
        std::map<std::string, std::size_t> row[2];
        std::size_t named[2] = {0, 0};
        for (std::size_t t = 0; t < 2; ++t) {
            for (const Node& node : (t ? b : a).nodes) {
                if (!is_leaf(node)) continue;
                if (node.taxa) row[t][std::string(*node.taxa)] = l[t].size(), ++named[t];
                l[t].emplace_back(node.taxa.value_or(""));
            }
        }
        EXPECT_EQ(count_labelled_leaves(a), named[0]);
        // The reader's leaf digests agree exactly when the leaf label sequences do.
        EXPECT_EQ(a.nodes.leaf_label_digest == b.nodes.leaf_label_digest, l[0] == l[1]);
        const auto n = static_cast<std::ptrdiff_t>(std::min(named[0], named[1]));
        const bool pair = std::equal(l[0].begin(), l[0].begin() + n, l[1].begin());
        EXPECT_EQ(leaves_pair_by_label(a, b), pair);
        const bool same_set =
            std::ranges::equal(std::views::keys(row[0]), std::views::keys(row[1]));
        EXPECT_EQ(same_leaf_label_set(a, b), same_set);
        EXPECT_EQ(same_leaf_label_set(b, a), same_set);
        warned_orders += same_set && !pair ? 1 : 0;
        bool rows = true;
        for (const auto& [label, r] : row[1])
            rows = rows && (!row[0].count(label) || row[0][label] == r);
        EXPECT_EQ(leaf_rows_agree(a, b), rows);
        std::optional<std::string_view> bracketed;
        for (const Node& node : a.nodes) {
            const bool odd =
                node.taxa && node.taxa->find_first_of("'\"[]") != std::string_view::npos;
            if (!bracketed && odd) bracketed = node.taxa;
        }
        EXPECT_EQ(label_with_quote_or_bracket(a), bracketed);
        EXPECT_TRUE(leaves_pair_by_label(a, a) && leaf_rows_agree(a, a));
    }
    EXPECT_GT(warned_orders, 100);  // the cases that warn do come up
}

}  // namespace
}  // namespace veltrane
