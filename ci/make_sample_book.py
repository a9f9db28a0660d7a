"""Writes quelta/data/sample_book.csv, the book that `quelta` solves by default.

Out-of-the-money calls and puts over seven expiries, priced from a known
smile with mpmath at 50 significant digits and rounded once to double, so
the implied volatilities that quelta recovers can be compared with the exact
ones (column true_vol). A few quotes without a volatility follow, one per
common fault, explained in the column note.

    python3 ci/make_sample_book.py          # rewrites the committed file

The smile, in annualised volatility, with z = ln(K/F) / (0.2 sqrt(T)):

    sigma(K, T) = (0.16 + 0.06 exp(-T)) * (1 - 0.1 z + 0.025 z^2)

rounded to 6 decimals; F(T) = 100 exp(0.015 T) rounded to 4 decimals,
D(T) = exp(-0.03 T) rounded to 10 decimals, strikes F exp(0.2 z sqrt(T)) for
z = -4, -3.5, ..., 4, rounded to cents. Every rounded value is then exact
(its double), and the price is the double nearest to D * Black(F, K,
sigma sqrt(T)) for those doubles.
"""

import csv
from pathlib import Path

import mpmath

mpmath.mp.dps = 50

OUT = Path(__file__).resolve().parent.parent / "quelta" / "data" / "sample_book.csv"
EXPIRIES = [0.02, 0.08, 0.25, 0.5, 1.0, 2.0, 5.0]
Z_GRID = [i / 2 for i in range(-8, 9)]
COLUMNS = ["expiry", "forward", "strike", "kind", "price", "discount", "true_vol", "note"]


def ncdf(z):
    return mpmath.erfc(-z / mpmath.sqrt(2)) / 2


def black(F, K, w, call):
    """Undiscounted Black price at total volatility w, all arguments mpf."""
    d1 = (mpmath.log(F / K) + w * w / 2) / w
    d2 = d1 - w
    if call:
        return F * ncdf(d1) - K * ncdf(d2)
    return K * ncdf(-d2) - F * ncdf(-d1)


def smile(F, K, T):
    z = mpmath.log(K / F) / (mpmath.mpf("0.2") * mpmath.sqrt(T))
    return (mpmath.mpf("0.16") + mpmath.mpf("0.06") * mpmath.exp(-T)) * (
        1 - mpmath.mpf("0.1") * z + mpmath.mpf("0.025") * z * z
    )


def rows():
    for T in EXPIRIES:
        Tm = mpmath.mpf(T)
        F = round(float(100 * mpmath.exp(mpmath.mpf("0.015") * Tm)), 4)
        D = round(float(mpmath.exp(mpmath.mpf("-0.03") * Tm)), 10)
        for z in Z_GRID:
            K = round(float(F * mpmath.exp(mpmath.mpf("0.2") * z * mpmath.sqrt(Tm))), 2)
            sigma = round(float(smile(mpmath.mpf(F), mpmath.mpf(K), Tm)), 6)
            call = K >= F
            price = float(
                mpmath.mpf(D)
                * black(mpmath.mpf(F), mpmath.mpf(K), mpmath.mpf(sigma) * mpmath.sqrt(Tm), call)
            )
            yield [T, F, K, "call" if call else "put", repr(price), D, sigma, ""]
    # Quotes without an implied volatility, one per typical fault.
    F, D = 100.375, 0.9925280548
    yield [0.25, F, 90.0, "call", 5.0, D, "", "stale quote: below intrinsic value"]
    yield [0.25, F, 110.0, "call", 101.0, D, "", "price above the forward"]
    yield [0.0, F, 100.0, "call", 0.4, 1.0, "", "expired option"]
    yield [0.5, F, 105.0, "put", "", D, "", "missing price"]


def main():
    with open(OUT, "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(COLUMNS)
        w.writerows(rows())
    print(f"wrote {OUT}")


if __name__ == "__main__":
    main()
