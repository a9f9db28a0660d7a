// Tests of numeric/greeks.hpp against the same formulas in long double,
// whose wider exponent keeps the density normal where a double's is
// subnormal or zero: delta, gamma and vega must be right to the condition
// of d1, including the points where only the folded exponential keeps a
// normal result exact.
#include "numeric/greeks.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/cpp/support.hpp"

namespace {

using quelta_test::RelativelyClose;

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr long double kSqrt2 = 1.41421356237309504880168872420969808L;
constexpr long double kInvSqrt2Pi = 0.398942280401432677939946059934381868L;

struct Exact {
    long double d1, call_delta, put_delta, gamma, vega;
};

Exact exact(double F, double K, double sigma) {
    const long double s = sigma;
    const long double d1 = (std::log(static_cast<long double>(F)) -
                            std::log(static_cast<long double>(K)) + 0.5L * s * s) /
                           s;
    const long double pdf = kInvSqrt2Pi * std::exp(-0.5L * d1 * d1);
    return {d1, 0.5L * std::erfc(-d1 / kSqrt2), -0.5L * std::erfc(d1 / kSqrt2),
            pdf / (static_cast<long double>(F) * s), pdf * static_cast<long double>(F) / 100.0L};
}

// A normal double that the long double value rounds to, else not checked.
bool representable(long double v) {
    return std::fabs(v) >= std::numeric_limits<double>::min() &&
           std::fabs(v) <= std::numeric_limits<double>::max();
}

TEST(Greeks, MatchTheFormulasInLongDoubleToTheConditionOfD1) {
    int checked = 0, folded = 0;
    for (const double F : {1e-300, 1e-5, 1.0, 3e4, 1e300}) {
        for (double x = -60.0; x <= 60.0; x += 0.5) {
            for (const double sigma : {1e-3, 0.05, 0.4, 2.0, 12.0, 40.0}) {
                const double K = F * std::exp(x);
                if (!(K > 0.0) || !std::isfinite(K)) continue;
                const Exact e = exact(F, K, sigma);
                // d1 carries the rounding of ln(F/K) and sigma^2/2; ln phi(d1)
                // moves by d1 times that, the CDF by less.
                const double d1 = static_cast<double>(std::fabs(e.d1));
                const double cond = 1.0 + d1 * (std::fabs(x) / sigma + sigma + d1);
                const double tol = quelta_test::kFewUlp + 4.0 * kEps * cond;
                const auto check = [&](double got, long double want, const char* what) {
                    if (!representable(want)) return;
                    EXPECT_TRUE(RelativelyClose(got, static_cast<double>(want), tol))
                        << what << " F " << F << " K " << K << " sigma " << sigma;
                    ++checked;
                };
                check(quelta::_black_delta(F, K, sigma, 1), e.call_delta, "call delta");
                check(quelta::_black_delta(F, K, sigma, -1), e.put_delta, "put delta");
                check(quelta::_black_gamma(F, K, sigma), e.gamma, "gamma");
                check(quelta::_black_vega(F, K, sigma), e.vega, "vega");
                const long double pdf = kInvSqrt2Pi * std::exp(-0.5L * e.d1 * e.d1);
                if (pdf < std::numeric_limits<double>::min() && representable(e.vega)) ++folded;
            }
        }
    }
    EXPECT_GT(checked, 10000);
    EXPECT_GT(folded, 20);  // the subnormal-density guard was exercised
}

}  // namespace
