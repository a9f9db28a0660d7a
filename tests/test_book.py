"""quelta.solve_table and the book streams: cells, trader formats, tables in and out.

The array API is the reference: a book in any accepted spelling must give,
bit for bit, what quelta.greeks gives for the numbers it stands for.
"""

import datetime as dt
import io
import sys
from collections import Counter
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow")
import pyarrow.csv as pa_csv  # noqa: E402

import quelta  # noqa: E402
from quelta import book  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
from support import assert_same_bits as same_bits  # noqa: E402

ATM = "7.965567455405804"  # undiscounted ATM call, F = K = 100, total vol 0.2
SAMPLE = Path(quelta.__file__).with_name("data") / "sample_book.csv"


def text_table(**columns):
    return pa.table({name: pa.array(values, pa.string()) for name, values in columns.items()})


@pytest.mark.parametrize(
    "price, kind, reason",
    [
        (f" {ATM} ", "C", "ok"),
        ("", "call", "not_finite"),
        ("#N/A", "put", "not_finite"),
        ("NA", "put", "not_finite"),
        ("1e400", "call", "not_finite"),
        (ATM, "", "not_finite"),
        ("abc", "call", "bad_input"),
        ("7,9", "call", "bad_input"),
        (ATM, "straddle", "bad_input"),
    ],
)
def test_unreadable_cells_give_their_row_a_reason(price, kind, reason):
    t = text_table(
        price=[ATM, price, ATM],
        forward=["100"] * 3,
        strike=["100"] * 3,
        expiry=["1"] * 3,
        kind=["call", kind, "put"],
    )
    out = quelta.solve_table(t)
    assert out.column("reason").to_pylist() == ["ok", reason, "ok"]
    want = quelta.implied_volatility(float(ATM), 100.0, 100.0, 1.0)
    vol = out.column("implied_vol").to_pylist()
    assert vol[0] == vol[2] == want
    assert (vol[1] is None) == (reason != "ok")
    if reason == "bad_input" or kind == "":
        with pytest.raises(book.BookError) as error:
            quelta.solve_table(t, strict=True)
        column = "kind" if price == ATM else "price"
        assert (error.value.row, error.value.column) == (1, column)


VAL = dt.datetime(2025, 12, 8)
EXPIRIES = [dt.datetime(2026, 3, 20), dt.datetime(2026, 3, 20, 16, 30), dt.datetime(2027, 1, 15)]
YEARS = np.array([(e - VAL) / dt.timedelta(microseconds=1) for e in EXPIRIES]) / (86_400e6 * 365)
PRICES = [2.5, 3.0, 11.0]
FORWARD, STRIKES = [100.0, 101.0, 99.5], [105.0, 95.0, 110.0]
KINDS = ["call", "put", "call"]


def plain(**change):
    """The book in plain numbers, as quelta.greeks arguments."""
    args = {
        "price": np.array(PRICES),
        "forward": np.array(FORWARD),
        "strike": np.array(STRIKES),
        "expiry": np.array([0.25, 0.5, 1.0]),
        "kind": np.array(KINDS),
        "discount": None,
        "rate": None,
    }
    args.update(change)
    return args


@pytest.mark.parametrize(
    "columns, options, want",
    [
        (
            {"Expiry": [e.isoformat(" ") for e in EXPIRIES], "Call/Put": KINDS},
            {"valuation_date": "2025-12-08"},
            plain(expiry=YEARS),
        ),
        (
            {
                "expiry_date": pa.array(EXPIRIES, pa.timestamp("s")),
                "valuation_date": ["2025-12-08"] * 3,
                "cp": ["c", "p", "c"],
            },
            {},
            plain(expiry=YEARS),
        ),
        (
            {"maturity": pa.array([e.date() for e in EXPIRIES], pa.date32()), "option_type": KINDS},
            {"valuation_date": dt.date(2025, 12, 8)},
            plain(expiry=np.array([(e.date() - VAL.date()).days for e in EXPIRIES]) / 365),
        ),
        (
            {"DTE": ["91", "182", "365"], "Put/Call": ["C", "P", "C"]},
            {},
            plain(expiry=np.array([91, 182, 365]) / 365),
        ),
        (
            {"t": ["0.25", "0.5", "1"], "kind": KINDS, "rate": ["1.5%", "2 %", "-0.5%"]},
            {},
            plain(rate=np.array([1.5, 2.0, -0.5]) / 100),
        ),
    ],
    ids=["datetimes and option", "timestamps and column", "dates", "days", "percent"],
)
@pytest.mark.parametrize("frame", ["arrow", "pandas"])
def test_trader_formats_give_the_array_results(columns, options, want, frame):
    t = pa.table(
        {
            "price": pa.array([str(p) for p in PRICES]),
            "fwd": FORWARD,
            "K": STRIKES,
            **{name: pa.array(v) if isinstance(v, list) else v for name, v in columns.items()},
        }
    )
    if frame == "pandas":
        pytest.importorskip("pandas")
        t = t.to_pandas()
    out = quelta.solve_table(t, **options)
    assert type(out) is type(t)
    g = quelta.greeks(**want)
    for name, field in zip(book.RESULTS, g):
        got = np.asarray(
            out[name] if frame == "pandas" else out.column(name).to_numpy(zero_copy_only=False)
        )
        if name == "reason":
            assert list(got) == [book.REASON_NAMES[r] for r in field]
        else:
            same_bits(got.astype(np.float64), field)


def test_bid_and_ask_give_the_mid():
    bid, ask = np.array([2.4, 2.9, 10.0]), np.array([2.6, 3.15, 12.5])
    t = pa.table(
        {
            "Bid": bid,
            "Offer": ask,
            "F": FORWARD,
            "Strike": STRIKES,
            "T": [0.25, 0.5, 1.0],
            "Type": KINDS,
        }
    )
    out = quelta.solve_table(t)
    want = quelta.greeks(**plain(price=(bid + ask) * 0.5))
    same_bits(out.column("implied_vol").to_numpy(), want.vol)


@pytest.mark.parametrize("rates, warns", [(["5", "0.02"], True), (["5%", "0.02"], False)])
def test_rates_that_look_like_percent_warn(rates, warns):
    t = text_table(
        price=["5", "5"],
        forward=["100"] * 2,
        strike=["100"] * 2,
        expiry=["1"] * 2,
        kind=["call"] * 2,
        rate=rates,
    )
    if warns:
        with pytest.warns(book.BookWarning, match=r"column 'rate' has rates above 1"):
            quelta.solve_table(t)
    else:
        quelta.solve_table(t)  # warnings are errors in this suite


@pytest.mark.parametrize(
    "names, message",
    [
        (
            ["price", "forward", "strike", "expiry", "kind", "forward"],
            "column name 'forward' appears more than once",
        ),
        (
            ["price", "Price", "forward", "strike", "expiry", "kind"],
            "columns 'price' and 'Price' have the same name",
        ),
        (
            ["bid", "forward", "strike", "expiry", "kind"],
            r"missing column price \(or bid and ask\)",
        ),
        (["price", "forward", "strike", "kind"], "missing column expiry"),
        (["price", "strike", "expiry", "kind"], r"missing column forward \(or spot\)"),
        (
            ["price", "F", "S", "strike", "expiry", "kind", "r"],
            r"has both a forward column \('F'\) and a spot column \('S'\)",
        ),
        (
            ["price", "spot", "strike", "expiry", "kind", "q"],
            r"spot column \('spot'\) but no rate or discount column",
        ),
    ],
)
def test_unusable_headers_are_named(names, message):
    t = pa.Table.from_arrays([pa.array(["1"])] * len(names), names=names)
    with pytest.raises(book.BookError, match=message):
        quelta.solve_table(t)


@pytest.mark.parametrize(
    "spot, dividend_yield", [("spot", "dividend_yield"), ("Underlying", "div"), ("S", "q")]
)
@pytest.mark.parametrize("frame", ["arrow", "pandas"])
def test_spot_books_give_the_array_results_with_every_greek(spot, dividend_yield, frame):
    S, q, r = [4500.0, 4400.0, 4600.0], [0.015, 0.0, 0.03], [0.045, 0.04, -0.01]
    t = pa.table(
        {
            "price": [*PRICES[:2], 300.0],
            spot: S,
            "K": [4600.0, 4300.0, 4700.0],
            "T": [0.25, 0.5, 1.0],
            "cp": KINDS,
            "rate": r,
            dividend_yield: q,
        }
    )
    if frame == "pandas":
        pytest.importorskip("pandas")
        t = t.to_pandas()
    out = quelta.solve_table(t, greeks="all")
    names = list(out.columns if frame == "pandas" else out.schema.names)
    assert names[7:] == ["implied_vol", *book.ALL_GREEKS, "reason"]
    want = quelta.greeks(
        [*PRICES[:2], 300.0],
        strike=[4600.0, 4300.0, 4700.0],
        expiry=[0.25, 0.5, 1.0],
        kind=KINDS,
        spot=S,
        rate=r,
        dividend_yield=q,
    )
    assert list(want.reason) == [0, 0, 0]
    for name in names[7:-1]:
        got = out[name] if frame == "pandas" else out.column(name).to_numpy()
        same_bits(np.asarray(got, float), getattr(want, "vol" if name == "implied_vol" else name))
    with pytest.raises(ValueError, match="unknown Greek 'charm'"):
        quelta.solve_table(t, greeks=["delta", "charm"])


def test_tables_and_frames_keep_their_columns_and_count_by_reason():
    pd = pytest.importorskip("pandas")
    table = pa_csv.read_csv(SAMPLE)
    results = {}
    for given_ in (table, table.combine_chunks().to_batches()[0], pd.read_csv(SAMPLE)):
        out = quelta.solve_table(given_)
        assert type(out) is type(given_)
        frame = isinstance(out, pd.DataFrame)
        assert list(out.columns if frame else out.schema.names) == [
            *table.schema.names,
            *book.RESULTS,
        ]
        vol = out["implied_vol"] if frame else pa.chunked_array([out.column("implied_vol")])
        results[type(given_)] = np.asarray(vol.to_numpy(), float)
    same_bits(results[pa.Table], results[pa.RecordBatch])
    same_bits(results[pa.Table], results[pd.DataFrame])
    faults = Counter(quelta.solve_table(table).column("reason").to_pylist())
    assert book.summarize(quelta.solve_table(table)) == {
        name: faults.get(name, 0) for name in book.REASON_NAMES
    }
    assert book.summarize(quelta.solve_table(table))["ok"] == table.num_rows - 4


@given(st.lists(st.floats(allow_nan=False), min_size=1, max_size=50))
def test_numbers_are_written_shortest_and_read_back_exactly(values):
    sink = io.BytesIO()
    writer = book.BookWriter(sink, "csv", ",", ["x"])
    writer.write(pa.record_batch({"x": pa.array([*values, None], pa.float64())}))
    writer.close()
    lines = sink.getvalue().decode().split("\n")
    assert lines[0] == "x" and lines[-2:] == ["", ""]
    for text, value in zip(lines[1:-2], values):
        same_bits([float(text)], [value])
        digits = lambda s: len(s.split("e")[0].lstrip("-").replace(".", "").strip("0"))  # noqa
        assert digits(text) <= max(digits(repr(value)), 1)


_CELL = st.one_of(
    st.none(), st.floats(allow_nan=False), st.booleans(), st.integers(-(2**40), 2**40)
)


@given(
    st.sampled_from([pa.float64(), pa.float32(), pa.int64(), pa.int8(), pa.bool_()]),
    st.lists(_CELL, max_size=40),
    st.integers(0, 20),
    st.integers(0, 40),
)
def test_arrow_and_numpy_conversions_agree_with_pyarrow(kind, cells, start, length):
    # pyarrow's own conversion is the oracle; slices check the buffer offsets.
    try:
        whole = pa.array(cells, kind)
    except (pa.ArrowInvalid, pa.ArrowTypeError, OverflowError):
        return
    values = whole.slice(min(start, len(whole)), length)
    got = book.cells.to_numpy(values)
    nulls = np.asarray(values.is_null().to_pylist(), dtype=bool)
    if kind == pa.bool_():
        want = np.asarray(pa.compute.fill_null(values, False).to_pylist(), dtype=bool)
    else:
        want = values.cast(pa.float64(), safe=False).to_numpy(zero_copy_only=False)
    same_bits(got, want)
    back = book.cells.from_numpy(got, nulls)
    assert back.equals(pa.array(got, mask=nulls))
