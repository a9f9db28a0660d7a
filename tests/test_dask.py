"""quelta on Dask: DataFrames, arrays and the command on a cluster of worker processes.

A LocalCluster of two worker processes on loopback is started for the module
and stopped after it. Every result is compared bit for bit with the same rows
solved on one machine, by the single-machine command or by the NumPy and
pandas functions.
"""

import contextlib
import logging
import os
import signal
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("pyarrow")
pytest.importorskip("pandas")
pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import dask.array as da  # noqa: E402
import dask.dataframe as dd  # noqa: E402
import pyarrow as pa  # noqa: E402
import pyarrow.csv  # noqa: E402
import pyarrow.dataset  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

import quelta  # noqa: E402
import quelta._dataset  # noqa: E402
import quelta.dask  # noqa: E402
from quelta import cli  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
from support import assert_same_bits, black_price, mixed_rates_book  # noqa: E402

RESULTS = ["implied_vol", "delta", "gamma", "vega", "reason"]


@pytest.fixture(scope="module")
def client():
    with (
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address="127.0.0.1:0",
            scheduler_kwargs={"dashboard": False},
            silence_logs=logging.CRITICAL,
        ) as cluster,
        distributed.Client(cluster) as c,
    ):
        yield c


def _book(n, seed):
    """Options priced from random volatilities, with a few unsolvable quotes."""
    rng = np.random.default_rng(seed)
    forward = 100.0 * np.exp(rng.normal(0.0, 0.3, n))
    strike = forward * np.exp(rng.uniform(-1.0, 1.0, n))
    expiry = rng.uniform(0.02, 3.0, n)
    call = rng.random(n) < 0.5
    vol = rng.uniform(0.05, 1.0, n)
    discount = rng.uniform(0.8, 1.0, n)
    price = discount * black_price(forward, strike, vol * np.sqrt(expiry), call)
    price[::97] *= -1.0
    expiry[::89] = 0.0
    price[::83] = np.nan
    return pa.table(
        {
            "price": price,
            "forward": forward,
            "strike": strike,
            "expiry": expiry,
            "kind": np.where(call, "call", "put"),
            "discount": discount,
            "true_vol": vol,
        }
    )


def _dataset(root):
    """Parquet files (one of many row groups, one without rows) and CSV files with unreadable
    cells: each column of the books is text in some files and numbers in others."""
    root.mkdir()
    (root / "2024").mkdir()
    pq.write_table(_book(700, 1), root / "2024" / "a.parquet", row_group_size=100)
    pq.write_table(_book(300, 2), root / "2024" / "b.parquet")
    pq.write_table(_book(0, 5), root / "2024" / "empty.parquet")
    for i, name in enumerate(["c.csv", "d.csv"]):
        text = _book(250, 3 + i).to_pandas().to_csv(index=False).splitlines()
        text[5] = text[5].replace(",call,", ",cal,").replace(",put,", ",pu,")
        text[9] = "abc" + text[9][text[9].index(",") :]
        (root / name).write_text("\n".join(text) + "\n")
    return sorted(str(p) for p in root.rglob("*.*"))


def _single_machine(capsys, files, tmp_path, greeks=()):
    """The single-machine command's output for each file, in order, as one table."""
    tables = []
    for i, f in enumerate(files):
        out = tmp_path / f"single-{i}.parquet"
        assert cli.main(["solve", f, "-o", str(out), *greeks]) == 0
        tables.append(pq.read_table(out))
    capsys.readouterr()
    return tables


def _assert_same_tables(got, want):
    assert got.schema.names == want.schema.names
    for name in got.schema.names:
        g, w = got.column(name), want.column(name)
        if name not in RESULTS and g.type != w.type:  # text in another file of the dataset
            w = w.cast(g.type)
        assert g.type == w.type, name
        if pa.types.is_floating(g.type):
            assert g.is_null().equals(w.is_null()), name
            assert_same_bits(g.fill_null(0.0).to_numpy(), w.fill_null(0.0).to_numpy())
        else:
            assert g.equals(w), name


@pytest.mark.parametrize(
    "kill_a_worker, greeks",
    [(False, []), (True, []), (False, ["--greeks", "all"]), (False, ["--greeks", "vanna,rho"])],
)
def test_cluster_result_equals_the_single_machine_solve(
    kill_a_worker, greeks, client, capsys, tmp_path, monkeypatch
):
    files = _dataset(tmp_path / "ds")
    want = _single_machine(capsys, files, tmp_path, greeks)
    monkeypatch.setattr(quelta._dataset, "PIECE_ROWS", 250)  # a.parquet in three parts
    out = tmp_path / "out"
    if kill_a_worker:
        marker = tmp_path / "killed"

        def arm(marker=str(marker)):
            # On the third batch a worker solves, the first worker to get
            # there dies at once, in the middle of writing its part.
            import quelta.book as books

            solve_batch, calls = books.solve_batch, [0]

            def dying(*args, **kwargs):
                calls[0] += 1
                if calls[0] == 3:
                    try:
                        os.close(os.open(marker, os.O_CREAT | os.O_EXCL))
                    except FileExistsError:
                        pass
                    else:
                        os.kill(os.getpid(), signal.SIGKILL)
                return solve_batch(*args, **kwargs)

            books.solve_batch = dying

        client.run(arm)
        scheduler = client.scheduler.address
    else:
        scheduler = "local:2"
    code = cli.main(
        [
            "solve",
            str(tmp_path / "ds"),
            "-o",
            str(out),
            "--scheduler",
            scheduler,
            "--chunk-size",
            "40",
            *greeks,
        ]
    )
    summary, err = capsys.readouterr()
    assert code == 0, err
    if kill_a_worker:
        assert (tmp_path / "killed").exists()
    parts = [f"part-{i:05d}.parquet" for i in range(7)]
    assert sorted(os.listdir(out)) == [quelta.dask.MARK, *parts]
    got = [pq.read_table(out / name) for name in parts]
    whole_a = pa.concat_tables(got[:3])
    for g, w in zip([whole_a, *got[3:]], want, strict=True):
        _assert_same_tables(g, w)
    # One dataset: one schema for all parts, every row once and in order.
    whole = pyarrow.dataset.dataset(out, format="parquet").to_table()
    _assert_same_tables(whole, pa.concat_tables([w.cast(whole.schema) for w in want]))
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []
    reasons = pa.chunked_array([w.column("reason") for w in want]).value_counts()
    assert f"rows: {sum(len(w) for w in want):,}" in summary
    for r in reasons.to_pylist():
        if r["values"] != "ok":
            assert f"  {r['values']:<20} {r['counts']:>9,}  " in summary


def test_a_chain_fitted_from_parity_is_one_part_however_many_row_groups(
    client, capsys, tmp_path, monkeypatch
):
    from importlib.resources import files

    import pyarrow.csv as pacsv

    chain = pacsv.read_csv(str(files("quelta") / "data" / "parity_chain.csv"))
    pq.write_table(chain, tmp_path / "chain.parquet", row_group_size=4)
    monkeypatch.setattr(quelta._dataset, "PIECE_ROWS", 4)  # six parts, were it cut
    one, out = tmp_path / "one.parquet", tmp_path / "out"
    args = ["--forward", "parity", "--valuation-date", "2025-06-20"]
    assert cli.main(["solve", str(tmp_path / "chain.parquet"), "-o", str(one), *args]) == 0
    dataset = ["solve", str(tmp_path / "chain.parquet"), "-o", str(out), *args]
    assert cli.main([*dataset, "--scheduler", client.scheduler.address]) == 0
    assert "chain.parquet: expiry 2025-12-19 (SPXW): F = 5031.25" in capsys.readouterr().out
    assert sorted(os.listdir(out)) == [quelta.dask.MARK, "part-00000.parquet"]
    _assert_same_tables(pq.read_table(out / "part-00000.parquet"), pq.read_table(one))


@pytest.mark.parametrize(
    "fault, message",
    [
        ("strict", ".csv row 5: unknown option kind"),
        ("no_strike", "e.parquet: missing column strike"),
        ("model", "e.parquet: a model (--model, model=) and a model column ('model')"),
    ],
)
def test_a_failed_run_leaves_no_output(fault, message, client, capsys, tmp_path):
    _dataset(tmp_path / "ds")
    args = []
    if fault == "strict":
        args = ["--strict"]
    elif fault == "model":
        args = ["--model", "normal"]
        model = pa.array(["normal"] * 50)
        pq.write_table(_book(50, 9).append_column("model", model), tmp_path / "ds" / "e.parquet")
    else:
        pq.write_table(_book(50, 9).drop_columns(["strike"]), tmp_path / "ds" / "e.parquet")
    earlier = tmp_path / "out" / "part-00000.parquet"  # the result of an earlier run
    earlier.parent.mkdir()
    earlier.write_bytes(b"earlier")
    (earlier.parent / quelta.dask.MARK).write_bytes(b"")
    before = sorted(os.listdir(tmp_path))
    code = cli.main(
        [
            "solve",
            str(tmp_path / "ds"),
            "-o",
            str(earlier.parent),
            "--scheduler",
            client.scheduler.address,
            *args,
        ]
    )
    _out, err = capsys.readouterr()
    assert code == 1
    assert message in err and err.count("\n") == 1, err
    assert sorted(os.listdir(tmp_path)) == before
    assert sorted(os.listdir(earlier.parent)) == [quelta.dask.MARK, earlier.name]
    assert earlier.read_bytes() == b"earlier"


@pytest.mark.parametrize(
    "args", [["--model", "normal"], ["--shift", "0.02"], [], ["--shift", "0.01"]]
)
def test_the_models_on_the_cluster_equal_the_single_machine_solve(args, client, capsys, tmp_path):
    """A rates dataset (CSV and Parquet of many row groups) under one model or,
    without --model, its model column: the rows of the single-machine command."""
    root = tmp_path / "ds"
    root.mkdir()
    for i in range(2):
        cols = mixed_rates_book(300, 20 + i, quelta.book.MODEL_NAMES)
        del cols["normal"]
        if args[:1] == ["--model"] or args == ["--shift", "0.02"]:
            del cols["model"], cols["shift"]
        elif args:  # a model column, and a shift for its Black rows
            del cols["shift"]
        if i:
            pq.write_table(pa.table(cols), root / "a.parquet", row_group_size=70)
        else:
            pa.csv.write_csv(pa.table(cols), root / "b.csv")
    files = sorted(str(p) for p in root.iterdir())
    greeks = ["--greeks", "all", *args]
    want = _single_machine(capsys, files, tmp_path, greeks)
    out = tmp_path / "out"
    command = [str(root), "-o", str(out), "--scheduler", client.scheduler.address, *greeks]
    assert cli.main(["solve", *command, "--chunk-size", "90"]) == 0, capsys.readouterr().err
    got = [pq.read_table(p) for p in sorted(out.glob("part-*.parquet"))]
    for g, w in zip(got, want, strict=True):
        _assert_same_tables(g, w)
    assert sum(w["reason"].to_pylist().count("ok") for w in want) > 300


@pytest.mark.parametrize("greeks", [{}, {"greeks": "all"}, {"greeks": ["volga"]}])
def test_dataframe_partitions_equal_solve_table(greeks, client):
    frame = _book(1000, 7).to_pandas()
    frame.loc[3, "price"] = None
    lazy = quelta.dask.solve(dd.from_pandas(frame, npartitions=4), **greeks)
    want = quelta.solve_table(frame, **greeks)
    got = lazy.compute()
    assert list(got.columns) == list(want.columns)
    assert list(lazy.dtypes) == list(got.dtypes)
    for name in want.columns[len(frame.columns) : -1]:
        assert_same_bits(got[name].to_numpy(), want[name].to_numpy())
    assert got["reason"].tolist() == want["reason"].tolist()


@pytest.mark.parametrize("underlying", ["forward", "spot"])
@pytest.mark.parametrize("function", ["implied_volatility", "greeks"])
def test_arrays_blockwise_equal_numpy(function, underlying, client):
    t = _book(900, 8).to_pandas()
    price = t["price"].to_numpy().reshape(30, 30)
    strike = t["strike"].to_numpy().reshape(30, 30)
    forward = t["forward"].to_numpy()[:30]  # broadcast along the rows
    kind = np.where(t["kind"].to_numpy()[:30] == "call", "call", "put")[:, None]
    kwargs = {"kind": kind, "rate": 0.03}
    lazy_forward = da.from_array(forward, chunks=13)
    if underlying == "spot":  # the same numbers as a spot, with a yield in chunks of its own
        q = np.linspace(0.0, 0.04, 30)
        kwargs["dividend_yield"] = da.from_array(q, chunks=9)
        want_kwargs = {**kwargs, "spot": forward, "dividend_yield": q}
        kwargs["spot"], forward, lazy_forward = lazy_forward, None, None
    else:
        want_kwargs = kwargs
    args = (price, forward, strike, 0.75)
    lazy_args = (da.from_array(price, chunks=(7, 11)), lazy_forward, strike, 0.75)
    if function == "implied_volatility":
        want = quelta.implied_volatility(*args, **want_kwargs, reason=True)
        got = quelta.dask.implied_volatility(*lazy_args, **kwargs, reason=True)
    else:
        want = quelta.greeks(*args, **want_kwargs)
        got = quelta.dask.greeks(*lazy_args, **kwargs)
    got = da.compute(*got)
    for g, w in zip(got, want):
        assert g.dtype == w.dtype
        if w.dtype == np.int8:
            np.testing.assert_array_equal(g, w)
        else:
            assert_same_bits(g, w)
    codes = want.reason if function == "greeks" else want[1]
    assert 300 < np.count_nonzero(codes == quelta.Reason.OK) < 900  # both kinds of rows


def _slow_dataset(root, files=2, rows=20_000):
    root.mkdir()
    for i in range(files):
        lines = ["price,forward,strike,expiry,kind"]
        lines += [f"{5 + j % 7},100,100,1,call" for j in range(rows)]
        (root / f"{i}.csv").write_text("\n".join(lines) + "\n")


@pytest.mark.parametrize("when", ["starting", "solving"])
@pytest.mark.parametrize(
    "signum, code, word",
    [
        (signal.SIGINT, 130, "interrupted"),
        (signal.SIGTERM, 143, "terminated"),
        (signal.SIGHUP, 129, "hung up"),
    ],
)
def test_signals_leave_no_temporary_directory_and_the_old_result(
    signum, code, word, when, tmp_path
):
    import subprocess
    import time

    _slow_dataset(tmp_path / "ds")
    out = tmp_path / "out"  # an earlier result of quelta, to be kept as it was
    out.mkdir()
    (out / "part-00000.parquet").write_bytes(b"earlier")
    (out / quelta.dask.MARK).write_bytes(b"")
    before = {p.name: p.read_bytes() for p in out.iterdir()}
    # In a session of its own, and signalled as a terminal does: the whole process group.
    proc = subprocess.Popen(
        [
            sys.executable,
            "-P",
            "-m",
            "quelta",
            "ds",
            "-o",
            "out",
            "--scheduler",
            "local:1",
            "--chunk-size",
            "20",
        ],
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        start_new_session=True,
    )

    def started():
        if when == "starting":  # a worker process is being made (by any of the threads)
            children = [
                c
                for t in Path(f"/proc/{proc.pid}/task").iterdir()
                for c in (t / "children").read_text().split()
            ]
            with contextlib.suppress(FileNotFoundError):
                return any("spawn_main" in Path(f"/proc/{c}/cmdline").read_text() for c in children)
            return False
        return any(
            p.name.startswith(".part-")
            for tmp in tmp_path.glob(".out.*.tmp")
            for p in tmp.iterdir()
        )

    deadline = time.monotonic() + 60
    while not started():
        assert proc.poll() is None and time.monotonic() < deadline
        time.sleep(0.01)
    os.killpg(proc.pid, signum)
    with proc:
        stdout, err = proc.communicate(timeout=60)
    assert proc.returncode == code, err
    assert err.decode().strip() == f"quelta: {word}; nothing written"
    assert stdout == b""
    assert sorted(p.name for p in tmp_path.iterdir()) == ["ds", "out"]
    assert {p.name: p.read_bytes() for p in out.iterdir()} == before


def test_a_glob_never_reads_an_earlier_result_back(client, capsys, tmp_path):
    _dataset(tmp_path / "ds")
    pattern = str(tmp_path / "ds" / "**" / "*.parquet")
    out = tmp_path / "ds" / "solved"  # matched by the glob once written
    counts = []
    for _ in range(2):
        assert cli.main([pattern, "-o", str(out), "--scheduler", client.scheduler.address]) == 0
        counts.append(pyarrow.dataset.dataset(out, format="parquet").count_rows())
        assert "(3 files, 3 parts)" in capsys.readouterr().out
    assert counts == [1000, 1000]


def test_a_failed_swap_puts_the_earlier_result_back(client, capsys, tmp_path, monkeypatch):
    _slow_dataset(tmp_path / "ds", files=1, rows=50)
    out = tmp_path / "out"
    command = ["ds", "-o", "out", "--scheduler", client.scheduler.address]
    monkeypatch.chdir(tmp_path)
    assert cli.main(command) == 0
    before = {p.name: p.read_bytes() for p in out.iterdir()}
    rename = os.rename

    def failing(src, dst):  # the new result cannot take the place of the old
        if os.path.abspath(dst) == str(out) and str(src).endswith(".tmp"):
            raise OSError(5, "Input/output error")
        return rename(src, dst)

    monkeypatch.setattr(os, "rename", failing)
    assert cli.main(command) == 1
    assert capsys.readouterr().err.endswith("Input/output error\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["ds", "out"]
    assert {p.name: p.read_bytes() for p in out.iterdir()} == before


# The exchange's chain has Greeks of its own, which the chosen Greeks leave out.
EXCHANGE = ["--spot", "5000", "--rate", "0.04", "--valuation-date", "2025-06-20"]
EXCHANGE += ["--greeks", "vega"]


@pytest.mark.parametrize("layout", ["repeated", "exchange"])
def test_a_dataset_of_side_by_side_chains_is_read_as_one_row_per_option(layout, client, tmp_path):
    from test_chains import chain_file

    (tmp_path / "ds").mkdir()
    if layout == "exchange":
        sample = Path(quelta.__file__).parent / "data" / "sample_exchange_chain.csv"
        files = [tmp_path / "ds" / sample.name]
        files[0].write_bytes(sample.read_bytes())
        command = EXCHANGE
    else:
        files = [chain_file(tmp_path / "ds" / f"{n}.csv", n) for n in ("puts first", "repeated")]
        command = ["--forward", "100"]
    out = tmp_path / "out"
    assert (
        cli.main(
            [
                str(tmp_path / "ds"),
                "-o",
                str(out),
                "--scheduler",
                client.scheduler.address,
                *command,
            ]
        )
        == 0
    )
    got = pyarrow.dataset.dataset(out, format="parquet").to_table()
    one = tmp_path / "one.csv"
    assert cli.main([*map(str, sorted(files)), "-o", str(one), *command]) == 0
    want = pyarrow.csv.read_csv(one)
    assert got["kind"].to_pylist() == want["kind"].to_pylist() == ["call", "put"] * (len(got) // 2)
    assert_same_bits(got["implied_vol"].to_numpy(), want["implied_vol"].to_numpy())
