"""vectorized_implied_vol and vectorized_implied_vol_strikes: element loops around implied_vol."""

import math
import traceback

import numpy as np
import pytest

import quelta.black_core as bc

NAN = math.nan
INF = math.inf
ATM_PRICE = 7.965567455405804  # call or put, F = K = 100, volatility 0.2

QS = [1, -1, 0, 7, -3, 2**31 - 1, -(2**31)]


def scalar_series(price, fwd, K, q):
    """Element by element through implied_vol, with the skip test of the loops."""
    return [
        0.0 if f <= 0.0 or k <= 0.0 else bc.implied_vol(p, f, k, q)
        for p, f, k in np.broadcast(price, fwd, K)
    ]


@pytest.mark.parametrize("q", QS)
@pytest.mark.parametrize("K", [100.0, 37.5, 260.0, 1e-200, 0.0, -0.0, -5.0, -INF, NAN, INF])
def test_fixed_strike_equals_implied_vol_elementwise(book, same_bits, K, q):
    trades = book(K=K if 0.0 < K < INF else 100.0)
    price, fwd = trades["price"], trades["fwd"]
    got = bc.vectorized_implied_vol(price, fwd, K, q)
    same_bits(got, scalar_series(price, fwd, K, q))


@pytest.mark.parametrize("q", QS)
@pytest.mark.parametrize("F", [100.0, 37.5, 260.0, 1e-200, 0.0, -0.0, -5.0, -INF, NAN, INF])
def test_fixed_forward_equals_implied_vol_elementwise(book, same_bits, F, q):
    trades = book(F=F if 0.0 < F < INF else 100.0)
    price, strike = trades["price"], trades["strike"]
    got = bc.vectorized_implied_vol_strikes(price, F, strike, q)
    same_bits(got, scalar_series(price, F, strike, q))


def test_check_values():
    price = np.array([ATM_PRICE, 6.19042641376835, 16.190426413768336])
    vols = bc.vectorized_implied_vol_strikes(price, 100.0, np.array([100.0, 110.0, 110.0]), 1)
    assert vols[0] == pytest.approx(0.2, rel=2e-15)
    assert vols[1] == pytest.approx(0.25, rel=2e-15)
    puts = bc.vectorized_implied_vol(price[2:], np.array([100.0]), 110.0, -1)
    assert puts[0] == pytest.approx(0.25, rel=2e-15)


SKIPPED = [0.0, -0.0, -1.0, -INF]


@pytest.mark.parametrize("bad", SKIPPED)
def test_non_positive_forward_or_strike_zeroes_that_element_only(same_bits, bad):
    price = np.full(3, ATM_PRICE)
    good = np.full(3, 100.0)
    series = np.array([100.0, bad, 100.0])
    by_fwd = bc.vectorized_implied_vol(price, series, 100.0, 1)
    by_strike = bc.vectorized_implied_vol_strikes(price, 100.0, series, 1)
    for got in (by_fwd, by_strike):
        same_bits(got[1:2], [0.0])  # +0.0, whatever the sign of the skipped value
        assert got[0] == got[2] == pytest.approx(0.2, rel=2e-15)
    # a skipped element does not read its price: a NaN there changes nothing
    price[1] = NAN
    same_bits(bc.vectorized_implied_vol(price, series, 100.0, 1), by_fwd)
    same_bits(bc.vectorized_implied_vol_strikes(price, 100.0, series, 1), by_strike)
    same_bits(bc.vectorized_implied_vol(price, good, bad, 1), np.zeros(3))


@pytest.mark.parametrize("fn", ["fwd", "strike"])
def test_nan_forward_or_strike_goes_to_the_solver(same_bits, fn):
    price = np.array([ATM_PRICE, 5.0])
    series = np.array([NAN, NAN])
    if fn == "fwd":
        got = bc.vectorized_implied_vol(price, series, 100.0, 1)
    else:
        got = bc.vectorized_implied_vol_strikes(price, 100.0, series, 1)
    same_bits(
        got,
        [
            bc.implied_vol(p, NAN, 100.0, 1) if fn == "fwd" else bc.implied_vol(p, 100.0, NAN, 1)
            for p in price
        ],
    )


@pytest.mark.parametrize("K", [0.0, -0.0, -2.0])
def test_non_positive_strike_gives_zeros_but_still_needs_the_forwards(same_bits, K):
    price = np.full(4, ATM_PRICE)
    same_bits(bc.vectorized_implied_vol(price, np.full(4, 100.0), K, 1), np.zeros(4))
    with pytest.raises(ValueError, match=r"^fwd_mid has 3 elements, expected at least 4$"):
        bc.vectorized_implied_vol(price, np.full(3, 100.0), K, 1)


@pytest.mark.parametrize("F", [0.0, -0.0, -2.0, -INF])
@pytest.mark.parametrize("strikes", [None, np.zeros(0), np.full(2, 100.0), np.full(9, 100.0)])
def test_non_positive_forward_gives_zeros_without_looking_at_strikes(same_bits, F, strikes):
    got = bc.vectorized_implied_vol_strikes(np.full(5, ATM_PRICE), F, strikes, 1)
    same_bits(got, np.zeros(5))


# A used array shorter than the prices (None counts as no elements) is refused
# before anything is read.
SHORT = [(3, 2), (3, 1), (1, 0), (5, 0), (2, None)]


def _short(m):
    return None if m is None else np.full(m, 100.0)


def _count(m):
    m = 0 if m is None else m
    return f"{m} element{'' if m == 1 else 's'}"


@pytest.mark.parametrize("K", [100.0, 0.0, -1.0, NAN])
@pytest.mark.parametrize("n, m", SHORT)
def test_short_forwards_are_refused(n, m, K):
    message = f"^fwd_mid has {_count(m)}, expected at least {n}$"
    with pytest.raises(ValueError, match=message):
        bc.vectorized_implied_vol(np.full(n, ATM_PRICE), _short(m), K, 1)


@pytest.mark.parametrize("F", [100.0, 1e-300, NAN, INF])
@pytest.mark.parametrize("n, m", SHORT)
def test_short_strikes_are_refused_unless_the_forward_is_non_positive(n, m, F):
    message = f"^K has {_count(m)}, expected at least {n}$"
    with pytest.raises(ValueError, match=message):
        bc.vectorized_implied_vol_strikes(np.full(n, ATM_PRICE), F, _short(m), 1)


@pytest.mark.parametrize("which", ["fwd", "strike"])
def test_short_view_into_a_longer_buffer_is_refused(which):
    # The memory right after the view holds plausible data; reading it would
    # go unnoticed, so only the length check can refuse this call.
    parent = np.full(16, 100.0)
    for view in (parent[:3], parent[::2][:3], parent[6::-2][:3]):
        assert view.size == 3
        with pytest.raises(ValueError, match=r"^(fwd_mid|K) has 3 elements, expected at least 4$"):
            if which == "fwd":
                bc.vectorized_implied_vol(np.full(4, ATM_PRICE), view, 100.0, 1)
            else:
                bc.vectorized_implied_vol_strikes(np.full(4, ATM_PRICE), 100.0, view, 1)


@pytest.mark.parametrize("extra", [1, 5])
def test_longer_second_array_is_read_only_up_to_n(same_bits, extra):
    price = np.array([ATM_PRICE, 6.19042641376835])
    series = np.concatenate([[100.0, 100.0], np.full(extra, NAN)])
    same_bits(
        bc.vectorized_implied_vol(price, series, 100.0, 1),
        bc.vectorized_implied_vol(price, series[:2], 100.0, 1),
    )
    strikes = np.concatenate([[100.0, 110.0], np.full(extra, NAN)])
    same_bits(
        bc.vectorized_implied_vol_strikes(price, 100.0, strikes, 1),
        bc.vectorized_implied_vol_strikes(price, 100.0, strikes[:2], 1),
    )


SECOND = [None, np.zeros(0), np.zeros(3), np.zeros(6)[::-2]]


@pytest.mark.parametrize("price", [None, np.zeros(0)])
@pytest.mark.parametrize("second", SECOND)
def test_no_prices_give_an_empty_result(price, second):
    for got in (
        bc.vectorized_implied_vol(price, second, 100.0, 1),
        bc.vectorized_implied_vol_strikes(price, 100.0, second, -1),
        bc.vectorized_implied_vol_strikes(price, -1.0, second, 1),
    ):
        assert type(got) is np.ndarray
        assert got.dtype == np.float64
        assert got.shape == (0,)


@pytest.mark.parametrize("n", [1, 2, 7])
def test_result_is_a_new_float64_array_and_inputs_are_untouched(n):
    price = np.full(n, ATM_PRICE)
    fwd = np.full(n, 100.0)
    results = [
        bc.vectorized_implied_vol(price, fwd, 100.0, 1),
        bc.vectorized_implied_vol(price, fwd, 100.0, 1),
        bc.vectorized_implied_vol_strikes(price, 100.0, fwd, 1),
    ]
    for got in results:
        assert type(got) is np.ndarray
        assert got.dtype == np.float64 and got.shape == (n,)
        assert got.flags.writeable and got.flags.c_contiguous
        assert not np.shares_memory(got, price) and not np.shares_memory(got, fwd)
    assert results[0] is not results[1] and not np.shares_memory(results[0], results[1])
    np.testing.assert_array_equal(price, np.full(n, ATM_PRICE))
    np.testing.assert_array_equal(fwd, np.full(n, 100.0))


def test_same_array_for_prices_and_forwards(same_bits):
    data = np.array([5.0, 50.0, 99.0])
    same_bits(bc.vectorized_implied_vol(data, data, 60.0, 1), scalar_series(data, data, 60.0, 1))
    same_bits(
        bc.vectorized_implied_vol_strikes(data, 60.0, data, -1), scalar_series(data, 60.0, data, -1)
    )


P = np.array([ATM_PRICE])
A = np.array([100.0])


def _vec_msg(name, given):
    return f"{name}() takes exactly 4 positional arguments ({given} given)"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda: bc.vectorized_implied_vol(P, A, q=1),
            TypeError,
            _vec_msg("vectorized_implied_vol", 2),
        ),
        (lambda: bc.vectorized_implied_vol(), TypeError, _vec_msg("vectorized_implied_vol", 0)),
        (
            lambda: bc.vectorized_implied_vol(P, A, 100.0, 1, 0),
            TypeError,
            _vec_msg("vectorized_implied_vol", 5),
        ),
        (
            lambda: bc.vectorized_implied_vol(P, A, 100.0, 1, K=100.0),
            TypeError,
            "vectorized_implied_vol() got multiple values for keyword argument 'K'",
        ),
        (
            lambda: bc.vectorized_implied_vol(P, F=A, K=100.0, q=1),
            TypeError,
            "vectorized_implied_vol() got an unexpected keyword argument 'F'",
        ),
        (
            lambda: bc.vectorized_implied_vol_strikes(P, 100.0, q=1),
            TypeError,
            _vec_msg("vectorized_implied_vol_strikes", 2),
        ),
        (
            lambda: bc.vectorized_implied_vol_strikes(P, F=100.0, strike=A, q=1),
            TypeError,
            "vectorized_implied_vol_strikes() got an unexpected keyword argument 'strike'",
        ),
        (
            lambda: bc.vectorized_implied_vol_strikes(P, 100.0, A, 1, undiscounted_price=P),
            TypeError,
            "vectorized_implied_vol_strikes() got multiple values for keyword argument "
            "'undiscounted_price'",
        ),
        (lambda: bc.vectorized_implied_vol(P, A, 100.0, "1"), TypeError, "an integer is required"),
        (
            lambda: bc.vectorized_implied_vol_strikes(P, 100.0, A, 2**31),
            OverflowError,
            "value too large to convert to int",
        ),
        (
            lambda: bc.vectorized_implied_vol(P, A[:0], 100.0, 1),
            ValueError,
            "fwd_mid has 0 elements, expected at least 1",
        ),
        (
            lambda: bc.vectorized_implied_vol_strikes(np.zeros(2), 1.0, A, 1),
            ValueError,
            "K has 1 element, expected at least 2",
        ),
    ],
)
def test_binding_and_length_messages(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


class Boom(Exception):
    pass


class Refuses:
    """Converts to nothing: __float__ and __int__ raise Boom with a label."""

    def __init__(self, label):
        self.label = label

    def __float__(self):
        raise Boom(self.label)

    def __int__(self):
        raise Boom(self.label)


@pytest.mark.parametrize(
    "args, first",
    [
        ((P, A, Refuses("K"), Refuses("q")), "K"),
        ((P, A, 100.0, Refuses("q")), "q"),
        (("prices", A, Refuses("K"), Refuses("q")), TypeError),
        ((P, [100.0], Refuses("K"), 1), TypeError),
        ((P, np.zeros(1, np.float32), Refuses("K"), 1), ValueError),
    ],
)
def test_conversions_run_in_parameter_order(args, first):
    with pytest.raises(Exception) as info:
        bc.vectorized_implied_vol(*args)
    if isinstance(first, str):
        assert type(info.value) is Boom and str(info.value) == first
    else:
        assert type(info.value) is first


@pytest.mark.parametrize(
    "args, first",
    [
        ((P, Refuses("F"), np.zeros(1, np.float32), Refuses("q")), "F"),
        ((P, 100.0, A, Refuses("q")), "q"),
        ((P, 100.0, np.zeros((1, 1)), Refuses("q")), ValueError),
    ],
)
def test_strikes_conversions_run_in_parameter_order(args, first):
    with pytest.raises(Exception) as info:
        bc.vectorized_implied_vol_strikes(*args)
    if isinstance(first, str):
        assert type(info.value) is Boom and str(info.value) == first
    else:
        assert type(info.value) is first


FAILING_CALLS = {
    "vectorized_implied_vol": [
        (P, A, 1.0),  # binding
        (P, A, 1.0, None),  # int conversion
        (np.zeros(1, np.float32), A, 1.0, 1),  # array conversion
        (np.zeros(4), A, 1.0, 1),  # length rule
    ],
    "vectorized_implied_vol_strikes": [
        (P, 100.0, A, 1, P),
        (P, "100", A, 1),
        (P, 100.0, np.zeros((1, 1)), 1),
        (np.zeros(4), 100.0, None, 1),
    ],
}


@pytest.mark.parametrize(
    "name, args", [(name, args) for name, calls in FAILING_CALLS.items() for args in calls]
)
def test_traceback_names_the_function(name, args):
    with pytest.raises((TypeError, ValueError)) as info:
        getattr(bc, name)(*args)
    frame = traceback.extract_tb(info.tb)[-1]
    assert frame.name == f"quelta.black_core.{name}"
    assert "quelta/black_core" in frame.filename.replace("\\", "/")
