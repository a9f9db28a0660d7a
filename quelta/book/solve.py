"""Solving a book: one table or batch at a time, and the tally of many."""

from __future__ import annotations

import contextlib
import warnings
from collections.abc import Collection, Mapping, Sequence
from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

from quelta._arrays import Greeks, Reason, solve_greeks
from quelta.book.cells import (
    BadCells,
    Cells,
    as_array,
    cell_values,
    from_numpy,
    mostly_text,
    read_constant,
    read_kinds,
    read_numbers,
    text_array,
)
from quelta.book.columns import (
    CONSTANTS,
    GREEKS,
    PRICE_UNITS,
    REASON_NAMES,
    RESULTS,
    SIDES,
    BookError,
    BookWarning,
    from_symbols,
    numeric_role,
    resolve_columns,
    result_names,
)
from quelta.book.dates import DatedColumn, date_options, read_years
from quelta.book.symbols import read_symbols


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
    found: Mapping[str, str] = field(default_factory=dict)

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
        return as_array(pa.array(values, from_pandas=True))
    except (pa.ArrowInvalid, pa.ArrowTypeError, TypeError):
        # Mixed objects (numbers and text): read each cell as text.
        return pa.array(
            [None if v is None or (isinstance(v, float) and v != v) else str(v) for v in values],
            pa.string(),
        )


def _is_dataframe(table: object) -> bool:
    return type(table).__module__.split(".")[0] == "pandas" and hasattr(table, "columns")


def _columns_of(table: Any) -> tuple[list[str], Any]:
    """The header names of a table and a function giving a column as an Arrow array."""
    if _is_dataframe(table):
        return [str(c) for c in table.columns], lambda name: _arrow_column(table[name])
    if isinstance(table, (pa.Table, pa.RecordBatch)):
        names = list(table.column_names)
        return names, lambda name: as_array(table.column(names.index(name)))
    raise TypeError(
        f"expected a pyarrow Table or RecordBatch, a pandas DataFrame or a data frame "
        f"with the Arrow stream interface, got {type(table).__name__}"
    )


def _resolve(
    names: list[str],
    column: Any,
    columns: Mapping[str, str] | None,
    results: Sequence[str],
    constants: Collection[str],
    notes: list[str],
) -> dict[str, str]:
    """The columns of the book.

    A numeric role's alias over cells mostly not numbers (tickers under
    ``underlying``) is passed over where the book can do without it; where
    it cannot, it is kept and its cells are unreadable ones.
    """
    mapped = set((columns or {}).values())
    text = {
        name: role
        for name in names
        if name not in mapped
        and (role := numeric_role(name)) is not None
        and mostly_text(column(name))
    }
    if text:
        try:
            found = resolve_columns(names, columns, results, constants, text)
        except BookError:
            return resolve_columns(names, columns, results, constants)
        notes += [
            f"column {name!r} is not taken as the {role}: most of its cells are not numbers "
            f"(map it with --column {role}={name} or columns={{{role!r}: {name!r}}})"
            for name, role in text.items()
        ]
        return found
    return resolve_columns(names, columns, results, constants)


def choose_columns(
    table: Any,
    results: Sequence[str] = RESULTS,
    *,
    columns: Mapping[str, str] | None = None,
    bid_ask_vols: bool = False,
    price_unit: str = "currency",
    **options: object,
) -> tuple[dict[str, str], list[str]]:
    """The columns a table (a book's first batch, or a header's names when it
    has no rows) gives under the options of :func:`solve_batch`, and the
    notes on columns passed over.

    A stream of batches solved with ``columns=`` these reads every batch alike.
    """
    if isinstance(table, list):  # a header without rows: no cells to pass a column over
        names, column = table, lambda name: pa.array([], pa.string())
    else:
        names, column = _columns_of(table)
    notes: list[str] = []
    given = [role for role in CONSTANTS if options.get(role) is not None]
    return _resolve(names, column, columns, results, given, notes), notes


@dataclass(frozen=True)
class _Inputs:
    """The numbers a book is solved from, as read."""

    price: np.ndarray
    bid: np.ndarray | None
    ask: np.ndarray | None
    forward: np.ndarray | None
    spot: np.ndarray | None
    strike: np.ndarray
    expiry: np.ndarray
    is_call: np.ndarray
    unusable: np.ndarray
    discount: np.ndarray | None
    rate: np.ndarray | None
    dividend_yield: np.ndarray | None
    true_vol: np.ndarray | None
    symbols: dict[str, pa.Array]  # the columns the option symbols give, appended


def _read(
    get: Any,
    found: dict[str, str],
    constants: Mapping[str, float],
    valuation_date: object,
    cells: Cells,
    notes: list[str],
    price_unit: str,
    dates: Any,
) -> _Inputs:
    """Every role of a book read: a column, a constant, or None."""
    n = cells.bad.size

    def number(canon: str) -> np.ndarray | None:
        if canon in constants:
            return np.full(n, constants[canon])
        if canon not in found:
            return None
        if canon in ("rate", "dividend_yield"):
            return _fraction(canon, found, get, cells, notes)
        return read_numbers(get(canon), found[canon], cells)[0]

    bid, ask = number("bid"), number("ask")
    price = number("price")
    if price is None:
        assert bid is not None and ask is not None
        price = 0.5 * (bid + ask)
    forward, spot = number("forward"), number("spot")
    if price_unit == "underlying":
        underlying = forward if forward is not None else spot
        price, bid, ask = (None if v is None else v * underlying for v in (price, bid, ask))
    derived = from_symbols(found)
    shown: dict[str, pa.Array] = {}
    dated, strike = None, number("strike") if "strike" in found else None
    if derived:
        symbol = get("symbol")
        sym = read_symbols(symbol, found["symbol"], cells)
        if "expiry" in derived:
            dated = DatedColumn(found["symbol"], symbol, sym.expiry)
        strike = sym.strike if strike is None else strike
        unread = np.isnan(sym.strike)
        kinds = [None if u else "call" if c else "put" for c, u in zip(sym.is_call, unread)]
        shown = {
            "expiry": pa.array(sym.expiry, pa.date32()),
            "kind": pa.array(kinds, pa.string()),
            "strike": from_numpy(sym.strike, unread),
        }
        shown = {name: shown[name] for name in derived}
    expiry = read_years(get, found, valuation_date, cells, n, dates, dated)
    if "kind" in derived:
        is_call, no_kind = sym.is_call, np.isnan(sym.strike)
    else:
        is_call, no_kind = read_kinds(get("kind"), found["kind"], cells)
    values = {c: number(c) for c in ("discount", "rate", "dividend_yield", "true_vol")}
    assert strike is not None and price is not None
    return _Inputs(
        price,
        bid,
        ask,
        forward,
        spot,
        strike,
        expiry,
        is_call,
        cells.bad | no_kind,
        **values,
        symbols=shown,
    )


def _solve(x: _Inputs, price: np.ndarray, threads: int | None, more: bool) -> tuple[Greeks, Any]:
    """One solve of the book at the prices given (NaN for unusable rows)."""
    return solve_greeks(
        np.where(x.unusable, np.nan, price) if x.unusable.any() else price,
        x.forward,
        x.strike,
        x.expiry,
        spot=x.spot,
        dividend_yield=x.dividend_yield,
        kind=x.is_call,
        discount=x.discount,
        rate=x.rate,
        threads=threads,
        more=more,
    )


def header_columns(
    names: Sequence[str],
    results: Sequence[str] = RESULTS,
    *,
    columns: Mapping[str, str] | None = None,
    bid_ask_vols: bool = False,
    price_unit: str = "currency",
    **options: object,
) -> dict[str, str]:
    """The columns a header gives under the options of :func:`solve_batch`, before any row.

    Of ``options``, only the constants (``rate=``, ...) bear on the columns.
    """
    given = [role for role in CONSTANTS if options.get(role) is not None]
    try:
        return resolve_columns(names, columns, results, given)
    except BookError:
        # The cells may yet pass over an alias over text (the first batch
        # decides): refused only if no one column passed over would do.
        mapped = set((columns or {}).values())
        for name in names:
            if name not in mapped and numeric_role(name) is not None:
                with contextlib.suppress(BookError):
                    return resolve_columns(names, columns, results, given, [name])
        raise


def book_constants(**given: object) -> dict[str, float]:
    """The constants given (None for none), each read as a number or percentage."""
    return {role: read_constant(v, role) for role, v in given.items() if v is not None}


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
    bid_ask_vols: bool = False,
    price_unit: str = "currency",
    date_format: str | None = None,
    expiry_time: str | None = None,
    timezone: str | None = None,
) -> Solved:
    """Solve a book and keep the inputs as read; see :func:`solve_table`."""
    if price_unit not in PRICE_UNITS:
        raise ValueError(f"unknown price_unit {price_unit!r}; use {' or '.join(PRICE_UNITS)}")
    results = result_names(greeks, bid_ask_vols)
    dates = date_options(date_format, expiry_time, timezone)
    constants = book_constants(
        rate=rate, dividend_yield=dividend_yield, spot=spot, forward=forward, discount=discount
    )
    names, column = _columns_of(table)
    notes: list[str] = []
    found = _resolve(names, column, columns, results, constants, notes)
    results = result_names(greeks, bid_ask_vols, from_symbols(found))
    if bid_ask_vols and not ("bid" in found and "ask" in found):
        raise BookError("bid and ask volatilities need a bid and an ask column")
    cells = Cells(len(table), strict)
    x = _read(
        lambda canon: cell_values(column(found[canon]), found[canon], cells),
        found,
        constants,
        valuation_date,
        cells,
        notes,
        price_unit,
        dates,
    )
    cells.raise_first()
    g, fwd = _solve(x, x.price, threads, not set(results) <= set(RESULTS) | set(SIDES))
    sides = {}
    if bid_ask_vols:
        assert x.bid is not None and x.ask is not None
        sides = {"bid_vol": x.bid, "ask_vol": x.ask}
        sides = {name: _solve(x, p, threads, False)[0].vol for name, p in sides.items()}
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
    if _is_dataframe(table):  # pandas is loaded already: its conversion costs nothing more
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


def _fraction(
    canon: str, found: dict[str, str], get: Any, cells: Cells, notes: list[str]
) -> np.ndarray | None:
    """A rate or yield column (None if absent); a note when it looks like percent."""
    if canon not in found:
        return None
    values, percent = read_numbers(get(canon), found[canon], cells)
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
    rate: object = None,
    dividend_yield: object = None,
    spot: object = None,
    forward: object = None,
    discount: object = None,
    bid_ask_vols: bool = False,
    price_unit: str = "currency",
    date_format: str | None = None,
    expiry_time: str | None = None,
    timezone: str | None = None,
) -> Any:
    """Implied volatility and Greeks of every row of an option book, as new columns.

    Parameters
    ----------
    table : pyarrow.Table, pyarrow.RecordBatch, pandas.DataFrame or a data frame
        Any object with the Arrow stream interface (``__arrow_c_stream__``:
        Polars, DuckDB, ...) is read as a pyarrow Table; a Polars frame
        comes back as a Polars frame, the others as a pyarrow Table.
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
        a spot without a rate or discount), an unknown role or header in
        ``columns``, a constant beside a column of its role, expiry dates without a valuation
        date, a valuation date that is not a date (or falls in a clock
        change of the expiries' zone), and with ``strict=True`` an
        unreadable cell.
    ValueError
        A name in ``greeks`` that is not a Greek.

    Warns
    -----
    BookWarning
        A rate or dividend yield column with values above 1 not written as
        percentages; a column passed over for its text cells.
    """
    given, polars = table, type(table).__module__.split(".")[0] == "polars"
    native = _is_dataframe(table) or isinstance(table, (pa.Table, pa.RecordBatch))
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
        bid_ask_vols=bid_ask_vols,
        price_unit=price_unit,
        date_format=date_format,
        expiry_time=expiry_time,
        timezone=timezone,
    )
    for text in solved.warnings:
        warnings.warn(text, BookWarning, stacklevel=2)
    if polars and given is not table:
        import polars as pl  # type: ignore[import-not-found,unused-ignore]  # a Polars frame's

        return pl.from_arrow(solved.table)
    return solved.table


def summarize(result: Any) -> dict[str, int]:
    """Rows of a solved table by reason name, every reason listed, ``"ok"`` first."""
    reasons = result["reason"] if _is_dataframe(result) else result.column("reason")
    counts = pc.value_counts(as_array(_arrow_column(reasons)))
    got = {v["values"].as_py(): v["counts"].as_py() for v in counts}
    return {name: int(got.get(name, 0)) for name in REASON_NAMES}


# ---------------------------------------------------------------- files


@dataclass
class Tally:
    """Solved batches added up: rows, rows by :class:`quelta.Reason` code, and more.

    ``solve_seconds`` is the time spent solving; ``max_true_error`` the
    largest ``|implied_vol/true_vol - 1|`` over the ``true_compared`` rows
    with a known volatility; ``warnings`` the distinct :class:`BookWarning`
    texts; ``bad_cells`` the columns with unreadable cells, each with its
    first row counted from the start of everything tallied.
    """

    rows: int = 0
    reasons: np.ndarray = field(default_factory=lambda: np.zeros(len(Reason), np.int64))
    solve_seconds: float = 0.0
    max_true_error: float = 0.0
    true_compared: int = 0
    warnings: list[str] = field(default_factory=list)
    bad_cells: dict[str, BadCells] = field(default_factory=dict)

    def count(self, solved: Solved, seconds: float = 0.0) -> list[str]:
        """Adds one solved batch, which follows the rows so far; returns its new warnings."""
        err, compared = solved.true_vol_error()
        batch = Tally(
            rows=len(solved.greeks.reason),
            reasons=np.bincount(solved.greeks.reason, minlength=len(Reason)),
            solve_seconds=seconds,
            max_true_error=err,
            true_compared=compared,
            warnings=list(dict.fromkeys(solved.warnings)),
            bad_cells={bad.column: bad for bad in solved.bad_cells},
        )
        return self.merge(batch)

    def merge(self, other: Tally) -> list[str]:
        """Adds a tally of the rows that follow these; returns the warnings new to this one."""
        for column, bad in other.bad_cells.items():
            seen = self.bad_cells.get(column)
            if seen is None:
                self.bad_cells[column] = replace(bad, row=self.rows + bad.row)
            else:
                self.bad_cells[column] = replace(seen, rows=seen.rows + bad.rows)
        self.rows += other.rows
        self.reasons += other.reasons
        self.solve_seconds += other.solve_seconds
        self.max_true_error = max(self.max_true_error, other.max_true_error)
        self.true_compared += other.true_compared
        new = [w for w in other.warnings if w not in self.warnings]
        self.warnings += new
        return new
