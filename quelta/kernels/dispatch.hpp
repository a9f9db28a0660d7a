// The batch kernel of every instruction set this build has, and the choice
// among them.
//
// Each instruction set compiles numeric/simd/batch.hpp in a unit of its own
// with its own flags (kernel_<level>.cpp); everything else in the library is
// built for the baseline of the target, so only the chosen function pointer
// ever runs wider instructions. The level is chosen once per process, on
// first use: the widest the CPU supports, or the level named by the
// environment variable QUELTA_SIMD (scalar, avx2 or avx512) when the CPU has
// it; a level the CPU lacks gives the widest it has.
#pragma once

#include <cstddef>

#include "numeric/simd/batch.hpp"

namespace quelta::kernel {

using SolveRows = void (*)(const simd::Rows&, std::size_t) noexcept;

struct Kernel {
    const char* name;  // "scalar", "avx2" or "avx512"
    SolveRows solve_rows;
};

// The kernel in use, chosen on the first call.
const Kernel& active() noexcept;

// The level QUELTA_SIMD asked for when it names none that this build knows,
// or nullptr; the widest supported level is used then.
const char* unknown_request() noexcept;

void solve_rows_scalar(const simd::Rows& rows, std::size_t n) noexcept;
#if defined(__x86_64__)
void solve_rows_avx2(const simd::Rows& rows, std::size_t n) noexcept;
void solve_rows_avx512(const simd::Rows& rows, std::size_t n) noexcept;
#endif

}  // namespace quelta::kernel
