// Tests of numeric/normalised_black.hpp: the normalised Black call, its four
// branches, the intrinsic value and the vega.
//
// Reference values marked "mpmath" were computed with mpmath at 60 significant
// digits from the double inputs exactly as written,
//   b(x, s) = ncdf(x/s + s/2) exp(x/2) - ncdf(x/s - s/2) exp(-x/2),
// and are given to 20 digits.
#include "numeric/normalised_black.hpp"

#include <gtest/gtest.h>

#include "tests/cpp/support.hpp"

#include <cmath>
#include <limits>
#include <ostream>
#include <vector>

namespace {

using quelta::_normalised_black_call;
using quelta::simd::asymptotic_black_call;
using quelta::simd::black_call_using_erfcx;
using quelta::simd::black_call_using_norm_cdf;
using quelta::simd::normalised_intrinsic;
using quelta::simd::normalised_vega;
using quelta::simd::small_t_black_call;

using namespace quelta_test;

constexpr double kEps = std::numeric_limits<double>::epsilon();

// b behaves like exp(-(h^2 + t^2)/2), so one rounding in h = x/s or in the
// exponent moves it by about h^2 + t^2 ulp; that is the conditioning of b
// itself, and the tolerance grows with it.
double black_tolerance(double x, double s) {
    const double h = x / s;
    const double t = 0.5 * s;
    return kFewUlp + 2.0 * kEps * (h * h + t * t);
}

// ---------------------------------------------------------------------------
// _normalised_black_call

enum class Branch { asymptotic, small_t, erfcx, norm_cdf };

std::ostream& operator<<(std::ostream& os, Branch b) {
    switch (b) {
        case Branch::asymptotic:
            return os << "asymptotic";
        case Branch::small_t:
            return os << "small_t";
        case Branch::erfcx:
            return os << "erfcx";
        case Branch::norm_cdf:
            return os << "norm_cdf";
    }
    return os;
}

// The branch function alone, fed h and t formed as the dispatcher forms them.
double evaluate_branch(Branch branch, double x, double s) {
    const double t = 0.5 * s;
    const double h = x / s;
    switch (branch) {
        case Branch::asymptotic:
            return asymptotic_black_call(h, t);
        case Branch::small_t:
            return small_t_black_call(h, t);
        case Branch::erfcx:
            return black_call_using_erfcx(h, t);
        case Branch::norm_cdf:
            return black_call_using_norm_cdf(x, s);
    }
    return kNaN;
}

struct BlackCase {
    double x;
    double s;
    double expected;
    Branch branch;  // the branch that evaluates b(-|x|, s)
};

std::ostream& operator<<(std::ostream& os, const BlackCase& c) {
    return os << "b(" << c.x << ", " << c.s << ") via " << c.branch;
}

// mpmath. Rows with x > 0 go through the in-the-money reflection.
const std::vector<BlackCase> kBlackReference = {
    // x = 0: b = 2 Phi(s/2) - 1 in each of three branches.
    {0, 0.01, 0.0039894061814816446819, Branch::small_t},
    {0, 0.3, 0.11923538474048503154, Branch::small_t},
    {0, 1, 0.38292492254802620728, Branch::erfcx},
    {0, 3, 0.86638559746228386799, Branch::norm_cdf},
    // small t
    {-0.5, 0.2, 0.00039916350291606020931, Branch::small_t},
    {-2, 0.4, 2.0987927330961113106e-8, Branch::small_t},
    {-1.9, 0.4, 7.7881233997135689241e-8, Branch::small_t},
    {-0.3, 0.4, 0.051864599858502744562, Branch::small_t},
    {-0.001, 0.001, 0.000083315463977051015086, Branch::small_t},
    {-1e-08, 1e-09, 7.4745602545893600162e-34, Branch::small_t},
    {0.05, 0.1, 0.06977226033384627262, Branch::small_t},
    // asymptotic, down to values near 1e-200
    {-20, 1, 1.2097749726121600911e-90, Branch::asymptotic},
    {-30, 1, 1.4405938487063514186e-199, Branch::asymptotic},
    {-12, 1, 1.2910437115451598069e-34, Branch::asymptotic},
    {-15, 0.5, 7.9092785490114937796e-200, Branch::asymptotic},
    {-3, 0.25, 3.623260891906257043e-35, Branch::asymptotic},
    {-11, 1.05, 4.7788432905417521077e-27, Branch::asymptotic},
    {-1, 0.05, 6.8479326806906496848e-92, Branch::asymptotic},
    {20, 1, 22026.465749406786754, Branch::asymptotic},
    // erfcx
    {-1, 1, 0.076991023141674131155, Branch::erfcx},
    {1, 1, 1.1191816341291688544, Branch::erfcx},
    {-0.7, 0.8, 0.08011816974530476111, Branch::erfcx},
    {-4, 2, 0.011497181444239619619, Branch::erfcx},
    {-8, 1, 6.6867131673976694445e-17, Branch::erfcx},
    {-30, 2.9, 2.1651577285458839778e-26, Branch::erfcx},
    {-50, 5, 1.7438632771466658792e-25, Branch::erfcx},
    {-700, 30, 3.0425957358769497431e-169, Branch::erfcx},
    {2, 0.5, 2.3504058597636854612, Branch::erfcx},
    {5, 3, 12.126626244102133912, Branch::erfcx},
    // normal CDF; at s = 1000 b has reached its limit e^(x/2)
    {-3, 5, 0.2123861328126686806, Branch::norm_cdf},
    {-5, 12, 0.082084996807040765398, Branch::norm_cdf},
    {-0.3, 50, 0.86070797642505781201, Branch::norm_cdf},
    {-1, 1000, 0.6065306597126334236, Branch::norm_cdf},
    // Boundaries, all tested strictly. h = -10 exactly is not asymptotic,
    // at t = 0.5 (where h + t is out of that region anyway) and at t = 0.1:
    {-10, 1, 6.6117491778911923948e-25, Branch::erfcx},
    {-2, 0.2, 1.4875954084044469621e-25, Branch::small_t},
    {-2.0000000000000004, 0.2, 1.4875954084044132887e-25, Branch::asymptotic},
    // x + s t = s (-10 + 0.21022410381342865) exactly is not asymptotic:
    {-10.28977589618657, 1, 3.3068554141229899114e-26, Branch::erfcx},
    {-10.289775896186573, 1, 3.3068554141229283539e-26, Branch::asymptotic},
    // t = 0.21022410381342865 exactly is not small t:
    {-0.2, 0.4204482076268573, 0.085409082720261189139, Branch::erfcx},
    {-0.2, 0.42044820762685725, 0.085409082720261169795, Branch::small_t},
    // x + s t = 0.85 s exactly stays with erfcx:
    {0, 1.7, 0.60467491375461522661, Branch::erfcx},
    {0, 1.7000000000000002, 0.60467491375461528833, Branch::norm_cdf},
    {-0.30000000000000004, 2, 0.5452653912913454626, Branch::erfcx},
    {-0.29, 2, 0.54945766316098429162, Branch::norm_cdf},
};

class BlackCallReference : public ::testing::TestWithParam<BlackCase> {};

TEST_P(BlackCallReference, MatchesMpmath) {
    const BlackCase c = GetParam();
    EXPECT_TRUE(
        RelativelyClose(_normalised_black_call(c.x, c.s), c.expected, black_tolerance(c.x, c.s)));
}

TEST_P(BlackCallReference, DispatchesToBranch) {
    const BlackCase c = GetParam();
    const double x = -std::fabs(c.x);
    EXPECT_TRUE(SameDouble(_normalised_black_call(x, c.s), evaluate_branch(c.branch, x, c.s)));
}

INSTANTIATE_TEST_SUITE_P(BlackCall, BlackCallReference, ::testing::ValuesIn(kBlackReference));

// Guards the boundary rows above: each input must sit exactly on the boundary
// it is meant to probe, as the dispatcher forms it.
TEST(BlackCall, BoundaryInputsAreExact) {
    using quelta::_ASYM_THRESH;
    using quelta::_SMALL_T_THRESH;
    {
        const double x = -10.28977589618657, s = 1.0, t = 0.5 * s;
        EXPECT_EQ(x + s * t, s * (_ASYM_THRESH + _SMALL_T_THRESH));
    }
    EXPECT_EQ(0.5 * 0.4204482076268573, _SMALL_T_THRESH);
    EXPECT_EQ(0.2 * _ASYM_THRESH, -2.0);
    for (const double s : {1.7, 2.0}) {
        const double x = s == 2.0 ? -0.30000000000000004 : 0.0;
        EXPECT_EQ(x + s * (0.5 * s), 0.85 * s) << "s = " << s;
    }
}

TEST(BlackCall, IntrinsicValueWhenVolatilityNotPositive) {
    // mpmath: 2 sinh(1).
    EXPECT_TRUE(RelativelyClose(_normalised_black_call(2.0, 0.0), 2.3504023872876029138, kFewUlp));
    EXPECT_TRUE(SameDouble(_normalised_black_call(2.0, -1.0), _normalised_black_call(2.0, 0.0)));
    for (const double x : {0.0, -0.0, -1.0, -700.0, -kInf}) {
        for (const double s : {0.0, -0.0, -1.0, -kInf}) {
            EXPECT_TRUE(SameDouble(_normalised_black_call(x, s), 0.0)) << x << ", " << s;
        }
    }
}

TEST(BlackCall, NaNArguments) {
    // A NaN x is clamped to +0 by whichever branch sees it.
    EXPECT_TRUE(SameDouble(_normalised_black_call(kNaN, 1.0), 0.0));
    EXPECT_TRUE(SameDouble(_normalised_black_call(kNaN, 0.01), 0.0));
    // A NaN s leaves only the intrinsic value; mpmath: 2 sinh(1/2).
    EXPECT_TRUE(SameDouble(_normalised_black_call(-1.0, kNaN), 0.0));
    EXPECT_TRUE(RelativelyClose(_normalised_black_call(1.0, kNaN), 1.0421906109874947232, kFewUlp));
    // With s <= 0 the intrinsic value itself is NaN.
    EXPECT_TRUE(std::isnan(_normalised_black_call(kNaN, 0.0)));
}

TEST(BlackCall, IncreasingInVolatilityAndBelowUpperLimit) {
    for (const double x : {0.0, -0.05, -1.0, -5.0, -20.0, -60.0}) {
        const double upper = std::exp(0.5 * x);
        double previous = 0.0;
        for (double s = 0.01; s < 40.0; s *= 1.1) {
            const double b = _normalised_black_call(x, s);
            // Where b has saturated at e^(x/2) successive values may wobble
            // by an ulp; anything more is a fault.
            EXPECT_GE(b, previous * (1.0 - 2.0 * kEps)) << "x = " << x << ", s = " << s;
            EXPECT_LE(b, upper * (1.0 + 2.0 * kEps)) << "x = " << x << ", s = " << s;
            previous = b;
        }
        EXPECT_GT(previous, 0.0) << "x = " << x;
    }
}

TEST(BlackCall, ReflectionMatchesPutCallParity) {
    // b(x, s) - b(-x, s) = 2 sinh(x/2); mpmath for the right-hand sides.
    struct {
        double x, s, intrinsic;
    } const cases[] = {{2.0, 0.5, 2.3504023872876029138},
                       {0.5, 1.0, 0.50522463361633661583},
                       {0.001, 0.3, 0.0010000000416666672083}};
    for (const auto& c : cases) {
        const double diff = _normalised_black_call(c.x, c.s) - _normalised_black_call(-c.x, c.s);
        // The difference loses what b(-x, s) contributes to rounding.
        const double scale = _normalised_black_call(c.x, c.s) / c.intrinsic;
        EXPECT_TRUE(RelativelyClose(diff, c.intrinsic, kFewUlp * scale)) << "x = " << c.x;
    }
}

// ---------------------------------------------------------------------------
// Branch functions

TEST(BlackCallBranches, ClampNaNToPositiveZero) {
    EXPECT_TRUE(SameDouble(asymptotic_black_call(kNaN, 0.5), 0.0));
    EXPECT_TRUE(SameDouble(small_t_black_call(kNaN, 0.1), 0.0));
    EXPECT_TRUE(SameDouble(black_call_using_erfcx(kNaN, 0.5), 0.0));
    EXPECT_TRUE(SameDouble(black_call_using_norm_cdf(kNaN, 1.0), 0.0));
    EXPECT_TRUE(SameDouble(black_call_using_erfcx(-1.0, kNaN), 0.0));
}

TEST(BlackCallBranches, NeighboursAgreeAcrossBoundaries) {
    // On each boundary both adjacent branches are still accurate; a branch
    // with a wrong term would show here even if it is never dispatched to.
    struct {
        double x, s;
        Branch a, b;
    } const cases[] = {
        {-2.0, 0.2, Branch::asymptotic, Branch::small_t},
        {-10.28977589618657, 1.0, Branch::asymptotic, Branch::erfcx},
        {-0.2, 0.4204482076268573, Branch::small_t, Branch::erfcx},
        {-3.0, 0.4204482076268573, Branch::small_t, Branch::erfcx},
        {0.0, 1.7, Branch::erfcx, Branch::norm_cdf},
        {-0.30000000000000004, 2.0, Branch::erfcx, Branch::norm_cdf},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(RelativelyClose(evaluate_branch(c.a, c.x, c.s), evaluate_branch(c.b, c.x, c.s),
                                    2.0 * black_tolerance(c.x, c.s)))
            << c.a << " vs " << c.b << " at " << c.x << ", " << c.s;
    }
}

// ---------------------------------------------------------------------------
// normalised_intrinsic

struct IntrinsicCase {
    double x;
    double q;
    double expected;
};

std::ostream& operator<<(std::ostream& os, const IntrinsicCase& c) {
    return os << "intrinsic(" << c.x << ", " << c.q << ")";
}

// mpmath: 2 sinh(|x|/2). 0.109375 is the first argument of the exponential
// form, the one below it the last of the series.
const std::vector<IntrinsicCase> kIntrinsicReference = {
    {2, 1, 2.3504023872876029138},           {1, 1, 1.0421906109874947232},
    {-1, -1, 1.0421906109874947232},         {0.5, 1, 0.50522463361633661583},
    {20, 1, 22026.465749406786754},          {0.109375, 1, 0.10942952653480307453},
    {-0.109375, -1, 0.10942952653480307453}, {0.10937499999999999, 1, 0.10942952653480306063},
    {0.001, 1, 0.0010000000416666672083},    {-0.001, -1, 0.0010000000416666672083},
};

class IntrinsicReference : public ::testing::TestWithParam<IntrinsicCase> {};

TEST_P(IntrinsicReference, MatchesMpmath) {
    const IntrinsicCase c = GetParam();
    EXPECT_TRUE(RelativelyClose(normalised_intrinsic(c.x, c.q), c.expected, kFewUlp));
}

INSTANTIATE_TEST_SUITE_P(Intrinsic, IntrinsicReference, ::testing::ValuesIn(kIntrinsicReference));

// Out of the money or at the money: +0.
const std::vector<IntrinsicCase> kIntrinsicExact = {
    {0, 1, 0},
    {0, -1, 0},
    {-0.0, 1, 0},
    {1, -1, 0},
    {-1, 1, 0},
    {1, 0, 0},
    {-kInf, 1, 0},
    {kInf, -1, 0},
    // Below 1e-8 the series is x itself in double precision.
    {1e-10, 1, 1e-10},
    {-1e-10, -1, 1e-10},
    {5e-324, 1, 5e-324},
};

class IntrinsicExact : public ::testing::TestWithParam<IntrinsicCase> {};

TEST_P(IntrinsicExact, IsExact) {
    const IntrinsicCase c = GetParam();
    EXPECT_TRUE(SameDouble(normalised_intrinsic(c.x, c.q), c.expected));
}

INSTANTIATE_TEST_SUITE_P(Intrinsic, IntrinsicExact, ::testing::ValuesIn(kIntrinsicExact));

TEST(Intrinsic, CallIsTheCallCase) {
    EXPECT_TRUE(SameDouble(normalised_intrinsic(-1.0, 1.0), 0.0));
    EXPECT_TRUE(SameDouble(normalised_intrinsic(0.0, 1.0), 0.0));
    // mpmath: 2 sinh(1/2).
    EXPECT_TRUE(RelativelyClose(normalised_intrinsic(1.0, 1.0), 1.0421906109874947232, kFewUlp));
}

// ---------------------------------------------------------------------------
// normalised_vega

TEST(Vega, MatchesMpmath) {
    // mpmath: npdf(x/s + s/2) exp(x/2).
    struct {
        double x, s, expected;
    } const cases[] = {{1, 1, 0.21353841490429441907},
                       {-1, 1, 0.21353841490429441907},
                       {-5, 2, 0.010631451662005403019},
                       {3, 0.5, 5.8889475868335701586e-9}};
    for (const auto& c : cases) {
        EXPECT_TRUE(
            RelativelyClose(normalised_vega(c.x, c.s), c.expected, black_tolerance(c.x, c.s)))
            << c.x << ", " << c.s;
    }
}

TEST(Vega, AtTheMoneyForAnyVolatility) {
    EXPECT_TRUE(SameDouble(normalised_vega(0.0, 0.0), quelta::_ONE_OVER_SQRT_TWO_PI));
    EXPECT_TRUE(SameDouble(normalised_vega(-0.0, 0.0), quelta::_ONE_OVER_SQRT_TWO_PI));
    // mpmath: npdf(1) = exp(-4/8)/sqrt(2 pi).
    EXPECT_TRUE(RelativelyClose(normalised_vega(0.0, -2.0), 0.2419707245191433498, kFewUlp));
    EXPECT_TRUE(SameDouble(normalised_vega(0.0, -2.0), normalised_vega(0.0, 2.0)));
}

TEST(Vega, ZeroWithoutVolatility) {
    const double smallest_guarded = std::ldexp(1.0, -511);  // = 1 * 2^-511
    for (const auto& [x, s] :
         {std::pair{1.0, 0.0}, std::pair{1.0, -1.0}, std::pair{-1.0, -0.0}, std::pair{-3.0, -kInf},
          std::pair{1.0, smallest_guarded}, std::pair{1e10, 1e-150}, std::pair{kInf, 1.0},
          std::pair{kInf, kInf}}) {
        EXPECT_TRUE(SameDouble(normalised_vega(x, s), 0.0)) << x << ", " << s;
    }
}

TEST(Vega, NaNPropagates) {
    EXPECT_TRUE(std::isnan(normalised_vega(kNaN, 1.0)));
    EXPECT_TRUE(std::isnan(normalised_vega(1.0, kNaN)));
    EXPECT_TRUE(std::isnan(normalised_vega(0.0, kNaN)));
}

TEST(Vega, IsTheVolatilityDerivativeOfTheCall) {
    // Central difference of b in s; step 1e-6 s keeps both the truncation
    // and the rounding error below 1e-7 relative at these points.
    struct {
        double x, s;
    } const cases[] = {{-1, 1},  {0, 0.3}, {-0.5, 0.2}, {-3, 5}, {-20, 1},
                       {-12, 1}, {1, 1},   {-2, 0.4},   {-8, 1}, {-0.7, 0.8}};
    for (const auto& c : cases) {
        const double d = 1e-6 * c.s;
        const double fd =
            (_normalised_black_call(c.x, c.s + d) - _normalised_black_call(c.x, c.s - d)) /
            (2.0 * d);
        EXPECT_TRUE(RelativelyClose(fd, normalised_vega(c.x, c.s), 1e-6)) << c.x << ", " << c.s;
    }
}

}  // namespace

namespace {

// --- near x = -741 -----------------------------------------------------------

TEST(NormCdfBranch, AgreesWithTheErfcxFormWhereTheSecondCdfIsSubnormal) {
    // Around x = -741, s = 40 the normal-CDF branch has Phi(h - t) near
    // Phi(-38.5) ~ 1e-324 (from x = -700, s = 40 at Phi(-37.5) ~ DBL_MIN on). The erfcx form is
    // exact there too (its arguments are moderate and its exponential is ~e^-371), so the two must
    // agree.
    for (double x = -760.0; x <= -700.0; x += 7.5) {
        for (double s = 40.0; s <= 46.0; s += 0.5) {
            const double h = x / s;
            const double t = 0.5 * s;
            ASSERT_GT(h + t, 0.85);
            EXPECT_TRUE(RelativelyClose(black_call_using_norm_cdf(x, s),
                                        black_call_using_erfcx(h, t), black_tolerance(x, s)))
                << "x " << x << ", s " << s;
        }
    }
}

// --- ln b without underflow -------------------------------------------------

TEST(LogNormalisedBlackCall, MatchesLnBAndVegaOverBWhereBIsNormal) {
    // Every branch: ln b and b'/b from the log form against the plain b and b'.
    for (double x : {0.0, -1e-3, -0.5, -3.0, -30.0, -300.0}) {
        for (double s : {1e-3, 0.1, 0.3, 1.0, 3.0, 10.0, 40.0}) {
            const double b = _normalised_black_call(x, s);
            if (!(b >= 1e-300)) continue;
            const quelta::simd::LogBlackCall<double> v =
                quelta::simd::log_normalised_black_call(x, s);
            // An absolute error in ln b is a relative error in b.
            EXPECT_LE(std::fabs(v.log_b - std::log(b)), black_tolerance(x, s))
                << "x " << x << ", s " << s;
            EXPECT_TRUE(
                RelativelyClose(v.vega_over_b, normalised_vega(x, s) / b, black_tolerance(x, s)))
                << "x " << x << ", s " << s;
        }
    }
}

TEST(LogNormalisedBlackCall, ContinuesLnBBelowTheSmallestDouble) {
    // Where b underflows, ln b keeps falling as s falls, and b'/b = d ln b/ds
    // matches its own finite difference.
    for (double x : {-1.0, -20.0, -200.0}) {
        const double s0 = std::fabs(x) / std::sqrt(2.0 * 745.0);  // b ~ e^-745
        const double ds = s0 * 1e-6;
        const quelta::simd::LogBlackCall<double> lo =
            quelta::simd::log_normalised_black_call(x, s0 - ds);
        const quelta::simd::LogBlackCall<double> mid =
            quelta::simd::log_normalised_black_call(x, s0);
        const quelta::simd::LogBlackCall<double> hi =
            quelta::simd::log_normalised_black_call(x, s0 + ds);
        EXPECT_LT(mid.log_b, std::log(std::numeric_limits<double>::min()));
        EXPECT_LT(lo.log_b, mid.log_b);
        EXPECT_LT(mid.log_b, hi.log_b);
        EXPECT_TRUE(RelativelyClose((hi.log_b - lo.log_b) / (2 * ds), mid.vega_over_b, 1e-6))
            << "x " << x;
    }
}

}  // namespace
