"""Option books as Arrow tables: columns, cells, solving, and CSV or Parquet streams.

:func:`solve_table` takes a book as a pyarrow Table (or RecordBatch) or a
pandas DataFrame, recognises its columns by name, reads the cells (numbers
as numbers or text, percentages, dates, option kinds in their common
spellings), solves every row with one call of :func:`quelta.greeks` and
returns the same kind of table with ``implied_vol``, ``delta``, ``gamma``,
``vega`` (or every Greek, ``greeks="all"``) and ``reason`` appended. The
underlying is a forward column, or a spot column with a rate (or discount)
and optionally a dividend yield column. It prints nothing and keeps no state, so
it can be mapped over the batches of a stream or the partitions of a larger
frame; :func:`summarize` counts the rows of a result by reason.

A row whose cells cannot be read (text in a number column, an unknown option
kind) gets the reason ``bad_input``; a missing number (an empty cell, NA,
#N/A) gets ``not_finite``; the other rows are solved. With ``strict=True``
the first unreadable row raises :class:`BookError` instead.

:class:`BookReader` and :class:`BookWriter` stream books from and to CSV and
Parquet files in record batches, so memory stays bounded by the batch size
whatever the length of the book. CSV cells are read as text, which keeps
every input column exactly as it was written; results are written in the
shortest decimal form that reads back to the same double.

Needs pyarrow (``pip install 'quelta[cli]'``); pandas only for DataFrames.
"""

from __future__ import annotations

import contextlib
import csv
import datetime as _dt
import io
import os
import re
import stat
import warnings
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import IO, Any

import numpy as np

try:
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.csv as pa_csv
    from pyarrow import ArrowException as ArrowException
except ImportError as _exc:  # pragma: no cover - depends on the installation
    raise ImportError("quelta's book functions need pyarrow: pip install 'quelta[cli]'") from _exc

from quelta import _arrays as _api
from quelta._arrays import _CALL_WORDS, Greeks, Reason, _spot_growth

__all__ = [
    "ALL_GREEKS",
    "COLUMNS",
    "GREEKS",
    "MAX_EXPIRY_YEARS",
    "RESULTS",
    "BookError",
    "BookReader",
    "BookWarning",
    "BookWriter",
    "Solved",
    "resolve_columns",
    "result_names",
    "solve_batch",
    "solve_table",
    "summarize",
]

# Canonical column, accepted header names (after normalising case, spaces,
# hyphens and slashes; the first one present wins), and the help text.
COLUMNS: list[tuple[str, tuple[str, ...], str]] = [
    (
        "price",
        ("price", "premium", "option_price", "mid", "mid_price", "mark", "value"),
        "market (discounted) option price",
    ),
    (
        "bid",
        ("bid", "bid_price", "best_bid"),
        "bid price: without a price column, the price is the mid (bid + ask) / 2",
    ),
    ("ask", ("ask", "offer", "ask_price", "offer_price", "best_ask"), "ask price"),
    (
        "forward",
        ("forward", "fwd", "f", "forward_price", "fwd_mid"),
        "forward price F of the underlying for the expiry",
    ),
    (
        "spot",
        ("spot", "underlying", "s", "spot_price", "underlying_price"),
        "spot price S, instead of forward (needs rate or discount): F = S exp((r - q) T); "
        "delta, gamma and vanna are then taken with respect to S",
    ),
    ("strike", ("strike", "k", "strike_price"), "strike K"),
    (
        "expiry",
        (
            "expiry",
            "t",
            "tau",
            "ttm",
            "maturity",
            "time_to_expiry",
            "expiry_years",
            "years",
            "expiration",
            "expiry_date",
            "expiration_date",
            "maturity_date",
        ),
        "time to expiry in years, or the expiry date or date and time (ISO, 2025-03-21 or "
        "2025-03-21 16:00), with a valuation date: T = days between them / 365 (ACT/365F)",
    ),
    (
        "days",
        ("days", "dte", "days_to_expiry", "days_to_expiration", "days_to_maturity"),
        "calendar days to expiry, instead of expiry: T = days / 365",
    ),
    (
        "valuation_date",
        ("valuation_date", "value_date", "valuation", "as_of", "as_of_date", "pricing_date"),
        "valuation date for expiry dates (or --valuation-date)",
    ),
    (
        "kind",
        (
            "kind",
            "type",
            "option_type",
            "cp",
            "call_put",
            "cp_flag",
            "put_call",
            "right",
            "flag",
            "is_call",
        ),
        "call/put, c/p or 1/-1 (an is_call column: 1/0, true/false)",
    ),
    ("discount", ("discount", "df", "discount_factor", "disc"), "discount factor D (optional)"),
    (
        "rate",
        ("rate", "r", "interest_rate", "risk_free_rate"),
        "continuously compounded rate r, D = exp(-r T) (optional, instead of discount)",
    ),
    (
        "dividend_yield",
        ("dividend_yield", "div", "q", "div_yield"),
        "continuous dividend yield q, with a spot column (optional, default 0; with a "
        "forward column it is not read)",
    ),
    (
        "true_vol",
        ("true_vol", "true_volatility", "vol_true", "sigma_true"),
        "known volatility (optional): the summary reports max |implied_vol/true_vol - 1|",
    ),
]
ALIASES = {canon: aliases for canon, aliases, _ in COLUMNS}
GREEKS = ("delta", "gamma", "vega")  # appended by default
ALL_GREEKS = ("delta", "gamma", "vega", "theta", "rho", "vanna", "volga")
RESULTS = ("implied_vol", *GREEKS, "reason")
REASON_NAMES = [r.name.lower() for r in Reason]

DAYS_PER_YEAR = 365.0  # ACT/365F
_US_PER_DAY = 86_400_000_000
_IS_CALL_WORDS = {"1": 1, "true": 1, "yes": 1, "0": 0, "false": 0, "no": 0}
# Cells that mean "no value" rather than a malformed one.
_MISSING = ("", "na", "n/a", "#n/a", "nan", "-nan", "+nan", "null", "none", "#value!", "-")
# What pyarrow's string-to-double cast accepts, so that matching cells always convert.
_NUMBER = r"^[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|(?i:inf|infinity|nan))$"
_DATE = r"^\d{4}-\d{2}-\d{2}(?:[ T]\d{2}:\d{2}(?::\d{2}(?:\.\d{1,9})?)?)?$"
_COMPACT_DATE = r"^\d{8}$"  # YYYYMMDD, as spreadsheets and exchanges write dates
# No listed option expires this far out: a longer expiry is a misread cell
# (a date taken for years, a unit slip), not something to solve.
MAX_EXPIRY_YEARS = 100.0
_NUMERIC_COLUMNS = (
    "price",
    "bid",
    "ask",
    "forward",
    "spot",
    "strike",
    "days",
    "discount",
    "rate",
    "dividend_yield",
    "true_vol",
)


class BookError(ValueError):
    """A book that cannot be solved: missing or ambiguous columns, or (strict) a bad cell.

    ``row`` is the 0-based row of the table and ``column`` the header name of
    the cell for an error in one cell; both are None for an error of the book.
    """

    def __init__(self, message: str, row: int | None = None, column: str | None = None):
        super().__init__(message)
        self.row = row
        self.column = column


class BookWarning(UserWarning):
    """A book that is solved but looks wrong, such as rates written in percent."""


def normalise(name: str) -> str:
    """A header name as matched against the accepted names."""
    return name.strip().lower().replace(" ", "_").replace("-", "_").replace("/", "_")


def result_names(greeks: str | Sequence[str] = GREEKS) -> tuple[str, ...]:
    """The columns appended for a choice of Greeks: ``"all"`` or names from ALL_GREEKS.

    Raises ValueError for a name that is not a Greek.
    """
    chosen = ALL_GREEKS if greeks == "all" else (greeks,) if isinstance(greeks, str) else greeks
    unknown = [g for g in chosen if g not in ALL_GREEKS]
    if unknown:
        raise ValueError(
            f"unknown Greek {unknown[0]!r}; choose from {', '.join(ALL_GREEKS)} or 'all'"
        )
    return ("implied_vol", *(g for g in ALL_GREEKS if g in chosen), "reason")


def resolve_columns(
    names: Sequence[str], columns: Mapping[str, str] | None = None, results: Sequence[str] = RESULTS
) -> dict[str, str]:
    """The header name used for each recognised column, keyed by canonical name.

    ``columns`` maps canonical names to header names and overrides the search
    by accepted names. Raises :class:`BookError` for duplicated or missing
    columns, both a forward and a spot, a spot without a rate or discount,
    both a discount and a rate, or a column named like one of ``results``.
    A dividend yield column is used only with a spot column.
    """
    seen: set[str] = set()
    for name in names:
        if name in seen:
            raise BookError(f"column name {name!r} appears more than once")
        seen.add(name)
    by_normal: dict[str, str] = {}
    for name in names:
        key = normalise(name)
        if key in by_normal and any(key in aliases for aliases in ALIASES.values()):
            raise BookError(f"columns {by_normal[key]!r} and {name!r} have the same name")
        by_normal.setdefault(key, name)

    found: dict[str, str] = {}
    for canon, aliases, _ in COLUMNS:
        if columns and canon in columns:
            if columns[canon] not in seen:
                raise BookError(f"no column {columns[canon]!r} (given for {canon})")
            found[canon] = columns[canon]
            continue
        for alias in aliases:
            if alias in by_normal and by_normal[alias] not in found.values():
                found[canon] = by_normal[alias]
                break
    if columns:
        unknown = sorted(set(columns) - set(ALIASES))
        if unknown:
            raise BookError(f"unknown column role {unknown[0]!r}; use one of {', '.join(ALIASES)}")

    missing = []
    if "price" not in found and not ("bid" in found and "ask" in found):
        missing.append("price")
    if "forward" not in found and "spot" not in found:
        missing.append("forward")
    if "strike" not in found:
        missing.append("strike")
    if "expiry" not in found and "days" not in found:
        missing.append("expiry")
    if "kind" not in found:
        missing.append("kind")
    if missing:
        if len(missing) == 1:
            accepted = ", ".join(ALIASES[missing[0]])
        else:
            accepted = "; ".join(f"{c}: {', '.join(ALIASES[c])}" for c in missing)
        extra = " (or bid and ask)" if "price" in missing else ""
        extra += " (or spot)" if "forward" in missing else ""
        raise BookError(
            f"missing column{'s' if len(missing) > 1 else ''} "
            f"{', '.join(missing)}{extra} (accepted names: {accepted})"
        )
    if "discount" in found and "rate" in found:
        raise BookError(
            f"has both a discount column ({found['discount']!r}) and a rate "
            f"column ({found['rate']!r}); keep one"
        )
    if "forward" in found and "spot" in found:
        raise BookError(
            f"has both a forward column ({found['forward']!r}) and a spot "
            f"column ({found['spot']!r}); keep one"
        )
    if "spot" in found and "rate" not in found and "discount" not in found:
        raise BookError(
            f"has a spot column ({found['spot']!r}) but no rate or discount "
            "column to form the forward"
        )
    if "spot" not in found:
        found.pop("dividend_yield", None)  # a forward already includes it
    taken = [n for n in names if normalise(n) in results]
    if taken:
        raise BookError(
            f"already has a column {taken[0]!r}, which quelta would append; rename or remove it"
        )
    return found


# ---------------------------------------------------------------- cells


class _Cells:
    """Unreadable cells found while reading the columns of one table."""

    def __init__(self, n: int, strict: bool) -> None:
        self.bad = np.zeros(n, dtype=bool)
        self.strict = strict
        self.first: tuple[int, str, str] | None = None  # (row, column, message)
        self.columns: dict[str, BadCells] = {}

    def flag(self, mask: np.ndarray, column: str, values: pa.Array, what: str) -> None:
        if not mask.any():
            return
        self.bad |= mask
        row = int(np.argmax(mask))
        cell = values[row].as_py()
        message = what.format(value=cell, column=column)
        seen = self.columns.get(column)
        if seen is None or row < seen.row:
            self.columns[column] = BadCells(column, int(mask.sum()), row, repr(cell), message)
        else:
            self.columns[column] = BadCells(
                column, seen.rows + int(mask.sum()), seen.row, seen.value, seen.message
            )
        if self.strict and (self.first is None or row < self.first[0]):
            self.first = (row, column, message)

    def raise_first(self) -> None:
        if self.first is not None:
            row, column, message = self.first
            raise BookError(message, row=row, column=column)


@dataclass(frozen=True)
class BadCells:
    """The unreadable cells of one column: how many, and the first (0-based row, value)."""

    column: str
    rows: int
    row: int
    value: str
    message: str


def _as_array(values: Any) -> pa.Array:
    if isinstance(values, pa.ChunkedArray):
        return values.combine_chunks() if values.num_chunks != 1 else values.chunk(0)
    return values


def _cell_values(values: pa.Array, column: str, cells: _Cells) -> pa.Array:
    """A column as the values its cells stand for, in the types the readers know.

    Dictionary (categorical) columns are decoded, string views made strings
    and bytes read as UTF-8 text; a cell of bytes that is not UTF-8 is
    unreadable (and null from here on).
    """
    kind = values.type
    if pa.types.is_dictionary(kind):
        return _cell_values(values.dictionary_decode(), column, cells)
    if pa.types.is_string_view(kind):
        return values.cast(pa.string())
    if not (
        pa.types.is_binary(kind)
        or pa.types.is_large_binary(kind)
        or pa.types.is_binary_view(kind)
        or pa.types.is_fixed_size_binary(kind)
    ):
        return values
    text = values.cast(pa.binary()).cast(pa.string(), safe=False)
    try:
        text.validate(full=True)
        return text
    except pa.ArrowInvalid:
        pass
    bad = np.array([_not_utf8(b) for b in values.to_pylist()], dtype=bool)
    cells.flag(bad, column, values, "column {column!r}: {value!r} is not UTF-8 text")
    return pc.if_else(pa.array(bad), pa.scalar(None, pa.string()), text)


def _not_utf8(cell: bytes | None) -> bool:
    try:
        if cell is not None:
            cell.decode("utf-8")
    except UnicodeDecodeError:
        return True
    return False


def _mask(values: pa.Array) -> np.ndarray:
    """A boolean pyarrow array as a NumPy mask, null counting as False."""
    return np.asarray(pc.fill_null(values, False).to_numpy(zero_copy_only=False), dtype=bool)


def _text_numbers(text: pa.Array) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Numbers written as text: (values, unreadable, written with %).

    Missing cells (empty, NA, #N/A, ...) are NaN and not unreadable.
    """
    try:  # the common case: every cell a plain number
        values = pc.cast(text, pa.float64())
        nothing = np.zeros(len(text), dtype=bool)
        return values.to_numpy(zero_copy_only=False), nothing, nothing
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
        pass
    s = pc.utf8_trim_whitespace(text)
    percent = pc.ends_with(s, "%")
    s = pc.utf8_trim_whitespace(pc.if_else(percent, pc.utf8_slice_codeunits(s, 0, -1), s))
    number = pc.match_substring_regex(s, _NUMBER)
    missing = pc.or_kleene(pc.is_null(s), pc.is_in(pc.utf8_lower(s), value_set=pa.array(_MISSING)))
    values = pc.cast(pc.if_else(number, s, pa.scalar(None, pa.string())), pa.float64())
    out = values.to_numpy(zero_copy_only=False, writable=True)
    pct = _mask(pc.and_(percent, number))
    out[pct] /= 100.0
    bad = ~_mask(number) & ~_mask(missing)
    return out, bad, pct


def _numbers(values: pa.Array, column: str, cells: _Cells) -> tuple[np.ndarray, np.ndarray]:
    """A column as float64 (NaN where missing or unreadable) and where % was written."""
    n = len(values)
    kind = values.type
    if pa.types.is_null(kind):
        return np.full(n, np.nan), np.zeros(n, dtype=bool)
    if pa.types.is_integer(kind) or pa.types.is_floating(kind) or pa.types.is_decimal(kind):
        return (
            pc.cast(values, pa.float64()).to_numpy(zero_copy_only=False),
            np.zeros(n, dtype=bool),
        )
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        out, bad, pct = _text_numbers(values)
        if bad.any():
            cells.flag(bad, column, values, "column {column!r}: {value!r} is not a number")
            out[bad] = np.nan  # a slow-path array, writable
        return out, pct
    bad = ~_mask(pc.is_null(values))
    cells.flag(bad, column, values, "column {column!r}: {value!r} is not a number")
    return np.full(n, np.nan), np.zeros(n, dtype=bool)


def _instants(values: pa.Array) -> np.ndarray:
    """Dates or timestamps as float64 microseconds since 1970 (NaN where null)."""
    if pa.types.is_timestamp(values.type):
        values = values.cast(pa.timestamp("us", tz=values.type.tz))
    else:
        values = values.cast(pa.timestamp("us"))
    micros: np.ndarray = values.cast(pa.int64()).to_numpy(zero_copy_only=False)
    return micros.astype(np.float64)


def _compact_dates(numbers: np.ndarray) -> np.ndarray:
    """YYYYMMDD numbers as microseconds since 1970, NaN where one is not a date."""
    out = np.full(len(numbers), np.nan)
    with np.errstate(invalid="ignore"):
        whole = (numbers >= 10_000_000) & (numbers <= 99_999_999) & (numbers % 1 == 0)
    rows = np.flatnonzero(whole)
    v = numbers[rows].astype(np.int64)
    year, month, day = v // 10_000, v // 100 % 100, v % 100
    months = ((year - 1970) * 12 + np.clip(month, 1, 12) - 1).astype("datetime64[M]")
    days = months.astype("datetime64[D]") + (day - 1)
    # February 30 and the like run into the next month.
    real = (month >= 1) & (month <= 12) & (day >= 1) & (days.astype("datetime64[M]") == months)
    out[rows[real]] = days[real].astype("datetime64[us]").astype(np.int64)
    return out


def _in_zone(micros: np.ndarray, zone: str) -> np.ndarray:
    """Wall-clock times (microseconds, no zone) read in a time zone, as UTC microseconds."""
    missing = np.isnan(micros)
    naive = pa.array(np.where(missing, 0, micros).astype(np.int64), mask=missing)
    try:
        zoned = pc.assume_timezone(naive.cast(pa.timestamp("us")), timezone=zone)
    except pa.ArrowInvalid:  # a time skipped or repeated by a clock change
        raise BookError(
            f"the valuation date falls in a clock change of the expiries' time zone {zone}, "
            "skipped or repeated: give it with its UTC offset"
        ) from None
    return _instants(zoned)


def _text_instants(text: pa.Array, dated: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """ISO dates written as text, where dated: (microseconds, unreadable)."""
    out = np.full(len(text), np.nan)
    bad = np.zeros(len(text), dtype=bool)
    rows = np.flatnonzero(dated)
    if rows.size == 0:
        return out, bad
    picked = text.take(pa.array(rows))
    try:
        out[rows] = _instants(pc.cast(pc.utf8_trim_whitespace(picked), pa.timestamp("us")))
    except pa.ArrowInvalid:  # an impossible date such as 2025-02-30: cell by cell
        for i, s in zip(rows.tolist(), picked.to_pylist()):
            try:
                out[i] = _instants(pa.array([s.strip()]).cast(pa.timestamp("us")))[0]
            except pa.ArrowInvalid:
                bad[i] = True
    return out, bad


def _text_dates(
    text: pa.Array, candidates: np.ndarray, numbers: np.ndarray | None = None
) -> tuple[np.ndarray, np.ndarray]:
    """Dates written as text: ISO among candidates, YYYYMMDD anywhere.

    ``numbers`` are the cells read as numbers, if they were: only those in
    the range of 8-digit dates need looking at. Returns (microseconds,
    unreadable ISO dates); an 8-digit cell that is not a date is left NaN,
    for the caller to read as a number.
    """
    stamps = np.full(len(text), np.nan)
    unreadable = np.zeros(len(text), dtype=bool)
    if candidates.any():
        iso = np.zeros(len(text), dtype=bool)
        rows = np.flatnonzero(candidates)
        picked = pc.utf8_trim_whitespace(text.take(pa.array(rows)))
        iso[rows] = _mask(pc.match_substring_regex(picked, _DATE))
        stamps, unreadable = _text_instants(text, iso)
    if numbers is None:
        maybe = np.ones(len(text), dtype=bool)
    else:
        with np.errstate(invalid="ignore"):
            maybe = (numbers >= 10_000_000) & (numbers < 100_000_000)
    rows = np.flatnonzero(maybe)
    if rows.size:
        picked = pc.utf8_trim_whitespace(text.take(pa.array(rows)))
        rows = rows[_mask(pc.match_substring_regex(picked, _COMPACT_DATE))]
        digits = pc.cast(pc.utf8_trim_whitespace(text.take(pa.array(rows))), pa.float64())
        stamps[rows] = _compact_dates(digits.to_numpy(zero_copy_only=False))
    return stamps, unreadable


def _date_column(values: pa.Array, column: str, cells: _Cells) -> tuple[np.ndarray, bool]:
    """A valuation_date column as microseconds (NaN where missing or unreadable).

    The flag says whether the column carries its own time zone.
    """
    kind = values.type
    message = "column {column!r}: {value!r} is not a date (use YYYY-MM-DD or YYYYMMDD)"
    given = ~_mask(pc.is_null(values))
    if pa.types.is_timestamp(kind) or pa.types.is_date(kind):
        return _instants(values), pa.types.is_timestamp(kind) and kind.tz is not None
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        start, unreadable = _text_dates(values, given)
    elif pa.types.is_integer(kind):
        start = _compact_dates(pc.cast(values, pa.float64()).to_numpy(zero_copy_only=False))
        unreadable = np.zeros(len(values), dtype=bool)
    else:
        start = np.full(len(values), np.nan)
        unreadable = given
    cells.flag((given & np.isnan(start)) | unreadable, column, values, message)
    return start, False


def _valuation_instant(value: object, zone: str | None = None) -> float:
    """The valuation date given as an argument, as microseconds since 1970 UTC.

    An integer, or text of 8 digits, is a YYYYMMDD date. A date without a
    time zone is read in ``zone``, the time zone of the expiries, if they
    have one: a New York expiry is counted from a New York valuation time.
    """
    refused = BookError(
        f"valuation date {value!r} is not a date (use YYYY-MM-DD, YYYY-MM-DD HH:MM or YYYYMMDD)"
    )
    text = value.strip() if isinstance(value, str) else None
    if isinstance(value, bool):
        raise refused
    if isinstance(value, (int, np.integer)) or (text and re.fullmatch(_COMPACT_DATE, text)):
        micros = float(_compact_dates(np.array([float(value)]))[0])  # type: ignore[arg-type]
        if micros != micros:
            raise refused
    else:
        if text is not None:  # ISO, with or without a time and a UTC offset
            try:
                value = _dt.datetime.fromisoformat(text)
            except ValueError:
                raise refused from None
        if isinstance(value, _dt.datetime) and value.tzinfo is not None:
            utc = value.astimezone(_dt.UTC).replace(tzinfo=None)
            return float(np.datetime64(utc, "us").astype(np.int64))
        try:
            stamp = np.datetime64(value, "us")  # type: ignore[call-overload]
        except (TypeError, ValueError):
            raise refused from None
        if np.isnat(stamp):
            raise refused
        micros = float(stamp.astype(np.int64))
    return float(_in_zone(np.array([micros]), zone)[0]) if zone else micros


def _years(
    get: Any, found: dict[str, str], valuation_date: object, cells: _Cells, n: int
) -> np.ndarray:
    """Time to expiry in years, from the expiry (years or dates) or the days column.

    Dates are ISO text, date or timestamp columns, or YYYYMMDD integers or
    text; a time of more than MAX_EXPIRY_YEARS is an unreadable cell.
    """
    if "expiry" not in found:
        values = get("days")
        days, _ = _numbers(values, found["days"], cells)
        return _bounded(days / DAYS_PER_YEAR, np.zeros(n, dtype=bool), found["days"], values, cells)
    name = found["expiry"]
    values = get("expiry")
    kind = values.type
    zone = kind.tz if pa.types.is_timestamp(kind) else None
    if pa.types.is_timestamp(kind) or pa.types.is_date(kind):
        stamps, years = _instants(values), np.full(n, np.nan)
    elif pa.types.is_string(kind) or pa.types.is_large_string(kind):
        years, bad, _ = _text_numbers(values)
        stamps, unreadable = _text_dates(values, bad, years)
        cells.flag(
            (bad & np.isnan(stamps)) | unreadable,
            name,
            values,
            "column {column!r}: {value!r} is neither a number of years nor a date",
        )
        if bad.any():
            years[bad] = np.nan  # a slow-path array, writable
    elif pa.types.is_integer(kind):
        years = pc.cast(values, pa.float64()).to_numpy(zero_copy_only=False)
        stamps = _compact_dates(years)
    else:
        years, _ = _numbers(values, name, cells)
        stamps = np.full(n, np.nan)
    dated = ~np.isnan(stamps)
    if dated.any():
        if valuation_date is not None:
            start = np.full(n, _valuation_instant(valuation_date, zone))
        elif "valuation_date" in found:
            start, zoned = _date_column(get("valuation_date"), found["valuation_date"], cells)
            if zone and not zoned:
                start = _in_zone(start, zone)
        else:
            raise BookError(
                f"column {name!r} holds dates, so a valuation date is needed "
                "(a valuation_date column, or the valuation date option)"
            )
        years = np.where(dated, (stamps - start) / (_US_PER_DAY * DAYS_PER_YEAR), years)
    return _bounded(years, dated, name, values, cells)


def _bounded(
    years: np.ndarray, dated: np.ndarray, column: str, values: pa.Array, cells: _Cells
) -> np.ndarray:
    """Years with the times beyond MAX_EXPIRY_YEARS flagged unreadable and made NaN."""
    with np.errstate(invalid="ignore"):
        far = years > MAX_EXPIRY_YEARS
    if not far.any():
        return years
    limit = f"{MAX_EXPIRY_YEARS:g} years"
    cells.flag(
        far & ~dated,
        column,
        values,
        "column {column!r}: {value!r} is neither a date nor a time to expiry (at most "
        + limit
        + ")",
    )
    cells.flag(
        far & dated, column, values, "column {column!r}: {value!r} expires in more than " + limit
    )
    return np.where(far, np.nan, years)


def _kinds(values: pa.Array, column: str, cells: _Cells) -> tuple[np.ndarray, np.ndarray]:
    """Option kinds as (is_call, missing); unknown kinds are flagged unreadable."""
    n = len(values)
    is_call_column = normalise(column) == "is_call"
    words = _IS_CALL_WORDS if is_call_column else _CALL_WORDS
    accepted = "1/0 or true/false" if is_call_column else "call/put, c/p or 1/-1"
    message = "unknown option kind {value!r} in column {column!r} (use " + accepted + ")"
    missing = _mask(pc.is_null(values))
    kind = values.type
    if pa.types.is_boolean(kind):
        return _mask(values), missing
    if pa.types.is_integer(kind) or pa.types.is_floating(kind):
        num = pc.cast(values, pa.float64()).to_numpy(zero_copy_only=False)
        calls = num == 1
        puts = num == (0 if is_call_column else -1)
        cells.flag(~(calls | puts | missing), column, values, message)
        return calls, missing
    if not (pa.types.is_string(kind) or pa.types.is_large_string(kind)):
        cells.flag(~missing, column, values, message)
        return np.zeros(n, dtype=bool), missing
    # Few distinct words in a large book: classify each word once.
    encoded = pc.dictionary_encode(pc.utf8_lower(pc.utf8_trim_whitespace(values)))
    flags = np.array(
        [words.get(w, -1) for w in encoded.dictionary.to_pylist()] + [-1], dtype=np.int8
    )
    index = pc.fill_null(encoded.indices, len(flags) - 1).to_numpy(zero_copy_only=False)
    flag = flags[index]
    empty = _mask(pc.equal(pc.utf8_trim_whitespace(values), ""))
    missing = missing | (empty if not cells.strict else False)
    cells.flag((flag < 0) & ~missing, column, values, message)
    return flag == 1, missing


# ---------------------------------------------------------------- solving


@dataclass(frozen=True)
class Solved:
    """One solved table: the result table and the numbers it was solved from.

    ``greeks`` holds flat float64 arrays (NaN where there is no volatility)
    and the int8 :class:`Reason` codes; ``forward``, ``strike``, ``expiry``
    (years) and ``is_call`` are the inputs as read (``forward`` formed from
    the spot, rate and yield for a book with a spot column), ``true_vol`` the known
    volatilities when the book has that column, else None. ``warnings``
    are the texts :func:`solve_table` gives as :class:`BookWarning`, and
    ``bad_cells`` the columns whose cells gave rows the reason ``bad_input``.
    """

    table: Any
    greeks: Greeks
    forward: np.ndarray
    strike: np.ndarray
    expiry: np.ndarray
    is_call: np.ndarray
    true_vol: np.ndarray | None
    warnings: tuple[str, ...] = ()
    bad_cells: tuple[BadCells, ...] = ()

    def true_vol_error(self) -> tuple[float, int]:
        """Largest ``|implied_vol/true_vol - 1|`` and the number of rows compared."""
        if self.true_vol is None:
            return 0.0, 0
        both = np.isfinite(self.greeks.vol) & np.isfinite(self.true_vol)
        if not both.any():
            return 0.0, 0
        err = np.abs(self.greeks.vol[both] / self.true_vol[both] - 1.0)
        return float(err.max()), int(both.sum())


def _arrow_column(values: Any) -> pa.Array:
    """A pandas Series (or anything array-like) as an Arrow array."""
    try:
        return _as_array(pa.array(values, from_pandas=True))
    except (pa.ArrowInvalid, pa.ArrowTypeError, TypeError):
        # Mixed objects (numbers and text): read each cell as text.
        return pa.array(
            [None if v is None or (isinstance(v, float) and v != v) else str(v) for v in values],
            pa.string(),
        )


def _is_dataframe(table: object) -> bool:
    return type(table).__module__.split(".")[0] == "pandas" and hasattr(table, "columns")


def solve_batch(
    table: Any,
    *,
    valuation_date: object = None,
    strict: bool = False,
    columns: Mapping[str, str] | None = None,
    greeks: str | Sequence[str] = GREEKS,
    threads: int | None = None,
) -> Solved:
    """Solve a book and keep the inputs as read; see :func:`solve_table`."""
    results = result_names(greeks)
    if _is_dataframe(table):
        names = [str(c) for c in table.columns]
        frame = table

        def get(canon: str) -> pa.Array:
            return _cell_values(_arrow_column(frame[found[canon]]), found[canon], cells)
    elif isinstance(table, (pa.Table, pa.RecordBatch)):
        names = list(table.column_names)

        def get(canon: str) -> pa.Array:
            column = _as_array(table.column(names.index(found[canon])))
            return _cell_values(column, found[canon], cells)
    else:
        raise TypeError(
            f"expected a pyarrow Table or RecordBatch or a pandas DataFrame, "
            f"got {type(table).__name__}"
        )
    found = resolve_columns(names, columns, results)
    n = len(table)
    cells = _Cells(n, strict)

    def number(canon: str) -> np.ndarray:
        return _numbers(get(canon), found[canon], cells)[0]

    price = number("price") if "price" in found else 0.5 * (number("bid") + number("ask"))
    forward = number("forward") if "forward" in found else None
    spot = number("spot") if "spot" in found else None
    strike = number("strike")
    expiry = _years(get, found, valuation_date, cells, n)
    is_call, no_kind = _kinds(get("kind"), found["kind"], cells)
    discount = number("discount") if "discount" in found else None
    notes: list[str] = []
    rate = _fraction("rate", found, get, cells, notes)
    dividend_yield = _fraction("dividend_yield", found, get, cells, notes)
    true_vol = number("true_vol") if "true_vol" in found else None
    cells.raise_first()

    unusable = cells.bad | no_kind
    if unusable.any():
        price = np.where(unusable, np.nan, price)
    g = _api._greeks(
        price,
        forward,
        strike,
        expiry,
        spot=spot,
        dividend_yield=dividend_yield,
        kind=is_call,
        discount=discount,
        rate=rate,
        threads=threads,
        more=not set(results) <= set(RESULTS),
    )
    if cells.bad.any():
        g.reason[cells.bad] = Reason.BAD_INPUT
    if spot is not None:
        with np.errstate(all="ignore"):
            forward = spot * _spot_growth(
                rate, dividend_yield, expiry, discount if discount is not None else np.ones(n)
            )
    assert forward is not None

    values = {name: getattr(g, "vol" if name == "implied_vol" else name) for name in results[:-1]}
    reason_text = pa.array(REASON_NAMES, pa.string()).take(pa.array(g.reason))
    if _is_dataframe(table):
        out = table.copy(deep=False)
        for name, v in values.items():
            out[name] = v
        out["reason"] = reason_text.to_numpy(zero_copy_only=False)
    else:
        arrays = [pa.array(v, mask=np.isnan(v)) for v in values.values()]
        if isinstance(table, pa.RecordBatch):
            out = pa.RecordBatch.from_arrays(
                [*table.columns, *arrays, reason_text], names=[*names, *results]
            )
        else:
            out = table
            for name, array in zip(results, [*arrays, reason_text]):
                out = out.append_column(name, array)
    return Solved(
        out,
        g,
        forward,
        strike,
        expiry,
        is_call,
        true_vol,
        tuple(notes),
        tuple(cells.columns.values()),
    )


def _fraction(
    canon: str, found: dict[str, str], get: Any, cells: _Cells, notes: list[str]
) -> np.ndarray | None:
    """A rate or yield column (None if absent); a note when it looks like percent."""
    if canon not in found:
        return None
    values, percent = _numbers(get(canon), found[canon], cells)
    with np.errstate(invalid="ignore"):
        if np.any((np.abs(values) > 1) & ~percent):
            what = "rates" if canon == "rate" else "yields"
            notes.append(
                f"column {found[canon]!r} has {what} above 1: {what} are "
                "fractions (0.05 for 5%); percentages need a % sign"
            )
    return values


def solve_table(
    table: Any,
    *,
    valuation_date: object = None,
    strict: bool = False,
    columns: Mapping[str, str] | None = None,
    greeks: str | Sequence[str] = GREEKS,
    threads: int | None = None,
) -> Any:
    """Implied volatility and Greeks of every row of an option book, as new columns.

    Parameters
    ----------
    table : pyarrow.Table, pyarrow.RecordBatch or pandas.DataFrame
        One row per option. Columns are found by name, case-insensitively and
        with common aliases (``quelta.book.COLUMNS``): price (or bid and ask,
        whose mid is used), forward (or spot, with a rate or discount and
        optionally dividend_yield), strike, expiry (years, or dates with a
        valuation date) or days (calendar days to expiry), kind (call/put,
        c/p, 1/-1, or an is_call column), and optionally discount or rate
        and true_vol. Numbers may be numeric columns or text; text may end
        in ``%`` (``"1.5%"`` is 0.015). Dictionary (categorical), string
        view and binary (UTF-8) columns are read as their values.
    valuation_date : str, int, datetime.date, datetime.datetime or numpy.datetime64, optional
        The date expiries are measured from when the expiry column holds
        dates; instead, a valuation_date column may give one per row. Years
        are days / 365 (ACT/365F), counting the time of day if given. Text
        is ISO (``"2025-12-08"``, ``"2025-12-08 09:30"``, with or without a
        UTC offset); an integer, or 8 digits, is YYYYMMDD (``20251208``).
        A valuation date without a time zone is read in the time zone of
        the expiries when they carry one (a New York expiry is counted from
        a New York valuation time), else both are taken as UTC. Expiry
        dates, too, may be YYYYMMDD integers or text; an expiry of more than
        ``MAX_EXPIRY_YEARS`` (100) years is an unreadable cell.
    strict : bool, default False
        Raise :class:`BookError` at the first unreadable cell (its ``row`` and
        ``column`` say where) instead of giving the row reason ``bad_input``.
    columns : mapping, optional
        Header names for canonical columns, such as ``{"price": "last"}``,
        overriding the search by accepted names.
    greeks : "all" or sequence of str, default ("delta", "gamma", "vega")
        The Greeks appended, from ``ALL_GREEKS``: delta, gamma, vega, theta,
        rho, vanna, volga, as :class:`quelta.Greeks` defines them.
    threads : int, optional
        Threads the solve is split over, as in :func:`quelta.greeks`
        (default: one per CPU); the results are the same for every count.

    Returns
    -------
    The same kind of table: the input columns unchanged, then ``implied_vol``
    (annualised), the Greeks chosen in the order of ``ALL_GREEKS`` (by
    default ``delta``, ``gamma`` and ``vega`` per volatility point) of the
    discounted price V, null (NaN in pandas) where there is no volatility,
    and ``reason``, the lower-case name of the :class:`quelta.Reason` of
    each row (``"ok"`` where solved). Delta, gamma and vanna are taken with
    respect to the forward, or the spot for a book with a spot column.

    Raises
    ------
    BookError
        Missing, duplicated or ambiguous columns (both a forward and a spot,
        a spot without a rate or discount), expiry dates without a valuation
        date, a valuation date that is not a date (or falls in a clock
        change of the expiries' zone), and with ``strict=True`` an
        unreadable cell.
    ValueError
        A name in ``greeks`` that is not a Greek.

    Warns
    -----
    BookWarning
        A rate or dividend yield column with values above 1 not written as
        percentages.
    """
    solved = solve_batch(
        table,
        valuation_date=valuation_date,
        strict=strict,
        columns=columns,
        greeks=greeks,
        threads=threads,
    )
    for text in solved.warnings:
        warnings.warn(text, BookWarning, stacklevel=2)
    return solved.table


def summarize(result: Any) -> dict[str, int]:
    """Rows of a solved table by reason name, every reason listed, ``"ok"`` first."""
    reasons = result["reason"] if _is_dataframe(result) else result.column("reason")
    counts = pc.value_counts(_as_array(_arrow_column(reasons)))
    got = {v["values"].as_py(): v["counts"].as_py() for v in counts}
    return {name: int(got.get(name, 0)) for name in REASON_NAMES}


# ---------------------------------------------------------------- files

# The output's format follows its name; these are the names each is written under.
PARQUET_SUFFIXES = (".parquet", ".pq", ".parq")
CSV_SUFFIXES = (".csv", ".tsv", ".txt")
_PARQUET_MAGIC = b"PAR1"
_GZIP_MAGIC = b"\x1f\x8b"  # a gzip-compressed book (.csv.gz), read through pyarrow's gzip
_BLOCK_SIZE = 4 << 20  # bytes of CSV per record batch before slicing to the chunk size
_MAX_BLOCK_SIZE = 1 << 30  # the largest block tried for a file with a longer row
_LINE_ENDS = re.compile(rb"\r\n|\r|\n")  # a header line may end in any of them
_MULTILINE = r"[\r\n]"  # a cell spanning lines, which only a quote can open
_CSV_SLICE = 65_536  # rows of CSV rendered in memory at a time, whatever the batch size


def sniff_delimiter(header_line: str) -> str:
    return max(",;\t", key=header_line.count)


class _Prefixed(io.RawIOBase):
    """A byte stream with the bytes already read from it put back in front."""

    def __init__(self, head: bytes, rest: Any) -> None:
        self._head = head
        self._rest = rest

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        if self._head:
            n = min(len(buffer), len(self._head))
            buffer[:n] = self._head[:n]
            self._head = self._head[n:]
            return n
        data = self._rest.read(len(buffer))
        buffer[: len(data)] = data
        return len(data)


def _first_line(stream: Any) -> tuple[bytes, bytes]:
    """The header line of a byte stream (with its line end) and the bytes read past it."""
    data = b""
    while True:
        found = _LINE_ENDS.search(data)
        # A CR at the end of what was read may be the first half of CR LF.
        if found and not (found.group() == b"\r" and found.end() == len(data)):
            return data[: found.end()], data[found.end() :]
        more = stream.read(1 << 16)
        if not more:
            return data, b""
        data += more


class BookReader:
    """Record batches of a CSV or Parquet book, at most ``chunk`` rows each.

    ``source`` is a path or a binary file object (standard input). A path
    that is a FIFO or a device (``quelta <(cat book.csv)``) is read as a
    stream, like standard input; a stream is read as CSV, a file as Parquet
    when it starts with the Parquet magic bytes. CSV books, plain or gzip
    (found by its magic bytes), have a header row and are read with every
    cell as text. ``rows_total`` is known for Parquet; ``progress()`` gives
    the fraction of a CSV file consumed so far. ``path`` is the file, when
    the book can be read again to locate a fault (not a stream).
    """

    def __init__(self, source: str | IO[bytes], chunk: int) -> None:
        self.chunk = chunk
        self.rows_total: int | None = None
        self.delimiter = ","
        self.path: str | None = None
        self.gzip = False
        self._size = 0
        self._file: Any = None  # the file on disk, for the progress
        self._owned: Any = None  # a FIFO or device opened here
        self._quotes_checked = False
        self._line = 1  # of the record Python's csv reads, in _records
        if isinstance(source, str):
            mode = os.stat(source).st_mode
            if stat.S_ISFIFO(mode) or stat.S_ISCHR(mode) or stat.S_ISSOCK(mode):
                # Not seekable: read once, front to back, as standard input is.
                source = self._owned = open(source, "rb", buffering=0)
        if isinstance(source, str):
            with open(source, "rb") as probe:
                magic = probe.read(len(_PARQUET_MAGIC))
            self.path = source
            if magic.startswith(_PARQUET_MAGIC):
                self._open_parquet(source)
                return
            self._file = pa.OSFile(source, "rb")
            self._size = self._file.size()
            self.gzip = magic.startswith(_GZIP_MAGIC)
            stream: Any = self._file
            if self.gzip:
                stream = pa.CompressedInputStream(self._file, "gzip")
        else:
            stream = source
            first = stream.readline()
            if first.startswith(_GZIP_MAGIC):
                self.gzip = True
                stream = pa.CompressedInputStream(_Prefixed(first, stream), "gzip")
            else:
                stream = _Prefixed(first, stream)
        self.format = "csv"
        first, rest = _first_line(stream)
        if first.startswith(_PARQUET_MAGIC):
            raise BookError("a Parquet book must be read from a file, not a stream")
        self._header = len(first)
        if self._file is not None and not self.gzip:
            self._file.seek(self._header)  # pyarrow reads on after the header
        else:
            stream = _Prefixed(rest, stream)
        try:
            line = first.decode("utf-8-sig")
        except UnicodeDecodeError:
            raise BookError("not a UTF-8 text file") from None
        if not line.strip():
            raise BookError("empty, expected a header row")
        self.delimiter = sniff_delimiter(line)
        try:
            self.names = next(
                csv.reader([line.rstrip("\r\n")], delimiter=self.delimiter, strict=True)
            )
        except (csv.Error, StopIteration) as exc:
            raise BookError(f"malformed CSV header ({exc})") from None
        resolve_columns(self.names)  # fail on the header before reading any row
        self._stream = stream

    def _open_parquet(self, path: str) -> None:
        import pyarrow.parquet as pq

        self.format = "parquet"
        try:
            self._parquet = pq.ParquetFile(path)
        except (pa.ArrowException, OSError) as exc:
            text = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
            raise BookError(f"not a readable Parquet file, truncated or corrupt ({text})") from None
        self.names = list(self._parquet.schema_arrow.names)
        self.rows_total = self._parquet.metadata.num_rows

    def batches(self) -> Iterator[pa.RecordBatch]:
        if self.format == "parquet":
            yield from self._parquet.iter_batches(batch_size=self.chunk)
            return
        if self._file is not None and not self.gzip and self._file.tell() == self._size:
            return  # a header and no rows
        block, given = _BLOCK_SIZE, 0
        while True:
            try:
                seen = 0
                for batch in self._csv_batches(block):
                    self._check_quotes(batch)
                    # After a restart, the rows already given are read again and dropped.
                    start, seen = max(given - seen, 0), seen + batch.num_rows
                    for at in range(start, batch.num_rows, self.chunk):
                        piece = batch.slice(at, self.chunk)
                        given += piece.num_rows
                        yield piece
                return
            except pa.ArrowInvalid as exc:
                # A row longer than a block: pyarrow needs a block that holds it.
                if "straddl" not in str(exc) or block >= _MAX_BLOCK_SIZE:
                    raise
                if self.path is None:
                    raise BookError(
                        f"a row of more than {block >> 20} MB (a cell that long, or a quote "
                        "left open): on standard input or a pipe it cannot be read again "
                        "with a larger block; give the book as a file"
                    ) from None
                block *= 4
                self._rewind()

    def _csv_batches(self, block: int) -> Iterator[pa.RecordBatch]:
        try:
            reader = pa_csv.open_csv(
                self._stream,
                # A stream is read on this thread, in Python's read(), so that
                # signals are handled while it waits for input.
                read_options=pa_csv.ReadOptions(
                    column_names=self.names,
                    block_size=block,
                    use_threads=self._file is not None,
                ),
                parse_options=pa_csv.ParseOptions(
                    delimiter=self.delimiter, newlines_in_values=True
                ),
                convert_options=pa_csv.ConvertOptions(
                    column_types={name: pa.string() for name in self.names},
                    strings_can_be_null=False,
                    quoted_strings_can_be_null=False,
                ),
            )
        except pa.ArrowInvalid as exc:
            if "Empty CSV file" in str(exc):  # a header and no rows, on a stream
                return
            raise
        yield from reader

    def _rewind(self) -> None:
        """Back to the first row of a CSV file, on a file of its own.

        The failed pyarrow reader may still be reading ahead on the old
        file; it closes that file when it goes.
        """
        assert self.path is not None
        self._file = pa.OSFile(self.path, "rb")
        if not self.gzip:
            self._file.seek(self._header)
            self._stream = self._file
            return
        stream = pa.CompressedInputStream(self._file, "gzip")
        _, rest = _first_line(stream)
        self._stream = _Prefixed(rest, stream)

    def _check_quotes(self, batch: pa.RecordBatch) -> None:
        """Refuses a book in which a quote opened and never closed as CSV closes one.

        pyarrow reads such a quote on to the next quote character, or the end
        of the book, as one cell, swallowing the rows between. Only a cell
        spanning lines can be one, so the book is read again, strictly, the
        first time one appears.
        """
        spanning = [
            column.filter(pc.match_substring_regex(column, _MULTILINE))
            for column in ([] if self._quotes_checked else batch.columns)
        ]
        if not any(len(cells) for cells in spanning):
            return
        if self.path is not None:
            self._quotes_checked = True  # the whole file, once
            fault = self.fault()
            if fault is not None:
                raise BookError(fault)
            return
        # A stream cannot be read again: a swallowed row shows as a line of
        # the cell with a field for every column.
        for cells in spanning:
            for cell in cells.to_pylist():
                lines = _LINE_ENDS.split(cell.encode())[1:]
                fields = len(self.names) - 1
                if any(line.count(self.delimiter.encode()) >= fields for line in lines):
                    raise BookError(
                        f"a quote opened before {cell[:40]!r} is not closed: the cell runs "
                        "on over whole rows of the book"
                    )

    def text(self) -> IO[str]:
        """The book's text, read again from the start (a CSV file only)."""
        assert self.path is not None
        stream = pa.input_stream(self.path, compression="gzip" if self.gzip else None)
        return io.TextIOWrapper(stream, encoding="utf-8-sig", newline="")

    @contextlib.contextmanager
    def _records(self, strict: bool) -> Iterator[Iterator[tuple[int, list[str]]]]:
        """The data records of the CSV file, each with the line it starts on.

        Read again with Python's csv module, which says where a row breaks
        the rules (pyarrow reads on); ``_line`` is the line of the record
        being read when it raises.
        """
        limit = csv.field_size_limit()
        csv.field_size_limit(2**31 - 1)  # a long cell is no fault (the default is 128 kB)
        self._line = 1

        def records(f: IO[str]) -> Iterator[tuple[int, list[str]]]:
            reader = csv.reader(f, delimiter=self.delimiter, strict=strict)
            next(reader, None)
            self._line = reader.line_num + 1
            for record in reader:
                if record:
                    yield self._line, record
                self._line = reader.line_num + 1

        try:
            with self.text() as f:
                yield records(f)
        finally:
            csv.field_size_limit(limit)

    def fault(self) -> str | None:
        """The first structural fault of a CSV file, with its line, or None.

        A quote that is not closed is named at the line on which its row starts.
        """
        if self.path is None or self.format != "csv":
            return None
        width = len(self.names)
        try:
            with self._records(strict=True) as records:
                for start, record in records:
                    if len(record) != width:
                        return (
                            f"line {start}: {len(record)} fields, expected {width} as in the header"
                        )
        except csv.Error as exc:
            if "unexpected end of data" in str(exc) or "expected after" in str(exc):
                return (
                    f"line {self._line}: a quote opened in this row is not closed as CSV closes one"
                )
            return f"line {self._line}: malformed CSV ({exc})"
        except UnicodeDecodeError:
            return "not a UTF-8 text file"
        return None

    def line_of_row(self, row: int) -> int | None:
        """The line on which data row ``row`` (0-based) of a CSV file starts, if known."""
        if self.path is None or self.format != "csv":
            return None
        try:
            with self._records(strict=False) as records:
                for seen, (start, _) in enumerate(records):
                    if seen == row:
                        return start
        except (csv.Error, UnicodeDecodeError, OSError):
            pass
        return None

    def progress(self) -> float | None:
        """Fraction of the CSV file read (ahead of the batches solved), if known."""
        if self._file is None or not self._size:
            return None
        try:
            return min(float(self._file.tell()) / self._size, 1.0)
        except (OSError, ValueError):
            return None

    def close(self) -> None:
        if self._file is not None:
            self._file.close()
        if self._owned is not None:
            self._owned.close()


class _WholeWrites:
    """A binary file whose every write takes all it is given, or raises.

    A buffered file may take part of a large write and keep quiet about the
    error that stopped it (a reader gone, a full disk), and pyarrow does not
    look at the count; asking again for the rest raises that error instead
    of dropping rows.
    """

    def __init__(self, sink: IO[bytes]) -> None:
        self._sink = sink

    def write(self, data: Any) -> int:
        view = memoryview(data).cast("B")
        while view.nbytes:
            view = view[self._sink.write(view) :]
        return memoryview(data).nbytes

    def __getattr__(self, name: str) -> Any:
        return getattr(self._sink, name)


class BookWriter:
    """Writes solved record batches to a binary stream as CSV or Parquet.

    CSV fields are quoted only where needed (a delimiter, quote, CR or LF
    in the text), so they read back exactly; numbers are written in the
    shortest form that reads back to the same double, and nulls as empty
    fields. ``names`` is the header of a book without rows. With ``schema``
    every batch is cast to it (its columns in its order, a missing one as
    nulls), so that the parts of one dataset share their column types; a
    book without rows then gets that schema too.
    """

    def __init__(
        self,
        sink: IO[bytes],
        fmt: str,
        delimiter: str = ",",
        names: Sequence[str] = (),
        schema: pa.Schema | None = None,
    ) -> None:
        self.sink = _WholeWrites(sink)
        self.names = list(schema.names if schema is not None else names)
        self.format = fmt
        self.delimiter = delimiter
        self.schema = schema
        self._started = False
        self._parquet: Any = None
        self._options = {
            q: pa_csv.WriteOptions(include_header=False, delimiter=delimiter, quoting_style=q)
            for q in ("none", "needed")
        }

    def check(self, schema: pa.Schema) -> None:
        """Raise BookError naming the first column this output cannot hold."""
        if self.format != "csv":
            return
        for f in schema:
            try:  # pyarrow knows which types it can write; ask it with no rows
                pa_csv.write_csv(pa.table({f.name: pa.array([], f.type)}), pa.BufferOutputStream())
            except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
                raise BookError(
                    f"column {f.name!r} holds {f.type}, which CSV cannot hold; "
                    "write Parquet instead (-o OUT.parquet)",
                    column=f.name,
                ) from None

    def _start(self, schema: pa.Schema) -> None:
        """Writes the header (or opens the Parquet file) for batches of this schema."""
        schema = self.schema if self.schema is not None else schema
        self.check(schema)  # before anything reaches the sink
        self._started = True
        if self.format == "parquet":
            import pyarrow.parquet as pq

            self._parquet = pq.ParquetWriter(self.sink, schema)
            return
        text = io.StringIO()
        csv.writer(text, delimiter=self.delimiter, lineterminator="\n").writerow(schema.names)
        self.sink.write(text.getvalue().encode("utf-8"))

    def _cast(self, batch: pa.RecordBatch) -> pa.RecordBatch:
        if self.schema is None or batch.schema == self.schema:
            return batch
        columns = [
            batch.column(f.name).cast(f.type)
            if f.name in batch.schema.names
            else pa.nulls(batch.num_rows, f.type)
            for f in self.schema
        ]
        return pa.RecordBatch.from_arrays(columns, schema=self.schema)

    def write(self, batch: pa.RecordBatch) -> None:
        if not self._started:
            self._start(batch.schema)
        batch = self._cast(batch)
        if self._parquet is not None:
            self._parquet.write_batch(batch)
            return
        # Each slice is rendered in memory and reaches the sink whole: pyarrow
        # writes in slices of its own and refuses a field that needs quotes
        # only when it meets it, so rendering straight to the sink would leave
        # the rows before it written twice once they are rendered again quoted.
        for start in range(0, batch.num_rows, _CSV_SLICE):
            part = batch.slice(start, _CSV_SLICE)
            rendered = pa.BufferOutputStream()
            try:
                pa_csv.write_csv(part, rendered, self._options["none"])
            except pa.ArrowInvalid:
                rendered = pa.BufferOutputStream()
                pa_csv.write_csv(part, rendered, self._options["needed"])
            self.sink.write(rendered.getvalue())

    def close(self) -> None:
        """Ends the output; a book without rows still gets its header (or schema)."""
        if not self._started:
            # The names end with the results: implied_vol, the Greeks, reason.
            names = self.names
            first = len(names) - names[::-1].index("implied_vol") - 1 if names else 0
            fields = [
                pa.field(n, pa.float64() if first <= i < len(names) - 1 else pa.string())
                for i, n in enumerate(names)
            ]
            self._start(pa.schema(fields))
        if self._parquet is not None:
            self._parquet.close()
