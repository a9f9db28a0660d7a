// Normalised Black call price b(x, s) and its vega.
//
// In log-moneyness x = ln(F/K) and total volatility s,
//   b(x, s) = Phi(x/s + s/2) e^(x/2) - Phi(x/s - s/2) e^(-x/2),
// the undiscounted Black call divided by sqrt(F K). In-the-money arguments are
// reflected by put-call parity, b(x, s) = intrinsic(x) + b(-x, s), so the
// branches only see x <= 0, where they are written in h = x/s and t = s/2:
//   asymptotic  h < -10 and h + t < -9.79: both Phi terms underflow or cancel
//               completely; an 18-term asymptotic expansion in (h/r)^2, with
//               r = (h + t)(h - t), keeps full relative accuracy;
//   small t     t < 0.2102: Taylor expansion in t^2 around t = 0 with the
//               Mills-ratio factor from erfcx, exact to double precision there;
//   norm CDF    h + t > 0.85: the plain formula, which no longer cancels badly;
//               its second term from erfcx where Phi(h - t) nears the
//               subnormal range (x below about -700);
//   erfcx       everything else: the two Phi terms as scaled erfcx values
//               under one common exponential factor, free of underflow.
// Each branch clamps its result to be non-negative (NaN included, to +0).
// log_normalised_black_call gives ln b and b'/b from the same branches
// without forming b, for the solve of prices below DBL_MIN.
//
// Generic over the lane type: the branches are evaluated for the lanes that
// fall in them and blended; the region tests are the same comparisons in
// the same order, so every lane takes the branch the scalar code
// (V = double) takes.
#pragma once

#include <cstdint>

#include "numeric/constants.hpp"
#include "numeric/normal.hpp"
#include "numeric/simd/elementary.hpp"
#include "numeric/simd/lanes.hpp"

namespace quelta::simd {

namespace detail {

// Number of polynomials G_0 .. G_{n-1} in the asymptotic expansion.
inline constexpr int asymptotic_terms = 18;

// Table of the coefficients of G_k(e) = (-1)^k 2 sum_{j=0..k} C(2k+1, 2j+1) e^j;
// row k holds the coefficient of e^j at column j. The largest, 2 C(35, 17),
// is below 2^34, so every entry is an exact double.
struct AsymptoticCoefficients {
    double g[asymptotic_terms][asymptotic_terms];
};

constexpr std::uint64_t binomial(int n, int m) noexcept {
    std::uint64_t c = 1;
    // c = C(n, i + 1) after step i; each product is divisible exactly.
    for (int i = 0; i < m; ++i) {
        c = c * static_cast<std::uint64_t>(n - i) / static_cast<std::uint64_t>(i + 1);
    }
    return c;
}

constexpr AsymptoticCoefficients make_asymptotic_coefficients() noexcept {
    AsymptoticCoefficients table{};
    for (int k = 0; k < asymptotic_terms; ++k) {
        const double sign = k % 2 == 0 ? 2.0 : -2.0;
        for (int j = 0; j <= k; ++j) {
            table.g[k][j] = sign * static_cast<double>(binomial(2 * k + 1, 2 * j + 1));
        }
    }
    return table;
}

inline constexpr AsymptoticCoefficients asymptotic_coefficients = make_asymptotic_coefficients();

// Checks against the published polynomials G_1, G_4 and G_17.
static_assert(asymptotic_coefficients.g[0][0] == 2.0);
static_assert(asymptotic_coefficients.g[1][0] == -6.0 && asymptotic_coefficients.g[1][1] == -2.0);
static_assert(asymptotic_coefficients.g[4][1] == 168.0 && asymptotic_coefficients.g[4][3] == 72.0);

constexpr bool matches_published_g17() noexcept {
    constexpr double g17[asymptotic_terms] = {
        70.0,         13090.0,      649264.0,     13449040.0,   141214920.0,  834451800.0,
        2952675600.0, 6495886320.0, 9075135300.0, 8119857900.0, 4639918800.0, 1668903600.0,
        367158792.0,  47071640.0,   3246320.0,    104720.0,     1190.0,       2.0};
    for (int j = 0; j < asymptotic_terms; ++j) {
        if (asymptotic_coefficients.g[17][j] != -g17[j]) return false;
    }
    return true;
}
static_assert(matches_published_g17());

// b if b > 0, otherwise +0 (also for NaN).
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
    const auto& row = asymptotic_coefficients.g[k];
    V v(row[k]);
    for (int j = k - 1; j >= 0; --j) v = v * e + row[j];
    return v;
}

}  // namespace detail

// ln(F/K): the logarithm of the quotient, or ln F - ln K where the quotient
// over- or underflows (or is subnormal) and has lost the log-moneyness.
template <class V>
inline V log_moneyness(V F, V K) noexcept {
    const V ratio = F / K;
    const mask_t<V> normal = vabs(ratio) >= _DBL_MIN && vabs(ratio) <= _DBL_MAX;
    V x(0.0);
    if (any(normal)) x = simd::log(ratio);
    if (any(!normal)) x = select(normal, x, simd::log(F) - simd::log(K));
    return x;
}

// The intrinsic value of a call (kind >= 0) or put (kind < 0) on F struck
// at K, under either model: the floor of the price band the solvers accept.
template <class V>
inline V intrinsic_value(V F, V K, V kind) noexcept {
    return select(kind < 0.0, select(K > F, K - F, V(0.0)), select(K < F, F - K, V(0.0)));
}

// Normalised intrinsic value |e^(x/2) - e^(-x/2)| of a call (q >= 0) or put
// (q < 0) when it is in the money, q x > 0; else 0. Below x^2 = 98
// _DBL_EPS^(1/4) it is the x^9 Taylor polynomial of 2 sinh(x/2), free of the
// cancellation of e^(x/2) - e^(-x/2).
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

namespace detail {

// sum_k (2k - 1)!! q^k G_k(e) of the asymptotic expansion, with e = (t/h)^2
// and q = (h/r)^2, nested from the innermost term outwards.
template <class V>
inline V asymptotic_sum(V h, V t, V r) noexcept {
    const V e = (t / h) * (t / h);
    const V q = (h / r) * (h / r);
    constexpr int last = asymptotic_terms - 1;
    V eas = asymptotic_polynomial(last, e);
    for (int k = last - 1; k >= 0; --k) {
        eas = asymptotic_polynomial(k, e) + static_cast<double>(2 * k + 1) * q * eas;
    }
    return eas;
}

// b/b' of the expansion in t^2: b = black_scale(h, t) times this.
template <class V>
inline V small_t_expansion(V h, V t) noexcept {
    // a = 1 + h Phi(h)/phi(h), written through erfcx so that it never underflows.
    const V a = 1.0 + h * _SQRT_PI_OVER_TWO * erfcx(-(_ONE_OVER_SQRT_TWO * h));
    const V w = t * t;
    const V h2 = h * h;
    // 3!, 5!, ..., 13!
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
    return 2.0 * t * (a + w * (s1 + w * (s2 + w * (s3 + w * (s4 + w * (s5 + w * s6))))));
}

// Difference of the two erfcx terms of the scaled-erfcx form.
template <class V>
inline V erfcx_difference(V h, V t) noexcept {
    return erfcx(-(_ONE_OVER_SQRT_TWO * (t + h))) - erfcx(-(_ONE_OVER_SQRT_TWO * (h - t)));
}

// Below this z, Phi(z) (5.7e-300 at z = -37) nears the subnormal range, where
// it loses bits to gradual underflow before the division by b_max brings the
// second term of b back up (for x below about -700).
inline constexpr double norm_cdf_subnormal_z = -37.0;

}  // namespace detail

// Asymptotic expansion for h < -10, h + t < -9.79 (x <= 0, s > 0).
template <class V>
inline V asymptotic_black_call(V h, V t) noexcept {
    const V r = (h + t) * (h - t);
    const V eas = detail::asymptotic_sum(h, t, r);
    return detail::clamp_positive(detail::black_scale(h, t) * (t / r) * eas);
}

// Expansion in t^2 for t < 0.2102 (x <= 0, s > 0, outside the asymptotic region).
template <class V>
inline V small_t_black_call(V h, V t) noexcept {
    return detail::clamp_positive(detail::black_scale(h, t) * detail::small_t_expansion(h, t));
}

// Scaled-erfcx form for t >= 0.2102, h + t <= 0.85, outside the asymptotic region.
template <class V>
inline V black_call_using_erfcx(V h, V t) noexcept {
    const V b = 0.5 * simd::exp(-0.5 * (h * h + t * t)) * detail::erfcx_difference(h, t);
    return detail::clamp_positive(b);
}

// Direct normal-CDF form for t >= 0.2102, h + t > 0.85; its second term from
// erfcx where Phi(h - t) nears the subnormal range.
template <class V>
inline V black_call_using_norm_cdf(V x, V s) noexcept {
    using M = mask_t<V>;
    const V h = x / s;
    const V t = 0.5 * s;
    const V b_max = simd::exp(0.5 * x);
    const V z = h - t;
    // Phi(h - t)/b_max = Phi(h - t) e^(-x/2); with h t = x/2 it equals
    // erfcx(-(h - t)/sqrt 2)/2 exp(-(h^2 + t^2)/2), which never underflows here.
    const M deep = z < detail::norm_cdf_subnormal_z;
    V second(0.0);
    if (any(!deep)) second = norm_cdf(z) / b_max;
    if (any(deep)) {
        const V by_erfcx =
            0.5 * erfcx(-(_ONE_OVER_SQRT_TWO * z)) * simd::exp(-0.5 * (h * h + t * t));
        second = select(deep, by_erfcx, second);
    }
    const V b = norm_cdf(h + t) * b_max - second;
    return detail::clamp_positive(b);
}

// The branch of b(x, s) that takes a point x <= 0 (or NaN) of s > 0, one
// mask each, exactly one of them set (see the table above):
// every evaluation of b (the price, its logarithm, the batch's grouping)
// selects through this one function.
template <class V>
struct BlackBranches {
    mask_t<V> asymptotic, small_t, norm_cdf, erfcx;
};

template <class V>
inline BlackBranches<V> black_branches(V x, V s) noexcept {
    const V t = 0.5 * s;
    const mask_t<V> asymptotic =
        x < s * _ASYM_THRESH && x + s * t < s * (_ASYM_THRESH + _SMALL_T_THRESH);
    const mask_t<V> small_t = !asymptotic && t < _SMALL_T_THRESH;
    const mask_t<V> norm_cdf = !asymptotic && !small_t && x + s * t > _NORM_CDF_THRESH * s;
    return {asymptotic, small_t, norm_cdf, !asymptotic && !small_t && !norm_cdf};
}

// b(x, s) for x <= 0 (or NaN): the branch selection of normalised_black_call
// after its reflection.
template <class V>
inline V black_call_out_of_the_money(V x, V s) noexcept {
    using M = mask_t<V>;
    const V t = 0.5 * s;
    const V h = x / s;
    const M open = !(s <= 0.0);
    // s <= 0: the intrinsic value, 0 for x <= 0 (NaN for a NaN x).
    V b(0.0);
    if (any(!open)) b = normalised_intrinsic(x, V(1.0));
    const BlackBranches<V> br = black_branches(x, s);
    const M asymptotic = open && br.asymptotic;
    if (any(asymptotic)) b = select(asymptotic, asymptotic_black_call(h, t), b);
    const M small_t = open && br.small_t;
    if (any(small_t)) b = select(small_t, small_t_black_call(h, t), b);
    const M by_norm_cdf = open && br.norm_cdf;
    if (any(by_norm_cdf)) b = select(by_norm_cdf, black_call_using_norm_cdf(x, s), b);
    const M by_erfcx = open && br.erfcx;
    if (any(by_erfcx)) b = select(by_erfcx, black_call_using_erfcx(h, t), b);
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

// Normalised vega db/ds = 1/sqrt(2 pi) exp(-((x/s)^2 + (s/2)^2)/2).
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

// ln b(x, s) and b'/b, for x <= 0, s > 0, without forming b: where b
// underflows (b < DBL_MIN) both are still accurate. The h, t branches are
// b = b'(x, s) m(h, t), so ln b = ln b' + ln m and b'/b = 1/m with ln b' =
// ln(1/sqrt(2 pi)) - (h^2 + t^2)/2; the normal-CDF branch has b >= DBL_MIN
// for x above -1416 and is taken directly. The branches are chosen as in
// normalised_black_call. ln b is NaN or -inf where m or b is not positive.
template <class V>
struct LogBlackCall {
    V log_b;
    V vega_over_b;
};

template <class V>
inline LogBlackCall<V> log_normalised_black_call(V x, V s) noexcept {
    using M = mask_t<V>;
    // ln(1/sqrt(2 pi))
    constexpr double log_one_over_sqrt_two_pi = -0.91893853320467274;
    const V t = 0.5 * s;
    const V h = x / s;
    const BlackBranches<V> br = black_branches(x, s);
    const M asymptotic = br.asymptotic, small_t = br.small_t, by_norm_cdf = br.norm_cdf,
            by_erfcx = br.erfcx;
    V m(1.0);
    if (any(asymptotic)) {
        const V r = (h + t) * (h - t);
        m = select(asymptotic, (t / r) * detail::asymptotic_sum(h, t, r), m);
    }
    if (any(small_t)) m = select(small_t, detail::small_t_expansion(h, t), m);
    // 0.5 sqrt(2 pi) = sqrt(pi/2)
    if (any(by_erfcx)) m = select(by_erfcx, _SQRT_PI_OVER_TWO * detail::erfcx_difference(h, t), m);
    LogBlackCall<V> v{log_one_over_sqrt_two_pi - 0.5 * (h * h + t * t) + simd::log(m), 1.0 / m};
    if (any(by_norm_cdf)) {
        const V b = black_call_using_norm_cdf(x, s);
        v.log_b = select(by_norm_cdf, simd::log(b), v.log_b);
        v.vega_over_b = select(by_norm_cdf, normalised_vega(x, s) / b, v.vega_over_b);
    }
    return v;
}

}  // namespace quelta::simd

namespace quelta {

// The scalar normalised Black call, the width-one instance.
inline double _normalised_black_call(double x, double s) noexcept {
    return simd::normalised_black_call(x, s);
}

}  // namespace quelta
