"""Black delta, gamma and vega with time 1 and zero rate."""

import math

import pytest

import quelta.black_core as bc


@pytest.mark.parametrize(
    "fn, args, expected",
    [
        (bc.black_delta, (100.0, 100.0, 0.2, 1), 0.5398278373),
        (bc.black_delta, (100.0, 100.0, 0.2, -1), -0.4601721627),
        (bc.black_gamma, (100.0, 100.0, 0.2), 0.01984762737),
        (bc.black_vega, (100.0, 100.0, 0.2), 0.3969525475),
        (bc.black_delta, (100.0, 110.0, 0.25, 1), 0.3988824843),
        (bc.black_delta, (100.0, 110.0, 0.25, -1), -0.6011175157),
    ],
)
def test_check_values(fn, args, expected):
    assert fn(*args) == pytest.approx(expected, rel=2e-10)


@pytest.mark.parametrize("F, K, sigma", [(100.0, 110.0, 0.25), (50.0, 40.0, 1.3), (1.0, 1.0, 1e-3)])
def test_call_minus_put_delta_is_one(F, K, sigma):
    assert bc.black_delta(F, K, sigma, 1) - bc.black_delta(F, K, sigma, -1) == pytest.approx(
        1.0, abs=2e-16
    )


def test_far_out_of_the_money_put_delta_keeps_relative_accuracy():
    # -Phi(-d1) rather than Phi(d1) - 1: the delta of a put far out of the
    # money is tiny but not zero.
    d = bc.black_delta(100.0, 10.0, 0.2, -1)
    d1 = (math.log(10.0) + 0.02) / 0.2
    assert d < 0
    assert d == pytest.approx(-0.5 * math.erfc(d1 / math.sqrt(2)), rel=1e-13)


@pytest.mark.parametrize(
    "F, K, sigma, call, put, gamma, vega",
    [
        # sigma = 0 above the strike: d1 = +inf
        (110.0, 100.0, 0.0, 1.0, -0.0, math.nan, 0.0),
        # sigma = 0 at the money: d1 = 0/0
        (100.0, 100.0, 0.0, math.nan, math.nan, math.nan, math.nan),
        # K = 0: F/K = +inf
        (100.0, 0.0, 0.2, 1.0, -0.0, 0.0, 0.0),
        # F or K negative: log of a negative quotient
        (-100.0, 100.0, 0.2, math.nan, math.nan, math.nan, math.nan),
        (100.0, -100.0, 0.2, math.nan, math.nan, math.nan, math.nan),
    ],
)
def test_no_input_is_screened(F, K, sigma, call, put, gamma, vega):
    got = [
        bc.black_delta(F, K, sigma, 1),
        bc.black_delta(F, K, sigma, -1),
        bc.black_gamma(F, K, sigma),
        bc.black_vega(F, K, sigma),
    ]
    for value, want in zip(got, [call, put, gamma, vega]):
        if math.isnan(want):
            assert math.isnan(value)
        else:
            assert value == want and math.copysign(1, value) == math.copysign(1, want)


def test_ints_are_accepted_for_doubles():
    assert bc.black_gamma(100, 100, 1) == bc.black_gamma(100.0, 100.0, 1.0)
    assert bc.black_vega(F=100, K=90, sigma=1) == bc.black_vega(100.0, 90.0, 1.0)
