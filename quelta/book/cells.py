"""The cells of a book read as numbers and option kinds (dates: see dates.py).

Every Arrow column reaches NumPy through :func:`to_numpy` here, which never
takes pyarrow's pandas-backed conversion (it imports pandas, a quarter of a
second on the first batch of every run, where pandas is installed).
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, replace
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

from quelta._arrays import CALL_WORDS
from quelta.book.columns import MODEL_NAMES, BookError, normalise

_IS_CALL_WORDS = {"1": 1, "true": 1, "yes": 1, "0": 0, "false": 0, "no": 0}
# Cells that mean "no value" rather than a malformed one.
_MISSING = ("", "na", "n/a", "#n/a", "nan", "-nan", "+nan", "null", "none", "#value!", "-")
# What pyarrow's string-to-double cast accepts, so that matching cells always convert.
_NUMBER = r"^[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|(?i:inf|infinity|nan))$"


class Cells:
    """Unreadable cells found while reading the columns of one table.

    Rows are named as rows of the book: ``per_row`` rows of the table are
    one of the book (2 for a side-by-side chain, its call and its put).
    """

    def __init__(self, n: int, strict: bool, per_row: int = 1) -> None:
        self.bad = np.zeros(n, dtype=bool)
        self.strict = strict
        self.per_row = per_row
        self.first: tuple[int, str, str] | None = None  # (row, column, message)
        self.columns: dict[str, BadCells] = {}

    def flag(self, mask: np.ndarray, column: str, values: pa.Array, what: str) -> None:
        if not mask.any():
            return
        self.bad |= mask
        at = int(np.argmax(mask))
        cell, row = values[at].as_py(), at // self.per_row
        message = what.format(value=cell, column=column)
        seen = self.columns.get(column)
        rows = int(mask.sum()) + (0 if seen is None else seen.rows)
        if seen is None or row < seen.row:
            self.columns[column] = BadCells(column, rows, row, repr(cell), message)
        else:
            self.columns[column] = replace(seen, rows=rows)
        if self.strict and (self.first is None or row < self.first[0]):
            self.first = (row, column, message)

    def raise_first(self) -> None:
        if self.first is not None:
            row, column, message = self.first
            raise BookError(message, row=row, column=column)


@dataclass(frozen=True)
class BadCells:
    """The unreadable cells of one column: how many, and the first (0-based row, value)."""

    column: str
    rows: int
    row: int
    value: str
    message: str


def to_numpy(values: pa.Array) -> np.ndarray:
    """A column of numbers as float64 (null as NaN), of booleans as bool (null as False).

    Every Arrow column reaches NumPy here, and every NumPy array reaches Arrow
    through :func:`from_numpy`: pyarrow's own conversions (``to_numpy``,
    ``pa.array``, a Python scalar given to a compute function) import pandas
    where it is installed, a quarter of a second on the first batch of every
    run. The buffers are read as they are instead.
    """
    n = len(values)
    if n == 0:
        return np.zeros(0, dtype=bool if pa.types.is_boolean(values.type) else np.float64)
    if not (pa.types.is_boolean(values.type) or values.type == pa.float64()):
        # An integer beyond 2**53 is the nearest double, not an error.
        values = pc.cast(values, pa.float64(), safe=False)
    validity, data = values.buffers()[:2]
    valid = None
    if values.null_count:
        valid = np.zeros(n, bool) if validity is None else _bits(validity, values.offset, n)
    if pa.types.is_boolean(values.type):
        flags = _bits(data, values.offset, n)
        return flags if valid is None else flags & valid
    if data is None:  # a column of nulls only
        return np.full(n, np.nan)
    out = np.frombuffer(data, np.float64, count=n, offset=8 * values.offset)
    return out if valid is None else np.where(valid, out, np.nan)


def _bits(buffer: pa.Buffer, offset: int, n: int) -> np.ndarray:
    """n bits of an Arrow bitmap from bit ``offset`` on, as bool."""
    bits = np.unpackbits(np.frombuffer(buffer, np.uint8), bitorder="little", count=offset + n)
    return bits[offset:].astype(bool)


def from_numpy(values: np.ndarray, missing: np.ndarray | None = None) -> pa.Array:
    """A 1-D NumPy array of numbers or booleans as an Arrow array, null where ``missing``."""
    values = np.ascontiguousarray(values)
    validity = None
    if missing is not None and missing.any():
        validity = pa.py_buffer(np.packbits(~missing, bitorder="little"))
    if values.dtype == np.bool_:
        kind, data = pa.bool_(), pa.py_buffer(np.packbits(values, bitorder="little"))
    else:
        kind, data = pa.from_numpy_dtype(values.dtype), pa.py_buffer(values)
    return pa.Array.from_buffers(kind, len(values), [validity, data])


def text_array(words: Sequence[str]) -> pa.Array:
    """Words as an Arrow string array (see :func:`to_numpy` for why not ``pa.array``)."""
    encoded = [w.encode("utf-8") for w in words]
    offsets = np.zeros(len(encoded) + 1, np.int32)
    np.cumsum([len(e) for e in encoded], out=offsets[1:])
    data = pa.py_buffer(b"".join(encoded))
    return pa.Array.from_buffers(pa.string(), len(encoded), [None, pa.py_buffer(offsets), data])


def as_array(values: Any) -> pa.Array:
    if isinstance(values, pa.ChunkedArray):
        return values.combine_chunks() if values.num_chunks != 1 else values.chunk(0)
    return values


def cell_values(values: pa.Array, column: str, cells: Cells) -> pa.Array:
    """A column as the values its cells stand for, in the types the readers know.

    Dictionary (categorical) columns are decoded, string views made strings
    and bytes read as UTF-8 text; a cell of bytes that is not UTF-8 is
    unreadable (and null from here on).
    """
    kind = values.type
    if pa.types.is_dictionary(kind):
        return cell_values(values.dictionary_decode(), column, cells)
    if pa.types.is_string_view(kind):
        return values.cast(pa.string())
    if not (
        pa.types.is_binary(kind)
        or pa.types.is_large_binary(kind)
        or pa.types.is_binary_view(kind)
        or pa.types.is_fixed_size_binary(kind)
    ):
        return values
    text = values.cast(pa.binary()).cast(pa.string(), safe=False)
    try:
        text.validate(full=True)
        return text
    except pa.ArrowInvalid:
        pass
    bad = np.array([_not_utf8(b) for b in values.to_pylist()], dtype=bool)
    cells.flag(bad, column, values, "column {column!r}: {value!r} is not UTF-8 text")
    return pc.if_else(from_numpy(bad), pa.nulls(len(text), pa.string()), text)


def _not_utf8(cell: bytes | None) -> bool:
    try:
        if cell is not None:
            cell.decode("utf-8")
    except UnicodeDecodeError:
        return True
    return False


def text_numbers(text: pa.Array) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Numbers written as text: (values, unreadable, written with %).

    Missing cells (empty, NA, #N/A, ...) are NaN and not unreadable.
    """
    try:  # the common case: every cell a plain number
        values = pc.cast(text, pa.float64())
        nothing = np.zeros(len(text), dtype=bool)
        return to_numpy(values), nothing, nothing
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
        pass
    s = pc.utf8_trim_whitespace(text)
    percent = pc.ends_with(s, "%")
    s = pc.utf8_trim_whitespace(pc.if_else(percent, pc.utf8_slice_codeunits(s, 0, -1), s))
    number = pc.match_substring_regex(s, _NUMBER)
    missing = pc.or_kleene(
        pc.is_null(s), pc.is_in(pc.utf8_lower(s), value_set=text_array(_MISSING))
    )
    values = pc.cast(pc.if_else(number, s, pa.nulls(len(s), pa.string())), pa.float64())
    out = np.array(to_numpy(values))  # a copy, written below
    pct = to_numpy(pc.and_(percent, number))
    out[pct] /= 100.0
    bad = ~to_numpy(number) & ~to_numpy(missing)
    return out, bad, pct


def read_numbers(values: pa.Array, column: str, cells: Cells) -> tuple[np.ndarray, np.ndarray]:
    """A column as float64 (NaN where missing or unreadable) and where % was written."""
    n = len(values)
    kind = values.type
    if pa.types.is_null(kind):
        return np.full(n, np.nan), np.zeros(n, dtype=bool)
    if pa.types.is_integer(kind) or pa.types.is_floating(kind) or pa.types.is_decimal(kind):
        return (
            to_numpy(values),
            np.zeros(n, dtype=bool),
        )
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        out, bad, pct = text_numbers(values)
        if bad.any():
            cells.flag(bad, column, values, "column {column!r}: {value!r} is not a number")
            out[bad] = np.nan  # a slow-path array, writable
        return out, pct
    bad = ~to_numpy(pc.is_null(values))
    cells.flag(bad, column, values, "column {column!r}: {value!r} is not a number")
    return np.full(n, np.nan), np.zeros(n, dtype=bool)


def read_kinds(values: pa.Array, column: str, cells: Cells) -> tuple[np.ndarray, np.ndarray]:
    """Option kinds as (is_call, missing); unknown kinds are flagged unreadable."""
    n = len(values)
    is_call_column = normalise(column) == "is_call"
    words = _IS_CALL_WORDS if is_call_column else CALL_WORDS
    accepted = "1/0 or true/false" if is_call_column else "call/put, c/p or 1/-1"
    message = "unknown option kind {value!r} in column {column!r} (use " + accepted + ")"
    missing = to_numpy(pc.is_null(values))
    kind = values.type
    if pa.types.is_boolean(kind):
        return to_numpy(values), missing
    if pa.types.is_integer(kind) or pa.types.is_floating(kind):
        num = to_numpy(values)
        calls = num == 1
        puts = num == (0 if is_call_column else -1)
        cells.flag(~(calls | puts | missing), column, values, message)
        return calls, missing
    if not (pa.types.is_string(kind) or pa.types.is_large_string(kind)):
        cells.flag(~missing, column, values, message)
        return np.zeros(n, dtype=bool), missing
    # Few distinct words in a large book: classify each word once.
    encoded = pc.dictionary_encode(pc.utf8_lower(pc.utf8_trim_whitespace(values)))
    flags = np.array(
        [words.get(w, -1) for w in encoded.dictionary.to_pylist()] + [-1], dtype=np.int8
    )
    index = to_numpy(encoded.indices)
    index = np.where(np.isnan(index), len(flags) - 1, index).astype(np.intp)
    flag = flags[index]
    empty = to_numpy(pc.utf8_length(pc.utf8_trim_whitespace(values))) == 0
    missing = missing | (empty if not cells.strict else False)
    cells.flag((flag < 0) & ~missing, column, values, message)
    return flag == 1, missing


_MODEL_WORDS = {word: model for model, words in MODEL_NAMES.items() for word in words}
_MODEL_USE = "; ".join(f"{model}: {', '.join(words)}" for model, words in MODEL_NAMES.items())


def read_models(values: pa.Array, column: str, cells: Cells) -> np.ndarray:
    """Where a model column names the normal model; its other readable cells name Black.

    A cell that names no model, an empty one too, is flagged unreadable: no
    default could tell a normal volatility's price from a lognormal one's.
    """
    # Each distinct cell read once: 1 normal, 0 Black, -1 unknown, -2 empty (or null).
    codes: list[int] = []
    index = np.zeros(len(values), np.intp)
    text = pa.types.is_string(values.type) or pa.types.is_large_string(values.type)
    if text:
        encoded = pc.dictionary_encode(values)
        for word in encoded.dictionary.to_pylist():
            model = _MODEL_WORDS.get(normalise(word))
            codes.append(
                -2 if not word.strip() else -1 if model is None else int(model == "normal")
            )
        number = to_numpy(encoded.indices)
        index = np.where(np.isnan(number), len(codes), number).astype(np.intp)
    flag = np.array([*codes, -2], np.int8)[index]
    if not text:
        flag[~to_numpy(pc.is_null(values))] = -1  # numbers, dates: no model's name
    use = f" (use {_MODEL_USE})"
    what = "column {column!r}: an empty cell, where the row's model is needed"
    cells.flag(flag == -2, column, values, what + use)
    cells.flag(flag == -1, column, values, "unknown model {value!r} in column {column!r}" + use)
    normal: np.ndarray = flag == 1
    return normal


# ---------------------------------------------------------------- solving


def mostly_text(values: pa.Array) -> bool:
    """Whether most of the non-empty cells of a text column are not numbers."""
    if not (pa.types.is_string(values.type) or pa.types.is_large_string(values.type)):
        return False
    values_read, bad, _ = text_numbers(values)
    return int(bad.sum()) > int(np.isfinite(values_read).sum())


def read_constant(value: object, role: str) -> float:
    """One number given for every row: a number, or text read as a cell is (``"5%"`` is 0.05).

    Raises :class:`BookError` naming the role for anything else.
    """
    number = float("nan")
    if isinstance(value, str):
        number = float(text_numbers(pa.array([value], pa.string()))[0][0])
    elif isinstance(value, (int, float, np.integer, np.floating)) and not isinstance(value, bool):
        number = float(value)
    if not np.isfinite(number):
        raise BookError(f"{role}: {value!r} is not a number")
    return number
