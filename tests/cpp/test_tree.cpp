// The tree layer against plain versions: the Newick reader against its rules written out
// character by character, branch lengths against strtof, the walks and LCA depths against
// parent links, and trees nested a million levels deep.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "core/tree/lca.hpp"
#include "core/tree/newick.hpp"
#include "core/tree/node_iter.hpp"
#include "test_util.hpp"

namespace veltrane {
namespace {

// A tree as plain values, the labels as a std::map.
struct Plain {
    std::vector<std::optional<NodeId>> parent;
    std::vector<std::vector<NodeId>> children;
    std::vector<std::optional<std::string>> label;
    std::vector<std::optional<float>> weight;
    std::map<std::string, NodeId> taxa_map;
    NodeId add() {
        parent.emplace_back();
        children.emplace_back();
        label.emplace_back();
        weight.emplace_back();
        return parent.size() - 1;
    }
    bool operator==(const Plain&) const = default;
};

Plain plain_of(const SimpleRootedTree& tree) {
    Plain p;
    for (const Node& node : tree.nodes) {
        p.add();
        p.parent.back() = node.parent;
        p.children.back().assign(node.children.begin(), node.children.end());
        if (node.taxa) p.label.back() = std::string(*node.taxa);
        p.weight.back() = node.weight;
    }
    for (const auto& [label, id] : tree.taxa_map) p.taxa_map.emplace(std::string(label), id);
    return p;
}

// Every White_Space code point, and label characters that share a lead byte with one.
const std::vector<std::string> white_space = {
    "\t",     "\n",     "\v",     "\f",     "\r",     " ",      "\u0085", "\u00a0", "\u1680",
    "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008",
    "\u2009", "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"};
const std::vector<std::string> letters = {"A",      "'",      "[",         "\u0084", "\u00a1",
                                          "\u1681", "\u200b", "\u2027",    "\u202a", "\u205e",
                                          "\u3001", "\u00e9", "\U0001F333"};

// The reading rules, literally: code points, White_Space dropped, one character at a time.
// Gives the tree, the error position, or "panic".
std::variant<Plain, std::size_t, std::string> literal_read(const std::string& text) {
    std::vector<std::string> c;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t width = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        std::string ch = text.substr(i, width);
        i += width;
        if (std::find(white_space.begin(), white_space.end(), ch) == white_space.end()) {
            c.push_back(ch);
        }
    }
    Plain tree;
    NodeId current = tree.add();
    std::vector<NodeId> stack;
    std::string label, length;
    const auto set_label = [&](NodeId id) {
        if (label.empty()) return;
        tree.label[id] = label;
        tree.taxa_map[label] = id;
    };
    for (std::size_t i = 0; i < c.size();) {
        if (c[i] == "(") {
            stack.push_back(current);
            current = tree.add();
            ++i;
        } else if (c[i] == ")" || c[i] == ",") {
            if (stack.empty()) return i;
            const NodeId p = stack.back();
            tree.children[p].push_back(current);
            tree.parent[current] = p;
            tree.weight[current] = detail::parse_branch_length(length);
            set_label(current);
            label.clear();
            length.clear();
            if (c[i] == ",") {
                current = tree.add();
            } else {
                current = p;
                stack.pop_back();
            }
            ++i;
        } else if (c[i] == ";") {
            set_label(current);
            return tree;
        } else {
            const bool is_length = c[i] == ":";
            i += is_length ? 1 : 0;
            std::string& buffer = is_length ? length : label;
            for (; i < c.size() && c[i] != "(" && c[i] != ")" && c[i] != "," && c[i] != ";" &&
                   (is_length || c[i] != ":");
                 ++i) {
                buffer += c[i];
            }
            if (i == c.size()) return std::string("panic");
        }
    }
    return tree;
}

TEST(NewickReader, RandomTextsReadAsTheRulesSay) {
    // Nesting, reopened nodes, stray delimiters, labels and lengths split by "(" or by blanks;
    // "w" stands for a random White_Space code point, "l" for a look-alike label character.
    const std::vector<std::string> alphabet = {"(", "(", ")", ")", ",", ",", ":", ";", "1",
                                               ".", "5", "e", "-", "w", "w", "l", "l", "T12"};
    std::mt19937_64 rng(77);
    for (int round = 0; round < 20000 && !HasFailure(); ++round) {
        std::string text;
        for (std::size_t k = rng() % (round % 10 == 0 ? 120 : 30); k > 0; --k) {
            const std::string& a = alphabet[rng() % alphabet.size()];
            text += a == "w"   ? white_space[rng() % white_space.size()]
                    : a == "l" ? letters[rng() % letters.size()]
                               : a;
        }
        if (rng() % 2) text += ";";
        SCOPED_TRACE(text);
        const auto want = literal_read(text);
        try {
            const SimpleRootedTree tree = from_newick(text);
            ASSERT_TRUE(std::holds_alternative<Plain>(want));
            ASSERT_EQ(plain_of(tree), std::get<Plain>(want));
            // Each node's label id names its own label's entry.
            for (const Node& node : tree.nodes) {
                const std::uint32_t entry = tree.nodes.label_ids[node.id];
                ASSERT_EQ(entry == no_label, !node.taxa);
                if (node.taxa) {
                    ASSERT_EQ(tree.taxa_map.entry_label(entry), *node.taxa);
                }
            }
        } catch (const NewickError& e) {
            ASSERT_EQ(want, decltype(want)(e.idx));
            EXPECT_EQ(std::string(e.what()),
                      "Custom { kind: InvalidData, error: InvalidCharacter "
                      "{ idx: " +
                          std::to_string(e.idx) + " } }");
        } catch (const Panic& e) {
            ASSERT_EQ(want, decltype(want)(std::string("panic")));
            EXPECT_EQ(std::string(e.what()), "Newick text ends inside a label or branch length");
        }
    }
}

TEST(BranchLength, DecimalsRoundLikeStrtofAndOtherTextsAreAbsent) {
    const auto like_strtof = [](const std::string& text) {
        const std::optional<float> got = detail::parse_branch_length(text);
        const float want = std::strtof(text.c_str(), nullptr);
        ASSERT_TRUE(got.has_value()) << text;
        if (std::isnan(want)) {
            ASSERT_TRUE(std::isnan(*got)) << text;
            return;
        }
        ASSERT_EQ(*got, want) << text;
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
        const std::size_t digits = 1 + rng() % 9;
        const std::size_t point = rng() % (digits + 2);
        for (std::size_t k = 0; k < digits; ++k) {
            text += k == point ? "." : "";
            text += static_cast<char>('0' + rng() % 10);
        }
        like_strtof(point == digits ? text + "." : text);
    }
    for (const char* text : {"", ".", "+", "e5", "1e", "0x1p3", "nan(1)", "+-1", "1.2.3", "inf5",
                             "infinityy", "1:2", "x", "1f"}) {
        EXPECT_EQ(detail::parse_branch_length(text), std::nullopt) << text;
    }
}

std::uint64_t walk_depth(const SimpleRootedTree& tree, NodeId v) {
    std::uint64_t d = 0;
    for (; tree.nodes[v].parent; v = *tree.nodes[v].parent) ++d;
    return d;
}

// The walks by their recursive definitions, and LCA depths by walking up from both nodes.
TEST(TreeWalks, RandomTreesMatchTheDefinitions) {
    std::mt19937_64 rng(3);
    for (int round = 0; round < 300; ++round) {
        SimpleRootedTree tree = from_newick(test_util::random_tree(rng, 1 + rng() % 30));
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
        for (NodeId a = 0; a < tree.nodes.size(); ++a) {
            for (NodeId b = 0; b < tree.nodes.size(); ++b) {
                NodeId x = a, y = b;
                while (walk_depth(tree, x) > walk_depth(tree, y)) x = *tree.nodes[x].parent;
                while (walk_depth(tree, y) > walk_depth(tree, x)) y = *tree.nodes[y].parent;
                while (x != y) x = *tree.nodes[x].parent, y = *tree.nodes[y].parent;
                ASSERT_EQ(get_lca_depth(tree, a, b), walk_depth(tree, x));
            }
        }
    }
}

TEST(TreeWalks, MillionDeepTreesNeedNoCallStackAndUnattachedNodesPanic) {
    for (const bool caterpillar : {true, false}) {
        std::string text(1000000, '(');
        text += "t";
        for (int i = 0; i < 1000000; ++i) text += caterpillar ? ",u)" : ")";
        SimpleRootedTree tree = from_newick(text + ";");
        precompute_constant_time_lca(tree);
        // Leaf t is node 1000000; in the caterpillar the first u is its sibling.
        EXPECT_EQ(get_lca_depth(tree, 1000000, caterpillar ? 1000001 : 1000000),
                  caterpillar ? 999999u : 1000000u);
        EXPECT_EQ(postord_ids(tree, 0).size(), tree.nodes.size());
    }
    // Unclosed "(" leave node 1 unattached: no LCA query can be answered.
    SimpleRootedTree open = from_newick(std::string(1000000, '(') + "A,B)");
    EXPECT_PANIC(precompute_constant_time_lca(open),
                 "node id 1 is unreachable from the root, so no LCA query can be answered");
    EXPECT_PANIC(checked_preorder_ids(open),
                 "node id 1 is unreachable from the root, so no LCA query can be answered");
}

}  // namespace
}  // namespace veltrane
