"""Side-by-side chains and several books solved as one, through the command and solve_table.

Every chain is priced exactly (mpmath) at known volatilities; the command's
output and solve_table's result must recover them and agree bit for bit.
"""

import math
import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")
import pyarrow.csv  # noqa: E402
import pyarrow.parquet  # noqa: E402

import quelta  # noqa: E402
from quelta import cli  # noqa: E402
from quelta.book import BookError  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
import oracle  # noqa: E402
from support import assert_same_bits, signal_once_writing  # noqa: E402

F = 100.0
T = 292 / 365  # 2025-12-31 to 2026-10-19
STRIKES = [70.0, 85.0, 100.0, 115.0, 130.0]
# A strike's call and put share a volatility, so that parity holds for the fits of
# --forward parity; their prices and open interest tell the sides apart.
SMILE = [0.31, 0.26, 0.22, 0.2, 0.21]
VOLS = {"call": SMILE, "put": SMILE}
OPEN_INTEREST = {"call": 10, "put": 20}  # each side's own column, to see it kept
RESULTS = ["implied_vol", "delta", "gamma", "vega", "reason"]


def exact(strike, kind, row):
    return repr(oracle.black_price(F, strike, VOLS[kind][row] * math.sqrt(T), kind == "call"))


def read_out(path):
    return pyarrow.csv.read_csv(path)


# Each layout: the lines above the header, the header, the command's extra
# arguments and solve_table's, and the columns the rows come back with.
LAYOUTS = {
    "repeated": (
        "SPX,2025-12-31\nCalls,,,,Puts,\n",
        "Expiry,Last,Open Int,Strike,Last,Open Int",
        [],
        {},
        ["kind", "Expiry", "Last", "Open Int", "Strike"],
    ),
    "puts first": (
        "Puts,,,,Calls,\n",
        "Expiry,Last,Open Int,Strike,Last,Open Int",
        [],
        {"puts_first": True},
        ["kind", "Expiry", "Last", "Open Int", "Strike"],
    ),
    "prefixed": (
        "",
        "Strike,C_Last,C_Open Int,P_Last,P_Open Int",
        ["--expiry", "2026-10-19", "--valuation-date", "2025-12-31"],
        {"expiry": "2026-10-19", "valuation_date": "2025-12-31"},
        ["kind", "Strike", "Last", "Open Int"],
    ),
}


def chain_file(path, layout):
    above, header, *_ = LAYOUTS[layout]
    lines = []
    for row, strike in enumerate(STRIKES):
        sides = {k: f"{exact(strike, k, row)},{OPEN_INTEREST[k]}" for k in VOLS}
        if layout == "prefixed":
            lines.append(f"{strike!r},{sides['call']},{sides['put']}")
        else:
            left, right = ("put", "call") if layout == "puts first" else ("call", "put")
            lines.append(f"{T!r},{sides[left]},{strike!r},{sides[right]}")
    path.write_text(above + header + "\n" + "\n".join(lines) + "\n")
    return path


def as_read(path, layout, reader):
    """The chain as a user reads it into a table: repeated names kept (pyarrow) or
    suffixed (pandas, Polars)."""
    skip = LAYOUTS[layout][0].count("\n")
    if reader == "pandas":
        return pd.read_csv(path, skiprows=skip, dtype=str)
    if reader == "polars":  # Bid_duplicated_0, in string views
        return pytest.importorskip("polars").read_csv(path, skip_rows=skip, infer_schema=False)
    return pyarrow.csv.read_csv(path, read_options=pyarrow.csv.ReadOptions(skip_rows=skip))


# The forward given, or fitted from put-call parity (the chains are priced at
# F = 100, D = 1), with the columns parity appends.
FORWARDS = {"100": (100, []), "parity": ("parity", ["forward", "discount"])}


@pytest.mark.parametrize("forward", FORWARDS)
@pytest.mark.parametrize("reader", ["pyarrow", "pandas", "polars"])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_chains_are_solved_as_one_row_per_option(layout, reader, forward, tmp_path):
    _, _, args, keywords, columns = LAYOUTS[layout]
    given, fitted = FORWARDS[forward]
    book = chain_file(tmp_path / "chain.csv", layout)
    out = tmp_path / "out.csv"
    assert cli.main([str(book), "-o", str(out), "--forward", forward, *args]) == 0
    got = read_out(out)
    assert got.column_names == [*columns, *fitted, *RESULTS]
    kinds = got["kind"].to_pylist()
    assert kinds == ["call", "put"] * len(STRIKES)
    assert [float(k) for k in got["Strike"].to_pylist()] == np.repeat(STRIKES, 2).tolist()
    assert got["Open Int"].to_pylist() == [OPEN_INTEREST[k] for k in kinds]
    want = np.ravel(np.column_stack([VOLS["call"], VOLS["put"]]))
    vol = got["implied_vol"].to_numpy()
    assert np.max(np.abs(vol / want - 1)) < 1e-12
    solved = quelta.solve_table(as_read(book, layout, reader), forward=given, **keywords)
    table = {"pandas": pa.Table.from_pandas, "polars": pa.table}.get(reader, pa.table)(solved)
    assert table["kind"].to_pylist() == kinds
    assert_same_bits(np.asarray(table["implied_vol"], float), vol)


BAD = "Expiry,Last,Open Int,Strike,Last,Open Int\n1,5,1,100,5,1\n"


@pytest.mark.parametrize(
    "header, args, status, message",
    [
        ("Last,Last,Strike,Expiry", [], 1, r"column name 'Last' appears more than once"),
        ("Last,Expiry,Last", [], 1, r"column name 'Last' appears more than once"),
        ("kind,Last,Strike,Expiry,Last", [], 1, r"column name 'Last' appears more than once"),
        ("Bid,Ask,Strike,Bid", [], 1, r"column name 'Bid' appears more than once"),
        (BAD, ["--expiry", "0.5"], 1, r"a constant expiry .* and a expiry column \('Expiry'\)"),
        (BAD, ["--expiry", "2026-02-30"], 2, r"'2026-02-30' is neither years nor a date"),
        ("Last,Strike,Last\n5,100,5\n", ["--expiry", "2026-01-01"], 1, r"a valuation date is"),
    ],
)
def test_what_cannot_be_read_is_refused(header, args, status, message, tmp_path, capsys):
    book = tmp_path / "book.csv"
    book.write_text(header if "\n" in header else header + "\n1,2,100,1\n")
    try:
        code = cli.main([str(book), "-o", str(tmp_path / "out.csv"), "--forward", "100", *args])
    except SystemExit as exc:  # a value the parser refuses: a usage error
        code = exc.code
    err = capsys.readouterr().err
    assert code == status and err.count("error") == 1, err
    assert re.search(message, err.strip().splitlines()[-1]), err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["book.csv"]


@pytest.mark.parametrize("strict", [False, True])
def test_a_chains_unreadable_cells_keep_their_rows_and_the_files_lines(strict, tmp_path, capsys):
    book = chain_file(tmp_path / "chain.csv", "repeated")
    lines = book.read_text().splitlines()
    lines[4] = lines[4].replace(f",{STRIKES[1]!r},", ",,")  # line 5: no strike
    cells = lines[5].split(",")
    cells[4] = "x"  # line 6: the put's Last
    lines[5] = ",".join(cells)
    book.write_text("\n".join(lines) + "\n")
    out = tmp_path / "out.csv"
    code = cli.main([str(book), "-o", str(out), "--forward", "100", *(["--strict"] * strict)])
    outcome = capsys.readouterr()
    if strict:
        assert code == 1 and not out.exists()
        assert outcome.err.startswith(f"quelta: error: {book} line 6: column 'Last': 'x'")
        return
    assert code == 0
    reasons = read_out(out)["reason"].to_pylist()
    assert len(reasons) == 2 * len(STRIKES)
    assert reasons[2:6] == ["not_finite", "not_finite", "ok", "bad_input"]
    assert "column 'Last': 1 unreadable, the first 'x' on line 6" in outcome.out


# ---------------------------------------------------------------- several books as one


def books_of(tmp_path, headers=("strike,kind,price", "strike,kind,price")):
    paths = []
    for kind, header in zip(VOLS, headers):
        rows = [f"{k!r},{kind},{exact(k, kind, i)}" for i, k in enumerate(STRIKES)]
        paths.append(tmp_path / f"{kind}s.csv")
        paths[-1].write_text(header + "\n" + "\n".join(rows) + "\n")
    return paths


@pytest.mark.parametrize("forward", FORWARDS)
@pytest.mark.parametrize("out", ["out.csv", "out.parquet"])
def test_books_are_solved_as_one_file_after_file(out, forward, tmp_path, capsys):
    calls, puts = books_of(tmp_path)
    again = tmp_path / "again.parquet"  # typed columns beside text ones
    pyarrow.parquet.write_table(pyarrow.csv.read_csv(calls), again)
    command = [str(calls), str(puts), str(again)]
    assert (
        cli.main([*command, "-o", str(tmp_path / out), "--forward", forward, "--expiry", repr(T)])
        == 0
    )
    # With parity, one expiry fitted across the books: the calls and the puts of each strike.
    assert capsys.readouterr().out.count("5 pairs used") == (forward == "parity")
    got = (pyarrow.parquet.read_table if out.endswith("parquet") else read_out)(tmp_path / out)
    assert got["kind"].to_pylist() == ["call"] * 5 + ["put"] * 5 + ["call"] * 5
    vol = got["implied_vol"].to_numpy()
    want = np.concatenate([VOLS["call"], VOLS["put"], VOLS["call"]])
    assert np.max(np.abs(vol / want - 1)) < 1e-12
    tables = [pyarrow.csv.read_csv(p) for p in command[:2]] + [pyarrow.parquet.read_table(again)]
    solved = quelta.solve_table(pa.concat_tables(tables), forward=FORWARDS[forward][0], expiry=T)
    for name in ["implied_vol", *FORWARDS[forward][1]]:
        assert_same_bits(solved[name].to_numpy(), got[name].to_numpy())


@pytest.mark.parametrize(
    "headers, extra, message",
    [
        (
            ("strike,kind,price", "Strike,kind,price"),
            [],
            r"puts.csv: its strike is column 'Strike'",
        ),
        (("strike,kind,price", "strike,kind,price,note"), [], r"puts.csv: has a column 'note'"),
        (("strike,kind,price",) * 2, ["-o", "{puts}"], r"-o .*puts.csv is the book being read"),
        (("strike,kind,price",) * 2, ["{calls}"], r"calls.csv is given twice"),
        (("strike,kind,price",) * 2, ["--scheduler", "local:1"], r"--scheduler takes one"),
        (  # fitted from parity as one table: the same header as written, sides alike
            ("Calls,,Puts\nLast,Strike,Last", "Puts,,Calls\nLast,Strike,Last"),
            ["--forward", "parity"],
            r"puts.csv: its chain has the puts before the strike, .*calls.csv's the calls",
        ),
        (
            ("Last,Strike,Last", "C_Last,Strike,P_Last"),
            ["--forward", "parity"],
            r"puts.csv: its header is not .*calls.csv's",
        ),
    ],
)
def test_books_that_cannot_be_one_are_refused(headers, extra, message, tmp_path, capsys):
    calls, puts = books_of(tmp_path, headers)
    before = {p: p.read_bytes() for p in (calls, puts)}
    extra = [a.format(calls=calls, puts=puts) for a in extra]
    if "-o" not in extra:
        extra += ["-o", str(tmp_path / "out.csv")]
    forward = [] if "--forward" in extra else ["--forward", "100"]
    code = cli.main([str(calls), str(puts), *extra, *forward, "--expiry", "1"])
    err = capsys.readouterr().err
    assert code == 1 and len(err.splitlines()) == 1, err
    assert re.search(message, err), err
    assert {p: p.read_bytes() for p in tmp_path.iterdir()} == before


@pytest.mark.parametrize("forward", FORWARDS)
@pytest.mark.parametrize("out", ["out.csv", "out.parquet"])
def test_a_column_that_cannot_be_text_beside_text_is_refused(out, forward, tmp_path, capsys):
    calls, puts = books_of(tmp_path)
    notes = {"calls": pyarrow.array(["x"] * len(STRIKES)), "puts": pyarrow.array([[1]] * 5)}
    paths = []
    for path, side in ((calls, "calls"), (puts, "puts")):
        table = pyarrow.csv.read_csv(path).append_column("note", notes[side])
        if side == "calls":
            pyarrow.csv.write_csv(table, path)
        else:  # a Parquet book's list column, which no CSV cell is
            path = tmp_path / "puts.parquet"
            pyarrow.parquet.write_table(table, path)
        paths.append(str(path))
    before = {p: p.read_bytes() for p in tmp_path.iterdir()}
    code = cli.main([*paths, "--forward", forward, "--expiry", "1", "-o", str(tmp_path / out)])
    err = capsys.readouterr().err
    assert code == 1 and len(err.splitlines()) == 1, err
    assert re.search(r"puts.parquet: column 'note' holds list<.*cannot be text", err), err
    assert {p: p.read_bytes() for p in tmp_path.iterdir()} == before


@pytest.mark.parametrize("forward", FORWARDS)
@pytest.mark.parametrize("strict", [False, True])
def test_messages_name_the_book_and_its_line(strict, forward, tmp_path, capsys):
    calls, puts = books_of(tmp_path)
    puts.write_text(puts.read_text().replace(f",{exact(STRIKES[1], 'put', 1)}\n", ",x\n"))
    output = tmp_path / "out.csv"
    output.write_text("previous results\n")
    command = [str(calls), str(puts), "-o", str(output), "--forward", forward, "--expiry", "1"]
    code = cli.main([*command, *(["--strict"] * strict)])
    out, err = capsys.readouterr()
    if strict:
        assert (
            code == 1
            and err == f"quelta: error: {puts} line 3: column 'price': 'x' is not a number\n"
        )
        assert output.read_text() == "previous results\n"
        assert sorted(p.name for p in tmp_path.iterdir()) == ["calls.csv", "out.csv", "puts.csv"]
    else:
        assert code == 0 and f"the first 'x' on {puts} line 3" in out


def test_a_calls_frame_and_a_puts_frame_need_their_kind_column():
    frames = [pd.DataFrame({"strike": STRIKES, "price": [5.0] * 5}) for _ in VOLS]
    with pytest.raises(BookError, match="missing column kind"):
        quelta.solve_table(pd.concat(frames), forward=100, expiry=1)


@pytest.mark.parametrize("forward", FORWARDS)
@pytest.mark.parametrize("signum, code", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_signal_during_the_second_book_leaves_nothing_behind(signum, code, forward, tmp_path):
    _, puts = books_of(tmp_path)
    (tmp_path / "out.csv").write_text("previous results\n")
    fifo = tmp_path / "more.csv"
    os.mkfifo(fifo)
    command = ["calls.csv", "more.csv", "-o", "out.csv", "--chunk-size", "1"]
    proc = subprocess.Popen(
        [sys.executable, "-P", "-m", "quelta", *command, "--forward", forward, "--expiry", "1"],
        cwd=tmp_path,
        stderr=subprocess.PIPE,
    )
    with open(fifo, "wb") as more:  # opened once quelta opens it to read
        more.write(puts.read_bytes())
        more.flush()  # and kept open: quelta waits for more rows of the second book
        err = signal_once_writing(proc, tmp_path, signum)
    assert proc.returncode == code, err
    assert "nothing written" in err
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "calls.csv",
        "more.csv",
        "out.csv",
        "puts.csv",
    ]
    assert (tmp_path / "out.csv").read_text() == "previous results\n"
