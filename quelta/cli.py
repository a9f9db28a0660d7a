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
import importlib.resources
import os
import signal
import stat
import sys
import tempfile
import textwrap
import threading
import time
from collections import deque
from collections.abc import Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from pathlib import Path
from queue import Full, Queue
from typing import IO, TYPE_CHECKING, Any

import numpy as np

import quelta

if TYPE_CHECKING:
    from quelta.book import Tally

DEFAULT_CHUNK = 100_000
PLOT_MAX_EXPIRIES = 12
PLOT_MAX_POINTS = 2000
PLOT_KEPT_POINTS = 200_000  # smile points kept while streaming; thinned beyond
PLOT_FORMATS = ("png", "svg", "pdf")
# Batches solved at once. Two help CSV books, where reading and writing
# take as long as solving; Parquet I/O is light, and two solvers beside the
# reader and writer threads only contend for the cores (measured on 2).
SOLVERS = {"csv": min(2, os.cpu_count() or 1), "parquet": 1}
_INSTALL_ARROW = "quelta needs pyarrow to read books: pip install 'quelta[cli]'"
DEFAULT_GREEKS = ("delta", "gamma", "vega")


class CliError(Exception):
    """A problem with the user's input or files: one line, exit status 1."""


class _Terminated(BaseException):
    """SIGTERM or SIGHUP, raised where the program is so that every cleanup runs."""

    def __init__(self, signum: int = signal.SIGTERM) -> None:
        super().__init__(signum)
        self.signum = signum


# The signals that end a run as SIGTERM does, with what the message calls them.
# A closed terminal or ssh session sends SIGHUP.
_ENDING = {signal.SIGTERM: "terminated", signal.SIGHUP: "hung up"}


def _on_signal(signum: int, frame: Any) -> None:
    raise _Terminated(signum)


def _column_help() -> str:
    try:
        from quelta.book import COLUMNS
    except ImportError:
        return f"book columns: listed here once pyarrow is installed ({_INSTALL_ARROW})"
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
warning. Expiries given as dates (ISO, or YYYYMMDD) need a valuation date
(--valuation-date or a valuation_date column); the year fraction is ACT/365F:
calendar days / 365, and an expiry beyond 100 years is an unreadable cell.
An empty cell (or NA, #N/A) is a missing value: the row gets no volatility
(reason not_finite). A cell that cannot be read (text in a number column,
an unknown option kind) gives the row the reason bad_input, unless --strict.
Without a discount or rate column, prices are taken as undiscounted (D = 1).
A spot column replaces the forward column (a book with both is refused) and
needs a rate or discount column: F = S exp((r - q) T), q from a dividend
yield column (default 0).

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
Without BOOK, the sample book shipped with quelta is solved: options priced
exactly from a known smile, plus four faulty quotes. 'quelta BOOK ...' is
short for 'quelta solve BOOK ...'.

exit status: 0 done; 1 unreadable or invalid input, or an output that cannot
be written (no output file written); 2 invalid command line; 130 and 143
interrupted (SIGINT, SIGTERM); 129 hung up (SIGHUP).
"""


# ---------------------------------------------------------------- outputs


def _same_file(a: str, b: str) -> bool:
    """Whether two paths name one file, however spelt (links, .., relative)."""
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.realpath(a) == os.path.realpath(b)


class _Output:
    """One output of the command.

    A regular file (or a new one) is written under a temporary name beside
    it and renamed on commit, keeping the permissions of the file it
    replaces; standard output, FIFOs and devices are written directly. A
    symbolic link is kept: the file it points to is the one replaced, as
    ``sort -o`` does.
    """

    def __init__(self, given: str) -> None:
        self.given = given
        self.name = "standard output" if given == "-" else given
        self.tmp: Path | None = None
        self.written = False  # anything written to a direct output
        if given == "-":
            if sys.stdout is None:
                raise CliError("cannot write standard output: it is closed")
            self.file: IO[bytes] = sys.stdout.buffer
            return
        # The temporary file goes beside the file finally written, so that the
        # rename stays within one file system and replaces that file, not a link.
        self.target = target = Path(os.path.realpath(given))
        try:
            st: os.stat_result | None = os.stat(target)
        except FileNotFoundError:
            st = None
        except OSError as exc:
            raise CliError(f"cannot write {given}: {exc.strerror or exc}") from None
        if st is not None and stat.S_ISDIR(st.st_mode):
            raise CliError(f"cannot write {given}: is a directory")
        try:
            if st is not None and not stat.S_ISREG(st.st_mode):
                self.file = open(target, "wb")
                return
            if st is not None:
                self.mode = stat.S_IMODE(st.st_mode)
            else:
                umask = os.umask(0)
                os.umask(umask)
                self.mode = 0o666 & ~umask
            fd, tmp = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=".tmp")
        except OSError as exc:
            raise CliError(f"cannot write {given}: {exc.strerror or exc}") from None
        self.tmp = Path(tmp)
        self.file = os.fdopen(fd, "wb")

    @property
    def direct(self) -> bool:
        return self.tmp is None

    @contextlib.contextmanager
    def writing(self) -> Iterator[None]:
        """Turns a failed write (ENOSPC, EFBIG, EPIPE ...) into a one-line error."""
        try:
            yield
            if self.direct:
                self.written = True
        except OSError as exc:
            self.written = False  # the error names this output already
            if self.given == "-":
                _abandon(sys.stdout)
            raise CliError(f"cannot write {self.name}: {_os_message(exc)}") from None

    def commit(self) -> None:
        with self.writing():
            if self.given == "-":
                self.file.flush()
                return
            self.file.close()
        if self.tmp is None:
            return
        try:
            os.chmod(self.tmp, self.mode)
            os.replace(self.tmp, self.target)
        except OSError as exc:
            raise CliError(f"cannot write {self.given}: {exc.strerror or exc}") from None
        self.tmp = None

    def discard(self) -> None:
        if self.given != "-":
            with contextlib.suppress(OSError):
                self.file.close()
        if self.tmp is not None:
            with contextlib.suppress(FileNotFoundError):
                self.tmp.unlink()


def _discard_all(outputs: list[_Output]) -> None:
    for o in outputs:
        o.discard()


def _os_message(exc: OSError) -> str:
    if exc.strerror:
        return exc.strerror
    text = str(exc)
    # pyarrow spells its I/O errors "... error: [Errno 28] No space left on device".
    return text.split("] ", 1)[-1] if "[Errno" in text else text


def _output_format(out: _Output, books: Any) -> str:
    """The format of an output by its name: a file must be named for one; others are CSV."""
    name = out.given.lower()
    if name.endswith(books.PARQUET_SUFFIXES):
        return "parquet"
    if name.endswith(books.CSV_SUFFIXES) or out.direct:
        return "csv"
    raise CliError(
        f"-o {out.given}: unknown output format; name the file "
        f"{', '.join(books.CSV_SUFFIXES)} (CSV) or {', '.join(books.PARQUET_SUFFIXES)} (Parquet)"
    )


def _same_open_file(fd: int, other: os.stat_result) -> bool:
    """Whether descriptor fd is open on the regular file other (however it was reached)."""
    try:
        st = os.fstat(fd)
    except OSError:  # closed: nothing to overwrite
        return False
    return stat.S_ISREG(st.st_mode) and os.path.samestat(st, other)


def _check_outputs(book: str | None, output: str | None, plot: str | None) -> None:
    """Refuse an output that is the book or the other output."""
    # Standard output appended to the book (quelta book.csv -o - >> book.csv)
    # would feed the results back into the rows being read, or the summary
    # onto the end of the book.
    with contextlib.suppress(OSError):  # no book to overwrite: reading it names the fault
        if book is not None and _same_open_file(1, os.fstat(0) if book == "-" else os.stat(book)):
            where = "standard input" if book == "-" else book
            option = next(
                (f"{o} -: " for o, g in (("-o", output), ("--plot", plot)) if g == "-"), ""
            )
            raise CliError(
                f"{option}standard output is the book being read ({where}); "
                f"send {'it' if option else 'the summary'} elsewhere"
            )

    def clash(a: str, b: str) -> bool:
        if a == "-" or b == "-":
            return a == b
        with contextlib.suppress(OSError):
            if stat.S_ISCHR(os.stat(a).st_mode):  # /dev/null and the like
                return False
        return _same_file(a, b)

    for option, given in (("-o", output), ("--plot", plot)):
        if (
            given is not None
            and book is not None
            and book != "-"
            and given != "-"
            and clash(given, book)
        ):
            raise CliError(f"{option} {given} is the book being read; give another file")
    if output is not None and plot is not None and clash(output, plot):
        raise CliError(f"--plot {plot} and -o {output} are the same file; give two files")


# ---------------------------------------------------------------- results


class _Smile:
    """Points of the smile plot, thinned evenly while the book streams past."""

    def __init__(self, all_quotes: bool) -> None:
        self.all_quotes = all_quotes
        self.stride = 1
        self.parts: list[tuple[np.ndarray, ...]] = []
        self.kept = 0

    def add(self, solved: Any) -> None:
        g = solved.greeks
        keep = g.reason == quelta.Reason.OK
        if not self.all_quotes:  # out of the money: calls above the forward, puts below
            keep &= np.where(
                solved.is_call, solved.strike >= solved.forward, solved.strike < solved.forward
            )
        rows = np.flatnonzero(keep)[:: self.stride]
        part = (
            np.log(solved.strike[rows] / solved.forward[rows]),
            g.vol[rows],
            solved.expiry[rows],
            solved.is_call[rows],
        )
        self.parts.append(part)
        self.kept += rows.size
        if self.kept > PLOT_KEPT_POINTS:
            merged = tuple(np.concatenate(p)[::2] for p in zip(*self.parts))
            self.parts, self.kept, self.stride = [merged], merged[0].size, self.stride * 2

    def points(self) -> tuple[np.ndarray, ...]:
        if not self.parts:
            return (np.empty(0),) * 3 + (np.empty(0, dtype=bool),)
        return tuple(np.concatenate(p) for p in zip(*self.parts))


def _plot(file: IO[bytes], fmt: str, smile: _Smile, title: str) -> None:
    """Implied volatility against ln(K/F), one colour per expiry; puts dashed."""
    import matplotlib
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D

    k, vol, t, call = smile.points()
    expiries = np.unique(t)
    shown = expiries
    if len(expiries) > PLOT_MAX_EXPIRIES:
        shown = expiries[np.linspace(0, len(expiries) - 1, PLOT_MAX_EXPIRIES).round().astype(int)]
    fig = Figure(figsize=(9, 5.5), dpi=110)
    ax = fig.add_subplot()
    colours = matplotlib.colormaps["viridis"](np.linspace(0.0, 0.9, max(len(shown), 1)))
    handles = []
    for colour, expiry in zip(colours, shown):
        for is_call, style, marker in ((True, "-", "o"), (False, "--", "s")):
            m = (t == expiry) & (call == is_call)
            order = np.argsort(k[m], kind="stable")
            if order.size > PLOT_MAX_POINTS:
                order = order[np.linspace(0, order.size - 1, PLOT_MAX_POINTS).astype(int)]
            if order.size:
                ax.plot(
                    k[m][order],
                    100.0 * vol[m][order],
                    linestyle=style,
                    marker=marker if order.size <= 60 else None,
                    markersize=3,
                    linewidth=1.5,
                    color=colour,
                )
        handles.append(Line2D([], [], color=colour, label=f"T = {expiry:.4g} y"))
    handles += [
        Line2D([], [], color="0.3", linestyle="-", marker="o", markersize=3, label="calls"),
        Line2D([], [], color="0.3", linestyle="--", marker="s", markersize=3, label="puts"),
    ]
    ax.set_xlabel("log-moneyness  ln(K / F)")
    ax.set_ylabel("implied volatility (%, annualised)")
    title += " (all quotes)" if smile.all_quotes else " (out-of-the-money quotes)"
    if len(shown) < len(expiries):
        title += f", {len(shown)} of {len(expiries)} expiries"
    ax.set_title(title)
    ax.grid(True, alpha=0.3)
    ax.legend(handles=handles, fontsize="small", loc="best")
    fig.tight_layout()
    fig.savefig(file, format=fmt)


# ---------------------------------------------------------------- the command


@contextlib.contextmanager
def _book_source(path: str | None) -> Iterator[tuple[str, str]]:
    """The book's path ('-' for standard input) and display name."""
    if path is not None:
        yield path, "standard input" if path == "-" else path
        return
    resource = importlib.resources.files("quelta") / "data" / "sample_book.csv"
    with importlib.resources.as_file(resource) as sample:
        yield str(sample), "sample book"


def _solve(args: argparse.Namespace) -> int:
    if args.scheduler is not None:
        if args.greeks != DEFAULT_GREEKS:
            raise CliError(
                "--greeks: a cluster run (--scheduler) writes delta, gamma and vega only"
            )
        from quelta._cluster import solve_on_cluster

        return solve_on_cluster(args)
    try:
        from quelta import book as books
    except ImportError:
        raise CliError(_INSTALL_ARROW) from None
    output = args.output
    if output is None and args.book == "-":
        output = "-"
    _check_outputs(args.book, output, args.plot)
    plot_format = None
    if args.plot is not None:
        plot_format = "png" if args.plot == "-" else Path(args.plot).suffix.lower().lstrip(".")
        if plot_format not in PLOT_FORMATS:
            raise CliError(
                f"--plot {args.plot}: unknown image format; name the file "
                f"{', '.join('.' + f for f in PLOT_FORMATS)}"
            )
        try:
            import matplotlib.figure  # noqa: F401  (imported again by _plot)
        except ImportError:
            raise CliError("--plot needs matplotlib: pip install 'quelta[plot]'") from None
    if args.chunk_size < 1:
        raise CliError("--chunk-size must be at least 1")
    results = books.result_names(args.greeks)
    report = sys.stderr if "-" in (output, args.plot) else sys.stdout
    started = time.perf_counter()
    tally = books.Tally()
    smile = _Smile(args.plot_all) if args.plot is not None else None
    outputs: list[_Output] = []

    with _book_source(args.book) as (path, name), contextlib.ExitStack() as cleanup:
        # Runs on every failure; outputs is empty once they are committed.
        cleanup.callback(_discard_all, outputs)
        if path == "-" and sys.stdin is None:
            raise CliError("cannot read standard input: it is closed")
        try:
            # Standard input unbuffered: no buffer lock for the reading thread to
            # hold while the program ends on a signal.
            source = (
                open(sys.stdin.fileno(), "rb", buffering=0, closefd=False) if path == "-" else path
            )
            reader = books.BookReader(source, args.chunk_size)
        except FileNotFoundError:
            raise CliError(f"{name}: no such file") from None
        except IsADirectoryError:
            raise CliError(f"{name}: is a directory, not a book") from None
        except books.BookError as exc:
            raise CliError(f"{name}: {exc}") from None
        except OSError as exc:
            raise CliError(f"cannot read {name}: {_os_message(exc)}") from None
        cleanup.callback(reader.close)
        try:  # the header again, now against the Greeks chosen
            books.resolve_columns(reader.names, results=results)
        except books.BookError as exc:
            raise CliError(f"{name}: {exc}") from None

        writer = None
        if output is not None:
            out = _Output(output)
            outputs.append(out)
            out_format = _output_format(out, books)
            delimiter = "\t" if output.lower().endswith(".tsv") else reader.delimiter
            writer = books.BookWriter(out.file, out_format, delimiter, [*reader.names, *results])
            # A CSV book is all text; a Parquet book's columns are known before any
            # row is solved, and one CSV cannot hold is refused before any is written.
            if reader.format == "parquet":
                import pyarrow.parquet as pq

                try:
                    writer.check(pq.read_schema(path))
                except books.BookError as exc:
                    raise CliError(f"-o {output}: {exc}") from None
        if args.plot is not None:
            image = _Output(args.plot)
            outputs.append(image)

        # A pipeline of threads (pyarrow and the core release the GIL): batches
        # are read ahead, solved one or two at a time and written one behind, in
        # order; a fixed number of batches is in flight, so memory stays bounded.
        pool = cleanup.enter_context(ThreadPoolExecutor(max_workers=1))
        solvers = cleanup.enter_context(ThreadPoolExecutor(max_workers=SOLVERS[reader.format]))
        writing: Future[None] | None = None
        solving: deque[tuple[int, Future[Any]]] = deque()
        columns = None
        read = 0

        def finish_one() -> None:
            nonlocal writing, columns
            rows_before, future = solving.popleft()
            try:
                result = future.result()
            except books.BookError as exc:
                raise CliError(_row_message(exc, name, path, reader, rows_before)) from None
            solved = _count(result, tally)
            columns = columns or _describe(books, solved.table.schema.names[: -len(results)])
            if smile is not None:
                smile.add(solved)
            if writer is not None:
                if writing is not None:
                    with out.writing():
                        writing.result()
                writing = pool.submit(writer.write, solved.table)
                out.written = out.direct  # cannot be taken back from here on
            progress(solved.table.num_rows)

        try:
            with _progress_bar(reader) as progress:
                for batch in _read_ahead(reader.batches()):
                    solving.append((read, solvers.submit(_solve_batch, books, batch, args)))
                    read += batch.num_rows
                    if len(solving) >= SOLVERS[reader.format]:
                        finish_one()
                while solving:
                    finish_one()
            if writer is not None:
                with out.writing():
                    if writing is not None:
                        writing.result()
                    writer.close()
        except (books.ArrowException, OSError, books.BookError) as exc:  # read errors
            raise CliError(_read_message(exc, name, path, reader)) from None
        except (CliError, KeyboardInterrupt, _Terminated) as exc:
            exc.written = [o.name for o in outputs if o.written]  # type: ignore[union-attr]
            raise

        elapsed = time.perf_counter() - started
        if args.plot is not None:
            assert smile is not None and plot_format is not None
            with image.writing():
                _plot(
                    image.file, plot_format, smile, f"Implied volatility smile: {Path(name).name}"
                )
        for o in outputs:
            o.commit()
        outputs.clear()
    if columns is None:
        columns = _describe(books, reader.names)
    _summary(
        report,
        name if args.book is not None else f"{name} ({path})",
        columns,
        tally,
        elapsed,
        output,
        args,
        reader,
    )
    return 0


def _describe(books: Any, names: list[str]) -> str:
    found = books.resolve_columns(names)
    return ", ".join(f"{c}={n!r}" for c, n in found.items())


def _solve_batch(books: Any, batch: Any, args: argparse.Namespace) -> Any:
    """One batch solved (in a solver thread), with the seconds it took."""
    start = time.perf_counter()
    solved = books.solve_batch(
        batch, valuation_date=args.valuation_date, strict=args.strict, greeks=args.greeks
    )
    return solved, time.perf_counter() - start


def _count(result: tuple[Any, float], tally: Tally) -> Any:
    """Adds a solved batch to the tally (in the main thread); returns the batch."""
    solved, seconds = result
    for text in tally.count(solved, seconds):
        print(f"quelta: warning: {text}", file=sys.stderr)
    return solved


def _row_message(exc: Any, name: str, path: str, reader: Any, rows_before: int) -> str:
    if exc.row is None:
        return f"{name}: {exc}"
    row = rows_before + exc.row
    line = reader.line_of_row(row)
    where = f"line {line}" if line is not None else f"row {row + 1}"
    return f"{name} {where}: {exc}"


def _read_message(exc: Exception, name: str, path: str, reader: Any) -> str:
    from quelta.book import BookError

    # The reader's own findings name their line; pyarrow's are located again.
    found = str(exc) if isinstance(exc, BookError) else reader.fault()
    if found is not None:
        return f"{name}{'' if found.startswith('line ') else ':'} {found}"
    text = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
    if "UTF8" in text or "UTF-8" in text:
        return f"{name}: not a UTF-8 text file"
    return f"cannot read {name}: {text}"


def _read_ahead(batches: Iterator[Any], depth: int = 2) -> Iterator[Any]:
    """The batches, read in a second thread up to ``depth`` ahead.

    Reading overlaps solving, and this thread waits in a Python queue, where
    SIGINT and SIGTERM reach it, rather than inside pyarrow (a stalled
    standard input would hold off the signal handlers until input came).
    """
    done = object()
    queue: Queue[Any] = Queue(maxsize=depth)
    stop = threading.Event()

    def offer(item: tuple[Any, BaseException | None]) -> bool:
        """Queues item unless the consumer has stopped; whether it was queued."""
        while not stop.is_set():
            with contextlib.suppress(Full):
                queue.put(item, timeout=0.1)
                return True
        return False

    def produce() -> None:
        try:
            for batch in batches:
                if not offer((batch, None)):
                    return
            offer((done, None))
        except BaseException as exc:  # handed to the consumer, raised there
            offer((None, exc))

    thread = threading.Thread(target=produce, name="quelta-reader", daemon=True)
    thread.start()
    try:
        while True:
            item, exc = queue.get()
            if exc is not None:
                raise exc
            if item is done:
                return
            yield item
    finally:
        stop.set()
        thread.join(timeout=0.5)  # unless it waits for input: see _stopped


@contextlib.contextmanager
def _progress_bar(reader: Any) -> Iterator[Any]:
    """A callback counting solved rows into a progress bar (tqdm) on a terminal."""
    bar = None
    if sys.stderr.isatty():
        try:
            from tqdm import tqdm
        except ImportError:
            pass
        else:
            bar = tqdm(
                total=reader.rows_total,
                file=sys.stderr,
                unit=" rows",
                unit_scale=True,
                dynamic_ncols=True,
                leave=True,
                bar_format="{l_bar}{bar}| {n_fmt}/{total_fmt} rows "
                "[{elapsed}<{remaining}, {rate_fmt}]",
            )

    def advance(rows: int) -> None:
        if bar is None:
            return
        if reader.rows_total is None:  # CSV: the total follows from the bytes read so far
            done = reader.progress()
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


def _summary(
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
    for r in quelta.Reason:
        n = int(tally.reasons[r])
        if r is not quelta.Reason.OK and n:
            lines.append(f"  {r.name.lower():<20} {n:>9,}  {r.description}")
        if r is quelta.Reason.BAD_INPUT:
            for bad in tally.bad_cells.values():
                line = reader.line_of_row(bad.row) if reader is not None else None
                where = f"line {line}" if line is not None else f"row {bad.row + 1}"
                lines.append(
                    f"    column {bad.column!r}: {bad.rows:,} unreadable, "
                    f"the first {bad.value} on {where}"
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
        _abandon(report)
        error = CliError(f"cannot write the summary: {_os_message(exc)}")
        if output not in (None, "-"):
            error.complete = output  # type: ignore[attr-defined]
        raise error from None


def _abandon(stream: IO[str]) -> None:
    """Points a standard stream that can no longer be written at /dev/null.

    Nothing more reaches a dead pipe, and the flush at exit does not fail.
    """
    devnull = os.open(os.devnull, os.O_WRONLY)
    with contextlib.suppress(OSError, ValueError):
        os.dup2(devnull, stream.fileno())
    os.close(devnull)


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
    solve.add_argument(
        "book",
        nargs="?",
        metavar="BOOK",
        help="option book, CSV with a header row or Parquet; '-' for standard "
        "input (default: the sample book)",
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
    solve.add_argument(
        "--valuation-date",
        metavar="DATE",
        help="date (YYYY-MM-DD, YYYY-MM-DD HH:MM or YYYYMMDD) from which expiry "
        "dates are counted, in the expiries' time zone if they have one; years "
        "are ACT/365F, calendar days / 365",
    )
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
    return parser


def main(argv: list[str] | None = None) -> int:
    """Run the ``quelta`` command line; returns the exit status."""
    if quelta._unusable is not None:  # the batch kernel refused QUELTA_SIMD
        print(f"quelta: error: {quelta._unusable}", file=sys.stderr)
        return 1
    argv = list(sys.argv[1:] if argv is None else argv)
    if not argv or argv[0] not in ("solve", "-h", "--help", "--version"):
        argv.insert(0, "solve")  # 'quelta BOOK ...' is 'quelta solve BOOK ...'
    try:
        args = _parser().parse_args(argv)
    except KeyboardInterrupt:
        print("\nquelta: interrupted; nothing written", file=sys.stderr)
        return 130
    previous: dict[int, Any] = {}
    with contextlib.suppress(ValueError):  # only the main thread may set handlers
        for signum in _ENDING:
            # An ignored SIGHUP (nohup) stays ignored.
            if signal.getsignal(signum) is not signal.SIG_IGN:
                old = signal.signal(signum, _on_signal)
                if old is not None:
                    previous[signum] = old
    try:
        return _solve(args)
    except CliError as exc:
        print(f"quelta: error: {exc}{_already(exc)}", file=sys.stderr)
        return _stopped(1)
    except KeyboardInterrupt as exc:
        print(f"\nquelta: interrupted{_already(exc) or '; nothing written'}", file=sys.stderr)
        return _stopped(130)
    except _Terminated as exc:
        word = _ENDING[signal.Signals(exc.signum)]
        print(f"quelta: {word}{_already(exc) or '; nothing written'}", file=sys.stderr)
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


def _already(exc: BaseException) -> str:
    """What a failed run had already written where it could not be taken back."""
    complete = getattr(exc, "complete", None)
    if complete is not None:
        return f"; {complete} had already been written in full"
    written = getattr(exc, "written", None)
    if not written:
        return ""
    return f"; {' and '.join(written)} already had part of the results"


if __name__ == "__main__":
    sys.exit(main())
