// Argument conversion: texts, integers, floats, character matrices and internal-state maps.
#include "module/convert.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

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

// The length of a sequence is only a capacity hint: a failing __len__ is ignored, as iteration
// decides, and a huge one must not reserve memory the items never fill.
std::size_t capacity_hint(PyObject* obj) {
    constexpr Py_ssize_t max_hint = Py_ssize_t{1} << 20;
    const Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) PyErr_Clear();
    return static_cast<std::size_t>(std::clamp(hint, Py_ssize_t{0}, max_hint));
}

// Releases a buffer view on every path.
class BufferView {
 public:
    explicit BufferView(PyObject* obj) noexcept {
        ok_ = PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) == 0;
        if (!ok_) PyErr_Clear();
    }
    ~BufferView() {
        if (ok_) PyBuffer_Release(&view_);
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    bool ok() const noexcept { return ok_; }
    const Py_buffer& get() const noexcept { return view_; }

 private:
    Py_buffer view_{};
    bool ok_ = false;
};

template <typename T>
bool copy_elements(const Py_buffer& view, std::vector<std::int32_t>& out) {
    if (view.itemsize != static_cast<Py_ssize_t>(sizeof(T))) return false;
    const Py_ssize_t rows = view.ndim == 2 ? view.shape[0] : 1;
    const Py_ssize_t cols = view.shape[view.ndim - 1];
    const Py_ssize_t row_stride = view.ndim == 2 ? view.strides[0] : 0;
    const Py_ssize_t col_stride = view.strides[view.ndim - 1];
    const char* base = static_cast<const char*>(view.buf);
    out.reserve(out.size() + static_cast<std::size_t>(rows * cols));
    for (Py_ssize_t r = 0; r < rows; ++r) {
        for (Py_ssize_t c = 0; c < cols; ++c) {
            T value;
            std::memcpy(&value, base + r * row_stride + c * col_stride, sizeof(T));
            if (!std::in_range<std::int32_t>(value)) return false;
            out.push_back(static_cast<std::int32_t>(value));
        }
    }
    return true;
}

// NumPy integer arrays are read through the buffer protocol, since iterating them creates a
// Python object per element. Only the exact numpy.ndarray type takes this road (a static type,
// so no Python class can pose as it; subclasses may iterate differently), only for native
// integer formats, and only when every value fits 32 bits: in every other case the caller
// iterates, so values and errors are exactly those of the equivalent list of lists.
// Appends the elements row by row and returns (rows, columns), or nothing with out unchanged.
std::optional<std::pair<std::size_t, std::size_t>> read_int_array(PyObject* obj, int ndim,
                                                                  std::vector<std::int32_t>& out) {
    PyTypeObject* type = Py_TYPE(obj);
    if ((PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) != 0 ||
        std::strcmp(type->tp_name, "numpy.ndarray") != 0) {
        return std::nullopt;
    }
    const BufferView buffer(obj);
    if (!buffer.ok()) return std::nullopt;
    const Py_buffer& view = buffer.get();
    if (view.ndim != ndim || view.shape == nullptr || view.strides == nullptr ||
        view.suboffsets != nullptr || view.format == nullptr) {
        return std::nullopt;
    }
    const char* format = view.format;
    if (format[0] == '@') ++format;
    if (format[0] == '\0' || format[1] != '\0') return std::nullopt;
    const std::size_t before = out.size();
    bool ok = false;
    switch (format[0]) {
        case 'b':
            ok = copy_elements<signed char>(view, out);
            break;
        case 'B':
            ok = copy_elements<unsigned char>(view, out);
            break;
        case 'h':
            ok = copy_elements<short>(view, out);
            break;
        case 'H':
            ok = copy_elements<unsigned short>(view, out);
            break;
        case 'i':
            ok = copy_elements<int>(view, out);
            break;
        case 'I':
            ok = copy_elements<unsigned int>(view, out);
            break;
        case 'l':
            ok = copy_elements<long>(view, out);
            break;
        case 'L':
            ok = copy_elements<unsigned long>(view, out);
            break;
        case 'q':
            ok = copy_elements<long long>(view, out);
            break;
        case 'Q':
            ok = copy_elements<unsigned long long>(view, out);
            break;
        default:
            break;
    }
    if (!ok) {
        out.resize(before);
        return std::nullopt;
    }
    const std::size_t rows = ndim == 2 ? static_cast<std::size_t>(view.shape[0]) : 1;
    return std::pair{rows, static_cast<std::size_t>(view.shape[ndim - 1])};
}

// Calls visit(item) for each item of a sequence, in iteration order. Exact lists and tuples are
// walked by index, re-reading a list's size at every step exactly as the list iterator does,
// so the items seen are the same even when converting an item edits the list.
template <typename Visit>
void for_each_item(PyObject* obj, Visit&& visit) {
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(obj); ++i) {
            const PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(obj, i));
            visit(item.get());
        }
        return;
    }
    PyRef iter = PyRef::steal(PyObject_GetIter(obj));
    if (!iter) throw PyErrorSet{};
    while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) visit(item.get());
    if (PyErr_Occurred()) throw PyErrorSet{};
}

// A list of states, appended to out: any sequence but a str, read by length then iteration.
void append_states(PyObject* obj, std::vector<std::int32_t>& out) {
    if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) raise_cannot_convert(obj, "Sequence");
    if (read_int_array(obj, 1, out)) return;
    // Grow geometrically: rows are appended one after another to the same vector.
    const std::size_t needed = out.size() + capacity_hint(obj);
    if (needed > out.capacity()) out.reserve(std::max(needed, 2 * out.capacity()));
    for_each_item(obj, [&](PyObject* item) { out.push_back(to_i32(item)); });
}

CharacterMatrix read_matrix(PyObject* obj) {
    if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) raise_cannot_convert(obj, "Sequence");
    CharacterMatrix matrix;
    if (const auto shape = read_int_array(obj, 2, matrix.values)) {
        matrix.row_starts.reserve(shape->first + 1);
        for (std::size_t k = 1; k <= shape->first; ++k) {
            matrix.row_starts.push_back(k * shape->second);
        }
        return matrix;
    }
    matrix.row_starts.reserve(capacity_hint(obj) + 1);
    for_each_item(obj, [&](PyObject* item) {
        append_states(item, matrix.values);
        matrix.row_starts.push_back(matrix.values.size());
    });
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
        row.clear();
        append_states(value.get(), row);
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
