// Module creation: the function table, __all__, and the once-per-process guard.
#include <Python.h>

#include <iterator>
#include <string>

#include "module/errors.hpp"
#include "module/function.hpp"
#include "module/py_ref.hpp"

namespace veltrane::py {

namespace {

// FASTCALL functions enter the table through a generic function pointer, as CPython's own
// _PyCFunction_CAST does; a direct cast trips -Wcast-function-type.
PyCFunction as_cfunction(FastEntry f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Registration order is the order of __all__.
const Function* const functions[] = {
    &triplets_correct_function,
    &triplets_correct_fast_function,
    &triplets_correct_ultra_function,
    &triplets_correct_parallel_function,
    &triplets_correct_optimized_function,
    &phs_optimized_function,
    &robinson_foulds_distance_function,
    &robinson_foulds_distance_normalized_function,
    &parsimony_score_function,
    &parsimony_p_value_function,
    &likelihood_score_function,
    &likelihood_distance_function,
};
constexpr std::size_t function_count = std::size(functions);

// The docstring: the signature line written from the parameter table, the "\n--\n\n"
// separator that makes it __text_signature__, and the summary line.
std::string docstring(const Function& f) {
    std::string doc = std::string(f.signature.name) + "(";
    for (std::size_t i = 0; i < f.signature.params.size(); ++i) {
        const Param& p = f.signature.params[i];
        if (i > 0) doc += ", ";
        doc += p.name;
        if (is_required(p.kind)) continue;
        doc += "=";
        if (p.shown != nullptr) {
            doc += p.shown;
        } else if (p.kind == ParamKind::u64 || p.kind == ParamKind::i32) {
            doc += std::to_string(p.default_value);
        } else {
            doc += "None";
        }
    }
    return doc + ")\n--\n\n" + f.summary;
}

// The table and its docstrings live as long as the process: the function objects point
// into them. The module is created once per process, so they are filled once.
std::string docstrings[function_count];
PyMethodDef function_table[function_count + 1] = {};

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
    for (std::size_t i = 0; i < function_count; ++i) {
        const Function& f = *functions[i];
        docstrings[i] = docstring(f);
        function_table[i] = {f.signature.name, as_cfunction(f.entry), METH_FASTCALL | METH_KEYWORDS,
                             docstrings[i].c_str()};
        register_function(module.get(), &function_table[i]);
    }
    module_created = true;
    return module;
}

}  // namespace

PyObject* call_function(const Function& function, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    try {
        // Ctrl-C stops a long computation with KeyboardInterrupt.
        const SignalScope signals;
        const Arguments arguments(function.signature, args, nargs, kwnames);
        return function.run(arguments).release();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

}  // namespace veltrane::py

PyMODINIT_FUNC PyInit_veltrane() noexcept {
    try {
        return veltrane::py::create_module().release();
    } catch (...) {
        veltrane::py::translate_current_exception();
        return nullptr;
    }
}
