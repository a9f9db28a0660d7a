"""Solved batches added up, and a solved table counted by reason."""

from __future__ import annotations

from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Any

import numpy as np
import pyarrow.compute as pc

from quelta._arrays import Reason
from quelta.book.cells import BadCells, as_array
from quelta.book.columns import REASON_NAMES
from quelta.book.parity import ExpiryFit
from quelta.book.reading import arrow_column, is_dataframe

if TYPE_CHECKING:
    from quelta.book.batch import Solved


def summarize(result: Any) -> dict[str, int]:
    """Rows of a solved table by reason name, every reason listed, ``"ok"`` first."""
    reasons = result["reason"] if is_dataframe(result) else result.column("reason")
    counts = pc.value_counts(as_array(arrow_column(reasons)))
    got = {v["values"].as_py(): v["counts"].as_py() for v in counts}
    return {name: int(got.get(name, 0)) for name in REASON_NAMES}


@dataclass
class Tally:
    """Solved batches added up: rows, rows by :class:`quelta.Reason` code, and more.

    ``solve_seconds`` is the time spent solving; ``max_true_error`` the
    largest ``|implied_vol/true_vol - 1|`` over the ``true_compared`` rows
    with a known volatility; ``warnings`` the distinct :class:`BookWarning`
    texts; ``bad_cells`` the columns with unreadable cells, each with its
    first row of the book counted from the start of everything tallied
    (``book_rows``, which counts a side-by-side chain's call and put as one);
    ``fits`` the fits of the expiries of books solved with ``forward="parity"``.
    """

    rows: int = 0
    book_rows: int = 0  # rows of the books read: one per option but in side-by-side chains
    reasons: np.ndarray = field(default_factory=lambda: np.zeros(len(Reason), np.int64))
    solve_seconds: float = 0.0
    max_true_error: float = 0.0
    true_compared: int = 0
    warnings: list[str] = field(default_factory=list)
    bad_cells: dict[str, BadCells] = field(default_factory=dict)
    fits: list[ExpiryFit] = field(default_factory=list)

    def count(self, solved: Solved, seconds: float = 0.0) -> list[str]:
        """Adds one solved batch, which follows the rows so far; returns its new warnings."""
        err, compared = solved.true_vol_error()
        rows = len(solved.greeks.reason)
        batch = Tally(
            rows=rows,
            book_rows=rows if solved.book_rows is None else solved.book_rows,
            reasons=np.bincount(solved.greeks.reason, minlength=len(Reason)),
            solve_seconds=seconds,
            max_true_error=err,
            true_compared=compared,
            warnings=list(dict.fromkeys(solved.warnings)),
            bad_cells={bad.column: bad for bad in solved.bad_cells},
            fits=list(solved.fits),
        )
        return self.merge(batch)

    def merge(self, other: Tally) -> list[str]:
        """Adds a tally of the rows that follow these; returns the warnings new to this one."""
        for column, bad in other.bad_cells.items():
            seen = self.bad_cells.get(column)
            if seen is None:
                self.bad_cells[column] = replace(bad, row=self.book_rows + bad.row)
            else:
                self.bad_cells[column] = replace(seen, rows=seen.rows + bad.rows)
        self.rows += other.rows
        self.book_rows += other.book_rows
        self.reasons += other.reasons
        self.solve_seconds += other.solve_seconds
        self.max_true_error = max(self.max_true_error, other.max_true_error)
        self.true_compared += other.true_compared
        self.fits += other.fits
        new = [w for w in other.warnings if w not in self.warnings]
        self.warnings += new
        return new
