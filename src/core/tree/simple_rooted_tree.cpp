// Rooted tree model: building operations, the label map, lookups and depths.
#include "core/tree/simple_rooted_tree.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "core/support/hashing.hpp"
#include "core/support/panic.hpp"

namespace veltrane {

namespace {

[[noreturn]] void throw_missing(NodeId id) {
    throw Panic("node id " + std::to_string(id) + " is not in the tree");
}

[[noreturn]] void throw_cycle(NodeId id) {
    throw Panic("parent links above node id " + std::to_string(id) + " form a cycle");
}

}  // namespace

std::size_t TaxaMap::probe(std::string_view label, std::uint64_t hash) const noexcept {
    const std::size_t mask = table_.size() - 1;
    const auto tag = static_cast<std::uint32_t>(hash);
    for (std::size_t pos = home(hash);; pos = (pos + 1) & mask) {
        const Slot& slot = table_[pos];
        if (slot.entry == empty_slot) return pos;
        if (slot.tag == tag && key(entries_[slot.entry]) == label) return pos;
    }
}

void TaxaMap::reserve(std::size_t count) {
    if (count >= empty_slot) throw std::bad_alloc();
    if (!table_.empty() && table_.size() >= 2 * count) return;
    const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16, 2 * count));
    entries_.reserve(count);
    table_.assign(capacity, Slot{});
    shift_ = static_cast<unsigned>(64 - std::countr_zero(capacity));
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const std::uint64_t hash = hash_label(key(entries_[i]));
        table_[probe(key(entries_[i]), hash)] = {static_cast<std::uint32_t>(hash),
                                                 static_cast<std::uint32_t>(i)};
    }
}

std::optional<NodeId> TaxaMap::find(std::string_view label) const noexcept {
    if (entries_.empty()) return std::nullopt;
    const Slot& slot = table_[probe(label, hash_label(label))];
    if (slot.entry == empty_slot) return std::nullopt;
    return entries_[slot.entry].id;
}

void TaxaMap::insert_or_assign(std::string_view label, NodeId id) {
    reserve(entries_.size() + 1);
    const std::uint64_t hash = hash_label(label);
    Slot& slot = table_[probe(label, hash)];
    if (slot.entry != empty_slot) {
        entries_[slot.entry].id = id;
        return;
    }
    // Copied first: label may view these very bytes.
    const std::string copy(label);
    slot = {static_cast<std::uint32_t>(hash), static_cast<std::uint32_t>(entries_.size())};
    entries_.push_back({bytes_.size(), copy.size(), id});
    bytes_.append(copy);
}

void TaxaMap::insert_node_labels(const NodeTable& nodes, std::size_t labelled) {
    const std::vector<NodeSlot>& slots = nodes.slots;
    reserve(entries_.size() + labelled);
    // The keys keep their offsets: they are the node table's bytes, after this map's own.
    const std::size_t base = bytes_.size();
    bytes_.append(nodes.label_bytes);
    // A large table is hit at random; hashing a few labels ahead lets the slots they need come
    // in while earlier labels go in.
    constexpr std::size_t ahead = 8;
    std::array<std::uint64_t, ahead> hashes{};
    std::array<NodeId, ahead> ids{};
    std::size_t queued = 0;
    const auto insert = [&](NodeId id, std::uint64_t hash) {
        // Grows only when `labelled` fell short: a full table would never end a probe.
        if (2 * (entries_.size() + 1) > table_.size()) reserve(entries_.size() + 1);
        const NodeSlot& s = slots[id];
        const std::size_t offset = base + s.label_offset;
        Slot& slot = table_[probe(std::string_view(bytes_.data() + offset, s.label_size), hash)];
        if (slot.entry == empty_slot) {
            slot = {static_cast<std::uint32_t>(hash), static_cast<std::uint32_t>(entries_.size())};
            entries_.push_back({offset, s.label_size, id});
            return;
        }
        // A shared label: labels are stored in the order they are given, so the larger offset
        // is the later label.
        Entry& e = entries_[slot.entry];
        if (e.offset < offset) e = {offset, s.label_size, id};
    };
    for (NodeId id = 0; id < slots.size(); ++id) {
        if (slots[id].label_size == no_index) continue;
        const std::uint64_t hash = hash_label(nodes.label(slots[id]));
        prefetch(&table_[home(hash)]);
        if (queued >= ahead) insert(ids[queued % ahead], hashes[queued % ahead]);
        hashes[queued % ahead] = hash;
        ids[queued % ahead] = id;
        ++queued;
    }
    for (std::size_t k = queued > ahead ? queued - ahead : 0; k < queued; ++k) {
        insert(ids[k % ahead], hashes[k % ahead]);
    }
}

void set_node(SimpleRootedTree& tree, const Node& node) {
    const NodeId id = node.id;
    NodeTable& table = tree.nodes;
    // no_index marks vacant slots, so it can never be a real id.
    if (id == no_index || id >= table.slots.max_size()) {
        throw Panic("node id " + std::to_string(id) + " is too large");
    }
    if (node.taxa) tree.taxa_map.insert_or_assign(*node.taxa, id);
    // The node may view this very table: copy its lists before the arrays grow.
    const std::vector<NodeId> children(node.children.begin(), node.children.end());
    const std::optional<std::string> taxa(node.taxa);
    if (id >= table.slots.size()) {
        NodeSlot vacant;
        vacant.vacant = true;
        table.slots.resize(id + 1, vacant);
    }
    NodeSlot slot;
    slot.parent = node.parent.value_or(no_index);
    // The list a replaced node had stays in the shared array, unused.
    slot.first_child = table.child_ids.size();
    slot.child_count = children.size();
    table.child_ids.insert(table.child_ids.end(), children.begin(), children.end());
    if (taxa) {
        slot.label_offset = table.label_bytes.size();
        slot.label_size = taxa->size();
        table.label_bytes.append(*taxa);
    }
    if (node.weight) {
        slot.weight = *node.weight;
        slot.has_weight = true;
    }
    table.slots[id] = slot;
}

void set_node_taxa(SimpleRootedTree& tree, NodeId id, std::string_view label) {
    if (!has_node(tree, id)) throw_missing(id);
    // An earlier label of this node keeps its map entry.
    tree.taxa_map.insert_or_assign(label, id);
    NodeTable& table = tree.nodes;
    const std::string copy(label);
    NodeSlot& slot = table.slots[id];
    slot.label_offset = table.label_bytes.size();
    slot.label_size = copy.size();
    table.label_bytes.append(copy);
}

Node get_node(const SimpleRootedTree& tree, NodeId id) {
    if (!has_node(tree, id)) throw_missing(id);
    return tree.nodes[id];
}

std::span<const NodeId> get_node_children_ids(const SimpleRootedTree& tree, NodeId id) {
    return get_node(tree, id).children;
}

std::optional<NodeId> get_taxa_node_id(const SimpleRootedTree& tree, std::string_view label) {
    return tree.taxa_map.find(label);
}

std::vector<NodeId> leaf_ids(const SimpleRootedTree& tree) {
    std::vector<NodeId> leaves;
    const std::vector<NodeSlot>& slots = tree.nodes.slots;
    for (NodeId id = 0; id < slots.size(); ++id) {
        if (!slots[id].vacant && slots[id].child_count == 0) leaves.push_back(id);
    }
    return leaves;
}

std::uint64_t depth(const SimpleRootedTree& tree, NodeId id) {
    if (!has_node(tree, id)) throw_missing(id);
    if (tree.rmq && id < tree.fa_index.size() && tree.fa_index[id] != no_index) {
        return tree.depth_table[tree.fa_index[id]];
    }
    const std::vector<NodeSlot>& slots = tree.nodes.slots;
    std::uint64_t edges = 0;
    NodeId current = id;
    while (slots[current].parent != no_index) {
        const NodeId parent = slots[current].parent;
        if (!has_node(tree, parent)) throw_missing(parent);
        // A proper tree has fewer edges on any path than it has slots.
        if (++edges >= slots.size()) throw_cycle(id);
        current = parent;
    }
    return edges;
}

std::vector<std::uint64_t> compute_depths(const SimpleRootedTree& tree) {
    const std::vector<NodeSlot>& slots = tree.nodes.slots;
    const std::size_t n = slots.size();
    std::vector<std::uint64_t> depths(n, 0);
    // Reader-built trees give every parent a smaller id than its child, so the first branch
    // below always finds the parent done; other trees take the walk up to a known depth.
    enum : unsigned char { pending, on_path, done };
    std::vector<unsigned char> state(n, pending);
    std::vector<NodeId> path;
    for (NodeId id = 0; id < n; ++id) {
        if (!has_node(tree, id) || state[id] == done) continue;
        const NodeId parent = slots[id].parent;
        if (parent == no_index) {
            state[id] = done;
            continue;
        }
        if (parent < id && state[parent] == done) {
            depths[id] = depths[parent] + 1;
            state[id] = done;
            continue;
        }
        NodeId current = id;
        while (state[current] == pending) {
            state[current] = on_path;
            path.push_back(current);
            const NodeId up = slots[current].parent;
            if (up == no_index) break;
            if (!has_node(tree, up)) throw_missing(up);
            current = up;
        }
        std::uint64_t next = 0;
        if (slots[path.back()].parent != no_index) {
            if (state[current] != done) throw_cycle(id);
            next = depths[current] + 1;
        }
        for (auto it = path.rbegin(); it != path.rend(); ++it) {
            depths[*it] = next++;
            state[*it] = done;
        }
        path.clear();
    }
    return depths;
}

std::uint64_t count_leaves(const SimpleRootedTree& tree) {
    // Vacant slots have no children, so they count as leaves here.
    std::uint64_t leaves = 0;
    for (const NodeSlot& slot : tree.nodes.slots) leaves += slot.child_count == 0 ? 1U : 0U;
    return leaves;
}

}  // namespace veltrane
