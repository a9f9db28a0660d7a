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

#include <cmath>

#include "numeric/constants.hpp"

namespace quelta {

// 1 if |x| < _DBL_MIN (zero or subnormal), else 0; 0 for NaN.
inline int _is_zero(double x) noexcept {
    return std::fabs(x) < _DBL_MIN ? 1 : 0;
}

// The interpolant at x. A zero-width interval gives the mean of the end
// values whatever x and r are; outside [x_l, x_r] the formula extrapolates.
inline double _rc_interp(double x, double x_l, double x_r, double y_l, double y_r, double d_l,
                         double d_r, double r) noexcept {
    const double h = x_r - x_l;
    if (std::fabs(h) <= 0.0) return (y_l + y_r) / 2;
    const double t = (x - x_l) / h;
    // A NaN r fails this test and goes through the rational formula.
    if (r >= _RC_MAX) return y_r * t + y_l * (1 - t);
    const double omt = 1 - t;
    const double t2 = t * t;
    const double omt2 = omt * omt;
    return (y_r * t2 * t + (r * y_r - h * d_r) * t2 * omt + (r * y_l + h * d_l) * t * omt2 +
            y_l * omt2 * omt) /
           (1 + (r - 3) * t * omt);
}

// Control parameter for which the interpolant's second derivative at x_l is
// second_deriv_l. A vanishing denominator means no finite r fits: the sign of
// the numerator then picks the linear or the lowest parameter.
inline double _rc_param_left(double x_l, double x_r, double y_l, double y_r, double d_l, double d_r,
                             double second_deriv_l) noexcept {
    const double h = x_r - x_l;
    const double num = h * second_deriv_l / 2 + (d_r - d_l);
    if (_is_zero(num)) return 0.0;
    const double den = (y_r - y_l) / h - d_l;
    if (_is_zero(den)) return num > 0 ? _RC_MAX : _RC_MIN;
    return num / den;
}

// As _rc_param_left, for the second derivative at x_r.
inline double _rc_param_right(double x_l, double x_r, double y_l, double y_r, double d_l,
                              double d_r, double second_deriv_r) noexcept {
    const double h = x_r - x_l;
    const double num = h * second_deriv_r / 2 + (d_r - d_l);
    if (_is_zero(num)) return 0.0;
    const double den = d_r - (y_r - y_l) / h;
    if (_is_zero(den)) return num > 0 ? _RC_MAX : _RC_MIN;
    return num / den;
}

// Smallest control parameter that keeps the shape of the data with end slopes
// d_l, d_r and secant slope s: monotone data stay monotone, convex or concave
// data keep their curvature. With prefer_shape, a bound that would need a
// division by zero, and monotone data whose end slopes disagree with the
// secant, ask for the chord (_RC_MAX); without it such a bound is dropped.
inline double _rc_min_param(double d_l, double d_r, double s, int prefer_shape) noexcept {
    const bool monotonic = d_l * s >= 0 && d_r * s >= 0;
    const bool convex = d_l <= s && s <= d_r;
    const bool concave = d_l >= s && s >= d_r;
    if (!monotonic && !convex && !concave) return _RC_MIN;
    const double d_r_m_d_l = d_r - d_l;
    const double d_r_m_s = d_r - s;
    const double s_m_d_l = s - d_l;
    // -_DBL_MAX stands for "no bound".
    double r1 = -_DBL_MAX;
    double r2 = -_DBL_MAX;
    if (monotonic) {
        if (!_is_zero(s)) {
            r1 = (d_r + d_l) / s;
        } else if (prefer_shape) {
            r1 = _RC_MAX;
        }
    }
    if (convex || concave) {
        if (!(_is_zero(s_m_d_l) || _is_zero(d_r_m_s))) {
            const double q_r = std::fabs(d_r_m_d_l / d_r_m_s);
            const double q_l = std::fabs(d_r_m_d_l / s_m_d_l);
            r2 = q_l > q_r ? q_l : q_r;
        } else if (prefer_shape) {
            r2 = _RC_MAX;
        }
    } else if (monotonic && prefer_shape) {
        r2 = _RC_MAX;
    }
    const double mx = r2 < r1 ? r1 : r2;
    return _RC_MIN > mx ? _RC_MIN : mx;
}

// Parameter fitted to the second derivative sd2l at x_l, raised to the
// shape-preserving minimum when below it (or NaN).
inline double _convex_rc_left(double x_l, double x_r, double y_l, double y_r, double d_l,
                              double d_r, double sd2l, int pref) noexcept {
    const double r = _rc_param_left(x_l, x_r, y_l, y_r, d_l, d_r, sd2l);
    const double r_min = _rc_min_param(d_l, d_r, (y_r - y_l) / (x_r - x_l), pref);
    return r_min < r ? r : r_min;
}

// As _convex_rc_left, fitted to the second derivative sd2r at x_r.
inline double _convex_rc_right(double x_l, double x_r, double y_l, double y_r, double d_l,
                               double d_r, double sd2r, int pref) noexcept {
    const double r = _rc_param_right(x_l, x_r, y_l, y_r, d_l, d_r, sd2r);
    const double r_min = _rc_min_param(d_l, d_r, (y_r - y_l) / (x_r - x_l), pref);
    return r_min < r ? r : r_min;
}

}  // namespace quelta
