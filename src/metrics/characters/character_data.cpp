// Per-node states for scoring and the iterative bottom-up state inference.
#include "metrics/characters/character_data.hpp"

#include <algorithm>
#include <optional>

#include "core/support/interrupt.hpp"
#include "core/support/memory.hpp"

namespace veltrane {

namespace {

constexpr std::size_t none = static_cast<std::size_t>(-1);

using States = std::span<const std::int32_t>;

// count * n, saturated, so that require_memory sees an impossible request instead of a wrap.
std::size_t checked_product(std::size_t count, std::size_t n) {
    return n != 0 && count > static_cast<std::size_t>(-1) / n ? static_cast<std::size_t>(-1)
                                                              : count * n;
}

// The names of a tree as taxa_map entries: equal labels share an entry.
struct TreeNames {
    const std::vector<std::uint32_t>& name_of;  // per node id; no_label when unnamed
    std::vector<std::size_t> leaf_row;          // per entry: number of its last leaf, or none
};

TreeNames tree_names(const SimpleRootedTree& tree) {
    TreeNames out{tree.nodes.label_ids, std::vector<std::size_t>(tree.taxa_map.size(), none)};
    std::size_t leaf_number = 0;
    for (const Node& node : tree.nodes) {
        if (!is_leaf(node)) continue;
        if (out.name_of[node.id] != no_label) out.leaf_row[out.name_of[node.id]] = leaf_number;
        ++leaf_number;
    }
    return out;
}

// How inference reads a leaf's row and keeps a named node's vector: by name entry, in one
// flat buffer.
struct InferenceStore {
    const TreeNames& names;
    const CharacterMatrix& matrix;
    std::vector<std::size_t>& slot;  // per name id: offset of its vector in buffer, or none
    std::vector<std::int32_t>& buffer;

    std::optional<States> leaf_row(NodeId v) const {
        const std::uint32_t name = names.name_of[v];
        if (name == no_label) return std::nullopt;
        const std::size_t row = names.leaf_row[name];
        if (row == none || row >= matrix.rows()) return std::nullopt;
        return matrix.row(row);
    }
    void store(NodeId v, const std::int32_t* values, std::size_t n) {
        std::size_t& offset = slot[names.name_of[v]];
        if (offset == none) {
            offset = buffer.size();
            buffer.insert(buffer.end(), values, values + n);
        } else {
            std::copy(values, values + n, buffer.begin() + static_cast<std::ptrdiff_t>(offset));
        }
    }
};

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
void combine(std::int32_t* out, States a, States b, std::size_t n, std::int32_t missing_state,
             std::int32_t unedited_state) noexcept {
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
    States view;
    std::size_t offset = none;
};

// Bottom-up inference from start with explicit stacks (no recursion, whatever the depth).
// The arena holds the vectors of finished internal nodes in value-stack order, so a node's
// result takes the place of its children's and memory stays proportional to the stack.
template <detail::InferenceRule rule>
void infer_from(const SimpleRootedTree& tree, NodeId start, std::size_t n,
                std::int32_t missing_state, std::int32_t unedited_state, InferenceStore& store) {
    struct Task {
        NodeId id;
        bool combine;
    };
    std::vector<Task> tasks{{start, false}};
    std::vector<Value> values;
    std::vector<std::int32_t> arena;
    // n entries per pending vector: deep trees of unary nodes and long rows multiply.
    const auto grow_arena = [&](std::size_t size) {
        if (size > arena.capacity()) reserve_checked(arena, std::max(size, 2 * arena.capacity()));
    };
    const auto node_cost = static_cast<std::int64_t>(1 + n / 1024);
    while (!tasks.empty()) {
        check_interrupt(node_cost);
        const Task task = tasks.back();
        tasks.pop_back();
        const Node node = tree.nodes[task.id];
        if (task.combine) {
            const Value right = values.back();
            values.pop_back();
            const Value left = values.back();
            values.pop_back();
            const std::size_t base = left.offset != none    ? left.offset
                                     : right.offset != none ? right.offset
                                                            : arena.size();
            grow_arena(base + n);
            if (arena.size() < base + n) arena.resize(base + n);
            const auto view = [&](const Value& v) {
                return v.offset == none ? v.view : States(arena.data() + v.offset, n);
            };
            std::int32_t* out = arena.data() + base;
            combine<rule>(out, view(left), view(right), n, missing_state, unedited_state);
            arena.resize(base + n);
            if (node.taxa) store.store(task.id, out, n);
            values.push_back({{}, base});
        } else if (node.children.empty()) {
            values.push_back({store.leaf_row(task.id).value_or(States{}), none});
        } else if (node.children.size() != 2) {
            // Intended: such a node is unedited and its subtree is neither visited nor stored.
            const std::size_t offset = arena.size();
            grow_arena(offset + n);
            arena.resize(offset + n, unedited_state);
            values.push_back({{}, offset});
        } else {
            tasks.push_back({task.id, true});
            tasks.push_back({node.children[1], false});
            tasks.push_back({node.children[0], false});
        }
    }
}

}  // namespace

bool names_a_node(const StateMap& states, const SimpleRootedTree& tree) {
    return std::any_of(states.begin(), states.end(),
                       [&](const auto& entry) { return tree.taxa_map.find_entry(entry.first); });
}

namespace detail {

ScoringStates scoring_states(const SimpleRootedTree& tree, const CharacterMatrix& matrix,
                             const StateMap* internal_states, std::int32_t missing_state,
                             std::int32_t unedited_state, InferenceRule rule) {
    const TreeNames names = tree_names(tree);
    const std::size_t name_count = names.leaf_row.size();
    const auto row_of = [&](std::size_t name) {
        const std::size_t row = names.leaf_row[name];
        return row != none && row < matrix.rows() ? row : none;
    };
    ScoringStates out;
    // Per name id: the map entry its nodes read when no row takes precedence.
    std::vector<States> entry(name_count);
    if (internal_states != nullptr) {
        for (const auto& [label, states] : *internal_states) {
            const auto name = tree.taxa_map.find_entry(label);
            if (name && row_of(*name) == none) entry[*name] = states;
        }
    } else if (matrix.rows() > 0) {
        const std::size_t n = matrix.n_characters();
        std::vector<std::size_t> slot(name_count, none);
        // At most one stored vector per name of an internal node, plus the root's.
        std::size_t stored_names = 1;
        for (const Node& node : tree.nodes) stored_names += node.taxa && !is_leaf(node) ? 1U : 0U;
        // One vector of n per labelled internal node: known now, checked before it is made.
        reserve_checked(out.inferred, checked_product(std::min(stored_names, name_count), n));
        InferenceStore store{names, matrix, slot, out.inferred};
        if (rule == InferenceRule::parsimony) {
            infer_from<InferenceRule::parsimony>(tree, tree.root, n, missing_state, unedited_state,
                                                 store);
        } else {
            infer_from<InferenceRule::likelihood>(tree, tree.root, n, missing_state, unedited_state,
                                                  store);
        }
        // The root is always taken as unedited, whatever the inference stored for its name.
        if (tree.nodes[tree.root].taxa) {
            const std::vector<std::int32_t> unedited(n, unedited_state);
            store.store(tree.root, unedited.data(), n);
        }
        for (std::size_t name = 0; name < name_count; ++name) {
            if (slot[name] != none) entry[name] = States(out.inferred.data() + slot[name], n);
        }
    }
    out.by_node.assign(tree.nodes.size(), States{});
    for (std::size_t v = 0; v < tree.nodes.size(); ++v) {
        const std::uint32_t name = names.name_of[v];
        if (name == no_label) continue;
        const std::size_t row = row_of(name);
        out.by_node[v] = row != none ? matrix.row(row) : entry[name];
    }
    return out;
}

}  // namespace detail

}  // namespace veltrane
