"""The normal (Bachelier) model of the batch kernel against the mpmath oracle.

quelta._kernel.solve_normal inverts undiscounted Bachelier prices for any
real forward and strike; its volatility must be exact to a few ulps times the
condition number of the point, every level must give the scalar bits, and the
Greeks must be the derivatives of the price.
"""

import math

import mpmath
import numpy as np
import oracle
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st
from support import assert_same_bits

import quelta._kernel as kernel

LEVELS = kernel.levels()
EPS = 2.0**-52
DBL_MIN = 2.0**-1022
NAN, INF = math.nan, math.inf


def solve(price, F, K, call, disc=None, level="scalar"):
    """vol, delta, gamma, vega and reason of solve_normal for arrays of rows."""
    price, F, K = (np.ascontiguousarray(x, dtype=np.float64) for x in (price, F, K))
    n = price.size
    disc = np.ones(n) if disc is None else np.ascontiguousarray(disc, dtype=np.float64)
    outs = [np.zeros(n) for _ in range(4)]
    reason = np.zeros(n, np.int8)
    kernel.solve_normal(price, F, K, np.asarray(call, np.int8), disc, None, *outs, reason, level)
    return (*outs, reason)


def error_units(got, F, K, call, price):
    """|got/s - 1| in units of eps * max(1, condition), s the exact volatility of
    the double price; below DBL_MIN, in units of the subnormal spacing."""
    s = oracle.bachelier_implied_vol(price, F, K, call)
    kappa = oracle.bachelier_condition(F, K, float(s), call)
    return float(abs(mpmath.mpf(got) - s) / max(s, DBL_MIN)) / (EPS * max(1.0, kappa))


# A point: forward of either sign over six decades, d = (F - K)/s over
# |d| <= 38 (out-of-the-money prices down to subnormal ones), s from 1e-6 to
# 1e6 times the forward's scale, so s ranges far above |F| + |K|.
_points = st.tuples(
    st.sampled_from([-1.0, 1.0]),
    st.floats(-3.0, 3.0),  # log10 |F|
    st.floats(-38.0, 38.0),  # d
    st.floats(-6.0, 6.0),  # log10 s
    st.booleans(),
)


@settings(max_examples=150, deadline=None)
@given(point=_points)
@example(point=(1.0, 0.0, 0.0, 0.0, True))  # at the money: the explicit branch
@example(point=(-1.0, 2.0, 38.0, -1.0, False))  # a subnormal out-of-the-money price
@example(point=(1.0, -3.0, 1e-7, 6.0, True))  # s 1e6 times |F|, u = 1e-7
@example(point=(1.0, 1.0, -0.9995, 0.0, True))  # where the objectives meet (a = 12 v)
def test_implied_vol_is_exact_to_the_condition_number(point):
    sign, lf, d, ls, call = point
    F = sign * 10.0**lf
    s = abs(F) * 10.0**ls
    K = F - d * s
    price = oracle.bachelier_price(F, K, s, call)
    intrinsic = max(F - K, 0.0) if call else max(K - F, 0.0)
    vol, *_, reason = solve([price], [F], [K], [call])
    if price == intrinsic:
        assert reason[0] == 3 and vol[0] == 0.0
        return
    assert reason[0] == 0
    if oracle.bachelier_condition(F, K, s, call) < 1e11:
        assert error_units(vol[0], F, K, bool(call), price) <= 4.0


@pytest.mark.parametrize(
    "price, F, K, call",
    [
        (1e-300, 1e300, 0.0, False),  # a/v overflows: the logarithms taken apart
        (5e-324, 1.0, 2.0, True),  # the smallest price, far out of the money
        (1e-320, -1.0, -1.0, True),  # subnormal at the money: a 2^26 < v, not v 2^-26
        (1.0, 1.0, 1.0 + 2.0**-30, False),  # a 2^26 < v: the explicit branch
        (1.0 / 12.0, -0.5, 0.5, True),  # a = 12 v: the two objectives meet
        (3.25, -2.0, 1.0, False),  # in the money, negative forward
        (1.0, 1e308, -1e308, False),  # F - K overflows: the halved inputs are solved
    ],
)
def test_implied_vol_at_the_edges_of_the_branches(price, F, K, call):
    vol, *_, reason = solve([price], [F], [K], [call])
    assert reason[0] == 0
    assert error_units(vol[0], F, K, call, price) <= 4.0


def test_the_time_value_against_mpmath():
    """psi(u) = phi(u) - u Phi(-u), the normalised out-of-the-money price, where
    the naive form loses u^2 ulps: a few ulps from G = psi/phi on each of its
    three branches (u/sqrt(2) below 0.46875, up to 4, beyond)."""
    rng = np.random.default_rng(7)
    u = np.concatenate(
        [rng.uniform(0.0, 0.67, 300), rng.uniform(0.66, 5.66, 600), rng.uniform(5.65, 38.0, 300)]
    )
    results = {}
    for level in LEVELS:
        results[level] = np.empty_like(u)
        kernel.elementary("normal_time_value", u, results[level], level)
        assert_same_bits(results[level], results["scalar"])
    with mpmath.workdps(40):
        for x, got in zip(u, results["scalar"]):
            m = mpmath.mpf(x)
            want = mpmath.npdf(m) - m * mpmath.ncdf(-m)
            # The exponential's own rounding, u^2/2 * eps, is inherent in phi.
            bound = 6.0 + x * x / 2
            # Below DBL_MIN, in units of the subnormal spacing.
            assert abs(got - want) / max(want, DBL_MIN) <= bound * EPS, (x, got)


def reason_oracle(price, F, K, call, disc, vol):
    """The reason codes of the normal model, by their definition in NumPy."""
    with np.errstate(all="ignore"):
        p = price / disc
        intrinsic = np.where(call, np.where(K < F, F - K, 0.0), np.where(K > F, K - F, 0.0))
        code = np.where(vol > 0, 0, 7)
        code[p == intrinsic] = 3
        code[p < intrinsic] = 1
        code[(price <= 0) | (disc <= 0)] = 4
        finite = np.isfinite(price) & np.isfinite(F) & np.isfinite(K) & np.isfinite(disc)
        code[~finite] = 6
    return code


_special = st.sampled_from([0.0, -0.0, -1.0, NAN, INF, -INF, 5e-324, 1e-310, 1e300])
_rows = st.tuples(
    _points,
    st.floats(0.5, 1.0),
    st.one_of(st.none(), st.none(), st.tuples(st.integers(0, 3), _special)),
)


@settings(max_examples=150, deadline=None)
@given(rows=st.lists(_rows, max_size=40), offset=st.integers(0, 9))
def test_every_level_gives_the_scalar_bits_and_the_reasons(rows, offset):
    n = len(rows)
    cols = np.zeros((5, n))
    call = np.zeros(n, bool)
    for i, ((sign, lf, d, ls, c), disc, edge) in enumerate(rows):
        F = sign * 10.0**lf
        s = abs(F) * 10.0**ls
        cols[:, i] = [oracle.bachelier_price(F, F - d * s, s, c) * disc, F, F - d * s, disc, s]
        call[i] = c
        if edge is not None:
            cols[edge[0], i] = edge[1]
    price, F, K, disc = cols[0], cols[1], cols[2], cols[3]

    def at_offset(a, dtype=np.float64):  # every lane position and alignment
        big = np.zeros(n + offset, dtype=dtype)
        big[offset:] = a
        return big[offset:]

    want = solve(price, F, K, call, disc)
    for level in LEVELS:
        got = solve(
            at_offset(price),
            at_offset(F),
            at_offset(K),
            at_offset(call, np.int8),
            at_offset(disc),
            level,
        )
        for g, w in zip(got[:4], want[:4]):
            assert_same_bits(g, w)
        np.testing.assert_array_equal(got[4], want[4])
    np.testing.assert_array_equal(want[4], reason_oracle(price, F, K, call, disc, want[0]))


@pytest.mark.parametrize("F, K", [(0.03, 0.025), (-0.01, 0.02), (0.0, 0.0), (-2.0, -2.003)])
@pytest.mark.parametrize("s", [0.004, 0.5])
@pytest.mark.parametrize("call", [True, False])
def test_greeks_are_the_derivatives_of_the_price(F, K, s, call):
    disc = 0.8
    price = oracle.bachelier_price(F, K, s, call) * disc
    vol, delta, gamma, vega, reason = solve([price], [F], [K], [call], [disc])
    assert reason[0] == 0
    # At the solved volatility (within ulps of s), Greeks discounted.
    want = [g * disc for g in oracle.bachelier_greeks(F, K, vol[0], call)]
    np.testing.assert_allclose([delta[0], gamma[0], vega[0]], want, rtol=1e-13, atol=1e-300)
