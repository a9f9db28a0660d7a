// Tests of numeric/implied_vol.hpp: the price screening and in-the-money
// reduction of _implied_vol_scalar, the solver's four segments, the price maps
// and the Householder factor.
#include "numeric/implied_vol.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace {

using namespace quelta;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int32_t kIntMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kIntMax = std::numeric_limits<std::int32_t>::max();

// Relative error that counts two NaNs or two equal infinities as exact and
// any other NaN or infinity as infinitely wrong.
double relative_error(double got, double expected) {
    if (std::isnan(got) || std::isnan(expected)) {
        return std::isnan(got) && std::isnan(expected) ? 0.0 : kInf;
    }
    if (got == expected) return 0.0;
    if (std::isinf(got) || std::isinf(expected)) return kInf;
    return std::fabs(got - expected) / std::fabs(expected);
}

// --- _implied_vol_scalar: screening -----------------------------------------

struct PriceCase {
    double price, F, K;
    std::int32_t q;
};

TEST(ImpliedVolScalar, PricesOutsideTheBandGiveZero) {
    const double tiny = std::numeric_limits<double>::denorm_min();
    const std::vector<PriceCase> cases = {
        // call F = 100, K = 90: below intrinsic, no time value, at or above F
        {9.999, 100.0, 90.0, 1},
        {10.0, 100.0, 90.0, 1},
        {100.0, 100.0, 90.0, 1},
        {150.0, 100.0, 90.0, 1},
        {kInf, 100.0, 90.0, 1},
        // put F = 100, K = 110: below intrinsic, no time value, at or above K
        {9.999, 100.0, 110.0, -1},
        {10.0, 100.0, 110.0, -1},
        {110.0, 100.0, 110.0, -1},
        {200.0, 100.0, 110.0, -1},
        // out of the money with no or negative price
        {0.0, 100.0, 110.0, 1},
        {-0.0, 100.0, 110.0, 1},
        {-1.0, 100.0, 110.0, 1},
        {0.0, 100.0, 90.0, -1},
        {-tiny, 100.0, 90.0, -1},
        {0.0, 100.0, 100.0, 1},
        // non-positive forward or strike: one of the two bounds fails
        {5.0, 0.0, 100.0, 1},
        {5.0, -100.0, 100.0, 1},
        {5.0, 100.0, 0.0, 1},
        {5.0, 100.0, -100.0, 1},
        {5.0, 0.0, 100.0, -1},
        {5.0, -100.0, 100.0, -1},
        {5.0, 100.0, 0.0, -1},
        {5.0, 0.0, 0.0, 1},
        {0.0, 0.0, 0.0, -1},
        // infinite strike: x = -inf and beta = 0
        {5.0, 100.0, kInf, 1},
    };
    for (const PriceCase& c : cases) {
        EXPECT_EQ(_implied_vol_scalar(c.price, c.F, c.K, c.q), 0.0)
            << "price " << c.price << ", F " << c.F << ", K " << c.K << ", q " << c.q;
    }
    // Just inside the band the same options have a positive volatility.
    EXPECT_GT(_implied_vol_scalar(10.5, 100.0, 90.0, 1), 0.0);
    EXPECT_GT(_implied_vol_scalar(10.5, 100.0, 110.0, -1), 0.0);
    EXPECT_GT(_implied_vol_scalar(99.0, 100.0, 90.0, 1), 0.0);
}

TEST(ImpliedVolScalar, NaNPriceGivesNaN) {
    for (const PriceCase& c : std::vector<PriceCase>{{kNaN, 100.0, 100.0, 1},
                                                     {kNaN, 100.0, 90.0, 1},
                                                     {kNaN, 100.0, 110.0, 1},
                                                     {kNaN, 100.0, 110.0, -1},
                                                     {kNaN, 100.0, 90.0, -1},
                                                     {kNaN, 100.0, 100.0, 0}}) {
        EXPECT_TRUE(std::isnan(_implied_vol_scalar(c.price, c.F, c.K, c.q)))
            << "F " << c.F << ", K " << c.K << ", q " << c.q;
    }
}

// --- _implied_vol_scalar: option kind ------------------------------------

TEST(ImpliedVolScalar, InTheMoneyEqualsOutOfTheMoneyByParity) {
    // Time values c with c + |K - F| exact, so that the reduction recovers c
    // exactly and the two solves see identical inputs.
    const double intrinsic = 10.0;
    for (double c : {0.0009765625, 0.5, 2.0, 6.1875, 9.75}) {
        const double otm_call = _implied_vol_scalar(c, 100.0, 110.0, 1);
        const double itm_put = _implied_vol_scalar(c + intrinsic, 100.0, 110.0, -1);
        ASSERT_GT(otm_call, 0.0) << "c = " << c;
        EXPECT_EQ(itm_put, otm_call) << "c = " << c;

        const double otm_put = _implied_vol_scalar(c, 110.0, 100.0, -1);
        const double itm_call = _implied_vol_scalar(c + intrinsic, 110.0, 100.0, 1);
        ASSERT_GT(otm_put, 0.0) << "c = " << c;
        EXPECT_EQ(itm_call, otm_put) << "c = " << c;
    }
}

TEST(ImpliedVolScalar, OnlyTheSignOfTheFlagMatters) {
    // q = 0 is a call, including its in-the-money reduction; INT32_MIN is a
    // put and must not overflow where the kind is reversed.
    const std::vector<PriceCase> options = {
        {16.190426413768336, 110.0, 100.0, 0},  // in-the-money call
        {6.19042641376835, 100.0, 110.0, 0},    // out-of-the-money call
        {16.190426413768336, 100.0, 110.0, 0},  // in-the-money put
        {6.19042641376835, 110.0, 100.0, 0},    // out-of-the-money put
        {7.965567455405804, 100.0, 100.0, 0},   // at the money
    };
    for (const PriceCase& o : options) {
        const double call = _implied_vol_scalar(o.price, o.F, o.K, 1);
        const double put = _implied_vol_scalar(o.price, o.F, o.K, -1);
        // Where a kind rejects the price (below its intrinsic value), every
        // flag of that sign must reject it too.
        for (std::int32_t q : {0, 3, kIntMax}) {
            EXPECT_EQ(_implied_vol_scalar(o.price, o.F, o.K, q), call)
                << "q " << q << ", F " << o.F << ", K " << o.K;
        }
        for (std::int32_t q : {-7, kIntMin}) {
            EXPECT_EQ(_implied_vol_scalar(o.price, o.F, o.K, q), put)
                << "q " << q << ", F " << o.F << ", K " << o.K;
        }
    }
    // The in-the-money call with q = 0 is solved as a call, not rejected or
    // solved with its intrinsic value left in.
    EXPECT_LT(relative_error(_implied_vol_scalar(16.190426413768336, 110.0, 100.0, 0), 0.25),
              2e-15);
    EXPECT_LT(relative_error(_implied_vol_scalar(16.190426413768336, 100.0, 110.0, kIntMin), 0.25),
              2e-15);
}

// --- _implied_vol_scalar: accuracy ---------------------------------------

TEST(ImpliedVolScalar, ReferenceRoundTrips) {
    // Prices of volatilities 0.2 (at the money) and 0.25 (strike 110), each
    // to be recovered within rounding.
    EXPECT_NEAR(_implied_vol_scalar(7.965567455405804, 100.0, 100.0, 1), 0.2, 2e-15 * 0.2);
    EXPECT_NEAR(_implied_vol_scalar(6.19042641376835, 100.0, 110.0, 1), 0.25, 2e-15 * 0.25);
    EXPECT_NEAR(_implied_vol_scalar(16.190426413768336, 100.0, 110.0, -1), 0.25, 2e-15 * 0.25);
}

struct OracleCase {
    double F, K;
    std::int32_t q;
    double price;  // Black price of sigma, correctly rounded
    double sigma;
    double cond_p;  // |P/(sigma dP/dsigma)|: relative error of sigma per relative error of P
    double cond_x;  // |dsigma/dx|/sigma at fixed time value: per absolute error of x = ln(F/K)
};

TEST(ImpliedVolScalar, MatchesHighPrecisionPrices) {
    // Undiscounted Black prices F Phi(d1) - K Phi(d2) (call) and
    // K Phi(-d2) - F Phi(-d1) (put), d1,2 = ln(F/K)/sigma +- sigma/2, and the
    // two condition numbers, computed with mpmath at 60 digits.
    const std::vector<OracleCase> cases = {
        {100.0, 100.0, 1, 7.965567455405797, 0.2, 1, 6.3},
        {100.0, 100.0, -1, 7.965567455405797, 0.2, 1, 6.3},
        {100.0, 110.0, 1, 6.190426413768347, 0.25, 0.641, 3.81},
        {100.0, 110.0, -1, 16.190426413768346, 0.25, 1.68, 3.81},
        {110.0, 100.0, 1, 16.190426413768346, 0.25, 1.68, 3.81},
        {110.0, 100.0, -1, 6.190426413768347, 0.25, 0.641, 3.81},
        {100.0, 90.0, -1, 2.021727425647764, 0.15, 0.457, 5.17},
        {100.0, 300.0, 1, 0.0015603684700166683, 0.3, 0.0622, 0.855},
        {100.0, 10000.0, 1, 8.367644092139384e-19, 0.5, 0.0114, 0.215},
        {100.0, 1000000.0, 1, 1.5268917912798065e-17, 1.0, 0.0114, 0.108},
        {1.0, 1e+20, 1, 0.030850354198981387, 8, 0.0452, 0.0353},
        {100.0, 101.0, 1, 0.084525304139687, 0.01, 0.346, 65.7},
        {100.0, 100.5, 1, 0.00040965224682870465, 0.002, 0.115, 177},
        {100.0, 100.0, 1, 3.989422804014161e-05, 1e-6, 1, 1.25e+06},
        {100.78125, 100.0, -1, 0.00044930583016269824, 0.003, 0.108, 115},
        {100.78125, 100.0, 1, 0.7816993058301627, 0.003, 188, 115},
        {100.0, 100.0, 1, 98.75806693484478, 5, 11.3, 5.71},
        {100.0, 120.0, 1, 99.99993720752015, 10, 6.14e+04, 3.07e+04},
        {100.0, 80.0, -1, 68.07089636371963, 3, 1.96, 1.15},
        {0.01, 0.012, 1, 0.0009188094709522512, 0.4, 0.595, 2.29},
        {1000000.0, 900000.0, -1, 70128.79901849713, 0.3, 0.664, 3.25},
        {100.0, 150.0, -1, 60.66601053955043, 0.6, 2.72, 1.35},
        {100.0, 95.0, 1, 5.3863439166540275, 0.05, 4.69, 12.9},
    };
    for (const OracleCase& c : cases) {
        const double got = _implied_vol_scalar(c.price, c.F, c.K, c.q);
        // Input errors the solver cannot undo: the rounded price, the rounded
        // quotient F/K (its exact relative error from the FMA residual) and
        // the logarithm. On top of them a few ulps of its own.
        const double ratio = c.F / c.K;
        const double ratio_error = std::fabs(std::fma(ratio, c.K, -c.F) / c.F);
        const double x_error = ratio_error + _DBL_EPS * std::fabs(std::log(ratio));
        const double tolerance = 4 * _DBL_EPS * std::fmax(1.0, c.cond_p) + c.cond_x * x_error;
        EXPECT_LE(relative_error(got, c.sigma), tolerance)
            << "F " << c.F << ", K " << c.K << ", q " << c.q << ", sigma " << c.sigma << ": got "
            << got;
    }
}

TEST(ImpliedVolScalar, TinyAtTheMoneyPricesStayFinite) {
    // At the money b(0, s) = s/sqrt(2 pi) (1 + O(s^2)), so the volatility is
    // price sqrt(2 pi)/F. Below s ~ 1.6e-162, s*s underflows, which must not
    // turn the Householder step into NaN.
    const double sqrt_two_pi = std::sqrt(_TWO_PI);
    for (double price : {1e-8, 1e-100, 1e-160, 1e-170, 1e-200, 1e-300}) {
        const double expected = price * sqrt_two_pi / 100.0;
        const double got = _implied_vol_scalar(price, 100.0, 100.0, 1);
        EXPECT_LE(relative_error(got, expected), 4 * _DBL_EPS) << "price " << price << ": " << got;
        EXPECT_EQ(_implied_vol_scalar(price, 100.0, 100.0, -1), got) << "price " << price;
    }
    EXPECT_NEAR(_implied_vol_scalar(1e-200, 100.0, 100.0, 1), 2.5066282746310002e-202, 1e-216);
}

// --- simd::unchecked_solver ----------------------------------------------------

// Which of the four initial-guess segments beta falls in, from the reference
// points on the price curve. Used only to show that a table covers all four.
int segment(double beta, double x) {
    const double b_max = std::exp(x / 2);
    const double s_c = std::sqrt(std::fabs(2 * x));
    const double b_c = _normalised_black_call(x, s_c);
    const double v_c = simd::normalised_vega(x, s_c);
    if (beta < b_c) return beta < _normalised_black_call(x, s_c - b_c / v_c) ? 1 : 2;
    const double s_h = v_c > _DBL_MIN ? s_c + (b_max - b_c) / v_c : s_c;
    return beta <= _normalised_black_call(x, s_h) ? 3 : 4;
}

TEST(UncheckedSolver, RoundTripAcrossAllSegments) {
    // s -> b(x, s) -> s for out-of-the-money calls. The volatility can only be
    // as good as its condition number |b/(s b')| allows.
    int per_segment[5] = {0, 0, 0, 0, 0};
    for (double x : {0.0, -1e-8, -1e-3, -0.1, -0.5, -1.0, -3.0, -10.0, -30.0, -100.0}) {
        for (double s : {1e-6, 1e-3, 0.01, 0.05, 0.2, 0.5, 1.0, 2.0, 3.5, 5.0, 8.0, 12.0, 20.0}) {
            const double beta = _normalised_black_call(x, s);
            const double b_max = std::exp(x / 2);
            // Skip prices that underflow or that are rounded to the upper limit.
            if (!(beta > 1e-300) || !(beta < b_max)) continue;
            const double cond = std::fabs(beta / (s * simd::normalised_vega(x, s)));
            const int seg = segment(beta, x);
            const double got = simd::unchecked_solver(beta, x, 1.0, _IV_MAX_ITER);
            // A put at -x is the same option after the reduction.
            EXPECT_EQ(simd::unchecked_solver(beta, -x, -1.0, _IV_MAX_ITER), got) << "x " << x;
            if (!(cond < 1e6)) continue;  // b(x, s) too close to b_max to pin s down
            ++per_segment[seg];
            EXPECT_LE(relative_error(got, s), 8 * _DBL_EPS * std::fmax(1.0, cond))
                << "x " << x << ", s " << s << ", segment " << seg << ", cond " << cond << ": got "
                << got;
        }
    }
    for (int seg = 1; seg <= 4; ++seg) {
        EXPECT_GE(per_segment[seg], 5) << "segment " << seg << " hardly exercised";
    }
}

TEST(UncheckedSolver, DeepOutOfTheMoneyBelowTheLowerSegmentGuess) {
    // Far below b_l at |x| of a few hundred, the rational cubic guess of the
    // lowest segment is a tiny difference of large terms and can come out
    // negative; at these inputs it does, and the quadratic guess takes over.
    // Reference volatility solving b(x, s) = beta by mpmath findroot at 80
    // digits (condition number |b/(s b')| = 0.00316).
    const double x = -399.84999999999997;
    const double beta = 1.8132585527153475e-112;
    EXPECT_LE(
        relative_error(simd::unchecked_solver(beta, x, 1.0, _IV_MAX_ITER), 19.756132684883127),
        4 * _DBL_EPS);
}

TEST(UncheckedSolver, Signals) {
    // No time value: a value <= 0; at or above b_max = e^(x/2): _DBL_MAX.
    EXPECT_LE(simd::unchecked_solver(0.0, -1.0, 1.0, _IV_MAX_ITER), 0.0);
    EXPECT_LE(simd::unchecked_solver(-1e-3, -1.0, 1.0, _IV_MAX_ITER), 0.0);
    EXPECT_LE(simd::unchecked_solver(0.0, 1.0, -1.0, _IV_MAX_ITER), 0.0);
    EXPECT_EQ(simd::unchecked_solver(std::exp(-0.5), -1.0, 1.0, _IV_MAX_ITER), _DBL_MAX);
    EXPECT_EQ(simd::unchecked_solver(1.0, 0.0, 1.0, _IV_MAX_ITER), _DBL_MAX);
    EXPECT_EQ(simd::unchecked_solver(2.0, 0.0, -1.0, _IV_MAX_ITER), _DBL_MAX);
    // A put at x = 1 is reduced to the call at x = -1: same b_max.
    EXPECT_EQ(simd::unchecked_solver(std::exp(-0.5), 1.0, -1.0, _IV_MAX_ITER), _DBL_MAX);
    // NaN in, NaN out.
    EXPECT_TRUE(std::isnan(simd::unchecked_solver(kNaN, -1.0, 1.0, _IV_MAX_ITER)));
}

TEST(UncheckedSolver, StepsImproveTheGuess) {
    // Without steps the guess alone; each third-order step should bring it
    // closer, and two reach full precision in every segment.
    for (const auto& [x, s] : std::vector<std::pair<double, double>>{
             {-3.0, 0.3}, {-1.0, 1.0}, {-1.0, 2.0}, {-0.5, 6.0}}) {
        const double beta = _normalised_black_call(x, s);
        const double e0 = relative_error(simd::unchecked_solver(beta, x, 1.0, 0), s);
        const double e1 = relative_error(simd::unchecked_solver(beta, x, 1.0, 1), s);
        const double e2 = relative_error(simd::unchecked_solver(beta, x, 1.0, 2), s);
        EXPECT_GT(e0, 0.0) << "x " << x << ", s " << s;
        EXPECT_LT(e1, e0) << "x " << x << ", s " << s;
        EXPECT_LE(e2, 8 * _DBL_EPS) << "x " << x << ", s " << s;
    }
}

// --- maps and step factor ---------------------------------------------------

struct MapCase {
    double x, s, f, fp, fpp;
};

TEST(PriceMaps, LowerMapAndDerivativesAgainstOracle) {
    // f = 2 pi/sqrt(27) |x| Phi(-|x|/(sqrt(3) s))^3 and its first and second
    // derivatives with respect to the Black price, by mpmath at 50 digits.
    const std::vector<MapCase> cases = {
        {-1, 0.5, 0.0023114365954130716, 0.50505531886825022, -15.302491295980276},
        {-5, 1.25, 6.9206391542389331e-6, 0.92333178063449185, -245.6214233456417},
        {-0.25, 0.125, 0.00057785914885326789, 0.49047342130208126, -61.993114391073512},
        {-20, 2, 1.414818423713916e-24, 1.558847871950304, 1.4944838662912079e+22},
    };
    for (const MapCase& c : cases) {
        double fp = kNaN;
        double fpp = kNaN;
        const double f = _compute_f_lower_map(c.x, c.s, fp, fpp);
        EXPECT_LE(relative_error(f, c.f), 1e-14) << "x " << c.x << ", s " << c.s;
        EXPECT_LE(relative_error(fp, c.fp), 1e-14) << "x " << c.x << ", s " << c.s;
        EXPECT_LE(relative_error(fpp, c.fpp), 1e-12) << "x " << c.x << ", s " << c.s;
        // The closed-form inverse recovers s, also for a put's positive x.
        EXPECT_LE(relative_error(simd::inverse_f_lower_map(c.x, f), c.s), 1e-14) << "x " << c.x;
        EXPECT_LE(relative_error(simd::inverse_f_lower_map(-c.x, f), c.s), 1e-14) << "x " << c.x;
    }
}

TEST(PriceMaps, LowerInverseOfNonPositiveValueIsZero) {
    EXPECT_EQ(simd::inverse_f_lower_map(-1.0, 0.0), 0.0);
    EXPECT_EQ(simd::inverse_f_lower_map(-1.0, -1e-3), 0.0);
    // f/(2 pi/sqrt(27) |x|) underflows to 0.
    EXPECT_EQ(simd::inverse_f_lower_map(-1e300, 1e-300), 0.0);
}

TEST(PriceMaps, UpperMapAndDerivativesAgainstOracle) {
    // f = Phi(-s/2) and its derivatives with respect to the Black price, by
    // mpmath at 50 digits.
    const std::vector<MapCase> cases = {
        {-1, 3, 0.066807201268858066, -0.52856387238011823, 0.15978367620936092},
        {-0.25, 2, 0.15865525393145705, -0.50392154860322399, 0.016397704699821379},
        {-5, 6, 0.0013498980316300945, -0.70756558201175589, 26.149582224720757},
        {0, 1, 0.3085375387259869, -0.5, 0.0},
    };
    for (const MapCase& c : cases) {
        double fp = kNaN;
        double fpp = kNaN;
        const double f = _compute_f_upper_map(c.x, c.s, fp, fpp);
        EXPECT_LE(relative_error(f, c.f), 1e-14) << "x " << c.x << ", s " << c.s;
        EXPECT_LE(relative_error(fp, c.fp), 1e-14) << "x " << c.x << ", s " << c.s;
        if (c.fpp == 0.0) {
            EXPECT_EQ(fpp, 0.0);
        } else {
            EXPECT_LE(relative_error(fpp, c.fpp), 1e-13) << "x " << c.x << ", s " << c.s;
        }
        EXPECT_LE(relative_error(simd::inverse_f_upper_map(f), c.s), 1e-14) << "s " << c.s;
    }
}

TEST(HouseholderFactor, ThirdOrderStepOnExponential) {
    // g(s) = e^s - e with root 1: newton = -(e^s - e)/e^s, g''/g' = g'''/g' = 1.
    // A step of order three leaves an error O(delta^4); Halley's (hh3 = 0)
    // leaves O(delta^3), Newton's O(delta^2).
    const double e = std::exp(1.0);
    for (double delta : {0.2, 0.1, 0.05, -0.1}) {
        const double s0 = 1 + delta;
        const double newton = -(std::exp(s0) - e) / std::exp(s0);
        const double s1 = s0 + newton * simd::householder_factor(newton, 1.0, 1.0);
        EXPECT_LT(std::fabs(s1 - 1), std::pow(delta, 4) / 10) << "delta " << delta;
    }
    // Zero step and zero curvature terms give the factor 1.
    EXPECT_EQ(simd::householder_factor(0.0, 3.0, 7.0), 1.0);
    EXPECT_EQ(simd::householder_factor(0.4, 0.0, 0.0), 1.0);
}

}  // namespace

namespace {

// --- converged solve --------------------------------------------------------

TEST(ConvergedSolver, KeepsTheBitsOfTwoConvergedSteps) {
    // Where two steps converge, the checked solver returns exactly their result.
    for (double x : {0.0, -1e-3, -0.5, -3.0, -30.0, -75.0}) {
        for (double s : {1e-3, 0.05, 0.5, 2.0, 8.0, 15.0}) {
            const double beta = _normalised_black_call(x, s);
            if (!(beta > 1e-300) || !(beta < std::exp(x / 2))) continue;
            EXPECT_EQ(quelta::simd::converged_solver(beta, x, 1.0),
                      simd::unchecked_solver(beta, x, 1.0, _IV_MAX_ITER))
                << "x " << x << ", s " << s;
        }
    }
}

TEST(ConvergedSolver, ContinuesWhereTwoStepsFallShort) {
    // At x = -99, s = 22.7 two steps stop near 20.82; the continued solve
    // reaches the volatility to within its condition |b/(s b')|.
    for (const auto& [x, s] :
         std::vector<std::pair<double, double>>{{-99.0, 22.7}, {-244.4, 29.13}}) {
        const double beta = _normalised_black_call(x, s);
        const double cond = std::fabs(beta / (s * simd::normalised_vega(x, s)));
        EXPECT_GT(relative_error(simd::unchecked_solver(beta, x, 1.0, _IV_MAX_ITER), s),
                  1e3 * _DBL_EPS * cond);
        EXPECT_LE(relative_error(quelta::simd::converged_solver(beta, x, 1.0), s),
                  8 * _DBL_EPS * cond)
            << "x " << x;
    }
}

TEST(LogConvergedSolver, SolvesPricesBelowTheSmallestDouble) {
    // ln beta for beta far below DBL_MIN (e^-720 and e^-1000): the volatility
    // whose ln b(x, s) it is, to within the condition |1/(s ln-vega)|.
    for (double x : {-0.5, -4.0, -40.0}) {
        for (double ln_beta : {-720.0, -1000.0}) {
            const double s = quelta::simd::log_converged_solver(ln_beta, x, 1.0, true);
            ASSERT_GT(s, 0.0) << "x " << x;
            const quelta::simd::LogBlackCall<double> v =
                quelta::simd::log_normalised_black_call(x, s);
            // d ln s / d ln beta = 1/(s b'/b): a relative error in s of e
            // moves ln b by e s b'/b.
            EXPECT_LE(std::fabs(v.log_b - ln_beta), 8 * _DBL_EPS * std::fabs(ln_beta))
                << "x " << x << ", ln beta " << ln_beta << ", s " << s;
        }
    }
}

}  // namespace
