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
from hypothesis import assume, example, given, settings
from hypothesis import strategies as st
from support import assert_same_bits

import quelta
import quelta._kernel as kernel
import quelta.book
from quelta import Greeks, Reason

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
    if price == 0.0:  # underflowed: a zero price is non_positive_input, the higher code
        assert reason[0] == 4 and math.isnan(vol[0])
        return
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


# ------------------------------------------------ the array API on the normal model

GREEK_NAMES = ("delta", "gamma", "vega", "theta", "rho", "vanna", "volga")


@pytest.mark.parametrize("spot", [True, False], ids=["spot", "forward"])
@pytest.mark.parametrize("call", [True, False], ids=["call", "put"])
def test_normal_greeks_are_the_derivatives_of_the_market_price(spot, call):
    """Every Greek of quelta.greeks(model="normal") against mpmath derivatives
    of D * Bachelier(F, K, sigma sqrt(T)), forwards of either sign, out to
    d = (F - K) / (sigma sqrt(T)) of 9 out of the money, where the prices
    are 1e-19 of the volatility's scale."""
    rng = np.random.default_rng(7 + 2 * spot + call)
    n = 24
    u = rng.choice([-1.0, 1.0], n) * 10.0 ** rng.uniform(-3, 2, n)
    T = 10.0 ** rng.uniform(-2, 1, n)
    r, q = rng.uniform(-0.02, 0.08, n), rng.uniform(0.0, 0.04, n)
    sigma = np.abs(u) * 10.0 ** rng.uniform(-2, 0, n)
    F = u * np.exp((r - q) * T) if spot else u
    # In the money the price is nearly all intrinsic value: no further than d = 2.
    K = F - (1 if call else -1) * rng.uniform(-9, 2, n) * sigma * np.sqrt(T)
    with mpmath.workdps(40):
        price = [
            float(oracle.bachelier_market_price(*a, call, spot)) for a in zip(u, K, T, r, q, sigma)
        ]
        want = np.array(
            [
                [
                    float(g)
                    for g in oracle.bsm_greeks(*a, call, spot, price=oracle.bachelier_market_price)
                ]
                for a in zip(u, K, T, r, q, sigma)
            ]
        ).T
    kw = {"spot": u, "dividend_yield": q} if spot else {"forward": u}
    g = quelta.greeks(
        np.array(price),
        strike=K,
        expiry=T,
        rate=r,
        kind="call" if call else "put",
        model="normal",
        **kw,
    )
    assert np.all(g.reason == 0)
    np.testing.assert_allclose(g.vol, sigma, rtol=1e-9)
    for name, w in zip(GREEK_NAMES, want):
        err = np.abs(getattr(g, name) - w) / np.abs(w)
        assert err.max() <= 1e-11, (name, int(err.argmax()), err.max())


@pytest.mark.parametrize("discounted", [True, False], ids=["rate", "undiscounted"])
def test_shifted_black_is_black_on_the_shifted_inputs(discounted):
    """shift=d gives every field of greeks on (F + d, K + d), bit for bit,
    and the unshifted reason where F + d or K + d is not positive."""
    rng = np.random.default_rng(11 + discounted)
    n = 40
    F = rng.uniform(-0.01, 0.05, n)
    K = F + rng.uniform(-0.02, 0.02, n)
    d = np.where(np.arange(n) % 8 == 0, 0.001, 0.03)  # some rows left non-positive
    T = rng.uniform(0.1, 5, n)
    r = rng.uniform(-0.01, 0.05, n) if discounted else np.zeros(n)
    price = np.exp(-r * T) * (np.maximum(F - K, 0) + 0.004 * rng.uniform(0.2, 1, n))
    shifted = quelta.greeks(price, F + d, K + d, T, rate=r)
    got = quelta.greeks(price, F, K, T, rate=r, shift=d)
    assert np.any(got.reason == Reason.NON_POSITIVE_INPUT)
    for name in Greeks._fields:
        assert_same_bits(getattr(got, name), getattr(shifted, name))


@pytest.mark.parametrize(
    ("kw", "words"),
    [
        ({"model": "lognormal"}, ("'black'", "'normal'")),
        ({"model": "normal", "shift": 0.01}, ("shift", "normal")),
    ],
)
@pytest.mark.parametrize("function", ["implied_volatility", "greeks", "dask"])
def test_an_unknown_model_or_a_shift_with_the_normal_model_is_refused(kw, words, function):
    if function == "dask":
        dask = pytest.importorskip("quelta.dask")
        call = dask.implied_volatility
    else:
        call = getattr(quelta, function)
    with pytest.raises(ValueError) as info:
        call(0.01, 0.02, 0.02, 1.0, **kw)
    assert all(w in str(info.value) for w in words)


@pytest.mark.parametrize("route", ["arrays", "dataframe"])
@pytest.mark.parametrize("model", ["normal", "black"])
def test_dask_passes_the_model_and_shift_through(model, route):
    dask = pytest.importorskip("quelta.dask")
    kw = {"model": model} if model == "normal" else {"shift": 0.02}
    F, price = np.linspace(-0.01, 0.03, 10), np.full(10, 0.006)
    if route == "arrays":
        da = pytest.importorskip("dask.array")
        want = quelta.implied_volatility(price, F, 0.01, 2.0, reason=True, **kw)
        lazy = dask.implied_volatility(
            da.from_array(price, chunks=3), F, 0.01, 2.0, reason=True, **kw
        )
        got = [g.compute() for g in lazy]
    else:
        dd = pytest.importorskip("dask.dataframe")
        pd = pytest.importorskip("pandas")
        frame = pd.DataFrame(
            {"price": price, "forward": F, "strike": 0.01, "expiry": 2.0, "kind": "call"}
        )
        want = [quelta.solve_table(frame, **kw)[c] for c in ("implied_vol", "reason")]
        out = dask.solve(dd.from_pandas(frame, npartitions=3), **kw).compute()
        got = [out[c] for c in ("implied_vol", "reason")]
    assert_same_bits(np.asarray(got[0], dtype=float), np.asarray(want[0], dtype=float))
    assert list(got[1]) == list(want[1])


# ------------------------------------------------------- volatility conversion


def _black_cancellation(F, K, s):
    """(|F N(t d1)| + |K N(t d2)|) / price of the out-of-the-money option: the
    factor by which forming its price as that difference magnifies rounding."""
    call = K >= F
    with mpmath.workdps(40):
        F_, K_, s_ = (mpmath.mpf(v) for v in (F, K, s))
        d1 = mpmath.log(F_ / K_) / s_ + s_ / 2
        t = 1 if call else -1
        terms = F_ * mpmath.ncdf(t * d1) + K_ * mpmath.ncdf(t * (d1 - s_))
        return float(terms / oracle.black_price_mp(F, K, s, call))


@settings(max_examples=120, deadline=None)
@given(
    lf=st.floats(-2.0, 2.0),  # log10 F
    h=st.floats(-9.0, 9.0),  # ln(F/K) / s
    ls=st.floats(-3.0, 0.5),  # log10 s
    T=st.sampled_from([0.25, 1.0, 7.0]),
)
@example(lf=0.0, h=0.0, ls=-0.7, T=1.0)  # at the money
def test_black_to_normal_to_black_returns_the_volatility(lf, h, ls, T):
    """convert_volatility there and back is the identity to a few ulps times
    the Black condition number and the rounding of the Black price."""
    F, s = 10.0**lf, 10.0**ls
    K = F * math.exp(-h * s)
    sigma = s / math.sqrt(T)
    normal, why = quelta.convert_volatility(sigma, F, K, T, reason=True)
    assert why == 0 and normal > 0
    back, why = quelta.convert_volatility(
        normal, F, K, T, from_model="normal", to_model="black", reason=True
    )
    assert why == 0
    kappa = max(1.0, oracle.condition(F, K, s, K >= F)) * _black_cancellation(F, K, s)
    assert abs(back / sigma - 1) <= 16 * EPS * kappa


@settings(max_examples=150, deadline=None)
@given(
    lf=st.floats(-2.0, 2.0),  # log10 F
    h=st.floats(-9.0, 9.0),  # ln(F/K) / s
    ls=st.floats(-3.0, 0.5),  # log10 s
    T=st.sampled_from([0.25, 1.0, 7.0]),
)
@example(lf=-0.5, h=4.5, ls=-2.0, T=1.0)  # far out of the money at a total vol of 0.01
def test_black_to_normal_matches_mpmath(lf, h, ls, T):
    """The normal volatility of the exact Black price, to a few ulps times the
    normal condition number and the price's own sensitivity to ln(F/K), which
    a double holds to an ulp of itself."""
    F, s = 10.0**lf, 10.0**ls
    K = F * math.exp(-h * s)
    call = K >= F
    got, why = quelta.convert_volatility(s / math.sqrt(T), F, K, T, reason=True)
    assume(why == 0)
    price = oracle.black_price_mp(F, K, s, call)
    want = float(oracle.bachelier_implied_vol(price, F, K, call)) / math.sqrt(T)
    kappa = oracle.bachelier_condition(F, K, want * math.sqrt(T), call)
    x = abs(math.log(F / K))
    assert abs(got / want - 1) <= 8 * EPS * (1 + kappa * (1 + x * _black_cancellation(F, K, s)))


@pytest.mark.parametrize(
    ("vol", "F", "K", "kw", "code"),
    [
        (-0.1, 1.0, 1.0, {}, Reason.NON_POSITIVE_INPUT),
        (
            0.2,
            1.0,
            1.0,
            {"from_model": "normal", "to_model": "black", "shift": -1.5},
            Reason.NON_POSITIVE_INPUT,
        ),
        (0.2, -0.5, 1.0, {}, Reason.NON_POSITIVE_INPUT),
        (0.01, -0.5, -0.4, {"from_model": "normal", "to_model": "normal"}, Reason.OK),
        (NAN, 1.0, 1.0, {}, Reason.NOT_FINITE),
    ],
)
def test_convert_volatility_reasons(vol, F, K, kw, code):
    got, why = quelta.convert_volatility([vol], F, K, 1.0, reason=True, **kw)
    assert why[0] == code and (math.isnan(got[0]) == (code != Reason.OK))


# ------------------------------------------------------------------ books


def _rates_book_by(route, tmp_path):
    """The packaged rates book solved under the normal model by one route, as a pyarrow Table."""
    import importlib.resources

    pa_csv = pytest.importorskip("pyarrow.csv")
    book = importlib.resources.files("quelta") / "data" / "rates_book.csv"
    if route == "solve_table":
        return quelta.solve_table(pa_csv.read_csv(book), model="normal")
    from quelta import cli

    out = tmp_path / "out.csv"
    assert cli.main(["solve", str(book), "--model", "normal", "-o", str(out)]) == 0
    return pa_csv.read_csv(out)


@pytest.mark.parametrize("route", ["solve_table", "command"])
def test_the_rates_book_solves_to_its_normal_volatilities(route, tmp_path):
    """Its prices are mpmath's Bachelier prices of true_vol, negative forwards included."""
    table = _rates_book_by(route, tmp_path)
    vol, true = (table[c].to_numpy() for c in ("implied_vol", "true_vol"))
    assert table["reason"].to_pylist() == ["ok"] * len(vol)
    assert np.any(table["forward"].to_numpy() < 0)
    assert np.max(np.abs(vol / true - 1)) <= 4 * EPS


@pytest.mark.parametrize(
    "args",
    [["--model", "normal", "--shift", "0.01"], ["--model", "lognormal"]],
)
def test_the_command_refuses_an_unknown_model_or_a_shift_with_the_normal_one(
    args, tmp_path, capsys
):
    from quelta import cli

    out = tmp_path / "out.csv"
    with pytest.raises(SystemExit) as info:
        cli.main(["solve", "sample", *args, "-o", str(out)])
    assert info.value.code == 2 and not out.exists()
    assert "--model" in capsys.readouterr().err


def _shifted_frame():
    pd = pytest.importorskip("pandas")
    F = np.linspace(-0.01, 0.03, 8)
    shift = np.where(np.arange(8) < 1, 0.005, 0.02)  # the first row stays non-positive
    return pd.DataFrame(
        {
            "price": 0.006,
            "forward": F,
            "strike": 0.01,
            "expiry": 2.0,
            "kind": "call",
            "shift": shift,
        }
    )


def test_a_shift_column_shifts_its_own_row():
    frame = _shifted_frame()
    out = quelta.solve_table(frame)
    want = quelta.greeks(0.006, frame["forward"].to_numpy(), 0.01, 2.0, shift=frame["shift"])
    assert_same_bits(out["implied_vol"].to_numpy(), want.vol)
    assert_same_bits(out["delta"].to_numpy(), want.delta)
    assert out["reason"][0] == "non_positive_input"


@pytest.mark.parametrize(
    ("kw", "args"),
    [({"shift": 0.01}, ["--shift", "0.01"]), ({"model": "normal"}, ["--model", "normal"])],
)
@pytest.mark.parametrize("route", ["solve_table", "command"])
def test_a_shift_column_with_a_shift_or_the_normal_model_is_refused(
    kw, args, route, tmp_path, capsys
):
    frame = _shifted_frame()
    if route == "solve_table":
        with pytest.raises(quelta.book.BookError, match="column 'shift'"):
            quelta.solve_table(frame, **kw)
        return
    from quelta import cli

    book, out = tmp_path / "book.csv", tmp_path / "out.csv"
    frame.to_csv(book, index=False)
    assert cli.main(["solve", str(book), *args, "-o", str(out)]) == 1
    assert "column 'shift'" in capsys.readouterr().err and not out.exists()
