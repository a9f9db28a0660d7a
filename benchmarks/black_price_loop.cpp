// Reference unit cost for benchmarks/peers.py: the plain undiscounted Black
// price of every option in a set, one option after the other, with the
// platform's log and erfc. This is the textbook formula a user would write
//   call = F Phi(d1) - K Phi(d2),  put = K Phi(-d2) - F Phi(-d1),
//   d1 = ln(F/K)/s + s/2,  d2 = d1 - s,  Phi(z) = erfc(-z/sqrt(2))/2,
// and it is what one implied volatility is measured against.
//
// Built by peers.py with the system compiler at plain -O2 (no fast-math)
// into a small shared library and called through ctypes.
#include <cmath>
#include <cstdint>

namespace {

constexpr double kOneOverSqrtTwo = 0.7071067811865476;

inline double norm_cdf(double z) {
    return 0.5 * std::erfc(-z * kOneOverSqrtTwo);
}

inline double black_price(double F, double K, double s, bool is_call) {
    const double d1 = std::log(F / K) / s + 0.5 * s;
    const double d2 = d1 - s;
    return is_call ? F * norm_cdf(d1) - K * norm_cdf(d2) : K * norm_cdf(-d2) - F * norm_cdf(-d1);
}

}  // namespace

// out[i] = Black price of option i; n options, contiguous arrays.
extern "C" void black_price_loop(const double* F, const double* K, const double* s,
                                 const std::int8_t* is_call, double* out, std::int64_t n) {
    for (std::int64_t i = 0; i < n; ++i) out[i] = black_price(F[i], K[i], s[i], is_call[i] != 0);
}
