// Lenient Newick reader.
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "core/tree/simple_rooted_tree.hpp"

namespace veltrane {

// A ")" or "," with no open "(": idx counts characters (not bytes) after whitespace removal.
// what() is the fixed diagnostic text that the boundary appends to its parse-failure prefix:
// "Custom { kind: InvalidData, error: InvalidCharacter { idx: <idx> } }".
class NewickError : public std::runtime_error {
 public:
    explicit NewickError(std::size_t idx);
    std::size_t idx;
};

// Reads UTF-8 Newick text. Throws NewickError for a stray ")" or ",", and Panic when the
// text ends inside a label or a branch length.
SimpleRootedTree from_newick(std::string_view text);

namespace detail {

// A branch length rounded to the nearest float: optional sign, then decimal digits with an
// optional point and exponent, or inf, infinity, nan in any case. Anything else gives none.
std::optional<float> parse_branch_length(std::string_view text);

}  // namespace detail

}  // namespace veltrane
