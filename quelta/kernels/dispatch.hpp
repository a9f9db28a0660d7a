// The batch kernel of every instruction set this build has, and the choice
// among them.
//
// Each instruction set compiles numeric/batch.hpp in a unit of its own
// with its own flags (kernel_<level>.cpp); everything else in the library is
// built for the baseline of the target, so only the chosen function pointer
// ever runs wider instructions. The level is chosen once per process, on
// first use (each module makes that use at import): the widest the CPU
// supports, or the level named by the
// environment variable QUELTA_SIMD (scalar, avx2 or avx512) when the CPU has
// it; a level the CPU lacks gives the widest it has.
#pragma once

#include <cstddef>

#include "numeric/bachelier_batch.hpp"
#include "numeric/batch.hpp"

namespace quelta::kernel {

// The generic numeric functions that the tests check one by one at every level.
// normal_time_value is the out-of-the-money Bachelier time value per unit of
// volatility, psi(u) of numeric/bachelier.hpp.
enum class Elementary { exp, log, erfcx, norm_cdf, inverse_norm_cdf, normal_time_value };

using SolveRows = void (*)(const simd::Rows&, std::size_t) noexcept;
using ElementaryRows = void (*)(Elementary, const double*, double*, std::size_t) noexcept;
// b[i] = the normalised Black call b(x[i], s[i]) of numeric/normalised_black.hpp.
using BlackCallRows = void (*)(const double* x, const double* s, double* b, std::size_t) noexcept;

struct Kernel {
    const char* name;             // "scalar", "avx2" or "avx512"
    SolveRows solve_rows;         // the Black model
    SolveRows solve_normal_rows;  // the normal (Bachelier) model
    ElementaryRows elementary;
    BlackCallRows black_call;
};

// The kernel in use, chosen on the first call.
const Kernel& active() noexcept;

// Every level this CPU supports, narrowest first, ending in a null name.
const Kernel* supported() noexcept;

// The level QUELTA_SIMD asked for when it names none that this build knows,
// or nullptr; the widest supported level is used then.
const char* unknown_request() noexcept;

#define QUELTA_KERNEL_ENTRIES(level)                                                           \
    void solve_rows_##level(const simd::Rows& rows, std::size_t n) noexcept;                   \
    void solve_normal_rows_##level(const simd::Rows& rows, std::size_t n) noexcept;            \
    void elementary_##level(Elementary f, const double* x, double* y, std::size_t n) noexcept; \
    void black_call_##level(const double* x, const double* s, double* b, std::size_t n) noexcept;
QUELTA_KERNEL_ENTRIES(scalar)
#ifdef __x86_64__
QUELTA_KERNEL_ENTRIES(avx2)
QUELTA_KERNEL_ENTRIES(avx512)
#endif
#undef QUELTA_KERNEL_ENTRIES

}  // namespace quelta::kernel
