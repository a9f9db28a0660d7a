"""Spot inputs and the full set of Greeks of quelta.greeks.

Every Greek is checked against a central difference, in mpmath, of the
Black-Scholes-Merton price (oracle.bsm_price):
V = exp(-r T) * Black(F, K, sigma sqrt(T)) with F = S exp((r - q) T) for a
spot, or the forward itself when a forward is given (then held fixed).
"""

import math

import mpmath
import numpy as np
import oracle
import pytest
from support import GREEKS, greek_scales
from support import assert_same_bits as same_bits

import quelta
from quelta import Reason

DAY = mpmath.mpf(1) / 365


def seeded_options(n, seed, expiries=(2 / 365, 8.0), highest=0.9):
    """Calls and puts over moneyness, expiry (log-uniform over `expiries`, in
    years), rate, dividend yield and volatility (up to `highest`)."""
    rng = np.random.default_rng(seed)
    S = 100.0 * np.exp(rng.normal(0.0, 0.3, n))
    T = np.exp(rng.uniform(math.log(expiries[0]), math.log(expiries[1]), n))
    r = rng.uniform(-0.01, 0.09, n)
    q = rng.uniform(0.0, 0.06, n)
    sigma = rng.uniform(0.08, highest, n)
    # Strikes up to 3 standard deviations either side, so every price has time value.
    K = S * np.exp(rng.uniform(-3.0, 3.0, n) * sigma * np.sqrt(T))
    call = rng.random(n) < 0.5
    return S, K, T, r, q, sigma, call


def quote(S, K, T, r, q, sigma, call, spot, by_discount):
    """quelta's arguments for one option, and the exact market they mean (mpf).

    Returns the price (rounded), the keywords, the underlying u (the spot,
    or the forward S exp((r - q) T) rounded) and the rate: r, or -ln(D)/T
    of the rounded discount factor D.
    """
    u = S if spot else float(mpmath.mpf(S) * mpmath.exp((mpmath.mpf(r) - q) * T))
    kw = {"strike": K, "expiry": T, "kind": call}
    kw.update({"spot": u, "dividend_yield": q} if spot else {"forward": u})
    if by_discount:
        kw["discount"] = math.exp(-r * T)
        rate = -mpmath.log(kw["discount"]) / T
    else:
        kw["rate"] = r
        rate = mpmath.mpf(r)
    return float(oracle.bsm_price(u, K, T, rate, q, sigma, call, spot)), kw, u, rate


@pytest.mark.parametrize("spot", [True, False], ids=["spot", "forward"])
@pytest.mark.parametrize("by_discount", [False, True], ids=["rate", "discount"])
def test_every_greek_is_a_derivative_of_the_market_price(spot, by_discount):
    """delta, gamma: d/du, d2/du2 (u the spot or the forward); vega, vanna, volga per
    vol point; theta = -dV/dT per day and rho = dV/dr per point, at fixed u and q;
    each within 1e-12 of itself (of its terms where they cancel), up to total
    volatilities of 20, where a call's rho is a tail probability times K."""
    seed = 14 + 2 * spot + by_discount
    options = [
        *zip(*seeded_options(40, seed)),
        *zip(*seeded_options(40, seed + 100, expiries=(1.0, 30.0), highest=4.0)),
    ]
    with mpmath.workdps(50):
        quotes = [quote(*o, spot, by_discount) for o in options]
    price = np.array([p for p, *_ in quotes])
    args = {k: np.array([kw[k] for _, kw, *_ in quotes]) for k in quotes[0][1]}
    g = quelta.greeks(price, **args)
    ok = np.flatnonzero(g.reason == Reason.OK)
    # At the largest volatilities a price may sit at its bound: not solved, not checked.
    assert ok.size >= 70 and np.all(g.reason[:40] == Reason.OK)
    assert np.max(g.vol[ok] * np.sqrt(args["expiry"][ok])) > 10.0

    # At quelta's volatility: what is checked here is the Greeks, not the solve.
    u, rate = (np.array([quoted[i] for quoted in quotes])[ok] for i in (2, 3))
    _, K, T, _, q, _, call = (np.array(c)[ok] for c in zip(*options))
    with mpmath.workdps(50):
        want = np.array(
            [oracle.bsm_greeks(*a, spot) for a in zip(u, K, T, rate, q, g.vol[ok], call)],
            dtype=float,
        ).T
    scale = greek_scales(want, price[ok], u.astype(float), K, T, rate, q, g.vol[ok], spot)
    for name, w, sc in zip(GREEKS, want, scale):
        err = np.abs(np.asarray(getattr(g, name))[ok] - w) / sc
        assert err.max() <= 1e-12, (name, int(ok[err.argmax()]), err.max())


@pytest.mark.parametrize("spot", [True, False], ids=["spot", "forward"])
def test_put_call_relations_of_delta_theta_and_rho(spot):
    """Call minus put is D (F - K) = S exp(-qT) - K exp(-rT), and so are its derivatives."""
    S, K, T, r, q, sigma, _ = seeded_options(60, seed=41)
    calls, puts, want = [], [], []
    with mpmath.workdps(40):
        for args in zip(S, K, T, r, q, sigma):
            s, k, t, rate, div, vol = (mpmath.mpf(float(v)) for v in args)
            u = s if spot else s * mpmath.exp((rate - div) * t)
            c = oracle.bsm_price(u, k, t, rate, div, vol, True, spot)
            disc = mpmath.exp(-rate * t)
            carry = mpmath.exp(-div * t) if spot else disc  # d(call - put)/du
            forward_value = u * carry - k * disc  # D (F - K)
            calls.append(float(c))
            puts.append(float(c - forward_value))
            if spot:  # at fixed S and q
                theta = (div * u * carry - rate * k * disc) * DAY
                rho = t * k * disc / 100
            else:  # at fixed F
                theta = rate * forward_value * DAY
                rho = -t * forward_value / 100
            want.append((float(u), float(carry), float(theta), float(rho)))
    u, carry, theta, rho = np.array(want).T
    kw = {"spot": u, "dividend_yield": q} if spot else {"forward": u}
    c = quelta.greeks(np.array(calls), strike=K, expiry=T, rate=r, kind="call", **kw)
    p = quelta.greeks(np.array(puts), strike=K, expiry=T, rate=r, kind="put", **kw)
    assert np.all((c.reason == Reason.OK) & (p.reason == Reason.OK))
    for name, w in (("delta", carry), ("theta", theta), ("rho", rho)):
        cg, pg = getattr(c, name), getattr(p, name)
        assert np.all(np.abs(cg - pg - w) <= 1e-12 * (np.abs(cg) + np.abs(pg))), name


@pytest.mark.parametrize("by_discount", [False, True], ids=["rate", "discount"])
def test_a_spot_gives_the_volatility_of_its_forward(by_discount):
    S, K, T, r, q, sigma, call = seeded_options(200, seed=5)
    with mpmath.workdps(30):
        price = [
            float(oracle.bsm_price(*(mpmath.mpf(float(v)) for v in a), c, True))
            for *a, c in zip(S, K, T, r, q, sigma, call)
        ]
    price[:3] = [math.nan, -1.0, 1e6]  # quotes without a volatility stay without one
    D = np.exp(-r * T)
    # The documented forwards, S times F/S: exp((r - q) T), or exp(-q T) / D.
    rates = {"discount": D} if by_discount else {"rate": r}
    forward = S * (np.exp(-q * T) / D if by_discount else np.exp((r - q) * T))
    by_spot = quelta.greeks(price, strike=K, expiry=T, kind=call, spot=S, dividend_yield=q, **rates)
    by_forward = quelta.greeks(price, forward, K, T, kind=call, **rates)
    for name in ("vol", "vega", "reason"):
        same_bits(getattr(by_spot, name), getattr(by_forward, name))
    assert np.all(by_spot.reason[3:] == Reason.OK)
    assert np.nanmax(np.abs(by_spot.vol / sigma - 1)) < 1e-12


@pytest.mark.parametrize(
    "arguments, match",
    [
        ({"forward": 100.0, "spot": 100.0, "rate": 0.01}, "either forward or spot, not both"),
        ({"rate": 0.01}, "missing argument: give forward, or spot with rate"),
        ({"spot": 100.0}, "spot needs rate"),
        ({"forward": 100.0, "dividend_yield": 0.02}, "dividend_yield is used only with spot"),
        ({"spot": 100.0, "rate": 0.01, "strike": None}, "missing argument: strike"),
        ({"spot": 100.0, "rate": 0.01, "expiry": None}, "missing argument: expiry"),
    ],
)
def test_underlying_arguments_are_checked(arguments, match):
    args = {"strike": 100.0, "expiry": 1.0, **arguments}
    for f in (quelta.implied_volatility, quelta.greeks):
        with pytest.raises(TypeError, match=match):
            f(8.0, **args)


@pytest.mark.parametrize("spot", [True, False], ids=["spot", "forward"])
@pytest.mark.parametrize("F, K, sigma", [(1e-155, 1e155, 37.8), (1e-160, 1e160, 38.4)])
def test_greeks_where_forward_over_strike_is_below_the_normal_range(F, K, sigma, spot):
    """ln(F/K) as the kernel takes it, ln F - ln K, where F/K is subnormal:
    vanna, volga, theta and rho against their closed forms in mpmath."""
    r, q, T = 0.03, 0.01, 1.0
    u = F * math.exp(-(r - q) * T) if spot else F
    with mpmath.workdps(50):
        price = float(oracle.bsm_price(u, K, T, r, q, sigma, True, spot))
    kw = {"spot": u, "dividend_yield": q} if spot else {"forward": u}
    g = quelta.greeks(price, strike=K, expiry=T, rate=r, **kw)
    assert g.reason == Reason.OK
    with mpmath.workdps(50):
        r, q, T, s = (mpmath.mpf(v) for v in (r, q, T, float(g.vol)))
        f = u * mpmath.exp((r - q) * T) if spot else mpmath.mpf(u)
        w = s * mpmath.sqrt(T)
        d1 = (mpmath.log(f / K) + w * w / 2) / w
        d2 = d1 - w
        D = mpmath.exp(-r * T)
        density = D * mpmath.npdf(d1)
        b = D * K * mpmath.ncdf(d2)
        decay = density * f * s / (2 * mpmath.sqrt(T))
        want = {
            "vanna": -density * d2 / (100 * s) * f / u,
            "volga": density * f * mpmath.sqrt(T) * d1 * d2 / (100 * 100 * s),
            "theta": (q * f * D * mpmath.ncdf(d1) - r * b - decay if spot else r * price - decay)
            * DAY,
            "rho": T * b / 100 if spot else -T * price / 100,
        }
    for name, value in want.items():
        assert abs(getattr(g, name) / float(value) - 1) <= 1e-12, name
