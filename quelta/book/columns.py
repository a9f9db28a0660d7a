"""The columns of a book: accepted names, the Greeks and results appended, and BookError."""

from __future__ import annotations

from collections.abc import Collection, Mapping, Sequence

from quelta._arrays import Reason

# The words of a model column's cells, by the model (of quelta.MODELS) they name.
MODEL_NAMES: dict[str, tuple[str, ...]] = {
    "normal": ("normal", "bachelier", "n"),
    "black": ("black", "lognormal", "shifted_black", "shifted_lognormal", "b", "ln"),
}

# Canonical column, accepted header names (after normalising case, spaces,
# hyphens and slashes; the first one present wins), and the help text.
COLUMNS: list[tuple[str, tuple[str, ...], str]] = [
    (
        "price",
        (
            "price",
            "premium",
            "option_price",
            "mid",
            "mid_price",
            "mark",
            "mark_price",
            "value",
            "last",
            "lastprice",
            "last_price",
        ),
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
        (
            "spot",
            "underlying",
            "s",
            "spot_price",
            "underlying_price",
            "undprice",
            "und_price",
            "underlyingprice",
            "index_price",
        ),
        "spot price S, instead of forward (needs rate or discount): F = S exp((r - q) T); "
        "delta, gamma and vanna are then taken with respect to S",
    ),
    ("strike", ("strike", "k", "strike_price", "strikeprice"), "strike K"),
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
            "expirationdate",
            "expirydate",
            "lasttradedateorcontractmonth",
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
            "putcall",
            "optiontype",
            "contract_type",
            "callput",
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
        "symbol",
        (
            "symbol",
            "contractsymbol",
            "contract_symbol",
            "occ_symbol",
            "option_symbol",
            "optionsymbol",
            "instrument_name",
            "instrument",
        ),
        "option symbol, OCC (SPXW251219C06850000) or crypto (BTC-26DEC25-90000-C): gives "
        "the expiry date, kind and strike where the book has no column for them, "
        "appended as the columns expiry, kind and strike",
    ),
    (
        "ticker",
        (
            "ticker",
            "underlying_symbol",
            "underlying_ticker",
            "root",
            "root_symbol",
            "underlying",
            "symbol",
        ),
        "the underlying's name, as text (optional; a symbol column of no option symbols, "
        "as brokers name the underlying): with --forward parity the expiries of "
        "each underlying are fitted apart (without it, those of each option symbol root)",
    ),
    (
        "shift",
        ("shift", "vol_shift", "displacement"),
        "shift d of the shifted-lognormal model, row by row: Black on F + d and K + d "
        "(optional; not with --shift or --model normal)",
    ),
    (
        "model",
        ("model", "vol_model", "volatility_model", "vol_type", "volatility_type", "model_type"),
        "the model of the row's price, for books that mix them: "
        + "; ".join(f"{model}: {', '.join(words)}" for model, words in MODEL_NAMES.items())
        + " (any case; not with --model)",
    ),
    (
        "true_vol",
        ("true_vol", "true_volatility", "vol_true", "sigma_true", "mark_iv"),
        "known volatility (optional): the summary reports max |implied_vol/true_vol - 1| "
        "(a crypto exchange's mark_iv is in percent)",
    ),
]
ALIASES = {canon: aliases for canon, aliases, _ in COLUMNS}
GREEKS = ("delta", "gamma", "vega")  # appended by default
ALL_GREEKS = ("delta", "gamma", "vega", "theta", "rho", "vanna", "volga")
RESULTS = ("implied_vol", *GREEKS, "reason")
SYMBOL_ROLES = ("expiry", "kind", "strike")  # what an option symbol names
SIDES = ("bid_vol", "ask_vol")  # the volatilities of the bid and the ask, when asked for
PRICE_UNITS = ("currency", "underlying")  # prices in money, or in units of the underlying
REASON_NAMES = [r.name.lower() for r in Reason]
# forward="parity" (--forward parity): the forward and discount of each expiry
# are fitted from its calls and puts, and appended before implied_vol.
PARITY = "parity"
FITTED = ("forward", "discount")
# The roles that would give the forward or discount instead of the fit.
_NOT_WITH_PARITY = ("forward", "spot", "discount", "rate")


# Headers whose numbers are percentages without a % sign: a crypto exchange's
# volatilities (mark_iv 45.3 is 0.453).
IN_PERCENT = ("mark_iv",)


def in_percent(name: str) -> bool:
    """Whether a header's numbers are percentages, with or without a % sign."""
    return normalise(name) in IN_PERCENT


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


def fits_parity(forward: object) -> bool:
    """Whether a forward option asks for forwards fitted from put-call parity."""
    return isinstance(forward, str) and forward.strip().lower() == PARITY


def result_names(
    greeks: str | Sequence[str] = GREEKS,
    bid_ask_vols: bool = False,
    symbols: Sequence[str] = (),
    parity: bool = False,
) -> tuple[str, ...]:
    """The columns appended for a choice of Greeks (``"all"`` or names from ALL_GREEKS).

    With ``bid_ask_vols``, the volatilities of the bid and the ask follow
    ``implied_vol``; ``symbols`` (of :func:`from_symbols`) come first, then
    with ``parity`` the fitted ``forward`` and ``discount``.

    Raises ValueError for a name that is not a Greek.
    """
    chosen = ALL_GREEKS if greeks == "all" else (greeks,) if isinstance(greeks, str) else greeks
    unknown = [g for g in chosen if g not in ALL_GREEKS]
    if unknown:
        raise ValueError(
            f"unknown Greek {unknown[0]!r}; choose from {', '.join(ALL_GREEKS)} or 'all'"
        )
    sides = SIDES if bid_ask_vols else ()
    fitted = FITTED if parity else ()
    chosen = tuple(g for g in ALL_GREEKS if g in chosen)
    return (*symbols, *fitted, "implied_vol", *sides, *chosen, "reason")


# Roles read as numbers, and the option symbol: an alias of one is taken only
# where its cells mostly are what the role reads (a text column of tickers
# named "underlying" is no spot, one named "symbol" no option symbols).
NUMERIC: tuple[str, ...] = ("price", "bid", "ask", "forward", "spot", "strike", "days")
NUMERIC += ("discount", "rate", "dividend_yield", "true_vol", "shift")
TYPED = (*NUMERIC, "symbol")
# Roles a single number may stand for, for every row (--rate, rate=, ...).
CONSTANTS = ("rate", "dividend_yield", "spot", "forward", "discount", "expiry")
# Roles an argument gives for every row, refused beside a column of that
# role: the constants, and the model (--model, model=) a model column gives
# row by row.
EVERY_ROW = (*CONSTANTS, "model")


def typed_role(name: str) -> str | None:
    """The numeric role (or symbol) a header is an alias of, if any."""
    key = normalise(name)
    return next((c for c in TYPED if key in ALIASES[c]), None)


def _check_names(names: Sequence[str]) -> dict[str, str]:
    """Header names by their normal form; refuses repeated names."""
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
    return by_normal


def _mapped(names: Sequence[str], columns: Mapping[str, str]) -> dict[str, str]:
    """The columns mapped to roles, each role and header checked."""
    for role, header in columns.items():
        if role not in ALIASES:
            raise BookError(f"unknown column role {role!r}; use one of {', '.join(ALIASES)}")
        if header not in names:
            listed = ", ".join(repr(n) for n in names)
            raise BookError(f"no column {header!r} (given for {role}); the columns are {listed}")
    taken: dict[str, str] = {}
    for role, header in columns.items():
        if header in taken:
            raise BookError(f"column {header!r} is given for both {taken[header]} and {role}")
        taken[header] = role
    return dict(columns)


def _find(
    names: Sequence[str], columns: Mapping[str, str], skipped: Collection[str]
) -> dict[str, str]:
    """The column of each role: the mapped ones, then the first free alias present."""
    by_normal = _check_names(names)
    found = _mapped(names, columns)
    for canon, aliases, _ in COLUMNS:
        if canon in found:
            continue
        for alias in aliases:
            name = by_normal.get(alias)
            # An alias over cells its role cannot read is passed over, for that role only.
            passed = name in skipped and canon in TYPED
            if name is not None and not passed and name not in found.values():
                found[canon] = name
                break
    return {canon: found[canon] for canon in ALIASES if canon in found}


def _check_constants(found: dict[str, str], constants: Collection[str]) -> None:
    for role in constants:
        if role not in EVERY_ROW:
            raise BookError(f"no constant for {role!r}; constants are {', '.join(EVERY_ROW)}")
        if role in found:
            flag = role.replace("_", "-")
            given = role if role == "model" else f"constant {role}"
            raise BookError(
                f"a {given} (--{flag}, {role}=) and a {role} column ({found[role]!r}); keep one"
            )
    if "expiry" in constants and ("days" in found or "symbol" in found):
        other = "days" if "days" in found else "symbol"
        raise BookError(
            f"a constant expiry (--expiry, expiry=) and a {other} column ({found[other]!r}), "
            "which gives the expiry; keep one"
        )
    if "dividend_yield" in constants and "spot" not in found and "spot" not in constants:
        raise BookError("a constant dividend_yield needs a spot (a spot column or constant)")


def _check_parity(
    found: dict[str, str], columns: Mapping[str, str], constants: Collection[str]
) -> None:
    """Refuses a forward or discount given beside the fit; a spot column found by
    an alias is not read (copied as it is), one mapped by hand is refused."""
    if "spot" in found and "spot" not in columns:
        del found["spot"]
    option = f"forward={PARITY!r} (--forward {PARITY}) fits the forward and discount"
    for role in _NOT_WITH_PARITY:
        if role in found:
            raise BookError(
                f"{option}, and the book has a {role} column ({found[role]!r}); keep one"
            )
        if role in constants:
            flag = role.replace("_", "-")
            raise BookError(
                f"{option}, and a constant {role} (--{flag}, {role}=) is given; keep one"
            )


def from_symbols(found: Collection[str]) -> tuple[str, ...]:
    """The roles a book's symbol column gives (none without one), as appended, in order."""
    if "symbol" not in found:
        return ()
    dated = "expiry" in found or "days" in found
    return tuple(c for c in SYMBOL_ROLES if c not in found and not (c == "expiry" and dated))


def _missing(present: Collection[str]) -> None:
    """Refuses a book without the roles a solve needs."""
    present = {*present, *from_symbols(present)}
    missing = []
    if "price" not in present and not ("bid" in present and "ask" in present):
        missing.append("price")
    if "forward" not in present and "spot" not in present:
        missing.append("forward")
    missing += [c for c in ("strike", "kind") if c not in present]
    if "expiry" not in present and "days" not in present:
        missing.insert(-1 if "kind" in missing else len(missing), "expiry")
    if not missing:
        return
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


def _both(present: Mapping[str, str], a: str, b: str) -> None:
    if a in present and b in present:
        raise BookError(f"has both a {present[a]} and a {present[b]}; keep one")


def resolve_columns(
    names: Sequence[str],
    columns: Mapping[str, str] | None = None,
    results: Sequence[str] = RESULTS,
    constants: Collection[str] = (),
    skipped: Collection[str] = (),
    parity: bool = False,
) -> dict[str, str]:
    """The header name used for each recognised column, keyed by canonical name.

    ``columns`` maps canonical names to header names and overrides the search
    by accepted names; ``constants`` are the roles given one number for every
    row; ``skipped`` headers are not taken by an alias. Raises
    :class:`BookError` for duplicated or missing columns, an unknown role or
    header, a constant for a role the book has a column for, both a forward
    and a spot, a spot without a rate or discount, both a discount and a
    rate, or a column named like one of ``results``. A dividend yield column
    is used only with a spot; a spot column found by an alias beside a forward
    column mapped by hand is not read. With ``parity`` the forward and discount are
    fitted, and a column or constant that would give them is refused.
    """
    found = _find(names, columns or {}, skipped)
    if "forward" in (columns or {}) and "spot" not in (columns or {}):
        found.pop("spot", None)  # an alias's spot (index_price) yields to a forward by hand
    if parity:
        _check_parity(found, columns or {}, constants)
    _check_constants(found, constants)
    present = {c: f"{c} column ({n!r})" for c, n in found.items()}
    present.update({c: f"constant {c}" for c in constants})
    present.update({c: "fitted" for c in FITTED if parity})
    _missing(present)
    _both(present, "discount", "rate")
    _both(present, "forward", "spot")
    if "spot" in present and "rate" not in present and "discount" not in present:
        spot = found.get("spot")
        hint = f"; if it is the forward, --column forward={spot}" if spot else ""
        raise BookError(
            f"has a {present['spot']} but no rate or discount column (or constant) "
            f"to form the forward{hint}"
        )
    if "spot" not in present:
        found.pop("dividend_yield", None)  # a forward already includes it
    taken = [n for n in names if normalise(n) in results]
    if taken:
        greek = normalise(taken[0]) in ALL_GREEKS
        greek_hint = " (or choose the Greeks: --greeks, greeks=)" if greek else ""
        raise BookError(
            f"already has a column {taken[0]!r}, which quelta would append; rename or "
            f"remove it{greek_hint}"
        )
    return found
