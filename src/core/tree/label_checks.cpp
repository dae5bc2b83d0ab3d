// Leaf orders of two trees and label characters of other Newick dialects.
#include "core/tree/label_checks.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace veltrane {

namespace {

constexpr std::size_t none = static_cast<std::size_t>(-1);

// The next leaf at or after id, or slots.size().
NodeId next_leaf(const std::vector<NodeSlot>& slots, NodeId id) noexcept {
    while (id < slots.size() && slots[id].child_count != 0) ++id;
    return id;
}

bool equal_labels(const NodeTable& a, const NodeSlot& x, const NodeTable& b,
                  const NodeSlot& y) noexcept {
    if ((x.label_size == no_index) != (y.label_size == no_index)) return false;
    return x.label_size == no_index || a.label(x) == b.label(y);
}

// Per taxa_map entry: the number of the last leaf that carries it (leaves numbered in id
// order, unlabelled ones included), or `none` when no leaf does.
std::vector<std::size_t> leaf_row_of_entry(const SimpleRootedTree& tree) {
    std::vector<std::size_t> row(tree.taxa_map.size(), none);
    const std::vector<NodeSlot>& slots = tree.nodes.slots;
    std::size_t leaf = 0;
    for (NodeId id = 0; id < slots.size(); ++id) {
        if (slots[id].child_count != 0) continue;
        const std::uint32_t entry = tree.nodes.label_ids[id];
        if (entry != no_label) row[entry] = leaf;
        ++leaf;
    }
    return row;
}

// The entries of `from` that label leaves (rows_from[e] != none), and for each the entry of
// the same label in `in`, or no_label: one prefetched pass over the labels.
std::pair<std::vector<std::uint32_t>, std::vector<std::uint32_t>> leaf_entries_in(
    const SimpleRootedTree& from, const std::vector<std::size_t>& rows_from,
    const SimpleRootedTree& in) {
    std::vector<std::uint32_t> entries;
    std::vector<std::string_view> labels;
    for (std::uint32_t e = 0; e < rows_from.size(); ++e) {
        if (rows_from[e] == none) continue;
        entries.push_back(e);
        labels.push_back(from.taxa_map.entry_label(e));
    }
    return {std::move(entries), in.taxa_map.find_entries(labels)};
}

// Equal leaf label sequences, known from the digests the reader left: the usual case costs
// nothing. A digest shared by unequal sequences, a 64-bit chance, would only hide a warning.
bool same_leaf_sequence(const SimpleRootedTree& a, const SimpleRootedTree& b) noexcept {
    return a.nodes.leaf_label_digest == b.nodes.leaf_label_digest;
}

}  // namespace

std::size_t count_labelled_leaves(const SimpleRootedTree& tree) {
    std::size_t count = 0;
    for (const NodeSlot& slot : tree.nodes.slots) {
        count += slot.child_count == 0 && slot.label_size != no_index ? 1U : 0U;
    }
    return count;
}

bool leaves_pair_by_label(const SimpleRootedTree& a, const SimpleRootedTree& b) {
    if (same_leaf_sequence(a, b)) return true;
    const std::vector<NodeSlot>& sa = a.nodes.slots;
    const std::vector<NodeSlot>& sb = b.nodes.slots;
    std::size_t position = 0;
    for (NodeId i = next_leaf(sa, 0), j = next_leaf(sb, 0); i < sa.size() && j < sb.size();
         i = next_leaf(sa, i + 1), j = next_leaf(sb, j + 1), ++position) {
        if (equal_labels(a.nodes, sa[i], b.nodes, sb[j])) continue;
        // The first difference matters only where the pairing reaches; no tree has more
        // labelled leaves than leaves, so equal runs to the end never need the counts.
        return position >= std::min(count_labelled_leaves(a), count_labelled_leaves(b));
    }
    return true;
}

bool same_leaf_label_set(const SimpleRootedTree& a, const SimpleRootedTree& b) {
    if (same_leaf_sequence(a, b)) return true;
    const std::vector<std::size_t> rows_a = leaf_row_of_entry(a);
    const std::vector<std::size_t> rows_b = leaf_row_of_entry(b);
    const auto distinct = [](const std::vector<std::size_t>& rows) {
        return std::count_if(rows.begin(), rows.end(), [](std::size_t r) { return r != none; });
    };
    if (distinct(rows_a) != distinct(rows_b)) return false;
    // As many distinct labels on each side, so it suffices that b's are all among a's.
    const auto [entries_b, found] = leaf_entries_in(b, rows_b, a);
    return std::all_of(found.begin(), found.end(), [&](std::uint32_t entry) {
        return entry != no_label && rows_a[entry] != none;
    });
}

bool leaf_rows_agree(const SimpleRootedTree& a, const SimpleRootedTree& b) {
    // Equal leaf label sequences settle it without a lookup. Other sequences may still give
    // every shared label the same row (a leaf more at the end, a repeat elsewhere).
    if (same_leaf_sequence(a, b)) return true;
    const std::vector<std::size_t> rows_a = leaf_row_of_entry(a);
    const std::vector<std::size_t> rows_b = leaf_row_of_entry(b);
    const auto [entries_b, found] = leaf_entries_in(b, rows_b, a);
    for (std::size_t k = 0; k < found.size(); ++k) {
        const std::uint32_t entry = found[k];
        if (entry != no_label && rows_a[entry] != none && rows_a[entry] != rows_b[entries_b[k]]) {
            return false;
        }
    }
    return true;
}

std::optional<std::string_view> label_with_quote_or_bracket(const SimpleRootedTree& tree) {
    const std::string& bytes = tree.nodes.label_bytes;
    // The usual answer, no, comes from four fast scans of all label bytes at once.
    bool any = false;
    for (const char c : {'\'', '"', '[', ']'}) {
        any = any || std::memchr(bytes.data(), c, bytes.size()) != nullptr;
    }
    if (!any) return std::nullopt;
    for (const NodeSlot& slot : tree.nodes.slots) {
        if (slot.label_size == no_index) continue;
        const std::string_view label = tree.nodes.label(slot);
        if (label.find_first_of("'\"[]") != std::string_view::npos) return label;
    }
    return std::nullopt;
}

}  // namespace veltrane
