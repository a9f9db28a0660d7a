"""Dates as exports write them: each form read back to the instant it was written from."""

import datetime as dt
import re
import zoneinfo

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow")

import quelta  # noqa: E402
from quelta import book  # noqa: E402
from quelta.book import dates, expiries  # noqa: E402

ATM = "7.965567455405804"  # undiscounted ATM call, F = K = 100, total vol 0.2
NEW_YORK = "America/New_York"
EPOCH = dt.datetime(1970, 1, 1, tzinfo=dt.UTC)


def micros(when):
    """An aware datetime as microseconds since 1970, by Python's own arithmetic."""
    return (when - EPOCH) // dt.timedelta(microseconds=1)


def mixed_case(text, flips):
    return "".join(c.upper() if f else c.lower() for c, f in zip(text, flips + [False] * 99))


DATE_FORMS = [  # each takes a date and writes it as exports do
    lambda d: d.isoformat(),
    lambda d: d.strftime("%Y%m%d"),
    lambda d: d.strftime("%a %b %d %Y"),
    lambda d: d.strftime("%b %d %Y"),
    lambda d: d.strftime("%d-%b-%Y"),
    lambda d: d.strftime("%d%b%y").upper(),
    lambda d: f"{d.day} {d:%b %Y}",
    lambda d: d.strftime("%A, %d %B %Y"),
]


@settings(deadline=None)
@given(
    st.dates(dt.date(2000, 1, 1), dt.date(2099, 12, 31)),
    st.sampled_from(DATE_FORMS),
    st.lists(st.booleans(), max_size=12),
)
def test_written_dates_read_back(day, form, flips):
    text = mixed_case(form(day), flips)
    want = micros(dt.datetime.combine(day, dt.time(), dt.UTC))
    assert expiries.valuation_instant(text) == (want, False)


@settings(deadline=None)
@given(
    st.datetimes(dt.datetime(1971, 1, 1), dt.datetime(2037, 12, 31)),  # pyarrow: no rules past 2037
    st.one_of(st.none(), st.integers(-14 * 60, 14 * 60)),
    st.sampled_from(["T", " "]),
    st.sampled_from(["Z", "+00:00"]),
)
def test_written_date_times_read_back(when, offset, sep, utc):
    if offset is None:  # a wall clock without an offset is read in the time zone
        text, zone = when.isoformat(sep), zoneinfo.ZoneInfo(NEW_YORK)
        want = when.replace(tzinfo=zone)
        if want.replace(fold=1).utcoffset() != want.utcoffset():
            return  # a clock change: refused, tested below
        if want.astimezone(dt.UTC).astimezone(zone).replace(tzinfo=None) != when:
            return
    else:
        want = when.replace(tzinfo=dt.timezone(dt.timedelta(minutes=offset)))
        text = want.isoformat(sep).replace("+00:00", utc)
    got = expiries.valuation_instant(text, NEW_YORK if offset is None else None)
    assert got == (micros(want), when.time() != dt.time())


def text_table(n, **columns):
    cells = {
        "price": [ATM] * n,
        "forward": ["100"] * n,
        "strike": ["100"] * n,
        "kind": ["call"] * n,
    }
    cells.update(columns)
    return pa.table({k: pa.array(v, pa.string()) for k, v in cells.items()})


def years_of(table, **options):
    return book.solve_batch(table, **options).expiry


@pytest.mark.parametrize(
    "cells, options, want",
    [
        (["12/19/2025", "01/02/2026"], {}, ["2025-12-19", "2026-01-02"]),
        (["19/12/2025", "01/02/2026"], {}, ["2025-12-19", "2026-02-01"]),
        (["19.12.2025", "1.2.2026"], {"date_format": "%d.%m.%Y"}, ["2025-12-19", "2026-02-01"]),
        (["01/02/2026", "02/01/2026"], {"date_format": "%d/%m/%Y"}, ["2026-02-01", "2026-01-02"]),
    ],
)
def test_slashed_and_formatted_dates_follow_the_column(cells, options, want):
    got = years_of(text_table(2, expiry=cells), valuation_date="2025-12-08", **options)
    days = (np.array(want, "datetime64[D]") - np.datetime64("2025-12-08")).astype(float)
    np.testing.assert_array_equal(got, days / 365)


def test_slashed_dates_no_value_decides_are_refused():
    with pytest.raises(book.BookError, match=r"column 'expiry'.*'01/02/2026'.*--date-format"):
        quelta.solve_table(text_table(2, expiry=["01/02/2026"] * 2), valuation_date="20251208")


@pytest.mark.parametrize(
    "expiry, valuation",
    [
        (dt.date(2025, 12, 19), dt.datetime(2025, 12, 8, 9, 30)),
        (dt.date(2025, 11, 7), dt.datetime(2025, 10, 31, 15, 0)),  # across the end of summer time
        (dt.date(2026, 3, 9), dt.datetime(2026, 3, 6, 16, 0)),  # across its start
    ],
)
def test_date_only_expiries_expire_at_the_expiry_time_in_the_zone(expiry, valuation):
    zone = zoneinfo.ZoneInfo(NEW_YORK)
    end = dt.datetime.combine(expiry, dt.time(16, 0), zone)
    want = (micros(end) - micros(valuation.replace(tzinfo=zone))) / 86_400e6 / 365
    written = [expiry.isoformat(), expiry.strftime("%d-%b-%Y")]
    options = {"expiry_time": "16:00", "timezone": NEW_YORK}
    got = years_of(text_table(2, expiry=written), valuation_date=str(valuation), **options)
    np.testing.assert_allclose(got, want, rtol=1e-15)
    days = np.array([expiry], "datetime64[D]")
    assert dates.date_instants(days, dates.date_options(None, "16:00", NEW_YORK))[0] == micros(end)
    with pytest.raises(book.BookError, match="--expiry-time HH:MM"):
        years_of(text_table(2, expiry=written), valuation_date=str(valuation), timezone=NEW_YORK)


@pytest.mark.parametrize(
    "column, cell, message",
    [
        ("expiry", "Thu Dec 19 2025", "neither a number of years nor a date"),
        ("expiry", "19-Dex-2025", "neither a number of years nor a date"),
        ("expiry", "2025-12-19T24:00Z", "neither a number of years nor a date"),
        ("expiry", "2025-12-19T16:00+25:00", "neither a number of years nor a date"),
        ("expiry", "31/02/2026", "neither a number of years nor a date"),
        ("expiry", "2026-03-08 02:30", "falls in a clock change of time zone America/New_York"),
        ("valuation_date", "Dec 8th 2025", "is not a date"),
        (
            "valuation_date",
            "2025-11-02 01:30",
            "falls in a clock change of time zone America/New_York",
        ),
    ],
)
def test_unreadable_dates_are_bad_input_and_named(column, cell, message):
    columns = {"expiry": ["2026-01-15T16:00"] * 3, "valuation_date": ["2025-12-08"] * 3}
    columns[column] = [columns[column][0], cell, columns[column][0]]
    t = text_table(3, **columns)
    out = book.solve_batch(t, timezone=NEW_YORK)
    assert out.greeks.reason.tolist() == [0, int(quelta.Reason.BAD_INPUT), 0]
    (bad,) = out.bad_cells
    assert (bad.column, bad.row, bad.value) == (column, 1, repr(cell))
    assert re.search(f"column '{column}': '{re.escape(cell)}' .*{message}", bad.message)


@pytest.mark.parametrize(
    "options, message",
    [
        ({"expiry_time": "25:00"}, "expiry time '25:00' is not a time of day"),
        ({"timezone": "Mars/Olympus"}, "time zone 'Mars/Olympus' is not known"),
        ({"date_format": "dd.mm.yyyy"}, "has no % directive"),
    ],
)
def test_date_options_that_cannot_be_read_are_refused(options, message):
    with pytest.raises(book.BookError, match=re.escape(message)):
        quelta.solve_table(text_table(1, expiry=["1"]), **options)
