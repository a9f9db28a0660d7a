"""A book's rows solved under their models: one for all, or each row's own from a model column."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import fields, replace
from typing import Any

import numpy as np

from quelta._arrays import Greeks, solve_greeks
from quelta.book.columns import BookError
from quelta.book.reading import Inputs


def check_shift(found: Mapping[str, str], model: str | None, shift: object) -> None:
    """A shift column leaves no room for a shift argument, nor for the normal model."""
    if "shift" in found and (shift is not None or model == "normal"):
        given = "model='normal'" if model == "normal" else "a shift argument"
        raise BookError(f"column {found['shift']!r}: a shift column and {given}; give one")


def _solve(
    x: Inputs, price: np.ndarray, threads: int | None, more: bool, model: str, shift: float | None
) -> tuple[Greeks, Any]:
    """One solve of the book at the prices given (NaN for unusable rows)."""
    return solve_greeks(
        np.where(x.unusable, np.nan, price) if x.unusable.any() else price,
        x.forward,
        x.strike,
        x.expiry,
        spot=x.spot,
        dividend_yield=x.dividend_yield,
        kind=x.is_call,
        discount=x.discount,
        rate=x.rate,
        threads=threads,
        more=more,
        model=model,
        shift=x.shift if x.shift is not None else shift,
    )


def solve_rows(
    x: Inputs,
    price: np.ndarray,
    threads: int | None,
    more: bool,
    model: str | None,
    shift: float | None,
) -> tuple[Greeks, Any]:
    """The book solved row by row under each row's model, as :func:`_solve` gives.

    With a model column, its normal rows and its Black rows are solved
    apart (the Black ones alone shifted) and put back in row order: each row
    has the bits that solving its model's rows alone gives.
    """
    normal = x.normal
    if normal is None or not normal.any():
        return _solve(x, price, threads, more, model or "black", shift)
    if normal.all():
        return _solve(replace(x, shift=None), price, threads, more, "normal", None)
    # Integer indices: a gather by them costs a tenth of one by a mask.
    parts = [(np.flatnonzero(normal), "normal", None), (np.flatnonzero(~normal), "black", shift)]
    solved = [
        _solve(_rows(x, rows, name), price.take(rows), threads, more, name, s)
        for rows, name, s in parts
    ]

    def put_back(values: Sequence[Any]) -> Any:
        """One result of the parts in row order (None where the parts give none)."""
        if values[0] is None:
            return None
        out = np.empty(len(price), values[0].dtype)
        for (rows, _, _), v in zip(parts, values):
            np.put(out, rows, v)
        return out

    greeks = Greeks(*(put_back(v) for v in zip(*(g for g, _ in solved))))
    return greeks, put_back([f for _, f in solved])


def _rows(x: Inputs, rows: np.ndarray, model: str) -> Inputs:
    """The inputs of some rows (indices) under a model (the normal one takes no shift)."""
    taken = {f.name: getattr(x, f.name) for f in fields(x)}
    taken = {k: v.take(rows) for k, v in taken.items() if isinstance(v, np.ndarray)}
    return replace(x, **{**taken, **({"shift": None} if model == "normal" else {})})
