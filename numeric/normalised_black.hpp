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
// _log_normalised_black_call gives ln b and b'/b from the same branches
// without forming b, for the solve of prices below DBL_MIN.
#pragma once

#include <cmath>
#include <cstdint>

#include "numeric/constants.hpp"
#include "numeric/normal.hpp"

namespace quelta {

namespace detail {

// b if b > 0, otherwise +0 (also for NaN).
inline double clamp_positive(double b) noexcept {
    return b > 0.0 ? b : 0.0;
}

// 1/sqrt(2 pi) exp(-(h^2 + t^2)/2): the factor shared by the h, t branches.
inline double black_scale(double h, double t) noexcept {
    return _ONE_OVER_SQRT_TWO_PI * std::exp(-0.5 * (h * h + t * t));
}

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

// G_k(e) by Horner's rule.
inline double asymptotic_polynomial(int k, double e) noexcept {
    const auto& row = asymptotic_coefficients.g[k];
    double v = row[k];
    for (int j = k - 1; j >= 0; --j) v = v * e + row[j];
    return v;
}

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

}  // namespace detail

// Normalised intrinsic value |e^(x/2) - e^(-x/2)| of the option of kind q
// (only the sign of q matters) when it is in the money, q x > 0; else 0.
inline double _normalised_intrinsic(double x, double q) noexcept {
    // 98 * _DBL_EPS^(1/4) = 0.011962890625: below it the x^9 Taylor polynomial
    // of 2 sinh(x/2) is exact to double precision, and it avoids the
    // cancellation of e^(x/2) - e^(-x/2) for small x.
    constexpr double series_bound = 98.0 * _FOURTH_ROOT_DBL_EPS;
    constexpr double c3 = 1.0 / 24.0;
    constexpr double c5 = 1.0 / 1920.0;
    constexpr double c7 = 1.0 / 322560.0;
    constexpr double c9 = 1.0 / 92897280.0;
    if (q * x <= 0.0) return 0.0;
    const double x2 = x * x;
    if (x2 < series_bound) {
        return std::fabs(x * (1.0 + x2 * (c3 + x2 * (c5 + x2 * (c7 + x2 * c9)))));
    }
    const double b_max = std::exp(0.5 * x);
    return std::fabs(b_max - 1.0 / b_max);
}

inline double _normalised_intrinsic_call(double x) noexcept {
    return _normalised_intrinsic(x, 1.0);
}

namespace detail {

// sum_k (2k - 1)!! q^k G_k(e) of the asymptotic expansion, with e = (t/h)^2
// and q = (h/r)^2, nested from the innermost term outwards.
inline double asymptotic_sum(double h, double t, double r) noexcept {
    const double e = (t / h) * (t / h);
    const double q = (h / r) * (h / r);
    constexpr int last = asymptotic_terms - 1;
    double eas = asymptotic_polynomial(last, e);
    for (int k = last - 1; k >= 0; --k) {
        eas = asymptotic_polynomial(k, e) + static_cast<double>(2 * k + 1) * q * eas;
    }
    return eas;
}

}  // namespace detail

// Asymptotic expansion for h < -10, h + t < -9.79 (x <= 0, s > 0).
inline double _asymptotic_black_call(double h, double t) noexcept {
    const double r = (h + t) * (h - t);
    const double eas = detail::asymptotic_sum(h, t, r);
    const double b = detail::black_scale(h, t) * (t / r) * eas;
    return detail::clamp_positive(b);
}

namespace detail {

// b/b' of the expansion in t^2: b = black_scale(h, t) times this.
inline double small_t_expansion(double h, double t) noexcept {
    // a = 1 + h Phi(h)/phi(h), written through erfcx so that it never underflows.
    const double a = 1.0 + h * _SQRT_PI_OVER_TWO * _erfcx(-(_ONE_OVER_SQRT_TWO * h));
    const double w = t * t;
    const double h2 = h * h;
    // 3!, 5!, ..., 13!
    constexpr double f3 = 6.0;
    constexpr double f5 = 120.0;
    constexpr double f7 = 5040.0;
    constexpr double f9 = 362880.0;
    constexpr double f11 = 39916800.0;
    constexpr double f13 = 6227020800.0;
    // clang-format off
    const double s1 = (-1.0 + 3.0 * a + a * h2) / f3;
    const double s2 = (-7.0 + 15.0 * a + h2 * (-1.0 + 10.0 * a + a * h2)) / f5;
    const double s3 = (-57.0 + 105.0 * a
                       + h2 * (-18.0 + 105.0 * a + h2 * (-1.0 + 21.0 * a + a * h2))) / f7;
    const double s4 = (-561.0 + 945.0 * a
                       + h2 * (-285.0 + 1260.0 * a
                       + h2 * (-33.0 + 378.0 * a + h2 * (-1.0 + 36.0 * a + a * h2)))) / f9;
    const double s5 = (-6555.0 + 10395.0 * a
                       + h2 * (-4680.0 + 17325.0 * a
                       + h2 * (-840.0 + 6930.0 * a
                       + h2 * (-52.0 + 990.0 * a + h2 * (-1.0 + 55.0 * a + a * h2))))) / f11;
    const double s6 = (-89055.0 + 135135.0 * a
                       + h2 * (-82845.0 + 270270.0 * a
                       + h2 * (-20370.0 + 135135.0 * a
                       + h2 * (-1926.0 + 25740.0 * a
                       + h2 * (-75.0 + 2145.0 * a + h2 * (-1.0 + 78.0 * a + a * h2)))))) / f13;
    // clang-format on
    return 2.0 * t * (a + w * (s1 + w * (s2 + w * (s3 + w * (s4 + w * (s5 + w * s6))))));
}

// Difference of the two erfcx terms of the scaled-erfcx form.
inline double erfcx_difference(double h, double t) noexcept {
    return _erfcx(-(_ONE_OVER_SQRT_TWO * (t + h))) - _erfcx(-(_ONE_OVER_SQRT_TWO * (h - t)));
}

}  // namespace detail

// Expansion in t^2 for t < 0.2102 (x <= 0, s > 0, outside the asymptotic region).
inline double _small_t_black_call(double h, double t) noexcept {
    const double b = detail::black_scale(h, t) * detail::small_t_expansion(h, t);
    return detail::clamp_positive(b);
}

// Scaled-erfcx form for t >= 0.2102, h + t <= 0.85, outside the asymptotic region.
inline double _black_call_using_erfcx(double h, double t) noexcept {
    const double b = 0.5 * std::exp(-0.5 * (h * h + t * t)) * detail::erfcx_difference(h, t);
    return detail::clamp_positive(b);
}

namespace detail {

// Below this z, Phi(z) (5.7e-300 at z = -37) nears the subnormal range, where
// it loses bits to gradual underflow before the division by b_max brings the
// second term of b back up (for x below about -700).
inline constexpr double norm_cdf_subnormal_z = -37.0;

}  // namespace detail

// Direct normal-CDF form for t >= 0.2102, h + t > 0.85.
inline double _black_call_using_norm_cdf(double x, double s) noexcept {
    const double h = x / s;
    const double t = 0.5 * s;
    const double b_max = std::exp(0.5 * x);
    const double z = h - t;
    // Phi(h - t)/b_max = Phi(h - t) e^(-x/2); with h t = x/2 it equals
    // erfcx(-(h - t)/sqrt 2)/2 exp(-(h^2 + t^2)/2), which never underflows here.
    const double second =
        z < detail::norm_cdf_subnormal_z
            ? 0.5 * _erfcx(-(_ONE_OVER_SQRT_TWO * z)) * std::exp(-0.5 * (h * h + t * t))
            : _norm_cdf(z) / b_max;
    const double b = _norm_cdf(h + t) * b_max - second;
    return detail::clamp_positive(b);
}

// Normalised Black call b(x, s) >= 0; the intrinsic value for s <= 0.
inline double _normalised_black_call(double x, double s) noexcept {
    // Put-call parity; the reflected call has x < 0, so this recurses once.
    if (x > 0.0) return _normalised_intrinsic_call(x) + _normalised_black_call(-x, s);
    if (s <= 0.0) return _normalised_intrinsic_call(x);
    // Invariant: x <= 0 (or NaN), s > 0 (or NaN). The region tests are written
    // in x and s, without dividing by s: h < -10 is x < -10 s, and so on.
    const double t = 0.5 * s;
    const double h = x / s;
    if (x < s * _ASYM_THRESH && x + s * t < s * (_ASYM_THRESH + _SMALL_T_THRESH)) {
        return _asymptotic_black_call(h, t);
    }
    if (t < _SMALL_T_THRESH) return _small_t_black_call(h, t);
    if (x + s * t > 0.85 * s) return _black_call_using_norm_cdf(x, s);
    return _black_call_using_erfcx(h, t);
}

// Normalised vega db/ds = 1/sqrt(2 pi) exp(-((x/s)^2 + (s/2)^2)/2).
inline double _normalised_vega(double x, double s) noexcept {
    const double ax = std::fabs(x);
    // At x = 0 the x/s term vanishes for every s, including s <= 0.
    if (ax <= 0.0) return _ONE_OVER_SQRT_TWO_PI * std::exp(s * (-0.125) * s);
    // (x/s)^2 would overflow (or s is not a volatility); the vega is 0 there.
    if (s <= 0.0 || s <= ax * _SQRT_DBL_MIN) return 0.0;
    return detail::black_scale(x / s, 0.5 * s);
}

// ln b(x, s) and b'/b, for x <= 0, s > 0, without forming b: where b
// underflows (b < DBL_MIN) both are still accurate. The h, t branches are
// b = b'(x, s) m(h, t), so ln b = ln b' + ln m and b'/b = 1/m with ln b' =
// ln(1/sqrt(2 pi)) - (h^2 + t^2)/2; the normal-CDF branch has b >= DBL_MIN
// for x above -1416 and is taken directly. The branches are chosen as in
// _normalised_black_call. ln b is NaN or -inf where m or b is not positive.
struct LogBlackCall {
    double log_b;
    double vega_over_b;
};

inline LogBlackCall _log_normalised_black_call(double x, double s) noexcept {
    // ln(1/sqrt(2 pi))
    constexpr double log_one_over_sqrt_two_pi = -0.91893853320467274;
    const double t = 0.5 * s;
    const double h = x / s;
    double m;
    if (x < s * _ASYM_THRESH && x + s * t < s * (_ASYM_THRESH + _SMALL_T_THRESH)) {
        const double r = (h + t) * (h - t);
        m = (t / r) * detail::asymptotic_sum(h, t, r);
    } else if (t < _SMALL_T_THRESH) {
        m = detail::small_t_expansion(h, t);
    } else if (x + s * t > 0.85 * s) {
        const double b = _black_call_using_norm_cdf(x, s);
        return {std::log(b), _normalised_vega(x, s) / b};
    } else {
        // 0.5 sqrt(2 pi) = sqrt(pi/2)
        m = _SQRT_PI_OVER_TWO * detail::erfcx_difference(h, t);
    }
    return {log_one_over_sqrt_two_pi - 0.5 * (h * h + t * t) + std::log(m), 1.0 / m};
}

}  // namespace quelta
