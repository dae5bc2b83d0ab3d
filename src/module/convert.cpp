// Argument conversion: texts, integers, floats, character matrices and internal-state maps.
#include "module/convert.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "core/pool/pool.hpp"
#include "core/support/memory.hpp"
#include "core/support/panic.hpp"
#include "core/tree/newick.hpp"
#include "module/errors.hpp"
#include "module/py_ref.hpp"

namespace veltrane::py {

namespace {

// The TypeError for a str where a list is expected; a fixed text that callers match on.
constexpr const char* str_as_list_message = "Can't extract `str` to `Vec`";

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
    if (hint < 0) {
        // A KeyboardInterrupt (or any other non-Exception) raised while __len__ ran is not a
        // failing __len__: dropping it would lose the user's Ctrl-C.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrorSet{};
        PyErr_Clear();
    }
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

// One element of a view; memcpy, since a view need not be aligned for T.
template <typename T>
T load(const char* p) noexcept {
    T value;
    std::memcpy(&value, p, sizeof(T));
    return value;
}

// Non-zero when a value does not fit 32 bits. Written with additions and shifts only, so that
// the conversion loops vectorise even on the baseline x86-64 instruction set, which has no
// 64-bit comparisons.
template <typename T>
std::uint64_t out_of_range_bits(T value) noexcept {
    if constexpr (sizeof(T) < sizeof(std::int32_t) ||
                  (sizeof(T) == sizeof(std::int32_t) && std::is_signed_v<T>)) {
        return 0;
    } else if constexpr (std::is_signed_v<T>) {
        // v fits when v + 2^31 lies in [0, 2^32), computed modulo 2^64.
        return (static_cast<std::uint64_t>(value) + 0x80000000u) >> 32;
    } else {
        return static_cast<std::uint64_t>(value) >> 31;
    }
}

// Converts count elements, stride bytes apart, to 32-bit states. Returns true when one of them
// does not fit 32 bits: failures are collected rather than tested one by one, so the loop
// vectorises (the contiguous case has a compile-time stride for that).
#if defined(__GNUC__)
#define VELTRANE_ALWAYS_INLINE [[gnu::always_inline]] inline
#else
#define VELTRANE_ALWAYS_INLINE inline
#endif

template <typename T>
VELTRANE_ALWAYS_INLINE bool convert_run_body(const char* src, Py_ssize_t stride, std::size_t count,
                                             std::int32_t* dst) {
    std::uint64_t outside = 0;
    if (stride == static_cast<Py_ssize_t>(sizeof(T))) {
        for (std::size_t k = 0; k < count; ++k) {
            const T value = load<T>(src + k * sizeof(T));
            outside |= out_of_range_bits(value);
            dst[k] = static_cast<std::int32_t>(value);
        }
    } else {
        for (std::size_t k = 0; k < count; ++k) {
            const T value = load<T>(src + static_cast<Py_ssize_t>(k) * stride);
            outside |= out_of_range_bits(value);
            dst[k] = static_cast<std::int32_t>(value);
        }
    }
    return outside != 0;
}

// Wheels target the baseline x86-64 instruction set; where the processor has AVX2, the same
// loop compiled for it (inlined above) narrows 64-bit input about a third faster. The results
// are identical.
#if defined(__GNUC__) && defined(__x86_64__)
#define VELTRANE_AVX2_DISPATCH 1
template <typename T>
[[gnu::target("avx2")]] bool convert_run_avx2(const char* src, Py_ssize_t stride, std::size_t count,
                                              std::int32_t* dst) {
    return convert_run_body<T>(src, stride, count, dst);
}
#endif

template <typename T>
bool convert_run(const char* src, Py_ssize_t stride, std::size_t count, std::int32_t* dst) {
#if defined(VELTRANE_AVX2_DISPATCH)
    // Only contiguous runs: strided ones would become gathers, which are slower.
    static const bool has_avx2 = __builtin_cpu_supports("avx2") != 0;
    if (has_avx2 && stride == static_cast<Py_ssize_t>(sizeof(T))) {
        return convert_run_avx2<T>(src, stride, count, dst);
    }
#endif
    return convert_run_body<T>(src, stride, count, dst);
}

// Asks the kernel to back the vector's unused capacity with huge pages: a large matrix is then
// first touched in a few faults instead of one per 4 KiB page (NumPy does the same for its
// own large arrays). Only a hint; the values are the same either way.
void advise_huge_pages(std::vector<std::int32_t>& out) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t huge_page = std::uintptr_t{1} << 21;
    const auto begin = reinterpret_cast<std::uintptr_t>(out.data() + out.size());
    const auto end = reinterpret_cast<std::uintptr_t>(out.data() + out.capacity());
    const std::uintptr_t first = (begin + huge_page - 1) & ~(huge_page - 1);
    const std::uintptr_t last = end & ~(huge_page - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)out;
#endif
}

// Appends the view's elements row by row as 32-bit states. Returns false (out's new tail then
// unspecified) when a value does not fit 32 bits: the caller falls back to iteration, which
// raises the interpreter's error for the first such value in row order.
//
// The output grows by bands of rows that fit the L1 cache, so the zero-fill of each resize
// costs nothing, and a column-major view is read down its columns (in memory order) while the
// band it scatters into stays in cache.
template <typename T>
bool copy_elements(const Py_buffer& view, std::vector<std::int32_t>& out) {
    if (view.itemsize != static_cast<Py_ssize_t>(sizeof(T))) return false;
    const auto rows = static_cast<std::size_t>(view.ndim == 2 ? view.shape[0] : 1);
    const auto cols = static_cast<std::size_t>(view.shape[view.ndim - 1]);
    const Py_ssize_t col_stride = view.strides[view.ndim - 1];
    // A 1-D view is one row, which a following row would continue.
    const Py_ssize_t row_stride =
        view.ndim == 2 ? view.strides[0] : static_cast<Py_ssize_t>(cols) * col_stride;
    const char* base = static_cast<const char*>(view.buf);
    if (rows == 0 || cols == 0) return true;
    out.reserve(out.size() + rows * cols);
    advise_huge_pages(out);
    const bool contiguous_rows = row_stride == static_cast<Py_ssize_t>(cols) * col_stride;
    const bool down_columns = !contiguous_rows && std::abs(row_stride) < std::abs(col_stride);
    constexpr std::size_t band_elements = 8192;  // 32 KiB of output
    const std::size_t band = std::max<std::size_t>(1, band_elements / cols);
    bool outside = false;
    for (std::size_t r0 = 0; r0 < rows; r0 += band) {
        const std::size_t n_rows = std::min(band, rows - r0);
        const std::size_t at = out.size();
        out.resize(at + n_rows * cols);
        std::int32_t* dst = out.data() + at;
        const char* first = base + static_cast<Py_ssize_t>(r0) * row_stride;
        if (contiguous_rows) {
            outside |= convert_run<T>(first, col_stride, n_rows * cols, dst);
        } else if (down_columns) {
            std::int32_t run[256];
            for (std::size_t c = 0; c < cols; ++c) {
                const char* column = first + static_cast<Py_ssize_t>(c) * col_stride;
                for (std::size_t k0 = 0; k0 < n_rows; k0 += 256) {
                    const std::size_t n = std::min<std::size_t>(256, n_rows - k0);
                    outside |= convert_run<T>(column + static_cast<Py_ssize_t>(k0) * row_stride,
                                              row_stride, n, run);
                    for (std::size_t k = 0; k < n; ++k) dst[(k0 + k) * cols + c] = run[k];
                }
            }
        } else {
            for (std::size_t k = 0; k < n_rows; ++k) {
                outside |= convert_run<T>(first + static_cast<Py_ssize_t>(k) * row_stride,
                                          col_stride, cols, dst + k * cols);
            }
        }
    }
    return !outside;
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
            // An item's conversion may keep extending the list: Ctrl-C still stops it.
            check_interrupt();
            const PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(obj, i));
            visit(item.get());
        }
        return;
    }
    PyRef iter = PyRef::steal(PyObject_GetIter(obj));
    if (!iter) throw PyErrorSet{};
    while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
        check_interrupt();
        visit(item.get());
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
}

// A list of states, appended to out: any sequence but a str, read by length then iteration.
void append_states(PyObject* obj, std::vector<std::int32_t>& out) {
    if (PyUnicode_Check(obj)) raise(PyExc_TypeError, str_as_list_message);
    if (!PySequence_Check(obj)) raise_cannot_convert(obj, "Sequence");
    if (read_int_array(obj, 1, out)) return;
    // Grow geometrically: rows are appended one after another to the same vector.
    const std::size_t needed = out.size() + capacity_hint(obj);
    if (needed > out.capacity()) out.reserve(std::max(needed, 2 * out.capacity()));
    for_each_item(obj, [&](PyObject* item) {
        // A sequence longer than its length says grows the row until memory runs short.
        if (out.size() == out.capacity()) reserve_checked(out, 2 * out.size() + 16);
        out.push_back(to_i32(item));
    });
}

CharacterMatrix read_matrix(PyObject* obj) {
    if (PyUnicode_Check(obj)) raise(PyExc_TypeError, str_as_list_message);
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
    // The dict's own entry count (not a __len__ that could lie): the buckets are made once,
    // and no key is hashed again for a rehash.
    states.reserve(static_cast<std::size_t>(std::max<Py_ssize_t>(initial_size, 0)));
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

std::uint64_t Arguments::u64(std::size_t i) const {
    PyObject* obj = arg(i, ParamKind::u64);
    if (obj == nullptr) return static_cast<std::uint64_t>(sig_.params[i].default_value);
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

std::int32_t Arguments::i32(std::size_t i) const {
    PyObject* obj = arg(i, ParamKind::i32);
    if (obj == nullptr) return static_cast<std::int32_t>(sig_.params[i].default_value);
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

namespace {

[[noreturn]] void raise_parse_error(const NewickError& e, const char* prefix) {
    const std::string message = std::string(prefix) + e.what();
    raise(PyExc_ValueError, message.c_str());
}

}  // namespace

SimpleRootedTree parse_tree_arg(std::string_view text, const char* prefix) {
    try {
        return from_newick(text);
    } catch (const NewickError& e) {
        raise_parse_error(e, prefix);
    }
}

std::pair<SimpleRootedTree, SimpleRootedTree> parse_tree_args(std::string_view text1,
                                                              const char* prefix1,
                                                              std::string_view text2,
                                                              const char* prefix2) {
    // Below this size the hand-over to the pool costs more than the second core saves.
    constexpr std::size_t parallel_from = std::size_t{1} << 16;
    if (text1.size() < parallel_from || text2.size() < parallel_from) {
        SimpleRootedTree tree1 = parse_tree_arg(text1, prefix1);
        return {std::move(tree1), parse_tree_arg(text2, prefix2)};
    }
    // The texts are buffers of the argument objects, which the call holds; the workers only
    // read them and touch no Python object.
    const std::string_view texts[2] = {text1, text2};
    const char* const prefixes[2] = {prefix1, prefix2};
    std::optional<SimpleRootedTree> trees[2];
    std::exception_ptr errors[2];
    run_chunks(2, [&](std::size_t q) {
        try {
            trees[q] = from_newick(texts[q]);
        } catch (...) {
            errors[q] = std::current_exception();
        }
    });
    for (std::size_t q = 0; q < 2; ++q) {
        if (!errors[q]) continue;
        try {
            std::rethrow_exception(errors[q]);
        } catch (const NewickError& e) {
            raise_parse_error(e, prefixes[q]);
        }
    }
    return {std::move(*trees[0]), std::move(*trees[1])};
}

}  // namespace veltrane::py
