"""Forwards and discount factors fitted from put-call parity of exact Black prices."""

import mpmath
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quelta.book.parity import fit_forwards

mpmath.mp.dps = 40


def black(forward, strike, vol, discount, call):
    """The discounted Black price in 40 digits (an input here, not what is tested)."""
    f, k, s = mpmath.mpf(forward), mpmath.mpf(strike), mpmath.mpf(vol)
    d1 = (mpmath.log(f / k) + s * s / 2) / s
    n = mpmath.ncdf
    value = f * n(d1) - k * n(d1 - s) if call else k * n(s - d1) - f * n(-d1)
    return float(discount * value)


def chain(forward, discount, strikes, vol=0.25, half_spread=0.0):
    rows = [(k, c, black(forward, k, vol, discount, c)) for k in strikes for c in (True, False)]
    strike, is_call, price = (np.array(v) for v in zip(*rows))
    return strike, is_call, price, price - half_spread, price + half_spread


FORWARDS = st.floats(1.0, 1e5)
DISCOUNTS = st.floats(0.5, 1.2)


@settings(deadline=None, max_examples=30)
@given(FORWARDS, DISCOUNTS, st.integers(2, 12), st.booleans())
def test_exact_prices_give_the_forward_and_discount(forward, discount, n, quoted):
    strikes = forward * np.linspace(0.7, 1.3, n)
    strike, is_call, price, bid, ask = chain(forward, discount, strikes, half_spread=0.01)
    quotes = {"bid": bid, "ask": ask} if quoted else {}
    fit = fit_forwards(np.zeros(len(price), np.intp), strike, is_call, price, **quotes)
    np.testing.assert_allclose(fit.forward, forward, rtol=1e-12)
    np.testing.assert_allclose(fit.discount, discount, rtol=1e-12)
    assert not fit.no_fit.any() and fit.groups.used.tolist() == [n]


@pytest.mark.parametrize(
    "stale, quoted",
    [
        (("call", 1.05, +0.5), True),
        (("put", 0.9, -0.3), True),
        (("call", 1.0, +2.0), False),
        (("crossed", 1.1, 0.0), True),
    ],
)
def test_stale_or_crossed_pairs_are_rejected(stale, quoted):
    forward, discount = 4321.5, 0.97
    strike, is_call, price, bid, ask = chain(
        forward, discount, forward * np.linspace(0.8, 1.2, 9), half_spread=0.05
    )
    clean = [v.copy() for v in (price, bid, ask)]
    leg, moneyness, shift = stale
    row = int(np.argmin(np.abs(strike - forward * moneyness) + (is_call != (leg != "put"))))
    price[row] += shift  # a quote left behind by a move, outside its spread
    if leg == "crossed":
        bid[row], ask[row] = ask[row] + 0.1, bid[row]
    price, bid, ask = (np.concatenate([v, w]) for v, w in zip((price, bid, ask), clean))
    quotes = {"bid": bid, "ask": ask} if quoted else {}
    groups = np.repeat([3, 7], len(strike))  # two expiries, the stale quote in the first
    fit = fit_forwards(groups, np.tile(strike, 2), np.tile(is_call, 2), price, **quotes)
    np.testing.assert_allclose(fit.forward, forward, rtol=1e-12)
    np.testing.assert_allclose(fit.discount, discount, rtol=1e-12)
    assert fit.groups.rejected.tolist() == [1, 0] and fit.groups.used.tolist() == [8, 9]


@pytest.mark.parametrize(
    "strikes, kinds, discount",
    [
        ([100.0, 100.0], [True, False], 0.99),  # one strike
        ([90.0, 110.0, 120.0], [True, False, True], 0.99),  # no strike with both
        ([90.0, 90.0, 110.0, 110.0], [True, False, True, False], 1.8),  # D beyond any market
        ([90.0, 90.0, 110.0, 110.0], [True, False, True, False], -0.5),  # kinds swapped
    ],
)
def test_too_few_pairs_or_a_wrong_line_give_no_fit(strikes, kinds, discount):
    strike, is_call = np.array(strikes), np.array(kinds)
    price = np.array([black(100.0, k, 0.2, abs(discount), c) for k, c in zip(strike, is_call)])
    if discount < 0:
        is_call = ~is_call  # C - P rising in K: a negative discount
    fit = fit_forwards(np.zeros(len(strike), np.intp), strike, is_call, price)
    assert fit.no_fit.all() and np.isnan(fit.forward).all() and np.isnan(fit.discount).all()
