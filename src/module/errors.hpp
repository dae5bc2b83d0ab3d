// Failure translation at the boundary: every C++ exception becomes a Python exception here.
#pragma once

#include <Python.h>

#include "core/support/interrupt.hpp"

namespace veltrane::py {

// Thrown only by boundary code, and only when the Python error indicator is already set.
struct PyErrorSet {};

// Creates the PanicException type on first use; returns false with an error set on failure.
bool ensure_panic_exception_type() noexcept;

// Call inside a catch (...) block: maps the in-flight exception to a Python error. An
// internal failure (Panic or any other C++ exception) becomes `failure_type`, PanicException
// unless the caller names another.
void translate_current_exception(PyObject* failure_type = nullptr) noexcept;

// Runs the interpreter's pending signal handlers; true (with the handler's exception set, as
// a rule KeyboardInterrupt) when one raised. The interrupt poller of every call.
bool poll_python_signals() noexcept;

// Lets Ctrl-C stop a long computation: installs poll_python_signals for one call. The core
// then throws Interrupted, and translate_current_exception() keeps the handler's exception.
class SignalScope {
 public:
    SignalScope() noexcept : scope_(poll_python_signals) {}

 private:
    InterruptScope scope_;
};

// Throws PyErrorSet after setting `type` with the given UTF-8 message.
[[noreturn]] void raise(PyObject* type, const char* message);

}  // namespace veltrane::py
