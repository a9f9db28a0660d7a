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
#include "numeric/simd/greeks.hpp"

namespace quelta {

// d1 = (ln(F/K) + sigma^2/2) / sigma, the logarithm taken of the quotient.
inline double _black_d1(double F, double K, double sigma) noexcept {
    return simd::black_d1(F, K, sigma);
}

// Delta of a call (q >= 0) or a put (q < 0) at d1. The put delta is
// -Phi(-d1) rather than Phi(d1) - 1, which keeps its relative accuracy deep
// in the money.
inline double _black_delta_at(double d1, std::int32_t q) noexcept {
    return simd::black_delta_at(d1, q < 0 ? -1.0 : 1.0);
}

// Gamma from the density at d1.
inline double _black_gamma_at(double pdf, double F, double sigma) noexcept {
    return simd::black_gamma_at(pdf, F, sigma);
}

// Vega per one percentage point of volatility, from the density at d1.
inline double _black_vega_at(double pdf, double F) noexcept {
    return simd::black_vega_at(pdf, F);
}

inline double _black_delta(double F, double K, double sigma, std::int32_t q) noexcept {
    return _black_delta_at(_black_d1(F, K, sigma), q);
}

inline double _black_gamma(double F, double K, double sigma) noexcept {
    return _black_gamma_at(simd::norm_pdf(_black_d1(F, K, sigma)), F, sigma);
}

inline double _black_vega(double F, double K, double sigma) noexcept {
    return _black_vega_at(simd::norm_pdf(_black_d1(F, K, sigma)), F);
}

}  // namespace quelta
