"""Expiries and valuation dates, in the forms exchanges, brokers and libraries write them.

Text dates are read once per distinct value (a book of millions of rows has
few expiries), each form by one pyarrow regular expression over those
values, and assembled into instants with NumPy. An instant is first read as
a wall clock; a UTC offset written with it, or else the book's time zone,
places it in time.
"""

from __future__ import annotations

import datetime as _dt
import re
import zoneinfo
from typing import Any, NamedTuple

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

from quelta.book.cells import from_numpy, text_array, to_numpy
from quelta.book.columns import BookError

US_PER_DAY = 86_400_000_000
US_PER_MINUTE = 60_000_000

MONTHS = ("jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec")
_MONTH_NAMES = (
    "january", "february", "march", "april", "may", "june",
    "july", "august", "september", "october", "november", "december",
)  # fmt: skip
_DAYS = ("mon", "tue", "wed", "thu", "fri", "sat", "sun")
_DAY_NAMES = ["monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday"]
# English month and weekday words (as lower case) and their numbers, from 1 and from Monday = 0.
_MONTH_WORDS = {**{m: i + 1 for i, m in enumerate(MONTHS)}, "sept": 9}
_MONTH_WORDS |= {m: i + 1 for i, m in enumerate(_MONTH_NAMES)}
_DAY_WORDS = {**{d: i for i, d in enumerate(_DAYS)}, "tues": 1, "thur": 3, "thurs": 3}
_DAY_WORDS |= {d: i for i, d in enumerate(_DAY_NAMES)}

# The forms, read from trimmed lower-case text. Each may end in a time of day
# with an optional UTC offset (Z, +01, +0100, -05:00).
_CLOCK = (
    r"(?:(?:t|\s+)(?P<hour>\d{1,2}):(?P<minute>\d{2})(?::(?P<second>\d{2})"
    r"(?:[.,](?P<fraction>\d{1,9}))?)?\s*(?P<offset>z|[+-]\d{2}(?::?\d{2})?)?)?$"
)
_WEEKDAY = r"(?:(?P<weekday>[a-z]+)\.?,?\s+)?"
_FORMS = (
    r"^(?P<year>\d{4})-(?P<month>\d{2})-(?P<day>\d{2})" + _CLOCK,  # ISO
    r"^(?P<year>\d{4})(?P<month>\d{2})(?P<day>\d{2})$",  # YYYYMMDD
    # Fri Dec 19 2025, Dec 19, 2025
    "^" + _WEEKDAY + r"(?P<mon>[a-z]+)\.?\s+(?P<day>\d{1,2}),?\s+(?P<year>\d{4})" + _CLOCK,
    # 19-Dec-2025, 19DEC25, 19 Dec 2025, Fri, 19 Dec 2025
    "^"
    + _WEEKDAY
    + r"(?P<day>\d{1,2})(?:-|\s*)(?P<mon>[a-z]+)\.?(?:-|\s*)(?P<year>\d{4}|\d{2})"
    + _CLOCK,
)
_SLASHED = r"^(?P<one>\d{1,2})/(?P<two>\d{1,2})/(?P<year>\d{4})" + _CLOCK
_FIELDS = ("year", "month", "day", "hour", "minute", "second", "weekday")
# strftime directives that write a time of day: a format without them reads dates.
_TIME_DIRECTIVES = re.compile(r"%-?[HIMSTRrcXpf]")
_SIMPLE_FORMAT = re.compile(r"^(?:[^%]|%[YmdHMSbBaA%])*$")

CHANGE_MESSAGE = (
    "column {column!r}: {value!r} falls in a clock change of time zone ZONE, "
    "skipped or repeated: give it with its UTC offset"
)


class DateOptions(NamedTuple):
    """How a book's dates are read: see :func:`date_options`."""

    date_format: str | None = None
    expiry_minutes: int | None = None  # the time of day of a date-only expiry
    timezone: str | None = None  # of wall-clock dates and date-times; None is UTC


def date_options(
    date_format: str | None = None, expiry_time: str | None = None, timezone: str | None = None
) -> DateOptions:
    """The reading of dates, checked: a strftime pattern, an ``HH:MM`` and an IANA zone."""
    minutes = None
    if expiry_time is not None:
        clock = re.fullmatch(r"\s*(\d{1,2}):(\d{2})\s*", str(expiry_time))
        if clock is None or int(clock[1]) > 23 or int(clock[2]) > 59:
            raise BookError(f"expiry time {expiry_time!r} is not a time of day (use HH:MM)")
        minutes = int(clock[1]) * 60 + int(clock[2])
    if timezone is not None:
        try:
            zoneinfo.ZoneInfo(str(timezone))
            pc.assume_timezone(pa.array([0], pa.timestamp("us")), timezone=str(timezone))
        except (zoneinfo.ZoneInfoNotFoundError, ValueError, pa.ArrowInvalid):
            raise BookError(
                f"time zone {timezone!r} is not known (use an IANA name such as America/New_York)"
            ) from None
    if date_format is not None and "%" not in str(date_format):
        raise BookError(f"date format {date_format!r} has no % directive (such as %d.%m.%Y)")
    return DateOptions(date_format, minutes, timezone)


NO_OPTIONS = DateOptions()


class Dates(NamedTuple):
    """Cells read as dates: the wall clock (microseconds since 1970, NaN where none),
    the UTC offset written with it (minutes, NaN where none), whether a time
    was written, and whether that time is other than midnight."""

    wall: np.ndarray
    offset: np.ndarray
    timed: np.ndarray
    clock: np.ndarray


def _ints(text: Any) -> np.ndarray:
    """Digits as int64, -1 where empty."""
    given = pc.greater(pc.utf8_length(text), 0)
    numbers = pc.cast(pc.if_else(given, text, pa.nulls(len(text), pa.string())), pa.float64())
    out: np.ndarray = np.nan_to_num(to_numpy(numbers), nan=-1).astype(np.int64)
    return out


def _field(match: Any, name: str) -> np.ndarray:
    """A group of a regex match as int64, -1 where empty or absent."""
    if match.type.get_field_index(name) < 0:
        return np.full(len(match), -1, np.int64)
    return _ints(pc.struct_field(match, name))


def _word(match: Any, name: str, words: dict[str, int]) -> np.ndarray:
    """A word group as its number; -1 where absent, -2 where not one of ``words``."""
    if match.type.get_field_index(name) < 0:
        return np.full(len(match), -1, np.int64)
    text = pc.struct_field(match, name)
    where = to_numpy(pc.index_in(text, value_set=text_array(list(words))))
    numbers = np.array([*words.values(), -2])
    out = numbers[np.where(np.isnan(where), len(words), where).astype(np.intp)]
    return np.where(np.nan_to_num(to_numpy(pc.utf8_length(text))) == 0, -1, out)


def _micros(match: Any) -> np.ndarray:
    """The fraction of a second as microseconds (0 where absent)."""
    if match.type.get_field_index("fraction") < 0:
        return np.zeros(len(match), np.int64)
    length = to_numpy(pc.utf8_length(pc.struct_field(match, "fraction")))
    length = np.nan_to_num(length, nan=0).astype(np.int64)
    value = np.maximum(_field(match, "fraction"), 0)
    scale = 10 ** np.abs(6 - length)
    out: np.ndarray = np.where(length <= 6, value * scale, value // scale)
    return out


def _offsets(match: Any) -> np.ndarray:
    """The UTC offset as minutes east: NaN where none was written, inf where impossible."""
    if match.type.get_field_index("offset") < 0:
        return np.full(len(match), np.nan)
    text = pc.replace_substring(pc.struct_field(match, "offset"), ":", "")
    hours = _ints(pc.utf8_slice_codeunits(text, 1, 3))
    minutes = np.maximum(_ints(pc.utf8_slice_codeunits(text, 3, 5)), 0)
    sign = np.where(to_numpy(pc.starts_with(text, "-")), -1.0, 1.0)
    out = np.where(hours >= 0, sign * (hours * 60 + minutes), np.nan)
    out = np.where(to_numpy(pc.equal(text, "z")), 0.0, out)
    return np.where((hours > 23) | (minutes > 59), np.inf, out)


def _slash_order(first: np.ndarray, second: np.ndarray, what: str, texts: pa.Array) -> bool | None:
    """Whether slashed dates are DD/MM (True), MM/DD (False) or neither can be (None)."""
    days_first, months_first = bool((first > 12).any()), bool((second > 12).any())
    if days_first != months_first:
        return days_first
    if not days_first:
        example = texts[int(np.argmax(first >= 0))].as_py()
        raise BookError(
            f"{what}: a date such as {example!r} may be MM/DD/YYYY or DD/MM/YYYY "
            "and no value decides which: give the format with --date-format "
            "(date_format=), such as %m/%d/%Y"
        )
    return None  # both orders seen: no slashed date of this column can be read


def _read_forms(texts: pa.Array, what: str) -> tuple[np.ndarray, ...]:
    """Distinct trimmed lower-case texts read by the built-in forms, as fields (-1 absent)."""
    m = len(texts)
    fields = np.full((len(_FIELDS), m), -1, np.int64)
    micros = np.zeros(m, np.int64)
    offset = np.full(m, np.nan)
    matched = np.zeros(m, bool)
    for pattern in (*_FORMS, _SLASHED):
        match = pc.extract_regex(texts, pattern)
        rows = to_numpy(match.is_valid()) & ~matched
        if not rows.any():
            continue
        got = [_field(match, f) for f in _FIELDS[:-1]] + [_word(match, "weekday", _DAY_WORDS)]
        if match.type.get_field_index("mon") >= 0:
            got[1] = _word(match, "mon", _MONTH_WORDS)
        if pattern is _SLASHED:
            first, second = _field(match, "one"), _field(match, "two")
            order = _slash_order(np.where(rows, first, -1), np.where(rows, second, -1), what, texts)
            got[1], got[2] = (second, first) if order else (first, second)
            if order is None:
                got[1] = np.full(m, -2)
        got[0] = np.where((got[0] >= 0) & (got[0] < 100), got[0] + 2000, got[0])  # 19DEC25
        fields[:, rows] = np.array(got)[:, rows]
        micros[rows] = _micros(match)[rows]
        offset[rows] = _offsets(match)[rows]
        matched |= rows
    return (*fields, micros, offset)


def calendar_days(year: np.ndarray, month: np.ndarray, day: np.ndarray) -> np.ndarray:
    """Year, month and day numbers as datetime64[D], NaT where they name no day (February 30)."""
    months = ((year - 1970) * 12 + np.clip(month, 1, 12) - 1).astype("datetime64[M]")
    days = months.astype("datetime64[D]") + (np.clip(day, 1, 31) - 1)
    ok = (year >= 1) & (month >= 1) & (month <= 12) & (day >= 1) & (day <= 31)
    ok &= days.astype("datetime64[M]") == months
    return np.where(ok, days, np.datetime64("NaT", "D"))


def _assemble(fields: tuple[np.ndarray, ...]) -> Dates:
    """Dates from their fields, NaN where a field is out of range or a weekday is wrong."""
    year, month, day, hour, minute, second, weekday, micros, offset = fields
    days = calendar_days(year, month, day)
    ok = ~np.isnat(days)
    ok &= (hour <= 23) & (minute <= 59) & (second <= 59) & ~np.isinf(offset)
    count = np.where(ok, days.astype(np.int64), 0)
    ok &= (weekday == -1) | (weekday == (count + 3) % 7)  # 1970-01-01 was a Thursday
    timed = hour >= 0
    of_day = (np.maximum(hour, 0) * 60 + np.maximum(minute, 0)) * 60 + np.maximum(second, 0)
    of_day = of_day * 1_000_000 + micros
    wall = np.where(ok, (count * US_PER_DAY + of_day).astype(np.float64), np.nan)
    return Dates(wall, np.where(ok, offset, np.nan), timed & ok, (of_day != 0) & ok)


def _read_format(texts: pa.Array, date_format: str) -> Dates:
    """Distinct texts read by a strftime pattern (pyarrow's, checked by Python's where unsure)."""
    m = len(texts)
    wall, offset = np.full(m, np.nan), np.full(m, np.nan)
    unsure = np.ones(m, bool)
    if _SIMPLE_FORMAT.match(date_format) and "%z" not in date_format:
        # pyarrow rolls 30.02 over into March: a value is sure when it writes back as read.
        stamps = pc.strptime(texts, format=date_format, unit="us", error_is_null=True)
        back = pc.strftime(stamps, format=date_format)
        unsure = ~to_numpy(pc.fill_null(pc.equal(back, texts), False))
        wall = np.where(unsure, np.nan, to_numpy(pc.cast(stamps, pa.int64())))
    for i in np.flatnonzero(unsure):
        try:
            value = _dt.datetime.strptime(str(texts[int(i)].as_py()), date_format)
        except ValueError:
            continue
        if value.tzinfo is not None:
            offset[i] = value.utcoffset().total_seconds() / 60  # type: ignore[union-attr]
            value = value.replace(tzinfo=None)
        wall[i] = float(np.datetime64(value, "us").astype(np.int64))
    timed = np.full(m, bool(_TIME_DIRECTIVES.search(date_format)))
    clock = ~np.isnan(wall) & (np.nan_to_num(wall) % US_PER_DAY != 0)
    return Dates(wall, offset, timed & ~np.isnan(wall), clock)


def read_texts(values: pa.Array, options: DateOptions, what: str) -> Dates:
    """Cells (text or integers) read as dates, each distinct value once."""
    encoded = pc.dictionary_encode(values)
    texts = pc.utf8_trim_whitespace(encoded.dictionary.cast(pa.string()))
    if options.date_format is not None:
        distinct = _read_format(texts, options.date_format)
    else:
        distinct = _assemble(_read_forms(pc.utf8_lower(texts), what))
    index = to_numpy(encoded.indices)
    index = np.where(np.isnan(index), len(texts), index).astype(np.intp)
    ends = (np.nan, np.nan, False, False)  # the dates of null cells
    return Dates(*(np.append(d, end)[index] for d, end in zip(distinct, ends)))


def _assume(wall: np.ndarray, zone: str, which: str) -> np.ndarray:
    naive = from_numpy(wall.astype(np.int64)).cast(pa.timestamp("us"))
    zoned = pc.assume_timezone(naive, timezone=zone, ambiguous=which, nonexistent=which)
    return to_numpy(zoned.cast(pa.int64()))


def place(dates: Dates, zone: str | None) -> tuple[np.ndarray, np.ndarray]:
    """Dates as UTC microseconds, and where a wall clock falls in a clock change of ``zone``.

    A written UTC offset places a date; otherwise it is a wall clock in
    ``zone``, or UTC where there is none.
    """
    out = dates.wall - np.nan_to_num(dates.offset) * US_PER_MINUTE
    change = np.zeros(len(out), bool)
    rows = np.flatnonzero(np.isnan(dates.offset) & ~np.isnan(dates.wall))
    if zone is not None and rows.size:
        early = _assume(dates.wall[rows], zone, "earliest")
        late = _assume(dates.wall[rows], zone, "latest")
        out[rows] = early
        change[rows] = early != late
    return out, change


def at_expiry_time(dates: Dates, options: DateOptions) -> Dates:
    """Date-only expiries moved to the expiry time of day, if one was given."""
    if options.expiry_minutes is None:
        return dates
    moved = np.where(dates.timed, 0.0, options.expiry_minutes * US_PER_MINUTE)
    return dates._replace(wall=dates.wall + moved)


def date_instants(days: np.ndarray, options: DateOptions = NO_OPTIONS) -> np.ndarray:
    """Expiry dates (datetime64[D], NaT where none) as UTC microseconds (NaN where none).

    Each expires at the expiry time of day (00:00 without one) in the time
    zone of ``options`` (UTC without one), as a date-only expiry cell does.
    """
    dates = day_dates(days)
    micros, _ = place(at_expiry_time(dates, options), options.timezone)
    return micros


def day_dates(days: np.ndarray) -> Dates:
    days = np.asarray(days, "datetime64[D]")
    wall = np.where(np.isnat(days), np.nan, days.astype(np.int64) * float(US_PER_DAY))
    nothing = np.zeros(len(days), bool)
    return Dates(wall, np.full(len(days), np.nan), nothing, nothing)


def _typed_dates(values: pa.Array) -> tuple[Dates, str | None]:
    """A date or timestamp column as dates, and the time zone it carries."""
    n = len(values)
    kind = values.type
    zone = kind.tz if pa.types.is_timestamp(kind) else None
    if zone is not None:  # already instants: read as UTC wall clocks at offset 0
        local = to_numpy(pc.local_timestamp(values).cast(pa.timestamp("us")).cast(pa.int64()))
        values = values.cast(pa.timestamp("us", tz="UTC")).cast(pa.timestamp("us"))
        offset = np.where(to_numpy(pc.is_null(values)), np.nan, 0.0)
    else:
        offset = np.full(n, np.nan)
    wall = to_numpy(values.cast(pa.timestamp("us")).cast(pa.int64()))
    local = wall if zone is None else local
    timed = np.full(n, pa.types.is_timestamp(kind)) & ~np.isnan(wall)
    clock = timed & (np.nan_to_num(local) % US_PER_DAY != 0)
    return Dates(wall, offset, timed, clock), zone


def is_text(kind: pa.DataType) -> bool:
    return bool(pa.types.is_string(kind) or pa.types.is_large_string(kind))


def cell_dates(values: pa.Array, column: str, options: DateOptions) -> tuple[Dates, str | None]:
    """A column's cells as dates (NaN where not one), and the time zone the column carries."""
    kind = values.type
    if pa.types.is_timestamp(kind) or pa.types.is_date(kind):
        return _typed_dates(values)
    if is_text(kind) or pa.types.is_integer(kind):
        return read_texts(values, options, f"column {column!r}"), None
    return day_dates(np.full(len(values), np.datetime64("NaT", "D"), "datetime64[D]")), None
