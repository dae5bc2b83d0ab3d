// Character data: the matrix of leaf states and the name -> states map of internal nodes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace veltrane {

// Rows of signed 32-bit states, stored back to back. Rows may differ in length; the number of
// characters of a call is the length of row 0 (0 without rows).
struct CharacterMatrix {
    std::vector<std::int32_t> values;
    std::vector<std::size_t> row_starts{0};  // row k is values[row_starts[k] .. row_starts[k+1])

    std::size_t rows() const noexcept { return row_starts.size() - 1; }
    std::span<const std::int32_t> row(std::size_t k) const noexcept {
        return {values.data() + row_starts[k], row_starts[k + 1] - row_starts[k]};
    }
    std::size_t n_characters() const noexcept { return rows() == 0 ? 0 : row(0).size(); }
    void push_row(std::span<const std::int32_t> states) {
        values.insert(values.end(), states.begin(), states.end());
        row_starts.push_back(values.size());
    }
};

// Node name -> state vector; given by the caller or filled by state inference.
using StateMap = std::unordered_map<std::string, std::vector<std::int32_t>>;

}  // namespace veltrane
