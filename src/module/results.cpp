// Result dictionaries and the conversions of native values into Python objects.
#include "module/results.hpp"

#include "module/errors.hpp"

namespace veltrane::py {

namespace {
PyRef checked(PyObject* p) {
    if (p == nullptr) throw PyErrorSet{};
    return PyRef::steal(p);
}
}  // namespace

PyRef to_py_u64(std::uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }
PyRef to_py_f64(double value) { return checked(PyFloat_FromDouble(value)); }
PyRef to_py_str(std::string_view value) {
    return checked(
        PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}
PyRef to_py_bool(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }

DictBuilder::DictBuilder() : dict_(checked(PyDict_New())) {}

DictBuilder& DictBuilder::add(const char* key, PyRef value) {
    if (PyDict_SetItemString(dict_.get(), key, value.get()) < 0) throw PyErrorSet{};
    return *this;
}

DictBuilder& DictBuilder::add_depth_bucket(const char* key, double value) {
    PyRef inner = checked(PyDict_New());
    PyRef zero = checked(PyLong_FromLong(0));
    PyRef number = to_py_f64(value);
    if (PyDict_SetItem(inner.get(), zero.get(), number.get()) < 0) throw PyErrorSet{};
    return add(key, std::move(inner));
}

}  // namespace veltrane::py
