"""Solving one batch of a book: its columns found, its rows read and solved."""

from __future__ import annotations

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


@dataclass(frozen=True)
class _Options:
    """The options of one solve, as :func:`solve_batch` takes them (``dates``,
    ``constants`` and ``parity`` read from theirs)."""

    valuation_date: object
    columns: Mapping[str, str] | None
    greeks: str | Sequence[str]
    threads: int | None
    expiry: object
    bid_ask_vols: bool
    price_unit: str
    dates: Any
    model: str | None
    shift: float | None
    puts_first: bool
    constants: dict[str, float]
    parity: bool


@dataclass(frozen=True)
class _Batch:
    """A batch with its columns found: one row per option (``per_row`` of them
    to a row of the book), the result columns named, the notes so far."""

    table: Any
    names: list[str]
    column: Any
    found: dict[str, str]
    reading: dict[str, str]  # found, with the expiry given for every row
    given: str | None
    results: tuple[str, ...]
    notes: list[str]
    per_row: int

    def written(self, canon: str) -> Any:
        """A role's cells as the book writes them."""
        if canon == "expiry" and self.given is not None:  # one expiry for every row, as a cell
            return pa.array([self.given] * len(self.table), pa.string())
        return self.column(self.found[canon])


def _find_columns(table: Any, results: tuple[str, ...], o: _Options) -> _Batch:
    """The batch as one row per option, its columns found and checked against the options."""
    table, per_row = unfold(table, columns_of(table)[0], columns=o.columns, puts_first=o.puts_first)
    names, column = columns_of(table)
    given = expiry_constant(o.expiry)
    roles = [*o.constants, *(["expiry"] if given is not None else [])]
    notes: list[str] = []
    roles += ["model"] if o.model is not None else []
    found = resolve(names, column, o.columns, results, roles, notes, o.parity)
    dated = o.valuation_date is not None or "valuation_date" in found
    check_expiry_date(given, dated)
    results = result_names(o.greeks, o.bid_ask_vols, from_symbols(found), o.parity)
    if o.bid_ask_vols and not ("bid" in found and "ask" in found):
        raise BookError("bid and ask volatilities need a bid and an ask column")
    check_shift(found, o.model, o.shift)
    reading = found if given is None else {**found, "expiry": "expiry="}
    return _Batch(table, names, column, found, reading, given, results, notes, per_row)


def _read_batch(b: _Batch, cells: Cells, o: _Options) -> tuple[Inputs, BookFit | None]:
    """Every row's inputs (with ``parity``, its forward fitted); a strict run
    raises its first unreadable cell."""

    def get(canon: str) -> pa.Array:
        return cell_values(b.written(canon), b.reading[canon], cells)

    x = read_inputs(
        get,
        b.reading,
        o.constants,
        o.valuation_date,
        cells,
        b.notes,
        o.price_unit,
        o.dates,
        roots=o.parity,
    )
    cells.raise_first()
    fit = fit_book(x, _expiry_cells(x, b.reading, b.written), o.model) if o.parity else None
    return (x if fit is None else fit.inputs), fit


def _solve_inputs(
    x: Inputs, fit: BookFit | None, results: tuple[str, ...], o: _Options
) -> tuple[Greeks, Any, dict[str, Any]]:
    """Every row's Greeks and forward, and its other result columns (the bid
    and ask volatilities, the fitted forward and discount) by name."""
    more = not set(results) <= {*RESULTS, *SIDES, *FITTED}
    g, fwd = solve_rows(x, x.price, o.threads, more, o.model, o.shift)
    sides = {}
    if o.bid_ask_vols:
        assert x.bid is not None and x.ask is not None
        sides = {"bid_vol": x.bid, "ask_vol": x.ask}
        sides = {
            n: solve_rows(x, p, o.threads, False, o.model, o.shift)[0].vol for n, p in sides.items()
        }
    if fit is not None:
        _no_forward(g, sides, fit)
        fwd = fit.forward
        sides.update(forward=fit.forward, discount=fit.discount)
    return g, fwd, sides


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
    o = _Options(
        valuation_date=valuation_date,
        columns=columns,
        greeks=greeks,
        threads=threads,
        expiry=expiry,
        bid_ask_vols=bid_ask_vols,
        price_unit=price_unit,
        dates=dates,
        model=model,
        shift=shift,
        puts_first=puts_first,
        constants=constants,
        parity=parity,
    )
    b = _find_columns(table, results, o)
    cells = Cells(len(b.table), strict, b.per_row)
    x, fit = _read_batch(b, cells, o)
    g, fwd, sides = _solve_inputs(x, fit, b.results, o)
    notes = b.notes
    if price_unit == "currency":
        notes += quoted_in_underlying(g.reason, x.price, fwd, x.strike, x.is_call, cells.bad)
    if cells.bad.any():
        g.reason[cells.bad] = Reason.BAD_INPUT
    return Solved(
        _with_results(b.table, b.names, b.results, g, sides, x.symbols),
        g,
        fwd,
        x.strike,
        x.expiry,
        x.is_call,
        x.true_vol,
        tuple(notes),
        tuple(cells.columns.values()),
        b.found,
        len(b.table) // b.per_row if b.per_row > 1 else None,
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
