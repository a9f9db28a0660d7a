"""quelta: Black implied volatilities and Greeks to full double precision.

The engine is the extension module :mod:`quelta.black_core`.
"""

from quelta import black_core

__all__ = ["black_core"]
