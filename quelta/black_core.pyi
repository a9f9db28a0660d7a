"""C++ Black-model implied volatility solver and Greeks.

Everything here works in the Black model with the time to expiry fixed at 1
and no discounting: prices are undiscounted, volatilities are total
volatilities (annualised volatility times the square root of the time to
expiry). Error cases give 0.0, never an exception.
"""

from typing import Any, SupportsFloat, SupportsIndex, SupportsInt, TypeAlias

import numpy as np
import numpy.typing as npt
from typing_extensions import Buffer

_Double: TypeAlias = SupportsFloat | SupportsIndex
# Any one-dimensional buffer of C doubles (int8 for ``is_call``), or None for
# an empty one. compute_trades_greeks needs writable buffers, inputs included.
# NumPy arrays are named as well: before Python 3.12 their stubs declare no
# buffer protocol.
_Array: TypeAlias = Buffer | npt.NDArray[Any] | None

def implied_vol(price: _Double, F: _Double, K: _Double, q: SupportsInt) -> float:
    """Implied total volatility of an undiscounted price; q 1 call, -1 put (sign read).

    Returns 0.0 for error cases (below intrinsic, at or above the maximum).
    """

def black_delta(F: _Double, K: _Double, sigma: _Double, q: SupportsInt) -> float:
    """Black delta N(d1) (call) or -N(-d1) (put) at total volatility sigma."""

def black_gamma(F: _Double, K: _Double, sigma: _Double) -> float:
    """Black gamma n(d1) / (F sigma) at total volatility sigma."""

def black_vega(F: _Double, K: _Double, sigma: _Double) -> float:
    """Black vega F n(d1) / 100: per one point of total volatility."""

def vectorized_implied_vol(
    undiscounted_price: _Array, fwd_mid: _Array, K: _Double, q: SupportsInt
) -> npt.NDArray[np.float64]:
    """Implied total volatilities for one strike and kind, a forward per price."""

def vectorized_implied_vol_strikes(
    undiscounted_price: _Array, F: _Double, K: _Array, q: SupportsInt
) -> npt.NDArray[np.float64]:
    """Implied total volatilities for one forward and kind, a strike per price."""

def compute_trades_greeks(
    undiscounted_price: _Array,
    fwd_mid: _Array,
    strike: _Array,
    is_call: _Array,
    discount: _Array,
    out_vol: _Array,
    out_delta: _Array,
    out_gamma: _Array,
    out_vega: _Array,
) -> None:
    """Implied total volatility and discounted delta, gamma, vega, written in place.

    is_call is int8 (nonzero: call); Greeks are multiplied by discount and
    vega is per one point of total volatility. Trades with a non-positive
    forward, strike or discount get 0.0 everywhere.
    """
