"""What the array functions return: the reason codes and the Greeks' named tuple."""

from __future__ import annotations

import enum
from typing import Any, NamedTuple


class Reason(enum.IntEnum):
    """Why a quote has (or has no) implied volatility; stored as int8 codes.

    When several apply, the highest code below 7 wins: a quote with a NaN
    forward and a zero expiry is ``NOT_FINITE``; codes 1 to 3 exclude each
    other. Codes 0 to 7 come from the batch kernel itself, which
    tests the undiscounted price ``price / discount`` with the comparisons
    of its solver; 7 is the solver's own verdict on a quote that passed
    every check. 8 is given by the book functions
    (:func:`quelta.solve_table`) to a row whose cells could not be read, and
    overrides every other code. 9 is given by the book functions with
    ``forward="parity"`` to a row of an expiry whose forward could not be
    fitted; a row's own fault (codes 4 to 6, and 8) wins over it.

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
    NO_FORWARD : 9
        The forward and discount factor of the row's expiry could not be
        fitted from put-call parity (``forward="parity"``): too few strikes
        quoted as both a call and a put within their spreads, or a fit
        that is no market's (a discount factor not in (0, 1.5]).
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
    NO_FORWARD = 9

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
    Reason.BAD_INPUT: "unreadable cell (a number, option kind, model, date or symbol)",
    Reason.NO_FORWARD: "no forward fitted from put-call parity for the expiry",
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
