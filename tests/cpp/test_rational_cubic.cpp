// Tests of numeric/rational_cubic.hpp: the interpolant, the second-derivative
// fits and the shape-preserving lower bound of the control parameter.
#include "numeric/rational_cubic.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

using namespace quelta;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Interval {
    double x_l, x_r, y_l, y_r, d_l, d_r;
};

double interp(const Interval& iv, double x, double r) {
    return simd::rc_interp(x, iv.x_l, iv.x_r, iv.y_l, iv.y_r, iv.d_l, iv.d_r, r);
}

// Cubic Hermite polynomial in its textbook basis form, independent of the
// Bernstein-like form that the interpolant uses.
double hermite(const Interval& iv, double x) {
    const double h = iv.x_r - iv.x_l;
    const double t = (x - iv.x_l) / h;
    const double t2 = t * t;
    const double t3 = t2 * t;
    return (2 * t3 - 3 * t2 + 1) * iv.y_l + (t3 - 2 * t2 + t) * h * iv.d_l +
           (-2 * t3 + 3 * t2) * iv.y_r + (t3 - t2) * h * iv.d_r;
}

// Central differences of the interpolant; the formula extrapolates smoothly
// beyond the ends, so the stencil may straddle them.
double first_derivative(const Interval& iv, double x, double r, double step) {
    return (interp(iv, x + step, r) - interp(iv, x - step, r)) / (2 * step);
}

double second_derivative(const Interval& iv, double x, double r, double step) {
    return (interp(iv, x + step, r) - 2 * interp(iv, x, r) + interp(iv, x - step, r)) /
           (step * step);
}

const std::vector<Interval> kIntervals = {
    {0.0, 1.0, 0.0, 4.0, 1.0, 7.0},        // increasing, convex
    {-2.0, 3.0, 5.0, 1.0, -0.1, -2.0},     // decreasing, concave
    {0.25, 0.5, 0.3, 0.35, 0.5, -0.25},    // neither
    {1e-3, 2e-3, 1e-6, 3e-6, 1e-3, 3e-3},  // small scale
};

// --- simd::is_zero -------------------------------------------------------

TEST(IsZero, SubnormalsCountAsZero) {
    const double denorm = std::numeric_limits<double>::denorm_min();
    for (double x : {0.0, -0.0, denorm, -denorm, _DBL_MIN / 2, std::nextafter(_DBL_MIN, 0.0)}) {
        EXPECT_TRUE(simd::is_zero(x)) << "x = " << x;
    }
    for (double x : {_DBL_MIN, -_DBL_MIN, 1.0, -1e-300, kInf, -kInf, kNaN}) {
        EXPECT_FALSE(simd::is_zero(x)) << "x = " << x;
    }
}

// --- simd::rc_interp -----------------------------------------------------------

TEST(RcInterp, ZeroWidthIntervalReturnsMeanForAnyXAndR) {
    for (double x : {-5.0, 2.0, 3.0, 1e300, kNaN}) {
        for (double r : {3.0, _RC_MAX, kNaN}) {
            EXPECT_EQ(simd::rc_interp(x, 2.0, 2.0, 1.0, 4.0, 10.0, -10.0, r), 2.5)
                << "x = " << x << ", r = " << r;
        }
    }
}

TEST(RcInterp, ReproducesEndValuesForEveryParameter) {
    for (const Interval& iv : kIntervals) {
        for (double r : {_RC_MIN, -0.5, 0.0, 1.0, 3.0, 17.0, 1e12, _RC_MAX, 2 * _RC_MAX}) {
            EXPECT_DOUBLE_EQ(interp(iv, iv.x_l, r), iv.y_l) << "r = " << r;
            EXPECT_DOUBLE_EQ(interp(iv, iv.x_r, r), iv.y_r) << "r = " << r;
        }
    }
}

TEST(RcInterp, ReproducesEndSlopes) {
    for (const Interval& iv : kIntervals) {
        const double h = iv.x_r - iv.x_l;
        const double step = 1e-6 * h;
        for (double r : {-0.5, 0.0, 3.0, 17.0}) {
            const double scale =
                std::fabs(iv.d_l) + std::fabs(iv.d_r) + std::fabs(iv.y_r - iv.y_l) / h;
            EXPECT_NEAR(first_derivative(iv, iv.x_l, r, step), iv.d_l, 1e-7 * scale) << "r = " << r;
            EXPECT_NEAR(first_derivative(iv, iv.x_r, r, step), iv.d_r, 1e-7 * scale) << "r = " << r;
        }
    }
}

TEST(RcInterp, ParameterThreeIsCubicHermiteAlsoWhenExtrapolating) {
    for (const Interval& iv : kIntervals) {
        const double h = iv.x_r - iv.x_l;
        for (double t : {-0.5, 0.1, 0.25, 0.5, 0.8, 1.0, 1.5}) {
            const double x = iv.x_l + t * h;
            const double expected = hermite(iv, x);
            const double growth = 1 + std::fabs(t) * std::fabs(t) * std::fabs(t);
            const double scale = growth * (std::fabs(iv.y_l) + std::fabs(iv.y_r) +
                                           h * (std::fabs(iv.d_l) + std::fabs(iv.d_r)));
            EXPECT_NEAR(interp(iv, x, 3.0), expected, 8 * _DBL_EPS * scale) << "t = " << t;
        }
    }
}

TEST(RcInterp, LinearFromRcMaxOnWhateverTheSlopes) {
    // The chord ignores d_l and d_r, even when they are NaN.
    for (double d : {0.0, 1e300, -1e300, kNaN}) {
        EXPECT_EQ(simd::rc_interp(0.25, 0.0, 1.0, 0.0, 4.0, d, -d, _RC_MAX), 1.0) << "d = " << d;
        EXPECT_EQ(simd::rc_interp(0.25, 0.0, 1.0, 0.0, 4.0, d, -d, kInf), 1.0) << "d = " << d;
        // The chord also extrapolates.
        EXPECT_EQ(simd::rc_interp(2.0, 0.0, 1.0, 0.0, 4.0, d, d, _RC_MAX), 8.0) << "d = " << d;
    }
    // One ulp below _RC_MAX the rational formula is still used, and a NaN
    // slope shows it; a NaN parameter also goes through the formula.
    EXPECT_TRUE(std::isnan(
        simd::rc_interp(0.25, 0.0, 1.0, 0.0, 4.0, kNaN, 0.0, std::nextafter(_RC_MAX, 0.0))));
    EXPECT_TRUE(std::isnan(simd::rc_interp(0.25, 0.0, 1.0, 0.0, 4.0, 1.0, 1.0, kNaN)));
}

TEST(RcInterp, LargeParameterTendsToChord) {
    const Interval iv{0.0, 1.0, 0.0, 4.0, 100.0, -50.0};
    EXPECT_NEAR(interp(iv, 0.25, 1e12), 1.0, 1e-9);
    EXPECT_GT(std::fabs(interp(iv, 0.25, 3.0) - 1.0), 1.0);
}

// --- simd::rc_param_left / simd::rc_param_right -------------------------------------

struct FitCase {
    Interval iv;
    double second_deriv;
};

// Second derivatives chosen so that the fitted parameter lies well above -1
// (the interpolant is then smooth on the whole interval).
const std::vector<FitCase> kFitCases = {
    {{0.0, 1.0, 0.0, 4.0, 1.0, 7.0}, 0.0},    {{0.0, 1.0, 0.0, 4.0, 1.0, 7.0}, 5.0},
    {{0.0, 1.0, 0.0, 4.0, 1.0, 7.0}, 20.0},   {{-2.0, 3.0, 5.0, 1.0, -0.1, -2.0}, -0.3},
    {{-2.0, 3.0, 5.0, 1.0, -0.1, -2.0}, 0.0}, {{1.0, 1.5, 2.0, 2.2, 0.1, 0.9}, 1.0},
};

TEST(RcParam, LeftFitReproducesSecondDerivativeAtLeftEnd) {
    for (const FitCase& c : kFitCases) {
        const Interval& iv = c.iv;
        const double r =
            simd::rc_param_left(iv.x_l, iv.x_r, iv.y_l, iv.y_r, iv.d_l, iv.d_r, c.second_deriv);
        ASSERT_GT(r, -1.0);
        const double h = iv.x_r - iv.x_l;
        const double got = second_derivative(iv, iv.x_l, r, 1e-4 * h);
        EXPECT_NEAR(got, c.second_deriv, 1e-5 * (1 + std::fabs(c.second_deriv)))
            << "r = " << r << ", second derivative " << c.second_deriv;
    }
}

TEST(RcParam, RightFitReproducesSecondDerivativeAtRightEnd) {
    for (const FitCase& c : kFitCases) {
        const Interval& iv = c.iv;
        const double r =
            simd::rc_param_right(iv.x_l, iv.x_r, iv.y_l, iv.y_r, iv.d_l, iv.d_r, c.second_deriv);
        ASSERT_GT(r, -1.0);
        const double h = iv.x_r - iv.x_l;
        const double got = second_derivative(iv, iv.x_r, r, 1e-4 * h);
        EXPECT_NEAR(got, c.second_deriv, 1e-5 * (1 + std::fabs(c.second_deriv)))
            << "r = " << r << ", second derivative " << c.second_deriv;
    }
}

TEST(RcParam, ZeroNumeratorGivesZero) {
    // h * sd / 2 + (d_r - d_l) == 0, exactly or below _DBL_MIN.
    EXPECT_EQ(simd::rc_param_left(0.0, 1.0, 0.0, 4.0, 2.0, 2.0, 0.0), 0.0);
    EXPECT_EQ(simd::rc_param_right(0.0, 1.0, 0.0, 4.0, 2.0, 2.0, 0.0), 0.0);
    EXPECT_EQ(simd::rc_param_left(0.0, 1.0, 0.0, 4.0, 2.0, 2.0, 1e-310), 0.0);
    EXPECT_EQ(simd::rc_param_right(0.0, 1.0, 0.0, 4.0, 2.0, 2.0, -1e-310), 0.0);
    EXPECT_EQ(simd::rc_param_left(0.0, 2.0, 0.0, 4.0, 1.0, 3.0, -2.0), 0.0);
    // Zero numerator takes precedence over a zero denominator.
    EXPECT_EQ(simd::rc_param_left(0.0, 1.0, 0.0, 2.0, 2.0, 2.0, 0.0), 0.0);
}

TEST(RcParam, ZeroDenominatorGivesExtremeBySignOfNumerator) {
    // Left: secant 4 equals d_l = 4. Right: secant 4 equals d_r = 4.
    EXPECT_EQ(simd::rc_param_left(0.0, 1.0, 0.0, 4.0, 4.0, 6.0, 1.0), _RC_MAX);
    EXPECT_EQ(simd::rc_param_left(0.0, 1.0, 0.0, 4.0, 4.0, 2.0, 1.0), _RC_MIN);
    EXPECT_EQ(simd::rc_param_right(0.0, 1.0, 0.0, 4.0, 1.0, 4.0, 1.0), _RC_MAX);
    EXPECT_EQ(simd::rc_param_right(0.0, 1.0, 0.0, 4.0, 5.0, 4.0, -1.0), _RC_MIN);
}

TEST(RcParam, PlainQuotient) {
    // Left: num = 1*4/2 + (7 - 1) = 8, den = 4 - 1 = 3.
    EXPECT_DOUBLE_EQ(simd::rc_param_left(0.0, 1.0, 0.0, 4.0, 1.0, 7.0, 4.0), 8.0 / 3.0);
    // Right: num = 2*(-1)/2 + (1 - 3) = -3, den = 1 - (6 - 0)/2 = -2.
    EXPECT_DOUBLE_EQ(simd::rc_param_right(0.0, 2.0, 0.0, 6.0, 3.0, 1.0, -1.0), 1.5);
}

// --- simd::rc_min_param --------------------------------------------------------

struct MinParamCase {
    double d_l, d_r, s;
    int prefer_shape;
    double expected;
};

TEST(RcMinParam, Table) {
    const std::vector<MinParamCase> cases = {
        // neither monotone, convex nor concave
        {-1.0, -1.0, 1.0, 0, _RC_MIN},
        {-1.0, -1.0, 1.0, 1, _RC_MIN},
        // monotone only: r1 = (d_r + d_l)/s, or the chord when shape is preferred
        {1.0, 1.0, 2.0, 0, 1.0},
        {1.0, 1.0, 2.0, 1, _RC_MAX},
        {-3.0, -1.0, -0.5, 0, 8.0},
        // concave, not monotone: max(|(d_r - d_l)/(d_r - s)|, |(d_r - d_l)/(s - d_l)|)
        {1.0, -1.0, 0.5, 0, 4.0},
        {1.0, -1.0, 0.5, 1, 4.0},
        // convex and monotone: each of the two quotients can be the larger
        {1.0, 2.5, 2.0, 0, 3.0},  // 1.5/0.5 = 3 > 1.5/1; r1 = 1.75
        {1.5, 4.0, 2.0, 0, 5.0},  // 2.5/0.5 = 5 > 2.5/2; r1 = 2.75
        {1.0, 5.0, 2.0, 1, 4.0},  // 4/1 = 4 > 4/3; r1 = 3
        // decreasing and concave
        {-1.0, -3.0, -1.5, 0, 4.0},
        // all zero: every bound needs a division by zero
        {0.0, 0.0, 0.0, 1, _RC_MAX},
        {0.0, 0.0, 0.0, 0, _RC_MIN},
        // concave with d_r == s and not monotone: convexity bound dropped
        {1.0, -1.0, -1.0, 0, _RC_MIN},
        {1.0, -1.0, -1.0, 1, _RC_MAX},
        // secant below _DBL_MIN counts as zero
        {0.0, 0.0, 1e-310, 0, _RC_MIN},
        // NaN data satisfy no shape
        {1.0, 1.0, kNaN, 1, _RC_MIN},
        {kNaN, 1.0, 1.0, 1, _RC_MIN},
    };
    for (const MinParamCase& c : cases) {
        EXPECT_EQ(simd::rc_min_param(c.d_l, c.d_r, c.s, c.prefer_shape), c.expected)
            << "d_l = " << c.d_l << ", d_r = " << c.d_r << ", s = " << c.s
            << ", prefer_shape = " << c.prefer_shape;
    }
}

TEST(RcMinParam, ConvexDataStayConvexAtTheBound) {
    // With r at the shape-preserving minimum the interpolant of convex data
    // has a non-negative second derivative across the interval.
    const Interval iv{0.0, 1.0, 0.0, 2.0, 0.2, 6.0};
    const double r = simd::rc_min_param(iv.d_l, iv.d_r, 2.0, 0);
    for (int i = 1; i < 100; ++i) {
        const double x = i / 100.0;
        EXPECT_GE(second_derivative(iv, x, r, 1e-4), -1e-6) << "x = " << x << ", r = " << r;
    }
}

// --- simd::convex_rc, fitted at either end -------------------------------

TEST(ConvexRc, FittedValueKeptWhenAboveMinimum) {
    // Convex increasing data (secant 4, slopes 1 and 7): the minimum is 2,
    // from r1 = 8/4 and max(6/3, 6/3); a second derivative of 20 at either
    // end fits r = 16/3.
    const Interval iv{0.0, 1.0, 0.0, 4.0, 1.0, 7.0};
    const double left = simd::rc_param_left(iv.x_l, iv.x_r, iv.y_l, iv.y_r, iv.d_l, iv.d_r, 20.0);
    const double right = simd::rc_param_right(iv.x_l, iv.x_r, iv.y_l, iv.y_r, iv.d_l, iv.d_r, 20.0);
    ASSERT_GT(left, 2.0);
    ASSERT_GT(right, 2.0);
    EXPECT_EQ(
        simd::convex_rc(simd::End::left, iv.x_l, iv.x_r, iv.y_l, iv.y_r, iv.d_l, iv.d_r, 20.0, 0),
        left);
    EXPECT_EQ(
        simd::convex_rc(simd::End::right, iv.x_l, iv.x_r, iv.y_l, iv.y_r, iv.d_l, iv.d_r, 20.0, 0),
        right);
}

TEST(ConvexRc, RaisedToMinimumWhenBelow) {
    // Same data, negative second derivatives: the fits 2/3 (left) and -3
    // (right) are below the minimum 2.
    const Interval iv{0.0, 1.0, 0.0, 4.0, 1.0, 7.0};
    EXPECT_EQ(
        simd::convex_rc(simd::End::left, iv.x_l, iv.x_r, iv.y_l, iv.y_r, iv.d_l, iv.d_r, -8.0, 0),
        2.0);
    EXPECT_EQ(
        simd::convex_rc(simd::End::right, iv.x_l, iv.x_r, iv.y_l, iv.y_r, iv.d_l, iv.d_r, -30.0, 0),
        2.0);
    // Monotone data whose end slopes disagree with the secant: with shape
    // preference the chord, without it (d_r + d_l)/s.
    EXPECT_EQ(simd::convex_rc(simd::End::left, 0.0, 1.0, 0.0, 2.0, 1.0, 1.0, 0.0, 1), _RC_MAX);
    EXPECT_EQ(simd::convex_rc(simd::End::right, 0.0, 1.0, 0.0, 2.0, 1.0, 1.0, 0.0, 0), 1.0);
    // A NaN fit gives the minimum.
    EXPECT_EQ(simd::convex_rc(simd::End::left, 0.0, 1.0, 0.0, 4.0, 1.0, 7.0, kNaN, 0), 2.0);
    EXPECT_EQ(simd::convex_rc(simd::End::right, 0.0, 1.0, 0.0, 4.0, 1.0, 7.0, kNaN, 1), 2.0);
}

TEST(ConvexRc, NeverBelowRcMinForNonNaNData) {
    for (const Interval& iv : kIntervals) {
        for (double sd : {-1e6, -30.0, -1.0, 0.0, 1.0, 30.0, 1e6}) {
            for (int pref : {0, 1}) {
                EXPECT_GE(simd::convex_rc(simd::End::left, iv.x_l, iv.x_r, iv.y_l, iv.y_r, iv.d_l,
                                          iv.d_r, sd, pref),
                          _RC_MIN);
                EXPECT_GE(simd::convex_rc(simd::End::right, iv.x_l, iv.x_r, iv.y_l, iv.y_r, iv.d_l,
                                          iv.d_r, sd, pref),
                          _RC_MIN);
            }
        }
    }
}

}  // namespace
