"""quelta.implied_volatility and quelta.greeks: market-terms layer over the core.

The core is the reference for what it computes (bit for bit); the conversions
this layer adds (discounting, annualising, Greeks per volatility point) are
checked against mpmath, by pricing with an independent Black formula and
differentiating it numerically.
"""

import ast
import inspect
import math
import sys
from fractions import Fraction
from pathlib import Path

import mpmath
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quelta
import quelta._arrays
from quelta import Reason
from quelta import black_core as bc

sys.path.insert(0, str(Path(__file__).resolve().parent))
import oracle
from support import assert_same_bits as same_bits
from support import undiscounted

EPS = 2.0**-52
NAN = math.nan
INF = math.inf
ATM = 7.965567455405804  # undiscounted ATM price, F = K = 100, total vol 0.2


def core_row(price, F, K, T, D, call):
    """(vol, delta, gamma, vega) of one quote through the scalar core functions."""
    q = 1 if call else -1
    w = bc.implied_vol(float(undiscounted(price, F, K, call, D)), F, K, q)
    if not w > 0:
        return (NAN,) * 4
    return (
        w / math.sqrt(T),
        D * bc.black_delta(F, K, w, q),
        bc.black_gamma(F, K, w) * D,
        (bc.black_vega(F, K, w) * D) * math.sqrt(T),
    )


def random_book(n, seed):
    rng = np.random.default_rng(seed)
    F = 100.0 * np.exp(rng.normal(0.0, 0.3, n))
    K = F * np.exp(rng.uniform(-1.0, 1.0, n))
    T = np.exp(rng.uniform(np.log(1 / 365), np.log(10.0), n))
    D = rng.uniform(0.6, 1.02, n)
    call = rng.random(n) < 0.5
    sigma = rng.uniform(0.05, 1.5, n)
    w = sigma * np.sqrt(T)
    d1 = (np.log(F / K) + w * w / 2) / w
    ncdf = np.vectorize(lambda z: 0.5 * math.erfc(-z / math.sqrt(2)))
    c = F * ncdf(d1) - K * ncdf(d1 - w)
    undiscounted = np.where(call, c, c - (F - K))
    price = D * undiscounted
    # A few quotes without a volatility among them.
    price[:5] = [-1.0, 0.0, 1e9, NAN, 1e-3]
    return price, F, K, T, D, call


# ---------------------------------------------------------------- the core, bit for bit


def test_results_are_the_core_results_annualised():
    price, F, K, T, D, call = random_book(400, seed=7)
    got = quelta.greeks(price, F, K, T, discount=D, kind=call)
    want = np.array([core_row(*row) for row in zip(price, F, K, T, D, call)]).T
    for name, w in zip(("vol", "delta", "gamma", "vega"), want):
        same_bits(getattr(got, name), w)
    same_bits(quelta.implied_volatility(price, F, K, T, discount=D, kind=call), want[0])
    assert np.array_equal(got.reason == Reason.OK, np.isfinite(want[0]))


# ---------------------------------------------------------------- against mpmath


def mp_value(F, K, T, D, sigma, call):
    """Market price D * Black(F, K, sigma sqrt(T)), all arguments mpf."""
    w = sigma * mpmath.sqrt(T)
    d1 = (mpmath.log(F / K) + w * w / 2) / w
    d2 = d1 - w
    ncdf = lambda z: mpmath.erfc(-z / mpmath.sqrt(2)) / 2  # noqa: E731
    if call:
        return D * (F * ncdf(d1) - K * ncdf(d2))
    return D * (K * ncdf(-d2) - F * ncdf(-d1))


CASES = [  # F, K, T, D, sigma, call
    (100.0, 100.0, 1.0, 1.0, 0.2, True),
    (100.0, 120.0, 0.25, 0.99, 0.35, True),
    (100.0, 80.0, 0.25, 0.99, 0.35, False),
    (100.0, 80.0, 4.0, 0.9, 0.25, True),  # in the money
    (50.0, 65.0, 4.0, 0.9, 0.25, False),  # in the money
    (2500.0, 1800.0, 0.05, 1.0, 0.6, False),
    (1.3, 1.25, 10.0, 0.7, 0.12, True),
    (100.0, 300.0, 2.0, 1.01, 0.4, True),  # negative rate
]


@pytest.mark.parametrize("F, K, T, D, sigma, call", CASES)
def test_recovers_the_volatility_of_an_exact_price(F, K, T, D, sigma, call):
    with mpmath.workdps(50):
        price = float(
            mpmath.mpf(D) * oracle.black_price_mp(F, K, mpmath.mpf(sigma) * mpmath.sqrt(T), call)
        )
    vol = quelta.implied_volatility(price, F, K, T, discount=D, kind="call" if call else "put")
    # The price is rounded once and divided by D once; the core's own error
    # and the annualising add a few units.
    w = sigma * math.sqrt(T)
    tolerance = 8 * EPS * (1 + oracle.condition(F, K, w, call))
    assert abs(vol / sigma - 1) <= tolerance


@pytest.mark.parametrize("F, K, T, D, sigma, call", CASES)
def test_greeks_are_derivatives_of_the_market_price(F, K, T, D, sigma, call):
    """delta = dV/dF, gamma = d2V/dF2, vega = dV/dsigma / 100, V = D Black(F, K, sigma sqrt T)."""
    with mpmath.workdps(40):
        Fm, Km, Tm, Dm, sm = (mpmath.mpf(v) for v in (F, K, T, D, sigma))
        price = float(mp_value(Fm, Km, Tm, Dm, sm, call))
        delta = mpmath.diff(lambda f: mp_value(f, Km, Tm, Dm, sm, call), Fm)
        gamma = mpmath.diff(lambda f: mp_value(f, Km, Tm, Dm, sm, call), Fm, 2)
        vega = mpmath.diff(lambda s: mp_value(Fm, Km, Tm, Dm, s, call), sm) / 100
    g = quelta.greeks(price, F, K, T, discount=D, kind="call" if call else "put")
    assert g.reason == Reason.OK
    assert g.vol == pytest.approx(sigma, rel=1e-12)
    for got, want in ((g.delta, delta), (g.gamma, gamma), (g.vega, vega)):
        assert got == pytest.approx(float(want), rel=1e-9)


# ---------------------------------------------------------------- broadcasting


@pytest.mark.parametrize(
    "shapes, result",
    [
        (((), (), (), ()), ()),
        (((5,), (), (), ()), (5,)),
        (((3, 1), (), (4,), ()), (3, 4)),
        (((2, 1, 1), (1, 3, 1), (4,), (3, 1)), (2, 3, 4)),
        (((0,), (), (), ()), (0,)),
    ],
)
def test_arguments_broadcast(shapes, result):
    rng = np.random.default_rng(3)
    price = np.broadcast_to(rng.uniform(1, 12, shapes[0]), shapes[0])
    forward = rng.uniform(95, 105, shapes[1])
    strike = rng.uniform(90, 110, shapes[2])
    expiry = rng.uniform(0.5, 2, shapes[3])
    g = quelta.greeks(price, forward, strike, expiry, discount=0.97, kind="put")
    vol = quelta.implied_volatility(price, forward, strike, expiry, discount=0.97, kind="put")
    assert np.shape(vol) == result
    for field in g:
        assert np.shape(field) == result
    if result == ():
        assert isinstance(vol, np.float64) and isinstance(g.reason, np.int8)
    b = np.broadcast_arrays(price, forward, strike, expiry)
    want = np.array(
        [core_row(p, f, k, t, 0.97, False) for p, f, k, t in zip(*(a.ravel() for a in b))]
    ).reshape(*result, 4)
    for i, name in enumerate(("vol", "delta", "gamma", "vega")):
        same_bits(np.reshape(getattr(g, name), -1), want[..., i].ravel())


def test_lists_and_per_element_options():
    vol, why = quelta.implied_volatility(
        [2.0, 12.0, 5.0],
        [100.0, 100.0, 100.0],
        [110.0, 110.0, 100.0],
        [1.0, 1.0, 0.5],
        kind=["call", "put", "call"],
        rate=[0.0, 0.01, 0.02],
        reason=True,
    )
    for i, (p, K, T, r, call) in enumerate(
        [
            (2.0, 110.0, 1.0, 0.0, True),
            (12.0, 110.0, 1.0, 0.01, False),
            (5.0, 100.0, 0.5, 0.02, True),
        ]
    ):
        D = float(np.exp(-r * T))
        assert vol[i] == core_row(p, 100.0, K, T, D, call)[0]
    assert why.dtype == np.int8 and why.tolist() == [0, 0, 0]


@pytest.mark.parametrize(
    "transform",
    [
        lambda a: np.ascontiguousarray(a[::-1])[::-1],  # reversed view
        lambda a: np.repeat(a, 2)[::2],  # strided view
        lambda a: _read_only(a),
        lambda a: a.tolist(),
        lambda a: _misaligned(a),
    ],
    ids=["reversed", "strided", "read-only", "list", "misaligned"],
)
def test_any_layout_gives_the_same_answer(transform):
    price, F, K, T, D, call = random_book(50, seed=11)
    want = quelta.greeks(price, F, K, T, discount=D, kind=call)
    args = [transform(a) for a in (price, F, K, T, D)]
    before = [np.array(a, copy=True) for a in args]
    got = quelta.greeks(*args[:4], discount=args[4], kind=transform(call))
    for g, w in zip(got, want):
        same_bits(g, w)
    for a, b in zip(args, before):  # inputs are never written
        same_bits(np.asarray(a), b)


def _misaligned(a):
    """A contiguous copy of a whose data starts one byte off its natural alignment."""
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    out = raw[1:].view(a.dtype)
    out[:] = a
    assert a.itemsize == 1 or not out.flags.aligned
    return out


def _read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("dtype", [np.float32, np.int64, np.uint16])
def test_other_numeric_dtypes_are_converted(dtype):
    strike = np.array([90, 100, 110], dtype=dtype)
    want = quelta.implied_volatility(5.0, 100.0, strike.astype(np.float64), 1.0, kind="put")
    got = quelta.implied_volatility(5.0, 100.0, strike, 1.0, kind="put")
    np.testing.assert_array_equal(got, want)


# ---------------------------------------------------------------- reasons

REASON_CASES = [  # price, F, K, T, discount, kind, reason
    (ATM * 0.95, 100.0, 100.0, 1.0, 0.95, "call", Reason.OK),
    (9.5, 110.0, 100.0, 1.0, 0.9, "call", Reason.OK),  # 9.5 / 0.9 > 10
    (9.5, 110.0, 100.0, 1.0, 1.0, "call", Reason.BELOW_INTRINSIC),
    (8.9, 110.0, 100.0, 1.0, 0.9, "call", Reason.BELOW_INTRINSIC),
    (5.0, 100.0, 110.0, 1.0, 1.0, "put", Reason.BELOW_INTRINSIC),
    (50.0, 100.0, 90.0, 1.0, 0.5, "call", Reason.ABOVE_MAXIMUM),  # = D F
    (49.9, 100.0, 90.0, 1.0, 0.5, "call", Reason.OK),
    (110.0, 100.0, 110.0, 1.0, 1.0, "put", Reason.ABOVE_MAXIMUM),
    (1e300, 100.0, 110.0, 1.0, 1.0, "call", Reason.ABOVE_MAXIMUM),
    (10.0, 110.0, 100.0, 1.0, 1.0, "call", Reason.AT_INTRINSIC),
    (10.0, 100.0, 110.0, 1.0, 1.0, "put", Reason.AT_INTRINSIC),
    (0.0, 100.0, 110.0, 1.0, 1.0, "call", Reason.NON_POSITIVE_INPUT),
    (-1.0, 100.0, 110.0, 1.0, 1.0, "call", Reason.NON_POSITIVE_INPUT),
    (5.0, 0.0, 100.0, 1.0, 1.0, "call", Reason.NON_POSITIVE_INPUT),
    (5.0, -100.0, 100.0, 1.0, 1.0, "put", Reason.NON_POSITIVE_INPUT),
    (5.0, 100.0, 0.0, 1.0, 1.0, "call", Reason.NON_POSITIVE_INPUT),
    (5.0, 100.0, 100.0, 1.0, 0.0, "call", Reason.NON_POSITIVE_INPUT),
    (5.0, 100.0, 100.0, 1.0, -0.5, "put", Reason.NON_POSITIVE_INPUT),
    (5.0, 100.0, 100.0, 0.0, 1.0, "call", Reason.NON_POSITIVE_EXPIRY),
    (5.0, 100.0, 100.0, -0.5, 1.0, "put", Reason.NON_POSITIVE_EXPIRY),
    (5.0, -100.0, 100.0, 0.0, 1.0, "put", Reason.NON_POSITIVE_EXPIRY),
    (NAN, 100.0, 100.0, 1.0, 1.0, "call", Reason.NOT_FINITE),
    (5.0, NAN, 100.0, 0.0, 1.0, "call", Reason.NOT_FINITE),
    (5.0, 100.0, INF, 1.0, 1.0, "put", Reason.NOT_FINITE),
    (5.0, 100.0, 100.0, NAN, 1.0, "call", Reason.NOT_FINITE),
    (5.0, 100.0, 100.0, INF, 1.0, "call", Reason.NOT_FINITE),
    (5.0, 100.0, 100.0, 1.0, NAN, "call", Reason.NOT_FINITE),
    (INF, 100.0, 100.0, 1.0, 1.0, "call", Reason.NOT_FINITE),
    (None, 100.0, 100.0, 1.0, 1.0, "call", Reason.NOT_FINITE),  # None is a missing value
]


@pytest.mark.parametrize("price, F, K, T, D, kind, reason", REASON_CASES)
def test_reason_codes(price, F, K, T, D, kind, reason):
    vol, code = quelta.implied_volatility(price, F, K, T, discount=D, kind=kind, reason=True)
    g = quelta.greeks(price, F, K, T, discount=D, kind=kind)
    assert Reason(code) is reason and Reason(g.reason) is reason
    solved = reason is Reason.OK
    assert all(np.isfinite(x) == solved for x in (vol, *g[:4], *g[5:]))
    if solved:
        assert vol > 0 and g.vega > 0 and g.gamma > 0


def test_reasons_in_a_vector_match_the_scalar_ones():
    cols = list(zip(*REASON_CASES))
    vol, code = quelta.implied_volatility(
        *cols[:4], discount=cols[4], kind=list(cols[5]), reason=True
    )
    assert code.tolist() == [int(r) for r in cols[6]]
    assert np.array_equal(np.isnan(vol), code != 0)


def faithful_products(D, U):
    """The two doubles either side of the exact product D U (one if it is a double)."""
    exact = Fraction(D) * Fraction(U)
    p = D * U
    if Fraction(p) == exact:
        return [p]
    return sorted([p, math.nextafter(p, INF if Fraction(p) < exact else 0.0)])


@settings(max_examples=200, deadline=None)
@given(
    F=st.floats(1e-3, 1e6),
    m=st.floats(1e-3, 3.0),
    D=st.one_of(st.just(1.0), st.floats(0.05, 1.5)),
    call=st.booleans(),
    at_maximum=st.booleans(),
)
def test_a_quote_of_discounted_bound_gets_its_reason_whatever_its_last_bit(
    F, m, D, call, at_maximum
):
    # D times the intrinsic value (in the money) or the largest price, rounded
    # either way: no time value, whatever bit the division leaves.
    K = F * math.exp(-m if call else m)
    bound = (F if call else K) if at_maximum else abs(F - K)
    reason = Reason.ABOVE_MAXIMUM if at_maximum else Reason.AT_INTRINSIC
    kind = "call" if call else "put"
    if D == 1.0:
        # Nothing is rounded: a price one ulp inside the band has its volatility.
        inside = math.nextafter(bound, 0.0 if at_maximum else INF)
        assert (
            quelta.implied_volatility(inside, F, K, 1.0, discount=D, kind=kind, reason=True)[1]
            != reason
        )
    for price in faithful_products(D, bound):
        g = quelta.greeks(price, F, K, 1.0, discount=D, kind=kind)
        assert Reason(g.reason) is reason, price
        assert all(math.isnan(x) for x in (*g[:4], *g[5:]))


@pytest.mark.parametrize(
    "rate, reason",
    [(NAN, Reason.NOT_FINITE), (-INF, Reason.NOT_FINITE), (1e6, Reason.NON_POSITIVE_INPUT)],
)  # D underflows to 0
def test_reason_codes_of_rates(rate, reason):
    _, code = quelta.implied_volatility(5.0, 100.0, 100.0, 1.0, rate=rate, reason=True)
    assert code == reason


@pytest.mark.parametrize(
    "argument, values",
    [
        ("price", [ATM, ATM, 0.5 * ATM]),
        ("forward", [100.0, 100.0, 100.0]),
        ("expiry", [1.0, 1.0, 2.0]),
        ("kind", ["call", "straddle", "put"]),
        ("discount", [1.0, 0.5, 0.9]),
    ],
)
def test_masked_entries_are_missing_values(argument, values):
    args = {
        "price": ATM,
        "forward": 100.0,
        "strike": 100.0,
        "expiry": 1.0,
        "kind": "call",
        "discount": 1.0,
    }
    args[argument] = np.ma.masked_array(values, mask=[False, True, False])
    got = quelta.greeks(**args)
    args[argument] = np.array(values)[[0, 2]]
    want = quelta.greeks(**args)
    assert got.reason.tolist() == [want.reason[0], Reason.NOT_FINITE, want.reason[1]]
    for field_got, field_want in zip(got[:4], want[:4]):
        same_bits(field_got, [field_want[0], NAN, field_want[1]])


def test_a_solver_failure_is_not_reported_as_solved(monkeypatch):
    # The kernel's own verdict on a row it could not solve reaches the caller.
    class NoSolution:
        @staticmethod
        def solve(price, F, K, is_call, disc, expiry, vol, delta, gamma, vega, reason):
            vol[:] = NAN
            reason[:] = Reason.NOT_SOLVED

    monkeypatch.setattr(quelta._arrays, "_kernel", NoSolution)
    vol, code = quelta.implied_volatility(ATM, 100.0, 100.0, 1.0, reason=True, threads=1)
    assert math.isnan(vol) and code == Reason.NOT_SOLVED


@pytest.mark.parametrize(
    "x, s",
    [
        (-1357.5328152846673, 60.545281408336905),  # vega ~1e-309
        (-99.0, 22.7),
        (-244.4, 29.13),
    ],
)
def test_a_volatility_is_right_or_not_solved(x, s):
    # Where the solver's steps stall, the quote is NOT_SOLVED, never a number off
    # by more than the price allows (two plain steps gave 58.27, 20.82, 30.15).
    F = 1e-295
    K = F * math.exp(-x / 2) * math.exp(-x / 2)
    price = oracle.black_price(F, K, s, True)
    vol, code = quelta.implied_volatility(price, F, K, 1.0, reason=True)
    if code == Reason.NOT_SOLVED:
        assert math.isnan(vol)
    else:
        assert code == Reason.OK
        assert abs(vol / s - 1) <= 8 * 2.0**-52 * oracle.condition(F, K, s, True)


def test_every_reason_has_a_description():
    assert len({r.description for r in Reason}) == len(Reason)
    assert [int(r) for r in Reason] == list(range(len(Reason)))


# ---------------------------------------------------------------- option kinds

# Solvable as a call and as a put, with different volatilities.
P, F0, K0 = 12.0, 100.0, 110.0


@pytest.mark.parametrize(
    "kind, calls",
    [
        ("call", [True]),
        ("C", [True]),
        (" Call ", [True]),
        ("c", [True]),
        (b"call", [True]),
        ("put", [False]),
        ("P", [False]),
        ("p ", [False]),
        ("PUT", [False]),
        (1, [True]),
        (-1, [False]),
        (True, [True]),
        (False, [False]),
        (1.0, [True]),
        (np.int8(-1), [False]),
        (np.bool_(True), [True]),
        ("1", [True]),
        ("-1", [False]),
        (["c", "p", "call"], [True, False, True]),
        (np.array(["put", "call"]), [False, True]),
        (np.array([1, -1], dtype=np.int8), [True, False]),
        (np.array([True, False]), [True, False]),
        (np.array(["call", -1, True], dtype=object), [True, False, True]),
    ],
)
def test_kinds(kind, calls):
    call_vol = quelta.implied_volatility(P, F0, K0, 1.0, kind="call")
    put_vol = quelta.implied_volatility(P, F0, K0, 1.0, kind="put")
    assert call_vol != put_vol
    got = np.atleast_1d(quelta.implied_volatility(P, F0, K0, 1.0, kind=kind))
    np.testing.assert_array_equal(got, np.where(calls, call_vol, put_vol))


@pytest.mark.parametrize(
    "kind",
    [
        "straddle",
        "",
        "0",
        0,
        2,
        0.5,
        ["call", "x"],
        "nan",
        np.array([1, 0]),
        np.array(["call", "nan"]),
        [None, "x"],
    ],
)
def test_unknown_kinds_are_refused(kind):
    with pytest.raises(ValueError, match="kind: unknown option kind"):
        quelta.implied_volatility(P, F0, K0, 1.0, kind=kind)


@pytest.mark.parametrize(
    "kind",
    [  # of [call, missing, put], given pandas
        lambda pd: ["call", None, "put"],
        lambda pd: ["c", NAN, "p"],
        lambda pd: [True, pd.NA, False],
        lambda pd: np.array([1.0, NAN, -1.0]),
        lambda pd: np.array(["call", None, "put"], dtype=object),
        lambda pd: pd.Series(["call", None, "put"]),
        lambda pd: pd.Series(["call", pd.NA, "put"], dtype="string"),
        lambda pd: pd.Series([1, pd.NA, -1], dtype="Int64"),
        lambda pd: pd.Series(["call", None, "put"], dtype="category"),
    ],
    ids=[
        "list-None",
        "list-NaN",
        "list-NA",
        "float-NaN",
        "object-None",
        "Series-None",
        "Series-string-NA",
        "Series-Int64-NA",
        "Series-category-None",
    ],
)
def test_a_missing_kind_is_a_missing_value(kind):
    kind = kind(pytest.importorskip("pandas"))
    price, strike = [12.0, ATM, 20.0], [110.0, 100.0, 110.0]
    got = quelta.greeks(price, F0, strike, 1.0, kind=kind, rate=0.01)
    want = quelta.greeks(price, F0, strike, 1.0, kind=[True, True, False], rate=0.01)
    assert np.asarray(got.reason).tolist() == [Reason.OK, Reason.NOT_FINITE, Reason.OK]
    for field_got, field_want in zip((*got[:4], *got[5:]), (*want[:4], *want[5:])):
        same_bits(np.asarray(field_got), [field_want[0], NAN, field_want[2]])
    for scalar in (None, NAN):
        _, code = quelta.implied_volatility(ATM, F0, 100.0, 1.0, kind=scalar, reason=True)
        assert code == Reason.NOT_FINITE


# ---------------------------------------------------------------- discounting


def test_rate_is_discount_exp_minus_rate_times_expiry():
    price, F, K, T, _, call = random_book(100, seed=5)
    rate = np.linspace(-0.02, 0.1, 100)
    by_rate = quelta.greeks(price, F, K, T, rate=rate, kind=call)
    by_discount = quelta.greeks(price, F, K, T, discount=np.exp(-rate * T), kind=call)
    for a, b in zip(by_rate[:5], by_discount[:5]):  # theta and rho read the rate itself
        same_bits(a, b)


def test_no_discount_means_undiscounted():
    price, F, K, T, _, call = random_book(50, seed=6)
    same_bits(
        quelta.implied_volatility(price, F, K, T, kind=call),
        quelta.implied_volatility(price, F, K, T, kind=call, discount=1.0),
    )


def test_discount_and_rate_together_are_refused():
    with pytest.raises(TypeError, match="discount or rate"):
        quelta.implied_volatility(ATM, 100.0, 100.0, 1.0, discount=0.99, rate=0.01)


# ---------------------------------------------------------------- bad input


@pytest.mark.parametrize(
    "argument, value, error, match",
    [
        ("price", "7.9", TypeError, "price: expected numbers, got strings"),
        ("price", ["1.0", "2.0"], TypeError, "price: expected numbers"),
        ("forward", np.array([100.0, "abc"], dtype=object), TypeError, "forward: expected numbers"),
        ("forward", np.array([100.0, "1.5"], dtype=object), TypeError, "forward: expected numbers"),
        (
            "forward",
            np.array([100.0, object()], dtype=object),
            TypeError,
            "forward: expected numbers",
        ),
        ("strike", np.array([100 + 1j]), TypeError, "strike: expected numbers, got complex"),
        ("expiry", [True, False], TypeError, "expiry: expected numbers, got booleans"),
        ("discount", {"a": 1}, TypeError, "discount: expected numbers"),
        ("strike", np.ones(4), ValueError, r"do not broadcast.*price \(3,\).*strike \(4,\)"),
        ("kind", ["call"] * 4, ValueError, r"do not broadcast.*kind \(4,\)"),
        ("kind", 1 + 1j, TypeError, "kind"),
    ],
)
def test_bad_arguments_are_refused(argument, value, error, match):
    args = {
        "price": np.full(3, 5.0),
        "forward": 100.0,
        "strike": 100.0,
        "expiry": 1.0,
        "discount": 1.0,
        "kind": "call",
    }
    args[argument] = value
    with pytest.raises(error, match=match):
        quelta.greeks(
            args.pop("price"), args.pop("forward"), args.pop("strike"), args.pop("expiry"), **args
        )


# ---------------------------------------------------------------- pandas


def test_pandas_series_in_and_out():
    pd = pytest.importorskip("pandas")
    price, F, K, T, D, call = random_book(30, seed=9)
    index = pd.Index([f"opt{i}" for i in range(30)])
    frame = pd.DataFrame(
        {"price": price, "F": F, "K": K, "T": T, "D": D, "cp": np.where(call, "C", "P")},
        index=index,
    )
    g = quelta.greeks(frame.price, frame.F, frame.K, frame["T"], discount=frame.D, kind=frame.cp)
    want = quelta.greeks(price, F, K, T, discount=D, kind=call)
    for got, w in zip(g, want):
        assert isinstance(got, pd.Series) and got.index.equals(index)
        same_bits(got.to_numpy(), w)
    vol = quelta.implied_volatility(frame.price, frame.F, 100.0, 1.0)
    assert isinstance(vol, pd.Series) and vol.name == "implied_vol"


def test_pandas_missing_values_and_misaligned_series():
    pd = pytest.importorskip("pandas")
    price = pd.Series([ATM, None], dtype="Float64")
    vol, code = quelta.implied_volatility(price, 100.0, 100.0, 1.0, reason=True)
    assert vol.iloc[0] == pytest.approx(0.2) and math.isnan(vol.iloc[1])
    assert code.tolist() == [Reason.OK, Reason.NOT_FINITE]
    _, code = quelta.implied_volatility([ATM, pd.NA], 100.0, [100.0, pd.NA], 1.0, reason=True)
    assert code.tolist() == [Reason.OK, Reason.NOT_FINITE]
    for bad in (pd.Series(["5.0", "6.0"]), pd.Series([True, False], dtype="boolean")):
        with pytest.raises(TypeError, match="price: expected numbers"):
            quelta.implied_volatility(bad, 100.0, 100.0, 1.0)
    with pytest.raises(ValueError, match="different indexes"):
        quelta.implied_volatility(
            pd.Series([ATM, ATM]), pd.Series([100.0, 100.0], index=[1, 0]), 100.0, 1.0
        )


# ---------------------------------------------------------------- typing


def test_stub_declares_the_core_functions_as_they_are():
    stub = Path(quelta.__file__).with_name("black_core.pyi")
    assert stub.with_name("py.typed").is_file()
    declared = {
        node.name: [a.arg for a in node.args.args]
        for node in ast.parse(stub.read_text()).body
        if isinstance(node, ast.FunctionDef)
    }
    actual = {
        name: list(inspect.signature(f).parameters)
        for name, f in vars(bc).items()
        if callable(f)
        and not name.startswith("_")
        and getattr(f, "__module__", None) == "quelta.black_core"
    }
    assert declared == actual
