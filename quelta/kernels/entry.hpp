// The entry points that each instruction set's unit defines for its lane
// type V (kernel_<level>.cpp): the batch kernel, and the elementary
// functions over arrays for the tests that compare them with mpmath.
#pragma once

#include <cstddef>

#include "numeric/bachelier.hpp"
#include "numeric/bachelier_batch.hpp"
#include "numeric/batch.hpp"
#include "numeric/normal.hpp"
#include "numeric/normalised_black.hpp"
#include "numeric/simd/elementary.hpp"
#include "numeric/simd/lanes.hpp"
#include "quelta/kernels/dispatch.hpp"

namespace quelta::kernel::detail {

template <class V>
V elementary_at(Elementary f, V x) noexcept {
    switch (f) {
        case Elementary::exp:
            return simd::exp(x);
        case Elementary::log:
            return simd::log(x);
        case Elementary::erfcx:
            return simd::erfcx(x);
        case Elementary::norm_cdf:
            return simd::norm_cdf(x);
        case Elementary::inverse_norm_cdf:
            return simd::inverse_norm_cdf(x);
        case Elementary::normal_time_value:
            return bachelier::normalised_time_value(x);
    }
    return x;
}

// y[i] = f(x[i]) for i < n, W at a time; the last partial vector padded with 1.
template <class V>
void elementary(Elementary f, const double* x, double* y, std::size_t n) noexcept {
    constexpr std::size_t w = simd::width_v<V>;
    std::size_t i = 0;
    for (; i + w <= n; i += w) simd::store(y + i, elementary_at(f, simd::load<V>(x + i)));
    if (i == n) return;
    double in[w], out[w];
    for (std::size_t lane = 0; lane < w; ++lane) in[lane] = i + lane < n ? x[i + lane] : 1.0;
    simd::store(out, elementary_at(f, simd::load<V>(in)));
    for (std::size_t lane = 0; lane < n - i; ++lane) y[i + lane] = out[lane];
}

// b[i] = b(x[i], s[i]) for i < n, W at a time; the last partial vector
// padded with the at-the-money point (0, 1).
template <class V>
void black_call(const double* x, const double* s, double* b, std::size_t n) noexcept {
    constexpr std::size_t w = simd::width_v<V>;
    std::size_t i = 0;
    for (; i + w <= n; i += w) {
        simd::store(b + i, simd::normalised_black_call(simd::load<V>(x + i), simd::load<V>(s + i)));
    }
    if (i == n) return;
    double xs[w], ss[w], out[w];
    for (std::size_t lane = 0; lane < w; ++lane) {
        xs[lane] = i + lane < n ? x[i + lane] : 0.0;
        ss[lane] = i + lane < n ? s[i + lane] : 1.0;
    }
    simd::store(out, simd::normalised_black_call(simd::load<V>(xs), simd::load<V>(ss)));
    for (std::size_t lane = 0; lane < n - i; ++lane) b[i + lane] = out[lane];
}

}  // namespace quelta::kernel::detail
