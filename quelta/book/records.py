"""A CSV book read again with Python's csv module, which says where a row breaks
the rules that pyarrow reads past: the line of a fault, and the line of a row."""

from __future__ import annotations

import contextlib
import csv
import io
from collections.abc import Iterator, Sequence
from typing import IO

import pyarrow as pa

from quelta.book.headers import LINE_ENDS

MULTILINE = r"[\r\n]"  # a cell spanning lines, which only a quote can open


class Records:
    """The data records of a CSV file whose header is line ``header_line``."""

    def __init__(self, path: str, gzip: bool, delimiter: str, header_line: int) -> None:
        self.path = path
        self.gzip = gzip
        self.delimiter = delimiter
        self.header_line = header_line
        self._line = 1  # of the record being read, when the csv module raises

    def text(self) -> IO[str]:
        """The book's text, read again from the start."""
        stream = pa.input_stream(self.path, compression="gzip" if self.gzip else None)
        return io.TextIOWrapper(stream, encoding="utf-8-sig", newline="")

    @contextlib.contextmanager
    def _records(self, strict: bool) -> Iterator[Iterator[tuple[int, list[str]]]]:
        """The data records, each with the line it starts on."""
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

    def fault(self, width: int) -> str | None:
        """The first structural fault of the file, with its line, or None.

        A quote that is not closed is named at the line on which its row starts.
        """
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
        """The line on which data row ``row`` (0-based) starts, if known."""
        try:
            with self._records(strict=False) as records:
                for seen, (start, _) in enumerate(records):
                    if seen == row:
                        return start
        except (csv.Error, UnicodeDecodeError, OSError):
            pass
        return None


def swallowing_cell(spanning: Sequence[pa.Array], delimiter: str, width: int) -> str | None:
    """Whether cells spanning lines swallowed rows: the message if they did, else None.

    For a stream, which cannot be read again: a swallowed row shows as a
    line of the cell with a field for every column.
    """
    for cells in spanning:
        for cell in cells.to_pylist():
            lines = LINE_ENDS.split(cell.encode())[1:]
            if any(line.count(delimiter.encode()) >= width - 1 for line in lines):
                return (
                    f"a quote opened before {cell[:40]!r} is not closed: the cell runs "
                    "on over whole rows of the book"
                )
    return None
