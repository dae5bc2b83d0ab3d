// Argument conversion: texts, integers, floats, character matrices and internal-state maps.
#include "module/convert.hpp"

#include <climits>
#include <string>
#include <vector>

#include "memory.hpp"
#include "module/errors.hpp"
#include "module/py_ref.hpp"
#include "panic.hpp"
#include "tree/newick.hpp"

namespace veltrane::py {

namespace {

// "'<type qualname>' object cannot be converted to '<target>'" as a TypeError.
[[noreturn]] void raise_cannot_convert(PyObject* obj, const char* target) {
    PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!qualname) throw PyErrorSet{};
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(),
                 target);
    throw PyErrorSet{};
}

std::int32_t to_i32(PyObject* obj) {
    const long long value = PyLong_AsLongLong(obj);
    if (value == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (value < INT32_MIN || value > INT32_MAX) {
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<std::int32_t>(value);
}

// A list of states: any sequence but a str, read by length then iteration.
void read_states(PyObject* obj, std::vector<std::int32_t>& out) {
    if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) raise_cannot_convert(obj, "Sequence");
    // The length is only a capacity hint: a failing __len__ is ignored, as iteration decides.
    const Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) PyErr_Clear();
    out.clear();
    // A length too large for memory fails at once with MemoryError, as list() does.
    if (hint > 0) reserve_checked(out, static_cast<std::size_t>(hint));
    PyRef iter = PyRef::steal(PyObject_GetIter(obj));
    if (!iter) throw PyErrorSet{};
    while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
        // An endless iterator still answers Ctrl-C.
        check_interrupt();
        out.push_back(to_i32(item.get()));
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
}

CharacterMatrix read_matrix(PyObject* obj) {
    if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) raise_cannot_convert(obj, "Sequence");
    const Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) PyErr_Clear();
    CharacterMatrix matrix;
    if (hint > 0) reserve_checked(matrix.row_starts, static_cast<std::size_t>(hint) + 1);
    PyRef iter = PyRef::steal(PyObject_GetIter(obj));
    if (!iter) throw PyErrorSet{};
    std::vector<std::int32_t> row;
    while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
        check_interrupt();
        read_states(item.get(), row);
        matrix.push_row(row);
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
    return matrix;
}

StateMap read_state_map(PyObject* obj) {
    if (!PyDict_Check(obj)) raise_cannot_convert(obj, "PyDict");
    StateMap states;
    const Py_ssize_t initial_size = PyDict_Size(obj);
    Py_ssize_t remaining = initial_size;
    Py_ssize_t pos = 0;
    PyObject* key_borrowed = nullptr;
    PyObject* value_borrowed = nullptr;
    std::vector<std::int32_t> row;
    while (true) {
        // Converting a value may run Python code that edits the dictionary.
        if (PyDict_Size(obj) != initial_size) {
            throw Panic("dictionary changed size during iteration");
        }
        if (remaining == -1) throw Panic("dictionary keys changed during iteration");
        if (!PyDict_Next(obj, &pos, &key_borrowed, &value_borrowed)) break;
        --remaining;
        PyRef key = PyRef::borrow(key_borrowed);
        PyRef value = PyRef::borrow(value_borrowed);
        if (!PyUnicode_Check(key.get())) raise_cannot_convert(key.get(), "PyString");
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(key.get(), &size);
        if (utf8 == nullptr) throw PyErrorSet{};
        std::string name(utf8, static_cast<std::size_t>(size));
        read_states(value.get(), row);
        states.insert_or_assign(std::move(name), row);
    }
    return states;
}

}  // namespace

PyObject* Arguments::arg(std::size_t i, ParamKind kind) const {
    if (i >= sig_.params.size() || sig_.params[i].kind != kind) {
        throw Panic(std::string("parameter table mismatch in ") + sig_.name);
    }
    return bound_[i];
}

void Arguments::fail(std::size_t i) const {
    // Only an exact TypeError gets the argument's name; other errors pass through unchanged.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrorSet{};
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type);
    PyRef owned_value = PyRef::steal(value);
    PyRef owned_traceback = PyRef::steal(traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
        throw PyErrorSet{};
    }
    PyRef text = PyRef::steal(PyObject_Str(value));
    if (!text) throw PyErrorSet{};
    PyRef message =
        PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", sig_.params[i].name, text.get()));
    if (!message) throw PyErrorSet{};
    PyRef remapped = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!remapped) throw PyErrorSet{};
    // The new error keeps the original's cause (PyException_SetCause steals the reference).
    PyException_SetCause(remapped.get(), PyException_GetCause(value));
    PyErr_SetObject(PyExc_TypeError, remapped.get());
    throw PyErrorSet{};
}

std::string_view Arguments::text(std::size_t i) const {
    PyObject* obj = arg(i, ParamKind::text);
    try {
        if (!PyUnicode_Check(obj)) raise_cannot_convert(obj, "PyString");
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
        if (utf8 == nullptr) throw PyErrorSet{};
        return {utf8, static_cast<std::size_t>(size)};
    } catch (const PyErrorSet&) {
        fail(i);
    }
}

std::uint64_t Arguments::u64(std::size_t i, std::uint64_t default_value) const {
    PyObject* obj = arg(i, ParamKind::u64);
    if (obj == nullptr) return default_value;
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) fail(i);
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == ULLONG_MAX && PyErr_Occurred()) fail(i);
    return value;
}

std::optional<std::uint64_t> Arguments::optional_u64(std::size_t i) const {
    PyObject* obj = arg(i, ParamKind::optional_u64);
    if (obj == nullptr || obj == Py_None) return std::nullopt;
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) fail(i);
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == ULLONG_MAX && PyErr_Occurred()) fail(i);
    return value;
}

std::int32_t Arguments::i32(std::size_t i, std::int32_t default_value) const {
    PyObject* obj = arg(i, ParamKind::i32);
    if (obj == nullptr) return default_value;
    try {
        return to_i32(obj);
    } catch (const PyErrorSet&) {
        fail(i);
    }
}

std::optional<double> Arguments::optional_f64(std::size_t i) const {
    PyObject* obj = arg(i, ParamKind::optional_f64);
    if (obj == nullptr || obj == Py_None) return std::nullopt;
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) fail(i);
    return value;
}

CharacterMatrix Arguments::character_matrix(std::size_t i) const {
    PyObject* obj = arg(i, ParamKind::character_matrix);
    try {
        return read_matrix(obj);
    } catch (const PyErrorSet&) {
        fail(i);
    }
}

StateMap Arguments::state_map(std::size_t i) const {
    PyObject* obj = arg(i, ParamKind::state_map);
    try {
        return read_state_map(obj);
    } catch (const PyErrorSet&) {
        fail(i);
    }
}

std::optional<StateMap> Arguments::optional_state_map(std::size_t i) const {
    PyObject* obj = arg(i, ParamKind::optional_state_map);
    if (obj == nullptr || obj == Py_None) return std::nullopt;
    try {
        return read_state_map(obj);
    } catch (const PyErrorSet&) {
        fail(i);
    }
}

SimpleRootedTree parse_tree_arg(std::string_view text, const char* prefix) {
    try {
        return from_newick(text);
    } catch (const NewickError& e) {
        const std::string message = std::string(prefix) + e.what();
        raise(PyExc_ValueError, message.c_str());
    }
}

}  // namespace veltrane::py
