// Argument binding for METH_FASTCALL | METH_KEYWORDS entries, driven by a parameter table.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
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

// One parameter: its name, how its value converts, and its default. Texts, character matrices
// and required internal states have none; the optional kinds default to None; the integer
// kinds to default_value, shown in the text signature as `shown` when that is given.
struct Param {
    const char* name;
    ParamKind kind;
    std::int64_t default_value = 0;
    const char* shown = nullptr;
};

// True for the kinds that have no default.
constexpr bool is_required(ParamKind kind) noexcept {
    return kind == ParamKind::text || kind == ParamKind::character_matrix ||
           kind == ParamKind::state_map;
}

// One function's parameters, all positional-or-keyword; the required ones come first.
struct Signature {
    const char* name;
    std::span<const Param> params;

    std::size_t required() const noexcept {
        std::size_t count = 0;
        while (count < params.size() && is_required(params[count].kind)) ++count;
        return count;
    }
};

inline constexpr std::size_t max_params = 9;

// Borrowed argument per parameter, nullptr where the caller gave none.
using BoundArgs = std::array<PyObject*, max_params>;

// Binds positional arguments, then keywords in the caller's order, then checks that every
// required parameter is filled. Raises TypeError with the interpreter's wording and throws
// PyErrorSet on the first failure.
BoundArgs bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace veltrane::py
