"""Implied volatilities per second for the array functions of quelta.black_core.

A book of mixed options (calls and puts, in and out of the money, total
volatilities from 1% to 150%) is priced with a plain NumPy Black formula, then
solved again, in one thread and in several threads calling at once. Each
figure is the best of a few repeats; the threaded figure is the aggregate
(every thread solves the whole book, the wall time is that of the slowest).

    python benchmarks/throughput.py [--size 1000000] [--repeats 5] [--threads 2]
"""

import argparse
import math
import sys
import threading
import time
from pathlib import Path

import numpy as np

import quelta.black_core as bc

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from support import black_price  # noqa: E402


def make_book(size, seed):
    rng = np.random.default_rng(seed)
    vol = np.exp(rng.uniform(np.log(0.01), np.log(1.5), size))
    call = rng.random(size) < 0.5
    # one strike per series for vectorized_implied_vol: forwards move around it
    fwd_series = 100.0 * np.exp(rng.normal(0.0, 0.25, size))
    # a book of trades with their own strikes, out to about two standard deviations
    fwd = 100.0 * np.exp(rng.normal(0.0, 0.1, size))
    strike = fwd * np.exp(rng.normal(0.0, 1.0, size) * vol)
    return {
        "series_price": black_price(fwd_series, 100.0, vol, call),
        "series_fwd": fwd_series,
        "series_call": call,
        "price": black_price(fwd, strike, vol, call),
        "fwd": fwd,
        "strike": strike,
        "is_call": call.astype(np.int8),
        "discount": rng.uniform(0.8, 1.0, size),
        "vol": vol,
    }


def vectorized_runner(book):
    # vectorized_implied_vol takes one flag per call: calls and puts in two passes
    call = book["series_call"]
    parts = [(np.ascontiguousarray(book["series_price"][mask]),
              np.ascontiguousarray(book["series_fwd"][mask]), q)
             for mask, q in ((call, 1), (~call, -1))]

    def run():
        for price, fwd, q in parts:
            bc.vectorized_implied_vol(price, fwd, 100.0, q)

    return run


def batch_runner(book):
    size = len(book["price"])
    outs = [np.empty(size) for _ in range(4)]
    args = [book[k] for k in ("price", "fwd", "strike", "is_call", "discount")]

    def run():
        bc.compute_trades_greeks(*args, *outs)

    return run


def best_wall_time(make_runner, book, threads, repeats):
    runners = [make_runner(book) for _ in range(threads)]
    best = math.inf
    for _ in range(repeats):
        barrier = threading.Barrier(threads + 1)
        workers = [threading.Thread(target=lambda r=r: (barrier.wait(), r())) for r in runners]
        for w in workers:
            w.start()
        barrier.wait()
        start = time.perf_counter()
        for w in workers:
            w.join()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=1_000_000, help="options in the book")
    parser.add_argument("--repeats", type=int, default=5, help="timed runs, best one kept")
    parser.add_argument("--threads", type=int, default=2, help="threads calling at once")
    parser.add_argument("--seed", type=int, default=20240611)
    args = parser.parse_args()

    book = make_book(args.size, args.seed)
    outs = [np.empty(args.size) for _ in range(4)]
    bc.compute_trades_greeks(book["price"], book["fwd"], book["strike"], book["is_call"],
                             book["discount"], *outs)
    solved = outs[0] > 0.0
    rel = np.abs(outs[0][solved] / book["vol"][solved] - 1.0)
    print(f"book: {args.size} options, {np.mean(book['is_call']):.0%} calls, "
          f"{np.mean(solved):.2%} solved, median relative error of the volatility "
          f"{np.median(rel):.1e}")

    for label, make_runner in (("vectorized_implied_vol", vectorized_runner),
                               ("compute_trades_greeks", batch_runner)):
        for threads in sorted({1, args.threads}):
            seconds = best_wall_time(make_runner, book, threads, args.repeats)
            rate = threads * args.size / seconds
            print(f"{label:24s} {threads} thread{'s' if threads > 1 else ' '}: "
                  f"{rate / 1e6:7.2f} M implied vols/s  ({1e9 / rate:6.1f} ns each, "
                  f"best of {args.repeats}: {seconds * 1e3:7.1f} ms)")


if __name__ == "__main__":
    main()
