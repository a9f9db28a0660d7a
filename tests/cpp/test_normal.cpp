// Tests of numeric/normal.hpp: erfcx, the normal CDF and density, and the
// normal quantile.
//
// Reference values marked "mpmath" were computed with mpmath at 50 significant
// digits from the double inputs exactly as written, and are given to 20 digits.
#include "numeric/normal.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <vector>

namespace {

using quelta::_erfcx;
using quelta::_erfcx_fixup;
using quelta::_inverse_norm_cdf;
using quelta::_norm_cdf;
using quelta::_norm_pdf;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A few ulp relative: what the platform libm leaves in the last bits.
constexpr double kFewUlp = 4e-15;

// Relative error that treats equal infinities as exact and a zero reference
// as an absolute comparison.
double relative_error(double actual, double expected) {
    if (std::isnan(actual) || std::isnan(expected)) return kInf;
    if (actual == expected) return 0.0;
    if (expected == 0.0) return std::fabs(actual);
    return std::fabs(actual - expected) / std::fabs(expected);
}

::testing::AssertionResult RelativelyClose(double actual, double expected, double tolerance) {
    const double err = relative_error(actual, expected);
    if (err <= tolerance) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << std::hexfloat << "actual " << actual << " expected " << expected << std::defaultfloat
           << " relative error " << err << " > " << tolerance;
}

// Bitwise equality that also accepts NaN == NaN and tells +0 from -0.
::testing::AssertionResult SameDouble(double actual, double expected) {
    if (std::isnan(actual) && std::isnan(expected)) return ::testing::AssertionSuccess();
    if (actual == expected && std::signbit(actual) == std::signbit(expected)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << std::hexfloat << "actual " << actual << " expected " << expected;
}

struct Case {
    double arg;
    double expected;
};

std::ostream& operator<<(std::ostream& os, const Case& c) {
    return os << "f(" << c.arg << ") = " << c.expected;
}

// ---------------------------------------------------------------------------
// _erfcx

// mpmath: exp(x^2) * erfc(x). Every interval and both signs; the rows around
// 0.46875 and 4 straddle the interval ends, -26.62 and -26.628 sit just above
// the overflow stand-in, 6.7e7 just below the leading-term short cut.
const std::vector<Case> kErfcxReference = {
    {0.3, 0.73459933456765514992},        {-0.3, 1.4537492328427655512},
    {0.46875, 0.63206968924955607816},    {0.46875000000000006, 0.63206968924955604841},
    {-0.46875, 1.8594024168714221464},    {-0.46875000000000006, 1.8594024168714223058},
    {1, 0.42758357615580700441},          {-1, 5.0089800807622834663},
    {-0.6, 2.2988541117340934748},        {2.5, 0.21080636406114358065},
    {4, 0.13699945762506138989},          {4.000000000000001, 0.13699945762506136113},
    {-4, 17772220.904016287648},          {5, 0.11070463773306862637},
    {-5, 144009798674.66104041},          {-10, 5.3762342836322708968e+43},
    {10, 0.056140992743822585858},        {26.5, 0.021275046685371105955},
    {26.543, 0.021240629624143231076},    {30, 0.018795888861416751497},
    {-26.62, 1.1290070599146821661e+308}, {-26.628, 1.7286185065900259532e+308},
    {6.7e7, 8.4207400529515854344e-9},    {1e10, 5.6418958354775628695e-11},
};

class ErfcxReference : public ::testing::TestWithParam<Case> {};

TEST_P(ErfcxReference, MatchesMpmath) {
    const Case c = GetParam();
    EXPECT_TRUE(RelativelyClose(_erfcx(c.arg), c.expected, kFewUlp)) << "x = " << c.arg;
}

INSTANTIATE_TEST_SUITE_P(Erfcx, ErfcxReference, ::testing::ValuesIn(kErfcxReference));

// Results fixed exactly: the x^2 cut-off near 0, the short cuts for large
// |x|, and the overflow stand-in below -26.628.
const std::vector<Case> kErfcxExact = {
    {0.0, 1.0},
    {-0.0, 1.0},
    // 1 -+ 1e-17 * 2/sqrt(pi) rounds to 1.
    {1e-17, 1.0},
    {-1e-17, 1.0},
    {kInf, 0.0},
    {2.53e307, 0.0},
    {std::numeric_limits<double>::max(), 0.0},
    {-kInf, 1.79e308},
    {-26.63, 1.79e308},
    {std::nextafter(-26.628, -kInf), 1.79e308},
    {-1e300, 1.79e308},
};

class ErfcxExact : public ::testing::TestWithParam<Case> {};

TEST_P(ErfcxExact, IsExact) {
    const Case c = GetParam();
    EXPECT_TRUE(SameDouble(_erfcx(c.arg), c.expected)) << "x = " << c.arg;
}

INSTANTIATE_TEST_SUITE_P(Erfcx, ErfcxExact, ::testing::ValuesIn(kErfcxExact));

TEST(Erfcx, LeadingTermFromSixPointSevenOneE7) {
    constexpr double one_over_sqrt_pi = 0.5641895835477563;
    const double largest_nonzero = std::nextafter(2.53e307, 0.0);
    for (const double x : {6.71e7, 1e10, 1e100, 1e300, largest_nonzero}) {
        EXPECT_TRUE(SameDouble(_erfcx(x), one_over_sqrt_pi / x)) << "x = " << x;
    }
}

TEST(Erfcx, FiniteAndDecreasingFromOverflowBoundUpwards) {
    double previous = _erfcx(-26.628);
    EXPECT_TRUE(std::isfinite(previous));
    for (double x = -26.618; x < -26.0; x += 0.01) {
        const double v = _erfcx(x);
        EXPECT_TRUE(std::isfinite(v)) << "x = " << x;
        EXPECT_LT(v, previous) << "x = " << x;
        previous = v;
    }
}

TEST(Erfcx, NaNPropagates) {
    EXPECT_TRUE(std::isnan(_erfcx(kNaN)));
}

// ---------------------------------------------------------------------------
// _erfcx_fixup

TEST(ErfcxFixup, PassesResultThroughForNonNegativeAndNaN) {
    for (const double x : {0.0, -0.0, 0.5, 5.0, kInf, kNaN}) {
        EXPECT_TRUE(SameDouble(_erfcx_fixup(0.123, x), 0.123)) << "x = " << x;
    }
}

TEST(ErfcxFixup, ReflectsNegativeArguments) {
    // mpmath: erfcx(0.6) -> erfcx(-0.6), erfcx(12) -> erfcx(-12),
    // erfcx(26.628) -> erfcx(-26.628).
    EXPECT_TRUE(RelativelyClose(_erfcx_fixup(0.56780471738658696439, -0.6), 2.2988541117340934748,
                                kFewUlp));
    EXPECT_TRUE(RelativelyClose(_erfcx_fixup(0.04685422101489376262, -12),
                                6.9093213134350926463e+62, kFewUlp));
    EXPECT_TRUE(RelativelyClose(_erfcx_fixup(0.021172922244261594777, -26.628),
                                1.7286185065900259532e+308, kFewUlp));
}

TEST(ErfcxFixup, OverflowStandInBelowBound) {
    EXPECT_EQ(_erfcx_fixup(0.02, std::nextafter(-26.628, -kInf)), 1.79e308);
    EXPECT_EQ(_erfcx_fixup(0.0, -kInf), 1.79e308);
}

// ---------------------------------------------------------------------------
// _norm_cdf

// mpmath: ncdf(z). z <= -10 takes the lower-tail series, the rest erfc.
const std::vector<Case> kNormCdfReference = {
    {-1, 0.15865525393145705141},
    {-12, 1.7764821120776789977e-33},
    {-20, 2.7536241186062336951e-89},
    {-10, 7.619853024160526066e-24},
    {-9.999999999999998, 7.6198530241606627495e-24},
    {-10.5, 4.3190063178092303465e-26},
    {-15, 3.6709661993127508858e-51},
    {-30, 4.9067139271481870595e-198},
    {-37, 5.7255712225245768227e-300},
    {-11.3, 6.5608999409041561842e-30},
    {-7.3, 1.4388386381575876483e-13},
    {0.5, 0.69146246127401310364},
    {1, 0.84134474606854294859},
    {3, 0.99865010196836990547},
    {-3, 0.0013498980316300945267},
    {-5, 2.8665157187919391167e-7},
    {-9.9, 2.0813752194932061247e-23},
    {8, 0.9999999999999993779},
};

class NormCdfReference : public ::testing::TestWithParam<Case> {};

// Both paths round a product of order z^2 (z/sqrt(2) inside erfc, z^2/2
// inside exp), and an argument error of one rounding moves Phi(z) in the tail
// by about z^2 rounding units: the function's own condition number.
double norm_cdf_tolerance(double z) {
    return kFewUlp + 1.2e-16 * z * z;
}

TEST_P(NormCdfReference, MatchesMpmath) {
    const Case c = GetParam();
    EXPECT_TRUE(RelativelyClose(_norm_cdf(c.arg), c.expected, norm_cdf_tolerance(c.arg)))
        << "z = " << c.arg;
}

INSTANTIATE_TEST_SUITE_P(NormCdf, NormCdfReference, ::testing::ValuesIn(kNormCdfReference));

// Exact results; the far tail underflows to +0 (never -0).
const std::vector<Case> kNormCdfExact = {
    {0.0, 0.5},    {kInf, 1.0},        {-kInf, 0.0},
    {-40.0, 0.0},  {-67108864.0, 0.0}, {std::nextafter(-67108864.0, -kInf), 0.0},
    {-1e300, 0.0}, {kNaN, kNaN},
};

class NormCdfExact : public ::testing::TestWithParam<Case> {};

TEST_P(NormCdfExact, IsExact) {
    const Case c = GetParam();
    EXPECT_TRUE(SameDouble(_norm_cdf(c.arg), c.expected)) << "z = " << c.arg;
}

INSTANTIATE_TEST_SUITE_P(NormCdf, NormCdfExact, ::testing::ValuesIn(kNormCdfExact));

TEST(NormCdf, SeriesAndErfcAgreeAtMinusTen) {
    const double series = _norm_cdf(-10.0);
    const double direct = _norm_cdf(std::nextafter(-10.0, 0.0));
    EXPECT_TRUE(RelativelyClose(series, direct, 1e-14));
}

TEST(NormCdf, TailIsPositiveAndIncreasing) {
    // Down to where Phi leaves the normal range (about -37.5).
    double previous = 0.0;
    for (double z = -37.5; z <= -5.0; z += 0.125) {
        const double v = _norm_cdf(z);
        EXPECT_GT(v, previous) << "z = " << z;
        previous = v;
    }
}

// ---------------------------------------------------------------------------
// _norm_pdf

// mpmath: npdf(x).
const std::vector<Case> kNormPdfReference = {
    {1, 0.2419707245191433498},      {-3, 0.0044318484119380071756},
    {10, 7.6945986267064193463e-23}, {30, 1.473646134878547519e-196},
    {0.1, 0.39695254747701176529},
};

class NormPdfReference : public ::testing::TestWithParam<Case> {};

TEST_P(NormPdfReference, MatchesMpmath) {
    const Case c = GetParam();
    EXPECT_TRUE(RelativelyClose(_norm_pdf(c.arg), c.expected, kFewUlp)) << "x = " << c.arg;
}

INSTANTIATE_TEST_SUITE_P(NormPdf, NormPdfReference, ::testing::ValuesIn(kNormPdfReference));

TEST(NormPdf, SpecialValues) {
    EXPECT_TRUE(SameDouble(_norm_pdf(0.0), quelta::_ONE_OVER_SQRT_TWO_PI));
    EXPECT_TRUE(SameDouble(_norm_pdf(kInf), 0.0));
    EXPECT_TRUE(SameDouble(_norm_pdf(-kInf), 0.0));
    EXPECT_TRUE(std::isnan(_norm_pdf(kNaN)));
}

TEST(NormPdf, SymmetricExactly) {
    for (const double x : {0.1, 0.7, 1.3, 2.9, 7.77, 33.3}) {
        EXPECT_TRUE(SameDouble(_norm_pdf(-x), _norm_pdf(x))) << "x = " << x;
    }
}

// ---------------------------------------------------------------------------
// _inverse_norm_cdf

// mpmath: the root z of ncdf(z) = u. 0.075 and 0.07500000000000001 both give
// u - 0.5 = -0.425 exactly, the edge of the central region; 1.3888e-11 and
// 1.3887e-11 lie on either side of the near/far tail split.
const std::vector<Case> kQuantileReference = {
    {0.1, -1.2815515655446004353},
    {0.9, 1.2815515655446005935},
    {0.975, 1.9599639845400538556},
    {0.025, -1.9599639845400542118},
    {0.3, -0.52440051270804081597},
    {0.7, 0.52440051270804065631},
    {0.5000000000000001, 2.7829164246717669222e-16},
    {0.075, -1.4395314709384559349},
    {0.07500000000000001, -1.4395314709384558369},
    {0.925, 1.4395314709384562291},
    {1e-10, -6.3613409024040561991},
    {1e-300, -37.047096299361199237},
    {1.3888e-11, -6.6579040492642496341},
    {1.3887e-11, -6.6579146354625080615},
    {1e-05, -4.2648907939228246102},
    {1e-20, -9.2623400897984075796},
    {1e-100, -21.273453560965324294},
    {5e-324, -38.467405617144346251},
    {0.999999, 4.7534243088170877657},
};

class QuantileReference : public ::testing::TestWithParam<Case> {};

TEST_P(QuantileReference, MatchesMpmath) {
    const Case c = GetParam();
    EXPECT_TRUE(RelativelyClose(_inverse_norm_cdf(c.arg), c.expected, kFewUlp)) << "u = " << c.arg;
}

INSTANTIATE_TEST_SUITE_P(InverseNormCdf, QuantileReference,
                         ::testing::ValuesIn(kQuantileReference));

// Exact results: the centre, the domain edges, and r = 5 exactly, where the
// far-tail rational reduces to its constant term e0 = 6.657904643501103.
const std::vector<Case> kQuantileExact = {
    {0.5, 0.0},
    {0.0, -kInf},
    {-0.0, -kInf},
    {-1e-300, kNaN},
    {-kInf, kNaN},
    {kNaN, kNaN},
    {1.0, kInf},
    {std::nextafter(1.0, 2.0), kNaN},
    {kInf, kNaN},
    // sqrt(-log(u)) rounds to 5 for the double nearest exp(-25).
    {1.3887943864964021e-11, -6.657904643501103},
};

class QuantileExact : public ::testing::TestWithParam<Case> {};

TEST_P(QuantileExact, IsExact) {
    const Case c = GetParam();
    EXPECT_TRUE(SameDouble(_inverse_norm_cdf(c.arg), c.expected)) << "u = " << c.arg;
}

INSTANTIATE_TEST_SUITE_P(InverseNormCdf, QuantileExact, ::testing::ValuesIn(kQuantileExact));

TEST(InverseNormCdf, AntisymmetricForExactComplements) {
    // Dyadic u: both 1 - u and u - 0.5 are exact, so the two sides see the
    // same r and the results must be exact negatives.
    for (const double u : {0.25, 0.0625, 0.4375, 0.03125, std::ldexp(1.0, -20),
                           std::ldexp(1.0, -40), std::ldexp(1.0, -52)}) {
        EXPECT_TRUE(SameDouble(_inverse_norm_cdf(1.0 - u), -_inverse_norm_cdf(u))) << "u = " << u;
    }
}

TEST(InverseNormCdf, InvertsNormCdf) {
    // Phi^-1(Phi(z)) = z. Above z = 2 the rounding of Phi(z) near 1 costs
    // more than the functions' own error, so the sweep stops there.
    for (double z = -37.5; z <= 2.0; z += 0.0625) {
        const double back = _inverse_norm_cdf(_norm_cdf(z));
        EXPECT_LE(std::fabs(back - z), 1e-14 * std::fmax(std::fabs(z), 1.0)) << "z = " << z;
    }
}

}  // namespace
