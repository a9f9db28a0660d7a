"""Implied volatilities per second of quelta's batch paths, at every SIMD level.

A book of mixed options (calls and puts, in and out of the money, total
volatilities from 1% to 150%) is priced with a plain NumPy Black formula,
then solved again by vectorized_implied_vol, compute_trades_greeks and
quelta.implied_volatility (one thread, then a thread per core). The batch
kernel itself (quelta._kernel, with Greeks and reasons) solves the same book
under the Black model and its counterpart under the normal model: the same
forwards and strikes, normal volatilities s = F sigma, priced by a plain
Bachelier formula. The kernel
level is fixed per process by QUELTA_SIMD, so each level runs in processes
of its own, alternated round by round so that a busy machine slows every
level alike; each figure is the best over the rounds.

    python benchmarks/throughput.py [--size 1000000] [--rounds 3] [--levels scalar,avx2,avx512]
"""

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from support import bachelier_price, black_price, cpu_model


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
        "normal_price": bachelier_price(fwd, strike, vol * fwd, call),
    }


def runners(book):
    """name -> function solving the whole book once."""
    import quelta
    import quelta._kernel as kernel
    import quelta.black_core as bc

    # vectorized_implied_vol takes one flag per call: calls and puts in two passes
    call = book["series_call"]
    parts = [
        (
            np.ascontiguousarray(book["series_price"][mask]),
            np.ascontiguousarray(book["series_fwd"][mask]),
            q,
        )
        for mask, q in ((call, 1), (~call, -1))
    ]
    size = len(book["price"])
    outs = [np.empty(size) for _ in range(4)]
    args = [book[k] for k in ("price", "fwd", "strike", "is_call", "discount")]
    market = book["price"] * book["discount"]
    kind = book["is_call"] != 0
    threads = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()

    def series():
        for price, fwd, q in parts:
            bc.vectorized_implied_vol(price, fwd, 100.0, q)

    def batch(solve, undiscounted):
        prices = undiscounted * book["discount"]
        columns = (prices, book["fwd"], book["strike"], book["is_call"], book["discount"], None)
        out = [np.empty(size) for _ in range(4)] + [np.empty(size, np.int8)]
        return lambda: solve(*columns, *out)

    def api(n):
        return lambda: quelta.implied_volatility(
            market,
            book["fwd"],
            book["strike"],
            1.0,
            kind=kind,
            discount=book["discount"],
            threads=n,
        )

    return {
        "vectorized_implied_vol": series,
        "compute_trades_greeks": lambda: bc.compute_trades_greeks(*args, *outs),
        "kernel solve, Black": batch(kernel.solve, book["price"]),
        "kernel solve_normal, Bachelier": batch(kernel.solve_normal, book["normal_price"]),
        "implied_volatility, 1 thread": api(1),
        f"implied_volatility, {threads} threads": api(threads),
    }


def child(size, seed, repeats):
    """Times every runner at this process's level; prints one JSON line."""
    import quelta

    book = make_book(size, seed)
    result = {"level": quelta.simd_level(), "ns": {}}
    for name, run in runners(book).items():
        run()  # warm up
        best = min(_timed(run) for _ in range(repeats))
        result["ns"][name] = best / size * 1e9
    print(json.dumps(result))


def _timed(run):
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=1_000_000, help="options in the book")
    parser.add_argument("--rounds", type=int, default=3, help="processes per level, alternated")
    parser.add_argument("--repeats", type=int, default=2, help="timed runs per process")
    parser.add_argument(
        "--levels", default="scalar,avx2,avx512", help="QUELTA_SIMD values, comma separated"
    )
    parser.add_argument("--seed", type=int, default=20240611)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.size, args.seed, args.repeats)
        return

    levels = args.levels.split(",")
    best: dict[str, dict[str, float]] = {}
    chosen = {}
    for _ in range(args.rounds):
        for level in levels:
            run = subprocess.run(
                [
                    sys.executable,
                    "-P",
                    __file__,
                    "--child",
                    "--size",
                    str(args.size),
                    "--repeats",
                    str(args.repeats),
                    "--seed",
                    str(args.seed),
                ],
                env=dict(os.environ, QUELTA_SIMD=level),
                capture_output=True,
                text=True,
                check=True,
            )
            result = json.loads(run.stdout)
            chosen[level] = result["level"]
            for name, ns in result["ns"].items():
                best.setdefault(name, {})[level] = min(ns, best.get(name, {}).get(level, ns))

    book = make_book(min(args.size, 100_000), args.seed)
    print(f"CPU: {cpu_model()}")
    print(
        f"book: {args.size} options, {np.mean(book['is_call']):.0%} calls; "
        f"best of {args.rounds} alternated processes x {args.repeats} runs; "
        f"levels {', '.join(f'{k} -> {v}' for k, v in chosen.items())}"
    )
    base = levels[0]
    header = " | ".join(f"{level} ns" for level in levels)
    ratios = " | ".join(f"{level}/{base}" for level in levels[1:])
    print(f"| function | {header} | {ratios} |")
    print("|---|" + "---:|" * (2 * len(levels) - 1))
    for name, by_level in best.items():
        cells = " | ".join(f"{by_level[level]:.1f}" for level in levels)
        speedups = " | ".join(f"{by_level[base] / by_level[level]:.2f}x" for level in levels[1:])
        print(f"| {name} | {cells} | {speedups} |")
    names = [n for n in best if n.startswith("implied_volatility")]
    one, many = best[names[0]], best[names[1]]
    print("threads: " + ", ".join(f"{level} {one[level] / many[level]:.2f}x" for level in levels))


if __name__ == "__main__":
    main()
