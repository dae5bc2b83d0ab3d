// Hashing for the label map, the Robinson-Foulds tables and the internal-states map: a 64-bit
// finaliser, a label hash built on it, the per-process key that both take, and a prefetch hint
// for the slot a hash names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace veltrane {

// The splitmix64 finaliser: every input bit reaches every output bit. A bijection.
inline std::uint64_t mix64(std::uint64_t x) noexcept {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

// A key drawn once per process, at first use, from the operating system's entropy (from the
// clock and addresses if that fails). Every table hashes with it: mix64 is invertible, so
// without a secret key a text could carry labels made to collide, and a call on it would
// take quadratic time. No table's contents or order depend on the key, only its speed.
std::uint64_t process_hash_key() noexcept;

// Eight bytes at a time, one mix per word; a label of up to eight bytes costs one mix.
inline std::uint64_t hash_label(std::string_view label, std::uint64_t key) noexcept {
    const std::size_t size = label.size();
    // The size goes in too, so that trailing zero bytes still make a different label.
    std::uint64_t h = (0x9e3779b97f4a7c15ULL * (size + 1)) ^ key;
    std::size_t i = 0;
    for (; i + 8 < size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, label.data() + i, 8);
        h = mix64(h ^ word);
    }
    // The last one to eight bytes (none for the empty label) take the final mix.
    std::uint64_t tail = 0;
    std::memcpy(&tail, label.data() + i, size - i);
    return mix64(h ^ tail);
}

// Hash of a 64-bit key under the process key.
inline std::uint64_t hash_u64(std::uint64_t x, std::uint64_t key) noexcept {
    return mix64(x ^ key);
}

// hash_label under the process key, for standard unordered containers keyed by text.
struct LabelHash {
    using is_transparent = void;
    std::uint64_t key = process_hash_key();
    std::size_t operator()(std::string_view label) const noexcept {
        return static_cast<std::size_t>(hash_label(label, key));
    }
};

inline void prefetch(const void* address) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address);
#else
    static_cast<void>(address);
#endif
}

}  // namespace veltrane
