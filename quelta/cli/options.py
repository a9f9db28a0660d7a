"""The options of ``quelta solve`` that say how the book is read: columns, constants, prices.

Each becomes the keyword of :func:`quelta.book.solve_batch` of the same name,
so the command and :func:`quelta.solve_table` read a book in one way.
"""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from typing import Any

from quelta.cli.report import CliError

# The book's constants (quelta.book.columns.CONSTANTS), kept here so that the parser
# is built without pyarrow; a test holds the two alike.
CONSTANTS = ("rate", "dividend_yield", "spot", "forward", "discount", "expiry")
_CONSTANT_HELP = {
    "rate": "continuously compounded rate r for every row (5%% or 0.05)",
    "dividend_yield": "continuous dividend yield q for every row, with a spot",
    "spot": "spot price S for every row (needs a rate or discount)",
    "forward": "forward price F for every row, or 'parity': the forward and discount "
    "of each expiry fitted from its calls and puts (C - P = D (F - K)), appended as "
    "columns forward and discount; the book is then read whole (a chain is small)",
    "discount": "discount factor D for every row",
    "expiry": "expiry for every row: years (0.5), or a date with --valuation-date",
}


class _ColumnMap(argparse.Action):
    """--column ROLE=HEADER, repeatable, into one mapping; a role given twice is refused."""

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: str | Sequence[Any] | None,
        option_string: str | None = None,
    ) -> None:
        role, sep, header = str(values).partition("=")
        role = role.strip().lower().replace("-", "_")
        if not sep or not role or not header:
            parser.error(f"argument --column: expected ROLE=HEADER, got {values!r}")
        mapping = dict(getattr(namespace, self.dest) or {})
        if role in mapping:
            parser.error(
                f"argument --column: role {role} given twice ({mapping[role]!r} and {header!r})"
            )
        mapping[role] = header
        setattr(namespace, self.dest, mapping)


def _constant(role: str) -> Any:
    def read(text: str) -> str:
        try:
            from quelta.book import BookError, fits_parity
            from quelta.book.cells import read_constant
            from quelta.book.reading import expiry_constant
        except ImportError:  # the run says what to install
            return text
        if role == "forward" and fits_parity(text):
            return text
        try:
            expiry_constant(text) if role == "expiry" else read_constant(text, role)
        except BookError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None
        return text

    read.__name__ = role  # argparse names the type in its message
    return read


def add_book_arguments(solve: argparse.ArgumentParser) -> None:
    """The options saying how the book is read."""
    solve.add_argument(
        "--column",
        action=_ColumnMap,
        dest="columns",
        metavar="ROLE=HEADER",
        help="read the column HEADER as ROLE (one of the book columns below), "
        "whatever its cells; repeatable. The column is then found by no alias",
    )
    for role in CONSTANTS:
        solve.add_argument(
            f"--{role.replace('_', '-')}",
            type=_constant(role),
            metavar="X",
            help=_CONSTANT_HELP[role] + "; refused beside a column of that role",
        )
    solve.add_argument(
        "--skip-rows",
        type=int,
        metavar="N",
        help="the header of a CSV book is line N + 1 (default: the first of its "
        "first lines that names two book columns, as chain downloads put the "
        "underlying and the quote time above it; line 1 if none does)",
    )
    solve.add_argument(
        "--puts-first",
        action="store_true",
        help="a side-by-side chain (calls and puts of a strike on one row) has the "
        "puts' columns before the strike (default: the calls', unless a line above "
        "the header names the puts first)",
    )
    solve.add_argument(
        "--bid-ask-vols",
        action="store_true",
        help="with bid and ask columns, also append bid_vol and ask_vol (the "
        "volatilities of each side), after implied_vol",
    )
    solve.add_argument(
        "--price-unit",
        choices=("currency", "underlying"),
        default="currency",
        help="'underlying': prices, bids and asks are in units of the "
        "underlying, multiplied by the row's forward (or spot) before solving "
        "(default: currency)",
    )


def check_reading(args: argparse.Namespace) -> None:
    """Refuses a batch size or a count of lines above the header that cannot be."""
    if args.chunk_size < 1:
        raise CliError("--chunk-size must be at least 1")
    if args.skip_rows is not None and args.skip_rows < 0:
        raise CliError("--skip-rows must be at least 0")


def book_options(args: argparse.Namespace) -> dict[str, Any]:
    """The keywords of :func:`quelta.book.solve_batch` the command line gives."""
    options: dict[str, Any] = {role: getattr(args, role) for role in CONSTANTS}
    options.update(columns=args.columns, bid_ask_vols=args.bid_ask_vols, price_unit=args.price_unit)
    options.update(
        date_format=args.date_format, expiry_time=args.expiry_time, timezone=args.timezone
    )
    options.update(model=args.model, shift=args.shift, puts_first=args.puts_first)
    return options
