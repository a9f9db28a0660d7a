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

#include <cmath>
#include <limits>

#include "numeric/constants.hpp"

namespace quelta {

// Standard normal density; the exponent is formed as (x * -0.5) * x.
inline double _norm_pdf(double x) noexcept {
    return _ONE_OVER_SQRT_TWO_PI * std::exp(x * (-0.5) * x);
}

// Given result = erfcx(|x|), returns erfcx(x). x >= 0 and NaN pass result
// through unchanged.
inline double _erfcx_fixup(double result, double x) noexcept {
    // Below this, 2 exp(x^2) is not representable.
    constexpr double overflow_bound = -26.628;
    // Finite stand-in for the overflowed value.
    constexpr double overflow_value = 1.79e308;
    if (!(x < 0.0)) return result;
    if (x < overflow_bound) return overflow_value;
    // exp(x^2) = exp(ysq^2) * exp((x - ysq)(x + ysq)), with ysq a multiple of
    // 1/16: ysq^2 is exact, and the small second factor carries the rest
    // without the rounding error of forming x^2 directly.
    const double ysq = std::trunc(16.0 * x) * 0.0625;
    const double d = (x - ysq) * (x + ysq);
    const double yy = std::exp(ysq * ysq) * std::exp(d);
    return yy + yy - result;
}

namespace detail {

// The first interval of Cody's erfcx, |x| <= 0.46875, uses x^2, or 0 where
// x^2 would only add rounding noise to 1.
inline double cody_erf_small_square(double x) noexcept {
    return std::fabs(x) > 1.11e-16 ? x * x : 0.0;
}

// Cody's first-interval rational (CALERF, cited at _erfcx): for |x| <= 0.46875,
// erf(x) = x (a3 + xnum)/(b3 + xden), where xnum and xden are the Horner sums
// below in ysq = x^2 without their constant terms a3 and b3.
inline constexpr double cody_a[5] = {3.1611237438705655, 113.86415415105016, 377.485237685302,
                                     3209.3775891384694, 0.18577770618460315};
inline constexpr double cody_b[4] = {23.601290952344122, 244.02463793444417, 1282.6165260773723,
                                     2844.236833439171};

inline void cody_erf_sums(double ysq, double& xnum, double& xden) noexcept {
    xnum = cody_a[4] * ysq;
    xden = ysq;
    for (int i = 0; i < 3; ++i) {
        xnum = (xnum + cody_a[i]) * ysq;
        xden = (xden + cody_b[i]) * ysq;
    }
}

// erf(x) for |x| <= 0.46875. Relative accuracy about an ulp.
inline double cody_erf_small(double x) noexcept {
    double xnum, xden;
    cody_erf_sums(cody_erf_small_square(x), xnum, xden);
    return x * (xnum + cody_a[3]) / (xden + cody_b[3]);
}

}  // namespace detail

// Scaled complementary error function exp(x^2) * erfc(x) for every double.
// W. J. Cody, "Rational Chebyshev approximations for the error function",
// Math. Comp. 23 (1969); coefficients of the CALERF routine (SPECFUN).
// Accuracy: a few ulp relative over the whole real line.
inline double _erfcx(double x) noexcept {
    // 1/sqrt(pi)
    constexpr double one_over_sqrt_pi = 0.5641895835477563;
    const double y = std::fabs(x);
    if (y <= 0.46875) {
        // 1 - erf(x) is erfc(x); this form holds for either sign of x.
        return (1.0 - detail::cody_erf_small(x)) * std::exp(detail::cody_erf_small_square(x));
    }
    if (y <= 4.0) {
        constexpr double c[9] = {0.5641884969886701, 8.883149794388377,  66.11919063714163,
                                 298.6351381974001,  881.952221241769,   1712.0476126340707,
                                 2051.0783778260716, 1230.3393547979972, 2.1531153547440383e-08};
        constexpr double d[8] = {15.744926110709835, 117.6939508913125,  537.1811018620099,
                                 1621.3895745666903, 3290.7992357334597, 4362.619090143247,
                                 3439.3676741437216, 1230.3393548037495};
        double xnum = c[8] * y;
        double xden = y;
        for (int i = 0; i < 7; ++i) {
            xnum = (xnum + c[i]) * y;
            xden = (xden + d[i]) * y;
        }
        return _erfcx_fixup((xnum + c[7]) / (xden + d[7]), x);
    }
    // y > 4, or NaN (which falls through every test below and stays NaN).
    if (y >= 26.543) {
        // erfcx(y) underflows to 0 from here on.
        if (y >= 2.53e307) return _erfcx_fixup(0.0, x);
        // The correction to the leading term 1/(sqrt(pi) y) is below an ulp.
        if (y >= 6.71e7) return _erfcx_fixup(one_over_sqrt_pi / y, x);
    }
    constexpr double p[6] = {0.30532663496123236,  0.36034489994980445,   0.12578172611122926,
                             0.016083785148742275, 0.0006587491615298378, 0.016315387137302097};
    constexpr double q[5] = {2.568520192289822, 1.8729528499234604, 0.5279051029514285,
                             0.06051834131244132, 0.0023352049762686918};
    const double ysq = 1.0 / (x * x);
    double xnum = p[5] * ysq;
    double xden = ysq;
    for (int i = 0; i < 4; ++i) {
        xnum = (xnum + p[i]) * ysq;
        xden = (xden + q[i]) * ysq;
    }
    double result = ysq * (xnum + p[4]) / (xden + q[4]);
    result = (one_over_sqrt_pi - result) / y;
    return _erfcx_fixup(result, x);
}

namespace detail {

// Veltkamp's splitting constant 2^27 + 1: v * split - (v * split - v) keeps
// the upper 26 significant bits of v, whose square is then exact.
inline constexpr double veltkamp_split = 134217729.0;

constexpr double upper_half(double v) noexcept {
    const double vs = v * veltkamp_split;
    return vs - (vs - v);
}

// Phi(z) for |z| <= 0.6629 (|z|/sqrt(2) <= 0.46875): 0.5 -+ 0.5 erf(u/sqrt(2)),
// u = |z|, from Cody's first-interval rational r in ysq = u^2/2, where
// erf(x) = x r(x^2). The rational is written as (A3/B3)(1 + delta) with
// |delta| < 0.08, so that its rounding only touches delta. Its leading
// constant A3/B3 is 2/sqrt(pi) (1 - 1.01e-16), which is nearly all of the
// rational's own error here (-1.01e-16 at 0, -0.97e-16 at 0.46875), so the
// exact 2/sqrt(pi) takes its place. The leading product u sqrt(2/pi) is
// formed exactly (Dekker) and its sum with 0.5 compensated. Error: about
// half an ulp.
inline double norm_cdf_central(double z) noexcept {
    // sqrt(2/pi) = (2/sqrt(pi))/sqrt(2) as k_hi + k_lo (mpmath).
    constexpr double k_hi = 0.7978845608028654;
    constexpr double k_lo = -4.98465440455546e-17;
    constexpr double kh = upper_half(k_hi);
    constexpr double kl = k_hi - kh;
    const double u = std::fabs(z);
    double xnum, xden;
    cody_erf_sums(0.5 * (u * u), xnum, xden);
    // (a3 + xnum)/(b3 + xden) = (a3/b3)(1 + delta).
    const double delta = (xnum * cody_b[3] - xden * cody_a[3]) / (cody_a[3] * (cody_b[3] + xden));
    // u k_hi = p + e exactly.
    const double uh = upper_half(u);
    const double ul = u - uh;
    const double p = u * k_hi;
    const double e = ((uh * kh - p) + uh * kl + ul * kh) + ul * kl;
    // 0.5 erf(u/sqrt(2)) = half_hi + half_lo.
    const double half_hi = 0.5 * p;
    const double half_lo = 0.5 * (e + u * k_lo + p * delta);
    // 0.5 -+ half_hi with its rounding error recovered (|half_hi| <= 0.5).
    if (z <= 0.0) {
        const double sum = 0.5 - half_hi;
        return sum + (((0.5 - sum) - half_hi) - half_lo);
    }
    const double sum = 0.5 + half_hi;
    return sum + (((0.5 - sum) + half_hi) + half_lo);
}

}  // namespace detail

// 0.5 erfc(-z/sqrt(2)) = Phi(z) for z > -10 (and NaN): the erfc form of
// _norm_cdf, equivalent to the platform erfc and more accurate, built on
// Cody's rationals:
//   |z| <= 0.6629:  0.5 -+ 0.5 erf(|z|/sqrt(2)), detail::norm_cdf_central;
//   z < -0.6629:    with u = -z, 0.5 erfcx(u/sqrt(2)) exp(-u^2/2);
//   z > 0.6629:     1 - Phi(-z), exactly 1 from z > 9 on.
// The exponent -u^2/2 is taken from u itself, not from the rounded
// a = u/sqrt(2): u = uh + ul with uh of 26 significant bits, so uh^2/2 is
// exact and exp(-u^2/2) = exp(-uh^2/2) exp(-d), d = uh ul + ul^2/2. For
// u < 10, |d| < 8e-7 and exp(-d) = 1 - d + d^2/2 to below 1e-19. The
// rounding of a then moves erfcx(a) by at most an ulp (its relative condition
// is below 1), where it would move erfc(a) by up to u^2/2 ulp. Relative
// error against mpmath on 2e5 points of (-10, 8.3): at most 4.4 * 2^-52
// (99.99% under 3.4 * 2^-52), where the platform erfc of the rounded
// z/sqrt(2) reaches 59 * 2^-52 near z = -10.
inline double _norm_cdf_by_erfc(double z) noexcept {
    // Phi(-9) = 1.1e-19 is far below half an ulp of 1.
    constexpr double one_above = 9.0;
    // |z|/sqrt(2) = 0.46875, the end of Cody's first interval.
    constexpr double central_bound = 0.6629126073623883;
    if (z > one_above) return 1.0;
    const double u = std::fabs(z);
    if (u <= central_bound) return detail::norm_cdf_central(z);
    // u > 0.6629 or NaN; a NaN stays NaN through every step.
    const double uh = detail::upper_half(u);
    const double ul = u - uh;
    const double d = uh * ul + 0.5 * (ul * ul);
    double tail = 0.5 * _erfcx(u * _ONE_OVER_SQRT_TWO) * std::exp(-0.5 * (uh * uh));
    tail -= tail * (d * (1.0 - 0.5 * d));
    return z < 0.0 ? tail : 1.0 - tail;
}

// Standard normal CDF with full relative accuracy in the lower tail.
inline double _norm_cdf(double z) noexcept {
    // Written as a negated <= so that NaN takes the erfc path and stays NaN.
    if (!(z <= _NCDF_ASYM1)) return _norm_cdf_by_erfc(z);
    // Phi(z) = phi(z)/|z| * sum_val with the asymptotic series
    // sum_val = 1 - 1/z^2 + 3/z^4 - 15/z^6 + ..., summed a pair of terms at a
    // time. It is stopped when the pairs no longer shrink (the series is
    // divergent) or no longer change sum_val. Below _NCDF_ASYM2 even the first
    // correction is under _DBL_EPS, so sum_val = 1.
    double sum_val = 1.0;
    if (z >= _NCDF_ASYM2) {
        const double zsqr = z * z;
        double g = 1.0;
        double a = _DBL_MAX;
        double lasta;
        int i = 1;
        do {
            lasta = a;
            const double xx = static_cast<double>(4 * i - 3) / zsqr;
            const double yy = xx * (static_cast<double>(4 * i - 1) / zsqr);
            a = g * (xx - yy);
            sum_val -= a;
            g *= yy;
            ++i;
            a = std::fabs(a);
        } while (lasta > a && a >= std::fabs(sum_val * _DBL_EPS));
    }
    return (-(_ONE_OVER_SQRT_TWO_PI * std::exp(z * (-0.5) * z)) * sum_val) / z;
}

// Standard normal quantile, Phi^-1(u).
// M. J. Wichura, "Algorithm AS 241: The percentage points of the normal
// distribution", Applied Statistics 37 (1988), function PPND16.
// Accuracy: about 1e-16 relative for 0 < u < 1.
inline double _inverse_norm_cdf(double u) noexcept {
    // log gives -inf at 0 and NaN below it.
    if (u <= 0.0) return std::log(u);
    // Mirror of the lower edge: +inf at 1, NaN above. No caller passes such u.
    if (u >= 1.0) {
        return u == 1.0 ? std::numeric_limits<double>::infinity()
                        : std::numeric_limits<double>::quiet_NaN();
    }
    const double q = u - 0.5;
    if (std::fabs(q) <= 0.425) {
        constexpr double a[8] = {3.3871328727963665, 133.14166789178438, 1971.5909503065513,
                                 13731.69376550946,  45921.95393154987,  67265.7709270087,
                                 33430.57558358813,  2509.0809287301227};
        constexpr double b[8] = {1.0,
                                 42.31333070160091,
                                 687.1870074920579,
                                 5394.196021424751,
                                 21213.794301586597,
                                 39307.89580009271,
                                 28729.085735721943,
                                 5226.495278852854};
        // 0.180625 = 0.425^2
        const double r = 0.180625 - q * q;
        double num = a[7];
        double den = b[7];
        for (int i = 6; i >= 0; --i) {
            num = num * r + a[i];
            den = den * r + b[i];
        }
        return q * num / den;
    }
    // Tails (NaN included): r = sqrt(-log(min(u, 1 - u))).
    double r = std::sqrt(-std::log(q < 0.0 ? u : 1.0 - u));
    double num;
    double den;
    if (r < 5.0) {
        constexpr double c[8] = {1.4234371107496835,   4.630337846156546,    5.769497221460691,
                                 3.6478483247632045,   1.2704582524523684,   0.2417807251774506,
                                 0.022723844989269184, 0.0007745450142783414};
        constexpr double d[8] = {1.0,
                                 2.053191626637759,
                                 1.6763848301838038,
                                 0.6897673349851,
                                 0.14810397642748008,
                                 0.015198666563616457,
                                 0.0005475938084995345,
                                 1.0507500716444169e-09};
        r -= 1.6;
        num = c[7];
        den = d[7];
        for (int i = 6; i >= 0; --i) {
            num = num * r + c[i];
            den = den * r + d[i];
        }
    } else {
        constexpr double e[8] = {6.657904643501103,      5.463784911164114,
                                 1.7848265399172913,     0.29656057182850487,
                                 0.026532189526576124,   0.0012426609473880784,
                                 2.7115555687434876e-05, 2.0103343992922881e-07};
        constexpr double f[8] = {1.0,
                                 0.599832206555888,
                                 0.1369298809227358,
                                 0.014875361290850615,
                                 0.0007868691311456133,
                                 1.8463183175100548e-05,
                                 1.421511758316446e-07,
                                 2.0442631033899397e-15};
        r -= 5.0;
        num = e[7];
        den = f[7];
        for (int i = 6; i >= 0; --i) {
            num = num * r + e[i];
            den = den * r + f[i];
        }
    }
    const double ret = num / den;
    return q < 0.0 ? -ret : ret;
}

}  // namespace quelta
