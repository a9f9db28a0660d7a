"""Annualised implied volatilities and Greeks over NumPy-broadcast arguments.

This layer turns market quotes (discounted prices, expiries in years, a
discount factor or a continuously compounded rate, option kinds as words or
flags) into the arguments of :func:`quelta.black_core.compute_trades_greeks`,
which works in total volatility on undiscounted prices with the time fixed
at 1, and turns its results back into annualised terms.

Every argument is broadcast against the others with NumPy's rules; the
broadcast arrays are laid out as contiguous float64 (int8 for the option
flag) buffers and handed to the batch kernel (:mod:`quelta._kernel`, the
code of :func:`quelta.black_core.compute_trades_greeks`), which solves them
in C++ with the GIL released; large books are split between threads.

Quotes without an implied volatility give NaN, never an exception: the
companion int8 code array (``reason=True``, or the ``reason`` field of
:class:`Greeks`) tells why, with the values of :class:`Reason`. Exceptions
are raised only for arguments that cannot be read: non-numeric data, shapes
that do not broadcast, option kinds that are not recognised, or arguments
that exclude each other (``discount`` and ``rate``, ``forward`` and
``spot``).

The quotes may give the underlying as a forward or as a spot with a rate and
a dividend yield; the spot is turned into the forward before the solve, and
the Greeks the core does not compute (theta, rho, vanna, volga, and the spot
delta and gamma) are closed forms on whole arrays of its results.
"""

from __future__ import annotations

from typing import Any, Literal, overload

import numpy as np
import numpy.typing as npt

from quelta import _kernel
from quelta._greeks import DAYS_PER_YEAR, time_and_vol_greeks
from quelta._inputs import CALL_WORDS, MODELS, Book, check_model
from quelta._results import Greeks, Reason
from quelta._threads import split

__all__ = [
    "CALL_WORDS",
    "DAYS_PER_YEAR",
    "MODELS",
    "Greeks",
    "Reason",
    "check_model",
    "greeks",
    "implied_volatility",
    "simd_level",
]

FloatArray = npt.NDArray[np.float64]
CodeArray = npt.NDArray[np.int8]


def simd_level() -> str:
    """The instruction set of the batch kernel in use: "avx512", "avx2" or "scalar".

    Chosen at import: the widest the CPU supports, or the one named by the
    environment variable ``QUELTA_SIMD`` (never above what the CPU has).
    """
    return str(_kernel.simd_level())


def _solve(
    book: Book, threads: int | None, greeks: bool
) -> tuple[FloatArray, FloatArray | None, FloatArray | None, FloatArray | None, CodeArray]:
    """Annualised vol, discounted Greeks (or None) and reason codes, flat.

    The kernel runs in the threads, range by range: it checks the expiry,
    annualises and gives NaN results to the rows that are not ok. A
    masked entry is a NaN price, which the kernel calls not finite.
    """
    n = book.price.size
    vol = np.empty(n)
    delta, gamma, vega = (np.empty(n) for _ in range(3)) if greeks else (None, None, None)
    code: CodeArray = np.empty(n, dtype=np.int8)
    price = book.price if book.masked is None else np.where(book.masked, np.nan, book.price)
    inputs = (price, book.forward, book.strike, book.is_call, book.discount, book.expiry)
    outputs = (vol, delta, gamma, vega, code)

    def part(a: np.ndarray | None, lo: int, hi: int) -> np.ndarray | None:
        return None if a is None else a[lo:hi]

    kernel = _kernel.solve_normal if book.model == "normal" else _kernel.solve

    def run(lo: int, hi: int) -> None:
        kernel(*(a[lo:hi] for a in inputs), *(part(a, lo, hi) for a in outputs))

    split(n, threads, run)
    return vol, delta, gamma, vega, code


# ---------------------------------------------------------------- functions


@overload
def implied_volatility(
    price: npt.ArrayLike,
    forward: npt.ArrayLike | None = ...,
    strike: npt.ArrayLike | None = ...,
    expiry: npt.ArrayLike | None = ...,
    *,
    spot: npt.ArrayLike | None = ...,
    dividend_yield: npt.ArrayLike | None = ...,
    kind: object = ...,
    discount: npt.ArrayLike | None = ...,
    rate: npt.ArrayLike | None = ...,
    model: str = ...,
    shift: npt.ArrayLike | None = ...,
    reason: Literal[False] = ...,
    threads: int | None = ...,
) -> Any: ...
@overload
def implied_volatility(
    price: npt.ArrayLike,
    forward: npt.ArrayLike | None = ...,
    strike: npt.ArrayLike | None = ...,
    expiry: npt.ArrayLike | None = ...,
    *,
    spot: npt.ArrayLike | None = ...,
    dividend_yield: npt.ArrayLike | None = ...,
    kind: object = ...,
    discount: npt.ArrayLike | None = ...,
    rate: npt.ArrayLike | None = ...,
    model: str = ...,
    shift: npt.ArrayLike | None = ...,
    reason: Literal[True],
    threads: int | None = ...,
) -> tuple[Any, Any]: ...


def implied_volatility(
    price: npt.ArrayLike,
    forward: npt.ArrayLike | None = None,
    strike: npt.ArrayLike | None = None,
    expiry: npt.ArrayLike | None = None,
    *,
    spot: npt.ArrayLike | None = None,
    dividend_yield: npt.ArrayLike | None = None,
    kind: object = "call",
    discount: npt.ArrayLike | None = None,
    rate: npt.ArrayLike | None = None,
    model: str = "black",
    shift: npt.ArrayLike | None = None,
    reason: bool = False,
    threads: int | None = None,
) -> Any:
    """Annualised Black implied volatility of European options.

    All arguments broadcast against each other (NumPy rules): scalars,
    sequences, arrays of any shape, pandas Series. ``strike`` and ``expiry``
    are required, and one of ``forward`` or ``spot``.

    Parameters
    ----------
    price : array_like
        Market option price, discounted: ``D * Black(F, K, sigma * sqrt(T))``.
        In every argument NaN (or None in a sequence, or a masked entry of
        a NumPy masked array) is a missing value: no volatility, reason
        ``NOT_FINITE``.
    forward : array_like
        Forward price ``F`` of the underlying for the option's expiry.
    strike : array_like
        Strike ``K``.
    expiry : array_like
        Time to expiry ``T`` in years.
    spot : array_like, optional
        Spot price ``S`` of the underlying, instead of ``forward``; needs
        ``rate`` (or ``discount``). The forward is then ``S`` times
        ``F/S = exp((r - q) * T)``, or ``exp(-q * T) / D`` with a discount
        factor.
    dividend_yield : array_like, optional
        Continuously compounded dividend (or borrow) yield ``q``, with
        ``spot`` only. Default 0.
    kind : array_like, default "call"
        ``"call"``/``"put"`` (also ``"c"``/``"p"``, any case), ``1``/``-1``,
        or booleans (True for a call). A missing kind (None, NaN, pandas'
        NA, a masked entry) is a missing value like any other; an unknown
        one raises ValueError.
    discount : array_like, optional
        Discount factor ``D`` to the payment date. Default 1 (undiscounted).
    rate : array_like, optional
        Continuously compounded rate ``r``, giving ``D = exp(-r * T)``.
        Give ``discount`` or ``rate``, not both.
    model : {"black", "normal"}, default "black"
        ``"black"``: the lognormal model, ``sigma`` a relative volatility.
        ``"normal"``: the normal (Bachelier) model, ``V = D * Bachelier(F,
        K, sigma * sqrt(T))``, ``sigma`` in units of the forward per
        sqrt(year) (an absolute volatility: 0.01 is 100 basis points a
        year for a rate); forwards and strikes of any sign.
    shift : array_like, optional
        Shift ``d`` of the shifted-lognormal model (``model="black"`` only):
        Black on ``(F + d, K + d)``, with the same bits as the unshifted
        solver on the shifted inputs; ``F + d`` or ``K + d`` not positive is
        ``NON_POSITIVE_INPUT``.
    reason : bool, default False
        Also return an int8 array of :class:`Reason` codes.
    threads : int or None, default None
        Threads that share a large book (None: one per CPU the process may
        use). The results are the same bits whatever the count.

    Returns
    -------
    vol : ndarray of float64, float64 scalar or pandas Series
        ``sigma``, annualised; NaN where no volatility reproduces the price.
        A scalar for scalar arguments; a Series (with their common index)
        when a Series was given and the result is one-dimensional.
    reason : ndarray of int8, only with ``reason=True``
        0 (``Reason.OK``) where solved, else the code of the first failed check.

    Raises
    ------
    TypeError
        Non-numeric data, both ``discount`` and ``rate``, both ``forward``
        and ``spot`` (or neither), ``spot`` without ``rate`` or
        ``discount``, ``dividend_yield`` without ``spot``, or a missing
        ``strike`` or ``expiry``.
    ValueError
        Shapes that do not broadcast, unknown option kinds, or pandas Series
        with different indexes.

    Notes
    -----
    ``vol`` equals ``black_core.implied_vol(price / D, F, K, q) / sqrt(T)``
    bit for bit, with ``q`` 1 for a call and -1 for a put, except where
    ``price / D`` is within its rounding of the intrinsic value or of the
    largest price (see :class:`Reason`): those quotes are at the bound.

    Examples
    --------
    >>> implied_volatility(7.965567455405804, 100.0, 100.0, 1.0)  # doctest: +SKIP
    0.2
    >>> vol, why = implied_volatility([3.0, 0.5], 100.0, [90.0, 110.0], 0.5,
    ...                               kind=["put", "call"], rate=0.02, reason=True)
    >>> vol = implied_volatility(9.0, strike=100.0, expiry=1.0, spot=98.0, rate=0.03,
    ...                          dividend_yield=0.01)
    """
    book = Book(
        price, forward, strike, expiry, kind, discount, rate, spot, dividend_yield, model, shift
    )
    vol, _, _, _, code = _solve(book, threads, greeks=False)
    if reason:
        return book.wrap(vol, "implied_vol"), book.wrap(code, "reason")
    return book.wrap(vol, "implied_vol")


def greeks(
    price: npt.ArrayLike,
    forward: npt.ArrayLike | None = None,
    strike: npt.ArrayLike | None = None,
    expiry: npt.ArrayLike | None = None,
    *,
    spot: npt.ArrayLike | None = None,
    dividend_yield: npt.ArrayLike | None = None,
    kind: object = "call",
    discount: npt.ArrayLike | None = None,
    rate: npt.ArrayLike | None = None,
    model: str = "black",
    shift: npt.ArrayLike | None = None,
    threads: int | None = None,
) -> Greeks:
    """Implied volatility and the Greeks at that volatility, in one call.

    Arguments are those of :func:`implied_volatility` (``threads``
    included) and broadcast the same way; the book is solved by the kernel
    of :func:`quelta.black_core.compute_trades_greeks`, with the same bits,
    and the Greeks it does not compute are closed forms on its results.

    Returns
    -------
    Greeks
        Named tuple ``(vol, delta, gamma, vega, reason, theta, rho, vanna,
        volga)`` of arrays of the broadcast shape (scalars for scalar
        arguments, Series for Series). With ``V = D * Black(F, K, sigma *
        sqrt(T))`` the market price (``Bachelier`` for ``model="normal"``,
        Black on ``F + d`` and ``K + d`` with a ``shift``): ``vol`` is the
        annualised ``sigma``;
        ``delta = dV/dF`` and ``gamma = d2V/dF2`` (``dV/dS``, ``d2V/dS2``
        with ``spot``); ``vega`` the change of ``V`` per volatility point,
        ``dV/dsigma / 100``; ``theta = -dV/dT / 365`` per calendar day;
        ``rho = dV/dr / 100``; ``vanna`` and ``volga`` the changes of
        ``delta`` and ``vega`` per volatility point. :class:`Greeks` says
        what each holds fixed. All are NaN where ``reason`` is not 0.

    Notes
    -----
    The core works in total volatility ``w = sigma * sqrt(T)`` with the time
    set to 1. Its delta and gamma are already derivatives with respect to
    ``F`` and carry ``D``, so they are returned unchanged for a forward; its
    vega is per point of ``w``, and ``dV/dsigma = dV/dw * sqrt(T)``, so
    ``vega = core_vega * sqrt(T)``.
    """
    return solve_greeks(
        price,
        forward,
        strike,
        expiry,
        spot=spot,
        dividend_yield=dividend_yield,
        kind=kind,
        discount=discount,
        rate=rate,
        threads=threads,
        more=True,
        model=model,
        shift=shift,
    )[0]


def solve_greeks(
    price: npt.ArrayLike,
    forward: npt.ArrayLike | None,
    strike: npt.ArrayLike | None,
    expiry: npt.ArrayLike | None,
    *,
    spot: npt.ArrayLike | None,
    dividend_yield: npt.ArrayLike | None,
    kind: object,
    discount: npt.ArrayLike | None,
    rate: npt.ArrayLike | None,
    threads: int | None,
    more: bool,
    model: str = "black",
    shift: npt.ArrayLike | None = None,
) -> tuple[Greeks, FloatArray]:
    """:func:`greeks`, and the forward of each row, flat (formed from the spot if given).

    Without ``more``, theta, rho, vanna and volga are None: for callers that
    show only delta, gamma and vega (a book's default columns), which then
    pay for the kernel alone.
    """
    book = Book(
        price, forward, strike, expiry, kind, discount, rate, spot, dividend_yield, model, shift
    )
    vol, delta, gamma, vega, code = _solve(book, threads, greeks=True)
    assert delta is not None and gamma is not None and vega is not None
    if not more and book.growth is None:
        theta = rho = vanna = volga = None
    else:
        theta, rho, vanna, volga = time_and_vol_greeks(
            book.model, book, vol, delta, gamma, vega, code, threads, more
        )
    greeks = Greeks(
        *(
            None if a is None else book.wrap(a, name)
            for a, name in (
                (vol, "implied_vol"),
                (delta, "delta"),
                (gamma, "gamma"),
                (vega, "vega"),
                (code, "reason"),
                (theta, "theta"),
                (rho, "rho"),
                (vanna, "vanna"),
                (volga, "volga"),
            )
        )
    )
    return greeks, book.quoted_forward
