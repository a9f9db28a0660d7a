"""Writes quelta/data/mixed_book.csv, a rates book of normal and shifted-lognormal quotes.

A rates desk keeps both in one book: each row names its model in the column
model, the shifted-lognormal rows their shift in the column shift (0 for
plain Black; empty on the normal rows, which take none). Prices are the
doubles nearest to D * Bachelier(F, K, sigma sqrt(T)) or D * Black(F + d,
K + d, sigma sqrt(T)) (F + d and K + d rounded to doubles, as the solver
takes them), evaluated with mpmath at 50 significant digits from the doubles
written, so the volatilities quelta recovers can be compared
with the exact ones (column true_vol).

    python3 ci/make_mixed_book.py          # rewrites the committed file
"""

import csv
from pathlib import Path

import mpmath

mpmath.mp.dps = 50

OUT = Path(__file__).resolve().parent.parent / "quelta" / "data" / "mixed_book.csv"
COLUMNS = ["expiry", "forward", "strike", "kind", "model", "shift", "price", "discount", "true_vol"]
# expiry, forward, strike, kind, model as written, shift ("" for none), volatility
QUOTES = [
    (0.5, -0.0045, -0.005, "call", "normal", "", 0.0045),
    (1.0, -0.001, 0.0, "call", "Bachelier", "", 0.0058),
    (2.0, 0.0035, 0.001, "put", "N", "", 0.0078),
    (0.5, -0.0045, -0.005, "call", "shifted_black", 0.02, 0.29),
    (1.0, -0.001, 0.0, "call", "Shifted Black", 0.01, 0.61),
    (2.0, 0.0035, 0.001, "put", "lognormal", 0.03, 0.23),
    (5.0, 0.012, 0.015, "call", "Black", 0.0, 0.41),
    (10.0, 0.019, 0.025, "call", "b", 0.0, 0.35),
]
RATE = mpmath.mpf("0.025")


def ncdf(z):
    return mpmath.erfc(-z / mpmath.sqrt(2)) / 2


def bachelier(F, K, w, call):
    d = (F - K) / w
    t = 1 if call else -1
    return t * (F - K) * ncdf(t * d) + w * mpmath.npdf(d)


def black(F, K, w, call):
    d1 = (mpmath.log(F / K) + w * w / 2) / w
    t = 1 if call else -1
    return t * (F * ncdf(t * d1) - K * ncdf(t * (d1 - w)))


def rows():
    for T, F, K, kind, model, shift, sigma in QUOTES:
        D = round(float(mpmath.exp(-RATE * T)), 10)
        w = mpmath.mpf(sigma) * mpmath.sqrt(T)
        call = kind == "call"
        if shift == "":
            undiscounted = bachelier(mpmath.mpf(F), mpmath.mpf(K), w, call)
        else:
            # The shifted forward and strike as quelta forms them: doubles.
            undiscounted = black(mpmath.mpf(F + shift), mpmath.mpf(K + shift), w, call)
        price = float(mpmath.mpf(D) * undiscounted)
        yield [T, F, K, kind, model, shift, repr(price), D, sigma]


def main():
    with open(OUT, "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(COLUMNS)
        w.writerows(rows())
    print(f"wrote {OUT}")


if __name__ == "__main__":
    main()
