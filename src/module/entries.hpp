// The Python entries of the module, one per exported function.
#pragma once

#include <Python.h>

namespace veltrane::py {

// Every entry has the METH_FASTCALL | METH_KEYWORDS shape and never lets a C++ exception out.
#define VELTRANE_ENTRY(name)                                                \
    PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, \
                   PyObject* kwnames) noexcept

VELTRANE_ENTRY(py_triplets_correct);
VELTRANE_ENTRY(py_triplets_correct_fast);
VELTRANE_ENTRY(py_triplets_correct_ultra);
VELTRANE_ENTRY(py_triplets_correct_parallel);
VELTRANE_ENTRY(py_triplets_correct_optimized);
VELTRANE_ENTRY(py_phs_optimized);
VELTRANE_ENTRY(py_robinson_foulds_distance);
VELTRANE_ENTRY(py_robinson_foulds_distance_normalized);
VELTRANE_ENTRY(py_parsimony_score);
VELTRANE_ENTRY(py_parsimony_p_value);
VELTRANE_ENTRY(py_likelihood_score);
VELTRANE_ENTRY(py_likelihood_distance);

#undef VELTRANE_ENTRY

}  // namespace veltrane::py
