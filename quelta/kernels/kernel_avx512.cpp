// The batch kernel eight rows at a time; built with -mavx512f, called only on
// CPUs with AVX-512F.
#include "numeric/simd/lanes_avx512.hpp"
#include "quelta/kernels/entry.hpp"

namespace quelta::kernel {

void solve_rows_avx512(const simd::Rows& rows, std::size_t n) noexcept {
    simd::solve_rows<simd::Avx512>(rows, n);
}

void solve_normal_rows_avx512(const simd::Rows& rows, std::size_t n) noexcept {
    bachelier::solve_rows<simd::Avx512>(rows, n);
}

void elementary_avx512(Elementary f, const double* x, double* y, std::size_t n) noexcept {
    detail::elementary<simd::Avx512>(f, x, y, n);
}

void black_call_avx512(const double* x, const double* s, double* b, std::size_t n) noexcept {
    detail::black_call<simd::Avx512>(x, s, b, n);
}

}  // namespace quelta::kernel
