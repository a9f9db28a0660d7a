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

// A chunk of up to `capacity` rows in three passes:
//   1. every row is normalised and given its initial guess (rows in order,
//      W at a time);
//   2. the rows that need Householder steps are grouped by their objective
//      and by the branch of the normalised Black function at their guess,
//      and iterated W at a time in that order, so that a vector mostly
//      evaluates one branch instead of all of them;
//   3. the volatility, Greeks and reason of every row (rows in order).
// Each row goes through the same operations as in implied_vol, whichever
// rows share its vector, so the grouping changes no bit of the results.
// For W = 1 there is nothing to group and the rows keep their order.
template <class V>
struct Chunk {
    using M = mask_t<V>;
    static constexpr std::size_t w = width_v<V>;
    static constexpr std::size_t capacity = 256;

    // Inputs and outputs, copied in and out so that the last vector can be
    // padded with a harmless at-the-money call.
    double quoted[capacity], forward[capacity], strike[capacity], kind[capacity],
        discount[capacity];
    double vol[capacity], delta[capacity], gamma[capacity], vega[capacity];
    std::int8_t reason[capacity];
    // The state of pass 2: the iteration of each row, 1.0 or 0.0 for its
    // masks, the solver's result.
    double beta[capacity], x[capacity], b_max[capacity], ln_beta[capacity], s[capacity],
        s_left[capacity], s_right[capacity], lower[capacity], upper[capacity];
    double iterate[capacity], rejected[capacity], result[capacity];
    std::uint16_t order[capacity];

    // The price as solved: undiscounted.
    static V price_of(const Rows& r, V quoted_price, V disc) noexcept {
        return r.discounted_price ? quoted_price / disc : quoted_price;
    }

    static M skipped(V F, V K, V disc) noexcept { return F <= 0.0 || K <= 0.0 || disc <= 0.0; }

    void guess(const Rows& r, std::size_t i) noexcept {
        const V disc = load<V>(discount + i);
        const V F = load<V>(forward + i);
        const V K = load<V>(strike + i);
        const Normalised<V> n = normalise(price_of(r, load<V>(quoted + i), disc), F, K,
                                          load<V>(kind + i));
        const M solve = !n.rejected && !skipped(F, K, disc);
        store(rejected + i, select(n.rejected, V(1.0), V(0.0)));
        if (!any(solve)) {
            store(iterate + i, V(0.0));
            store(result + i, V(0.0));
            return;
        }
        const Guess<V> g = initial_guess(n.beta, n.x, n.kind);
        store(iterate + i, select(solve && g.open, V(1.0), V(0.0)));
        store(result + i, g.closed);
        store(beta + i, g.it.beta);
        store(x + i, g.it.x);
        store(b_max + i, g.it.b_max);
        store(ln_beta + i, g.it.ln_beta);
        store(s + i, g.it.s);
        store(s_left + i, g.it.s_left);
        store(s_right + i, g.it.s_right);
        store(lower + i, select(g.it.lower, V(1.0), V(0.0)));
        store(upper + i, select(g.it.upper, V(1.0), V(0.0)));
    }

    // The group of row i: its objective (lower, middle, upper) and the
    // branch of b(x, s) at its guess, as numbered by black_branch.
    int group(std::size_t i) const noexcept {
        const double sv = s[i];
        const double t = 0.5 * sv;
        int branch = 3;
        if (x[i] < sv * _ASYM_THRESH && x[i] + sv * t < sv * (_ASYM_THRESH + _SMALL_T_THRESH)) {
            branch = 0;
        } else if (t < _SMALL_T_THRESH) {
            branch = 1;
        } else if (x[i] + sv * t > 0.85 * sv) {
            branch = 2;
        }
        const int objective = lower[i] != 0.0 ? 0 : upper[i] != 0.0 ? 2 : 1;
        return 4 * objective + branch;
    }

    // Lists the rows to iterate, grouped (counting sort, stable); returns their number.
    std::size_t sort(std::size_t m) noexcept {
        constexpr int groups = 12;
        if (w == 1) {
            std::size_t k = 0;
            for (std::size_t i = 0; i < m; ++i) {
                if (iterate[i] != 0.0) order[k++] = static_cast<std::uint16_t>(i);
            }
            return k;
        }
        std::uint8_t key[capacity];
        std::size_t start[groups + 1] = {};
        for (std::size_t i = 0; i < m; ++i) {
            key[i] = static_cast<std::uint8_t>(iterate[i] != 0.0 ? group(i) : groups);
            if (key[i] < groups) ++start[key[i] + 1];
        }
        for (int g = 0; g < groups; ++g) start[g + 1] += start[g];
        for (std::size_t i = 0; i < m; ++i) {
            if (key[i] < groups) order[start[key[i]]++] = static_cast<std::uint16_t>(i);
        }
        return start[groups - 1];
    }

    // Householder steps for the rows order[j .. j + W - 1].
    void iterate_group(std::size_t j) noexcept {
        double lane_values[9][w];
        double* fields[9] = {beta, x, b_max, ln_beta, s, s_left, s_right, lower, upper};
        for (int f = 0; f < 9; ++f) {
            for (std::size_t lane = 0; lane < w; ++lane) lane_values[f][lane] = fields[f][order[j + lane]];
        }
        const detail::Iteration<V> it{load<V>(lane_values[0]), load<V>(lane_values[1]),
                                      load<V>(lane_values[2]), load<V>(lane_values[3]),
                                      load<V>(lane_values[4]), load<V>(lane_values[5]),
                                      load<V>(lane_values[6]), load<V>(lane_values[7]) == 1.0,
                                      load<V>(lane_values[8]) == 1.0};
        const M all = V(0.0) == 0.0;
        double out[w];
        store(out, detail::householder(it, _IV_MAX_ITER, all));
        for (std::size_t lane = 0; lane < w; ++lane) result[order[j + lane]] = out[lane];
    }

    void finish(const Rows& r, std::size_t i) noexcept {
        const V quoted_price = load<V>(quoted + i);
        const V F = load<V>(forward + i);
        const V K = load<V>(strike + i);
        const V q = load<V>(kind + i);
        const V disc = load<V>(discount + i);
        // Non-positive forwards, strikes and discount factors give zeros.
        const M skip = skipped(F, K, disc);
        const V v = select(skip, V(0.0),
                           accepted_volatility(load<V>(rejected + i) == 1.0, load<V>(result + i)));
        store(vol + i, v);
        if (r.delta != nullptr) {
            const M solved = v > 0.0;
            V d(0.0), g(0.0), e(0.0);
            if (any(solved)) {
                const V d1 = black_d1(F, K, v);
                const V pdf = norm_pdf(d1);
                d = black_delta_at(d1, q) * disc;
                g = black_gamma_at(pdf, F, v) * disc;
                e = black_vega_at(pdf, F) * disc;
            }
            if (any(!solved)) {
                // No time value: the delta of the payoff itself.
                const M call = !(q < 0.0);
                const V payoff =
                    select(call, select(F > K, disc, V(0.0)), select(F < K, -disc, V(0.0)));
                d = select(solved, d, select(skip, V(0.0), payoff));
                g = select(solved, g, V(0.0));
                e = select(solved, e, V(0.0));
            }
            store(delta + i, d);
            store(gamma + i, g);
            store(vega + i, e);
        }
        if (r.reason != nullptr) {
            double codes[w];
            store(codes, reason_code(quoted_price, price_of(r, quoted_price, disc), F, K, q, disc, v));
            for (std::size_t lane = 0; lane < w; ++lane) {
                reason[i + lane] = static_cast<std::int8_t>(codes[lane]);
            }
        }
    }

    // Rows first .. first + m - 1 of r, m <= capacity.
    void run(const Rows& r, std::size_t first, std::size_t m) noexcept {
        const std::size_t padded = (m + w - 1) / w * w;
        for (std::size_t i = 0; i < padded; ++i) {
            const bool row = i < m;
            quoted[i] = row ? r.price[first + i] : 0.04;
            forward[i] = row ? r.forward[first + i] : 1.0;
            strike[i] = row ? r.strike[first + i] : 1.0;
            kind[i] = row ? r.kind[first + i] : 1.0;
            discount[i] = row ? r.discount[first + i] : 1.0;
        }
        for (std::size_t i = 0; i < padded; i += w) guess(r, i);
        const std::size_t k = sort(padded);
        if (k > 0) {
            // The last group is padded by repeating its last row.
            for (std::size_t j = k; j % w != 0; ++j) order[j] = order[k - 1];
            for (std::size_t j = 0; j < k; j += w) iterate_group(j);
        }
        for (std::size_t i = 0; i < padded; i += w) finish(r, i);
        for (std::size_t i = 0; i < m; ++i) {
            r.vol[first + i] = vol[i];
            if (r.delta != nullptr) {
                r.delta[first + i] = delta[i];
                r.gamma[first + i] = gamma[i];
                r.vega[first + i] = vega[i];
            }
            if (r.reason != nullptr) r.reason[first + i] = reason[i];
        }
    }
};

}  // namespace detail

// Solves n rows of r, a chunk at a time.
template <class V>
void solve_rows(const Rows& r, std::size_t n) noexcept {
    using Chunk = detail::Chunk<V>;
    Chunk chunk;
    for (std::size_t first = 0; first < n; first += Chunk::capacity) {
        chunk.run(r, first, n - first < Chunk::capacity ? n - first : Chunk::capacity);
    }
}

}  // namespace quelta::simd
