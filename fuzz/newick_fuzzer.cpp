// libFuzzer target: any UTF-8 text through the Newick reader, then every tree query, label check
// and metric that takes parsed trees (the text after the first ";" is the second tree).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/support/panic.hpp"
#include "core/tree/label_checks.hpp"
#include "core/tree/lca.hpp"
#include "core/tree/newick.hpp"
#include "core/tree/node_iter.hpp"
#include "core/tree/simple_rooted_tree.hpp"
#include "metrics/characters/character_data.hpp"
#include "metrics/characters/likelihood.hpp"
#include "metrics/characters/parsimony.hpp"
#include "metrics/phs/phs.hpp"
#include "metrics/rf/rf_distance.hpp"
#include "metrics/triplets/agreement.hpp"
#include "metrics/triplets/fast_triplets.hpp"
#include "metrics/triplets/optimized_triplets.hpp"
#include "metrics/triplets/parallel_triplets.hpp"
#include "metrics/triplets/triplets.hpp"
#include "metrics/triplets/ultra_fast_triplets.hpp"

namespace {

using namespace veltrane;

// The module hands the reader UTF-8 only (a str's encoding); other bytes are not inputs.
bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t len = c < 0x80           ? 1
                          : (c >> 5) == 0x6  ? 2
                          : (c >> 4) == 0xE  ? 3
                          : (c >> 3) == 0x1E ? 4
                                             : 0;
        if (len == 0 || i + len > s.size()) return false;
        std::uint32_t cp = len == 1 ? c : c & (0x7Fu >> len);
        for (std::size_t k = 1; k < len; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        const std::uint32_t min_cp[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < min_cp[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

// Runs one step; the failures a hostile tree may legitimately cause end only that step.
template <typename F>
void step(F&& f) {
    try {
        f();
    } catch (const Panic&) {
    } catch (const PhsInputError&) {
    } catch (const AgreementError&) {
    } catch (const std::bad_alloc&) {
    }
}

std::optional<SimpleRootedTree> read(std::string_view text) {
    try {
        return from_newick(text);
    } catch (const NewickError& e) {
        // The index counts characters after whitespace removal: never past the text.
        if (e.idx >= text.size()) __builtin_trap();
    } catch (const Panic&) {
    }
    return std::nullopt;
}

// The facts behind the module's warnings: a tree lines up with itself, the two-tree facts are
// symmetric, and a quote or bracket is found exactly when a label holds one.
void check_labels(const SimpleRootedTree& t1, const SimpleRootedTree& t2) {
    if (!leaves_pair_by_label(t1, t1) || !leaf_rows_agree(t1, t1) || !same_leaf_label_set(t1, t1)) {
        __builtin_trap();
    }
    if (leaves_pair_by_label(t1, t2) != leaves_pair_by_label(t2, t1) ||
        leaf_rows_agree(t1, t2) != leaf_rows_agree(t2, t1) ||
        same_leaf_label_set(t1, t2) != same_leaf_label_set(t2, t1)) {
        __builtin_trap();
    }
    bool any = false;
    for (const Node& node : t1.nodes) {
        any = any || (node.taxa && node.taxa->find_first_of("'\"[]") != std::string_view::npos);
    }
    const std::optional<std::string_view> found = label_with_quote_or_bracket(t1);
    if (found.has_value() != any) __builtin_trap();
    if (found && found->find_first_of("'\"[]") == std::string_view::npos) __builtin_trap();
    if (count_labelled_leaves(t1) > count_leaves(t1)) __builtin_trap();
}

void exercise(SimpleRootedTree& t1, SimpleRootedTree& t2, std::string_view text) {
    // Large trees make slow executions; the reader has already seen them whole.
    if (t1.nodes.size() > 3000 || t2.nodes.size() > 3000) return;
    check_labels(t1, t2);
    step([&] {
        const std::vector<NodeId> leaves = leaf_ids(t1);
        static_cast<void>(compute_depths(t1));
        static_cast<void>(postord_ids(t1, t1.root));
        static_cast<void>(checked_preorder_ids(t1));
        SimpleRootedTree a = t1;
        precompute_constant_time_lca(a);
        if (leaves.size() >= 2) {
            static_cast<void>(get_lca_depth(a, leaves.front(), leaves.back()));
        }
    });
    step([&] {
        // A tree is at distance 0 from itself whenever the distance is defined.
        if (calculate_rf_distance(t1, t1).rf_distance != 0) __builtin_trap();
        static_cast<void>(calculate_rf_distance(t1, t2));
    });
    step([&] {
        // Label-matched agreement: a tree agrees with itself on every triple; thread counts
        // never change the counts.
        const TripletAgreement self = calculate_triplet_agreement(t1, t1, 1);
        if (!(self.agree == self.triples)) __builtin_trap();
        const TripletAgreement one = calculate_triplet_agreement(t1, t2, 1);
        const TripletAgreement two = detail::calculate_triplet_agreement(t1, t2, 2, 1);
        if (!(one.agree == two.agree) || !(one.resolved_agree == two.resolved_agree)) {
            __builtin_trap();
        }
    });
    const std::uint64_t trials = 30;
    step([&] {
        SimpleRootedTree a = t1, b = t2;
        calculate_triplets_correct(a, b, trials, 7);
    });
    step([&] {
        SimpleRootedTree a = t1, b = t2;
        calculate_triplets_correct_fast(a, b, trials, 7);
    });
    for (const std::uint64_t t : {trials, std::uint64_t{1} << 40}) {
        step([&] {
            SimpleRootedTree a = t1, b = t1;
            calculate_triplets_correct_ultra(a, b, t, 7);
        });
        step([&] {
            SimpleRootedTree a = t1, b = t1;
            calculate_triplets_correct_parallel(a, b, t, 7, 2);
        });
        step([&] {
            SimpleRootedTree a = t1, b = t1;
            calculate_triplets_correct_optimized(a, b, t, 7, std::nullopt);
        });
    }
    step([&] {
        // Rows and internal states drawn from the text's own bytes, for the character metrics.
        CharacterMatrix matrix;
        std::size_t labelled = 0;
        for (const Node& node : t1.nodes) labelled += is_leaf(node) && node.taxa ? 1 : 0;
        for (std::size_t r = 0; r < labelled; ++r) {
            std::vector<std::int32_t> row;
            for (std::size_t k = 0; k < (r + text.size()) % 5; ++k) {
                row.push_back(static_cast<std::int32_t>(text[(r * 3 + k) % text.size()] % 4) - 1);
            }
            matrix.push_row(row);
        }
        StateMap states;
        for (const auto& [label, id] : t1.taxa_map) {
            states[std::string(label)] =
                std::vector<std::int32_t>(id % 4, static_cast<std::int32_t>(id % 2));
        }
        // Keys that are the tree's labels always name a node; others never do.
        if (names_a_node(states, t1) == states.empty()) __builtin_trap();
        StateMap strangers;
        strangers["\x01not a label"] = {0};
        if (names_a_node(strangers, t1) != t1.taxa_map.find("\x01not a label").has_value()) {
            __builtin_trap();
        }
        PhsOptions options;
        options.max_threads = 2;
        step([&] { static_cast<void>(phs_optimized(t1, matrix, states, options)); });
        // Rates from the text, including those that leave p-values undefined: a clean
        // PhsInputError that names the depth, or a score.
        const double rates[] = {
            0.0,         0.01, 0.5, 3.0, -1.0, 1e300, std::numeric_limits<double>::infinity(),
            std::nan("")};
        options.mutation_rate = rates[text.size() % std::size(rates)];
        options.collision_probability = rates[(text.size() / 8) % std::size(rates)];
        step([&] {
            try {
                static_cast<void>(phs_optimized(t1, matrix, states, options));
            } catch (const PhsInputError& e) {
                const std::string_view what = e.what();
                if (what.find("rows but") == what.npos && what.find(" at depth ") == what.npos) {
                    __builtin_trap();
                }
            }
        });
        const StateMap* const choices[] = {nullptr, &states};
        for (const StateMap* given : choices) {
            step([&] { static_cast<void>(calculate_parsimony(t1, matrix, given, -1, 0)); });
            step([&] {
                static_cast<void>(calculate_parsimony_p_value(t1, matrix, given, 0.3, 0, 1));
            });
            step([&] {
                static_cast<void>(calculate_likelihood_distance(t1, t2, matrix, given, given, 0.2,
                                                                std::nullopt, -1, 0));
            });
        }
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!valid_utf8(text)) return -1;
    std::optional<SimpleRootedTree> t1 = read(text);
    if (!t1) return 0;
    const std::size_t semicolon = text.find(';');
    std::optional<SimpleRootedTree> t2 =
        semicolon == text.npos ? read("") : read(text.substr(semicolon + 1));
    if (!t2) return 0;
    exercise(*t1, *t2, text);
    return 0;
}
