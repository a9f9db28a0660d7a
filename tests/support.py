"""Plain helpers shared by the test modules and the benchmarks (no pytest)."""

import math

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
