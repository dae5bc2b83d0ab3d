// Module creation for veltrane_tools._native and the helpers its entries share.
#include "tools/native.hpp"

#include "core/support/panic.hpp"
#include "core/tree/newick.hpp"

namespace veltrane::tools {

std::string_view text_argument(PyObject* obj, const char* name) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be a str (Newick text), not %s", name,
                     Py_TYPE(obj)->tp_name);
        throw PyErrorSet{};
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) throw PyErrorSet{};
    return {utf8, static_cast<std::size_t>(size)};
}

SimpleRootedTree read_tree(std::string_view text, const char* name) {
    try {
        return from_newick(text);
    } catch (const NewickError& e) {
        throw InputError(std::string(name) + ": a ')' or ',' at character " +
                         std::to_string(e.idx) +
                         " (whitespace not counted) has no open '(' to belong to");
    } catch (const Panic& e) {
        throw InputError(std::string(name) + ": " + e.what());
    }
}

namespace {

// FASTCALL functions enter the table through a generic function pointer, as CPython's own
// _PyCFunction_CAST does; a direct cast trips -Wcast-function-type.
template <typename F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef functions[] = {
    {"leaf_labels", as_cfunction(leaf_labels), METH_FASTCALL,
     "leaf_labels(newick, /)\n--\n\n"
     "The leaf labels in the order the veltrane functions tie matrix rows to leaves."},
    {"triplet_agreement", as_cfunction(triplet_agreement), METH_FASTCALL,
     "triplet_agreement(tree1_newick, tree2_newick, max_threads, /)\n--\n\n"
     "Exact triplet counts of two trees, leaves matched by label."},
    {"clean_trees", as_cfunction(clean_trees), METH_FASTCALL, "clean_trees(text, mode, /)"},
    {"internal_states", as_cfunction(internal_states), METH_FASTCALL, "internal_states(...)"},
    {"leaf_positions", as_cfunction(leaf_positions), METH_FASTCALL, "leaf_positions(...)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "veltrane_tools._native",
    "The native half of veltrane_tools; use the veltrane_tools package instead.",
    0,
    functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace veltrane::tools

PyMODINIT_FUNC PyInit__native() noexcept { return PyModule_Create(&veltrane::tools::module_def); }
