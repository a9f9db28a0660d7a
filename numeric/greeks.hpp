// Black-model Greeks with time to expiry 1 and zero rate.
//
// No input is screened: sigma = 0, K = 0 or a negative quotient F/K run
// through the formulas and come out as the IEEE infinities or NaN they
// produce. The scalar Python functions and the batch loop share the pieces
// below (the batch loop forms d1 and the density once per trade), so the
// batch Greeks equal the scalar ones bit for bit.
#pragma once

#include <cmath>
#include <cstdint>

#include "numeric/normal.hpp"

namespace quelta {

// d1 = (ln(F/K) + sigma^2/2) / sigma, the logarithm taken of the quotient.
inline double _black_d1(double F, double K, double sigma) noexcept {
    return (std::log(F / K) + 0.5 * sigma * sigma) / sigma;
}

// Delta of a call (q >= 0) or a put (q < 0) at d1. The put delta is
// -Phi(-d1) rather than Phi(d1) - 1, which keeps its relative accuracy deep
// in the money.
inline double _black_delta_at(double d1, std::int32_t q) noexcept {
    return q < 0 ? -_norm_cdf(-d1) : _norm_cdf(d1);
}

// Gamma from the density at d1.
inline double _black_gamma_at(double pdf, double F, double sigma) noexcept {
    return pdf / (F * sigma);
}

// Vega per one percentage point of volatility, from the density at d1.
inline double _black_vega_at(double pdf, double F) noexcept {
    return pdf * F * 0.01;
}

inline double _black_delta(double F, double K, double sigma, std::int32_t q) noexcept {
    return _black_delta_at(_black_d1(F, K, sigma), q);
}

inline double _black_gamma(double F, double K, double sigma) noexcept {
    return _black_gamma_at(_norm_pdf(_black_d1(F, K, sigma)), F, sigma);
}

inline double _black_vega(double F, double K, double sigma) noexcept {
    return _black_vega_at(_norm_pdf(_black_d1(F, K, sigma)), F);
}

}  // namespace quelta
