"""quelta: Black implied volatilities and Greeks to full double precision.

The user-facing functions work in market terms (discounted prices, expiries
in years, annualised volatilities) and broadcast over NumPy arrays:

- :func:`implied_volatility`: annualised implied volatility, NaN where there
  is none, with :class:`Reason` codes on request (``reason=True``);
- :func:`greeks`: implied volatility with delta, gamma, vega, theta, rho,
  vanna and volga in one call, as a :class:`Greeks` named tuple;
- :func:`solve_table`: the same for a whole option book held in a pyarrow
  Table or a pandas DataFrame, with the results appended as columns (needs
  pyarrow: ``pip install 'quelta[cli]'``; see :mod:`quelta.book`).

The underlying is a forward, or a spot with a rate and an optional dividend
yield.

The engine underneath is the extension module :mod:`quelta.black_core`
(total volatility, undiscounted prices, time fixed at 1). Both run on one
batch kernel built for several instruction sets; :func:`simd_level` names the
one in use, chosen at import (the widest the CPU has, or the environment
variable ``QUELTA_SIMD=scalar|avx2|avx512``, never above the CPU's).
"""

from typing import Any

from quelta import black_core
from quelta._api import Greeks, Reason, greeks, implied_volatility, simd_level

__all__ = [
    "Greeks",
    "Reason",
    "black_core",
    "greeks",
    "implied_volatility",
    "simd_level",
    "solve_table",
]


def __getattr__(name: str) -> Any:
    # The book functions need pyarrow, an optional dependency: imported on first use.
    if name == "solve_table":
        from quelta.book import solve_table

        return solve_table
    raise AttributeError(f"module 'quelta' has no attribute {name!r}")
