"""quelta's implied volatilities side by side with what a Python user would
otherwise pick: speed (ns per implied volatility) and accuracy against the
exact implied volatility, on one fixed, seeded set of options.

The set: --points options (default 100000) with strike K = 100 and forward
F = 100 e^x, calls and puts, in five regions

    atm       near the money, |x| <= 0.05, s in [0.02, 1.5]
    moderate  in and out of the money, 0.05 <= |x| <= 1.5, s in [0.05, 1.5]
    deep      out of the money, normalised price 1e-200 .. 1e-8
    tiny      total volatility s in [1e-5, 1e-3], |x/s| <= 8
    huge      total volatility s in [5, 20]

(s the total volatility; in-the-money points keep |x/s| <= 5 so that the
time value is not lost in the rounding of the price). Each price is the exact
Black price rounded to double (mpmath, tests/oracle.py); the reference
volatility is the exact implied volatility of that double price, found by
Newton steps at 190 bits from the drawn s. Points whose double inputs do not
fix the volatility to about 1e-9 (oracle.condition above 1e7: in-the-money
options at huge volatility priced within a few ulp of the strike) are drawn
again. Building the set takes about 6 ms per option on one core (5 minutes
on two); it is cached under build/peers/ keyed by seed, size and sample
version, so later runs, and runs in other environments sharing the
checkout, only time and compare.

Peers, each timed --repeats times in interleaved order, in CPU time of the
calling thread (best and median kept):

    quelta implied_vol          Python loop over the scalar function
    vectorized_implied_vol      one call per option kind (the set has a single
                                strike and a forward per option, which is that
                                function's layout): two calls in all
    compute_trades_greeks       one call over all trades (volatility and Greeks)
    scipy brentq                per option on the Black formula with
                                scipy.special.ndtr, bracket [1e-8, 50],
                                xtol 1e-300 and rtol 4 eps (full precision it
                                can reach); on a --brentq-points subsample
    numpy Newton                vectorized, 20 fixed iterations from the
                                Brenner-Subrahmanyam start sqrt(2 pi) p/sqrt(FK)
                                clipped to [1e-3, 5], steps clipped to
                                [1e-8, 50]; scipy.special.ndtr
    C++ Black price             unit cost of one Black price in a C++ loop with
                                the platform erfc (benchmarks/black_price_loop.cpp
                                built with the system g++ -O2, loaded by ctypes)
    QuantLib                    not run: not installed, by project policy (it
                                may bundle an implementation of the method
                                quelta uses, which we do not install or read)

A failure is no answer (0, NaN or an exception) or a relative error above
1e-8 against the reference volatility. The ratio of vectorized_implied_vol to
the Black-price unit cost is taken within each repeat.

Usage (from the checkout, with quelta installed in the running interpreter;
-P keeps the checkout's quelta/ from shadowing the installed package):

    python -P benchmarks/peers.py                   # 100000 options, table
    python -P benchmarks/peers.py --jobs 2          # build the set on 2 cores
    python -P benchmarks/peers.py --points 20000 --repeats 3 --save-vols v.npz

Both C libraries, one table (the 3.14 runner needs root and the tree of
ci/py314.sh; it builds quelta from the checkout inside the tree):

    python -P benchmarks/peers.py --repeats 15 --json build/peers/default.json
    sudo bash benchmarks/peers-py314.sh --repeats 15 --json build/peers/py314.json
    python -P benchmarks/peers.py --combine build/peers/default.json build/peers/py314.json

Needs numpy, scipy, mpmath and g++.
"""

import argparse
import ctypes
import hashlib
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
import mpmath  # noqa: E402
import oracle  # noqa: E402
import scipy  # noqa: E402
from scipy.optimize import brentq  # noqa: E402
from scipy.special import log_ndtr, ndtr  # noqa: E402

import quelta.black_core as bc  # noqa: E402

STRIKE = 100.0
REGIONS = ("atm", "moderate", "deep", "tiny", "huge")
REGION_SHARE = (0.20, 0.30, 0.20, 0.15, 0.15)
TOLERANCE = 1e-8
BLACK_LOOP = "C++ Black price, platform erfc"
# Largest amplification of eps-sized input errors (oracle.condition) kept in
# the set: the double inputs then fix the volatility to about 1e-9.
MAX_CONDITION = 1e7
SQRT_TWO_PI = math.sqrt(2.0 * math.pi)
# Bump when the sample or its reference values change, to invalidate caches.
SAMPLE_VERSION = 2


# ------------------------------------------------------------------ the set


def _log_uniform(rng, lo, hi, n):
    return np.exp(rng.uniform(math.log(lo), math.log(hi), n))


def _log_otm_price(x_otm, s):
    """ln of the normalised out-of-the-money call at x_otm <= 0 (double, rough)."""
    h, t = x_otm / s, 0.5 * s
    a = 0.5 * x_otm + log_ndtr(h + t)
    b = -0.5 * x_otm + log_ndtr(h - t)
    with np.errstate(divide="ignore"):
        return a + np.log1p(-np.exp(np.minimum(b - a, 0.0)))


def _deep_x(rng, s):
    """x_otm < 0 whose normalised price is 10^L, L uniform in [-200, -8]."""
    target = rng.uniform(-200.0, -8.0, s.size) * math.log(10.0)
    lo = np.full(s.size, -4000.0)
    hi = np.zeros(s.size)
    for _ in range(80):
        mid = 0.5 * (lo + hi)
        above = _log_otm_price(mid, s) > target
        hi = np.where(above, mid, hi)
        lo = np.where(above, lo, mid)
    return 0.5 * (lo + hi)


def draw(region, n, rng):
    """n candidate points of one region: (x, s, is_call)."""
    is_call = rng.random(n) < 0.5
    # +1: out of the money (x <= 0 for a call, x >= 0 for a put), -1: in.
    otm = np.where(rng.random(n) < 0.5, 1.0, -1.0)
    if region == "atm":
        s = _log_uniform(rng, 0.02, 1.5, n)
        x = rng.uniform(-0.05, 0.05, n)
        x[rng.random(n) < 0.05] = 0.0
        return x, s, is_call
    if region == "moderate":
        ax = rng.uniform(0.05, 1.5, n)
        s_lo = np.where(otm > 0, 0.05, np.maximum(0.05, ax / 5.0))
        s = np.exp(rng.uniform(np.log(s_lo), math.log(1.5)))
        x_otm = -ax
    elif region == "deep":
        otm[:] = 1.0
        s = _log_uniform(rng, 0.02, 3.0, n)
        x_otm = _deep_x(rng, s)
    elif region == "tiny":
        s = _log_uniform(rng, 1e-5, 1e-3, n)
        x_otm = -s * rng.uniform(0.0, 1.0, n) * np.where(otm > 0, 8.0, 5.0)
    elif region == "huge":
        s = _log_uniform(rng, 5.0, 20.0, n)
        d = rng.uniform(-4.0, np.minimum(5.0, 0.5 * s))  # h + t of the out-of-the-money call
        x_otm = s * (d - 0.5 * s)
    else:
        raise ValueError(region)
    # A call is out of the money for x <= 0, a put for x >= 0.
    x = np.where(is_call, 1.0, -1.0) * otm * x_otm
    return x, s, is_call


def _reference_point(args):
    """(price, vol_hi, vol_lo) for one candidate, or None when its double price
    has no implied volatility (at or beyond the no-arbitrage bounds) or its
    double inputs do not pin the volatility down (condition above MAX_CONDITION)."""
    F, K, s, is_call = args
    price = oracle.black_price(F, K, s, is_call)
    prec = oracle._TARGET_BITS + oracle._GUARD_BITS
    with mpmath.workprec(prec):
        Fm, Km, p = mpmath.mpf(F), mpmath.mpf(K), mpmath.mpf(price)
        intrinsic = max(Fm - Km, 0) if is_call else max(Km - Fm, 0)
        if not (p > intrinsic and p < (Fm if is_call else Km)) or price < 2.0**-1022:
            return None
        beta = p / mpmath.sqrt(Fm * Km)
        sv = mpmath.mpf(s)
    for _ in range(40):
        b = oracle.normalised_price(F, K, sv, is_call)
        with mpmath.workprec(prec):
            x = mpmath.log(Fm / Km)
            vega = mpmath.exp(-((x / sv + sv / 2) ** 2) / 2) / mpmath.sqrt(2 * mpmath.pi)
            vega *= mpmath.exp(x / 2)
            if vega == 0:
                return None
            step = (beta - b) / vega
            # Newton on a monotone function: never leave the positive axis.
            sv = sv + step if sv + step > 0 else sv / 2
            if abs(step) <= sv * mpmath.mpf(2) ** -140:
                hi = float(sv)
                lo = float(sv - mpmath.mpf(hi))
                break
    else:
        return None
    if not oracle.condition(F, K, hi, is_call) <= MAX_CONDITION:
        return None
    return price, hi, lo


def build_set(n, seed, jobs):
    rng = np.random.default_rng(seed)
    counts = [round(n * share) for share in REGION_SHARE]
    counts[0] += n - sum(counts)
    cols = {k: [] for k in ("F", "price", "vol_hi", "vol_lo", "is_call", "region", "s")}
    pool = None
    if jobs > 1:
        import multiprocessing

        pool = multiprocessing.Pool(jobs)
    started = time.perf_counter()
    try:
        for code, (region, want) in enumerate(zip(REGIONS, counts)):
            have = 0
            while have < want:
                # Over-draw a little: a few candidates have no volatility.
                m = want - have + max(16, (want - have) // 20)
                x, s, is_call = draw(region, m, rng)
                F = STRIKE * np.exp(x)
                todo = [(float(F[i]), STRIKE, float(s[i]), bool(is_call[i])) for i in range(m)]
                results = (pool.imap if pool else map)(_reference_point, todo)
                for i, r in enumerate(results):
                    if r is None or have >= want:
                        continue
                    cols["F"].append(F[i])
                    cols["price"].append(r[0])
                    cols["vol_hi"].append(r[1])
                    cols["vol_lo"].append(r[2])
                    cols["is_call"].append(is_call[i])
                    cols["region"].append(code)
                    cols["s"].append(s[i])
                    have += 1
                print(
                    f"  {region:<8s} {have:6d}/{want:d}  ({time.perf_counter() - started:.0f} s)",
                    file=sys.stderr,
                )
    finally:
        if pool:
            pool.close()
            pool.join()
    return {
        "F": np.array(cols["F"], dtype=np.float64),
        "price": np.array(cols["price"], dtype=np.float64),
        "vol_hi": np.array(cols["vol_hi"], dtype=np.float64),
        "vol_lo": np.array(cols["vol_lo"], dtype=np.float64),
        "is_call": np.array(cols["is_call"], dtype=np.int8),
        "region": np.array(cols["region"], dtype=np.int8),
        "s": np.array(cols["s"], dtype=np.float64),
    }


def load_set(n, seed, jobs, cache_dir, use_cache):
    key = hashlib.sha256(f"{n:d} {seed:d} {SAMPLE_VERSION:d}".encode()).hexdigest()[:12]
    path = Path(cache_dir) / f"set-seed{seed:d}-n{n:d}-{key}.npz"
    if use_cache and path.exists():
        with np.load(path) as z:
            return {k: z[k] for k in z.files}, path
    print(f"pricing {n:d} options with mpmath (cached at {path})", file=sys.stderr)
    data = build_set(n, seed, jobs)
    if use_cache:
        path.parent.mkdir(parents=True, exist_ok=True)
        tmp = path.with_name(f"{path.name}.{os.getpid():d}.tmp.npz")
        np.savez(tmp, **data)
        os.replace(tmp, path)
    return data, path


# -------------------------------------------------------------------- peers


def black_price_np(F, K, s, is_call):
    d1 = np.log(F / K) / s + 0.5 * s
    d2 = d1 - s
    call = F * ndtr(d1) - K * ndtr(d2)
    put = K * ndtr(-d2) - F * ndtr(-d1)
    return np.where(is_call, call, put)


def newton_numpy(price, F, K, is_call, iterations=20):
    s = np.clip(SQRT_TWO_PI * price / np.sqrt(F * K), 1e-3, 5.0)
    with np.errstate(all="ignore"):
        for _ in range(iterations):
            d1 = np.log(F / K) / s + 0.5 * s
            vega = F * np.exp(-0.5 * d1 * d1) / SQRT_TWO_PI
            s = np.clip(s - (black_price_np(F, K, s, is_call) - price) / vega, 1e-8, 50.0)
    return s


def _black_scalar(F, K, s, is_call):
    d1 = math.log(F / K) / s + 0.5 * s
    d2 = d1 - s
    if is_call:
        return F * ndtr(d1) - K * ndtr(d2)
    return K * ndtr(-d2) - F * ndtr(-d1)


def brentq_loop(price, F, K, is_call):
    out = np.empty(price.size)
    for i, (p, f, c) in enumerate(zip(price.tolist(), F.tolist(), is_call.tolist())):
        try:
            out[i] = brentq(
                lambda s, f=f, c=c, p=p: _black_scalar(f, K, s, c) - p,
                1e-8,
                50.0,
                xtol=1e-300,
                rtol=4 * 2.0**-52,
            )
        except (ValueError, RuntimeError, ZeroDivisionError):
            out[i] = np.nan
    return out


def _by_region(region):
    return ", ".join(f"{r} {c:d}" for r, c in zip(REGIONS, np.bincount(region, minlength=5)))


def implied_vol_loop(price, F, K, q):
    iv = bc.implied_vol
    return np.array([iv(p, f, K, qq) for p, f, qq in zip(price, F, q)])


def build_black_loop(workdir):
    source = ROOT / "benchmarks" / "black_price_loop.cpp"
    lib = Path(workdir) / "black_price_loop.so"
    cmd = ["g++", "-O2", "-shared", "-fPIC", "-o", str(lib), str(source)]
    subprocess.run(cmd, check=True)
    fn = ctypes.CDLL(str(lib)).black_price_loop
    dp = ctypes.POINTER(ctypes.c_double)
    fn.argtypes = [dp, dp, dp, ctypes.POINTER(ctypes.c_int8), dp, ctypes.c_int64]
    fn.restype = None
    return fn, " ".join(cmd[:2])


def timed(fn):
    # CPU time of this thread: every peer runs single-threaded in the calling
    # thread, and time spent descheduled on a shared machine is left out.
    t0 = time.thread_time_ns()
    out = fn()
    return time.thread_time_ns() - t0, out


# --------------------------------------------------------------- reporting


def rel_errors(vol, hi, lo):
    """|vol - v*|/v* against the reference v* = hi + lo; inf where no answer."""
    with np.errstate(all="ignore"):
        err = np.abs((vol - hi) - lo) / hi
    answered = np.isfinite(vol) & (vol > 0)
    return np.where(answered, err, np.inf)


def libc_name():
    name, version = platform.libc_ver()
    return f"{name} {version}" if name else "unknown libc"


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--points", type=int, default=100000)
    ap.add_argument("--seed", type=int, default=20240611)
    ap.add_argument("--brentq-points", type=int, default=2000)
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--jobs", type=int, default=1, help="processes for building the set")
    ap.add_argument("--cache-dir", default=str(ROOT / "build" / "peers"))
    ap.add_argument("--no-cache", action="store_true")
    ap.add_argument("--save-vols", help="write quelta's vectorized results to this .npz")
    ap.add_argument("--json", help="also write the results to this file")
    ap.add_argument(
        "--combine",
        nargs="+",
        metavar="JSON",
        help="print one table from the --json files of earlier runs and exit",
    )
    args = ap.parse_args(argv)
    if args.combine:
        print_table([json.loads(Path(f).read_text()) for f in args.combine])
        return

    data, path = load_set(args.points, args.seed, args.jobs, args.cache_dir, not args.no_cache)
    n = data["price"].size
    price, F, hi, lo = data["price"], data["F"], data["vol_hi"], data["vol_lo"]
    is_call, region = data["is_call"], data["region"]
    K = np.full(n, STRIKE)
    q = np.where(is_call != 0, 1, -1).astype(np.int32)
    calls = np.flatnonzero(is_call != 0)
    puts = np.flatnonzero(is_call == 0)
    # Contiguous per-kind inputs of vectorized_implied_vol, made outside the timing.
    groups = [
        (np.ascontiguousarray(price[ix]), np.ascontiguousarray(F[ix]), kind, ix)
        for ix, kind in ((calls, 1), (puts, -1))
    ]
    sub = np.random.default_rng(args.seed + 1).choice(n, min(args.brentq_points, n), replace=False)
    sub.sort()
    price_l, F_l, q_l = price.tolist(), F.tolist(), q.tolist()
    s_ref = np.ascontiguousarray(hi)
    greeks_out = [np.empty(n) for _ in range(4)]
    discount = np.ones(n)
    prices_out = np.empty(n)
    dp = ctypes.POINTER(ctypes.c_double)

    def run_vectorized():
        out = np.empty(n)
        for p_g, F_g, kind, ix in groups:
            out[ix] = bc.vectorized_implied_vol(p_g, F_g, STRIKE, kind)
        return out

    def run_vectorized_only():
        # The same two calls without the scatter into one array.
        return [bc.vectorized_implied_vol(p_g, F_g, STRIKE, kind) for p_g, F_g, kind, _ in groups]

    def run_greeks():
        bc.compute_trades_greeks(price, F, K, is_call, discount, *greeks_out)
        return greeks_out[0].copy()

    with tempfile.TemporaryDirectory() as workdir:
        black_loop, compiler = build_black_loop(workdir)

        def run_black():
            black_loop(
                F.ctypes.data_as(dp),
                K.ctypes.data_as(dp),
                s_ref.ctypes.data_as(dp),
                is_call.ctypes.data_as(ctypes.POINTER(ctypes.c_int8)),
                prices_out.ctypes.data_as(dp),
                n,
            )
            return prices_out

        peers = [
            (
                "quelta implied_vol (Python loop)",
                n,
                lambda: implied_vol_loop(price_l, F_l, STRIKE, q_l),
            ),
            ("quelta vectorized_implied_vol", n, run_vectorized_only),
            ("quelta compute_trades_greeks", n, run_greeks),
            (
                "scipy brentq (per option)",
                sub.size,
                lambda: brentq_loop(price[sub], F[sub], STRIKE, is_call[sub] != 0),
            ),
            ("numpy Newton, 20 iterations", n, lambda: newton_numpy(price, F, K, is_call != 0)),
            (BLACK_LOOP, n, run_black),
        ]
        for _, _, fn in peers:  # warm up: page faults, lazy binding, caches
            fn()
        times = {name: [] for name, _, _ in peers}
        ratios = []
        outputs = {}
        for rep in range(args.repeats):
            for name, count, fn in peers:
                ns, out = timed(fn)
                times[name].append(ns / count)
                if rep == 0:
                    outputs[name] = out
            ratios.append(times["quelta vectorized_implied_vol"][-1] / times[BLACK_LOOP][-1])
        outputs["quelta vectorized_implied_vol"] = run_vectorized()

    if args.save_vols:
        np.savez(
            args.save_vols,
            vectorized=outputs["quelta vectorized_implied_vol"],
            vol_hi=hi,
            vol_lo=lo,
            region=region,
        )

    result = {
        "env": f"{platform.python_implementation()} {platform.python_version()}, {libc_name()}",
        "header": (
            f"{n:d} options (seed {args.seed:d}; {_by_region(region)}), "
            f"K = 100; brentq on {sub.size:d} of them ({_by_region(region[sub])}); "
            f"NumPy {np.__version__}, SciPy {scipy.__version__}, mpmath {mpmath.__version__}; "
            f"Black loop: {compiler}."
        ),
        "repeats": args.repeats,
        "ratio": [min(ratios), statistics.median(ratios)],
        "peers": [],
    }
    for name, count, _ in peers:
        row = {
            "name": name,
            "options": count,
            "best": min(times[name]),
            "median": statistics.median(times[name]),
        }
        if name != BLACK_LOOP:
            idx = sub if count != n else slice(None)
            err = rel_errors(np.asarray(outputs[name], dtype=np.float64), hi[idx], lo[idx])
            fail = ~(err <= TOLERANCE)
            reg = region[idx]
            finite = err[np.isfinite(err)]
            row["fail"] = [int(np.count_nonzero(fail & (reg == c))) for c in range(len(REGIONS))]
            row["median_err"] = float(np.median(finite)) if finite.size else None
            row["max_err"] = float(finite.max()) if finite.size else None
        result["peers"].append(row)
    if args.json:
        Path(args.json).parent.mkdir(parents=True, exist_ok=True)
        Path(args.json).write_text(json.dumps(result, indent=1))
    print_table([result])
    print(f"set: {path}")


def _err(v):
    return "—" if v is None else f"{v:.1e}"


def print_table(results):
    """Markdown table; ns columns per environment, accuracy from the first
    (the accuracy columns of quelta are the same on every C library)."""
    first = results[0]
    if len(results) == 1:
        print("## Implied volatility peers, {}".format(first["env"]))
        ns_heads = ["ns/vol best", "ns/vol median"]
    else:
        print("## Implied volatility peers")
        ns_heads = ["ns/vol, {}".format(r["env"]) for r in results]
    print()
    print(first["header"])
    print(
        f"ns per volatility: thread CPU time, "
        f"{'best / median' if len(results) == 1 else 'best'} of {first['repeats']:d} "
        f"interleaved repeats. Failures: no answer, or relative error > {TOLERANCE:g} against "
        "the exact implied volatility of the double price."
    )
    print()
    heads = ["peer", "options"] + ns_heads + [f"fail {r}" for r in REGIONS]
    heads += ["median rel err", "max rel err"]
    print("| " + " | ".join(heads) + " |")
    print("|---|" + "---:|" * (len(heads) - 1))
    for i, row in enumerate(first["peers"]):
        if len(results) == 1:
            ns = ["{:.0f}".format(row["best"]), "{:.0f}".format(row["median"])]
        else:
            ns = ["{:.0f}".format(r["peers"][i]["best"]) for r in results]
        cells = [row["name"], f"{row['options']:d}", *ns]
        if "fail" in row:
            cells += [f"{f:d}" for f in row["fail"]]
            cells += [_err(row["median_err"]), _err(row["max_err"])]
        else:
            cells += ["—"] * (len(REGIONS) + 2)
        print("| " + " | ".join(cells) + " |")
    print("| QuantLib | — |" + " not run |" * len(ns_heads) + " — |" * (len(REGIONS) + 2))
    print()
    print(
        "QuantLib: not installed, by project policy (it may bundle an implementation of the "
        "method quelta uses)."
    )
    for r in results:
        print(
            "vectorized_implied_vol / C++ Black price, {}: {:.2f} best, {:.2f} median "
            "(ratio taken within each repeat).".format(r["env"], r["ratio"][0], r["ratio"][1])
        )


if __name__ == "__main__":
    main()
