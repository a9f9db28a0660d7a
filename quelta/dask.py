"""quelta on Dask: lazy DataFrames and arrays, and datasets of files solved on a cluster.

- :func:`solve` maps :func:`quelta.solve_table` over the partitions of a Dask
  DataFrame and returns the lazy result;
- :func:`implied_volatility` and :func:`greeks` do what their namesakes in
  :mod:`quelta` do, block by block, on Dask arrays;
- :func:`solve_dataset` solves a dataset of CSV or Parquet files on a
  ``dask.distributed`` cluster and writes a partitioned Parquet dataset, the
  engine of ``quelta solve DATASET -o OUT_DIR --scheduler ...``.

Every task calls a function of the installed ``quelta`` package by name, so
workers need nothing but ``pip install quelta``. Each row is solved on its
own, so a result does not depend on how the rows are partitioned: it equals
bit for bit the single-machine solve of the same rows. With
``forward="parity"`` the forwards are fitted per partition (per file for a
dataset), which must hold whole expiries.

Dask is imported on first use: ``pip install 'quelta[dask]'``.
"""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from typing import Any

import numpy as np

import quelta
from quelta._arrays import check_model
from quelta._dataset import DatasetSummary, solve_dataset
from quelta._out_dir import MARK, check_out_dir, dataset_files
from quelta.book import GREEKS

__all__ = [
    "MARK",
    "DatasetSummary",
    "check_out_dir",
    "dataset_files",
    "greeks",
    "implied_volatility",
    "solve",
    "solve_dataset",
]

_INSTALL = "quelta.dask needs Dask: pip install 'quelta[dask]'"


def _dask_array() -> Any:
    try:
        import dask.array as da
    except ImportError:
        raise ImportError(_INSTALL) from None
    return da


# ---------------------------------------------------------------- DataFrames


def solve(
    ddf: Any,
    *,
    valuation_date: object = None,
    strict: bool = False,
    columns: Any = None,
    greeks: str | Sequence[str] = GREEKS,
    model: str | None = None,
    shift: float | None = None,
    date_format: str | None = None,
    expiry_time: str | None = None,
    timezone: str | None = None,
    **options: Any,
) -> Any:
    """Implied volatility and Greeks of every row of a Dask DataFrame, lazily.

    Takes the arguments of :func:`quelta.solve_table` (``options``: its
    constants, ``bid_ask_vols`` and ``price_unit``) and returns a Dask
    DataFrame with the same partitions: the input columns, then
    ``implied_vol``, the Greeks chosen (by default ``delta``, ``gamma`` and
    ``vega``) and ``reason``. Missing
    or ambiguous columns raise :class:`quelta.book.BookError` here, before
    anything is computed; with ``strict=True`` an unreadable cell raises when
    its partition is computed. With ``forward="parity"`` each partition is
    fitted on its own: give each its whole expiries (a chain per partition,
    as ``dd.read_csv`` gives one file per partition with ``blocksize=None``).
    """
    from quelta.book import BookWarning, solve_table

    # The result's dtypes are those solve_table gives a partition with rows;
    # Dask's stand-in rows may be unreadable, hence strict=False here.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", BookWarning)
        meta = solve_table(
            ddf._meta_nonempty,
            valuation_date=valuation_date,
            columns=columns,
            greeks=greeks,
            model=model,
            shift=shift,
            date_format=date_format,
            expiry_time=expiry_time,
            timezone=timezone,
            **options,
        ).iloc[:0]
    # One thread per task: the parallelism is Dask's (its workers and their threads).
    return ddf.map_partitions(
        solve_table,
        valuation_date=valuation_date,
        strict=strict,
        columns=columns,
        greeks=greeks,
        threads=1,
        model=model,
        shift=shift,
        date_format=date_format,
        expiry_time=expiry_time,
        timezone=timezone,
        meta=meta,
        **options,
    )


# ---------------------------------------------------------------- arrays


def _stacked(
    function: str, fields: tuple[str, ...], model: str, names: tuple[str, ...], *blocks: Any
) -> np.ndarray:
    """One block of results, the fields stacked along a new last axis (as float64)."""
    args: dict[str, Any] = dict(zip(names, blocks), model=model)
    if function == "implied_volatility":
        got = dict(zip(fields, quelta.implied_volatility(**args, reason=True, threads=1)))
    else:
        got = quelta.greeks(**args, threads=1)._asdict()
    return np.stack([np.asarray(got[f], dtype=np.float64) for f in fields], axis=-1)


def _blockwise(function: str, fields: tuple[str, ...], model: str, **named: Any) -> list[Any]:
    da = _dask_array()
    # Checked here, before anything is computed, as the NumPy functions check it.
    check_model(model, named.get("shift"))
    named = {k: v for k, v in named.items() if v is not None}
    arrays = da.broadcast_arrays(*(da.asarray(v) for v in named.values()))
    ndim = arrays[0].ndim
    index = "abcdefghijklmnopqrstuvwxy"[:ndim]
    pairs = [x for a in arrays for x in (a, index)]
    # One solve per block for all fields; reason codes are small integers,
    # exact as doubles, and are turned back into int8 below.
    stacked = da.blockwise(
        _stacked,
        index + "z",
        function,
        None,
        fields,
        None,
        model,
        None,
        tuple(named),
        None,
        *pairs,
        new_axes={"z": len(fields)},
        dtype=np.float64,
        token=f"quelta-{function}",
    )
    out = [stacked[..., i] for i in range(len(fields))]
    code = fields.index("reason")
    out[code] = out[code].astype(np.int8)
    return out


def implied_volatility(
    price: Any,
    forward: Any = None,
    strike: Any = None,
    expiry: Any = None,
    *,
    spot: Any = None,
    dividend_yield: Any = None,
    kind: Any = "call",
    discount: Any = None,
    rate: Any = None,
    model: str = "black",
    shift: Any = None,
    reason: bool = False,
) -> Any:
    """:func:`quelta.implied_volatility` on Dask arrays, block by block, lazily.

    Arguments are Dask arrays, NumPy arrays or scalars and broadcast against
    each other; chunks are aligned by Dask. Returns a float64 Dask array (and
    an int8 one of :class:`quelta.Reason` codes with ``reason=True``) whose
    values equal those of :func:`quelta.implied_volatility` bit for bit.
    """
    vol, code = _blockwise(
        "implied_volatility",
        ("vol", "reason"),
        model,
        price=price,
        forward=forward,
        strike=strike,
        expiry=expiry,
        spot=spot,
        dividend_yield=dividend_yield,
        kind=kind,
        discount=discount,
        rate=rate,
        shift=shift,
    )
    return (vol, code) if reason else vol


def greeks(
    price: Any,
    forward: Any = None,
    strike: Any = None,
    expiry: Any = None,
    *,
    spot: Any = None,
    dividend_yield: Any = None,
    kind: Any = "call",
    discount: Any = None,
    rate: Any = None,
    model: str = "black",
    shift: Any = None,
) -> quelta.Greeks:
    """:func:`quelta.greeks` on Dask arrays: a :class:`quelta.Greeks` of Dask arrays."""
    return quelta.Greeks(
        *_blockwise(
            "greeks",
            quelta.Greeks._fields,
            model,
            price=price,
            forward=forward,
            strike=strike,
            expiry=expiry,
            spot=spot,
            dividend_yield=dividend_yield,
            kind=kind,
            discount=discount,
            rate=rate,
            shift=shift,
        )
    )
