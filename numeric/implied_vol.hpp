// Black implied volatility of an undiscounted European option price.
//
// _implied_vol_scalar screens the price against the no-arbitrage band, strips
// the intrinsic value of an in-the-money option (put-call parity) and hands
// the normalised out-of-the-money price beta = price/sqrt(F K) at log-moneyness
// x = ln(F/K) to _unchecked_solver.
//
// The solver reduces a put to a call (x <= 0), then places beta among three
// reference prices on the curve s -> b(x, s): b_c at the inflection point
// s_c = sqrt(2|x|), and b_l, b_h where the tangent at s_c meets price 0 and the
// upper limit b_max = e^(x/2). Each of the four segments gets its own initial
// guess by rational cubic interpolation:
//   1  beta < b_l            on the lower map, a transform of the price that
//                            is nearly linear near 0 and has a closed-form
//                            inverse; the curve itself is too flat there;
//   2  b_l <= beta < b_c     s directly as a function of beta;
//   3  b_c <= beta <= b_h    likewise;
//   4  beta > b_h            on the upper map, Phi(-s/2), which behaves well
//                            as beta approaches b_max.
// At most _IV_MAX_ITER = 2 third-order Householder steps follow, on an
// objective chosen per segment (1/ln b in segment 1, b itself in the middle,
// ln(b_max - b) near the top) and guarded by a bracket with bisection. Two
// steps reach full double precision for |x| up to about 100. Beyond that the
// segment-4 guess can be too far off: for x = -244.4, s = 29.13 it is 31.79,
// where b is within an ulp of b_max, and two steps only reach 30.15. The
// segment-4 quadratic fallback and its middle loop are reached only for x
// below about -1415 (where the vega at s_c falls below _DBL_MIN) or a NaN
// price. The segment-1 quadratic takes over for |x| of a few hundred and beta
// many decades below b_l, where the cubic guess is a rounding-dominated
// difference of large terms and may come out negative.
#pragma once

#include <cmath>
#include <cstdint>

#include "numeric/constants.hpp"
#include "numeric/normal.hpp"
#include "numeric/normalised_black.hpp"
#include "numeric/rational_cubic.hpp"
#include "numeric/simd/implied_vol.hpp"

namespace quelta {

// Householder factor of third order: a step is newton * factor, where for an
// objective g, newton = -g/g', halley = g''/g' and hh3 = g'''/g'.
inline double _householder_factor(double newton, double halley, double hh3) noexcept {
    return (1 + halley * newton / 2) / (1 + newton * (halley + hh3 * newton / 6));
}

// Lower map f = 2 pi/sqrt(27) |x| Phi(-z)^3 with z = |x|/(sqrt(3) s); writes
// its first and second derivatives with respect to the price b(x, s).
inline double _compute_f_lower_map(double x, double s, double& fp, double& fpp) noexcept {
    const double ax = std::fabs(x);
    const double z = _SQRT_ONE_OVER_THREE * ax / s;
    const double y = z * z;
    const double s2 = s * s;
    const double Phi = _norm_cdf(-z);
    const double phi = _norm_pdf(z);
    fpp = _PI_OVER_SIX * y / (s2 * s) * Phi *
          (8 * _SQRT_THREE * s * ax + (3 * s2 * (s2 - 8) - 8 * (x * x)) * Phi / phi) *
          std::exp(2 * y + s2 / 4);
    const double Phi2 = Phi * Phi;
    fp = _TWO_PI * y * Phi2 * std::exp(y + s2 / 8);
    return _TWO_PI_OVER_SQRT_27 * ax * Phi2 * Phi;
}

// The volatility whose lower-map value is f; 0 when f (or f scaled by |x|)
// is not positive.
inline double _inverse_f_lower_map(double x, double f) noexcept {
    if (f <= 0) return 0.0;
    const double tmp = f / (_TWO_PI_OVER_SQRT_27 * std::fabs(x));
    if (tmp <= 0) return 0.0;
    const double cbrt_val = std::exp(std::log(tmp) / 3);
    return std::fabs(x / (_SQRT_THREE * _inverse_norm_cdf(cbrt_val)));
}

// Upper map f = Phi(-s/2), with its first and second derivatives with respect
// to the price b(x, s).
inline double _compute_f_upper_map(double x, double s, double& fp, double& fpp) noexcept {
    const double f = _norm_cdf(-s / 2);
    const double h = x / s;
    const double w = h * h;
    fp = -std::exp(w / 2) / 2;
    fpp = _SQRT_PI_OVER_TWO * std::exp(w + s * s / 8) * w / s;
    return f;
}

inline double _inverse_f_upper_map(double f) noexcept {
    return -2 * _inverse_norm_cdf(f);
}

namespace detail {

// The term (x/s^2)^2 of the Householder steps on b and on ln(b_max - b),
// with x/s^2 formed as x/(s s). At the money it is 0 even once s s
// underflows, where the quotient would be 0/0.
inline double x_over_s_squared(double x, double s) noexcept {
    return x == 0.0 ? 0.0 : x / (s * s);
}

// b''/b' = (x/s)^2/s - s/4 of the normalised Black call.
inline double black_halley(double x, double s) noexcept {
    const double h = x / s;
    return h * h / s - s / 4;
}

// b'''/b' = halley^2 - 3 (x/s^2)^2 - 1/4, from halley = b''/b'.
inline double black_hh3(double x, double s, double halley) noexcept {
    const double xs2 = x_over_s_squared(x, s);
    return halley * halley - 3 * (xs2 * xs2) - 0.25;
}

// Narrows [s_left, s_right] with the price b at s: s lies above the root when
// b > beta and below it when b < beta.
inline void tighten_bracket(double b, double beta, double s, double& s_left,
                            double& s_right) noexcept {
    if (b > beta && s < s_right) {
        s_right = s;
    } else if (b < beta && s > s_left) {
        s_left = s;
    }
}

// The lower and middle loops: at most n Householder steps from s, each given
// by step(s, b, bp, s_left, s_right) with b = b(x, s) and bp = b'(x, s) and the
// bracket already tightened around the root. A forecast outside the bracket,
// or a third reversal of direction, falls back to bisection. Returns the last s.
template <class Step>
inline double bracketed_householder(double beta, double x, int n, double s, double s_left,
                                    double s_right, Step step) noexcept {
    double ds = -_DBL_MAX;  // passes the first test
    double ds_previous = 0.0;
    int iterations = 0;
    int direction_reversal_count = 0;
    // A NaN s or ds fails the tolerance test and stops the loop.
    while (iterations < n && std::fabs(ds) > _DBL_EPS * s) {
        if (ds * ds_previous < 0) ++direction_reversal_count;
        if (iterations > 0 && (direction_reversal_count == 3 || !(s_left < s && s < s_right))) {
            s = (s_left + s_right) / 2;
            if (s_right - s_left <= _DBL_EPS * s) break;
            direction_reversal_count = 0;
            ds = 0;
        }
        ds_previous = ds;
        const double b = _normalised_black_call(x, s);
        const double bp = _normalised_vega(x, s);
        tighten_bracket(b, beta, s, s_left, s_right);
        ds = step(s, b, bp, s_left, s_right);
        // Never more than halve s; a NaN step passes and ends the loop.
        if (ds < -s / 2) ds = -s / 2;
        s = s + ds;
        ++iterations;
    }
    return s;
}

// Segment 1: Householder steps on g(s) = 1/ln b(s) - 1/ln beta, which is
// close to linear in s where b is exponentially small.
inline double lower_loop(double beta, double x, int n, double s, double s_left,
                         double s_right) noexcept {
    const double ln_beta = std::log(beta);
    return bracketed_householder(
        beta, x, n, s, s_left, s_right,
        [x, ln_beta](double s_, double b, double bp, double s_l, double s_r) noexcept {
            if (b <= 0 || bp <= 0) return (s_l + s_r) / 2 - s_;
            const double ln_b = std::log(b);
            const double bpob = bp / b;
            const double b_halley = black_halley(x, s_);
            const double newton = (ln_beta - ln_b) * ln_b / ln_beta / bpob;
            const double halley = b_halley - bpob * (1 + 2 / ln_b);
            const double h_over_s = x / s_ / s_;
            const double b_hh3 = b_halley * b_halley - 3 * (h_over_s * h_over_s) - 0.25;
            const double hh3 = b_hh3 + 2 * bpob * bpob * (1 + (3 / ln_b) * (1 + 1 / ln_b)) -
                               3 * b_halley * bpob * (1 + 2 / ln_b);
            return newton * _householder_factor(newton, halley, hh3);
        });
}

// Segments 2 and 3 (and 4 below b_max/2): Householder steps on g(s) = b(s) - beta.
// There is no guard against a zero vega here.
inline double middle_loop(double beta, double x, int n, double s, double s_left,
                          double s_right) noexcept {
    return bracketed_householder(
        beta, x, n, s, s_left, s_right,
        [x, beta](double s_, double b, double bp, double, double) noexcept {
            const double newton = (beta - b) / bp;
            const double halley = black_halley(x, s_);
            const double hh3 = black_hh3(x, s_, halley);
            return newton * _householder_factor(newton, halley, hh3);
        });
}

// Segment 4 above b_max/2: Householder steps on
// g(s) = ln((b_max - beta)/(b_max - b(s))), which stays well scaled as b
// approaches b_max. Unlike the other loops it counts no direction reversals
// and checks the bracket width on every pass.
inline double upper_loop(double beta, double x, double b_max, int n, double s, double s_left,
                         double s_right) noexcept {
    double ds = -_DBL_MAX;
    int iterations = 0;
    while (iterations < n && std::fabs(ds) > _DBL_EPS * s) {
        if (iterations > 0 && !(s_left < s && s < s_right)) s = (s_left + s_right) / 2;
        if (s_right - s_left <= _DBL_EPS * s) break;
        const double b = _normalised_black_call(x, s);
        const double bp = _normalised_vega(x, s);
        tighten_bracket(b, beta, s, s_left, s_right);
        if (b >= b_max || bp <= _DBL_MIN) {
            ds = (s_left + s_right) / 2 - s;
        } else {
            const double b_max_minus_b = b_max - b;
            const double g = std::log((b_max - beta) / b_max_minus_b);
            const double gp = bp / b_max_minus_b;
            const double b_halley = black_halley(x, s);
            const double b_hh3 = black_hh3(x, s, b_halley);
            const double newton = -g / gp;
            const double halley = b_halley + gp;
            const double hh3 = b_hh3 + gp * (2 * gp + 3 * b_halley);
            ds = newton * _householder_factor(newton, halley, hh3);
        }
        if (ds < -s / 2) ds = -s / 2;
        s = s + ds;
        ++iterations;
    }
    return s;
}

}  // namespace detail

// Normalised volatility s with b(x, s) = beta for the option of kind q (only
// the sign is read: negative for a put), at most n Householder steps.
// Returns a value <= 0 when beta <= 0 and _DBL_MAX when beta >= b_max; the
// caller guarantees that beta holds no intrinsic value (q x <= 0).
inline double _unchecked_solver(double beta, double x, double q, int N) noexcept {
    if (q < 0) x = -x;
    // x <= 0 from here on: beta is an out-of-the-money call.
    if (beta <= 0) return 0.0;
    const double b_max = std::exp(x / 2);
    if (beta >= b_max) return _DBL_MAX;

    double s = -_DBL_MAX;
    double f = -_DBL_MAX;
    double s_left = _DBL_MIN;
    double s_right = _DBL_MAX;
    double fp = 0.0;
    double fpp = 0.0;

    const double s_c = std::sqrt(std::fabs(2 * x));
    const double b_c = _normalised_black_call(x, s_c);
    const double v_c = _normalised_vega(x, s_c);

    if (beta < b_c) {
        // Below the inflection point: the tangent at s_c meets price 0 at s_l.
        const double s_l = s_c - b_c / v_c;
        const double b_l = _normalised_black_call(x, s_l);
        if (beta < b_l) {
            const double f_lower = _compute_f_lower_map(x, s_l, fp, fpp);
            const double r_ll = _convex_rc_right(0.0, b_l, 0.0, f_lower, 1.0, fp, fpp, 1);
            f = _rc_interp(beta, 0.0, b_l, 0.0, f_lower, 1.0, fp, r_ll);
            if (!(f > 0)) {
                // Quadratic with f(0) = 0, f'(0) = 1, f(b_l) = f_lower.
                const double t = beta / b_l;
                f = (f_lower * t + b_l * (1 - t)) * t;
            }
            s = _inverse_f_lower_map(x, f);
            s_right = s_l;
            return detail::lower_loop(beta, x, N, s, s_left, s_right);
        }
        const double v_l = _normalised_vega(x, s_l);
        const double r_lm = _convex_rc_right(b_l, b_c, s_l, s_c, 1 / v_l, 1 / v_c, 0.0, 0);
        s = _rc_interp(beta, b_l, b_c, s_l, s_c, 1 / v_l, 1 / v_c, r_lm);
        s_left = s_l;
        s_right = s_c;
        return detail::middle_loop(beta, x, N, s, s_left, s_right);
    }

    // At or above the inflection point, or a NaN beta: the tangent at s_c
    // reaches b_max at s_h, unless the vega there vanishes.
    const double s_h = v_c > _DBL_MIN ? s_c + (b_max - b_c) / v_c : s_c;
    const double b_h = _normalised_black_call(x, s_h);
    if (beta <= b_h) {
        const double v_h = _normalised_vega(x, s_h);
        const double r_hm = _convex_rc_left(b_c, b_h, s_c, s_h, 1 / v_c, 1 / v_h, 0.0, 0);
        s = _rc_interp(beta, b_c, b_h, s_c, s_h, 1 / v_c, 1 / v_h, r_hm);
        s_left = s_c;
        s_right = s_h;
        return detail::middle_loop(beta, x, N, s, s_left, s_right);
    }

    const double f_upper = _compute_f_upper_map(x, s_h, fp, fpp);
    // A NaN fpp skips the interpolation; a huge positive one makes it linear.
    if (fpp > -_SQRT_DBL_MAX) {
        const double r_hh = _convex_rc_left(b_h, b_max, f_upper, 0.0, fp, -0.5, fpp, 1);
        f = _rc_interp(beta, b_h, b_max, f_upper, 0.0, fp, -0.5, r_hh);
    }
    if (f <= 0) {
        // Quadratic with f(b_h) = f_upper, f(b_max) = 0, f'(b_max) = -1/2.
        const double h = b_max - b_h;
        const double t = (beta - b_h) / h;
        f = (f_upper * (1 - t) + h * t / 2) * (1 - t);
    }
    s = _inverse_f_upper_map(f);
    s_left = s_h;
    if (beta > b_max / 2) return detail::upper_loop(beta, x, b_max, N, s, s_left, s_right);
    return detail::middle_loop(beta, x, N, s, s_left, s_right);
}

// Implied total volatility of an undiscounted price of a call (q >= 0) or a put
// (q < 0) on forward F with strike K; 0.0 for every price it cannot use, NaN
// for a NaN price.
inline double _implied_vol_scalar(double price, double F, double K, std::int32_t q) noexcept {
    // Only the sign of q is read; q = 0 counts as a call. The batch kernel
    // runs the same code W rows at a time.
    return simd::implied_vol(price, F, K, q < 0 ? -1.0 : 1.0);
}

}  // namespace quelta
