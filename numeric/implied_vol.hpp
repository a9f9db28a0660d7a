// Black implied volatility of an undiscounted European option price.
//
// _implied_vol_scalar screens the price against the no-arbitrage band, strips
// the intrinsic value of an in-the-money option (put-call parity) and hands
// the normalised out-of-the-money price beta = price/sqrt(F K) at log-moneyness
// x = ln(F/K) to the solver (_converged_solver; _unchecked_solver runs a
// fixed number of passes).
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
// _IV_MAX_ITER = 2 third-order Householder steps follow, on an objective
// chosen per segment (1/ln b in segment 1, b itself in the middle,
// ln(b_max - b) near the top) and guarded by a bracket with bisection. They
// reach full double precision almost everywhere; where they have not
// converged (judged from the last step and the bracket, see
// detail::converged; at x = -99, s = 22.7 or x = -244.4, s = 29.13 the
// segment-4 guess is too far off), _converged_solver continues the same loop
// for at most _IV_EXTRA_ITER more passes, and a solve that still has not
// converged gives 0, not a number. A solve that converged in two passes keeps
// their result exactly. The segment-4 quadratic fallback and its middle loop
// are reached only for x below about -1415 (where the vega at s_c falls below
// _DBL_MIN) or a NaN price. The segment-1 quadratic takes over for |x| of a
// few hundred and beta many decades below b_l, where the cubic guess is a
// rounding-dominated difference of large terms and may come out negative.
//
// Scale: the problem is homogeneous in (price, F, K), and only two
// intermediate values can leave the normal range. The quotient F/K: where it
// is not normal, x is taken as ln F - ln K. And beta itself: a normal price
// whose beta is below DBL_MIN is solved from ln beta, formed without
// underflow, by the segment-1 steps on ln b and b'/b
// (_log_normalised_black_call), which never form b.
#pragma once

#include <cmath>
#include <cstdint>

#include "numeric/constants.hpp"
#include "numeric/normal.hpp"
#include "numeric/normalised_black.hpp"
#include "numeric/rational_cubic.hpp"

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

// State of one solve between Householder passes: the current s, the last
// step ds and the one before it, the bracket around the root, the price b and
// vega bp at the last evaluated s, and the pass and reversal counters. A loop
// run with a larger bound continues exactly where a shorter run stopped.
struct Iteration {
    double s = 0.0;
    double s_left = 0.0;
    double s_right = 0.0;
    double ds = -_DBL_MAX;  // passes the first tolerance test
    double ds_previous = 0.0;
    double b = 0.0;
    double bp = 0.0;
    int iterations = 0;
    int direction_reversal_count = 0;
};

// The state before the first pass: guess s inside [s_left, s_right].
inline Iteration start_at(double s, double s_left, double s_right) noexcept {
    Iteration it;
    it.s = s;
    it.s_left = s_left;
    it.s_right = s_right;
    return it;
}

// Price and vega at one s, as a loop sees them.
struct Sample {
    double b;
    double bp;
};

// b(x, s) and b'(x, s).
inline Sample black_sample(double x, double s) noexcept {
    return {_normalised_black_call(x, s), _normalised_vega(x, s)};
}

// The lower and middle loops: Householder steps from it.s until n passes in
// all. Each pass takes the sample eval(s) (b and b', or ln b and b'/b in the
// logarithmic loop), tightens the bracket by comparing its first member with
// target, and steps by step(s, first, second, s_left, s_right). A forecast
// outside the bracket, or a third reversal of direction, falls back to
// bisection.
template <class Eval, class Step>
inline void bracketed_householder(Iteration& it, double target, int n, Eval eval,
                                  Step step) noexcept {
    // A NaN s or ds fails the tolerance test and stops the loop.
    while (it.iterations < n && std::fabs(it.ds) > _DBL_EPS * it.s) {
        if (it.ds * it.ds_previous < 0) ++it.direction_reversal_count;
        if (it.iterations > 0 &&
            (it.direction_reversal_count == 3 || !(it.s_left < it.s && it.s < it.s_right))) {
            it.s = (it.s_left + it.s_right) / 2;
            if (it.s_right - it.s_left <= _DBL_EPS * it.s) break;
            it.direction_reversal_count = 0;
            it.ds = 0;
        }
        it.ds_previous = it.ds;
        const Sample sample = eval(it.s);
        it.b = sample.b;
        it.bp = sample.bp;
        tighten_bracket(it.b, target, it.s, it.s_left, it.s_right);
        it.ds = step(it.s, it.b, it.bp, it.s_left, it.s_right);
        // Never more than halve s; a NaN step passes and ends the loop.
        if (it.ds < -it.s / 2) it.ds = -it.s / 2;
        it.s = it.s + it.ds;
        ++it.iterations;
    }
}

// The Householder step on g(s) = 1/ln b(s) - 1/ln beta from ln b and b'/b.
inline double lower_step(double x, double s, double ln_beta, double ln_b, double bpob) noexcept {
    const double b_halley = black_halley(x, s);
    const double newton = (ln_beta - ln_b) * ln_b / ln_beta / bpob;
    const double halley = b_halley - bpob * (1 + 2 / ln_b);
    const double h_over_s = x / s / s;
    const double b_hh3 = b_halley * b_halley - 3 * (h_over_s * h_over_s) - 0.25;
    const double hh3 = b_hh3 + 2 * bpob * bpob * (1 + (3 / ln_b) * (1 + 1 / ln_b)) -
                       3 * b_halley * bpob * (1 + 2 / ln_b);
    return newton * _householder_factor(newton, halley, hh3);
}

// Segment 1: Householder steps on g(s) = 1/ln b(s) - 1/ln beta, which is
// close to linear in s where b is exponentially small.
inline void lower_loop(Iteration& it, double beta, double x, int n) noexcept {
    const double ln_beta = std::log(beta);
    bracketed_householder(
        it, beta, n, [x](double s) noexcept { return black_sample(x, s); },
        [x, ln_beta](double s_, double b, double bp, double s_l, double s_r) noexcept {
            if (b <= 0 || bp <= 0) return (s_l + s_r) / 2 - s_;
            return lower_step(x, s_, ln_beta, std::log(b), bp / b);
        });
}

// Segment 1 below DBL_MIN: the same steps with ln b and b'/b taken in
// logarithms, so that neither the price nor b ever underflows; the bracket is
// tightened on ln b against ln beta.
inline void log_lower_loop(Iteration& it, double ln_beta, double x, int n) noexcept {
    bracketed_householder(
        it, ln_beta, n,
        [x](double s) noexcept {
            const LogBlackCall v = _log_normalised_black_call(x, s);
            return Sample{v.log_b, v.vega_over_b};
        },
        [x, ln_beta](double s_, double ln_b, double bpob, double s_l, double s_r) noexcept {
            if (!(ln_b > -_DBL_MAX && bpob > 0)) return (s_l + s_r) / 2 - s_;
            return lower_step(x, s_, ln_beta, ln_b, bpob);
        });
}

// Segments 2 and 3 (and 4 below b_max/2): Householder steps on g(s) = b(s) - beta.
// There is no guard against a zero vega here.
inline void middle_loop(Iteration& it, double beta, double x, int n) noexcept {
    bracketed_householder(
        it, beta, n, [x](double s) noexcept { return black_sample(x, s); },
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
inline void upper_loop(Iteration& it, double beta, double x, double b_max, int n) noexcept {
    while (it.iterations < n && std::fabs(it.ds) > _DBL_EPS * it.s) {
        if (it.iterations > 0 && !(it.s_left < it.s && it.s < it.s_right)) {
            it.s = (it.s_left + it.s_right) / 2;
        }
        if (it.s_right - it.s_left <= _DBL_EPS * it.s) break;
        const double s = it.s;
        const double b = _normalised_black_call(x, s);
        const double bp = _normalised_vega(x, s);
        it.b = b;
        it.bp = bp;
        tighten_bracket(b, beta, s, it.s_left, it.s_right);
        double ds;
        if (b >= b_max || bp <= _DBL_MIN) {
            ds = (it.s_left + it.s_right) / 2 - s;
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
        it.ds = ds;
        it.s = s + ds;
        ++it.iterations;
    }
}

// Which loop refines the guess of a segment.
enum class Loop { lower, middle, upper, log_lower };

// A solve in progress: its loop, the normalised price (its logarithm in the
// loop log_lower) and log-moneyness it inverts (x <= 0), b_max = e^(x/2) and
// the iteration state.
struct Solve {
    Loop loop;
    double beta;
    double x;
    double b_max;
    Iteration it;
};

// Runs the solve's loop until n passes in all (or until it stops by itself).
inline void iterate(Solve& solve, int n) noexcept {
    switch (solve.loop) {
        case Loop::lower:
            lower_loop(solve.it, solve.beta, solve.x, n);
            break;
        case Loop::middle:
            middle_loop(solve.it, solve.beta, solve.x, n);
            break;
        case Loop::upper:
            upper_loop(solve.it, solve.beta, solve.x, solve.b_max, n);
            break;
        case Loop::log_lower:
            log_lower_loop(solve.it, solve.beta, solve.x, n);
            break;
    }
}

// Sets up the solve of beta at x for the option of kind q: a put is reduced to
// a call, the segment of beta chosen and its guess and bracket built. Returns
// false when there is nothing to iterate, with the solver's answer in done: a
// value <= 0 when beta <= 0 and _DBL_MAX when beta >= b_max.
inline bool start_solve(double beta, double x, double q, Solve& solve, double& done) noexcept {
    if (q < 0) x = -x;
    // x <= 0 from here on: beta is an out-of-the-money call.
    done = 0.0;
    if (beta <= 0) return false;
    const double b_max = std::exp(x / 2);
    done = _DBL_MAX;
    if (beta >= b_max) return false;

    solve.beta = beta;
    solve.x = x;
    solve.b_max = b_max;
    double f = -_DBL_MAX;
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
            solve.loop = Loop::lower;
            solve.it = start_at(_inverse_f_lower_map(x, f), _DBL_MIN, s_l);
            return true;
        }
        const double v_l = _normalised_vega(x, s_l);
        const double r_lm = _convex_rc_right(b_l, b_c, s_l, s_c, 1 / v_l, 1 / v_c, 0.0, 0);
        solve.loop = Loop::middle;
        solve.it = start_at(_rc_interp(beta, b_l, b_c, s_l, s_c, 1 / v_l, 1 / v_c, r_lm), s_l, s_c);
        return true;
    }

    // At or above the inflection point, or a NaN beta: the tangent at s_c
    // reaches b_max at s_h, unless the vega there vanishes.
    const double s_h = v_c > _DBL_MIN ? s_c + (b_max - b_c) / v_c : s_c;
    const double b_h = _normalised_black_call(x, s_h);
    if (beta <= b_h) {
        const double v_h = _normalised_vega(x, s_h);
        const double r_hm = _convex_rc_left(b_c, b_h, s_c, s_h, 1 / v_c, 1 / v_h, 0.0, 0);
        solve.loop = Loop::middle;
        solve.it = start_at(_rc_interp(beta, b_c, b_h, s_c, s_h, 1 / v_c, 1 / v_h, r_hm), s_c, s_h);
        return true;
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
    solve.loop = beta > b_max / 2 ? Loop::upper : Loop::middle;
    solve.it = start_at(_inverse_f_upper_map(f), s_h, _DBL_MAX);
    return true;
}

// Convergence of a solve after its passes. The steps converge with order
// four, so a last Householder step of relative size r leaves an error of
// about C r^4; C reaches a few hundred where |x|/s is large (x = -965.6,
// s = 41.4: a last step of 1.1e-4 leaves 166 ulp), so step_constant bounds
// it. The solve has converged when step_constant r^4 is below DBL_EPSILON,
// or below the rounding noise of b itself seen through the vega,
// DBL_EPSILON b/(b' s) (noise_steps of it), which no step can beat. A step above noise_cap is no
// convergence whatever the noise, and a bisection step (b or b' not positive
// where it was taken) proves nothing. A bracket closed to DBL_EPSILON s (where
// the loops stop by bisection) is convergence too.
inline constexpr double step_constant = 1024.0;
inline constexpr double noise_steps = 16.0;
inline constexpr double noise_cap = 0x1p-10;

// Whether the solve has converged, as above. A NaN s is converged only for a
// NaN price, which it reproduces.
inline bool converged(const Solve& solve) noexcept {
    const Iteration& it = solve.it;
    if (std::isnan(it.s)) return std::isnan(solve.beta);
    if (it.s_right - it.s_left <= _DBL_EPS * it.s) return true;
    // b/b' where the last step was taken (the loop log_lower keeps ln b, b'/b).
    double b_over_bp;
    if (solve.loop == Loop::log_lower) {
        if (!(it.b > -_DBL_MAX && it.bp > 0)) return false;
        b_over_bp = 1 / it.bp;
    } else {
        if (!(it.b > 0 && it.bp > 0)) return false;
        b_over_bp = it.b / it.bp;
    }
    const double r = std::fabs(it.ds) / it.s;
    const double noise = noise_steps * _DBL_EPS * b_over_bp / it.s;
    const double r2 = r * r;
    return r <= noise_cap && step_constant * (r2 * r2) <= (noise > _DBL_EPS ? noise : _DBL_EPS);
}

// Sets up the solve of a normalised price below DBL_MIN, given by its
// logarithm ln_beta, at x for the option of kind q. Such a price lies far
// below b_l, in segment 1; its guess is the lower map inverted at f = beta
// (the map starts with slope 1 at price 0), taken in logarithms, and the
// root lies below s_c, where b is normal. Returns false when the guess is not
// a positive normal volatility (x so close to 0 that the volatility itself
// is subnormal), for the plain solver to answer.
inline bool start_log_solve(double ln_beta, double x, double q, Solve& solve) noexcept {
    if (q < 0) x = -x;
    // At or above b_max = e^(x/2) (only for x below -1416) the plain solver answers.
    if (!(ln_beta < x / 2)) return false;
    const double ax = std::fabs(x);
    const double cbrt_val = std::exp((ln_beta - std::log(_TWO_PI_OVER_SQRT_27 * ax)) / 3);
    const double s = std::fabs(x / (_SQRT_THREE * _inverse_norm_cdf(cbrt_val)));
    const double s_c = std::sqrt(2 * ax);
    if (!(s >= _DBL_MIN && s < s_c)) return false;
    solve.loop = Loop::log_lower;
    solve.beta = ln_beta;
    solve.x = x;
    solve.b_max = std::exp(x / 2);
    solve.it = start_at(s, _DBL_MIN, s_c);
    return true;
}

}  // namespace detail

// Normalised volatility s with b(x, s) = beta for the option of kind q (only
// the sign is read: negative for a put), after exactly the first N Householder
// passes of the segment's loop (fewer if it stops by itself). Returns a value
// <= 0 when beta <= 0 and _DBL_MAX when beta >= b_max; the caller guarantees
// that beta holds no intrinsic value (q x <= 0).
inline double _unchecked_solver(double beta, double x, double q, int N) noexcept {
    detail::Solve solve{};
    double done;
    if (!detail::start_solve(beta, x, q, solve, done)) return done;
    detail::iterate(solve, N);
    return solve.it.s;
}

// Householder passes allowed after the first _IV_MAX_ITER when those have not
// converged; the continuation is bracketed like the first passes.
inline constexpr int _IV_EXTRA_ITER = 8;

// As _unchecked_solver with _IV_MAX_ITER passes, but checked: a solve whose
// first passes have not converged continues for at most _IV_EXTRA_ITER more,
// and one that has still not converged gives 0 (not solved).
inline double _converged_solver(double beta, double x, double q) noexcept {
    detail::Solve solve{};
    double done;
    if (!detail::start_solve(beta, x, q, solve, done)) return done;
    detail::iterate(solve, _IV_MAX_ITER);
    if (detail::converged(solve)) return solve.it.s;
    detail::iterate(solve, _IV_MAX_ITER + _IV_EXTRA_ITER);
    return detail::converged(solve) ? solve.it.s : 0.0;
}

// The normalised volatility of a normalised price below DBL_MIN given by its
// logarithm ln_beta (the price itself would have lost bits to underflow), as
// _converged_solver: 0 when the solve does not converge; -1 when the
// volatility is itself below DBL_MIN, where ln_beta holds no more than the
// subnormal beta does.
inline double _log_converged_solver(double ln_beta, double x, double q) noexcept {
    detail::Solve solve{};
    if (!detail::start_log_solve(ln_beta, x, q, solve)) return -1.0;
    detail::iterate(solve, _IV_MAX_ITER + _IV_EXTRA_ITER);
    return detail::converged(solve) ? solve.it.s : 0.0;
}

namespace detail {

// ln(a/b) for positive normal a and b, accurate also where a/b underflows:
// ln(ma/mb) + (ea - eb) ln 2 with a = ma 2^ea and b = mb 2^eb, and ln 2 split
// so that (ea - eb) ln2_hi is exact (fdlibm's split of ln 2).
inline double log_quotient(double a, double b) noexcept {
    constexpr double ln2_hi = 6.93147180369123816490e-01;  // 0x3FE62E42FEE00000
    constexpr double ln2_lo = 1.90821492927058770002e-10;  // 0x3DEA39EF35793C76
    int ea = 0;
    int eb = 0;
    const double ma = std::frexp(a, &ea);
    const double mb = std::frexp(b, &eb);
    const double k = static_cast<double>(ea - eb);
    return (std::log(ma / mb) + k * ln2_lo) + k * ln2_hi;
}

}  // namespace detail

// Implied total volatility of an undiscounted price of a call (q >= 0) or a put
// (q < 0) on forward F with strike K; 0.0 for every price it cannot use, NaN
// for a NaN price.
inline double _implied_vol_scalar(double price, double F, double K, std::int32_t q) noexcept {
    // Only the sign of q is read; q = 0 counts as a call, so that an
    // in-the-money q = 0 loses its intrinsic value like any other call. The
    // flag is carried as +-1.0 and the int32 is never negated.
    double kind = q < 0 ? -1.0 : 1.0;
    // Ordered comparisons: a NaN operand makes them false.
    const double intrinsic = kind < 0 ? (K > F ? K - F : 0.0) : (K < F ? F - K : 0.0);
    if (price < intrinsic) return 0.0;
    if (price >= (kind < 0 ? K : F)) return 0.0;

    // ln F - ln K where the quotient F/K over- or underflows (or is
    // subnormal) and would lose the log-moneyness.
    const double ratio = F / K;
    const double x = std::isnormal(ratio) ? std::log(ratio) : std::log(F) - std::log(K);
    if (kind * x > 0) {
        // In the money: the out-of-the-money option of the same strike has the
        // time value as its price. A NaN difference stays NaN.
        price = price - intrinsic;
        if (price < 0) price = 0.0;
        kind = -kind;
    }
    const double sqrt_fk = std::sqrt(F) * std::sqrt(K);
    const double beta = price / sqrt_fk;
    // A normalised price below DBL_MIN has lost bits (or all of them) to
    // underflow: solve it from its logarithm instead.
    double result = -1.0;
    if (beta < _DBL_MIN && price > 0) {
        result = _log_converged_solver(detail::log_quotient(price, sqrt_fk), x, kind);
    }
    if (result < 0) result = _converged_solver(beta, x, kind);
    if (result >= _DBL_MAX || result <= 0) return 0.0;
    return result;
}

}  // namespace quelta
