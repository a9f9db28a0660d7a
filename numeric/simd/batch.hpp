// The batch kernel: implied volatility, Greeks and the reason for a missing
// volatility, for contiguous rows, generic over the lane type.
//
// Each ISA instantiates solve_rows once in a unit of its own; the rows are
// taken W at a time, and a last partial vector is padded with a harmless
// at-the-money row whose results are dropped. Every row is computed by the
// same operations whatever its position, so the results do not depend on
// the width, the length or where a row sits in the array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "numeric/constants.hpp"
#include "numeric/simd/greeks.hpp"
#include "numeric/simd/implied_vol.hpp"
#include "numeric/simd/lanes.hpp"
#include "numeric/simd/normal.hpp"

namespace quelta::simd {

// Why a row has no implied volatility; the values are the codes of the
// Python layer's Reason (which adds its own code 5 for the expiry).
enum class Reason : std::int8_t {
    ok = 0,
    below_intrinsic = 1,
    above_maximum = 2,
    at_intrinsic = 3,
    non_positive_input = 4,
    not_finite = 6,
    not_solved = 7,
};

// Contiguous rows: inputs (kind is +-1, only its sign is read) and outputs.
// delta, gamma and vega are either all given or all null; reason may be
// null. With discounted_price the prices are market prices, divided by the
// discount factor before solving; otherwise they are undiscounted already.
struct Rows {
    const double* price;
    const double* forward;
    const double* strike;
    const double* kind;
    const double* discount;
    double* vol;
    double* delta;
    double* gamma;
    double* vega;
    std::int8_t* reason;
    bool discounted_price = false;
};

namespace detail {

// The reason code of each lane, first failed check first: a non-finite
// input, a non-positive one (both on the prices as given), the price band of
// implied_vol on the undiscounted price, and last the solver itself (no
// positive volatility).
template <class V>
inline V reason_code(V quoted, V price, V F, V K, V kind, V disc, V vol) noexcept {
    using M = mask_t<V>;
    constexpr double inf = std::numeric_limits<double>::infinity();
    const M put = kind < 0.0;
    const V intrinsic = select(put, select(K > F, K - F, V(0.0)), select(K < F, F - K, V(0.0)));
    V code = select(vol > 0.0, V(0.0), V(7.0));
    code = select(price == intrinsic, V(3.0), code);
    code = select(price >= select(put, K, F), V(2.0), code);
    code = select(price < intrinsic, V(1.0), code);
    code = select(quoted <= 0.0 || F <= 0.0 || K <= 0.0 || disc <= 0.0, V(4.0), code);
    const M finite = vabs(quoted) < inf && vabs(F) < inf && vabs(K) < inf && vabs(disc) < inf;
    return select(finite, code, V(6.0));
}

// Rows i .. i + W - 1 of r, read from the contiguous arrays in and written
// to out (in and out are r itself, or a padded copy of a partial vector).
template <class V>
inline void solve_vector(const Rows& in, const Rows& out, std::size_t i) noexcept {
    using M = mask_t<V>;
    const V quoted = load<V>(in.price + i);
    const V F = load<V>(in.forward + i);
    const V K = load<V>(in.strike + i);
    const V kind = load<V>(in.kind + i);
    const V disc = load<V>(in.discount + i);
    const V price = in.discounted_price ? quoted / disc : quoted;
    // Non-positive forwards, strikes and discount factors give zeros.
    const M skipped = F <= 0.0 || K <= 0.0 || disc <= 0.0;
    const V vol = select(skipped, V(0.0), implied_vol(price, F, K, kind));
    store(out.vol + i, vol);
    if (out.delta != nullptr) {
        const M solved = vol > 0.0;
        V delta(0.0), gamma(0.0), vega(0.0);
        if (any(solved)) {
            const V d1 = black_d1(F, K, vol);
            const V pdf = norm_pdf(d1);
            delta = black_delta_at(d1, kind) * disc;
            gamma = black_gamma_at(pdf, F, vol) * disc;
            vega = black_vega_at(pdf, F) * disc;
        }
        if (any(!solved)) {
            // No time value: the delta of the payoff itself.
            const M call = !(kind < 0.0);
            const V payoff = select(call, select(F > K, disc, V(0.0)),
                                    select(F < K, -disc, V(0.0)));
            delta = select(solved, delta, select(skipped, V(0.0), payoff));
            gamma = select(solved, gamma, V(0.0));
            vega = select(solved, vega, V(0.0));
        }
        store(out.delta + i, delta);
        store(out.gamma + i, gamma);
        store(out.vega + i, vega);
    }
    if (out.reason != nullptr) {
        double codes[width_v<V>];
        store(codes, reason_code(quoted, price, F, K, kind, disc, vol));
        for (int lane = 0; lane < width_v<V>; ++lane) {
            out.reason[i + static_cast<std::size_t>(lane)] = static_cast<std::int8_t>(codes[lane]);
        }
    }
}

}  // namespace detail

// Solves n rows of r, W at a time.
template <class V>
void solve_rows(const Rows& r, std::size_t n) noexcept {
    constexpr std::size_t w = width_v<V>;
    std::size_t i = 0;
    for (; i + w <= n; i += w) detail::solve_vector<V>(r, r, i);
    const std::size_t rest = n - i;
    if (rest == 0) return;
    // The last partial vector, padded with an at-the-money call.
    double price[w], forward[w], strike[w], kind[w], discount[w];
    double vol[w], delta[w], gamma[w], vega[w];
    std::int8_t reason[w];
    for (std::size_t lane = 0; lane < w; ++lane) {
        const bool row = lane < rest;
        price[lane] = row ? r.price[i + lane] : 0.04;
        forward[lane] = row ? r.forward[i + lane] : 1.0;
        strike[lane] = row ? r.strike[i + lane] : 1.0;
        kind[lane] = row ? r.kind[i + lane] : 1.0;
        discount[lane] = row ? r.discount[i + lane] : 1.0;
    }
    const Rows in{price,   forward, strike,  kind,    discount,           nullptr,
                  nullptr, nullptr, nullptr, nullptr, r.discounted_price};
    const Rows out{nullptr,
                   nullptr,
                   nullptr,
                   nullptr,
                   nullptr,
                   vol,
                   r.delta != nullptr ? delta : nullptr,
                   r.delta != nullptr ? gamma : nullptr,
                   r.delta != nullptr ? vega : nullptr,
                   r.reason != nullptr ? reason : nullptr};
    detail::solve_vector<V>(in, out, 0);
    for (std::size_t lane = 0; lane < rest; ++lane) {
        r.vol[i + lane] = vol[lane];
        if (r.delta != nullptr) {
            r.delta[i + lane] = delta[lane];
            r.gamma[i + lane] = gamma[lane];
            r.vega[i + lane] = vega[lane];
        }
        if (r.reason != nullptr) r.reason[i + lane] = reason[lane];
    }
}

}  // namespace quelta::simd
