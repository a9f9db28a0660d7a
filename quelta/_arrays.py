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

import enum
import sys
from typing import Any, Literal, NamedTuple, overload

import numpy as np
import numpy.typing as npt

from quelta import _kernel
from quelta._greeks import DAYS_PER_YEAR, time_and_vol_greeks
from quelta._inputs import (
    CALL_WORDS,
    as_float,
    as_is_call,
    series_index,
    spot_growth,
    underlying_of,
    unmasked,
)
from quelta._threads import split

__all__ = [
    "CALL_WORDS",
    "DAYS_PER_YEAR",
    "MODELS",
    "Greeks",
    "Reason",
    "greeks",
    "implied_volatility",
    "simd_level",
]

FloatArray = npt.NDArray[np.float64]
CodeArray = npt.NDArray[np.int8]


class Reason(enum.IntEnum):
    """Why a quote has (or has no) implied volatility; stored as int8 codes.

    When several apply, the highest code below 7 wins: a quote with a NaN
    forward and a zero expiry is ``NOT_FINITE``; codes 1 to 3 exclude each
    other. Codes 0 to 7 come from the batch kernel itself, which
    tests the undiscounted price ``price / discount`` with the comparisons
    of its solver; 7 is the solver's own verdict on a quote that passed
    every check. 8 is given by the book functions
    (:func:`quelta.solve_table`) to a row whose cells could not be read, and
    overrides every other code.

    Attributes
    ----------
    OK : 0
        Solved: the volatility is finite and positive.
    BELOW_INTRINSIC : 1
        The undiscounted price is below the intrinsic value
        (``F - K`` for a call, ``K - F`` for a put, else 0).
    ABOVE_MAXIMUM : 2
        The undiscounted price is at or above the largest Black price: the
        forward for a call, the strike for a put.
    AT_INTRINSIC : 3
        The price equals the intrinsic value: there is no time value, so
        only the degenerate volatility 0 reproduces it. With a discount
        factor other than 1, ``price / discount`` within the rounding of that
        division (2**-51 of itself) of the intrinsic value or of the largest
        price counts as that value: a quote of ``D * (F - K)`` is at the
        intrinsic value and one of ``D * F`` at the maximum whatever the last
        bit of the quotient.
    NON_POSITIVE_INPUT : 4
        The price, forward, strike or discount factor is zero or negative.
    NON_POSITIVE_EXPIRY : 5
        The time to expiry is zero or negative.
    NOT_FINITE : 6
        An input is NaN, masked (a missing value) or infinite.
    NOT_SOLVED : 7
        The quote passed every check but the solver found no volatility:
        its steps did not converge to one the price pins down.
    BAD_INPUT : 8
        A cell of the row in a book could not be read: text that is not a
        number, or an unknown option kind.
    """

    OK = 0
    BELOW_INTRINSIC = 1
    ABOVE_MAXIMUM = 2
    AT_INTRINSIC = 3
    NON_POSITIVE_INPUT = 4
    NON_POSITIVE_EXPIRY = 5
    NOT_FINITE = 6
    NOT_SOLVED = 7
    BAD_INPUT = 8

    @property
    def description(self) -> str:
        """A short phrase for reports, such as ``"price below intrinsic value"``."""
        return _DESCRIPTIONS[self]


_DESCRIPTIONS = {
    Reason.OK: "solved",
    Reason.BELOW_INTRINSIC: "price below intrinsic value",
    Reason.ABOVE_MAXIMUM: "price at or above forward (call) or strike (put)",
    Reason.AT_INTRINSIC: "price equal to intrinsic value (no time value)",
    Reason.NON_POSITIVE_INPUT: "price, forward, strike or discount <= 0",
    Reason.NON_POSITIVE_EXPIRY: "expiry <= 0",
    Reason.NOT_FINITE: "missing (NaN) or infinite input",
    Reason.NOT_SOLVED: "no volatility found by the solver",
    Reason.BAD_INPUT: "unreadable cell: not a number, or an unknown option kind",
}


class Greeks(NamedTuple):
    """Implied volatility and Black Greeks of each quote, as arrays of one shape.

    Every field is NaN where ``reason`` is not ``Reason.OK``. ``V`` is the
    market (discounted) price ``D * Black(F, K, sigma * sqrt(T))``, with
    ``D = exp(-r * T)``; ``r`` is the rate given, else ``-ln(D) / T``, else
    0. Given a spot ``S`` and yield ``q``, ``F = S * exp((r - q) * T)``.
    The formulas below are Black's; under ``model="normal"`` ``V = D *
    Bachelier(F, K, sigma * sqrt(T))``, each Greek has the same definition
    and holds the same things fixed, and with ``d = (F - K) / (sigma *
    sqrt(T))``: delta ``D N(d)`` (``-D N(-d)``), gamma ``D n(d) / (sigma
    sqrt(T))``, vega ``D n(d) sqrt(T) / 100`` (per 0.01 of normal
    volatility: ``vega / 100`` per basis point of a rate's), vanna ``-D
    n(d) d / (100 sigma)``, volga ``vega d**2 / (100 sigma)``. Under a
    shift they are Black's on ``F + d`` and ``K + d``.

    Attributes
    ----------
    vol : ndarray of float64
        Annualised implied volatility ``sigma``.
    delta : ndarray of float64
        Given a forward, ``dV/dF`` at fixed ``D``: ``D * N(d1)`` for a call,
        ``-D * N(-d1)`` for a put (forward delta, discounted). Given a spot,
        ``dV/dS = exp(-q * T) * N(d1)``, ``-exp(-q * T) * N(-d1)``.
    gamma : ndarray of float64
        ``d2V/dF2 = D * n(d1) / (F * sigma * sqrt(T))``; given a spot,
        ``d2V/dS2``, the same times ``(F/S)**2``.
    vega : ndarray of float64
        Change of ``V`` for one volatility point (0.01 of annualised
        volatility): ``D * F * n(d1) * sqrt(T) / 100``.
    reason : ndarray of int8
        :class:`Reason` code of each quote.
    theta : ndarray of float64
        Change of ``V`` over one calendar day, ``-dV/dT / 365``, negative
        when the option loses value as time passes. Given a spot it holds
        ``S``, ``r``, ``q`` and ``sigma`` fixed, the forward moving with
        ``T``; given a forward it holds ``F``, ``r`` and ``sigma`` fixed
        (the Black-76 theta, ``D`` rolling at the rate ``r``).
    rho : ndarray of float64
        Change of ``V`` for one percentage point of ``r``, ``dV/dr / 100``:
        at fixed ``S`` and ``q`` given a spot (``T * D * K * N(d2) / 100``
        for a call), at fixed ``F`` given a forward (``-T * V / 100``).
    vanna : ndarray of float64
        Change of ``delta`` for one volatility point,
        ``d(delta)/dsigma / 100 = -D * n(d1) * d2 / (100 * sigma)``, times
        ``F/S`` given a spot.
    volga : ndarray of float64
        Change of ``vega`` for one volatility point,
        ``d(vega)/dsigma / 100 = vega * d1 * d2 / (100 * sigma)``.
    """

    vol: Any
    delta: Any
    gamma: Any
    vega: Any
    reason: Any
    theta: Any
    rho: Any
    vanna: Any
    volga: Any


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


class _Book:
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

    def solve(
        self, threads: int | None, greeks: bool
    ) -> tuple[FloatArray, FloatArray | None, FloatArray | None, FloatArray | None, CodeArray]:
        """Annualised vol, discounted Greeks (or None) and reason codes, flat.

        The kernel runs in the threads, range by range: it checks the expiry,
        annualises and gives NaN results to the rows that are not ok. A
        masked entry is a NaN price, which the kernel calls not finite.
        """
        n = self.price.size
        vol = np.empty(n)
        delta, gamma, vega = (np.empty(n) for _ in range(3)) if greeks else (None, None, None)
        code: CodeArray = np.empty(n, dtype=np.int8)
        price = self.price if self.masked is None else np.where(self.masked, np.nan, self.price)
        inputs = (price, self.forward, self.strike, self.is_call, self.discount, self.expiry)
        outputs = (vol, delta, gamma, vega, code)

        def part(a: np.ndarray | None, lo: int, hi: int) -> np.ndarray | None:
            return None if a is None else a[lo:hi]

        kernel = _kernel.solve_normal if self.model == "normal" else _kernel.solve

        def run(lo: int, hi: int) -> None:
            kernel(*(a[lo:hi] for a in inputs), *(part(a, lo, hi) for a in outputs))

        split(n, threads, run)
        return vol, delta, gamma, vega, code

    def wrap(self, flat: np.ndarray, name: str) -> Any:
        """A flat result in the book's shape: a pandas Series, an array or a scalar."""
        out = flat.reshape(self.shape)
        if self.index is not None and out.ndim == 1 and out.size == len(self.index):
            return sys.modules["pandas"].Series(out, index=self.index, name=name)
        return out[()] if out.ndim == 0 else out


def simd_level() -> str:
    """The instruction set of the batch kernel in use: "avx512", "avx2" or "scalar".

    Chosen at import: the widest the CPU supports, or the one named by the
    environment variable ``QUELTA_SIMD`` (never above what the CPU has).
    """
    return str(_kernel.simd_level())


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
    book = _Book(
        price, forward, strike, expiry, kind, discount, rate, spot, dividend_yield, model, shift
    )
    vol, _, _, _, code = book.solve(threads, greeks=False)
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
        sqrt(T))`` the market price: ``vol`` is the annualised ``sigma``;
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
    book = _Book(
        price, forward, strike, expiry, kind, discount, rate, spot, dividend_yield, model, shift
    )
    vol, delta, gamma, vega, code = book.solve(threads, greeks=True)
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
