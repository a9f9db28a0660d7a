"""The array functions give up the interpreter lock for their loops, and run side by side."""

import array
import sys
import threading
import time

import numpy as np
import pytest

import quelta.black_core as bc

N_LONG = 400_000  # elements of a call long enough for another thread to be scheduled


class Spinner:
    """A thread that counts loop iterations, giving up the lock between them.

    While the switch interval is huge, the main thread keeps the lock for as
    long as it runs Python code or C code that does not release it, so the
    count can move during a call only if that call lets go of the lock.
    """

    def __init__(self, action=None):
        self.count = 0
        self.stop = False
        self.armed = False  # run `action` on each iteration while set
        self.action = action
        self.started = threading.Event()
        self.thread = threading.Thread(target=self._spin, daemon=True)

    def _spin(self):
        self.started.set()
        while not self.stop:
            self.count += 1
            if self.armed:
                self.action()
            time.sleep(1e-4)  # lets the lock go, so the main thread can take it back

    def __enter__(self):
        self.interval = sys.getswitchinterval()
        self.thread.start()
        self.started.wait()
        sys.setswitchinterval(100.0)
        # A wait for the lock that began under the old interval may still time
        # out and ask this thread to let go; let such waits run out first.
        time.sleep(0.05)
        return self

    def __exit__(self, *exc):
        sys.setswitchinterval(self.interval)
        self.stop = True
        self.thread.join()

    def progress_during(self, call, repeats=3):
        before = self.count
        self.armed = self.action is not None
        try:
            for _ in range(repeats):
                call()
        finally:
            self.armed = False
        return self.count - before


def long_inputs(n=N_LONG):
    rng = np.random.default_rng(5)
    fwd = 100.0 * np.exp(rng.normal(0.0, 0.2, n))
    price = rng.uniform(1.0, 20.0, n)
    return price, fwd


def _vectorized():
    price, fwd = long_inputs()
    return lambda: bc.vectorized_implied_vol(price, fwd, 100.0, 1)


def _strikes():
    price, fwd = long_inputs()
    return lambda: bc.vectorized_implied_vol_strikes(price, 100.0, fwd, -1)


def _batch():
    price, fwd = long_inputs()
    n = len(price)
    args = (
        price,
        fwd,
        np.full(n, 100.0),
        np.ones(n, np.int8),
        np.full(n, 0.9),
        *(np.empty(n) for _ in range(4)),
    )
    return lambda: bc.compute_trades_greeks(*args)


def _holds_the_lock():
    # C code that keeps the lock throughout: shows the spinner cannot sneak in
    data = list(range(1_000_000))
    return lambda: sorted(data, reverse=True)


@pytest.mark.slow
@pytest.mark.parametrize("make", [_vectorized, _strikes, _batch])
def test_loop_runs_without_the_lock(make):
    call = make()
    control = _holds_the_lock()
    with Spinner() as spinner:
        assert spinner.progress_during(control) == 0
        assert spinner.progress_during(call) > 0


class Resizer:
    """Tries to grow an array.array; counts how often its exports forbid it."""

    def __init__(self, target):
        self.target = target
        self.refused = 0
        self.grown = 0

    def __call__(self):
        try:
            self.target.append(0.0)
        except BufferError:
            self.refused += 1
        else:
            self.grown += 1


@pytest.mark.slow
@pytest.mark.parametrize(
    "name, position",
    [
        ("vectorized_implied_vol", 0),
        ("vectorized_implied_vol", 1),
        ("compute_trades_greeks", 0),
        ("compute_trades_greeks", 8),
    ],
)
def test_buffers_stay_exported_while_the_loop_runs(name, position):
    price, fwd = long_inputs()
    n = len(price)
    if name == "vectorized_implied_vol":
        args = [price, fwd, 100.0, 1]
    else:
        args = [
            price,
            fwd,
            np.full(n, 100.0),
            np.ones(n, np.int8),
            np.full(n, 0.9),
            *(np.empty(n) for _ in range(4)),
        ]
    args[position] = target = array.array("d", args[position])
    resizer = Resizer(target)
    with Spinner(resizer) as spinner:
        assert spinner.progress_during(lambda: getattr(bc, name)(*args)) > 0
    assert resizer.refused > 0 and resizer.grown == 0
    assert len(target) == n


def _book(n, seed):
    """Shared inputs: read-only for the vectorized functions, writable for the batch."""
    rng = np.random.default_rng(seed)
    fwd = 100.0 * np.exp(rng.normal(0.0, 0.3, n))
    strike = fwd * np.exp(rng.uniform(-1.0, 1.0, n))
    price = rng.uniform(0.0, 40.0, n)
    is_call = rng.integers(0, 2, n).astype(np.int8)
    discount = rng.uniform(0.5, 1.0, n)
    batch = (price, fwd, strike, is_call, discount)
    frozen = tuple(a.copy() for a in (price, fwd, strike))
    for a in frozen:
        a.flags.writeable = False
    return frozen, batch


def _run_all(frozen, batch):
    price, fwd, strike = frozen
    outs = [np.empty(len(price)) for _ in range(4)]
    bc.compute_trades_greeks(*batch, *outs)
    return [
        bc.vectorized_implied_vol(price, fwd, 100.0, 1),
        bc.vectorized_implied_vol(price, fwd, 100.0, -1),
        bc.vectorized_implied_vol_strikes(price, 100.0, strike, 1),
        *outs,
    ]


@pytest.mark.slow
@pytest.mark.parametrize("n_threads", [4, 8])
def test_concurrent_calls_match_a_serial_run(n_threads):
    inputs = _book(60_000, seed=n_threads)
    serial = _run_all(*inputs)
    barrier = threading.Barrier(n_threads)
    results = [None] * n_threads
    errors = []

    def worker(k):
        try:
            barrier.wait()
            results[k] = [_run_all(*inputs) for _ in range(3)]
        except BaseException as exc:  # handed to the main thread
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    for per_thread in results:
        for run in per_thread:
            for got, want in zip(run, serial, strict=True):
                np.testing.assert_array_equal(got.view(np.uint64), want.view(np.uint64))
