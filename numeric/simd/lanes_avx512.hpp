// Eight-double lanes on AVX-512F (see lanes.hpp for the vocabulary). Only
// units built with -mavx512f include this header; the dispatcher calls into
// them only on CPUs that have AVX-512F.
#pragma once

#include <immintrin.h>

#include "numeric/simd/lanes.hpp"

#ifndef __AVX512F__
#error "lanes_avx512.hpp needs a unit built with -mavx512f"
#endif

namespace quelta::simd {

struct Avx512 {
    __m512d v;
    Avx512() noexcept = default;
    Avx512(double d) noexcept : v(_mm512_set1_pd(d)) {}  // NOLINT: broadcast on purpose
    explicit Avx512(__m512d x) noexcept : v(x) {}
};

struct Avx512Mask {
    __mmask8 m;
};

template <>
struct lane_traits<Avx512> {
    using mask = Avx512Mask;
    static constexpr int width = 8;
};

inline Avx512 operator+(Avx512 a, Avx512 b) noexcept {
    return Avx512(_mm512_add_pd(a.v, b.v));
}
inline Avx512 operator-(Avx512 a, Avx512 b) noexcept {
    return Avx512(_mm512_sub_pd(a.v, b.v));
}
inline Avx512 operator*(Avx512 a, Avx512 b) noexcept {
    return Avx512(_mm512_mul_pd(a.v, b.v));
}
inline Avx512 operator/(Avx512 a, Avx512 b) noexcept {
    return Avx512(_mm512_div_pd(a.v, b.v));
}
inline Avx512 operator-(Avx512 a) noexcept {
    return Avx512(_mm512_castsi512_pd(
        _mm512_xor_si512(_mm512_castpd_si512(a.v), _mm512_castpd_si512(_mm512_set1_pd(-0.0)))));
}
inline Avx512& operator+=(Avx512& a, Avx512 b) noexcept {
    return a = a + b;
}
inline Avx512& operator-=(Avx512& a, Avx512 b) noexcept {
    return a = a - b;
}
inline Avx512& operator*=(Avx512& a, Avx512 b) noexcept {
    return a = a * b;
}

inline Avx512Mask operator<(Avx512 a, Avx512 b) noexcept {
    return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LT_OQ)};
}
inline Avx512Mask operator<=(Avx512 a, Avx512 b) noexcept {
    return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LE_OQ)};
}
inline Avx512Mask operator>(Avx512 a, Avx512 b) noexcept {
    return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GT_OQ)};
}
inline Avx512Mask operator>=(Avx512 a, Avx512 b) noexcept {
    return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GE_OQ)};
}
inline Avx512Mask operator==(Avx512 a, Avx512 b) noexcept {
    return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_EQ_OQ)};
}
inline Avx512Mask operator!=(Avx512 a, Avx512 b) noexcept {
    return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_NEQ_UQ)};
}

inline Avx512Mask operator&&(Avx512Mask a, Avx512Mask b) noexcept {
    return {static_cast<__mmask8>(a.m & b.m)};
}
inline Avx512Mask operator||(Avx512Mask a, Avx512Mask b) noexcept {
    return {static_cast<__mmask8>(a.m | b.m)};
}
inline Avx512Mask operator!(Avx512Mask a) noexcept {
    return {static_cast<__mmask8>(~a.m)};
}

inline Avx512 select(Avx512Mask m, Avx512 a, Avx512 b) noexcept {
    return Avx512(_mm512_mask_blend_pd(m.m, b.v, a.v));
}
inline bool any(Avx512Mask m) noexcept {
    return m.m != 0;
}

inline Avx512Mask is_nan(Avx512 x) noexcept {
    return {_mm512_cmp_pd_mask(x.v, x.v, _CMP_UNORD_Q)};
}
inline Avx512 vabs(Avx512 x) noexcept {
    return Avx512(_mm512_abs_pd(x.v));
}
inline Avx512 vsqrt(Avx512 x) noexcept {
    return Avx512(_mm512_sqrt_pd(x.v));
}
// Unoptimised builds of GCC 12 expand _mm512_roundscale_pd to a macro whose
// all-ones mask trips -Wsign-conversion inside the system header's code.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-conversion"
inline Avx512 vtrunc(Avx512 x) noexcept {
    return Avx512(_mm512_roundscale_pd(x.v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC));
}
inline Avx512 vround(Avx512 x) noexcept {
    return Avx512(_mm512_roundscale_pd(x.v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
}
#pragma GCC diagnostic pop

inline Avx512 pow2i(Avx512 k) noexcept {
    const __m512i low =
        _mm512_castpd_si512(_mm512_add_pd(k.v, _mm512_set1_pd(detail::integer_magic + 1023.0)));
    return Avx512(_mm512_castsi512_pd(_mm512_slli_epi64(low, 52)));
}
inline Avx512 exponent_field(Avx512 x) noexcept {
    const __m512i e = _mm512_srli_epi64(_mm512_castpd_si512(x.v), 52);
    const __m512i biased = _mm512_or_si512(e, _mm512_set1_epi64(0x4330000000000000));
    return Avx512(_mm512_sub_pd(_mm512_castsi512_pd(biased), _mm512_set1_pd(4503599627370496.0)));
}
inline Avx512 significand(Avx512 x) noexcept {
    const __m512i bits =
        _mm512_and_si512(_mm512_castpd_si512(x.v),
                         _mm512_set1_epi64(static_cast<long long>(detail::significand_bits)));
    return Avx512(_mm512_castsi512_pd(
        _mm512_or_si512(bits, _mm512_set1_epi64(static_cast<long long>(detail::one_bits)))));
}

template <>
inline Avx512 load<Avx512>(const double* p) noexcept {
    return Avx512(_mm512_loadu_pd(p));
}
inline void store(double* p, Avx512 v) noexcept {
    _mm512_storeu_pd(p, v.v);
}

}  // namespace quelta::simd
