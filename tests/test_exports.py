"""Export layouts as their sources write them, each solved with the one command and
the one solve_table call the README shows for it.

Every file is priced exactly (mpmath) at known volatilities from a known spot
or forward, rate and expiry; the command's output and solve_table's result
must recover them.
"""

import math
import re
from pathlib import Path

import mpmath
import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")
import pyarrow.csv  # noqa: E402

import quelta  # noqa: E402
from quelta import cli  # noqa: E402

S, R, Q = 5000.0, 0.04, 0.01  # an index: spot, rate, dividend yield
T = 182 / 365  # 2025-06-20 to 2025-12-19
VALUED = {"valuation_date": "2025-06-20"}
F = S * math.exp((R - Q) * T)
STRIKES = [4500.0, 4800.0, 5000.0, 5200.0, 5500.0]
VOLS = {"call": [0.24, 0.215, 0.2, 0.19, 0.185], "put": [0.245, 0.22, 0.205, 0.195, 0.19]}
# A coin's options: per-expiry forwards (the exchange's underlying_price),
# expiries at 08:00 UTC, quotes in the coin.
COIN = {"26DEC25": (16 / 365, 91234.5), "27MAR26": (107 / 365, 92345.25)}
COIN_STRIKES = [85000.0, 90000.0, 100000.0]


def price(strike, kind, vol, forward=F, expiry=T, rate=R):
    """The market price exp(-r T) Black(F, K, vol sqrt(T)), correctly rounded."""
    with mpmath.workdps(40):
        f, k, w = (mpmath.mpf(x) for x in (forward, strike, vol * math.sqrt(expiry)))
        d1 = (mpmath.log(f / k) + w * w / 2) / w
        sign = 1 if kind == "call" else -1
        ncdf = lambda z: mpmath.erfc(-z / mpmath.sqrt(2)) / 2  # noqa: E731
        black = sign * (f * ncdf(sign * d1) - k * ncdf(sign * (d1 - w)))
        return float(mpmath.exp(-mpmath.mpf(rate) * mpmath.mpf(expiry)) * black)


def occ(kind, strike, root="SPXW"):
    return f"{root}251219{kind[0].upper()}{round(strike * 1000):08d}"


def cboe(tmp):
    """An exchange's delayed quotes: the underlying and the quote time above the header,
    then each strike's call and put side by side, each with its symbol."""
    side = "{},{!r},-1.25,{!r},{!r},120,{},{},0.001,900"
    rows = []
    for i, k in enumerate(STRIKES):
        quotes = []
        for kind in VOLS:
            p, vol, delta = price(k, kind, VOLS[kind][i]), VOLS[kind][i], 0.5 - (kind == "put")
            quotes.append(side.format(occ(kind, k), p + 0.1, p - 0.5, p + 0.5, vol, delta))
        rows.append(f"Fri Dec 19 2025,{quotes[0]},{k:.2f},{quotes[1]}")
    names = "Last Sale,Net,Bid,Ask,Volume,IV,Delta,Gamma,Open Interest"
    head = [
        "SPX (S&P 500 INDEX),5000.00,+12.81",
        "Date: June 20, 2025 at 4:00 PM EDT,Bid: 4999.50,Ask: 5000.50,Size: 1*1,Volume: 0",
        f"Expiration Date,Calls,{names},Strike,Puts,{names}",
    ]
    (tmp / "quotedata.csv").write_text("\n".join(head + rows) + "\n")
    vols = [VOLS[kind][i] for i in range(len(STRIKES)) for kind in VOLS]
    options = {"spot": S, "rate": R, "dividend_yield": Q, **VALUED, "greeks": ["vega"]}
    read = pyarrow.csv.ReadOptions(skip_rows=2)
    return ["quotedata.csv"], options, lambda p: pyarrow.csv.read_csv(p[0], read), vols


def yfinance(tmp):
    """A market-data library's chain frames, calls and puts, written as pandas writes them."""
    header = "contractSymbol,lastTradeDate,strike,lastPrice,bid,ask,change,percentChange,"
    header += "volume,openInterest,impliedVolatility,inTheMoney,contractSize,currency"
    for kind in VOLS:
        rows = [header]
        for k, vol in zip(STRIKES, VOLS[kind]):
            p, itm = price(k, kind, vol), (k < F) == (kind == "call")
            rows.append(
                f"{occ(kind, k)},2025-06-18 19:59:01+00:00,{k},{p!r},{p - 0.5!r},{p + 0.5!r},"
                f"0.0,0.0,12,340,{vol},{itm},REGULAR,USD"
            )
        (tmp / f"{kind}s.csv").write_text("\n".join(rows) + "\n")
    frames = lambda p: pd.concat(map(pd.read_csv, p), ignore_index=True)  # noqa: E731
    options = {"forward": F, "rate": R, **VALUED}
    return ["calls.csv", "puts.csv"], options, frames, VOLS["call"] + VOLS["put"]


def ibkr(tmp):
    """A broker's export: the underlying's ticker as symbol, its price as undPrice."""
    rows = ["symbol,lastTradeDateOrContractMonth,strike,right,bid,ask,last,undPrice"]
    vols = []
    for i, k in enumerate(STRIKES):
        for kind in VOLS:
            p = price(k, kind, VOLS[kind][i])
            rows.append(f"SPX,20251219,{k:g},{kind[0].upper()},{p - 0.5!r},{p + 0.5!r},{p!r},{S}")
            vols.append(VOLS[kind][i])
    (tmp / "ibkr.csv").write_text("\n".join(rows) + "\n")
    options = {"rate": R, "dividend_yield": Q, **VALUED}
    return ["ibkr.csv"], options, lambda p: pyarrow.csv.read_csv(p[0]), vols


def deribit(tmp):
    """A crypto exchange's book: prices in the coin, the expiry's forward as underlying_price."""
    rows = ["instrument_name,mark_price,bid_price,ask_price,underlying_price,index_price,"]
    rows[0] += "mark_iv,creation_timestamp"
    vols = []
    for day, (expiry, forward) in COIN.items():
        for i, k in enumerate(COIN_STRIKES):
            for kind in VOLS:
                vol = VOLS[kind][i] * 2.5
                mark = price(k, kind, vol, forward, expiry, 0.0) / forward
                rows.append(
                    f"BTC-{day}-{k:.0f}-{kind[0].upper()},{mark!r},{mark * 0.98!r},"
                    f"{mark * 1.02!r},{forward},90876.12,{vol * 100:.2f},1765353600000"
                )
                vols.append(vol)
    (tmp / "book_summary.csv").write_text("\n".join(rows) + "\n")
    options = {"columns": {"forward": "underlying_price"}, "price_unit": "underlying"}
    options |= {"valuation_date": "2025-12-10T08:00:00Z", "expiry_time": "08:00"}
    return ["book_summary.csv"], options, lambda p: pyarrow.csv.read_csv(p[0]), vols


def arguments(options):
    """The command's options for solve_table's keywords."""
    args = []
    for key, value in options.items():
        flag = "--" + key.replace("_", "-")
        if value is True:
            args.append(flag)
        elif key == "columns":
            args += [a for role, name in value.items() for a in ("--column", f"{role}={name}")]
        else:
            args += [flag, ",".join(value) if isinstance(value, list) else repr(value)]
    return [a.strip("'") for a in args]


@pytest.mark.parametrize("layout", [cboe, yfinance, ibkr, deribit])
def test_an_export_is_solved_as_its_source_writes_it(layout, tmp_path: Path, capsys):
    files, options, read, want = layout(tmp_path)
    paths = [tmp_path / f for f in files]
    out = tmp_path / "out.csv"
    assert cli.main([*map(str, paths), "-o", str(out), *arguments(options)]) == 0
    # The exchange's own volatilities (mark_iv, in percent) are the ones known.
    known = re.search(r"true_vol: max .* = (\S+) over", "".join(capsys.readouterr()))
    assert (known is not None) == (layout is deribit)
    assert known is None or float(known[1]) < 1e-12
    written = pyarrow.csv.read_csv(out)
    assert set(written["reason"].to_pylist()) == {"ok"}
    vol = written["implied_vol"].to_numpy()
    assert np.max(np.abs(vol / want - 1)) < 1e-12
    solved = quelta.solve_table(read(paths), **options)
    assert np.max(np.abs(np.asarray(solved["implied_vol"], float) / want - 1)) < 1e-12


@pytest.mark.parametrize(
    "layout, edit, options, message",
    [
        (  # a put's side holding a call's symbol
            cboe,
            ("SPXW251219P04800000", "SPXW251219C04800000"),
            {},
            r"column 'symbol': 1 unreadable, the first 'SPXW251219C04800000' on line 5",
        ),
        (
            cboe,
            ("SPXW251219P04800000", "SPXW251219C04800000"),
            {"strict": True},
            r"line 5: column 'symbol': 'SPXW251219C04800000' names another option than its "
            r"row's kind \(column 'kind'\)",
        ),
        (  # a strike that is not its symbol's
            yfinance,
            ("+00:00,4800.0,", "+00:00,48,"),
            {},
            r"'contractSymbol': 1 unreadable, the first '\S+C04800000' on \S+calls\.csv line 3",
        ),
        (cboe, None, {"greeks": None}, r"already has a column 'Delta'.* --greeks"),
        (cboe, None, {"puts_first": True}, r"names 'Calls' first, but the puts'"),
        (
            deribit,
            None,
            {"columns": None},
            r"spot column \('underlying_price'\) but no rate .*--column forward=underlying_price",
        ),
        (deribit, None, {"price_unit": None}, r"warning: every option in the money .* underlying"),
    ],
    ids=["kind", "kind, strict", "strike", "its own Greeks", "sides", "forward", "coin quotes"],
)
def test_an_export_read_otherwise_than_it_says_is_named(
    layout, edit, options, message, tmp_path, capsys
):
    files, given, _, _ = layout(tmp_path)
    if edit:
        path = tmp_path / files[0]
        assert edit[0] in path.read_text()
        path.write_text(path.read_text().replace(*edit))
    given = {k: v for k, v in (given | options).items() if v is not None}
    out = tmp_path / "out.csv"
    status = cli.main([*(str(tmp_path / f) for f in files), "-o", str(out), *arguments(given)])
    text = "".join(capsys.readouterr())
    assert re.search(message, text), text
    if edit and not given.get("strict"):  # the row is kept, unsolved; the others solved
        reasons = pyarrow.csv.read_csv(out)["reason"].to_pylist()
        assert status == 0 and reasons.count("bad_input") == 1 and reasons.count("ok") == 9
    elif "warning" in message:  # solved, but said
        assert status == 0 and out.exists()
    else:
        assert status == 1 and not out.exists()
