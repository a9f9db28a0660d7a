"""Closed forms of the Greeks the batch kernel does not compute, Black and normal.

The kernel gives the implied volatility with the discounted forward delta,
gamma and vega of each row; theta, rho, vanna and volga, and the spot delta
and gamma, are formed here on whole arrays of those results, range by range
in the threads of the solve.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import numpy.typing as npt

from quelta import _kernel
from quelta._threads import split

FloatArray = npt.NDArray[np.float64]
CodeArray = npt.NDArray[np.int8]

DAYS_PER_YEAR = 365.0  # ACT/365F: a theta per calendar day, a book's days to years
_DBL_MIN = float(np.finfo(np.float64).tiny)
_DBL_MAX = float(np.finfo(np.float64).max)


def log_moneyness(f: FloatArray, k: FloatArray) -> FloatArray:
    """ln(F/K) as the kernel takes it: the log of the quotient where that is a
    normal number, else ln F - ln K (a quotient that overflows or underflows)."""
    ratio = f / k
    x: FloatArray = np.log(ratio)
    wide = ~((np.abs(ratio) >= _DBL_MIN) & (np.abs(ratio) <= _DBL_MAX))
    if wide.any():
        x[wide] = np.log(f[wide]) - np.log(k[wide])
    return x


# Below this argument the normal CDF (5.7e-300 at -37) nears DBL_MIN and then
# loses bits to underflow: D K N(z) is then taken from the Mills ratio.
_CDF_TAIL = -37.0


def strike_term(z: FloatArray, dk: FloatArray, density: FloatArray) -> FloatArray:
    """D K N(z), z = d2 for a call and -d2 for a put, to full relative precision.

    ``F delta - V`` would keep only the difference of two close numbers.
    Where N(z) underflows, D K N(z) is ``D K n(d2) N(z) / n(z)`` with
    ``K n(d2) = F n(d1)``: the density term ``D F n(d1) = density * 100``
    (vega per point over sqrt(T)) times the Mills ratio
    ``N(z) / n(z) = sqrt(pi / 2) erfcx(-z / sqrt(2))``.
    """
    b = np.empty_like(z)
    _kernel.elementary("norm_cdf", z, b, None)
    b *= dk
    tail = np.flatnonzero(z < _CDF_TAIL)
    if tail.size:
        mills = z[tail] * -math.sqrt(0.5)
        _kernel.elementary("erfcx", mills, mills, None)
        b[tail] = 100.0 * density[tail] * math.sqrt(0.5 * math.pi) * mills
    return b


def _moneyness(
    model: str, f: FloatArray, k: FloatArray, w: FloatArray
) -> tuple[FloatArray, FloatArray]:
    """(d1, d2) of Black, each from ln(F/K) as the kernel forms d1 (d1 - w
    would lose the bits of d2 that N(d2) needs in its tail); (d, d) with
    ``d = (F - K) / w`` for the normal model, where both are one number."""
    if model == "normal":
        d = (f - k) / w
        return d, d
    x = log_moneyness(f, k)
    return (x + 0.5 * w * w) / w, (x - 0.5 * w * w) / w


def _carry_term(
    model: str, call: Any, d2: FloatArray, f: FloatArray, k: FloatArray, parts: Any
) -> FloatArray:
    """``B = F delta_F - V``, the price's derivative in ``ln D`` at fixed F.

    Black: ``D K N(d2)`` for a call, ``-D K N(-d2)`` for a put, formed from
    N(d2) (:func:`strike_term`). Normal: ``F delta_F - V`` itself, whose
    terms are of one size, ``D n(d)`` times the forward's scale, in the wings.
    """
    disc, dv, root_t, delta, v = parts
    if model == "normal":
        return f * delta - v  # type: ignore[no-any-return]
    b = strike_term(np.where(call, d2, -d2), disc * k, dv / root_t)
    b[~call] *= -1.0
    return b


def time_and_vol_greeks(
    model: str,
    book: Any,
    vol: FloatArray,
    delta: FloatArray,
    gamma: FloatArray,
    vega: FloatArray,
    code: CodeArray,
    threads: int | None,
    more: bool = True,
) -> tuple[FloatArray | None, ...]:
    """Theta, rho, vanna and volga (None without ``more``); delta and gamma
    turned to the spot in place.

    ``book`` holds the flat inputs of the solve (``forward``, ``strike``,
    shifted for a shifted Black model, ``expiry``, ``price``, ``discount``,
    ``is_call``, ``growth``, ``rate_and_yield()``). With the discounted price
    ``V = D * P(F, K, w)``, ``w = sigma * sqrt(T)``, ``P`` Black's or
    Bachelier's, the kernel's forward delta ``delta_F`` and vega per point
    ``vega``, and ``B = F delta_F - V``, at fixed ``S``, ``r`` and ``q``
    where ``F = S exp((r - q) T)``:

    - ``-dV/dT = q F delta_F - r B - D sigma dP/dw / (2 sqrt(T))``, the
      last term ``50 vega sigma / T`` under either model;
    - ``dV/dr = T B``;
    - ``d(delta_F)/dsigma = -D n(d1) d2 / sigma`` (Black),
      ``-D n(d) d / sigma`` (normal, ``d = (F - K) / w``);
    - ``d(vega)/dsigma = vega d1 d2 / sigma`` (Black), ``vega d**2 / sigma``
      (normal).

    A forward held fixed is ``q = r``: ``-dV/dT = r V - 50 vega sigma / T``
    and ``dV/dr = -T V``. ``D n(d1) = 100 vega / (F sqrt(T))`` (Black) and
    ``D n(d) = 100 vega / sqrt(T)`` (normal) come from the kernel's vega,
    which keeps its relative precision in the wings. Spot delta, gamma and
    vanna are the forward ones times ``F/S`` (gamma twice). NaN where the
    code is not ok.
    """
    n = vol.size
    theta, rho, vanna, volga = (np.empty(n if more else 0) for _ in range(4))
    rate, carry = book.rate_and_yield() if more else (vol, vol)
    growth = book.growth

    def run(lo: int, hi: int) -> None:
        if more:  # from the forward delta, before it is turned to the spot
            f, k, t, v = (a[lo:hi] for a in (book.forward, book.strike, book.expiry, book.price))
            disc = book.discount[lo:hi]
            r, q, sigma, dv = rate[lo:hi], carry[lo:hi], vol[lo:hi], vega[lo:hi]
            call = book.is_call[lo:hi] != 0
            with np.errstate(all="ignore"):
                root_t = np.sqrt(t)
                d1, d2 = _moneyness(model, f, k, sigma * root_t)
                decay = 50.0 * dv * sigma / t  # D sigma dP/dw / (2 sqrt(T)), vega per point
                if growth is None:
                    # F fixed: q = r, and q A - r B = r V with no cancellation.
                    theta[lo:hi] = (r * v - decay) / DAYS_PER_YEAR
                    rho[lo:hi] = -t * v / 100.0
                else:
                    parts = (disc, dv, root_t, delta[lo:hi], v)
                    b = _carry_term(model, call, d2, f, k, parts)
                    theta[lo:hi] = (q * f * delta[lo:hi] - r * b - decay) / DAYS_PER_YEAR
                    rho[lo:hi] = t * b / 100.0
                density = 100.0 * dv / (root_t if model == "normal" else f * root_t)
                vanna[lo:hi] = -density * d2 / (100.0 * sigma)
                volga[lo:hi] = dv * d1 * d2 / (100.0 * sigma)
            bad = code[lo:hi] != 0
            for out in (theta, rho, vanna, volga):
                out[lo:hi][bad] = np.nan
        if growth is not None:
            g = growth[lo:hi]
            delta[lo:hi] *= g
            gamma[lo:hi] *= g * g
            if more:
                vanna[lo:hi] *= g

    split(n, threads, run)
    return (theta, rho, vanna, volga) if more else (None,) * 4
