"""The text of a CSV book: its header (the lines above it, its line, its delimiter)
and pyarrow's reader over the rows after it."""

from __future__ import annotations

import csv
import io
import re
from collections.abc import Iterator, Sequence
from typing import Any

import pyarrow as pa
import pyarrow.csv as pa_csv

from quelta.book.columns import ALIASES, BookError, normalise

LINE_ENDS = re.compile(rb"\r\n|\r|\n")  # a header line may end in any of them
_HEADER_SEARCH = 50  # lines searched for the header (chain downloads put a few above it)


def sniff_delimiter(header_line: str) -> str:
    return max(",;\t", key=header_line.count)


class Prefixed(io.RawIOBase):
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
        found = LINE_ENDS.search(data)
        # A CR at the end of what was read may be the first half of CR LF.
        if found and not (found.group() == b"\r" and found.end() == len(data)):
            return data[: found.end()], data[found.end() :]
        more = stream.read(1 << 16)
        if not more:
            return data, b""
        data += more


def _looks_like_header(line: bytes) -> bool:
    """Whether a line names at least two of a book's columns."""
    try:
        text = line.decode("utf-8-sig").rstrip("\r\n")
    except UnicodeDecodeError:
        return False
    fields = next(csv.reader([text], delimiter=sniff_delimiter(text)), [])
    known = {alias for aliases in ALIASES.values() for alias in aliases}
    return sum(normalise(f) in known for f in fields) >= 2


def header_lines(stream: Any, skip_rows: int | None) -> tuple[list[bytes], bytes, bool]:
    """The lines up to and including the header, the bytes read past it, and
    whether the header was found (by its names, or after ``skip_rows`` lines).

    Without ``skip_rows``, the header is the first of the first lines that
    names two columns; if none does, line 1.
    """
    lines: list[bytes] = []
    rest = b""
    while True:
        line, rest = _first_line(Prefixed(rest, stream))
        lines.append(line)
        if skip_rows is not None:
            if len(lines) > skip_rows or not line:
                return lines, rest, True
        elif _looks_like_header(line):
            return lines, rest, True
        elif len(lines) >= _HEADER_SEARCH or not line:
            return lines[:1], b"".join(lines[1:]) + rest, False


def header_names(lines: list[bytes]) -> tuple[list[str], str]:
    """The names of the header (the last of ``lines``) and its delimiter."""
    try:
        line = lines[-1].decode("utf-8-sig" if len(lines) == 1 else "utf-8")
    except UnicodeDecodeError:
        raise BookError("not a UTF-8 text file") from None
    if not line.strip():
        raise BookError("empty, expected a header row")
    delimiter = sniff_delimiter(line)
    try:
        names = next(csv.reader([line.rstrip("\r\n")], delimiter=delimiter, strict=True))
    except (csv.Error, StopIteration) as exc:
        raise BookError(f"malformed CSV header ({exc})") from None
    return names, delimiter


def csv_batches(
    stream: Any, names: Sequence[str], delimiter: str, block: int, threads: bool
) -> Iterator[pa.RecordBatch]:
    """The rows after the header as record batches of text, ``block`` bytes at a time."""
    try:
        reader = pa_csv.open_csv(
            stream,
            read_options=pa_csv.ReadOptions(
                column_names=list(names), block_size=block, use_threads=threads
            ),
            parse_options=pa_csv.ParseOptions(delimiter=delimiter, newlines_in_values=True),
            convert_options=pa_csv.ConvertOptions(
                column_types={name: pa.string() for name in names},
                strings_can_be_null=False,
                quoted_strings_can_be_null=False,
            ),
        )
    except pa.ArrowInvalid as exc:
        if "Empty CSV file" in str(exc):  # a header and no rows, on a stream
            return
        raise
    yield from reader
