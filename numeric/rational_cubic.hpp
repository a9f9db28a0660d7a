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
// derivative at one end (_rc_param_left/right), then raise it to the smallest
// value that keeps the monotonicity and convexity of the data
// (_rc_min_param). Division by zero is avoided by the _is_zero tests, which
// treat subnormal numbers as zero.
#pragma once

#include "numeric/simd/rational_cubic.hpp"

namespace quelta {

// The scalar functions are the width-one instances of
// numeric/simd/rational_cubic.hpp, which every path of the core runs.

// 1 if |x| < _DBL_MIN (zero or subnormal), else 0; 0 for NaN.
inline int _is_zero(double x) noexcept {
    return simd::is_zero(x) ? 1 : 0;
}

// The interpolant at x. A zero-width interval gives the mean of the end
// values whatever x and r are; outside [x_l, x_r] the formula extrapolates.
// A NaN r goes through the rational formula.
inline double _rc_interp(double x, double x_l, double x_r, double y_l, double y_r, double d_l,
                         double d_r, double r) noexcept {
    return simd::rc_interp(x, x_l, x_r, y_l, y_r, d_l, d_r, r);
}

// Control parameter for which the interpolant's second derivative at x_l is
// second_deriv_l. A vanishing denominator means no finite r fits: the sign of
// the numerator then picks the linear or the lowest parameter.
inline double _rc_param_left(double x_l, double x_r, double y_l, double y_r, double d_l, double d_r,
                             double second_deriv_l) noexcept {
    return simd::rc_param_left(x_l, x_r, y_l, y_r, d_l, d_r, second_deriv_l);
}

// As _rc_param_left, for the second derivative at x_r.
inline double _rc_param_right(double x_l, double x_r, double y_l, double y_r, double d_l,
                              double d_r, double second_deriv_r) noexcept {
    return simd::rc_param_right(x_l, x_r, y_l, y_r, d_l, d_r, second_deriv_r);
}

// Smallest control parameter that keeps the shape of the data with end slopes
// d_l, d_r and secant slope s: monotone data stay monotone, convex or concave
// data keep their curvature. With prefer_shape, a bound that would need a
// division by zero, and monotone data whose end slopes disagree with the
// secant, ask for the chord (_RC_MAX); without it such a bound is dropped.
inline double _rc_min_param(double d_l, double d_r, double s, int prefer_shape) noexcept {
    return simd::rc_min_param(d_l, d_r, s, prefer_shape != 0);
}

// Parameter fitted to the second derivative sd2l at x_l, raised to the
// shape-preserving minimum when below it (or NaN).
inline double _convex_rc_left(double x_l, double x_r, double y_l, double y_r, double d_l,
                              double d_r, double sd2l, int pref) noexcept {
    return simd::convex_rc_left(x_l, x_r, y_l, y_r, d_l, d_r, sd2l, pref != 0);
}

// As _convex_rc_left, fitted to the second derivative sd2r at x_r.
inline double _convex_rc_right(double x_l, double x_r, double y_l, double y_r, double d_l,
                               double d_r, double sd2r, int pref) noexcept {
    return simd::convex_rc_right(x_l, x_r, y_l, y_r, d_l, d_r, sd2r, pref != 0);
}

}  // namespace quelta
