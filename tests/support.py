"""Plain helpers shared by the test modules and the benchmarks (no pytest)."""

import math
import time

import numpy as np

_erfc = np.frompyfunc(math.erfc, 1, 1)


def _norm_cdf(x):
    return 0.5 * _erfc(-x / math.sqrt(2.0)).astype(np.float64)


def black_price(F, K, vol, call):
    """Undiscounted Black price in plain double arithmetic: test data, not a reference."""
    with np.errstate(all="ignore"):
        d1 = (np.log(F / K) + 0.5 * vol * vol) / vol
        d2 = d1 - vol
        calls = F * _norm_cdf(d1) - K * _norm_cdf(d2)
        puts = K * _norm_cdf(-d2) - F * _norm_cdf(-d1)
    return np.where(call, calls, puts)


def undiscounted(price, F, K, call, D):
    """price / D as the batch kernel solves it: the intrinsic value, or the largest
    price (F for a call, K for a put), where the quotient is closer than 2^-51
    of itself to that value, which is the rounding of D times it (D not 1)."""
    with np.errstate(all="ignore"):
        p = np.asarray(price / D, dtype=np.float64)
        slack = np.where(D == 1.0, 0.0, 2.0**-51 * np.abs(p))
        intrinsic = np.where(call, np.where(K < F, F - K, 0.0), np.where(K > F, K - F, 0.0))
        maximum = np.where(call, F, K)
        # Within the rounding of both (F/K within an ulp or two of 0 for a
        # put, a call struck near 0), the largest price wins, as in the reasons.
        at_bound = np.where(np.abs(p - intrinsic) < slack, intrinsic, p)
        return np.where(np.abs(p - maximum) < slack, maximum, at_bound)


def assert_same_bits(got, want):
    """Equal as IEEE doubles bit for bit: NaN matches NaN, -0.0 does not match 0.0."""
    got = np.ascontiguousarray(got, dtype=np.float64)
    want = np.ascontiguousarray(want, dtype=np.float64)
    assert got.shape == want.shape
    got, want = got.reshape(-1), want.reshape(-1)
    bad = np.flatnonzero(got.view(np.uint64) != want.view(np.uint64))
    assert bad.size == 0, (
        f"{bad.size} differences, first at {bad[:5].tolist()}: "
        f"got {got[bad[:5]].tolist()}, want {want[bad[:5]].tolist()}"
    )


GREEKS = ("delta", "gamma", "vega", "theta", "rho", "vanna", "volga")


def greek_scales(want, price, u, K, T, rate, q, sigma, spot):
    """The size each Greek's rounding is relative to, for want, the exact
    Greeks (rows in GREEKS order) at volatility sigma of market prices price
    on u, the spot (or the forward when spot is false): the Greek itself,
    except for theta, vanna and volga, which have zeros where their terms
    cancel (theta's three terms, d2 = x/w - w/2 in vanna and
    d1 d2 = (x/w)^2 - w^2/4 in volga, x = ln(F/K), w = sigma sqrt(T)): for
    them the sum of the terms' sizes."""
    delta, _, vega, _, rho, _, _ = np.abs(want)
    rate = np.array(rate, dtype=float)
    F = u * np.exp((rate - q) * T) if spot else u
    w = sigma * np.sqrt(T)
    x = np.log(F / K)
    decay = 50.0 * vega * sigma / T  # D F n(d1) sigma / (2 sqrt(T))
    if spot:  # q F delta_F = q S delta and r D K N(d2) = r 100 rho / T
        theta = (q * u * delta + np.abs(rate) * 100.0 * rho / T + decay) / 365
    else:  # r V
        theta = (np.abs(rate) * price + decay) / 365
    vanna = vega * (np.abs(x) / w + w / 2) / (u * np.sqrt(T) * sigma)
    volga = vega * ((x / w) ** 2 + w * w / 4) / (100 * sigma)
    scale = np.abs(want).copy()
    scale[[3, 5, 6]] = theta, vanna, volga
    return scale


def bachelier_price(F, K, s, call):
    """Undiscounted Bachelier price in plain double arithmetic: test data, not a reference."""
    with np.errstate(all="ignore"):
        d = (F - K) / s
        calls = (F - K) * _norm_cdf(d) + s * np.exp(-0.5 * d * d) / math.sqrt(2.0 * math.pi)
    return np.where(call, calls, calls - (F - K))


def cpu_model():
    """The CPU's model name, for the header of a benchmark's output."""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    import platform

    return platform.processor() or platform.machine()


def mixed_rates_book(n, seed, words):
    """Columns of a rates book whose rows mix the normal and shifted-Black models
    (``words``: the model column's spellings by model), forwards of either sign,
    a few prices without a volatility; ``normal`` marks the normal rows."""
    rng = np.random.default_rng(seed)
    normal = rng.random(n) < 0.5
    forward = rng.uniform(-0.01, 0.04, n)
    strike = forward + rng.uniform(-0.01, 0.01, n)
    expiry = rng.uniform(0.1, 10.0, n)
    call = rng.random(n) < 0.5
    shift = np.where(normal, np.nan, rng.choice([0.0, 0.02, 0.05], n))
    w = np.where(normal, rng.uniform(0.003, 0.012, n), rng.uniform(0.1, 0.8, n)) * np.sqrt(expiry)
    discount = np.exp(-0.02 * expiry)
    with np.errstate(all="ignore"):
        price = discount * np.where(
            normal,
            bachelier_price(forward, strike, w, call),
            black_price(forward + shift, strike + shift, w, call),
        )
    price[::13] *= -1.0
    spell = [str.lower, str.upper, str.title]
    model = [
        spell[rng.integers(3)](str(rng.choice(words["normal" if m else "black"]))) for m in normal
    ]
    return {
        "expiry": expiry,
        "forward": forward,
        "strike": strike,
        "kind": np.where(call, "call", "put"),
        "price": price,
        "discount": discount,
        "model": model,
        "shift": shift,
        "normal": normal,
    }


# The parameter names of black_core.compute_trades_greeks, in order.
GREEKS_PARAMETERS = (
    "undiscounted_price",
    "fwd_mid",
    "strike",
    "is_call",
    "discount",
    "out_vol",
    "out_delta",
    "out_gamma",
    "out_vega",
)


def signal_once_writing(proc, directory, signum):
    """Sends ``signum`` to a running quelta once its temporary output (``*.tmp``)
    is in ``directory``, and returns its standard error when it has ended."""
    deadline = time.monotonic() + 30
    while not any(p.name.endswith(".tmp") for p in directory.iterdir()):
        assert time.monotonic() < deadline
        time.sleep(0.05)
    time.sleep(0.3)
    proc.send_signal(signum)
    with proc:
        return proc.stderr.read().decode()
