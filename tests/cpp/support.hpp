// Comparisons shared by the C++ unit tests of the numeric core.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>

namespace quelta_test {

inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A few ulp relative: what the platform libm leaves in the last bits.
inline constexpr double kFewUlp = 4e-15;

// Relative error that treats equal infinities as exact and a zero reference
// as an absolute comparison; a NaN on either side is infinitely wrong.
inline double relative_error(double actual, double expected) {
    if (std::isnan(actual) || std::isnan(expected)) return kInf;
    if (actual == expected) return 0.0;
    if (expected == 0.0) return std::fabs(actual);
    return std::fabs(actual - expected) / std::fabs(expected);
}

inline ::testing::AssertionResult RelativelyClose(double actual, double expected,
                                                  double tolerance) {
    const double err = relative_error(actual, expected);
    if (err <= tolerance) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << std::hexfloat << "actual " << actual << " expected " << expected << std::defaultfloat
           << " relative error " << err << " > " << tolerance;
}

// Bitwise equality that also accepts NaN == NaN and tells +0 from -0.
inline ::testing::AssertionResult SameDouble(double actual, double expected) {
    if (std::isnan(actual) && std::isnan(expected)) return ::testing::AssertionSuccess();
    if (actual == expected && std::signbit(actual) == std::signbit(expected)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << std::hexfloat << "actual " << actual << " expected " << expected;
}

}  // namespace quelta_test
