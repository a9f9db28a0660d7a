"""quelta: Black implied volatilities and Greeks to full double precision.

The user-facing functions work in market terms (discounted prices, expiries
in years, annualised volatilities) and broadcast over NumPy arrays:

- :func:`implied_volatility`: annualised implied volatility, NaN where there
  is none, with :class:`Reason` codes on request (``reason=True``);
- :func:`greeks`: implied volatility with delta, gamma, vega, theta, rho,
  vanna and volga in one call, as a :class:`Greeks` named tuple.

Both take the underlying as a forward, or as a spot with a rate and an
optional dividend yield.

The engine underneath is the extension module :mod:`quelta.black_core`
(total volatility, undiscounted prices, time fixed at 1).
"""

from quelta import black_core
from quelta._api import Greeks, Reason, greeks, implied_volatility

__all__ = ["Greeks", "Reason", "black_core", "greeks", "implied_volatility"]
