// Hashing for the open-addressing tables of the label map and the Robinson-Foulds distance:
// a 64-bit finaliser, a label hash built on it, and a prefetch hint for the slot a hash names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace veltrane {

// The splitmix64 finaliser: every input bit reaches every output bit.
inline std::uint64_t mix64(std::uint64_t x) noexcept {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

// Eight bytes at a time, one mix per word; a label of up to eight bytes costs one mix. Not
// seeded: no table's contents or order depend on it, only its speed.
inline std::uint64_t hash_label(std::string_view label) noexcept {
    const std::size_t size = label.size();
    // The size goes in too, so that trailing zero bytes still make a different label.
    std::uint64_t h = 0x9e3779b97f4a7c15ULL * (size + 1);
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

inline void prefetch(const void* address) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address);
#else
    static_cast<void>(address);
#endif
}

}  // namespace veltrane
