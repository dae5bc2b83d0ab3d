// Lenient Newick reader: one pass over the UTF-8 bytes, whitespace dropped on the fly, with the
// node table and label map sized up front.
#include "core/tree/newick.hpp"

#include <algorithm>
#include <array>
#include <cfloat>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "core/support/interrupt.hpp"
#include "core/support/memory.hpp"
#include "core/support/panic.hpp"

namespace veltrane {

namespace {

enum ByteClass : unsigned char {
    plain,        // part of a label or a length
    delimiter,    // ( ) , : ;
    ascii_space,  // U+0009..U+000D, U+0020
    wide_lead,    // first byte of a multi-byte White_Space code point, or of a plain one
};

constexpr std::array<ByteClass, 256> byte_classes = [] {
    std::array<ByteClass, 256> classes{};
    for (const char c : {'(', ')', ',', ':', ';'})
        classes[static_cast<unsigned char>(c)] = delimiter;
    for (const std::size_t c : {0x09u, 0x0Au, 0x0Bu, 0x0Cu, 0x0Du, 0x20u}) classes[c] = ascii_space;
    for (const std::size_t c : {0xC2u, 0xE1u, 0xE2u, 0xE3u}) classes[c] = wide_lead;
    return classes;
}();

// Byte length of the multi-byte White_Space code point at p, or 0 when there is none:
// U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
std::size_t wide_space_length(const unsigned char* p, const unsigned char* end) {
    const auto left = end - p;
    if (left >= 2 && p[0] == 0xC2) return (p[1] == 0x85 || p[1] == 0xA0) ? 2 : 0;
    if (left < 3) return 0;
    switch (p[0]) {
        case 0xE1:
            return (p[1] == 0x9A && p[2] == 0x80) ? 3 : 0;
        case 0xE2:
            if (p[1] == 0x80) {
                const unsigned char c = p[2];
                return ((c >= 0x80 && c <= 0x8A) || c == 0xA8 || c == 0xA9 || c == 0xAF) ? 3 : 0;
            }
            return (p[1] == 0x81 && p[2] == 0x9F) ? 3 : 0;
        case 0xE3:
            return (p[1] == 0x80 && p[2] == 0x80) ? 3 : 0;
        default:
            return 0;
    }
}

// Code points in [begin, end) that are not White_Space. Only run when an error is reported,
// so the hot loop never counts characters.
std::size_t count_characters(const unsigned char* begin, const unsigned char* end) {
    std::size_t count = 0;
    for (const unsigned char* p = begin; p != end;) {
        if (byte_classes[*p] == ascii_space) {
            ++p;
            continue;
        }
        if (const std::size_t skip = wide_space_length(p, end)) {
            p += skip;
            continue;
        }
        if ((*p & 0xC0) != 0x80) ++count;  // continuation bytes belong to the previous character
        ++p;
    }
    return count;
}

// Appends the non-whitespace bytes of a label (or a length, when colon_stops is false) to
// buffer and returns the delimiter that ends it. Text ending first leaves the read without a
// tree.
const unsigned char* read_run(const unsigned char* p, const unsigned char* end, std::string& buffer,
                              bool colon_stops) {
    for (;;) {
        const unsigned char* run = p;
        while (p != end && byte_classes[*p] == plain) ++p;
        buffer.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
        if (p == end) throw Panic("Newick text ends inside a label or branch length");
        switch (byte_classes[*p]) {
            case delimiter:
                if (*p != ':' || colon_stops) return p;
                buffer.push_back(':');  // a ":" inside a length is just another character
                ++p;
                break;
            case ascii_space:
                ++p;
                break;
            default:
                if (const std::size_t skip = wide_space_length(p, end)) {
                    p += skip;
                } else {
                    buffer.push_back(static_cast<char>(*p));
                    ++p;
                }
                break;
        }
    }
}

// True when a decimal that from_chars found out of float range is too large rather than too
// small: the first significant digit's power of ten, plus the exponent, is positive.
bool decimal_overflows(std::string_view text) {
    std::int64_t magnitude = 0;
    std::size_t i = 0;
    std::int64_t integer_digits = 0;
    bool found = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (found || text[i] != '0') {
            found = true;
            ++integer_digits;
        }
    }
    if (found) {
        magnitude = integer_digits - 1;
    } else if (i < text.size() && text[i] == '.') {
        for (++i; i < text.size() && text[i] == '0'; ++i) --magnitude;
        --magnitude;
    }
    while (i < text.size() && text[i] != 'e' && text[i] != 'E') ++i;
    if (i < text.size()) {
        ++i;
        bool negative = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
        constexpr std::int64_t cap = std::int64_t{1} << 40;  // far beyond any float exponent
        std::int64_t exponent = 0;
        for (; i < text.size(); ++i) exponent = std::min(cap, exponent * 10 + (text[i] - '0'));
        magnitude += negative ? -exponent : exponent;
    }
    return magnitude > 0;
}

// Bytes of the 8-byte word w that equal c, as the top bit of each such byte (exact: a borrow
// from one byte never reaches the next).
constexpr std::uint64_t bytes_equal(std::uint64_t w, unsigned char c) noexcept {
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7FULL;
    const std::uint64_t x = w ^ (ones * c);
    return ~(((x & low7) + low7) | x | low7);
}

// 1 + the number of "(" and "," before the first ";": the number of nodes a successful read
// creates. Neither byte occurs inside a multi-byte character. Eight bytes at a time.
std::size_t count_nodes(const unsigned char* begin, const unsigned char* end) {
    const void* semicolon = std::memchr(begin, ';', static_cast<std::size_t>(end - begin));
    const unsigned char* stop = semicolon ? static_cast<const unsigned char*>(semicolon) : end;
    std::size_t count = 1;
    const unsigned char* p = begin;
    for (; stop - p >= 8; p += 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        // One top bit per match: the multiply adds the eight bytes into the top one.
        const std::uint64_t matches = (bytes_equal(w, '(') | bytes_equal(w, ',')) >> 7;
        count += static_cast<std::size_t>((matches * 0x0101010101010101ULL) >> 56);
    }
    for (; p != stop; ++p) count += static_cast<std::size_t>((*p == '(') | (*p == ','));
    return count;
}

// The text of a label or a length. Usually it is one stretch of the input without whitespace,
// kept as a view; whitespace inside it, or a second stretch after a "(", moves it into a buffer.
class Run {
 public:
    bool empty() const noexcept { return view_.empty() && buffer_.empty(); }
    std::string_view text() const noexcept { return buffered_ ? std::string_view(buffer_) : view_; }
    void clear() noexcept {
        view_ = {};
        buffer_.clear();
        buffered_ = false;
    }

    // Reads from p to the delimiter that ends the run (":" too when colon_stops) and returns
    // it. Text ending first leaves the read without a tree.
    const unsigned char* read(const unsigned char* p, const unsigned char* end, bool colon_stops) {
        const unsigned char* start = p;
        while (p != end && byte_classes[*p] == plain) ++p;
        if (!buffered_ && view_.empty() && p != end && byte_classes[*p] == delimiter &&
            (*p != ':' || colon_stops)) {
            view_ = std::string_view(reinterpret_cast<const char*>(start),
                                     static_cast<std::size_t>(p - start));
            return p;
        }
        if (!buffered_) {
            buffer_.assign(view_);
            view_ = {};
            buffered_ = true;
        }
        return read_run(start, end, buffer_, colon_stops);
    }

 private:
    std::string_view view_;
    std::string buffer_;
    bool buffered_ = false;
};

// The common branch length "digits[.digits]" with a value below 2^24 and at most ten digits
// after the point: the digits and the power of ten are exact floats, so one float division
// rounds correctly, as from_chars would. nullopt for anything else.
std::optional<float> short_decimal(std::string_view text) {
    // With excess precision the quotient would be rounded twice.
    if constexpr (FLT_EVAL_METHOD != 0) return std::nullopt;
    static constexpr float powers_of_ten[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                              1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
    // 19 digits cannot overflow 64 bits; longer texts take the general road.
    if (text.size() > 19) return std::nullopt;
    const char* p = text.data();
    const char* const end = p + text.size();
    std::uint64_t mantissa = 0;
    const auto digits = [&]() {
        const char* const first = p;
        for (; p != end && static_cast<unsigned char>(*p - '0') < 10; ++p) {
            mantissa = mantissa * 10 + static_cast<std::uint64_t>(*p - '0');
        }
        return static_cast<std::size_t>(p - first);
    };
    const std::size_t whole = digits();
    std::size_t fraction = 0;
    if (p != end && *p == '.') {
        ++p;
        fraction = digits();
    }
    if (p != end || whole + fraction == 0 || fraction > 10) return std::nullopt;
    if (mantissa >= (std::uint64_t{1} << 24)) return std::nullopt;
    return static_cast<float>(mantissa) / powers_of_ten[fraction];
}

}  // namespace

NewickError::NewickError(std::size_t index)
    : std::runtime_error("Custom { kind: InvalidData, error: InvalidCharacter { idx: " +
                         std::to_string(index) + " } }"),
      idx(index) {}

namespace detail {

std::optional<float> parse_branch_length(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (const std::optional<float> value = short_decimal(text)) return negative ? -*value : *value;
    // from_chars would take a second sign and "nan(...)"; neither is a branch length.
    if (text.empty() || text[0] == '+' || text[0] == '-' || text.find('(') != text.npos) {
        return std::nullopt;
    }
    const char* const last = text.data() + text.size();
    float value = 0.0f;
    const auto [ptr, ec] = std::from_chars(text.data(), last, value, std::chars_format::general);
    if (ec == std::errc::invalid_argument || ptr != last) return std::nullopt;
    if (ec == std::errc::result_out_of_range) {
        // from_chars leaves value untouched here; correct rounding gives infinity or zero.
        value = decimal_overflows(text) ? std::numeric_limits<float>::infinity() : 0.0f;
    }
    return negative ? -value : value;
}

}  // namespace detail

namespace {

// One read in progress: the tree being built, the open nodes and the pending label and length.
class Reader {
 public:
    explicit Reader(std::string_view text)
        : begin_(reinterpret_cast<const unsigned char*>(text.data())), end_(begin_ + text.size()) {
        NodeTable& table = tree_.nodes;
        // Every "(" and "," before the first ";" makes exactly one node, so this count sizes
        // the node table once and for all. Each node but the root is one parent's child once
        // (more only when a node is opened again), and the labels are at most the text.
        const std::size_t node_count = count_nodes(begin_, end_);
        // A text of many short nodes needs far more memory than its own length.
        require_memory(node_count, sizeof(NodeSlot) + sizeof(NodeId));
        table.slots.reserve(node_count);
        table.child_ids.reserve(node_count);
        // Capacity only: pages never written are never touched.
        table.label_bytes.reserve(text.size());
        table.slots.emplace_back();
    }

    SimpleRootedTree read() {
        const unsigned char* p = begin_;
        while (p != end_) {
            if (const std::size_t skip = space_length(p)) {
                p += skip;
                continue;
            }
            switch (*p) {
                case '(':
                    open_node();
                    ++p;
                    break;
                case ')':
                case ',':
                    if (open_.empty()) throw NewickError(count_characters(begin_, p));
                    finish_node(*p == ',');
                    ++p;
                    break;
                case ';':
                    // A length on the root is dropped, and so is everything after the ";".
                    if (!label_.empty()) set_label(current_, label_.text());
                    return finish();
                case ':':
                    p = length_.read(p + 1, end_, false);
                    break;
                default:
                    p = label_.read(p, end_, true);
                    break;
            }
        }
        // Unclosed "(" leave their nodes unattached: the root keeps no child for them.
        return finish();
    }

 private:
    // Bytes of the whitespace at p, or 0.
    std::size_t space_length(const unsigned char* p) const noexcept {
        switch (byte_classes[*p]) {
            case ascii_space:
                return 1;
            case wide_lead:
                return wide_space_length(p, end_);
            default:
                return 0;
        }
    }

    NodeId new_node() {
        NodeTable& table = tree_.nodes;
        const NodeId id = table.slots.size();
        // A text of a gigabyte takes seconds to read: Ctrl-C still stops it. Asked every 64
        // nodes, as the check itself costs about as much as making a node.
        if (id % 64 == 0) check_interrupt(64);
        table.slots.emplace_back();
        return id;
    }

    // "(": the current node opens and a new child becomes current. Neither the label nor the
    // length is cleared: text before a "(" prefixes the next finished node's label (or length),
    // as in "(A(B,C));" where the leaf gets "AB".
    void open_node() {
        open_.push_back(current_);
        open_start_.push_back(held_.value_or(pending_.size()));
        held_.reset();
        current_ = new_node();
    }

    // ")" or ",": the current node is finished as a child of the innermost open node; "," then
    // starts a sibling, ")" closes the parent, which becomes current.
    void finish_node(bool sibling) {
        const NodeId parent = open_.back();
        adopt_held();
        pending_.push_back(current_);
        NodeSlot& slot = tree_.nodes.slots[current_];
        slot.parent = parent;
        if (!length_.empty()) {
            if (const std::optional<float> weight = detail::parse_branch_length(length_.text())) {
                slot.weight = *weight;
                slot.has_weight = true;
            }
        }
        if (!label_.empty()) set_label(current_, label_.text());
        label_.clear();
        length_.clear();
        if (sibling) {
            current_ = new_node();
        } else {
            held_ = open_start_.back();
            current_ = parent;
            open_.pop_back();
            open_start_.pop_back();
        }
    }

    // Labels enter taxa_map when reading ends. Until then their bytes lie side by side in
    // label_bytes, in the order they were given.
    void set_label(NodeId id, std::string_view text) {
        NodeTable& table = tree_.nodes;
        ++labelled_;
        NodeSlot& slot = table.slots[id];
        slot.label_offset = table.label_bytes.size();
        slot.label_size = text.size();
        table.label_bytes.append(text);
    }

    // Moves the children gathered for node id from pending[first, end) to its list. Each node
    // moves its children once, so its list is one run of the shared array.
    void adopt_children(NodeId id, std::size_t first) {
        NodeTable& table = tree_.nodes;
        NodeSlot& slot = table.slots[id];
        slot.first_child = table.child_ids.size();
        slot.child_count = pending_.size() - first;
        table.child_ids.insert(table.child_ids.end(),
                               pending_.begin() + static_cast<std::ptrdiff_t>(first),
                               pending_.end());
        pending_.resize(first);
    }

    // A node closed by ")" keeps its children on top of `pending` until it is finished, as it
    // may be opened again and gather more, as the root in "(A)(B)".
    void adopt_held() {
        if (held_) adopt_children(current_, *held_);
        held_.reset();
    }

    SimpleRootedTree finish() {
        adopt_held();
        for (std::size_t k = open_.size(); k-- > 0;) adopt_children(open_[k], open_start_[k]);
        tree_.taxa_map.insert_node_labels(tree_.nodes, labelled_);
        return std::move(tree_);
    }

    const unsigned char* begin_;
    const unsigned char* end_;
    SimpleRootedTree tree_;
    // The open nodes, and where each one's children start in `pending_`. A node's children are
    // gathered there and move into the shared child array when it closes (or reading ends).
    std::vector<NodeId> open_;
    std::vector<std::size_t> open_start_;
    std::vector<NodeId> pending_;
    std::optional<std::size_t> held_;  // where the children of a closed current node start
    NodeId current_ = 0;
    Run label_;
    Run length_;
    std::size_t labelled_ = 0;
};

}  // namespace

SimpleRootedTree from_newick(std::string_view text) { return Reader(text).read(); }

}  // namespace veltrane
