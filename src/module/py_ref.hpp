// Owning handle for one strong reference to a Python object.
#pragma once

#include <Python.h>

#include <utility>

namespace veltrane::py {

class PyRef {
 public:
    PyRef() noexcept = default;
    static PyRef steal(PyObject* p) noexcept { return PyRef(p); }  // p is a new reference
    static PyRef borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return PyRef(p);
    }
    PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    PyRef& operator=(PyRef&& o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to CPython (for stealing calls and return values).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
    explicit PyRef(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace veltrane::py
