"""The files of a dataset and the OUT_DIR of its result.

Which files a dataset names (a file, a glob, a directory), and what an
OUT_DIR may be: new, empty, or an earlier result of quelta, which holds the
mark that tells a later run the directory is quelta's to replace. Nothing
else is ever replaced, and no run reads its own output back as input.
"""

from __future__ import annotations

import errno
import glob
import os
import re
import shutil
import time

_PART = re.compile(r"part-\d+\.parquet")
# Every OUT_DIR quelta writes holds this file: the sign that a later run may
# replace it. Part names alone are no such sign, pyarrow names its parts so.
# Hidden, so that neither quelta nor pyarrow reads it as part of the dataset.
MARK = ".quelta-dataset"
_MARK_TEXT = b"Written by quelta solve --scheduler; the next run to this directory replaces it.\n"


def _inside(path: str, directory: str) -> bool:
    """Whether path lies in directory (both as real paths)."""
    return path.startswith(directory.rstrip(os.sep) + os.sep)


def _earlier_result(out_dir: str | None) -> str | None:
    """The real path of out_dir if quelta wrote it (its files are no input), else None."""
    if out_dir is None or not os.path.isfile(os.path.join(out_dir, MARK)):
        return None
    return os.path.realpath(out_dir)


def _matches(dataset: str, out_dir: str | None) -> list[str]:
    """The regular files a glob matches, less those of an earlier result in out_dir."""
    found = [p for p in glob.glob(dataset, recursive=True) if os.path.isfile(p)]
    earlier = _earlier_result(out_dir)
    if earlier is None:
        return found
    return [p for p in found if not _inside(os.path.realpath(p), earlier)]


def dataset_files(dataset: str, out_dir: str | None = None) -> list[str]:
    """The files of a dataset, in order: a file, a glob, or a directory's CSV and Parquet files.

    A directory is searched recursively for names ending in .parquet, .pq,
    .parq, .csv, .tsv or .txt, leaving out hidden entries (``.`` or ``_``
    first, as Parquet datasets do). A glob takes every regular file it
    matches, except those of an earlier result in ``out_dir``: a run never
    reads its own output back as input.
    """
    from quelta.book import CSV_SUFFIXES, PARQUET_SUFFIXES, BookError

    if os.path.isdir(dataset):
        found = []
        for root, dirs, files in os.walk(dataset):
            dirs[:] = [d for d in dirs if not d.startswith((".", "_"))]
            found += [
                os.path.join(root, f)
                for f in files
                if not f.startswith((".", "_"))
                and f.lower().endswith(PARQUET_SUFFIXES + CSV_SUFFIXES)
            ]
        if not found:
            raise BookError(f"{dataset}: no CSV or Parquet files in the directory")
        return sorted(found)
    if glob.has_magic(dataset):
        found = _matches(dataset, out_dir)
        if not found:
            raise BookError(f"{dataset}: no file matches")
        return sorted(found)
    if not os.path.exists(dataset):
        raise BookError(f"{dataset}: no such file or directory")
    return [dataset]


def _check_apart(dataset: str, out_dir: str) -> None:
    """Raise OSError unless out_dir and the dataset's files are apart (neither in the other)."""
    out = os.path.realpath(out_dir)
    if glob.has_magic(dataset) and not os.path.exists(dataset):
        roots = _matches(dataset, out_dir)
    else:
        roots = [dataset]
    for root in map(os.path.realpath, roots):
        if root == out:
            raise FileExistsError(errno.EEXIST, "is the dataset being read", out_dir)
        if _inside(root, out):
            what = "directory" if os.path.isdir(root) else "file"
            raise FileExistsError(errno.EEXIST, f"holds the dataset's {what} {root}", out_dir)
        if _inside(out, root):
            raise FileExistsError(errno.EEXIST, f"lies inside the dataset {root}", out_dir)


def check_out_dir(out_dir: str, dataset: str | None = None) -> None:
    """Raise OSError (naming the path) unless out_dir can be written as a result.

    It may be new, in an existing directory, an empty directory, or an
    earlier result of quelta (marked so, holding only its part files) to
    replace; nothing else is replaced. With ``dataset``, out_dir must not be
    the dataset, lie inside it or hold any of its files.
    """
    parent = os.path.dirname(os.path.abspath(out_dir))
    if not os.path.isdir(parent):
        raise FileNotFoundError(errno.ENOENT, "no such directory", parent)
    if dataset is not None:
        _check_apart(dataset, out_dir)
    if not os.path.lexists(out_dir):
        return
    if not os.path.isdir(out_dir) or os.path.islink(out_dir):
        raise FileExistsError(errno.EEXIST, "exists and is not a directory", out_dir)
    entries = sorted(os.listdir(out_dir))
    if not entries:
        return
    if MARK not in entries:
        raise FileExistsError(
            errno.ENOTEMPTY,
            "is not empty and was not written by quelta; give an empty or new directory",
            out_dir,
        )
    strangers = [e for e in entries if e != MARK and not _PART.fullmatch(e)]
    if strangers:
        raise FileExistsError(
            errno.ENOTEMPTY,
            f"holds {strangers[0]!r}, which quelta did not write; give an empty or new directory",
            out_dir,
        )


def remove_tree(path: str) -> None:
    # A task cancelled while running may still be writing its own file.
    for _ in range(20):
        shutil.rmtree(path, ignore_errors=True)
        if not os.path.lexists(path):
            return
        time.sleep(0.05)


def put_in_place(tmp: str, out_dir: str, old: str) -> None:
    """The finished parts made ``out_dir``: an earlier result waits at ``old``
    until they are renamed in, then goes."""
    for entry in os.listdir(tmp):  # attempts cut short by a dead worker
        if not _PART.fullmatch(entry):
            os.unlink(os.path.join(tmp, entry))
    with open(os.path.join(tmp, MARK), "wb") as mark:
        mark.write(_MARK_TEXT)
    if os.path.isdir(out_dir):
        os.rename(out_dir, old)
    os.rename(tmp, out_dir)
    remove_tree(old)
