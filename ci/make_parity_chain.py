"""Writes quelta/data/parity_chain.csv, a chain without forward or rate, for --forward parity.

An OCC chain as a market-data library exports it (contractSymbol, lastPrice,
bid, ask) with a call and a put at each strike, valued on 2025-06-20: two
expiries with five strikes each, and one with a single strike, which has no
forward to fit. Each last price is the double nearest to D * Black(F, K,
sigma sqrt(T)) at 50 digits, for the expiry's forward F and discount D
(written in the summary below) and the volatility in the column true_vol;
bid and ask are the price to a tenth, less and plus 0.1.

    python3 ci/make_parity_chain.py          # rewrites the committed file

    expiry       T (ACT/365F)  F         D     strikes
    2025-09-19   91/365        5012.5    0.99  4600 4800 5000 5200 5400
    2025-12-19   182/365       5031.25   0.98  4600 4800 5000 5200 5400
    2026-06-18   363/365       5050      0.96  5000
"""

import csv
from pathlib import Path

import mpmath

mpmath.mp.dps = 50

OUT = Path(__file__).resolve().parent.parent / "quelta" / "data" / "parity_chain.csv"
STRIKES = [4600, 4800, 5000, 5200, 5400]
EXPIRIES = [("250919", 91, 5012.5, 0.99, STRIKES), ("251219", 182, 5031.25, 0.98, STRIKES)]
EXPIRIES.append(("260618", 363, 5050.0, 0.96, [5000]))
SMILE = {4600: 0.26, 4800: 0.23, 5000: 0.21, 5200: 0.195, 5400: 0.2}


def black(F, K, w, call):
    """The undiscounted Black price at total volatility w."""
    d1 = (mpmath.log(F / K) + w * w / 2) / w
    n = mpmath.ncdf
    return F * n(d1) - K * n(d1 - w) if call else K * n(w - d1) - F * n(-d1)


def rows():
    for date, days, F, D, strikes in EXPIRIES:
        for K in strikes:
            w = mpmath.mpf(SMILE[K]) * mpmath.sqrt(mpmath.mpf(days) / 365)
            for call in (True, False):
                price = float(mpmath.mpf(D) * black(mpmath.mpf(F), mpmath.mpf(K), w, call))
                tenth = round(price, 1)
                symbol = f"SPXW  {date}{'C' if call else 'P'}{K * 1000:08d}"
                yield [symbol, repr(price), f"{tenth - 0.1:.2f}", f"{tenth + 0.1:.2f}", SMILE[K]]


def main():
    with open(OUT, "w", newline="") as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(["contractSymbol", "lastPrice", "bid", "ask", "true_vol"])
        w.writerows(rows())


if __name__ == "__main__":
    main()
