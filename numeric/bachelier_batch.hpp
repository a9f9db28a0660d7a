// The batch kernel of the normal (Bachelier) model: implied total normal
// volatility, discounted Greeks and reason codes of contiguous rows (the
// Rows of numeric/batch.hpp), generic over the lane type.
//
// Rows are taken W at a time; the last partial vector is padded with an
// at-the-money row whose results are dropped. Each lane goes through the same
// operations whatever its neighbours (a lane that has converged keeps its
// value while the others step on), so every level gives the scalar bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "numeric/bachelier.hpp"
#include "numeric/batch.hpp"
#include "numeric/simd/lanes.hpp"

namespace quelta::bachelier {

namespace detail {

// The reason code of each lane with the Black batch's codes: any forward
// and strike are valid, and every price above intrinsic has a volatility,
// so neither non_positive_input for F or K nor above_maximum occurs.
template <class V>
inline V reason_code(V quoted, V price, V F, V K, V kind, V disc, V vol) noexcept {
    using R = simd::Reason;
    using simd::code_of;
    constexpr double inf = std::numeric_limits<double>::infinity();
    const V intrinsic = bachelier::intrinsic_value(F, K, kind);
    V c = select(vol > 0.0, code_of<V>(R::ok), code_of<V>(R::not_solved));
    c = select(price == intrinsic, code_of<V>(R::at_intrinsic), c);
    c = select(price < intrinsic, code_of<V>(R::below_intrinsic), c);
    c = select(quoted <= 0.0 || disc <= 0.0, code_of<V>(R::non_positive_input), c);
    const mask_t<V> finite =
        vabs(quoted) < inf && vabs(F) < inf && vabs(K) < inf && vabs(disc) < inf;
    return select(finite, c, code_of<V>(R::not_finite));
}

// Rows i .. i + W - 1 of r, read from and written to the arrays given.
template <class V>
inline void solve_lanes(const simd::Rows& r, const double* quoted_in, const double* forward,
                        const double* strike, const double* kind_in, const double* discount,
                        double* vol, double* delta, double* gamma, double* vega,
                        std::int8_t* reason) noexcept {
    constexpr std::size_t w = simd::width_v<V>;
    const V quoted = simd::load<V>(quoted_in);
    const V F = simd::load<V>(forward);
    const V K = simd::load<V>(strike);
    const V kind = simd::load<V>(kind_in);
    const V disc = simd::load<V>(discount);
    const V p = r.discounted_price ? quoted / disc : quoted;
    const mask_t<V> usable = quoted > 0.0 && disc > 0.0;
    const V s =
        select(usable, bachelier::implied_vol(select(usable, p, V(0.0)), F, K, kind), V(0.0));
    simd::store(vol, s);
    if (delta != nullptr) {
        const mask_t<V> solved = s > 0.0;
        V d(0.0), g(0.0), e(0.0);
        if (any(solved)) {
            const Greeks<V> k = bachelier::greeks(F, K, select(solved, s, V(1.0)), kind);
            d = k.delta * disc;
            g = k.gamma * disc;
            e = k.vega * disc;
        }
        if (any(!solved)) {
            // No time value: the delta of the payoff itself.
            const mask_t<V> call = !(kind < 0.0);
            const V payoff =
                select(call, select(F > K, disc, V(0.0)), select(F < K, -disc, V(0.0)));
            d = select(solved, d, select(usable, payoff, V(0.0)));
            g = select(solved, g, V(0.0));
            e = select(solved, e, V(0.0));
        }
        simd::store(delta, d);
        simd::store(gamma, g);
        simd::store(vega, e);
    }
    if (reason != nullptr) {
        double codes[w];
        simd::store(codes, reason_code(quoted, p, F, K, kind, disc, s));
        for (std::size_t lane = 0; lane < w; ++lane) {
            reason[lane] = static_cast<std::int8_t>(codes[lane]);
        }
    }
}

// The last rows i .. n - 1 of r, fewer than W, padded with an at-the-money call.
template <class V>
inline void solve_tail(const simd::Rows& r, std::size_t i, std::size_t n) noexcept {
    constexpr std::size_t w = simd::width_v<V>;
    const bool greeks = r.delta != nullptr;
    double in[5][w], out[4][w];
    std::int8_t codes[w];
    const double* const columns[5] = {r.price, r.forward, r.strike, r.kind, r.discount};
    constexpr double padding[5] = {0.04, 1.0, 1.0, 1.0, 1.0};
    for (std::size_t c = 0; c < 5; ++c) {
        for (std::size_t lane = 0; lane < w; ++lane) {
            in[c][lane] = i + lane < n ? columns[c][i + lane] : padding[c];
        }
    }
    solve_lanes<V>(r, in[0], in[1], in[2], in[3], in[4], out[0], greeks ? out[1] : nullptr,
                   greeks ? out[2] : nullptr, greeks ? out[3] : nullptr,
                   r.reason != nullptr ? codes : nullptr);
    for (std::size_t lane = 0; lane < n - i; ++lane) {
        r.vol[i + lane] = out[0][lane];
        if (greeks) {
            r.delta[i + lane] = out[1][lane];
            r.gamma[i + lane] = out[2][lane];
            r.vega[i + lane] = out[3][lane];
        }
        if (r.reason != nullptr) r.reason[i + lane] = codes[lane];
    }
}

}  // namespace detail

// Solves the n rows of r: vol is the total normal volatility s, delta,
// gamma and vega are discounted (all given or all null), reason may be null;
// with an expiry, simd::annualise puts them in annualised terms.
template <class V>
void solve_rows(const simd::Rows& r, std::size_t n) noexcept {
    constexpr std::size_t w = simd::width_v<V>;
    std::size_t i = 0;
    const bool greeks = r.delta != nullptr;
    for (; i + w <= n; i += w) {
        detail::solve_lanes<V>(r, r.price + i, r.forward + i, r.strike + i, r.kind + i,
                               r.discount + i, r.vol + i, greeks ? r.delta + i : nullptr,
                               greeks ? r.gamma + i : nullptr, greeks ? r.vega + i : nullptr,
                               r.reason != nullptr ? r.reason + i : nullptr);
    }
    if (i < n) detail::solve_tail<V>(r, i, n);
    simd::annualise(r, 0, n);
}

}  // namespace quelta::bachelier
