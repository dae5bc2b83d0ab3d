// Failure translation: PanicException, MemoryError and the error-indicator marker.
#include "module/errors.hpp"

#include <exception>
#include <new>
#include <stdexcept>

#include "core/support/panic.hpp"
#include "core/tree/newick.hpp"
#include "module/py_ref.hpp"

namespace veltrane::py {

namespace {
PyObject* panic_type = nullptr;  // one per process, deliberately never released
}  // namespace

bool ensure_panic_exception_type() noexcept {
    if (panic_type != nullptr) return true;
    // Derives from BaseException so that `except Exception` does not swallow broken invariants.
    // The veltrane module exports nothing but its functions; veltrane_tools publishes the type
    // under this name, so that pickle finds it and a failure in a worker process reaches the
    // parent with its type and message.
    panic_type = PyErr_NewExceptionWithDoc(
        "veltrane_tools.PanicException",
        "An internal failure inside veltrane: a broken invariant, not a problem with the input.",
        PyExc_BaseException, nullptr);
    return panic_type != nullptr;
}

bool poll_python_signals() noexcept { return PyErr_CheckSignals() < 0; }

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyErrorSet{};
}

void translate_current_exception(PyObject* failure_type) noexcept {
    if (failure_type == nullptr)
        failure_type = panic_type != nullptr ? panic_type : PyExc_SystemError;
    try {
        throw;
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "veltrane: error indicator lost");
        }
    } catch (const Interrupted&) {
        // The poller ran a signal handler that raised; its exception is the call's.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked for more elements than it can address: a request for memory that
        // cannot be met, like bad_alloc.
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(failure_type, e.what());
    } catch (...) {
        PyErr_SetString(failure_type, "veltrane: unknown internal failure");
    }
}

}  // namespace veltrane::py
