// Constants of the numeric core.
//
// These are the only globals the core has. Each one is the double nearest to
// its mathematical value (except _SMALL_T_THRESH, see below), written as a
// decimal literal that reads back to exactly the bits checked underneath.
// Naive double arithmetic lands one ulp low for 1/sqrt(2), sqrt(pi/2) and
// pi/6, which is why none of them is computed here.
//
// They are constexpr: fixed before the first instruction of the module runs,
// so the core reads them from any thread without synchronisation.
#pragma once

#include <bit>
#include <cstdint>

namespace quelta {

// smallest normal double, 2^-1022
inline constexpr double _DBL_MIN = 2.2250738585072014e-308;
// largest finite double
inline constexpr double _DBL_MAX = 1.7976931348623157e+308;
// machine epsilon, 2^-52
inline constexpr double _DBL_EPS = 2.220446049250313e-16;
// _DBL_EPS^(1/4) = 2^-13
inline constexpr double _FOURTH_ROOT_DBL_EPS = 0.0001220703125;
// sqrt(_DBL_MIN) = 2^-511
inline constexpr double _SQRT_DBL_MIN = 1.4916681462400413e-154;
// sqrt(_DBL_MAX), correctly rounded (just below 2^512)
inline constexpr double _SQRT_DBL_MAX = 1.3407807929942596e+154;
// 1/sqrt(2)
inline constexpr double _ONE_OVER_SQRT_TWO = 0.7071067811865476;
// 1/sqrt(2*pi)
inline constexpr double _ONE_OVER_SQRT_TWO_PI = 0.3989422804014327;
// 2*pi
inline constexpr double _TWO_PI = 6.283185307179586;
// sqrt(2 pi)
inline constexpr double _SQRT_TWO_PI = 2.5066282746310007;
// sqrt(pi)
inline constexpr double _SQRT_PI = 1.772453850905516;
// sqrt(pi/2)
inline constexpr double _SQRT_PI_OVER_TWO = 1.2533141373155003;
// sqrt(1/3)
inline constexpr double _SQRT_ONE_OVER_THREE = 0.5773502691896257;
// 2*pi/sqrt(27)
inline constexpr double _TWO_PI_OVER_SQRT_27 = 1.2091995761561452;
// pi/6
inline constexpr double _PI_OVER_SIX = 0.5235987755982989;
// sqrt(3)
inline constexpr double _SQRT_THREE = 1.7320508075688772;
// Householder steps per implied volatility
inline constexpr std::int32_t _IV_MAX_ITER = 2;
// Householder passes allowed after the first _IV_MAX_ITER when those have not
// converged; the continuation is bracketed like the first passes.
inline constexpr int _IV_EXTRA_ITER = 8;
// h = x/s below which the normalised Black call uses its asymptotic expansion
inline constexpr double _ASYM_THRESH = -10.0;
// 2 * sqrt(sqrt(sqrt(sqrt(_DBL_EPS)))) with four double square roots: one ulp
// above the correctly rounded 2 * _DBL_EPS^(1/16)
inline constexpr double _SMALL_T_THRESH = 0.21022410381342865;
// h + t above which the normalised Black call takes its plain normal-CDF form
inline constexpr double _NORM_CDF_THRESH = 0.85;
// -(1 - sqrt(_DBL_EPS)) = -(1 - 2^-26): lowest rational cubic control parameter
inline constexpr double _RC_MIN = -0.9999999850988388;
// 2/_DBL_EPS^2 = 2^105: control parameter standing for linear interpolation
inline constexpr double _RC_MAX = 4.056481920730334e+31;
// z at or below which the normal CDF switches to its lower-tail series
inline constexpr double _NCDF_ASYM1 = -10.0;
// -1/sqrt(_DBL_EPS) = -2^26: below it the series' first correction is < _DBL_EPS
inline constexpr double _NCDF_ASYM2 = -67108864.0;

namespace detail {
constexpr std::uint64_t bits(double x) noexcept {
    return std::bit_cast<std::uint64_t>(x);
}
}  // namespace detail

static_assert(detail::bits(_DBL_MIN) == 0x0010000000000000u);
static_assert(detail::bits(_DBL_MAX) == 0x7FEFFFFFFFFFFFFFu);
static_assert(detail::bits(_DBL_EPS) == 0x3CB0000000000000u);
static_assert(detail::bits(_FOURTH_ROOT_DBL_EPS) == 0x3F20000000000000u);
static_assert(detail::bits(_SQRT_DBL_MIN) == 0x2000000000000000u);
static_assert(detail::bits(_SQRT_DBL_MAX) == 0x5FEFFFFFFFFFFFFFu);
static_assert(detail::bits(_ONE_OVER_SQRT_TWO) == 0x3FE6A09E667F3BCDu);
static_assert(detail::bits(_ONE_OVER_SQRT_TWO_PI) == 0x3FD9884533D43651u);
static_assert(detail::bits(_TWO_PI) == 0x401921FB54442D18u);
static_assert(detail::bits(_SQRT_TWO_PI) == 0x40040D931FF62706u);
static_assert(detail::bits(_SQRT_PI) == 0x3FFC5BF891B4EF6Bu);
static_assert(detail::bits(_SQRT_PI_OVER_TWO) == 0x3FF40D931FF62706u);
static_assert(detail::bits(_SQRT_ONE_OVER_THREE) == 0x3FE279A74590331Cu);
static_assert(detail::bits(_TWO_PI_OVER_SQRT_27) == 0x3FF358E1A79ED7E1u);
static_assert(detail::bits(_PI_OVER_SIX) == 0x3FE0C152382D7366u);
static_assert(detail::bits(_SQRT_THREE) == 0x3FFBB67AE8584CAAu);
static_assert(detail::bits(_ASYM_THRESH) == 0xC024000000000000u);
static_assert(detail::bits(_SMALL_T_THRESH) == 0x3FCAE89F995AD3AEu);
static_assert(detail::bits(_NORM_CDF_THRESH) == 0x3FEB333333333333u);
static_assert(detail::bits(_RC_MIN) == 0xBFEFFFFFF8000000u);
static_assert(detail::bits(_RC_MAX) == 0x4680000000000000u);
static_assert(detail::bits(_NCDF_ASYM1) == 0xC024000000000000u);
static_assert(detail::bits(_NCDF_ASYM2) == 0xC190000000000000u);

// The kind of an option as every function of the core takes it, +1.0 for
// a call and -1.0 for a put (only the sign is read), from the flags that
// callers hold: an is_call flag (nonzero: a call) and the integer q of the
// scalar functions (negative: a put).
constexpr double kind_of_flag(std::int8_t is_call) noexcept {
    return is_call != 0 ? 1.0 : -1.0;
}
constexpr double kind_of_sign(std::int32_t q) noexcept {
    return q < 0 ? -1.0 : 1.0;
}

}  // namespace quelta
