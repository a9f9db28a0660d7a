"""The cells of a book read as numbers, years, dates and option kinds.

Every Arrow column reaches NumPy through :func:`to_numpy` here, which never
takes pyarrow's pandas-backed conversion (it imports pandas, a quarter of a
second on the first batch of every run, where pandas is installed).
"""

from __future__ import annotations

import datetime as _dt
import re
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

from quelta._arrays import CALL_WORDS, DAYS_PER_YEAR
from quelta.book.columns import BookError, normalise

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


class Cells:
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


def to_numpy(values: pa.Array) -> np.ndarray:
    """A column of numbers as float64 (null as NaN), of booleans as bool (null as False).

    Every Arrow column reaches NumPy here, and every NumPy array reaches Arrow
    through :func:`from_numpy`: pyarrow's own conversions (``to_numpy``,
    ``pa.array``, a Python scalar given to a compute function) import pandas
    where it is installed, a quarter of a second on the first batch of every
    run. The buffers are read as they are instead.
    """
    n = len(values)
    if n == 0:
        return np.zeros(0, dtype=bool if pa.types.is_boolean(values.type) else np.float64)
    if not (pa.types.is_boolean(values.type) or values.type == pa.float64()):
        # An integer beyond 2**53 is the nearest double, not an error.
        values = pc.cast(values, pa.float64(), safe=False)
    validity, data = values.buffers()[:2]
    valid = None
    if values.null_count:
        valid = np.zeros(n, bool) if validity is None else _bits(validity, values.offset, n)
    if pa.types.is_boolean(values.type):
        flags = _bits(data, values.offset, n)
        return flags if valid is None else flags & valid
    if data is None:  # a column of nulls only
        return np.full(n, np.nan)
    out = np.frombuffer(data, np.float64, count=n, offset=8 * values.offset)
    return out if valid is None else np.where(valid, out, np.nan)


def _bits(buffer: pa.Buffer, offset: int, n: int) -> np.ndarray:
    """n bits of an Arrow bitmap from bit ``offset`` on, as bool."""
    bits = np.unpackbits(np.frombuffer(buffer, np.uint8), bitorder="little", count=offset + n)
    return bits[offset:].astype(bool)


def from_numpy(values: np.ndarray, missing: np.ndarray | None = None) -> pa.Array:
    """A 1-D NumPy array of numbers or booleans as an Arrow array, null where ``missing``."""
    values = np.ascontiguousarray(values)
    validity = None
    if missing is not None and missing.any():
        validity = pa.py_buffer(np.packbits(~missing, bitorder="little"))
    if values.dtype == np.bool_:
        kind, data = pa.bool_(), pa.py_buffer(np.packbits(values, bitorder="little"))
    else:
        kind, data = pa.from_numpy_dtype(values.dtype), pa.py_buffer(values)
    return pa.Array.from_buffers(kind, len(values), [validity, data])


def text_array(words: Sequence[str]) -> pa.Array:
    """Words as an Arrow string array (see :func:`to_numpy` for why not ``pa.array``)."""
    encoded = [w.encode("utf-8") for w in words]
    offsets = np.zeros(len(encoded) + 1, np.int32)
    np.cumsum([len(e) for e in encoded], out=offsets[1:])
    data = pa.py_buffer(b"".join(encoded))
    return pa.Array.from_buffers(pa.string(), len(encoded), [None, pa.py_buffer(offsets), data])


def as_array(values: Any) -> pa.Array:
    if isinstance(values, pa.ChunkedArray):
        return values.combine_chunks() if values.num_chunks != 1 else values.chunk(0)
    return values


def cell_values(values: pa.Array, column: str, cells: Cells) -> pa.Array:
    """A column as the values its cells stand for, in the types the readers know.

    Dictionary (categorical) columns are decoded, string views made strings
    and bytes read as UTF-8 text; a cell of bytes that is not UTF-8 is
    unreadable (and null from here on).
    """
    kind = values.type
    if pa.types.is_dictionary(kind):
        return cell_values(values.dictionary_decode(), column, cells)
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
    return pc.if_else(from_numpy(bad), pa.nulls(len(text), pa.string()), text)


def _not_utf8(cell: bytes | None) -> bool:
    try:
        if cell is not None:
            cell.decode("utf-8")
    except UnicodeDecodeError:
        return True
    return False


def _text_numbers(text: pa.Array) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Numbers written as text: (values, unreadable, written with %).

    Missing cells (empty, NA, #N/A, ...) are NaN and not unreadable.
    """
    try:  # the common case: every cell a plain number
        values = pc.cast(text, pa.float64())
        nothing = np.zeros(len(text), dtype=bool)
        return to_numpy(values), nothing, nothing
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
        pass
    s = pc.utf8_trim_whitespace(text)
    percent = pc.ends_with(s, "%")
    s = pc.utf8_trim_whitespace(pc.if_else(percent, pc.utf8_slice_codeunits(s, 0, -1), s))
    number = pc.match_substring_regex(s, _NUMBER)
    missing = pc.or_kleene(
        pc.is_null(s), pc.is_in(pc.utf8_lower(s), value_set=text_array(_MISSING))
    )
    values = pc.cast(pc.if_else(number, s, pa.nulls(len(s), pa.string())), pa.float64())
    out = np.array(to_numpy(values))  # a copy, written below
    pct = to_numpy(pc.and_(percent, number))
    out[pct] /= 100.0
    bad = ~to_numpy(number) & ~to_numpy(missing)
    return out, bad, pct


def read_numbers(values: pa.Array, column: str, cells: Cells) -> tuple[np.ndarray, np.ndarray]:
    """A column as float64 (NaN where missing or unreadable) and where % was written."""
    n = len(values)
    kind = values.type
    if pa.types.is_null(kind):
        return np.full(n, np.nan), np.zeros(n, dtype=bool)
    if pa.types.is_integer(kind) or pa.types.is_floating(kind) or pa.types.is_decimal(kind):
        return (
            to_numpy(values),
            np.zeros(n, dtype=bool),
        )
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        out, bad, pct = _text_numbers(values)
        if bad.any():
            cells.flag(bad, column, values, "column {column!r}: {value!r} is not a number")
            out[bad] = np.nan  # a slow-path array, writable
        return out, pct
    bad = ~to_numpy(pc.is_null(values))
    cells.flag(bad, column, values, "column {column!r}: {value!r} is not a number")
    return np.full(n, np.nan), np.zeros(n, dtype=bool)


def _instants(values: pa.Array) -> np.ndarray:
    """Dates or timestamps as float64 microseconds since 1970 (NaN where null)."""
    if pa.types.is_timestamp(values.type):
        values = values.cast(pa.timestamp("us", tz=values.type.tz))
    else:
        values = values.cast(pa.timestamp("us"))
    return to_numpy(values.cast(pa.int64()))


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
    naive = from_numpy(np.where(missing, 0, micros).astype(np.int64), missing)
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
    picked = text.take(from_numpy(rows))
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
        picked = pc.utf8_trim_whitespace(text.take(from_numpy(rows)))
        iso[rows] = to_numpy(pc.match_substring_regex(picked, _DATE))
        stamps, unreadable = _text_instants(text, iso)
    if numbers is None:
        maybe = np.ones(len(text), dtype=bool)
    else:
        with np.errstate(invalid="ignore"):
            maybe = (numbers >= 10_000_000) & (numbers < 100_000_000)
    rows = np.flatnonzero(maybe)
    if rows.size:
        picked = pc.utf8_trim_whitespace(text.take(from_numpy(rows)))
        rows = rows[to_numpy(pc.match_substring_regex(picked, _COMPACT_DATE))]
        digits = pc.cast(pc.utf8_trim_whitespace(text.take(from_numpy(rows))), pa.float64())
        stamps[rows] = _compact_dates(to_numpy(digits))
    return stamps, unreadable


def _date_column(values: pa.Array, column: str, cells: Cells) -> tuple[np.ndarray, bool]:
    """A valuation_date column as microseconds (NaN where missing or unreadable).

    The flag says whether the column carries its own time zone.
    """
    kind = values.type
    message = "column {column!r}: {value!r} is not a date (use YYYY-MM-DD or YYYYMMDD)"
    given = ~to_numpy(pc.is_null(values))
    if pa.types.is_timestamp(kind) or pa.types.is_date(kind):
        return _instants(values), pa.types.is_timestamp(kind) and kind.tz is not None
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        start, unreadable = _text_dates(values, given)
    elif pa.types.is_integer(kind):
        start = _compact_dates(to_numpy(values))
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


def read_years(
    get: Any, found: dict[str, str], valuation_date: object, cells: Cells, n: int
) -> np.ndarray:
    """Time to expiry in years, from the expiry (years or dates) or the days column.

    Dates are ISO text, date or timestamp columns, or YYYYMMDD integers or
    text; a time of more than MAX_EXPIRY_YEARS is an unreadable cell.
    """
    if "expiry" not in found:
        values = get("days")
        days, _ = read_numbers(values, found["days"], cells)
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
        years = to_numpy(values)
        stamps = _compact_dates(years)
    else:
        years, _ = read_numbers(values, name, cells)
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
    years: np.ndarray, dated: np.ndarray, column: str, values: pa.Array, cells: Cells
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


def read_kinds(values: pa.Array, column: str, cells: Cells) -> tuple[np.ndarray, np.ndarray]:
    """Option kinds as (is_call, missing); unknown kinds are flagged unreadable."""
    n = len(values)
    is_call_column = normalise(column) == "is_call"
    words = _IS_CALL_WORDS if is_call_column else CALL_WORDS
    accepted = "1/0 or true/false" if is_call_column else "call/put, c/p or 1/-1"
    message = "unknown option kind {value!r} in column {column!r} (use " + accepted + ")"
    missing = to_numpy(pc.is_null(values))
    kind = values.type
    if pa.types.is_boolean(kind):
        return to_numpy(values), missing
    if pa.types.is_integer(kind) or pa.types.is_floating(kind):
        num = to_numpy(values)
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
    index = to_numpy(encoded.indices)
    index = np.where(np.isnan(index), len(flags) - 1, index).astype(np.intp)
    flag = flags[index]
    empty = to_numpy(pc.utf8_length(pc.utf8_trim_whitespace(values))) == 0
    missing = missing | (empty if not cells.strict else False)
    cells.flag((flag < 0) & ~missing, column, values, message)
    return flag == 1, missing


# ---------------------------------------------------------------- solving


def mostly_text(values: pa.Array) -> bool:
    """Whether most of the non-empty cells of a text column are not numbers."""
    if not (pa.types.is_string(values.type) or pa.types.is_large_string(values.type)):
        return False
    values_read, bad, _ = _text_numbers(values)
    return int(bad.sum()) > int(np.isfinite(values_read).sum())


def read_constant(value: object, role: str) -> float:
    """One number given for every row: a number, or text read as a cell is (``"5%"`` is 0.05).

    Raises :class:`BookError` naming the role for anything else.
    """
    number = float("nan")
    if isinstance(value, str):
        number = float(_text_numbers(pa.array([value], pa.string()))[0][0])
    elif isinstance(value, (int, float, np.integer, np.floating)) and not isinstance(value, bool):
        number = float(value)
    if not np.isfinite(number):
        raise BookError(f"{role}: {value!r} is not a number")
    return number
