"""``quelta solve BOOK``: the one-machine pipeline of reading, solving and writing."""

from __future__ import annotations

import argparse
import contextlib
import importlib.resources
import os
import stat
import sys
import tempfile
import threading
import time
from collections import deque
from collections.abc import Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from pathlib import Path
from queue import Full, Queue
from typing import IO, TYPE_CHECKING, Any

from quelta.cli.options import book_options
from quelta.cli.plot import PLOT_FORMATS, Smile, draw
from quelta.cli.report import (
    INSTALL_ARROW,
    CliError,
    Terminated,
    abandon,
    os_message,
    progress_bar,
    read_message,
    row_message,
    summary,
)

if TYPE_CHECKING:
    from quelta.book import Tally

# Batches solved at once. Two help CSV books, where reading and writing
# take as long as solving; Parquet I/O is light, and two solvers beside the
# reader and writer threads only contend for the cores (measured on 2).
SOLVERS = {"csv": min(2, os.cpu_count() or 1), "parquet": 1}


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
                from quelta.book import creation_mode  # loaded by now: the book is open

                self.mode = creation_mode()
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
                abandon(sys.stdout)
            raise CliError(f"cannot write {self.name}: {os_message(exc)}") from None

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


@contextlib.contextmanager
def _book_source(path: str | None) -> Iterator[tuple[str, str]]:
    """The book's path ('-' for standard input) and display name."""
    if path is not None:
        yield path, "standard input" if path == "-" else path
        return
    resource = importlib.resources.files("quelta") / "data" / "sample_book.csv"
    with importlib.resources.as_file(resource) as sample:
        yield str(sample), "sample book"


def _plot_format(plot: str | None) -> str | None:
    """The image format of --plot, by its name; refused without matplotlib."""
    if plot is None:
        return None
    fmt = "png" if plot == "-" else Path(plot).suffix.lower().lstrip(".")
    if fmt not in PLOT_FORMATS:
        raise CliError(
            f"--plot {plot}: unknown image format; name the file "
            f"{', '.join('.' + f for f in PLOT_FORMATS)}"
        )
    try:
        import matplotlib.figure  # noqa: F401  (imported again by draw)
    except ImportError:
        raise CliError("--plot needs matplotlib: pip install 'quelta[plot]'") from None
    return fmt


def _open_book(
    books: Any,
    path: str,
    name: str,
    chunk: int | None,
    results: tuple[str, ...],
    options: dict[str, Any],
    skip_rows: int | None = None,
) -> Any:
    """The reader of the book, its header checked against the options and results appended."""
    if path == "-" and sys.stdin is None:
        raise CliError("cannot read standard input: it is closed")
    try:
        # Standard input unbuffered: no buffer lock for the reading thread to
        # hold while the program ends on a signal.
        source = open(sys.stdin.fileno(), "rb", buffering=0, closefd=False) if path == "-" else path
        reader = books.BookReader(source, chunk, skip_rows=skip_rows)
    except FileNotFoundError:
        raise CliError(f"{name}: no such file") from None
    except IsADirectoryError:
        raise CliError(f"{name}: is a directory, not a book") from None
    except books.BookError as exc:
        raise CliError(f"{name}: {exc}") from None
    except OSError as exc:
        raise CliError(f"cannot read {name}: {os_message(exc)}") from None
    try:  # fail on the header before reading any row
        books.header_columns(reader.names, results, **options)
    except books.BookError as exc:
        reader.close()
        guessed = (
            ""
            if reader.header_found
            else (
                " (no line names the columns of a book, so line 1 was taken as the header; "
                "--skip-rows N skips the N lines above it)"
            )
        )
        raise CliError(f"{name}: {exc}{guessed}") from None
    return reader


def _open_writer(books: Any, out: _Output, reader: Any, results: tuple[str, ...], path: str) -> Any:
    """The writer of the output, in the format its name gives."""
    out_format = _output_format(out, books)
    delimiter = "\t" if out.given.lower().endswith(".tsv") else reader.delimiter
    writer = books.BookWriter(out.file, out_format, delimiter, [*reader.names, *results])
    # A CSV book is all text; a Parquet book's columns are known before any
    # row is solved, and one CSV cannot hold is refused before any is written.
    if reader.format == "parquet":
        import pyarrow.parquet as pq

        try:
            writer.check(pq.read_schema(path))
        except books.BookError as exc:
            raise CliError(f"-o {out.given}: {exc}") from None
    return writer


def solve(args: argparse.Namespace) -> int:
    """Runs ``quelta solve`` on this machine; returns the exit status."""
    try:
        from quelta import book as books
    except ImportError:
        raise CliError(INSTALL_ARROW) from None
    output = args.output
    if output is None and args.book == "-":
        output = "-"
    _check_outputs(args.book, output, args.plot)
    plot_format = _plot_format(args.plot)
    if args.chunk_size < 1:
        raise CliError("--chunk-size must be at least 1")
    if args.skip_rows is not None and args.skip_rows < 0:
        raise CliError("--skip-rows must be at least 0")
    # Put-call parity fits across the rows of an expiry: the book is read whole.
    parity = books.fits_parity(args.forward)
    chunk = None if parity else args.chunk_size
    results = books.result_names(args.greeks, args.bid_ask_vols, parity=parity)
    report = sys.stderr if "-" in (output, args.plot) else sys.stdout
    started = time.perf_counter()
    tally = books.Tally()
    smile = Smile(args.plot_all) if args.plot is not None else None
    outputs: list[_Output] = []

    with _book_source(args.book) as (path, name), contextlib.ExitStack() as cleanup:
        # Runs on every failure; outputs is empty once they are committed.
        cleanup.callback(_discard_all, outputs)
        options = book_options(args)
        reader = _open_book(books, path, name, chunk, results, options, args.skip_rows)
        # Option symbols' expiry, kind and strike, where the book has no column for them.
        symbols = books.from_symbols(books.header_columns(reader.names, **options))
        results = books.result_names(args.greeks, args.bid_ask_vols, symbols, parity)
        cleanup.callback(reader.close)
        writer = None
        if output is not None:
            out = _Output(output)
            outputs.append(out)
            writer = _open_writer(books, out, reader, results, path)
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
                raise CliError(row_message(exc, name, reader, rows_before)) from None
            solved = _count(result, tally)
            columns = columns or _describe(solved.found)
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
            with progress_bar(reader.rows_total, reader.progress) as progress:
                for batch in _read_ahead(reader.batches()):
                    if not read:  # every batch read as the first is
                        options["columns"] = _first_columns(books, batch, results, options, tally)
                    job = solvers.submit(_solve_batch, books, batch, args, options)
                    solving.append((read, job))
                    read += batch.num_rows
                    if len(solving) >= SOLVERS[reader.format]:
                        finish_one()
                while solving:
                    finish_one()
            if not read:  # no rows: the header alone is the book's columns
                options["columns"] = _first_columns(books, reader.names, results, options, tally)
            if writer is not None:
                with out.writing():
                    if writing is not None:
                        writing.result()
                    writer.close()
        except (books.ArrowException, OSError, books.BookError) as exc:  # read errors
            raise CliError(read_message(exc, name, reader)) from None
        except (CliError, KeyboardInterrupt, Terminated) as exc:
            exc.written = [o.name for o in outputs if o.written]  # type: ignore[union-attr]
            raise

        elapsed = time.perf_counter() - started
        if args.plot is not None:
            assert smile is not None and plot_format is not None
            with image.writing():
                draw(image.file, plot_format, smile, f"Implied volatility smile: {Path(name).name}")
        for o in outputs:
            o.commit()
        outputs.clear()
    if columns is None:
        columns = _describe(options["columns"])
    summary(
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


def _describe(found: Any) -> str:
    return ", ".join(f"{c}={n!r}" for c, n in found.items())


def _first_columns(
    books: Any, batch: Any, results: tuple[str, ...], options: dict[str, Any], tally: Tally
) -> Any:
    """The columns of the book, chosen on its first batch; the notes on them printed."""
    found, notes = books.choose_columns(batch, results, **options)
    for text in tally.merge(books.Tally(warnings=notes)):
        print(f"quelta: warning: {text}", file=sys.stderr)
    return found


def _solve_batch(books: Any, batch: Any, args: argparse.Namespace, options: dict[str, Any]) -> Any:
    """One batch solved (in a solver thread), with the seconds it took."""
    start = time.perf_counter()
    solved = books.solve_batch(
        batch,
        valuation_date=args.valuation_date,
        strict=args.strict,
        greeks=args.greeks,
        **options,
    )
    return solved, time.perf_counter() - start


def _count(result: tuple[Any, float], tally: Tally) -> Any:
    """Adds a solved batch to the tally (in the main thread); returns the batch."""
    solved, seconds = result
    for text in tally.count(solved, seconds):
        print(f"quelta: warning: {text}", file=sys.stderr)
    return solved


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
