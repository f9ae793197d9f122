#pragma once
// What the unit tests of every core module share: the message of a failed internal assertion,
// and bit-for-bit comparison of doubles.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "failure.hpp"

namespace vorn::test {

// What assertion_message returns when the call completes.
inline const std::string no_assertion = "<no assertion>";

// The message of the internal assertion that the call fails with, or no_assertion.
inline std::string assertion_message(const std::function<void()>& call) {
    try {
        call();
    } catch (const vorn::AssertionFailure& failure) {
        return failure.what();
    }
    return no_assertion;
}

// Fails the test unless the call fails an internal assertion with exactly this message.
inline void expect_assertion(const std::function<void()>& call, const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "no assertion failure, expected " << message;
    } catch (const vorn::AssertionFailure& failure) {
        EXPECT_EQ(std::string(failure.what()), message);
    }
}

inline std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// Identical bits, signed zeros included. Any NaN equals any NaN: IEEE leaves the sign and
// payload of a NaN result open, and x86 takes them from whichever operand the compiler happens
// to place first in a commutative operation.
inline ::testing::AssertionResult same_bits(std::span<const double> got,
                                            std::span<const double> want) {
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << "sizes " << got.size() << " vs " << want.size();
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (std::isnan(got[i]) && std::isnan(want[i])) continue;
        if (bits(got[i]) != bits(want[i])) {
            return ::testing::AssertionFailure()
                   << "entry " << i << ": " << got[i] << " vs " << want[i];
        }
    }
    return ::testing::AssertionSuccess();
}

}  // namespace vorn::test
