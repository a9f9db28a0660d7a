// Black implied volatility of an undiscounted European option price.
//
// _implied_vol_scalar screens the price against the no-arbitrage band, strips
// the intrinsic value of an in-the-money option (put-call parity) and hands
// the normalised out-of-the-money price beta = price/sqrt(F K) at log-moneyness
// x = ln(F/K) to the solver (_converged_solver; _unchecked_solver runs a
// fixed number of passes).
//
// The solver reduces a put to a call (x <= 0), then places beta among three
// reference prices on the curve s -> b(x, s): b_c at the inflection point
// s_c = sqrt(2|x|), and b_l, b_h where the tangent at s_c meets price 0 and the
// upper limit b_max = e^(x/2). Each of the four segments gets its own initial
// guess by rational cubic interpolation:
//   1  beta < b_l            on the lower map, a transform of the price that
//                            is nearly linear near 0 and has a closed-form
//                            inverse; the curve itself is too flat there;
//   2  b_l <= beta < b_c     s directly as a function of beta;
//   3  b_c <= beta <= b_h    likewise;
//   4  beta > b_h            on the upper map, Phi(-s/2), which behaves well
//                            as beta approaches b_max.
// _IV_MAX_ITER = 2 third-order Householder steps follow, on an objective
// chosen per segment (1/ln b in segment 1, b itself in the middle,
// ln(b_max - b) near the top) and guarded by a bracket with bisection. They
// reach full double precision almost everywhere; where they have not
// converged (judged from the last step and the bracket, see
// detail::converged; at x = -99, s = 22.7 or x = -244.4, s = 29.13 the
// segment-4 guess is too far off), _converged_solver continues the same loop
// for at most _IV_EXTRA_ITER more passes, and a solve that still has not
// converged gives 0, not a number. A solve that converged in two passes keeps
// their result exactly. The segment-4 quadratic fallback and its middle loop
// are reached only for x below about -1415 (where the vega at s_c falls below
// _DBL_MIN) or a NaN price. The segment-1 quadratic takes over for |x| of a
// few hundred and beta many decades below b_l, where the cubic guess is a
// rounding-dominated difference of large terms and may come out negative.
//
// Scale: the problem is homogeneous in (price, F, K), and only two
// intermediate values can leave the normal range. The quotient F/K: where it
// is not normal, x is taken as ln F - ln K. And beta itself: a normal price
// whose beta is below DBL_MIN is solved from ln beta, formed without
// underflow, by the segment-1 steps on ln b and b'/b
// (_log_normalised_black_call), which never form b.
#pragma once

#include <cstdint>

#include "numeric/constants.hpp"
#include "numeric/normal.hpp"
#include "numeric/normalised_black.hpp"
#include "numeric/rational_cubic.hpp"
#include "numeric/simd/implied_vol.hpp"

namespace quelta {

// The scalar functions are the width-one instances of
// numeric/simd/implied_vol.hpp, which the batch kernel runs W rows at a time.

// Householder factor of third order: a step is newton * factor, where for an
// objective g, newton = -g/g', halley = g''/g' and hh3 = g'''/g'.
inline double _householder_factor(double newton, double halley, double hh3) noexcept {
    return simd::householder_factor(newton, halley, hh3);
}

// Lower map f = 2 pi/sqrt(27) |x| Phi(-z)^3 with z = |x|/(sqrt(3) s); writes
// its first and second derivatives with respect to the price b(x, s).
inline double _compute_f_lower_map(double x, double s, double& fp, double& fpp) noexcept {
    return simd::compute_f_lower_map(x, s, fp, fpp);
}

// The volatility whose lower-map value is f; 0 when f (or f scaled by |x|)
// is not positive.
inline double _inverse_f_lower_map(double x, double f) noexcept {
    return simd::inverse_f_lower_map(x, f);
}

// Upper map f = Phi(-s/2), with its first and second derivatives with respect
// to the price b(x, s).
inline double _compute_f_upper_map(double x, double s, double& fp, double& fpp) noexcept {
    return simd::compute_f_upper_map(x, s, fp, fpp);
}

inline double _inverse_f_upper_map(double f) noexcept {
    return simd::inverse_f_upper_map(f);
}

// Normalised volatility s with b(x, s) = beta for the option of kind q (only
// the sign is read: negative for a put), after exactly the first N Householder
// passes of the segment's loop (fewer if it stops by itself). Returns a value
// <= 0 when beta <= 0 and _DBL_MAX when beta >= b_max; the caller guarantees
// that beta holds no intrinsic value (q x <= 0).
inline double _unchecked_solver(double beta, double x, double q, int N) noexcept {
    return simd::unchecked_solver(beta, x, q, N);
}

// As _unchecked_solver with _IV_MAX_ITER passes, but checked: a solve whose
// first passes have not converged continues for at most _IV_EXTRA_ITER more,
// and one that has still not converged gives 0 (not solved).
inline double _converged_solver(double beta, double x, double q) noexcept {
    return simd::converged_solver(beta, x, q);
}

// The normalised volatility of a normalised price below DBL_MIN given by its
// logarithm ln_beta (the price itself would have lost bits to underflow), as
// _converged_solver: 0 when the solve does not converge; -1 when the
// volatility is itself below DBL_MIN, where ln_beta holds no more than the
// subnormal beta does.
inline double _log_converged_solver(double ln_beta, double x, double q) noexcept {
    return simd::log_converged_solver(ln_beta, x, q, true);
}

// Implied total volatility of an undiscounted price of a call (q >= 0) or a put
// (q < 0) on forward F with strike K; 0.0 for every price it cannot use, NaN
// for a NaN price. Only the sign of q is read; q = 0 counts as a call.
inline double _implied_vol_scalar(double price, double F, double K, std::int32_t q) noexcept {
    return simd::implied_vol(price, F, K, kind_of_sign(q));
}

}  // namespace quelta
