"""Round-trip accuracy of the implied-volatility solver over the whole double domain.

Draws seeded samples of (F, K, s, option kind), prices every point exactly
with the mpmath oracle (tests/oracle.py), rounds the price to double, solves it
back with compute_trades_greeks and prints, per region, the error |vol/s - 1|
in units of DBL_EPSILON and the same error divided by the condition number of
the point (oracle.condition: the amplification of eps-sized errors in the
price and in ln(F/K)). The samples:

    main    |x| = |ln(F/K)| up to 100, s up to 60, F = 100;
    band    76 <= |x| <= 100 at s from 21 to 23, dense: two Householder steps
            alone fall short in this band;
    wide    100 < |x| <= 700, s up to 60, F = 1;
    scale   F and K each log-uniform from 1e-250 to 1e250 (|x| up to 1151);
    tiny    normal out-of-the-money prices whose normalised value
            price/sqrt(F K) is below DBL_MIN (F from 1e150 to 1e250).

Points whose double price carries (almost) no volatility are counted and left
out: a price below the smallest normal double or a condition number above
1e11.

The normal (Bachelier) model gets a table of its own, solved by the batch
kernel (quelta._kernel.solve_normal): F of either sign from 1e-3 to 1e3 in
size, d = (F - K)/s over |d| <= 38 (a quarter log-uniform in |d| from 1e-12
to 1), s from 1e-6 to 1e6 times |F| (so K takes either sign too), the error
in units of eps * max(1, cond) with oracle.bachelier_condition, and the rows
the kernel leaves not solved.

The oracle costs about 2 ms per point (a few minutes for the default samples
on two cores); the prices are cached under build/ keyed by the sample
parameters, so a rerun only solves and tabulates.

    python benchmarks/accuracy.py                  # 200000 + 4 x 20000 points, 2 processes
    python benchmarks/accuracy.py --points 20000 --extra-points 2000 --jobs 1 --no-cache
"""

import argparse
import hashlib
import math
import multiprocessing
import sys
import time
from pathlib import Path

import numpy as np

import quelta._kernel as kernel
import quelta.black_core as bc

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
import oracle  # noqa: E402
from support import cpu_model  # noqa: E402

EPS = 2.0**-52
DBL_MIN = 2.0**-1022
MAX_CONDITION = 1e11
# Points this well conditioned get their raw error shown on its own.
WELL_CONDITIONED = 2.0
# Bump when the samples or the oracle change, to invalidate caches.
SAMPLE_VERSION = 2

REGION_CODES = {name: i for i, name in enumerate(oracle.BLACK_REGIONS)}


def _log_uniform(rng, lo, hi, n=None):
    return np.exp(rng.uniform(np.log(lo), np.log(hi), n))


def _vols_from(rng, abs_x, hi=60.0):
    """s log-uniform from max(1e-6, |x|/38), where the out-of-the-money price is
    near 1e-300, up to hi."""
    lo = np.log(np.maximum(1e-6, abs_x / 38))
    return np.exp(lo + rng.random(abs_x.size) * (np.log(hi) - lo))


def draw(name, n, seed):
    """n points (F, K, s, is_call) of sample `name`; calls and puts in equal
    numbers, in and out of the money (out of the money only in `tiny`)."""
    rng = np.random.default_rng(seed)
    is_call = rng.random(n) < 0.5
    sign = rng.choice([-1.0, 1.0], n)
    if name == "main":  # an eighth at the money
        abs_x = _log_uniform(rng, 1e-9, 100.0, n)
        abs_x[rng.random(n) < 0.125] = 0.0
        s, F = _vols_from(rng, abs_x), np.full(n, 100.0)
    elif name == "band":
        abs_x, s, F = rng.uniform(76.0, 100.0, n), rng.uniform(21.0, 23.0, n), np.full(n, 100.0)
    elif name == "wide":
        abs_x = _log_uniform(rng, 100.0, 700.0, n)
        s, F = _vols_from(rng, abs_x), np.ones(n)
    elif name == "scale":
        F, K = 10.0 ** rng.uniform(-250, 250, n), 10.0 ** rng.uniform(-250, 250, n)
        return F, K, _vols_from(rng, np.abs(np.log(F) - np.log(K))), is_call
    else:  # tiny: out-of-the-money prices of about e^-(705..740) of sqrt(F K)
        abs_x = _log_uniform(rng, 0.5, 20.0, n)
        s = abs_x / np.sqrt(2 * rng.uniform(705.0, 740.0, n))
        sign = np.where(is_call, -1.0, 1.0)
        F = 10.0 ** rng.uniform(150, 250, n)
    return F, F * np.exp(-sign * abs_x), s, is_call


def price_point(args):
    """Oracle view of one point: (price, cond, branch, region code) or NaNs.
    The branch and region (main sample only) label the table by segment."""
    F, K, s, is_call, label = args
    x = math.log(F) - math.log(K)
    nothing = (math.nan, math.nan, 0, -1)
    price = oracle.black_price(F, K, s, is_call)
    if not (price >= DBL_MIN and price < (F if is_call else K)):
        return nothing
    cond = oracle.condition(F, K, s, is_call)
    if not cond <= MAX_CONDITION:
        return nothing
    if not label:
        return (price, cond, 0, -1)
    return (
        price,
        cond,
        oracle.solver_branch(F, K, s, is_call),
        REGION_CODES[oracle.black_region(x, s)],
    )


def price_sample(F, K, s, is_call, label, jobs):
    work = [
        (f, k, v, c, label)
        for f, k, v, c in zip(F.tolist(), K.tolist(), s.tolist(), is_call.tolist())
    ]
    if jobs > 1:
        with multiprocessing.Pool(jobs) as pool:
            rows = pool.map(price_point, work, chunksize=256)
    else:
        rows = list(map(price_point, work))
    price, cond, branch, region = (np.array(col) for col in zip(*rows))
    return {
        "price": price.astype(float),
        "cond": cond.astype(float),
        "branch": branch.astype(np.int8),
        "region": region.astype(np.int8),
    }


def load_or_price(name, n, seed, jobs, cache_dir):
    F, K, s, is_call = draw(name, n, seed)
    key = hashlib.sha256(
        repr((SAMPLE_VERSION, oracle.TARGET_DIGITS, name, n, seed)).encode()
    ).hexdigest()[:16]
    path = cache_dir / f"accuracy-{name}-{key}.npz" if cache_dir else None
    if path and path.exists():
        with np.load(path) as f:
            priced = {k: f[k] for k in f.files}
    else:
        t0 = time.perf_counter()
        priced = price_sample(F, K, s, is_call, name == "main", jobs)
        print(f"# oracle: {n} points ({name}) in {time.perf_counter() - t0:.0f} s", file=sys.stderr)
        if path:
            path.parent.mkdir(parents=True, exist_ok=True)
            np.savez_compressed(path, **priced)
    return dict(priced, F=F, strike=K, s=s, is_call=is_call, x=np.log(F) - np.log(K))


def solve(sample):
    """Every point through compute_trades_greeks (its own F and K, discount 1)."""
    n = len(sample["s"])
    vol, delta, gamma, vega = (np.empty(n) for _ in range(4))
    bc.compute_trades_greeks(
        np.nan_to_num(sample["price"], nan=-1.0),
        sample["F"],
        sample["strike"],
        sample["is_call"].astype(np.int8),
        np.ones(n),
        vol,
        delta,
        gamma,
        vega,
    )
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
        worst = (
            f"x={sample['x'][w]:.6g} s={sample['s'][w]:.6g} "
            f"{kind_name(sample['x'][w], sample['is_call'][w])} "
            f"vol={float(vol[w])!r} cond={sample['cond'][w]:.3g}"
        )
        good = sample["cond"][idx] <= WELL_CONDITIONED
        good_max = f"{e[good].max():.3g}" if good.any() else "-"
        rows.append(
            (
                label,
                idx.size,
                e.max(),
                np.percentile(e, 99.9),
                good_max,
                norm.max(),
                np.percentile(norm, 99.9),
                worst,
            )
        )
    return rows


def print_table(title, rows):
    print(f"\n{title}\n")
    print(
        f"| region | points | max err/eps | 99.9% err/eps | max err/eps, cond <= "
        f"{WELL_CONDITIONED:g} | max err/(eps cond) | 99.9% err/(eps cond) | worst (by err/cond) |"
    )
    print("|---|---:|---:|---:|---:|---:|---:|---|")
    for label, n, emax, e999, good_max, nmax, n999, worst in rows:
        print(
            f"| {label} | {n} | {emax:.3g} | {e999:.3g} | {good_max} | {nmax:.3g} | {n999:.3g} "
            f"| {worst} |"
        )


def draw_normal(n, seed):
    """n points (F, K, s, is_call) of the normal-model sample."""
    rng = np.random.default_rng(seed)
    F = rng.choice([-1.0, 1.0], n) * 10.0 ** rng.uniform(-3, 3, n)
    d = rng.uniform(-38.0, 38.0, n)
    # a quarter near the money, |d| down to 1e-12: s far above |F| + |K|
    near = rng.random(n) < 0.25
    d[near] = np.copysign(10.0 ** rng.uniform(-12, 0, near.sum()), d[near])
    s = np.abs(F) * 10.0 ** rng.uniform(-6, 6, n)
    return F, F - d * s, s, rng.random(n) < 0.5


def normal_point(args):
    """(price, cond) of one normal-model point, NaNs where the price carries no
    volatility (at intrinsic, below DBL_MIN or too ill-conditioned)."""
    F, K, s, is_call = args
    price = oracle.bachelier_price(F, K, s, is_call)
    intrinsic = max(F - K, 0.0) if is_call else max(K - F, 0.0)
    if not (price >= DBL_MIN and price > intrinsic):
        return (math.nan, math.nan)
    cond = oracle.bachelier_condition(F, K, s, is_call)
    return (price, cond) if cond <= MAX_CONDITION else (math.nan, math.nan)


def normal_table(n, seed, jobs, cache_dir, tolerance):
    F, K, s, is_call = draw_normal(n, seed)
    key = hashlib.sha256(
        repr((SAMPLE_VERSION, oracle.TARGET_DIGITS, "normal", n, seed)).encode()
    ).hexdigest()[:16]
    path = cache_dir / f"accuracy-normal-{key}.npz" if cache_dir else None
    if path and path.exists():
        with np.load(path) as f:
            price, cond = f["price"], f["cond"]
    else:
        t0 = time.perf_counter()
        work = list(zip(F.tolist(), K.tolist(), s.tolist(), is_call.tolist()))
        if jobs > 1:
            with multiprocessing.Pool(jobs) as pool:
                rows = pool.map(normal_point, work, chunksize=256)
        else:
            rows = list(map(normal_point, work))
        price, cond = (np.array(c, dtype=float) for c in zip(*rows))
        print(f"# oracle: {n} points (normal) in {time.perf_counter() - t0:.0f} s", file=sys.stderr)
        if path:
            path.parent.mkdir(parents=True, exist_ok=True)
            np.savez_compressed(path, price=price, cond=cond)
    used = np.isfinite(price)
    vol = np.empty(n)
    outs = [np.empty(n) for _ in range(3)]
    reason = np.empty(n, np.int8)
    kernel.solve_normal(
        np.nan_to_num(price, nan=-1.0),
        F,
        K,
        is_call.astype(np.int8),
        np.ones(n),
        None,
        vol,
        *outs,
        reason,
    )
    err = np.abs(vol / s - 1.0) / EPS
    norm = err / np.maximum(1.0, np.nan_to_num(cond, nan=1.0))
    ad, scale = np.abs(F - K) / s, s / (np.abs(F) + np.abs(K))
    itm = np.where(is_call, F > K, K > F)
    print(
        f"\nNormal model: {n} points, {used.sum()} informative, "
        f"{(used & (norm > tolerance)).sum()} above {tolerance:g} eps * max(1, cond)\n"
    )
    print(
        "| region | points | not solved | max err/eps | max err/(eps max(1, cond)) | "
        "99.9% | worst (by err/cond) |"
    )
    print("|---|---:|---:|---:|---:|---:|---|")
    groups = [
        (f"{lo:g} <= \\|d\\| < {hi:g}, {side}", (ad >= lo) & (ad < hi) & (itm == m))
        for lo, hi in ((0, 1e-4), (1e-4, 1), (1, 5), (5, 20), (20, 38.1))
        for side, m in (("OTM", False), ("ITM", True))
    ]
    groups += [
        ("s < 1e-3 (\\|F\\| + \\|K\\|)", scale < 1e-3),
        ("s > 1e3 (\\|F\\| + \\|K\\|)", scale > 1e3),
        ("F and K of opposite signs", np.sign(F) != np.sign(K)),
        ("all", np.ones(n, bool)),
    ]
    for label, mask in groups:
        idx = np.flatnonzero(used & mask)
        if idx.size == 0:
            continue
        w = idx[np.argmax(norm[idx])]
        worst = (
            f"F={F[w]:.6g} K={K[w]:.6g} s={s[w]:.6g} "
            f"{'call' if is_call[w] else 'put'} vol={float(vol[w])!r} cond={cond[w]:.3g}"
        )
        print(
            f"| {label} | {idx.size} | {(reason[idx] == 7).sum()} | {err[idx].max():.3g} | "
            f"{norm[idx].max():.3g} | {np.percentile(norm[idx], 99.9):.3g} | {worst} |"
        )


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--points", type=int, default=200_000, help="main sample, |x| <= 100")
    ap.add_argument(
        "--extra-points",
        type=int,
        default=20_000,
        help="each of the samples band, wide, scale and tiny (0 to skip)",
    )
    ap.add_argument("--seed", type=int, default=20250607)
    ap.add_argument("--jobs", type=int, default=2, help="oracle processes")
    ap.add_argument("--cache-dir", type=Path, default=ROOT / "build" / "accuracy-cache")
    ap.add_argument("--no-cache", action="store_true")
    ap.add_argument(
        "--normal-points", type=int, default=100_000, help="normal-model sample (0 to skip)"
    )
    ap.add_argument("--normal-only", action="store_true", help="the normal-model table alone")
    ap.add_argument(
        "--tolerance",
        type=float,
        default=4.0,
        help="count points with err/(eps max(1, cond)) above this",
    )
    args = ap.parse_args(argv)
    cache = None if args.no_cache else args.cache_dir
    print(f"CPU: {cpu_model()}")
    if args.normal_points:
        normal_table(args.normal_points, args.seed + 100, args.jobs, cache, args.tolerance)
    if args.normal_only:
        return

    names = ["main"] + (["band", "wide", "scale", "tiny"] if args.extra_points else [])
    samples = {}
    for i, name in enumerate(names):
        n = args.points if name == "main" else args.extra_points
        smp = load_or_price(name, n, args.seed + i, args.jobs, cache)
        smp["vol"], smp["err"] = solve(smp)
        used = np.isfinite(smp["cond"])
        over = used & (
            smp["err"] / np.maximum(1.0, np.nan_to_num(smp["cond"], nan=1.0)) > args.tolerance
        )
        print(
            f"# {name}: {used.size} points, {used.sum()} informative, "
            f"{over.sum()} above {args.tolerance:g} eps * max(1, cond)"
        )
        samples[name] = smp

    smp = samples["main"]
    used = np.isfinite(smp["cond"])
    ax, s = np.abs(smp["x"]), smp["s"]
    by_branch = []
    for b in (1, 2, 3, 4):
        for r, name in enumerate(oracle.BLACK_REGIONS):
            by_branch.append((f"{b} / {name}", used & (smp["branch"] == b) & (smp["region"] == r)))
    by_branch.append(("all, \\|x\\| <= 100", used))
    print_table(
        "By solver segment / Black branch (|x| <= 100)",
        table_rows(smp, smp["vol"], smp["err"], by_branch),
    )

    tiny, huge = s < 1e-2, s >= 5.0
    rest = ~tiny & ~huge
    itm = ((smp["x"] > 0) == smp["is_call"]) & (smp["x"] != 0)
    rows = table_rows(
        smp,
        smp["vol"],
        smp["err"],
        [
            ("tiny vol, s < 0.01", used & tiny),
            ("huge vol, s >= 5", used & huge),
            ("near the money, \\|x\\| <= 0.1", used & rest & (ax <= 0.1)),
            ("moderate, 0.1 < \\|x\\| <= 5, OTM", used & rest & (ax > 0.1) & (ax <= 5) & ~itm),
            ("moderate, 0.1 < \\|x\\| <= 5, ITM", used & rest & (ax > 0.1) & (ax <= 5) & itm),
            ("deep, \\|x\\| > 5, OTM", used & rest & (ax > 5) & ~itm),
            ("deep, \\|x\\| > 5, ITM", used & rest & (ax > 5) & itm),
        ],
    )
    extra = {
        "band": [("band 76 <= \\|x\\| <= 100, 21 <= s <= 23", None)],
        "wide": [
            ("100 < \\|x\\| <= 250", (100, 250)),
            ("250 < \\|x\\| <= 450", (250, 450)),
            ("450 < \\|x\\| <= 700", (450, 700)),
        ],
        "scale": [
            ("F, K from 1e-250 to 1e250, \\|x\\| <= 900", (0, 900)),
            ("F, K from 1e-250 to 1e250, \\|x\\| > 900", (900, np.inf)),
        ],
        "tiny": [("price/sqrt(F K) < DBL_MIN", None)],
    }
    for name, groups in extra.items():
        if name not in samples:
            continue
        w = samples[name]
        ok = np.isfinite(w["cond"])
        wx = np.abs(w["x"])
        for label, band in groups:
            for kind, call in (("calls", True), ("puts", False)):
                mask = ok & (w["is_call"] == call)
                if band:
                    mask &= (wx > band[0]) & (wx <= band[1])
                rows += table_rows(w, w["vol"], w["err"], [(f"{label}, {kind}", mask)])
    print_table("By area (regions are disjoint, in the order listed)", rows)


if __name__ == "__main__":
    main()
