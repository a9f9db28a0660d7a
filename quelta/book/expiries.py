"""Time to expiry in years: expiry cells (years, dates or days) against the valuation date.

Years are ACT/365F: calendar time between the two instants over 365 days.
"""

from __future__ import annotations

import datetime as _dt
from typing import Any, NamedTuple

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

from quelta._arrays import DAYS_PER_YEAR
from quelta.book.cells import Cells, read_numbers, text_array, text_numbers, to_numpy
from quelta.book.columns import BookError
from quelta.book.dates import (
    CHANGE_MESSAGE,
    NO_OPTIONS,
    US_PER_DAY,
    DateOptions,
    Dates,
    at_expiry_time,
    cell_dates,
    day_dates,
    is_text,
    place,
    read_texts,
)

# No listed option expires this far out: a longer expiry is a misread cell
# (a date taken for years, a unit slip), not something to solve.
MAX_EXPIRY_YEARS = 100.0

EXPIRY_MESSAGE = "column {column!r}: {value!r} is neither a number of years nor a date"
DATE_MESSAGE = "column {column!r}: {value!r} is not a date (use YYYY-MM-DD or YYYYMMDD)"


def _one(wall: float, offset: float = np.nan, timed: bool = False, clock: bool = False) -> Dates:
    return Dates(np.array([wall]), np.array([offset]), np.array([timed]), np.array([clock]))


def _given_instant(value: object, options: DateOptions) -> Dates:
    """A valuation date given as an argument, read as dates of one cell (NaN if it is none)."""
    if isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_)):
        value = str(int(value))  # YYYYMMDD
    if isinstance(value, str):
        cell = text_array([value])
        if options.date_format is not None:
            read = read_texts(cell, options, "the valuation date")
            if not np.isnan(read.wall[0]):
                return read
        return read_texts(cell, options._replace(date_format=None), "the valuation date")
    if isinstance(value, _dt.datetime):
        offset = value.utcoffset()
        minutes = np.nan if offset is None else offset.total_seconds() / 60
        wall = float(np.datetime64(value.replace(tzinfo=None), "us").astype(np.int64))
        return _one(wall, minutes, True, value.time() != _dt.time())
    if isinstance(value, _dt.date):
        return _one(float(np.datetime64(value, "D").astype(np.int64)) * US_PER_DAY)
    if isinstance(value, np.datetime64) and not np.isnat(value):
        wall = float(value.astype("datetime64[us]").astype(np.int64))
        timed = np.datetime_data(value.dtype)[0] not in ("Y", "M", "W", "D")
        return _one(wall, np.nan, timed, wall % US_PER_DAY != 0)
    return _one(np.nan)


def valuation_instant(
    value: object, zone: str | None = None, options: DateOptions = NO_OPTIONS
) -> tuple[float, bool]:
    """The valuation date given as an argument: UTC microseconds, and whether it has a time of day.

    An integer, or text of 8 digits, is a YYYYMMDD date; text is any form a
    date cell may take. A date without a UTC offset is read in ``zone``.
    """
    dates = _given_instant(value, options)
    if np.isnan(dates.wall[0]):
        raise BookError(
            f"valuation date {value!r} is not a date (use YYYY-MM-DD, YYYY-MM-DD HH:MM or YYYYMMDD)"
        )
    micros, change = place(dates, zone)
    if change[0]:
        raise BookError(
            f"the valuation date falls in a clock change of the expiries' time zone {zone}, "
            "skipped or repeated: give it with its UTC offset"
        )
    return float(micros[0]), bool(dates.clock[0])


def _start(
    get: Any,
    found: dict[str, str],
    valuation_date: object,
    cells: Cells,
    n: int,
    options: DateOptions,
    zone: str | None,
    expiry: str,
) -> tuple[np.ndarray, np.ndarray]:
    """The valuation instants (UTC microseconds) and whether each has a time of day."""
    if valuation_date is not None:
        micros, clock = valuation_instant(valuation_date, zone, options)
        return np.full(n, micros), np.full(n, clock)
    if "valuation_date" not in found:
        raise BookError(
            f"column {expiry!r} holds dates, so a valuation date is needed "
            "(a valuation_date column, or the valuation date option)"
        )
    column, values = found["valuation_date"], get("valuation_date")
    dates, own = cell_dates(values, column, options)
    given = ~to_numpy(pc.is_null(values))
    cells.flag(given & np.isnan(dates.wall), column, values, DATE_MESSAGE)
    start, change = place(dates, zone if own is None else None)
    cells.flag(change, column, values, CHANGE_MESSAGE.replace("ZONE", str(zone)))
    return np.where(change, np.nan, start), dates.clock


class DatedColumn(NamedTuple):
    """Expiry dates read from another column (the option symbols), for :func:`read_years`."""

    column: str
    values: pa.Array
    days: np.ndarray  # datetime64[D], NaT where unreadable


def _expiry_cells(
    values: pa.Array, column: str, cells: Cells, options: DateOptions
) -> tuple[Dates, str | None, np.ndarray]:
    """An expiry column as dates, the zone it carries and years (NaN where a date or none)."""
    kind = values.type
    if is_text(kind):
        years, bad, _ = text_numbers(values)
        dates, _ = cell_dates(values, column, options)
        cells.flag(bad & np.isnan(dates.wall), column, values, EXPIRY_MESSAGE)
        return dates, None, np.where(bad, np.nan, years)
    if pa.types.is_integer(kind):
        return *cell_dates(values, column, options), to_numpy(values)
    dates, zone = cell_dates(values, column, options)
    if pa.types.is_timestamp(kind) or pa.types.is_date(kind):
        return dates, zone, np.full(len(values), np.nan)
    return dates, zone, read_numbers(values, column, cells)[0]


def read_years(
    get: Any,
    found: dict[str, str],
    valuation_date: object,
    cells: Cells,
    n: int,
    options: DateOptions = NO_OPTIONS,
    dated: DatedColumn | None = None,
) -> np.ndarray:
    """Time to expiry in years, from the expiry (years or dates), ``dated`` or the days column.

    Years are ACT/365F; a time of more than MAX_EXPIRY_YEARS is an unreadable cell.
    """
    if dated is not None:
        name, values = dated.column, dated.values
        dates, zone, years = day_dates(dated.days), None, np.full(n, np.nan)
    elif "expiry" in found:
        name, values = found["expiry"], get("expiry")
        dates, zone, years = _expiry_cells(values, name, cells, options)
    else:
        values = get("days")
        days, _ = read_numbers(values, found["days"], cells)
        return _bounded(days / DAYS_PER_YEAR, np.zeros(n, dtype=bool), found["days"], values, cells)
    has = ~np.isnan(dates.wall)
    if has.any():
        zone = options.timezone or zone
        expiry, change = place(at_expiry_time(dates, options), options.timezone)
        cells.flag(change, name, values, CHANGE_MESSAGE.replace("ZONE", str(zone)))
        start, clock = _start(get, found, valuation_date, cells, n, options, zone, name)
        if options.expiry_minutes is None and (clock & has).any() and (has & ~dates.timed).any():
            raise BookError(
                f"column {name!r} holds expiry dates without a time of day, and the valuation "
                "date has one: give the time they expire at with --expiry-time HH:MM "
                "(expiry_time=), such as 16:00"
            )
        years = np.where(has, (expiry - start) / (US_PER_DAY * DAYS_PER_YEAR), years)
        years[change] = np.nan
    return _bounded(years, has, name, values, cells)


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
