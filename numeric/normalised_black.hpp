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

#include "numeric/simd/black.hpp"

namespace quelta {

// The scalar functions are the width-one instances of numeric/simd/black.hpp,
// which every path of the core runs.

// Normalised intrinsic value |e^(x/2) - e^(-x/2)| of the option of kind q
// (only the sign of q matters) when it is in the money, q x > 0; else 0.
// Below x^2 = 98 _DBL_EPS^(1/4) it is the x^9 Taylor polynomial of 2 sinh(x/2),
// free of the cancellation of e^(x/2) - e^(-x/2).
inline double _normalised_intrinsic(double x, double q) noexcept {
    return simd::normalised_intrinsic(x, q);
}

inline double _normalised_intrinsic_call(double x) noexcept {
    return _normalised_intrinsic(x, 1.0);
}

// Asymptotic expansion for h < -10, h + t < -9.79 (x <= 0, s > 0).
inline double _asymptotic_black_call(double h, double t) noexcept {
    return simd::asymptotic_black_call(h, t);
}

// Expansion in t^2 for t < 0.2102 (x <= 0, s > 0, outside the asymptotic region).
inline double _small_t_black_call(double h, double t) noexcept {
    return simd::small_t_black_call(h, t);
}

// Scaled-erfcx form for t >= 0.2102, h + t <= 0.85, outside the asymptotic region.
inline double _black_call_using_erfcx(double h, double t) noexcept {
    return simd::black_call_using_erfcx(h, t);
}

// Direct normal-CDF form for t >= 0.2102, h + t > 0.85; its second term from
// erfcx where Phi(h - t) nears the subnormal range.
inline double _black_call_using_norm_cdf(double x, double s) noexcept {
    return simd::black_call_using_norm_cdf(x, s);
}

// Normalised Black call b(x, s) >= 0; the intrinsic value for s <= 0.
inline double _normalised_black_call(double x, double s) noexcept {
    return simd::normalised_black_call(x, s);
}

// Normalised vega db/ds = 1/sqrt(2 pi) exp(-((x/s)^2 + (s/2)^2)/2).
inline double _normalised_vega(double x, double s) noexcept {
    return simd::normalised_vega(x, s);
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
    const simd::LogBlackCall<double> v = simd::log_normalised_black_call(x, s);
    return {v.log_b, v.vega_over_b};
}

}  // namespace quelta
