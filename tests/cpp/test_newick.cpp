// Tests for the Newick reader: ids, labels, taxa_map, weights, whitespace and error positions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "test_util.hpp"
#include "core/tree/newick.hpp"
#include "core/tree/simple_rooted_tree.hpp"
#include "tree_edits.hpp"

namespace veltrane {
namespace {

constexpr const char* truncated_text = "Newick text ends inside a label or branch length";

using Map = std::map<std::string, NodeId>;

// Texts with their whole expected tree, the reader's odd corners included.
struct ReadCase {
    std::string text;
    std::vector<PlainNode> nodes;
    Map taxa_map;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.text; }

class NewickRead : public testing::TestWithParam<ReadCase> {};

TEST_P(NewickRead, GivesTheExpectedTree) {
    const SimpleRootedTree tree = from_newick(GetParam().text);
    EXPECT_EQ(tree.root, 0u);
    expect_same(tree, {GetParam().nodes, GetParam().taxa_map});
    std::vector<NodeId> leaves;  // childless nodes, attached or not
    for (NodeId id = 0; id < GetParam().nodes.size(); ++id) {
        if (GetParam().nodes[id].children.empty()) leaves.push_back(id);
    }
    EXPECT_EQ(leaf_ids(tree), leaves);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, NewickRead,
    testing::Values(
        ReadCase{"((A:1.5,B:2)X,C)R;",
                 {{{}, {1, 4}, "R", {}},
                  {0, {2, 3}, "X", {}},
                  {1, {}, "A", 1.5f},
                  {1, {}, "B", 2.0f},
                  {0, {}, "C", {}}},
                 {{"A", 2}, {"B", 3}, {"C", 4}, {"R", 0}, {"X", 1}}},
        // After "," the current node is the fresh, unattached sibling: ";" labels it.
        ReadCase{"(A,B;",
                 {{{}, {1}, {}, {}}, {0, {}, "A", {}}, {{}, {}, "B", {}}},
                 {{"A", 1}, {"B", 2}}},
        // Text before "(" prefixes the next label, lengths too.
        ReadCase{"(A:1(B:2,C));",
                 {{{}, {1}, {}, {}}, {0, {2, 3}, {}, {}}, {1, {}, "AB", 12.0f}, {1, {}, "C", {}}},
                 {{"AB", 2}, {"C", 3}}},
        ReadCase{"((A,B)",
                 {{{}, {}, {}, {}}, {{}, {2, 3}, {}, {}}, {1, {}, "A", {}}, {1, {}, "B", {}}},
                 {{"A", 2}, {"B", 3}}},
        // After its ")" the root is current again, and "(" reopens it.
        ReadCase{"(A)(B)C;",
                 {{{}, {1, 2}, "C", {}}, {0, {}, "A", {}}, {0, {}, "B", {}}},
                 {{"A", 1}, {"B", 2}, {"C", 0}}}));

TEST(NewickReader, ErrorsCountCharactersAfterWhitespaceRemoval) {
    // One character per code point: "\u00c4" is two bytes, U+3000 is removed.
    for (const auto& [text, idx] :
         std::vector<std::pair<std::string, std::size_t>>{{"A,B);", 1},
                                                          {"(A, B)), C;", 5},
                                                          {",", 0},
                                                          {" \u3000)", 0},
                                                          {"(\u00c4\u3000,B));", 5},
                                                          {"(\U0001F333\u2003x\u0085,B)\u2028)", 6},
                                                          {"((A,B),C),", 9}}) {
        SCOPED_TRACE(text);
        try {
            from_newick(text);
            ADD_FAILURE() << "no NewickError";
        } catch (const NewickError& e) {
            const std::string n = std::to_string(idx);
            EXPECT_EQ(e.idx, idx);
            EXPECT_EQ(std::string(e.what()),
                      "Custom { kind: InvalidData, error: InvalidCharacter { idx: " + n + " } }");
            EXPECT_EQ(e.diagnostic(), e.what());
            EXPECT_EQ(e.display(), "invalid character at " + n);
        }
    }
}

void expect_like_strtof(const std::string& text) {
    const std::optional<float> got = detail::parse_branch_length(text);
    ASSERT_TRUE(got.has_value()) << text;
    const float want = std::strtof(text.c_str(), nullptr);
    if (std::isnan(want)) {
        ASSERT_TRUE(std::isnan(*got)) << text;
        return;
    }
    ASSERT_EQ(*got, want) << text;
    ASSERT_EQ(std::signbit(*got), std::signbit(want)) << text;
}

TEST(BranchLength, DecimalsRoundLikeStrtof) {
    // Subnormals, overflow, long mantissas, huge exponents, halfway cases and words.
    // clang-format off
    for (const char* text :
         {"0", "-0", "+0.0", "+2", "-0.25", "1E+2", ".5", "5.", "-.5e1", "0.1", "16777217",
          "1e-40", "8e-46", "1e-46", "3.4028235e38", "3.40282357e38", "1e39", "-1e39",
          "0.001e42", "1000e-50", "0.0000001e-40", "123456789e-60", "007", "1e0010", "+INF",
          "-Infinity", "iNfInItY", "nan", "-NAN", "+nan", "-1e-99999999999999999999",
          "1e99999999999999999999999", "3.14159265358979323846264338327950288"}) {
        expect_like_strtof(text);
    }
    // clang-format on
    // Lengths as tree writers print them, around the limits of the exact float shortcut:
    // up to nine digits, up to eleven after the point, values near 2^24.
    std::mt19937_64 rng(2024);
    for (int round = 0; round < 200000 && !HasFailure(); ++round) {
        std::string text = rng() % 4 == 0 ? "-" : "";
        const std::size_t digits = 1 + rng() % 9;
        const std::size_t point = rng() % (digits + 2);
        for (std::size_t k = 0; k < digits; ++k) {
            if (k == point) text += '.';
            text += static_cast<char>('0' + rng() % 10);
        }
        if (point == digits) text += '.';
        if (rng() % 8 == 0) text = "1677721" + std::to_string(rng() % 10) + ".5";
        expect_like_strtof(text);
    }
}

TEST(BranchLength, OtherTextsAreAbsent) {
    for (const char* text :
         {"",       ".",     "+",   "-",   "e5",   "1e",    "1e+",  "0x1p3",   "0X10",
          "nan(1)", "nan()", "+-1", "--1", "-+1",  "1.2.3", "inf5", "infinit", "infinityy",
          "1:2",    "1_0",   "x",   "1f",  "1.5.", "1e5.0", "in",   "na"}) {
        EXPECT_EQ(detail::parse_branch_length(text), std::nullopt) << text;
    }
}

// The reading rules written out literally, as a judge for the reader: decode to code points,
// drop White_Space, then build a PlainTree one character at a time.
const std::vector<std::string> white_space = {
    "\t",     "\n",     "\v",     "\f",     "\r",     " ",      "\u0085", "\u00a0", "\u1680",
    "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008",
    "\u2009", "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"};
// Label characters, most sharing a lead byte with a White_Space code point.
const std::vector<std::string> letters = {"A",      "B",      "'",      "[",      "]",
                                          "\u0084", "\u0086", "\u00a1", "\u00c2", "\u1681",
                                          "\u200b", "\u2027", "\u202a", "\u2030", "\u205e",
                                          "\u2060", "\u3001", "\u30a2", "\u00e9", "\U0001F333"};

std::vector<std::string> code_points_without_whitespace(const std::string& text) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t width = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        std::string c = text.substr(i, width);
        i += width;
        if (std::find(white_space.begin(), white_space.end(), c) == white_space.end()) {
            out.push_back(c);
        }
    }
    return out;
}

// A tree, an error position or a Panic's message.
using Outcome = std::variant<PlainTree, std::size_t, std::string>;

Outcome literal_read(const std::string& text) {
    const std::vector<std::string> c = code_points_without_whitespace(text);
    PlainTree tree;
    tree.add_node();
    std::vector<NodeId> stack;
    NodeId current = 0;
    std::string label;
    std::string length;
    const auto stops = [](const std::string& ch, bool colon) {
        return ch == "(" || ch == ")" || ch == "," || ch == ";" || (colon && ch == ":");
    };
    std::size_t i = 0;
    while (i < c.size()) {
        if (c[i] == "(") {
            stack.push_back(current);
            current = tree.add_node();
            ++i;
        } else if (c[i] == ")" || c[i] == ",") {
            if (stack.empty()) return i;
            const NodeId p = stack.back();
            tree.nodes[p].children.push_back(current);
            tree.nodes[current].parent = p;
            tree.nodes[current].weight = detail::parse_branch_length(length);
            if (!label.empty()) tree.set_taxa(current, label);
            label.clear();
            length.clear();
            if (c[i] == ",") {
                current = tree.add_node();
            } else {
                current = p;
                stack.pop_back();
            }
            ++i;
        } else if (c[i] == ";") {
            if (!label.empty()) tree.set_taxa(current, label);
            return tree;
        } else {
            const bool is_length = c[i] == ":";
            if (is_length) ++i;
            std::string& buffer = is_length ? length : label;
            for (; i < c.size() && !stops(c[i], !is_length); ++i) buffer += c[i];
            if (i == c.size()) return std::string(truncated_text);
        }
    }
    return tree;
}

std::variant<SimpleRootedTree, std::size_t, std::string> reader_outcome(const std::string& text) {
    try {
        return from_newick(text);
    } catch (const NewickError& e) {
        return e.idx;
    } catch (const Panic& e) {
        return std::string(e.what());
    }
}

TEST(NewickReader, RandomTextsReadAsTheRulesSay) {
    // Texts over an alphabet that makes every rule fire: nesting, reopened nodes, stray
    // delimiters, labels and lengths split by "(" or by blanks, every White_Space code point
    // and label characters that look like one. "w" and "l" stand for a random one of those.
    const std::vector<std::string> alphabet = {"(", "(", ")", ")", ",", ",", ":", ";", "1",
                                               ".", "5", "e", "-", "w", "w", "l", "l", "T12"};
    std::mt19937_64 rng(77);
    for (int round = 0; round < 20000 && !HasFailure(); ++round) {
        std::string text;
        const std::size_t size = rng() % (round % 10 == 0 ? 120 : 30);
        for (std::size_t k = 0; k < size; ++k) {
            const std::string& a = alphabet[rng() % alphabet.size()];
            text += a == "w"   ? white_space[rng() % white_space.size()]
                    : a == "l" ? letters[rng() % letters.size()]
                               : a;
        }
        if (rng() % 2) text += ";";
        SCOPED_TRACE(text);
        const Outcome want = literal_read(text);
        const auto got = reader_outcome(text);
        ASSERT_EQ(got.index(), want.index());
        if (const auto* tree = std::get_if<PlainTree>(&want)) {
            EXPECT_EQ(std::get<0>(got).root, 0u);
            expect_same(std::get<0>(got), *tree);
        } else if (want.index() == 1) {
            ASSERT_EQ(std::get<1>(got), std::get<1>(want));
        } else {
            ASSERT_EQ(std::get<2>(got), std::get<2>(want));
        }
    }
}

TEST(NewickReader, ManyLabelsMapToTheNodeLabelledLast) {
    // Enough labels for the reader's bucket-ordered map filling, with repeats, labels longer
    // than the inline size, and blanks that force a label through the buffer.
    std::mt19937_64 rng(5);
    std::string text = "(";
    Map want;
    for (NodeId id = 1; id <= 30000; ++id) {
        std::string label = "L" + std::to_string(rng() % 9000);
        if (rng() % 5 == 0) label += "_with_a_rather_long_suffix";
        if (id > 1) text += ",";
        text += rng() % 7 == 0 ? label.substr(0, 1) + " " + label.substr(1) : label;
        want[label] = id;
    }
    text += ")Root;";
    want["Root"] = 0;
    const SimpleRootedTree tree = from_newick(text);
    ASSERT_EQ(tree.nodes.size(), 30001u);
    EXPECT_EQ((Map{tree.taxa_map.begin(), tree.taxa_map.end()}), want);
}

TEST(NewickReader, NodeOpenedManyTimesStoresEachChildOnce) {
    // The root opened again and again, each time around a nested pair: every node is stored as
    // a child once, so the shared child array stays as long as the tree has edges.
    const std::size_t repeats = 20000;
    std::string text;
    for (std::size_t k = 0; k < repeats; ++k) text += "((x))";
    const SimpleRootedTree tree = from_newick(text + ";");
    ASSERT_EQ(tree.nodes.size(), 1 + 2 * repeats);
    EXPECT_EQ(tree.nodes.child_ids.size(), tree.nodes.size() - 1);
    std::vector<NodeId> want;
    for (std::size_t k = 0; k < repeats; ++k) want.push_back(1 + 2 * k);
    EXPECT_EQ(as_vector(tree.nodes[0].children), want);
    EXPECT_EQ(as_vector(tree.nodes[1].children), (std::vector<NodeId>{2}));
}

}  // namespace
}  // namespace veltrane
