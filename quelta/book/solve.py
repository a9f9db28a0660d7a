"""Solving a book as one table: :func:`solve_table`."""

from __future__ import annotations

import warnings
from collections.abc import Mapping, Sequence
from typing import Any

import pyarrow as pa

from quelta.book.batch import solve_batch
from quelta.book.columns import GREEKS, BookWarning
from quelta.book.reading import is_dataframe


def solve_table(
    table: Any,
    *,
    valuation_date: object = None,
    strict: bool = False,
    columns: Mapping[str, str] | None = None,
    greeks: str | Sequence[str] = GREEKS,
    threads: int | None = None,
    rate: object = None,
    dividend_yield: object = None,
    spot: object = None,
    forward: object = None,
    discount: object = None,
    expiry: object = None,
    bid_ask_vols: bool = False,
    price_unit: str = "currency",
    date_format: str | None = None,
    expiry_time: str | None = None,
    timezone: str | None = None,
    model: str | None = None,
    shift: float | None = None,
    puts_first: bool = False,
) -> Any:
    """Implied volatility and Greeks of every row of an option book, as new columns.

    Parameters
    ----------
    table : pyarrow.Table, pyarrow.RecordBatch, pandas.DataFrame or a data frame
        Any object with the Arrow stream interface (``__arrow_c_stream__``:
        Polars, DuckDB, ...) is read as a pyarrow Table; a Polars frame
        comes back as a Polars frame, the others as a pyarrow Table.
        One row per option, or a side-by-side chain: the call's columns,
        the strike, the put's, under repeated names (``Bid`` twice; pandas'
        ``Bid.1``, Polars' ``Bid_duplicated_0``) or side prefixes (``C_Bid``,
        ``P_Bid``), read as two rows per row (see Returns). Columns are
        found by name, case-insensitively and with common aliases
        (``quelta.book.COLUMNS``): price (or bid and ask, whose mid is
        used), forward (or spot, with a rate or discount and optionally
        dividend_yield), strike, expiry (years, or dates with a
        valuation date) or days (calendar days to expiry), kind (call/put,
        c/p, 1/-1, or an is_call column), and optionally discount or rate,
        true_vol, shift and model (see ``model``). Numbers may be numeric
        columns or text; text may end in ``%`` (``"1.5%"`` is 0.015).
        Dictionary (categorical), string view and binary (UTF-8) columns are
        read as their values.
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
        ``MAX_EXPIRY_YEARS`` (100) years is an unreadable cell. Date cells and
        the valuation date may be ISO dates or date-times (with ``Z`` or an
        offset such as ``-05:00``), YYYYMMDD, month-name forms (``Fri Dec 19
        2025``, ``Dec 19 2025``, ``19-Dec-2025``, ``19DEC25``, ``19 Dec
        2025``; a weekday must match its date) or MM/DD/YYYY and DD/MM/YYYY,
        whichever the column's values allow (neither decided: BookError).
    strict : bool, default False
        Raise :class:`BookError` at the first unreadable cell (its ``row`` and
        ``column`` say where) instead of giving the row reason ``bad_input``.
    columns : mapping, optional
        Header names for canonical columns, such as ``{"price": "last"}``,
        overriding the search by accepted names: a column mapped is taken
        whatever its cells, and is no longer found by any alias. Unmapped,
        a numeric column found by an alias whose non-empty cells are mostly
        not numbers (tickers under ``underlying``) is passed over, with a
        :class:`BookWarning`.
    greeks : "all" or sequence of str, default ("delta", "gamma", "vega")
        The Greeks appended, from ``ALL_GREEKS``: delta, gamma, vega, theta,
        rho, vanna, volga, as :class:`quelta.Greeks` defines them.
    threads : int, optional
        Threads the solve is split over, as in :func:`quelta.greeks`
        (default: one per CPU); the results are the same for every count.
    rate, dividend_yield, spot, forward, discount : float or str, optional
        One value for every row, for a role the book has no column for
        (text as a cell, ``"5%"`` is 0.05); a constant for a role the book
        has a column for is a :class:`BookError` naming both.
    expiry : float, str or date, optional
        One expiry for every row of a book without an expiry column: years
        (``0.5``), or a date as an expiry cell may be written, with a
        valuation date.
        ``forward="parity"`` fits instead the forward and discount factor
        of each expiry (of each underlying, when a ``ticker`` column or the
        option symbols' roots name it) from put-call parity, C - P =
        D (F - K), over the strikes quoted as both a call and a put (see
        :mod:`quelta.book.parity`): the rows are solved with them, they are
        appended as ``forward`` and ``discount``, and the rows of an
        expiry without a fit get the reason ``no_forward``. The table is
        fitted as given, so it must hold whole expiries. A forward,
        discount or rate column or constant beside it is a BookError; a
        spot column is not read. :func:`solve_batch` gives the fits too.
    bid_ask_vols : bool, default False
        Also solve the bid and the ask (a book with both): ``bid_vol`` and
        ``ask_vol`` follow ``implied_vol``, null where a side has no
        volatility, each as solving that side as the price would give.
    price_unit : "currency" or "underlying", default "currency"
        ``"underlying"``: prices, bids and asks are quoted in units of the
        underlying (as crypto exchanges quote them), and are multiplied by
        the row's forward (or spot) before solving.
    date_format : str, optional
        A strftime pattern (``"%d.%m.%Y"``) every date cell is read with
        instead of the forms above (the valuation date argument falls back
        to them).
    expiry_time : str, optional
        ``"HH:MM"``, the time of day at which expiries given as dates
        expire (default 00:00). Without it, date-only expiries against a
        valuation date with a time of day are a BookError.
    timezone : str, optional
        The IANA time zone (``"America/New_York"``) of dates and date-times
        written without a UTC offset, expiries and valuation dates alike
        (default: UTC, or for valuation dates the expiry column's own zone).
    model : {"black", "normal"}, optional
        The model of every row, as in :func:`quelta.implied_volatility`
        (default ``"black"``): ``"normal"`` for normal (Bachelier)
        volatilities, in units of the forward per sqrt(year), forwards and
        strikes of any sign. A ``model`` column (also ``vol_type``) gives
        each row its own instead, for books that mix them: ``normal``,
        ``bachelier`` or ``n``, and ``black``, ``lognormal``,
        ``shifted_black`` or ``b`` (any case; ``quelta.book.MODEL_NAMES``).
        Each row and its Greeks are then solved under its model, with the
        bits of solving the rows of each model alone; a cell naming no
        model (an empty one too) gives its row the reason ``bad_input``,
        and so does a shift on a normal row. The column is refused beside
        this argument.
    shift : float, optional
        The shift of the shifted-lognormal model (``model="black"`` only;
        with a model column, the shift of its Black rows); a ``shift``
        column gives one per row instead.
    puts_first : bool, default False
        A side-by-side chain has the puts' columns before the strike and
        the calls' after it (by default the calls come first).

    Returns
    -------
    The same kind of table: the input columns unchanged, then (with option
    symbols) ``expiry``, ``kind`` and ``strike`` where the book has no column
    for them, (with ``forward="parity"``) ``forward`` and ``discount``, null
    where there is no fit, then ``implied_vol``
    (annualised), the Greeks chosen in the order of ``ALL_GREEKS`` (by
    default ``delta``, ``gamma`` and ``vega`` per volatility point) of the
    discounted price V, null (NaN in pandas) where there is no volatility,
    and ``reason``, the lower-case name of the :class:`quelta.Reason` of
    each row (``"ok"`` where solved). Delta, gamma and vanna are taken with
    respect to the forward, or the spot for a book with a spot column.
    A side-by-side chain comes back as one row per option, the call of each
    row before its put: a ``kind`` column (``"call"``, ``"put"``), then the
    columns in the order of the header, each side's once under its name
    without the repeat or prefix, the others (strike, expiry) on both rows;
    a pandas frame gets a new index.

    Raises
    ------
    BookError
        Missing, duplicated or ambiguous columns (both a forward and a spot,
        a spot without a rate or discount), an unknown role or header in
        ``columns``, a constant (or ``model``) beside a column of its role,
        a shift argument beside a shift column, expiry dates without a valuation
        date, a valuation date that is not a date (or falls in a clock
        change of the expiries' zone), with ``forward="parity"`` a forward,
        discount or rate beside it or prices in the underlying, and with
        ``strict=True`` an unreadable cell.
    ValueError
        A name in ``greeks`` that is not a Greek, an unknown ``model``, or a
        ``shift`` with ``model="normal"``.

    Warns
    -----
    BookWarning
        A rate or dividend yield column with values above 1 not written as
        percentages; a column passed over for its text cells.
    """
    given, polars = table, type(table).__module__.split(".")[0] == "polars"
    native = is_dataframe(table) or isinstance(table, (pa.Table, pa.RecordBatch))
    if not native and hasattr(table, "__arrow_c_stream__"):
        table = pa.table(table)
    solved = solve_batch(
        table,
        valuation_date=valuation_date,
        strict=strict,
        columns=columns,
        greeks=greeks,
        threads=threads,
        rate=rate,
        dividend_yield=dividend_yield,
        spot=spot,
        forward=forward,
        discount=discount,
        expiry=expiry,
        bid_ask_vols=bid_ask_vols,
        price_unit=price_unit,
        date_format=date_format,
        expiry_time=expiry_time,
        timezone=timezone,
        model=model,
        shift=shift,
        puts_first=puts_first,
    )
    for text in solved.warnings:
        warnings.warn(text, BookWarning, stacklevel=2)
    if polars and given is not table:
        import polars as pl  # type: ignore[import-not-found,unused-ignore]  # a Polars frame's

        return pl.from_arrow(solved.table)
    return solved.table
