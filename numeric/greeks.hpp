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

#include <cstdint>

#include "numeric/constants.hpp"
#include "numeric/normal.hpp"
#include "numeric/simd/greeks.hpp"

namespace quelta {

// The scalar functions are the width-one instances of numeric/simd/greeks.hpp,
// which the batch kernel runs W trades at a time.

// ln(F/K): the logarithm of the quotient, or ln F - ln K where the quotient
// over- or underflows (or is subnormal) and has lost the log-moneyness.
inline double _black_log_moneyness(double F, double K) noexcept {
    return simd::log_moneyness(F, K);
}

// d1 = (ln(F/K) + sigma^2/2) / sigma.
inline double _black_d1(double F, double K, double sigma) noexcept {
    return simd::black_d1(F, K, sigma);
}

// Delta of a call (q >= 0) or a put (q < 0) at d1. The put delta is
// -Phi(-d1) rather than Phi(d1) - 1, which keeps its relative accuracy deep
// in the money.
inline double _black_delta_at(double d1, std::int32_t q) noexcept {
    return simd::black_delta_at(d1, kind_of_sign(q));
}

// Gamma from d1 and the density pdf = phi(d1); a subnormal density or
// product F sigma is replaced by phi(d1)/(F sigma) taken in one exponential.
inline double _black_gamma_at(double d1, double pdf, double F, double sigma) noexcept {
    return simd::black_gamma_at(d1, pdf, F, sigma);
}

// Vega per one percentage point of volatility from d1 and pdf = phi(d1); a
// subnormal density is replaced by phi(d1) F taken in one exponential.
inline double _black_vega_at(double d1, double pdf, double F) noexcept {
    return simd::black_vega_at(d1, pdf, F);
}

inline double _black_delta(double F, double K, double sigma, std::int32_t q) noexcept {
    return _black_delta_at(_black_d1(F, K, sigma), q);
}

inline double _black_gamma(double F, double K, double sigma) noexcept {
    const double d1 = _black_d1(F, K, sigma);
    return _black_gamma_at(d1, simd::norm_pdf(d1), F, sigma);
}

inline double _black_vega(double F, double K, double sigma) noexcept {
    const double d1 = _black_d1(F, K, sigma);
    return _black_vega_at(d1, simd::norm_pdf(d1), F);
}

}  // namespace quelta
