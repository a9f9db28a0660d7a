// Black-model Greeks (time 1, zero rate), generic over the lane type: the
// pieces of numeric/greeks.hpp, shared by the scalar functions and the batch
// kernel so that both give the same bits.
#pragma once

#include "numeric/simd/elementary.hpp"
#include "numeric/simd/lanes.hpp"
#include "numeric/simd/normal.hpp"

namespace quelta::simd {

// d1 = (ln(F/K) + sigma^2/2) / sigma, the logarithm taken of the quotient.
template <class V>
inline V black_d1(V F, V K, V sigma) noexcept {
    return (simd::log(F / K) + 0.5 * sigma * sigma) / sigma;
}

// Delta of a call (q >= 0) or put (q < 0) at d1; the put's is -Phi(-d1).
template <class V>
inline V black_delta_at(V d1, V q) noexcept {
    const mask_t<V> put = q < 0.0;
    const V phi = norm_cdf(select(put, -d1, d1));
    return select(put, -phi, phi);
}

template <class V>
inline V black_gamma_at(V pdf, V F, V sigma) noexcept {
    return pdf / (F * sigma);
}

// Vega per one percentage point of volatility.
template <class V>
inline V black_vega_at(V pdf, V F) noexcept {
    return pdf * F * 0.01;
}

}  // namespace quelta::simd
