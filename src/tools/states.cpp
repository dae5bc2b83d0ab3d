// internal_states: the states the character functions infer for the named internal nodes of a
// tree when none are given, so that a caller can hand them to phs_optimized.
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "metrics/characters/character_data.hpp"
#include "tools/native.hpp"

namespace veltrane::tools {

namespace {

// A C-contiguous buffer of native 32-bit ints, released with the object.
class IntBuffer {
 public:
    explicit IntBuffer(PyObject* obj) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
            throw PyErrorSet{};
        }
        held_ = true;
        std::string_view format = view_.format != nullptr ? view_.format : "B";
        if (!format.empty() && (format.front() == '@' || format.front() == '=')) {
            format.remove_prefix(1);
        }
        if (view_.itemsize != 4 || format != "i") {
            py::raise(PyExc_TypeError, "internal_states(): the matrix must be 32-bit ints");
        }
    }
    ~IntBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    IntBuffer(const IntBuffer&) = delete;
    IntBuffer& operator=(const IntBuffer&) = delete;

    std::span<const std::int32_t> values() const noexcept {
        return {static_cast<const std::int32_t*>(view_.buf),
                static_cast<std::size_t>(view_.len) / sizeof(std::int32_t)};
    }

 private:
    Py_buffer view_{};
    bool held_ = false;
};

std::int32_t state_argument(PyObject* obj) {
    const long long value = PyLong_AsLongLong(obj);
    if (value == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        py::raise(PyExc_OverflowError, "a state code must fit in 32 bits");
    }
    return static_cast<std::int32_t>(value);
}

std::size_t count_argument(PyObject* obj) {
    const std::size_t value = PyLong_AsSize_t(obj);
    if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw PyErrorSet{};
    return value;
}

}  // namespace

PyObject* internal_states(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return run_entry([&] {
        if (nargs != 6) {
            py::raise(PyExc_TypeError,
                      "internal_states() takes the text, the matrix, its row and column "
                      "counts, and the missing and unedited codes");
        }
        const std::string_view text = text_argument(args[0], "newick");
        const IntBuffer buffer(args[1]);
        const std::size_t rows = count_argument(args[2]);
        const std::size_t columns = count_argument(args[3]);
        const std::int32_t missing = state_argument(args[4]);
        const std::int32_t unedited = state_argument(args[5]);
        const std::span<const std::int32_t> values = buffer.values();
        if (columns != 0 && rows > values.size() / columns) {
            py::raise(PyExc_ValueError, "internal_states(): the matrix is smaller than its shape");
        }
        std::vector<std::pair<std::string_view, std::vector<std::int32_t>>> found;
        SimpleRootedTree tree;
        {
            const ReleasedGil released;
            tree = read_tree(text, "newick");
            CharacterMatrix matrix;
            matrix.values.reserve(rows * columns);
            for (std::size_t r = 0; r < rows; ++r) {
                matrix.push_row(values.subspan(r * columns, columns));
            }
            const detail::ScoringStates states = detail::scoring_states(
                tree, matrix, nullptr, missing, unedited, detail::InferenceRule::parsimony);
            for (const Node& node : tree.nodes) {
                if (is_leaf(node) || !node.taxa || states.by_node[node.id].empty()) continue;
                const std::span<const std::int32_t> s = states.by_node[node.id];
                found.emplace_back(*node.taxa, std::vector<std::int32_t>(s.begin(), s.end()));
            }
        }
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict) throw PyErrorSet{};
        for (const auto& [name, vector] : found) {
            PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(vector.size())));
            if (!list) throw PyErrorSet{};
            for (std::size_t k = 0; k < vector.size(); ++k) {
                PyRef item = PyRef::steal(PyLong_FromLong(vector[k]));
                if (!item) throw PyErrorSet{};
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item.release());
            }
            PyRef key = PyRef::steal(
                PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr));
            if (!key || PyDict_SetItem(dict.get(), key.get(), list.get()) < 0) throw PyErrorSet{};
        }
        return dict;
    });
}

}  // namespace veltrane::tools
