"""Eight threads hammer the three array functions at once and agree with a serial run.

All threads share one set of inputs, only ever read, that mixes calls and puts,
in- and out-of-the-money options, deep out-of-the-money ones, tiny and huge
volatilities and unusable entries, read through contiguous, reversed and
strided views. Each round starts all threads together at a barrier, with a
tiny switch interval so that the interpreter lock changes hands often; each
thread runs the calls in its own rotation, so different functions overlap,
and also writes its share of one batch into interleaved slices of output
arrays that all threads share. Every result must equal the serial one bit
for bit, and the inputs must come out untouched.
"""

import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import quelta.black_core as bc

sys.path.insert(0, str(Path(__file__).resolve().parent))
from support import assert_same_bits as same_bits
from support import black_price

N = 20_000
THREADS = 8
ROUNDS = 4


def spoil(rng, price, fwd, strike=None, discount=None, share=0.03):
    """Puts unusable values at random places: bad prices, forwards, strikes, discounts."""
    n = len(price)
    bad_prices = np.array([np.nan, -1.0, 0.0, np.inf, -0.0, 1e308])
    idx = rng.choice(n, int(share * n), replace=False)
    price[idx] = rng.choice(bad_prices, len(idx))
    idx = rng.choice(n, int(share * n / 3), replace=False)
    price[idx] = 2.0 * fwd[idx]  # above the largest call price, F
    for column, bad in [
        (fwd, [0.0, -0.0, -5.0, np.nan]),
        (strike, [0.0, -1.0, np.nan, np.inf]),
        (discount, [0.0, -0.5, np.nan]),
    ]:
        if column is not None:
            idx = rng.choice(n, int(share * n / 3), replace=False)
            column[idx] = rng.choice(bad, len(idx))


def volatilities(rng, n):
    """Mostly log-uniform from 0.01 to 5, with tiny (1e-3) and huge (8) ones mixed in."""
    vol = np.exp(rng.uniform(np.log(0.01), np.log(5.0), n))
    vol[rng.random(n) < 0.04] = 1e-3
    vol[rng.random(n) < 0.04] = 8.0
    return vol


def log_moneyness(rng, n):
    """Mostly near the money, some well in or out of it, a few deep (|ln F/K| up to 30)."""
    near = rng.normal(0.0, 0.3, n)
    far = rng.uniform(-3.0, 3.0, n)
    deep = rng.uniform(-30.0, 30.0, n)
    pick = rng.random(n)
    return np.where(pick < 0.6, near, np.where(pick < 0.9, far, deep))


def make_inputs():
    rng = np.random.default_rng(20261207)
    series_fwd = 100.0 * np.exp(log_moneyness(rng, N))
    series = {q: black_price(series_fwd, 100.0, volatilities(rng, N), q > 0) for q in (1, -1)}
    strip_strike = 100.0 * np.exp(-log_moneyness(rng, N))
    strip = {q: black_price(100.0, strip_strike, volatilities(rng, N), q > 0) for q in (1, -1)}
    fwd = 100.0 * np.exp(rng.normal(0.0, 0.5, N))
    strike = fwd * np.exp(-log_moneyness(rng, N))
    is_call = rng.choice(np.array([1, 0, -1, 2], np.int8), N)
    price = black_price(fwd, strike, volatilities(rng, N), is_call != 0)
    discount = rng.uniform(0.3, 1.0, N)
    for q in (1, -1):
        spoil(rng, series[q], series_fwd)
        spoil(rng, strip[q], np.full(N, 100.0), strike=strip_strike)
    spoil(rng, price, fwd, strike, discount)

    arrays = {
        "series_fwd": series_fwd,
        "series_call": series[1],
        "series_put": series[-1],
        "strip_strike": strip_strike,
        "strip_call": strip[1],
        "strip_put": strip[-1],
        "fwd": fwd,
        "strike": strike,
        "is_call": is_call,
        "price": price,
        "discount": discount,
    }
    for name in [
        "series_fwd",
        "series_call",
        "series_put",
        "strip_strike",
        "strip_call",
        "strip_put",
    ]:
        arrays[name].flags.writeable = False  # the batch function takes writable arrays only
    return arrays


@pytest.fixture
def inputs():
    return make_inputs()


def jobs(a):
    """The calls each thread makes; each returns the arrays it produced."""
    book = [a["price"], a["fwd"], a["strike"], a["is_call"], a["discount"]]

    def greeks(*columns):
        outs = [np.empty(len(columns[0])) for _ in range(4)]
        bc.compute_trades_greeks(*columns, *outs)
        return outs

    return [
        lambda: [bc.vectorized_implied_vol(a["series_call"], a["series_fwd"], 100.0, 1)],
        lambda: [
            bc.vectorized_implied_vol(a["series_put"][::-1], a["series_fwd"][::-1], 100.0, -1)
        ],
        lambda: [bc.vectorized_implied_vol_strikes(a["strip_call"], 100.0, a["strip_strike"], 1)],
        lambda: [
            bc.vectorized_implied_vol_strikes(
                a["strip_put"][::2], 100.0, a["strip_strike"][::2], -1
            )
        ],
        lambda: greeks(*book),
        lambda: greeks(*(c[::-3] for c in book)),
    ]


def test_threads_agree_with_a_serial_run(inputs):
    originals = {name: a.copy() for name, a in inputs.items()}
    work = jobs(inputs)
    serial = [job() for job in work]
    for produced in serial:  # the inputs reach every kind of outcome
        vol = produced[0]
        assert (vol > 0).mean() > 0.6 and (vol == 0).any() and np.isnan(vol).any()
    book = [inputs[k] for k in ("price", "fwd", "strike", "is_call", "discount")]
    serial_book = serial[4]

    shared = [np.empty(N) for _ in range(4)]  # every thread writes its own slices of these
    results = [[None] * len(work) for _ in range(THREADS)]
    errors = []

    def worker(k, barrier, round_):
        try:
            barrier.wait()
            order = [(k + round_ + j) % len(work) for j in range(len(work))]
            for j in order:
                results[k][j] = work[j]()
            bc.compute_trades_greeks(
                *(c[k::THREADS] for c in book), *(s[k::THREADS] for s in shared)
            )
        except BaseException as exc:  # handed to the main thread
            errors.append(exc)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for round_ in range(ROUNDS):
            for s in shared:
                s.fill(np.nan)
            barrier = threading.Barrier(THREADS)
            threads = [
                threading.Thread(target=worker, args=(k, barrier, round_)) for k in range(THREADS)
            ]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            assert errors == []
            for k in range(THREADS):
                for got, want in zip(results[k], serial, strict=True):
                    for g, w in zip(got, want, strict=True):
                        same_bits(g, w)
                results[k] = [None] * len(work)
            for got, want in zip(shared, serial_book, strict=True):
                same_bits(got, want)
    finally:
        sys.setswitchinterval(interval)

    for name, a in inputs.items():
        assert a.tobytes() == originals[name].tobytes(), f"{name} was written"
