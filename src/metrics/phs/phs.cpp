// Pairwise homoplasy score: pairs grouped by LCA, recoded rows, tallied p-values, Simes.
#include "metrics/phs/phs.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "core/pool/chunking.hpp"
#include "core/pool/pool.hpp"
#include "core/support/interrupt.hpp"
#include "core/support/memory.hpp"
#include "core/support/panic.hpp"
#include "core/support/stopwatch.hpp"
#include "core/tree/node_iter.hpp"

namespace veltrane {

namespace {

constexpr std::size_t no_row = std::numeric_limits<std::size_t>::max();
constexpr std::size_t code_block = 16;  // codes compared per step; rows are padded to this
constexpr double p_value_floor = 0x1p-52;

// Preorder from the root with depths, and for every node the range of depth-first positions
// of the labelled leaves below it.
struct Layout {
    std::vector<NodeId> preorder;
    std::vector<std::uint64_t> depth;
    std::vector<std::size_t> lo, hi;
    std::vector<std::size_t> row_at;  // depth-first position -> matrix row
};

Layout lay_out(const SimpleRootedTree& tree, const std::vector<std::size_t>& row_of) {
    const std::size_t n_nodes = tree.nodes.size();
    Layout out;
    // Unbalanced "(" leaves nodes without a parent; no LCA is defined for them.
    out.preorder = checked_preorder_ids(tree);
    out.depth = compute_depths(tree);
    out.lo.assign(n_nodes, 0);
    out.hi.assign(n_nodes, 0);
    for (const NodeId v : out.preorder) {
        out.lo[v] = out.row_at.size();
        if (row_of[v] != no_row) out.row_at.push_back(row_of[v]);
    }
    // A subtree is a contiguous run of the preorder, so its leaves are a contiguous range.
    std::vector<std::size_t> size(n_nodes, 0);
    for (auto it = out.preorder.rbegin(); it != out.preorder.rend(); ++it) {
        const NodeId v = *it;
        if (row_of[v] != no_row) size[v] += 1;
        for (NodeId c : tree.nodes[v].children) size[v] += size[c];
        out.hi[v] = out.lo[v] + size[v];
    }
    return out;
}

// For each node id, the internal-states vector it takes: every label goes to the first node
// (in id order) that carries it, leaves included, even though only LCAs are ever looked up.
std::vector<const std::vector<std::int32_t>*> states_by_node(const SimpleRootedTree& tree,
                                                             const StateMap& internal_states) {
    std::vector<const std::vector<std::int32_t>*> out(tree.nodes.size(), nullptr);
    if (internal_states.empty()) return out;
    const std::vector<std::uint32_t>& label_ids = tree.nodes.label_ids;
    std::vector<NodeId> first_node(tree.taxa_map.size(), no_index);
    for (NodeId v = label_ids.size(); v-- > 0;) {
        if (label_ids[v] != no_label) first_node[label_ids[v]] = v;
    }
    for (const auto& [label, states] : internal_states) {
        if (const auto entry = tree.taxa_map.find_entry(label)) out[first_node[*entry]] = &states;
    }
    return out;
}

template <typename T>
void fill_codes(const CharacterMatrix& matrix, const Layout& layout,
                const std::vector<std::vector<std::int32_t>>& column_states, std::size_t width,
                std::int32_t missing_state, std::int32_t unedited_state, std::vector<T>& codes) {
    // Every row is padded to the longest: one long row makes the table rows x longest.
    require_memory(layout.row_at.size(), width * sizeof(T));
    codes.assign(layout.row_at.size() * width, T{0});
    for (std::size_t pos = 0; pos < layout.row_at.size(); ++pos) {
        const std::span<const std::int32_t> row = matrix.row(layout.row_at[pos]);
        check_interrupt(static_cast<std::int64_t>(1 + row.size() / 1024));
        T* out = codes.data() + pos * width;
        for (std::size_t k = 0; k < row.size(); ++k) {
            const std::int32_t s = row[k];
            if (s == missing_state || s == unedited_state) continue;
            const std::vector<std::int32_t>& states = column_states[k];
            const auto at = std::lower_bound(states.begin(), states.end(), s);
            out[k] = static_cast<T>(at - states.begin() + 1);
        }
    }
}

// Sum of 16 byte lanes, each sum of 8 lanes at most 255: one multiply adds the bytes of a
// 64-bit word into its top byte.
inline std::uint64_t sum_lanes(const std::uint8_t (&lanes)[code_block]) noexcept {
    std::uint64_t lo = 0;
    std::uint64_t hi = 0;
    std::memcpy(&lo, lanes, 8);
    std::memcpy(&hi, lanes + 8, 8);
    constexpr std::uint64_t ones = 0x0101010101010101u;
    return ((lo * ones) >> 56) + ((hi * ones) >> 56);
}

template <typename T>
inline std::uint64_t sum_lanes(const T (&lanes)[code_block]) noexcept {
    std::uint64_t total = 0;
    for (const T lane : lanes) total += lane;
    return total;
}

// Lane counters are flushed before they overflow (byte lanes: before 8 of them can pass 255).
template <typename T>
constexpr std::size_t blocks_per_flush = sizeof(T) == 1 ? 31 : std::numeric_limits<T>::max();

// Number of k < width with u[k] == c[k]; width is a multiple of code_block. The fixed-size
// inner loop is what the compiler turns into vector compares. Blocks > 0 fixes the width at
// compile time (Blocks * code_block) so that short rows compile to straight-line code.
template <typename T, std::size_t Blocks>
inline std::uint64_t count_matches(const T* u, const T* c, std::size_t width) noexcept {
    constexpr std::size_t max_span = code_block * blocks_per_flush<T>;
    if constexpr (Blocks > 0) width = Blocks * code_block;
    std::uint64_t total = 0;
    for (std::size_t start = 0; start < width; start += max_span) {
        const std::size_t stop = std::min(width, start + max_span);
        T lanes[code_block] = {};
        for (std::size_t k = start; k < stop; k += code_block) {
            for (std::size_t l = 0; l < code_block; ++l) {
                lanes[l] = static_cast<T>(lanes[l] + (u[k + l] == c[k + l] ? 1 : 0));
            }
        }
        total += sum_lanes(lanes);
    }
    return total;
}

// Tallies the counts of u against ny consecutive rows.
template <typename T, std::size_t Blocks>
void count_rows(const T* u, const T* rows, std::size_t ny, std::size_t width,
                std::uint64_t* hist) noexcept {
    for (std::size_t y = 0; y < ny; ++y, rows += width) {
        ++hist[count_matches<T, Blocks>(u, rows, width)];
    }
}

template <typename T>
void count_rows_any(const T* u, const T* rows, std::size_t ny, std::size_t width,
                    std::uint64_t* hist) noexcept {
    switch (width / code_block) {
        case 1:
            return count_rows<T, 1>(u, rows, ny, width, hist);
        case 2:
            return count_rows<T, 2>(u, rows, ny, width, hist);
        case 3:
            return count_rows<T, 3>(u, rows, ny, width, hist);
        case 4:
            return count_rows<T, 4>(u, rows, ny, width, hist);
        case 5:
            return count_rows<T, 5>(u, rows, ny, width, hist);
        case 6:
            return count_rows<T, 6>(u, rows, ny, width, hist);
        case 7:
            return count_rows<T, 7>(u, rows, ny, width, hist);
        case 8:
            return count_rows<T, 8>(u, rows, ny, width, hist);
        default:
            return count_rows<T, 0>(u, rows, ny, width, hist);
    }
}

// A position in the work order: row x of block `block` (x counted from the block's x_lo).
struct Cursor {
    std::size_t block = 0;
    std::size_t x = 0;
};

template <typename T>
void tally_pairs(const OptimizedPHSTreeData& data, const std::vector<T>& codes, Cursor from,
                 Cursor to, std::vector<PairTally>& out) {
    constexpr T never = std::numeric_limits<T>::max();
    const std::size_t width = data.width;
    std::vector<std::uint64_t> hist(width + 1, 0);
    std::vector<T> u(width);
    std::uint64_t hist_depth = 0;
    bool pending = false;
    auto flush = [&] {
        for (std::size_t h = 0; h < hist.size(); ++h) {
            if (hist[h] != 0) out.push_back({hist_depth, h, hist[h]});
            hist[h] = 0;
        }
        pending = false;
    };
    for (std::size_t b = from.block; b <= to.block && b < data.blocks.size(); ++b) {
        const PairBlock& block = data.blocks[b];
        if (pending && block.depth != hist_depth) flush();
        hist_depth = block.depth;
        pending = true;
        const std::size_t x_begin = block.x_lo + (b == from.block ? from.x : 0);
        const std::size_t x_end = b == to.block ? block.x_lo + to.x : block.x_hi;
        const std::uint8_t* mask = data.masks.data() + block.mask * width;
        const std::size_t ny = block.y_hi - block.y_lo;
        const T* y_rows = codes.data() + block.y_lo * width;
        // One unit of interrupt cost per 1024 code comparisons, at least one per row.
        const auto row_cost = static_cast<std::int64_t>(1 + ny * width / 1024);
        for (std::size_t x = x_begin; x < x_end; ++x) {
            check_interrupt(row_cost);
            // The LCA's mask and the "edited" test fold into leaf x's row: a position that
            // cannot count gets a code no row contains.
            const T* cx = codes.data() + x * width;
            bool active = false;
            for (std::size_t k = 0; k < width; ++k) {
                const bool counts = mask[k] != 0 && cx[k] != 0;
                u[k] = counts ? cx[k] : never;
                active = active || counts;
            }
            if (!active) {
                hist[0] += ny;
                continue;
            }
            count_rows_any(u.data(), y_rows, ny, width, hist.data());
        }
    }
    if (pending) flush();
}

bool by_depth_then_count(const PairTally& a, const PairTally& b) {
    return a.depth != b.depth ? a.depth < b.depth : a.homoplasy < b.homoplasy;
}

// Sorts by (depth, count) and merges equal keys.
void merge_tallies(std::vector<PairTally>& tallies) {
    std::sort(tallies.begin(), tallies.end(), by_depth_then_count);
    std::size_t kept = 0;
    for (const PairTally& t : tallies) {
        if (kept > 0 && tallies[kept - 1].depth == t.depth &&
            tallies[kept - 1].homoplasy == t.homoplasy) {
            tallies[kept - 1].pairs += t.pairs;
        } else {
            tallies[kept++] = t;
        }
    }
    tallies.resize(kept);
}

// floor(total * c / chunks) without overflow.
std::uint64_t share(std::uint64_t total, std::size_t c, std::size_t chunks) {
    const std::uint64_t q = total / chunks;
    const std::uint64_t r = total % chunks;
    return q * c + r * c / chunks;
}

}  // namespace

namespace {

// Row of each node: row i belongs to the i-th labelled leaf in id order; other nodes take none.
std::vector<std::size_t> rows_of_labelled_leaves(const SimpleRootedTree& tree,
                                                 std::size_t& labelled) {
    std::vector<std::size_t> row_of(tree.nodes.size(), no_row);
    labelled = 0;
    for (const Node& node : tree.nodes) {
        if (is_leaf(node) && node.taxa) row_of[node.id] = labelled++;
    }
    return row_of;
}

// The distinct edited states of each column over the first `rows` rows, sorted: a state's
// code is its rank plus one.
std::vector<std::vector<std::int32_t>> column_states_of(const CharacterMatrix& matrix,
                                                        std::size_t rows,
                                                        std::int32_t missing_state,
                                                        std::int32_t unedited_state) {
    std::size_t row_width = 0;
    for (std::size_t r = 0; r < rows; ++r) row_width = std::max(row_width, matrix.row(r).size());
    std::vector<std::vector<std::int32_t>> column_states(row_width);
    for (std::size_t r = 0; r < rows; ++r) {
        const std::span<const std::int32_t> row = matrix.row(r);
        for (std::size_t k = 0; k < row.size(); ++k) {
            if (row[k] != missing_state && row[k] != unedited_state) {
                column_states[k].push_back(row[k]);
            }
        }
    }
    for (std::vector<std::int32_t>& states : column_states) {
        std::sort(states.begin(), states.end());
        states.erase(std::unique(states.begin(), states.end()), states.end());
        states.shrink_to_fit();
    }
    return column_states;
}

// Recodes the rows of the labelled leaves, in depth-first order, with the narrowest code type
// that holds every column's states plus 0 and the never-matching maximum.
void encode_rows(const CharacterMatrix& matrix, const Layout& layout,
                 const std::vector<std::vector<std::int32_t>>& column_states,
                 std::int32_t missing_state, std::int32_t unedited_state,
                 OptimizedPHSTreeData& data) {
    std::size_t most_states = 0;
    for (const std::vector<std::int32_t>& states : column_states) {
        most_states = std::max(most_states, states.size());
    }
    if (most_states < std::numeric_limits<std::uint8_t>::max()) {
        data.codes = std::vector<std::uint8_t>{};
    } else if (most_states < std::numeric_limits<std::uint16_t>::max()) {
        data.codes = std::vector<std::uint16_t>{};
    } else {
        data.codes = std::vector<std::uint32_t>{};
    }
    std::visit(
        [&](auto& codes) {
            fill_codes(matrix, layout, column_states, data.width, missing_state, unedited_state,
                       codes);
        },
        data.codes);
}

// The row of flags of node v's states (1 where unedited), appended to data.masks; no_row when
// v has no states or none of them is unedited, so that every pair below v counts 0.
std::size_t add_mask(const std::vector<std::int32_t>* states, std::size_t row_width,
                     std::int32_t unedited_state, OptimizedPHSTreeData& data) {
    if (states == nullptr) return no_row;
    const std::size_t width = data.width;
    std::vector<std::uint8_t> mask(width, 0);
    bool any = false;
    for (std::size_t k = 0; k < std::min(states->size(), row_width); ++k) {
        mask[k] = (*states)[k] == unedited_state ? 1 : 0;
        any = any || mask[k] != 0;
    }
    if (!any) return no_row;
    const std::size_t row = data.masks.size() / std::max<std::size_t>(width, 1);
    data.masks.insert(data.masks.end(), mask.begin(), mask.end());
    return row;
}

// Groups the pairs by their LCA v: the leaves of each child of v against those of the later
// children form a block compared under v's mask, or count 0 when v has no mask.
void group_pairs(const SimpleRootedTree& tree, const Layout& layout,
                 const StateMap& internal_states, std::size_t row_width,
                 std::int32_t unedited_state, OptimizedPHSTreeData& data) {
    const std::size_t width = data.width;
    const std::vector<const std::vector<std::int32_t>*> states =
        states_by_node(tree, internal_states);
    // A mask of `width` bytes per internal node with states: many such nodes and one long row
    // make it far larger than the input.
    std::size_t masked_nodes = 0;
    for (const NodeId v : layout.preorder) {
        if (tree.nodes[v].children.size() >= 2 && states[v] != nullptr) ++masked_nodes;
    }
    require_memory(masked_nodes, width);
    data.masks.reserve(masked_nodes * width);
    for (const NodeId v : layout.preorder) {
        const std::span<const NodeId> kids = tree.nodes[v].children;
        if (kids.size() < 2) continue;
        check_interrupt(static_cast<std::int64_t>(1 + width / 1024));
        const std::uint64_t depth = layout.depth[v];
        const std::size_t mask_row = add_mask(states[v], row_width, unedited_state, data);
        std::uint64_t zero_pairs = 0;
        for (const NodeId c : kids) {
            const std::size_t nx = layout.hi[c] - layout.lo[c];
            const std::size_t ny = layout.hi[v] - layout.hi[c];
            if (nx == 0 || ny == 0) continue;
            if (mask_row == no_row || width == 0) {
                zero_pairs += static_cast<std::uint64_t>(nx) * ny;
                continue;
            }
            // Pairs are symmetric; the shorter range is the one whose rows get masked.
            PairBlock block{depth,        mask_row,     layout.lo[c],
                            layout.hi[c], layout.hi[c], layout.hi[v]};
            if (nx > ny) {
                std::swap(block.x_lo, block.y_lo);
                std::swap(block.x_hi, block.y_hi);
            }
            data.blocks.push_back(block);
        }
        if (zero_pairs > 0) data.zero_tallies.push_back({depth, 0, zero_pairs});
    }
    std::stable_sort(data.blocks.begin(), data.blocks.end(),
                     [](const PairBlock& a, const PairBlock& b) { return a.depth < b.depth; });
}

}  // namespace

OptimizedPHSTreeData build_phs_tree_data(const SimpleRootedTree& tree,
                                         const CharacterMatrix& matrix,
                                         const StateMap& internal_states,
                                         std::int32_t missing_state, std::int32_t unedited_state) {
    std::size_t labelled = 0;
    const std::vector<std::size_t> row_of = rows_of_labelled_leaves(tree, labelled);
    if (labelled >= 2 && matrix.rows() < labelled) {
        throw PhsInputError("character_matrix has " + std::to_string(matrix.rows()) +
                            " rows but the tree has " + std::to_string(labelled) +
                            " labelled leaves");
    }
    const Layout layout = lay_out(tree, row_of);
    if (labelled == 0) throw Panic("the tree has no labelled leaf");

    OptimizedPHSTreeData data;
    data.labelled_leaves = labelled;
    if (labelled < 2) return data;
    const std::vector<std::vector<std::int32_t>> column_states =
        column_states_of(matrix, labelled, missing_state, unedited_state);
    const std::size_t row_width = column_states.size();
    data.width = (row_width + code_block - 1) / code_block * code_block;
    encode_rows(matrix, layout, column_states, missing_state, unedited_state, data);
    group_pairs(tree, layout, internal_states, row_width, unedited_state, data);
    return data;
}

std::vector<PairTally> calculate_phs_optimized(const OptimizedPHSTreeData& data,
                                               std::size_t chunks) {
    const std::vector<PairBlock>& blocks = data.blocks;
    std::vector<std::uint64_t> cum(blocks.size() + 1, 0);
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const PairBlock& block = blocks[b];
        cum[b + 1] = cum[b] + static_cast<std::uint64_t>(block.x_hi - block.x_lo) *
                                  (block.y_hi - block.y_lo);
    }
    const std::uint64_t total = cum.back();
    chunks = std::max<std::size_t>(chunks, 1);
    // Chunk c starts at the first x row whose first pair is at or after c * total / chunks.
    auto cursor_at = [&](std::uint64_t target) -> Cursor {
        const std::size_t b = static_cast<std::size_t>(
            std::upper_bound(cum.begin(), cum.end(), target) - cum.begin() - 1);
        if (b >= blocks.size()) return {blocks.size(), 0};
        const std::uint64_t ny = blocks[b].y_hi - blocks[b].y_lo;
        const std::uint64_t x = (target - cum[b] + ny - 1) / ny;
        if (x >= blocks[b].x_hi - blocks[b].x_lo) return {b + 1, 0};
        return {b, static_cast<std::size_t>(x)};
    };
    std::vector<Cursor> bounds(chunks + 1);
    for (std::size_t c = 0; c <= chunks; ++c) bounds[c] = cursor_at(share(total, c, chunks));

    std::vector<std::vector<PairTally>> parts(chunks);
    auto run = [&](std::size_t c) {
        std::visit(
            [&](const auto& codes) {
                tally_pairs(data, codes, bounds[c], bounds[c + 1], parts[c]);
            },
            data.codes);
    };
    if (chunks == 1) {
        run(0);
    } else {
        run_chunks(chunks, run);
    }

    std::vector<PairTally> tallies = data.zero_tallies;
    for (const std::vector<PairTally>& part : parts) {
        tallies.insert(tallies.end(), part.begin(), part.end());
    }
    merge_tallies(tallies);
    return tallies;
}

namespace {

std::string format_number(double x) {
    if (std::isnan(x)) return "nan";  // whatever its sign bit
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.6g", x);
    return buffer;
}

[[noreturn]] void throw_undefined_p_value(std::uint64_t depth, double mu, double q) {
    const double pi = detail::phs_edit_probability(static_cast<double>(depth), mu, q);
    throw PhsInputError(
        "the p-value of the pairs whose lowest common ancestor is at depth " +
        std::to_string(depth) + " is undefined: with mutation_rate " + format_number(mu) +
        " and collision_probability " + format_number(q) +
        ", the per-character probability of a shared edit there is " +
        (std::isnan(pi) ? std::string("not a number") : format_number(pi) + ", outside [0, 1]") +
        ". Depths are counted in edges from the root, so give a per-edge "
        "mutation_rate small enough for the tree's depth (without one, the rate is estimated "
        "from the share of edited entries in character_matrix, which suits trees only a few "
        "edges deep) and a collision_probability within [0, 1].");
}

}  // namespace

double calculate_phs_pvalues(std::span<const PairTally> tallies, std::uint64_t n, double mu,
                             double q) {
    std::vector<PairTally> sorted(tallies.begin(), tallies.end());
    merge_tallies(sorted);
    std::vector<detail::PValueGroup> groups;
    groups.reserve(sorted.size());
    for (std::size_t i = 0; i < sorted.size();) {
        std::size_t j = i;
        while (j < sorted.size() && sorted[j].depth == sorted[i].depth) ++j;
        const std::vector<double> p = detail::phs_pvalues_at_depth(
            sorted[j - 1].homoplasy, static_cast<double>(sorted[i].depth), n, mu, q);
        for (; i < j; ++i) {
            if (sorted[i].pairs == 0) continue;
            const double value = p[sorted[i].homoplasy];
            // A NaN would make a score that means nothing, or no order for Simes' method.
            if (std::isnan(value)) throw_undefined_p_value(sorted[i].depth, mu, q);
            groups.push_back({value, sorted[i].pairs});
        }
    }
    return detail::simes_grouped(std::move(groups));
}

PhsResult phs_optimized(const SimpleRootedTree& tree, const CharacterMatrix& matrix,
                        const StateMap& internal_states, const PhsOptions& options) {
    const Stopwatch clock;
    PhsResult result;
    std::vector<PairTally> tallies;
    {
        const OptimizedPHSTreeData data = build_phs_tree_data(
            tree, matrix, internal_states, options.missing_state, options.unedited_state);
        const std::uint64_t leaves = data.labelled_leaves;
        if (leaves < 2) {
            result.phs_score = 1.0;
            result.total_pairs = 0;
            result.method_used = "no_pairs";
            result.parallel_chunks_used = 1;
            result.computation_time_ms = clock.elapsed_ms();
            return result;
        }
        result.total_pairs = leaves * (leaves - 1) / 2;
        // The pool is neither created nor asked for its size below 2000 pairs.
        const std::uint64_t g =
            result.total_pairs < 2000
                ? 1
                : chunk_count_for(result.total_pairs, 8000, 2000,
                                  worker_count(options.max_threads, pool_size()));
        result.method_used = g > 1 ? "optimized_parallel" : "optimized_sequential";
        result.parallel_chunks_used = g;
        // A few pieces per chunk even out uneven blocks, as work stealing would.
        tallies = calculate_phs_optimized(
            data, g > 1 ? static_cast<std::size_t>(g * pieces_per_chunk_optimized(g)) : 1);
    }
    const double mu =
        options.mutation_rate
            ? *options.mutation_rate
            : detail::estimate_mutation_rate(matrix, options.missing_state, options.unedited_state);
    const double q = options.collision_probability.value_or(0.1);
    result.phs_score = calculate_phs_pvalues(tallies, matrix.n_characters(), mu, q);
    result.computation_time_ms = clock.elapsed_ms();
    return result;
}

namespace detail {

double estimate_mutation_rate(const CharacterMatrix& matrix, std::int32_t missing_state,
                              std::int32_t unedited_state) {
    if (matrix.rows() == 0) return 0.1;
    std::uint64_t observed = 0;
    std::uint64_t edited = 0;
    for (const std::int32_t s : matrix.values) {
        if (s == missing_state) continue;
        ++observed;
        if (s != unedited_state) ++edited;
    }
    if (observed == 0) return 0.1;
    return -std::log(1.0 - static_cast<double>(edited) / static_cast<double>(observed));
}

double phs_edit_probability(double d, double mu, double q) {
    // A pair whose LCA sits at depth exactly 1 counts as certain (pi = 1) by definition.
    if (d == 1.0) return 1.0;
    const double t = 1.0 - std::exp(-mu * (1.0 - d));
    return q * std::exp(-mu * d) * (t * t);
}

std::vector<double> phs_pvalues_at_depth(std::uint64_t max_h, double d, std::uint64_t n, double mu,
                                         double q) {
    std::vector<double> p(max_h + 1, 1.0);
    if (max_h == 0) return p;
    // The binomial tail 1 - sum_{k < h} P(k) shares its terms across h: S(h) is the running
    // sum after term h - 1, accumulated in the same ascending order as a single sum would be.
    const double pi = phs_edit_probability(d, mu, q);
    if (pi == 0.0) {
        std::fill(p.begin() + 1, p.end(), 0.0);
    } else if (pi == 1.0) {
        for (std::uint64_t h = 1; h <= max_h; ++h) p[h] = h <= n ? 1.0 : 0.0;
    } else {
        const double ln_pi = std::log(pi);
        const double ln_rest = std::log(1.0 - pi);
        std::vector<double> ln_c_prefix{0.0};  // sum of ln((n - i) / (i + 1)) for i < m
        double sum = 0.0;
        for (std::uint64_t h = 1; h <= max_h; ++h) {
            const std::uint64_t k = h - 1;
            if (k <= n) {
                const std::uint64_t m = std::min(k, n - k);
                while (ln_c_prefix.size() <= m) {
                    const std::uint64_t i = ln_c_prefix.size() - 1;
                    ln_c_prefix.push_back(
                        ln_c_prefix.back() +
                        std::log(static_cast<double>(n - i) / static_cast<double>(i + 1)));
                }
                sum += std::exp(ln_c_prefix[m] + static_cast<double>(k) * ln_pi +
                                static_cast<double>(n - k) * ln_rest);
            }
            p[h] = 1.0 - sum;
        }
    }
    for (double& value : p) {
        if (value == 0.0) value = p_value_floor;
    }
    return p;
}

double simes_grouped(std::vector<PValueGroup> groups) {
    std::uint64_t m = 0;
    for (const PValueGroup& g : groups) m += g.pairs;
    if (m == 0) return std::numeric_limits<double>::infinity();
    if (m == 1) {
        for (const PValueGroup& g : groups) {
            if (g.pairs == 1) return g.p;
        }
    }
    for (const PValueGroup& g : groups) {
        if (g.pairs > 0 && std::isnan(g.p)) {
            throw Panic(
                "a pair p-value is NaN and cannot be ordered "
                "(check mutation_rate and collision_probability)");
        }
    }
    std::sort(groups.begin(), groups.end(),
              [](const PValueGroup& a, const PValueGroup& b) { return a.p < b.p; });
    const double mf = static_cast<double>(m);
    double best = std::numeric_limits<double>::infinity();
    std::uint64_t rank = 0;
    for (std::size_t i = 0; i < groups.size();) {
        const double p = groups[i].p;
        std::uint64_t run = 0;
        for (; i < groups.size() && groups[i].p == p; ++i) run += groups[i].pairs;
        if (run == 0) continue;
        // m * p / i falls with i for p > 0 and rises for a p rounded below zero.
        const double first = mf * p / static_cast<double>(rank + 1);
        const double last = mf * p / static_cast<double>(rank + run);
        best = std::min(best, std::min(first, last));
        rank += run;
    }
    return best;
}

}  // namespace detail

}  // namespace veltrane
