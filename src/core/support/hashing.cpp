// The per-process hash key.
#include "core/support/hashing.hpp"

#include <chrono>
#include <cstring>

#include "core/support/entropy.hpp"

namespace veltrane {

namespace {

std::uint64_t draw_hash_key() noexcept {
    unsigned char bytes[32];
    std::uint64_t key = 0;
    if (int error_number = 0; system_entropy(bytes, error_number)) {
        std::memcpy(&key, bytes, sizeof key);
        return key;
    }
    // Without the system's entropy the clock and the (randomised) addresses of code and stack
    // still differ from run to run.
    const auto now = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    const auto stack = reinterpret_cast<std::uintptr_t>(&key);
    const auto code = reinterpret_cast<std::uintptr_t>(&draw_hash_key);
    return mix64(now ^ mix64(stack ^ mix64(code)));
}

}  // namespace

std::uint64_t process_hash_key() noexcept {
    static const std::uint64_t key = draw_hash_key();
    return key;
}

}  // namespace veltrane
