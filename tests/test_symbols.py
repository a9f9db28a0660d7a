"""Option symbols written from (root, date, kind, strike) read back to them, and hostile cells."""

import datetime as dt
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow")

from quelta.book.cells import Cells  # noqa: E402
from quelta.book.symbols import read_symbols  # noqa: E402

ROOTS = st.text("ABCDEFGHIJKLMNOPQRSTUVWXYZ", min_size=1, max_size=6)
DAYS = st.dates(dt.date(2000, 1, 1), dt.date(2099, 12, 31))


def occ(root, day, call, thousandths, form):
    body = f"{day:%y%m%d}{'C' if call else 'P'}{thousandths:08d}"
    return {"plain": root + body, "padded": root.ljust(6) + body, "api": "O:" + root + body}[form]


def crypto(root, day, call, strike, form):
    kind = "C" if call else "P"
    return {
        "ddmmmyy": f"{root}-{day.day}{day:%b%y}".upper() + f"-{strike}-{kind}",
        "yymmdd": f"{root}-{day:%y%m%d}-{strike}-{kind}",
        "quoted": f"{root}-USD-{day:%y%m%d}-{strike}-{kind}",
        "linear": f"{root}_USDC-{day.day}{day:%b%y}".upper() + f"-{strike}-{kind}",
    }[form]


def read(cells):
    values = pa.array(cells, pa.string())
    seen = Cells(len(cells), False)
    return read_symbols(values, "symbol", seen), seen


@settings(deadline=None)
@given(
    ROOTS,
    DAYS,
    st.booleans(),
    st.integers(1, 99_999_999),
    st.sampled_from(["plain", "padded", "api"]),
)
def test_occ_symbols_read_back(root, day, call, thousandths, form):
    got, seen = read([occ(root, day, call, thousandths, form)])
    assert got.expiry[0] == np.datetime64(day) and got.is_call[0] == call
    assert got.strike[0] == float(Fraction(thousandths, 1000)) and not seen.bad.any()


@settings(deadline=None)
@given(
    ROOTS,
    DAYS,
    st.booleans(),
    st.integers(1, 10**7),
    st.integers(0, 3),
    st.sampled_from([".", "d"]),
    st.sampled_from(["ddmmmyy", "yymmdd", "quoted", "linear"]),
)
def test_crypto_instruments_read_back(root, day, call, whole, decimals, point, form):
    head, tail = divmod(whole, 10**decimals)
    strike = str(whole) if decimals == 0 else f"{head}{point}{tail:0{decimals}d}"
    got, seen = read([crypto(root, day, call, strike, form)])
    assert got.expiry[0] == np.datetime64(day) and got.is_call[0] == call
    assert got.strike[0] == float(strike.replace("d", ".")) and not seen.bad.any()


@pytest.mark.parametrize(
    "cell",
    [
        "SPXW251219C0685000",
        "SPXW251219C068500000",
        "TOOLONG251219C06850000",
        "AAPL 251219P00150000",
        "SPXW251319C06850000",
        "SPXW250230C06850000",
        "spxw251219c06850000",
        "SPXW251219X06850000",
        "BTC-26DEC25-90000-X",
        "btc-26dec25-90000-c",
        "BTC-30FEB25-90000-C",
        "BTC-26DEX25-90000-C",
        "BTC-251326-90000-C",
        "BTC-26DEC25--C",
        "BTC-26DEC25-9.0.0-C",
        "O:",
        "-",
        "251219C06850000",
    ],
)
def test_hostile_symbols_are_unreadable_and_named(cell):
    got, seen = read(["SPXW251219C06850000", cell, ""])
    assert seen.bad.tolist() == [False, True, False]
    assert np.isnat(got.expiry[1:]).all() and np.isnan(got.strike[1:]).all()
    bad = seen.columns["symbol"]
    assert (bad.row, bad.value) == (1, repr(cell)) and "is not an option symbol" in bad.message
