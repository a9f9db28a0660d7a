// The normal (Bachelier) model, generic over the lane type (numeric/simd/lanes.hpp;
// V = double is the scalar code).
//
// The undiscounted call is (F - K) Phi(d) + s phi(d), d = (F - K)/s, s the
// total normal volatility; the put follows by parity. Any real F and K.
//
// Everything is written in u = |F - K|/s >= 0 and the out-of-the-money time
// value per unit of s,
//     psi(u) = phi(u) - u Phi(-u) = phi(u) G(u),   G(u) = 1 - u R(u),
// with R(u) = Phi(-u)/phi(u) the Mills ratio. psi' = -Phi(-u), psi'' = phi.
// The naive psi cancels catastrophically out of the money (G ~ 1/u^2), so G
// is taken from the scaled error function through W. J. Cody's rationals
// (Math. Comp. 23, 1969, "Rational Chebyshev approximations for the error
// function"), never from a difference of exponentially small terms:
//   y = u/sqrt(2) <= 0.46875: G = 1 - sqrt(pi) y erfcx(y), where G > 0.5 and
//     the difference loses at most a bit;
//   0.46875 < y <= 4: G = E(y)/D(y) from Cody's middle-interval rational
//     erfcx = N/D with E = D - sqrt(pi) y N expanded beforehand (the naive
//     difference would amplify the error of erfcx by (1 - G)/G, 30 at y = 4);
//     under 5 ulps against mpmath;
//   y > 4: G = sqrt(pi) t P(t)/Q(t), t = 1/y^2, the correction term of
//     Cody's large-argument rational for erfcx, whose relative error measured
//     against mpmath is below 2 ulps up to u = 40 and 7 ulps at u = 55, the
//     largest u at which a price is still a double.
// The price as a function of s has condition about u^2, so the rounding of u
// itself dominates these errors deep in the wings.
//
// Implied volatility. The time value v = price - intrinsic and a = |F - K|
// leave one equation in u, psi(u)/u = v/a, decreasing from +inf to 0: every
// v > 0 has one solution. Three branches, by where u lies:
//   explicit  a 2^26 < v (at the money included): s = sqrt(2 pi)(v + a/2),
//             from s psi(a/s) = s/sqrt(2 pi) - a/2 + O(a^2/s), exact but
//             for a relative u^2/2 < 2^-54;
//   upper     u below about 1 (a <= 12 v): f(u) = u/psi(u) - a/v, convex and
//             increasing ((2 + u^2) Phi(-u) > u phi(u)); the initial guess
//             solves the same equation with psi replaced by its Taylor bound
//             psi(0) + u psi'(0) + u^2 max(phi)/2 >= psi, so it lies right of
//             the root, within 10% at u = 1 and closer below;
//   lower     u above about 1: f(u) = ln(psi(u)/u) - ln(v/a), convex and
//             decreasing (G > R^2 by Sampford's bound R < 4/(3u + sqrt(u^2 + 8))
//             on the Mills ratio); the guess takes G ~ 1/(u^2 + 3) and solves
//             u^2/2 + ln(u(u^2 + 3)) = ln(a/(v sqrt(2 pi))) by one Newton
//             step from sqrt(2 ln(...)), a few percent from the root.
// An error e in G moves ln psi by e, hence u by e/(1 + u Phi(-u)/psi) = e G
// relative: the inverse is better conditioned than the price. Both
// objectives are scaled so that their rounding moves u by a few ulps
// whatever the size of v, a or u (the logarithm takes a/v as one quotient
// unless it overflows). Halley steps converge cubically from these guesses
// (the objectives being convex and monotone, the iterates cannot run off);
// a lane stops once its step falls below step_tolerance, which takes three
// steps at most over the accuracy benchmark's sample (two leave 1% of it
// unconverged). A lane still moving after max_steps is not solved; a step
// that would leave u <= 0 halves u instead.
//
// Greeks (undiscounted, per unit of forward and of total volatility s):
// delta Phi(d) for a call and -Phi(-d) for a put, gamma phi(d)/s, vega
// phi(d)/100 per volatility point, as the Black Greeks are given.
#pragma once

#include <limits>

#include "numeric/constants.hpp"
#include "numeric/greeks.hpp"
#include "numeric/normal.hpp"
#include "numeric/simd/elementary.hpp"
#include "numeric/simd/lanes.hpp"

namespace quelta::bachelier {

using simd::any;
using simd::mask_t;
using simd::select;
using simd::vabs;
using simd::vsqrt;

namespace detail {

// y = u/sqrt(2) above which Cody's middle-interval rational gives G, and
// above which his large-argument term does.
inline constexpr double middle_y = 0.46875;
inline constexpr double large_y = 4.0;

// G = 1 - sqrt(pi) y N(y)/D(y) = E(y)/D(y) for Cody's middle-interval
// erfcx = N/D (Math. Comp. 23, 1969): E = D - sqrt(pi) y N, its coefficients
// (highest power first) formed from Cody's in 50-digit arithmetic and rounded
// once. All but the three smallest are positive, so E keeps the relative
// accuracy that 1 - sqrt(pi) y erfcx(y) loses to cancellation.
inline constexpr double middle_g_numerator[10] = {
    -3.816297601959867e-08, 1.925875836496077e-06, -4.6950524385900875e-05, 0.5007368277548784,
    7.864101148327068,      58.169963712043064,    256.2738517866059,       727.1773208563878,
    1258.6479468114035,     1230.3393548037495};

template <class V>
inline V middle_g(V y) noexcept {
    V num(middle_g_numerator[0]);
    for (int i = 1; i < 10; ++i) num = num * y + middle_g_numerator[i];
    return num / simd::detail::cody_middle_denominator(y);
}

// a 2^26 < v gives u < 2^-26/sqrt(2 pi): the dropped u^2/2 is below 2^-54
// (a v 2^-26 would underflow for a subnormal v).
inline constexpr double explicit_factor = 67108864.0;
// a > 12 v (psi(u)/u < 1/12, u > 0.9995) takes the logarithmic objective,
// where e^(u^2/2) begins to dominate u/psi(u).
inline constexpr double upper_ratio = 12.0;
// A Halley step below 2^-17 u leaves an error of order (2^-17)^3 u.
inline constexpr double step_tolerance = 7.62939453125e-06;
// Three steps suffice (see above); two more in reserve.
inline constexpr int max_steps = 5;

}  // namespace detail

// R(u) = Phi(-u)/phi(u) and G(u) = psi(u)/phi(u) for u >= 0.
template <class V>
struct Mills {
    V r;
    V g;
};

template <class V>
inline Mills<V> mills(V u) noexcept {
    const V y = u * _ONE_OVER_SQRT_TWO;
    const V r = _SQRT_PI_OVER_TWO * simd::erfcx(y);
    V g = 1.0 - u * r;
    const mask_t<V> middle = y > detail::middle_y && y <= detail::large_y;
    if (any(middle)) g = select(middle, detail::middle_g(y), g);
    const mask_t<V> large = y > detail::large_y;
    if (any(large)) {
        g = select(large, _SQRT_PI * simd::detail::cody_large_term(2.0 / (u * u)), g);
    }
    return {r, g};
}

// e^log_scale psi(u) for u >= 0. The density takes u^2/2 exactly: u = uh + ul
// with uh of 26 significant bits, uh^2/2 exact and
// phi(u) = exp(-uh^2/2) exp(-(uh ul + ul^2/2))/sqrt(2 pi), where the rounded
// u^2 would cost u^2/2 ulps (200 at u = 20). The scale is folded into the
// first exponential (exactly for log_scale = 0), for a psi(u) below DBL_MIN
// whose scaled value is normal. Beyond u = 1e8 psi is 0 in any scale, and u
// is held there so that the splitting cannot overflow.
template <class V>
inline V scaled_time_value(V u, V log_scale) noexcept {
    const V held = select(u > 1e8, V(1e8), u);
    const V uh = simd::detail::upper_half(held);
    const V ul = held - uh;
    const V pdf = _ONE_OVER_SQRT_TWO_PI * simd::exp(log_scale - 0.5 * (uh * uh)) *
                  simd::exp(-(uh * ul + 0.5 * (ul * ul)));
    return pdf * bachelier::mills(u).g;
}

// psi(u) = phi(u) - u Phi(-u), u >= 0: the out-of-the-money time value per
// unit of s. Its derivatives are -Phi(-u) and phi(u).
template <class V>
inline V normalised_time_value(V u) noexcept {
    return bachelier::scaled_time_value(u, V(0.0));
}

// The intrinsic value, the same payoff as under the Black model.
using simd::intrinsic_value;

// Undiscounted price at total normal volatility s >= 0 (NaN for s < 0).
// Where psi(u) is below DBL_MIN but s psi(u) need not be (s > 1), the time
// value is taken in one exponential, to about |ln s| ulps.
template <class V>
inline V price(V F, V K, V s, V kind) noexcept {
    const V u = vabs(F - K) / s;
    const V psi = bachelier::normalised_time_value(u);
    V time_value = s * psi;
    const mask_t<V> scaled =
        psi < _DBL_MIN && s > 1.0 && s < std::numeric_limits<double>::infinity();
    if (any(scaled)) {
        time_value = select(scaled, bachelier::scaled_time_value(u, simd::log(s)), time_value);
    }
    const V tv = select(s == 0.0, V(0.0), time_value);
    return select(s < 0.0, V(std::numeric_limits<double>::quiet_NaN()),
                  bachelier::intrinsic_value(F, K, kind) + tv);
}

namespace detail {

// One Halley step of either objective at u (lower: the logarithmic one).
// log_ratio is ln(a/(v sqrt(2 pi))) and ratio a/v; each is read only by the
// lanes of its objective.
template <class V>
inline V halley_step(V u, mask_t<V> lower, V log_ratio, V ratio) noexcept {
    const Mills<V> m = bachelier::mills(u);
    const V a_ratio = m.r / m.g;  // Phi(-u)/psi(u)
    const V b_ratio = 1.0 / m.g;  // phi(u)/psi(u)
    V step(0.0), curvature(0.0);  // f/f' and f''/f'
    if (any(lower)) {
        const V f = simd::log(m.g / u) - 0.5 * (u * u) + log_ratio;
        const V inv_u = 1.0 / u;
        const V fp = -a_ratio - inv_u;
        step = f / fp;
        curvature = (b_ratio - a_ratio * a_ratio + inv_u * inv_u) / fp;
    }
    if (any(!lower)) {
        const V psi = simd::norm_pdf(u) * m.g;
        const V f = u / psi - ratio;
        step = select(lower, step, f * psi * m.g);
        curvature = select(lower, curvature, 2.0 * a_ratio - u);
    }
    return step / (1.0 - 0.5 * step * curvature);
}

// implied_vol where F - K is finite.
template <class V>
inline V implied_vol_unscaled(V price, V F, V K, V kind) noexcept {
    using M = mask_t<V>;
    constexpr double inf = std::numeric_limits<double>::infinity();
    const V v = price - bachelier::intrinsic_value(F, K, kind);
    const V a = vabs(F - K);
    const M valid = v > 0.0 && v < inf && a < inf;
    const M closed = valid && a * detail::explicit_factor < v;
    const M lower = valid && !closed && a > v * detail::upper_ratio;
    M active = valid && !closed;
    V s = select(closed, _SQRT_TWO_PI * (v + 0.5 * a), V(0.0));
    if (!any(active)) return select(s < inf, s, V(0.0));

    const V ratio = a / v;
    V u(1.0);
    V log_ratio(0.0);
    if (any(lower)) {
        // a/v overflows only where both logarithms are large and u is too.
        const V direct = simd::log(ratio);
        const V split = simd::log(a) - simd::log(v);
        log_ratio = select(ratio < inf, direct, split) - simd::log(V(_SQRT_TWO_PI));
        const V u0 = vsqrt(2.0 * select(lower, log_ratio, V(1.0)));
        const V w = u0 * u0 + 3.0;
        const V h = 0.5 * (u0 * u0) + simd::log(u0 * w) - log_ratio;
        u = select(lower, u0 - h / (u0 + 1.0 / u0 + 2.0 * u0 / w), u);
    }
    if (any(active && !lower)) {
        // psi(0) - u/2 + u^2 psi(0)/2 = u v/a, its smaller root in stable form.
        const V b = select(lower, V(1.0), ratio);
        const V h = 1.0 + 0.5 * b;
        const V root =
            vsqrt(h * h - (b * b) * (2.0 * _ONE_OVER_SQRT_TWO_PI * _ONE_OVER_SQRT_TWO_PI));
        u = select(lower, u, (2.0 * _ONE_OVER_SQRT_TWO_PI) * b / (h + root));
    }
    for (int i = 0; i < detail::max_steps && any(active); ++i) {
        const V delta = detail::halley_step(u, lower, log_ratio, ratio);
        const V next = u - delta;
        // A step that would leave u <= 0 halves u instead.
        u = select(active, select(next > 0.0, next, 0.5 * u), u);
        active = active && !(vabs(delta) <= detail::step_tolerance * u);
    }
    s = select(valid && !closed && !active, a / u, s);
    return select(s < inf, s, V(0.0));
}

}  // namespace detail

// Implied total normal volatility of an undiscounted price; 0.0 where the
// price has none (at or below intrinsic, a non-finite input or intermediate,
// or a lane that did not converge). Where F - K overflows (|F| and |K| near
// DBL_MAX) the halved inputs are solved, exactly by the model's homogeneity,
// and the answer doubled.
template <class V>
inline V implied_vol(V price, V F, V K, V kind) noexcept {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const mask_t<V> halve = !(vabs(F - K) < inf) && vabs(F) < inf && vabs(K) < inf;
    if (!any(halve)) return detail::implied_vol_unscaled(price, F, K, kind);
    const V h = select(halve, V(0.5), V(1.0));
    const V s = detail::implied_vol_unscaled(price * h, F * h, K * h, kind);
    const V twice = s + s;
    return select(halve, select(twice < inf, twice, V(0.0)), s);
}

// Greeks at total normal volatility s > 0, undiscounted.
template <class V>
struct Greeks {
    V delta;
    V gamma;
    V vega;
};

template <class V>
inline Greeks<V> greeks(V F, V K, V s, V kind) noexcept {
    const V d = (F - K) / s;
    const V pdf = simd::norm_pdf(d);
    // A subnormal density or volatility: phi(d)/s in one exponential.
    const mask_t<V> scaled = pdf < _DBL_MIN || s < _DBL_MIN;
    V gamma = pdf / s;
    if (any(scaled)) gamma = select(scaled, simd::detail::scaled_density(d, -simd::log(s)), gamma);
    return {simd::black_delta_at(d, kind), gamma, pdf * 0.01};
}

}  // namespace quelta::bachelier
