"""Beyond one machine: `quelta solve DATASET --scheduler local:N` with 1 and 2 workers.

Writes a seeded dataset of --rows options as --files Parquet files (the
books of benchmarks/book.py), then for each worker count:

- starts a LocalCluster of that many worker processes (one thread each) and
  times quelta.dask.solve_dataset on it, best of --repeats runs: rows per
  second of the cluster once it is up, the speed-up over one worker, and the
  CPU time of the workers (over the wall time: the cores they got);
- times the whole command, `quelta solve DIR -o OUT --scheduler local:N`,
  in a new process: cluster start-up and shut-down included.

The load average of the machine before and after is printed: on a machine
shared with other work the speed-up says as much about the neighbours as
about quelta.

    python -P benchmarks/scale.py [--rows 20000000] [--files 20] [--dir DIR]
"""

import argparse
import logging
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pyarrow as pa
import pyarrow.parquet as pq
from distributed import Client, LocalCluster

import quelta.dask

sys.path.insert(0, str(Path(__file__).resolve().parent))
from book import book_batches


def write_dataset(root, rows, files, seed=20240611):
    root.mkdir(parents=True, exist_ok=True)
    per_file = -(-rows // files)
    for i in range(files):
        path = root / f"quotes-{i:03d}.parquet"
        n = min(per_file, rows - i * per_file)
        if path.exists() and pq.read_metadata(path).num_rows == n:
            continue
        pq.write_table(
            pa.Table.from_batches(list(book_batches(n, seed + i))), path, row_group_size=250_000
        )


def load():
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def time_cluster(workers, data, out, repeats):
    times = []
    with (
        LocalCluster(
            n_workers=workers,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address="127.0.0.1:0",
            scheduler_kwargs={"dashboard": False},
            silence_logs=logging.CRITICAL,
        ) as cluster,
        Client(cluster) as client,
    ):
        client.run(lambda: __import__("quelta.book"))
        for _ in range(repeats):
            cpu = client.run(time.process_time)
            start = time.perf_counter()
            summary = quelta.dask.solve_dataset(str(data), str(out), client=client)
            wall = time.perf_counter() - start
            cpu = sum(t - cpu[w] for w, t in client.run(time.process_time).items())
            times.append((wall, cpu))
    return min(times), summary


def time_command(workers, data, out):
    start = time.perf_counter()
    subprocess.run(
        [
            sys.executable,
            "-P",
            "-m",
            "quelta",
            "solve",
            str(data),
            "-o",
            str(out),
            "--scheduler",
            f"local:{workers}",
        ],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=20_000_000)
    parser.add_argument("--files", type=int, default=20)
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument(
        "--dir", help="keep the dataset here between runs (default: a temporary directory)"
    )
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        data = Path(args.dir or scratch) / f"dataset-{args.rows}"
        start = time.perf_counter()
        write_dataset(data, args.rows, args.files)
        size = sum(p.stat().st_size for p in data.iterdir()) / 1e6
        print(
            f"dataset: {args.rows:,} options in {args.files} Parquet files, {size:,.0f} MB "
            f"({time.perf_counter() - start:.1f} s to write or check)"
        )
        print(f"{os.cpu_count()} CPUs; load average before: {load()}")
        out = Path(scratch) / "out"
        cluster = {}
        for workers in (1, 2):
            (seconds, cpu), summary = time_cluster(workers, data, out, args.repeats)
            assert summary.rows == args.rows
            shutil.rmtree(out)
            command = time_command(workers, data, out)
            shutil.rmtree(out)
            cluster[workers] = seconds
            print(
                f"{workers} worker{'s' * (workers > 1)}: "
                f"{args.rows / seconds / 1e6:.2f} M rows/s on the running cluster "
                f"({seconds:.1f} s, best of {args.repeats}; worker CPU {cpu:.1f} s, "
                f"{cpu / seconds:.2f} cores busy); "
                f"the command, start-up included: {command:.1f} s, "
                f"{args.rows / command / 1e6:.2f} M rows/s; load average {load()}"
            )
        print(f"speed-up with 2 workers: {cluster[1] / cluster[2]:.2f}x")


if __name__ == "__main__":
    main()
