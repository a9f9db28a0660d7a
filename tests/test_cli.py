"""The quelta command line: solving books, its summary and files, and its failures.

Most runs call quelta.cli.main in-process (same code path as the console
script, faster); a few run the real command in a subprocess to check exit
codes and that no traceback reaches the user.
"""

import csv
import importlib.util
import io
import math
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
from pathlib import Path

import mpmath
import numpy as np
import pytest

pytest.importorskip("pyarrow")

import quelta
from quelta import cli

sys.path.insert(0, str(Path(__file__).resolve().parent))
import oracle
from support import assert_same_bits as same_bits
from support import signal_once_writing

SAMPLE = Path(quelta.__file__).with_name("data") / "sample_book.csv"
RESULTS = ["implied_vol", "delta", "gamma", "vega", "reason"]
# The faulty quotes of the sample book, by their note.
SAMPLE_FAULTS = {
    "stale quote: below intrinsic value": "below_intrinsic",
    "price above the forward": "above_maximum",
    "expired option": "non_positive_expiry",
    "missing price": "not_finite",
}


def read_csv(path):
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))
    return rows[0], rows[1:]


def run(capsys, *args):
    code = cli.main(list(args))
    out, err = capsys.readouterr()
    return code, out, err


def max_true_error(summary):
    m = re.search(r"max \|implied_vol/true_vol - 1\| = (\S+) over (\d+) rows", summary)
    assert m, summary
    return float(m.group(1)), int(m.group(2))


# ---------------------------------------------------------------- the sample book


def test_sample_book_prices_are_the_exact_prices_of_its_volatilities():
    header, rows = read_csv(SAMPLE)
    col = {name: header.index(name) for name in header}
    checked = 0
    for row in rows:
        if not row[col["true_vol"]]:
            continue
        F, K, T, D, sigma = (
            float(row[col[c]]) for c in ("forward", "strike", "expiry", "discount", "true_vol")
        )
        with mpmath.workdps(60):
            exact = mpmath.mpf(D) * oracle.black_price_mp(
                F, K, mpmath.mpf(sigma) * mpmath.sqrt(T), row[col["kind"]] == "call"
            )
        assert float(row[col["price"]]) == float(exact), row
        checked += 1
    assert checked >= 100


def test_sample_book_is_solved_and_written(capsys, tmp_path):
    out = tmp_path / "out.csv"
    code, summary, err = run(capsys, "solve", "-o", str(out))
    assert code == 0 and err == ""

    header, rows = read_csv(SAMPLE)
    out_header, out_rows = read_csv(out)
    assert out_header == header + RESULTS
    assert [r[: len(header)] for r in out_rows] == rows

    res = {name: out_header.index(name) for name in out_header}
    faults = {r[res["note"]]: r[res["reason"]] for r in out_rows if r[res["note"]]}
    assert faults == SAMPLE_FAULTS
    assert f"rows: {len(rows)}  solved: {len(rows) - len(faults)}" in summary
    for reason in SAMPLE_FAULTS.values():
        assert re.search(rf"^  {reason} +1  ", summary, re.M), summary

    # Against the exact volatilities of the book.
    solved = [r for r in out_rows if r[res["reason"]] == "ok"]
    vol = np.array([float(r[res["implied_vol"]]) for r in solved])
    true_vol = np.array([float(r[res["true_vol"]]) for r in solved])
    worst = np.max(np.abs(vol / true_vol - 1))
    assert worst < 1e-13
    assert max_true_error(summary) == (float(f"{worst:.1e}"), len(solved))

    # The written numbers are the API's doubles, exactly.
    num = lambda r, c: float(r[res[c]]) if r[res[c]] else math.nan  # noqa: E731
    want = quelta.greeks(
        *(
            np.array([num(r, c) for r in out_rows])
            for c in ("price", "forward", "strike", "expiry")
        ),
        discount=np.array([num(r, "discount") for r in out_rows]),
        kind=[r[res["kind"]] for r in out_rows],
    )
    for name, field in zip(("implied_vol", "delta", "gamma", "vega"), want):
        same_bits(np.array([num(r, name) for r in out_rows]), field)


def command_lines():
    yield pytest.param([sys.executable, "-P", "-m", "quelta"], id="python -m quelta")
    script = shutil.which("quelta", path=str(Path(sys.executable).parent))
    yield pytest.param([script] if script else None, id="quelta")


@pytest.mark.parametrize("command", list(command_lines()))
def test_command_alone_solves_the_sample_book(command, tmp_path):
    if command is None:
        pytest.skip("no quelta console script beside this Python")
    done = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    assert "book: sample book" in done.stdout
    assert max_true_error(done.stdout)[0] < 1e-13
    assert re.search(r"time: .* options/s", done.stdout)
    assert list(tmp_path.iterdir()) == []  # nothing written without -o


def test_command_does_not_import_pandas(tmp_path):
    # pyarrow's conversions import pandas where installed: a quarter of a second per run.
    pytest.importorskip("pandas")
    code = "import sys; from quelta import cli; cli.main([]); print('pandas' in sys.modules)"
    done = subprocess.run(
        [sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True
    )
    assert done.stdout.splitlines()[-1] == "False", done.stderr


def test_chunks_do_not_change_the_output(capsys, tmp_path):
    one, many = tmp_path / "one.csv", tmp_path / "many.csv"
    assert run(capsys, "solve", "-o", str(one))[0] == 0
    assert run(capsys, "solve", "-o", str(many), "--chunk-size", "7")[0] == 0
    assert one.read_bytes() == many.read_bytes()


def test_output_to_stdout_puts_the_summary_on_stderr(capsys):
    code, out, err = run(capsys, "solve", str(SAMPLE), "-o", "-")
    assert code == 0
    table = list(csv.reader(io.StringIO(out)))
    assert table[0][-5:] == RESULTS and len(table) == len(read_csv(SAMPLE)[1]) + 1
    assert "rows:" in err and "output: standard output" in err


# ---------------------------------------------------------------- other books


def write(path, text, encoding="utf-8"):
    path.write_bytes(text.encode(encoding) if isinstance(text, str) else text)
    return path


@pytest.mark.parametrize(
    "header, kinds, delimiter",
    [
        (["Premium", "FWD", "Strike Price", "TTM", "Rate", "Call-Put"], ["C", "P", "c"], ";"),
        (["price", "f", "k", "t", "r", "is_call"], ["1", "0", "true"], ","),
        (["MID", "Forward", "K", "Maturity", "interest_rate", "Type"], ["call", "put", "1"], "\t"),
    ],
)
def test_column_aliases_and_delimiters(header, kinds, delimiter, capsys, tmp_path):
    price, F, K, T, r = (
        [2.5, 11.0, 0.8],
        [100.0, 100.0, 95.0],
        [105.0, 110.0, 120.0],
        [0.5, 1.0, 2.0],
        [0.01, 0.02, -0.005],
    )
    lines = [delimiter.join(header)] + [
        delimiter.join(map(str, row)) for row in zip(price, F, K, T, r, kinds)
    ]
    book = write(tmp_path / "book.csv", "\n".join(lines) + "\n")
    out = tmp_path / "out.csv"
    code, summary, err = run(capsys, "solve", str(book), "-o", str(out))
    assert code == 0, err
    assert "solved: 3" in summary
    with open(out, newline="") as f:
        table = list(csv.reader(f, delimiter=delimiter))
    want = quelta.implied_volatility(price, F, K, T, rate=r, kind=[True, False, True])
    same_bits(np.array([float(row[len(header)]) for row in table[1:]]), want)


@pytest.mark.parametrize(
    "greeks, appended",
    [
        ([], ["delta", "gamma", "vega"]),
        (["--greeks", "all"], ["delta", "gamma", "vega", "theta", "rho", "vanna", "volga"]),
        (["--greeks", "volga, Delta"], ["delta", "volga"]),
    ],
)
def test_greeks_option_chooses_the_greeks_of_a_spot_book(greeks, appended, capsys, tmp_path):
    S, K, T, q = [4500.0, 4500.0], [4200.0, 4800.0], [0.5, 1.0], [0.01, 0.0]
    price, kinds = [390.0, 140.0], ["C", "P"]
    lines = ["Underlying,Strike,T,cp,price,r,div"] + [
        ",".join(map(str, row)) for row in zip(S, K, T, kinds, price, [0.04] * 2, q)
    ]
    book = write(tmp_path / "book.csv", "\n".join(lines) + "\n")
    out = tmp_path / "out.csv"
    code, summary, err = run(capsys, "solve", str(book), "-o", str(out), *greeks)
    assert code == 0 and "solved: 2" in summary, err
    assert "spot='Underlying'" in summary and "dividend_yield='div'" in summary
    header, rows = read_csv(out)
    assert header[7:] == ["implied_vol", *appended, "reason"]
    want = quelta.greeks(
        price, strike=K, expiry=T, spot=S, rate=0.04, dividend_yield=q, kind=["call", "put"]
    )
    for i, name in enumerate(header[7:-1], start=7):
        same_bits(
            np.array([float(r[i]) for r in rows]),
            getattr(want, "vol" if name == "implied_vol" else name),
        )


def test_fields_that_need_quotes_survive(capsys, tmp_path):
    rows = [
        ["5.0", "100", "100", "1", "call", "plain"],
        ["5.5", "100", "100", "1", "call", 'with "quotes"'],
        ["6.0", "100", "100", "1", "put", "a, b"],
        ["6.5", "100", "100", "1", "put", "two\nlines"],
        ["6.7", "100", "100", "1", "put", "cr\r\nlf and a lone\rcr"],
        ["7.0", "100", "100", "1", "call", ""],
    ]
    book = tmp_path / "book.csv"
    with open(book, "w", newline="") as f:
        csv.writer(f).writerows([["price", "forward", "strike", "expiry", "kind", "note"], *rows])
    out = tmp_path / "out.csv"
    for chunk in ("1", "2", "100"):
        assert run(capsys, "solve", str(book), "-o", str(out), "--chunk-size", chunk)[0] == 0
        _header, got = read_csv(out)
        assert [r[:6] for r in got] == rows
        same_bits(
            [float(r[6]) for r in got],
            quelta.implied_volatility([float(r[0]) for r in rows], 100.0, 100.0, 1.0),
        )
    assert oct(out.stat().st_mode & 0o777) == oct(0o666 & ~current_umask())


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_header_only_book(capsys, tmp_path):
    book = write(tmp_path / "book.csv", "price,forward,strike,expiry,kind\n")
    out = tmp_path / "out.csv"
    code, summary, _ = run(capsys, "solve", str(book), "-o", str(out))
    assert code == 0 and "rows: 0" in summary
    assert read_csv(out) == (["price", "forward", "strike", "expiry", "kind", *RESULTS], [])


def test_empty_cells_are_missing_values(capsys, tmp_path):
    book = write(
        tmp_path / "book.csv",
        "price,forward,strike,expiry,kind\n5.0,100,100,1,call\n,100,100,1,put\n5.0,,100,1,call\n",
    )
    code, summary, _ = run(capsys, "solve", str(book))
    assert code == 0
    assert re.search(r"^  not_finite +2  ", summary, re.M)


# ---------------------------------------------------------------- failures

GOOD = "price,forward,strike,expiry,kind\n5.0,100,100,1,call\n"


@pytest.mark.parametrize(
    "content, extra, message",
    [
        (None, [], r"book\.csv: no such file"),
        ("", [], r"book\.csv: empty"),
        (
            "price,forward,expiry,kind\n5,100,1,call\n",
            [],
            r"missing column strike \(accepted names: strike, k, strike_price, strikeprice\)",
        ),
        ("premium,fwd,expiry\n5,100,1\n", [], r"missing columns strike, kind"),
        (
            GOOD + "abc,100,100,1,call\n",
            [],
            r"book\.csv line 3: column 'price': 'abc' is not a number",
        ),
        (GOOD + "5.0,100,100,1\n", [], r"line 3: 4 fields, expected 5"),
        (GOOD + '5.0,"100,100,1,call\n', [], r"line 3: a quote opened in this row is not closed"),
        (GOOD + '5.0,"100"x,100,1,call\n', [], r"line 3: column 'forward': '100x' is not a"),
        (GOOD + "5.0,100,100,1,straddle\n", [], r"line 3: unknown option kind 'straddle'"),
        ("price,forward,strike,expiry,is_call\n5,100,100,1,-1\n", [], r"unknown option kind '-1'"),
        (GOOD.encode() + b"5.0,100,\xff\xfe,1,call\n", [], r"not a UTF-8 text file"),
        (
            "price,forward,strike,expiry,kind,df,rate\n",
            [],
            r"both a discount column \('df'\) and a rate",
        ),
        ("price,forward,strike,expiry,kind,Delta\n", [], r"already has a column 'Delta'"),
        (GOOD, ["-o", "{tmp}/no/such/dir/out.csv"], r"cannot write .*out\.csv"),
        (GOOD, ["--chunk-size", "0"], r"--chunk-size must be at least 1"),
        ("price,forward,strike,expiry,kind,price\n", [], r"column name 'price' appears more"),
        (
            "price,forward,strike,expiry,kind\n5,100,100,2026-01-02,call\n",
            [],
            r"column 'expiry' holds dates, so a valuation date is needed",
        ),
        (GOOD, ["-o", "{tmp}/no/../book.csv"], r"-o \S+ is the book being read"),
        (GOOD, ["--plot", "{tmp}/book.csv"], r"--plot \S+ is the book being read"),
        (GOOD, ["-o", "{tmp}/out.csv", "--plot", "{tmp}/./out.csv"], r"are the same file"),
        (GOOD, ["--plot", "{tmp}/smile.gif"], r"smile\.gif: unknown image format"),
        (
            "price,fwd,spot,strike,expiry,kind,rate\n",
            [],
            r"both a forward column \('fwd'\) and a spot column \('spot'\)",
        ),
        (
            "price,forward,strike,expiry,kind,Theta\n",
            ["--greeks", "all", "-o", "{tmp}/out.csv"],
            r"already has a column 'Theta'",
        ),
    ],
    ids=[
        "missing file",
        "empty",
        "missing column",
        "missing columns",
        "bad number",
        "short row",
        "unclosed quote",
        "bad quoting",
        "unknown kind",
        "bad is_call",
        "not utf-8",
        "discount and rate",
        "result column taken",
        "output dir",
        "chunk size",
        "duplicated column",
        "dates without valuation date",
        "output is the book",
        "plot is the book",
        "plot is the output",
        "plot format",
        "forward and spot",
        "greek column taken",
    ],
)
def test_bad_input_is_one_line_and_writes_nothing(content, extra, message, capsys, tmp_path):
    book = tmp_path / "book.csv"
    if content is not None:
        write(book, content)
    out = tmp_path / "out.csv"
    write(out, "previous results\n")
    plot = ["--plot", str(tmp_path / "smile.png")] if importlib.util.find_spec("matplotlib") else []
    args = [a.format(tmp=tmp_path) for a in extra] or ["-o", str(out)]
    before = sorted(p.name for p in tmp_path.iterdir())
    code, stdout, err = run(
        capsys, "solve", "--strict", "--chunk-size", "1", str(book), *plot, *args
    )
    assert code == 1
    assert stdout == ""
    assert len(err.splitlines()) == 1 and err.startswith("quelta: error: "), err
    assert re.search(message, err), err
    assert sorted(p.name for p in tmp_path.iterdir()) == before
    assert out.read_text() == "previous results\n"


def test_directory_as_book(capsys, tmp_path):
    code, _, err = run(capsys, "solve", str(tmp_path))
    assert code == 1 and "is a directory" in err and len(err.splitlines()) == 1


def test_failure_in_a_real_process_has_no_traceback(tmp_path):
    write(tmp_path / "book.csv", GOOD + "5.0,100,100,one,call\n")
    done = subprocess.run(
        [sys.executable, "-P", "-m", "quelta", "solve", "book.csv", "-o", "out.csv", "--strict"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 1
    assert done.stderr == (
        "quelta: error: book.csv line 3: column 'expiry': 'one' is neither a "
        "number of years nor a date\n"
    )
    assert sorted(p.name for p in tmp_path.iterdir()) == ["book.csv"]


def test_bad_command_line_exits_2(capsys):
    with pytest.raises(SystemExit) as exit_:
        cli.main(["solve", "--no-such-option"])
    assert exit_.value.code == 2


# ---------------------------------------------------------------- progress bar


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_bar_only_on_a_terminal(capsys, monkeypatch):
    assert run(capsys, "solve", "--chunk-size", "10")[2] == ""
    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    assert cli.main(["solve", "--chunk-size", "10"]) == 0
    last = terminal.getvalue().split("\r")[-1]
    rows = len(read_csv(SAMPLE)[1])
    assert re.search(rf"100%.*\b{rows}/{rows} rows \[.*<00:00, .* rows/s\]", last), last


# ---------------------------------------------------------------- plot


@pytest.mark.parametrize(
    "name, magic, extra",
    [
        ("smile.png", b"\x89PNG\r\n\x1a\n", []),
        ("smile.svg", b"<?xml", ["--plot-all"]),
        ("smile.PDF", b"%PDF", []),
    ],
)
def test_plot_format_follows_the_extension(name, magic, extra, capsys, tmp_path):
    pytest.importorskip("matplotlib")
    image = tmp_path / name
    code, summary, _ = run(capsys, "solve", "--plot", str(image), *extra)
    assert code == 0 and f"plot: {image}" in summary
    assert image.read_bytes().startswith(magic)
    assert sorted(p.name for p in tmp_path.iterdir()) == [name]


def test_plot_without_matplotlib_names_the_extra(capsys, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    out = tmp_path / "out.csv"
    code, _, err = run(capsys, "solve", "-o", str(out), "--plot", str(tmp_path / "s.png"))
    assert code == 1
    assert err == "quelta: error: --plot needs matplotlib: pip install 'quelta[plot]'\n"
    assert list(tmp_path.iterdir()) == []


def test_without_pyarrow_the_command_names_the_extra(capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    monkeypatch.delitem(sys.modules, "quelta.book", raising=False)
    monkeypatch.delattr(quelta, "book", raising=False)
    code, out, err = run(capsys, "solve")
    assert (code, out) == (1, "")
    assert err == "quelta: error: quelta needs pyarrow to read books: pip install 'quelta[cli]'\n"


def test_environment_without_a_terminal_locale(tmp_path):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("LC_", "LANG"))}
    env.update(LC_ALL="C", PYTHONIOENCODING="ascii")
    done = subprocess.run(
        [sys.executable, "-P", "-m", "quelta"],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr


# ---------------------------------------------------------------- streams and formats


def quelta_process(*args, **kw):
    return subprocess.run(
        [sys.executable, "-P", "-m", "quelta", *map(str, args)],
        capture_output=True,
        timeout=60,
        **kw,
    )


def test_standard_input_and_output_and_the_short_form():
    want = quelta_process("solve", SAMPLE, "-o", "-")
    assert want.returncode == 0 and want.stdout.startswith(b"expiry,")
    for args, stdin in [(["-"], SAMPLE.read_bytes()), ([SAMPLE, "-o", "-"], b"")]:
        got = quelta_process(*args, input=stdin)
        assert got.returncode == 0, got.stderr
        assert got.stdout == want.stdout
        assert b"rows: 123" in got.stderr


@pytest.mark.parametrize(
    "source, target", [("csv", "parquet"), ("parquet", "csv"), ("parquet", "parquet")]
)
def test_parquet_books_give_the_csv_results(source, target, capsys, tmp_path):
    import pyarrow.csv as pa_csv
    import pyarrow.parquet as pq

    book = SAMPLE
    if source == "parquet":
        book = tmp_path / "book.parquet"
        pq.write_table(pa_csv.read_csv(SAMPLE), book)
    out = tmp_path / f"out.{target}"
    assert run(capsys, book.as_posix(), "-o", str(out), "--chunk-size", "50")[0] == 0
    got = pq.read_table(out) if target == "parquet" else pa_csv.read_csv(out)
    want = pa_csv.read_csv(SAMPLE)
    g = quelta.greeks(
        *(want.column(c).to_numpy() for c in ("price", "forward", "strike", "expiry")),
        discount=want.column("discount").to_numpy(),
        kind=want.column("kind").to_numpy(zero_copy_only=False),
    )
    for name, field in zip(RESULTS[:4], g):
        same_bits(got.column(name).to_numpy(zero_copy_only=False), field)
    assert got.column("reason").to_pylist()[-4:] == list(SAMPLE_FAULTS.values())


def test_bad_rows_do_not_sink_the_book_unless_strict(capsys, tmp_path):
    book = write(
        tmp_path / "book.csv",
        GOOD + "abc,100,100,1,call\n5,100,100,1,straddle\n"
        "#N/A,100,100,1,put\n" + GOOD.splitlines()[1] + "\n",
    )
    out = tmp_path / "out.csv"
    code, summary, err = run(capsys, str(book), "-o", str(out))
    assert code == 0 and err == ""
    assert [r[-1] for r in read_csv(out)[1]] == ["ok", "bad_input", "bad_input", "not_finite", "ok"]
    assert re.search(r"^  bad_input +2  ", summary, re.M)
    assert re.search(r"^  not_finite +1  ", summary, re.M)
    # With standard output, what was written before the failure is said.
    code, stdout, err = run(capsys, str(book), "-o", "-", "--strict", "--chunk-size", "1")
    assert code == 1 and stdout.count("\n") == 2
    assert err == (
        "quelta: error: " + str(book) + " line 3: column 'price': 'abc' is not a "
        "number; standard output already had part of the results\n"
    )


def test_rates_in_percent_draw_a_warning(capsys, tmp_path):
    book = write(
        tmp_path / "book.csv",
        "price,forward,strike,expiry,kind,rate\n5,100,100,1,call,5\n5,100,100,1,call,2%\n",
    )
    code, summary, err = run(capsys, str(book))
    assert code == 0 and "rows: 2" in summary
    assert err == (
        "quelta: warning: column 'rate' has rates above 1: rates are fractions "
        "(0.05 for 5%); percentages need a % sign\n"
    )


# ---------------------------------------------------------------- safe outputs


def test_outputs_that_are_not_plain_files_are_written_in_place(capsys, tmp_path):
    import threading

    pytest.importorskip("matplotlib")

    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()), daemon=True)
    reader.start()
    kept = tmp_path / "kept.csv"
    write(kept, "old\n")
    kept.chmod(0o640)
    assert run(capsys, "-o", str(fifo), "--plot", str(kept) + ".png")[0] == 0
    reader.join(timeout=30)
    assert received and received[0].startswith(b"expiry,")
    assert stat.S_ISFIFO(fifo.stat().st_mode)
    assert run(capsys, "-o", str(kept))[0] == 0
    assert oct(kept.stat().st_mode & 0o777) == oct(0o640)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fifo", "kept.csv", "kept.csv.png"]


def big_book(path, rows=3000):
    lines = [GOOD.splitlines()[0]] + [f"{5 + i % 7},100,100,1,call" for i in range(rows)]
    return write(path, "\n".join(lines) + "\n")


def limit_file_size():
    import resource

    resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))


@pytest.mark.parametrize(
    "target, message",
    [
        ("/dev/full", "cannot write /dev/full: No space left on device"),
        ("out.csv", "cannot write out.csv: File too large"),
        ("-", "cannot write standard output: Broken pipe"),
    ],
)
def test_write_errors_are_one_line(target, message, tmp_path):
    if not os.path.exists("/dev/full") and target == "/dev/full":
        pytest.skip("no /dev/full")
    big_book(tmp_path / "book.csv")
    command = [sys.executable, "-P", "-m", "quelta", "book.csv", "-o", target]
    if target == "-":  # a reader that goes away after the first bytes
        proc = subprocess.Popen(
            command, cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE
        )
        with proc:
            proc.stdout.read(10)
            proc.stdout.close()
            err = proc.stderr.read().decode()
            code = proc.wait(timeout=60)
    else:
        done = subprocess.run(
            command,
            cwd=tmp_path,
            capture_output=True,
            text=True,
            timeout=60,
            preexec_fn=limit_file_size,
        )
        code, err = done.returncode, done.stderr
    assert code == 1
    assert err == f"quelta: error: {message}\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["book.csv"]
    if target.startswith("/dev/"):
        assert stat.S_ISCHR(os.stat(target).st_mode)


@pytest.mark.parametrize("name", ["out.csv", "out.parquet"])
@pytest.mark.parametrize(
    "signum, code, word",
    [
        (signal.SIGINT, 130, "interrupted"),
        (signal.SIGTERM, 143, "terminated"),
        (signal.SIGHUP, 129, "hung up"),
    ],
)
def test_signals_remove_the_temporary_file(signum, code, word, name, tmp_path):
    write(tmp_path / name, "previous results\n")
    proc = subprocess.Popen(
        [sys.executable, "-P", "-m", "quelta", "-", "-o", name, "--chunk-size", "1"],
        cwd=tmp_path,
        stdin=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    proc.stdin.write(GOOD.encode())
    proc.stdin.flush()  # and kept open: quelta waits for more rows
    err = signal_once_writing(proc, tmp_path, signum)
    assert proc.returncode == code
    assert err.strip() == f"quelta: {word}; nothing written"
    assert sorted(p.name for p in tmp_path.iterdir()) == [name]
    assert (tmp_path / name).read_text() == "previous results\n"
