// Lane types of the generic numeric kernels.
//
// Every generic function of numeric/ is a template over a lane type V
// holding W doubles and its mask type mask_t<V>. Three lane types exist:
//   double   W = 1, mask bool: the scalar core, on every CPU;
//   Avx2     W = 4 (lanes_avx2.hpp), only where the unit is built with -mavx2;
//   Avx512   W = 8 (lanes_avx512.hpp), only where it is built with -mavx512f.
// Each provides the same small vocabulary, so the generic code reads the
// same for all of them:
//   arithmetic + - * / and unary -, correctly rounded like scalar IEEE doubles
//     (no fused multiply-add anywhere: the units are built with
//     -ffp-contract=off);
//   comparisons < <= > >= == giving masks, false for NaN, and != true for NaN,
//     as in C++;
//   masks combined with && || ! (lane by lane, no short circuit);
//   select(m, a, b)  a where m holds, else b;
//   is_nan(x)        the lanes holding NaN;
//   any(m)           some lane holds m; the generic code skips work no lane needs;
//   vabs, vsqrt, vtrunc, vround (to nearest, ties to even);
//   pow2i(k)         2^k for integer-valued k in [-1022, 1023];
//   exponent_field   the biased exponent of a positive x, as a double;
//   significand      x scaled into [1, 2) (positive normal x).
// The width-one instance is the scalar code itself: with V = double, any(m)
// is m and every `if (any(m))` is the plain branch of a scalar routine.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

namespace quelta::simd {

template <class V>
struct lane_traits;

template <>
struct lane_traits<double> {
    using mask = bool;
    static constexpr int width = 1;
};

template <class V>
using mask_t = typename lane_traits<V>::mask;

template <class V>
inline constexpr int width_v = lane_traits<V>::width;

namespace detail {
// 1.5 * 2^52: added to an integer-valued double of magnitude below 2^51, it
// leaves that integer (two's complement) in the low bits of the significand.
inline constexpr double integer_magic = 6755399441055744.0;
inline constexpr std::uint64_t significand_bits = 0x000FFFFFFFFFFFFFu;
inline constexpr std::uint64_t one_bits = 0x3FF0000000000000u;  // bits of 1.0
}  // namespace detail

inline double select(bool m, double a, double b) noexcept {
    return m ? a : b;
}
inline bool any(bool m) noexcept {
    return m;
}
inline bool is_nan(double x) noexcept {
    return std::isnan(x);
}
inline double vabs(double x) noexcept {
    return std::fabs(x);
}
inline double vsqrt(double x) noexcept {
    return std::sqrt(x);
}
inline double vtrunc(double x) noexcept {
    return std::trunc(x);
}
inline double vround(double x) noexcept {
    return std::nearbyint(x);
}
inline double pow2i(double k) noexcept {
    const auto low = std::bit_cast<std::uint64_t>(k + (detail::integer_magic + 1023.0));
    return std::bit_cast<double>(low << 52U);
}
inline double exponent_field(double x) noexcept {
    const auto e = std::bit_cast<std::uint64_t>(x) >> 52U;
    // 2^52 + e - 2^52, exact for e < 2^52.
    return std::bit_cast<double>(e | 0x4330000000000000u) - 4503599627370496.0;
}
inline double significand(double x) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(x);
    return std::bit_cast<double>((bits & detail::significand_bits) | detail::one_bits);
}

// load<V>(p): W doubles from p, which need not be aligned.
template <class V>
V load(const double* p) noexcept;

template <>
inline double load<double>(const double* p) noexcept {
    return *p;
}
inline void store(double* p, double v) noexcept {
    *p = v;
}

}  // namespace quelta::simd
