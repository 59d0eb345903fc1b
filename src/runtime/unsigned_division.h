#pragma once

#include <cstdint>

// Unsigned 32-bit division by shifting and subtracting, one quotient bit a
// step, for processors without a divide instruction. Division by zero gives
// all ones; nothing in the tool divides by zero.
// The two operands come in the order of the EABI routine that calls this.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
constexpr std::uint32_t divide_unsigned(std::uint32_t numerator, std::uint32_t denominator) {
    std::uint32_t quotient = 0;
    // Wider than the operands: shifted up, a remainder just below a
    // denominator of 2^31 or more would lose its top bit.
    std::uint64_t remainder = 0;
    for (int bit = 31; bit >= 0; --bit) {
        remainder = (remainder << 1U) | ((numerator >> bit) & 1U);
        if (remainder >= denominator) {
            remainder -= denominator;
            quotient |= std::uint32_t{1} << bit;
        }
    }
    return quotient;
}
