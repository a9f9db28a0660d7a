"""quelta: Black implied volatilities and Greeks to full double precision.

The user-facing functions work in market terms (discounted prices, expiries
in years, annualised volatilities) and broadcast over NumPy arrays:

- :func:`implied_volatility`: annualised implied volatility, NaN where there
  is none, with :class:`Reason` codes on request (``reason=True``);
- :func:`greeks`: implied volatility with delta, gamma, vega, theta, rho,
  vanna and volga in one call, as a :class:`Greeks` named tuple;
- :func:`convert_volatility`: a volatility of the Black, shifted-Black or
  normal (Bachelier) model as one of another;
- :func:`solve_table`: the same for a whole option book held in a pyarrow
  Table or a pandas DataFrame, with the results appended as columns (needs
  pyarrow: ``pip install 'quelta[cli]'``; see :mod:`quelta.book`).

The underlying is a forward, or a spot with a rate and an optional dividend
yield; the model is Black's (``model="black"``, with an optional ``shift``
for the shifted-lognormal model) or the normal one (``model="normal"``).

The engine underneath is the extension module :mod:`quelta.black_core`
(total volatility, undiscounted prices, time fixed at 1). Both run on one
batch kernel built for several instruction sets; :func:`simd_level` names the
one in use, chosen at import (the widest the CPU has, or the environment
variable ``QUELTA_SIMD=scalar|avx2|avx512``, never above the CPU's).
"""

import os
import sys
from typing import Any


def _the_command() -> bool:
    """Whether this process is the quelta command: the quelta script or python -m quelta."""
    script = getattr(sys.modules.get("__main__"), "__file__", None) or ""
    argv = getattr(sys, "orig_argv", [])
    return os.path.basename(script) == "quelta" or (
        sys.argv[:1] == ["-m"] and "-m" in argv and argv[argv.index("-m") + 1 :][:1] == ["quelta"]
    )


# An unknown QUELTA_SIMD fails the import of the kernel, and so of quelta.
# The command reports it in one line instead of a traceback: for it alone
# the failure waits for the first use of the array functions.
_unusable: ValueError | None = None
try:
    from quelta import black_core
    from quelta._arrays import Greeks, Reason, greeks, implied_volatility, simd_level
except ValueError as _exc:
    if not _the_command():
        raise
    _unusable = _exc

__all__ = [
    "Greeks",
    "Reason",
    "black_core",
    "convert_volatility",
    "greeks",
    "implied_volatility",
    "simd_level",
    "solve_table",
]


def __getattr__(name: str) -> Any:
    if _unusable is not None and name in __all__:
        raise _unusable
    # The book functions need pyarrow, an optional dependency: imported on first use.
    if name == "solve_table":
        from quelta.book import solve_table

        return solve_table
    if name == "convert_volatility":
        from quelta._convert import convert_volatility

        return convert_volatility
    raise AttributeError(f"module 'quelta' has no attribute {name!r}")
