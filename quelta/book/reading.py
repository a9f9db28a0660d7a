"""Reading a book: its columns chosen, its cells and constants read into the numbers solved."""

from __future__ import annotations

import contextlib
from collections.abc import Collection, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pyarrow as pa

from quelta._arrays import Reason
from quelta.book.cells import (
    Cells,
    as_array,
    from_numpy,
    mostly_text,
    read_constant,
    read_kinds,
    read_models,
    read_numbers,
    text_array,
    text_numbers,
)
from quelta.book.chains import chain_names, unfold
from quelta.book.columns import (
    EVERY_ROW,
    RESULTS,
    BookError,
    fits_parity,
    from_symbols,
    in_percent,
    resolve_columns,
    typed_role,
)
from quelta.book.expiries import DatedColumn, read_years, valuation_instant
from quelta.book.symbols import Symbols, mostly_not_symbols, read_symbols

MISMATCH = (
    "column {{column!r}}: {{value!r}} names another option than its row's {role} "
    "(column {header!r})"
)


def arrow_column(values: Any) -> pa.Array:
    """A pandas Series (or anything array-like) as an Arrow array."""
    try:
        return as_array(pa.array(values, from_pandas=True))
    except (pa.ArrowInvalid, pa.ArrowTypeError, TypeError):
        # Mixed objects (numbers and text): read each cell as text.
        return pa.array(
            [None if v is None or (isinstance(v, float) and v != v) else str(v) for v in values],
            pa.string(),
        )


def is_dataframe(table: object) -> bool:
    return type(table).__module__.split(".")[0] == "pandas" and hasattr(table, "columns")


def columns_of(table: Any) -> tuple[list[str], Any]:
    """The header names of a table and a function giving a column as an Arrow array."""
    if is_dataframe(table):
        return [str(c) for c in table.columns], lambda name: arrow_column(table[name])
    if isinstance(table, (pa.Table, pa.RecordBatch)):
        names = list(table.column_names)
        return names, lambda name: as_array(table.column(names.index(name)))
    raise TypeError(
        f"expected a pyarrow Table or RecordBatch, a pandas DataFrame or a data frame "
        f"with the Arrow stream interface, got {type(table).__name__}"
    )


def resolve(
    names: list[str],
    column: Any,
    columns: Mapping[str, str] | None,
    results: Sequence[str],
    constants: Collection[str],
    notes: list[str],
    parity: bool = False,
) -> dict[str, str]:
    """The columns of the book (with ``parity``, the forward and discount fitted).

    A numeric role's alias over cells mostly not numbers (tickers under
    ``underlying``), or a symbol's over cells mostly not option symbols
    (tickers under ``symbol``), is passed over where the book can do without it; where
    it cannot, it is kept and its cells are unreadable ones.
    """
    mapped = set((columns or {}).values())
    text = {
        name: role
        for name in names
        if name not in mapped
        and (role := typed_role(name)) is not None
        and (mostly_not_symbols if role == "symbol" else mostly_text)(column(name))
    }
    if text:
        try:
            found = resolve_columns(names, columns, results, constants, text, parity)
        except BookError:
            return resolve_columns(names, columns, results, constants, parity=parity)
        notes += [
            f"column {name!r} is not taken as the {role}: most of its cells are not "
            f"{'option symbols' if role == 'symbol' else 'numbers'} "
            f"(map it with --column {role}={name} or columns={{{role!r}: {name!r}}})"
            for name, role in text.items()
            if name not in found.values()  # taken by another role (tickers under symbol)
        ]
        return found
    return resolve_columns(names, columns, results, constants, parity=parity)


def parity_fit(forward: object, price_unit: str) -> bool:
    """Whether the forward is fitted from put-call parity (``forward="parity"``)."""
    if not fits_parity(forward):
        return False
    if price_unit != "currency":  # the price in currency would need the forward fitted
        raise BookError("forward='parity' (--forward parity) needs prices in currency")
    return True


def given_constants(options: Mapping[str, object], price_unit: str) -> tuple[list[str], bool]:
    """The roles the options give a constant for, and whether the forward is
    fitted from put-call parity instead (``forward="parity"``)."""
    parity = parity_fit(options.get("forward"), price_unit)
    given = [role for role in EVERY_ROW if options.get(role) is not None]
    return [role for role in given if not (parity and role == "forward")], parity


def choose_columns(
    table: Any,
    results: Sequence[str] = RESULTS,
    *,
    columns: Mapping[str, str] | None = None,
    bid_ask_vols: bool = False,
    price_unit: str = "currency",
    **options: object,
) -> tuple[dict[str, str], list[str]]:
    """The columns a table (a book's first batch, or a header's names when it
    has no rows) gives under the options of :func:`solve_batch`, and the
    notes on columns passed over.

    A stream of batches solved with ``columns=`` these reads every batch alike.
    """
    chain = {"columns": columns, "puts_first": options.get("puts_first")}
    if isinstance(table, list):  # a header without rows: no cells to pass a column over
        names, column = chain_names(table, **chain), lambda name: pa.array([], pa.string())
    else:
        names, column = columns_of(unfold(table, columns_of(table)[0], **chain)[0])
    notes: list[str] = []
    given, parity = given_constants(options, price_unit)
    return resolve(names, column, columns, results, given, notes, parity), notes


@dataclass(frozen=True)
class Inputs:
    """The numbers a book is solved from, as read."""

    price: np.ndarray
    bid: np.ndarray | None
    ask: np.ndarray | None
    forward: np.ndarray | None
    spot: np.ndarray | None
    strike: np.ndarray
    expiry: np.ndarray
    is_call: np.ndarray
    unusable: np.ndarray
    discount: np.ndarray | None
    rate: np.ndarray | None
    dividend_yield: np.ndarray | None
    true_vol: np.ndarray | None
    shift: np.ndarray | None  # a column of shifts, row by row
    symbols: dict[str, pa.Array]  # the columns the option symbols give, appended
    underlying: pa.Array | None = None  # names of the underlying (or symbol roots), as text
    normal: np.ndarray | None = None  # the rows a model column puts under the normal model


def read_inputs(
    get: Any,
    found: dict[str, str],
    constants: Mapping[str, float],
    valuation_date: object,
    cells: Cells,
    notes: list[str],
    price_unit: str,
    dates: Any,
    roots: bool = False,
) -> Inputs:
    """Every role of a book read: a column, a constant, or None.

    Option symbols are read where they give a column, and with ``roots``
    (put-call parity, which fits each underlying apart) for their roots
    too, unless an underlying column names it: an unreadable symbol is then
    an unreadable cell even in a book whose columns give its expiry, kind
    and strike, as its row's underlying is unknown.
    """
    n = cells.bad.size

    def number(canon: str) -> np.ndarray | None:
        if canon in constants:
            return np.full(n, constants[canon])
        if canon not in found:
            return None
        if canon in ("rate", "dividend_yield"):
            return _fraction(canon, found, get, cells, notes)
        values, percent = read_numbers(get(canon), found[canon], cells)
        return np.where(percent, values, values / 100) if in_percent(found[canon]) else values

    bid, ask = number("bid"), number("ask")
    price = number("price")
    if price is None:
        assert bid is not None and ask is not None
        price = 0.5 * (bid + ask)
    forward, spot = number("forward"), number("spot")
    if price_unit == "underlying":
        underlying = forward if forward is not None else spot
        price, bid, ask = (None if v is None else v * underlying for v in (price, bid, ask))
    derived = from_symbols(found)
    underlying = get("ticker").cast(pa.string()) if "ticker" in found else None
    dated, strike = None, number("strike") if "strike" in found else None
    sym = _symbols(get, found, cells, roots and underlying is None)
    shown: dict[str, pa.Array] = {}
    if sym is not None:
        underlying = sym.root if underlying is None else underlying
        if "expiry" in derived:
            dated = DatedColumn(found["symbol"], get("symbol"), sym.expiry)
        shown = _shown(sym, derived)
    if "strike" in derived:
        assert sym is not None
        strike = sym.strike
    expiry = read_years(get, found, valuation_date, cells, n, dates, dated)
    is_call, no_kind = _kinds(get, found, cells, sym, strike)
    values = {c: number(c) for c in ("discount", "rate", "dividend_yield", "true_vol", "shift")}
    normal = _models(get, found, cells, values["shift"])
    assert strike is not None and price is not None
    return Inputs(
        price,
        bid,
        ask,
        forward,
        spot,
        strike,
        expiry,
        is_call,
        cells.bad | no_kind,
        **values,
        symbols=shown,
        underlying=underlying,
        normal=normal,
    )


def _symbols(get: Any, found: Mapping[str, str], cells: Cells, roots: bool) -> Symbols | None:
    """The option symbols of a book with a column of them, else None.

    Symbols the book does without are read only to check them (an unreadable
    one is passed), unless parity fits by their ``roots``, which name the
    underlying where no column does.
    """
    if "symbol" not in found:
        return None
    needed = bool(from_symbols(found)) or roots
    seen = cells if needed else Cells(cells.bad.size, strict=False)
    return read_symbols(get("symbol"), found["symbol"], seen)


def _kinds(
    get: Any,
    found: Mapping[str, str],
    cells: Cells,
    sym: Symbols | None,
    strike: np.ndarray | None,
) -> tuple[np.ndarray, np.ndarray]:
    """Each row's kind (from its kind column or its option symbol) and where it
    has none; a row whose symbol names another kind or strike is flagged."""
    own = "kind" in from_symbols(found)
    if own:
        assert sym is not None
        is_call, no_kind = sym.is_call, np.isnan(sym.strike)
    else:
        is_call, no_kind = read_kinds(get("kind"), found["kind"], cells)
    if sym is not None:
        kinds = None if own else np.where(no_kind, np.nan, is_call)
        _agree(sym, found, get("symbol"), cells, kinds, strike)
    return is_call, no_kind


def _shown(sym: Symbols, derived: Sequence[str]) -> dict[str, pa.Array]:
    """The columns of the roles the option symbols give, as appended."""
    unread = np.isnan(sym.strike)
    kinds = [None if u else "call" if c else "put" for c, u in zip(sym.is_call, unread)]
    shown = {
        "expiry": pa.array(sym.expiry, pa.date32()),
        "kind": pa.array(kinds, pa.string()),
        "strike": from_numpy(sym.strike, unread),
    }
    return {name: shown[name] for name in derived}


def _agree(
    sym: Symbols,
    found: Mapping[str, str],
    values: pa.Array,
    cells: Cells,
    kinds: np.ndarray | None,
    strike: np.ndarray | None,
) -> None:
    """Flags the rows whose option symbol names another kind or strike than their
    kind and strike columns (1 for a call, 0 a put, NaN none): one of them is
    misread, so the row is not solved."""
    read = ~np.isnan(sym.strike)
    for role, given, own in (("kind", kinds, sym.is_call), ("strike", strike, sym.strike)):
        if given is None or role not in found:
            continue
        other = read & ~np.isnan(given) & (given != own)
        message = MISMATCH.format(role=role, header=found[role])
        cells.flag(other & ~cells.bad, found["symbol"], values, message)


def header_columns(
    names: Sequence[str],
    results: Sequence[str] = RESULTS,
    *,
    columns: Mapping[str, str] | None = None,
    bid_ask_vols: bool = False,
    price_unit: str = "currency",
    **options: object,
) -> dict[str, str]:
    """The columns a header gives under the options of :func:`solve_batch`, before any row.

    Of ``options``, only the constants (``rate=``, ...) and ``model`` bear on
    the columns: each is refused beside a column of its role. A side-by-side
    chain's header is taken as its rows are read.
    """
    names = chain_names(names, columns=columns, puts_first=options.get("puts_first"))
    given, parity = given_constants(options, price_unit)
    try:
        return resolve_columns(names, columns, results, given, parity=parity)
    except BookError:
        # The cells may yet pass over an alias over text (the first batch
        # decides): refused only if no one column passed over would do.
        mapped = set((columns or {}).values())
        for name in names:
            if name not in mapped and typed_role(name) is not None:
                with contextlib.suppress(BookError):
                    return resolve_columns(names, columns, results, given, [name], parity)
        raise


def expiry_constant(value: object) -> str | None:
    """The expiry given for every row (None for none) as the text of a cell: years, or a date.

    Raises :class:`BookError` for a value that is neither.
    """
    if value is None:
        return None
    if isinstance(value, (int, float, np.integer, np.floating)) and not isinstance(value, bool):
        text = repr(float(value))
    else:
        text = value.isoformat() if hasattr(value, "isoformat") else str(value)
    with contextlib.suppress(BookError):
        return text if np.isfinite(read_constant(text, "expiry")) else None
    with contextlib.suppress(BookError):
        valuation_instant(text)
        return text
    raise BookError(f"expiry: {value!r} is neither years nor a date")


def check_expiry_date(given: str | None, dated: bool) -> None:
    """Refuses an expiry given as a date without a valuation date to count it from."""
    if given is not None and not dated and not np.isfinite(text_numbers(text_array([given]))[0][0]):
        raise BookError(
            f"the expiry {given!r} (--expiry, expiry=) is a date, so a valuation date is "
            "needed (a valuation_date column, or the valuation date option)"
        )


def book_constants(**given: object) -> dict[str, float]:
    """The constants given (None for none), each read as a number or percentage."""
    return {role: read_constant(v, role) for role, v in given.items() if v is not None}


def quoted_in_underlying(
    reason: np.ndarray,
    price: np.ndarray,
    forward: Any,
    strike: np.ndarray,
    is_call: np.ndarray,
    bad: np.ndarray,
) -> list[str]:
    """A note where every quote is below 1% of its forward and every one in the
    money below its intrinsic value, as a book quoted in the coin (0.05 BTC)
    gives when read as money; its quotes out of the money would give
    volatilities far too low."""
    forward = np.broadcast_to(forward, price.shape)
    with np.errstate(invalid="ignore"):
        # A book in money shows it in its first rows: most books cost no more.
        for rows in (slice(0, 1024), slice(None)):
            if np.any((price[rows] >= 0.01 * forward[rows]) & ~bad[rows]):
                return []
        money = (np.where(is_call, forward - strike, strike - forward) > 0) & ~bad
    if money.sum() < 2 or np.any(reason[money] != Reason.BELOW_INTRINSIC):
        return []
    return [
        "every option in the money is priced below its intrinsic value: prices in "
        "units of the underlying need --price-unit underlying (price_unit='underlying')"
    ]


def _fraction(
    canon: str, found: dict[str, str], get: Any, cells: Cells, notes: list[str]
) -> np.ndarray | None:
    """A rate or yield column (None if absent); a note when it looks like percent."""
    if canon not in found:
        return None
    values, percent = read_numbers(get(canon), found[canon], cells)
    with np.errstate(invalid="ignore"):
        if np.any((np.abs(values) > 1) & ~percent):
            what = "rates" if canon == "rate" else "yields"
            notes.append(
                f"column {found[canon]!r} has {what} above 1: {what} are "
                "fractions (0.05 for 5%); percentages need a % sign"
            )
    return values


def _models(get: Any, found: dict[str, str], cells: Cells, shift: np.ndarray | None) -> Any:
    """The rows of the normal model (None without a model column).

    A shift on such a row is a mistake of the row, not of the book: the
    normal model takes forwards and strikes of any sign as they are.
    """
    if "model" not in found:
        return None
    normal = read_models(get("model"), found["model"], cells)
    if shift is not None:
        what = "column {column!r}: a shift of {value!r} on a row of the normal model (column "
        what += repr(found["model"]).replace("{", "{{").replace("}", "}}")
        what += "), which takes no shift"
        cells.flag(normal & ~np.isnan(shift), found["shift"], get("shift"), what)
    return normal
