// Tests of the batch kernels (numeric/batch.hpp, Black, and
// numeric/bachelier_batch.hpp, normal) on the scalar lane: a row's results do
// not depend on the rows around it, on the chunk it falls in or on the
// length of the book; and the expiry's codes are given whatever the solver
// said. Every level against the scalar functions is tests/test_kernel.py.
#include "numeric/batch.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "numeric/bachelier_batch.hpp"
#include "tests/cpp/support.hpp"

namespace {

using quelta_test::kInf;
using quelta_test::kNaN;
using quelta_test::SameDouble;

struct Book {
    std::vector<double> price, forward, strike, kind, discount, expiry;
    std::vector<double> vol, delta, gamma, vega;
    std::vector<std::int8_t> reason;

    explicit Book(std::size_t n)
        : price(n),
          forward(n),
          strike(n),
          kind(n),
          discount(n),
          expiry(n),
          vol(n),
          delta(n),
          gamma(n),
          vega(n),
          reason(n) {}

    quelta::simd::Rows rows(std::size_t i, bool with_expiry) {
        return {price.data() + i,
                forward.data() + i,
                strike.data() + i,
                kind.data() + i,
                discount.data() + i,
                vol.data() + i,
                delta.data() + i,
                gamma.data() + i,
                vega.data() + i,
                reason.data() + i,
                true,
                with_expiry ? expiry.data() + i : nullptr};
    }
};

// 700 rows (three chunks, the last partial): prices from deep out of to
// deep in the money, edge values among them, every expiry check.
Book make_book() {
    constexpr std::size_t n = 700;
    constexpr double edges[] = {0.0, -1.0, kNaN, kInf, 5e-324};
    Book b(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double u = static_cast<double>(i);
        b.forward[i] = std::exp(std::sin(u) * 6.0);
        b.strike[i] = b.forward[i] * std::exp(std::cos(1.7 * u) * 2.0);
        b.kind[i] = quelta::kind_of_flag(static_cast<std::int8_t>(i % 3 != 0));
        b.discount[i] = 0.8 + 0.2 * std::fabs(std::sin(0.3 * u));
        b.price[i] = b.discount[i] * b.forward[i] * (0.5 + 0.49 * std::sin(2.9 * u));
        b.expiry[i] = 0.5 + std::fabs(std::cos(0.7 * u));
        if (i % 37 == 5) b.price[i] = edges[i % 5];
        if (i % 41 == 7) b.expiry[i] = edges[(i / 41) % 5];
        if (i % 43 == 9) b.strike[i] = edges[(i / 43) % 5];
    }
    return b;
}

using Solve = void (*)(const quelta::simd::Rows&, std::size_t) noexcept;

class Batch : public ::testing::TestWithParam<Solve> {};

TEST_P(Batch, ARowComesOutAloneAsInTheBook) {
    for (const bool with_expiry : {false, true}) {
        Book all = make_book(), alone = make_book();
        const std::size_t n = all.price.size();
        GetParam()(all.rows(0, with_expiry), n);
        for (std::size_t i = 0; i < n; ++i) GetParam()(alone.rows(i, with_expiry), 1);
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_TRUE(SameDouble(all.vol[i], alone.vol[i])) << "row " << i;
            EXPECT_TRUE(SameDouble(all.delta[i], alone.delta[i])) << "row " << i;
            EXPECT_TRUE(SameDouble(all.gamma[i], alone.gamma[i])) << "row " << i;
            EXPECT_TRUE(SameDouble(all.vega[i], alone.vega[i])) << "row " << i;
            EXPECT_EQ(all.reason[i], alone.reason[i]) << "row " << i;
        }
    }
}

TEST_P(Batch, TheExpiryDecidesItsCodesOverTheSolversAndNotFiniteWins) {
    using quelta::simd::Reason;
    Book b = make_book();
    const std::size_t n = b.price.size();
    GetParam()(b.rows(0, true), n);
    int expired = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double t = b.expiry[i];
        const bool input_finite = std::isfinite(b.price[i]) && std::isfinite(b.strike[i]);
        const auto code = static_cast<Reason>(b.reason[i]);
        if (!std::isfinite(t) || !input_finite) {
            EXPECT_EQ(code, Reason::not_finite) << "row " << i;
        } else if (t <= 0.0) {
            EXPECT_EQ(code, Reason::non_positive_expiry) << "row " << i;
            ++expired;
        }
        if (code != Reason::ok) {
            EXPECT_TRUE(std::isnan(b.vol[i])) << "row " << i;
        }
    }
    EXPECT_GT(expired, 3);
}

INSTANTIATE_TEST_SUITE_P(Models, Batch,
                         ::testing::Values(&quelta::simd::solve_rows<double>,
                                           &quelta::bachelier::solve_rows<double>));

}  // namespace
