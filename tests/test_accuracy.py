"""Accuracy of implied_vol and the Greeks against the mpmath oracle (tests/oracle.py).

Round trip: price an option exactly with the oracle, round the price to double,
solve with implied_vol and compare with the volatility that made the price.

Error model. Rounding the price moves it by up to eps/2 relative; forming
beta = price/(sqrt(F) sqrt(K)) costs up to 2 eps more and the in-the-money
reduction (intrinsic value F - K rounded, then subtracted) 1 eps relative to
the quoted price. Each of these is amplified by |b/(s b')|, and the error of
the double log-moneyness ln(F/K) by (1 + |x|) |b_x/(s b')|; oracle.condition
returns the sum as cond. The solver's own evaluation of b adds up to about
4 eps of volatility: its erfcx form subtracts two erfcx values, and one ulp of
each costs 0.63 (erfcx_1 + erfcx_2)/s eps of volatility, about 3 eps at the
branch's smallest s = 0.42. The last Householder step leaves eps/2. Hence
|vol/s - 1| <= 8 eps max(1, cond) (0.5 + 2 + 1 + 4 + 0.5; TOLERANCE_UNITS):
a bound from the error budget, not a fit to observed errors (the largest seen
over 170000 points of benchmarks/accuracy.py is 4).

Points where the double price carries (almost) no information are not tested:
a price below the smallest normal double, a normalised out-of-the-money price
below 1e-300, or cond above 1e11. Past that the price pins the volatility to
no better than ~1e-4 and the first-order error model stops holding; it is
where the time value of an in-the-money option sinks below the ulp of its
price, or a huge volatility pushes the price against its upper bound. Up to
it, the bound is still tight enough to catch any real fault.
"""

import math
import sys
from collections import namedtuple
from pathlib import Path

import mpmath
import numpy as np
import pytest

import quelta.black_core as bc

sys.path.insert(0, str(Path(__file__).resolve().parent))
import oracle

EPS = 2.0**-52
DBL_MIN = 2.0**-1022
TOLERANCE_UNITS = 8
MAX_CONDITION = 1e11
MIN_NORMALISED_PRICE = 1e-300

Case = namedtuple("Case", "F K s is_call")
Reference = namedtuple("Reference", "case x price cond branch region itm")


def make_case(x, s, is_call, scale):
    """(F, K) doubles with ln(F/K) close to x, at a few price scales.

    scale 0: F = 100 and K = 100 e^-x (the quotient F/K is rounded);
    scale 1: K = 2^-3 and F = K e^x (the quotient is exact);
    scale 2: F = 3e-5 and K = F e^-x.
    """
    if scale == 0:
        return Case(100.0, 100.0 * math.exp(-x), s, is_call)
    if scale == 1:
        return Case(0.125 * math.exp(x), 0.125, s, is_call)
    return Case(3e-5, 3e-5 * math.exp(-x), s, is_call)


def reference(case):
    """The oracle's view of a case, or None if its double price is uninformative."""
    F, K, s, is_call = case
    x = math.log(F / K)
    price = oracle.black_price(F, K, s, is_call)
    otm_price = oracle.normalised_price(F, K, s, x < 0)  # the out-of-the-money kind
    if not (price >= DBL_MIN and otm_price >= MIN_NORMALISED_PRICE):
        return None
    if not price < (F if is_call else K):
        return None
    cond = oracle.condition(F, K, s, is_call)
    if not cond <= MAX_CONDITION:
        return None
    itm = (x > 0) == is_call and x != 0
    return Reference(
        case, x, price, cond, oracle.solver_branch(F, K, s, is_call), oracle.black_region(x, s), itm
    )


def relative_error(vol, s):
    """|vol/s - 1|; infinite for a NaN or infinite vol (never a silent pass)."""
    return abs(vol / s - 1.0) if math.isfinite(vol) else math.inf


def check_round_trips(refs, solve):
    """Solve every reference price; return descriptions of the failures."""
    vols = solve(refs)
    failures = []
    for ref, vol in zip(refs, vols):
        err = relative_error(vol, ref.case.s)
        if not err <= TOLERANCE_UNITS * EPS * max(1.0, ref.cond):
            failures.append(
                f"x={ref.x!r} s={ref.case.s!r} {'call' if ref.case.is_call else 'put'} "
                f"F={ref.case.F!r} K={ref.case.K!r} price={ref.price!r} vol={vol!r} "
                f"cond={ref.cond:.3g} err={err / EPS:.3g} eps "
                f"(branch {ref.branch}, {ref.region})"
            )
    return failures


def solve_scalar(refs):
    return [bc.implied_vol(r.price, r.case.F, r.case.K, 1 if r.case.is_call else -1) for r in refs]


# ------------------------------------------------------------------ the grid
#
# |x| from 0 to 100 against total volatilities from 1e-6 to 22, each point as
# an out-of-the-money and an in-the-money call and put. The volatilities
# straddle the branch boundaries of the normalised Black function (s/2 around
# 0.2102, h + t around 0.85, h around -10) and, through s_c = sqrt(2|x|), all
# four segments of the solver's initial guess.

ABS_X = [0.0, 1e-7, 1e-3, 0.05, 0.3, 1.0, 2.5, 7.0, 20.0, 50.0, 100.0]
VOLS = [
    1e-6,
    1e-4,
    3e-3,
    0.03,
    0.1,
    0.25,
    0.41,
    0.43,
    0.7,
    1.0,
    1.6,
    2.5,
    4.0,
    6.5,
    10.0,
    15.0,
    22.0,
]
KINDS = {
    "call-otm": (True, False),
    "call-itm": (True, True),
    "put-otm": (False, False),
    "put-itm": (False, True),
}
# (|x|, s) where the out-of-the-money price is about 1e-299.
NEAR_SMALLEST = [
    (1e-3, 2.732e-05),
    (0.3, 0.008162),
    (1.0, 0.02718),
    (7.0, 0.19),
    (20.0, 0.5425),
    (50.0, 1.355),
    (100.0, 2.711),
]
FAMILIES = [(abs_x, kind) for abs_x in ABS_X for kind in KINDS]
FAMILIES += [("1e-299", "call-otm"), ("1e-299", "put-otm")]


def family_cases(abs_x, kind):
    is_call, itm = KINDS[kind]
    points = NEAR_SMALLEST if abs_x == "1e-299" else [(abs_x, s) for s in VOLS]
    return [
        make_case(a if itm == is_call else -a, s, is_call, i % 3) for i, (a, s) in enumerate(points)
    ]


@pytest.fixture(scope="module")
def grid():
    """Oracle references for every informative grid point, by family."""
    return {
        family: [r for r in map(reference, family_cases(*family)) if r is not None]
        for family in FAMILIES
    }


@pytest.mark.parametrize("family", FAMILIES, ids=[f"{a}-{k}" for a, k in FAMILIES])
def test_round_trip_grid(grid, family):
    refs = grid[family]
    failures = check_round_trips(refs, solve_scalar)
    assert not failures, f"{len(failures)} of {len(refs)} round trips:\n" + "\n".join(failures)


def test_grid_reaches_every_branch(grid):
    """The round trips above exercise every solver segment and Black branch."""
    refs = [r for family in grid.values() for r in family]
    assert {r.branch for r in refs} == {1, 2, 3, 4}
    assert {r.region for r in refs} == set(oracle.BLACK_REGIONS)
    for region in oracle.BLACK_REGIONS:
        kinds = {(r.case.is_call, r.itm) for r in refs if r.region == region}
        # In the asymptotic region the time value is below 1e-20 of the
        # intrinsic value: an in-the-money price there carries no volatility.
        want = {(c, i) for c, i in KINDS.values() if not (i and region == "asymptotic")}
        assert kinds == want, region
    otm_prices = [
        float(oracle.normalised_price(r.case.F, r.case.K, r.case.s, r.x < 0)) for r in refs
    ]
    assert min(otm_prices) < 2e-299
    assert min(r.case.s for r in refs) <= 1e-6 and max(r.case.s for r in refs) >= 20
    assert max(abs(r.x) for r in refs) >= 99


# ------------------------------------------------------- single round trips


@pytest.mark.parametrize(
    "price, F, K, q, vol",
    [
        (7.965567455405804, 100.0, 100.0, 1, 0.2),
        (7.965567455405804, 100.0, 100.0, -1, 0.2),
        (6.19042641376835, 100.0, 110.0, 1, 0.25),
        (16.190426413768336, 100.0, 110.0, -1, 0.25),
    ],
)
def test_quoted_prices(price, F, K, q, vol):
    """Prices quoted to 16 digits: the nominal volatility to 2e-15, the exact one to tolerance."""
    got = bc.implied_vol(price, F, K, q)
    assert relative_error(got, vol) <= 2e-15
    exact = float(oracle.implied_vol(price, F, K, q > 0))
    cond = oracle.condition(F, K, exact, q > 0)
    assert relative_error(got, exact) <= TOLERANCE_UNITS * EPS * max(1.0, cond)


@pytest.mark.parametrize("price", [1e-200, 1e-300, 3e-12])
@pytest.mark.parametrize("q", [1, -1])
def test_tiny_at_the_money_price(price, q):
    """At the money b = erf(s/sqrt(8)), so s = sqrt(8) erfinv(price/F) independently."""
    got = bc.implied_vol(price, 100.0, 100.0, q)
    with mpmath.workdps(40):
        exact = float(mpmath.sqrt(8) * mpmath.erfinv(mpmath.mpf(price) / 100))
    assert relative_error(got, exact) <= TOLERANCE_UNITS * EPS


# ------------------------------------------------------------ the oracle


@pytest.mark.parametrize(
    "x, s, value",
    [
        (-1.0, 1.0, 0.0769910231416742),
        (1.0, 1.0, 1.11918163412917),
        (-0.5, 0.2, 0.000399163502916),
        (-3.0, 5.0, 0.212386132812669),
        (-20.0, 1.0, 1.20977497261216e-90),
        (-1.0, 1000.0, 0.606530659712633),
        (0.0, 0.3, 0.119235384740485),
        (0.0, 3.0, 0.866385597462284),
    ],
)
def test_oracle_published_values(x, s, value):
    assert float(oracle.normalised_call(x, s)) == pytest.approx(value, rel=5e-14)


@pytest.mark.parametrize("s", [1e-250, 1e-40, 1e-6, 0.3, 7.0])
def test_oracle_at_the_money_is_erf(s):
    """b(0, s) = erf(s/sqrt(8)): the cancellation at tiny s is resolved to full precision."""
    with mpmath.workdps(60):
        want = mpmath.erf(mpmath.mpf(s) / mpmath.sqrt(8))
        assert abs(oracle.normalised_call(0.0, s) / want - 1) < mpmath.mpf(10) ** -45


@pytest.mark.parametrize(
    "F, K, s", [(100.0, 110.0, 0.25), (100.0, 1e30, 9.0), (100.0, 99.999999, 1e-5), (7.0, 2.0, 0.6)]
)
def test_oracle_put_is_call_by_parity(F, K, s):
    put = oracle.black_price_mp(F, K, s, False)
    assert abs(oracle.put_by_parity(F, K, s) / put - 1) < 1e-45


# ---------------------------------------------------------------- the Greeks

GREEK_POINTS = [
    (100.0, 100.0, 0.2),
    (100.0, 110.0, 0.25),
    (100.0, 80.0, 0.05),
    (50.0, 40.0, 1.3),
    (1.0, 1.0, 1e-3),
    (2.5e-3, 7e-3, 0.6),
    (1e6, 1.2e6, 2.0),
    (100.0, 300.0, 0.4),
    # F/K underflows; a subnormal density under a normal vega (d1 = 38.5, 38.0)
    (1e-300, 1e150, 50.0),
    (1e300, 1e300, 77.0),
    (1e300, 1.0, 30.0),
    (1e-300, 1e-290, 0.4),
]


def assert_greek(got, want, tol):
    """Checked where the true value is a normal double; else it may round anyhow."""
    if abs(want) >= DBL_MIN:
        assert relative_error(got, want) <= tol, (got, want)


def greek_tolerance(F, K, s, log_slope):
    """4 eps (1 + |d ln g/d d1| * error of the double d1 in eps).

    d1 = (ln(F/K) + s s/2)/s in double is off by up to
    ((1 + |ln(F/K)|)/s + s/2 + 2|d1|) eps/2; the normal CDF or density then
    adds a few ulps of its own.
    """
    x = abs(math.log(F) - math.log(K))
    d1_units = ((1 + x) / s + s / 2 + 2 * abs(oracle.d1(F, K, s))) / 2
    return 4 * EPS * (1 + abs(log_slope) * d1_units)


@pytest.mark.parametrize("F, K, s", GREEK_POINTS)
@pytest.mark.parametrize("q", [1, -1])
def test_delta(F, K, s, q):
    d1 = oracle.d1(F, K, s)
    want = oracle.black_delta(F, K, s, q > 0)
    # d ln Phi(+-d1)/d d1 = phi(d1)/Phi(+-d1)
    slope = float(mpmath.npdf(d1) / mpmath.ncdf(d1 if q > 0 else -d1))
    assert_greek(bc.black_delta(F, K, s, q), want, greek_tolerance(F, K, s, slope))


@pytest.mark.parametrize("F, K, s", GREEK_POINTS)
def test_gamma_and_vega(F, K, s):
    slope = oracle.d1(F, K, s)  # d ln phi(d1)/d d1 = -d1
    tol = greek_tolerance(F, K, s, slope)
    assert_greek(bc.black_gamma(F, K, s), oracle.black_gamma(F, K, s), tol)
    assert_greek(bc.black_vega(F, K, s), oracle.black_vega(F, K, s), tol)


@pytest.mark.parametrize("F, K", [(1e-300, 1e150), (100.0, 100.0), (1e300, 1e-300)])
def test_delta_at_huge_volatility(F, K):
    # d1 ~ sigma/2 = 5e299: Phi(d1) rounds to 1 and Phi(-d1) to 0 exactly.
    assert bc.black_delta(F, K, 1e300, 1) == 1.0
    assert bc.black_delta(F, K, 1e300, -1) == 0.0


# -------------------------------------------------------------- dense sample


def random_cases(n, seed):
    """|x| log-uniform on [1e-9, 100] (an eighth at the money), s log-uniform
    from max(1e-6, |x|/38) (where prices reach ~1e-300) to 25."""
    rng = np.random.default_rng(seed)
    abs_x = np.where(rng.random(n) < 0.125, 0.0, np.exp(rng.uniform(np.log(1e-9), np.log(100), n)))
    lo = np.log(np.maximum(1e-6, abs_x / 38))
    s = np.exp(lo + rng.random(n) * (np.log(25) - lo))
    sign = rng.choice([-1.0, 1.0], n)
    is_call = rng.random(n) < 0.5
    return [
        make_case(float(a * g), float(v), bool(c), 0) for a, g, v, c in zip(abs_x, sign, s, is_call)
    ]


def solve_vectorized(refs):
    """Through vectorized_implied_vol_strikes, one call per option kind (all F = 100)."""
    vols = np.empty(len(refs))
    for is_call in (True, False):
        idx = [i for i, r in enumerate(refs) if r.case.is_call == is_call]
        price = np.array([refs[i].price for i in idx])
        strikes = np.array([refs[i].case.K for i in idx])
        vols[idx] = bc.vectorized_implied_vol_strikes(price, 100.0, strikes, 1 if is_call else -1)
    return vols.tolist()


@pytest.mark.slow
def test_round_trip_random_sample():
    refs = [r for r in map(reference, random_cases(8000, seed=20250601)) if r is not None]
    assert len(refs) > 6000
    failures = check_round_trips(refs, solve_vectorized)
    assert not failures, f"{len(failures)} of {len(refs)} round trips:\n" + "\n".join(failures[:40])


# ----------------------------------------------- the whole domain of doubles
#
# Regions beyond the grid: the band 76 < |x| <= 100 at s of 21 to 23, where
# the two Householder steps alone fall short; |x| up to 700 with s up to 60;
# F and K anywhere from 1e-250 to 1e250, where F/K may leave the normal range;
# and normal prices whose normalised value price/sqrt(FK) is below DBL_MIN.
# The log-moneyness of a case is ln F - ln K, which has no range trouble.

# The band of |x| from 76 to 100 at s near 22 is conditioned at 1e9 to 1e12:
# an ulp of the price still moves the volatility by no more than 1e-4
# relative, well inside the first-order error model.
EXTENDED_MAX_CONDITION = 1e12


def extended_reference(case):
    """As reference, for any F and K, and a normalised price down to 0."""
    F, K, s, is_call = case
    price = oracle.black_price(F, K, s, is_call)
    if not (DBL_MIN <= price < (F if is_call else K)):
        return None
    cond = oracle.condition(F, K, s, is_call)
    if not cond <= EXTENDED_MAX_CONDITION:
        return None
    x = math.log(F) - math.log(K)
    return Reference(case, x, price, cond, 0, "-", (x > 0) == is_call and x != 0)


def extended_cases(region, n, seed):
    rng = np.random.default_rng(seed)
    cases = []
    for _ in range(n):
        is_call = bool(rng.random() < 0.5)
        sign = float(rng.choice([-1.0, 1.0]))
        if region == "band 76-100":
            ax, s = rng.uniform(76, 100), rng.uniform(21, 23)
        elif region == "wing 100-700":
            ax = math.exp(rng.uniform(math.log(100), math.log(700)))
            s = math.exp(rng.uniform(math.log(ax / 38), math.log(60)))
        elif region == "F, K 1e-250 to 1e250":
            F, K = 10.0 ** rng.uniform(-250, 250, 2)
            ax, sign = abs(math.log(F) - math.log(K)), 1.0 if F > K else -1.0
            s = math.exp(rng.uniform(math.log(max(1e-3, ax / 38)), math.log(60)))
            cases.append(Case(float(F), float(K), s, is_call))
            continue
        else:  # beta below DBL_MIN: an out-of-the-money price of about e^-(705..740)
            ax = math.exp(rng.uniform(math.log(0.5), math.log(20)))
            s = ax / math.sqrt(2 * rng.uniform(705, 740))
            sign = -1.0 if is_call else 1.0
        # F near 1 keeps K = F e^-x finite out to |x| = 700; F near 1e200
        # puts a normal price under a normalised one below DBL_MIN.
        F = 10.0 ** (rng.uniform(150, 250) if region == "beta < DBL_MIN" else rng.uniform(-2, 2))
        cases.append(Case(F, F * math.exp(-sign * ax), float(s), is_call))
    return cases


EXTENDED_REGIONS = ["band 76-100", "wing 100-700", "F, K 1e-250 to 1e250", "beta < DBL_MIN"]


@pytest.mark.parametrize("region", EXTENDED_REGIONS)
def test_round_trip_extended_domain(region):
    refs = [r for r in map(extended_reference, extended_cases(region, 64, seed=9)) if r]
    assert len(refs) >= 12
    if region == "beta < DBL_MIN":
        assert all(r.price / math.sqrt(r.case.F * r.case.K) < DBL_MIN for r in refs)
    failures = check_round_trips(refs, solve_scalar)
    assert not failures, "\n".join(failures)


@pytest.mark.parametrize(
    "F, K, s, is_call",
    [
        (100.0, 100.0 * math.exp(99.0), 22.70, True),  # two steps gave 20.822
        (100.0, 100.0 * math.exp(-99.0), 22.70, False),
        (100.0, 100.0 * math.exp(244.4), 29.13, True),  # two steps gave 30.15
        (1e-100, 1e-100 * math.exp(370.5) * math.exp(370.5), 40.0, True),  # x = -741
        (1e250, 1.3e250, 0.0068, True),  # price/sqrt(FK) underflows to 0
        (1e250, 1e250 * math.exp(-1.0), 0.026, False),  # ... and is subnormal
        (1e-250, 1e250, 50.0, True),  # F/K underflows
        (1e250, 1e-250, 50.0, False),  # F/K overflows
    ],
)
def test_named_extreme_points(F, K, s, is_call):
    price = oracle.black_price(F, K, s, is_call)
    cond = oracle.condition(F, K, s, is_call)
    vol = bc.implied_vol(price, F, K, 1 if is_call else -1)
    assert relative_error(vol, s) <= TOLERANCE_UNITS * EPS * max(1.0, cond), (vol, cond)
