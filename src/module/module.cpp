// Module creation: the function table, __all__, and the once-per-process guard.
#include <Python.h>

#include "module/entries.hpp"
#include "module/errors.hpp"
#include "module/py_ref.hpp"

namespace veltrane::py {

namespace {

// FASTCALL functions enter the table through a generic function pointer, as CPython's own
// _PyCFunction_CAST does; a direct cast trips -Wcast-function-type.
template <typename F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int fastcall_flags = METH_FASTCALL | METH_KEYWORDS;

// Registration order is the order of __all__. Each docstring is the signature line, the
// "\n--\n\n" separator that turns it into __text_signature__, and the summary line.
PyMethodDef function_table[] = {
    {"triplets_correct", as_cfunction(py_triplets_correct), fastcall_flags,
     "triplets_correct(tree1_newick, tree2_newick, number_of_trials=1000, "
     "min_triplets_at_depth=1, seed=None)\n--\n\n"
     "Python wrapper for triplets_correct function"},
    {"triplets_correct_fast", as_cfunction(py_triplets_correct_fast), fastcall_flags,
     "triplets_correct_fast(tree1_newick, tree2_newick, number_of_trials=1000, "
     "min_triplets_at_depth=1, seed=None)\n--\n\n"
     "Fast Python wrapper for triplets_correct function"},
    {"triplets_correct_ultra", as_cfunction(py_triplets_correct_ultra), fastcall_flags,
     "triplets_correct_ultra(tree1_newick, tree2_newick, number_of_trials=5000, "
     "min_triplets_at_depth=1, seed=None)\n--\n\n"
     "Ultra-fast Python wrapper with automatic exhaustive/sampling selection"},
    {"triplets_correct_parallel", as_cfunction(py_triplets_correct_parallel), fastcall_flags,
     "triplets_correct_parallel(tree1_newick, tree2_newick, number_of_trials=10000, "
     "min_triplets_at_depth=1, seed=None, max_threads=None)\n--\n\n"
     "Parallel Python wrapper with rayon-based parallelization"},
    {"triplets_correct_optimized", as_cfunction(py_triplets_correct_optimized), fastcall_flags,
     "triplets_correct_optimized(tree1_newick, tree2_newick, number_of_trials=10000, "
     "min_triplets_at_depth=1, seed=None, max_threads=None)\n--\n\n"
     "Optimized Python wrapper using phylo-rs inspired techniques"},
    {"phs_optimized", as_cfunction(py_phs_optimized), fastcall_flags,
     "phs_optimized(tree_newick, character_matrix, internal_character_states, mutation_rate=None, "
     "collision_probability=None, missing_state=..., unedited_state=0, max_threads=None)\n--\n\n"
     "Optimized PHS (Pairwise Homoplasy Score) calculation"},
    {"robinson_foulds_distance", as_cfunction(py_robinson_foulds_distance), fastcall_flags,
     "robinson_foulds_distance(tree1_newick, tree2_newick)\n--\n\n"
     "Python wrapper for Robinson-Foulds distance calculation"},
    {"robinson_foulds_distance_normalized", as_cfunction(py_robinson_foulds_distance_normalized),
     fastcall_flags,
     "robinson_foulds_distance_normalized(tree1_newick, tree2_newick)\n--\n\n"
     "Python wrapper for normalized Robinson-Foulds distance calculation"},
    {"parsimony_score", as_cfunction(py_parsimony_score), fastcall_flags,
     "parsimony_score(tree_newick, character_matrix, internal_character_states=None, "
     "missing_state=..., unedited_state=0)\n--\n\n"
     "Python wrapper for parsimony calculation"},
    {"parsimony_p_value", as_cfunction(py_parsimony_p_value), fastcall_flags,
     "parsimony_p_value(tree_newick, character_matrix, internal_character_states=None, "
     "mutation_rate=None, missing_state=..., unedited_state=0)\n--\n\n"
     "Python wrapper for parsimony p-value calculation  "},
    {"likelihood_score", as_cfunction(py_likelihood_score), fastcall_flags,
     "likelihood_score(tree_newick, character_matrix, internal_character_states=None, "
     "mutation_rate=None, collision_probability=None, missing_state=..., "
     "unedited_state=0)\n--\n\n"
     "Python wrapper for likelihood calculation"},
    {"likelihood_distance", as_cfunction(py_likelihood_distance), fastcall_flags,
     "likelihood_distance(reconstructed_tree_newick, ground_truth_tree_newick, "
     "character_matrix, internal_states_reconstructed=None, internal_states_ground_truth=None, "
     "mutation_rate=None, collision_probability=None, missing_state=..., "
     "unedited_state=0)\n--\n\n"
     "Python wrapper for likelihood distance calculation"},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "veltrane",
    "Python module definition",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool module_created = false;

// Adds one function: appends its __name__ to __all__ (creating the list on first use), then
// stores it as a module attribute.
void register_function(PyObject* module, PyMethodDef* def) {
    PyRef name_attr = PyRef::steal(PyUnicode_FromString("veltrane"));
    if (!name_attr) throw PyErrorSet{};
    PyRef function = PyRef::steal(PyCFunction_NewEx(def, module, name_attr.get()));
    if (!function) throw PyErrorSet{};
    PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) throw PyErrorSet{};
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PyErrorSet{};
    }
    if (PyList_Append(all.get(), name.get()) < 0) throw PyErrorSet{};
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) throw PyErrorSet{};
}

PyRef create_module() {
    if (module_created) {
        raise(PyExc_ImportError,
              "veltrane may only be initialized once per interpreter process; "
              "restart the interpreter to import it again");
    }
    if (!ensure_panic_exception_type()) throw PyErrorSet{};
    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    if (!module) throw PyErrorSet{};
    for (PyMethodDef& def : function_table) register_function(module.get(), &def);
    module_created = true;
    return module;
}

}  // namespace

}  // namespace veltrane::py

PyMODINIT_FUNC PyInit_veltrane() noexcept {
    try {
        return veltrane::py::create_module().release();
    } catch (...) {
        veltrane::py::translate_current_exception();
        return nullptr;
    }
}
