// Leaf-to-row index, per-node state lookup and the iterative bottom-up state inference.
#include "character_data.hpp"

#include <algorithm>
#include <optional>

namespace veltrane {

namespace {

constexpr std::size_t no_offset = static_cast<std::size_t>(-1);

// The row a leaf reads, found through its name (so a repeated name reads the later leaf's row).
std::optional<std::span<const std::int32_t>> leaf_row(const Node& node, const LeafRowIndex& index,
                                                      const CharacterMatrix& matrix) {
    if (!node.taxa) return std::nullopt;
    const auto it = index.rows.find(*node.taxa);
    if (it == index.rows.end() || it->second >= matrix.rows()) return std::nullopt;
    return matrix.row(it->second);
}

template <detail::InferenceRule rule>
std::int32_t pick(std::int32_t a, std::int32_t b, std::int32_t missing_state,
                  std::int32_t unedited_state) noexcept {
    if constexpr (rule == detail::InferenceRule::parsimony) {
        return a == b && a != unedited_state && a != missing_state ? a : unedited_state;
    } else {
        return a == b && a != missing_state ? a : unedited_state;
    }
}

// out[i] = pick(a[i], b[i]) for i < n, positions past the end of a or b reading as missing.
// out may alias a or b exactly (same start): each position is read before it is written.
template <detail::InferenceRule rule>
void combine(std::int32_t* out, std::span<const std::int32_t> a, std::span<const std::int32_t> b,
             std::size_t n, std::int32_t missing_state, std::int32_t unedited_state) noexcept {
    const std::size_t both = std::min({n, a.size(), b.size()});
    for (std::size_t i = 0; i < both; ++i) {
        out[i] = pick<rule>(a[i], b[i], missing_state, unedited_state);
    }
    for (std::size_t i = both; i < n; ++i) {
        const std::int32_t x = i < a.size() ? a[i] : missing_state;
        const std::int32_t y = i < b.size() ? b[i] : missing_state;
        out[i] = pick<rule>(x, y, missing_state, unedited_state);
    }
}

// A finished node's vector on the value stack: a view of a leaf's row (empty when the leaf has
// no row, which reads as all missing), or a region of n entries in the arena.
struct Value {
    std::span<const std::int32_t> view;
    std::size_t offset = no_offset;
};

template <detail::InferenceRule rule>
std::vector<std::int32_t> infer_from(const SimpleRootedTree& tree, NodeId start,
                                     const LeafRowIndex& index, const CharacterMatrix& matrix,
                                     StateMap& states, std::size_t n, std::int32_t missing_state,
                                     std::int32_t unedited_state) {
    // Explicit post-order with a stack of pending nodes and a stack of finished vectors. The
    // arena holds the vectors of finished internal nodes, in value-stack order, so a node's
    // result can take the place of its children's.
    struct Task {
        NodeId id;
        bool combine;
    };
    std::vector<Task> tasks{{start, false}};
    std::vector<Value> values;
    std::vector<std::int32_t> arena;
    while (!tasks.empty()) {
        const Task task = tasks.back();
        tasks.pop_back();
        const Node& node = get_node(tree, task.id);
        if (task.combine) {
            const Value right = values.back();
            values.pop_back();
            const Value left = values.back();
            values.pop_back();
            const std::size_t base = left.offset != no_offset    ? left.offset
                                     : right.offset != no_offset ? right.offset
                                                                 : arena.size();
            if (arena.size() < base + n) arena.resize(base + n);
            const auto view = [&](const Value& v) {
                return v.offset == no_offset
                           ? v.view
                           : std::span<const std::int32_t>(arena.data() + v.offset, n);
            };
            std::int32_t* out = arena.data() + base;
            combine<rule>(out, view(left), view(right), n, missing_state, unedited_state);
            arena.resize(base + n);
            if (node.taxa) {
                // A later node with the same name replaces the earlier entry.
                states.try_emplace(*node.taxa).first->second.assign(out, out + n);
            }
            values.push_back({{}, base});
        } else if (node.children.empty()) {
            values.push_back(
                {leaf_row(node, index, matrix).value_or(std::span<const std::int32_t>{}),
                 no_offset});
        } else if (node.children.size() != 2) {
            // Intended: such a node is unedited and its subtree is neither visited nor stored.
            const std::size_t offset = arena.size();
            arena.resize(offset + n, unedited_state);
            values.push_back({{}, offset});
        } else {
            tasks.push_back({task.id, true});
            tasks.push_back({node.children[1], false});
            tasks.push_back({node.children[0], false});
        }
    }
    const Value result = values.back();
    return {arena.begin() + static_cast<std::ptrdiff_t>(result.offset),
            arena.begin() + static_cast<std::ptrdiff_t>(result.offset + n)};
}

}  // namespace

LeafRowIndex build_leaf_row_index(const SimpleRootedTree& tree) {
    LeafRowIndex index;
    std::size_t number = 0;
    for (const Node& node : tree.nodes) {
        if (!is_leaf(node)) continue;
        if (node.taxa) index.rows.insert_or_assign(std::string_view(*node.taxa), number);
        ++number;
    }
    return index;
}

std::span<const std::int32_t> get_node_states_likelihood(const Node& node,
                                                         const LeafRowIndex& index,
                                                         const CharacterMatrix& matrix,
                                                         const StateMap& states) {
    if (!node.taxa) return {};
    // The row comes first: an internal node named like a leaf reads that leaf's row.
    if (!index.rows.empty()) {
        const auto row = index.rows.find(*node.taxa);
        if (row != index.rows.end() && row->second < matrix.rows()) return matrix.row(row->second);
    }
    const auto entry = states.find(*node.taxa);
    if (entry != states.end()) return entry->second;
    return {};
}

std::vector<std::span<const std::int32_t>> node_states_by_id(const SimpleRootedTree& tree,
                                                             const LeafRowIndex& index,
                                                             const CharacterMatrix& matrix,
                                                             const StateMap& states) {
    std::vector<std::span<const std::int32_t>> out;
    out.reserve(tree.nodes.size());
    for (const Node& node : tree.nodes) {
        out.push_back(get_node_states_likelihood(node, index, matrix, states));
    }
    return out;
}

namespace detail {

std::vector<std::int32_t> infer_states(const SimpleRootedTree& tree, NodeId start,
                                       const LeafRowIndex& index, const CharacterMatrix& matrix,
                                       StateMap& states, std::size_t n, std::int32_t missing_state,
                                       std::int32_t unedited_state, InferenceRule rule) {
    const Node& node = get_node(tree, start);
    if (is_leaf(node)) {
        // A leaf returns a copy of its row, whatever its length, or n missing states.
        const auto row = leaf_row(node, index, matrix);
        if (row) return {row->begin(), row->end()};
        return std::vector<std::int32_t>(n, missing_state);
    }
    if (rule == InferenceRule::parsimony) {
        return infer_from<InferenceRule::parsimony>(tree, start, index, matrix, states, n,
                                                    missing_state, unedited_state);
    }
    return infer_from<InferenceRule::likelihood>(tree, start, index, matrix, states, n,
                                                 missing_state, unedited_state);
}

}  // namespace detail

}  // namespace veltrane
