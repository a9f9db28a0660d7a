// Black-model Greeks with time to expiry 1 and zero rate.
//
// No input is screened: sigma = 0, K = 0 or a negative quotient F/K run
// through the formulas and come out as the IEEE infinities or NaN they
// produce. Two guards keep extreme but valid arguments exact: ln F - ln K
// where F/K is not a normal number, and the density folded into one
// exponential with its factor F or 1/(F sigma) where it is subnormal. The scalar Python functions
// and the batch loop share the pieces below (the batch loop forms d1 and the density once per
// trade), so the batch Greeks equal the scalar ones bit for bit.
#pragma once

#include <cmath>
#include <cstdint>

#include "numeric/constants.hpp"
#include "numeric/normal.hpp"

namespace quelta {

// ln(F/K): the logarithm of the quotient, or ln F - ln K where the quotient
// over- or underflows (or is subnormal) and has lost the log-moneyness.
inline double _black_log_moneyness(double F, double K) noexcept {
    const double ratio = F / K;
    return std::isnormal(ratio) ? std::log(ratio) : std::log(F) - std::log(K);
}

// d1 = (ln(F/K) + sigma^2/2) / sigma.
inline double _black_d1(double F, double K, double sigma) noexcept {
    return (_black_log_moneyness(F, K) + 0.5 * sigma * sigma) / sigma;
}

namespace detail {

// phi(d1) times e^log_scale, for a density phi(d1) = pdf below DBL_MIN (or
// underflowed to 0) whose scaled value may still be normal: the scale is
// folded into the exponent instead of multiplying a number that has lost bits.
inline double scaled_density(double d1, double log_scale) noexcept {
    return _ONE_OVER_SQRT_TWO_PI * std::exp(d1 * (-0.5) * d1 + log_scale);
}

}  // namespace detail

// Delta of a call (q >= 0) or a put (q < 0) at d1. The put delta is
// -Phi(-d1) rather than Phi(d1) - 1, which keeps its relative accuracy deep
// in the money.
inline double _black_delta_at(double d1, std::int32_t q) noexcept {
    return q < 0 ? -_norm_cdf(-d1) : _norm_cdf(d1);
}

// Gamma from d1 and the density pdf = phi(d1); a subnormal density or
// product F sigma is replaced by phi(d1)/(F sigma) taken in one exponential.
inline double _black_gamma_at(double d1, double pdf, double F, double sigma) noexcept {
    if ((pdf < _DBL_MIN || F * sigma < _DBL_MIN) && F > 0 && sigma > 0) {
        return detail::scaled_density(d1, -(std::log(F) + std::log(sigma)));
    }
    return pdf / (F * sigma);
}

// Vega per one percentage point of volatility from d1 and pdf = phi(d1); a
// subnormal density is replaced by phi(d1) F taken in one exponential.
inline double _black_vega_at(double d1, double pdf, double F) noexcept {
    if (pdf < _DBL_MIN && F > 0) return detail::scaled_density(d1, std::log(F)) * 0.01;
    return pdf * F * 0.01;
}

inline double _black_delta(double F, double K, double sigma, std::int32_t q) noexcept {
    return _black_delta_at(_black_d1(F, K, sigma), q);
}

inline double _black_gamma(double F, double K, double sigma) noexcept {
    const double d1 = _black_d1(F, K, sigma);
    return _black_gamma_at(d1, _norm_pdf(d1), F, sigma);
}

inline double _black_vega(double F, double K, double sigma) noexcept {
    const double d1 = _black_d1(F, K, sigma);
    return _black_vega_at(d1, _norm_pdf(d1), F);
}

}  // namespace quelta
