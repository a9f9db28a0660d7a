"""Side-by-side chains: a call and a put of one strike on one row, read as two rows.

An exchange's chain download writes the call's columns, the strike, then the
put's under the same names (``Last,Bid,Ask,Strike,Last,Bid,Ask``). pyarrow
keeps the repeated names, pandas suffixes them ``.1`` and Polars
``_duplicated_0``; some exports prefix each side instead (``C_Bid``,
``P_Bid``, ``Call Bid``). Such a book is read as one row per option, the
call of each row before its put: a ``kind`` column, then the columns in the
order of the header, each side's under its name without the repeat or the
prefix, and the columns of neither side (the strike, an expiry) on both rows.
"""

from __future__ import annotations

import csv
import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pyarrow as pa

from quelta.book.columns import ALIASES, BookError, normalise

KIND = "kind"  # the column a chain's rows get, naming each side
_SIDES = ("call", "put")
_QUOTES = {*ALIASES["price"], *ALIASES["bid"], *ALIASES["ask"]}
_KNOWN = {alias for aliases in ALIASES.values() for alias in aliases}
_REPEAT = re.compile(r"^(?P<name>.+?)(?:\.\d+|_duplicated_\d+)$")  # pandas, Polars
_PREFIX = re.compile(r"^(?P<side>c|p|calls?|puts?)[ _.\-]+(?P<name>.+)$", re.IGNORECASE)
# Views have no kernel to take rows in a new order: their plain types do.
_TAKEN = {pa.string_view(): pa.string(), pa.binary_view(): pa.binary()}
_LABELS = {"calls": "call", "call": "call", "puts": "put", "put": "put"}
SYMBOL = "symbol"  # the column of a side's symbols (under Calls, Puts), as written
_SYMBOLS = {"calls": "call", "puts": "put"}  # the headers of a side's symbols


@dataclass(frozen=True)
class Chain:
    """Per column of the rows read (``names``, ``kind`` first): the header's
    column for the call and for the put (-1 where a side has none)."""

    names: tuple[str, ...]
    calls: tuple[int, ...]
    puts: tuple[int, ...]


def _strike(names: Sequence[str], columns: Mapping[str, str] | None) -> int | None:
    """The index of the strike column, if the header has exactly one."""
    if columns and "strike" in columns:
        given = [i for i, n in enumerate(names) if n == columns["strike"]]
        return given[0] if len(given) == 1 else None
    found = [i for i, n in enumerate(names) if normalise(n) in ALIASES["strike"]]
    return found[0] if len(found) == 1 else None


def _side_labels(names: Sequence[str]) -> dict[int, str]:
    """The columns named for a side (``Calls``, ``Puts``: its symbols), one each, by index;
    none unless both sides have one and no other column is named ``symbol``."""
    labels = {i: _SYMBOLS[normalise(n)] for i, n in enumerate(names) if normalise(n) in _SYMBOLS}
    if sorted(labels.values()) != ["call", "put"] or any(normalise(n) == SYMBOL for n in names):
        return {}
    return labels


def _groups(
    names: Sequence[str], strike: int, puts_first: bool
) -> dict[str, tuple[str, dict[str | None, int]]] | None:
    """The columns by name without a repeat or prefix: its spelling, and the column of
    each side (None: of both); None for a header that repeats names otherwise."""
    present = set(names)
    seen: dict[str, list[tuple[str, int, str | None]]] = {}
    labels = _side_labels(names)
    if labels and labels[min(labels)] != ("put" if puts_first else "call"):
        first = names[min(labels)]
        raise BookError(
            f"the header names {first!r} first, but the puts' columns are said to come "
            "first (--puts-first, puts_first=, or a line above the header); keep one"
        )
    for i, name in enumerate(names):
        prefixed = _PREFIX.match(name)
        base: str
        side: str | None
        if i in labels:
            base, side = SYMBOL, labels[i]
        elif prefixed and normalise(name) not in _KNOWN:
            side = "call" if prefixed["side"][0] in "cC" else "put"
            base = prefixed["name"]
        else:
            repeat = _REPEAT.match(name)
            base, side = repeat["name"] if repeat and repeat["name"] in present else name, None
        seen.setdefault(normalise(base), []).append((base, i, side))
    left, right = ("put", "call") if puts_first else ("call", "put")
    groups: dict[str, tuple[str, dict[str | None, int]]] = {}
    for key, members in seen.items():
        sides = [side for _, _, side in members]
        if len(members) == 1 and sides == [None]:
            groups[key] = (members[0][0], {None: members[0][1]})
        elif None not in sides and len(set(sides)) == len(sides):
            groups[key] = (members[0][0], {side: i for _, i, side in members})
        elif sides == [None, None] and members[0][1] < strike < members[1][1]:
            groups[key] = (members[0][0], {left: members[0][1], right: members[1][1]})
        else:
            return None  # a name repeated on one side, or beside a side's own
    return groups


def chain_layout(
    names: Sequence[str], columns: Mapping[str, str] | None = None, puts_first: bool = False
) -> Chain | None:
    """The layout of a side-by-side chain, or None for a header that is not one.

    A chain repeats a price, bid or ask name on both sides of its one strike
    column (or prefixes both sides' names), every other name appears once,
    outside the sides' columns, and no column names the kind.
    """
    strike = _strike(names, columns)
    groups = None if strike is None else _groups(names, strike, puts_first)
    if groups is None or not any(None not in g and k in _QUOTES for k, (_, g) in groups.items()):
        return None
    if any(key in ALIASES["kind"] for key in groups):
        return None  # its rows have kinds of their own: one option a row
    shared = {k: g[None] for k, (_, g) in groups.items() if None in g and g[None] != strike}
    sides = [i for _, g in groups.values() if None not in g for i in g.values()]
    # Repeated names say a side only by their place: nothing else lies among them.
    amid = not any(_PREFIX.match(n) and normalise(n) not in _KNOWN for n in names)
    if any(k in _QUOTES or (amid and min(sides) < i < max(sides)) for k, i in shared.items()):
        return None  # a quote of one side only, or a column amid the sides' own
    calls, puts = [-1], [-1]
    for _, group in groups.values():
        both = group.get(None, -1)
        calls.append(group.get("call", both))
        puts.append(group.get("put", both))
    return Chain((KIND, *(name for name, _ in groups.values())), tuple(calls), tuple(puts))


def labels_puts_first(above: Sequence[bytes], delimiter: str) -> bool:
    """Whether the lines above a header label the puts' columns before the calls'."""
    for line in above:
        text = line.decode("utf-8", "replace").rstrip("\r\n")
        fields = next(csv.reader([text], delimiter=delimiter), [])
        labels = [_LABELS[f] for f in map(normalise, fields) if f in _LABELS]
        if labels:
            return labels[0] == "put"
    return False


def chain_names(names: Sequence[str], **options: Any) -> list[str]:
    """The columns a header's rows are read (and written) with."""
    chain = chain_layout(names, options.get("columns"), bool(options.get("puts_first")))
    return list(names) if chain is None else list(chain.names)


def _interleaved(n: int) -> np.ndarray:
    """Row 2i is row i of the calls, 2i + 1 row i of the puts (rows n + i)."""
    return np.column_stack([np.arange(n), np.arange(n) + n]).ravel()


def _arrow(table: Any, chain: Chain) -> Any:
    n, order = len(table), pa.array(_interleaved(len(table)))
    arrays = [pa.array(np.tile(np.array(_SIDES, dtype=object), n), pa.string())]
    for name, call, put in zip(chain.names[1:], chain.calls[1:], chain.puts[1:]):
        sides = [table.column(c) if c >= 0 else None for c in (call, put)]
        kinds = {s.type for s in sides if s is not None}
        kind = kinds.pop() if len(kinds) == 1 else pa.string()  # as CSV would read both
        kind = _TAKEN.get(kind, kind)
        try:
            parts = [pa.nulls(n, kind) if s is None else s.cast(kind) for s in sides]
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
            types = " and ".join(str(s.type) for s in sides if s is not None)
            raise BookError(
                f"column {name!r} of the calls and the puts holds {types}, which "
                "cannot be read as one column"
            ) from None
        chunks = [c for part in parts for c in getattr(part, "chunks", [part])]
        arrays.append(pa.concat_arrays(chunks).take(order))
    if isinstance(table, pa.RecordBatch):
        return pa.RecordBatch.from_arrays(arrays, names=list(chain.names))
    return pa.Table.from_arrays(arrays, names=list(chain.names))


def _frame(table: Any, chain: Chain) -> Any:
    import pandas as pd

    n = len(table)
    columns: dict[str, Any] = {KIND: np.tile(np.array(_SIDES, dtype=object), n)}
    for name, call, put in zip(chain.names[1:], chain.calls[1:], chain.puts[1:]):
        sides = [table.iloc[:, c] if c >= 0 else pd.Series([None] * n) for c in (call, put)]
        both = pd.concat([s.reset_index(drop=True) for s in sides], ignore_index=True)
        columns[name] = both.iloc[_interleaved(n)].reset_index(drop=True)
    return pd.DataFrame(columns)


def unfold(table: Any, names: Sequence[str], **options: Any) -> tuple[Any, int]:
    """A side-by-side chain as one row per option, and the rows read per row of the
    book (2 for a chain: its call and its put; 1 for any other book, returned as it is)."""
    chain = chain_layout(names, options.get("columns"), bool(options.get("puts_first")))
    if chain is None:
        return table, 1
    if isinstance(table, (pa.Table, pa.RecordBatch)):
        return _arrow(table, chain), 2
    return _frame(table, chain), 2
