// Leaf-to-row index, per-node state lookup and the iterative bottom-up state inference.
#include "metrics/characters/character_data.hpp"

#include <algorithm>
#include <bit>
#include <functional>
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

// The row a leaf reads, found through its name (so a repeated name reads the later leaf's row).
std::optional<States> leaf_row_by_name(const Node& node, const LeafRowIndex& index,
                                       const CharacterMatrix& matrix) {
    if (!node.taxa) return std::nullopt;
    const auto it = index.rows.find(*node.taxa);
    if (it == index.rows.end() || it->second >= matrix.rows()) return std::nullopt;
    return matrix.row(it->second);
}

// The names of a tree as dense ids: equal labels share an id.
struct TreeNames {
    std::vector<std::size_t> name_of;     // per node id; none when unnamed
    std::vector<std::string_view> names;  // per name id: the label of its first node
    std::vector<std::size_t> leaf_row;    // per name id: number of its last leaf, or none
};

// Open addressing with linear probing over a power-of-two table sized for every node, so it
// never fills; the hash of each name is kept to skip most string compares.
TreeNames intern_names(const SimpleRootedTree& tree) {
    TreeNames out;
    out.name_of.assign(tree.nodes.size(), none);
    const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16, 2 * tree.nodes.size()));
    const std::size_t mask = capacity - 1;
    std::vector<std::size_t> slots(capacity, none);
    std::vector<std::size_t> hashes;
    std::size_t leaf_number = 0;
    for (std::size_t v = 0; v < tree.nodes.size(); ++v) {
        const Node& node = tree.nodes[v];
        const bool leaf = is_leaf(node);
        if (node.taxa) {
            const std::string_view name = *node.taxa;
            const std::size_t hash = std::hash<std::string_view>{}(name);
            std::size_t i = hash & mask;
            while (slots[i] != none && (hashes[slots[i]] != hash || out.names[slots[i]] != name)) {
                i = (i + 1) & mask;
            }
            if (slots[i] == none) {
                slots[i] = out.names.size();
                out.names.push_back(name);
                hashes.push_back(hash);
                out.leaf_row.push_back(none);
            }
            out.name_of[v] = slots[i];
            if (leaf) out.leaf_row[slots[i]] = leaf_number;
        }
        if (leaf) ++leaf_number;
    }
    return out;
}

// How inference reads a leaf's row and keeps a named node's vector: by name in a StateMap
// (the public form), or by interned name id in one flat buffer (the scoring form).
struct MapAccess {
    const LeafRowIndex& index;
    const CharacterMatrix& matrix;
    StateMap& states;

    std::optional<States> leaf_row(const Node& node, NodeId) const {
        return leaf_row_by_name(node, index, matrix);
    }
    // A later node with the same name replaces the earlier entry.
    void store(const Node& node, NodeId, const std::int32_t* values, std::size_t n) {
        states.try_emplace(std::string(*node.taxa)).first->second.assign(values, values + n);
    }
};

struct IdAccess {
    const TreeNames& names;
    const CharacterMatrix& matrix;
    std::vector<std::size_t>& slot;  // per name id: offset of its vector in buffer, or none
    std::vector<std::int32_t>& buffer;

    std::optional<States> leaf_row(const Node&, NodeId v) const {
        const std::size_t name = names.name_of[v];
        if (name == none) return std::nullopt;
        const std::size_t row = names.leaf_row[name];
        if (row == none || row >= matrix.rows()) return std::nullopt;
        return matrix.row(row);
    }
    void store(const Node&, NodeId v, const std::int32_t* values, std::size_t n) {
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
template <detail::InferenceRule rule, typename Access>
std::vector<std::int32_t> infer_from(const SimpleRootedTree& tree, NodeId start, std::size_t n,
                                     std::int32_t missing_state, std::int32_t unedited_state,
                                     Access& access) {
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
        const Node& node = get_node(tree, task.id);
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
            if (node.taxa) access.store(node, task.id, out, n);
            values.push_back({{}, base});
        } else if (node.children.empty()) {
            values.push_back({access.leaf_row(node, task.id).value_or(States{}), none});
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
    const Value result = values.back();
    if (result.offset == none) return {result.view.begin(), result.view.end()};
    return {arena.begin() + static_cast<std::ptrdiff_t>(result.offset),
            arena.begin() + static_cast<std::ptrdiff_t>(result.offset + n)};
}

template <typename Access>
std::vector<std::int32_t> infer_with(detail::InferenceRule rule, const SimpleRootedTree& tree,
                                     NodeId start, std::size_t n, std::int32_t missing_state,
                                     std::int32_t unedited_state, Access& access) {
    if (rule == detail::InferenceRule::parsimony) {
        return infer_from<detail::InferenceRule::parsimony>(tree, start, n, missing_state,
                                                            unedited_state, access);
    }
    return infer_from<detail::InferenceRule::likelihood>(tree, start, n, missing_state,
                                                         unedited_state, access);
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
    const auto entry = states.find(std::string(*node.taxa));
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
        const auto row = leaf_row_by_name(node, index, matrix);
        if (row) return {row->begin(), row->end()};
        return std::vector<std::int32_t>(n, missing_state);
    }
    MapAccess access{index, matrix, states};
    return infer_with(rule, tree, start, n, missing_state, unedited_state, access);
}

ScoringStates scoring_states(const SimpleRootedTree& tree, const CharacterMatrix& matrix,
                             const StateMap* internal_states, std::int32_t missing_state,
                             std::int32_t unedited_state, InferenceRule rule) {
    const TreeNames names = intern_names(tree);
    const std::size_t name_count = names.names.size();
    const auto row_of = [&](std::size_t name) {
        const std::size_t row = names.leaf_row[name];
        return row != none && row < matrix.rows() ? row : none;
    };
    ScoringStates out;
    // Per name id: the map entry its nodes read when no row takes precedence.
    std::vector<States> entry(name_count);
    if (internal_states != nullptr) {
        for (std::size_t name = 0; name < name_count; ++name) {
            if (row_of(name) != none) continue;
            const auto it = internal_states->find(std::string(names.names[name]));
            if (it != internal_states->end()) entry[name] = it->second;
        }
    } else if (matrix.rows() > 0) {
        const std::size_t n = matrix.n_characters();
        std::vector<std::size_t> slot(name_count, none);
        // At most one stored vector per name of an internal node, plus the root's.
        std::size_t stored_names = 1;
        for (const Node& node : tree.nodes) stored_names += node.taxa && !is_leaf(node) ? 1U : 0U;
        // One vector of n per labelled internal node: known now, checked before it is made.
        reserve_checked(out.inferred, checked_product(std::min(stored_names, name_count), n));
        IdAccess access{names, matrix, slot, out.inferred};
        infer_with(rule, tree, tree.root, n, missing_state, unedited_state, access);
        // The root is always taken as unedited, whatever the inference stored for its name.
        const Node& root = get_node(tree, tree.root);
        if (root.taxa) {
            const std::vector<std::int32_t> unedited(n, unedited_state);
            access.store(root, tree.root, unedited.data(), n);
        }
        for (std::size_t name = 0; name < name_count; ++name) {
            if (slot[name] != none) entry[name] = States(out.inferred.data() + slot[name], n);
        }
    }
    out.by_node.assign(tree.nodes.size(), States{});
    for (std::size_t v = 0; v < tree.nodes.size(); ++v) {
        const std::size_t name = names.name_of[v];
        if (name == none) continue;
        const std::size_t row = row_of(name);
        out.by_node[v] = row != none ? matrix.row(row) : entry[name];
    }
    return out;
}

}  // namespace detail

}  // namespace veltrane
