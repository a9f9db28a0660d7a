// Black implied volatility of an undiscounted European option price.
//
// implied_vol screens the price against the no-arbitrage band, strips
// the intrinsic value of an in-the-money option (put-call parity) and hands
// the normalised out-of-the-money price beta = price/sqrt(F K) at log-moneyness
// x = ln(F/K) to the solver (converged_solver; unchecked_solver runs a
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
// segment-4 guess is too far off), converged_solver continues the same loop
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
// (log_normalised_black_call), which never form b.
//
// The solver is written once for W options at a time (V, the lane type;
// V = double is the scalar solver, where every blend is a plain branch).
// Inside a vector, divergent lanes are handled with masks and blends:
//   - the second reference point (b_l or b_h) is one evaluation of b at a
//     per-lane s, and each segment's guess is computed when some lane of the
//     vector needs it and selected per lane;
//   - the Householder loops (lower, lower in logarithms, middle, upper) are
//     one loop whose step is blended by each lane's objective; a lane that has
//     converged or used its passes is frozen by its mask while the others go
//     on, and the loop ends when no lane is active.
// The solve is split into stages (normalise, inflection, initial_guess,
// householder) so that the batch kernel (numeric/batch.hpp) can regroup its
// rows between them by the branch they are about to take.
#pragma once

#include <cstdint>

#include "numeric/constants.hpp"
#include "numeric/normal.hpp"
#include "numeric/normalised_black.hpp"
#include "numeric/rational_cubic.hpp"
#include "numeric/simd/elementary.hpp"
#include "numeric/simd/lanes.hpp"

namespace quelta::simd {

// Householder factor of third order: a step is newton * factor, where for an
// objective g, newton = -g/g', halley = g''/g' and hh3 = g'''/g'.
template <class V>
inline V householder_factor(V newton, V halley, V hh3) noexcept {
    return (1.0 + halley * newton / 2.0) / (1.0 + newton * (halley + hh3 * newton / 6.0));
}

// A map of the price and its first and second derivatives with respect to
// the price b(x, s).
template <class V>
struct MapValue {
    V f, fp, fpp;
};

// Lower map f = 2 pi/sqrt(27) |x| Phi(-z)^3, z = |x|/(sqrt(3) s).
template <class V>
inline MapValue<V> compute_f_lower_map(V x, V s) noexcept {
    const V ax = vabs(x);
    const V z = _SQRT_ONE_OVER_THREE * ax / s;
    const V y = z * z;
    const V s2 = s * s;
    const V Phi = norm_cdf(-z);
    const V phi = norm_pdf(z);
    const V fpp =
        _PI_OVER_SIX * y / (s2 * s) * Phi *
        (8.0 * _SQRT_THREE * s * ax + (3.0 * s2 * (s2 - 8.0) - 8.0 * (x * x)) * Phi / phi) *
        simd::exp(2.0 * y + s2 / 4.0);
    const V Phi2 = Phi * Phi;
    const V fp = _TWO_PI * y * Phi2 * simd::exp(y + s2 / 8.0);
    return {_TWO_PI_OVER_SQRT_27 * ax * Phi2 * Phi, fp, fpp};
}

// The volatility whose lower-map value is f; 0 when f (or f scaled by |x|)
// is not positive.
template <class V>
inline V inverse_f_lower_map(V x, V f) noexcept {
    const V tmp = f / (_TWO_PI_OVER_SQRT_27 * vabs(x));
    const V cbrt_val = simd::exp(simd::log(tmp) / 3.0);
    const V s = vabs(x / (_SQRT_THREE * inverse_norm_cdf(cbrt_val)));
    return select(f <= 0.0 || tmp <= 0.0, V(0.0), s);
}

// Upper map f = Phi(-s/2).
template <class V>
inline MapValue<V> compute_f_upper_map(V x, V s) noexcept {
    const V h = x / s;
    const V w = h * h;
    return {norm_cdf(-s / 2.0), -simd::exp(w / 2.0) / 2.0,
            _SQRT_PI_OVER_TWO * simd::exp(w + s * s / 8.0) * w / s};
}

template <class V>
inline V inverse_f_upper_map(V f) noexcept {
    return -2.0 * inverse_norm_cdf(f);
}

namespace detail {

template <class V>
inline V black_halley(V x, V s) noexcept {
    const V h = x / s;
    return h * h / s - s / 4.0;
}

template <class V>
inline V black_hh3(V x, V s, V halley) noexcept {
    const V xs2 = select(x == 0.0, V(0.0), x / (s * s));
    return halley * halley - 3.0 * (xs2 * xs2) - 0.25;
}

// Per-lane state of the Householder iteration: the problem, the current s
// and bracket, the objective, then the last step and the one before it, the
// price b and vega bp at the last evaluated s, and the pass and reversal
// counts. A loop run with a larger bound continues where a shorter one
// stopped.
template <class V>
struct Iteration {
    using M = mask_t<V>;
    V beta, x, b_max, ln_beta;
    V s, s_left, s_right;
    M lower, upper;  // objective of each lane; the others take the middle one
    // Lanes of the lower objective in logarithms (beta and ln_beta both hold
    // ln beta): the price is below DBL_MIN and b is never formed.
    M log_lower = M();
    V ds = V(-_DBL_MAX);  // passes the first tolerance test
    V ds_previous = V(0.0);
    V b = V(0.0);
    V bp = V(0.0);
    V iterations = V(0.0);
    V reversals = V(0.0);
};

// The Householder step on g(s) = 1/ln b(s) - 1/ln beta from ln b and b'/b.
template <class V>
inline V lower_step(V x, V s, V ln_beta, V ln_b, V bpob) noexcept {
    const V b_halley = black_halley(x, s);
    const V newton = (ln_beta - ln_b) * ln_b / ln_beta / bpob;
    const V halley = b_halley - bpob * (1.0 + 2.0 / ln_b);
    const V h_over_s = x / s / s;
    const V b_hh3 = b_halley * b_halley - 3.0 * (h_over_s * h_over_s) - 0.25;
    const V hh3 = b_hh3 + 2.0 * bpob * bpob * (1.0 + (3.0 / ln_b) * (1.0 + 1.0 / ln_b)) -
                  3.0 * b_halley * bpob * (1.0 + 2.0 / ln_b);
    return newton * householder_factor(newton, halley, hh3);
}

// Step of the middle loop, on b - beta.
template <class V>
inline V middle_step(const Iteration<V>& it, V s, V b, V bp) noexcept {
    const V newton = (it.beta - b) / bp;
    const V halley = black_halley(it.x, s);
    const V hh3 = black_hh3(it.x, s, halley);
    return newton * householder_factor(newton, halley, hh3);
}

// Step of the upper loop, on ln((b_max - beta)/(b_max - b)); bisection where
// b reaches b_max or the vega vanishes.
template <class V>
inline V upper_step(const Iteration<V>& it, V s, V b, V bp) noexcept {
    const V b_max_minus_b = it.b_max - b;
    const V g = simd::log((it.b_max - it.beta) / b_max_minus_b);
    const V gp = bp / b_max_minus_b;
    const V b_halley = black_halley(it.x, s);
    const V b_hh3 = black_hh3(it.x, s, b_halley);
    const V newton = -g / gp;
    const V halley = b_halley + gp;
    const V hh3 = b_hh3 + gp * (2.0 * gp + 3.0 * b_halley);
    const V step = newton * householder_factor(newton, halley, hh3);
    return select(b >= it.b_max || bp <= _DBL_MIN, (it.s_left + it.s_right) / 2.0 - s, step);
}

// The start of a pass for the lanes in `active`: a forecast outside the
// bracket, or a third reversal of direction in the bracketed loops, falls
// back to bisection; returns the lanes still active (a bisection that finds
// the bracket closed to an ulp stops a lane, as does a closed bracket in the
// upper loop).
template <class V>
inline mask_t<V> begin_pass(Iteration<V>& it, mask_t<V> active) noexcept {
    using M = mask_t<V>;
    const M bracketed = !it.upper;
    const M reversed = active && bracketed && it.ds * it.ds_previous < 0.0;
    it.reversals = select(reversed, it.reversals + 1.0, it.reversals);
    const M outside = !(it.s_left < it.s && it.s < it.s_right);
    const M bisect =
        active && it.iterations > 0.0 && (outside || (bracketed && it.reversals == 3.0));
    it.s = select(bisect, (it.s_left + it.s_right) / 2.0, it.s);
    const M narrow = it.s_right - it.s_left <= _DBL_EPS * it.s;
    active = active && !(narrow && (bisect || it.upper));
    // A bisection that did not stop the lane starts its count afresh.
    const M restart = bisect && bracketed && active;
    it.reversals = select(restart, V(0.0), it.reversals);
    it.ds = select(restart, V(0.0), it.ds);
    return active;
}

// b and b' at s for the active lanes, ln b and b'/b in the lanes that work in
// logarithms; kept in it.b and it.bp, and the bracket narrowed with them:
// s is above the root where b > beta, below where b < beta.
template <class V>
inline void sample(Iteration<V>& it, V s, mask_t<V> active) noexcept {
    using M = mask_t<V>;
    const M plain = active && !it.log_lower;
    const M logarithmic = active && it.log_lower;
    V b(0.0), bp(0.0);
    if (any(plain)) {
        b = normalised_black_call(it.x, s);
        bp = normalised_vega(it.x, s);
    }
    if (any(logarithmic)) {
        const LogBlackCall<V> v = log_normalised_black_call(it.x, s);
        b = select(it.log_lower, v.log_b, b);
        bp = select(it.log_lower, v.vega_over_b, bp);
    }
    it.b = select(active, b, it.b);
    it.bp = select(active, bp, it.bp);
    const M above = active && b > it.beta && s < it.s_right;
    const M below = active && !above && b < it.beta && s > it.s_left;
    it.s_right = select(above, s, it.s_right);
    it.s_left = select(below, s, it.s_left);
}

// The step of each active lane by its objective, from the sample at s.
template <class V>
inline V step_of(const Iteration<V>& it, V s, mask_t<V> active) noexcept {
    using M = mask_t<V>;
    const V b = it.b;
    const V bp = it.bp;
    const V bisection = (it.s_left + it.s_right) / 2.0 - s;
    V step(0.0);
    if (any(active && !it.lower && !it.upper && !it.log_lower)) step = middle_step(it, s, b, bp);
    if (any(active && it.lower)) {
        const V lower = lower_step(it.x, s, it.ln_beta, simd::log(b), bp / b);
        step = select(it.lower, select(b <= 0.0 || bp <= 0.0, bisection, lower), step);
    }
    if (any(active && it.log_lower)) {
        const V lower = lower_step(it.x, s, it.ln_beta, b, bp);
        const M usable = b > -_DBL_MAX && bp > 0.0;
        step = select(it.log_lower, select(usable, lower, bisection), step);
    }
    if (any(active && it.upper)) step = select(it.upper, upper_step(it, s, b, bp), step);
    // Never more than halve s; a NaN step passes and ends the lane.
    return select(step < -s / 2.0, -s / 2.0, step);
}

// Householder steps for the lanes in `active` until n passes in all, each
// lane with the loop of its segment (see above): the lower and
// middle loops fall back to bisection on a forecast outside the bracket or a
// third reversal of direction, and stop when a bisection finds the bracket
// narrower than an ulp; the upper loop bisects on a forecast outside the
// bracket and checks the width on every pass.
template <class V>
inline void householder(Iteration<V>& it, int n, mask_t<V> active) noexcept {
    const V bound(static_cast<double>(n));
    // A NaN s or ds fails the tolerance test and stops the lane.
    active = active && it.iterations < bound && vabs(it.ds) > _DBL_EPS * it.s;
    while (any(active)) {
        active = begin_pass(it, active);
        if (!any(active)) break;
        it.ds_previous = select(active, it.ds, it.ds_previous);
        const V s = it.s;
        sample(it, s, active);
        const V step = step_of(it, s, active);
        it.s = select(active, s + step, s);
        it.ds = select(active, step, it.ds);
        it.iterations = select(active, it.iterations + 1.0, it.iterations);
        active = active && it.iterations < bound && vabs(it.ds) > _DBL_EPS * it.s;
    }
}

}  // namespace detail

// The guess is made in two stages, so that the batch kernel can regroup its
// rows between them by the branch that b(x, s) takes at the second point.
// First the inflection point s_c = sqrt(2|x|), b_c, v_c, the side of beta
// and the second reference point: s_l where the tangent at s_c meets price
// 0 (beta below b_c), s_h where it meets b_max (at or above, or NaN; s_c
// itself where the vega vanishes). Lanes that need no solving are not
// `open` and have their answer in `closed`: 0 where beta <= 0, _DBL_MAX
// where beta >= b_max.
template <class V>
struct Inflection {
    V beta, x, b_max, s_c, b_c, v_c, s_next, closed;
    mask_t<V> open, below;
};

template <class V>
inline Inflection<V> inflection(V beta, V x, V q) noexcept {
    using M = mask_t<V>;
    x = select(q < 0.0, -x, x);
    // x <= 0 from here on: beta is an out-of-the-money call.
    const M non_positive = beta <= 0.0;
    const V b_max = simd::exp(x / 2.0);
    const M at_max = !non_positive && beta >= b_max;
    const M open = !non_positive && !at_max;
    const V closed = select(non_positive, V(0.0), V(_DBL_MAX));
    Inflection<V> p{beta, x, b_max, V(0.0), V(0.0), V(0.0), V(0.0), closed, open, open && !open};
    if (!any(open)) return p;
    p.s_c = vsqrt(vabs(2.0 * x));
    p.b_c = normalised_black_call(x, p.s_c);
    p.v_c = normalised_vega(x, p.s_c);
    p.below = open && beta < p.b_c;
    const V s_l = p.s_c - p.b_c / p.v_c;
    const V s_h = select(p.v_c > _DBL_MIN, p.s_c + (b_max - p.b_c) / p.v_c, p.s_c);
    p.s_next = select(p.below, s_l, s_h);
    return p;
}

namespace detail {

// The guess of segment 1 (beta < b_l): rational cubic interpolation of the
// lower map between price 0 (f = 0, f' = 1) and b_l, inverted; where that
// is not positive, the quadratic with f(0) = 0, f'(0) = 1, f(b_l) = f(s_l).
template <class V>
inline V lower_map_guess(V beta, V x, V s_l, V b_l) noexcept {
    const MapValue<V> m = compute_f_lower_map(x, s_l);
    const V r = convex_rc(End::right, V(0.0), b_l, V(0.0), m.f, V(1.0), m.fp, m.fpp, true);
    const V f = rc_interp(beta, V(0.0), b_l, V(0.0), m.f, V(1.0), m.fp, r);
    const V t = beta / b_l;
    return inverse_f_lower_map(x, select(!(f > 0.0), (m.f * t + b_l * (1.0 - t)) * t, f));
}

// The guess of segments 2 and 3: s as a rational cubic function of the
// price between (b_l, s_l) and (b_r, s_r), with slopes 1/v_l and 1/v_r and
// no curvature at the inflection point s_c, the end given by `inflection`.
template <class V>
inline V middle_guess(V beta, End inflection, V b_l, V b_r, V s_l, V s_r, V v_l, V v_r) noexcept {
    const V r = convex_rc(inflection, b_l, b_r, s_l, s_r, 1.0 / v_l, 1.0 / v_r, V(0.0), false);
    return rc_interp(beta, b_l, b_r, s_l, s_r, 1.0 / v_l, 1.0 / v_r, r);
}

// The guess of segment 4 (beta > b_h): rational cubic interpolation of the
// upper map between b_h and b_max (f = 0, f' = -1/2), inverted. A NaN
// second derivative skips the interpolation, a huge positive one makes it
// linear; where it is not positive, the quadratic with f(b_h) = f(s_h),
// f(b_max) = 0, f'(b_max) = -1/2.
template <class V>
inline V upper_map_guess(V beta, V x, V s_h, V b_h, V b_max) noexcept {
    const MapValue<V> m = compute_f_upper_map(x, s_h);
    const V r = convex_rc(End::left, b_h, b_max, m.f, V(0.0), m.fp, V(-0.5), m.fpp, true);
    const V interpolated = rc_interp(beta, b_h, b_max, m.f, V(0.0), m.fp, V(-0.5), r);
    const V f = select(m.fpp > -_SQRT_DBL_MAX, interpolated, V(-_DBL_MAX));
    const V h = b_max - b_h;
    const V t = (beta - b_h) / h;
    return inverse_f_upper_map(select(f <= 0.0, (m.f * (1.0 - t) + h * t / 2.0) * (1.0 - t), f));
}

// The lanes of m start from s, bracketed by [s_left, s_right].
template <class V>
inline void start(Iteration<V>& it, mask_t<V> m, V s, V s_left, V s_right) noexcept {
    it.s = select(m, s, it.s);
    it.s_left = select(m, s_left, it.s_left);
    it.s_right = select(m, s_right, it.s_right);
}

}  // namespace detail

// The start of the Householder iteration for each open lane: the guess of
// its segment, the bracket and the objective (the lower map's in segment 1,
// the upper map's in segment 4 where beta is above b_max/2, b itself
// elsewhere).
template <class V>
inline detail::Iteration<V> initial_guess(const Inflection<V>& p) noexcept {
    using M = mask_t<V>;
    const V beta = p.beta;
    const V x = p.x;
    detail::Iteration<V> it{beta,        x,           p.b_max, V(0.0), V(-_DBL_MAX),
                            V(_DBL_MIN), V(_DBL_MAX), M(),     M()};
    it.lower = p.open && !p.open;
    it.upper = it.lower;
    if (!any(p.open)) return it;
    // b_l below the inflection point, b_h at or above it.
    const V b_next = normalised_black_call(x, p.s_next);
    const M above = p.open && !p.below;
    const M segment1 = p.below && beta < b_next;
    const M segment2 = p.below && !(beta < b_next);
    const M segment3 = above && beta <= b_next;
    const M segment4 = above && !(beta <= b_next);
    if (any(segment1)) {
        const V s = detail::lower_map_guess(beta, x, p.s_next, b_next);
        detail::start(it, segment1, s, V(_DBL_MIN), p.s_next);
        it.lower = segment1;
        it.ln_beta = simd::log(beta);
    }
    if (any(segment2)) {
        const V v_l = normalised_vega(x, p.s_next);
        const V s =
            detail::middle_guess(beta, End::right, b_next, p.b_c, p.s_next, p.s_c, v_l, p.v_c);
        detail::start(it, segment2, s, p.s_next, p.s_c);
    }
    if (any(segment3)) {
        const V v_h = normalised_vega(x, p.s_next);
        const V s =
            detail::middle_guess(beta, End::left, p.b_c, b_next, p.s_c, p.s_next, p.v_c, v_h);
        detail::start(it, segment3, s, p.s_c, p.s_next);
    }
    if (any(segment4)) {
        const V s = detail::upper_map_guess(beta, x, p.s_next, b_next, p.b_max);
        detail::start(it, segment4, s, p.s_next, V(_DBL_MAX));
        it.upper = segment4 && beta > p.b_max / 2.0;
    }
    return it;
}

namespace detail {

// Convergence of each lane after its passes: the
// steps converge with order four, so a last step of relative size r leaves
// an error of about C r^4, C bounded by step_constant; converged when that is
// below DBL_EPSILON or below the rounding noise of b seen through the vega,
// noise_steps DBL_EPSILON b/(b' s). A step above noise_cap, or a bisection
// step (b or b' not positive where it was taken), is no convergence; a
// bracket closed to DBL_EPSILON s is. A NaN s has converged only for a NaN
// price, which it reproduces.
inline constexpr double step_constant = 1024.0;
inline constexpr double noise_steps = 16.0;
inline constexpr double noise_cap = 0x1p-10;

template <class V>
inline mask_t<V> converged(const Iteration<V>& it) noexcept {
    using M = mask_t<V>;
    // b/b' where the last step was taken (ln b and b'/b in logarithms).
    const M sampled = (it.log_lower && it.b > -_DBL_MAX && it.bp > 0.0) ||
                      (!it.log_lower && it.b > 0.0 && it.bp > 0.0);
    const V b_over_bp = select(it.log_lower, 1.0 / it.bp, it.b / it.bp);
    const V r = vabs(it.ds) / it.s;
    const V noise = noise_steps * _DBL_EPS * b_over_bp / it.s;
    const V r2 = r * r;
    const M small =
        r <= noise_cap && step_constant * (r2 * r2) <= select(noise > _DBL_EPS, noise, V(_DBL_EPS));
    const M closed = it.s_right - it.s_left <= _DBL_EPS * it.s;
    const M nan_s = is_nan(it.s);
    const M nan_beta = is_nan(it.beta);
    return (nan_s && nan_beta) || (!nan_s && (closed || (sampled && small)));
}

// _IV_MAX_ITER passes for the lanes in `open`, and up to _IV_EXTRA_ITER more
// for those that have not converged; s where converged, else 0.
template <class V>
inline V checked_householder(Iteration<V>& it, mask_t<V> open) noexcept {
    householder(it, _IV_MAX_ITER, open);
    const mask_t<V> more = open && !converged(it);
    if (any(more)) householder(it, _IV_MAX_ITER + _IV_EXTRA_ITER, more);
    return select(converged(it), it.s, V(0.0));
}
}  // namespace detail

// Normalised volatility s with b(x, s) = beta for options of kind q (only
// the sign is read: negative for a put), after exactly the first n
// Householder passes of the segment's loop (fewer if it stops by itself): a
// value <= 0 where beta <= 0 and _DBL_MAX where beta >= b_max; the caller
// guarantees that beta holds no intrinsic value (q x <= 0).
template <class V>
inline V unchecked_solver(V beta, V x, V q, int n) noexcept {
    const Inflection<V> p = inflection(beta, x, q);
    if (!any(p.open)) return p.closed;
    detail::Iteration<V> it = initial_guess(p);
    detail::householder(it, n, p.open);
    return select(p.open, it.s, p.closed);
}

// As unchecked_solver with _IV_MAX_ITER passes, but checked:
// a lane whose first passes have not converged continues for at most
// _IV_EXTRA_ITER more, and one that still has not converged gives 0.
template <class V>
inline V converged_solver(V beta, V x, V q) noexcept {
    const Inflection<V> p = inflection(beta, x, q);
    if (!any(p.open)) return p.closed;
    detail::Iteration<V> it = initial_guess(p);
    return select(p.open, detail::checked_householder(it, p.open), p.closed);
}

// The normalised volatility of a normalised price below DBL_MIN given by its
// logarithm ln_beta (the price itself would have lost bits to underflow),
// for the lanes in `lanes`: 0 where the solve does not converge, -1 where it
// does not start (the guess is not a positive normal volatility below s_c,
// or ln beta >= x/2; also where the volatility is itself below DBL_MIN,
// where ln_beta holds no more than the subnormal beta does) and in the other
// lanes, for the plain solver to answer.
template <class V>
inline V log_converged_solver(V ln_beta, V x, V q, mask_t<V> lanes) noexcept {
    using M = mask_t<V>;
    x = select(q < 0.0, -x, x);
    M started = lanes && ln_beta < x / 2.0;
    if (!any(started)) return V(-1.0);
    // The lower map inverted at f = beta (its slope is 1 at price 0), in logarithms.
    const V ax = vabs(x);
    const V cbrt_val = simd::exp((ln_beta - simd::log(_TWO_PI_OVER_SQRT_27 * ax)) / 3.0);
    const V s = vabs(x / (_SQRT_THREE * inverse_norm_cdf(cbrt_val)));
    const V s_c = vsqrt(2.0 * ax);
    started = started && s >= _DBL_MIN && s < s_c;
    if (!any(started)) return V(-1.0);
    const M none = started && !started;
    detail::Iteration<V> it{ln_beta, x,      simd::exp(x / 2.0), ln_beta, s, V(_DBL_MIN), s_c, none,
                            none,    started};
    detail::householder(it, _IV_MAX_ITER + _IV_EXTRA_ITER, started);
    return select(started, select(detail::converged(it), it.s, V(0.0)), V(-1.0));
}

namespace detail {

// Positive a as m 2^e with m in [1, 2) (m, e as doubles), subnormal a
// included.
template <class V>
struct Binary {
    V m, e;
};

template <class V>
inline Binary<V> split_binary(V a) noexcept {
    constexpr double two54 = 18014398509481984.0;  // 2^54
    const mask_t<V> subnormal = a < _DBL_MIN;
    const V scaled = select(subnormal, a * two54, a);
    return {significand(scaled), exponent_field(scaled) - select(subnormal, V(54.0), V(0.0))};
}

// ln(a/b) for positive a and b, accurate also where a/b underflows:
// ln(ma/mb) + (ea - eb) ln 2 with a = ma 2^ea, b = mb 2^eb and ln 2 split so
// that (ea - eb) ln2_hi is exact.
template <class V>
inline V log_quotient(V a, V b) noexcept {
    const Binary<V> sa = split_binary(a);
    const Binary<V> sb = split_binary(b);
    const V k = sa.e - sb.e;
    return (simd::log(sa.m / sb.m) + k * simd::detail::ln2_lo) + k * simd::detail::ln2_hi;
}

}  // namespace detail

// The screens and normalisation of implied_vol: prices outside the band
// [intrinsic, F) for a call or [intrinsic, K) for a put are `rejected`;
// the others become the normalised price beta of the out-of-the-money
// option of the same strike, at log-moneyness x, of kind +-1. Where beta is
// below DBL_MIN (`tiny`, a positive price) it has lost bits to underflow,
// and ln_beta holds its logarithm, formed without underflow.
template <class V>
struct Normalised {
    V beta, x, kind, ln_beta;
    mask_t<V> rejected, tiny;
};

template <class V>
inline Normalised<V> normalise(V price, V F, V K, V kind) noexcept {
    using M = mask_t<V>;
    const M put = kind < 0.0;
    kind = select(put, V(-1.0), V(1.0));
    // Ordered comparisons: a NaN operand makes them false.
    const V intrinsic = intrinsic_value(F, K, kind);
    const M rejected = price < intrinsic || price >= select(put, K, F);
    const V x = log_moneyness(F, K);
    // In the money: the out-of-the-money option of the same strike has the
    // time value as its price. A NaN difference stays NaN.
    const M itm = kind * x > 0.0;
    const V time_value = price - intrinsic;
    price = select(itm, select(time_value < 0.0, V(0.0), time_value), price);
    kind = select(itm, -kind, kind);
    const V sqrt_fk = vsqrt(F) * vsqrt(K);
    const V beta = price / sqrt_fk;
    const M tiny = beta < _DBL_MIN && price > 0.0;
    V ln_beta(0.0);
    if (any(tiny && !rejected)) ln_beta = detail::log_quotient(price, sqrt_fk);
    return {beta, x, kind, ln_beta, rejected, tiny};
}

// The implied volatility from the solver's result: 0.0 for a rejected price
// and for the solver's signals (<= 0, _DBL_MAX).
template <class V>
inline V accepted_volatility(mask_t<V> rejected, V result) noexcept {
    return select(rejected || result >= _DBL_MAX || result <= 0.0, V(0.0), result);
}

// Implied total volatility of undiscounted prices of calls (kind >= 0) or
// puts (kind < 0, only the sign is read) on forwards F with strikes K; 0.0
// for every price it cannot use, NaN for a NaN price.
template <class V>
inline V implied_vol(V price, V F, V K, V kind) noexcept {
    const Normalised<V> n = normalise(price, F, K, kind);
    if (!any(!n.rejected)) return V(0.0);
    // A price below DBL_MIN is solved from its logarithm where that solve
    // starts; the plain solver answers the others.
    V result(-1.0);
    if (any(n.tiny && !n.rejected)) {
        result = log_converged_solver(n.ln_beta, n.x, n.kind, n.tiny && !n.rejected);
    }
    const mask_t<V> plain = result < 0.0;
    if (any(plain)) result = select(plain, converged_solver(n.beta, n.x, n.kind), result);
    return accepted_volatility(n.rejected, result);
}

}  // namespace quelta::simd

namespace quelta {

// The scalar entry points, width-one instances: the lower and upper maps
// with their derivatives written to fp and fpp, and the implied volatility of
// a call (q >= 0) or a put (q < 0; only the sign of q is read, q = 0 counts as
// a call).
inline double _compute_f_lower_map(double x, double s, double& fp, double& fpp) noexcept {
    const simd::MapValue<double> m = simd::compute_f_lower_map(x, s);
    fp = m.fp;
    fpp = m.fpp;
    return m.f;
}

inline double _compute_f_upper_map(double x, double s, double& fp, double& fpp) noexcept {
    const simd::MapValue<double> m = simd::compute_f_upper_map(x, s);
    fp = m.fp;
    fpp = m.fpp;
    return m.f;
}

inline double _implied_vol_scalar(double price, double F, double K, std::int32_t q) noexcept {
    return simd::implied_vol(price, F, K, kind_of_sign(q));
}

}  // namespace quelta
