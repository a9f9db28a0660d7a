"""Market arguments as arrays: numbers, option kinds, missing values, the underlying.

Each function reads one argument of the array API the way every caller of
it must (a pandas Series, a masked array, an object array of numbers and
missing values) and refuses, naming the argument, what is not data;
:class:`Book` broadcasts the arguments of one call and lays them out as the
flat buffers the batch kernel takes.
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


MODELS = ("black", "normal")


def check_model(model: object, shift: object) -> str:
    """The model named, checked: ValueError for an unknown one, or a shift
    given with the normal model (which takes any real forward and strike)."""
    if model not in MODELS:
        raise ValueError(f"model: expected 'black' or 'normal', got {model!r}")
    if shift is not None and model == "normal":
        raise ValueError(
            "shift is for the shifted-lognormal model (model='black'); "
            "model='normal' takes negative forwards and strikes as they are"
        )
    return str(model)


class Book:
    """The broadcast inputs of one call, flattened into contiguous buffers.

    ``forward`` and ``strike`` are what the solver takes: with a shift ``d``,
    ``F + d`` and ``K + d``; ``quoted_forward`` is ``F`` itself.
    """

    def __init__(
        self,
        price: object,
        forward: object,
        strike: object,
        expiry: object,
        kind: object,
        discount: object,
        rate: object,
        spot: object = None,
        dividend_yield: object = None,
        model: object = "black",
        shift: object = None,
    ) -> None:
        self.model = check_model(model, shift)
        if discount is not None and rate is not None:
            raise TypeError("give either discount or rate, not both")
        underlying = underlying_of(forward, spot, dividend_yield, discount, rate)
        if strike is None or expiry is None:
            raise TypeError(f"missing argument: {'strike' if strike is None else 'expiry'}")
        named = {
            "price": price,
            underlying: spot if underlying == "spot" else forward,
            "strike": strike,
            "expiry": expiry,
            "kind": kind,
        }
        optional = {"rate": rate, "discount": discount if rate is None else None}
        optional.update(dividend_yield=dividend_yield, shift=shift)
        named.update({k: v for k, v in optional.items() if v is not None})
        self.index = self._common_index(named)
        arrays, masks = self._arrays(named)
        try:
            self.shape: tuple[int, ...] = np.broadcast_shapes(*(a.shape for a in arrays.values()))
        except ValueError:
            shapes = ", ".join(f"{n} {a.shape}" for n, a in arrays.items())
            raise ValueError(f"arguments do not broadcast to one shape: {shapes}") from None
        self._lay_out(arrays)
        self.masked = (
            np.logical_or.reduce([np.broadcast_to(m, self.shape) for m in masks]).reshape(-1)
            if masks
            else None
        )

    @staticmethod
    def _arrays(named: dict[str, object]) -> tuple[dict[str, np.ndarray], list[Any]]:
        """Each argument as an array (int8 flags for the kind), and the masks of missing values."""
        masks = [np.ma.getmaskarray(v) for v in named.values() if np.ma.isMaskedArray(v)]
        arrays: dict[str, np.ndarray] = {}
        for name, v in named.items():
            v = unmasked(name, v)
            if name == "kind":
                arrays[name], missing = as_is_call(v)
                if missing is not None:
                    masks.append(missing)
            else:
                arrays[name] = as_float(name, v)
        return arrays, masks

    def _lay_out(self, arrays: dict[str, np.ndarray]) -> None:
        """The flat buffers of the solve: discount factor, forward (from the
        spot if given), the shift applied to forward and strike."""
        with np.errstate(all="ignore"):
            expiry_a = np.broadcast_to(arrays["expiry"], self.shape)
            if "rate" in arrays:
                disc = np.exp(-arrays["rate"] * expiry_a)
            elif "discount" in arrays:
                disc = np.broadcast_to(arrays["discount"], self.shape)
            else:
                disc = np.ones(self.shape)
            growth = None
            if "spot" in arrays:
                growth = spot_growth(
                    arrays.get("rate"), arrays.get("dividend_yield"), expiry_a, disc
                )
        self.price = self._buffer(arrays["price"], np.float64)
        if growth is None:
            self.growth = None
            self.quoted_forward = self._buffer(arrays["forward"], np.float64)
        else:
            self.growth = self._buffer(growth, np.float64)
            with np.errstate(all="ignore"):
                self.quoted_forward = self._buffer(arrays["spot"] * growth, np.float64)
        self._rate = arrays.get("rate")
        self._yield = arrays.get("dividend_yield")
        self.strike = self._buffer(arrays["strike"], np.float64)
        self.forward = self.quoted_forward
        if "shift" in arrays:
            d = self._buffer(arrays["shift"], np.float64)
            with np.errstate(all="ignore"):
                self.forward, self.strike = self.forward + d, self.strike + d
        self.is_call = self._buffer(arrays["kind"], np.int8)
        self.discount = self._buffer(disc, np.float64)
        self.expiry = self._buffer(arrays["expiry"], np.float64)

    def rate_and_yield(self) -> tuple[FloatArray, FloatArray]:
        """The rate r and the yield q that theta and rho hold fixed, flat.

        r is the rate given, else ``-ln(D) / T``. With a forward given the
        forward is what stays fixed, which is a yield equal to the rate.
        """
        with np.errstate(all="ignore"):
            if self._rate is not None:
                r = self._buffer(self._rate, np.float64)
            else:
                r = -np.log(self.discount) / self.expiry
        if self.growth is None:
            return r, r
        if self._yield is None:
            return r, np.zeros_like(r)
        return r, self._buffer(self._yield, np.float64)

    @staticmethod
    def _common_index(named: dict[str, object]) -> Any:
        """The index shared by the pandas Series arguments, or None if there are none."""
        index, first = None, ""
        for name, value in named.items():
            idx = series_index(value)
            if idx is None:
                continue
            if index is None:
                index, first = idx, name
            elif not idx.equals(index):
                raise ValueError(
                    f"pandas Series {first} and {name} have different indexes; NumPy "
                    "broadcasting pairs values by position, so align them first"
                )
        return index

    def _buffer(self, a: np.ndarray, dtype: type) -> np.ndarray:
        """a broadcast to the book's shape as a flat, contiguous buffer.

        An array of the right layout is used in place; anything else
        (broadcast, strided, misaligned, other dtypes) is copied once.
        """
        out: np.ndarray = np.require(np.broadcast_to(a, self.shape), dtype, ["C", "A"])
        return out.reshape(-1)

    def wrap(self, flat: np.ndarray, name: str) -> Any:
        """A flat result in the book's shape: a pandas Series, an array or a scalar."""
        out = flat.reshape(self.shape)
        if self.index is not None and out.ndim == 1 and out.size == len(self.index):
            return sys.modules["pandas"].Series(out, index=self.index, name=name)
        return out[()] if out.ndim == 0 else out
