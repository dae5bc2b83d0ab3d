// Argument binding for METH_FASTCALL | METH_KEYWORDS entries, driven by a parameter table.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>

namespace veltrane::py {

// How a parameter's Python value is converted (see convert.hpp).
enum class ParamKind : unsigned char {
    text,
    u64,
    optional_u64,
    i32,
    optional_f64,
    character_matrix,
    state_map,
    optional_state_map,
};

struct Param {
    const char* name;
    ParamKind kind;
};

// One function's parameters, all positional-or-keyword; the first `required` have no default.
struct Signature {
    const char* name;
    std::span<const Param> params;
    std::size_t required;
};

inline constexpr std::size_t max_params = 9;

// Borrowed argument per parameter, nullptr where the caller gave none.
using BoundArgs = std::array<PyObject*, max_params>;

// Binds positional arguments, then keywords in the caller's order, then checks that every
// required parameter is filled. Raises TypeError with the interpreter's wording and throws
// PyErrorSet on the first failure.
BoundArgs bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace veltrane::py
