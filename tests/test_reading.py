"""Reading users' books: cells in every encoding and spelling, and book files of every kind.

A cell is read as what it stands for or its row gets bad_input with a message
naming the column, the value and the line; a book is read whole or refused in
one line, never with rows lost.
"""

import contextlib
import csv
import datetime as dt
import gzip
import io
import os
import re
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow")
import pyarrow.parquet as pq  # noqa: E402

import quelta  # noqa: E402
from quelta import book, cli  # noqa: E402

ATM = "7.965567455405804"  # undiscounted ATM call, F = K = 100, total vol 0.2
SAMPLE = Path(quelta.__file__).with_name("data") / "sample_book.csv"


def text_table(n=3, **columns):
    cells = {
        "price": [ATM] * n,
        "forward": ["100"] * n,
        "strike": ["100"] * n,
        "expiry": ["1"] * n,
        "kind": ["call"] * n,
    }
    cells.update(columns)
    return pa.table(
        {
            k: pa.array(v, None if isinstance(v[0], (int, bytes)) else pa.string())
            for k, v in cells.items()
        }
    )


def vol(years):
    return quelta.implied_volatility(float(ATM), 100.0, 100.0, years)


def each_column(t, to):
    return pa.table({name: to(t.column(name).combine_chunks()) for name in t.column_names})


def category_frame(t):
    return t.to_pandas().astype("category")


def category_parquet(t):
    with tempfile.TemporaryDirectory() as d:
        category_frame(t).to_parquet(f"{d}/book.parquet")
        return pq.read_table(f"{d}/book.parquet")


@pytest.mark.parametrize(
    "encode",
    [
        lambda t: each_column(t, lambda c: c.dictionary_encode()),
        lambda t: each_column(t, lambda c: c.cast(pa.string_view())),
        lambda t: each_column(t, lambda c: c.cast(pa.binary())),
        lambda t: each_column(t, lambda c: c.cast(pa.large_binary())),
        lambda t: each_column(t, lambda c: c.dictionary_encode()).to_batches()[0],
        lambda t: t.set_column(0, "price", pa.array([float(ATM), 0.015, None]).dictionary_encode()),
        category_frame,
        category_parquet,
    ],
    ids=[
        "dictionary",
        "string_view",
        "binary",
        "large_binary",
        "batch",
        "numbers",
        "category",
        "parquet",
    ],
)
def test_encoded_columns_are_read_as_their_values(encode):
    plain = text_table(price=[ATM, "1.5%", ATM], kind=["call", "put", None])
    want = quelta.solve_table(plain)
    got = quelta.solve_table(encode(plain))
    got = got if hasattr(got, "column") else pa.Table.from_pandas(got)
    assert got.column("reason").to_pylist() == want.column("reason").to_pylist()
    assert got.column("reason").to_pylist()[::2] == ["ok", "not_finite"]
    np.testing.assert_array_equal(
        got.column("implied_vol").to_numpy(zero_copy_only=False),
        want.column("implied_vol").to_numpy(zero_copy_only=False),
    )


VAL = dt.date(2025, 12, 8)


@pytest.mark.parametrize("expiry", ["20261208", 20261208, "2026-12-08", " 20261208 "])
@pytest.mark.parametrize(
    "valuation", [20251208, "20251208", "2025-12-08", VAL, "column 20251208", "column '20251208'"]
)
def test_compact_dates_are_dates(expiry, valuation):
    t = text_table(2, expiry=["0.5", expiry] if isinstance(expiry, str) else [1, expiry])
    options = {"valuation_date": valuation}
    if str(valuation).startswith("column"):
        cell = valuation.split()[1]
        t = t.append_column(
            "valuation_date",
            pa.array([cell.strip("'")] * 2) if "'" in cell else pa.array([int(cell)] * 2),
        )
        options = {}
    got = quelta.solve_table(t, **options).column("implied_vol").to_pylist()
    assert got == [vol(0.5) if isinstance(expiry, str) else vol(1.0), vol(1.0)]


@pytest.mark.parametrize(
    "column, cell, message",
    [
        ("expiry", "20250230", "'20250230' is neither a date nor a time to expiry (at most 100"),
        ("expiry", 20250230, "20250230 is neither a date nor a time to expiry (at most 100"),
        ("expiry", "99991231", "'99991231' expires in more than 100 years"),
        ("expiry", "1e8", "'1e8' is neither a date nor a time to expiry"),
        ("expiry", "20251208.0", "'20251208.0' is neither a date nor a time to expiry"),
        ("expiry", "100.5", "'100.5' is neither a date nor a time to expiry"),
        ("days", "36600", "'36600' is neither a date nor a time to expiry"),
        ("valuation_date", "20251308", "'20251308' is not a date"),
        ("valuation_date", 20251308, "20251308 is not a date"),
        ("kind", b"\xffcall", "b'\\xffcall' is not UTF-8 text"),
        ("price", b"7.9\xff", "b'7.9\\xff' is not UTF-8 text"),
    ],
)
def test_misread_cells_are_bad_input_and_named(column, cell, message):
    fine = {
        "expiry": "1",
        "days": "365",
        "valuation_date": "20251208",
        "kind": "call",
        "price": ATM,
    }[column]
    if not isinstance(cell, str):  # an integer or a bytes column
        fine = fine.encode() if isinstance(cell, bytes) else int(fine)
    columns = {column: [fine, cell, fine]}
    if column == "valuation_date":
        columns["expiry"] = ["2026-12-08"] * 3
    t = text_table(**columns)
    if column == "days":
        t = t.drop_columns("expiry")
    options = {} if column == "valuation_date" else {"valuation_date": "2025-12-08"}
    out = quelta.solve_table(t, **options)
    assert out.column("reason").to_pylist() == ["ok", "bad_input", "ok"]
    with pytest.raises(book.BookError) as error:
        quelta.solve_table(t, strict=True, **options)
    assert (error.value.row, error.value.column) == (1, column)
    assert f"column '{column}': {message}" in str(error.value)


@pytest.mark.parametrize(
    "value", [2025, 20251308, "20251308", True, 20251208.0, "2025-13-01", "2025"]
)
def test_valuation_dates_that_are_no_dates_are_refused(value):
    with pytest.raises(book.BookError, match=re.escape(f"valuation date {value!r} is not a date")):
        quelta.solve_table(text_table(expiry=["20261208"] * 3), valuation_date=value)


NEW_YORK = "America/New_York"


@pytest.mark.parametrize(
    "valuation",
    [
        "2025-12-08 09:30",
        dt.datetime(2025, 12, 8, 9, 30),
        "2025-12-08T09:30-05:00",
        dt.datetime(2025, 12, 8, 14, 30, tzinfo=dt.UTC),
        "column 2025-12-08 09:30",
    ],
)
def test_naive_valuation_dates_are_read_in_the_expiries_zone(valuation):
    expiry = pa.array([dt.datetime(2025, 12, 8, 21, 0)], pa.timestamp("us", tz="UTC")).cast(
        pa.timestamp("us", tz=NEW_YORK)
    )  # 16:00 in New York
    t = text_table(1, price=["0.5"]).set_column(3, "expiry", expiry)
    options = {"valuation_date": valuation}
    if isinstance(valuation, str) and valuation.startswith("column"):
        t = t.append_column("valuation_date", pa.array([valuation.split(" ", 1)[1]]))
        options = {}
    got = quelta.solve_table(t, **options).column("implied_vol").to_pylist()
    assert got == [quelta.implied_volatility(0.5, 100.0, 100.0, 6.5 / 24 / 365)]


# ---------------------------------------------------------------- book files

HEADER = "price,forward,strike,expiry,kind,note"


def book_lines(n):
    return [HEADER] + [
        f"{ATM},100,100,{1 + i % 3},{'call' if i % 2 else 'put'},n{i}" for i in range(n)
    ]


def solve(*args):
    """The command in this process: (exit status, standard output, standard error)."""
    out, err = io.TextIOWrapper(io.BytesIO(), encoding="utf-8"), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        code = cli.main([str(a) for a in args])
    out.flush()
    text = out.buffer.getvalue().decode()
    out.close()
    return code, text, err.getvalue()


def solve_fed(fifo, data, *args):
    """The command reading a FIFO that a thread writes data to."""
    os.mkfifo(fifo)
    feeder = threading.Thread(target=fifo.write_bytes, args=(data,))
    feeder.start()
    result = solve(fifo, *args)
    feeder.join()
    return result


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.integers(2, 40), st.data(), st.integers(1, 7))
def test_a_bad_cell_anywhere_is_its_rows_reason_and_the_summary_names_it(n, data, chunk):
    lines = book_lines(n)
    row = data.draw(st.integers(0, n - 1))
    column, cell = data.draw(
        st.sampled_from([(0, "abc"), (3, "20250230"), (3, "20261208x"), (4, "cll"), (3, "1e8")])
    )
    fields = lines[row + 1].split(",")
    fields[column] = cell
    lines[row + 1] = ",".join(fields)
    with tempfile.TemporaryDirectory() as d:
        path = Path(d, "book.csv")
        path.write_text("\n".join(lines) + "\n")
        code, summary, err = solve(path, "-o", Path(d, "out.csv"), "--chunk-size", chunk)
        assert code == 0 and err == ""
        reasons = [r.rsplit(",", 1)[1] for r in Path(d, "out.csv").read_text().splitlines()[1:]]
        assert reasons == ["ok"] * row + ["bad_input"] + ["ok"] * (n - row - 1)
        name = HEADER.split(",")[column]
        assert f"column '{name}': 1 unreadable, the first '{cell}' on line {row + 2}" in summary
        code, _, err = solve(path, "--strict", "--chunk-size", chunk)
        assert code == 1 and f"line {row + 2}: " in err and f"'{cell}'" in err


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.integers(2, 40), st.data(), st.integers(1, 7), st.booleans())
def test_a_quote_left_open_never_loses_rows(n, data, chunk, stream):
    lines = book_lines(n)
    row = data.draw(st.integers(0, n - 1))
    column = data.draw(st.integers(0, 5))
    fields = lines[row + 1].split(",")
    fields[column] = '"' + fields[column]
    lines[row + 1] = ",".join(fields)
    if data.draw(st.booleans()):  # a later cell quoted as CSV quotes, closing it early
        lines[-1] = lines[-1][: lines[-1].rindex(",")] + ',"x"'
    text = "\n".join(lines) + "\n"
    with tempfile.TemporaryDirectory() as d:
        out, path = Path(d, "out.csv"), Path(d, "book.csv")
        if stream:  # a pipe: read once, as standard input is
            code, _, err = solve_fed(path, text.encode(), "-o", out, "--chunk-size", chunk)
        else:
            path.write_text(text)
            code, _, err = solve(path, "-o", out, "--chunk-size", chunk)
        if code == 0:  # rows counted as CSV: a quote left open at the end may hold a line end
            with out.open(newline="") as f:
                assert len(list(csv.reader(f))) == n + 1
        else:
            assert code == 1 and len(err.splitlines()) == 1 and not out.exists(), err
            assert stream or f"line {row + 2}: a quote opened in this row" in err, err


def long_cell(d):
    lines = SAMPLE.read_text().splitlines()
    lines[5] += "x" * (40 << 20)  # the note of a row, beyond Python csv's field limit
    Path(d, "book.csv").write_text("\n".join(lines) + "\n1,2\n")
    return "book.csv"


@settings(max_examples=25, deadline=None)
@given(st.integers(2, 60), st.data(), st.integers(1, 9), st.booleans())
def test_a_row_longer_than_a_block_is_read_once(n, data, chunk, compressed):
    lines = book_lines(n)
    row = data.draw(st.integers(0, n - 1))
    lines[row + 1] += "x" * data.draw(st.integers(300, 3000))
    raw = ("\n".join(lines) + "\n").encode()
    with tempfile.TemporaryDirectory() as d:
        path = Path(d, "book.csv")
        path.write_bytes(gzip.compress(raw) if compressed else raw)
        saved, book.files._BLOCK_SIZE = book.files._BLOCK_SIZE, 256  # rows beyond a block, cheaply
        try:
            reader = book.BookReader(str(path), chunk)
            notes = [c for b in reader.batches() for c in b.column("note").to_pylist()]
            reader.close()
        finally:
            book.files._BLOCK_SIZE = saved
    assert notes == [line.rsplit(",", 1)[1] for line in lines[1:]]


@pytest.mark.parametrize(
    "encode, fed",
    [
        (gzip.compress, False),
        (lambda b: b.replace(b"\n", b"\r"), False),
        (bytes, True),
        (gzip.compress, True),
    ],
    ids=["gzip", "cr line ends", "fifo", "gzip fifo"],
)
def test_books_in_any_container_give_the_same_rows(encode, fed, tmp_path):
    code, want, _ = solve(SAMPLE, "-o", "-")
    path, raw = tmp_path / "book", encode(SAMPLE.read_bytes())
    if fed:
        code, got, err = solve_fed(path, raw, "-o", "-")
    else:
        path.write_bytes(raw)
        code, got, err = solve(path, "-o", "-")
    assert code == 0, err
    assert got.splitlines() == want.splitlines()


def corrupt_parquet(d, cut):
    pq.write_table(pa.csv.read_csv(SAMPLE), f"{d}/book.parquet")
    raw = Path(d, "book.parquet").read_bytes()
    Path(d, "book.parquet").write_bytes(
        raw[:cut] + b"\0" * 64 + raw[cut + 64 :] if cut > 0 else raw[: -cut or len(raw) // 2]
    )
    return "book.parquet"


SIMD = r"^quelta: error: QUELTA_SIMD=sse: expected scalar, avx2 or avx512$"
PYTHON_M = [sys.executable, "-P", "-m", "quelta"]


@pytest.mark.parametrize(
    "make, message, command",
    [
        (
            lambda d: corrupt_parquet(d, 0),
            r"book\.parquet: not a readable Parquet file, truncated",
            PYTHON_M,
        ),
        (lambda d: corrupt_parquet(d, 200), r"cannot read book\.parquet: ", PYTHON_M),
        (long_cell, r"book\.csv line 125: 2 fields, expected 8 as in the header", PYTHON_M),
        (
            lambda d: (
                Path(d, "b.gz").write_bytes(gzip.compress(b"price,forward\n\xff\n")) and "b.gz"
            ),
            r"b\.gz: missing columns",
            PYTHON_M,
        ),
        (lambda d: str(SAMPLE), SIMD, PYTHON_M),
        (lambda d: str(SAMPLE), SIMD, [Path(sys.executable).with_name("quelta")]),
    ],
    ids=[
        "truncated parquet",
        "corrupt parquet",
        "long cell",
        "gzip header",
        "simd python -m",
        "simd script",
    ],
)
def test_unreadable_books_are_one_line_in_a_real_process(make, message, command, tmp_path):
    if not Path(command[0]).exists():
        pytest.skip("no quelta script beside this interpreter")
    name = make(tmp_path)
    env = dict(os.environ, QUELTA_SIMD="sse") if message is SIMD else None
    run = subprocess.run(
        [*command, name, "-o", "out.csv"],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert run.returncode == 1 and run.stdout == ""
    assert len(run.stderr.splitlines()) == 1 and run.stderr.startswith("quelta: error: ")
    assert re.search(message, run.stderr.strip()), run.stderr
    assert not (tmp_path / "out.csv").exists()
