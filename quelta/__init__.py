"""quelta: Black implied volatilities and Greeks to full double precision.

The user-facing functions work in market terms (discounted prices, expiries
in years, annualised volatilities) and broadcast over NumPy arrays:

- :func:`implied_volatility`: annualised implied volatility, NaN where there
  is none, with :class:`Reason` codes on request (``reason=True``);
- :func:`greeks`: implied volatility, delta, gamma and vega in one call, as a
  :class:`Greeks` named tuple.

The engine underneath is the extension module :mod:`quelta.black_core`
(total volatility, undiscounted prices, time fixed at 1). Both run on one
batch kernel built for several instruction sets; :func:`simd_level` names the
one in use, chosen at import (the widest the CPU has, or the environment
variable ``QUELTA_SIMD=scalar|avx2|avx512``, never above the CPU's).
"""

from quelta import black_core
from quelta._api import Greeks, Reason, greeks, implied_volatility, simd_level

__all__ = ["Greeks", "Reason", "black_core", "greeks", "implied_volatility", "simd_level"]
