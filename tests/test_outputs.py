"""What the command writes: every row once, never over what quelta did not write, and one
line when it refuses.

The writers are tried where the users met their faults: text cells that need quotes
anywhere in a batch, outputs reached through links or shell redirections, directories
that hold someone else's dataset, and inputs or outputs that are not what they seem.
"""

import csv
import importlib.util
import io
import os
import subprocess
import sys
import tempfile
from pathlib import Path
from unittest import mock

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow")
import pyarrow.parquet as pq  # noqa: E402

import quelta.dask  # noqa: E402
from quelta import book as books  # noqa: E402
from quelta import cli  # noqa: E402

HEADER = ["price", "forward", "strike", "expiry", "kind", "note"]
HAS_DASK = importlib.util.find_spec("distributed") is not None


def tree(root):
    """Every entry under root with its bytes (None for a directory) and link target."""
    found = {}
    for path in sorted(Path(root).rglob("*")):
        key = str(path.relative_to(root))
        if path.is_symlink():
            found[key] = ("link", os.readlink(path))
        elif path.is_dir():
            found[key] = None
        else:
            found[key] = path.read_bytes()
    return found


def write_book(path, notes):
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(HEADER)
        w.writerows([f"{5 + i % 7}", "100", "100", "1", "call", n] for i, n in enumerate(notes))


def quelta_process(*args, cwd, **kw):
    kw.setdefault("stdout", subprocess.PIPE)
    return subprocess.run(
        [sys.executable, "-P", "-m", "quelta", *args],
        cwd=cwd,
        stderr=subprocess.PIPE,
        text=True,
        timeout=120,
        **kw,
    )


# ---------------------------------------------------------------- output integrity

SPECIALS = [",", '"', "\n", "\r\n", "\r", ";"]


@settings(max_examples=40, deadline=None)
@given(
    rows=st.integers(1, 2600),
    chunk=st.integers(1, 3000),
    source=st.sampled_from(["csv", "parquet"]),
    # Where the cells that need quotes sit, as fractions of the book.
    places=st.dictionaries(
        st.floats(0, 1, exclude_max=True), st.sampled_from(SPECIALS), min_size=1, max_size=3
    ),
    # Rows the writer renders at a time: its own default, or fewer than a batch.
    slice_rows=st.one_of(st.just(None), st.integers(1, 3000)),
)
@example(rows=2600, chunk=3000, source="csv", places={0.9: ","}, slice_rows=None)
@example(rows=2600, chunk=2000, source="parquet", places={0.7: "\n", 0.1: '"'}, slice_rows=None)
def test_every_row_is_written_once_and_every_text_cell_reads_back(
    rows, chunk, source, places, slice_rows
):
    # pyarrow writes CSV in slices of 1024 rows: the quoted cells fall in any slice of any batch.
    quoted = {int(f * rows): text for f, text in places.items()}
    notes = [f"a{quoted[i]}b{i}" if i in quoted else f"n{i}" for i in range(rows)]
    with tempfile.TemporaryDirectory() as tmp:
        book = Path(tmp) / f"book.{source}"
        if source == "csv":
            write_book(book, notes)
        else:
            pq.write_table(
                pa.table(
                    {
                        "price": [5.0 + i % 7 for i in range(rows)],
                        "forward": [100.0] * rows,
                        "strike": [100.0] * rows,
                        "expiry": [1.0] * rows,
                        "kind": ["call"] * rows,
                        "note": notes,
                    }
                ),
                book,
                row_group_size=700,
            )
        out = Path(tmp) / "out.csv"
        with mock.patch.object(books.files, "_CSV_SLICE", slice_rows or books.files._CSV_SLICE):
            assert cli.main([str(book), "-o", str(out), "--chunk-size", str(chunk)]) == 0
        with open(out, newline="", encoding="utf-8") as f:
            got = list(csv.reader(f))
    assert got[0] == [*HEADER, "implied_vol", "delta", "gamma", "vega", "reason"]
    assert [r[5] for r in got[1:]] == notes
    assert [float(r[0]) for r in got[1:]] == [5.0 + i % 7 for i in range(rows)]


class _Short(io.BytesIO):
    """A file that takes at most 1000 bytes a write, as a pipe or a full disk may."""

    def write(self, data):
        return super().write(bytes(memoryview(data)[:1000]))


@pytest.mark.parametrize("fmt", ["csv", "parquet"])
def test_a_sink_that_takes_part_of_a_write_gets_the_rest(fmt):
    table = books.solve_table(
        pa.table(
            {
                "price": [5.0] * 3000,
                "forward": [100.0] * 3000,
                "strike": [100.0] * 3000,
                "expiry": [1.0] * 3000,
                "kind": ["call"] * 3000,
            }
        )
    )
    outputs = []
    for sink in (_Short(), io.BytesIO()):
        writer = books.BookWriter(sink, fmt)
        for batch in table.to_batches(max_chunksize=1200):
            writer.write(batch)
        writer.close()
        outputs.append(sink.getvalue())
    assert outputs[0] == outputs[1]


# ---------------------------------------------------------------- destinations


def _pyarrow_dataset(tmp):
    """A dataset pyarrow wrote (part-0.parquet, its own name for parts)."""
    import pyarrow.dataset as ds

    ds.write_dataset(pa.table({"x": [1, 2]}), tmp / "theirs", format="parquet")


def _notes(tmp):
    (tmp / "notes").mkdir()
    (tmp / "notes" / "todo.txt").write_text("mine\n")


@pytest.mark.parametrize(
    "setup, dataset, out, message",
    [
        (_pyarrow_dataset, "ds", "theirs", "is not empty and was not written by quelta"),
        (_notes, "ds", "notes", "is not empty and was not written by quelta"),
        (None, "ds", "ds", "is the dataset being read"),
        (None, "ds", "ds/solved", "lies inside the dataset"),
        (None, "ds/a.csv", "ds", "holds the dataset's"),
        (None, "ds/*.csv", "ds", "holds the dataset's"),
    ],
)
def test_cluster_runs_never_replace_what_quelta_did_not_write(
    setup, dataset, out, message, tmp_path, capsys, monkeypatch
):
    if not HAS_DASK:
        pytest.skip("needs distributed")
    monkeypatch.chdir(tmp_path)
    (tmp_path / "ds").mkdir()
    write_book(tmp_path / "ds" / "a.csv", ["x"])
    if setup is not None:
        setup(tmp_path)
    before = tree(tmp_path)
    code = cli.main([dataset, "-o", out, "--scheduler", "local:1"])
    err = capsys.readouterr().err
    assert code == 1
    assert err.startswith(f"quelta: error: {out}: {message}") and err.count("\n") == 1, err
    # The same checks in solve_dataset, before it looks for a cluster.
    with pytest.raises(OSError, match=message):
        quelta.dask.solve_dataset(dataset, out)
    assert tree(tmp_path) == before


@pytest.mark.parametrize("option, name", [("-o", "out.csv"), ("--plot", "smile.png")])
def test_an_output_through_a_link_writes_its_target_and_keeps_the_link(
    option, name, tmp_path, capsys
):
    if option == "--plot":
        pytest.importorskip("matplotlib")
    (tmp_path / "real").mkdir()
    target = tmp_path / "real" / name
    target.write_bytes(b"old")
    link = tmp_path / name
    link.symlink_to(Path("real") / name)
    assert cli.main([option, str(link)]) == 0
    capsys.readouterr()
    assert os.readlink(link) == str(Path("real") / name)
    assert target.read_bytes() != b"old" and target.stat().st_size > 100
    assert sorted(os.listdir(tmp_path / "real")) == [name]


@pytest.mark.parametrize(
    "book, args, what",
    [
        (
            "book.csv",
            ["-o", "-"],
            "-o -: standard output is the book being read (book.csv); send it elsewhere",
        ),
        (
            "alias.csv",
            ["--plot", "-"],
            "--plot -: standard output is the book being read (alias.csv); send it elsewhere",
        ),
        (
            "-",
            [],
            "-o -: standard output is the book being read (standard input); send it elsewhere",
        ),
        (
            "book.csv",
            [],
            "standard output is the book being read (book.csv); send the summary elsewhere",
        ),
    ],
)
def test_standard_output_onto_the_book_is_refused(book, args, what, tmp_path):
    write_book(tmp_path / "book.csv", ["x", "y"])
    os.link(tmp_path / "book.csv", tmp_path / "alias.csv")  # the same file by another name
    before = tree(tmp_path)
    with open(tmp_path / "book.csv", "ab") as stdout, open(tmp_path / "book.csv", "rb") as stdin:
        done = quelta_process(book, *args, cwd=tmp_path, stdout=stdout, stdin=stdin)
    assert done.returncode == 1
    assert done.stderr == f"quelta: error: {what}\n"
    assert tree(tmp_path) == before


# ---------------------------------------------------------------- messages


def _nested_book(tmp, name, value, rows=1):
    """A Parquet book with a column CSV cannot hold (a list or a struct)."""
    book = {"price": [5.0], "forward": [100.0], "strike": [100.0], "expiry": [1.0]}
    table = pa.table({**book, "kind": ["call"], name: [value]}).slice(0, rows)
    pq.write_table(table, tmp / "book.parquet")


def _list_column(tmp):  # in a book without rows: refused all the same
    _nested_book(tmp, "tags", ["a", "b"], rows=0)
    return ["book.parquet", "-o", "out.csv"], {}


def _struct_column(tmp):
    _nested_book(tmp, "meta", {"desk": "fx"})
    return ["book.parquet", "-o", "-"], {}


def _not_a_scheduler(tmp):
    """A server that answers every connection in another protocol."""
    import socket
    import threading

    server = socket.create_server(("127.0.0.1", 0))

    def answer():
        while True:
            conn, _ = server.accept()
            conn.sendall(b"HTTP/1.1 400 Bad Request\r\n\r\n" * 4)

    threading.Thread(target=answer, daemon=True).start()
    write_book(tmp / "book.csv", ["x"])
    return [
        "book.csv",
        "-o",
        "out",
        "--scheduler",
        f"tcp://127.0.0.1:{server.getsockname()[1]}",
    ], {}


def _dead_pipe(tmp):
    """Standard output a pipe whose reader is gone, as in quelta BOOK | head."""
    read, write = os.pipe()
    os.close(read)
    return ["solve"], {"stdout": write}


@pytest.mark.parametrize(
    "setup, message",
    [
        (
            _list_column,
            "-o out.csv: column 'tags' holds list<element: string>, which CSV cannot "
            "hold; write Parquet instead (-o OUT.parquet)",
        ),
        (
            _struct_column,
            "-o -: column 'meta' holds struct<desk: string>, which CSV cannot hold; "
            "write Parquet instead (-o OUT.parquet)",
        ),
        (
            lambda tmp: (["-o", "out.xlsx"], {}),
            "-o out.xlsx: unknown output format; name the file "
            ".csv, .tsv, .txt (CSV) or .parquet, .pq, .parq "
            "(Parquet)",
        ),
        (
            lambda tmp: (["-"], {"stdin": None, "preexec_fn": lambda: os.close(0)}),
            "cannot read standard input: it is closed",
        ),
        (
            lambda tmp: (["-o", "-"], {"stdout": None, "preexec_fn": lambda: os.close(1)}),
            "cannot write standard output: it is closed",
        ),
        (_dead_pipe, "cannot write the summary: Broken pipe"),
        pytest.param(
            _not_a_scheduler,
            "cannot reach the scheduler at tcp://127.0.0.1:{port}: what "
            "answers there is not a Dask scheduler",
            marks=pytest.mark.skipif(not HAS_DASK, reason="needs distributed"),
        ),
    ],
)
def test_refused_outputs_and_closed_streams_are_one_line(setup, message, tmp_path):
    args, kw = setup(tmp_path)
    message = message.replace("tcp://127.0.0.1:{port}", args[-1])
    before = tree(tmp_path)
    done = quelta_process(*args, cwd=tmp_path, **kw)
    assert done.returncode == 1
    assert done.stderr == f"quelta: error: {message}\n"
    assert not done.stdout
    assert tree(tmp_path) == before
