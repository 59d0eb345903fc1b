// The division routine that the ARM release binaries bring, checked here
// against the host's own division; it is plain C++, so the answers are the
// same on every CPU.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>

#include "runtime/unsigned_division.h"

namespace {

constexpr std::uint32_t largest = std::numeric_limits<std::uint32_t>::max();

TEST(UnsignedDivision, EdgesOfTheRange) {
    const std::uint32_t values[] = {0,          1,          2,          3,          7,
                                    48,         4095,       4096,       65535,      65536,
                                    0x7fffffff, 0x80000000, 0x80000001, 0xfffffffe, largest};
    for (const std::uint32_t numerator : values) {
        for (const std::uint32_t denominator : values) {
            if (denominator != 0) {
                EXPECT_EQ(divide_unsigned(numerator, denominator), numerator / denominator)
                    << numerator << " / " << denominator;
            }
        }
    }
}

TEST(UnsignedDivision, RandomOperandsOfEveryWidth) {
    // A fixed seed, so that a failure comes back on the next run.
    std::mt19937 random(78);  // NOLINT(cert-msc32-c,cert-msc51-cpp)
    for (int round = 0; round < 200000; ++round) {
        const std::uint32_t numerator = random() >> (random() % 32);
        const std::uint32_t denominator = std::max<std::uint32_t>(1, random() >> (random() % 32));
        ASSERT_EQ(divide_unsigned(numerator, denominator), numerator / denominator)
            << numerator << " / " << denominator;
    }
}

}  // namespace
