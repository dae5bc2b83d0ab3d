// Available-memory figures from /proc/meminfo and the cgroup, and the up-front request check.
#include "core/support/memory.hpp"

#include <algorithm>
#include <fstream>
#include <limits>
#include <new>
#include <string>

namespace veltrane {

namespace {

// The value in kB of a "Name:   1234 kB" line of /proc/meminfo.
std::optional<std::uint64_t> meminfo_kib(const std::string& name) {
    std::ifstream in("/proc/meminfo");
    std::string key;
    std::uint64_t value = 0;
    std::string unit;
    while (in >> key >> value) {
        std::getline(in, unit);
        if (key == name + ":") return value;
    }
    return std::nullopt;
}

// A cgroup v2 file holding one number ("max" or anything else reads as absent).
std::optional<std::uint64_t> cgroup_number(const char* path) {
    std::ifstream in(path);
    std::uint64_t value = 0;
    if (in >> value) return value;
    return std::nullopt;
}

}  // namespace

namespace detail {

bool request_fits(std::size_t count, std::size_t size, std::optional<std::uint64_t> available) {
    if (size != 0 && count > std::numeric_limits<std::size_t>::max() / size) return false;
    const std::uint64_t bytes = static_cast<std::uint64_t>(count) * size;
    if (bytes < checked_request_bytes || !available) return true;
    return bytes <= *available;
}

std::optional<std::uint64_t> available_memory_bytes() {
    std::optional<std::uint64_t> available;
    if (const auto mem = meminfo_kib("MemAvailable")) {
        available = (*mem + meminfo_kib("SwapFree").value_or(0)) * 1024;
    }
    const auto limit = cgroup_number("/sys/fs/cgroup/memory.max");
    const auto used = cgroup_number("/sys/fs/cgroup/memory.current");
    if (limit && used) {
        const std::uint64_t room = *limit > *used ? *limit - *used : 0;
        available = available ? std::min(*available, room) : room;
    }
    return available;
}

}  // namespace detail

void require_memory(std::size_t count, std::size_t size) {
    // Small requests skip the system's figures altogether.
    if (size == 0 || count < detail::checked_request_bytes / size) return;
    if (!detail::request_fits(count, size, detail::available_memory_bytes())) {
        throw std::bad_alloc();
    }
}

}  // namespace veltrane
