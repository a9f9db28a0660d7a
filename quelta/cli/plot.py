"""The smile plot of ``quelta solve --plot``."""

from __future__ import annotations

from typing import IO, Any

import numpy as np

import quelta

PLOT_MAX_EXPIRIES = 12
PLOT_MAX_POINTS = 2000
PLOT_KEPT_POINTS = 200_000  # smile points kept while streaming; thinned beyond
PLOT_FORMATS = ("png", "svg", "pdf")


class Smile:
    """Points of the smile plot, thinned evenly while the book streams past."""

    def __init__(self, all_quotes: bool) -> None:
        self.all_quotes = all_quotes
        self.stride = 1
        self.parts: list[tuple[np.ndarray, ...]] = []
        self.kept = 0

    def add(self, solved: Any) -> None:
        g = solved.greeks
        keep = g.reason == quelta.Reason.OK
        if not self.all_quotes:  # out of the money: calls above the forward, puts below
            keep &= np.where(
                solved.is_call, solved.strike >= solved.forward, solved.strike < solved.forward
            )
        rows = np.flatnonzero(keep)[:: self.stride]
        part = (
            np.log(solved.strike[rows] / solved.forward[rows]),
            g.vol[rows],
            solved.expiry[rows],
            solved.is_call[rows],
        )
        self.parts.append(part)
        self.kept += rows.size
        if self.kept > PLOT_KEPT_POINTS:
            merged = tuple(np.concatenate(p)[::2] for p in zip(*self.parts))
            self.parts, self.kept, self.stride = [merged], merged[0].size, self.stride * 2

    def points(self) -> tuple[np.ndarray, ...]:
        if not self.parts:
            return (np.empty(0),) * 3 + (np.empty(0, dtype=bool),)
        return tuple(np.concatenate(p) for p in zip(*self.parts))


def draw(file: IO[bytes], fmt: str, smile: Smile, title: str) -> None:
    """Implied volatility against ln(K/F), one colour per expiry; puts dashed."""
    import matplotlib
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D

    k, vol, t, call = smile.points()
    expiries = np.unique(t)
    shown = expiries
    if len(expiries) > PLOT_MAX_EXPIRIES:
        shown = expiries[np.linspace(0, len(expiries) - 1, PLOT_MAX_EXPIRIES).round().astype(int)]
    fig = Figure(figsize=(9, 5.5), dpi=110)
    ax = fig.add_subplot()
    colours = matplotlib.colormaps["viridis"](np.linspace(0.0, 0.9, max(len(shown), 1)))
    handles = []
    for colour, expiry in zip(colours, shown):
        for is_call, style, marker in ((True, "-", "o"), (False, "--", "s")):
            m = (t == expiry) & (call == is_call)
            order = np.argsort(k[m], kind="stable")
            if order.size > PLOT_MAX_POINTS:
                order = order[np.linspace(0, order.size - 1, PLOT_MAX_POINTS).astype(int)]
            if order.size:
                ax.plot(
                    k[m][order],
                    100.0 * vol[m][order],
                    linestyle=style,
                    marker=marker if order.size <= 60 else None,
                    markersize=3,
                    linewidth=1.5,
                    color=colour,
                )
        handles.append(Line2D([], [], color=colour, label=f"T = {expiry:.4g} y"))
    handles += [
        Line2D([], [], color="0.3", linestyle="-", marker="o", markersize=3, label="calls"),
        Line2D([], [], color="0.3", linestyle="--", marker="s", markersize=3, label="puts"),
    ]
    ax.set_xlabel("log-moneyness  ln(K / F)")
    ax.set_ylabel("implied volatility (%, annualised)")
    title += " (all quotes)" if smile.all_quotes else " (out-of-the-money quotes)"
    if len(shown) < len(expiries):
        title += f", {len(shown)} of {len(expiries)} expiries"
    ax.set_title(title)
    ax.grid(True, alpha=0.3)
    ax.legend(handles=handles, fontsize="small", loc="best")
    fig.tight_layout()
    fig.savefig(file, format=fmt)
