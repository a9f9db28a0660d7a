"""Every fact about book files: suffixes, magic bytes, reading and writing CSV and Parquet."""

from __future__ import annotations

import contextlib
import csv
import io
import os
import re
import stat
from collections.abc import Iterator, Sequence
from typing import IO, Any

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pa_csv
from pyarrow import ArrowException as ArrowException

from quelta.book.columns import ALIASES, FITTED, BookError, normalise

# The output's format follows its name; these are the names each is written under.
PARQUET_SUFFIXES = (".parquet", ".pq", ".parq")
CSV_SUFFIXES = (".csv", ".tsv", ".txt")
_PARQUET_MAGIC = b"PAR1"
_GZIP_MAGIC = b"\x1f\x8b"  # a gzip-compressed book (.csv.gz), read through pyarrow's gzip
_BLOCK_SIZE = 4 << 20  # bytes of CSV per record batch before slicing to the chunk size
_MAX_BLOCK_SIZE = 1 << 30  # the largest block tried for a file with a longer row
_LINE_ENDS = re.compile(rb"\r\n|\r|\n")  # a header line may end in any of them
_MULTILINE = r"[\r\n]"  # a cell spanning lines, which only a quote can open
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


def sniff_delimiter(header_line: str) -> str:
    return max(",;\t", key=header_line.count)


class _Prefixed(io.RawIOBase):
    """A byte stream with the bytes already read from it put back in front."""

    def __init__(self, head: bytes, rest: Any) -> None:
        self._head = head
        self._rest = rest

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        if self._head:
            n = min(len(buffer), len(self._head))
            buffer[:n] = self._head[:n]
            self._head = self._head[n:]
            return n
        data = self._rest.read(len(buffer))
        buffer[: len(data)] = data
        return len(data)


def _first_line(stream: Any) -> tuple[bytes, bytes]:
    """The header line of a byte stream (with its line end) and the bytes read past it."""
    data = b""
    while True:
        found = _LINE_ENDS.search(data)
        # A CR at the end of what was read may be the first half of CR LF.
        if found and not (found.group() == b"\r" and found.end() == len(data)):
            return data[: found.end()], data[found.end() :]
        more = stream.read(1 << 16)
        if not more:
            return data, b""
        data += more


_HEADER_SEARCH = 50  # lines searched for the header (chain downloads put a few above it)


def _looks_like_header(line: bytes) -> bool:
    """Whether a line names at least two of a book's columns."""
    try:
        text = line.decode("utf-8-sig").rstrip("\r\n")
    except UnicodeDecodeError:
        return False
    fields = next(csv.reader([text], delimiter=sniff_delimiter(text)), [])
    known = {alias for aliases in ALIASES.values() for alias in aliases}
    return sum(normalise(f) in known for f in fields) >= 2


def _header_lines(stream: Any, skip_rows: int | None) -> tuple[list[bytes], bytes, bool]:
    """The lines up to and including the header, the bytes read past it, and
    whether the header was found (by its names, or after ``skip_rows`` lines).

    Without ``skip_rows``, the header is the first of the first lines that
    names two columns; if none does, line 1.
    """
    lines: list[bytes] = []
    rest = b""
    while True:
        line, rest = _first_line(_Prefixed(rest, stream))
        lines.append(line)
        if skip_rows is not None:
            if len(lines) > skip_rows or not line:
                return lines, rest, True
        elif _looks_like_header(line):
            return lines, rest, True
        elif len(lines) >= _HEADER_SEARCH or not line:
            return lines[:1], b"".join(lines[1:]) + rest, False


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
        self._line = 1  # of the record Python's csv reads, in _records
        if isinstance(source, str):
            mode = os.stat(source).st_mode
            if stat.S_ISFIFO(mode) or stat.S_ISCHR(mode) or stat.S_ISSOCK(mode):
                # Not seekable: read once, front to back, as standard input is.
                source = self._owned = open(source, "rb", buffering=0)
        if isinstance(source, str):
            with open(source, "rb") as probe:
                magic = probe.read(len(_PARQUET_MAGIC))
            self.path = source
            if magic.startswith(_PARQUET_MAGIC):
                self._open_parquet(source)
                return
            self._file = pa.OSFile(source, "rb")
            self._size = self._file.size()
            self.gzip = magic.startswith(_GZIP_MAGIC)
            stream: Any = self._file
            if self.gzip:
                stream = pa.CompressedInputStream(self._file, "gzip")
        else:
            stream = source
            first = stream.readline()
            if first.startswith(_GZIP_MAGIC):
                self.gzip = True
                stream = pa.CompressedInputStream(_Prefixed(first, stream), "gzip")
            else:
                stream = _Prefixed(first, stream)
        self.format = "csv"
        lines, rest, self.header_found = _header_lines(stream, skip_rows)
        first = lines[-1]
        if lines[0].startswith(_PARQUET_MAGIC):
            raise BookError("a Parquet book must be read from a file, not a stream")
        self.header_line = len(lines)  # 1-based
        self._header = sum(len(line) for line in lines)
        if self._file is not None and not self.gzip:
            self._file.seek(self._header)  # pyarrow reads on after the header
        else:
            stream = _Prefixed(rest, stream)
        try:
            line = first.decode("utf-8-sig" if len(lines) == 1 else "utf-8")
        except UnicodeDecodeError:
            raise BookError("not a UTF-8 text file") from None
        if not line.strip():
            raise BookError("empty, expected a header row")
        self.delimiter = sniff_delimiter(line)
        try:
            self.names = next(
                csv.reader([line.rstrip("\r\n")], delimiter=self.delimiter, strict=True)
            )
        except (csv.Error, StopIteration) as exc:
            raise BookError(f"malformed CSV header ({exc})") from None
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
        try:
            reader = pa_csv.open_csv(
                self._stream,
                # A stream is read on this thread, in Python's read(), so that
                # signals are handled while it waits for input.
                read_options=pa_csv.ReadOptions(
                    column_names=self.names,
                    block_size=block,
                    use_threads=self._file is not None,
                ),
                parse_options=pa_csv.ParseOptions(
                    delimiter=self.delimiter, newlines_in_values=True
                ),
                convert_options=pa_csv.ConvertOptions(
                    column_types={name: pa.string() for name in self.names},
                    strings_can_be_null=False,
                    quoted_strings_can_be_null=False,
                ),
            )
        except pa.ArrowInvalid as exc:
            if "Empty CSV file" in str(exc):  # a header and no rows, on a stream
                return
            raise
        yield from reader

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
        _, rest, _ = _header_lines(stream, self.header_line - 1)
        self._stream = _Prefixed(rest, stream)

    def _check_quotes(self, batch: pa.RecordBatch) -> None:
        """Refuses a book in which a quote opened and never closed as CSV closes one.

        pyarrow reads such a quote on to the next quote character, or the end
        of the book, as one cell, swallowing the rows between. Only a cell
        spanning lines can be one, so the book is read again, strictly, the
        first time one appears.
        """
        spanning = [
            column.filter(pc.match_substring_regex(column, _MULTILINE))
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
        # A stream cannot be read again: a swallowed row shows as a line of
        # the cell with a field for every column.
        for cells in spanning:
            for cell in cells.to_pylist():
                lines = _LINE_ENDS.split(cell.encode())[1:]
                fields = len(self.names) - 1
                if any(line.count(self.delimiter.encode()) >= fields for line in lines):
                    raise BookError(
                        f"a quote opened before {cell[:40]!r} is not closed: the cell runs "
                        "on over whole rows of the book"
                    )

    def text(self) -> IO[str]:
        """The book's text, read again from the start (a CSV file only)."""
        assert self.path is not None
        stream = pa.input_stream(self.path, compression="gzip" if self.gzip else None)
        return io.TextIOWrapper(stream, encoding="utf-8-sig", newline="")

    @contextlib.contextmanager
    def _records(self, strict: bool) -> Iterator[Iterator[tuple[int, list[str]]]]:
        """The data records of the CSV file, each with the line it starts on.

        Read again with Python's csv module, which says where a row breaks
        the rules (pyarrow reads on); ``_line`` is the line of the record
        being read when it raises.
        """
        limit = csv.field_size_limit()
        csv.field_size_limit(2**31 - 1)  # a long cell is no fault (the default is 128 kB)
        self._line = 1

        def records(f: IO[str]) -> Iterator[tuple[int, list[str]]]:
            reader = csv.reader(f, delimiter=self.delimiter, strict=strict)
            for _ in range(self.header_line):  # the lines above the header, and the header
                next(reader, None)
            self._line = reader.line_num + 1
            for record in reader:
                if record:
                    yield self._line, record
                self._line = reader.line_num + 1

        try:
            with self.text() as f:
                yield records(f)
        finally:
            csv.field_size_limit(limit)

    def fault(self) -> str | None:
        """The first structural fault of a CSV file, with its line, or None.

        A quote that is not closed is named at the line on which its row starts.
        """
        if self.path is None or self.format != "csv":
            return None
        width = len(self.names)
        try:
            with self._records(strict=True) as records:
                for start, record in records:
                    if len(record) != width:
                        return (
                            f"line {start}: {len(record)} fields, expected {width} as in the header"
                        )
        except csv.Error as exc:
            if "unexpected end of data" in str(exc) or "expected after" in str(exc):
                return (
                    f"line {self._line}: a quote opened in this row is not closed as CSV closes one"
                )
            return f"line {self._line}: malformed CSV ({exc})"
        except UnicodeDecodeError:
            return "not a UTF-8 text file"
        return None

    def line_of_row(self, row: int) -> int | None:
        """The line on which data row ``row`` (0-based) of a CSV file starts, if known."""
        if self.path is None or self.format != "csv":
            return None
        try:
            with self._records(strict=False) as records:
                for seen, (start, _) in enumerate(records):
                    if seen == row:
                        return start
        except (csv.Error, UnicodeDecodeError, OSError):
            pass
        return None

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
