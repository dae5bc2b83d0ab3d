// Result dictionaries: keys inserted in the documented order, values converted from C++.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "module/py_ref.hpp"

namespace veltrane::py {

PyRef to_py_u64(std::uint64_t value);
PyRef to_py_f64(double value);
PyRef to_py_str(std::string_view value);
PyRef to_py_bool(bool value);

// Builds a new dict; each add() inserts one key. Failures throw PyErrorSet.
class DictBuilder {
 public:
    DictBuilder();
    DictBuilder& add(const char* key, PyRef value);
    DictBuilder& add_u64(const char* key, std::uint64_t value) {
        return add(key, to_py_u64(value));
    }
    DictBuilder& add_f64(const char* key, double value) { return add(key, to_py_f64(value)); }
    DictBuilder& add_str(const char* key, std::string_view value) {
        return add(key, to_py_str(value));
    }
    DictBuilder& add_bool(const char* key, bool value) { return add(key, to_py_bool(value)); }
    // The triplet metrics' single depth bucket: key -> {0: value}.
    DictBuilder& add_depth_bucket(const char* key, double value);
    PyRef finish() { return std::move(dict_); }

 private:
    PyRef dict_;
};

}  // namespace veltrane::py
