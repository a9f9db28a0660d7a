// Exponential and logarithm, generic over the lane type (lanes.hpp).
//
// Every path of the core (the scalar functions and each vector width) uses
// these two instead of the platform's, so that a lane of a vector kernel and
// the scalar code compute the same bits: the same operations in the same
// order, with no branch but blends.
//
// Both follow the reductions of Sun's fdlibm (e_exp.c and e_log.c, K. C. Ng,
// 1993) with its minimax coefficients; the special cases are blended in at
// the end instead of being tested first.
#pragma once

#include <limits>

#include "numeric/simd/lanes.hpp"

namespace quelta::simd {

namespace detail {
// ln 2 split as ln2_hi + ln2_lo with ln2_hi holding 32 significant bits, so
// k * ln2_hi is exact for |k| < 2^21 (fdlibm).
inline constexpr double ln2_hi = 6.93147180369123816490e-01;
inline constexpr double ln2_lo = 1.90821492927058770002e-10;
}  // namespace detail

// e^x for every double x.
// Reduction: k = round(x / ln 2), r = (x - k ln2_hi) - k ln2_lo, where
// x - k ln2_hi is exact and |r| <= 0.35; e^r = 1 + r + r c/(2 - c) with
// c = r - r^2 P(r^2), P of degree 4 (fdlibm's minimax fit, error < 2^-59),
// and the rounding of r carried by the split form. Then 2^k is applied in
// two exact halves, so that a subnormal result is rounded only once.
// Accuracy against mpmath on 6e4 points of [-745, 709.8]: below 1 ulp
// (max 0.86 ulp; a subnormal result counts in ulps of its own spacing). Overflows to +inf above
// 709.78, underflows to +0 below -745.13, NaN stays NaN.
template <class V>
inline V exp(V x) noexcept {
    // fdlibm e_exp.c, P1..P5
    constexpr double p[5] = {1.66666666666666019037e-01, -2.77777777770155933842e-03,
                             6.61375632143793436117e-05, -1.65339022054652515390e-06,
                             4.13813679705723846039e-08};
    constexpr double inv_ln2 = 1.44269504088896338700e+00;
    // Beyond +-1100 the result is inf or 0 already; the clamp keeps k and
    // its halves inside the range of pow2i. NaN passes both tests unchanged.
    constexpr double clamp = 1100.0;
    const V xc = select(x > clamp, V(clamp), select(x < -clamp, V(-clamp), x));
    const V k = vround(xc * inv_ln2);
    const V hi = xc - k * detail::ln2_hi;
    const V lo = k * detail::ln2_lo;
    const V r = hi - lo;
    const V t = r * r;
    const V c = r - t * (p[0] + t * (p[1] + t * (p[2] + t * (p[3] + t * p[4]))));
    const V y = 1.0 - ((lo - (r * c) / (2.0 - c)) - hi);
    const V k1 = vtrunc(k * 0.5);
    const V result = (y * pow2i(k1)) * pow2i(k - k1);
    return select(is_nan(x), x, result);
}

// Natural logarithm for every double x.
// Reduction: x = 2^e m with m in [sqrt(2)/2, sqrt(2)) (subnormal x scaled by
// 2^54 first), f = m - 1, s = f/(2 + f); ln m = f - (f^2/2 - s (f^2/2 + R))
// with R(s^2) of degree 7 (fdlibm's minimax fit, error < 2^-58.45), and
// e ln 2 added in two parts. Accuracy against mpmath on 6e4 points spread
// over every binade, subnormals included: below 1 ulp (max 0.74 ulp). ln 0 = -inf, ln of a
// negative number or NaN is NaN, ln inf = inf.
template <class V>
inline V log(V x) noexcept {
    // fdlibm e_log.c, Lg1..Lg7
    constexpr double lg[7] = {6.666666666666735130e-01, 3.999999999940941908e-01,
                              2.857142874366239149e-01, 2.222219843214978396e-01,
                              1.818357216161805012e-01, 1.531383769920937332e-01,
                              1.479819860511658591e-01};
    constexpr double two54 = 18014398509481984.0;  // 2^54
    constexpr double smallest_normal = 2.2250738585072014e-308;
    constexpr double sqrt2 = 1.4142135623730951;
    constexpr double inf = std::numeric_limits<double>::infinity();
    using M = mask_t<V>;
    const M subnormal = x < smallest_normal;
    const V xs = select(subnormal, x * two54, x);
    V e = exponent_field(xs) - select(subnormal, V(1023.0 + 54.0), V(1023.0));
    V m = significand(xs);
    const M upper = m >= sqrt2;
    m = select(upper, m * 0.5, m);
    e = select(upper, e + 1.0, e);
    const V f = m - 1.0;
    const V hfsq = 0.5 * f * f;
    const V s = f / (2.0 + f);
    const V z = s * s;
    const V w = z * z;
    const V t1 = w * (lg[1] + w * (lg[3] + w * lg[5]));
    const V t2 = z * (lg[0] + w * (lg[2] + w * (lg[4] + w * lg[6])));
    const V r = t2 + t1;
    V result = e * detail::ln2_hi - ((hfsq - (s * (hfsq + r) + e * detail::ln2_lo)) - f);
    result = select(x == inf, x, result);
    result = select(x == 0.0, V(-inf), result);
    return select(x < 0.0 || is_nan(x), V(std::numeric_limits<double>::quiet_NaN()), result);
}

}  // namespace quelta::simd
