"""compute_trades_greeks: implied vols and discounted Greeks written into the caller's arrays."""

import math
import traceback

import mpmath
import numpy as np
import pytest
from support import GREEKS_PARAMETERS

import quelta.black_core as bc

NAN = math.nan
ATM_PRICE = 7.965567455405804  # call or put, F = K = 100, volatility 0.2
SENTINEL = -7.25e77

INPUTS = ["price", "fwd", "strike", "is_call", "discount"]
OUTPUTS = ["out_vol", "out_delta", "out_gamma", "out_vega"]
ARG_NAMES = list(GREEKS_PARAMETERS)


def reference(trades):
    """The batch, one trade at a time, through the scalar functions."""
    rows = []
    for p, F, K, c, disc in zip(*(trades[k].tolist() for k in INPUTS)):
        q = 1 if c != 0 else -1
        if F <= 0.0 or K <= 0.0 or disc <= 0.0:
            rows.append((0.0, 0.0, 0.0, 0.0))
            continue
        vol = bc.implied_vol(p, F, K, q)
        if vol > 0.0:
            rows.append(
                (
                    vol,
                    bc.black_delta(F, K, vol, q) * disc,
                    bc.black_gamma(F, K, vol) * disc,
                    bc.black_vega(F, K, vol) * disc,
                )
            )
        else:
            delta = disc if q > 0 and F > K else -disc if q < 0 and F < K else 0.0
            rows.append((vol, delta, 0.0, 0.0))
    return dict(zip(OUTPUTS, np.array(rows, np.float64).reshape(-1, 4).T))


def outputs(n, fill=SENTINEL):
    return {k: np.full(n, fill) for k in OUTPUTS}


def run(trades, outs=None):
    """Calls the batch on trades (a dict of the five inputs); returns the outputs."""
    n = len(trades["price"])
    outs = outputs(n) if outs is None else outs
    result = bc.compute_trades_greeks(*(trades[k] for k in INPUTS), *(outs[k] for k in OUTPUTS))
    assert result is None
    return outs


def trade(price, F, K, is_call, disc):
    return {
        "price": np.array([price], np.float64),
        "fwd": np.array([F], np.float64),
        "strike": np.array([K], np.float64),
        "is_call": np.array([is_call], np.int8),
        "discount": np.array([disc], np.float64),
    }


def single(*args):
    out = run(trade(*args))
    return tuple(out[k][0] for k in OUTPUTS)


def bits(x):
    return np.float64(x).view(np.uint64)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_equals_the_scalar_functions_bit_for_bit(book, same_bits, seed):
    trades = book(n=500, seed=seed)
    got = run(trades)
    want = reference(trades)
    for k in OUTPUTS:
        same_bits(got[k], want[k])


@pytest.mark.parametrize(
    "is_call, delta",
    [(1, 0.5128364454), (0, -0.4371635546)],
)
def test_check_values(is_call, delta):
    vol, d, gamma, vega = single(ATM_PRICE, 100.0, 100.0, is_call, 0.95)
    assert vol == pytest.approx(0.2, rel=2e-15)
    assert d == pytest.approx(delta, abs=1e-10)
    assert gamma == pytest.approx(0.01885524601, abs=1e-11)
    assert vega == pytest.approx(0.3771049201, abs=1e-10)


@pytest.mark.parametrize(
    "price, F, K, is_call, disc, delta",
    [
        (5.0, 110.0, 100.0, 1, 0.9, 0.9),  # call below intrinsic, in the money
        (5.0, 100.0, 110.0, 0, 0.9, -0.9),  # put below intrinsic, in the money
        (150.0, 110.0, 100.0, 0, 0.9, 0.0),  # put above its largest price, out of the money
        (150.0, 100.0, 110.0, 1, 0.9, 0.0),  # call above its largest price, out of the money
        (150.0, 100.0, 100.0, 1, 0.9, 0.0),  # at the money: no half discount
        (150.0, 100.0, 100.0, 0, 0.9, 0.0),
        (0.0, 100.0, 100.0, 1, 0.7, 0.0),
        (-1.0, 120.0, 100.0, -1, 0.7, 0.7),  # is_call -1 is a call
        (-1.0, 120.0, 100.0, 2, 0.7, 0.7),
        (-1.0, 80.0, 100.0, 0, 0.7, -0.7),
        (200.0, 120.0, 100.0, 1, 0.7, 0.7),
        (5.0, NAN, 100.0, 1, 0.9, 0.0),  # NaN passes the filter, fails the solver
        (5.0, 100.0, NAN, 0, 0.9, 0.0),
    ],
)
def test_zero_volatility_delta(same_bits, price, F, K, is_call, disc, delta):
    vol, d, gamma, vega = single(price, F, K, is_call, disc)
    assert not vol > 0.0
    assert bits(vol) == bits(bc.implied_vol(price, F, K, 1 if is_call else -1))
    same_bits([d, gamma, vega], [delta, 0.0, 0.0])


@pytest.mark.parametrize(
    "F, K, disc",
    [
        (0.0, 100.0, 0.9),
        (-0.0, 100.0, 0.9),
        (-100.0, 100.0, 0.9),
        (-math.inf, 100.0, 0.9),
        (100.0, 0.0, 0.9),
        (100.0, -0.0, 0.9),
        (100.0, -1.0, 0.9),
        (100.0, 100.0, 0.0),
        (100.0, 100.0, -0.0),
        (100.0, 100.0, -0.95),
        (0.0, -1.0, -1.0),
    ],
)
@pytest.mark.parametrize("is_call", [1, 0])
def test_filter_zeroes_every_output_even_for_a_solvable_price(same_bits, F, K, disc, is_call):
    assert bc.implied_vol(ATM_PRICE, 100.0, 100.0, 1) > 0.0
    same_bits(single(ATM_PRICE, F, K, is_call, disc), [0.0, 0.0, 0.0, 0.0])


def test_nan_discount_passes_the_filter(same_bits):
    vol, d, gamma, vega = single(ATM_PRICE, 100.0, 100.0, 1, NAN)
    assert vol == pytest.approx(0.2, rel=2e-15)
    assert math.isnan(d) and math.isnan(gamma) and math.isnan(vega)
    vol, d, gamma, vega = single(5.0, 110.0, 100.0, 1, NAN)  # below intrinsic
    assert vol == 0.0 and math.isnan(d)
    same_bits([gamma, vega], [0.0, 0.0])


def test_price_is_not_scaled_by_the_discount():
    vol, *_ = single(ATM_PRICE, 100.0, 100.0, 1, 0.5)
    assert vol == pytest.approx(0.2, rel=2e-15)


@pytest.mark.parametrize("is_call", [-128, -1, 2, 127])
@pytest.mark.parametrize(
    "price, F, K",
    [(ATM_PRICE, 100.0, 100.0), (12.0, 110.0, 100.0), (1.0, 90.0, 100.0), (5.0, 110.0, 100.0)],
)
def test_any_nonzero_is_call_byte_is_a_call(same_bits, is_call, price, F, K):
    same_bits(single(price, F, K, is_call, 0.9), single(price, F, K, 1, 0.9))


def test_zero_is_call_byte_is_a_put(same_bits):
    put = single(12.0, 90.0, 100.0, 0, 0.9)
    assert bits(put[0]) == bits(bc.implied_vol(12.0, 90.0, 100.0, -1))
    assert put[1] < 0.0


# Greeks against an independent high-precision Black model: prices made in
# mpmath from known volatilities, rounded once to double.
def _mp_black(F, K, vol, call):
    mp = mpmath.mp
    d1 = (mp.log(F / K) + vol * vol / 2) / vol
    d2 = d1 - vol
    if call:
        price = F * mp.ncdf(d1) - K * mp.ncdf(d2)
        delta = mp.ncdf(d1)
    else:
        price = K * mp.ncdf(-d2) - F * mp.ncdf(-d1)
        delta = -mp.ncdf(-d1)
    pdf = mp.npdf(d1)
    return price, delta, pdf / (F * vol), pdf * F / 100


# Deep in the money at a low volatility the time value drowns in the rounding
# of the price, so those cases are left out: the volatility is not defined
# to double precision there.
@pytest.mark.parametrize(
    "K, vol, call",
    [
        (K, vol, call)
        for K in (70.0, 95.0, 100.0, 130.0)
        for vol in (0.05, 0.3, 1.2)
        for call in (True, False)
        if vol > 0.1 or K == 100.0 or (K > 100.0) == call
    ],
)
def test_against_high_precision_black(K, vol, call):
    F, disc = 100.0, 0.93
    with mpmath.workdps(50):
        price, delta, gamma, vega = _mp_black(mpmath.mpf(F), mpmath.mpf(K), mpmath.mpf(vol), call)
        expected = [vol] + [float(g * mpmath.mpf(disc)) for g in (delta, gamma, vega)]
    got = single(float(price), F, K, int(call), disc)
    assert got[0] == pytest.approx(vol, rel=1e-12)
    for g, e in zip(got[1:], expected[1:]):
        assert g == pytest.approx(e, rel=1e-10, abs=1e-300)


@pytest.mark.parametrize(
    "aliases",
    [
        {"out_vol": "price"},
        {"out_vega": "price"},
        {"out_delta": "fwd"},
        {"out_vol": "fwd"},
        {"out_gamma": "strike"},
        {"out_delta": "discount"},
        {"out_vega": "discount"},
        {"out_vol": "price", "out_delta": "fwd", "out_gamma": "strike", "out_vega": "discount"},
        {"out_vol": "discount", "out_delta": "strike", "out_gamma": "fwd", "out_vega": "price"},
    ],
    ids=lambda a: ",".join(f"{v}->{k}" for k, v in a.items()),
)
@pytest.mark.parametrize("step", [1, -2])
def test_an_output_may_be_an_input(book, same_bits, aliases, step):
    trades = book(n=200, seed=7)
    want = reference(trades)
    # strided or reversed views, so that only "same start and same stride" is shared
    trades = {k: np.repeat(v[::-1], 2)[::-2] if step < 0 else v.copy() for k, v in trades.items()}
    assert all(v.strides[0] == step * v.itemsize for v in trades.values())
    outs = outputs(len(trades["price"]))
    for out, inp in aliases.items():
        outs[out] = trades[inp]
    run(trades, outs)
    for k in OUTPUTS:
        same_bits(outs[k], want[k])


def _overlap(trades, outs, layout):
    """Lays an input and an output over one buffer at different offsets or strides."""
    n = len(trades["price"])
    if layout == "out_delta one past fwd_mid":
        buf = np.empty(n + 1)
        buf[:n] = trades["fwd"]
        trades["fwd"], outs["out_delta"] = buf[:n], buf[1:]
    elif layout == "out_vol the reversed price":
        buf = trades["price"][::-1].copy()
        trades["price"], outs["out_vol"] = buf[::-1], buf
    elif layout == "out_vega over strike at twice its stride":
        buf = np.empty(2 * n)
        buf[:n] = trades["strike"]
        trades["strike"], outs["out_vega"] = buf[:n], buf[::2]
    elif layout == "is_call bytes in the head of out_gamma":
        buf = np.empty(n)
        flags = buf.view(np.int8)[:n]
        flags[:] = trades["is_call"]
        trades["is_call"], outs["out_gamma"] = flags, buf
    else:  # outputs interleaved without sharing a byte
        buf = np.empty(2 * n)
        outs["out_vol"], outs["out_delta"] = buf[::2], buf[1::2]


@pytest.mark.parametrize(
    "layout",
    [
        "out_delta one past fwd_mid",
        "out_vol the reversed price",
        "out_vega over strike at twice its stride",
        "is_call bytes in the head of out_gamma",
        "interleaved outputs",
    ],
)
def test_overlapping_buffers_give_the_result_of_copies(book, same_bits, layout):
    trades = book(n=200, seed=11)
    want = reference(trades)
    outs = outputs(len(trades["price"]))
    _overlap(trades, outs, layout)
    run(trades, outs)
    for k in OUTPUTS:
        same_bits(outs[k], want[k])


@pytest.mark.parametrize(
    "first, second", [("out_vol", "out_delta"), ("out_vol", "out_vega"), ("out_gamma", "out_vega")]
)
@pytest.mark.parametrize("shift", [0, 1, -1])
def test_overlapping_outputs_are_refused(book, first, second, shift):
    trades = book(n=50, seed=3)
    n = len(trades["price"])
    outs = outputs(n)
    buf = np.full(n + 2, SENTINEL)
    outs[first], outs[second] = buf[1 : n + 1], buf[1 + shift : n + 1 + shift]
    with pytest.raises(ValueError, match=f"^{second} overlaps {first}$"):
        run(trades, outs)
    assert (buf == SENTINEL).all()


@pytest.mark.parametrize("n", [0, None])
def test_no_prices_write_nothing(same_bits, n):
    price = None if n is None else np.zeros(0)
    outs = outputs(3)
    args = [np.full(3, 100.0), None, np.ones(5, np.int8), np.zeros(1)]
    assert bc.compute_trades_greeks(price, *args, *(outs[k] for k in OUTPUTS)) is None
    for k in OUTPUTS:
        same_bits(outs[k], np.full(3, SENTINEL))
    assert bc.compute_trades_greeks(price, None, None, None, None, None, None, None, None) is None


def _nine(n, m=None, short_at=None):
    """Nine valid arguments of n elements each, the one at short_at holding m (None: None)."""
    rng = np.random.default_rng(n)
    args = [
        np.full(n, ATM_PRICE),
        100.0 * rng.uniform(0.8, 1.2, n),
        np.full(n, 100.0),
        np.ones(n, np.int8),
        np.full(n, 0.9),
    ] + [np.full(n, SENTINEL) for _ in OUTPUTS]
    if short_at is not None:
        base = args[short_at]
        # a view into a longer buffer: the data right after it is plausible
        args[short_at] = None if m is None else np.concatenate([base, base])[:m]
    return args


@pytest.mark.parametrize("position", range(1, 9))
@pytest.mark.parametrize("n, m", [(4, 3), (2, 1), (3, 0), (1, 0), (3, None)])
def test_short_arrays_are_refused_before_anything_is_written(same_bits, position, n, m):
    args = _nine(n, m, position)
    before = [None if a is None else a.copy() for a in args]
    count = 0 if m is None else m
    message = (
        f"^{ARG_NAMES[position]} has {count} element{'' if count == 1 else 's'}, "
        f"expected at least {n}$"
    )
    with pytest.raises(ValueError, match=message) as info:
        bc.compute_trades_greeks(*args)
    assert traceback.extract_tb(info.tb)[-1].name == "quelta.black_core.compute_trades_greeks"
    for a, b in zip(args, before):
        if a is not None:
            np.testing.assert_array_equal(a.view(np.uint8), b.view(np.uint8))


@pytest.mark.parametrize("extra", [1, 4])
def test_longer_arrays_are_used_up_to_n(same_bits, extra):
    n = 3
    args = _nine(n + extra)
    args[0] = args[0][:n]
    compact = [a[:n].copy() for a in _nine(n + extra)]
    bc.compute_trades_greeks(*args)
    bc.compute_trades_greeks(*compact)
    for long, short in zip(args[5:], compact[5:]):
        same_bits(long[:n], short)
        same_bits(long[n:], np.full(extra, SENTINEL))


def _float32(n):
    return np.zeros(n, np.float32)


def _readonly(n, dtype=np.float64):
    a = np.ones(n, dtype)
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("position", range(9))
@pytest.mark.parametrize(
    "make, error, message",
    [
        (_readonly, ValueError, "read-only"),
        (lambda n: [1.0] * n, TypeError, "list"),
        (
            lambda n: np.zeros((n, 1)),
            ValueError,
            r"^Buffer has wrong number of dimensions \(expected 1, got 2\)$",
        ),
    ],
)
def test_conversion_failure_at_any_position_writes_nothing(position, make, error, message):
    args = _nine(3)
    bad = make(3)
    if position == 3 and make is _readonly:
        bad = _readonly(3, np.int8)
    args[position] = bad
    with pytest.raises(error, match=message):
        bc.compute_trades_greeks(*args)
    for k, a in enumerate(args[5:], start=5):
        if k != position:
            assert np.all(a == SENTINEL)


@pytest.mark.parametrize("position", [0, 1, 2, 4, 5, 6, 7, 8])
def test_double_arrays_need_doubles(position):
    args = _nine(2)
    args[position] = _float32(2)
    with pytest.raises(ValueError) as info:
        bc.compute_trades_greeks(*args)
    assert str(info.value) == "Buffer dtype mismatch, expected 'double' but got 'float'"
    assert traceback.extract_tb(info.tb)[-1].name == "quelta.black_core.compute_trades_greeks"


def test_first_failing_argument_wins():
    args = _nine(2)
    args[3] = np.zeros(2, bool)
    args[8] = _readonly(2)
    args[1] = np.ones(5)[:1]  # too short, but lengths are checked after conversion
    with pytest.raises(ValueError) as info:
        bc.compute_trades_greeks(*args)
    assert str(info.value) == "Buffer dtype mismatch, expected 'int8_t' but got 'bool'"


N9 = "compute_trades_greeks() takes exactly 9 positional arguments ({} given)"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda a: bc.compute_trades_greeks(*a[:8]), N9.format(8)),
        (lambda a: bc.compute_trades_greeks(*a, a[0]), N9.format(10)),
        (lambda a: bc.compute_trades_greeks(), N9.format(0)),
        (
            lambda a: bc.compute_trades_greeks(
                *a[:5], out_vol=a[5], out_delta=a[6], out_gamma=a[7]
            ),
            N9.format(8),
        ),
        (
            lambda a: bc.compute_trades_greeks(
                *a[:3], is_call=a[3], out_vol=a[5], out_delta=a[6], out_gamma=a[7], out_vega=a[8]
            ),
            N9.format(4),
        ),
        (
            lambda a: bc.compute_trades_greeks(*a, is_call=a[3]),
            "compute_trades_greeks() got multiple values for keyword argument 'is_call'",
        ),
        (
            lambda a: bc.compute_trades_greeks(*a[:8], vega=a[8]),
            "compute_trades_greeks() got an unexpected keyword argument 'vega'",
        ),
        (
            lambda a: bc.compute_trades_greeks(*a[:8], out_vega=a[8], K=a[2]),
            "compute_trades_greeks() got an unexpected keyword argument 'K'",
        ),
    ],
)
def test_binding_messages_and_nothing_written(call, message):
    args = _nine(2)
    with pytest.raises(TypeError) as info:
        call(args)
    assert str(info.value) == message
    frame = traceback.extract_tb(info.tb)[-1]
    assert frame.name == "quelta.black_core.compute_trades_greeks"
    assert "quelta/black_core" in frame.filename.replace("\\", "/")
    for a in args[5:]:
        assert np.all(a == SENTINEL)
