// Monotonic stopwatch for the "computation_time_ms" results.
#pragma once

#include <chrono>

namespace veltrane {

class Stopwatch {
 public:
    Stopwatch() noexcept : start_(std::chrono::steady_clock::now()) {}

    // Whole seconds plus nanoseconds / 1e9, times 1000; 0.0 if the clock went backwards.
    double elapsed_ms() const noexcept {
        const auto now = std::chrono::steady_clock::now();
        if (now < start_) return 0.0;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - start_).count();
        const auto secs = static_cast<unsigned long long>(ns / 1'000'000'000);
        const auto sub = static_cast<unsigned long long>(ns % 1'000'000'000);
        return (static_cast<double>(secs) + static_cast<double>(sub) / 1e9) * 1000.0;
    }

 private:
    std::chrono::steady_clock::time_point start_;
};

}  // namespace veltrane
