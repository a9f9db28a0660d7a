"""How a book is read beyond its headers: constants, mapped columns, bid and ask
volatilities, quotes in the underlying and other data frames, through the
command and solve_table alike."""

import math

import mpmath
import numpy as np
import pyarrow as pa
import pyarrow.csv as pacsv
import pytest
from oracle import black_price_mp
from support import assert_same_bits

from quelta import cli, solve_table
from quelta.book import BookWarning

STRIKES = (80.0, 90.0, 100.0, 110.0, 125.0)
VOLS = (0.31, 0.27, 0.24, 0.22, 0.23)
T, R, Q, S, F = 0.5, 0.05, 0.01, 100.0, 101.0


def _price(forward, K, vol, call, discount=1.0, years=T):
    """The exact market price as a double."""
    with mpmath.workprec(200):
        return float(discount * black_price_mp(forward, K, vol * math.sqrt(years), call))


def _rows(layout):
    """(header, rows, vols per result column, command arguments, solve_table keywords)."""
    D = mpmath.exp(-mpmath.mpf(R) * T)
    calls = [i % 2 == 0 for i in range(len(STRIKES))]
    kinds = ["C" if c else "P" for c in calls]
    if layout == "constants":
        rows = [[_price(F, K, v, c, D), K, T, k] for K, v, c, k in zip(STRIKES, VOLS, calls, kinds)]
        return (
            ["lastPrice", "strikePrice", "T", "putCall"],
            rows,
            {"implied_vol": VOLS},
            ["--forward", str(F), "--rate", "5%"],
            {"forward": F, "rate": "5%"},
        )
    if layout == "mapped":  # tickers under "underlying_price" are no spot
        rows = [
            [_price(F, K, v, c), F, K, T, k, "SPX"]
            for K, v, c, k in zip(STRIKES, VOLS, calls, kinds)
        ]
        return (
            ["px", "fwd px", "Strike", "T", "cp", "underlying_price"],
            rows,
            {"implied_vol": VOLS},
            ["--column", "price=px", "--column", "forward=fwd px"],
            {"columns": {"price": "px", "forward": "fwd px"}},
        )
    if layout == "spot":
        fwd = S * mpmath.exp((mpmath.mpf(R) - Q) * T)
        rows = [
            [_price(fwd, K, v, c, D), S, K, T, k] for K, v, c, k in zip(STRIKES, VOLS, calls, kinds)
        ]
        return (
            ["mark_price", "underlying_price", "strike", "T", "optionType"],
            rows,
            {"implied_vol": VOLS},
            ["--rate", "0.05", "--dividend-yield", "1%"],
            {"rate": 0.05, "dividend_yield": "1%"},
        )
    if layout == "bid_ask":
        bids = [v - 0.02 for v in VOLS]
        asks = [v + 0.03 for v in VOLS]
        rows = [
            [_price(F, K, b, c), _price(F, K, a, c), F, K, T, k]
            for K, b, a, c, k in zip(STRIKES, bids, asks, calls, kinds)
        ]
        return (
            ["Bid", "Ask", "Forward", "Strike", "T", "Type"],
            rows,
            {"bid_vol": bids, "ask_vol": asks},
            ["--bid-ask-vols"],
            {"bid_ask_vols": True},
        )
    if layout == "symbols":  # OCC symbols name the expiry, kind and strike
        years = 182 / 365  # 2025-06-20 to 2025-12-19
        rows = [
            [f"SPXW  251219{k}{int(K * 1000):08d}", _price(F, K, v, c, years=years)]
            for K, v, c, k in zip(STRIKES, VOLS, calls, kinds)
        ]
        return (
            ["contractSymbol", "lastPrice"],
            rows,
            {"implied_vol": VOLS, "strike": STRIKES},
            ["--forward", str(F), "--valuation-date", "2025-06-20"],
            {"forward": F, "valuation_date": "2025-06-20"},
        )
    if layout.startswith("parity"):  # a call and a put at each strike, no forward and no rate
        D = float(D)
        rows = [
            [_price(F, K, v, c, D), K, T, "C" if c else "P"]
            for K, v in zip(STRIKES, VOLS)
            for c in (True, False)
        ]
        vols = {"implied_vol": np.repeat(VOLS, 2), "forward": [F] * 10, "discount": [D] * 10}
        if layout == "parity, one expiry":  # no expiry column: --expiry, expiry=
            rows = [[p, K, kind] for p, K, _, kind in rows]
            args = ["--forward", "parity", "--expiry", repr(T)]
            return ["price", "strike", "cp"], rows, vols, args, {"forward": "parity", "expiry": T}
        return (
            ["price", "strike", "T", "cp"],
            rows,
            vols,
            ["--forward", "parity"],
            {"forward": "parity"},
        )
    assert layout == "in_underlying"  # a crypto book: prices in coins of the underlying
    with mpmath.workprec(200):
        rows = [
            [float(black_price_mp(F, K, v * math.sqrt(T), c) / F), F, K, T, k]
            for K, v, c, k in zip(STRIKES, VOLS, calls, kinds)
        ]
    return (
        ["mark_price", "forward", "strike", "T", "kind"],
        rows,
        {"implied_vol": VOLS},
        ["--price-unit", "underlying"],
        {"price_unit": "underlying"},
    )


def _text_table(header, rows):
    return pa.table(
        {
            h: [repr(r[i]) if isinstance(r[i], float) else r[i] for r in rows]
            for i, h in enumerate(header)
        }
    )


LAYOUTS = [
    *["constants", "mapped", "spot", "bid_ask", "in_underlying", "symbols"],
    *["parity", "parity, one expiry"],
]


@pytest.mark.parametrize("layout", LAYOUTS)
def test_each_book_solves_to_its_vols_alike_by_command_and_solve_table(layout, tmp_path, capsys):
    header, rows, vols, args, kwargs = _rows(layout)
    table = _text_table(header, rows)
    book, out = tmp_path / "book.csv", tmp_path / "out.csv"
    pacsv.write_csv(table, book)
    assert cli.main([str(book), "-o", str(out), *args]) == 0
    err = capsys.readouterr().err
    assert ("'underlying_price' is not taken as the spot" in err) == (layout == "mapped")
    written = pacsv.read_csv(out)
    with pytest.warns(BookWarning) if layout == "mapped" else _nothing():
        got = solve_table(table, **kwargs)
    assert got.column("reason").to_pylist() == ["ok"] * len(rows)
    for name, want in vols.items():
        vol = got.column(name).to_numpy()
        np.testing.assert_allclose(vol, want, rtol=1e-12, atol=0)
        assert_same_bits(written.column(name).to_numpy(), vol)
    assert written.column_names == got.column_names
    if layout == "symbols":
        assert got.column("kind").to_pylist() == ["call", "put"] * 2 + ["call"]
        assert set(written.column("expiry").cast(pa.string()).to_pylist()) == {"2025-12-19"}


class _nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def test_the_command_has_an_option_for_every_constant_of_the_book():
    # The parser is built before pyarrow is imported, so it keeps its own list.
    from quelta.book import columns
    from quelta.cli import options

    assert options.CONSTANTS == columns.CONSTANTS


@pytest.mark.parametrize(
    "args, status, message",
    [
        (
            ["--column", "price=nope"],
            1,
            r"no column 'nope' \(given for price\); the columns are 'px'",
        ),
        (["--column", "colour=px"], 1, r"unknown column role 'colour'; use one of price, bid"),
        (["--column", "price=px", "--column", "price=F"], 2, r"role price given twice"),
        (["--column", "price=px", "--column", "strike=px"], 1, r"'px' is given for both"),
        (["--rate", "abc"], 2, r"argument --rate: rate: 'abc' is not a number"),
        (
            ["--rate", "5%", "--column", "price=px"],
            1,
            r"constant rate \(--rate, rate=\) and a rate column \('r'\)",
        ),
        (["--column", "price=px", "--bid-ask-vols"], 1, r"need a bid and an ask column"),
        (["--column", "price=px", "--dividend-yield", "1%"], 1, r"dividend_yield needs a spot"),
        (["--forward", "parity"], 1, r"'parity' .* fits .* has a forward column \('F'\); keep"),
        (
            ["--forward", "parity", "--column", "price=px", "--column", "kind=F"],
            1,
            r"fits the forward and discount, and the book has a rate column \('r'\)",
        ),
        (["--forward", "parity", "--price-unit", "underlying"], 1, r"parity.* needs prices in"),
    ],
)
def test_a_wrong_option_names_its_fault_and_writes_nothing(args, status, message, tmp_path, capsys):
    import re

    book = tmp_path / "book.csv"
    book.write_text("px,F,K,T,kind,r\n5,100,100,1,c,0.01\n")
    out = tmp_path / "out.csv"
    out.write_text("earlier results\n")
    try:
        code = cli.main([str(book), "-o", str(out), *args])
    except SystemExit as exc:  # the command line refused by argparse
        code = exc.code
    assert code == status
    err = capsys.readouterr().err
    assert re.search(message, err), err
    assert out.read_text() == "earlier results\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["book.csv", "out.csv"]


@pytest.mark.parametrize("kind", ["polars", "pandas"])
def test_a_data_frame_comes_back_as_its_kind_with_the_same_bits(kind):
    header, rows, vols, _, kwargs = _rows("constants")
    table = pa.table({h: [r[i] for r in rows] for i, h in enumerate(header)})
    if kind == "polars":
        pl = pytest.importorskip("polars")
        frame = pl.from_arrow(table)
        got = solve_table(frame, **kwargs)
        assert isinstance(got, pl.DataFrame)
        vol = got["implied_vol"].to_numpy()
    else:
        frame = table.to_pandas()
        got = solve_table(frame, **kwargs)
        vol = got["implied_vol"].to_numpy()
    assert_same_bits(vol, solve_table(table, **kwargs).column("implied_vol").to_numpy())
    np.testing.assert_allclose(vol, vols["implied_vol"], rtol=1e-12, atol=0)


def test_an_unreadable_symbol_is_bad_input_named_by_column_and_value(tmp_path, capsys):
    book = tmp_path / "book.csv"
    book.write_text("symbol,last\nSPX251219C00100000,5\nnot-a-symbol,5\n")
    out = tmp_path / "out.csv"
    args = [str(book), "-o", str(out), "--forward", "100", "--valuation-date", "20250620"]
    assert cli.main(args) == 0
    assert "column 'symbol': 1 unreadable, the first 'not-a-symbol' on line 3" in (
        capsys.readouterr().out
    )
    written = pacsv.read_csv(out, convert_options=pacsv.ConvertOptions(strings_can_be_null=True))
    assert written.column("reason").to_pylist() == ["ok", "bad_input"]
    assert written.column("kind").to_pylist() == ["call", None]
    assert written.column("strike").to_pylist() == [100, None]


CHAIN_TOP = "SPX (S&P 500 INDEX),Last: 5000.00\nDate: June 20 2025 10:30,Bid: 4999\n"


@pytest.mark.parametrize("gzip", [False, True])
@pytest.mark.parametrize("skip", [[], ["--skip-rows", "2"]])
def test_lines_above_the_header_are_skipped_and_lines_still_named(skip, gzip, tmp_path, capsys):
    import gzip as gz

    text = CHAIN_TOP + "price,F,K,T,kind\n5,100,100,1,c\nabc,100,100,1,c\n"
    book = tmp_path / ("book.csv.gz" if gzip else "book.csv")
    book.write_bytes(gz.compress(text.encode()) if gzip else text.encode())
    out = tmp_path / "out.csv"
    assert cli.main([str(book), "-o", str(out), *skip]) == 0
    assert "the first 'abc' on line 5" in capsys.readouterr().out
    assert pacsv.read_csv(out).column("reason").to_pylist() == ["ok", "bad_input"]
    assert cli.main([str(book), "--strict", *skip]) == 1
    assert "line 5" in capsys.readouterr().err


def test_a_cluster_takes_the_header_where_skip_rows_says(tmp_path, capsys):
    pytest.importorskip("distributed")
    import pyarrow.parquet as pq

    # A line above that names two book columns: only --skip-rows finds the header.
    book = tmp_path / "book.csv"
    book.write_text("price,strike\n" + CHAIN_TOP + "price,F,K,T,kind\n5,100,100,1,c\n")
    one, many = tmp_path / "one.parquet", tmp_path / "many"
    for out, where in ((one, []), (many, ["--scheduler", "local:1"])):
        assert cli.main([str(book), "-o", str(out), "--skip-rows", "3", *where]) == 0
    capsys.readouterr()
    assert pq.read_table(many).equals(pq.read_table(one))
    assert pq.read_table(one).column("reason").to_pylist() == ["ok"]


def test_a_header_never_found_says_line_1_was_taken(tmp_path, capsys):
    book = tmp_path / "book.csv"
    book.write_text("a,b,c\n1,2,3\n")
    assert cli.main([str(book)]) == 1
    assert "line 1 was taken as the header" in capsys.readouterr().err


@pytest.mark.parametrize("layout", ["constants", "bid_ask", "symbols", "parity"])
def test_a_cluster_reads_a_book_as_one_machine_does(layout, tmp_path, capsys):
    pytest.importorskip("distributed")
    import pyarrow.parquet as pq

    header, rows, _, args, _ = _rows(layout)
    book = tmp_path / "book.csv"
    pacsv.write_csv(_text_table(header, rows), book)
    one, many = tmp_path / "one.parquet", tmp_path / "many"
    assert cli.main([str(book), "-o", str(one), *args]) == 0
    assert cli.main([str(book), "-o", str(many), "--scheduler", "local:1", *args]) == 0
    capsys.readouterr()
    assert pq.read_table(many).equals(pq.read_table(one))
