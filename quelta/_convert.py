"""Volatilities of one model as volatilities of another: Black, shifted Black, normal.

A volatility is turned into the undiscounted price of the out-of-the-money
option (the call at or above the forward, the put below it) under the model
it was quoted in, and that price is inverted under the other. The option out
of the money carries the whole time value with no intrinsic part, so neither
step subtracts the intrinsic value from a price close to it.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import numpy.typing as npt

from quelta import _kernel
from quelta._arrays import Reason, check_model, implied_volatility
from quelta._inputs import as_float

FloatArray = npt.NDArray[np.float64]


def _norm_cdf(z: FloatArray) -> FloatArray:
    out = np.empty_like(z)
    _kernel.elementary("norm_cdf", z, out, None)
    return out


def _mills(h: FloatArray) -> FloatArray:
    """N(-h) / n(h) = sqrt(pi / 2) erfcx(h / sqrt(2)), exact in the tail."""
    out = h * math.sqrt(0.5)
    _kernel.elementary("erfcx", out, out, None)
    return out * math.sqrt(0.5 * math.pi)


def black_otm_price(f: FloatArray, k: FloatArray, s: FloatArray) -> FloatArray:
    """Undiscounted Black price of the out-of-the-money option, total volatility s.

    With ``theta`` 1 for the call (K >= F) and -1 for the put, the price is
    ``theta (F N(theta d1) - K N(theta d2))``. Where both ``theta d1`` and
    ``theta d2`` are negative (far from the money) the two terms would cancel;
    since ``F n(d1) = K n(d2)`` the price is then ``F n(d1) (Y(-theta d1) -
    Y(-theta d2))`` with the Mills ratio Y, which keeps the terms' common
    factor out of the difference and cannot underflow before the price does.
    """
    theta = np.where(k >= f, 1.0, -1.0)
    x = np.log(f / k)
    d1 = x / s + 0.5 * s
    d2 = d1 - s
    a, b = theta * d1, theta * d2
    direct = theta * (f * _norm_cdf(a) - k * _norm_cdf(b))
    tail = (a < 0) & (b < 0)
    if tail.any():
        n1 = np.exp(-0.5 * d1[tail] ** 2) / math.sqrt(2.0 * math.pi)
        wings = f[tail] * n1 * (_mills(-a[tail]) - _mills(-b[tail]))
        direct[tail] = np.abs(wings)
    return direct


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
    is the difference of two terms, ``F N(theta d1)`` and ``K N(theta d2)``
    (or the Mills-ratio form of the same numbers), whose rounding it carries
    magnified by their sum over the price: about ``1 / (sigma sqrt(T))`` at
    the money and ``|ln(F/K)| / (sigma**2 T)`` in the wings, a few hundred
    ulps for a total volatility of 0.01. The inversions add a few ulps times
    the condition number of the target's implied volatility.

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
