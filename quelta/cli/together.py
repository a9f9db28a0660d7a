"""Several books solved as one: refused unless their columns are alike, and
written to one output under one header."""

from __future__ import annotations

from typing import Any

from quelta.cli.outputs import Output, output_format, same_file
from quelta.cli.report import CliError


def check_distinct(paths: list[str]) -> None:
    """Refuses a book given twice (its rows would be solved and written twice)."""
    for i, a in enumerate(paths):
        for b in paths[:i]:
            if a == b or (a != "-" and b != "-" and same_file(a, b)):
                raise CliError(f"{a} is given twice (as {b}); give each book once")


def agree(
    books: Any, first: tuple[str, list[str]], other: tuple[str, list[str]], options: Any
) -> None:
    """Refuses a book whose columns are not the first book's, naming both and the column.

    Books solved as one are written as one table, under one header, and read
    by one choice of columns.
    """
    (a, names_a), (b, names_b) = first, other
    roles_a = books.header_columns(names_a, **options)
    roles_b = books.header_columns(names_b, **options)
    for role in dict.fromkeys([*roles_a, *roles_b]):
        if roles_a.get(role) != roles_b.get(role):
            said = {
                n: f"column {r[role]!r}" if role in r else "none"
                for n, r in ((a, roles_a), (b, roles_b))
            }
            raise CliError(
                f"{b}: its {role} is {said[b]}, {a}'s {said[a]}; books solved as one "
                "name their columns alike"
            )
    names_a, names_b = books.chain_names(names_a, **options), books.chain_names(names_b, **options)
    if names_a == names_b:
        return
    extra = [n for n in names_b if n not in names_a]
    missing = [n for n in names_a if n not in names_b]
    if extra:
        problem = f"has a column {extra[0]!r} that {a} has not"
    elif missing:
        problem = f"has no column {missing[0]!r}, which {a} has"
    else:
        problem = f"has the columns of {a} in another order"
    raise CliError(f"{b}: {problem}; books solved as one have the same columns")


def alike(
    books: Any,
    first: tuple[str, list[str]],
    other: tuple[str, list[str]],
    sides: list[bool],
    options: Any,
) -> None:
    """Refuses books fitted as one table (put-call parity) whose header is not the first's
    as written, or whose chain has its puts on the other side of the strike."""
    (a, names_a), (b, names_b) = first, other
    if names_a != names_b:
        raise CliError(
            f"{b}: its header is not {a}'s; with --forward parity, books fitted as one "
            "table have the same header"
        )
    if sides[0] != sides[-1] and books.chain_names(names_b, **options) != names_b:
        order = {True: "puts before the strike", False: "calls before the strike"}
        raise CliError(
            f"{b}: its chain has the {order[sides[-1]]}, {a}'s the {order[sides[0]]}; "
            "with --forward parity, books fitted as one table have their sides alike"
        )


def open_writer(
    books: Any,
    out: Output,
    readers: list[tuple[str, Any]],
    results: tuple[str, ...],
    paths: list[str],
    options: dict[str, Any],
) -> Any:
    """The writer of the output, in the format its name gives: one header, the
    first book's columns and the ``results``, for the books opened (``readers``,
    as (name, reader), read from ``paths``)."""
    reader = readers[0][1]
    out_format = output_format(out, books)
    delimiter = "\t" if out.given.lower().endswith(".tsv") else reader.delimiter
    import pyarrow as pa
    import pyarrow.parquet as pq

    # A CSV book is all text; a Parquet book's columns are known before any
    # row is solved, and one CSV cannot hold is refused before any is written.
    schemas = []
    for path, (_, opened) in zip(paths, readers):
        if opened.format == "parquet":
            schema = pq.read_schema(path)
            schemas.append(books.unfold(schema.empty_table(), schema.names, **options)[0].schema)
        else:
            names = books.chain_names(opened.names, **options)
            schemas.append(pa.schema([(n, pa.string()) for n in names]))
    # Several books' rows go to one Parquet file under one schema.
    common = None
    if len(schemas) > 1:
        try:
            common = books.common_schema(schemas, results, [n for n, _ in readers])
        except books.BookError as exc:
            raise CliError(str(exc)) from None
    names = [*schemas[0].names, *results]
    writer = books.BookWriter(
        out.file, out_format, delimiter, names, common if out_format == "parquet" else None
    )
    for schema in schemas:
        try:
            writer.check(schema)
        except books.BookError as exc:
            raise CliError(f"-o {out.given}: {exc}") from None
    return writer
