// ChaCha12 keystream, PCG32 seed expansion and the word-level draws of RandomSource.
#include "core/random/random_source.hpp"

#include <bit>
#include <cstring>
#include <string>

#include "core/support/entropy.hpp"
#include "core/support/panic.hpp"

namespace veltrane {

namespace {

constexpr int chacha_double_rounds = 6;
constexpr std::size_t block_words = 16;
constexpr std::size_t blocks_per_refill = 4;

// "expand 32-byte k" read as four little-endian words.
constexpr std::array<std::uint32_t, 4> chacha_constants = {0x61707865u, 0x3320646eu, 0x79622d32u,
                                                           0x6b206574u};

inline void quarter_round(std::array<std::uint32_t, block_words>& x, std::size_t a, std::size_t b,
                          std::size_t c, std::size_t d) noexcept {
    x[a] += x[b];
    x[d] = std::rotl(x[d] ^ x[a], 16);
    x[c] += x[d];
    x[b] = std::rotl(x[b] ^ x[c], 12);
    x[a] += x[b];
    x[d] = std::rotl(x[d] ^ x[a], 8);
    x[c] += x[d];
    x[b] = std::rotl(x[b] ^ x[c], 7);
}

// One ChaCha12 block (nonce 0) written to out[0..15].
void chacha12_block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                    std::uint32_t* out) noexcept {
    std::array<std::uint32_t, block_words> input{};
    for (std::size_t i = 0; i < 4; ++i) input[i] = chacha_constants[i];
    for (std::size_t i = 0; i < 8; ++i) input[4 + i] = key[i];
    input[12] = static_cast<std::uint32_t>(counter);
    input[13] = static_cast<std::uint32_t>(counter >> 32);
    // Words 14 and 15 (the nonce) stay 0.
    std::array<std::uint32_t, block_words> x = input;
    for (int round = 0; round < chacha_double_rounds; ++round) {
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
    for (std::size_t i = 0; i < block_words; ++i) out[i] = x[i] + input[i];
}

// POSIX's strerror_r returns a status; glibc's GNU variant returns the text, and writes into the
// buffer only for a number it does not know (the case where POSIX's variant fails). Either way,
// an unknown number gives an empty text.
[[maybe_unused]] std::string strerror_text(int status, const char* buffer) {
    return status == 0 ? std::string(buffer) : std::string();
}
[[maybe_unused]] std::string strerror_text(const char* text, const char* buffer) {
    return text == nullptr || text == buffer ? std::string() : std::string(text);
}

}  // namespace

namespace detail {

std::array<std::uint32_t, 8> expand_seed(std::uint64_t seed) noexcept {
    constexpr std::uint64_t multiplier = 6364136223846793005u;
    constexpr std::uint64_t increment = 11634580027462260723u;
    std::array<std::uint32_t, 8> key{};
    std::uint64_t state = seed;
    for (auto& word : key) {
        // The state advances before each output, so seed 0 still gives a non-zero key.
        state = state * multiplier + increment;
        const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
        const auto rotation = static_cast<int>(state >> 59);
        word = std::rotr(xorshifted, rotation);
    }
    return key;
}

std::string entropy_failure_message(int error_number) {
    std::string message = "from_entropy failed: ";
    if (error_number <= 0) return message + "errno: did not return a positive value";
    char buffer[256] = {};
#if defined(_WIN32)
    // strerror_s returns a status, as POSIX's strerror_r does.
    std::string text = strerror_text(strerror_s(buffer, sizeof buffer, error_number), buffer);
#else
    std::string text = strerror_text(strerror_r(error_number, buffer, sizeof buffer), buffer);
#endif
    if (text.empty()) return message + "OS Error: " + std::to_string(error_number);
    return message + text;
}

}  // namespace detail

RandomSource RandomSource::from_u64_seed(std::uint64_t seed) {
    return RandomSource(detail::expand_seed(seed));
}

RandomSource RandomSource::from_entropy() {
    unsigned char bytes[32];
    if (int error_number = 0; !system_entropy(bytes, error_number)) {
        throw Panic(detail::entropy_failure_message(error_number));
    }
    std::array<std::uint32_t, 8> key{};
    for (std::size_t k = 0; k < key.size(); ++k) {
        // Key word k is bytes 4k..4k+3, little-endian, whatever the host byte order.
        key[k] = static_cast<std::uint32_t>(bytes[4 * k]) |
                 static_cast<std::uint32_t>(bytes[4 * k + 1]) << 8 |
                 static_cast<std::uint32_t>(bytes[4 * k + 2]) << 16 |
                 static_cast<std::uint32_t>(bytes[4 * k + 3]) << 24;
    }
    return RandomSource(key);
}

void RandomSource::refill() noexcept {
    for (std::size_t k = 0; k < blocks_per_refill; ++k) {
        chacha12_block(key_, counter_ + k, buffer_.data() + block_words * k);
    }
    counter_ += blocks_per_refill;
}

std::uint64_t RandomSource::next_u64() {
    std::uint32_t low = 0;
    std::uint32_t high = 0;
    if (index_ + 1 < buffer_.size()) {
        low = buffer_[index_];
        high = buffer_[index_ + 1];
        index_ += 2;
    } else if (index_ + 1 == buffer_.size()) {
        // The last word of the old buffer is the low half, the first of the new one the high.
        low = buffer_[index_];
        refill();
        high = buffer_[0];
        index_ = 1;
    } else {
        refill();
        low = buffer_[0];
        high = buffer_[1];
        index_ = 2;
    }
    return static_cast<std::uint64_t>(high) << 32 | low;
}

std::uint32_t RandomSource::uniform_inclusive_u32(std::uint32_t high) {
    const std::uint32_t range = high + 1;
    // The full 32-bit range needs no rejection (and the zone shift below would be undefined).
    if (range == 0) return next_u32();
    // The zone rejects more words than strictly needed; seeded streams depend on it.
    const std::uint32_t zone = (range << std::countl_zero(range)) - 1;
    for (;;) {
        const std::uint64_t m = static_cast<std::uint64_t>(next_u32()) * range;
        if (static_cast<std::uint32_t>(m) <= zone) return static_cast<std::uint32_t>(m >> 32);
    }
}

}  // namespace veltrane
