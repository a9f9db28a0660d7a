"""``quelta solve DATASET -o OUT_DIR --scheduler ...``: the command on a Dask cluster.

The shell around :func:`quelta.dask.solve_dataset`: it starts a LocalCluster
(``local:N``) or connects to a running scheduler (``tcp://HOST:PORT``), shows
a progress bar fed by the parts the cluster finishes, and prints the summary
of the single-machine command, added up over all parts.
"""

from __future__ import annotations

import argparse
import contextlib
import logging
import signal
import sys
import time
from collections.abc import Iterator
from typing import Any

from quelta.cli.options import book_options, check_reading
from quelta.cli.report import CliError, Terminated, os_message, progress_bar, summary

_INSTALL_DASK = "--scheduler needs Dask: pip install 'quelta[dask]'"
CONNECT_TIMEOUT = "10s"


def _parse_scheduler(where: str) -> int | str:
    """The worker count of ``local:N``, or a scheduler address."""
    if where.startswith("local:"):
        count = where.removeprefix("local:")
        if count.isdigit() and int(count) >= 1:
            return int(count)
    elif "://" in where:
        return where
    raise CliError(
        f"--scheduler {where}: expected local:N (N worker processes on this "
        "machine) or the address of a scheduler, tcp://HOST:PORT"
    )


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    """Holds SIGINT, SIGHUP and SIGTERM back while a local cluster starts or stops.

    Cut short, a LocalCluster is left half started, and Dask's exit handler
    then fails on it with a traceback; the signal takes effect once the
    cluster is up or gone. The worker processes are started while SIGINT
    and SIGHUP are blocked and keep them blocked: Ctrl-C and a closed
    terminal reach every process of the terminal's group, and the workers
    are stopped by this process rather than dying with tracebacks of their
    own. SIGTERM is only deferred (the nanny stops a worker with it).
    """
    from multiprocessing import resource_tracker

    blocked = {signal.SIGINT, signal.SIGHUP}
    caught: list[int] = []
    try:
        previous = signal.signal(signal.SIGTERM, lambda signum, frame: caught.append(signum))
    except ValueError:  # not the main thread: signals are not ours to hold
        yield
        return
    mask = signal.pthread_sigmask(signal.SIG_BLOCK, blocked)
    try:
        # Python's resource tracker, a process of the group too, is started
        # here (once): it ignores SIGINT and SIGTERM but would die of SIGHUP.
        # Starting it unblocks SIGINT, which is blocked again for the workers.
        resource_tracker.ensure_running()
        signal.pthread_sigmask(signal.SIG_BLOCK, blocked)
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)
        signal.pthread_sigmask(signal.SIG_SETMASK, mask)  # a pending one is raised here
        if caught:
            raise Terminated(caught[0])


@contextlib.contextmanager
def _client(where: int | str) -> Iterator[Any]:
    from distributed import Client, LocalCluster

    if isinstance(where, int):
        cluster = None
        try:
            with _signals_held():
                # One thread per worker process: the solver releases the GIL,
                # but reading and writing the parts need it.
                # On loopback; the scheduler's HTTP server on a free port,
                # without the dashboard, so that several runs at once do not
                # compete for 8787.
                cluster = LocalCluster(
                    n_workers=where,
                    threads_per_worker=1,
                    processes=True,
                    host="127.0.0.1",
                    dashboard_address="127.0.0.1:0",
                    scheduler_kwargs={"dashboard": False},
                    silence_logs=logging.CRITICAL,
                )
            with Client(cluster) as client:
                yield client
        finally:
            if cluster is not None:
                with _signals_held():
                    cluster.close()
        return
    try:
        client = Client(where, timeout=CONNECT_TIMEOUT)
    except (OSError, TimeoutError) as exc:
        raise CliError(f"cannot reach the scheduler at {where}: {exc}") from None
    except Exception:  # something answered there in another protocol
        raise CliError(
            f"cannot reach the scheduler at {where}: what answers there is not a Dask scheduler"
        ) from None
    with client:
        yield client


def _check_arguments(args: argparse.Namespace) -> None:
    """Refuses what a run on a cluster cannot do, before anything is started."""
    if args.output is None or args.output == "-":
        raise CliError("--scheduler writes a Parquet dataset: give its directory, -o OUT_DIR")
    if args.book is None or args.book == "-":
        raise CliError(
            "--scheduler needs a DATASET: a directory, glob or file of CSV or Parquet books"
        )
    if args.plot is not None:
        raise CliError("--plot is not available with --scheduler")
    check_reading(args)


def solve_on_cluster(args: argparse.Namespace) -> int:
    """Runs ``quelta solve`` with ``--scheduler``; returns the exit status."""
    _check_arguments(args)
    where = _parse_scheduler(args.scheduler)
    try:
        from distributed.scheduler import KilledWorker

        from quelta import book as books
        from quelta import dask as qdask
    except ImportError:
        raise CliError(_INSTALL_DASK) from None

    started = time.perf_counter()
    result = None
    try:
        # Mistakes in the paths are found before a cluster is started.
        qdask.dataset_files(args.book, args.output)
        qdask.check_out_dir(args.output, args.book)
        with _client(where) as client:
            workers = len(client.scheduler_info()["workers"])
            with progress_bar() as progress:
                result = qdask.solve_dataset(
                    args.book,
                    args.output,
                    client=client,
                    valuation_date=args.valuation_date,
                    strict=args.strict,
                    chunk_size=args.chunk_size,
                    greeks=args.greeks,
                    skip_rows=args.skip_rows,
                    **book_options(args),
                    progress=progress,
                )
    except books.BookError as exc:
        raise CliError(str(exc)) from None
    except KilledWorker as exc:
        raise CliError(f"the cluster gave up: {exc}") from None
    except (KeyboardInterrupt, Terminated) as exc:
        if result is not None:  # while the cluster stopped, after OUT_DIR was renamed into place
            exc.complete = args.output  # type: ignore[union-attr]
        raise
    except OSError as exc:  # the outputs, or a file the client or a worker could not open
        where = exc.filename if exc.filename else f"cannot write {args.output}"
        raise CliError(f"{where}: {os_message(exc)}") from None
    elapsed = time.perf_counter() - started

    for text in result.warnings:
        print(f"quelta: warning: {text}", file=sys.stderr)
    cluster = f"local:{where}" if isinstance(where, int) else where
    book = (
        f"{args.book} ({result.files} file{'s' * (result.files != 1)}, {result.parts} "
        f"part{'s' * (result.parts != 1)}) on {cluster}, {workers} "
        f"worker{'s' * (workers != 1)}"
    )
    columns = ", ".join(f"{c}={n!r}" for c, n in result.columns.items())
    summary(sys.stdout, book, columns, result, elapsed, args.output, args)
    return 0
