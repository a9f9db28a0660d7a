// The batch kernel four rows at a time; built with -mavx2, called only on
// CPUs with AVX2.
#include "numeric/simd/lanes_avx2.hpp"
#include "quelta/kernels/entry.hpp"

namespace quelta::kernel {

void solve_rows_avx2(const simd::Rows& rows, std::size_t n) noexcept {
    simd::solve_rows<simd::Avx2>(rows, n);
}

void solve_normal_rows_avx2(const simd::Rows& rows, std::size_t n) noexcept {
    bachelier::solve_rows<simd::Avx2>(rows, n);
}

void elementary_avx2(Elementary f, const double* x, double* y, std::size_t n) noexcept {
    detail::elementary<simd::Avx2>(f, x, y, n);
}

void black_call_avx2(const double* x, const double* s, double* b, std::size_t n) noexcept {
    detail::black_call<simd::Avx2>(x, s, b, n);
}

}  // namespace quelta::kernel
