// The batch kernel one row at a time, for every CPU.
#include "quelta/kernels/entry.hpp"

namespace quelta::kernel {

void solve_rows_scalar(const simd::Rows& rows, std::size_t n) noexcept {
    simd::solve_rows<double>(rows, n);
}

void solve_normal_rows_scalar(const simd::Rows& rows, std::size_t n) noexcept {
    bachelier::solve_rows<double>(rows, n);
}

void elementary_scalar(Elementary f, const double* x, double* y, std::size_t n) noexcept {
    detail::elementary<double>(f, x, y, n);
}

void black_call_scalar(const double* x, const double* s, double* b, std::size_t n) noexcept {
    detail::black_call<double>(x, s, b, n);
}

}  // namespace quelta::kernel
