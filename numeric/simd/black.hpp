// Normalised Black call b(x, s) and its vega, generic over the lane type.
//
// The four branches of numeric/normalised_black.hpp (which states what each
// covers and how accurately) are evaluated for the lanes that fall in them
// and blended; the region tests are the same comparisons in the same order,
// so every lane takes the branch the scalar code takes.
#pragma once

#include "numeric/constants.hpp"
#include "numeric/normalised_black.hpp"
#include "numeric/simd/elementary.hpp"
#include "numeric/simd/lanes.hpp"
#include "numeric/simd/normal.hpp"

namespace quelta::simd {

namespace detail {

template <class V>
inline V clamp_positive(V b) noexcept {
    return select(b > 0.0, b, V(0.0));
}

template <class V>
inline V black_scale(V h, V t) noexcept {
    return _ONE_OVER_SQRT_TWO_PI * simd::exp(-0.5 * (h * h + t * t));
}

template <class V>
inline V asymptotic_polynomial(int k, V e) noexcept {
    const auto& row = quelta::detail::asymptotic_coefficients.g[k];
    V v(row[k]);
    for (int j = k - 1; j >= 0; --j) v = v * e + row[j];
    return v;
}

}  // namespace detail

// Normalised intrinsic value of a call (q >= 0) or put (q < 0) when in the
// money, q x > 0; else 0 (_normalised_intrinsic).
template <class V>
inline V normalised_intrinsic(V x, V q) noexcept {
    constexpr double series_bound = 98.0 * _FOURTH_ROOT_DBL_EPS;
    constexpr double c3 = 1.0 / 24.0;
    constexpr double c5 = 1.0 / 1920.0;
    constexpr double c7 = 1.0 / 322560.0;
    constexpr double c9 = 1.0 / 92897280.0;
    using M = mask_t<V>;
    const M in_the_money = !(q * x <= 0.0);
    if (!any(in_the_money)) return V(0.0);
    const V x2 = x * x;
    const M series = x2 < series_bound;
    V value(0.0);
    if (any(series)) value = vabs(x * (1.0 + x2 * (c3 + x2 * (c5 + x2 * (c7 + x2 * c9)))));
    if (any(!series)) {
        const V b_max = simd::exp(0.5 * x);
        value = select(series, value, vabs(b_max - 1.0 / b_max));
    }
    return select(in_the_money, value, V(0.0));
}

template <class V>
inline V asymptotic_black_call(V h, V t) noexcept {
    const V e = (t / h) * (t / h);
    const V r = (h + t) * (h - t);
    const V q = (h / r) * (h / r);
    constexpr int last = quelta::detail::asymptotic_terms - 1;
    V eas = detail::asymptotic_polynomial(last, e);
    for (int k = last - 1; k >= 0; --k) {
        eas = detail::asymptotic_polynomial(k, e) + static_cast<double>(2 * k + 1) * q * eas;
    }
    return detail::clamp_positive(detail::black_scale(h, t) * (t / r) * eas);
}

template <class V>
inline V small_t_black_call(V h, V t) noexcept {
    const V a = 1.0 + h * _SQRT_PI_OVER_TWO * erfcx(-(_ONE_OVER_SQRT_TWO * h));
    const V w = t * t;
    const V h2 = h * h;
    constexpr double f3 = 6.0;
    constexpr double f5 = 120.0;
    constexpr double f7 = 5040.0;
    constexpr double f9 = 362880.0;
    constexpr double f11 = 39916800.0;
    constexpr double f13 = 6227020800.0;
    // clang-format off
    const V s1 = (-1.0 + 3.0 * a + a * h2) / f3;
    const V s2 = (-7.0 + 15.0 * a + h2 * (-1.0 + 10.0 * a + a * h2)) / f5;
    const V s3 = (-57.0 + 105.0 * a
                  + h2 * (-18.0 + 105.0 * a + h2 * (-1.0 + 21.0 * a + a * h2))) / f7;
    const V s4 = (-561.0 + 945.0 * a
                  + h2 * (-285.0 + 1260.0 * a
                  + h2 * (-33.0 + 378.0 * a + h2 * (-1.0 + 36.0 * a + a * h2)))) / f9;
    const V s5 = (-6555.0 + 10395.0 * a
                  + h2 * (-4680.0 + 17325.0 * a
                  + h2 * (-840.0 + 6930.0 * a
                  + h2 * (-52.0 + 990.0 * a + h2 * (-1.0 + 55.0 * a + a * h2))))) / f11;
    const V s6 = (-89055.0 + 135135.0 * a
                  + h2 * (-82845.0 + 270270.0 * a
                  + h2 * (-20370.0 + 135135.0 * a
                  + h2 * (-1926.0 + 25740.0 * a
                  + h2 * (-75.0 + 2145.0 * a + h2 * (-1.0 + 78.0 * a + a * h2)))))) / f13;
    // clang-format on
    const V expansion =
        2.0 * t * (a + w * (s1 + w * (s2 + w * (s3 + w * (s4 + w * (s5 + w * s6))))));
    return detail::clamp_positive(detail::black_scale(h, t) * expansion);
}

template <class V>
inline V black_call_using_erfcx(V h, V t) noexcept {
    const V b = 0.5 * simd::exp(-0.5 * (h * h + t * t)) *
                (erfcx(-(_ONE_OVER_SQRT_TWO * (t + h))) - erfcx(-(_ONE_OVER_SQRT_TWO * (h - t))));
    return detail::clamp_positive(b);
}

template <class V>
inline V black_call_using_norm_cdf(V x, V s) noexcept {
    const V h = x / s;
    const V t = 0.5 * s;
    const V b_max = simd::exp(0.5 * x);
    const V b = norm_cdf(h + t) * b_max - norm_cdf(h - t) / b_max;
    return detail::clamp_positive(b);
}

// b(x, s) for x <= 0 (or NaN): the branch selection of _normalised_black_call
// after its reflection. A lane with s <= 0 gets the intrinsic value 0.
template <class V>
inline V black_call_out_of_the_money(V x, V s) noexcept {
    using M = mask_t<V>;
    const V t = 0.5 * s;
    const V h = x / s;
    M open = !(s <= 0.0);
    V b(0.0);
    const M asymptotic =
        open && x < s * _ASYM_THRESH && x + s * t < s * (_ASYM_THRESH + _SMALL_T_THRESH);
    if (any(asymptotic)) b = select(asymptotic, asymptotic_black_call(h, t), b);
    open = open && !asymptotic;
    const M small_t = open && t < _SMALL_T_THRESH;
    if (any(small_t)) b = select(small_t, small_t_black_call(h, t), b);
    open = open && !small_t;
    const M by_norm_cdf = open && x + s * t > 0.85 * s;
    if (any(by_norm_cdf)) b = select(by_norm_cdf, black_call_using_norm_cdf(x, s), b);
    open = open && !by_norm_cdf;
    if (any(open)) b = select(open, black_call_using_erfcx(h, t), b);
    return b;
}

// Normalised Black call b(x, s) >= 0; the intrinsic value for s <= 0.
template <class V>
inline V normalised_black_call(V x, V s) noexcept {
    // Put-call parity: an in-the-money call is its intrinsic value plus the
    // out-of-the-money call at -x.
    const mask_t<V> itm = x > 0.0;
    const V b = black_call_out_of_the_money(select(itm, -x, x), s);
    if (!any(itm)) return b;
    return select(itm, normalised_intrinsic(x, V(1.0)) + b, b);
}

// Normalised vega db/ds (_normalised_vega).
template <class V>
inline V normalised_vega(V x, V s) noexcept {
    using M = mask_t<V>;
    const V ax = vabs(x);
    // At x = 0 the x/s term vanishes for every s, including s <= 0.
    const M at_the_money = ax <= 0.0;
    V vega(0.0);
    if (any(!at_the_money)) {
        // (x/s)^2 would overflow, or s is not a volatility: the vega is 0.
        const M vanishing = s <= 0.0 || s <= ax * _SQRT_DBL_MIN;
        vega = select(vanishing, V(0.0), detail::black_scale(x / s, 0.5 * s));
    }
    if (any(at_the_money)) {
        vega = select(at_the_money, _ONE_OVER_SQRT_TWO_PI * simd::exp(s * (-0.125) * s), vega);
    }
    return vega;
}

}  // namespace quelta::simd
