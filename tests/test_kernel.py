"""The dispatching batch kernel: every instruction-set level gives the scalar bits.

quelta._kernel runs the same generic code at every level (scalar, AVX2,
AVX-512); each row must come out as black_core's scalar functions give it,
whatever the level, the length of the array and the row's position in it.
The elementary functions of the kernel are checked against mpmath.
"""

import math
import os
import subprocess
import sys

import mpmath
import numpy as np
import oracle
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st
from support import assert_same_bits, black_price, undiscounted

import quelta
import quelta._kernel as kernel
import quelta.black_core as bc

LEVELS = kernel.levels()
NAN, INF = math.nan, math.inf


def reason_oracle(price, F, K, call, disc, vol):
    """The Reason codes of a book, by their definition in plain NumPy."""
    with np.errstate(all="ignore"):
        p = undiscounted(price, F, K, call, disc)
        intrinsic = np.where(call, np.where(K < F, F - K, 0.0), np.where(K > F, K - F, 0.0))
        code = np.where(vol > 0, 0, 7)
        code[p == intrinsic] = 3
        code[p >= np.where(call, F, K)] = 2
        code[p < intrinsic] = 1
        code[(price <= 0) | (F <= 0) | (K <= 0) | (disc <= 0)] = 4
        finite = np.isfinite(price) & np.isfinite(F) & np.isfinite(K) & np.isfinite(disc)
        code[~finite] = 6
    return code


# A row of a book: a total volatility over every branch of the normalised
# Black function and every solver segment (log-moneyness up to 40 standard
# deviations either way, |x| up to 700, total volatility up to 60), a forward
# anywhere from 1e-250 to 1e250, sometimes an edge value in place of an input.
_special = st.sampled_from([0.0, -0.0, -1.0, NAN, INF, -INF, 5e-324, 1e-310, 1e300])
_rows = st.tuples(
    st.floats(-3.0, 1.78),  # log10 of the total volatility
    st.floats(-40.0, 40.0),  # log-moneyness in standard deviations
    st.booleans(),  # call
    st.one_of(st.none(), st.none(), st.none(), st.tuples(st.integers(0, 3), _special)),
    st.floats(0.5, 1.0),  # discount factor
    st.one_of(st.just(2.0), st.floats(-250.0, 250.0)),  # log10 of the forward
)


def make_rows(rows):
    n = len(rows)
    if n == 0:
        e = np.empty(0)
        return e, e, e, np.empty(0, bool), e
    lg, dev, call, edge, disc, lf = (np.array(c, dtype=object) for c in zip(*rows))
    vol = 10.0 ** lg.astype(float)
    F = 10.0 ** lf.astype(float)
    call = call.astype(bool)
    with np.errstate(all="ignore"):  # K may overflow: an edge case of its own
        K = F * np.exp(np.clip(-dev.astype(float) * vol, -700.0, 700.0))
        price = black_price(F, K, vol, call) * disc.astype(float)
    columns = [price, F, K, disc.astype(float)]
    for i, e in enumerate(edge):
        if e is not None:
            columns[e[0]][i] = e[1]
    return columns[0], columns[1], columns[2], call, columns[3]


# Named rows: two Householder steps fall short and the solve continues
# (x = -244.4, s = 29.13 and x = -99, s = 22.7); normalised prices below
# DBL_MIN, solved from their logarithm; mixed with a plain row.
_NAMED = [
    (math.log10(29.13), -244.4 / 29.13, True, None, 1.0, 2.0),
    (math.log10(22.7), -99.0 / 22.7, True, None, 1.0, 2.0),
    (math.log10(0.1318), -37.9, True, None, 1.0, 200.0),
    (math.log10(0.1318), 37.9, False, None, 0.7, 200.0),
    (-1.0, 0.5, False, None, 0.9, 2.0),
]
# In the money by 25 or more deviations, or at a total volatility of 5: D
# times the intrinsic value or the largest price, whose quotient by D is
# rounded either way; with a plain row.
_AT_BOUNDS = [
    (-2.5, -30.0, False, None, 0.9, 2.0),
    (-2.5, 25.0, True, None, 0.9, 2.0),
    (-1.0, 25.0, True, None, 0.9, 2.0),
    (0.7, 25.0, True, None, 0.9, 2.0),
    (-2.5, 25.0, True, None, 0.7, 2.0),
    (-1.0, 0.5, False, None, 0.9, 2.0),
]


@settings(max_examples=200, deadline=None)
@given(rows=st.lists(_rows, max_size=40), offset=st.integers(0, 9))
@example(rows=_NAMED * 3, offset=1)
@example(rows=_AT_BOUNDS * 5, offset=3)
@example(rows=[(0.224609375, -20.9476928937911, False, None, 0.6875, 0.0)], offset=0)
def test_every_level_gives_the_scalar_bits(rows, offset):
    price, F, K, call, disc = make_rows(rows)
    n = len(price)
    q = np.where(call, 1, -1)
    # The batch skip rule: no volatility for a non-positive forward, strike or discount.
    want_vol = np.array(
        [
            0.0 if f <= 0 or k <= 0 or d <= 0 else bc.implied_vol(p, f, k, c)
            for p, f, k, c, d in zip(undiscounted(price, F, K, call, disc), F, K, q, disc)
        ]
    )
    solved = want_vol > 0
    want_delta = np.array(
        [
            bc.black_delta(f, k, v, c) * d if ok else 0.0
            for f, k, v, c, d, ok in zip(F, K, want_vol, q, disc, solved)
        ]
    )
    for level in LEVELS:
        # The rows sit at an offset into larger arrays, so that they take
        # every lane position and alignment.
        def at_offset(a, dtype=np.float64):
            big = np.zeros(n + offset, dtype=dtype)
            big[offset:] = a
            return big[offset:]

        outs = [at_offset(np.zeros(n)) for _ in range(4)]
        reason = at_offset(np.zeros(n), np.int8)
        kernel.solve(
            at_offset(price),
            at_offset(F),
            at_offset(K),
            at_offset(call, np.int8),
            at_offset(disc),
            None,
            *outs,
            reason,
            level,
        )
        assert_same_bits(outs[0], want_vol)
        ok = outs[0] > 0
        assert_same_bits(outs[1][ok], want_delta[ok])
        np.testing.assert_array_equal(reason, reason_oracle(price, F, K, call, disc, outs[0]))


_expiries = st.one_of(
    st.floats(1e-6, 50.0), st.sampled_from([0.0, -0.0, -1.0, 5e-324, NAN, INF, -INF])
)


@settings(max_examples=60, deadline=None)
@given(rows=st.lists(st.tuples(_rows, _expiries), max_size=30))
@pytest.mark.parametrize("solve", [kernel.solve, kernel.solve_normal])
def test_the_kernel_checks_and_annualises_the_expiry(solve, rows):
    # Against the results in total volatility w (expiry None), by the rules of
    # Reason and Greeks: a NaN or infinite T is NOT_FINITE, a T <= 0
    # NON_POSITIVE_EXPIRY unless an input is NOT_FINITE; sigma = w / sqrt(T),
    # vega dV/dw sqrt(T); every result NaN where the code is not OK.
    price, F, K, call, disc = make_rows([r for r, _ in rows])
    t = np.array([e for _, e in rows], dtype=float)
    n = len(price)
    for level in LEVELS:
        total = [np.empty(n) for _ in range(4)] + [np.empty(n, np.int8)]
        solve(price, F, K, call.astype(np.int8), disc, None, *total, level)
        got = [np.empty(n) for _ in range(4)] + [np.empty(n, np.int8)]
        solve(price, F, K, call.astype(np.int8), disc, t, *got, level)
        code = total[4].copy()
        with np.errstate(all="ignore"):
            code[(t <= 0) & (code != 6)] = 5
            code[~np.isfinite(t)] = 6
            want = [total[0] / np.sqrt(t), total[1], total[2], total[3] * np.sqrt(t)]
        np.testing.assert_array_equal(got[4], code)
        for field, w in zip(got[:4], want):
            assert_same_bits(field, np.where(code == 0, w, NAN))


def test_vega_and_gamma_of_the_batch_are_the_scalar_ones():
    price, F, K, call, disc = make_rows(
        [
            (lg, dev, c, None, 0.9, 2.0)
            for lg in (-2.5, -1.0, 0.0, 0.7)
            for dev in (-30.0, -3.0, 0.0, 2.0, 25.0)
            for c in (True, False)
        ]
    )
    outs = [np.empty(len(price)) for _ in range(4)]
    for level in LEVELS:
        kernel.solve(
            price,
            F,
            K,
            call.astype(np.int8),
            disc,
            None,
            *outs,
            np.empty(len(price), np.int8),
            level,
        )
        vol = outs[0]
        # In the money by 25 or 30 deviations a quote has no time value left
        # beside the rounding of its undiscounting: a fifth of the rows.
        assert (vol > 0).mean() >= 0.75
        assert_same_bits(
            outs[2],
            [bc.black_gamma(f, k, v) * d if v > 0 else 0.0 for f, k, v, d in zip(F, K, vol, disc)],
        )
        assert_same_bits(
            outs[3],
            [bc.black_vega(f, k, v) * d if v > 0 else 0.0 for f, k, v, d in zip(F, K, vol, disc)],
        )


# (function, sample, exact value, bound on the error, as a multiple of
# 2^-52 relative or, for exp and log, in ulps of the result)
_rng = np.random.default_rng(20240611)
ELEMENTARY = [
    (
        "exp",
        np.concatenate([_rng.uniform(-745.1, 709.7, 1500), _rng.uniform(-1, 1, 500)]),
        mpmath.exp,
        1.0,
    ),
    (
        "log",
        np.concatenate(
            [
                np.exp(_rng.uniform(-744, 709, 1500)),
                _rng.uniform(0.5, 2, 300),
                1 + _rng.normal(0, 1e-6, 200),
            ]
        ),
        mpmath.log,
        1.0,
    ),
    ("erfcx", _rng.uniform(-26.6, 40, 1500), lambda x: mpmath.exp(x * x) * mpmath.erfc(x), 4.5),
    ("norm_cdf", _rng.uniform(-10, 9, 1500), mpmath.ncdf, 4.4),
    (
        "inverse_norm_cdf",
        np.concatenate([_rng.uniform(0, 1, 500), np.exp(_rng.uniform(-700, -1, 500))]),
        None,
        3.0,
    ),
]


@pytest.mark.parametrize("name, x, exact, bound", ELEMENTARY, ids=[e[0] for e in ELEMENTARY])
def test_elementary_functions_against_mpmath(name, x, exact, bound):
    results = {}
    for level in LEVELS:
        results[level] = np.empty_like(x)
        kernel.elementary(name, x, results[level], level)
        assert_same_bits(results[level], results["scalar"])
    got = results["scalar"]
    with mpmath.workdps(40):
        if exact is None:
            # The quantile: one Newton step from the result, exact to far below an ulp.
            want = [g - (mpmath.ncdf(g) - mpmath.mpf(u)) / mpmath.npdf(g) for g, u in zip(got, x)]
        else:
            want = [exact(mpmath.mpf(v)) for v in x]
        if name in ("exp", "log"):
            # ulps of the correctly rounded result (of the subnormal spacing below 2^-1022)
            err = [
                abs(mpmath.mpf(g) - w) / max(math.ulp(float(w)), 5e-324) for g, w in zip(got, want)
            ]
        else:
            err = [abs(mpmath.mpf(g) / w - 1) / 2.0**-52 for g, w in zip(got, want)]
    worst = int(np.argmax(err))
    assert err[worst] < bound, (x[worst], got[worst], err[worst])


def test_normalised_black_against_mpmath():
    """The core's b(x, s) as the kernel exports it: the scalar bits at every
    level, and mpmath's to a few ulps times 1 + h^2, h = x/s, the sensitivity
    of b to the rounding of h in every region, in and out of the money."""
    rng = np.random.default_rng(20251210)
    s = 10.0 ** rng.uniform(-3.0, 0.7, 800)
    x = rng.uniform(-14.0, 3.0, 800) * s
    results = {}
    for level in LEVELS:
        results[level] = np.empty_like(x)
        kernel.normalised_black(x, s, results[level], level)
        assert_same_bits(results[level], results["scalar"])
    got = results["scalar"]
    err = [abs(mpmath.mpf(g) / oracle.normalised_call(a, b) - 1) for g, a, b in zip(got, x, s)]
    scaled = np.array(err, dtype=float) / 2.0**-52 / (1.0 + (x / s) ** 2)
    assert {oracle.black_region(a, b) for a, b in zip(x, s) if a <= 0} == set(oracle.BLACK_REGIONS)
    assert scaled.max() < 6.0, (x[np.argmax(scaled)], s[np.argmax(scaled)])


def test_elementary_special_values():
    x = np.array([NAN, INF, -INF, 0.0, -0.0, -1.0, 5e-324, 710.0, -746.0])
    out = {}
    for name in ("exp", "log"):
        out[name] = np.empty_like(x)
        kernel.elementary(name, x, out[name], None)
    with np.errstate(all="ignore"):
        assert_same_bits(out["exp"], np.exp(x))
        assert_same_bits(out["log"][[0, 1, 3, 4, 6]], np.log(x[[0, 1, 3, 4, 6]]))
    assert np.isnan(out["log"][[2, 5]]).all()


_CHILD = """
import numpy as np, quelta, quelta.black_core as bc
from conftest import make_book
t = make_book(300)
q = np.where(t["is_call"] != 0, 1, -1)
outs = [np.empty(len(t["price"])) for _ in range(4)]
bc.compute_trades_greeks(t["price"], t["fwd"], t["strike"], t["is_call"], t["discount"], *outs)
series = bc.vectorized_implied_vol(t["price"][::-2], t["fwd"][::-2], 100.0, -1)
strip = bc.vectorized_implied_vol_strikes(t["price"][1::3], 100.0, t["strike"][1::3], 1)
print(quelta.simd_level())
print(np.concatenate([outs[0], outs[1], series, strip]).view(np.uint64).tolist())
"""


def _child(level, code):
    env = dict(os.environ, QUELTA_SIMD=level)
    tests = os.path.dirname(os.path.abspath(__file__))
    return subprocess.run(
        [sys.executable, "-c", code], env=env, cwd=tests, capture_output=True, text=True
    )


def test_quelta_simd_forces_each_level_and_the_array_functions_agree():
    runs = {level: _child(level, _CHILD) for level in ("scalar", "avx2", "avx512")}
    widest = LEVELS[-1]
    bits = set()
    for level, run in runs.items():
        assert run.returncode == 0, run.stderr
        chosen, values = run.stdout.split("\n", 1)
        # A level above the CPU's gives the widest it has.
        assert chosen == (level if level in LEVELS else widest)
        bits.add(values)
    assert len(bits) == 1


def test_an_unknown_level_is_refused_and_the_version_names_the_level():
    run = _child("sse9", "import quelta")
    assert run.returncode != 0 and "QUELTA_SIMD=sse9" in run.stderr
    run = _child("scalar", "import sys; from quelta.cli import main; sys.exit(main(['--version']))")
    assert run.returncode == 0 and "SIMD level: scalar" in run.stdout
    assert quelta.simd_level() in LEVELS


def test_threads_give_the_same_bits():
    n = 150_000
    rng = np.random.default_rng(3)
    vol = np.exp(rng.uniform(-4, 0.4, n))
    K = 100.0 * np.exp(rng.normal(0, 1, n) * vol)
    call = rng.random(n) < 0.5
    price = black_price(100.0, K, vol, call)
    one = quelta.greeks(price, 100.0, K, 1.0, kind=call, threads=1)
    for threads in (2, 3, None):
        many = quelta.greeks(price, 100.0, K, 1.0, kind=call, threads=threads)
        for a, b in zip(one, many):
            assert_same_bits(a, b)
    with pytest.raises(ValueError, match="threads"):
        quelta.implied_volatility(price, 100.0, K, 1.0, threads=0)
