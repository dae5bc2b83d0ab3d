// Operating-system entropy: getentropy, or rand_s on Windows.
#include "core/support/entropy.hpp"

#if defined(_WIN32)
#include <stdlib.h>  // rand_s, declared when the build defines _CRT_RAND_S
#elif defined(__APPLE__)
#include <sys/random.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace veltrane {

bool system_entropy(unsigned char (&bytes)[32], int& error_number) noexcept {
#if defined(_WIN32)
    for (std::size_t k = 0; k < sizeof bytes; k += sizeof(unsigned int)) {
        unsigned int word = 0;
        if (const errno_t status = rand_s(&word); status != 0) {
            error_number = status;
            return false;
        }
        std::memcpy(bytes + k, &word, sizeof word);
    }
    return true;
#else
    if (getentropy(bytes, sizeof bytes) == 0) return true;
    error_number = errno;
    return false;
#endif
}

}  // namespace veltrane
