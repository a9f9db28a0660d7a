"""Volatilities of one model as volatilities of another: Black, shifted Black, normal.

A volatility is turned into the undiscounted price of the out-of-the-money
option (the call at or above the forward, the put below it) under the model
it was quoted in, and that price is inverted under the other. The option out
of the money carries the whole time value with no intrinsic part, so neither
step subtracts the intrinsic value from a price close to it.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from quelta import _kernel
from quelta._arrays import Reason, check_model, implied_volatility
from quelta._greeks import log_moneyness
from quelta._inputs import as_float

FloatArray = npt.NDArray[np.float64]


_SPLIT = 2.0**27 + 1.0  # Veltkamp's constant: a double as the sum of two 26-bit halves


def _product_error(a: FloatArray, b: FloatArray, p: FloatArray) -> FloatArray:
    """``a b - p`` exactly, for ``p`` the rounded product (Dekker's two-product)."""
    ca, cb = _SPLIT * a, _SPLIT * b
    a_hi, b_hi = ca - (ca - a), cb - (cb - b)
    a_lo, b_lo = a - a_hi, b - b_hi
    out: FloatArray = ((a_hi * b_hi - p) + a_hi * b_lo + a_lo * b_hi) + a_lo * b_lo
    return out


def exact_log_moneyness(f: FloatArray, k: FloatArray) -> FloatArray:
    """ln(F/K) of the doubles F and K to about an ulp of itself, not through the rounded F/K.

    The quotient ``q`` is off by its residual ``r = F - q K``, exact as
    ``(F - fl(q K)) - (q K - fl(q K))``; ``ln(F/K) = ln q + r / F`` to far
    below an ulp of ``ln q``. The quotient's own rounding would move
    ``ln(F/K)`` by up to half an ulp of 1, and a Black price at total
    volatility ``s`` by ``|d ln(price) / d ln(F/K)|`` (``1 / s`` at the money,
    ``|ln(F/K)| / s**2`` beyond) times that: hundreds of ulps at ``s = 0.01``.
    """
    q = f / k
    x = log_moneyness(f, k)
    p = q * k
    r = (f - p) - _product_error(q, k, p)
    # A residual beyond half an ulp of q (times K) is no residual: a split
    # that overflowed or underflowed, or a quotient that did.
    refine = np.abs(r) <= 2.0**-52 * np.abs(f)
    out: FloatArray = np.where(refine, x + r / f, x)
    return out


def black_otm_price(f: FloatArray, k: FloatArray, s: FloatArray) -> FloatArray:
    """Undiscounted Black price of the out-of-the-money option, total volatility s.

    The call at or above the forward, the put below it: ``sqrt(F K) b(-|x|,
    s)`` with ``x = ln(F/K)`` and ``b`` the core's normalised Black call,
    which keeps its relative precision where ``F N(theta d1)`` and ``K
    N(theta d2)`` agree to all but a few of their digits (tiny total
    volatilities far from the money): their difference would carry their
    rounding magnified by their size over the price, thousands of ulps.
    """
    x = -np.abs(exact_log_moneyness(f, k))
    b = np.empty_like(x)
    _kernel.normalised_black(x, np.ascontiguousarray(s, dtype=np.float64), b, None)
    return np.sqrt(f) * np.sqrt(k) * b


def normal_otm_price(f: FloatArray, k: FloatArray, s: FloatArray) -> FloatArray:
    """Undiscounted Bachelier price of the out-of-the-money option,
    ``s (n(u) - u N(-u))`` with ``u = |F - K| / s``."""
    u = np.abs(f - k) / s
    out = np.empty_like(u)
    _kernel.elementary("normal_time_value", u, out, None)
    return s * out


def _source_reason(model: str, vol: Any, f: Any, k: Any, t: Any) -> Any:
    """The reason a quoted volatility has no price: the checks of the solve."""
    cases = [
        ~(np.isfinite(vol) & np.isfinite(f) & np.isfinite(k) & np.isfinite(t)),
        t <= 0,
        (vol <= 0) | ((f <= 0) | (k <= 0) if model == "black" else False),
    ]
    codes = [Reason.NOT_FINITE, Reason.NON_POSITIVE_EXPIRY, Reason.NON_POSITIVE_INPUT]
    return np.select(cases, codes, Reason.OK).astype(np.int8)


def convert_volatility(
    vol: npt.ArrayLike,
    forward: npt.ArrayLike,
    strike: npt.ArrayLike,
    expiry: npt.ArrayLike,
    *,
    from_model: str = "black",
    to_model: str = "normal",
    shift: npt.ArrayLike | None = None,
    reason: bool = False,
) -> Any:
    """Annualised volatility of one model turned into that of another.

    Parameters
    ----------
    vol : array_like
        Annualised volatility under ``from_model``.
    forward, strike, expiry : array_like
        ``F``, ``K`` and ``T`` in years; all arguments broadcast.
    from_model, to_model : {"black", "normal"}
        The models; ``"black"`` with a ``shift`` is the shifted-lognormal
        model, Black on ``(F + d, K + d)``.
    shift : array_like, optional
        The shift ``d``, applied to each side that is ``"black"``.
    reason : bool, default False
        Also return the int8 :class:`quelta.Reason` codes.

    Returns
    -------
    vol : ndarray of float64 (a float64 scalar for scalars)
        NaN where the price has no volatility under ``to_model`` (a Black
        target with ``F + d`` or ``K + d`` not positive, a price too far
        out of the money to be a double), or where ``vol`` has no price.
    reason : ndarray of int8, only with ``reason=True``
        As :func:`quelta.implied_volatility` gives them; the same codes where
        the input volatility has no price (``vol <= 0`` is
        ``NON_POSITIVE_INPUT``).

    Notes
    -----
    The result is as accurate as the price and its inversion. A Black price
    is formed from the core's normalised Black function, to a few ulps of
    relative precision at every moneyness and volatility, from ``ln(F/K)``
    as a double (whose rounding moves the price by about ``|ln(F/K)| /
    (sigma**2 T)`` times an ulp far out of the money); the inversions add a
    few ulps times the condition number of the target's implied volatility.

    Examples
    --------
    >>> import quelta
    >>> round(float(quelta.convert_volatility(0.2, 100.0, 100.0, 1.0)), 6)
    19.947114
    """
    check_model(from_model, None)
    check_model(to_model, shift if from_model == "normal" else None)
    named = {"vol": vol, "forward": forward, "strike": strike, "expiry": expiry}
    if shift is not None:
        named["shift"] = shift
    arrays = np.broadcast_arrays(*(as_float(n, v) for n, v in named.items()))
    shape = arrays[0].shape
    # Flat, contiguous float64: the layout of the kernel's elementary functions.
    sigma, f, k, t, *d = (np.ascontiguousarray(a, dtype=np.float64).reshape(-1) for a in arrays)
    with np.errstate(all="ignore"):
        fs, ks = (f + d[0], k + d[0]) if d and from_model == "black" else (f, k)
        s = sigma * np.sqrt(t)
        price_of = black_otm_price if from_model == "black" else normal_otm_price
        price = price_of(fs, ks, s)
    kind = np.where(k >= f, 1, -1)
    target_shift = d[0] if d and to_model == "black" else None
    out, code = implied_volatility(
        price, f, k, t, kind=kind, model=to_model, shift=target_shift, reason=True
    )
    source = _source_reason(from_model, sigma, fs, ks, t)
    code = np.where(source != Reason.OK, source, code).astype(np.int8)
    out = np.where(source != Reason.OK, np.nan, out)
    out, code = out.reshape(shape)[()], code.reshape(shape)[()]
    return (out, code) if reason else out
