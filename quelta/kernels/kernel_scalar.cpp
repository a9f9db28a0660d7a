// The batch kernel one row at a time, for every CPU.
#include "quelta/kernels/dispatch.hpp"

namespace quelta::kernel {

void solve_rows_scalar(const simd::Rows& rows, std::size_t n) noexcept {
    simd::solve_rows<double>(rows, n);
}

}  // namespace quelta::kernel
