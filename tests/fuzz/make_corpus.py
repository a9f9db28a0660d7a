"""Writes the seed inputs of fuzz_core.cpp into tests/fuzz/corpus/.

Each seed is six little-endian doubles (price, F, K, s, x, spare) and an int32
q, the layout that fuzz_core.cpp decodes. Prices are Black prices at s where
the seed names a volatility, so that the fuzzer starts from solvable inputs in
every segment of the solver as well as from the special values.

    python3 tests/fuzz/make_corpus.py
"""

import math
import pathlib
import struct

NAN = math.nan
INF = math.inf


def black(F, K, s, q):
    """Undiscounted Black price; double precision is plenty for a seed."""
    d1 = (math.log(F / K) + 0.5 * s * s) / s
    d2 = d1 - s

    def cdf(z):
        return 0.5 * math.erfc(-z / math.sqrt(2.0))

    if q < 0:
        return K * cdf(-d2) - F * cdf(-d1)
    return F * cdf(d1) - K * cdf(d2)


def seed(F, K, s, q, price=None, spare=0.5):
    if price is None:
        price = black(F, K, s, q)
    ratio = F / K if K != 0 else NAN
    x = math.log(ratio) if 0 < ratio < INF else ratio
    return struct.pack("<6di", price, F, K, s, x, spare, q)


SEEDS = {
    "atm_call": seed(100.0, 100.0, 0.2, 1),
    "atm_put": seed(100.0, 100.0, 0.2, -1),
    "itm_call": seed(110.0, 100.0, 0.25, 1),
    "otm_call": seed(100.0, 110.0, 0.25, 1),
    "itm_put": seed(100.0, 110.0, 0.25, -1),
    "otm_put": seed(110.0, 100.0, 0.25, -1),
    "deep_otm_call": seed(100.0, 300.0, 0.1, 1),  # price about 1e-27: the lowest segment
    "deep_otm_put": seed(300.0, 100.0, 0.05, -1),
    "high_vol_call": seed(100.0, 120.0, 4.0, 1),  # close to the forward: the top segment
    "tiny_vol_call": seed(100.0, 100.000001, 1e-6, 1),
    "tiny_vol_itm_put": seed(100.0, 101.0, 1e-3, -1),
    "flag_zero": seed(120.0, 100.0, 0.3, 0),
    "flag_int_min": seed(100.0, 90.0, 0.3, -(2**31)),
    "flag_int_max": seed(100.0, 90.0, 0.3, 2**31 - 1),
    "nan_price": seed(100.0, 100.0, 0.2, 1, price=NAN),
    "nan_forward": seed(NAN, 100.0, 0.2, 1, price=5.0),
    "nan_strike_put": seed(100.0, NAN, NAN, -1, price=5.0),
    "inf_price": seed(100.0, 100.0, INF, 1, price=INF),
    "inf_strike": seed(100.0, INF, 0.2, -1, price=5.0),
    "zero_forward": seed(0.0, 100.0, -0.0, 1, price=0.0),
    "negative_strike": seed(100.0, -100.0, -0.2, -1, price=1.0),
    "subnormal": seed(5e-324, 1e-310, 5e-324, 1, price=1e-320, spare=5e-324),
    "huge": seed(1e300, 1e-300, 1e300, 1, price=1e299, spare=1e-300),
}


def main():
    out = pathlib.Path(__file__).resolve().parent / "corpus"
    out.mkdir(exist_ok=True)
    for name, data in SEEDS.items():
        (out / name).write_bytes(data)


if __name__ == "__main__":
    main()
