// IndexList storage and sample_distinct_indices: Floyd's method with insertion below 2^32,
// rejection with 64-bit draws above.
#include <cstdint>
#include <unordered_set>

#include "core/random/random_source.hpp"
#include "core/support/panic.hpp"
#include "core/support/wide_count.hpp"

namespace veltrane {

namespace {

// Lists up to this size search linearly on the 64-bit path; longer ones use a hash set.
constexpr std::size_t linear_search_limit = 16;

bool contains(const IndexList& list, std::uint64_t value) noexcept {
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i] == value) return true;
    }
    return false;
}

// Uniform in [0, length) for length >= 1, with the exact rejection zone.
std::uint64_t uniform_below_u64(RandomSource& source, std::uint64_t length) {
    // (2^64 - length) mod length, computed without leaving 64 bits.
    const std::uint64_t zone = UINT64_MAX - (0 - length) % length;
    for (;;) {
        const std::uint64_t draw = source.next_u64();
#if defined(__SIZEOF_INT128__)
        __extension__ using u128 = unsigned __int128;
        const u128 m = static_cast<u128>(draw) * length;
        if (static_cast<std::uint64_t>(m) <= zone) return static_cast<std::uint64_t>(m >> 64);
#else
        const WideCount m = wide_mul(draw, length);
        if (m.low <= zone) return m.high;
#endif
    }
}

IndexList sample_floyd(RandomSource& source, std::uint32_t length, std::uint32_t amount) {
    IndexList out;
    for (std::uint32_t j = length - amount; j < length; ++j) {
        const std::uint32_t t = source.uniform_inclusive_u32(j);
        // Linear search: callers draw at most three indices per list.
        std::size_t pos = 0;
        while (pos < out.size() && out[pos] != t) ++pos;
        if (pos < out.size()) {
            out.insert(pos, j);
        } else {
            out.push_back(t);
        }
    }
    return out;
}

IndexList sample_rejection(RandomSource& source, std::uint64_t length, std::uint64_t amount) {
    IndexList out;
    std::unordered_set<std::uint64_t> taken;
    const bool use_set = amount > linear_search_limit;
    while (out.size() < amount) {
        const std::uint64_t v = uniform_below_u64(source, length);
        const bool seen = use_set ? !taken.insert(v).second : contains(out, v);
        if (!seen) out.push_back(v);
    }
    return out;
}

}  // namespace

void IndexList::push_back(std::uint64_t v) {
    if (heap_.empty() && size_ < small_.size()) {
        small_[size_++] = v;
        return;
    }
    if (heap_.empty()) heap_.assign(small_.begin(), small_.end());
    heap_.push_back(v);
    ++size_;
}

void IndexList::insert(std::size_t pos, std::uint64_t v) {
    if (pos > size_) throw Panic("IndexList::insert position out of range");
    if (heap_.empty() && size_ < small_.size()) {
        for (std::size_t i = size_; i > pos; --i) small_[i] = small_[i - 1];
        small_[pos] = v;
        ++size_;
        return;
    }
    if (heap_.empty()) heap_.assign(small_.begin(), small_.end());
    heap_.insert(heap_.begin() + static_cast<std::ptrdiff_t>(pos), v);
    ++size_;
}

IndexList sample_distinct_indices(RandomSource& source, std::size_t length, std::size_t amount) {
    if (amount > length) {
        throw Panic("`amount` of samples must be less than or equal to `length`");
    }
    const auto length64 = static_cast<std::uint64_t>(length);
    if (amount == 0) return {};
    if (length64 <= UINT32_MAX) {
        return sample_floyd(source, static_cast<std::uint32_t>(length64),
                            static_cast<std::uint32_t>(amount));
    }
    return sample_rejection(source, length64, static_cast<std::uint64_t>(amount));
}

}  // namespace veltrane
