"""Worst relative error of each Greek of quelta.greeks against mpmath.

Draws a seeded sample of calls and puts (strikes within 3 standard
deviations, expiries from 2 days to 8 years, rates -1% to 9%, dividend yields
0 to 6%, volatilities 8% to 90%), prices each exactly with the
Black-Scholes-Merton price of the oracle (tests/oracle.py), rounds it to
double and asks quelta.greeks for the Greeks, given the underlying as a spot
or as a forward and the rate as a rate or a discount factor. Each Greek is
compared with an mpmath central difference of the same price at quelta's
implied volatility. The table gives, per Greek, the largest relative error
where the Greek is at least 1e-4 of its largest magnitude in the sample
(near a sign change a relative error means nothing), and the median.

    python -P benchmarks/greeks_accuracy.py              # 2000 options per input form
    python -P benchmarks/greeks_accuracy.py --options 200
"""

import argparse
import math
import sys
from pathlib import Path

import mpmath
import numpy as np

import quelta

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import oracle  # noqa: E402

NAMES = ("delta", "gamma", "vega", "theta", "rho", "vanna", "volga")
FORMS = [(spot, by_discount) for spot in (True, False) for by_discount in (False, True)]


def sample(n, seed):
    rng = np.random.default_rng(seed)
    S = 100.0 * np.exp(rng.normal(0.0, 0.3, n))
    T = np.exp(rng.uniform(math.log(2 / 365), math.log(8.0), n))
    r = rng.uniform(-0.01, 0.09, n)
    q = rng.uniform(0.0, 0.06, n)
    sigma = rng.uniform(0.08, 0.9, n)
    K = S * np.exp(rng.uniform(-3.0, 3.0, n) * sigma * np.sqrt(T))
    return S, K, T, r, q, sigma, rng.random(n) < 0.5


def errors(n, seed, spot, by_discount):
    """Relative errors (len(NAMES) x solved) and the 'not tiny' mask."""
    S, K, T, r, q, sigma, call = sample(n, seed)
    with mpmath.workdps(40):
        if spot:
            u = S
        else:
            u = np.array([float(mpmath.mpf(s) * mpmath.exp((mpmath.mpf(a) - b) * t))
                          for s, a, b, t in zip(S, r, q, T)])
        D = np.exp(-r * T)
        rate = [-mpmath.log(d) / t if by_discount else mpmath.mpf(a)
                for d, t, a in zip(D, T, r)]
        price = np.array([float(oracle.bsm_price(*a, spot))
                          for a in zip(u, K, T, rate, q, sigma, call)])
    kw = {"spot": u, "dividend_yield": q} if spot else {"forward": u}
    kw.update({"discount": D} if by_discount else {"rate": r})
    g = quelta.greeks(price, strike=K, expiry=T, kind=call, **kw)
    ok = np.flatnonzero(g.reason == quelta.Reason.OK)
    with mpmath.workdps(40):
        want = np.array([oracle.bsm_greeks(u[i], K[i], T[i], rate[i], q[i], g.vol[i], call[i],
                                           spot) for i in ok], dtype=float).T
    got = np.array([np.asarray(getattr(g, name))[ok] for name in NAMES])
    rel = np.abs(got - want) / np.abs(want)
    not_tiny = np.abs(want) >= 1e-4 * np.max(np.abs(want), axis=1, keepdims=True)
    return rel, not_tiny, n - ok.size


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--options", type=int, default=2000, help="options per input form")
    ap.add_argument("--seed", type=int, default=20261208)
    args = ap.parse_args()
    rows = []
    for k, (spot, by_discount) in enumerate(FORMS):
        rel, not_tiny, unsolved = errors(args.options, args.seed + k, spot, by_discount)
        form = f"{'spot' if spot else 'forward'}, {'discount' if by_discount else 'rate'}"
        rows.append((form, rel, not_tiny, unsolved))
    print(f"{args.options} options per input form (seed {args.seed}); max relative error where"
          " |Greek| >= 1e-4 of its largest, median over all")
    print("| input | unsolved | " + " | ".join(NAMES) + " |")
    print("|---|---:|" + "---:|" * len(NAMES))
    for form, rel, not_tiny, unsolved in rows:
        cells = [f"{r[m].max():.1e} ({np.median(r):.0e})" for r, m in zip(rel, not_tiny)]
        print(f"| {form} | {unsolved} | " + " | ".join(cells) + " |")
    worst = [max(rel[i][m[i]].max() for _, rel, m, _ in rows) for i in range(len(NAMES))]
    print("| worst | | " + " | ".join(f"{w:.1e}" for w in worst) + " |")


if __name__ == "__main__":
    main()
