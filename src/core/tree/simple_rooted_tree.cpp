// Rooted tree model: the label map, lookups and depths.
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

void throw_missing_node(NodeId id) {
    throw Panic("node id " + std::to_string(id) + " is not in the tree");
}

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
    // The key is drawn with the first table, before any label is hashed.
    if (table_.empty()) key_ = process_hash_key();
    const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16, 2 * count));
    entries_.reserve(count);
    table_.assign(capacity, Slot{});
    shift_ = static_cast<unsigned>(64 - std::countr_zero(capacity));
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const std::uint64_t hash = hash_label(key(entries_[i]), key_);
        table_[probe(key(entries_[i]), hash)] = {static_cast<std::uint32_t>(hash),
                                                 static_cast<std::uint32_t>(i)};
    }
}

std::optional<std::uint32_t> TaxaMap::find_entry(std::string_view label) const noexcept {
    if (entries_.empty()) return std::nullopt;
    const Slot& slot = table_[probe(label, hash_label(label, key_))];
    if (slot.entry == empty_slot) return std::nullopt;
    return slot.entry;
}

template <typename LabelAt>
void TaxaMap::find_each(LabelAt label_at, std::vector<std::uint32_t>& out) const {
    if (entries_.empty()) return;
    // As in insert_node_labels: hashing a few labels ahead lets their slots come in meanwhile.
    constexpr std::size_t ahead = 8;
    std::array<std::uint64_t, ahead> hashes{};
    const auto find = [&](std::size_t e) {
        const Slot& slot = table_[probe(label_at(e), hashes[e % ahead])];
        if (slot.entry != empty_slot) out[e] = slot.entry;
    };
    for (std::size_t e = 0; e < out.size(); ++e) {
        if (e >= ahead) find(e - ahead);
        hashes[e % ahead] = hash_label(label_at(e), key_);
        prefetch(&table_[home(hashes[e % ahead])]);
    }
    for (std::size_t e = out.size() > ahead ? out.size() - ahead : 0; e < out.size(); ++e) find(e);
}

std::vector<std::uint32_t> TaxaMap::find_entries(const TaxaMap& other) const {
    std::vector<std::uint32_t> out(other.size(), no_label);
    find_each([&](std::size_t e) { return other.key(other.entries_[e]); }, out);
    return out;
}

std::vector<std::uint32_t> TaxaMap::find_entries(std::span<const std::string_view> labels) const {
    std::vector<std::uint32_t> out(labels.size(), no_label);
    find_each([&](std::size_t e) { return labels[e]; }, out);
    return out;
}

std::optional<NodeId> TaxaMap::find(std::string_view label) const noexcept {
    const std::optional<std::uint32_t> entry = find_entry(label);
    if (!entry) return std::nullopt;
    return entries_[*entry].id;
}

void TaxaMap::insert_node_labels(NodeTable& nodes, std::size_t labelled) {
    const std::vector<NodeSlot>& slots = nodes.slots;
    nodes.label_ids.assign(slots.size(), no_label);
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
        } else {
            // A shared label: labels are stored in the order they are given, so the larger
            // offset is the later label.
            Entry& e = entries_[slot.entry];
            if (e.offset < offset) e = {offset, s.label_size, id};
        }
        nodes.label_ids[id] = slot.entry;
    };
    // The leaf digest adds up, for the k-th leaf in id order, its label's hash (or a mark for
    // no label) times 2k + 1: the order counts, and no term waits for the one before. The
    // hashes are keyed, so only chance (at most 2^-46 for two swapped labels of a tree under
    // 2^17 leaves) makes two sequences share a digest.
    // Leaves and inner nodes come in no predictable order, so the digest is built without a
    // branch on the leaf test: `leaf` is a mask of all ones or zero.
    constexpr std::uint64_t unlabelled_leaf = 0x2545f4914f6cdd1dULL;
    std::uint64_t digest = 0;
    std::uint64_t odd = 1;  // 2k + 1 for the next leaf
    const auto add_leaf = [&](std::uint64_t leaf, std::uint64_t hash) {
        digest += leaf & (hash * odd);
        odd += leaf & 2U;
    };
    for (NodeId id = 0; id < slots.size(); ++id) {
        const std::uint64_t leaf = 0 - static_cast<std::uint64_t>(slots[id].child_count == 0);
        if (slots[id].label_size == no_index) {
            add_leaf(leaf, unlabelled_leaf);
            continue;
        }
        const std::uint64_t hash = hash_label(nodes.label(slots[id]), key_);
        add_leaf(leaf, hash);
        prefetch(&table_[home(hash)]);
        if (queued >= ahead) insert(ids[queued % ahead], hashes[queued % ahead]);
        hashes[queued % ahead] = hash;
        ids[queued % ahead] = id;
        ++queued;
    }
    for (std::size_t k = queued > ahead ? queued - ahead : 0; k < queued; ++k) {
        insert(ids[k % ahead], hashes[k % ahead]);
    }
    nodes.leaf_label_digest = digest;
}

Node get_node(const SimpleRootedTree& tree, NodeId id) {
    if (id >= tree.nodes.size()) throw_missing_node(id);
    return tree.nodes[id];
}

std::optional<NodeId> get_taxa_node_id(const SimpleRootedTree& tree, std::string_view label) {
    return tree.taxa_map.find(label);
}

std::vector<NodeId> leaf_ids(const SimpleRootedTree& tree) {
    std::vector<NodeId> leaves;
    const std::vector<NodeSlot>& slots = tree.nodes.slots;
    for (NodeId id = 0; id < slots.size(); ++id) {
        if (slots[id].child_count == 0) leaves.push_back(id);
    }
    return leaves;
}

std::vector<std::uint64_t> compute_depths(const SimpleRootedTree& tree) {
    // A parent's id is below its children's, so one pass in id order finds every parent done.
    const std::vector<NodeSlot>& slots = tree.nodes.slots;
    std::vector<std::uint64_t> depths(slots.size(), 0);
    for (NodeId id = 0; id < slots.size(); ++id) {
        if (slots[id].parent != no_index) depths[id] = depths[slots[id].parent] + 1;
    }
    return depths;
}

std::uint64_t count_leaves(const SimpleRootedTree& tree) {
    std::uint64_t leaves = 0;
    for (const NodeSlot& slot : tree.nodes.slots) leaves += slot.child_count == 0 ? 1U : 0U;
    return leaves;
}

}  // namespace veltrane
