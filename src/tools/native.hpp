// The boundary of veltrane_tools._native: the interpreter lock released while the core
// computes, Ctrl-C still seen, and ordinary Python exceptions for every failure.
#pragma once

#include <Python.h>

#include <stdexcept>
#include <string>
#include <string_view>

#include "core/support/interrupt.hpp"
#include "core/tree/simple_rooted_tree.hpp"
#include "module/errors.hpp"
#include "module/py_ref.hpp"

namespace veltrane::tools {

using py::PyErrorSet;
using py::PyRef;

// Input that reads but cannot be scored: raised as ValueError with its message.
class InputError : public std::invalid_argument {
 public:
    explicit InputError(const std::string& message) : std::invalid_argument(message) {}
};

// Releases the interpreter lock for the scope's lifetime, so that other Python threads run
// while the core computes. Ctrl-C is still seen: the interrupt poller takes the lock back for
// a moment to run the signal handlers, and a handler that raises stops the computation.
class ReleasedGil {
 public:
    ReleasedGil() noexcept : scope_(poll) { saved_ = PyEval_SaveThread(); }
    ~ReleasedGil() {
        PyEval_RestoreThread(saved_);
        saved_ = nullptr;
    }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

 private:
    static bool poll() noexcept {
        PyEval_RestoreThread(saved_);
        const bool stop = PyErr_CheckSignals() < 0;
        saved_ = PyEval_SaveThread();
        return stop;
    }
    inline static thread_local PyThreadState* saved_ = nullptr;
    InterruptScope scope_;
};

// The UTF-8 text of a str argument, valid while the call holds the object. TypeError otherwise.
std::string_view text_argument(PyObject* obj, const char* name);

// Reads a Newick text without the interpreter lock. A text the reader rejects is an
// InputError that names the argument and the position.
SimpleRootedTree read_tree(std::string_view text, const char* name);

// Runs an entry's body: a C++ exception becomes ValueError (bad input and internal failures
// alike), MemoryError or the pending KeyboardInterrupt. Returns nullptr with the error set.
template <typename Body>
PyObject* run_entry(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        py::translate_current_exception(PyExc_ValueError);
        return nullptr;
    }
}

// The entries, one per file.
PyObject* leaf_labels(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* triplet_agreement(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* clean_trees(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* internal_states(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* leaf_positions(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace veltrane::tools
