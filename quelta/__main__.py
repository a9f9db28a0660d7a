"""A short demonstration: implied volatilities and Greeks of a few options.

Run with ``python -m quelta``.
"""

from math import erfc, log, sqrt

import numpy as np

from quelta import black_core as bc


def black_call(forward: float, strike: float, total_vol: float) -> float:
    """Undiscounted Black call price (plain double formula, for the demo)."""
    d1 = (log(forward / strike) + 0.5 * total_vol * total_vol) / total_vol
    d2 = d1 - total_vol
    return forward * 0.5 * erfc(-d1 / sqrt(2)) - strike * 0.5 * erfc(-d2 / sqrt(2))


def main() -> None:
    forward, discount = 100.0, 0.97
    strikes = np.array([60.0, 80.0, 95.0, 100.0, 105.0, 120.0, 160.0])
    is_call = (strikes >= forward).astype(np.int8)  # the out-of-the-money side
    true_vol = 0.2 + 0.15 * np.log(strikes / forward) ** 2  # a smile, total volatility
    prices = np.array([
        black_call(forward, k, s) - (0.0 if c else forward - k)
        for k, s, c in zip(strikes, true_vol, is_call)
    ])

    vol, delta, gamma, vega = (np.empty_like(prices) for _ in range(4))
    bc.compute_trades_greeks(prices, np.full_like(prices, forward), strikes, is_call,
                             np.full_like(prices, discount), vol, delta, gamma, vega)

    print(f"forward {forward}, discount factor {discount}\n")
    print(f"{'strike':>8} {'kind':>5} {'price':>12} {'implied vol':>15} {'rel. err':>9}"
          f" {'delta':>9} {'gamma':>9} {'vega':>9}")
    for i, k in enumerate(strikes):
        print(f"{k:8.2f} {'call' if is_call[i] else 'put':>5} {prices[i]:12.6f}"
              f" {vol[i]:15.13f} {vol[i] / true_vol[i] - 1:9.1e}"
              f" {delta[i]:9.5f} {gamma[i]:9.5f} {vega[i]:9.5f}")


if __name__ == "__main__":
    main()
