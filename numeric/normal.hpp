// Normal distribution functions in double precision.
//
// erfcx(x) = exp(x^2) * erfc(x) is what the normalised Black function needs
// where Phi itself underflows or two Phi values cancel. It follows Cody's
// rational Chebyshev scheme on three intervals of |x|:
//   |x| <= 0.46875      erf-type rational in x^2, valid for either sign;
//   0.46875 < |x| <= 4  rational in |x|;
//   |x| > 4             rational in 1/x^2 times 1/|x|, with short cuts for
//                       |x| >= 6.71e7 (leading term only) and |x| >= 2.53e307 (0).
// The last two intervals compute erfcx(|x|); erfcx_fixup turns that into
// erfcx(x) for negative x through 2 exp(x^2) - erfcx(|x|), with exp(x^2) split
// so that its large factor has an exact argument. Relative error is a few ulp
// everywhere; below x = -26.628 exp(x^2) overflows and 1.79e308 stands in.
//
// norm_cdf uses the erfc form 0.5 erfc(-z/sqrt(2)) above z = -10 and the
// classical asymptotic series of the lower tail at and below it, which keeps
// full relative accuracy where erfc's argument scaling would lose bits. The
// erfc form is norm_cdf_by_erfc: erfcx times an exponential whose argument
// is formed exactly from z, which is more accurate than the platform erfc of
// the rounded z/sqrt(2) and, with a correctly rounded libm erfc, much faster.
//
// inverse_norm_cdf is a rational approximation of degree 7/7 on three
// regions, good to about 1e-16 relative.
//
// Every function is generic over the lane type (numeric/simd/lanes.hpp):
// each interval is evaluated when some lane needs it and selected per lane,
// with exp and log from numeric/simd/elementary.hpp. With V = double every
// blend is a plain branch and this is the scalar code.
#pragma once

#include <limits>

#include "numeric/constants.hpp"
#include "numeric/simd/elementary.hpp"
#include "numeric/simd/lanes.hpp"

namespace quelta::simd {

namespace detail {

// Cody's first-interval rational (CALERF, cited at erfcx): for |x| <= 0.46875,
// erf(x) = x (a3 + xnum)/(b3 + xden), where xnum and xden are the Horner sums
// in ysq = x^2 without their constant terms a3 and b3.
inline constexpr double cody_a[5] = {3.1611237438705655, 113.86415415105016, 377.485237685302,
                                     3209.3775891384694, 0.18577770618460315};
inline constexpr double cody_b[4] = {23.601290952344122, 244.02463793444417, 1282.6165260773723,
                                     2844.236833439171};

// Veltkamp's splitting constant 2^27 + 1: v * split - (v * split - v) keeps
// the upper 26 significant bits of v, whose square is then exact.
inline constexpr double veltkamp_split = 134217729.0;

// The upper half of v, for doubles at compile time and for lanes alike.
template <class V>
constexpr V upper_half(V v) noexcept {
    const V vs = v * veltkamp_split;
    return vs - (vs - v);
}

}  // namespace detail

// Standard normal density; the exponent is formed as (x * -0.5) * x.
template <class V>
inline V norm_pdf(V x) noexcept {
    return _ONE_OVER_SQRT_TWO_PI * simd::exp(x * (-0.5) * x);
}

// Given result = erfcx(|x|), returns erfcx(x) through 2 exp(x^2) - erfcx(|x|);
// x >= 0 and NaN pass through. Below x = -26.628, 2 exp(x^2) overflows and
// 1.79e308 stands in.
template <class V>
inline V erfcx_fixup(V result, V x) noexcept {
    constexpr double overflow_bound = -26.628;
    constexpr double overflow_value = 1.79e308;
    const mask_t<V> negative = x < 0.0;
    if (!any(negative)) return result;
    // exp(x^2) = exp(ysq^2) exp((x - ysq)(x + ysq)), with ysq a multiple of
    // 1/16: ysq^2 is exact, and the small second factor carries the rest
    // without the rounding error of forming x^2 directly.
    const V ysq = vtrunc(16.0 * x) * 0.0625;
    const V d = (x - ysq) * (x + ysq);
    const V yy = simd::exp(ysq * ysq) * simd::exp(d);
    const V fixed = select(x < overflow_bound, V(overflow_value), yy + yy - result);
    return select(negative, fixed, result);
}

namespace detail {

template <class V>
inline V cody_erf_small_square(V x) noexcept {
    return select(vabs(x) > 1.11e-16, x * x, V(0.0));
}

// xnum and xden of Cody's first interval in ysq = x^2.
template <class V>
struct CodySums {
    V xnum, xden;
};

template <class V>
inline CodySums<V> cody_sums(V ysq) noexcept {
    CodySums<V> c{cody_a[4] * ysq, ysq};
    for (int i = 0; i < 3; ++i) {
        c.xnum = (c.xnum + cody_a[i]) * ysq;
        c.xden = (c.xden + cody_b[i]) * ysq;
    }
    return c;
}

template <class V>
inline V cody_erf_small(V x) noexcept {
    const CodySums<V> c = cody_sums(cody_erf_small_square(x));
    return x * (c.xnum + cody_a[3]) / (c.xden + cody_b[3]);
}

// Cody's rational for 0.46875 < y <= 4, erfcx(y) = N(y)/D(y), D monic of
// degree 8 (the Bachelier family shares D).
inline constexpr double cody_middle_d[8] = {
    15.744926110709835, 117.6939508913125, 537.1811018620099,  1621.3895745666903,
    3290.7992357334597, 4362.619090143247, 3439.3676741437216, 1230.3393548037495};

template <class V>
inline V cody_middle_denominator(V y) noexcept {
    V xden = y;
    for (int i = 0; i < 7; ++i) xden = (xden + cody_middle_d[i]) * y;
    return xden + cody_middle_d[7];
}

template <class V>
inline V erfcx_middle(V y) noexcept {
    constexpr double c[9] = {0.5641884969886701, 8.883149794388377,  66.11919063714163,
                             298.6351381974001,  881.952221241769,   1712.0476126340707,
                             2051.0783778260716, 1230.3393547979972, 2.1531153547440383e-08};
    V xnum = c[8] * y;
    for (int i = 0; i < 7; ++i) xnum = (xnum + c[i]) * y;
    return (xnum + c[7]) / cody_middle_denominator(y);
}

// Cody's rational for y > 4 in ysq = 1/y^2: the term ysq P(ysq)/Q(ysq) of
// erfcx(y) = (1/sqrt(pi) - term)/y. It is also 1 - sqrt(pi) y erfcx(y)
// divided by sqrt(pi), a small difference that this form gives without
// cancellation (the Bachelier family uses it so).
inline constexpr double cody_large_p[6] = {0.30532663496123236,   0.36034489994980445,
                                           0.12578172611122926,   0.016083785148742275,
                                           0.0006587491615298378, 0.016315387137302097};
inline constexpr double cody_large_q[5] = {2.568520192289822, 1.8729528499234604,
                                           0.5279051029514285, 0.06051834131244132,
                                           0.0023352049762686918};

template <class V>
inline V cody_large_term(V ysq) noexcept {
    V xnum = cody_large_p[5] * ysq;
    V xden = ysq;
    for (int i = 0; i < 4; ++i) {
        xnum = (xnum + cody_large_p[i]) * ysq;
        xden = (xden + cody_large_q[i]) * ysq;
    }
    return ysq * (xnum + cody_large_p[4]) / (xden + cody_large_q[4]);
}

// Cody's rational for y > 4 (and NaN), erfcx(y), with the short cuts
// above 6.71e7 and 2.53e307.
template <class V>
inline V erfcx_large(V x, V y) noexcept {
    constexpr double one_over_sqrt_pi = 0.5641895835477563;
    const V result = (one_over_sqrt_pi - cody_large_term(1.0 / (x * x))) / y;
    return select(y >= 2.53e307, V(0.0), select(y >= 6.71e7, one_over_sqrt_pi / y, result));
}

}  // namespace detail

// Scaled complementary error function exp(x^2) * erfc(x) for every double.
// W. J. Cody, "Rational Chebyshev approximations for the error function",
// Math. Comp. 23 (1969); coefficients of the CALERF routine (SPECFUN).
// Accuracy: a few ulp relative over the whole real line (4.2 ulp at most
// against mpmath on a seeded sample of (-26.6, 40)).
template <class V>
inline V erfcx(V x) noexcept {
    using M = mask_t<V>;
    const V y = vabs(x);
    const M small = y <= 0.46875;
    const M middle = !small && y <= 4.0;
    const M large = !(y <= 4.0);
    V result(0.0);
    if (any(small)) {
        const V r = (1.0 - detail::cody_erf_small(x)) * simd::exp(detail::cody_erf_small_square(x));
        result = select(small, r, result);
    }
    if (any(middle)) result = select(middle, detail::erfcx_middle(y), result);
    if (any(large)) result = select(large, detail::erfcx_large(x, y), result);
    // The first interval holds for either sign; the others computed erfcx(|x|).
    return select(small, result, erfcx_fixup(result, x));
}

namespace detail {

// Phi(z) for |z| <= 0.6629 (|z|/sqrt(2) <= 0.46875): 0.5 -+ 0.5 erf(u/sqrt(2)),
// u = |z|, from Cody's first-interval rational r in ysq = u^2/2, where
// erf(x) = x r(x^2). The rational is written as (A3/B3)(1 + delta) with
// |delta| < 0.08, so that its rounding only touches delta. Its leading
// constant A3/B3 is 2/sqrt(pi) (1 - 1.01e-16), which is nearly all of the
// rational's own error here, so the exact 2/sqrt(pi) takes its place. The
// leading product u sqrt(2/pi) is formed exactly (Dekker) and its sum with
// 0.5 compensated. Error: about half an ulp.
template <class V>
inline V norm_cdf_central(V z) noexcept {
    constexpr double k_hi = 0.7978845608028654;
    constexpr double k_lo = -4.98465440455546e-17;
    constexpr double kh = upper_half(k_hi);
    constexpr double kl = k_hi - kh;

    const V u = vabs(z);
    const CodySums<V> c = cody_sums(0.5 * (u * u));
    const V delta = (c.xnum * cody_b[3] - c.xden * cody_a[3]) / (cody_a[3] * (cody_b[3] + c.xden));
    const V uh = upper_half(u);
    const V ul = u - uh;
    const V p = u * k_hi;
    const V e = ((uh * kh - p) + uh * kl + ul * kh) + ul * kl;
    const V half_hi = 0.5 * p;
    const V half_lo = 0.5 * (e + u * k_lo + p * delta);
    const V low_sum = 0.5 - half_hi;
    const V low = low_sum + (((0.5 - low_sum) - half_hi) - half_lo);
    const V high_sum = 0.5 + half_hi;
    const V high = high_sum + (((0.5 - high_sum) + half_hi) + half_lo);
    return select(z <= 0.0, low, high);
}

}  // namespace detail

// 0.5 erfc(-z/sqrt(2)) = Phi(z) for z > -10 (and NaN), built on Cody's rationals:
//   |z| <= 0.6629:  0.5 -+ 0.5 erf(|z|/sqrt(2)), detail::norm_cdf_central;
//   z < -0.6629:    with u = -z, 0.5 erfcx(u/sqrt(2)) exp(-u^2/2);
//   z > 0.6629:     1 - Phi(-z), exactly 1 from z > 9 on.
// The exponent -u^2/2 is taken from u itself, not from the rounded
// a = u/sqrt(2): u = uh + ul with uh of 26 significant bits, so uh^2/2 is
// exact and exp(-u^2/2) = exp(-uh^2/2) exp(-d), d = uh ul + ul^2/2. For
// u < 10, |d| < 8e-7 and exp(-d) = 1 - d + d^2/2 to below 1e-19. The
// rounding of a then moves erfcx(a) by at most an ulp (its relative condition
// is below 1), where it would move erfc(a) by up to u^2/2 ulp. Relative
// error against mpmath on 2e5 points of (-10, 8.3): at most 4.4 * 2^-52.
template <class V>
inline V norm_cdf_by_erfc(V z) noexcept {
    using M = mask_t<V>;
    constexpr double one_above = 9.0;
    constexpr double central_bound = 0.6629126073623883;
    const V u = vabs(z);
    const M central = u <= central_bound;
    V result(0.0);
    if (any(central)) result = detail::norm_cdf_central(z);
    const M tails = !central && !(z > one_above);
    if (any(tails)) {
        const V uh = detail::upper_half(u);
        const V ul = u - uh;
        const V d = uh * ul + 0.5 * (ul * ul);
        V tail = 0.5 * erfcx(u * _ONE_OVER_SQRT_TWO) * simd::exp(-0.5 * (uh * uh));
        tail -= tail * (d * (1.0 - 0.5 * d));
        result = select(tails, select(z < 0.0, tail, 1.0 - tail), result);
    }
    return select(z > one_above, V(1.0), result);
}

// Standard normal CDF with full relative accuracy in the lower tail: the
// erfc form above -10, the asymptotic series at and below.
template <class V>
inline V norm_cdf(V z) noexcept {
    using M = mask_t<V>;
    const M series = z <= _NCDF_ASYM1;
    V result(0.0);
    if (any(!series)) result = norm_cdf_by_erfc(z);
    if (!any(series)) return result;
    // Phi(z) = phi(z)/|z| * sum_val with the asymptotic series
    // sum_val = 1 - 1/z^2 + 3/z^4 - 15/z^6 + ..., summed a pair of terms at a
    // time, lane by lane. A lane stops when the pairs no longer shrink (the
    // series is divergent) or no longer change sum_val. Below _NCDF_ASYM2 even
    // the first correction is under _DBL_EPS, so sum_val = 1.
    V sum_val(1.0);
    const V zsqr = z * z;
    V g(1.0);
    V a(_DBL_MAX);
    V i(1.0);
    M active = series && z >= _NCDF_ASYM2;
    while (any(active)) {
        const V lasta = a;
        const V xx = (4.0 * i - 3.0) / zsqr;
        const V yy = xx * ((4.0 * i - 1.0) / zsqr);
        const V term = g * (xx - yy);
        sum_val = select(active, sum_val - term, sum_val);
        g = select(active, g * yy, g);
        i = i + 1.0;
        a = select(active, vabs(term), a);
        active = active && lasta > a && a >= vabs(sum_val * _DBL_EPS);
    }
    const V tail = (-(_ONE_OVER_SQRT_TWO_PI * simd::exp(z * (-0.5) * z)) * sum_val) / z;
    return select(series, tail, result);
}

namespace detail {

// Wichura's PPND16 (cited at inverse_norm_cdf): numerator and denominator
// coefficients of degree 7 for the central region, the near tail and the far
// tail, constant term first.
struct Ppnd16Region {
    double num[8], den[8];
};

inline constexpr Ppnd16Region ppnd16_central{
    {3.3871328727963665, 133.14166789178438, 1971.5909503065513, 13731.69376550946,
     45921.95393154987, 67265.7709270087, 33430.57558358813, 2509.0809287301227},
    {1.0, 42.31333070160091, 687.1870074920579, 5394.196021424751, 21213.794301586597,
     39307.89580009271, 28729.085735721943, 5226.495278852854}};
inline constexpr Ppnd16Region ppnd16_near{
    {1.4234371107496835, 4.630337846156546, 5.769497221460691, 3.6478483247632045,
     1.2704582524523684, 0.2417807251774506, 0.022723844989269184, 0.0007745450142783414},
    {1.0, 2.053191626637759, 1.6763848301838038, 0.6897673349851, 0.14810397642748008,
     0.015198666563616457, 0.0005475938084995345, 1.0507500716444169e-09}};
inline constexpr Ppnd16Region ppnd16_far{
    {6.657904643501103, 5.463784911164114, 1.7848265399172913, 0.29656057182850487,
     0.026532189526576124, 0.0012426609473880784, 2.7115555687434876e-05, 2.0103343992922881e-07},
    {1.0, 0.599832206555888, 0.1369298809227358, 0.014875361290850615, 0.0007868691311456133,
     1.8463183175100548e-05, 1.421511758316446e-07, 2.0442631033899397e-15}};

// The numerator and denominator of a region at r, by Horner's rule; the
// caller divides (the central region scales the numerator first).
template <class V>
struct Ppnd16Terms {
    V num, den;
};

template <class V>
inline Ppnd16Terms<V> ppnd16_terms(const Ppnd16Region& c, V r) noexcept {
    Ppnd16Terms<V> t{V(c.num[7]), V(c.den[7])};
    for (int i = 6; i >= 0; --i) {
        t.num = t.num * r + c.num[i];
        t.den = t.den * r + c.den[i];
    }
    return t;
}

}  // namespace detail

// Standard normal quantile, Phi^-1(u).
// M. J. Wichura, "Algorithm AS 241: The percentage points of the normal
// distribution", Applied Statistics 37 (1988), function PPND16.
// Accuracy: about 1e-16 relative for 0 < u < 1.
template <class V>
inline V inverse_norm_cdf(V u) noexcept {
    using M = mask_t<V>;
    constexpr double inf = std::numeric_limits<double>::infinity();
    const V q = u - 0.5;
    const M central = vabs(q) <= 0.425;
    V result(0.0);
    if (any(central)) {
        const detail::Ppnd16Terms<V> t =
            detail::ppnd16_terms(detail::ppnd16_central, 0.180625 - q * q);
        result = q * t.num / t.den;
    }
    if (any(!central)) {
        const V r = vsqrt(-simd::log(select(q < 0.0, u, 1.0 - u)));
        const M near = r < 5.0;
        V ret(0.0);
        if (any(near)) {
            const detail::Ppnd16Terms<V> t = detail::ppnd16_terms(detail::ppnd16_near, r - 1.6);
            ret = t.num / t.den;
        }
        if (any(!near)) {
            const detail::Ppnd16Terms<V> t = detail::ppnd16_terms(detail::ppnd16_far, r - 5.0);
            ret = select(near, ret, t.num / t.den);
        }
        result = select(central, result, select(q < 0.0, -ret, ret));
    }
    // The edges: log gives -inf at 0 and NaN below it; +inf at 1, NaN above.
    result = select(u <= 0.0, simd::log(u), result);
    return select(u >= 1.0, select(u == 1.0, V(inf), V(std::numeric_limits<double>::quiet_NaN())),
                  result);
}

}  // namespace quelta::simd

namespace quelta {

// The scalar normal CDF, the width-one instance.
inline double _norm_cdf(double z) noexcept {
    return simd::norm_cdf(z);
}

}  // namespace quelta
