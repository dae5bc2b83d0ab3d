// One Python function of the module, declared in one place: its name, summary line and
// parameters (with their defaults), and the body that runs once the arguments are bound.
#pragma once

#include <Python.h>

#include "module/binding.hpp"
#include "module/convert.hpp"
#include "module/py_ref.hpp"

namespace veltrane::py {

using FastEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;

struct Function {
    Signature signature;
    // The docstring's summary line, kept byte for byte (callers read it as it stands).
    const char* summary;
    // Converts the arguments in parameter order, parses, computes, builds the result.
    PyRef (*run)(const Arguments& args);
    // The METH_FASTCALL | METH_KEYWORDS entry the interpreter calls: entry<function>.
    FastEntry entry;
};

// The one wrapper every entry goes through: binds the arguments, runs the body with Ctrl-C
// polled, and turns every C++ exception into a Python error. Never throws.
PyObject* call_function(const Function& function, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;

template <const Function& function>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_function(function, args, nargs, kwnames);
}

// The twelve functions, defined in the entries_*.cpp files; module.cpp registers them in the
// order of __all__.
extern const Function triplets_correct_function;
extern const Function triplets_correct_fast_function;
extern const Function triplets_correct_ultra_function;
extern const Function triplets_correct_parallel_function;
extern const Function triplets_correct_optimized_function;
extern const Function phs_optimized_function;
extern const Function robinson_foulds_distance_function;
extern const Function robinson_foulds_distance_normalized_function;
extern const Function parsimony_score_function;
extern const Function parsimony_p_value_function;
extern const Function likelihood_score_function;
extern const Function likelihood_distance_function;

}  // namespace veltrane::py
