// ARM before ARMv7 has no divide instruction, and musl's allocator divides,
// so the ARM release binaries bring the one helper routine of the ARM EABI
// that it calls. Debian's ARM libgcc is built for ARMv5TE, uses instructions
// that ARMv4T lacks, and comes in little-endian only.
#include <cstdint>

#include "runtime/unsigned_division.h"

// The name is the EABI's, and so reserved to the implementation: this is
// that part of it.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" std::uint32_t __aeabi_uidiv(std::uint32_t numerator, std::uint32_t denominator) {
    return divide_unsigned(numerator, denominator);
}
