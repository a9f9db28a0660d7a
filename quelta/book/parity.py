"""Forwards and discount factors implied by put-call parity, per expiry of an underlying.

For each group, the strikes quoted as both a call and a put give
C - P = D*(F - K): a line in K with intercept D*F and slope -D, fitted by
weighted least squares. The weights are 1/spread**2 where bid and ask are
known (the variance of a mid is about the square of its spread, so this is
the maximum-likelihood fit) and fall off away from the money
(1/(1 + ((K - F)/(0.1*F))**2) about the current fit): early exercise of
American options and dividends bend parity deep in and out of the money,
where quotes are also widest. A pair whose residual is beyond its spread
(the call's plus the put's), or with a crossed quote, is stale and left
out, the worst first, refitting after each. A group left without two
distinct strikes, or whose D is not in (0, MAX_DISCOUNT] or F not positive,
has no fit: NaN, never a guess.

Parity holds under any model, but the rows of the normal (Bachelier) model
take a forward of any sign (rates near or below zero), so a group with a
row of that model is fitted for any real F. There 0.1*F is no measure of
moneyness (F may be 0), and the weight's width is instead the group's
smallest straddle C + P over D, the width of the forward's distribution
itself: C + P = D*|F - K| + twice the time value, least near the money,
where it is 2*s*sqrt(T/(2*pi)) for a normal volatility s, so the width is
0.8 standard deviations (0.1*F is 0.7 of them for a Black volatility of 20%
over half a year). Unlike the spread of the strikes it does not depend on how
far out the listed strikes go. It is never narrower than the distance from
F to the nearest strike, so that some pair keeps its weight. A Black row of
such a group whose F is not positive has no forward its model can take: NaN.

:func:`fit_book` fits a book read with ``forward="parity"``: one group per
expiry of each underlying (as the book's underlying column names it, else
the root of its option symbols, if it has either), the rows of a group
without a fit marked for ``no_forward``.
"""

from __future__ import annotations

from dataclasses import dataclass, replace
from typing import Any, NamedTuple

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

from quelta.book.cells import to_numpy
from quelta.book.reading import Inputs

MAX_DISCOUNT = 1.5  # above this a rate is far below any market's: the fit is wrong
_WIDTH = 0.1  # moneyness |K/F - 1| at which a pair's weight has halved
# Without bid and ask, a residual beyond this many robust standard deviations
# (1.4826 median absolute deviations) is taken as a stale pair.
_CUT = 5.0
_SLOPES = 200_000  # slopes the robust line is taken from, at most


class GroupFits(NamedTuple):
    """Per group, in increasing group order: the pairs used and rejected, F and D,
    and whether F may be any real (a row of the normal model)."""

    group: np.ndarray
    used: np.ndarray
    rejected: np.ndarray
    forward: np.ndarray
    discount: np.ndarray
    any_sign: np.ndarray


class Parity(NamedTuple):
    """Per row: the forward and discount of its group (NaN without a fit), where there is none,
    and the fits of the groups."""

    forward: np.ndarray
    discount: np.ndarray
    no_fit: np.ndarray
    groups: GroupFits


def _line(k: np.ndarray, y: np.ndarray, w: np.ndarray) -> tuple[float, float]:
    """The weighted least-squares line y = D*(F - K) as (F, D), about the weighted mean strike."""
    total = w.sum()
    km, ym = (w * k).sum() / total, (w * y).sum() / total
    dk = k - km
    spread = (w * dk * dk).sum()
    if not spread > 0:  # one distinct strike (or all weight on one)
        return np.nan, np.nan
    d = -(w * dk * (y - ym)).sum() / spread
    if d == 0:  # C - P flat in K: no discount, and no forward
        return np.nan, np.nan
    return float(km + ym / d), float(d)


def _width(
    k: np.ndarray, scale: np.ndarray, forward: float, discount: float, any_sign: bool
) -> Any:
    """The distance from the forward at which a pair's weight has halved (module docstring)."""
    if not any_sign:
        return _WIDTH * forward
    return max(scale.min() / abs(discount), np.abs(k - forward).min())


def _fit(
    k: np.ndarray, y: np.ndarray, spread: np.ndarray, scale: np.ndarray, any_sign: bool = False
) -> tuple[float, float, int]:
    """(F, D, pairs rejected) from the pairs of one group; NaN F and D without a fit.

    ``scale`` is |C| + |P| of each pair, ``any_sign`` whether F may be any real.
    """
    known = np.isfinite(spread)
    base = np.ones(len(k))
    if known.all():
        base = 1.0 / np.maximum(spread, 1e-6 * scale) ** 2
    keep = np.ones(len(k), bool)
    if not known.all() and len(k) > 2:
        keep &= known | _typical(k, y, scale)
    forward = discount = np.nan
    for _ in range(len(k)):
        if len(np.unique(k[keep])) < 2:
            return np.nan, np.nan, int((~keep).sum())
        forward, discount = _line(k[keep], y[keep], base[keep])
        for _ in range(3):  # toward the money of the fit so far
            if not (forward > 0 or (any_sign and np.isfinite(forward))):
                break
            width = _width(k[keep], scale[keep], forward, discount, any_sign)
            near = 1.0 / (1.0 + ((k[keep] - forward) / width) ** 2)
            forward, discount = _line(k[keep], y[keep], base[keep] * near)
        residual = np.abs(y - discount * (forward - k))
        limit = np.where(known, spread, np.inf) + 1e-9 * scale
        excess = np.where(keep, residual / limit, 0.0)
        worst = int(np.argmax(excess))
        if not excess[worst] > 1:
            break
        keep[worst] = False
    return forward, discount, int((~keep).sum())


def _typical(k: np.ndarray, y: np.ndarray, scale: np.ndarray) -> np.ndarray:
    """Pairs within _CUT robust deviations of the Theil-Sen line (the median of the
    slopes between pairs, which a stale minority cannot move, unlike least squares).

    Beyond _SLOPES pairs of pairs the slopes are those of a fixed random sample
    of them: their median is as robust, and memory stays linear in the strikes
    (every pair of 50,000 strikes given one expiry would take tens of GB).
    """
    n = len(k)
    if n * (n - 1) // 2 <= _SLOPES:
        i, j = np.triu_indices(n, 1)
    else:
        i, j = np.random.default_rng(n).integers(0, n, (2, _SLOPES))
    apart = k[i] != k[j]
    slope = np.median((y[j] - y[i])[apart] / (k[j] - k[i])[apart]) if apart.any() else 0.0
    residual = y - slope * k
    residual = np.abs(residual - np.median(residual))
    return np.asarray(residual <= _CUT * 1.4826 * np.median(residual) + 1e-9 * scale)


def _pairs(
    rows: np.ndarray,
    strike: np.ndarray,
    is_call: np.ndarray,
    price: np.ndarray,
    bid: np.ndarray | None,
    ask: np.ndarray | None,
) -> tuple[np.ndarray, ...]:
    """The strikes of a group with a call and a put price: (K, C - P, spread, |C| + |P|, crossed).

    The first quote of a strike and kind is taken; a price of 0 or less is no quote.
    """
    quoted = (price[rows] > 0) & np.isfinite(price[rows]) & np.isfinite(strike[rows])
    usable = rows[quoted]
    calls, puts = usable[is_call[usable]], usable[~is_call[usable]]
    kc, first_c = np.unique(strike[calls], return_index=True)
    kp, first_p = np.unique(strike[puts], return_index=True)
    k, ic, ip = np.intersect1d(kc, kp, assume_unique=True, return_indices=True)
    c, p = calls[first_c[ic]], puts[first_p[ip]]
    spread = np.full(len(k), np.nan)
    crossed = np.zeros(len(k), bool)
    if bid is not None and ask is not None:
        spread = (ask[c] - bid[c]) + (ask[p] - bid[p])
        crossed = (bid[c] > ask[c]) | (bid[p] > ask[p])
    return k, price[c] - price[p], spread, np.abs(price[c]) + np.abs(price[p]), crossed


def fit_forwards(
    group: np.ndarray,
    strike: np.ndarray,
    is_call: np.ndarray,
    price: np.ndarray,
    bid: np.ndarray | None = None,
    ask: np.ndarray | None = None,
    normal: np.ndarray | None = None,
) -> Parity:
    """Per-row forwards and discount factors from put-call parity within each group.

    ``group`` numbers the rows' groups (one expiry of one underlying);
    ``price`` is the (mid) price, ``bid`` and ``ask`` optional quotes whose
    spreads weight the fit and bound the residual of a pair kept in it;
    ``normal`` marks the rows of the normal model (none without it), whose
    groups are fitted for a forward of any sign.
    """
    group = np.asarray(group, np.intp)
    ids, where = np.unique(group, return_inverse=True)
    order = np.argsort(where, kind="stable")
    starts = np.searchsorted(where[order], np.arange(len(ids) + 1))
    fits = np.full((4, len(ids)), np.nan)
    normal = np.zeros(len(group), bool) if normal is None else np.asarray(normal, bool)
    any_sign = np.zeros(len(ids), bool)
    for g in range(len(ids)):
        rows = order[starts[g] : starts[g + 1]]
        any_sign[g] = normal[rows].any()
        k, y, spread, scale, crossed = _pairs(rows, strike, is_call, price, bid, ask)
        k, y, spread, scale = k[~crossed], y[~crossed], spread[~crossed], scale[~crossed]
        # Fitted in a unit of the strikes' size, a power of two (exact), so that
        # squares of strikes far from 1 do not overflow; beyond that (spreads
        # of 1e-300) a sum that overflows makes the fit NaN: no fit.
        unit = np.ldexp(1.0, int(np.frexp(np.abs(k).max())[1])) if len(k) else 1.0
        with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
            forward, discount, rejected = _fit(
                k / unit, y / unit, spread / unit, scale / unit, bool(any_sign[g])
            )
        forward *= unit
        signed = forward > 0 or (any_sign[g] and np.isfinite(forward))
        if not (0 < discount <= MAX_DISCOUNT and signed):
            forward = discount = np.nan
        fits[:, g] = (len(k) - rejected, rejected + int(crossed.sum()), forward, discount)
    used, rejected = fits[0].astype(np.int64), fits[1].astype(np.int64)
    summary = GroupFits(ids, used, rejected, fits[2], fits[3], any_sign)
    taken = normal | (fits[2][where] > 0)  # a Black row needs a forward above 0
    per_row = np.where(taken, fits[2:4, where], np.nan)
    return Parity(per_row[0], per_row[1], np.isnan(per_row[0]), summary)


@dataclass(frozen=True)
class ExpiryFit:
    """The fit of one expiry of one underlying: what the command's summary shows.

    ``expiry`` is the first row's expiry cell as the book writes it,
    ``underlying`` its underlying column's cell or option symbol's root ("" without),
    ``forward`` and ``discount`` are NaN where there is no fit, and ``book``
    names the file of a dataset the expiry is in.
    """

    underlying: str
    expiry: str
    forward: float
    discount: float
    used: int
    rejected: int
    book: str = ""
    any_sign: bool = False  # fitted for a forward of any sign (the normal model's rows)

    def describe(self) -> str:
        head = f"expiry {self.expiry}" + (f" ({self.underlying})" if self.underlying else "")
        head = f"{self.book}: {head}" if self.book else head
        pairs = f"{self.used} pair{'s' * (self.used != 1)} used, {self.rejected} rejected"
        if self.forward == self.forward:
            return f"{head}: F = {self.forward:.12g}, D = {self.discount:.12g}; {pairs}"
        if self.used < 2:
            why = "fewer than two strikes with both a call and a put within their spreads"
        else:
            forward = "no discount" if self.any_sign else "no forward > 0 with a discount"
            why = f"the line gives {forward} in (0, {MAX_DISCOUNT:g}]"
        return f"{head}: no forward ({pairs}: {why})"


class BookFit(NamedTuple):
    """A book's inputs solved with the fits, and the fits (see :func:`fit_book`)."""

    inputs: Inputs
    forward: np.ndarray
    discount: np.ndarray
    no_fit: np.ndarray
    fits: tuple[ExpiryFit, ...]


def _groups(x: Inputs) -> tuple[np.ndarray, np.ndarray]:
    """Per row, the number of its group (one expiry of one underlying), and its underlying."""
    _, expiry = np.unique(x.expiry, return_inverse=True)
    named = pa.nulls(len(expiry), pa.string()) if x.underlying is None else x.underlying
    encoded = pc.dictionary_encode(pc.fill_null(named, ""))
    names = np.array(encoded.dictionary.to_pylist(), object)
    which = np.asarray(to_numpy(encoded.indices), np.intp)
    return np.asarray(expiry.ravel() * len(names) + which, np.intp), names[which]


def fit_book(x: Inputs, expiry_cells: Any, model: str | None = None) -> BookFit:
    """The forward and discount of each row's expiry, fitted from the book's calls and puts.

    ``model`` is the model of every row, unless the book has a model column.
    Rows with an unreadable cell or no expiry take no part. In the inputs
    returned, a row without a fit has its strike for a forward and 1 for a
    discount: solved so, its reason is its own fault (a missing price, an
    expiry <= 0, ...) or else ``no_forward``, for the caller to give.
    """
    group, underlying = _groups(x)
    usable = ~x.unusable & np.isfinite(x.expiry)
    price = np.where(usable, x.price, np.nan)
    normal = x.normal if x.normal is not None else np.full(len(group), model == "normal")
    fit = fit_forwards(group, x.strike, x.is_call, price, x.bid, x.ask, normal)
    _, first = np.unique(group, return_index=True)  # in the order of fit.groups
    fits = tuple(
        ExpiryFit(
            str(underlying[row]),
            str(expiry_cells[int(row)].as_py()),
            float(fit.groups.forward[g]),
            float(fit.groups.discount[g]),
            int(fit.groups.used[g]),
            int(fit.groups.rejected[g]),
            any_sign=bool(fit.groups.any_sign[g]),
        )
        for g, row in enumerate(first)
        if np.isfinite(x.expiry[row])
    )
    solved = replace(
        x,
        forward=np.where(fit.no_fit, x.strike, fit.forward),
        discount=np.where(fit.no_fit, 1.0, fit.discount),
    )
    return BookFit(solved, fit.forward, fit.discount, fit.no_fit, fits)
