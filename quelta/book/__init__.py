"""Option books as Arrow tables: columns, cells, solving, and CSV or Parquet streams.

:func:`solve_table` takes a book as a pyarrow Table (or RecordBatch) or a
pandas DataFrame, recognises its columns by name, reads the cells (numbers
as numbers or text, percentages, dates, option kinds in their common
spellings), solves every row with one call of :func:`quelta.greeks` and
returns the same kind of table with ``implied_vol``, ``delta``, ``gamma``,
``vega`` (or every Greek, ``greeks="all"``) and ``reason`` appended. The
underlying is a forward column, or a spot column with a rate (or discount)
and optionally a dividend yield column. It prints nothing and keeps no state, so
it can be mapped over the batches of a stream or the partitions of a larger
frame; :func:`summarize` counts the rows of a result by reason. With
``forward="parity"`` the forward and discount of each expiry are fitted from
its calls and puts (:mod:`quelta.book.parity`), so a table must then hold
whole expiries.

A row whose cells cannot be read (text in a number column, an unknown option
kind, a date or an option symbol in no form it knows) gets the reason
``bad_input``; a missing number (an empty cell, NA, #N/A) gets ``not_finite``;
the other rows are solved. With ``strict=True`` the first unreadable row
raises :class:`BookError` instead.

:class:`BookReader` and :class:`BookWriter` stream books from and to CSV and
Parquet files in record batches, so memory stays bounded by the batch size
whatever the length of the book. CSV cells are read as text, which keeps
every input column exactly as it was written; results are written in the
shortest decimal form that reads back to the same double.

Needs pyarrow (``pip install 'quelta[cli]'``); pandas only for DataFrames.
"""

try:  # the one place that says so: every module of the package needs it
    import pyarrow  # noqa: F401
except ImportError as _exc:  # pragma: no cover - depends on the installation
    raise ImportError("quelta's book functions need pyarrow: pip install 'quelta[cli]'") from _exc

from quelta.book.batch import Solved, solve_batch
from quelta.book.cells import BadCells
from quelta.book.chains import chain_names, labels_puts_first, unfold
from quelta.book.columns import (
    ALIASES,
    ALL_GREEKS,
    COLUMNS,
    GREEKS,
    MODEL_NAMES,
    REASON_NAMES,
    RESULTS,
    SYMBOL_ROLES,
    BookError,
    BookWarning,
    fits_parity,
    from_symbols,
    normalise,
    resolve_columns,
    result_names,
)
from quelta.book.expiries import MAX_EXPIRY_YEARS
from quelta.book.files import (
    CSV_SUFFIXES,
    PARQUET_SUFFIXES,
    ArrowException,
    BookReader,
    BookWriter,
    common_schema,
    creation_mode,
    is_parquet,
    one_batch,
)
from quelta.book.headers import sniff_delimiter
from quelta.book.parity import ExpiryFit
from quelta.book.reading import choose_columns, header_columns
from quelta.book.solve import solve_table
from quelta.book.tally import Tally, summarize

__all__ = [
    "ALIASES",
    "ALL_GREEKS",
    "COLUMNS",
    "CSV_SUFFIXES",
    "GREEKS",
    "MAX_EXPIRY_YEARS",
    "MODEL_NAMES",
    "PARQUET_SUFFIXES",
    "REASON_NAMES",
    "RESULTS",
    "SYMBOL_ROLES",
    "ArrowException",
    "BadCells",
    "BookError",
    "BookReader",
    "BookWarning",
    "BookWriter",
    "ExpiryFit",
    "Solved",
    "Tally",
    "chain_names",
    "choose_columns",
    "common_schema",
    "creation_mode",
    "fits_parity",
    "from_symbols",
    "header_columns",
    "is_parquet",
    "labels_puts_first",
    "normalise",
    "one_batch",
    "resolve_columns",
    "result_names",
    "sniff_delimiter",
    "solve_batch",
    "solve_table",
    "summarize",
    "unfold",
]
