// libFuzzer harness over the numeric core: the implied-volatility solver, the
// normalised Black call and vega, and the scalar Greeks.
//
// Input layout (little-endian; a short input is padded with zero bytes, a
// longer one is cut):
//   bytes  0..47  six doubles, taken as raw bit patterns so that NaNs,
//                 infinities, signed zeros and subnormals all occur:
//                 price, F, K, s (a total volatility), x (a log-moneyness)
//                 and a spare one whose mantissa makes a price below;
//   bytes 48..51  an int32 option flag q (only its sign is meant to matter).
// Every input checks the invariants below on the raw values. The round trip,
// the parity and the branch joins also run on values mapped from the mantissa
// bits into the range where full precision is promised, so that they are
// exercised on every input rather than on the rare raw ones that land there.
//
// A violated invariant prints the decoded input and traps, so that libFuzzer
// saves the input as a crash.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "numeric/constants.hpp"
#include "numeric/greeks.hpp"
#include "numeric/implied_vol.hpp"
#include "numeric/normal.hpp"
#include "numeric/normalised_black.hpp"

namespace {

using namespace quelta;

struct Input {
    double price, F, K, s, x, spare;
    std::int32_t q;
};
constexpr std::size_t kInputSize = 6 * sizeof(double) + sizeof(std::int32_t);

Input decode(const std::uint8_t* data, std::size_t size) {
    std::uint8_t raw[kInputSize] = {};
    std::memcpy(raw, data, size < kInputSize ? size : kInputSize);
    Input in;
    double d[6];
    std::memcpy(d, raw, sizeof d);
    std::memcpy(&in.q, raw + sizeof d, sizeof in.q);
    in.price = d[0];
    in.F = d[1];
    in.K = d[2];
    in.s = d[3];
    in.x = d[4];
    in.spare = d[5];
    return in;
}

std::uint64_t bits_of(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// Equal bit for bit, except that any two NaNs match (their sign and payload
// carry no meaning here).
bool same_bits(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || bits_of(a) == bits_of(b);
}

// The 52 mantissa bits of v as a fraction in [0, 1).
double fraction(double v) {
    return static_cast<double>(bits_of(v) & ((std::uint64_t{1} << 52) - 1)) * 0x1p-52;
}

const Input* g_input = nullptr;  // for the report of a violation

// Prints the raw input and traps; the caller has printed what went wrong.
[[noreturn]] void report_and_trap() {
    if (g_input != nullptr) {
        const Input& in = *g_input;
        std::fprintf(stderr,
                     "    raw input: price=%.17g F=%.17g K=%.17g s=%.17g x=%.17g spare=%.17g q=%d\n"
                     "    hex:       price=%a F=%a K=%a s=%a x=%a spare=%a\n",
                     in.price, in.F, in.K, in.s, in.x, in.spare, static_cast<int>(in.q), in.price,
                     in.F, in.K, in.s, in.x, in.spare);
    }
    __builtin_trap();
}

// CHECK(condition, printf format, arguments...)
#define CHECK(cond, ...)                                                     \
    do {                                                                     \
        if (!(cond)) {                                                       \
            std::fprintf(stderr, "\n*** numeric core invariant violated: "); \
            std::fprintf(stderr, __VA_ARGS__);                               \
            std::fprintf(stderr, "\n");                                      \
            report_and_trap();                                               \
        }                                                                    \
    } while (0)

// --- _implied_vol_scalar ------------------------------------------------------

// What the solver returns is +0.0, a positive finite volatility, or NaN. NaN
// comes exactly from a NaN price, or from a NaN forward or strike once the
// price passes both ordered bound tests (price >= 0, price below F for a call
// or K for a put: with a NaN F or K the quotient, x and beta are NaN).
void check_vol_range(double price, double F, double K, std::int32_t q) {
    const double vol = _implied_vol_scalar(price, F, K, q);
    CHECK(std::isnan(vol) || (vol >= 0.0 && !std::signbit(vol) && vol < _DBL_MAX),
          "implied vol is negative, -0.0 or not finite: vol=%.17g (price=%.17g F=%.17g K=%.17g)",
          vol, price, F, K);
    const double bound = q < 0 ? K : F;
    const bool nan_expected = std::isnan(price) || ((std::isnan(F) || std::isnan(K)) &&
                                                    !(price < 0.0) && !(price >= bound));
    CHECK(std::isnan(vol) == nan_expected,
          "implied vol NaN-ness differs from the inputs': vol=%.17g price=%.17g F=%.17g K=%.17g",
          vol, price, F, K);

    // Only the sign of q is read, and q = 0 counts as a call.
    const double signed_flag = _implied_vol_scalar(price, F, K, q < 0 ? -1 : 1);
    CHECK(same_bits(vol, signed_flag),
          "implied vol depends on more than the sign of q: vol(q)=%.17g vol(sign q)=%.17g "
          "price=%.17g q=%g",
          vol, signed_flag, price, static_cast<double>(q));
}

// Put-call parity on undiscounted prices: an in-the-money option priced at
// c + intrinsic is solved as the out-of-the-money option of the other kind
// priced at c, so the two agree bit for bit whenever the solver's own
// subtraction gives c back exactly and both pass their bound tests.
void check_parity(double c, double F, double K) {
    if (!(std::isfinite(c) && std::isfinite(F) && std::isfinite(K))) return;
    const double x = std::log(F / K);
    // c prices the out-of-the-money option: the call for x < 0, the put for x > 0.
    if (x < 0.0) {
        const double intrinsic = K - F;  // of the in-the-money put
        const double p = c + intrinsic;
        const bool call_ok = c >= 0.0 && c < F;
        const bool put_ok = p >= intrinsic && p < K;
        if (!(call_ok && put_ok && p - intrinsic == c)) return;
        const double otm = _implied_vol_scalar(c, F, K, 1);
        const double itm = _implied_vol_scalar(p, F, K, -1);
        CHECK(same_bits(otm, itm),
              "in-the-money put differs from out-of-the-money call: call(c=%.17g)=%.17g "
              "put(p=%.17g)=%.17g",
              c, otm, p, itm);
    } else if (x > 0.0) {
        const double intrinsic = F - K;  // of the in-the-money call
        const double p = c + intrinsic;
        const bool put_ok = c >= 0.0 && c < K;
        const bool call_ok = p >= intrinsic && p < F;
        if (!(call_ok && put_ok && p - intrinsic == c)) return;
        const double otm = _implied_vol_scalar(c, F, K, -1);
        const double itm = _implied_vol_scalar(p, F, K, 1);
        CHECK(same_bits(otm, itm),
              "in-the-money call differs from out-of-the-money put: put(c=%.17g)=%.17g "
              "call(p=%.17g)=%.17g",
              c, otm, p, itm);
    }
}

// Round trip: price the option at volatility s with the core's own normalised
// Black call, solve, and compare with s. Only where the problem is well posed:
// F, K positive and normal, |ln(F/K)| <= 5, 1e-3 <= s <= 5, a time value
// (normalised and in money terms) far enough above the subnormal range that
// its rounding stays relative, and a price whose rounding leaves the time
// value accurate to at least 2^-20.
//
// Error budget, in units of eps and of the normalised price. The price
// carries a few roundings of its own size b (the evaluation of b, the product
// with sqrt(F K)). In the money the solver subtracts the intrinsic value F - K
// in money terms, where the harness's price holds sqrt(F K) 2 sinh(x/2) at the
// rounded x: that adds the rounding of sqrt(F K) and of the subtraction (about
// 3 |sinh(x/2)|), and the rounding of x (up to (1 + |x|) eps) and of the
// exponentials in 2 sinh(x/2), times their derivative cosh(x/2). A
// perturbation db of the time value moves the solution by db/b'(x, s), so the
// relative error in s is noise eps/(s b'); the solver itself adds a few ulp.
// 64 eps times max(1, noise/(s b')) leaves a wide margin. The linearisation
// holds because the time value is known to 2^-20 or better.
void check_round_trip(double F, double K, double s, std::int32_t q) {
    // 2^54 times the smallest normal double: a product or quotient of numbers
    // above it rounds relatively, well clear of the subnormal range.
    constexpr double kNormalFloor = 0x1p-968;
    if (!(std::isnormal(F) && std::isnormal(K) && F > 0.0 && K > 0.0)) return;
    if (!(s >= 1e-3 && s <= 5.0)) return;
    const double x = std::log(F / K);  // as the solver forms it
    if (!(std::fabs(x) <= 5.0)) return;
    const double sqrt_fk = std::sqrt(F) * std::sqrt(K);
    if (!(std::isnormal(sqrt_fk))) return;
    // A put at x is a call at -x.
    const double x_call = q < 0 ? -x : x;
    const double b = _normalised_black_call(x_call, s);
    // The time value, normalised (the solver's beta) and in money terms.
    const double beta = _normalised_black_call(-std::fabs(x), s);
    if (!(beta >= kNormalFloor && sqrt_fk * beta >= kNormalFloor)) return;
    const double price = sqrt_fk * b;
    if (!std::isfinite(price)) return;
    double noise = b;
    if (x_call > 0.0) {
        noise += 3.0 * std::fabs(std::sinh(x / 2)) + std::cosh(x / 2) * (3.0 + std::fabs(x));
    }
    if (!(noise * _DBL_EPS <= 0x1p-20 * beta)) return;

    const double vol = _implied_vol_scalar(price, F, K, q);
    const double condition = noise / (s * simd::normalised_vega(x, s));
    const double tolerance = 64.0 * _DBL_EPS * (condition > 1.0 ? condition : 1.0);
    const double error = std::fabs(vol - s) / s;
    CHECK(error <= tolerance,
          "round trip price -> implied vol misses the volatility: F=%a K=%a q=%d s=%a "
          "(x=%.17g price=%a) vol=%.17g rel.error=%.3g tolerance=%.3g",
          F, K, static_cast<int>(q), s, x, price, vol, error, tolerance);
}

// --- _normalised_black_call and simd::normalised_vega ----------------------------

void check_normalised(double x, double s) {
    const double b = _normalised_black_call(x, s);
    // Never negative (nor -0.0); NaN exactly for a NaN x with s <= 0, where the
    // result is the intrinsic value at x.
    CHECK(std::isnan(b) || !std::signbit(b),
          "normalised Black call is negative: b(%.17g, %.17g)=%.17g", x, s, b);
    CHECK(std::isnan(b) == (std::isnan(x) && s <= 0.0),
          "normalised Black call NaN unexpectedly: b(%.17g, %.17g)=%.17g", x, s, b);
    if (!std::isnan(b) && !std::isnan(x)) {
        // Between the intrinsic value and the limit e^(x/2) for large s; the
        // upper bound with room for the rounding of the branches.
        const double intrinsic = simd::normalised_intrinsic(x, 1.0);
        CHECK(b >= intrinsic,
              "normalised Black call below its intrinsic value: b(%.17g, %.17g)=%.17g "
              "intrinsic=%.17g",
              x, s, b, intrinsic);
        const double b_max = std::exp(x / 2);
        CHECK(b <= b_max * (1.0 + 1e-13),
              "normalised Black call above e^(x/2): b(%.17g, %.17g)=%.17g b_max=%.17g", x, s, b,
              b_max);
    }

    const double v = simd::normalised_vega(x, s);
    // In [0, 1/sqrt(2 pi)]; NaN exactly when x or s is NaN and s is not <= 0.
    CHECK(std::isnan(v) || (v >= 0.0 && !std::signbit(v) && v <= _ONE_OVER_SQRT_TWO_PI),
          "normalised vega outside [0, 1/sqrt(2 pi)]: v(%.17g, %.17g)=%.17g", x, s, v);
    CHECK(std::isnan(v) == ((std::isnan(x) || std::isnan(s)) && !(s <= 0.0)),
          "normalised vega NaN unexpectedly: v(%.17g, %.17g)=%.17g", x, s, v);
    // Even in x, bit for bit.
    const double v_mirror = simd::normalised_vega(-x, s);
    CHECK(same_bits(v, v_mirror), "normalised vega not even in x: v(%.17g, %.17g)=%.17g vs %.17g",
          x, s, v, v_mirror);
}

// The four evaluation branches of b meet at s = 2 * _SMALL_T_THRESH (small
// t), where h + t = 0.85 (normal CDF form), and where h = -10 or h + t = -9.79
// (asymptotic expansion). Across each join b must be continuous: the central
// difference over s -+ d must match 2 d b'(s) from the closed-form vega. The
// error allowed is relative to b and scaled by 1 + h^2 + t^2, the condition
// of exp(-(h^2 + t^2)/2) with respect to the rounding of h = x/s, which every
// branch carries. Only for -100 <= x <= 0: for x below about -700 the normal
// CDF form loses Phi(h - t) to underflow (at x = -741, b jumps by 0.9% across
// h + t = 0.85), outside the range where full precision is promised.
void check_branch_joins(double x) {
    if (!(x <= 0.0 && x >= -100.0)) return;
    const double joins[] = {2 * _SMALL_T_THRESH, 0.85 + std::sqrt(0.7225 - 2 * x), -x / 10,
                            -9.79 + std::sqrt(9.79 * 9.79 - 2 * x)};
    for (const double s : joins) {
        if (!(s > 0.0)) continue;
        const double d = s * 0x1p-32;
        const double below = _normalised_black_call(x, s - d);
        const double above = _normalised_black_call(x, s + d);
        if (!(below >= 0x1p-968)) continue;
        const double h = x / s;
        const double t = s / 2;
        const double mismatch =
            std::fabs(above - below - 2 * d * simd::normalised_vega(x, s)) / below;
        const double tolerance = 256 * _DBL_EPS * (1 + h * h + t * t);
        CHECK(mismatch <= tolerance,
              "normalised Black call jumps across a branch join: x=%a s=%a b(s-d)=%.17g "
              "b(s+d)=%.17g mismatch=%.3g tolerance=%.3g",
              x, s, below, above, mismatch, tolerance);
    }
}

// --- Greeks -------------------------------------------------------------------

void check_greeks(double F, double K, double sigma, std::int32_t q) {
    const double d1 = simd::black_d1(F, K, sigma);
    const double call = _black_delta(F, K, sigma, 1);
    const double put = _black_delta(F, K, sigma, -1);
    const double delta = _black_delta(F, K, sigma, q);
    CHECK(same_bits(delta, q < 0 ? put : call),
          "delta depends on more than the sign of q: delta(q)=%.17g call=%.17g put=%.17g d1=%.17g",
          delta, call, put, d1);
    // NaN only through d1; otherwise call in [0, 1], put in [-1, 0], and
    // call - put = 1 up to the rounding of the two CDF values.
    CHECK(std::isnan(call) == std::isnan(d1) && std::isnan(put) == std::isnan(d1),
          "delta NaN-ness differs from d1's: call=%.17g put=%.17g d1=%.17g", call, put, d1);
    if (!std::isnan(d1)) {
        CHECK(call >= 0.0 && call <= 1.0 && put >= -1.0 && put <= 0.0,
              "delta out of range: call=%.17g put=%.17g d1=%.17g", call, put, d1);
        CHECK(std::fabs(call - put - 1.0) <= 16 * _DBL_EPS,
              "call delta - put delta != 1: call=%.17g put=%.17g d1=%.17g diff=%.3g", call, put, d1,
              call - put - 1.0);
    }

    const double gamma = _black_gamma(F, K, sigma);
    const double vega = _black_vega(F, K, sigma);
    if (F > 0.0 && sigma > 0.0) {
        CHECK(!(gamma < 0.0),
              "negative gamma for F > 0, sigma > 0: gamma=%.17g F=%.17g K=%.17g sigma=%.17g", gamma,
              F, K, sigma);
        const double product = F * sigma;
        if (!std::isnan(d1) && std::isnormal(product) && std::isfinite(product)) {
            CHECK(std::isfinite(gamma),
                  "gamma not finite where F sigma is a normal number: gamma=%.17g F=%.17g K=%.17g "
                  "sigma=%.17g",
                  gamma, F, K, sigma);
        }
    }
    if (std::isfinite(F) && !std::isnan(d1)) {
        // |vega| <= 0.01 F / sqrt(2 pi), with the sign of F; the last term
        // covers the absolute rounding of two products in the subnormal range.
        constexpr double kDenormMin = 0x1p-1074;
        const double bound =
            std::fabs(F) * (0.01 * _ONE_OVER_SQRT_TWO_PI) * (1.0 + 8 * _DBL_EPS) + 4 * kDenormMin;
        CHECK(!std::isnan(vega) && std::fabs(vega) <= bound && !(vega * F < 0.0),
              "vega outside [0, 0.01 F/sqrt(2 pi)]: vega=%.17g F=%.17g K=%.17g sigma=%.17g", vega,
              F, K, sigma);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Input in = decode(data, size);
    g_input = &in;

    // Raw values: everything the bytes say, special values included.
    check_vol_range(in.price, in.F, in.K, in.q);
    check_parity(in.price, in.F, in.K);
    check_round_trip(in.F, in.K, in.s, in.q);
    check_normalised(in.x, in.s);
    check_branch_joins(in.x);
    check_greeks(in.F, in.K, in.s, in.q);

    // Mapped values for the round trip: F over 2^-300 .. 2^300, |x| <= 5 and
    // s from 1e-3 to 5, evenly in log s, from the mantissa bits of the raw
    // ones; both kinds of option.
    const double F = std::exp2(600.0 * fraction(in.F) - 300.0);
    const double x = 10.0 * fraction(in.x) - 5.0;
    const double s = 1e-3 * std::pow(5e3, fraction(in.s));
    const double K = F * std::exp(-x);
    check_round_trip(F, K, s, 1);
    check_round_trip(F, K, s, -1);
    // A price between 0 and F from the spare bits, for the range and parity
    // checks away from the edges of the double range; the branch joins over
    // -100 <= x <= 0.
    const double price = F * fraction(in.spare);
    check_vol_range(price, F, K, in.q);
    check_parity(price, F, K);
    check_branch_joins(-100.0 * fraction(in.x));

    g_input = nullptr;
    return 0;
}
