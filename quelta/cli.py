"""The ``quelta`` command: implied volatilities and Greeks for an option book in CSV.

``quelta solve BOOK.csv -o OUT.csv`` reads the book in chunks with the
standard ``csv`` module, solves each chunk with :func:`quelta.greeks` (one
call of the C++ core per chunk), appends the results to the rows and prints
a summary. ``quelta`` alone solves the sample book shipped in the package.

Errors in the input end the run with a one-line message on stderr and exit
status 1; output files are written under a temporary name in their target
directory and renamed only when everything succeeded, so a failed run leaves
no file behind and an existing one untouched.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import importlib.resources
import os
import sys
import tempfile
import textwrap
import time
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import IO, Any

import numpy as np

from quelta._api import Greeks, Reason, _flag_of, greeks, simd_level

# Canonical column, accepted header names (after normalising case, spaces and
# hyphens; the first one present wins), and the help text.
COLUMNS: list[tuple[str, tuple[str, ...], str]] = [
    ("price", ("price", "premium", "option_price", "mid", "mid_price", "mark", "value"),
     "market (discounted) option price"),
    ("forward", ("forward", "fwd", "f", "forward_price", "fwd_mid"),
     "forward price F of the underlying for the expiry"),
    ("strike", ("strike", "k", "strike_price"), "strike K"),
    ("expiry", ("expiry", "t", "tau", "ttm", "maturity", "time_to_expiry", "expiry_years",
                "years"),
     "time to expiry in years"),
    ("kind", ("kind", "type", "option_type", "cp", "call_put", "cp_flag", "put_call", "right",
              "flag", "is_call"),
     "call/put, c/p or 1/-1 (an is_call column: 1/0, true/false)"),
    ("discount", ("discount", "df", "discount_factor", "disc"),
     "discount factor D (optional)"),
    ("rate", ("rate", "r", "interest_rate", "risk_free_rate"),
     "continuously compounded rate r, D = exp(-r T) (optional, instead of discount)"),
    ("true_vol", ("true_vol", "true_volatility", "vol_true", "sigma_true"),
     "known volatility (optional): the summary reports max |implied_vol/true_vol - 1|"),
]
ALIASES = {canon: aliases for canon, aliases, _ in COLUMNS}
REQUIRED = ("price", "forward", "strike", "expiry", "kind")
RESULTS = ("implied_vol", "delta", "gamma", "vega", "reason")
DEFAULT_CHUNK = 100_000
PLOT_MAX_EXPIRIES = 12
PLOT_MAX_POINTS = 2000
_IS_CALL_WORDS = {"1": True, "true": True, "yes": True, "0": False, "false": False, "no": False}


class CliError(Exception):
    """A problem with the user's input or files: one line, exit status 1."""


def _normalise(name: str) -> str:
    return name.strip().lower().replace(" ", "_").replace("-", "_")


def _column_help() -> str:
    lines = ["book columns (header row; names are case-insensitive, spaces and hyphens",
             "count as underscores, and the first accepted name present is used):"]
    for canon, aliases, text in COLUMNS:
        lines += textwrap.wrap(text, 78, initial_indent=f"  {canon:<10}",
                               subsequent_indent=" " * 12)
        others = [a for a in aliases if a != canon]
        if others:
            lines += textwrap.wrap(", ".join(others), 78, initial_indent=" " * 12 + "also: ",
                                   subsequent_indent=" " * 18)
    return "\n".join(lines)


_EPILOG = f"""\
{_column_help()}

Other columns are copied unchanged. An empty cell is a missing value: the
row gets no volatility (reason not_finite). Without a discount or rate
column, prices are taken as undiscounted (D = 1).

Appended columns: implied_vol (annualised), delta = dV/dF, gamma = d2V/dF2,
vega = change of V per volatility point (0.01), all for the discounted price
V and empty where there is no volatility, and reason (ok, below_intrinsic,
above_maximum, at_intrinsic, non_positive_input, non_positive_expiry,
not_finite, not_solved).

Without BOOK, the sample book shipped with quelta is solved: options priced
exactly from a known smile, plus four faulty quotes.

exit status: 0 done; 1 unreadable or invalid input (nothing written);
2 invalid command line.
"""


# ---------------------------------------------------------------- the book

@dataclass
class _Columns:
    """Positions of the recognised columns in the header."""

    header: list[str]
    index: dict[str, int]

    @classmethod
    def from_header(cls, header: list[str], book: str) -> _Columns:
        names = [_normalise(h) for h in header]
        index: dict[str, int] = {}
        for canon, aliases, _ in COLUMNS:
            for alias in aliases:
                if alias in names:
                    index[canon] = names.index(alias)
                    break
        missing = [c for c in REQUIRED if c not in index]
        if missing:
            if len(missing) == 1:
                accepted = ", ".join(ALIASES[missing[0]])
            else:
                accepted = "; ".join(f"{c}: {', '.join(ALIASES[c])}" for c in missing)
            raise CliError(f"{book}: missing column{'s' if len(missing) > 1 else ''} "
                           f"{', '.join(missing)} (accepted names: {accepted})")
        if "discount" in index and "rate" in index:
            raise CliError(f"{book}: has both a discount column "
                           f"({header[index['discount']]!r}) and a rate column "
                           f"({header[index['rate']]!r}); keep one")
        taken = [h for h in header if _normalise(h) in RESULTS]
        if taken:
            raise CliError(f"{book}: already has a column {taken[0]!r}, which quelta "
                           "would append; rename or remove it")
        return cls(header, index)

    def describe(self) -> str:
        return ", ".join(f"{c}={self.header[i]!r}" for c, i in self.index.items())


def _floats(values: Sequence[str], what: str, lines: list[int], book: str) -> np.ndarray:
    """A column of a chunk as float64; empty cells become NaN."""
    try:
        return np.array(values, dtype=np.float64)
    except ValueError:
        pass
    out = np.empty(len(values))
    for i, s in enumerate(values):
        if not s.strip():
            out[i] = np.nan
            continue
        try:
            out[i] = float(s)
        except ValueError:
            raise CliError(f"{book} line {lines[i]}: {what}: {s!r} is not a number") from None
    return out


def _kinds(values: Sequence[str], what: str, is_call_column: bool, lines: list[int],
           book: str) -> np.ndarray:
    """Option kinds of a chunk as booleans, True for a call."""
    words, inverse = np.unique(np.array(values, dtype=str), return_inverse=True)
    flags = np.empty(len(words), dtype=bool)
    for j, word in enumerate(words.tolist()):
        key = word.strip().lower()
        try:
            if is_call_column:  # 1/0 flags: -1 would be a call to the core, so refuse it
                flags[j] = _IS_CALL_WORDS[key]
            else:
                flags[j] = _flag_of(key) == 1
        except (KeyError, ValueError):
            line = lines[int(np.flatnonzero(inverse == j)[0])]
            accepted = "1/0 or true/false" if is_call_column else "call/put, c/p or 1/-1"
            raise CliError(f"{book} line {line}: unknown option kind {word!r} in {what} "
                           f"(use {accepted})") from None
    return flags[inverse]


def _read_rows(reader: Any, width: int, chunk: int, book: str
               ) -> Iterator[tuple[list[list[str]], list[int]]]:
    """The data rows in chunks, with their line numbers; blank lines skipped."""
    rows: list[list[str]] = []
    lines: list[int] = []
    try:
        for row in reader:
            if not row:
                continue
            # The header was read before the reader started: file line = line_num + 1.
            if len(row) != width:
                raise CliError(f"{book} line {reader.line_num + 1}: {len(row)} fields, "
                               f"expected {width} as in the header")
            rows.append(row)
            lines.append(reader.line_num + 1)
            if len(rows) == chunk:
                yield rows, lines
                rows, lines = [], []
    except csv.Error as exc:
        raise CliError(f"{book} line {reader.line_num + 1}: malformed CSV ({exc})") from None
    except UnicodeDecodeError:
        raise CliError(f"{book}: not a UTF-8 text file") from None
    if rows:
        yield rows, lines


# ---------------------------------------------------------------- results

@dataclass
class _Tally:
    rows: int = 0
    reasons: np.ndarray = field(default_factory=lambda: np.zeros(len(Reason), np.int64))
    solve_seconds: float = 0.0
    max_true_error: float = 0.0
    true_compared: int = 0
    plot: list[tuple[np.ndarray, np.ndarray, np.ndarray]] = field(default_factory=list)


def _fmt(values: np.ndarray) -> list[str]:
    """Shortest round-trip text of each double; empty for NaN."""
    text = list(map(repr, values.tolist()))
    for i in np.flatnonzero(np.isnan(values)).tolist():
        text[i] = ""
    return text


_REASON_NAMES = [r.name.lower() for r in Reason]


def _solve_chunk(rows: list[list[str]], lines: list[int], cols: _Columns, book: str,
                 tally: _Tally, keep_plot: bool) -> Greeks:
    ix = cols.index
    columns = list(zip(*rows))

    def num(name: str) -> np.ndarray:
        return _floats(columns[ix[name]], f"column {cols.header[ix[name]]!r}", lines, book)

    price, forward, strike, expiry = (num(c) for c in ("price", "forward", "strike", "expiry"))
    kind_header = cols.header[ix["kind"]]
    calls = _kinds(columns[ix["kind"]], f"column {kind_header!r}",
                   _normalise(kind_header) == "is_call", lines, book)
    discount = num("discount") if "discount" in ix else None
    rate = num("rate") if "rate" in ix else None

    start = time.perf_counter()
    g = greeks(price, forward, strike, expiry, kind=calls, discount=discount, rate=rate)
    tally.solve_seconds += time.perf_counter() - start
    tally.rows += len(rows)
    tally.reasons += np.bincount(g.reason, minlength=len(Reason))

    if "true_vol" in ix:
        true_vol = num("true_vol")
        both = np.isfinite(g.vol) & np.isfinite(true_vol)
        if both.any():
            err = np.abs(g.vol[both] / true_vol[both] - 1.0)
            tally.max_true_error = max(tally.max_true_error, float(err.max()))
            tally.true_compared += int(both.sum())
    if keep_plot:
        ok = g.reason == Reason.OK
        tally.plot.append((np.log(strike[ok] / forward[ok]), g.vol[ok], expiry[ok]))
    return g


def _write_chunk(file: IO[str], writer: Any, rows: list[list[str]], g: Greeks,
                 delimiter: str) -> None:
    """The rows with the results appended, as csv.writer would write them."""
    appended = list(map(list, zip(_fmt(g.vol), _fmt(g.delta), _fmt(g.gamma), _fmt(g.vega),
                                  [_REASON_NAMES[c] for c in g.reason.tolist()])))
    # Joining is several times faster than csv.writer, and gives the same text
    # when no field needs quoting: then the delimiters and line breaks counted
    # are exactly those joined, and no quote or carriage return appears.
    text = "\n".join(map(delimiter.join, map(list.__add__, rows, appended)))
    n, width = len(rows), len(rows[0]) + len(RESULTS)
    if (text.count(delimiter) == n * (width - 1) and text.count("\n") == n - 1
            and '"' not in text and "\r" not in text):
        file.write(text + "\n")
    else:
        writer.writerows(map(list.__add__, rows, appended))


# ---------------------------------------------------------------- output files

class _AtomicFile:
    """A file written under a temporary name beside its target, renamed on commit."""

    def __init__(self, target: Path, binary: bool = False) -> None:
        self.target = target
        if target.is_dir():
            raise CliError(f"cannot write {target}: is a directory")
        try:
            fd, tmp = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.",
                                       suffix=".tmp")
        except OSError as exc:
            raise CliError(f"cannot write {target}: {exc.strerror or exc}") from None
        self.tmp = Path(tmp)
        self.file: IO[Any] = (os.fdopen(fd, "wb") if binary
                              else os.fdopen(fd, "w", newline="", encoding="utf-8"))

    def commit(self) -> None:
        self.file.close()
        try:
            # mkstemp makes the file private (0600); give it the mode of a new file.
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(self.tmp, 0o666 & ~umask)
            os.replace(self.tmp, self.target)
        except OSError as exc:
            raise CliError(f"cannot write {self.target}: {exc.strerror or exc}") from None

    def discard(self) -> None:
        self.file.close()
        with contextlib.suppress(FileNotFoundError):
            self.tmp.unlink()


def _discard_all(files: list[_AtomicFile]) -> None:
    for f in files:
        f.discard()


def _plot(file: IO[bytes], tally: _Tally, title: str) -> None:
    """PNG of implied volatility against ln(K/F), one line per expiry."""
    import matplotlib
    from matplotlib.figure import Figure

    if tally.plot:
        k, vol, t = (np.concatenate(parts) for parts in zip(*tally.plot))
    else:
        k = vol = t = np.empty(0)
    expiries = np.unique(t)
    shown = expiries
    if len(expiries) > PLOT_MAX_EXPIRIES:
        shown = expiries[np.linspace(0, len(expiries) - 1, PLOT_MAX_EXPIRIES).round().astype(int)]
    fig = Figure(figsize=(9, 5.5), dpi=110)
    ax = fig.add_subplot()
    colours = matplotlib.colormaps["viridis"](np.linspace(0.0, 0.9, max(len(shown), 1)))
    for colour, expiry in zip(colours, shown):
        m = t == expiry
        order = np.argsort(k[m], kind="stable")
        if order.size > PLOT_MAX_POINTS:
            order = order[np.linspace(0, order.size - 1, PLOT_MAX_POINTS).astype(int)]
        ax.plot(k[m][order], 100.0 * vol[m][order], marker="o" if order.size <= 60 else None,
                markersize=3, linewidth=1.5, color=colour, label=f"T = {expiry:.4g} y")
    ax.set_xlabel("log-moneyness  ln(K / F)")
    ax.set_ylabel("implied volatility (%, annualised)")
    if len(shown) < len(expiries):
        title += f" ({len(shown)} of {len(expiries)} expiries)"
    ax.set_title(title)
    ax.grid(True, alpha=0.3)
    if len(shown):
        ax.legend(title="expiry", fontsize="small", loc="best")
    fig.tight_layout()
    fig.savefig(file, format="png")


# ---------------------------------------------------------------- the command

def _progress(done_bytes: int, total_bytes: int, rows: int, seconds: float) -> None:
    frac = min(done_bytes / total_bytes, 1.0) if total_bytes else 1.0
    bar = "#" * int(30 * frac)
    rate = rows / seconds if seconds > 0 else 0.0
    sys.stderr.write(f"\r[{bar:<30}] {100 * frac:3.0f}%  {rows:,} rows  {rate:,.0f} rows/s")
    sys.stderr.flush()


@contextlib.contextmanager
def _book_file(path: str | None) -> Iterator[tuple[Path, str]]:
    """The book's path and display name; the sample book when path is None."""
    if path is not None:
        yield Path(path), path
        return
    resource = importlib.resources.files("quelta") / "data" / "sample_book.csv"
    with importlib.resources.as_file(resource) as sample:
        yield sample, "sample book"


def _solve(args: argparse.Namespace) -> int:
    if args.plot is not None:
        try:
            import matplotlib.figure  # noqa: F401  (imported again by _plot)
        except ImportError:
            raise CliError("--plot needs matplotlib: pip install 'quelta[plot]'") from None
    if args.chunk_size < 1:
        raise CliError("--chunk-size must be at least 1")
    to_stdout = args.output == "-"
    report = sys.stderr if to_stdout else sys.stdout
    show_progress = sys.stderr.isatty()
    started = time.perf_counter()
    tally = _Tally()
    out: _AtomicFile | None = None
    pending: list[_AtomicFile] = []

    with _book_file(args.book) as (path, book), contextlib.ExitStack() as cleanup:
        # Runs on every failure; pending is empty once the outputs are committed.
        cleanup.callback(_discard_all, pending)
        try:
            f = open(path, newline="", encoding="utf-8-sig")
        except FileNotFoundError:
            raise CliError(f"{book}: no such file") from None
        except IsADirectoryError:
            raise CliError(f"{book}: is a directory, not a CSV file") from None
        except OSError as exc:
            raise CliError(f"cannot read {book}: {exc.strerror or exc}") from None
        cleanup.enter_context(f)
        size = os.fstat(f.fileno()).st_size
        try:
            first = f.readline()
        except UnicodeDecodeError:
            raise CliError(f"{book}: not a UTF-8 text file") from None
        except OSError as exc:
            raise CliError(f"cannot read {book}: {exc.strerror or exc}") from None
        if not first.strip():
            raise CliError(f"{book}: empty, expected a header row")
        delimiter = max(",;\t", key=first.count)
        try:
            header = next(csv.reader([first], delimiter=delimiter, strict=True))
        except csv.Error as exc:
            raise CliError(f"{book} line 1: malformed CSV header ({exc})") from None
        cols = _Columns.from_header(header, book)
        reader = csv.reader(f, delimiter=delimiter, strict=True)

        if args.output is not None and not to_stdout:
            out = _AtomicFile(Path(args.output))
            pending.append(out)
        if args.plot is not None:
            png = _AtomicFile(Path(args.plot), binary=True)
            pending.append(png)
        sink: IO[str] | None = out.file if out is not None else sys.stdout if to_stdout else None
        if sink is not None:
            writer = csv.writer(sink, delimiter=delimiter, lineterminator="\n")
            writer.writerow(header + list(RESULTS))

        drawn = False
        try:
            for rows, lines in _read_rows(reader, len(header), args.chunk_size, book):
                g = _solve_chunk(rows, lines, cols, book, tally, args.plot is not None)
                if sink is not None:
                    _write_chunk(sink, writer, rows, g, delimiter)
                if show_progress:
                    done = f.buffer.tell()  # type: ignore[attr-defined]
                    _progress(done, size, tally.rows, time.perf_counter() - started)
                    drawn = True
            if show_progress:
                _progress(size, size, tally.rows, time.perf_counter() - started)
                drawn = True
        finally:
            if drawn:  # end the bar's line, also before an error message
                sys.stderr.write("\n")

        elapsed = time.perf_counter() - started
        if args.plot is not None:
            _plot(png.file, tally, f"Implied volatility smile: {Path(book).name}")
        for p in pending:
            p.commit()
        pending.clear()
    _summary(report, book if args.book is not None else f"{book} ({path})", cols, tally,
             elapsed, args)
    return 0


def _summary(report: IO[str], book: str, cols: _Columns, tally: _Tally, elapsed: float,
             args: argparse.Namespace) -> None:
    solved = int(tally.reasons[Reason.OK])
    lines = [f"book: {book}",
             f"columns: {cols.describe()}",
             f"rows: {tally.rows:,}  solved: {solved:,}  "
             f"without a volatility: {tally.rows - solved:,}"]
    for r in Reason:
        n = int(tally.reasons[r])
        if r is not Reason.OK and n:
            lines.append(f"  {r.name.lower():<20} {n:>9,}  {r.description}")
    if "true_vol" in cols.index:
        lines.append(f"true_vol: max |implied_vol/true_vol - 1| = {tally.max_true_error:.1e}"
                     f" over {tally.true_compared:,} rows")
    rate = tally.rows / elapsed if elapsed > 0 else float("inf")
    core_rate = tally.rows / tally.solve_seconds if tally.solve_seconds > 0 else float("inf")
    lines.append(f"time: {elapsed:.3f} s to read, solve and write: {rate:,.0f} options/s "
                 f"(solving alone: {tally.solve_seconds:.4f} s, {core_rate:,.0f} options/s)")
    if args.output == "-":
        lines.append("output: standard output")
    elif args.output is not None:
        lines.append(f"output: {args.output}")
    else:
        lines.append("output: none written (give -o OUT.csv, or -o - for standard output)")
    if args.plot is not None:
        lines.append(f"plot: {args.plot}")
    print("\n".join(lines), file=report)


def _parser() -> argparse.ArgumentParser:
    from importlib.metadata import PackageNotFoundError, version

    try:
        ver = version("quelta")
    except PackageNotFoundError:
        ver = "unknown"
    parser = argparse.ArgumentParser(
        prog="quelta",
        description="Black implied volatilities and Greeks for option books. "
                    "Without a command, runs 'solve' on the sample book.")
    parser.add_argument("--version", action="version",
                        version=f"quelta {ver} (SIMD level: {simd_level()})")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    solve = sub.add_parser(
        "solve", help="solve an option book (CSV) for implied volatilities and Greeks",
        description=textwrap.fill(
            "Solve every row of an option book for its implied volatility, delta, gamma and "
            "vega; append them to the rows and print a summary (rows solved, rows without a "
            "volatility by reason, time, options per second). Large books are read in chunks, "
            "with a progress bar when stderr is a terminal.", 78),
        epilog=_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    solve.add_argument("book", nargs="?", metavar="BOOK",
                       help="option book, CSV with a header row (default: the sample book)")
    solve.add_argument("-o", "--output", metavar="OUT",
                       help="write the rows with the results appended to OUT "
                            "('-' for standard output; default: write nothing)")
    solve.add_argument("--plot", metavar="PNG",
                       help="draw the volatility smile per expiry to PNG "
                            "(needs matplotlib: pip install 'quelta[plot]')")
    solve.add_argument("--chunk-size", type=int, default=DEFAULT_CHUNK, metavar="N",
                       help=f"rows solved per batch (default {DEFAULT_CHUNK:,})")
    return parser


def main(argv: list[str] | None = None) -> int:
    """Run the ``quelta`` command line; returns the exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
    if args.command is None:
        args = parser.parse_args(["solve"])
    try:
        return _solve(args)
    except CliError as exc:
        print(f"quelta: error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("\nquelta: interrupted; nothing written", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of standard output went away (quelta ... -o - | head).
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
