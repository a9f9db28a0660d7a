"""Solving a book: one table or batch at a time, and the tally of many."""

from __future__ import annotations

import warnings
from collections.abc import Mapping, Sequence
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
    read_kinds,
    read_numbers,
    read_years,
    text_array,
)
from quelta.book.columns import (
    GREEKS,
    REASON_NAMES,
    RESULTS,
    BookError,
    BookWarning,
    resolve_columns,
    result_names,
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
        return as_array(pa.array(values, from_pandas=True))
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
    model: str = "black",
    shift: float | None = None,
) -> Solved:
    """Solve a book and keep the inputs as read; see :func:`solve_table`."""
    results = result_names(greeks)
    if _is_dataframe(table):
        names = [str(c) for c in table.columns]
        frame = table

        def get(canon: str) -> pa.Array:
            return cell_values(_arrow_column(frame[found[canon]]), found[canon], cells)
    elif isinstance(table, (pa.Table, pa.RecordBatch)):
        names = list(table.column_names)

        def get(canon: str) -> pa.Array:
            column = as_array(table.column(names.index(found[canon])))
            return cell_values(column, found[canon], cells)
    else:
        raise TypeError(
            f"expected a pyarrow Table or RecordBatch or a pandas DataFrame, "
            f"got {type(table).__name__}"
        )
    found = resolve_columns(names, columns, results)
    n = len(table)
    cells = Cells(n, strict)

    def number(canon: str) -> np.ndarray:
        return read_numbers(get(canon), found[canon], cells)[0]

    price = number("price") if "price" in found else 0.5 * (number("bid") + number("ask"))
    forward = number("forward") if "forward" in found else None
    spot = number("spot") if "spot" in found else None
    strike = number("strike")
    expiry = read_years(get, found, valuation_date, cells, n)
    is_call, no_kind = read_kinds(get("kind"), found["kind"], cells)
    discount = number("discount") if "discount" in found else None
    notes: list[str] = []
    rate = _fraction("rate", found, get, cells, notes)
    dividend_yield = _fraction("dividend_yield", found, get, cells, notes)
    true_vol = number("true_vol") if "true_vol" in found else None
    shifts: Any = shift
    if "shift" in found:
        if shift is not None or model == "normal":
            given = "model='normal'" if model == "normal" else "a shift argument"
            raise BookError(f"column {found['shift']!r}: a shift column and {given}; give one")
        shifts = number("shift")
    cells.raise_first()

    unusable = cells.bad | no_kind
    if unusable.any():
        price = np.where(unusable, np.nan, price)
    g, forward = solve_greeks(
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
        model=model,
        shift=shifts,
    )
    if cells.bad.any():
        g.reason[cells.bad] = Reason.BAD_INPUT
    return Solved(
        _with_results(table, names, results, g),
        g,
        forward,
        strike,
        expiry,
        is_call,
        true_vol,
        tuple(notes),
        tuple(cells.columns.values()),
    )


def _with_results(table: Any, names: list[str], results: tuple[str, ...], g: Greeks) -> Any:
    """The table with the result columns appended, as the same kind of table."""
    values = {name: getattr(g, "vol" if name == "implied_vol" else name) for name in results[:-1]}
    reason_text = text_array(REASON_NAMES).take(from_numpy(g.reason))
    if _is_dataframe(table):  # pandas is loaded already: its conversion costs nothing more
        out = table.copy(deep=False)
        for name, v in values.items():
            out[name] = v
        out["reason"] = reason_text.to_numpy(zero_copy_only=False)
        return out
    arrays = [from_numpy(v, np.isnan(v)) for v in values.values()]
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
    model: str = "black",
    shift: float | None = None,
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
    model : {"black", "normal"}, default "black"
        The model of every row, as in :func:`quelta.implied_volatility`:
        ``"normal"`` for normal (Bachelier) volatilities, in units of the
        forward per sqrt(year), forwards and strikes of any sign.
    shift : float, optional
        The shift of the shifted-lognormal model (``model="black"`` only).

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
        A name in ``greeks`` that is not a Greek, an unknown ``model``, or a
        ``shift`` with ``model="normal"``.

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
        model=model,
        shift=shift,
    )
    for text in solved.warnings:
        warnings.warn(text, BookWarning, stacklevel=2)
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
