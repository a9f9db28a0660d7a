"""Market arguments as arrays: numbers, option kinds, missing values, the underlying.

Each function reads one argument of the array API the way every caller of
it must (a pandas Series, a masked array, an object array of numbers and
missing values) and refuses, naming the argument, what is not data.
"""

from __future__ import annotations

import math
import sys
from typing import Any

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]

CALL_WORDS = {"call": 1, "c": 1, "put": 0, "p": 0, "1": 1, "+1": 1, "-1": 0}


def series_index(value: object) -> Any:
    """The index of a pandas Series, or None for anything else."""
    pd = sys.modules.get("pandas")
    if pd is not None and isinstance(value, pd.Series):
        return value.index
    return None


def is_missing(value: object) -> bool:
    """Whether a cell is a missing value: None, a float NaN or pandas' NA."""
    if value is None:
        return True
    if isinstance(value, (float, np.floating)):
        return bool(value != value)  # NaN, without a ufunc call per cell
    pd = sys.modules.get("pandas")
    return pd is not None and value is pd.NA


def as_float(name: str, value: object) -> FloatArray:
    """value as a float64 array; TypeError naming the argument if not numeric."""
    if series_index(value) is not None:
        if getattr(value.dtype, "kind", "O") in "fiu":  # type: ignore[attr-defined]
            # Nullable pandas dtypes hold pd.NA for missing values.
            out = value.to_numpy(dtype=np.float64, na_value=np.nan)  # type: ignore[attr-defined]
            return out  # type: ignore[no-any-return]
        value = value.to_numpy()  # type: ignore[attr-defined]
    arr = np.asarray(value)
    if arr.dtype.kind in "fiu":
        return arr.astype(np.float64, copy=False)
    if arr.dtype.kind == "O":
        # Numbers and missing values; text is refused as in a str array.
        if any(isinstance(v, (str, bytes)) for v in arr.flat):
            raise TypeError(f"{name}: expected numbers, got strings (object array)")
        na = getattr(sys.modules.get("pandas"), "NA", None)
        try:
            if na is not None and any(v is na for v in arr.flat):
                # None and NaN convert to NaN by themselves; pandas' NA does not.
                cells = [math.nan if v is na else v for v in arr.flat]
                arr = np.array(cells, dtype=object).reshape(arr.shape)
            return arr.astype(np.float64)
        except (TypeError, ValueError) as exc:
            raise TypeError(f"{name}: expected numbers, {exc}") from None
    what = {
        "b": "booleans",
        "U": "strings",
        "S": "bytes",
        "c": "complex numbers",
        "M": "datetimes",
        "m": "timedeltas",
    }.get(arr.dtype.kind, "data")
    raise TypeError(f"{name}: expected numbers, got {what} (dtype {arr.dtype})")


def flag_of(value: object) -> int:
    """1 for a call, 0 for a put; ValueError for anything else."""
    if isinstance(value, (bool, np.bool_)):
        return int(value)
    if isinstance(value, bytes):
        value = value.decode("ascii", "replace")
    if isinstance(value, str):
        flag = CALL_WORDS.get(value.strip().lower())
        if flag is not None:
            return flag
    elif isinstance(value, (int, float, np.integer, np.floating)):
        if value == 1:
            return 1
        if value == -1:
            return 0
    raise ValueError(
        f"kind: unknown option kind {value!r}; use 'call'/'put' (or 'c'/'p'), "
        "1/-1, or True/False for call/put"
    )


def as_is_call(kind: object) -> tuple[npt.NDArray[np.int8], npt.NDArray[np.bool_] | None]:
    """Option kinds as int8 flags, 1 for a call and 0 for a put, and where they are missing.

    A missing kind (None, NaN, pandas' NA) is flagged as a call and marked in
    the mask (None when there is none): its row gets no volatility.
    """
    if series_index(kind) is not None:
        kind = kind.to_numpy()  # type: ignore[attr-defined]
    arr = np.asarray(kind)
    if arr.dtype.kind == "b":
        return arr.astype(np.int8), None
    if arr.dtype.kind in "iuf":
        calls: npt.NDArray[np.bool_] = arr == 1
        known = calls | (arr == -1)
        missing: npt.NDArray[np.bool_] = (
            np.isnan(arr) if arr.dtype.kind == "f" else np.zeros(arr.shape, dtype=np.bool_)
        )
        if not np.all(known | missing):
            flag_of(arr[~(known | missing)].flat[0])  # raises, naming the value
        return (calls | missing).astype(np.int8), missing if missing.any() else None
    if arr.dtype.kind in "US":
        # Few distinct words in a large book: classify each word once.
        words, inverse = np.unique(arr, return_inverse=True)
        if not isinstance(kind, np.ndarray) and {"nan", b"nan"} & set(words.tolist()):
            # NumPy wrote a NaN among the words as the word "nan": keep the objects.
            return as_is_call(np.asarray(kind, dtype=object))
        flags = np.array([flag_of(w) for w in words.tolist()], dtype=np.int8)
        return flags[inverse].reshape(arr.shape), None
    if arr.dtype.kind == "O":
        cache: dict[object, int] = {}
        out: npt.NDArray[np.int8] = np.ones(arr.shape, dtype=np.int8)
        gaps: npt.NDArray[np.bool_] = np.zeros(arr.shape, dtype=np.bool_)
        flat, flat_gaps = out.reshape(-1), gaps.reshape(-1)
        for i, v in enumerate(arr.reshape(-1).tolist()):
            if is_missing(v):
                flat_gaps[i] = True
                continue
            try:
                flat[i] = cache[v]
            except KeyError:
                flat[i] = cache[v] = flag_of(v)
            except TypeError:  # unhashable
                flat[i] = flag_of(v)
        return out, gaps if gaps.any() else None
    raise TypeError(f"kind: expected 'call'/'put' words or flags, got dtype {arr.dtype}")


def underlying_of(
    forward: object, spot: object, dividend_yield: object, discount: object, rate: object
) -> str:
    """ "forward" or "spot": which underlying price the arguments give."""
    if spot is None:
        if forward is None:
            raise TypeError("missing argument: give forward, or spot with rate")
        if dividend_yield is not None:
            raise TypeError("dividend_yield is used only with spot; a forward already includes it")
        return "forward"
    if forward is not None:
        raise TypeError("give either forward or spot, not both")
    if rate is None and discount is None:
        raise TypeError("spot needs rate (or discount) to form the forward")
    return "spot"


def spot_growth(
    rate: np.ndarray | None,
    dividend_yield: np.ndarray | None,
    expiry: np.ndarray,
    discount: np.ndarray,
) -> np.ndarray:
    """F/S = exp((r - q) * T), or exp(-q * T) / D when no rate was given."""
    q = 0.0 if dividend_yield is None else dividend_yield
    if rate is not None:
        return np.asarray(np.exp((rate - q) * expiry))
    return np.asarray(np.exp(-q * expiry) / discount)


def unmasked(name: str, value: object) -> object:
    """A masked array's data with its masked entries replaced by a harmless value.

    The mask itself is kept by the caller: those rows get no volatility.
    """
    if not np.ma.isMaskedArray(value):
        return value
    kind = value.dtype.kind
    if name != "kind":
        return np.ma.filled(value.astype(np.float64) if kind in "iu" else value, np.nan)
    fill: Any = {"b": True, "U": "call", "S": b"call", "O": "call"}.get(kind, 1)
    return np.ma.filled(value, fill)
