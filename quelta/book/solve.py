"""Solving a book: one table or batch at a time."""

from __future__ import annotations

import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pyarrow as pa

from quelta._arrays import Greeks, Reason
from quelta.book.cells import BadCells, Cells, cell_values, from_numpy, text_array
from quelta.book.chains import unfold
from quelta.book.columns import (
    FITTED,
    GREEKS,
    PRICE_UNITS,
    REASON_NAMES,
    RESULTS,
    SIDES,
    BookError,
    BookWarning,
    from_symbols,
    result_names,
)
from quelta.book.dates import date_options
from quelta.book.models import check_shift, solve_rows
from quelta.book.parity import BookFit, ExpiryFit, fit_book
from quelta.book.reading import (
    Inputs,
    book_constants,
    check_expiry_date,
    columns_of,
    expiry_constant,
    is_dataframe,
    parity_fit,
    quoted_in_underlying,
    read_inputs,
    resolve,
)


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
    With ``forward="parity"``, ``fits`` are the fits of the expiries, in
    increasing order of expiry (the columns ``forward`` and ``discount``
    give them row by row), and ``forward`` holds NaN where there is none.
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
    found: Mapping[str, str] = field(default_factory=dict)
    book_rows: int | None = None  # rows of the book solved, where not one per option
    fits: tuple[ExpiryFit, ...] = ()

    def true_vol_error(self) -> tuple[float, int]:
        """Largest ``|implied_vol/true_vol - 1|`` and the number of rows compared."""
        if self.true_vol is None:
            return 0.0, 0
        both = np.isfinite(self.greeks.vol) & np.isfinite(self.true_vol)
        if not both.any():
            return 0.0, 0
        err = np.abs(self.greeks.vol[both] / self.true_vol[both] - 1.0)
        return float(err.max()), int(both.sum())


# A row's own faults, which win over no_forward: its reason solved with any forward.
_OWN_FAULTS = (Reason.NON_POSITIVE_INPUT, Reason.NON_POSITIVE_EXPIRY, Reason.NOT_FINITE)


def _expiry_cells(x: Inputs, found: Mapping[str, str], written: Any) -> Any:
    """The expiry of each row as the book writes it (or as its symbol names it)."""
    role = next((r for r in ("expiry", "days") if r in found), None)
    return x.symbols["expiry"] if role is None else written(role)


def _no_forward(g: Greeks, sides: dict[str, Any], fit: BookFit) -> None:
    """The rows without a fitted forward lose what the stand-in forward gave them."""
    lost = fit.no_fit & ~np.isin(g.reason, _OWN_FAULTS)
    for name, values in [*g._asdict().items(), *sides.items()]:
        if name != "reason" and values is not None:
            values[lost] = np.nan
    g.reason[lost] = Reason.NO_FORWARD


def solve_batch(
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
) -> Solved:
    """Solve a book and keep the inputs as read; see :func:`solve_table`."""
    if price_unit not in PRICE_UNITS:
        raise ValueError(f"unknown price_unit {price_unit!r}; use {' or '.join(PRICE_UNITS)}")
    parity = parity_fit(forward, price_unit)
    results = result_names(greeks, bid_ask_vols, parity=parity)
    dates = date_options(date_format, expiry_time, timezone)
    constants = book_constants(
        rate=rate,
        dividend_yield=dividend_yield,
        spot=spot,
        forward=None if parity else forward,
        discount=discount,
    )
    table, per_row = unfold(table, columns_of(table)[0], columns=columns, puts_first=puts_first)
    names, column = columns_of(table)
    given = expiry_constant(expiry)
    roles = [*constants, *(["expiry"] if given is not None else [])]
    notes: list[str] = []
    roles += ["model"] if model is not None else []
    found = resolve(names, column, columns, results, roles, notes, parity)
    dated = valuation_date is not None or "valuation_date" in found
    check_expiry_date(given, dated)
    results = result_names(greeks, bid_ask_vols, from_symbols(found), parity)
    if bid_ask_vols and not ("bid" in found and "ask" in found):
        raise BookError("bid and ask volatilities need a bid and an ask column")
    check_shift(found, model, shift)
    cells = Cells(len(table), strict, per_row)
    reading = found if given is None else {**found, "expiry": "expiry="}

    def written(canon: str) -> Any:
        """A role's cells as the book writes them."""
        if canon == "expiry" and given is not None:  # one expiry for every row, as a cell
            return pa.array([given] * len(table), pa.string())
        return column(found[canon])

    def get(canon: str) -> pa.Array:
        return cell_values(written(canon), reading[canon], cells)

    x = read_inputs(
        get,
        reading,
        constants,
        valuation_date,
        cells,
        notes,
        price_unit,
        dates,
        roots=parity,
    )
    cells.raise_first()
    fit = fit_book(x, _expiry_cells(x, reading, written), model) if parity else None
    x = x if fit is None else fit.inputs
    more = not set(results) <= {*RESULTS, *SIDES, *FITTED}
    g, fwd = solve_rows(x, x.price, threads, more, model, shift)
    sides = {}
    if bid_ask_vols:
        assert x.bid is not None and x.ask is not None
        sides = {"bid_vol": x.bid, "ask_vol": x.ask}
        sides = {n: solve_rows(x, p, threads, False, model, shift)[0].vol for n, p in sides.items()}
    if fit is not None:
        _no_forward(g, sides, fit)
        fwd = fit.forward
        sides.update(forward=fit.forward, discount=fit.discount)
    if price_unit == "currency":
        notes += quoted_in_underlying(g.reason, x.price, fwd, x.strike, x.is_call, cells.bad)
    if cells.bad.any():
        g.reason[cells.bad] = Reason.BAD_INPUT
    return Solved(
        _with_results(table, names, results, g, sides, x.symbols),
        g,
        fwd,
        x.strike,
        x.expiry,
        x.is_call,
        x.true_vol,
        tuple(notes),
        tuple(cells.columns.values()),
        found,
        len(table) // per_row if per_row > 1 else None,
        () if fit is None else fit.fits,
    )


def _with_results(
    table: Any,
    names: list[str],
    results: tuple[str, ...],
    g: Greeks,
    sides: dict[str, Any],
    symbols: dict[str, pa.Array],
) -> Any:
    """The table with the result columns appended, as the same kind of table."""
    values = {
        name: sides[name] if name in sides else getattr(g, "vol" if name == "implied_vol" else name)
        for name in results[len(symbols) : -1]
    }
    reason_text = text_array(REASON_NAMES).take(from_numpy(g.reason))
    if is_dataframe(table):  # pandas is loaded already: its conversion costs nothing more
        out = table.copy(deep=False)
        for name, shown in symbols.items():
            out[name] = shown.to_pandas()
        for name, v in values.items():
            out[name] = v
        out["reason"] = reason_text.to_numpy(zero_copy_only=False)
        return out
    arrays = [*symbols.values(), *(from_numpy(v, np.isnan(v)) for v in values.values())]
    if isinstance(table, pa.RecordBatch):
        return pa.RecordBatch.from_arrays(
            [*table.columns, *arrays, reason_text], names=[*names, *results]
        )
    out = table
    for name, array in zip(results, [*arrays, reason_text]):
        out = out.append_column(name, array)
    return out


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
