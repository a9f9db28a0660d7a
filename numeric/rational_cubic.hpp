// Rational cubic interpolation with one control parameter.
//
// On [x_l, x_r], with values y_l, y_r and end slopes d_l, d_r, the interpolant
// in t = (x - x_l)/h, h = x_r - x_l, is
//   (y_r t^3 + (r y_r - h d_r) t^2 (1-t) + (r y_l + h d_l) t (1-t)^2 + y_l (1-t)^3)
//   / (1 + (r - 3) t (1-t)).
// It matches the end values and slopes for every r. r = 3 gives the cubic
// Hermite polynomial; as r grows the curve tends to the chord, and from
// r = _RC_MAX on the chord is used exactly. The denominator stays positive on
// [0, 1] for r > -1, which is why no chosen parameter is below _RC_MIN.
//
// The implied volatility solver picks r in two steps: fit the second
// derivative at one end (rc_param_left/right), then raise it to the smallest
// value that keeps the monotonicity and convexity of the data
// (rc_min_param). Division by zero is avoided by the is_zero tests, which
// treat subnormal numbers as zero.
//
// Generic over the lane type; all of the functions are a few operations, so
// every case is computed for every lane and the right one selected.
#pragma once

#include "numeric/constants.hpp"
#include "numeric/simd/lanes.hpp"

namespace quelta::simd {

// |x| < _DBL_MIN (zero or subnormal); false for NaN.
template <class V>
inline mask_t<V> is_zero(V x) noexcept {
    return vabs(x) < _DBL_MIN;
}

// The interpolant at x. A zero-width interval gives the mean of the end
// values whatever x and r are; outside [x_l, x_r] the formula extrapolates.
// A NaN r goes through the rational formula.
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
// derivative fit (rc_param_left and rc_param_right differ only in den). A
// vanishing denominator means no finite r fits: the sign of the numerator
// then picks the linear or the lowest parameter.
template <class V>
inline V rc_param(V num, V den) noexcept {
    const V unbounded = select(num > 0.0, V(_RC_MAX), V(_RC_MIN));
    return select(is_zero(num), V(0.0), select(is_zero(den), unbounded, num / den));
}

// Control parameter for which the interpolant's second derivative at x_l is
// second_deriv_l.
template <class V>
inline V rc_param_left(V x_l, V x_r, V y_l, V y_r, V d_l, V d_r, V second_deriv_l) noexcept {
    const V h = x_r - x_l;
    return rc_param(h * second_deriv_l / 2.0 + (d_r - d_l), (y_r - y_l) / h - d_l);
}

// As rc_param_left, for the second derivative at x_r.
template <class V>
inline V rc_param_right(V x_l, V x_r, V y_l, V y_r, V d_l, V d_r, V second_deriv_r) noexcept {
    const V h = x_r - x_l;
    return rc_param(h * second_deriv_r / 2.0 + (d_r - d_l), d_r - (y_r - y_l) / h);
}

// Smallest control parameter that keeps the shape of the data with end slopes
// d_l, d_r and secant slope s: monotone data stay monotone, convex or concave
// data keep their curvature. With prefer_shape, a bound that would need a
// division by zero, and monotone data whose end slopes disagree with the
// secant, ask for the chord (_RC_MAX); without it such a bound is dropped.
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

// The end of the interval at which a control parameter fits the second
// derivative.
enum class End { left, right };

// The parameter fitted to the second derivative second_deriv at the `end`
// of the interval (rc_param_left or rc_param_right), raised to the smallest
// one that keeps the interpolant of the data convex (or concave) and
// monotonic where it is below that (or NaN).
template <class V>
inline V convex_rc(End end, V x_l, V x_r, V y_l, V y_r, V d_l, V d_r, V second_deriv,
                   bool prefer_shape) noexcept {
    const V r = end == End::left ? rc_param_left(x_l, x_r, y_l, y_r, d_l, d_r, second_deriv)
                                 : rc_param_right(x_l, x_r, y_l, y_r, d_l, d_r, second_deriv);
    const V r_min = rc_min_param(d_l, d_r, (y_r - y_l) / (x_r - x_l), prefer_shape);
    return select(r_min < r, r, r_min);
}

}  // namespace quelta::simd
