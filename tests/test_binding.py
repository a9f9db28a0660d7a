"""Argument binding and scalar conversion, shared by every function."""

import traceback
import warnings

import numpy as np
import pytest

import quelta.black_core as bc

# name -> (number of parameters, a valid positional call)
CALLS = {
    "implied_vol": (4, (7.97, 100.0, 100.0, 1)),
    "black_delta": (4, (100.0, 100.0, 0.2, 1)),
    "black_gamma": (3, (100.0, 100.0, 0.2)),
    "black_vega": (3, (100.0, 100.0, 0.2)),
    "vectorized_implied_vol": (4, (np.array([7.97]), np.array([100.0]), 100.0, 1)),
    "vectorized_implied_vol_strikes": (4, (np.array([7.97]), 100.0, np.array([100.0]), 1)),
    "compute_trades_greeks": (
        9,
        (
            *tuple(np.zeros(1) for _ in range(3)),
            np.ones(1, np.int8),
            *tuple(np.zeros(1) for _ in range(5)),
        ),
    ),
}


def arity(name, n, given):
    return f"{name}() takes exactly {n} positional arguments ({given} given)"


@pytest.mark.parametrize("name", CALLS)
@pytest.mark.parametrize("delta", [-1, +1])
def test_wrong_positional_count(name, delta):
    n, args = CALLS[name]
    args = (*args, 0) if delta > 0 else args[:-1]
    with pytest.raises(TypeError) as info:
        getattr(bc, name)(*args)
    assert str(info.value) == arity(name, n, n + delta)
    assert traceback.extract_tb(info.tb)[-1].name == f"quelta.black_core.{name}"


@pytest.mark.parametrize("name", CALLS)
def test_all_keywords_bind_like_positionals(name):
    import inspect

    fn = getattr(bc, name)
    _n, args = CALLS[name]
    params = list(inspect.signature(fn).parameters)
    # reverse order, and names built at run time (not interned): equality matching
    kwargs = {"".join(list(p)): a for p, a in reversed(list(zip(params, args)))}
    assert repr(fn(**kwargs)) == repr(fn(*args))
    assert repr(fn(*args[:1], **dict(list(kwargs.items())[:-1]))) == repr(fn(*args))


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: bc.vectorized_implied_vol(np.zeros(1), np.zeros(1), q=1),
            arity("vectorized_implied_vol", 4, 2),
        ),
        (lambda: bc.black_gamma(1.0, 1.0, 0.2, 4), arity("black_gamma", 3, 4)),
        (lambda: bc.black_vega(F=100.0, sigma=0.2), arity("black_vega", 3, 1)),
        (lambda: bc.implied_vol(price=1.0, F=100.0, K=100.0), arity("implied_vol", 4, 3)),
        (lambda: bc.black_vega(100.0, 100.0, 0.2, 0.3), arity("black_vega", 3, 4)),
        (lambda: bc.black_vega(1.0, 2.0, 3.0, 4.0, sigma=1.0), arity("black_vega", 3, 4)),
        (
            lambda: bc.implied_vol(1.0, 100.0, 100.0, 1, price=2.0),
            "implied_vol() got multiple values for keyword argument 'price'",
        ),
        (
            lambda: bc.black_vega(100.0, 100.0, 0.2, F=1.0),
            "black_vega() got multiple values for keyword argument 'F'",
        ),
        (
            lambda: bc.black_vega(1.0, 1.0, vol=0.2),
            "black_vega() got an unexpected keyword argument 'vol'",
        ),
        # an unknown keyword is reported before a missing parameter
        (
            lambda: bc.black_delta(1.0, f=1.0),
            "black_delta() got an unexpected keyword argument 'f'",
        ),
        (
            lambda: bc.compute_trades_greeks(*CALLS["compute_trades_greeks"][1][:7], out_vega=None),
            arity("compute_trades_greeks", 9, 7),
        ),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_conversion_stops_at_the_first_failure():
    class Boom:
        def __float__(self):
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError, match="boom"):  # propagates unchanged
        bc.implied_vol(1.0, Boom(), "not a number", "nor an int")
    with pytest.raises(TypeError, match="an integer is required"):
        bc.black_delta(1.0, 1.0, 1.0, "1")


class IntOnly:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IndexOnly:
    def __index__(self):
        return 1


class FloatLike:
    def __float__(self):
        return 0.25


class MyInt(int):
    pass


@pytest.mark.parametrize(
    "q, expected_call",
    [
        (1, True),
        (5, True),
        (0, True),
        (-1, False),
        (-7, False),
        (True, True),
        (False, True),
        (1.9, True),
        (-0.5, True),
        (-1.5, False),  # floats truncate toward zero
        (np.int64(-3), False),
        (np.float64(-2.5), False),
        (IntOnly(-2), False),
        (2**31 - 1, True),
        (-(2**31), False),
    ],
)
def test_int_conversion_reads_only_the_sign(q, expected_call):
    call, put = bc.black_delta(100.0, 110.0, 0.25, 1), bc.black_delta(100.0, 110.0, 0.25, -1)
    assert bc.black_delta(100.0, 110.0, 0.25, q) == (call if expected_call else put)


@pytest.mark.parametrize(
    "q, error, message",
    [
        (2**31, OverflowError, "value too large to convert to int"),
        (-(2**31) - 1, OverflowError, "value too large to convert to int"),
        (2**63, OverflowError, None),  # the host's own message
        ("1", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (IndexOnly(), TypeError, "an integer is required"),
        (IntOnly("1"), TypeError, "__int__ returned non-int (type str)"),
        (float("nan"), ValueError, None),
        (float("inf"), OverflowError, None),
        (IntOnly(2**40), OverflowError, "value too large to convert to int"),
    ],
)
def test_int_conversion_errors(q, error, message):
    with pytest.raises(error) as info:
        bc.implied_vol(1.0, 100.0, 100.0, q)
    if message is not None:
        assert str(info.value) == message
    assert traceback.extract_tb(info.tb)[-1].name == "quelta.black_core.implied_vol"


def test_int_subclass_from_dunder_int_is_deprecated_but_used():
    expected = (
        "__int__ returned non-int (type MyInt).  The ability to return an instance of a "
        "strict subclass of int is deprecated, and may be removed in a future version of Python."
    )
    with pytest.warns(DeprecationWarning) as record:
        put = bc.black_delta(100.0, 110.0, 0.25, IntOnly(MyInt(-1)))
    assert [str(w.message) for w in record] == [expected]
    assert put == bc.black_delta(100.0, 110.0, 0.25, -1)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning):
            bc.black_delta(100.0, 110.0, 0.25, IntOnly(MyInt(-1)))


@pytest.mark.parametrize(
    "value, expected",
    [
        (-1.0, -1.0),
        (3, 3.0),
        (True, 1.0),
        (FloatLike(), 0.25),
        (IndexOnly(), 1.0),
        (np.float32(0.5), 0.5),
        (MyInt(2), 2.0),
    ],
)
def test_double_conversion_accepts(value, expected):
    # black_gamma(F, K, sigma) with F = K: d1 = sigma/2, gamma = phi(sigma/2)/(F*sigma)
    assert bc.black_gamma(value, value, 1.0) == bc.black_gamma(expected, expected, 1.0)


@pytest.mark.parametrize(
    "value, error",
    [("1.0", TypeError), (None, TypeError), (2**2000, OverflowError), (1j, TypeError)],
)
def test_double_conversion_errors_are_the_hosts(value, error):
    with pytest.raises(error) as info:
        bc.black_vega(100.0, value, 0.2)
    assert type(info.value) is error
    assert traceback.extract_tb(info.tb)[-1].name == "quelta.black_core.black_vega"
