"""Forwards and discount factors fitted from put-call parity of exact Black and
Bachelier prices."""

import mpmath
import numpy as np
import oracle
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quelta.book.parity import fit_forwards

mpmath.mp.dps = 40


def black(forward, strike, vol, discount, call):
    """The discounted Black price in 40 digits (an input here, not what is tested)."""
    f, k, s = mpmath.mpf(forward), mpmath.mpf(strike), mpmath.mpf(vol)
    d1 = (mpmath.log(f / k) + s * s / 2) / s
    n = mpmath.ncdf
    value = f * n(d1) - k * n(d1 - s) if call else k * n(s - d1) - f * n(-d1)
    return float(discount * value)


def bachelier(forward, strike, vol, discount, call):
    """The discounted Bachelier price, from the oracle's exact undiscounted one."""
    return float(mpmath.mpf(discount) * oracle.bachelier_price_mp(forward, strike, vol, call))


def chain(forward, discount, strikes, vol=0.25, half_spread=0.0, model=black):
    rows = [(k, c, model(forward, k, vol, discount, c)) for k in strikes for c in (True, False)]
    strike, is_call, price = (np.array(v) for v in zip(*rows))
    return strike, is_call, price, price - half_spread, price + half_spread


FORWARDS = st.floats(1.0, 1e5)
DISCOUNTS = st.floats(0.5, 1.2)


@settings(deadline=None, max_examples=30)
@given(FORWARDS, DISCOUNTS, st.integers(2, 12), st.booleans(), st.booleans())
def test_exact_prices_give_the_forward_and_discount(forward, discount, n, quoted, normal):
    strikes, vol, model, spread = forward * np.linspace(0.7, 1.3, n), 0.25, black, 0.01
    if normal:  # rates: forwards of either sign (and 0), strikes about them
        forward = (forward - 5e4) * 1e-6
        strikes, vol, model, spread = forward + np.linspace(-0.01, 0.015, n), 0.005, bachelier, 1e-4
    strike, is_call, price, bid, ask = chain(forward, discount, strikes, vol, spread, model)
    quotes = {"bid": bid, "ask": ask} if quoted else {}
    rows = np.zeros(len(price), np.intp)
    fit = fit_forwards(rows, strike, is_call, price, **quotes, normal=rows == 0 if normal else None)
    np.testing.assert_allclose(fit.forward, forward, rtol=1e-12, atol=1e-14 * normal)
    np.testing.assert_allclose(fit.discount, discount, rtol=1e-12)
    assert not fit.no_fit.any() and fit.groups.used.tolist() == [n]


@pytest.mark.parametrize(
    "stale, quoted, n",
    [
        (("call", 1.05, +0.5), True, 9),
        (("put", 0.9, -0.3), True, 9),
        (("call", 1.0, +2.0), False, 9),
        (("crossed", 1.1, 0.0), True, 9),
        (("call", 1.0, +2.0), False, 700),  # more strikes than the slopes are all taken of
    ],
)
def test_stale_or_crossed_pairs_are_rejected(stale, quoted, n):
    forward, discount = 4321.5, 0.97
    strike, is_call, price, bid, ask = chain(
        forward, discount, forward * np.linspace(0.8, 1.2, n), half_spread=0.05
    )
    clean = [v.copy() for v in (price, bid, ask)]
    leg, moneyness, shift = stale
    row = int(np.argmin(np.abs(strike - forward * moneyness) + (is_call != (leg != "put"))))
    price[row] += shift  # a quote left behind by a move, outside its spread
    if leg == "crossed":
        bid[row], ask[row] = ask[row] + 0.1, bid[row]
    price, bid, ask = (np.concatenate([v, w]) for v, w in zip((price, bid, ask), clean))
    quotes = {"bid": bid, "ask": ask} if quoted else {}
    groups = np.repeat([3, 7], len(strike))  # two expiries, the stale quote in the first
    fit = fit_forwards(groups, np.tile(strike, 2), np.tile(is_call, 2), price, **quotes)
    np.testing.assert_allclose(fit.forward, forward, rtol=1e-12)
    np.testing.assert_allclose(fit.discount, discount, rtol=1e-12)
    assert fit.groups.rejected.tolist() == [1, 0] and fit.groups.used.tolist() == [n - 1, n]


@pytest.mark.parametrize("unit", [1e-200, 1e200])
def test_strikes_of_any_size_are_fitted(unit):
    strike = np.array([0.9, 0.9, 1.1, 1.1]) * unit
    price = np.array([0.15, 0.05, 0.05, 0.15]) * 0.9 * unit  # C - P = 0.9 (F - K), F = unit
    fit = fit_forwards(np.zeros(4, np.intp), strike, np.array([True, False] * 2), price)
    np.testing.assert_allclose([fit.forward[0], fit.discount[0]], [unit, 0.9], rtol=1e-12)


@pytest.mark.parametrize(
    "strikes, kinds, discount",
    [
        ([100.0, 100.0], [True, False], 0.99),  # one strike
        ([90.0, 110.0, 120.0], [True, False, True], 0.99),  # no strike with both
        ([90.0, 90.0, 110.0, 110.0], [True, False, True, False], 1.8),  # D beyond any market
        ([90.0, 90.0, 110.0, 110.0], [True, False, True, False], -0.5),  # kinds swapped
        ([90.0, 90.0, 110.0, 110.0], [True, False, True, False], 0.0),  # C - P flat
    ],
)
def test_too_few_pairs_or_a_wrong_line_give_no_fit(strikes, kinds, discount):
    strike, is_call = np.array(strikes), np.array(kinds)
    price = np.array([black(100.0, k, 0.2, abs(discount), c) for k, c in zip(strike, is_call)])
    if discount < 0:
        is_call = ~is_call  # C - P rising in K: a negative discount
    fit = fit_forwards(np.zeros(len(strike), np.intp), strike, is_call, price)
    assert fit.no_fit.all() and np.isnan(fit.forward).all() and np.isnan(fit.discount).all()


# ---------------------------------------------------------------- books fitted whole

SMILE = {0.8: 0.3, 0.9: 0.26, 0.95: 0.24, 1.0: 0.22, 1.05: 0.21, 1.1: 0.215, 1.2: 0.23}


def occ_chain(expiries, half_spread=0.05):
    """Rows (symbol, bid, ask) of an OCC chain, each expiry (date, years, F, D, moneyness)
    priced exactly at the smile; and the rows' true forward, discount and vol."""
    rows, truth = [], []
    for date, years, forward, discount, moneyness in expiries:
        for m in moneyness:
            strike = round(forward * m)
            vol = SMILE[m] * float(mpmath.sqrt(years))
            for call in (True, False):
                p = black(forward, strike, vol, discount, call)
                kind = "C" if call else "P"
                rows.append(
                    [f"SPXW  {date}{kind}{strike * 1000:08d}", p - half_spread, p + half_spread]
                )
                truth.append((forward, discount, SMILE[m]))
    return rows, np.array(truth).T


def test_each_expiry_is_fitted_and_one_without_pairs_has_no_forward(tmp_path, capsys):
    import pyarrow.csv as pacsv

    from quelta import cli

    expiries = [
        ("250919", 91 / 365, 5012.5, 0.99, list(SMILE)),
        ("251219", 182 / 365, 5031.25, 0.98, list(SMILE)[1:-1]),
        ("260618", 363 / 365, 5050.0, 0.96, [1.0]),  # one strike: no line through it
    ]
    rows, (forward, discount, vol) = occ_chain(expiries)
    book, out = tmp_path / "chain.csv", tmp_path / "out.csv"
    book.write_text("symbol,bid,ask\n" + "".join(f"{s},{b!r},{a!r}\n" for s, b, a in rows))
    args = [str(book), "-o", str(out), "--forward", "parity", "--valuation-date", "2025-06-20"]
    assert cli.main(args) == 0
    summary = capsys.readouterr().out
    assert "expiry 2025-09-19 (SPXW): F = 5012.5, D = 0.99; 7 pairs used, 0 rejected" in summary
    assert "expiry 2026-06-18 (SPXW): no forward (1 pair used, 0 rejected" in summary
    got = pacsv.read_csv(out, convert_options=pacsv.ConvertOptions(strings_can_be_null=True))
    fitted = got.column("reason").to_numpy(zero_copy_only=False) == "ok"
    assert fitted.tolist() == [True] * 24 + [False] * 2
    assert got.column("reason").to_pylist()[-2:] == ["no_forward"] * 2
    for name, want, rtol in [("forward", forward, 1e-12), ("discount", discount, 1e-12)]:
        np.testing.assert_allclose(got.column(name).to_numpy()[fitted], want[fitted], rtol=rtol)
    np.testing.assert_allclose(got.column("implied_vol").to_numpy()[fitted], vol[fitted], 1e-9)
    assert got.column("forward").null_count == got.column("implied_vol").null_count == 2


# What each hostile quote does to a chain of one expiry: (row, column, cell) edits,
# whether puts are dropped, the reasons of the rows edited, the pairs rejected.
HOSTILE = {
    "stale call": ([(6, "bid", "+0.5"), (6, "ask", "+0.5")], False, ["ok"], 1),
    "crossed put": ([(9, "bid", "+0.2"), (9, "ask", "-0.2")], False, ["ok"], 1),
    "no price": ([(4, "bid", ""), (4, "ask", "")], False, ["not_finite"], 0),
    "zero quotes": (
        [(r, side, "0") for r in (0, 1) for side in ("bid", "ask")],
        False,
        ["non_positive_input"] * 2,
        0,
    ),
    "calls alone": ([(0, "bid", ""), (2, "strike", "abc")], True, ["not_finite", "bad_input"], 0),
}


@pytest.mark.parametrize("case", list(HOSTILE))
def test_hostile_quotes_are_left_out_and_a_rows_own_fault_wins(case):
    import pyarrow as pa

    from quelta import solve_table

    edits, drop_puts, edited_reasons, rejected = HOSTILE[case]
    forward, discount = 4321.5, 0.97
    strikes = [round(forward * m) for m in SMILE]
    rows = [
        [k, "call" if c else "put", 0.5, black(forward, k, 0.25 * 0.5**0.5, discount, c)]
        for k in strikes
        for c in (True, False)
    ]
    cells = [
        {"strike": repr(k), "kind": c, "T": repr(t), "bid": p - 0.05, "ask": p + 0.05}
        for k, c, t, p in rows
    ]
    for row, column, cell in edits:
        if cell.startswith(("+", "-")):
            cells[row][column] += float(cell)
        else:
            cells[row][column] = cell
    keep = [i for i, c in enumerate(cells) if not (drop_puts and c["kind"] == "put")]
    table = pa.table({n: [str(cells[i][n]) for i in keep] for n in cells[0]})
    solved = solve_table(table, forward="parity")
    reasons = solved.column("reason").to_pylist()
    edited = sorted({keep.index(row) for row, _, _ in edits})
    assert [reasons[i] for i in edited] == edited_reasons
    others = {r for i, r in enumerate(reasons) if i not in edited}
    assert others == ({"no_forward"} if drop_puts else {"ok"})
    fit = solved.column("forward").to_numpy(), solved.column("discount").to_numpy()
    if drop_puts:
        assert solved.column("forward").null_count == len(keep)
        return
    np.testing.assert_allclose(fit[0], forward, rtol=1e-12)
    np.testing.assert_allclose(fit[1], discount, rtol=1e-12)
    from quelta.book import solve_batch

    assert [f.rejected for f in solve_batch(table, forward="parity").fits] == [rejected]


def symbol_columns(symbols):
    """The years, strike and kind of OCC symbols of 2025-12-19 (from 2025-06-20) as columns."""
    return {
        "T": [182 / 365] * len(symbols),
        "strike": [int(s[-8:]) / 1000 for s in symbols],
        "kind": [s[-9] for s in symbols],
    }


@pytest.mark.parametrize("named_by", ["ticker", "underlying", "symbol", "symbol beside columns"])
def test_underlyings_of_one_expiry_are_fitted_apart(named_by):
    import warnings

    import pyarrow as pa

    from quelta import solve_table

    rows, (forward, discount, _) = occ_chain([("251219", 182 / 365, 5031.25, 0.98, list(SMILE))])
    more, (forward_b, discount_b, _) = occ_chain([("251219", 182 / 365, 204.5, 0.97, list(SMILE))])
    rows += [[s.replace("SPXW", "QQQ "), b, a] for s, b, a in more]
    names = ["SPXW"] * (len(rows) - len(more)) + ["QQQ"] * len(more)
    if not named_by.startswith("symbol"):  # every symbol SPXW: only the column tells them apart
        rows = [[s.replace("QQQ ", "SPXW"), b, a] for s, b, a in rows]
    columns = {
        "symbol": [r[0] for r in rows],
        "bid": [r[1] for r in rows],
        "ask": [r[2] for r in rows],
    }
    if not named_by.startswith("symbol"):
        columns[named_by] = names
    if named_by == "symbol beside columns":  # the symbols give the roots alone
        columns |= symbol_columns(columns["symbol"])
    with warnings.catch_warnings():  # "underlying" over text is no spot, as it warns
        warnings.simplefilter("ignore")
        solved = solve_table(pa.table(columns), forward="parity", valuation_date="2025-06-20")
    for name, want in [("forward", (forward, forward_b)), ("discount", (discount, discount_b))]:
        np.testing.assert_allclose(solved.column(name).to_numpy(), np.concatenate(want), rtol=1e-12)


# ---------------------------------------------------------------- the normal model


# Expiries (years, F, D, the model of their rows): rates at negative forwards, one
# at zero, and with a model column a Black expiry beside them and an expiry whose
# one Black row (at a strike above 0) gets no forward its model can take.
NORMAL_EXPIRIES = {
    "normal": [(0.5, -0.0045, 1.00012501, "normal"), (1.0, 0.0, 0.9985, "normal")],
    "column": [
        (0.5, -0.0045, 1.00012501, "normal"),
        (1.0, 0.0125, 0.97, "normal"),
        (2.0, 103.5, 0.95, "black"),
        (3.0, -0.002, 0.99, "mixed"),
    ],
}


@pytest.mark.parametrize("models", list(NORMAL_EXPIRIES))
def test_normal_books_are_fitted_at_forwards_of_any_sign(models):
    import pyarrow as pa

    from quelta import solve_table

    rows, want = [], []
    for years, forward, discount, model in NORMAL_EXPIRIES[models]:
        vol = 0.2 if model == "black" else 0.0065  # normal: in rate units per sqrt(year)
        s = vol * years**0.5
        width = s * forward if model == "black" else s
        for i, k in enumerate(forward + width * np.linspace(-1.5, 2.0, 6)):
            for call in (True, False):
                black_row = model == "black" or (model == "mixed" and i == 5 and call)
                price = (black if model == "black" else bachelier)(forward, k, s, discount, call)
                rows.append([years, k, "call" if call else "put", price])
                rows[-1].append("black" if black_row else "normal")
                want.append((forward, discount, vol, not (model == "mixed" and black_row)))
    names = ["T", "strike", "kind", "price", "model"]
    table = pa.table({n: [r[i] for r in rows] for i, n in enumerate(names)})
    if models == "normal":
        solved = solve_table(table.drop_columns("model"), forward="parity", model="normal")
    else:
        solved = solve_table(table, forward="parity")
    forward, discount, vol, fitted = (np.array(v) for v in zip(*want))
    reasons = np.array(solved.column("reason").to_pylist())
    assert (reasons[fitted] == "ok").all() and (reasons[~fitted] == "no_forward").all()
    got = {n: solved.column(n).to_numpy()[fitted] for n in ("forward", "discount")}
    np.testing.assert_allclose(got["forward"], forward[fitted], rtol=1e-12, atol=1e-16)
    np.testing.assert_allclose(got["discount"], discount[fitted], rtol=1e-12)
    implied = solved.column("implied_vol").to_numpy()[fitted]
    np.testing.assert_allclose(implied, vol[fitted], rtol=1e-9)


@pytest.mark.parametrize("forward", [["--forward", "parity"], ["--forward", "5031.25"]])
def test_an_unreadable_symbol_beside_columns_is_bad_input_only_with_parity(
    forward, tmp_path, capsys
):
    import pyarrow.csv as pacsv

    from quelta import cli

    rows, (_, _, vol) = occ_chain([("251219", 182 / 365, 5031.25, 0.98, list(SMILE))])
    columns = symbol_columns([s for s, _, _ in rows])
    rows[3][0] = "not-a-symbol"  # line 5; its root, the underlying parity groups by, unknown
    book, out = tmp_path / "chain.csv", tmp_path / "out.csv"
    lines = [
        f"{s},{b!r},{a!r},{t!r},{k!r},{c}" for (s, b, a), t, k, c in zip(rows, *columns.values())
    ]
    book.write_text("symbol,bid,ask,T,strike,kind\n" + "\n".join(lines) + "\n")
    parity = forward[1] == "parity"
    assert (
        cli.main([str(book), "-o", str(out), *forward, *["--discount", "0.98"] * (not parity)]) == 0
    )
    message = "column 'symbol': 1 unreadable, the first 'not-a-symbol' on line 5"
    assert (message in capsys.readouterr().out) == parity
    got = pacsv.read_csv(out)
    reasons = got.column("reason").to_pylist()
    assert reasons == ["ok"] * 3 + ["bad_input" if parity else "ok"] + ["ok"] * (len(rows) - 4)
    fitted = np.array(reasons) == "ok"
    np.testing.assert_allclose(got.column("implied_vol").to_numpy()[fitted], vol[fitted], 1e-9)
