"""What the command tells the user: errors, the summary, the progress bar."""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
from collections.abc import Callable, Iterator
from typing import IO, TYPE_CHECKING, Any

import quelta

if TYPE_CHECKING:
    from quelta.book import BookError, Tally


INSTALL_ARROW = "quelta needs pyarrow to read books: pip install 'quelta[cli]'"
FITS_SHOWN = 40  # expiries fitted from put-call parity listed in the summary, at most


class CliError(Exception):
    """A problem with the user's input or files: one line, exit status 1."""


class Terminated(BaseException):
    """SIGTERM or SIGHUP, raised where the program is so that every cleanup runs."""

    def __init__(self, signum: int = signal.SIGTERM) -> None:
        super().__init__(signum)
        self.signum = signum


# The signals that end a run as SIGTERM does, with what the message calls them.
# A closed terminal or ssh session sends SIGHUP.
ENDING = {signal.SIGTERM: "terminated", signal.SIGHUP: "hung up"}


def os_message(exc: OSError) -> str:
    if exc.strerror:
        return exc.strerror
    text = str(exc)
    # pyarrow spells its I/O errors "... error: [Errno 28] No space left on device".
    return text.split("] ", 1)[-1] if "[Errno" in text else text


def where(reader: Any, row: int) -> str:
    """Where data row ``row`` (0-based) of a book is: its line when the reader knows it."""
    line = reader.line_of_row(row) if reader is not None else None
    return f"line {line}" if line is not None else f"row {row + 1}"


class Places:
    """Several books read as one, file after file: where a row of all of them is."""

    def __init__(self) -> None:
        self.starts: list[tuple[int, str, Any]] = []  # (first row, name, reader) per book

    def add(self, start: int, name: str, reader: Any) -> None:
        self.starts.append((start, name, reader))

    def where(self, row: int) -> str:
        start, name, reader = [s for s in self.starts if s[0] <= row][-1]
        return f"{name} {where(reader, row - start)}"

    def message(self, exc: BookError) -> str:
        """A refused row (strict) of the books solved as one table, named by its book and line;
        a fault of no one row, by all of them."""
        if exc.row is None:
            return f"{', '.join(name for _, name, _ in self.starts)}: {exc}"
        return f"{self.where(exc.row)}: {exc}"


def row_message(exc: BookError, name: str, reader: Any, rows_before: int) -> str:
    """A refused row (strict), named by its line."""
    if exc.row is None:
        return f"{name}: {exc}"
    return f"{name} {where(reader, rows_before + exc.row)}: {exc}"


def read_message(exc: Exception, name: str, reader: Any) -> str:
    from quelta.book import BookError

    # The reader's own findings name their line; pyarrow's are located again.
    found = str(exc) if isinstance(exc, BookError) else reader.fault()
    if found is not None:
        return f"{name}{'' if found.startswith('line ') else ':'} {found}"
    text = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
    if "UTF8" in text or "UTF-8" in text:
        return f"{name}: not a UTF-8 text file"
    return f"cannot read {name}: {text}"


@contextlib.contextmanager
def progress_bar(
    rows_total: int | None = None, fraction: Callable[[], float | None] | None = None
) -> Iterator[Callable[..., None]]:
    """A callback counting solved rows into a progress bar (tqdm) on a terminal.

    The total is ``rows_total``, or follows from ``fraction()`` of the input
    read so far, or is given by the caller with its rows (a cluster's parts).
    """
    bar = None
    if sys.stderr.isatty():
        with contextlib.suppress(ImportError):
            from tqdm import tqdm

            bar = tqdm(
                total=rows_total,
                file=sys.stderr,
                unit=" rows",
                unit_scale=True,
                dynamic_ncols=True,
                leave=True,
                bar_format="{l_bar}{bar}| {n_fmt}/{total_fmt} rows "
                "[{elapsed}<{remaining}, {rate_fmt}]",
            )

    def advance(rows: int, total: int | None = None) -> None:
        if bar is None:
            return
        if total is not None and bar.total is None:
            bar.total = total
        elif rows_total is None and fraction is not None:
            done = fraction()
            if done:
                bar.total = max(int((bar.n + rows) / done), bar.n + rows)
        bar.update(rows)

    try:
        yield advance
        if bar is not None:
            bar.total = bar.n
            bar.refresh()
    finally:
        if bar is not None:
            bar.close()


def _reasons(tally: Tally, reader: Any) -> list[str]:
    """The rows without a volatility by reason; under bad_input, the columns to blame."""
    lines = []
    place = reader.where if isinstance(reader, Places) else lambda row: where(reader, row)
    for r in quelta.Reason:
        n = int(tally.reasons[r])
        if r is not quelta.Reason.OK and n:
            lines.append(f"  {r.name.lower():<20} {n:>9,}  {r.description}")
        if r is quelta.Reason.BAD_INPUT:
            lines += [
                f"    column {bad.column!r}: {bad.rows:,} unreadable, "
                f"the first {bad.value} on {place(bad.row)}"
                for bad in tally.bad_cells.values()
            ]
    return lines


def summary(
    report: IO[str],
    book: str,
    columns: str,
    tally: Tally,
    elapsed: float,
    output: str | None,
    args: argparse.Namespace,
    reader: Any = None,
) -> None:
    solved = int(tally.reasons[quelta.Reason.OK])
    lines = [
        f"book: {book}",
        f"columns: {columns}",
        f"rows: {tally.rows:,}  solved: {solved:,}  without a volatility: {tally.rows - solved:,}",
    ]
    lines += _reasons(tally, reader)
    if tally.fits:
        lines.append("forwards from put-call parity:")
        lines += [f"  {fit.describe()}" for fit in tally.fits[:FITS_SHOWN]]
        if len(tally.fits) > FITS_SHOWN:
            more = len(tally.fits) - FITS_SHOWN
            lines.append(
                f"  and {more:,} more expiries (the columns forward and discount hold all)"
            )
    if tally.true_compared or "true_vol" in columns:
        lines.append(
            f"true_vol: max |implied_vol/true_vol - 1| = {tally.max_true_error:.1e}"
            f" over {tally.true_compared:,} rows"
        )
    rate = tally.rows / elapsed if elapsed > 0 else float("inf")
    core_rate = tally.rows / tally.solve_seconds if tally.solve_seconds > 0 else float("inf")
    lines.append(
        f"time: {elapsed:.3f} s to read, solve and write: {rate:,.0f} options/s "
        f"(solving alone: {tally.solve_seconds:.4f} s, {core_rate:,.0f} options/s)"
    )
    if output == "-":
        lines.append("output: standard output")
    elif output is not None:
        lines.append(f"output: {output}")
    else:
        lines.append("output: none written (give -o OUT.csv, or -o - for standard output)")
    if args.plot is not None:
        lines.append(f"plot: {args.plot}")
    try:
        print("\n".join(lines), file=report, flush=True)
    except OSError as exc:  # a closed pipe (quelta BOOK | head) or a full disk
        abandon(report)
        error = CliError(f"cannot write the summary: {os_message(exc)}")
        if output not in (None, "-"):
            error.complete = output  # type: ignore[attr-defined]
        raise error from None


def abandon(stream: IO[str]) -> None:
    """Points a standard stream that can no longer be written at /dev/null.

    Nothing more reaches a dead pipe, and the flush at exit does not fail.
    """
    devnull = os.open(os.devnull, os.O_WRONLY)
    with contextlib.suppress(OSError, ValueError):
        os.dup2(devnull, stream.fileno())
    os.close(devnull)


def already(exc: BaseException) -> str:
    """What a failed run had already written where it could not be taken back."""
    complete = getattr(exc, "complete", None)
    if complete is not None:
        return f"; {complete} had already been written in full"
    written = getattr(exc, "written", None)
    if not written:
        return ""
    return f"; {' and '.join(written)} already had part of the results"
