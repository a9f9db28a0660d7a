"""The ``quelta`` command: implied volatilities and Greeks for an option book.

``quelta solve BOOK -o OUT`` (or ``quelta BOOK -o OUT``) streams a CSV or
Parquet book in record batches through :func:`quelta.book.solve_batch`,
writes the rows with the results appended as CSV or Parquet (by the output's
extension) and prints a summary. ``quelta`` alone solves the sample book
shipped in the package. The reading, solving and writing live in
:mod:`quelta.book`; this module is the shell around them: arguments, output
files, progress bar, plot and summary.

A book whose header cannot be used ends the run with a one-line message on
stderr and exit status 1. A row with an unreadable cell gets the reason
``bad_input`` and the run goes on; ``--strict`` stops at the first one,
naming its line and column. Output files are written under a temporary name
in their target directory and renamed only when everything succeeded, so a
failed or interrupted run leaves no file behind and an existing one
untouched; FIFOs, devices and standard output are written directly.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
import textwrap
import threading
from typing import Any

import quelta
from quelta.cli import cluster, local
from quelta.cli.options import add_book_arguments
from quelta.cli.report import ENDING, INSTALL_ARROW, CliError, Terminated, already

DEFAULT_CHUNK = 100_000
DEFAULT_GREEKS = ("delta", "gamma", "vega")


def _on_signal(signum: int, frame: Any) -> None:
    raise Terminated(signum)


def _column_help() -> str:
    try:
        from quelta.book import COLUMNS
    except ImportError:
        return f"book columns: listed here once pyarrow is installed ({INSTALL_ARROW})"
    lines = [
        "book columns (header row; names are case-insensitive, spaces, hyphens",
        "and slashes count as underscores, and the first accepted name present",
        "is used):",
    ]
    for canon, aliases, text in COLUMNS:
        lines += textwrap.wrap(
            text, 78, initial_indent=f"  {canon:<15}", subsequent_indent=" " * 17
        )
        others = [a for a in aliases if a != canon]
        if others:
            lines += textwrap.wrap(
                ", ".join(others),
                78,
                initial_indent=" " * 17 + "also: ",
                subsequent_indent=" " * 23,
            )
    return "\n".join(lines)


def _epilog() -> str:
    return f"""\
{_column_help()}

Other columns are copied unchanged. Numbers may be written with a % sign
(1.5% is 0.015); a rate column with values above 1 and no % sign draws a
warning. Expiries given as dates (ISO with or without an offset, YYYYMMDD,
19-Dec-2025, 19DEC25, Dec 19 2025, MM/DD/YYYY or DD/MM/YYYY as the column's
values decide, or --date-format) need a valuation date
(--valuation-date or a valuation_date column); the year fraction is ACT/365F:
calendar days / 365, and an expiry beyond 100 years is an unreadable cell.
An empty cell (or NA, #N/A) is a missing value: the row gets no volatility
(reason not_finite). A cell that cannot be read (text in a number column,
an unknown option kind or model, a date or option symbol in no form above,
a shift on a normal row, an empty model cell) gives the row the reason
bad_input, unless --strict.
Without a discount or rate column, prices are taken as undiscounted (D = 1).
A spot column replaces the forward column (a book with both is refused) and
needs a rate or discount column: F = S exp((r - q) T), q from a dividend
yield column (default 0).
--forward parity fits instead the forward F and discount factor D of each
expiry (of each underlying: a ticker column, else the option symbols'
roots) from C - P = D (F - K) over the strikes with both a call and a put,
reading the book whole first (a chain is small; several books as one
table: calls.csv puts.csv); under the normal model F may be of any sign.
F and D are appended as forward and discount before implied_vol, the
summary gives each fit, and the rows of an expiry with too few usable pairs
get the reason no_forward.

Appended columns: implied_vol (annualised), delta = dV/dF, gamma = d2V/dF2,
vega = change of V per volatility point (0.01), all for the discounted price
V and empty where there is no volatility, and reason ({
        ", ".join(r.name.lower() for r in quelta.Reason)
    }). With a spot column delta and gamma
are dV/dS and d2V/dS2. --greeks all adds, before reason, theta = change of V
per calendar day (-dV/dT / 365; at fixed S, r, q, or at fixed F and r for a
forward), rho = change of V per percentage point of r (at fixed S and q, or
at fixed F), vanna = change of delta and volga = change of vega per
volatility point.

BOOK and OUT are CSV (a header row; delimiter , ; or tab) or Parquet (by the
extension .parquet of OUT, by the content of BOOK; a BOOK may be gzip CSV);
'-' is standard input or output, and a BOOK of '-' without -o writes the
results to standard output.
Several BOOKs are solved as one, file after file into one OUT; they must have
the same columns under the same names (not with --scheduler).
A side-by-side chain (the call's columns, the strike, the put's, under the
same names, as Last,Bid,Ask,Strike,Last,Bid,Ask, or prefixed C_Bid, P_Bid)
is read and written as one row per option: a kind column, then the columns
in the order of the header, each side's once under its own name, the
strike (and any column of neither side) on both rows. The calls come first
unless a line above the header names the puts first, or --puts-first.
Without BOOK, the sample book shipped with quelta is solved: options priced
exactly from a known smile, plus four faulty quotes. 'quelta BOOK ...' is
short for 'quelta solve BOOK ...'.

exit status: 0 done; 1 unreadable or invalid input, or an output that cannot
be written (no output file written); 2 invalid command line; 130 and 143
interrupted (SIGINT, SIGTERM); 129 hung up (SIGHUP).
"""


def _greeks_option(text: str) -> tuple[str, ...]:
    """The value of --greeks: 'all' or Greek names separated by commas."""
    all_greeks = tuple(f for f in quelta.Greeks._fields if f not in ("vol", "reason"))
    names = [n.strip().lower() for n in text.split(",") if n.strip()]
    if names == ["all"]:
        return all_greeks
    unknown = [n for n in names if n not in all_greeks]
    if unknown or not names:
        raise argparse.ArgumentTypeError(
            f"unknown Greek {unknown[0]!r}" if unknown else "no Greek named"
        )
    return tuple(g for g in all_greeks if g in names)


def _parser() -> argparse.ArgumentParser:
    from importlib.metadata import PackageNotFoundError, version

    try:
        ver = version("quelta")
    except PackageNotFoundError:
        ver = "unknown"
    parser = argparse.ArgumentParser(
        prog="quelta",
        description="Black implied volatilities and Greeks for option books. "
        "Without a command, runs 'solve' (on the sample book without BOOK).",
    )
    parser.add_argument(
        "--version", action="version", version=f"quelta {ver} (SIMD level: {quelta.simd_level()})"
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    solve = sub.add_parser(
        "solve",
        help="solve an option book (CSV or Parquet) for implied volatilities and Greeks",
        description=textwrap.fill(
            "Solve every row of an option book for its implied volatility, delta, gamma and "
            "vega; append them to the rows and print a summary (rows solved, rows without a "
            "volatility by reason, time, options per second). Books of any length are "
            "streamed in batches, with a progress bar when stderr is a terminal.",
            78,
        ),
        epilog=_epilog(),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    _add_file_arguments(solve)
    _add_date_arguments(solve)
    _add_solve_arguments(solve)
    return parser


def _add_file_arguments(solve: argparse.ArgumentParser) -> None:
    """The book and the outputs."""
    solve.add_argument(
        "book",
        nargs="*",
        metavar="BOOK",
        help="option book, CSV with a header row or Parquet; '-' for standard "
        "input (default: the sample book). Several books are solved as one, "
        "file after file, into one output: they must have the same columns",
    )
    solve.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        help="write the rows with the results appended to OUT, Parquet if it "
        "ends in .parquet, else CSV ('-' for standard output; default: "
        "write nothing)",
    )
    solve.add_argument(
        "--plot",
        metavar="IMAGE",
        help="draw the volatility smile per expiry to IMAGE (.png, .svg or "
        ".pdf; needs matplotlib: pip install 'quelta[plot]')",
    )
    solve.add_argument(
        "--plot-all",
        action="store_true",
        help="plot every solved quote, calls and puts apart (default: the "
        "out-of-the-money quotes only)",
    )


def _add_date_arguments(solve: argparse.ArgumentParser) -> None:
    """How dates are read."""
    solve.add_argument(
        "--valuation-date",
        metavar="DATE",
        help="date (YYYY-MM-DD, YYYY-MM-DD HH:MM or YYYYMMDD) from which expiry "
        "dates are counted, in the expiries' time zone if they have one; years "
        "are ACT/365F, calendar days / 365",
    )
    solve.add_argument(
        "--date-format",
        metavar="PATTERN",
        help="read every date column with this strftime pattern (e.g. %%d.%%m.%%Y) "
        "instead of recognising ISO, YYYYMMDD, month-name and slashed dates",
    )
    solve.add_argument(
        "--expiry-time",
        metavar="HH:MM",
        help="time of day at which expiries given as dates expire (default 00:00), "
        "in the --timezone",
    )
    solve.add_argument(
        "--timezone",
        metavar="ZONE",
        help="IANA time zone (e.g. America/New_York) of dates and date-times "
        "written without a UTC offset (default UTC, or the expiries' own zone)",
    )


def _add_solve_arguments(solve: argparse.ArgumentParser) -> None:
    """How the book is read and solved, and where."""
    solve.add_argument(
        "--strict",
        action="store_true",
        help="stop at the first unreadable cell, naming its line and column, "
        "instead of giving its row the reason bad_input",
    )
    solve.add_argument(
        "--greeks",
        type=_greeks_option,
        default=DEFAULT_GREEKS,
        metavar="LIST",
        help="Greeks to append: 'all' (delta, gamma, vega, theta, rho, vanna, "
        "volga) or names separated by commas (default: delta,gamma,vega)",
    )
    add_book_arguments(solve)
    solve.add_argument(
        "--model",
        choices=("black", "normal"),
        help="the model of the volatilities of every row: black (lognormal, the "
        "default) or normal (Bachelier: volatilities in units of the forward per "
        "year^0.5, forwards and strikes of any sign); a model column gives each "
        "row its own instead, and is refused beside --model",
    )
    solve.add_argument(
        "--shift",
        type=float,
        metavar="D",
        help="shifted-lognormal model: Black on forward + D and strike + D "
        "(with --model black only; with a model column, its black rows)",
    )
    solve.add_argument(
        "--chunk-size",
        type=int,
        default=DEFAULT_CHUNK,
        metavar="N",
        help=f"rows solved per batch (default {DEFAULT_CHUNK:,})",
    )
    solve.add_argument(
        "--scheduler",
        metavar="local:N|tcp://HOST:PORT",
        help="solve on a Dask cluster: N worker processes on this machine, or "
        "the workers of a running scheduler. BOOK is then a dataset (a "
        "directory, glob or file of CSV or Parquet books) and OUT a "
        "directory, written as a partitioned Parquet dataset (needs "
        "pip install 'quelta[dask]')",
    )


def _run(args: argparse.Namespace) -> int:
    if args.scheduler is None:
        return local.solve(args)
    if len(args.book) > 1:
        raise CliError(
            "--scheduler takes one DATASET (a directory or glob of many files), not several books"
        )
    args.book = args.book[0] if args.book else None  # the cluster's BOOK is one dataset
    return cluster.solve_on_cluster(args)


def main(argv: list[str] | None = None) -> int:
    """Run the ``quelta`` command line; returns the exit status."""
    if quelta._unusable is not None:  # the batch kernel refused QUELTA_SIMD
        print(f"quelta: error: {quelta._unusable}", file=sys.stderr)
        return 1
    argv = list(sys.argv[1:] if argv is None else argv)
    if not argv or argv[0] not in ("solve", "-h", "--help", "--version"):
        argv.insert(0, "solve")  # 'quelta BOOK ...' is 'quelta solve BOOK ...'
    try:
        parser = _parser()
        args = parser.parse_args(argv)
        if getattr(args, "shift", None) is not None and args.model == "normal":
            parser.error(
                "--shift is for --model black; --model normal takes negative rates as they are"
            )
    except KeyboardInterrupt:
        print("\nquelta: interrupted; nothing written", file=sys.stderr)
        return 130
    previous: dict[int, Any] = {}
    with contextlib.suppress(ValueError):  # only the main thread may set handlers
        for signum in ENDING:
            # An ignored SIGHUP (nohup) stays ignored.
            if signal.getsignal(signum) is not signal.SIG_IGN:
                old = signal.signal(signum, _on_signal)
                if old is not None:
                    previous[signum] = old
    try:
        return _run(args)
    except CliError as exc:
        print(f"quelta: error: {exc}{already(exc)}", file=sys.stderr)
        return _stopped(1)
    except KeyboardInterrupt as exc:
        print(f"\nquelta: interrupted{already(exc) or '; nothing written'}", file=sys.stderr)
        return _stopped(130)
    except Terminated as exc:
        word = ENDING[signal.Signals(exc.signum)]
        print(f"quelta: {word}{already(exc) or '; nothing written'}", file=sys.stderr)
        return _stopped(128 + exc.signum)
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def _stopped(status: int) -> int:
    """Exit status of a failed run; ends the process at once if a read is still waiting.

    The outputs are already cleaned up; a reading thread blocked inside
    pyarrow on its input cannot be stopped, and would break the
    interpreter's shutdown.
    """
    if any(t.name == "quelta-reader" and t.is_alive() for t in threading.enumerate()):
        sys.stderr.flush()
        os._exit(status)
    return status


if __name__ == "__main__":
    sys.exit(main())
