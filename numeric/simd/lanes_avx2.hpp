// Four-double lanes on AVX2 (see lanes.hpp for the vocabulary). Only units
// built with -mavx2 include this header; the dispatcher calls into them only
// on CPUs that have AVX2.
#pragma once

#include <immintrin.h>

#include "numeric/simd/lanes.hpp"

#ifndef __AVX2__
#error "lanes_avx2.hpp needs a unit built with -mavx2"
#endif

namespace quelta::simd {

struct Avx2 {
    __m256d v;
    Avx2() noexcept = default;
    Avx2(double d) noexcept : v(_mm256_set1_pd(d)) {}  // NOLINT: broadcast on purpose
    explicit Avx2(__m256d x) noexcept : v(x) {}
};

// All bits set in a lane where the mask holds.
struct Avx2Mask {
    __m256d m;
};

template <>
struct lane_traits<Avx2> {
    using mask = Avx2Mask;
    static constexpr int width = 4;
};

inline Avx2 operator+(Avx2 a, Avx2 b) noexcept {
    return Avx2(_mm256_add_pd(a.v, b.v));
}
inline Avx2 operator-(Avx2 a, Avx2 b) noexcept {
    return Avx2(_mm256_sub_pd(a.v, b.v));
}
inline Avx2 operator*(Avx2 a, Avx2 b) noexcept {
    return Avx2(_mm256_mul_pd(a.v, b.v));
}
inline Avx2 operator/(Avx2 a, Avx2 b) noexcept {
    return Avx2(_mm256_div_pd(a.v, b.v));
}
inline Avx2 operator-(Avx2 a) noexcept {
    return Avx2(_mm256_xor_pd(a.v, _mm256_set1_pd(-0.0)));
}
inline Avx2& operator+=(Avx2& a, Avx2 b) noexcept {
    return a = a + b;
}
inline Avx2& operator-=(Avx2& a, Avx2 b) noexcept {
    return a = a - b;
}
inline Avx2& operator*=(Avx2& a, Avx2 b) noexcept {
    return a = a * b;
}

inline Avx2Mask operator<(Avx2 a, Avx2 b) noexcept {
    return {_mm256_cmp_pd(a.v, b.v, _CMP_LT_OQ)};
}
inline Avx2Mask operator<=(Avx2 a, Avx2 b) noexcept {
    return {_mm256_cmp_pd(a.v, b.v, _CMP_LE_OQ)};
}
inline Avx2Mask operator>(Avx2 a, Avx2 b) noexcept {
    return {_mm256_cmp_pd(a.v, b.v, _CMP_GT_OQ)};
}
inline Avx2Mask operator>=(Avx2 a, Avx2 b) noexcept {
    return {_mm256_cmp_pd(a.v, b.v, _CMP_GE_OQ)};
}
inline Avx2Mask operator==(Avx2 a, Avx2 b) noexcept {
    return {_mm256_cmp_pd(a.v, b.v, _CMP_EQ_OQ)};
}
inline Avx2Mask operator!=(Avx2 a, Avx2 b) noexcept {
    return {_mm256_cmp_pd(a.v, b.v, _CMP_NEQ_UQ)};
}

inline Avx2Mask operator&&(Avx2Mask a, Avx2Mask b) noexcept {
    return {_mm256_and_pd(a.m, b.m)};
}
inline Avx2Mask operator||(Avx2Mask a, Avx2Mask b) noexcept {
    return {_mm256_or_pd(a.m, b.m)};
}
inline Avx2Mask operator!(Avx2Mask a) noexcept {
    return {_mm256_xor_pd(a.m, _mm256_castsi256_pd(_mm256_set1_epi64x(-1)))};
}

inline Avx2 select(Avx2Mask m, Avx2 a, Avx2 b) noexcept {
    return Avx2(_mm256_blendv_pd(b.v, a.v, m.m));
}
inline bool any(Avx2Mask m) noexcept {
    return _mm256_movemask_pd(m.m) != 0;
}

inline Avx2Mask is_nan(Avx2 x) noexcept {
    return {_mm256_cmp_pd(x.v, x.v, _CMP_UNORD_Q)};
}
inline Avx2 vabs(Avx2 x) noexcept {
    return Avx2(_mm256_andnot_pd(_mm256_set1_pd(-0.0), x.v));
}
inline Avx2 vsqrt(Avx2 x) noexcept {
    return Avx2(_mm256_sqrt_pd(x.v));
}
inline Avx2 vtrunc(Avx2 x) noexcept {
    return Avx2(_mm256_round_pd(x.v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC));
}
inline Avx2 vround(Avx2 x) noexcept {
    return Avx2(_mm256_round_pd(x.v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
}
inline Avx2 pow2i(Avx2 k) noexcept {
    const __m256i low =
        _mm256_castpd_si256(_mm256_add_pd(k.v, _mm256_set1_pd(detail::integer_magic + 1023.0)));
    return Avx2(_mm256_castsi256_pd(_mm256_slli_epi64(low, 52)));
}
inline Avx2 exponent_field(Avx2 x) noexcept {
    const __m256i e = _mm256_srli_epi64(_mm256_castpd_si256(x.v), 52);
    const __m256i biased = _mm256_or_si256(e, _mm256_set1_epi64x(0x4330000000000000));
    return Avx2(_mm256_sub_pd(_mm256_castsi256_pd(biased), _mm256_set1_pd(4503599627370496.0)));
}
inline Avx2 significand(Avx2 x) noexcept {
    const __m256i bits =
        _mm256_and_si256(_mm256_castpd_si256(x.v),
                         _mm256_set1_epi64x(static_cast<long long>(detail::significand_bits)));
    return Avx2(_mm256_castsi256_pd(
        _mm256_or_si256(bits, _mm256_set1_epi64x(static_cast<long long>(detail::one_bits)))));
}

template <>
inline Avx2 load<Avx2>(const double* p) noexcept {
    return Avx2(_mm256_loadu_pd(p));
}
inline void store(double* p, Avx2 v) noexcept {
    _mm256_storeu_pd(p, v.v);
}

}  // namespace quelta::simd
