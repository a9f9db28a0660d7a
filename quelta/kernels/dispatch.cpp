#include "quelta/kernels/dispatch.hpp"

#include <cstdlib>
#include <cstring>

namespace quelta::kernel {

namespace {

constexpr Kernel scalar{"scalar", solve_rows_scalar, solve_normal_rows_scalar, elementary_scalar,
                        black_call_scalar};
#ifdef __x86_64__
constexpr Kernel avx2{"avx2", solve_rows_avx2, solve_normal_rows_avx2, elementary_avx2,
                      black_call_avx2};
constexpr Kernel avx512{"avx512", solve_rows_avx512, solve_normal_rows_avx512, elementary_avx512,
                        black_call_avx512};
#endif
constexpr Kernel end{nullptr, nullptr, nullptr, nullptr, nullptr};

// The supported levels, narrowest first, set by choose().
Kernel g_supported[4] = {scalar, end, end, end};

const char* g_unknown = nullptr;

const Kernel& choose() noexcept {
    const char* request = std::getenv("QUELTA_SIMD");
    if (request != nullptr && request[0] == '\0') request = nullptr;
#ifdef __x86_64__
    __builtin_cpu_init();
    const bool has_avx2 = __builtin_cpu_supports("avx2");
    const bool has_avx512 = __builtin_cpu_supports("avx512f");
    const Kernel& widest = has_avx512 ? avx512 : has_avx2 ? avx2 : scalar;
    int count = 1;
    if (has_avx2) g_supported[count++] = avx2;
    if (has_avx512) g_supported[count++] = avx512;
    if (request == nullptr) return widest;
    if (std::strcmp(request, "scalar") == 0) return scalar;
    if (std::strcmp(request, "avx2") == 0) return has_avx2 ? avx2 : widest;
    if (std::strcmp(request, "avx512") == 0) return widest;
#else
    const Kernel& widest = scalar;
    if (request == nullptr) return widest;
    if (std::strcmp(request, "scalar") == 0 || std::strcmp(request, "avx2") == 0 ||
        std::strcmp(request, "avx512") == 0) {
        return widest;
    }
#endif
    g_unknown = request;
    return widest;
}

}  // namespace

const Kernel& active() noexcept {
    static const Kernel& chosen = choose();
    return chosen;
}

const Kernel* supported() noexcept {
    active();
    return g_supported;
}

const char* unknown_request() noexcept {
    active();
    return g_unknown;
}

}  // namespace quelta::kernel
