"""The main job at scale: `quelta solve` on generated books against pyarrow alone.

Writes a seeded book (expiry, forward, strike, kind, price, discount) of
--rows rows as CSV and as Parquet, then times, in the same run:

- pyarrow alone reading the CSV and writing the same table back as CSV, and
  `quelta solve book.csv -o out.csv` end to end (a new process);
- the same for Parquet: pyarrow reading and writing, and
  `quelta solve book.parquet -o out.parquet`.

Each figure is the best of --repeats runs. Then, unless --memory-rows 0, the
peak resident memory of `quelta solve` on a --memory-rows CSV book with its
progress bar drawn on a pseudo-terminal.

    python benchmarks/book.py [--rows 2000000] [--memory-rows 20000000] [--dir DIR]
"""

import argparse
import fcntl
import os
import pty
import resource
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.csv as pa_csv
import pyarrow.parquet as pq

import quelta

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from support import black_price

QUELTA = [sys.executable, "-P", "-m", "quelta", "solve"]


def book_batches(rows, seed, chunk=1_000_000):
    rng = np.random.default_rng(seed)
    for start in range(0, rows, chunk):
        n = min(chunk, rows - start)
        t = rng.choice([0.02, 0.08, 0.25, 0.5, 1.0, 2.0, 5.0], n)
        fwd = np.round(100.0 * np.exp(0.015 * t), 4)
        strike = np.round(fwd * np.exp(rng.uniform(-0.8, 0.8, n) * np.sqrt(t)), 2)
        vol = np.round(rng.uniform(0.1, 0.5, n), 6)
        call = strike >= fwd
        disc = np.round(np.exp(-0.03 * t), 10)
        price = disc * black_price(fwd, strike, vol * np.sqrt(t), call)
        yield pa.record_batch(
            {
                "expiry": t,
                "forward": fwd,
                "strike": strike,
                "kind": np.where(call, "call", "put"),
                "price": price,
                "discount": disc,
            }
        )


def write_book(path, rows, seed):
    batches = book_batches(rows, seed)
    first = next(batches)
    options = pa_csv.WriteOptions(quoting_style="none")
    with pa_csv.CSVWriter(str(path), first.schema, write_options=options) as w:
        w.write_batch(first)
        for b in batches:
            w.write_batch(b)


def best(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def run_quelta(*args):
    subprocess.run([*QUELTA, *map(str, args)], check=True, stdout=subprocess.DEVNULL)


def peak_rss_with_progress_bar(args):
    """Peak RSS (MB) of a quelta run whose stderr is a terminal, so the bar is drawn."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    drawn = []

    def drain():
        while True:
            try:
                data = os.read(master, 65536)
            except OSError:
                return
            if not data:
                return
            drawn.append(data)

    reader = threading.Thread(target=drain, daemon=True)
    reader.start()
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    start = time.perf_counter()
    subprocess.run([*QUELTA, *map(str, args)], check=True, stdout=subprocess.DEVNULL, stderr=slave)
    seconds = time.perf_counter() - start
    os.close(slave)
    reader.join(timeout=5)
    os.close(master)
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    if peak <= before:
        raise RuntimeError("the peak of this run is hidden by an earlier, larger child")
    bar = b"".join(drawn).decode(errors="replace").split("\r")
    last = next((u.strip() for u in reversed(bar) if "rows" in u), "")
    return peak / 1024, seconds, last


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=2_000_000)
    ap.add_argument("--memory-rows", type=int, default=20_000_000)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--dir", type=Path, help="where the books go (default: a temporary dir)")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        d = Path(tmp)
        csv_book, pq_book = d / "book.csv", d / "book.parquet"
        if args.memory_rows:
            # Measured first: RUSAGE_CHILDREN keeps the largest peak of any child.
            big = d / "big.csv"
            write_book(big, args.memory_rows, seed=2)
            size = big.stat().st_size
            peak, seconds, bar = peak_rss_with_progress_bar([big, "-o", d / "big-out.csv"])
            big.unlink()
            (d / "big-out.csv").unlink()

        write_book(csv_book, args.rows, seed=1)
        pq.write_table(pa_csv.read_csv(csv_book), pq_book)

        arrow_csv = best(
            lambda: pa_csv.write_csv(pa_csv.read_csv(csv_book), d / "a.csv"), args.repeats
        )
        quelta_csv = best(lambda: run_quelta(csv_book, "-o", d / "out.csv"), args.repeats)
        arrow_pq = best(
            lambda: pq.write_table(pq.read_table(pq_book), d / "a.parquet"), args.repeats
        )
        quelta_pq = best(lambda: run_quelta(pq_book, "-o", d / "out.parquet"), args.repeats)
        # What no book I/O can go below: starting Python with quelta's modules,
        # and solving the book's arrays in one call of the array API.
        start_up = best(
            lambda: subprocess.run(
                [sys.executable, "-P", "-c", "import quelta.cli, quelta.book"], check=True
            ),
            args.repeats,
        )
        t = pq.read_table(pq_book)
        arrays = [
            t.column(c).to_numpy() for c in ("price", "forward", "strike", "expiry", "discount")
        ]
        calls = t.column("kind").to_numpy(zero_copy_only=False) == "call"
        solve = best(
            lambda: quelta.greeks(*arrays[:4], discount=arrays[4], kind=calls), args.repeats
        )

        print(
            f"book: {args.rows:,} rows, CSV {csv_book.stat().st_size / 1e6:.0f} MB, "
            f"Parquet {pq_book.stat().st_size / 1e6:.0f} MB; pyarrow {pa.__version__}, "
            f"{os.cpu_count()} cores; best of {args.repeats}"
        )
        print()
        print("| job | pyarrow read + write | quelta solve (new process) | ratio | target |")
        print("|---|---:|---:|---:|---:|")
        print(
            f"| CSV in, CSV out | {arrow_csv:.2f} s | {quelta_csv:.2f} s "
            f"({args.rows / quelta_csv / 1e6:.2f} M rows/s) | {quelta_csv / arrow_csv:.2f} | "
            "≤ 3 |"
        )
        print(
            f"| Parquet in, Parquet out | {arrow_pq:.2f} s | {quelta_pq:.2f} s "
            f"({args.rows / quelta_pq / 1e6:.2f} M rows/s) | {quelta_pq / arrow_pq:.2f} | "
            "≤ 2 |"
        )
        print()
        print(
            f"below any book I/O: Python start with quelta's modules {start_up:.2f} s; "
            f"solving the book's arrays with quelta.greeks (one thread) {solve:.2f} s"
        )
        if args.memory_rows:
            print()
            print(
                f"peak memory, {args.memory_rows:,}-row CSV book ({size / 1e9:.2f} GB) to "
                f"CSV with the progress bar: {peak:.0f} MB (target ≤ 500 MB), "
                f"{seconds:.1f} s"
            )
            print(f"last progress bar update: {bar}")


if __name__ == "__main__":
    main()
