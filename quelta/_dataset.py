"""Datasets of CSV or Parquet files solved on a ``dask.distributed`` cluster.

The engine of :func:`quelta.dask.solve_dataset` and of ``quelta solve
DATASET -o OUT_DIR --scheduler ...``: the files are cut into pieces (a file,
or some row groups of a Parquet file), each piece is solved by a task that
writes one part file, and the parts are moved into OUT_DIR together, beside
the mark that tells a later run the directory is quelta's to replace.
"""

from __future__ import annotations

import contextlib
import os
import tempfile
import time
import uuid
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field, replace
from typing import Any

from quelta._arrays import check_model
from quelta._out_dir import check_out_dir, dataset_files, put_in_place, remove_tree
from quelta.book import (
    GREEKS,
    SYMBOL_ROLES,
    Tally,
    common_schema,
    creation_mode,
    fits_parity,
    from_symbols,
    header_columns,
    labels_puts_first,
    result_names,
    unfold,
)

PIECE_ROWS = 1_000_000  # Parquet rows per task: large files are split at row groups
# ---------------------------------------------------------------- datasets of files


@dataclass(frozen=True)
class _Piece:
    """The rows of one task: a file, or some row groups of a Parquet file."""

    path: str  # absolute, as the workers open it
    name: str  # as shown in messages
    out: str  # the part file written
    row_groups: tuple[int, ...] | None = None  # None: the whole file
    rows: int | None = None  # known for Parquet
    skip_rows: int | None = None  # lines before a CSV book's header; None: found by its names


@dataclass
class DatasetSummary(Tally):
    """What :func:`solve_dataset` did, added up over all parts: a :class:`quelta.book.Tally`.

    ``files`` and ``parts`` are the files read and the part files written;
    ``columns`` maps canonical columns to the header names of the first file.
    """

    files: int = 0
    parts: int = 0
    columns: dict[str, str] = field(default_factory=dict)

    def add(self, other: DatasetSummary) -> None:
        """Adds the summary of another part."""
        self.merge(other)
        self.columns = self.columns or other.columns


def _row_groups(meta: Any) -> list[tuple[tuple[int, ...], int]]:
    """A Parquet file's row groups in runs of about ``PIECE_ROWS`` rows, with their rows."""
    runs: list[tuple[tuple[int, ...], int]] = []
    groups: list[int] = []
    rows = 0
    for g in range(meta.num_row_groups):
        groups.append(g)
        rows += meta.row_group(g).num_rows
        if rows >= PIECE_ROWS:
            runs.append((tuple(groups), rows))
            groups, rows = [], 0
    if groups:
        runs.append((tuple(groups), rows))
    return runs


def _pieces(
    files: Sequence[str],
    out_dir: str,
    results: Sequence[str],
    options: Mapping[str, Any],
    skip_rows: int | None = None,
) -> tuple[list[_Piece], Any]:
    """Tasks for the files (one per CSV file, Parquet files cut at row groups) and their schema.

    The columns option symbols give (expiry, kind, strike) come first among the
    results where a file's symbols give them. A file whose forwards are fitted
    from put-call parity is one task, read whole: its expiries are not cut.
    """
    import pyarrow as pa
    import pyarrow.parquet as pq

    from quelta.book import BookError, BookReader, is_parquet

    cut: list[tuple[str, tuple[int, ...] | None, int | None]] = []
    schemas = []
    for path in files:
        if not is_parquet(path):
            try:  # the header only: every cell of a CSV book is read as text
                reader = BookReader(path, 1, skip_rows=skip_rows)
            except BookError as exc:
                raise BookError(f"{path}: {exc}") from None
            reader.close()
            schemas.append(pa.schema([(n, pa.string()) for n in reader.names]))
            cut.append((path, None, None))
            continue
        try:
            meta = pq.read_metadata(path)
        except pa.ArrowInvalid as exc:
            raise BookError(f"cannot read {path}: {exc}") from None
        schemas.append(meta.schema.to_arrow_schema())
        if meta.num_rows <= PIECE_ROWS or fits_parity(options.get("forward")):
            cut.append((path, None, meta.num_rows))
            continue
        cut += [(path, groups, rows) for groups, rows in _row_groups(meta)]
    width = max(5, len(str(len(cut) - 1)))
    pieces = [
        _Piece(
            os.path.abspath(path),
            path,
            os.path.join(out_dir, f"part-{i:0{width}d}.parquet"),
            groups,
            rows,
            skip_rows,
        )
        for i, (path, groups, rows) in enumerate(cut)
    ]
    # A side-by-side chain's parts hold its rows as read: one per option.
    schemas = [unfold(s.empty_table(), s.names, **options)[0].schema for s in schemas]
    symbols: set[str] = set()
    for path, schema in zip(files, schemas):
        try:
            symbols.update(from_symbols(header_columns(schema.names, results, **options)))
        except BookError as exc:
            raise BookError(f"{path}: {exc}") from None
    derived = [c for c in SYMBOL_ROLES if c in symbols]
    return pieces, common_schema(schemas, [*derived, *results], files)


def _puts_first(reader: Any, options: Mapping[str, Any]) -> bool:
    """Whether a chain's puts come first: as the options say, or a line above the header."""
    if options.get("puts_first") or reader.format != "csv":
        return bool(options.get("puts_first"))
    return labels_puts_first(reader.above, reader.delimiter)


def _batches(
    books: Any, piece: _Piece, chunk: int | None, options: dict[str, Any]
) -> tuple[list[str], Any]:
    """The column names and the record batches of a piece, read as the command reads them;
    a chain's sides, as its header labels them, into ``options``."""
    reader = books.BookReader(
        piece.path, chunk, row_groups=piece.row_groups, skip_rows=piece.skip_rows
    )
    options["puts_first"] = _puts_first(reader, options)
    return reader.names, reader.batches()


def _solve_piece(
    piece: _Piece,
    valuation_date: object,
    strict: bool,
    chunk: int | None,
    schema: Any,
    greeks: str | Sequence[str] = GREEKS,
    model: str | None = None,
    shift: float | None = None,
    options: Mapping[str, Any] | None = None,
    dates: Mapping[str, str | None] | None = None,
) -> DatasetSummary:
    """Solves one piece and writes its part file, cast to the run's schema (a task, on a worker).

    ``options`` are what decides the columns (``columns``, the constants,
    ``bid_ask_vols``, ``price_unit``); ``dates`` how dates are read.
    """
    import pyarrow as pa

    from quelta import book as books

    summary = DatasetSummary(parts=1)
    part_dir, part_name = os.path.split(piece.out)
    # A fresh name per attempt: a task retried after its worker died never
    # meets the half-written file of the attempt before.
    tmp = os.path.join(part_dir, f".{part_name}.{uuid.uuid4().hex}.tmp")
    try:
        with open(tmp, "wb") as sink:
            try:
                options = dict(options or {})
                names, batches = _batches(books, piece, chunk, options)
                parity = books.fits_parity(options.get("forward"))
                results = books.result_names(greeks, bool(options.get("bid_ask_vols")), (), parity)
                summary.columns = books.header_columns(names, results, **options)
                solving = {**options, **(dates or {}), "model": model, "shift": shift}
                writer = books.BookWriter(sink, "parquet", schema=schema)
                for batch in batches:
                    writer.write(
                        _solve_batch(books, batch, valuation_date, strict, greeks, summary, solving)
                    )
            except books.BookError as exc:
                if exc.row is None:
                    raise books.BookError(f"{piece.name}: {exc}") from None
                raise books.BookError(
                    f"{piece.name} row {summary.book_rows + exc.row + 1}: {exc}"
                ) from None
            except (pa.ArrowInvalid, pa.ArrowNotImplementedError) as exc:
                # A malformed CSV or Parquet file, or a column of a type that
                # cannot become the run's (a list where another file has text).
                raise books.BookError(
                    f"cannot read {piece.name}: {str(exc).strip().splitlines()[0]}"
                ) from None
            writer.close()
        os.replace(tmp, piece.out)
        summary.fits = [replace(fit, book=piece.name) for fit in summary.fits]
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
    return summary


def _solve_batch(
    books: Any,
    batch: Any,
    valuation_date: object,
    strict: bool,
    greeks: str | Sequence[str],
    summary: DatasetSummary,
    solving: Mapping[str, Any],
) -> Any:
    """Solves a record batch into the summary; returns the solved batch."""
    start = time.perf_counter()
    # One thread per task: the cluster's worker processes are the parallelism.
    solved = books.solve_batch(
        batch,
        valuation_date=valuation_date,
        strict=strict,
        greeks=greeks,
        threads=1,
        **solving,
    )
    summary.count(solved, time.perf_counter() - start)
    return solved.table


def solve_dataset(
    dataset: str,
    out_dir: str,
    *,
    client: Any = None,
    valuation_date: object = None,
    strict: bool = False,
    chunk_size: int = 100_000,
    progress: Callable[[int, int | None], None] | None = None,
    greeks: str | Sequence[str] = GREEKS,
    model: str | None = None,
    shift: float | None = None,
    date_format: str | None = None,
    expiry_time: str | None = None,
    timezone: str | None = None,
    skip_rows: int | None = None,
    **options: Any,
) -> DatasetSummary:
    """Solve the files of a dataset on a Dask cluster into a partitioned Parquet dataset.

    Parameters
    ----------
    dataset : str
        A CSV or Parquet file, a glob of them, or a directory holding them
        (see :func:`dataset_files`); files are taken in sorted order.
    out_dir : str
        The result: ``part-NNNNN.parquet`` files, one per CSV file and one per
        row group or run of row groups (about a million rows) of a Parquet
        file, numbered in the order of the input rows. Each holds the rows
        with the results appended, as ``quelta solve BOOK -o OUT.parquet``
        writes them, all parts with one schema (a column whose type differs
        between files is text), so that ``out_dir`` reads back as one
        dataset. The parts are written to a hidden directory beside
        ``out_dir``, which is renamed to ``out_dir`` only when every part is
        done: a failed run leaves no ``out_dir`` and an existing one (empty,
        or an earlier result of quelta) untouched. Any other existing
        directory, and one that is the dataset, lies inside it or holds its
        files, is refused (OSError) before anything is written.
    client : distributed.Client, optional
        The cluster to run on; by default the current client. Workers open
        the files by path, so the dataset and ``out_dir`` must be on storage
        the workers share.
    valuation_date, strict, model, shift, date_format, expiry_time, timezone
        As for :func:`quelta.solve_table`. With ``strict=True`` the first
        unreadable cell fails the run (:class:`quelta.book.BookError` naming
        the file and row).
    chunk_size : int
        Rows solved at a time in a task. With ``forward="parity"`` each file
        is one chain, read and fitted whole, and ``chunk_size`` does not apply.
    skip_rows : int, optional
        Lines before the header of every CSV file; by default each file's
        header is the first of its first lines that names two book columns.
    progress : callable, optional
        Called on this machine as each part is done, with its number of rows
        and the number of rows of the dataset (None unless it is all Parquet).
    greeks : "all" or sequence of str
        The Greeks appended, as for :func:`quelta.solve_table`.
    **options
        ``columns``, the constants (``rate``, ``spot``, ``expiry``, ...),
        ``bid_ask_vols``, ``price_unit`` and ``puts_first``, as for
        :func:`quelta.solve_table`. A CSV file that is a side-by-side chain
        has its sides as a line above its header labels them.
    """
    from distributed import as_completed, get_client

    check_model("black" if model is None else model, shift)  # before anything is written
    check_out_dir(out_dir, dataset)
    files = dataset_files(dataset, out_dir)
    if client is None:
        client = get_client()
    out_dir = os.path.abspath(out_dir)
    parent, name = os.path.split(out_dir)
    tmp = tempfile.mkdtemp(dir=parent, prefix=f".{name}.", suffix=".tmp")
    os.chmod(tmp, creation_mode(0o777))  # as a directory made by mkdir, not mkdtemp's 0700
    old = f"{tmp}.old"  # where an earlier result waits while the new one is renamed in
    futures: list[Any] = []
    try:
        parity = fits_parity(options.get("forward"))
        results = result_names(greeks, bool(options.get("bid_ask_vols")), parity=parity)
        pieces, schema = _pieces(files, tmp, results, {**options, "model": model}, skip_rows)
        futures = client.map(
            _solve_piece,
            pieces,
            valuation_date=valuation_date,
            strict=strict,
            chunk=None if parity else chunk_size,
            schema=schema,
            greeks=greeks,
            model=model,
            shift=shift,
            options=options,
            dates={"date_format": date_format, "expiry_time": expiry_time, "timezone": timezone},
            pure=False,
        )
        summary = DatasetSummary(files=len(files), parts=len(pieces))
        known = [p.rows for p in pieces if p.rows is not None]
        total = sum(known) if len(known) == len(pieces) else None
        for future in as_completed(futures):
            part = future.result()  # the first failure raises here
            if progress is not None:
                progress(part.book_rows, total)  # rows of the books, as total counts
        for part in client.gather(futures):  # in input order: the first file's columns
            summary.add(part)
        put_in_place(tmp, out_dir, old)
        return summary
    except BaseException:
        if futures:
            client.cancel(futures)
        remove_tree(tmp)
        # Cut short between the renames, the earlier result is put back.
        if os.path.lexists(old):
            if os.path.lexists(out_dir):
                remove_tree(old)
            else:
                os.rename(old, out_dir)
        raise
