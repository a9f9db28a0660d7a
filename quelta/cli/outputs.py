"""The outputs of ``quelta solve``: files written whole or not at all, and the checks
that no output is a book being read or the other output."""

from __future__ import annotations

import contextlib
import os
import stat
import sys
import tempfile
from collections.abc import Iterator
from pathlib import Path
from typing import IO, Any

from quelta.cli.report import CliError, abandon, os_message


def same_file(a: str, b: str) -> bool:
    """Whether two paths name one file, however spelt (links, .., relative)."""
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.realpath(a) == os.path.realpath(b)


class Output:
    """One output of the command.

    A regular file (or a new one) is written under a temporary name beside
    it and renamed on commit, keeping the permissions of the file it
    replaces; standard output, FIFOs and devices are written directly. A
    symbolic link is kept: the file it points to is the one replaced, as
    ``sort -o`` does.
    """

    def __init__(self, given: str) -> None:
        self.given = given
        self.name = "standard output" if given == "-" else given
        self.tmp: Path | None = None
        self.written = False  # anything written to a direct output
        if given == "-":
            if sys.stdout is None:
                raise CliError("cannot write standard output: it is closed")
            self.file: IO[bytes] = sys.stdout.buffer
            return
        # The temporary file goes beside the file finally written, so that the
        # rename stays within one file system and replaces that file, not a link.
        self.target = target = Path(os.path.realpath(given))
        try:
            st: os.stat_result | None = os.stat(target)
        except FileNotFoundError:
            st = None
        except OSError as exc:
            raise CliError(f"cannot write {given}: {exc.strerror or exc}") from None
        if st is not None and stat.S_ISDIR(st.st_mode):
            raise CliError(f"cannot write {given}: is a directory")
        try:
            if st is not None and not stat.S_ISREG(st.st_mode):
                self.file = open(target, "wb")
                return
            if st is not None:
                self.mode = stat.S_IMODE(st.st_mode)
            else:
                from quelta.book import creation_mode  # loaded by now: the book is open

                self.mode = creation_mode()
            fd, tmp = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=".tmp")
        except OSError as exc:
            raise CliError(f"cannot write {given}: {exc.strerror or exc}") from None
        self.tmp = Path(tmp)
        self.file = os.fdopen(fd, "wb")

    @property
    def direct(self) -> bool:
        return self.tmp is None

    @contextlib.contextmanager
    def writing(self) -> Iterator[None]:
        """Turns a failed write (ENOSPC, EFBIG, EPIPE ...) into a one-line error."""
        try:
            yield
            if self.direct:
                self.written = True
        except OSError as exc:
            self.written = False  # the error names this output already
            if self.given == "-":
                abandon(sys.stdout)
            raise CliError(f"cannot write {self.name}: {os_message(exc)}") from None

    def commit(self) -> None:
        with self.writing():
            if self.given == "-":
                self.file.flush()
                return
            self.file.close()
        if self.tmp is None:
            return
        try:
            os.chmod(self.tmp, self.mode)
            os.replace(self.tmp, self.target)
        except OSError as exc:
            raise CliError(f"cannot write {self.given}: {exc.strerror or exc}") from None
        self.tmp = None

    def discard(self) -> None:
        if self.given != "-":
            with contextlib.suppress(OSError):
                self.file.close()
        if self.tmp is not None:
            with contextlib.suppress(FileNotFoundError):
                self.tmp.unlink()


def discard_all(outputs: list[Output]) -> None:
    for o in outputs:
        o.discard()


def output_format(out: Output, books: Any) -> str:
    """The format of an output by its name: a file must be named for one; others are CSV."""
    name = out.given.lower()
    if name.endswith(books.PARQUET_SUFFIXES):
        return "parquet"
    if name.endswith(books.CSV_SUFFIXES) or out.direct:
        return "csv"
    raise CliError(
        f"-o {out.given}: unknown output format; name the file "
        f"{', '.join(books.CSV_SUFFIXES)} (CSV) or {', '.join(books.PARQUET_SUFFIXES)} (Parquet)"
    )


def _same_open_file(fd: int, other: os.stat_result) -> bool:
    """Whether descriptor fd is open on the regular file other (however it was reached)."""
    try:
        st = os.fstat(fd)
    except OSError:  # closed: nothing to overwrite
        return False
    return stat.S_ISREG(st.st_mode) and os.path.samestat(st, other)


def check_outputs(book: str | None, output: str | None, plot: str | None) -> None:
    """Refuse an output that is the book or the other output."""
    # Standard output appended to the book (quelta book.csv -o - >> book.csv)
    # would feed the results back into the rows being read, or the summary
    # onto the end of the book.
    with contextlib.suppress(OSError):  # no book to overwrite: reading it names the fault
        if book is not None and _same_open_file(1, os.fstat(0) if book == "-" else os.stat(book)):
            where = "standard input" if book == "-" else book
            option = next(
                (f"{o} -: " for o, g in (("-o", output), ("--plot", plot)) if g == "-"), ""
            )
            raise CliError(
                f"{option}standard output is the book being read ({where}); "
                f"send {'it' if option else 'the summary'} elsewhere"
            )

    def clash(a: str, b: str) -> bool:
        if a == "-" or b == "-":
            return a == b
        with contextlib.suppress(OSError):
            if stat.S_ISCHR(os.stat(a).st_mode):  # /dev/null and the like
                return False
        return same_file(a, b)

    for option, given in (("-o", output), ("--plot", plot)):
        if (
            given is not None
            and book is not None
            and book != "-"
            and given != "-"
            and clash(given, book)
        ):
            raise CliError(f"{option} {given} is the book being read; give another file")
    if output is not None and plot is not None and clash(output, plot):
        raise CliError(f"--plot {plot} and -o {output} are the same file; give two files")
