// Rational cubic interpolation with one control parameter, generic over the
// lane type: the functions of numeric/rational_cubic.hpp (which explains the
// interpolant and how the parameter is chosen) with their cases blended.
// All of them are a few operations, so every case is computed for every
// lane and the right one selected.
#pragma once

#include "numeric/constants.hpp"
#include "numeric/simd/lanes.hpp"

namespace quelta::simd {

// |x| < _DBL_MIN (zero or subnormal); false for NaN.
template <class V>
inline mask_t<V> is_zero(V x) noexcept {
    return vabs(x) < _DBL_MIN;
}

template <class V>
inline V rc_interp(V x, V x_l, V x_r, V y_l, V y_r, V d_l, V d_r, V r) noexcept {
    const V h = x_r - x_l;
    const V t = (x - x_l) / h;
    const V omt = 1.0 - t;
    const V t2 = t * t;
    const V omt2 = omt * omt;
    const V rational = (y_r * t2 * t + (r * y_r - h * d_r) * t2 * omt +
                        (r * y_l + h * d_l) * t * omt2 + y_l * omt2 * omt) /
                       (1.0 + (r - 3.0) * t * omt);
    const V value = select(r >= _RC_MAX, y_r * t + y_l * (1.0 - t), rational);
    return select(vabs(h) <= 0.0, (y_l + y_r) / 2.0, value);
}

// The parameter for numerator num and denominator den of the second
// derivative fit (_rc_param_left and _rc_param_right differ only in den).
template <class V>
inline V rc_param(V num, V den) noexcept {
    const V unbounded = select(num > 0.0, V(_RC_MAX), V(_RC_MIN));
    return select(is_zero(num), V(0.0), select(is_zero(den), unbounded, num / den));
}

template <class V>
inline V rc_param_left(V x_l, V x_r, V y_l, V y_r, V d_l, V d_r, V second_deriv_l) noexcept {
    const V h = x_r - x_l;
    return rc_param(h * second_deriv_l / 2.0 + (d_r - d_l), (y_r - y_l) / h - d_l);
}

template <class V>
inline V rc_param_right(V x_l, V x_r, V y_l, V y_r, V d_l, V d_r, V second_deriv_r) noexcept {
    const V h = x_r - x_l;
    return rc_param(h * second_deriv_r / 2.0 + (d_r - d_l), d_r - (y_r - y_l) / h);
}

// Smallest shape-preserving control parameter (_rc_min_param).
template <class V>
inline V rc_min_param(V d_l, V d_r, V s, bool prefer_shape) noexcept {
    using M = mask_t<V>;
    const M monotonic = d_l * s >= 0.0 && d_r * s >= 0.0;
    const M convex = d_l <= s && s <= d_r;
    const M concave = d_l >= s && s >= d_r;
    const V d_r_m_d_l = d_r - d_l;
    const V d_r_m_s = d_r - s;
    const V s_m_d_l = s - d_l;
    const V no_bound(-_DBL_MAX);
    const V shape_bound = prefer_shape ? V(_RC_MAX) : no_bound;
    const V r1 = select(monotonic, select(is_zero(s), shape_bound, (d_r + d_l) / s), no_bound);
    const V q_r = vabs(d_r_m_d_l / d_r_m_s);
    const V q_l = vabs(d_r_m_d_l / s_m_d_l);
    const V curvature_bound =
        select(is_zero(s_m_d_l) || is_zero(d_r_m_s), shape_bound, select(q_l > q_r, q_l, q_r));
    const V r2 =
        select(convex || concave, curvature_bound, select(monotonic, shape_bound, no_bound));
    const V mx = select(r2 < r1, r1, r2);
    const V bounded = select(V(_RC_MIN) > mx, V(_RC_MIN), mx);
    return select(!monotonic && !convex && !concave, V(_RC_MIN), bounded);
}

namespace detail {

// r, or the smallest control parameter that keeps the interpolant of the
// data convex (or concave) and monotonic where r is below it.
template <class V>
inline V at_least_min_param(V r, V x_l, V x_r, V y_l, V y_r, V d_l, V d_r, bool pref) noexcept {
    const V r_min = rc_min_param(d_l, d_r, (y_r - y_l) / (x_r - x_l), pref);
    return select(r_min < r, r, r_min);
}

}  // namespace detail

template <class V>
inline V convex_rc_left(V x_l, V x_r, V y_l, V y_r, V d_l, V d_r, V sd2l, bool pref) noexcept {
    return detail::at_least_min_param(rc_param_left(x_l, x_r, y_l, y_r, d_l, d_r, sd2l), x_l, x_r,
                                      y_l, y_r, d_l, d_r, pref);
}

template <class V>
inline V convex_rc_right(V x_l, V x_r, V y_l, V y_r, V d_l, V d_r, V sd2r, bool pref) noexcept {
    return detail::at_least_min_param(rc_param_right(x_l, x_r, y_l, y_r, d_l, d_r, sd2r), x_l, x_r,
                                      y_l, y_r, d_l, d_r, pref);
}

}  // namespace quelta::simd
