// Argument binding: positional, then keyword, then missing-argument checks, in that order.
#include "module/binding.hpp"

#include <string>

#include "module/errors.hpp"
#include "module/py_ref.hpp"

namespace veltrane::py {

namespace {

[[noreturn]] void raise_too_many_positional(const Signature& sig, std::size_t given) {
    const std::size_t total = sig.params.size();
    std::string msg = std::string(sig.name) + "()";
    if (sig.required() == total) {
        msg += " takes " + std::to_string(total);
    } else {
        msg += " takes from " + std::to_string(sig.required()) + " to " + std::to_string(total);
    }
    msg += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
           " given";
    raise(PyExc_TypeError, msg.c_str());
}

[[noreturn]] void raise_missing(const Signature& sig, const BoundArgs& bound) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < sig.required(); ++i) {
        if (bound[i] == nullptr) ++count;
    }
    std::string msg(sig.name);
    msg.append("() missing ").append(std::to_string(count)).append(" required positional ");
    msg.append(count == 1 ? "argument" : "arguments").append(": ");
    std::size_t written = 0;
    for (std::size_t i = 0; i < sig.required(); ++i) {
        if (bound[i] != nullptr) continue;
        if (written > 0) msg.append(written + 1 == count ? " and " : ", ");
        msg.append("'").append(sig.params[i].name).append("'");
        ++written;
    }
    raise(PyExc_TypeError, msg.c_str());
}

// Index of the parameter called `keyword`, or params.size() when there is none.
std::size_t find_param(const Signature& sig, PyObject* keyword) {
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (PyUnicode_Check(keyword) &&
            PyUnicode_CompareWithASCIIString(keyword, sig.params[i].name) == 0) {
            return i;
        }
    }
    return sig.params.size();
}

}  // namespace

BoundArgs bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArgs bound{};
    const auto given = static_cast<std::size_t>(nargs);
    if (given > sig.params.size()) raise_too_many_positional(sig, given);
    for (std::size_t i = 0; i < given; ++i) bound[i] = args[i];

    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GetItem(kwnames, k);
        const std::size_t i = find_param(sig, keyword);
        if (i == sig.params.size()) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.name,
                         keyword);
            throw PyErrorSet{};
        }
        if (bound[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name,
                         sig.params[i].name);
            throw PyErrorSet{};
        }
        // Keyword values follow the positional ones in args, in kwnames order.
        bound[i] = args[nargs + k];
    }

    for (std::size_t i = 0; i < sig.required(); ++i) {
        if (bound[i] == nullptr) raise_missing(sig, bound);
    }
    return bound;
}

}  // namespace veltrane::py
