"""Every fact about book files: suffixes, magic bytes, reading and writing CSV and Parquet.

The text of a CSV file (its header, pyarrow's reader over its rows) is read
in :mod:`quelta.book.headers`, and read again to locate a fault in
:mod:`quelta.book.records`.
"""

from __future__ import annotations

import csv
import io
import os
import stat
from collections.abc import Iterator, Sequence
from typing import IO, Any

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pa_csv
from pyarrow import ArrowException as ArrowException

from quelta.book.columns import FITTED, BookError
from quelta.book.headers import Prefixed, csv_batches, header_lines, header_names
from quelta.book.records import MULTILINE, Records, swallowing_cell

# The output's format follows its name; these are the names each is written under.
PARQUET_SUFFIXES = (".parquet", ".pq", ".parq")
CSV_SUFFIXES = (".csv", ".tsv", ".txt")
_PARQUET_MAGIC = b"PAR1"
_GZIP_MAGIC = b"\x1f\x8b"  # a gzip-compressed book (.csv.gz), read through pyarrow's gzip
_BLOCK_SIZE = 4 << 20  # bytes of CSV per record batch before slicing to the chunk size
_MAX_BLOCK_SIZE = 1 << 30  # the largest block tried for a file with a longer row
_CSV_SLICE = 65_536  # rows of CSV rendered in memory at a time, whatever the batch size
_WHOLE_PIECE = 1 << 20  # rows read at a time of a book read whole


def is_parquet(path: str) -> bool:
    """Whether the file at path is Parquet (by its magic bytes), not CSV."""
    with open(path, "rb") as f:
        return f.read(len(_PARQUET_MAGIC)) == _PARQUET_MAGIC


def creation_mode(mode: int = 0o666) -> int:
    """The permissions a file (0o666) or directory (0o777) made by open or mkdir gets."""
    umask = os.umask(0)  # reading the umask sets it: put back at once
    os.umask(umask)
    return mode & ~umask


class BookReader:
    """Record batches of a CSV or Parquet book, at most ``chunk`` rows each
    (a chunk of None: the whole book as one batch, for fits across its rows).

    ``source`` is a path or a binary file object (standard input). A path
    that is a FIFO or a device (``quelta <(cat book.csv)``) is read as a
    stream, like standard input; a stream is read as CSV, a file as Parquet
    when it starts with the Parquet magic bytes. CSV books, plain or gzip
    (found by its magic bytes), have a header row and are read with every
    cell as text. ``rows_total`` is known for Parquet; ``progress()`` gives
    the fraction of a CSV file consumed so far. ``path`` is the file, when
    the book can be read again to locate a fault (not a stream).
    """

    def __init__(
        self,
        source: str | IO[bytes],
        chunk: int | None,
        row_groups: Sequence[int] | None = None,
        skip_rows: int | None = None,
    ) -> None:
        self.chunk = chunk
        self.header_line = 1  # the line of a CSV book's header
        self.header_found = True  # by its names (or --skip-rows), not line 1 for want of one
        self.row_groups = None if row_groups is None else list(row_groups)
        self.rows_total: int | None = None
        self.delimiter = ","
        self.path: str | None = None
        self.gzip = False
        self._size = 0
        self._file: Any = None  # the file on disk, for the progress
        self._owned: Any = None  # a FIFO or device opened here
        self._quotes_checked = False
        self.above: list[bytes] = []  # the lines above a CSV header
        if isinstance(source, str):
            mode = os.stat(source).st_mode
            if stat.S_ISFIFO(mode) or stat.S_ISCHR(mode) or stat.S_ISSOCK(mode):
                # Not seekable: read once, front to back, as standard input is.
                source = self._owned = open(source, "rb", buffering=0)
        stream = self._open_file(source) if isinstance(source, str) else self._open_stream(source)
        if stream is not None:
            self._read_header(stream, skip_rows)

    def _open_file(self, path: str) -> Any:
        """The byte stream of a CSV file; None for a Parquet one, opened here."""
        with open(path, "rb") as probe:
            magic = probe.read(len(_PARQUET_MAGIC))
        self.path = path
        if magic.startswith(_PARQUET_MAGIC):
            self._open_parquet(path)
            return None
        self._file = pa.OSFile(path, "rb")
        self._size = self._file.size()
        self.gzip = magic.startswith(_GZIP_MAGIC)
        return pa.CompressedInputStream(self._file, "gzip") if self.gzip else self._file

    def _open_stream(self, source: IO[bytes]) -> Any:
        """The byte stream of standard input or a pipe, uncompressed if it is gzip."""
        first = source.readline()
        self.gzip = first.startswith(_GZIP_MAGIC)
        if self.gzip:
            return pa.CompressedInputStream(Prefixed(first, source), "gzip")
        return Prefixed(first, source)

    def _read_header(self, stream: Any, skip_rows: int | None) -> None:
        """Reads up to the end of the header line; pyarrow reads the rows after it."""
        self.format = "csv"
        lines, rest, self.header_found = header_lines(stream, skip_rows)
        if lines[0].startswith(_PARQUET_MAGIC):
            raise BookError("a Parquet book must be read from a file, not a stream")
        self.header_line = len(lines)  # 1-based
        self.above = lines[:-1]
        self._header = sum(len(line) for line in lines)
        if self._file is not None and not self.gzip:
            self._file.seek(self._header)  # pyarrow reads on after the header
        else:
            stream = Prefixed(rest, stream)
        self.names, self.delimiter = header_names(lines)
        self._stream = stream

    def _open_parquet(self, path: str) -> None:
        import pyarrow.parquet as pq

        self.format = "parquet"
        try:
            self._parquet = pq.ParquetFile(path)
        except (pa.ArrowException, OSError) as exc:
            text = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
            raise BookError(f"not a readable Parquet file, truncated or corrupt ({text})") from None
        self.names = list(self._parquet.schema_arrow.names)
        self.rows_total = self._parquet.metadata.num_rows

    def batches(self) -> Iterator[pa.RecordBatch]:
        """The book in batches of ``chunk`` rows; with a chunk of None, whole, as one batch."""
        if self.chunk is not None:
            yield from self._pieces(self.chunk)
            return
        pieces = list(self._pieces(_WHOLE_PIECE))
        if pieces:
            yield pa.Table.from_batches(pieces).combine_chunks().to_batches()[0]

    def _pieces(self, chunk: int) -> Iterator[pa.RecordBatch]:
        if self.format == "parquet":
            yield from self._parquet.iter_batches(batch_size=chunk, row_groups=self.row_groups)
            return
        if self._file is not None and not self.gzip and self._file.tell() == self._size:
            return  # a header and no rows
        block, given = _BLOCK_SIZE, 0
        while True:
            try:
                seen = 0
                for batch in self._csv_batches(block):
                    self._check_quotes(batch)
                    # After a restart, the rows already given are read again and dropped.
                    start, seen = max(given - seen, 0), seen + batch.num_rows
                    for at in range(start, batch.num_rows, chunk):
                        piece = batch.slice(at, chunk)
                        given += piece.num_rows
                        yield piece
                return
            except pa.ArrowInvalid as exc:
                # A row longer than a block: pyarrow needs a block that holds it.
                if "straddl" not in str(exc) or block >= _MAX_BLOCK_SIZE:
                    raise
                if self.path is None:
                    raise BookError(
                        f"a row of more than {block >> 20} MB (a cell that long, or a quote "
                        "left open): on standard input or a pipe it cannot be read again "
                        "with a larger block; give the book as a file"
                    ) from None
                block *= 4
                self._rewind()

    def _csv_batches(self, block: int) -> Iterator[pa.RecordBatch]:
        # A stream is read on this thread, in Python's read(), so that
        # signals are handled while it waits for input.
        threads = self._file is not None
        return csv_batches(self._stream, self.names, self.delimiter, block, threads)

    def _rewind(self) -> None:
        """Back to the first row of a CSV file, on a file of its own.

        The failed pyarrow reader may still be reading ahead on the old
        file; it closes that file when it goes.
        """
        assert self.path is not None
        self._file = pa.OSFile(self.path, "rb")
        if not self.gzip:
            self._file.seek(self._header)
            self._stream = self._file
            return
        stream = pa.CompressedInputStream(self._file, "gzip")
        _, rest, _ = header_lines(stream, self.header_line - 1)
        self._stream = Prefixed(rest, stream)

    def _check_quotes(self, batch: pa.RecordBatch) -> None:
        """Refuses a book in which a quote opened and never closed as CSV closes one.

        pyarrow reads such a quote on to the next quote character, or the end
        of the book, as one cell, swallowing the rows between. Only a cell
        spanning lines can be one, so the book is read again, strictly, the
        first time one appears.
        """
        spanning = [
            column.filter(pc.match_substring_regex(column, MULTILINE))
            for column in ([] if self._quotes_checked else batch.columns)
        ]
        if not any(len(cells) for cells in spanning):
            return
        if self.path is not None:
            self._quotes_checked = True  # the whole file, once
            fault = self.fault()
            if fault is not None:
                raise BookError(fault)
            return
        swallowed = swallowing_cell(spanning, self.delimiter, len(self.names))
        if swallowed is not None:
            raise BookError(swallowed)

    def _records(self) -> Records | None:
        if self.path is None or self.format != "csv":
            return None
        return Records(self.path, self.gzip, self.delimiter, self.header_line)

    def fault(self) -> str | None:
        """The first structural fault of a CSV file, with its line, or None."""
        records = self._records()
        return None if records is None else records.fault(len(self.names))

    def line_of_row(self, row: int) -> int | None:
        """The line on which data row ``row`` (0-based) of a CSV file starts, if known."""
        records = self._records()
        return None if records is None else records.line_of_row(row)

    def progress(self) -> float | None:
        """Fraction of the CSV file read (ahead of the batches solved), if known."""
        if self._file is None or not self._size:
            return None
        try:
            return min(float(self._file.tell()) / self._size, 1.0)
        except (OSError, ValueError):
            return None

    def close(self) -> None:
        if self._file is not None:
            self._file.close()
        if self._owned is not None:
            self._owned.close()


def _not_text(book: str, column: str, kind: pa.DataType) -> BookError:
    return BookError(
        f"{book}: column {column!r} holds {kind}, which cannot be text as in the other books",
        column=column,
    )


def common_schema(
    schemas: Sequence[pa.Schema], results: Sequence[str], books: Sequence[str] = ()
) -> pa.Schema:
    """The one schema of the output of several books (or the parts of one dataset):
    each column once, in the order first met, then the results.

    A column whose type differs between books is text, as CSV reads it; the
    results are always doubles and the reason text, whatever a book holds.
    Raises BookError naming the book (of ``books``, in the order of
    ``schemas``) and a column of it that cannot be text, before any row is
    written.
    """
    types: dict[str, Any] = {}
    seen: dict[str, list[tuple[str, pa.DataType]]] = {}
    for i, schema in enumerate(schemas):
        book = books[i] if i < len(books) else f"book {i + 1}"
        for f in schema:
            if f.name in results:
                continue
            seen.setdefault(f.name, []).append((book, f.type))
            if types.setdefault(f.name, f.type) != f.type:
                types[f.name] = pa.string()
    for column, kind in types.items():
        if kind == pa.string():
            for book, held in seen[column]:
                try:
                    pa.array([], held).cast(pa.string())
                except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
                    raise _not_text(book, column, held) from None
    fields = [pa.field(n, t) for n, t in types.items()]
    text = {"reason": pa.string(), "kind": pa.string(), "expiry": pa.date32()}
    fields += [pa.field(r, text.get(r, pa.float64())) for r in results]
    return pa.schema(fields)


def one_batch(named: Sequence[tuple[str, pa.RecordBatch]]) -> pa.RecordBatch:
    """Books of one header, each read whole as one batch and given with its name, as
    one batch, in order, column by column (a chain repeats names): a column whose
    type differs between them is text, as in their output (:func:`common_schema`).

    Raises BookError naming the book and a column of it that cannot be text.
    """
    batches = [batch for _, batch in named]
    if len(batches) == 1:
        return batches[0]
    arrays = []
    for i, f in enumerate(batches[0].schema):
        types = {b.column(i).type for b in batches}
        kind = types.pop() if len(types) == 1 else pa.string()
        parts = []
        for name, batch in named:
            try:
                parts.append(batch.column(i).cast(kind))
            except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
                raise _not_text(name, f.name, batch.column(i).type) from None
        arrays.append(pa.concat_arrays(parts))
    return pa.RecordBatch.from_arrays(arrays, names=batches[0].schema.names)


class _WholeWrites:
    """A binary file whose every write takes all it is given, or raises.

    A buffered file may take part of a large write and keep quiet about the
    error that stopped it (a reader gone, a full disk), and pyarrow does not
    look at the count; asking again for the rest raises that error instead
    of dropping rows.
    """

    def __init__(self, sink: IO[bytes]) -> None:
        self._sink = sink

    def write(self, data: Any) -> int:
        view = memoryview(data).cast("B")
        while view.nbytes:
            view = view[self._sink.write(view) :]
        return memoryview(data).nbytes

    def __getattr__(self, name: str) -> Any:
        return getattr(self._sink, name)


class BookWriter:
    """Writes solved record batches to a binary stream as CSV or Parquet.

    CSV fields are quoted only where needed (a delimiter, quote, CR or LF
    in the text), so they read back exactly; numbers are written in the
    shortest form that reads back to the same double, and nulls as empty
    fields. ``names`` is the header of a book without rows. With ``schema``
    every batch is cast to it (its columns in its order, a missing one as
    nulls), so that the parts of one dataset share their column types; a
    book without rows then gets that schema too.
    """

    def __init__(
        self,
        sink: IO[bytes],
        fmt: str,
        delimiter: str = ",",
        names: Sequence[str] = (),
        schema: pa.Schema | None = None,
    ) -> None:
        self.sink = _WholeWrites(sink)
        self.names = list(schema.names if schema is not None else names)
        self.format = fmt
        self.delimiter = delimiter
        self.schema = schema
        self._started = False
        self._parquet: Any = None
        self._options = {
            q: pa_csv.WriteOptions(include_header=False, delimiter=delimiter, quoting_style=q)
            for q in ("none", "needed")
        }

    def check(self, schema: pa.Schema) -> None:
        """Raise BookError naming the first column this output cannot hold."""
        if self.format != "csv":
            return
        for f in schema:
            try:  # pyarrow knows which types it can write; ask it with no rows
                empty = pa.Table.from_arrays([pa.nulls(0, f.type)], names=[f.name])
                pa_csv.write_csv(empty, pa.BufferOutputStream())
            except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
                raise BookError(
                    f"column {f.name!r} holds {f.type}, which CSV cannot hold; "
                    "write Parquet instead (-o OUT.parquet)",
                    column=f.name,
                ) from None

    def _start(self, schema: pa.Schema) -> None:
        """Writes the header (or opens the Parquet file) for batches of this schema."""
        schema = self.schema if self.schema is not None else schema
        self.check(schema)  # before anything reaches the sink
        self._started = True
        if self.format == "parquet":
            import pyarrow.parquet as pq

            self._parquet = pq.ParquetWriter(self.sink, schema)
            return
        text = io.StringIO()
        csv.writer(text, delimiter=self.delimiter, lineterminator="\n").writerow(schema.names)
        self.sink.write(text.getvalue().encode("utf-8"))

    def _cast(self, batch: pa.RecordBatch) -> pa.RecordBatch:
        if self.schema is None or batch.schema == self.schema:
            return batch
        columns = [
            batch.column(f.name).cast(f.type)
            if f.name in batch.schema.names
            else pa.nulls(batch.num_rows, f.type)
            for f in self.schema
        ]
        return pa.RecordBatch.from_arrays(columns, schema=self.schema)

    def write(self, batch: pa.RecordBatch) -> None:
        if not self._started:
            self._start(batch.schema)
        batch = self._cast(batch)
        if self._parquet is not None:
            self._parquet.write_batch(batch)
            return
        # Each slice is rendered in memory and reaches the sink whole: pyarrow
        # writes in slices of its own and refuses a field that needs quotes
        # only when it meets it, so rendering straight to the sink would leave
        # the rows before it written twice once they are rendered again quoted.
        for start in range(0, batch.num_rows, _CSV_SLICE):
            part = batch.slice(start, _CSV_SLICE)
            rendered = pa.BufferOutputStream()
            try:
                pa_csv.write_csv(part, rendered, self._options["none"])
            except pa.ArrowInvalid:
                rendered = pa.BufferOutputStream()
                pa_csv.write_csv(part, rendered, self._options["needed"])
            self.sink.write(rendered.getvalue())

    def close(self) -> None:
        """Ends the output; a book without rows still gets its header (or schema)."""
        if not self._started:
            # The names end with the results: (forward, discount,) implied_vol, the
            # Greeks, reason.
            names = self.names
            first = len(names) - names[::-1].index("implied_vol") - 1 if names else 0
            if names[first - len(FITTED) : first] == list(FITTED):  # fitted from parity
                first -= len(FITTED)
            fields = [
                pa.field(n, pa.float64() if first <= i < len(names) - 1 else pa.string())
                for i, n in enumerate(names)
            ]
            self._start(pa.schema(fields))
        if self._parquet is not None:
            self._parquet.close()
