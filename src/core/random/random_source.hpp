// Seedable ChaCha12 random stream and the sampler of distinct indices.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veltrane {

// ChaCha12 keystream (nonce 0, 64-bit block counter from 0) served as 32-bit words through a
// buffer of four blocks. Identical seeds give identical streams on every machine.
class RandomSource {
 public:
    // Key = expand_seed(seed); counter 0, empty buffer.
    static RandomSource from_u64_seed(std::uint64_t seed);
    // Key = 32 bytes of operating-system entropy in one request; throws Panic
    // "from_entropy failed: ..." when the request fails.
    static RandomSource from_entropy();
    // from_u64_seed of the seed when there is one, else from_entropy: how every sampling
    // metric makes its (master) source.
    static RandomSource from_seed_or_entropy(std::optional<std::uint64_t> seed) {
        return seed ? from_u64_seed(*seed) : from_entropy();
    }

    std::uint32_t next_u32() {
        if (index_ >= buffer_.size()) {
            refill();
            index_ = 0;
        }
        return buffer_[index_++];
    }
    // Low half first; index 63 joins the last old word with the first word of a refill.
    std::uint64_t next_u64();
    // Uniform in [0, high], rejecting with the shifted-range zone (more than strictly needed).
    std::uint32_t uniform_inclusive_u32(std::uint32_t high);

 private:
    explicit RandomSource(const std::array<std::uint32_t, 8>& key) noexcept : key_(key) {}
    void refill() noexcept;

    std::array<std::uint32_t, 8> key_;
    std::uint64_t counter_ = 0;
    std::array<std::uint32_t, 64> buffer_{};
    std::size_t index_ = 64;
};

// Indices in draw order. Inline storage for up to three entries, so the triplet loops never
// allocate; longer lists live on the heap.
class IndexList {
 public:
    std::size_t size() const noexcept { return size_; }
    std::uint64_t operator[](std::size_t i) const noexcept {
        return i < small_.size() && heap_.empty() ? small_[i] : heap_[i];
    }
    void push_back(std::uint64_t v);
    void insert(std::size_t pos, std::uint64_t v);

 private:
    std::array<std::uint64_t, 3> small_{};
    std::vector<std::uint64_t> heap_;
    std::size_t size_ = 0;
};

// amount distinct indices from [0, length), drawn with Floyd's method (32-bit path) or by
// rejection (64-bit path). Throws Panic when amount > length.
IndexList sample_distinct_indices(RandomSource& source, std::size_t length, std::size_t amount);

namespace detail {
// PCG32 (XSH-RR) expansion of a 64-bit seed into eight key words.
std::array<std::uint32_t, 8> expand_seed(std::uint64_t seed) noexcept;
// The Panic text for a failed entropy request with this errno value (any int).
std::string entropy_failure_message(int error_number);
}  // namespace detail

}  // namespace veltrane
