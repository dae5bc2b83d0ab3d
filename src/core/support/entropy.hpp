// Operating-system entropy for the unseeded random source and the hash tables' key.
#pragma once

namespace veltrane {

// 32 bytes of operating-system entropy in one request; on failure, sets the error number and
// returns false.
bool system_entropy(unsigned char (&bytes)[32], int& error_number) noexcept;

}  // namespace veltrane
