// The core's "broken invariant" exception: the boundary turns it into PanicException.
#pragma once

#include <stdexcept>
#include <string>

namespace veltrane {

// Thrown for every failure that reaches Python as PanicException; what() is the message shown.
class Panic : public std::runtime_error {
 public:
    explicit Panic(const std::string& message) : std::runtime_error(message) {}
    explicit Panic(const char* message) : std::runtime_error(message) {}
};

}  // namespace veltrane
