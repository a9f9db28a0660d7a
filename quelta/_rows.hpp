// The batch loops of quelta.black_core: rows copied out of the array views
// into contiguous chunks for the batch kernel, and the results copied back.
#pragma once

#include <cstddef>
#include <cstdint>

#include "numeric/batch.hpp"
#include "numeric/constants.hpp"
#include "quelta/_views.hpp"
#include "quelta/kernels/dispatch.hpp"

namespace quelta::python {

// Rows copied out of the views a chunk at a time into contiguous arrays for
// the batch kernel, and its results copied back. Every input of a chunk is
// read before its first output is written, so an output may alias an input.
struct Chunk {
    static constexpr Py_ssize_t size = 256;
    double price[size], forward[size], strike[size], kind[size], discount[size];
    double vol[size], delta[size], gamma[size], vega[size];

    quelta::simd::Rows rows(bool greeks) noexcept {
        return {price,
                forward,
                strike,
                kind,
                discount,
                vol,
                greeks ? delta : nullptr,
                greeks ? gamma : nullptr,
                greeks ? vega : nullptr,
                nullptr};
    }

    // Runs the kernel over rows [0, n) of the views, chunk by chunk:
    // fill(chunk, first, m) copies the inputs of rows first .. first + m - 1,
    // drain(chunk, first, m) copies out their results.
    template <class Fill, class Drain>
    void run(Py_ssize_t n, bool greeks, Fill fill, Drain drain) noexcept {
        const auto solve_rows = quelta::kernel::active().solve_rows;
        for (Py_ssize_t first = 0; first < n; first += size) {
            const Py_ssize_t m = n - first < size ? n - first : size;
            fill(*this, first, m);
            solve_rows(rows(greeks), static_cast<std::size_t>(m));
            drain(*this, first, m);
        }
    }
};

// A column of the undiscounted rows: a view's elements, or one value for
// every row.
struct Column {
    const View<double>* view = nullptr;
    double value = 0.0;

    double operator[](Py_ssize_t i) const noexcept { return view != nullptr ? (*view)[i] : value; }
};

// The element loop of vectorized_implied_vol and
// vectorized_implied_vol_strikes: the volatilities of undiscounted prices of
// one kind, into out. The kernel gives +0.0 where F <= 0 or K <= 0.
inline void solve_vols(Py_ssize_t n, const View<double>& price, Column fwd, Column strike,
                       double kind, const View<double>& out) noexcept {
    Chunk chunk;
    chunk.run(
        n, false,
        [&](Chunk& c, Py_ssize_t first, Py_ssize_t m) {
            for (Py_ssize_t i = 0; i < m; ++i) {
                c.price[i] = price[first + i];
                c.forward[i] = fwd[first + i];
                c.strike[i] = strike[first + i];
                c.kind[i] = kind;
                c.discount[i] = 1.0;
            }
        },
        [&](const Chunk& c, Py_ssize_t first, Py_ssize_t m) {
            for (Py_ssize_t i = 0; i < m; ++i) out.set(first + i, c.vol[i]);
        });
}

// The element loop of compute_trades_greeks. The kernel zeroes every output
// of a trade with a non-positive forward, strike or discount factor.
inline void solve_trades(Py_ssize_t n, const View<double>& price, const View<double>& fwd,
                         const View<double>& strike, const View<std::int8_t>& is_call,
                         const View<double>& discount, const View<double>& out_vol,
                         const View<double>& out_delta, const View<double>& out_gamma,
                         const View<double>& out_vega) noexcept {
    Chunk chunk;
    chunk.run(
        n, true,
        [&](Chunk& c, Py_ssize_t first, Py_ssize_t m) {
            for (Py_ssize_t i = 0; i < m; ++i) {
                c.price[i] = price[first + i];
                c.forward[i] = fwd[first + i];
                c.strike[i] = strike[first + i];
                c.kind[i] = quelta::kind_of_flag(is_call[first + i]);
                c.discount[i] = discount[first + i];
            }
        },
        [&](const Chunk& c, Py_ssize_t first, Py_ssize_t m) {
            for (Py_ssize_t i = 0; i < m; ++i) {
                out_vol.set(first + i, c.vol[i]);
                out_delta.set(first + i, c.delta[i]);
                out_gamma.set(first + i, c.gamma[i]);
                out_vega.set(first + i, c.vega[i]);
            }
        });
}

}  // namespace quelta::python
