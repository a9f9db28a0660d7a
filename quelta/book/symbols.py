"""Option symbols: the expiry, kind and strike an OCC or crypto exchange symbol names.

Each distinct symbol is read once, each form by one pyarrow regular
expression over the distinct values. Symbols are upper case as exchanges
write them: a lower-case symbol is not taken for one.
"""

from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

from quelta.book.cells import Cells, from_numpy, text_array, to_numpy
from quelta.book.dates import MONTHS, calendar_days

# OCC (OPRA): a root of 1-6 characters (space-padded to six as OPRA and
# brokers write it), YYMMDD, C or P, and the strike in thousandths in 8 digits;
# some market-data APIs put "O:" in front.
_OCC = (
    r"^(?:O:)?(?P<root>[A-Z][A-Z0-9.]{0,5})(?P<pad> *)"
    r"(?P<year>\d{2})(?P<month>\d{2})(?P<day>\d{2})(?P<kind>[CP])(?P<thousandths>\d{8})$"
)
# Crypto exchanges: BTC-26DEC25-90000-C, ETH-26DEC25-3500.5-P, XRP-26DEC25-0d5-C
# (d for the decimal point), BTC-251226-90000-C and BTC-USD-251226-90000-C;
# options settled in a stable coin name it after the coin, BTC_USDC-26DEC25-90000-C.
_STRIKE = r"-(?P<strike>\d+(?:[.d]\d+)?)-(?P<kind>[CP])$"
_CRYPTO = (
    r"^(?P<root>[A-Z0-9]+(?:_[A-Z0-9]+)?)-(?P<day>\d{1,2})(?P<mon>[A-Z]{3})(?P<year>\d{2})"
    + _STRIKE,
    r"^(?P<root>[A-Z0-9]+)-(?:[A-Z0-9]+-)?(?P<year>\d{2})(?P<month>\d{2})(?P<day>\d{2})" + _STRIKE,
)
MESSAGE = (
    "column {column!r}: {value!r} is not an option symbol "
    "(such as SPXW251219C06850000 or BTC-26DEC25-90000-C)"
)


class Symbols(NamedTuple):
    """Per row: the expiry date (NaT where unreadable), whether a call, the strike (NaN),
    and the root naming the underlying (SPXW, BTC; null where unreadable)."""

    expiry: np.ndarray
    is_call: np.ndarray
    strike: np.ndarray
    root: pa.Array


def _numbers(match: Any, name: str) -> np.ndarray:
    """A group of digits as float64 (NaN where empty or absent)."""
    text = pc.replace_substring(pc.struct_field(match, name), "d", ".")
    given = pc.greater(pc.utf8_length(text), 0)
    return to_numpy(
        pc.cast(pc.if_else(given, text, pa.nulls(len(text), pa.string())), pa.float64())
    )


def _read_form(texts: pa.Array, pattern: str) -> tuple[np.ndarray, ...]:
    """Distinct symbols read by one form: (matched, expiry, is_call, strike, root)."""
    match = pc.extract_regex(texts, pattern)
    matched = to_numpy(match.is_valid())
    fields = {match.type.field(i).name for i in range(match.type.num_fields)}
    year = np.nan_to_num(_numbers(match, "year"), nan=-1).astype(np.int64) + 2000
    day = np.nan_to_num(_numbers(match, "day"), nan=-1).astype(np.int64)
    if "mon" in fields:
        where = to_numpy(
            pc.index_in(
                pc.utf8_lower(pc.struct_field(match, "mon")), value_set=text_array(list(MONTHS))
            )
        )
        month = np.nan_to_num(where, nan=-2).astype(np.int64) + 1
    else:
        month = np.nan_to_num(_numbers(match, "month"), nan=-1).astype(np.int64)
    if "thousandths" in fields:
        strike = _numbers(match, "thousandths") / 1000.0  # one rounding: exact as written
        pad = to_numpy(pc.utf8_length(pc.struct_field(match, "pad")))
        root = to_numpy(pc.utf8_length(pc.struct_field(match, "root")))
        matched &= (pad == 0) | (pad + root == 6)  # padded roots take exactly six places
    else:
        strike = _numbers(match, "strike")
    expiry = calendar_days(year, month, day)
    is_call = to_numpy(pc.fill_null(pc.equal(pc.struct_field(match, "kind"), "C"), False))
    matched &= ~np.isnat(expiry)
    return matched, expiry, is_call, strike, pc.struct_field(match, "root")


def read_symbols(values: pa.Array, column: str, cells: Cells) -> Symbols:
    """A column of option symbols read per row; unreadable symbols are flagged in ``cells``.

    Missing cells (null or empty) are not flagged: their rows have a NaT
    expiry and a NaN strike, as unreadable ones do.
    """
    n = len(values)
    if not (pa.types.is_string(values.type) or pa.types.is_large_string(values.type)):
        missing = to_numpy(pc.is_null(values))
        cells.flag(~missing, column, values, MESSAGE)
        return Symbols(
            np.full(n, np.datetime64("NaT", "D"), "datetime64[D]"),
            np.zeros(n, bool),
            np.full(n, np.nan),
            pa.nulls(n, pa.string()),
        )
    encoded = pc.dictionary_encode(values)
    texts = pc.utf8_trim_whitespace(encoded.dictionary.cast(pa.string()))
    m = len(texts)
    found = np.zeros(m, bool)
    expiry = np.full(m, np.datetime64("NaT", "D"), "datetime64[D]")
    is_call, strike, root = np.zeros(m, bool), np.full(m, np.nan), pa.nulls(m, pa.string())
    for pattern in (_OCC, *_CRYPTO):
        rows, day, call, price, name = _read_form(texts, pattern)
        rows &= ~found
        expiry[rows], is_call[rows], strike[rows] = day[rows], call[rows], price[rows]
        root = pc.if_else(from_numpy(rows), name, root)
        found |= rows
    empty = np.nan_to_num(to_numpy(pc.utf8_length(texts)), nan=0) == 0
    index = to_numpy(encoded.indices)
    index = np.where(np.isnan(index), m, index).astype(np.intp)
    unreadable = np.append(~found & ~empty, False)[index]
    cells.flag(unreadable, column, values, MESSAGE)
    return Symbols(
        np.append(expiry, np.datetime64("NaT", "D"))[index],
        np.append(is_call, False)[index],
        np.append(strike, np.nan)[index],
        root.take(encoded.indices),
    )


def mostly_not_symbols(values: pa.Array) -> bool:
    """Whether most of the non-empty cells of a column are not option symbols (a
    broker's ``symbol`` column naming the underlying, ``SPX``)."""
    cells = Cells(len(values), strict=False)
    read = ~np.isnan(read_symbols(values, "", cells).strike)
    return int(cells.bad.sum()) > int(read.sum())
