"""The columns of a book: accepted names, the Greeks and results appended, and BookError."""

from __future__ import annotations

from collections.abc import Mapping, Sequence

from quelta._arrays import Reason

# Canonical column, accepted header names (after normalising case, spaces,
# hyphens and slashes; the first one present wins), and the help text.
COLUMNS: list[tuple[str, tuple[str, ...], str]] = [
    (
        "price",
        ("price", "premium", "option_price", "mid", "mid_price", "mark", "value"),
        "market (discounted) option price",
    ),
    (
        "bid",
        ("bid", "bid_price", "best_bid"),
        "bid price: without a price column, the price is the mid (bid + ask) / 2",
    ),
    ("ask", ("ask", "offer", "ask_price", "offer_price", "best_ask"), "ask price"),
    (
        "forward",
        ("forward", "fwd", "f", "forward_price", "fwd_mid"),
        "forward price F of the underlying for the expiry",
    ),
    (
        "spot",
        ("spot", "underlying", "s", "spot_price", "underlying_price"),
        "spot price S, instead of forward (needs rate or discount): F = S exp((r - q) T); "
        "delta, gamma and vanna are then taken with respect to S",
    ),
    ("strike", ("strike", "k", "strike_price"), "strike K"),
    (
        "expiry",
        (
            "expiry",
            "t",
            "tau",
            "ttm",
            "maturity",
            "time_to_expiry",
            "expiry_years",
            "years",
            "expiration",
            "expiry_date",
            "expiration_date",
            "maturity_date",
        ),
        "time to expiry in years, or the expiry date or date and time (ISO, 2025-03-21 or "
        "2025-03-21 16:00), with a valuation date: T = days between them / 365 (ACT/365F)",
    ),
    (
        "days",
        ("days", "dte", "days_to_expiry", "days_to_expiration", "days_to_maturity"),
        "calendar days to expiry, instead of expiry: T = days / 365",
    ),
    (
        "valuation_date",
        ("valuation_date", "value_date", "valuation", "as_of", "as_of_date", "pricing_date"),
        "valuation date for expiry dates (or --valuation-date)",
    ),
    (
        "kind",
        (
            "kind",
            "type",
            "option_type",
            "cp",
            "call_put",
            "cp_flag",
            "put_call",
            "right",
            "flag",
            "is_call",
        ),
        "call/put, c/p or 1/-1 (an is_call column: 1/0, true/false)",
    ),
    ("discount", ("discount", "df", "discount_factor", "disc"), "discount factor D (optional)"),
    (
        "rate",
        ("rate", "r", "interest_rate", "risk_free_rate"),
        "continuously compounded rate r, D = exp(-r T) (optional, instead of discount)",
    ),
    (
        "dividend_yield",
        ("dividend_yield", "div", "q", "div_yield"),
        "continuous dividend yield q, with a spot column (optional, default 0; with a "
        "forward column it is not read)",
    ),
    (
        "shift",
        ("shift", "vol_shift", "displacement"),
        "shift d of the shifted-lognormal model, row by row: Black on F + d and K + d "
        "(optional; not with --shift or --model normal)",
    ),
    (
        "true_vol",
        ("true_vol", "true_volatility", "vol_true", "sigma_true"),
        "known volatility (optional): the summary reports max |implied_vol/true_vol - 1|",
    ),
]
ALIASES = {canon: aliases for canon, aliases, _ in COLUMNS}
GREEKS = ("delta", "gamma", "vega")  # appended by default
ALL_GREEKS = ("delta", "gamma", "vega", "theta", "rho", "vanna", "volga")
RESULTS = ("implied_vol", *GREEKS, "reason")
REASON_NAMES = [r.name.lower() for r in Reason]


class BookError(ValueError):
    """A book that cannot be solved: missing or ambiguous columns, or (strict) a bad cell.

    ``row`` is the 0-based row of the table and ``column`` the header name of
    the cell for an error in one cell; both are None for an error of the book.
    """

    def __init__(self, message: str, row: int | None = None, column: str | None = None):
        super().__init__(message)
        self.row = row
        self.column = column


class BookWarning(UserWarning):
    """A book that is solved but looks wrong, such as rates written in percent."""


def normalise(name: str) -> str:
    """A header name as matched against the accepted names."""
    return name.strip().lower().replace(" ", "_").replace("-", "_").replace("/", "_")


def result_names(greeks: str | Sequence[str] = GREEKS) -> tuple[str, ...]:
    """The columns appended for a choice of Greeks: ``"all"`` or names from ALL_GREEKS.

    Raises ValueError for a name that is not a Greek.
    """
    chosen = ALL_GREEKS if greeks == "all" else (greeks,) if isinstance(greeks, str) else greeks
    unknown = [g for g in chosen if g not in ALL_GREEKS]
    if unknown:
        raise ValueError(
            f"unknown Greek {unknown[0]!r}; choose from {', '.join(ALL_GREEKS)} or 'all'"
        )
    return ("implied_vol", *(g for g in ALL_GREEKS if g in chosen), "reason")


def resolve_columns(
    names: Sequence[str], columns: Mapping[str, str] | None = None, results: Sequence[str] = RESULTS
) -> dict[str, str]:
    """The header name used for each recognised column, keyed by canonical name.

    ``columns`` maps canonical names to header names and overrides the search
    by accepted names. Raises :class:`BookError` for duplicated or missing
    columns, both a forward and a spot, a spot without a rate or discount,
    both a discount and a rate, or a column named like one of ``results``.
    A dividend yield column is used only with a spot column.
    """
    seen: set[str] = set()
    for name in names:
        if name in seen:
            raise BookError(f"column name {name!r} appears more than once")
        seen.add(name)
    by_normal: dict[str, str] = {}
    for name in names:
        key = normalise(name)
        if key in by_normal and any(key in aliases for aliases in ALIASES.values()):
            raise BookError(f"columns {by_normal[key]!r} and {name!r} have the same name")
        by_normal.setdefault(key, name)

    found: dict[str, str] = {}
    for canon, aliases, _ in COLUMNS:
        if columns and canon in columns:
            if columns[canon] not in seen:
                raise BookError(f"no column {columns[canon]!r} (given for {canon})")
            found[canon] = columns[canon]
            continue
        for alias in aliases:
            if alias in by_normal and by_normal[alias] not in found.values():
                found[canon] = by_normal[alias]
                break
    if columns:
        unknown = sorted(set(columns) - set(ALIASES))
        if unknown:
            raise BookError(f"unknown column role {unknown[0]!r}; use one of {', '.join(ALIASES)}")

    missing = []
    if "price" not in found and not ("bid" in found and "ask" in found):
        missing.append("price")
    if "forward" not in found and "spot" not in found:
        missing.append("forward")
    if "strike" not in found:
        missing.append("strike")
    if "expiry" not in found and "days" not in found:
        missing.append("expiry")
    if "kind" not in found:
        missing.append("kind")
    if missing:
        if len(missing) == 1:
            accepted = ", ".join(ALIASES[missing[0]])
        else:
            accepted = "; ".join(f"{c}: {', '.join(ALIASES[c])}" for c in missing)
        extra = " (or bid and ask)" if "price" in missing else ""
        extra += " (or spot)" if "forward" in missing else ""
        raise BookError(
            f"missing column{'s' if len(missing) > 1 else ''} "
            f"{', '.join(missing)}{extra} (accepted names: {accepted})"
        )
    if "discount" in found and "rate" in found:
        raise BookError(
            f"has both a discount column ({found['discount']!r}) and a rate "
            f"column ({found['rate']!r}); keep one"
        )
    if "forward" in found and "spot" in found:
        raise BookError(
            f"has both a forward column ({found['forward']!r}) and a spot "
            f"column ({found['spot']!r}); keep one"
        )
    if "spot" in found and "rate" not in found and "discount" not in found:
        raise BookError(
            f"has a spot column ({found['spot']!r}) but no rate or discount "
            "column to form the forward"
        )
    if "spot" not in found:
        found.pop("dividend_yield", None)  # a forward already includes it
    taken = [n for n in names if normalise(n) in results]
    if taken:
        raise BookError(
            f"already has a column {taken[0]!r}, which quelta would append; rename or remove it"
        )
    return found
