"""High-precision reference values for the Black model, computed with mpmath.

Everything here is evaluated in multiple-precision arithmetic from the exact
values of the double arguments and rounded to double only on return, so the
doubles returned are the correctly rounded prices, vegas and Greeks.

The one delicate quantity is the normalised call

    b(x, s) = e^(x/2) Phi(x/s + s/2) - e^(-x/2) Phi(x/s - s/2),

a difference of two positive terms that can agree to hundreds of digits out of
the money (deep in the wings, or at a tiny volatility). mpmath's erfc keeps
full relative precision for every argument, so each term is exact to the
working precision; the difference is then formed with enough extra bits to
cover the digits that the cancellation removes: the loss is measured at a first
evaluation and everything is recomputed with that many more bits. Prices of
1e-300 and far below come out with TARGET_DIGITS correct digits.

This module is the independent side of the accuracy tests and benchmark: it
shares no code with the extension and uses none of its branch formulas.
"""

import math
from fractions import Fraction

import mpmath

# Correct significant digits of every value before the final rounding.
TARGET_DIGITS = 50
_TARGET_BITS = int(TARGET_DIGITS * 3.33) + 1
# Working bits beyond the target, against rounding inside the terms.
_GUARD_BITS = 24
# Precision ceiling of the cancellation loop (covers s down to ~1e-19000).
_MAX_BITS = 1 << 16

# Branch boundaries of the normalised Black function, for labelling points.
_ASYMPTOTIC_H = -10.0
_SMALL_T = 0.21022410381342865
_NORM_CDF_H_PLUS_T = 0.85

BLACK_REGIONS = ("asymptotic", "small-t", "erfcx", "norm-cdf")
SOLVER_BRANCHES = (1, 2, 3, 4)


def _mp(v):
    """The exact value of a double (or an mpf unchanged) as an mpf."""
    return v if isinstance(v, mpmath.mpf) else mpmath.mpf(float(v))


def _ncdf(z):
    """Standard normal CDF, with full relative precision in both tails."""
    return mpmath.erfc(-z / mpmath.sqrt(2)) / 2


def _npdf(z):
    return mpmath.exp(-z * z / 2) / mpmath.sqrt(2 * mpmath.pi)


def _positive(s):
    if not s > 0:
        raise ValueError(f"total volatility must be positive, got {s!r}")
    return s


def _difference(terms):
    """a - b to TARGET_DIGITS digits, for terms() -> (a, b) with a, b >= 0.

    terms is called inside a precision context and must form everything it
    uses (the log-moneyness included) at that precision.
    """
    prec = _TARGET_BITS + _GUARD_BITS
    while prec <= _MAX_BITS:
        with mpmath.workprec(prec):
            a, b = terms()
            d = a - b
            if d > 0:
                # a and b carry relative errors ~2^-prec, so d carries a
                # relative error ~2^-prec * a/d: a/d bits are lost.
                lost = int(mpmath.log(a / d, 2)) + 1
                if prec - lost >= _TARGET_BITS + _GUARD_BITS // 2:
                    return d
                prec = max(2 * prec, _TARGET_BITS + _GUARD_BITS + lost)
            elif a == 0:
                return d
            else:
                prec *= 2
    raise ArithmeticError(f"cancellation not resolved at {_MAX_BITS:d} bits")


def _moneyness(F, K):
    """x = ln(F/K) of the exact doubles F and K, at the current precision."""
    return mpmath.log(_mp(F) / _mp(K))


def _call(x_at_prec, s):
    """Normalised call for the log-moneyness x_at_prec() and volatility s."""

    def terms():
        x, sm = x_at_prec(), _mp(s)
        h, t = x / sm, sm / 2
        return mpmath.exp(x / 2) * _ncdf(h + t), mpmath.exp(-x / 2) * _ncdf(h - t)

    return _difference(terms)


def _sign(is_call):
    return 1 if is_call else -1


# ---------------------------------------------------------------- normalised


def normalised_call(x, s):
    """b(x, s) for a double x of either sign and s > 0, as an mpf."""
    _positive(s)
    return _call(lambda: _mp(x), s)


def normalised_vega(x, s):
    """db/ds = exp(-((x/s)^2 + (s/2)^2)/2)/sqrt(2 pi), as an mpf."""
    _positive(s)
    with mpmath.workprec(_TARGET_BITS + _GUARD_BITS):
        xm, sm = _mp(x), _mp(s)
        return _npdf(xm / sm + sm / 2) * mpmath.exp(xm / 2)


def normalised_price(F, K, s, is_call):
    """Undiscounted price over sqrt(F K), intrinsic value included (mpf).

    A put at log-moneyness x is the call at -x in normalised terms.
    """
    _positive(s)
    return _call(lambda: _sign(is_call) * _moneyness(F, K), s)


# --------------------------------------------------------------- money terms


def black_price_mp(F, K, s, is_call):
    """Undiscounted Black price as an mpf with TARGET_DIGITS correct digits."""
    b = normalised_price(F, K, s, is_call)
    with mpmath.workprec(_TARGET_BITS + _GUARD_BITS):
        return b * mpmath.sqrt(_mp(F) * _mp(K))


def black_price(F, K, s, is_call):
    """Undiscounted Black price, correctly rounded to double."""
    return float(black_price_mp(F, K, s, is_call))


def put_by_parity(F, K, s):
    """The put as call - (F - K), an independent route to the put price (mpf)."""
    c = black_price_mp(F, K, s, True)
    with mpmath.workprec(_TARGET_BITS + _GUARD_BITS):
        return c - (_mp(F) - _mp(K))


def quotient_is_exact(F, K):
    """True when the double division F/K is exact (never when it overflows)."""
    q = float(F) / float(K)
    return math.isfinite(q) and Fraction(float(F)) / Fraction(float(K)) == Fraction(q)


def condition(F, K, s, is_call):
    """Relative change of the implied volatility per relative error eps.

    The price enters through beta = price/sqrt(F K): a relative error e in it
    moves the volatility by e * |b/(s b')|, b the normalised price of this
    option (intrinsic value included) and b' the vega. A solver also forms
    x = ln(F/K) in double: the quotient is rounded (unless the division is
    exact) and the logarithm is rounded relative to |x|, an absolute error of
    up to eps * (1 + |x|). The out-of-the-money call that it inverts moves by
    b_x = db/dx per unit of x, adding (1 + |x|) * |b_x/(s b')|.
    Returns the sum as a double (+inf where the vega underflows to 0).
    """
    _positive(s)
    b = normalised_price(F, K, s, is_call)
    b_out = _call(lambda: -abs(_moneyness(F, K)), s)
    with mpmath.workprec(_TARGET_BITS + _GUARD_BITS):
        xo, sm = -abs(_moneyness(F, K)), _mp(s)
        vega = _npdf(xo / sm + sm / 2) * mpmath.exp(xo / 2)
        if vega == 0:
            return float("inf")
        # The Phi' terms of db/dx cancel, leaving e^(x/2) Phi(h + t) - b/2.
        b_x = mpmath.exp(xo / 2) * _ncdf(xo / sm + sm / 2) - b_out / 2
        x_units = (0 if quotient_is_exact(F, K) else 1) + abs(xo)
        return float((b + x_units * b_x) / (sm * vega))


def implied_vol(price, F, K, is_call):
    """The total volatility whose Black price is exactly the double `price`.

    Bisection on ln s to about 1e-15, then Newton steps at full precision.
    Raises ValueError for a price outside (intrinsic, F) or (intrinsic, K).
    """
    with mpmath.workprec(_TARGET_BITS + _GUARD_BITS):
        beta = _mp(price) / mpmath.sqrt(_mp(F) * _mp(K))
    x_at_prec = lambda: _sign(is_call) * _moneyness(F, K)  # noqa: E731
    with mpmath.workprec(_TARGET_BITS + _GUARD_BITS):
        x = x_at_prec()
        low_price = max(mpmath.exp(x / 2) - mpmath.exp(-x / 2), 0)
        if not low_price < beta < mpmath.exp(x / 2):
            raise ValueError(f"price {price!r} has no implied volatility")
    price_at = lambda s: _call(x_at_prec, s)  # noqa: E731
    # Bracket by squaring below 1 (b falls like exp(-x^2/(2 s^2)), so the
    # first point below the price is never far out) and doubling above it.
    lo, hi = mpmath.mpf(1), mpmath.mpf(1)
    if price_at(hi) > beta:
        lo = mpmath.mpf(0.5)
        while price_at(lo) > beta:
            hi, lo = lo, lo * lo
    else:
        while not price_at(hi) > beta:
            lo, hi = hi, 2 * hi
            if hi > 4096:
                raise ValueError(f"implied volatility of {price!r} above 4096")
    while hi / lo > 1 + mpmath.mpf(2) ** -50:
        mid = mpmath.sqrt(lo * hi)
        if price_at(mid) > beta:
            hi = mid
        else:
            lo = mid
    s = mpmath.sqrt(lo * hi)
    for _ in range(20):
        b = price_at(s)
        with mpmath.workprec(_TARGET_BITS + _GUARD_BITS):
            step = (beta - b) / (_npdf(x / s + s / 2) * mpmath.exp(x / 2))
            s += step
        if abs(step) < s * mpmath.mpf(10) ** -(TARGET_DIGITS + 2):
            return s
    raise ArithmeticError(f"Newton polish did not converge for price {price!r}")


# ---------------------------------------------------------------- the Greeks


def _d1(F, K, s):
    sm = _mp(s)
    return (_moneyness(F, K) + sm * sm / 2) / sm


def black_delta(F, K, s, is_call):
    """Phi(d1) for a call, -Phi(-d1) for a put, correctly rounded."""
    with mpmath.workprec(_TARGET_BITS + _GUARD_BITS):
        d1 = _d1(F, K, _positive(s))
        return float(_ncdf(d1) if is_call else -_ncdf(-d1))


def black_gamma(F, K, s):
    """phi(d1)/(F s), correctly rounded."""
    with mpmath.workprec(_TARGET_BITS + _GUARD_BITS):
        return float(_npdf(_d1(F, K, _positive(s))) / (_mp(F) * _mp(s)))


def black_vega(F, K, s):
    """F phi(d1)/100: the vega per one percentage point of volatility."""
    with mpmath.workprec(_TARGET_BITS + _GUARD_BITS):
        return float(_npdf(_d1(F, K, _positive(s))) * _mp(F) / 100)


def d1(F, K, s):
    """d1 = (ln(F/K) + s^2/2)/s, rounded to double."""
    with mpmath.workprec(_TARGET_BITS + _GUARD_BITS):
        return float(_d1(F, K, _positive(s)))


# ------------------------------------------------------------ region labels


def black_region(x, s):
    """Which evaluation of the normalised Black function covers (-|x|, s).

    The boundaries are those of the function's dispatcher, on the
    out-of-the-money side that the solver evaluates; a label, not a value.
    """
    h, t = -abs(x) / s, s / 2
    if h < _ASYMPTOTIC_H and h + t < _ASYMPTOTIC_H + _SMALL_T:
        return "asymptotic"
    if t < _SMALL_T:
        return "small-t"
    if h + t > _NORM_CDF_H_PLUS_T:
        return "norm-cdf"
    return "erfcx"


def solver_branch(F, K, s, is_call):
    """Segment (1 to 4) of the out-of-the-money price curve holding the price.

    The curve b(x, .) at x = -|ln(F/K)| is split at its inflection point
    s_c = sqrt(2|x|) and where the tangent there reaches 0 (s_l) and b_max
    (s_h); the segments are those of the solver's initial guess.
    """
    with mpmath.workprec(_TARGET_BITS + _GUARD_BITS):
        xo = -abs(_moneyness(F, K))
        b_max = mpmath.exp(xo / 2)
        s_c = mpmath.sqrt(-2 * xo)
    out = lambda v: _call(lambda: -abs(_moneyness(F, K)), v) if v > 0 else 0  # noqa: E731
    beta = out(_mp(s))
    b_c = out(s_c)
    v_c = normalised_vega(xo, s_c) if s_c > 0 else 1 / mpmath.sqrt(2 * mpmath.pi)
    if beta < b_c:
        return 1 if beta < out(s_c - b_c / v_c) else 2
    return 3 if beta <= out(s_c + (b_max - b_c) / v_c) else 4


# ------------------------------------------- Black-Scholes-Merton, money terms

_DAY = 365


def bsm_price(u, K, T, r, q, sigma, is_call, spot):
    """Market price exp(-r T) Black(F, K, sigma sqrt(T)) as an mpf.

    u is the spot S, with F = S exp((r - q) T), or (spot false) the forward F
    itself, which then stays fixed whatever r, and q is not read. Evaluated
    at the context precision, so that mpmath.diff can raise it; moderate
    moneyness only (no cancellation control).
    """
    F = u * mpmath.exp((r - q) * T) if spot else u
    w = sigma * mpmath.sqrt(T)
    d1 = (mpmath.log(F / K) + w * w / 2) / w
    d2 = d1 - w
    if is_call:
        return mpmath.exp(-r * T) * (F * _ncdf(d1) - K * _ncdf(d2))
    return mpmath.exp(-r * T) * (K * _ncdf(-d2) - F * _ncdf(-d1))


def bachelier_market_price(u, K, T, r, q, sigma, is_call, spot):
    """Market price exp(-r T) Bachelier(F, K, sigma sqrt(T)) as an mpf, with the
    arguments of bsm_price (sigma in units of the forward per sqrt(year))."""
    F = u * mpmath.exp((r - q) * T) if spot else u
    w = sigma * mpmath.sqrt(T)
    d = (F - K) / w
    call = (F - K) * _ncdf(d) + w * _npdf(d)
    return mpmath.exp(-r * T) * (call if is_call else call - (F - K))


def bsm_greeks(u, K, T, r, q, sigma, is_call, spot, price=bsm_price):
    """Greeks of bsm_price (or of price, with its arguments) by mpmath
    central differences, as mpf.

    [dV/du, d2V/du2, dV/dsigma / 100, -dV/dT / 365, dV/dr / 100,
    d2V/du dsigma / 100, d2V/dsigma2 / 100^2]: delta, gamma, vega, theta per
    calendar day, rho per rate point, vanna and volga per volatility point,
    each at fixed values of the other arguments.
    """
    u, K, T, r, q, sigma = (_mp(v) for v in (u, K, T, r, q, sigma))

    def v(u=u, T=T, r=r, s=sigma):
        return price(u, K, T, r, q, s, is_call, spot)

    return [
        mpmath.diff(lambda x: v(u=x), u),
        mpmath.diff(lambda x: v(u=x), u, 2),
        mpmath.diff(lambda x: v(s=x), sigma) / 100,
        -mpmath.diff(lambda x: v(T=x), T) / _DAY,
        mpmath.diff(lambda x: v(r=x), r) / 100,
        mpmath.diff(lambda x, y: v(u=x, s=y), (u, sigma), (1, 1)) / 100,
        mpmath.diff(lambda x: v(s=x), sigma, 2) / 100**2,
    ]


# ------------------------------------------------- the normal (Bachelier) model


def _bachelier_time_value(a, s):
    """s (phi(u) - u Phi(-u)), u = a/s, for exact a >= 0 and s > 0 (mpf)."""

    def terms():
        am, sm = _mp(a), _mp(s)
        u = am / sm
        return sm * _npdf(u), am * _ncdf(-u)

    return _difference(terms)


def bachelier_price_mp(F, K, s, is_call):
    """Undiscounted Bachelier price (F - K) Phi(d) + s phi(d), d = (F - K)/s, of
    a call (a put by parity) for any real F and K, with TARGET_DIGITS digits."""
    _positive(s)
    with mpmath.workprec(_TARGET_BITS + _GUARD_BITS):
        diff = _sign(is_call) * (_mp(F) - _mp(K))
        a = abs(diff)
    tv = _bachelier_time_value(a, s)
    with mpmath.workprec(_TARGET_BITS + _GUARD_BITS):
        return max(diff, 0) + tv


def bachelier_price(F, K, s, is_call):
    """Undiscounted Bachelier price, correctly rounded to double."""
    return float(bachelier_price_mp(F, K, s, is_call))


def bachelier_implied_vol(price, F, K, is_call):
    """The total normal volatility whose Bachelier price is exactly the double
    `price` (mpf). Raises ValueError at or below intrinsic.

    With v the time value and a = |F - K|, psi(u)/u = v/a for u = a/s
    (psi(u) = phi(u) - u Phi(-u)): bisection on ln u, then Newton steps.
    """
    with mpmath.workprec(_TARGET_BITS + _GUARD_BITS):
        diff = _sign(is_call) * (_mp(F) - _mp(K))
        v = _mp(price) - max(diff, 0)
        a = abs(diff)
        if not v > 0:
            raise ValueError(f"price {price!r} has no normal implied volatility")
        if a == 0:
            return v * mpmath.sqrt(2 * mpmath.pi)
        target = mpmath.log(v / a)

        def gap(u):  # ln(psi(u)/u) - ln(v/a), decreasing in u
            return mpmath.log(_bachelier_time_value(a, a / u) / a) - target

        lo, hi = mpmath.mpf(-1), mpmath.mpf(1)
        while gap(mpmath.exp(lo)) < 0:
            lo, hi = 2 * lo - 1, lo
        while gap(mpmath.exp(hi)) > 0:
            lo, hi = hi, 2 * hi + 1
        while hi - lo > mpmath.mpf(2) ** -40:
            mid = (lo + hi) / 2
            lo, hi = (mid, hi) if gap(mpmath.exp(mid)) > 0 else (lo, mid)
        u = mpmath.exp((lo + hi) / 2)
        for _ in range(20):
            psi = _bachelier_time_value(a, a / u) * u / a
            step = gap(u) / (-_ncdf(-u) / psi - 1 / u)
            u -= step
            if abs(step) < u * mpmath.mpf(10) ** -(TARGET_DIGITS + 2):
                return a / u
    raise ArithmeticError(f"Newton polish did not converge for price {price!r}")


def bachelier_condition(F, K, s, is_call):
    """Relative change of the normal implied volatility per relative error eps
    in the price and, unless the double F - K is exact, in F - K: the price p
    enters as p/(s vega), the rounding of a = |F - K| as a |dp/da|/(s vega),
    with vega = phi(u) and dp/da = Phi(-u) out of the money, Phi(u) in it.
    """
    _positive(s)
    difference = float(F) - float(K)
    exact = math.isfinite(difference) and (
        Fraction(float(F)) - Fraction(float(K)) == Fraction(difference)
    )
    with mpmath.workprec(_TARGET_BITS + _GUARD_BITS):
        diff = _sign(is_call) * (_mp(F) - _mp(K))
        u = abs(diff) / _mp(s)
        vega = _npdf(u)
        if vega == 0:
            return float("inf")
        p = bachelier_price_mp(F, K, s, is_call)
        slope = _ncdf(u) if diff > 0 else _ncdf(-u)
        return float((p + (0 if exact else 1) * abs(diff) * slope) / (_mp(s) * vega))


def bachelier_greeks(F, K, s, is_call):
    """[delta, gamma, vega / 100] of the Bachelier price by mpmath differentiation
    in F and s (K fixed), correctly rounded."""
    Fm, Km, sm = _mp(F), _mp(K), _positive(_mp(s))

    def v(f=Fm, w=sm):
        d = (f - Km) / w
        call = (f - Km) * _ncdf(d) + w * _npdf(d)
        return call if is_call else call - (f - Km)

    with mpmath.workprec(_TARGET_BITS + _GUARD_BITS):
        return [
            float(mpmath.diff(lambda x: v(f=x), Fm)),
            float(mpmath.diff(lambda x: v(f=x), Fm, 2)),
            float(mpmath.diff(lambda x: v(w=x), sm) / 100),
        ]
