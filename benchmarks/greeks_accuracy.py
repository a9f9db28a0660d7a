"""Worst relative error of each Greek of quelta.greeks against mpmath.

Draws seeded samples of calls and puts (strikes within 3 standard
deviations, rates -1% to 9%, dividend yields 0 to 6%): a usual one
(expiries from 2 days to 8 years, volatilities 8% to 90%) and one of large
total volatilities (expiries 1 to 30 years, volatilities 8% to 400%, total
volatility up to 22). Each option is priced exactly with the
Black-Scholes-Merton price of the oracle (tests/oracle.py), rounded to
double, and quelta.greeks gives its Greeks, the underlying as a spot or as a
forward and the rate as a rate or a discount factor. Each Greek is compared
with an mpmath central difference of the same price at quelta's implied
volatility (quotes that are not ok, at the largest volatilities a price
within rounding of its bound, are counted, not compared).

The table gives, per Greek, the largest error relative to the Greek itself
over every solved option; for theta, vanna and volga, which cross zero where
their terms cancel, also the largest error relative to the sum of their
terms' sizes (tests/support.py, greek_scales), which is what their rounding
is relative to.

    python -P benchmarks/greeks_accuracy.py              # 2000 options per sample and form
    python -P benchmarks/greeks_accuracy.py --options 200
"""

import argparse
import math
import platform
import sys
from pathlib import Path

import mpmath
import numpy as np

import quelta

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import oracle
from support import GREEKS, greek_scales

FORMS = [(spot, by_discount) for spot in (True, False) for by_discount in (False, True)]
SAMPLES = {"usual": ((2 / 365, 8.0), 0.9), "large total vol": ((1.0, 30.0), 4.0)}
CANCELLING = ("theta", "vanna", "volga")


def sample(n, seed, expiries, highest):
    rng = np.random.default_rng(seed)
    S = 100.0 * np.exp(rng.normal(0.0, 0.3, n))
    T = np.exp(rng.uniform(math.log(expiries[0]), math.log(expiries[1]), n))
    r = rng.uniform(-0.01, 0.09, n)
    q = rng.uniform(0.0, 0.06, n)
    sigma = rng.uniform(0.08, highest, n)
    K = S * np.exp(rng.uniform(-3.0, 3.0, n) * sigma * np.sqrt(T))
    return S, K, T, r, q, sigma, rng.random(n) < 0.5


def errors(n, seed, spot, by_discount, expiries, highest):
    """Errors relative to each Greek and to its scale (len(GREEKS) x solved), unsolved."""
    S, K, T, r, q, sigma, call = sample(n, seed, expiries, highest)
    with mpmath.workdps(50):
        if spot:
            u = S
        else:
            u = np.array(
                [
                    float(mpmath.mpf(s) * mpmath.exp((mpmath.mpf(a) - b) * t))
                    for s, a, b, t in zip(S, r, q, T)
                ]
            )
        D = np.exp(-r * T)
        rate = [-mpmath.log(d) / t if by_discount else mpmath.mpf(a) for d, t, a in zip(D, T, r)]
        price = np.array(
            [float(oracle.bsm_price(*a, spot)) for a in zip(u, K, T, rate, q, sigma, call)]
        )
    kw = {"spot": u, "dividend_yield": q} if spot else {"forward": u}
    kw.update({"discount": D} if by_discount else {"rate": r})
    g = quelta.greeks(price, strike=K, expiry=T, kind=call, **kw)
    ok = np.flatnonzero(g.reason == quelta.Reason.OK)
    with mpmath.workdps(50):
        want = np.array(
            [
                oracle.bsm_greeks(u[i], K[i], T[i], rate[i], q[i], g.vol[i], call[i], spot)
                for i in ok
            ],
            dtype=float,
        ).T
    got = np.array([np.asarray(getattr(g, name))[ok] for name in GREEKS])
    scale = greek_scales(
        want,
        price[ok],
        u[ok],
        K[ok],
        T[ok],
        np.array([float(x) for x in rate])[ok],
        q[ok],
        g.vol[ok],
        spot,
    )
    return np.abs(got - want) / np.abs(want), np.abs(got - want) / scale, n - ok.size


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            return next(
                line.split(":", 1)[1].strip() for line in f if line.startswith("model name")
            )
    except (OSError, StopIteration):
        return platform.processor() or platform.machine()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--options", type=int, default=2000, help="options per sample and form")
    ap.add_argument("--seed", type=int, default=20261208)
    args = ap.parse_args()
    print(
        f"{cpu_model()} ({quelta.simd_level()}); {args.options} options per sample "
        f"and input form (seed {args.seed}); largest error relative to the Greek "
        f"[relative to its terms, for {', '.join(CANCELLING)}]"
    )
    print("| sample | input | unsolved | " + " | ".join(GREEKS) + " |")
    print("|---|---|---:|" + "---:|" * len(GREEKS))
    worst = np.zeros((2, len(GREEKS)))
    for s, (label, (expiries, highest)) in enumerate(SAMPLES.items()):
        for k, (spot, by_discount) in enumerate(FORMS):
            rel, scaled, unsolved = errors(
                args.options, args.seed + 10 * s + k, spot, by_discount, expiries, highest
            )
            worst = np.maximum(worst, [rel.max(axis=1), scaled.max(axis=1)])
            form = f"{'spot' if spot else 'forward'}, {'discount' if by_discount else 'rate'}"
            cells = [
                f"{r:.1e}" + (f" [{c:.1e}]" if name in CANCELLING else "")
                for name, r, c in zip(GREEKS, rel.max(axis=1), scaled.max(axis=1))
            ]
            print(f"| {label} | {form} | {unsolved} | " + " | ".join(cells) + " |")
    cells = [
        f"{r:.1e}" + (f" [{c:.1e}]" if name in CANCELLING else "")
        for name, r, c in zip(GREEKS, *worst)
    ]
    print("| worst | | | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
