"""Books that mix models: a model column puts each row under the normal or the
(shifted) Black model, with the bits of solving each model's rows alone."""

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
pa_csv = pytest.importorskip("pyarrow.csv")

from support import assert_same_bits, mixed_rates_book  # noqa: E402

import quelta  # noqa: E402
from quelta import cli  # noqa: E402
from quelta.book import ALL_GREEKS, MODEL_NAMES, BookError  # noqa: E402

FIELDS = ("vol", *ALL_GREEKS)


def _solved(table, route, tmp_path, args=()):
    """The table solved with every Greek by one route, as a pyarrow Table."""
    if route == "solve_table":
        return quelta.solve_table(table, greeks="all")
    book, out = tmp_path / "book.csv", tmp_path / "out.csv"
    pa_csv.write_csv(table, book)
    assert cli.main(["solve", str(book), "--greeks", "all", "-o", str(out), *args]) == 0
    return pa_csv.read_csv(out, convert_options=pa_csv.ConvertOptions(strings_can_be_null=True))


@pytest.mark.parametrize("underlying", ["forward", "spot"])
@pytest.mark.parametrize("route", ["solve_table", "command"])
def test_each_row_is_solved_under_its_own_model(route, underlying, tmp_path):
    """Every field equals quelta.greeks on the normal rows alone and on the
    shifted-Black rows alone, bit for bit; the model column is kept as written."""
    cols = mixed_rates_book(80, 11, MODEL_NAMES)
    normal = cols.pop("normal")
    if underlying == "spot":  # F = S exp(r T): the spot whose forward the book was priced at
        cols["spot"] = cols.pop("forward") * cols["discount"]
        cols["rate"] = np.full(80, 0.02)
        del cols["discount"]
    got = _solved(pa.table(cols), route, tmp_path)
    assert got["model"].to_pylist() == cols["model"]
    reasons = got["reason"].to_pylist()
    for rows, model in ((normal, "normal"), (~normal, "black")):
        args = {k: v[rows] for k, v in cols.items() if k not in ("model", "shift")}
        shift = cols["shift"][rows] if model == "black" else None
        want = quelta.greeks(**args, model=model, shift=shift)
        for name in FIELDS:
            column = got["implied_vol" if name == "vol" else name].to_numpy()
            assert_same_bits(column[rows], getattr(want, name))
        assert [r for r, m in zip(reasons, rows) if m] == [
            quelta.Reason(c).name.lower() for c in want.reason
        ]
    assert reasons.count("ok") > 50


# Rows 0 to 3 are lines 2 to 5 of the CSV book.
_BOOK = """expiry,forward,strike,kind,price,vol_type,shift
2.0,0.01,0.01,call,0.004,normal,
2.0,0.01,0.01,call,0.02,Black,0.02
2.0,-0.002,0.01,call,0.004,N,
2.0,0.01,0.01,call,0.02,ln,0.02
"""


@pytest.mark.parametrize(
    ("cells", "column", "bad", "first", "line", "message"),
    [
        ({3: "lognormel,0.02"}, "vol_type", 1, "lognormel", 5, "unknown model 'lognormel'"),
        ({2: ","}, "vol_type", 1, "", 4, "an empty cell, where the row's model is needed"),
        ({0: "normal,0.0"}, "shift", 1, "0.0", 2, "a shift of '0.0' on a row of the normal"),
        ({1: "2,0.02", 3: " ,0.02"}, "vol_type", 2, "2", 3, "unknown model '2'"),
    ],
)
def test_a_row_without_a_readable_model_is_bad_input(
    cells, column, bad, first, line, message, tmp_path, capsys
):
    lines = _BOOK.splitlines()
    for row, text in cells.items():
        lines[row + 1] = lines[row + 1].rsplit(",", 2)[0] + "," + text
    book = tmp_path / "book.csv"
    book.write_text("\n".join(lines) + "\n")
    solved = quelta.solve_table(pa_csv.read_csv(book))
    assert solved["reason"].to_pylist() == [
        "bad_input" if row in cells else "ok" for row in range(4)
    ]
    assert cli.main(["solve", str(book)]) == 0
    summary = capsys.readouterr().out
    assert f"column {column!r}: {bad} unreadable, the first {first!r} on line {line}" in summary
    out = tmp_path / "out.csv"
    assert cli.main(["solve", str(book), "--strict", "-o", str(out)]) == 1
    err = capsys.readouterr().err
    assert f"line {line}: " in err and message in err and column in err and not out.exists()


@pytest.mark.parametrize("model", ["normal", "black"])
@pytest.mark.parametrize("route", ["solve_table", "command"])
def test_a_model_column_and_a_model_for_every_row_are_refused(model, route, tmp_path, capsys):
    book = tmp_path / "book.csv"
    book.write_text(_BOOK)
    if route == "solve_table":
        with pytest.raises(BookError, match=r"model \(--model, model=\) and a model column"):
            quelta.solve_table(pa_csv.read_csv(book), model=model)
        return
    out = tmp_path / "out.csv"
    assert cli.main(["solve", str(book), "--model", model, "-o", str(out)]) == 1
    err = capsys.readouterr().err
    assert "--model" in err and "model column ('vol_type')" in err and not out.exists()


def test_a_shift_argument_shifts_the_black_rows_alone():
    table = pa_csv.read_csv(pa.py_buffer(_BOOK.encode())).drop_columns(["shift"])
    got = quelta.solve_table(table, shift=0.02)
    black = np.array([False, True, False, True])
    want = quelta.implied_volatility(
        [0.004, 0.02, 0.004, 0.02], [0.01, 0.01, -0.002, 0.01], 0.01, 2.0, shift=0.02
    )
    normal = quelta.implied_volatility([0.004, 0.004], [0.01, -0.002], 0.01, 2.0, model="normal")
    assert_same_bits(got["implied_vol"].to_numpy()[black], want[black])
    assert_same_bits(got["implied_vol"].to_numpy()[~black], normal)
