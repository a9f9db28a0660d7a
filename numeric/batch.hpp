// The batch kernel: implied volatility, Greeks and the reason for a missing
// volatility, for contiguous rows, generic over the lane type.
//
// Each ISA instantiates solve_rows once in a unit of its own; the rows are
// read and written where the caller holds them, W at a time, and a last
// partial vector is copied out and padded with a harmless at-the-money row
// whose results are dropped. Every row is computed by the
// same operations whatever its position, so the results do not depend on
// the width, the length or where a row sits in the array.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "numeric/constants.hpp"
#include "numeric/greeks.hpp"
#include "numeric/implied_vol.hpp"
#include "numeric/normal.hpp"
#include "numeric/simd/lanes.hpp"

namespace quelta::simd {

// Why a row has no implied volatility; the values are the codes of the
// Python layer's Reason (which adds only its own code 8 for an unreadable cell).
enum class Reason : std::int8_t {
    ok = 0,
    below_intrinsic = 1,
    above_maximum = 2,
    at_intrinsic = 3,
    non_positive_input = 4,
    non_positive_expiry = 5,
    not_finite = 6,
    not_solved = 7,
};

// A reason's code in every lane, for the selects that decide it lane by lane.
template <class V>
inline V code_of(Reason r) noexcept {
    return V(static_cast<double>(static_cast<std::int8_t>(r)));
}

// Contiguous rows: inputs (kind is +-1, only its sign is read) and outputs.
// delta, gamma and vega are either all given or all null; reason may be
// null. With discounted_price the prices are market prices, divided by the
// discount factor before solving; otherwise they are undiscounted already.
// Without an expiry the results are in total volatility w = sigma sqrt(T);
// with one (and reason) they are annualised, the expiry is checked
// and a row that is not ok has NaN results (see annualise). An output may
// be the very array of an input (each vector of rows is read before it is
// written) but must not overlap one otherwise.
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
    const double* expiry = nullptr;
};

// Rows first .. first + m - 1 of r in annualised terms, when r has an
// expiry T: its codes (a NaN or infinite T is not_finite, a T <= 0
// non_positive_expiry unless an input is not finite already), the
// volatility sigma = w / sqrt(T) and the vega per unit of sigma, dV/dw
// sqrt(T), of the rows that are ok, and NaN for every result of the others.
inline void annualise(const Rows& r, std::size_t first, std::size_t m) noexcept {
    if (r.expiry == nullptr || r.reason == nullptr) return;
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr auto code = [](Reason c) { return static_cast<std::int8_t>(c); };
    for (std::size_t i = first; i < first + m; ++i) {
        const double t = r.expiry[i];
        if (!(std::fabs(t) < std::numeric_limits<double>::infinity())) {
            r.reason[i] = code(Reason::not_finite);
        } else if (t <= 0.0 && r.reason[i] != code(Reason::not_finite)) {
            r.reason[i] = code(Reason::non_positive_expiry);
        }
        const bool ok = r.reason[i] == code(Reason::ok);
        const double root_t = std::sqrt(t);
        r.vol[i] = ok ? r.vol[i] / root_t : nan;
        if (r.delta != nullptr) {
            r.delta[i] = ok ? r.delta[i] : nan;
            r.gamma[i] = ok ? r.gamma[i] : nan;
            r.vega[i] = ok ? r.vega[i] * root_t : nan;
        }
    }
}

// Rows first .. of r: the same arrays from row `first` on.
inline Rows rows_from(const Rows& r, std::size_t first) noexcept {
    const auto at = [first](auto* column) { return column == nullptr ? column : column + first; };
    return {at(r.price),    at(r.forward), at(r.strike),       at(r.kind),
            at(r.discount), at(r.vol),     at(r.delta),        at(r.gamma),
            at(r.vega),     at(r.reason),  r.discounted_price, at(r.expiry)};
}

namespace detail {

// How far, relative to itself, an undiscounted price P / D can sit from the
// value U it stands for when the quote was U times D rounded to double. The
// quote is D U (1 + e1) and its quotient P / D rounds to U (1 + e1)(1 + e2),
// |e1|, |e2| <= u = 2^-53, so |P / D - U| <= (2u + u^2) / (1 - u)^2 |P / D|,
// a little over 2u. Twice that, 4u = 2^-51, bounds it with room to spare and
// is a power of two: the tolerance of a price is exact, and so is the
// comparison with its distance from U (Sterbenz). A time value that small
// is the last bit of the division, not information about a volatility.
constexpr double undiscounting_rounding = 0x1p-51;

// The reason code of each lane, first failed check first: a non-finite
// input, a non-positive one (both on the prices as given), the price band of
// implied_vol on the undiscounted price, and last the solver itself (no
// positive volatility).
template <class V>
inline V reason_code(V quoted, V price, V F, V K, V kind, V disc, V vol) noexcept {
    using M = mask_t<V>;
    constexpr double inf = std::numeric_limits<double>::infinity();
    const M put = kind < 0.0;
    const V intrinsic = intrinsic_value(F, K, kind);
    V code = select(vol > 0.0, code_of<V>(Reason::ok), code_of<V>(Reason::not_solved));
    code = select(price == intrinsic, code_of<V>(Reason::at_intrinsic), code);
    code = select(price >= select(put, K, F), code_of<V>(Reason::above_maximum), code);
    code = select(price < intrinsic, code_of<V>(Reason::below_intrinsic), code);
    code = select(quoted <= 0.0 || F <= 0.0 || K <= 0.0 || disc <= 0.0,
                  code_of<V>(Reason::non_positive_input), code);
    const M finite = vabs(quoted) < inf && vabs(F) < inf && vabs(K) < inf && vabs(disc) < inf;
    return select(finite, code, code_of<V>(Reason::not_finite));
}

// A chunk of up to `capacity` rows in four passes:
//   1. every row is normalised and placed against the inflection point of
//      its curve (rows in order, W at a time);
//   2. the rows to solve, grouped by side and by the branch that b(x, s)
//      takes at their second reference point, get their initial guess;
//   3. the same rows, grouped by objective and by the branch of b(x, s) at
//      their guess, take their Householder steps;
//   4. the volatility, Greeks and reason of every row (rows in order).
// Grouping keeps most vectors on one branch of the normalised Black
// function instead of evaluating several and blending. Each row goes through
// the same operations as in implied_vol, whichever rows share its vector, so
// the grouping changes no bit of the results. For W = 1 there is nothing to
// group and the rows keep their order. The inputs are read from the rows
// themselves and the results written there.
template <class V>
struct Chunk {
    using M = mask_t<V>;
    static constexpr std::size_t w = width_v<V>;
    static constexpr std::size_t capacity = 256;
    static_assert(capacity % w == 0, "a chunk holds whole vectors");

    // The solver's state per row (masks as 1.0 or 0.0): passes 1 and 2 ...
    double s_c[capacity], b_c[capacity], v_c[capacity], s_next[capacity], below[capacity];
    // ... and 2 and 3.
    double beta[capacity], x[capacity], b_max[capacity], ln_beta[capacity], s[capacity],
        s_left[capacity], s_right[capacity], lower[capacity], upper[capacity];
    double group[capacity], rejected[capacity], result[capacity];
    std::uint16_t order[capacity];
    // Fields of the listed rows in list order, for passes 2 and 3.
    double sorted[9][capacity];

    // The undiscounted price of a row. A market price within the rounding of
    // the division of the intrinsic value or of the largest price (the
    // forward for a call, the strike for a put) is that value exactly, so
    // that its reason does not hang on the last bit of the quotient. Where
    // D is 1 the division is exact and nothing moves.
    static V price_of(const Rows& r, V quoted_price, V F, V K, V kind, V disc) noexcept {
        if (!r.discounted_price) return quoted_price;
        const V price = quoted_price / disc;
        const V slack = select(disc == 1.0, V(0.0), undiscounting_rounding * vabs(price));
        const V intrinsic = intrinsic_value(F, K, kind);
        const V maximum = select(kind < 0.0, K, F);
        const V at_bound = select(vabs(price - intrinsic) < slack, intrinsic, price);
        return select(vabs(price - maximum) < slack, maximum, at_bound);
    }

    static M skipped(V F, V K, V disc) noexcept { return F <= 0.0 || K <= 0.0 || disc <= 0.0; }

    static V flag(M m) noexcept { return select(m, V(1.0), V(0.0)); }

    void inflect(const Rows& r, std::size_t i) noexcept {
        const V disc = load<V>(r.discount + i);
        const V F = load<V>(r.forward + i);
        const V K = load<V>(r.strike + i);
        const V q = load<V>(r.kind + i);
        const Normalised<V> n =
            normalise(price_of(r, load<V>(r.price + i), F, K, q, disc), F, K, q);
        M solving = !n.rejected && !skipped(F, K, disc);
        store(rejected + i, flag(n.rejected));
        V answer(0.0);
        // A price below DBL_MIN is solved here, from its logarithm, where
        // that solve starts (these rows are rare); the others go on.
        const M tiny = solving && n.tiny;
        if (any(tiny)) {
            const V logarithmic = log_converged_solver(n.ln_beta, n.x, n.kind, tiny);
            const M solved = logarithmic >= 0.0;
            answer = select(solved, logarithmic, answer);
            solving = solving && !solved;
        }
        if (!any(solving)) {
            store(group + i, V(12.0));
            store(result + i, answer);
            return;
        }
        const Inflection<V> p = inflection(n.beta, n.x, n.kind);
        // The group of the guess: side and the branch at the second point.
        store(group + i,
              select(solving && p.open, 4.0 * flag(p.below) + branch(p.x, p.s_next), V(12.0)));
        store(result + i, select(solving, p.closed, answer));
        store(beta + i, p.beta);
        store(x + i, p.x);
        store(b_max + i, p.b_max);
        store(s_c + i, p.s_c);
        store(b_c + i, p.b_c);
        store(v_c + i, p.v_c);
        store(s_next + i, p.s_next);
        store(below + i, flag(p.below));
    }

    // The branch of b(x, s) for x <= 0 that black_branches picks, as a
    // number: asymptotic 0, small t 1, normal CDF 2, erfcx 3 (also NaN).
    static V branch(V xv, V sv) noexcept {
        const BlackBranches<V> br = black_branches(xv, sv);
        return select(br.asymptotic, V(0.0),
                      select(br.small_t, V(1.0), select(br.norm_cdf, V(2.0), V(3.0))));
    }

    // Lists the rows whose group (0 to 11; 12 for a row not to list) is
    // below 12 in order[], grouped (a stable counting sort), padded to whole
    // vectors by repeating the last row; returns the padded count.
    std::size_t sort(std::size_t m) noexcept {
        constexpr std::size_t unlisted = 12;
        std::size_t k = 0;
        if (w == 1) {
            for (std::size_t i = 0; i < m; ++i) {
                if (group[i] < unlisted) order[k++] = static_cast<std::uint16_t>(i);
            }
        } else {
            std::uint8_t key[capacity];
            std::size_t start[unlisted + 1] = {};
            for (std::size_t i = 0; i < m; ++i) {
                key[i] = static_cast<std::uint8_t>(group[i]);
                if (key[i] < unlisted) ++start[key[i] + 1];
            }
            for (std::size_t g = 0; g < unlisted; ++g) start[g + 1] += start[g];
            k = start[unlisted];
            for (std::size_t i = 0; i < m; ++i) {
                if (key[i] < unlisted) order[start[key[i]]++] = static_cast<std::uint16_t>(i);
            }
        }
        for (; k > 0 && k % w != 0; ++k) order[k] = order[k - 1];
        return k;
    }

    // The k listed rows of `fields` copied in list order into `sorted`, and
    // back: whole passes of scalar copies, so that the vectors load and store
    // contiguous lanes (a vector assembled lane by lane in memory would wait
    // on its own stores).
    template <std::size_t nf>
    void permute(double* const (&fields)[nf], std::size_t k) noexcept {
        for (std::size_t f = 0; f < nf; ++f) {
            // Every listed row's fields were stored by inflect or guess_groups,
            // through the lane stores that the analyzer does not follow.
            // NOLINTNEXTLINE(clang-analyzer-core.uninitialized.Assign)
            for (std::size_t j = 0; j < k; ++j) sorted[f][j] = fields[f][order[j]];
        }
    }

    template <std::size_t nf>
    void unpermute(double* const (&fields)[nf], std::size_t k) const noexcept {
        for (std::size_t f = 0; f < nf; ++f) {
            for (std::size_t j = 0; j < k; ++j) fields[f][order[j]] = sorted[f][j];
        }
    }

    V lanes(int f, std::size_t j) const noexcept { return load<V>(sorted[f] + j); }

    // Initial guesses of the k listed rows.
    void guess_groups(std::size_t k) noexcept {
        const M all = V(0.0) == 0.0;
        permute({beta, x, b_max, s_c, b_c, v_c, s_next, below}, k);
        for (std::size_t j = 0; j < k; j += w) {
            const Inflection<V> p{lanes(0, j), lanes(1, j),       lanes(2, j), lanes(3, j),
                                  lanes(4, j), lanes(5, j),       lanes(6, j), V(0.0),
                                  all,         lanes(7, j) == 1.0};
            const detail::Iteration<V> it = initial_guess(p);
            store(sorted[0] + j, it.ln_beta);
            store(sorted[1] + j, it.s);
            store(sorted[2] + j, it.s_left);
            store(sorted[3] + j, it.s_right);
            store(sorted[4] + j, flag(it.lower));
            store(sorted[5] + j, flag(it.upper));
            // The group of the steps: objective and the branch at the guess.
            const V objective = select(it.lower, V(0.0), select(it.upper, V(2.0), V(1.0)));
            store(sorted[6] + j, 4.0 * objective + branch(it.x, it.s));
        }
        unpermute({ln_beta, s, s_left, s_right, lower, upper, group}, k);
    }

    // Householder steps of the k listed rows.
    void iterate_groups(std::size_t k) noexcept {
        const M all = V(0.0) == 0.0;
        permute({beta, x, b_max, ln_beta, s, s_left, s_right, lower, upper}, k);
        for (std::size_t j = 0; j < k; j += w) {
            detail::Iteration<V> it{lanes(0, j), lanes(1, j),        lanes(2, j),
                                    lanes(3, j), lanes(4, j),        lanes(5, j),
                                    lanes(6, j), lanes(7, j) == 1.0, lanes(8, j) == 1.0};
            store(sorted[0] + j, detail::checked_householder(it, all));
        }
        unpermute({result}, k);
    }

    void finish(const Rows& r, std::size_t i) noexcept {
        const V quoted_price = load<V>(r.price + i);
        const V F = load<V>(r.forward + i);
        const V K = load<V>(r.strike + i);
        const V q = load<V>(r.kind + i);
        const V disc = load<V>(r.discount + i);
        // Non-positive forwards, strikes and discount factors give zeros.
        const M skip = skipped(F, K, disc);
        const V v = select(skip, V(0.0),
                           accepted_volatility(load<V>(rejected + i) == 1.0, load<V>(result + i)));
        store(r.vol + i, v);
        if (r.delta != nullptr) {
            const M solved = v > 0.0;
            V d(0.0), g(0.0), e(0.0);
            if (any(solved)) {
                const V d1 = black_d1(F, K, v);
                const V pdf = norm_pdf(d1);
                d = black_delta_at(d1, q) * disc;
                g = black_gamma_at(d1, pdf, F, v) * disc;
                e = black_vega_at(d1, pdf, F) * disc;
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
            store(r.delta + i, d);
            store(r.gamma + i, g);
            store(r.vega + i, e);
        }
        if (r.reason != nullptr) {
            double codes[w];
            store(codes, reason_code(quoted_price, price_of(r, quoted_price, F, K, q, disc), F, K,
                                     q, disc, v));
            for (std::size_t lane = 0; lane < w; ++lane) {
                r.reason[i + lane] = static_cast<std::int8_t>(codes[lane]);
            }
        }
    }

    // Rows 0 .. m - 1 of r, m <= capacity and a multiple of w.
    void run(const Rows& r, std::size_t m) noexcept {
        for (std::size_t i = 0; i < m; i += w) inflect(r, i);
        guess_groups(sort(m));
        iterate_groups(sort(m));
        for (std::size_t i = 0; i < m; i += w) finish(r, i);
    }
};

// The last m < W rows of r, copied into one vector padded with an
// at-the-money call and solved there; their results copied back.
template <class V>
inline void solve_tail(Chunk<V>& chunk, const Rows& r, std::size_t m) noexcept {
    constexpr std::size_t w = width_v<V>;
    const double* const columns[5] = {r.price, r.forward, r.strike, r.kind, r.discount};
    constexpr double padding[5] = {0.04, 1.0, 1.0, 1.0, 1.0};
    double in[5][w], out[4][w];
    std::int8_t codes[w];
    for (std::size_t c = 0; c < 5; ++c) {
        for (std::size_t lane = 0; lane < w; ++lane) {
            in[c][lane] = lane < m ? columns[c][lane] : padding[c];
        }
    }
    const bool greeks = r.delta != nullptr;
    const bool reasons = r.reason != nullptr;
    const Rows padded{in[0],
                      in[1],
                      in[2],
                      in[3],
                      in[4],
                      out[0],
                      greeks ? out[1] : nullptr,
                      greeks ? out[2] : nullptr,
                      greeks ? out[3] : nullptr,
                      reasons ? codes : nullptr,
                      r.discounted_price};
    chunk.run(padded, w);
    for (std::size_t lane = 0; lane < m; ++lane) {
        r.vol[lane] = out[0][lane];
        if (greeks) {
            r.delta[lane] = out[1][lane];
            r.gamma[lane] = out[2][lane];
            r.vega[lane] = out[3][lane];
        }
        if (reasons) r.reason[lane] = codes[lane];
    }
}

}  // namespace detail

// Solves n rows of r, a chunk at a time.
template <class V>
void solve_rows(const Rows& r, std::size_t n) noexcept {
    using Chunk = detail::Chunk<V>;
    constexpr std::size_t w = width_v<V>;
    Chunk chunk;
    const std::size_t whole = n / w * w;
    for (std::size_t first = 0; first < whole; first += Chunk::capacity) {
        const std::size_t m = whole - first < Chunk::capacity ? whole - first : Chunk::capacity;
        chunk.run(rows_from(r, first), m);
        annualise(r, first, m);
    }
    if (whole < n) {
        detail::solve_tail(chunk, rows_from(r, whole), n - whole);
        annualise(r, whole, n - whole);
    }
}

}  // namespace quelta::simd
