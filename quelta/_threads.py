"""Rows of a book shared between threads: each range is solved independently."""

from __future__ import annotations

import itertools
import os
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np

MIN_ROWS_PER_THREAD = 1 << 14


def cpu_count() -> int:
    """The CPUs this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1


def split(n: int, threads: int | None, run: Any) -> None:
    """Calls run(lo, hi) over consecutive ranges covering [0, n), in threads.

    Rows are solved independently, so the results do not depend on the split.
    """
    if threads is None:
        threads = cpu_count()
    elif isinstance(threads, bool) or not isinstance(threads, (int, np.integer)) or threads < 1:
        raise ValueError(f"threads: expected a positive integer or None, got {threads!r}")
    workers = int(min(threads, max(1, n // MIN_ROWS_PER_THREAD)))
    if workers == 1:
        run(0, n)
        return
    # A few pieces per worker even out the rows that take longer to solve.
    pieces = 4 * workers
    bounds = [n * i // pieces for i in range(pieces + 1)]
    with ThreadPoolExecutor(max_workers=workers) as pool:
        for future in [pool.submit(run, lo, hi) for lo, hi in itertools.pairwise(bounds)]:
            future.result()
