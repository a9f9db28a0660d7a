// Normal distribution functions in double precision.
//
// _erfcx(x) = exp(x^2) * erfc(x) is what the normalised Black function needs
// where Phi itself underflows or two Phi values cancel. It follows Cody's
// rational Chebyshev scheme on three intervals of |x|:
//   |x| <= 0.46875      erf-type rational in x^2, valid for either sign;
//   0.46875 < |x| <= 4  rational in |x|;
//   |x| > 4             rational in 1/x^2 times 1/|x|, with short cuts for
//                       |x| >= 6.71e7 (leading term only) and |x| >= 2.53e307 (0).
// The last two intervals compute erfcx(|x|); _erfcx_fixup turns that into
// erfcx(x) for negative x through 2 exp(x^2) - erfcx(|x|), with exp(x^2) split
// so that its large factor has an exact argument. Relative error is a few ulp
// everywhere; below x = -26.628 exp(x^2) overflows and 1.79e308 stands in.
//
// _norm_cdf uses the erfc form 0.5 erfc(-z/sqrt(2)) above z = -10 and the
// classical asymptotic series of the lower tail at and below it, which keeps
// full relative accuracy where erfc's argument scaling would lose bits. The
// erfc form is _norm_cdf_by_erfc: erfcx times an exponential whose argument
// is formed exactly from z, which is more accurate than the platform erfc of
// the rounded z/sqrt(2) and, with a correctly rounded libm erfc, much faster.
//
// _inverse_norm_cdf is a rational approximation of degree 7/7 on three
// regions, good to about 1e-16 relative.
#pragma once

#include "numeric/simd/normal.hpp"

namespace quelta {

// The scalar functions are the width-one instances of numeric/simd/normal.hpp,
// which every path of the core runs.

// Standard normal density; the exponent is formed as (x * -0.5) * x.
inline double _norm_pdf(double x) noexcept {
    return simd::norm_pdf(x);
}

// Given result = erfcx(|x|), returns erfcx(x). x >= 0 and NaN pass result
// through unchanged.
inline double _erfcx_fixup(double result, double x) noexcept {
    return simd::erfcx_fixup(result, x);
}

// Scaled complementary error function exp(x^2) * erfc(x) for every double.
// W. J. Cody, "Rational Chebyshev approximations for the error function",
// Math. Comp. 23 (1969); coefficients of the CALERF routine (SPECFUN).
// Accuracy: a few ulp relative over the whole real line (4.2 ulp at most
// against mpmath on a seeded sample of (-26.6, 40)).
inline double _erfcx(double x) noexcept {
    return simd::erfcx(x);
}

// 0.5 erfc(-z/sqrt(2)) = Phi(z) for z > -10 (and NaN): the erfc form of
// _norm_cdf (see simd::norm_cdf_by_erfc). Relative error against mpmath on
// 2e5 points of (-10, 8.3): at most 4.4 * 2^-52.
inline double _norm_cdf_by_erfc(double z) noexcept {
    return simd::norm_cdf_by_erfc(z);
}

// Standard normal CDF with full relative accuracy in the lower tail.
inline double _norm_cdf(double z) noexcept {
    return simd::norm_cdf(z);
}

// Standard normal quantile, Phi^-1(u).
// M. J. Wichura, "Algorithm AS 241: The percentage points of the normal
// distribution", Applied Statistics 37 (1988), function PPND16.
// Accuracy: about 1e-16 relative for 0 < u < 1.
inline double _inverse_norm_cdf(double u) noexcept {
    return simd::inverse_norm_cdf(u);
}

}  // namespace quelta
