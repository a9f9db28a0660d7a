"""Round-trip accuracy of the implied-volatility solver over a dense sample.

Draws a seeded sample of (x, s, option kind), prices every point exactly with
the mpmath oracle (tests/oracle.py), rounds the price to double, solves it back
with vectorized_implied_vol_strikes and prints, per region, the error
|vol/s - 1| in units of DBL_EPSILON and the same error divided by the
condition number of the point (oracle.condition: the amplification of eps-sized
errors in the price and in ln(F/K)).

Points whose double price carries (almost) no volatility are counted and left
out: a price below the smallest normal double, an out-of-the-money normalised
price below 1e-300, or a condition number above 1e11.

The oracle costs about 2 ms per point (about 3.5 minutes for the default
sample on two cores); the prices are cached under
build/ keyed by the sample parameters, so a rerun only solves and tabulates.

    python benchmarks/accuracy.py                  # 200000 points, 2 processes
    python benchmarks/accuracy.py --points 20000 --jobs 1 --no-cache
"""

import argparse
import hashlib
import math
import multiprocessing
import sys
import time
from pathlib import Path

import numpy as np

import quelta.black_core as bc

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
import oracle  # noqa: E402

EPS = 2.0**-52
DBL_MIN = 2.0**-1022
MAX_CONDITION = 1e11
MIN_NORMALISED_PRICE = 1e-300
# Points this well conditioned get their raw error shown on its own.
WELL_CONDITIONED = 2.0
FORWARD = 100.0
# Bump when the sample or the oracle changes, to invalidate caches.
SAMPLE_VERSION = 1

REGION_CODES = {name: i for i, name in enumerate(oracle.BLACK_REGIONS)}


def draw(n, seed, abs_x_range):
    """n points: |x| log-uniform on abs_x_range (an eighth at x = 0 when the
    range starts below 1e-8), s log-uniform from max(1e-6, |x|/38), where the
    out-of-the-money price is near 1e-300, up to 30; either sign of x (so in
    and out of the money), calls and puts in equal numbers."""
    rng = np.random.default_rng(seed)
    lo_x, hi_x = abs_x_range
    abs_x = np.exp(rng.uniform(np.log(max(lo_x, 1e-9)), np.log(hi_x), n))
    if lo_x < 1e-8:
        abs_x[rng.random(n) < 0.125] = 0.0
    lo = np.log(np.maximum(1e-6, abs_x / 38))
    s = np.exp(lo + rng.random(n) * (np.log(30.0) - lo))
    x = abs_x * rng.choice([-1.0, 1.0], n)
    is_call = rng.random(n) < 0.5
    strike = FORWARD * np.exp(-x)
    return strike, s, is_call


def price_point(args):
    """Oracle view of one point: (price, cond, branch, region code) or NaNs."""
    K, s, is_call = args
    x = math.log(FORWARD / K)
    nothing = (math.nan, math.nan, 0, -1)
    price = oracle.black_price(FORWARD, K, s, is_call)
    if not (price >= DBL_MIN and price < (FORWARD if is_call else K)):
        return nothing
    if not oracle.normalised_price(FORWARD, K, s, x < 0) >= MIN_NORMALISED_PRICE:
        return nothing
    cond = oracle.condition(FORWARD, K, s, is_call)
    if not cond <= MAX_CONDITION:
        return nothing
    return (price, cond, oracle.solver_branch(FORWARD, K, s, is_call),
            REGION_CODES[oracle.black_region(x, s)])


def price_sample(strike, s, is_call, jobs):
    work = list(zip(strike.tolist(), s.tolist(), is_call.tolist()))
    if jobs > 1:
        with multiprocessing.Pool(jobs) as pool:
            rows = pool.map(price_point, work, chunksize=256)
    else:
        rows = list(map(price_point, work))
    price, cond, branch, region = (np.array(col) for col in zip(*rows))
    return {"price": price.astype(float), "cond": cond.astype(float),
            "branch": branch.astype(np.int8), "region": region.astype(np.int8)}


def load_or_price(name, n, seed, abs_x_range, jobs, cache_dir):
    strike, s, is_call = draw(n, seed, abs_x_range)
    key = hashlib.sha256(repr((SAMPLE_VERSION, oracle.TARGET_DIGITS, FORWARD, name, n, seed,
                               abs_x_range)).encode()).hexdigest()[:16]
    path = cache_dir / f"accuracy-{name}-{key}.npz" if cache_dir else None
    if path and path.exists():
        with np.load(path) as f:
            priced = {k: f[k] for k in f.files}
    else:
        t0 = time.perf_counter()
        priced = price_sample(strike, s, is_call, jobs)
        print(f"# oracle: {n} points ({name}) in {time.perf_counter() - t0:.0f} s", file=sys.stderr)
        if path:
            path.parent.mkdir(parents=True, exist_ok=True)
            np.savez_compressed(path, **priced)
    return dict(priced, strike=strike, s=s, is_call=is_call, x=np.log(FORWARD / strike))


def solve(sample):
    vol = np.full(len(sample["s"]), np.nan)
    for is_call in (True, False):
        idx = np.flatnonzero(sample["is_call"] == is_call)
        vol[idx] = bc.vectorized_implied_vol_strikes(
            sample["price"][idx], FORWARD, sample["strike"][idx], 1 if is_call else -1)
    rel = np.abs(vol / sample["s"] - 1.0)
    rel[~np.isfinite(rel)] = np.inf
    return vol, rel / EPS


def kind_name(x, is_call):
    itm = (x > 0) == is_call and x != 0
    return ("call" if is_call else "put") + ("-itm" if itm else "-otm")


def table_rows(sample, vol, err, groups):
    rows = []
    for label, mask in groups:
        idx = np.flatnonzero(mask)
        if idx.size == 0:
            continue
        e = err[idx]
        norm = e / np.maximum(1.0, sample["cond"][idx])
        w = idx[np.argmax(norm)]
        worst = (f"x={sample['x'][w]:.6g} s={sample['s'][w]:.6g} "
                 f"{kind_name(sample['x'][w], sample['is_call'][w])} "
                 f"vol={float(vol[w])!r} cond={sample['cond'][w]:.3g}")
        good = sample["cond"][idx] <= WELL_CONDITIONED
        good_max = f"{e[good].max():.3g}" if good.any() else "-"
        rows.append((label, idx.size, e.max(), np.percentile(e, 99.9), good_max, norm.max(),
                     np.percentile(norm, 99.9), worst))
    return rows


def print_table(title, rows):
    print(f"\n{title}\n")
    print(f"| region | points | max err/eps | 99.9% err/eps | max err/eps, cond <= "
          f"{WELL_CONDITIONED:g} | max err/(eps cond) | 99.9% err/(eps cond) | worst (by err/cond) |")
    print("|---|---:|---:|---:|---:|---:|---:|---|")
    for label, n, emax, e999, good_max, nmax, n999, worst in rows:
        print(f"| {label} | {n} | {emax:.3g} | {e999:.3g} | {good_max} | {nmax:.3g} | {n999:.3g} "
              f"| {worst} |")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--points", type=int, default=200_000, help="main sample, |x| <= 100")
    ap.add_argument("--wide-points", type=int, default=4_000,
                    help="extra sample with 100 < |x| <= 250 (0 to skip)")
    ap.add_argument("--seed", type=int, default=20250607)
    ap.add_argument("--jobs", type=int, default=2, help="oracle processes")
    ap.add_argument("--cache-dir", type=Path, default=ROOT / "build" / "accuracy-cache")
    ap.add_argument("--no-cache", action="store_true")
    ap.add_argument("--tolerance", type=float, default=8.0,
                    help="count points with err/(eps max(1, cond)) above this")
    args = ap.parse_args(argv)
    cache = None if args.no_cache else args.cache_dir

    main_sample = load_or_price("main", args.points, args.seed, (0.0, 100.0), args.jobs, cache)
    samples = [("main", main_sample)]
    if args.wide_points:
        samples.append(("wide", load_or_price("wide", args.wide_points, args.seed + 1,
                                              (100.0, 250.0), args.jobs, cache)))

    for name, smp in samples:
        vol, err = solve(smp)
        smp["vol"], smp["err"] = vol, err
        used = np.isfinite(smp["cond"])
        over = used & (err / np.maximum(1.0, np.nan_to_num(smp["cond"], nan=1.0)) > args.tolerance)
        print(f"# {name}: {used.size} points, {used.sum()} informative, "
              f"{over.sum()} above {args.tolerance:g} eps * max(1, cond)")

    smp, used = main_sample, np.isfinite(main_sample["cond"])
    ax, s = np.abs(smp["x"]), smp["s"]
    by_branch = []
    for b in (1, 2, 3, 4):
        for r, name in enumerate(oracle.BLACK_REGIONS):
            by_branch.append((f"{b} / {name}", used & (smp["branch"] == b) & (smp["region"] == r)))
    by_branch.append(("all, \\|x\\| <= 100", used))
    print_table("By solver segment / Black branch (|x| <= 100)",
                table_rows(smp, smp["vol"], smp["err"], by_branch))

    tiny, huge = s < 1e-2, s >= 5.0
    rest = ~tiny & ~huge
    itm = ((smp["x"] > 0) == smp["is_call"]) & (smp["x"] != 0)
    by_area = [
        ("tiny vol, s < 0.01", used & tiny),
        ("huge vol, s >= 5", used & huge),
        ("near the money, \\|x\\| <= 0.1", used & rest & (ax <= 0.1)),
        ("moderate, 0.1 < \\|x\\| <= 5, OTM", used & rest & (ax > 0.1) & (ax <= 5) & ~itm),
        ("moderate, 0.1 < \\|x\\| <= 5, ITM", used & rest & (ax > 0.1) & (ax <= 5) & itm),
        ("deep, \\|x\\| > 5, OTM", used & rest & (ax > 5) & ~itm),
        ("deep, \\|x\\| > 5, ITM", used & rest & (ax > 5) & itm),
    ]
    if len(samples) > 1:
        w = samples[1][1]
        by_area_rows = table_rows(smp, smp["vol"], smp["err"], by_area)
        by_area_rows += table_rows(w, w["vol"], w["err"],
                                   [("100 < \\|x\\| <= 250 (outside the design range)",
                                     np.isfinite(w["cond"]))])
    else:
        by_area_rows = table_rows(smp, smp["vol"], smp["err"], by_area)
    print_table("By area (regions are disjoint, in the order listed)", by_area_rows)


if __name__ == "__main__":
    main()
