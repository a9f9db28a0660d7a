"""``quelta solve BOOK``: the one-machine pipeline of reading, solving and writing."""

from __future__ import annotations

import argparse
import contextlib
import importlib.resources
import os
import sys
import threading
import time
from collections import deque
from collections.abc import Callable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from pathlib import Path
from queue import Full, Queue
from typing import TYPE_CHECKING, Any

from quelta.cli.options import book_options, check_reading
from quelta.cli.outputs import Output, check_outputs, discard_all
from quelta.cli.plot import PLOT_FORMATS, Smile, draw
from quelta.cli.report import (
    INSTALL_ARROW,
    CliError,
    Places,
    Terminated,
    os_message,
    progress_bar,
    read_message,
    row_message,
    summary,
)
from quelta.cli.together import agree, alike, check_distinct, open_writer

if TYPE_CHECKING:
    from quelta.book import Tally

# Batches solved at once. Two help CSV books, where reading and writing
# take as long as solving; Parquet I/O is light, and two solvers beside the
# reader and writer threads only contend for the cores (measured on 2).
SOLVERS = {"csv": min(2, os.cpu_count() or 1), "parquet": 1}


@contextlib.contextmanager
def _book_sources(paths: list[str]) -> Iterator[list[tuple[str, str]]]:
    """Each book's path ('-' for standard input) and display name; the sample without any."""
    if paths:
        yield [(p, "standard input" if p == "-" else p) for p in paths]
        return
    resource = importlib.resources.files("quelta") / "data" / "sample_book.csv"
    with importlib.resources.as_file(resource) as sample:
        yield [(str(sample), "sample book")]


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


def _check_args(args: argparse.Namespace, output: str | None) -> str | None:
    """Refuses what the arguments get wrong before any file is opened; the plot's format."""
    for book in args.book or [None]:
        check_outputs(book, output, args.plot)
    check_distinct(args.book)
    plot_format = _plot_format(args.plot)
    check_reading(args)
    return plot_format


def solve(args: argparse.Namespace) -> int:
    """Runs ``quelta solve`` on this machine; returns the exit status."""
    try:
        from quelta import book as books
    except ImportError:
        raise CliError(INSTALL_ARROW) from None
    output = args.output
    if output is None and "-" in args.book:
        output = "-"
    plot_format = _check_args(args, output)
    report = sys.stderr if "-" in (output, args.plot) else sys.stdout
    started = time.perf_counter()
    outputs: list[Output] = []

    with _book_sources(args.book) as sources, contextlib.ExitStack() as cleanup:
        # Runs on every failure; outputs is empty once they are committed.
        cleanup.callback(discard_all, outputs)
        run = _Pipeline(books, args, book_options(args))
        for path, name in sources:
            run.open(path, name, cleanup)
        if output is not None:
            run.out = Output(output)
            outputs.append(run.out)
            paths = [p for p, _ in sources]
            run.writer = open_writer(books, run.out, run.readers, run.results, paths, run.options)
        if args.plot is not None:
            image = Output(args.plot)
            outputs.append(image)
        try:
            run.run(cleanup)
        except (CliError, KeyboardInterrupt, Terminated) as exc:
            exc.written = [o.name for o in outputs if o.written]  # type: ignore[union-attr]
            raise
        elapsed = time.perf_counter() - started
        names = ", ".join(name for _, name in sources)
        if run.smile is not None:
            assert plot_format is not None
            with image.writing():
                title = f"Implied volatility smile: {', '.join(Path(n).name for _, n in sources)}"
                draw(image.file, plot_format, run.smile, title)
        for o in outputs:
            o.commit()
        outputs.clear()
    summary(
        report,
        names if args.book else f"{names} ({sources[0][0]})",
        run.columns or _describe(run.options["columns"]),
        run.tally,
        elapsed,
        output,
        args,
        run.readers[0][1] if len(run.readers) == 1 else run.places,
    )
    return 0


class _Pipeline:
    """The books read, solved and written, file after file: a pipeline of threads
    (pyarrow and the core release the GIL). Batches are read ahead, solved
    one or two at a time and written one behind, in order; a fixed number of
    batches is in flight, so memory stays bounded.
    """

    def __init__(self, books: Any, args: argparse.Namespace, options: Any) -> None:
        self.books, self.args, self.options = books, args, options
        self.tally = books.Tally()
        self.smile = Smile(args.plot_all) if args.plot is not None else None
        # Put-call parity fits across the rows of an expiry: each book is read whole.
        self.parity = books.fits_parity(args.forward)
        self.chunk = None if self.parity else args.chunk_size
        self.results: tuple[str, ...] = books.result_names(
            args.greeks, args.bid_ask_vols, parity=self.parity
        )
        self.readers: list[tuple[str, Any]] = []  # (name, reader), in the order given
        self.places = Places()  # where the rows of each book start, for the summary
        self.writer: Any = None
        self.out: Output | None = None
        self.columns: str | None = None  # as the summary names them, from the first batch
        self._writing: Future[None] | None = None
        self._solving: deque[tuple[int, Future[Any]]] = deque()
        self._sides: list[bool] = []  # per book: a chain's puts before its strike
        self._chosen = False  # the columns, on the first batch

    def open(self, path: str, name: str, cleanup: contextlib.ExitStack) -> None:
        """Opens a book, its header checked (against the first book's, after the
        first); the results follow from its columns."""
        books, args = self.books, self.args
        reader = _open_book(
            books, path, name, self.chunk, self.results, self.options, args.skip_rows
        )
        cleanup.callback(reader.close)
        above = reader.format == "csv" and books.labels_puts_first(reader.above, reader.delimiter)
        self._sides.append(bool(self.options["puts_first"] or above))
        if self.readers:
            first, opened = self.readers[0]
            agree(books, (first, opened.names), (name, reader.names), self.options)
            if self.parity:
                alike(books, (first, opened.names), (name, reader.names), self._sides, self.options)
        self.readers.append((name, reader))
        # Option symbols' expiry, kind and strike, where the book has no column for them.
        names = books.header_columns(reader.names, self.results, **self.options)
        symbols = books.from_symbols(names)
        self.results = books.result_names(args.greeks, args.bid_ask_vols, symbols, self.parity)

    def run(self, cleanup: contextlib.ExitStack) -> None:
        """Every batch of every book solved and written, in order."""
        readers = [reader for _, reader in self.readers]
        self._pool = cleanup.enter_context(ThreadPoolExecutor(max_workers=1))
        self._width = max(SOLVERS[reader.format] for reader in readers)
        self._solvers = cleanup.enter_context(ThreadPoolExecutor(max_workers=self._width))
        totals = [reader.rows_total for reader in readers]
        total = None if None in totals else sum(totals)
        fraction = readers[0].progress if len(readers) == 1 else None
        with progress_bar(total, fraction) as self._progress:
            if self.parity:
                self._run_together()
            else:
                for index, (name, reader) in enumerate(self.readers):
                    self.places.add(self.tally.book_rows, name, reader)
                    self._run_one(name, reader, self._sides[index])
        if not self._chosen:  # no rows: the header alone is the book's columns
            try:
                self.options["columns"] = self._first_columns(readers[0].names)
            except self.books.BookError as exc:
                raise CliError(read_message(exc, *self.readers[0])) from None
        if self.writer is not None:
            assert self.out is not None
            with self.out.writing():
                if self._writing is not None:
                    self._writing.result()
                self.writer.close()

    def _run_one(self, name: str, reader: Any, puts_first: bool) -> None:
        """The batches of one book solved and handed on; its read errors as one line."""
        books = self.books
        options = {**self.options, "puts_first": puts_first}
        read = 0
        try:
            for batch in _read_ahead(reader.batches()):
                if not self._chosen:  # every batch of every book read as the first is
                    options["columns"] = self.options["columns"] = self._first_columns(batch)
                job = self._solvers.submit(_solve_batch, books, batch, self.args, options)
                self._solving.append((read, job))
                read += batch.num_rows
                if len(self._solving) >= self._width:
                    self._finish_one(lambda exc, before: row_message(exc, name, reader, before))
            while self._solving:
                self._finish_one(lambda exc, before: row_message(exc, name, reader, before))
        except (books.ArrowException, OSError, books.BookError) as exc:  # read errors
            raise CliError(read_message(exc, name, reader)) from None

    def _run_together(self) -> None:
        """Every book read whole and solved as one table, for put-call parity: an
        expiry's calls may be in one book and its puts in another. The rows keep
        their order, book after book, and the fits are counted once."""
        books, read, rows = self.books, [], 0
        for name, reader in self.readers:
            self.places.add(rows, name, reader)
            try:
                for batch in _read_ahead(reader.batches()):  # one, or none for no rows
                    read.append((name, batch))
                    rows += batch.num_rows
            except (books.ArrowException, OSError, books.BookError) as exc:  # read errors
                raise CliError(read_message(exc, name, reader)) from None
        if not rows:
            return  # the header alone is the books' columns
        try:
            batch = books.one_batch(read)
        except books.BookError as exc:
            raise CliError(str(exc)) from None
        options = {**self.options, "puts_first": self._sides[0]}
        try:
            options["columns"] = self.options["columns"] = self._first_columns(batch)
        except books.BookError as exc:
            raise CliError(self.places.message(exc)) from None
        job = self._solvers.submit(_solve_batch, books, batch, self.args, options)
        self._solving.append((0, job))
        self._finish_one(lambda exc, _: self.places.message(exc))

    def _finish_one(self, refused: Callable[[Any, int], str]) -> None:
        """The oldest batch in flight: counted, plotted and handed to the writer.

        ``refused`` words a row refused (strict), from the rows read before its batch.
        """
        rows_before, future = self._solving.popleft()
        try:
            result = future.result()
        except self.books.BookError as exc:
            raise CliError(refused(exc, rows_before)) from None
        solved = _count(result, self.tally)
        self.columns = self.columns or _describe(solved.found)
        if self.smile is not None:
            self.smile.add(solved)
        if self.writer is not None:
            assert self.out is not None
            if self._writing is not None:
                with self.out.writing():
                    self._writing.result()
            self._writing = self._pool.submit(self.writer.write, solved.table)
            self.out.written = self.out.direct  # cannot be taken back from here on
        self._progress(solved.table.num_rows if solved.book_rows is None else solved.book_rows)

    def _first_columns(self, batch: Any) -> Any:
        """The columns of the book, chosen on its first batch; the notes on them printed."""
        books = self.books
        found, notes = books.choose_columns(batch, self.results, **self.options)
        self._chosen = True
        for text in self.tally.merge(books.Tally(warnings=notes)):
            print(f"quelta: warning: {text}", file=sys.stderr)
        return found


def _describe(found: Any) -> str:
    return ", ".join(f"{c}={n!r}" for c, n in found.items())


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
