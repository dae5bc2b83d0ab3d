// Tests for the Newick reader: ids, labels, taxa_map, weights, whitespace and error positions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "test_util.hpp"
#include "tree/newick.hpp"
#include "tree/simple_rooted_tree.hpp"
#include "tree_edits.hpp"

namespace veltrane {
namespace {

constexpr const char* truncated_text = "Newick text ends inside a label or branch length";

// What a test expects of one node.
struct Expected {
    std::optional<NodeId> parent;
    std::vector<NodeId> children;
    std::optional<std::string> taxa;
    std::optional<float> weight;
};

void expect_nodes(const SimpleRootedTree& tree, const std::vector<Expected>& expected) {
    ASSERT_EQ(tree.nodes.size(), expected.size());
    EXPECT_EQ(tree.root, 0u);
    for (NodeId id = 0; id < expected.size(); ++id) {
        SCOPED_TRACE("node " + std::to_string(id));
        const Node& node = tree.nodes[id];
        EXPECT_EQ(node.id, id);
        EXPECT_EQ(node.parent, expected[id].parent);
        EXPECT_EQ(as_vector(node.children), expected[id].children);
        EXPECT_EQ(node.taxa, expected[id].taxa);
        EXPECT_EQ(node.weight, expected[id].weight);
    }
}

std::map<std::string, NodeId> sorted_map(const SimpleRootedTree& tree) {
    return {tree.taxa_map.begin(), tree.taxa_map.end()};
}

// Same ids, links, labels, weights and map: what every caller of the reader can observe.
void expect_same_tree(const SimpleRootedTree& got, const SimpleRootedTree& want) {
    ASSERT_EQ(got.nodes.size(), want.nodes.size());
    for (NodeId id = 0; id < want.nodes.size(); ++id) {
        SCOPED_TRACE("node " + std::to_string(id));
        EXPECT_EQ(got.nodes[id].id, want.nodes[id].id);
        EXPECT_EQ(got.nodes[id].parent, want.nodes[id].parent);
        EXPECT_EQ(as_vector(got.nodes[id].children), as_vector(want.nodes[id].children));
        EXPECT_EQ(got.nodes[id].taxa, want.nodes[id].taxa);
        EXPECT_EQ(got.nodes[id].weight, want.nodes[id].weight);
    }
    EXPECT_EQ(sorted_map(got), sorted_map(want));
}

TEST(NewickReader, TwoLeaves) {
    const SimpleRootedTree tree = from_newick("(A,B);");
    expect_nodes(tree, {{{}, {1, 2}, {}, {}}, {0, {}, "A", {}}, {0, {}, "B", {}}});
    EXPECT_EQ(sorted_map(tree), (std::map<std::string, NodeId>{{"A", 1}, {"B", 2}}));
    EXPECT_EQ(leaf_ids(tree), (std::vector<NodeId>{1, 2}));
}

TEST(NewickReader, InternalLabelsAndWeights) {
    const SimpleRootedTree tree = from_newick("((A:1.5,B:2)X,C)R;");
    expect_nodes(tree, {{{}, {1, 4}, "R", {}},
                        {0, {2, 3}, "X", {}},
                        {1, {}, "A", 1.5f},
                        {1, {}, "B", 2.0f},
                        {0, {}, "C", {}}});
    EXPECT_EQ(sorted_map(tree),
              (std::map<std::string, NodeId>{{"A", 2}, {"B", 3}, {"C", 4}, {"R", 0}, {"X", 1}}));
    EXPECT_EQ(get_taxa_node_id(tree, "X"), NodeId{1});
    EXPECT_EQ(get_taxa_node_id(tree, "Y"), std::nullopt);
}

TEST(NewickReader, NestedIdsFollowTheText) {
    const SimpleRootedTree tree = from_newick("((A,B),C);");
    expect_nodes(tree, {{{}, {1, 4}, {}, {}},
                        {0, {2, 3}, {}, {}},
                        {1, {}, "A", {}},
                        {1, {}, "B", {}},
                        {0, {}, "C", {}}});
    EXPECT_EQ(leaf_ids(tree), (std::vector<NodeId>{2, 3, 4}));
}

// Texts that must read exactly like the second one.
class NewickEquivalent : public testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(NewickEquivalent, ReadsLikeCanonicalText) {
    expect_same_tree(from_newick(GetParam().first), from_newick(GetParam().second));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, NewickEquivalent,
    testing::Values(std::pair<std::string, std::string>{"(A,B)", "(A,B);"},
                    std::pair<std::string, std::string>{"(A,B);(C,D);", "(A,B);"},
                    std::pair<std::string, std::string>{"(A,B);garbage)),", "(A,B);"},
                    std::pair<std::string, std::string>{"( A , B ) ;", "(A,B);"},
                    std::pair<std::string, std::string>{"\t(A,\r\nB)\v;\f", "(A,B);"},
                    std::pair<std::string, std::string>{"(A:1 .5,B: 2e\t-1);", "(A:1.5,B:2e-1);"},
                    std::pair<std::string, std::string>{"(A,B)R:5;", "(A,B)R;"},
                    std::pair<std::string, std::string>{"(A,B)\u3000\u00a0;", "(A,B);"},
                    std::pair<std::string, std::string>{"((A,B),C)", "((A,B),C);"}));

// Every White_Space code point, in a label, a number and between tokens.
class NewickWhitespace : public testing::TestWithParam<std::string> {};

TEST_P(NewickWhitespace, RemovedEverywhere) {
    const std::string& w = GetParam();
    const std::string text = w + "(A" + w + "B:1" + w + ".5," + w + "C" + w + ")" + w + ";";
    const SimpleRootedTree tree = from_newick(text);
    expect_nodes(tree, {{{}, {1, 2}, {}, {}}, {0, {}, "AB", 1.5f}, {0, {}, "C", {}}});
}

INSTANTIATE_TEST_SUITE_P(CodePoints, NewickWhitespace,
                         testing::Values("\t", "\n", "\v", "\f", "\r", " ", "\u0085", "\u00a0",
                                         "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004",
                                         "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200a",
                                         "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"));

// Code points that share a lead byte with a White_Space one but are label characters.
class NewickNotWhitespace : public testing::TestWithParam<std::string> {};

TEST_P(NewickNotWhitespace, KeptInLabels) {
    const std::string& c = GetParam();
    const SimpleRootedTree tree = from_newick("(A" + c + "B,C);");
    EXPECT_EQ(tree.nodes[1].taxa, "A" + c + "B");
}

INSTANTIATE_TEST_SUITE_P(CodePoints, NewickNotWhitespace,
                         testing::Values("\u0084", "\u0086", "\u00a1", "\u00c2", "\u1681", "\u200b",
                                         "\u2027", "\u202a", "\u2030", "\u205e", "\u2060", "\u3001",
                                         "\u30a2", "\u00e9", "\U0001F333"));

TEST(NewickReader, BlanksInsideLabelsAreDropped) {
    const SimpleRootedTree tree = from_newick("(Homo sapiens,B\u2003C);");
    EXPECT_EQ(tree.nodes[1].taxa, "Homosapiens");
    EXPECT_EQ(tree.nodes[2].taxa, "BC");
    EXPECT_EQ(get_taxa_node_id(tree, "Homosapiens"), NodeId{1});
}

TEST(NewickReader, QuotesAndBracketsAreLabelCharacters) {
    const SimpleRootedTree tree = from_newick("('A B',[c]);");
    EXPECT_EQ(tree.nodes[1].taxa, "'AB'");
    EXPECT_EQ(tree.nodes[2].taxa, "[c]");
}

TEST(NewickReader, EmptyParenthesesGiveOneUnlabelledLeaf) {
    const SimpleRootedTree tree = from_newick("();");
    expect_nodes(tree, {{{}, {1}, {}, {}}, {0, {}, {}, {}}});
    EXPECT_TRUE(tree.taxa_map.empty());
}

TEST(NewickReader, UnparsableWeightsAreAbsent) {
    const SimpleRootedTree tree = from_newick("(A:x,B:1e-3,C:,D:1:2,E:1e);");
    EXPECT_EQ(tree.nodes[1].weight, std::nullopt);
    EXPECT_EQ(tree.nodes[2].weight, 0.001f);
    EXPECT_EQ(tree.nodes[3].weight, std::nullopt);
    EXPECT_EQ(tree.nodes[4].weight, std::nullopt);  // the second ":" joins the length
    EXPECT_EQ(tree.nodes[5].weight, std::nullopt);
}

TEST(NewickReader, DuplicateLabelsMapToTheNodeLabelledLast) {
    const SimpleRootedTree tree = from_newick("(A,A);");
    EXPECT_EQ(tree.nodes[1].taxa, "A");
    EXPECT_EQ(tree.nodes[2].taxa, "A");
    EXPECT_EQ(sorted_map(tree), (std::map<std::string, NodeId>{{"A", 2}}));
    // An internal label comes after its children's labels in the text.
    const SimpleRootedTree inner = from_newick("((A)A,B);");
    EXPECT_EQ(sorted_map(inner), (std::map<std::string, NodeId>{{"A", 1}, {"B", 3}}));
}

TEST(NewickReader, SemicolonLabelsTheCurrentNode) {
    const SimpleRootedTree single = from_newick("A;");
    expect_nodes(single, {{{}, {}, "A", {}}});
    EXPECT_EQ(sorted_map(single), (std::map<std::string, NodeId>{{"A", 0}}));
    // After "," the current node is the fresh sibling, so it takes the label, unattached
    // siblings included.
    const SimpleRootedTree sibling = from_newick("(A,B;");
    expect_nodes(sibling, {{{}, {1}, {}, {}}, {0, {}, "A", {}}, {{}, {}, "B", {}}});
}

TEST(NewickReader, TextBeforeOpenParenthesisPrefixesTheNextLabel) {
    const SimpleRootedTree tree = from_newick("(A(B,C));");
    expect_nodes(tree,
                 {{{}, {1}, {}, {}}, {0, {2, 3}, {}, {}}, {1, {}, "AB", {}}, {1, {}, "C", {}}});
    EXPECT_EQ(sorted_map(tree), (std::map<std::string, NodeId>{{"AB", 2}, {"C", 3}}));
    // A length ending at "(" carries over the same way.
    const SimpleRootedTree lengths = from_newick("(A:1(B:2,C));");
    EXPECT_EQ(lengths.nodes[2].taxa, "AB");
    EXPECT_EQ(lengths.nodes[2].weight, 12.0f);
}

TEST(NewickReader, UnbalancedOpenLeavesNodeUnattached) {
    const SimpleRootedTree tree = from_newick("((A,B)");
    expect_nodes(tree,
                 {{{}, {}, {}, {}}, {{}, {2, 3}, {}, {}}, {1, {}, "A", {}}, {1, {}, "B", {}}});
    EXPECT_EQ(leaf_ids(tree), (std::vector<NodeId>{0, 2, 3}));
    // A label still pending when the text ends after "(" is dropped.
    const SimpleRootedTree pending = from_newick("A:1(");
    expect_nodes(pending, {{{}, {}, {}, {}}, {{}, {}, {}, {}}});
    EXPECT_TRUE(pending.taxa_map.empty());
}

TEST(NewickReader, EmptyOrBlankTextGivesSingleRoot) {
    for (const std::string text : {"", " \n\t", "\u3000\u00a0 ", ";", " ; (A,B);"}) {
        SCOPED_TRACE(text);
        const SimpleRootedTree tree = from_newick(text);
        expect_nodes(tree, {{{}, {}, {}, {}}});
        EXPECT_TRUE(tree.taxa_map.empty());
    }
}

struct ErrorCase {
    std::string text;
    std::size_t idx;
};

class NewickErrorPosition : public testing::TestWithParam<ErrorCase> {};

TEST_P(NewickErrorPosition, CountsCharactersAfterWhitespaceRemoval) {
    try {
        from_newick(GetParam().text);
        FAIL() << "no NewickError";
    } catch (const NewickError& e) {
        const std::string n = std::to_string(GetParam().idx);
        EXPECT_EQ(e.idx, GetParam().idx);
        EXPECT_EQ(std::string(e.what()),
                  "Custom { kind: InvalidData, error: InvalidCharacter { idx: " + n + " } }");
        EXPECT_EQ(e.diagnostic(), e.what());
        EXPECT_EQ(e.display(), "invalid character at " + n);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, NewickErrorPosition,
    testing::Values(ErrorCase{"A,B);", 1}, ErrorCase{"(A,B));", 5}, ErrorCase{"(A, B)), C;", 5},
                    ErrorCase{",", 0}, ErrorCase{")", 0}, ErrorCase{" \u3000)", 0},
                    // One character per code point: "\u00c4" is two bytes, U+3000 is removed.
                    ErrorCase{"(\u00c4\u3000,B));", 5},
                    ErrorCase{"(\U0001F333\u2003x\u0085,B)\u2028)", 6},
                    ErrorCase{"((A,B),C),", 9}));

TEST(NewickReader, TextEndingInsideLabelOrLengthPanics) {
    for (const std::string text :
         {"(A,B)C", "(A,B):0.5", "A", "(A,B):", "(A,B)C \u3000", "(A:1", ":", "x\u00a0"}) {
        SCOPED_TRACE(text);
        EXPECT_PANIC(from_newick(text), truncated_text);
    }
}

// Oracle for weights: the C library's strtof, for texts that are valid decimal numbers.
class BranchLengthDecimal : public testing::TestWithParam<std::string> {};

TEST_P(BranchLengthDecimal, RoundsLikeStrtof) {
    const std::string& text = GetParam();
    const std::optional<float> got = detail::parse_branch_length(text);
    ASSERT_TRUE(got.has_value());
    const float want = std::strtof(text.c_str(), nullptr);
    EXPECT_EQ(*got, want);
    EXPECT_EQ(std::signbit(*got), std::signbit(want));
}

INSTANTIATE_TEST_SUITE_P(Texts, BranchLengthDecimal,
                         testing::Values("0", "-0", "+0.0", "1.5", "+2", "-0.25", "1e-3", "1E+2",
                                         ".5", "5.", "-.5e1", "0.1",
                                         "3.14159265358979323846264338327950288", "16777217",
                                         "1e-40", "8e-46", "1e-46", "3.4028235e38", "3.40282357e38",
                                         "1e39", "-1e39", "0.001e42", "1000e-50", "0.0000001e-40",
                                         "123456789e-60", "1e99999999999999999999999",
                                         "-1e-99999999999999999999", "007", "1e0010"));

TEST(BranchLength, RandomShortDecimalsRoundLikeStrtof) {
    // Lengths as tree writers print them, around the limits of the exact float shortcut:
    // up to nine digits, up to eleven after the point, values near 2^24.
    std::mt19937_64 rng(2024);
    for (int round = 0; round < 200000; ++round) {
        std::string text = rng() % 4 == 0 ? "-" : "";
        const std::size_t digits = 1 + rng() % 9;
        const std::size_t point = rng() % (digits + 2);
        for (std::size_t k = 0; k < digits; ++k) {
            if (k == point) text += '.';
            text += static_cast<char>('0' + rng() % 10);
        }
        if (point == digits) text += '.';
        if (rng() % 8 == 0) text = "1677721" + std::to_string(rng() % 10) + ".5";
        const std::optional<float> got = detail::parse_branch_length(text);
        ASSERT_TRUE(got.has_value()) << text;
        const float want = std::strtof(text.c_str(), nullptr);
        ASSERT_EQ(*got, want) << text;
        ASSERT_EQ(std::signbit(*got), std::signbit(want)) << text;
    }
}

TEST(BranchLength, WordsInAnyCase) {
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(detail::parse_branch_length("inf"), inf);
    EXPECT_EQ(detail::parse_branch_length("+INF"), inf);
    EXPECT_EQ(detail::parse_branch_length("-Infinity"), -inf);
    EXPECT_EQ(detail::parse_branch_length("iNfInItY"), inf);
    for (const char* text : {"nan", "NaN", "-NAN", "+nan"}) {
        const std::optional<float> got = detail::parse_branch_length(text);
        ASSERT_TRUE(got.has_value()) << text;
        EXPECT_TRUE(std::isnan(*got)) << text;
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

// Random well-formed trees printed as Newick: ids are the preorder of the printed tree, and
// labels enter the map in the order they are written.
struct PrintedTree {
    std::string text;
    std::vector<Expected> nodes;
    std::map<std::string, NodeId> taxa_map;
};

PrintedTree random_printed_tree(std::mt19937_64& rng, std::size_t size) {
    static const std::vector<std::pair<std::string, std::optional<float>>> weights = {
        {"", {}}, {"1.5", 1.5f}, {"2", 2.0f}, {"x", {}}, {"-0.25", -0.25f}, {"1e-3", 0.001f}};
    PrintedTree out;
    out.nodes.resize(size);
    std::vector<std::string> weight_text(size);
    // Node i hangs below some node on the path from the root to node i - 1: preorder ids.
    for (NodeId id = 1; id < size; ++id) {
        NodeId parent = id - 1;
        while (out.nodes[parent].parent && rng() % 2 == 0) parent = *out.nodes[parent].parent;
        out.nodes[id].parent = parent;
        out.nodes[parent].children.push_back(id);
        const auto& [text, value] = weights[rng() % weights.size()];
        weight_text[id] = text;
        out.nodes[id].weight = value;
    }
    for (NodeId id = 0; id < size; ++id) {
        if (rng() % 4 != 0) out.nodes[id].taxa = "T" + std::to_string(rng() % size);
    }
    // Print with an explicit stack of (node, index of the next child to print).
    std::vector<std::pair<NodeId, std::size_t>> stack{{0, 0}};
    while (!stack.empty()) {
        auto& [id, next] = stack.back();
        const Expected& node = out.nodes[id];
        if (next < node.children.size()) {
            out.text += next == 0 ? "(" : ",";
            const NodeId child = node.children[next++];
            stack.emplace_back(child, 0);
            continue;
        }
        if (!node.children.empty()) out.text += ")";
        if (node.taxa) {
            out.text += *node.taxa;
            out.taxa_map[*node.taxa] = id;
        }
        if (!weight_text[id].empty()) out.text += ":" + weight_text[id];
        stack.pop_back();
    }
    out.text += ";";
    return out;
}

TEST(NewickReader, RandomTreesMatchTheirPrintedStructure) {
    std::mt19937_64 rng(20240611);
    const std::vector<std::string> blanks = {" ", "\n", "\u00a0", "\u2009", "\u3000"};
    for (int round = 0; round < 300; ++round) {
        const PrintedTree printed = random_printed_tree(rng, 1 + rng() % 40);
        SCOPED_TRACE(printed.text);
        const SimpleRootedTree tree = from_newick(printed.text);
        expect_nodes(tree, printed.nodes);
        EXPECT_EQ(sorted_map(tree), printed.taxa_map);
        // Blanks sprinkled anywhere, labels and numbers included, change nothing.
        std::string spaced;
        for (const char c : printed.text) {
            if (rng() % 3 == 0) spaced += blanks[rng() % blanks.size()];
            spaced += c;
        }
        expect_same_tree(from_newick(spaced), tree);
    }
}

// The reading rules written out literally, as a judge for the reader: decode to code points,
// drop White_Space, then build a plain tree (a vector per node's children, a string per label,
// a std::map for the labels) one character at a time.
struct PlainTree {
    std::vector<Expected> nodes;
    std::map<std::string, NodeId> taxa_map;

    NodeId add_node() {
        nodes.emplace_back();
        return nodes.size() - 1;
    }
    void set_taxa(NodeId id, const std::string& label) {
        nodes[id].taxa = label;
        taxa_map[label] = id;
    }
};
using Outcome = std::variant<PlainTree, std::size_t, std::string>;  // tree, error idx, Panic

std::vector<std::string> code_points_without_whitespace(const std::string& text) {
    static const std::vector<std::string> spaces = {
        "\t",     "\n",     "\v",     "\f",     "\r",     " ",      "\u0085", "\u00a0", "\u1680",
        "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008",
        "\u2009", "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"};
    std::vector<std::string> out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t width = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        std::string c = text.substr(i, width);
        i += width;
        if (std::find(spaces.begin(), spaces.end(), c) == spaces.end()) out.push_back(c);
    }
    return out;
}

Outcome literal_read(const std::string& text) {
    const std::vector<std::string> c = code_points_without_whitespace(text);
    PlainTree tree;
    tree.add_node();
    std::vector<NodeId> stack;
    NodeId current = 0;
    std::string label;
    std::string length;
    const auto fresh = [&tree] { return tree.add_node(); };
    const auto stops = [](const std::string& ch, bool colon) {
        return ch == "(" || ch == ")" || ch == "," || ch == ";" || (colon && ch == ":");
    };
    std::size_t i = 0;
    while (i < c.size()) {
        if (c[i] == "(") {
            stack.push_back(current);
            current = fresh();
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
                current = fresh();
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

Outcome reader_outcome(const std::string& text) {
    try {
        const SimpleRootedTree tree = from_newick(text);
        PlainTree plain;
        for (const Node& node : tree.nodes) {
            plain.nodes.push_back(
                {node.parent, as_vector(node.children),
                 node.taxa ? std::optional<std::string>(*node.taxa) : std::nullopt, node.weight});
        }
        plain.taxa_map = sorted_map(tree);
        return plain;
    } catch (const NewickError& e) {
        return e.idx;
    } catch (const Panic& e) {
        return std::string(e.what());
    }
}

TEST(NewickReader, RandomTextsReadAsTheRulesSay) {
    // Short texts over an alphabet that makes every rule fire: nesting, reopened nodes, stray
    // delimiters, labels and lengths split by "(" or by blanks, multi-byte letters and blanks.
    const std::vector<std::string> alphabet = {
        "(", "(", ")", ")", ",", ",", ":",      ";",      "A",      "B",
        "1", ".", "5", "e", "-", " ", "\u3000", "\u00c4", "\u00a1", "\u2009x"};
    std::mt19937_64 rng(77);
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const std::size_t size = rng() % 30;
        for (std::size_t k = 0; k < size; ++k) text += alphabet[rng() % alphabet.size()];
        if (rng() % 2) text += ";";
        SCOPED_TRACE(text);
        const Outcome want = literal_read(text);
        const Outcome got = reader_outcome(text);
        ASSERT_EQ(got.index(), want.index());
        if (const auto* tree = std::get_if<PlainTree>(&want)) {
            const PlainTree& read = std::get<PlainTree>(got);
            ASSERT_EQ(read.nodes.size(), tree->nodes.size());
            for (NodeId id = 0; id < tree->nodes.size(); ++id) {
                SCOPED_TRACE("node " + std::to_string(id));
                EXPECT_EQ(read.nodes[id].parent, tree->nodes[id].parent);
                EXPECT_EQ(read.nodes[id].children, tree->nodes[id].children);
                EXPECT_EQ(read.nodes[id].taxa, tree->nodes[id].taxa);
                EXPECT_EQ(read.nodes[id].weight, tree->nodes[id].weight);
            }
            ASSERT_EQ(read.taxa_map, tree->taxa_map);
        } else if (want.index() == 1) {
            ASSERT_EQ(std::get<1>(got), std::get<1>(want));
        } else {
            ASSERT_EQ(std::get<2>(got), std::get<2>(want));
        }
        if (HasFailure()) return;
    }
}

TEST(NewickReader, ManyLabelsMapToTheNodeLabelledLast) {
    // Enough labels for the reader's bucket-ordered map filling, with repeats, labels longer
    // than the inline size, and blanks that force a label through the buffer.
    std::mt19937_64 rng(5);
    std::string text = "(";
    std::map<std::string, NodeId> want;
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
    EXPECT_EQ(sorted_map(tree), want);
}

TEST(NewickReader, ReopenedNodeKeepsEarlierChildren) {
    // After its ")" the root is the current node again, and "(" opens it a second time.
    const SimpleRootedTree tree = from_newick("(A)(B)C;");
    expect_nodes(tree, {{{}, {1, 2}, "C", {}}, {0, {}, "A", {}}, {0, {}, "B", {}}});
    // Unclosed nodes keep the children they gathered.
    const SimpleRootedTree open = from_newick("((A,(B,C),D,");
    EXPECT_EQ(as_vector(open.nodes[1].children), (std::vector<NodeId>{2, 3, 6}));
    EXPECT_EQ(as_vector(open.nodes[3].children), (std::vector<NodeId>{4, 5}));
    EXPECT_TRUE(open.nodes[0].children.empty());
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
