// Conversion of bound arguments into plain C++ values, in the interpreter's wording.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "core/tree/simple_rooted_tree.hpp"
#include "metrics/characters/character_data.hpp"
#include "module/binding.hpp"

namespace veltrane::py {

// The bound arguments of one call with their parameter table. Each accessor converts
// parameter i (which must be of the matching kind); a failure raises the Python error, with
// the "argument '<name>': " prefix when it is exactly a TypeError, and throws PyErrorSet.
class Arguments {
 public:
    Arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
        : sig_(sig), bound_(bind(sig, args, nargs, kwnames)) {}

    std::size_t size() const noexcept { return sig_.params.size(); }
    const char* function_name() const noexcept { return sig_.name; }

    // UTF-8 view of a str, valid while the call runs (the caller holds the object).
    std::string_view text(std::size_t i) const;
    // The integer kinds give the parameter's default when the caller left it out.
    std::uint64_t u64(std::size_t i) const;
    std::optional<std::uint64_t> optional_u64(std::size_t i) const;
    std::int32_t i32(std::size_t i) const;
    std::optional<double> optional_f64(std::size_t i) const;
    CharacterMatrix character_matrix(std::size_t i) const;
    StateMap state_map(std::size_t i) const;
    std::optional<StateMap> optional_state_map(std::size_t i) const;

 private:
    PyObject* arg(std::size_t i, ParamKind kind) const;
    [[noreturn]] void fail(std::size_t i) const;

    const Signature& sig_;
    BoundArgs bound_;
};

// The prefixes of parse failures, by argument; the reader's diagnostic text follows them.
inline constexpr const char* tree_prefix = "Failed to parse tree: ";
inline constexpr const char* tree1_prefix = "Failed to parse tree1: ";
inline constexpr const char* tree2_prefix = "Failed to parse tree2: ";
inline constexpr const char* reconstructed_prefix = "Failed to parse reconstructed tree: ";
inline constexpr const char* ground_truth_prefix = "Failed to parse ground truth tree: ";

// Reads a Newick text; a reader error becomes ValueError(prefix + diagnostic text).
SimpleRootedTree parse_tree_arg(std::string_view text, const char* prefix);

// Reads two Newick texts, each failing as parse_tree_arg with its own prefix. Large texts are
// read at the same time on the worker pool; a failure of the first text still wins over one
// of the second, as when they are read one after the other.
std::pair<SimpleRootedTree, SimpleRootedTree> parse_tree_args(std::string_view text1,
                                                              const char* prefix1,
                                                              std::string_view text2,
                                                              const char* prefix2);

}  // namespace veltrane::py
