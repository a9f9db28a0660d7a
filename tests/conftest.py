"""Shared fixtures."""

import math
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
from support import assert_same_bits, black_price

# ---------------------------------------------------------------------------
# Array functions: a mixed book of trades, and bitwise comparison of doubles.

_NAN = math.nan
_INF = math.inf

# (price, F, K, is_call, discount): solvable, unsolvable and filtered trades,
# non-finite values and signed zeros, the odd is_call bytes.
_EDGE_TRADES = [
    (7.965567455405804, 100.0, 100.0, 1, 0.95),
    (7.965567455405804, 100.0, 100.0, 0, 0.95),
    (5.0, 110.0, 100.0, 1, 0.9),  # below intrinsic
    (5.0, 100.0, 110.0, 0, 0.9),  # below intrinsic
    (150.0, 110.0, 100.0, 0, 0.9),  # above the largest put price
    (150.0, 100.0, 110.0, 1, 0.9),  # above the largest call price
    (150.0, 100.0, 100.0, 1, 0.9),
    (150.0, 100.0, 100.0, 0, 0.9),
    (0.0, 100.0, 100.0, 1, 1.0),
    (-1.0, 100.0, 90.0, 1, 1.0),
    (_NAN, 100.0, 100.0, 1, 1.0),
    (_INF, 100.0, 100.0, 0, 1.0),
    (5.0, _NAN, 100.0, 1, 1.0),
    (5.0, 100.0, _NAN, 0, 1.0),
    (5.0, 100.0, 100.0, 1, _NAN),
    (5.0, _INF, 100.0, 1, 1.0),
    (5.0, 100.0, _INF, 0, 1.0),
    (5.0, 0.0, 100.0, 1, 1.0),
    (5.0, -0.0, 100.0, 1, 1.0),
    (5.0, -100.0, 100.0, 0, 1.0),
    (5.0, 100.0, 0.0, 1, 1.0),
    (5.0, 100.0, -0.0, 0, 1.0),
    (5.0, 100.0, -100.0, 1, 1.0),
    (5.0, 100.0, 100.0, 1, 0.0),
    (5.0, 100.0, 100.0, 0, -0.0),
    (5.0, 100.0, 100.0, 1, -0.5),
    (5.0, 100.0, 100.0, -1, 0.8),
    (5.0, 100.0, 100.0, 2, 0.8),
    (5.0, 100.0, 100.0, -128, 0.8),
    (5.0, 100.0, 100.0, 127, 0.8),
    (1e-300, 100.0, 300.0, 1, 1.0),  # far out of the money
    (2e-5, 1e-300, 1e-300, 1, 1.0),
    (3e295, 1e300, 1e300, 0, 1.0),
]


def make_book(n=400, seed=20240611, F=None, K=None, edges=True):
    """A book of n random trades plus the edge cases, as five contiguous arrays.

    F or K, when given, fixes that column for every trade; prices of the random
    trades are Black prices at volatilities from 0.005 to 3.
    """
    rng = np.random.default_rng(seed)
    fwd = np.full(n, F, np.float64) if F is not None else 100.0 * np.exp(rng.normal(0, 0.5, n))
    strike = np.full(n, K, np.float64) if K is not None else fwd * np.exp(rng.uniform(-1.5, 1.5, n))
    vol = np.exp(rng.uniform(np.log(0.005), np.log(3.0), n))
    is_call = rng.choice(np.array([1, 0, 1, 0, -1, 2], np.int8), n)
    discount = rng.uniform(0.5, 1.0, n)
    price = black_price(fwd, strike, vol, is_call != 0)
    if edges:
        p, f, k, c, d = (np.array(col) for col in zip(*_EDGE_TRADES))
        price = np.concatenate([price, p])
        fwd = np.concatenate([fwd, f if F is None else np.full(len(f), F)])
        strike = np.concatenate([strike, k if K is None else np.full(len(k), K)])
        is_call = np.concatenate([is_call, c.astype(np.int8)])
        discount = np.concatenate([discount, d])
    return {
        "price": price.astype(np.float64),
        "fwd": fwd.astype(np.float64),
        "strike": strike.astype(np.float64),
        "is_call": is_call.astype(np.int8),
        "discount": discount.astype(np.float64),
    }


@pytest.fixture
def book():
    """Factory for trade books (see make_book); every call makes fresh arrays."""
    return make_book


@pytest.fixture
def same_bits():
    return assert_same_bits
