// Black-model Greeks with time to expiry 1 and zero rate.
//
// No input is screened: sigma = 0, K = 0 or a negative quotient F/K run
// through the formulas and come out as the IEEE infinities or NaN they
// produce. Two guards keep extreme but valid arguments exact: ln F - ln K
// where F/K is not a normal number, and the density folded into one
// exponential with its factor F or 1/(F sigma) where it is subnormal. The
// scalar Python functions and the batch kernel share the pieces below, generic
// over the lane type (the batch forms d1 and the density once per trade), so
// the batch Greeks equal the scalar ones bit for bit.
#pragma once

#include <cstdint>

#include "numeric/constants.hpp"
#include "numeric/normal.hpp"
#include "numeric/normalised_black.hpp"
#include "numeric/simd/elementary.hpp"
#include "numeric/simd/lanes.hpp"

namespace quelta::simd {

// d1 = (ln(F/K) + sigma^2/2) / sigma, ln(F/K) as log_moneyness takes it.
template <class V>
inline V black_d1(V F, V K, V sigma) noexcept {
    return (log_moneyness(F, K) + 0.5 * sigma * sigma) / sigma;
}

namespace detail {

// phi(d1) times e^log_scale, for a density phi(d1) below DBL_MIN (or
// underflowed to 0) whose scaled value may still be normal: the scale is
// folded into the exponent instead of multiplying a number that has lost bits.
template <class V>
inline V scaled_density(V d1, V log_scale) noexcept {
    return _ONE_OVER_SQRT_TWO_PI * simd::exp(d1 * (-0.5) * d1 + log_scale);
}

}  // namespace detail

// Delta of a call (q >= 0) or a put (q < 0) at d1. The put delta is
// -Phi(-d1) rather than Phi(d1) - 1, which keeps its relative accuracy deep
// in the money.
template <class V>
inline V black_delta_at(V d1, V q) noexcept {
    const mask_t<V> put = q < 0.0;
    const V phi = norm_cdf(select(put, -d1, d1));
    return select(put, -phi, phi);
}

// Gamma from d1 and the density pdf = phi(d1); a subnormal density or
// product F sigma is replaced by phi(d1)/(F sigma) taken in one exponential.
template <class V>
inline V black_gamma_at(V d1, V pdf, V F, V sigma) noexcept {
    const mask_t<V> scaled = (pdf < _DBL_MIN || F * sigma < _DBL_MIN) && F > 0.0 && sigma > 0.0;
    const V gamma = pdf / (F * sigma);
    if (!any(scaled)) return gamma;
    return select(scaled, detail::scaled_density(d1, -(simd::log(F) + simd::log(sigma))), gamma);
}

// Vega per one percentage point of volatility from d1 and pdf = phi(d1); a
// subnormal density is replaced by phi(d1) F taken in one exponential.
template <class V>
inline V black_vega_at(V d1, V pdf, V F) noexcept {
    const mask_t<V> scaled = pdf < _DBL_MIN && F > 0.0;
    const V vega = pdf * F * 0.01;
    if (!any(scaled)) return vega;
    return select(scaled, detail::scaled_density(d1, simd::log(F)) * 0.01, vega);
}

}  // namespace quelta::simd

namespace quelta {

// The scalar Greeks of the Python functions, of a call (q >= 0) or a put (q < 0).
inline double _black_delta(double F, double K, double sigma, std::int32_t q) noexcept {
    return simd::black_delta_at(simd::black_d1(F, K, sigma), kind_of_sign(q));
}

inline double _black_gamma(double F, double K, double sigma) noexcept {
    const double d1 = simd::black_d1(F, K, sigma);
    return simd::black_gamma_at(d1, simd::norm_pdf(d1), F, sigma);
}

inline double _black_vega(double F, double K, double sigma) noexcept {
    const double d1 = simd::black_d1(F, K, sigma);
    return simd::black_vega_at(d1, simd::norm_pdf(d1), F);
}

}  // namespace quelta
