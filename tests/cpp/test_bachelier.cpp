// Tests of numeric/bachelier.hpp on the scalar lane: the round trip
// price -> volatility -> price, the model's exact symmetries, monotonicity
// across the solver's branches and the edge values. The mpmath comparisons
// are in tests/test_normal_model.py.
#include "numeric/bachelier.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "tests/cpp/support.hpp"

namespace {

namespace b = quelta::bachelier;
using quelta_test::kInf;
using quelta_test::kNaN;
using quelta_test::SameDouble;

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kCall = 1.0, kPut = -1.0;

// Forwards of both signs and scales, d = (F - K)/s over |d| <= 30, s from
// 1e-6 to 1e6 times |F|.
template <class Check>
void for_each_point(Check check) {
    for (const double F : {-250.0, -0.02, 1e-3, 0.7, 4e5}) {
        for (double d = -30.0; d <= 30.0; d += 1.75) {
            for (double ls = -6.0; ls <= 6.0; ls += 1.5) {
                const double s = std::fabs(F) * std::pow(10.0, ls);
                for (const double kind : {kCall, kPut}) check(F, F - d * s, s, kind);
            }
        }
    }
}

TEST(Bachelier, RoundTripToTheConditionNumber) {
    int checked = 0;
    for_each_point([&checked](double F, double K, double s, double kind) {
        const double p = b::price(F, K, s, kind);
        if (p == b::intrinsic_value(F, K, kind)) return;  // no time value left
        const double got = b::implied_vol(p, F, K, kind);
        // The condition number of the point, in double: the price and the
        // rounding of F - K, over s times the vega phi(u).
        const double a = std::fabs(F - K), u = a / s;
        const double pdf = std::exp(-0.5 * u * u) / std::sqrt(2.0 * std::numbers::pi);
        const bool in_the_money = b::intrinsic_value(F, K, kind) > 0.0;
        const double slope = 0.5 * std::erfc((in_the_money ? -u : u) / std::sqrt(2.0));
        const double kappa = (p + a * slope) / (s * pdf);
        if (!(kappa < 1e11)) return;
        EXPECT_TRUE(quelta_test::RelativelyClose(got, s, 16.0 * kEps * std::fmax(1.0, kappa)))
            << "F " << F << " K " << K << " s " << s << " kind " << kind;
        ++checked;
    });
    EXPECT_GT(checked, 1500);
}

TEST(Bachelier, ReflectionAndParitySymmetriesHoldBitForBit) {
    for_each_point([](double F, double K, double s, double kind) {
        // A call on (F, K) is a put on (-F, -K) and a put on (K, F).
        const double p = b::price(F, K, s, kind);
        EXPECT_TRUE(SameDouble(b::price(-F, -K, s, -kind), p));
        EXPECT_TRUE(SameDouble(b::price(K, F, s, -kind), p));
        const double v = b::implied_vol(p, F, K, kind);
        EXPECT_TRUE(SameDouble(b::implied_vol(p, -F, -K, -kind), v));
        EXPECT_TRUE(SameDouble(b::implied_vol(p, K, F, -kind), v));
    });
}

TEST(Bachelier, MonotoneAcrossTheBranches) {
    // Time values v about each branch boundary at a = 1: 2^-26 (explicit),
    // 1/12 (the objectives meet), the price at u = 4 sqrt(2) (Cody's term) and
    // a subnormal price; 2000 consecutive doubles each way. Each branch is
    // exact to a few ulps, so a step back by more than that is a seam.
    const double cody = b::price(0.0, 1.0, 1.0 / (4.0 * std::sqrt(2.0)), kCall);
    for (const double centre : {67108864.0, 1.0 / 12.0, cody, 1e-320}) {
        double p = centre;
        for (int i = 0; i < 2000; ++i) p = std::nextafter(p, 0.0);
        double last = 0.0;
        for (int i = 0; i < 4000; ++i, p = std::nextafter(p, kInf)) {
            const double v = b::implied_vol(p, 0.0, 1.0, kCall);
            ASSERT_GE(v, last * (1.0 - 4.0 * kEps)) << "price " << p;
            last = v;
        }
    }
    double last = 0.0;
    for (double s = 1e-3; s < 1e3; s *= 1.01) {
        const double p = b::price(-0.5, 0.5, s, kCall);
        ASSERT_GE(p, last) << "s " << s;
        last = p;
    }
}

TEST(Bachelier, EdgeValues) {
    EXPECT_EQ(b::price(1.0, 0.5, 0.0, kCall), 0.5);  // no volatility: intrinsic
    EXPECT_TRUE(std::isnan(b::price(1.0, 0.5, -1.0, kCall)));
    EXPECT_EQ(b::price(1.0, 0.5, kInf, kCall), kInf);
    // psi(40) is below DBL_MIN, s psi(40) is not: the price keeps the scale.
    const double deep = b::price(0.0, 4e101, 1e100, kCall);
    EXPECT_TRUE(
        quelta_test::RelativelyClose(b::implied_vol(deep, 0.0, 4e101, kCall), 1e100, 8.0 * kEps));
    // At or below intrinsic, and non-finite inputs, have no volatility.
    for (const double p : {0.5, 0.25, -1.0, kInf, kNaN}) {
        EXPECT_EQ(b::implied_vol(p, 1.0, 0.5, kCall), 0.0) << p;
    }
    EXPECT_EQ(b::implied_vol(1.0, kInf, 0.5, kPut), 0.0);
    EXPECT_EQ(b::implied_vol(1.0, kNaN, 0.5, kPut), 0.0);
    // At the money the answer is sqrt(2 pi) v, to the rounding of the product.
    EXPECT_EQ(b::implied_vol(0.75, -3.0, -3.0, kPut), 0.75 * quelta::_SQRT_TWO_PI);
    // Greeks: delta of a call and of a put differ by one; gamma phi/s.
    const b::Greeks<double> c = b::greeks(0.1, 0.2, 0.3, kCall);
    const b::Greeks<double> q = b::greeks(0.1, 0.2, 0.3, kPut);
    EXPECT_NEAR(c.delta - q.delta, 1.0, 4 * kEps);
    EXPECT_EQ(c.gamma, q.gamma);
    EXPECT_NEAR(c.gamma * 0.3 * 0.01, c.vega, 4 * kEps * c.vega);
}

}  // namespace
