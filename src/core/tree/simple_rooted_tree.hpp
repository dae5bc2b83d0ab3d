// Rooted tree model: a flat table of nodes addressed by dense node id, and the label map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/tree/binary_rmq.hpp"

namespace veltrane {

using NodeId = std::size_t;

// Marks an absent link or entry: no parent, no label, a node absent from the tour.
inline constexpr std::size_t no_index = std::numeric_limits<std::size_t>::max();

// One node as callers see it: a view of the tree's tables, valid while the tree lives.
struct Node {
    NodeId id = 0;
    std::optional<NodeId> parent;
    std::span<const NodeId> children;  // in text order
    std::optional<std::string_view> taxa;
    std::optional<float> weight;  // stored, never read by a metric
};

// What the table stores for one node: its children and its label are ranges of the table's
// shared arrays, so a tree of N nodes costs a handful of allocations instead of N.
struct NodeSlot {
    NodeId parent = no_index;  // no_index: no parent
    std::size_t first_child = 0;
    std::size_t child_count = 0;
    std::size_t label_offset = 0;
    std::size_t label_size = no_index;  // no_index: no label
    float weight = 0.0f;
    bool has_weight = false;
};

// Marks an unlabelled node in NodeTable::label_ids.
inline constexpr std::uint32_t no_label = 0xFFFFFFFFu;

// The node table: slot i holds node i. Indexing and iteration give Node views.
struct NodeTable {
    std::vector<NodeSlot> slots;
    std::vector<NodeId> child_ids;  // every node's children, each node's list in one run
    std::string label_bytes;        // every label, each in one run; appended to only
    // Per node: the entry of its label in the tree's taxa_map, or no_label. Nodes with equal
    // labels share an entry, so metrics compare labels as small integers.
    std::vector<std::uint32_t> label_ids;
    // Digest of the leaf label sequence in id order (unlabelled leaves included), under the
    // process hash key; written with label_ids. Equal sequences have equal digests; unequal
    // ones share one only by a 64-bit chance.
    std::uint64_t leaf_label_digest = 0;

    std::size_t size() const noexcept { return slots.size(); }
    bool empty() const noexcept { return slots.empty(); }

    // The node in slot id (id below size()).
    Node operator[](NodeId id) const noexcept {
        const NodeSlot& s = slots[id];
        Node node;
        node.id = id;
        if (s.parent != no_index) node.parent = s.parent;
        node.children = std::span<const NodeId>(child_ids.data() + s.first_child, s.child_count);
        if (s.label_size != no_index) node.taxa = label(s);
        if (s.has_weight) node.weight = s.weight;
        return node;
    }

    std::string_view label(const NodeSlot& s) const noexcept {
        return {label_bytes.data() + s.label_offset, s.label_size};
    }

    class const_iterator {
     public:
        using iterator_category = std::input_iterator_tag;
        using value_type = Node;
        using difference_type = std::ptrdiff_t;
        using reference = Node;
        using pointer = void;
        const_iterator(const NodeTable* table, NodeId id) noexcept : table_(table), id_(id) {}
        Node operator*() const noexcept { return (*table_)[id_]; }
        const_iterator& operator++() noexcept {
            ++id_;
            return *this;
        }
        const_iterator operator++(int) noexcept { return {table_, id_++}; }
        bool operator==(const const_iterator& other) const noexcept { return id_ == other.id_; }

     private:
        const NodeTable* table_;
        NodeId id_;
    };
    const_iterator begin() const noexcept { return {this, 0}; }
    const_iterator end() const noexcept { return {this, slots.size()}; }
};

// Label -> node id, by open addressing over one byte buffer: the library's one label hash
// table. Each distinct label is an entry, numbered 0, 1, 2, ... in the order labels first
// occur; iteration gives (label, id) pairs in entry order.
class TaxaMap {
 public:
    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }

    std::optional<NodeId> find(std::string_view label) const noexcept;
    // The entry of label, if any.
    std::optional<std::uint32_t> find_entry(std::string_view label) const noexcept;
    // For every entry of `other`, in order, the entry of the same label here or no_label.
    std::vector<std::uint32_t> find_entries(const TaxaMap& other) const;
    // For every label, in order, its entry here or no_label.
    std::vector<std::uint32_t> find_entries(std::span<const std::string_view> labels) const;
    std::string_view entry_label(std::uint32_t entry) const noexcept {
        return key(entries_[entry]);
    }
    NodeId entry_node(std::uint32_t entry) const noexcept { return entries_[entry].id; }

    // Maps the label of every labelled node in the table to its id, and writes each node's
    // entry to nodes.label_ids and the leaf digest to nodes.leaf_label_digest. Where nodes share a
    // label, the one whose label was stored last wins: for a tree being read, the node labelled
    // last. Meant for a map that is still empty; `labelled`, the number of labelled nodes, sizes
    // it. Throws std::bad_alloc past 2^32 - 2 distinct labels.
    void insert_node_labels(NodeTable& nodes, std::size_t labelled);

    class const_iterator {
     public:
        using iterator_category = std::input_iterator_tag;
        using value_type = std::pair<std::string_view, NodeId>;
        using difference_type = std::ptrdiff_t;
        using reference = value_type;
        using pointer = void;
        const_iterator(const TaxaMap* map, std::size_t i) noexcept : map_(map), i_(i) {}
        value_type operator*() const noexcept {
            const Entry& e = map_->entries_[i_];
            return {map_->key(e), e.id};
        }
        const_iterator& operator++() noexcept {
            ++i_;
            return *this;
        }
        const_iterator operator++(int) noexcept { return {map_, i_++}; }
        bool operator==(const const_iterator& other) const noexcept { return i_ == other.i_; }

     private:
        const TaxaMap* map_;
        std::size_t i_;
    };
    const_iterator begin() const noexcept { return {this, 0}; }
    const_iterator end() const noexcept { return {this, entries_.size()}; }

 private:
    struct Entry {
        std::size_t offset;  // into bytes_
        std::size_t size;
        NodeId id;
    };
    // The slot index is the top bits of a label's hash and the tag its low 32 bits, so most
    // mismatches are settled without reading the entry.
    struct Slot {
        std::uint32_t tag = 0;
        std::uint32_t entry = empty_slot;
    };
    static constexpr std::uint32_t empty_slot = 0xFFFFFFFFu;

    std::string_view key(const Entry& e) const noexcept {
        return {bytes_.data() + e.offset, e.size};
    }
    std::size_t home(std::uint64_t hash) const noexcept {
        return static_cast<std::size_t>(hash >> shift_);
    }
    // The slot holding label, or the empty slot where it would go.
    std::size_t probe(std::string_view label, std::uint64_t hash) const noexcept;
    // Room for count entries with at most half the slots full.
    void reserve(std::size_t count);
    // out[i] = the entry of label_at(i) or no_label, for i below out.size().
    template <typename LabelAt>
    void find_each(LabelAt label_at, std::vector<std::uint32_t>& out) const;

    std::vector<Entry> entries_;
    std::string bytes_;
    std::vector<Slot> table_;
    unsigned shift_ = 63;
    std::uint64_t key_ = 0;  // the process hash key, taken when the table is first made
};

// Built only by the reader (newick.hpp), so its invariants hold by construction: ids are dense
// and follow the text, a parent's id is below its children's, and each child is listed once.
struct SimpleRootedTree {
    NodeTable nodes;  // slot i holds node i
    NodeId root = 0;
    // Label -> node id, internal labels included; a repeated label names the node labelled last.
    TaxaMap taxa_map;

    // Constant-time LCA tables: empty until precompute_constant_time_lca().
    std::vector<NodeId> euler_walk;
    std::vector<std::size_t> fa_index;       // per node id: first tour position, or no_index
    std::vector<std::uint64_t> depth_table;  // per tour position: depth of the node there
    std::optional<BinaryRmq> rmq;            // present exactly when the tables above are
};

inline bool is_leaf(const Node& node) noexcept { return node.children.empty(); }

// Throws Panic("node id <id> is not in the tree"): the one message for an id past the table.
[[noreturn]] void throw_missing_node(NodeId id);

// The node with this id; throws Panic when no such node exists.
Node get_node(const SimpleRootedTree& tree, NodeId id);

// The node id taxa_map gives for label, if any.
std::optional<NodeId> get_taxa_node_id(const SimpleRootedTree& tree, std::string_view label);

// Ids of all nodes without children, in increasing id order (their order in the text).
std::vector<NodeId> leaf_ids(const SimpleRootedTree& tree);

// Number of nodes without children.
std::uint64_t count_leaves(const SimpleRootedTree& tree);

// Edges from each node up to the first node without a parent, indexed by node id: 0 for the
// root and for a node that unbalanced text left unattached.
std::vector<std::uint64_t> compute_depths(const SimpleRootedTree& tree);

}  // namespace veltrane
