// Up-front checks for allocations whose size follows from the input, so that an input that
// needs more memory than the machine can give fails with bad_alloc before any of it is built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace veltrane {

// Throws std::bad_alloc when `count` elements of `size` bytes overflow or exceed the memory
// the machine can still give (available memory plus free swap, within the cgroup's limit).
// Requests below 64 MiB are not checked, so ordinary calls never read the system's figures.
void require_memory(std::size_t count, std::size_t size);

// vector::reserve after require_memory.
template <typename T>
void reserve_checked(std::vector<T>& v, std::size_t count) {
    require_memory(count, sizeof(T));
    v.reserve(count);
}

namespace detail {

// Requests at or above this many bytes are checked.
inline constexpr std::uint64_t checked_request_bytes = std::uint64_t{64} << 20;

// The check as a pure function: does a request fit what is available (absent = unknown)?
bool request_fits(std::size_t count, std::size_t size, std::optional<std::uint64_t> available);

// Bytes the machine can still give: MemAvailable + SwapFree from /proc/meminfo, capped by a
// cgroup v2 memory.max minus memory.current; absent when neither can be read.
std::optional<std::uint64_t> available_memory_bytes();

}  // namespace detail

}  // namespace veltrane
