"""Calls keep nothing: no reference, memory or buffer export outlives a call.

Every public function is driven through its success paths and through every
error path (binding, scalar conversion, buffer refusal, short arrays, a
failing or missing np.empty), at least 10^5 calls per function in all. Growth
is looked for four ways: the reference counts of the objects handed in (and
of np and of what a stand-in np hands back), the memory that tracemalloc
traces, the interpreter's total reference count where the build keeps one,
and resident memory. On Python 3.12 and later an exporter that counts its
buffer requests and releases shows that every array argument's buffer is
given back on every path.
"""

import builtins
import contextlib
import dataclasses
import gc
import os
import sys
import tracemalloc
import warnings
from collections.abc import Callable

import numpy as np
import pytest
from support import GREEKS_PARAMETERS

import quelta.black_core as bc

CALLS_PER_FUNCTION = 100_000
N = 4  # elements of the arrays: the paths are about bookkeeping, not arithmetic


# ---------------------------------------------------------------------------
# Arguments that fail conversion in every way the conversions can fail.


class FloatRaises:
    def __float__(self):
        raise ZeroDivisionError("no float today")


class IntLike:
    def __int__(self):
        return 1000  # above the cached small ints, so a leaked result costs memory


class IntSub(int):
    pass


class IntReturnsSubclass:
    def __int__(self):
        return IntSub(1)


class IntReturnsFloat:
    def __int__(self):
        return 1.0


class IntRaises:
    def __int__(self):
        raise ZeroDivisionError("no int today")


class Unconvertible:
    pass


def interned_late(name):
    """The same text as `name`, built at run time, so it is a different object."""
    return "".join(list(name))


# ---------------------------------------------------------------------------
# One way of calling a function, and the measurement of many such calls.


@dataclasses.dataclass
class Path:
    name: str
    call: Callable[[], object]
    raises: type[BaseException] | None = None  # what every call must end in
    match: str = ""  # text the exception message must hold, to pin the branch
    watch: tuple = ()  # objects whose reference counts must not move
    context: Callable[[], contextlib.AbstractContextManager] = contextlib.nullcontext


def traced_bytes():
    return tracemalloc.get_traced_memory()[0]


def total_refs():
    return sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def under_asan():
    """ASan keeps freed memory in quarantine, so resident memory says nothing there."""
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


def watchable(obj):
    """Objects shared with the rest of the interpreter have counts that move on their own."""
    if obj is None or isinstance(obj, bool):
        return False
    if type(obj) is int:
        return not -5 <= obj <= 256
    if type(obj) is str:
        return sys.intern(obj) is not obj
    return True


def outcome(call):
    try:
        call()
    except BaseException as exc:
        return exc
    return None


def refs_of_caught(call):
    """Reference counts of the exception a call raises, and of its args, while caught."""
    try:
        call()
    except BaseException as exc:
        return sys.getrefcount(exc), sys.getrefcount(exc.args)
    raise AssertionError("the call did not raise")


def raise_in_python():
    raise ValueError("reference exception")


def repeat(path, count):
    call, raises = path.call, path.raises
    if raises is None:
        for _ in range(count):
            call()
    else:
        for _ in range(count):
            with contextlib.suppress(raises):
                call()


def drive(path, calls):
    """Makes `calls` calls of one path and checks that nothing stays behind.

    A warm-up fills whatever caches the interpreter keeps; then four batches
    are measured. A real leak grows with every call, in every batch alike,
    while the interpreter's one-off allocations (a new chunk of frame stack,
    say) land in one batch or two; so growth counts only when every batch
    shows it.
    """
    warm = calls // 5
    batch = (calls - warm) // 4
    watched = [obj for obj in path.watch if watchable(obj)]
    with path.context():
        got = outcome(path.call)
        if path.raises is None:
            assert got is None, f"{path.name}: raised {got!r}"
        else:
            assert isinstance(got, path.raises), f"{path.name}: got {got!r}"
            assert path.match in str(got), f"{path.name}: {got!r}"
        del got
        repeat(path, warm)
        gc.collect()  # once: the calls make no cycles, and a full collection is slow
        refs_before = [sys.getrefcount(obj) for obj in watched]
        grown = []
        for _ in range(4):
            mem, total = traced_bytes(), total_refs()
            repeat(path, batch)
            grown.append((traced_bytes() - mem, total_refs() - total))
        refs_after = [sys.getrefcount(obj) for obj in watched]
        if path.raises is not None:
            assert refs_of_caught(path.call) == refs_of_caught(raise_in_python), path.name
    assert refs_after == refs_before, f"{path.name}: reference counts of the arguments moved"
    # One leaked object per call is tens of bytes; allow a byte per call.
    assert min(m for m, _ in grown) < batch, f"{path.name}: traced memory grew {grown}"
    assert min(r for _, r in grown) < batch // 10, f"{path.name}: total refcount grew {grown}"
    return 2 + warm + 4 * batch


def drive_all(paths):
    per_path = -(-CALLS_PER_FUNCTION // len(paths)) + 5
    check_rss = sys.platform == "linux" and not under_asan()
    calls = 0
    tracemalloc.start()
    try:
        for path in paths[:1]:
            calls += drive(path, per_path)  # the first path also warms up the process
        rss = resident_bytes() if check_rss else 0
        for path in paths[1:]:
            calls += drive(path, per_path)
        if check_rss:
            # Generous: a leak of one small object per call over 10^5 calls
            # shows here even when allocated outside tracemalloc's sight.
            assert resident_bytes() - rss < 16 * 2**20
    finally:
        tracemalloc.stop()
    assert calls >= CALLS_PER_FUNCTION


# ---------------------------------------------------------------------------
# A stand-in for the module global np.

_MISSING = object()


@contextlib.contextmanager
def module_np(value):
    """Binds quelta.black_core.np to `value` (or removes it) for the duration."""
    namespace = vars(bc)
    saved = namespace["np"]
    assert not hasattr(builtins, "np")
    if value is _MISSING:
        del namespace["np"]
    else:
        namespace["np"] = value
    try:
        yield
    finally:
        namespace["np"] = saved


class StandIn:
    """An np with only the attributes given."""

    def __init__(self, **attrs):
        vars(self).update(attrs)


def empty_raising(n, dtype):
    raise MemoryError("out of memory, or so it says")


def empty_returning(obj):
    def empty(n, dtype):
        return obj

    return empty


def np_paths(call, n):
    """The ways the result array of an array function can fail to be made, or be odd."""
    fixed_ok = np.zeros(n)
    fixed_short = np.zeros(n - 1)
    fixed_2d = np.zeros((n, 1))
    fixed_ro = np.zeros(n)
    fixed_ro.flags.writeable = False
    fixed_list = [0.0] * n
    float64 = np.float64

    def stand_in_path(name, empty, raises=None, match="", watch=()):
        stand_in = StandIn(empty=empty, float64=float64)
        return Path(
            name, call, raises, match, (np, stand_in, empty, *watch), lambda: module_np(stand_in)
        )

    return [
        Path(
            "np missing",
            call,
            NameError,
            "name 'np' is not defined",
            (np,),
            lambda: module_np(_MISSING),
        ),
        stand_in_path("np.empty raises", empty_raising, MemoryError),
        stand_in_path(
            "np.empty gives a short array",
            empty_returning(fixed_short),
            ValueError,
            "expected at least",
            (fixed_short,),
        ),
        stand_in_path(
            "np.empty gives a 2-D array",
            empty_returning(fixed_2d),
            ValueError,
            "wrong number of dimensions",
            (fixed_2d,),
        ),
        stand_in_path(
            "np.empty gives a read-only array",
            empty_returning(fixed_ro),
            ValueError,
            "read-only",
            (fixed_ro,),
        ),
        stand_in_path(
            "np.empty gives a list", empty_returning(fixed_list), TypeError, "", (fixed_list,)
        ),
        stand_in_path(
            "np.empty gives a fixed array", empty_returning(fixed_ok), None, "", (fixed_ok,)
        ),
        Path(
            "np without empty",
            call,
            AttributeError,
            "empty",
            (np,),
            lambda: module_np(StandIn(float64=float64)),
        ),
        Path(
            "np without float64",
            call,
            AttributeError,
            "float64",
            (np, empty_raising),
            lambda: module_np(StandIn(empty=empty_raising)),
        ),
    ]


# ---------------------------------------------------------------------------
# Paths of the scalar functions.


def warnings_as(action):
    @contextlib.contextmanager
    def context():
        with warnings.catch_warnings():
            warnings.simplefilter(action, DeprecationWarning)
            yield

    return context


def binding_paths(fn, names, good):
    n = len(names)
    first, last = names[0], names[-1]
    kwargs = dict(zip(names, good))
    late = {interned_late(k): v for k, v in kwargs.items()}
    watch = tuple(good)
    return [
        Path("positional", lambda: fn(*good), watch=watch),
        Path("keywords", lambda: fn(**kwargs), watch=watch),
        Path("keywords not interned", lambda: fn(**late), watch=(*watch, *late)),
        Path("mixed", lambda: fn(*good[:-1], **{last: good[-1]}), watch=watch),
        Path(
            "too few",
            lambda: fn(*good[:-1]),
            TypeError,
            f"exactly {n} positional arguments ({n - 1} given)",
            watch,
        ),
        Path("too many", lambda: fn(*good, good[0]), TypeError, f"({n + 1} given)", watch),
        Path(
            "too many with keywords",
            lambda: fn(*good, good[0], **{first: good[0]}),
            TypeError,
            f"({n + 1} given)",
            watch,
        ),
        Path(
            "unexpected keyword",
            lambda: fn(*good[:-1], nonesuch=good[-1]),
            TypeError,
            "unexpected keyword argument 'nonesuch'",
            watch,
        ),
        Path(
            "keyword twice",
            lambda: fn(*good, **{first: good[0]}),
            TypeError,
            f"multiple values for keyword argument '{first}'",
            watch,
        ),
        Path(
            "missing after keywords",
            lambda: fn(good[0], **{last: good[-1]}),
            TypeError,
            "given)",
            watch,
        ),
    ]


def flag_paths(call_with_q, watch):
    """Every way through the 32-bit int conversion of the flag q."""
    big, small, huge = 2**31, -(2**31) - 1, 1e300
    int_like, subclass, returns_float, raises = (
        IntLike(),
        IntReturnsSubclass(),
        IntReturnsFloat(),
        IntRaises(),
    )
    return [
        Path("q float", lambda: call_with_q(-1000.5), watch=watch),
        Path("q via __int__", lambda: call_with_q(int_like), watch=(*watch, int_like)),
        Path("q bool", lambda: call_with_q(True), watch=watch),
        Path(
            "q int subclass from __int__, warning ignored",
            lambda: call_with_q(subclass),
            watch=(*watch, subclass),
            context=warnings_as("ignore"),
        ),
        Path(
            "q int subclass from __int__, warning raised",
            lambda: call_with_q(subclass),
            DeprecationWarning,
            "__int__ returned non-int",
            (*watch, subclass),
            warnings_as("error"),
        ),
        Path("q too large", lambda: call_with_q(big), OverflowError, "too large", (*watch, big)),
        Path(
            "q too small", lambda: call_with_q(small), OverflowError, "too large", (*watch, small)
        ),
        Path("q huge float", lambda: call_with_q(huge), OverflowError, "too big", (*watch, huge)),
        Path(
            "q __int__ gives a float",
            lambda: call_with_q(returns_float),
            TypeError,
            "returned non-int",
            (*watch, returns_float),
        ),
        Path(
            "q __int__ raises", lambda: call_with_q(raises), ZeroDivisionError, "", (*watch, raises)
        ),
        Path("q str", lambda: call_with_q("1"), TypeError, "an integer is required", watch),
        Path("q None", lambda: call_with_q(None), TypeError, "an integer is required", watch),
    ]


def double_paths(call_with, names, good, positions):
    """Every way a double conversion fails, at each of the given positions."""
    paths = []
    for i in positions:
        for label, bad, raises, match in [
            ("str", "1.0", TypeError, "must be real number"),
            ("no __float__", Unconvertible(), TypeError, "must be real number"),
            ("__float__ raises", FloatRaises(), ZeroDivisionError, "no float today"),
            ("int too large", 10**400, OverflowError, "too large"),
        ]:
            args = list(good)
            args[i] = bad
            paths.append(
                Path(
                    f"{names[i]} {label}",
                    lambda a=tuple(args): call_with(*a),
                    raises,
                    match,
                    (*[g for g in good if g is not None], bad),
                )
            )
        args = list(good)
        args[i] = 7  # an int takes the general path of the conversion
        paths.append(
            Path(
                f"{names[i]} int",
                lambda a=tuple(args): call_with(*a),
                watch=tuple(g for g in good if g is not None),
            )
        )
    return paths


SCALAR_FUNCTIONS = {
    "implied_vol": (bc.implied_vol, ["price", "F", "K", "q"], [7.965567455405804, 100.0, 100.0, 1]),
    "black_delta": (bc.black_delta, ["F", "K", "sigma", "q"], [100.0, 110.0, 0.2, -1]),
    "black_gamma": (bc.black_gamma, ["F", "K", "sigma"], [100.0, 110.0, 0.2]),
    "black_vega": (bc.black_vega, ["F", "K", "sigma"], [100.0, 110.0, 0.2]),
}


def scalar_paths(name):
    fn, names, good = SCALAR_FUNCTIONS[name]
    good = [float(g) if isinstance(g, float) else g for g in good]
    doubles = [i for i, p in enumerate(names) if p != "q"]
    paths = binding_paths(fn, names, good)
    paths += double_paths(fn, names, good, doubles)
    if "q" in names:
        paths += flag_paths(lambda q: fn(*good[:-1], q), tuple(good[:-1]))
    return paths


@pytest.mark.parametrize("name", list(SCALAR_FUNCTIONS))
def test_scalar_functions_keep_nothing(name):
    drive_all(scalar_paths(name))


# ---------------------------------------------------------------------------
# Paths of the array functions.


def array_refusals():
    """Objects that an array parameter refuses, with the exception and message."""
    return [
        ("list", [1.0] * N, TypeError, "bytes-like object is required"),
        ("2-D", np.ones((N, 2)), ValueError, "wrong number of dimensions"),
        ("float32", np.ones(N, np.float32), ValueError, "but got 'float'"),
        ("big-endian", np.ones(N, ">f8"), ValueError, "Big-endian"),
        ("int8", np.ones(N, np.int8), ValueError, "but got 'signed char'"),
    ]


def prices():
    return np.array([7.965567455405804, 1.0, 50.0, 1e-12])[:N]


def vectorized_paths(fn):
    """vectorized_implied_vol(price, fwd_mid, K, q) or the strikes one (price, F, K, q)."""
    strikes = fn is bc.vectorized_implied_vol_strikes
    array_at = 2 if strikes else 1  # the second array parameter
    scalar_at = 1 if strikes else 2
    names = (
        ["undiscounted_price", "F", "K", "q"]
        if strikes
        else ["undiscounted_price", "fwd_mid", "K", "q"]
    )
    price, other = prices(), np.array([100.0, 90.0, 120.0, 100.0])
    scalar = 100.0
    good = [price, None, None, 1]
    good[array_at], good[scalar_at] = other, scalar
    watch = (price, other, scalar)
    read_only = [a.copy() for a in (price, other)]
    for a in read_only:
        a.flags.writeable = False
    wide = [np.repeat(a, 2) for a in (price, other)]
    raw = bytearray(np.concatenate([price, other]).tobytes())
    views = memoryview(raw).cast("d")
    mv_price, mv_other = views[:N], views[N:]

    def with_arrays(p, o):
        args = list(good)
        args[0], args[array_at] = p, o
        return lambda: fn(*args)

    paths = binding_paths(fn, names, good)
    paths += [
        Path("read-only arrays", with_arrays(*read_only), watch=tuple(read_only)),
        Path("strided arrays", with_arrays(wide[0][::2], wide[1][::-2]), watch=tuple(wide)),
        Path("memoryviews", with_arrays(mv_price, mv_other), watch=(mv_price, mv_other)),
        Path("None for both arrays", with_arrays(None, None)),
        Path("empty price, short second array", with_arrays(price[:0], None), watch=(price,)),
        Path("second array longer", with_arrays(price[:-1], other), watch=(price, other)),
        Path(
            "second array short",
            with_arrays(price, other[:-1]),
            ValueError,
            "expected at least",
            (price, other),
        ),
        Path(
            "second array None", with_arrays(price, None), ValueError, "expected at least", (price,)
        ),
    ]
    if strikes:
        paths.append(
            Path(
                "F <= 0 with a short K", lambda: fn(price, 0.0, other[:1], 1), watch=(price, other)
            )
        )
    else:
        paths.append(Path("K <= 0", lambda: fn(price, other, -1.0, -1), watch=(price, other)))
    for position in (0, array_at):
        for label, bad, raises, match in array_refusals():
            args = list(good)
            args[position] = bad
            paths.append(
                Path(
                    f"{names[position]} {label}",
                    lambda a=tuple(args): fn(*a),
                    raises,
                    match,
                    (*watch, bad),
                )
            )
    # A scalar fails after an array has been taken.
    paths += double_paths(fn, names, good, [scalar_at])
    paths += flag_paths(lambda q: fn(*good[:3], q), watch)
    paths += np_paths(lambda: fn(*good), N)
    for path in paths:
        path.watch += (np,)  # every call that gets as far looks np up
    return paths, (mv_price, mv_other, views)


def greeks_arrays(n=N):
    rng = np.random.default_rng(3)
    fwd = 100.0 * np.exp(rng.normal(0.0, 0.2, n))
    strike = np.full(n, 100.0)
    is_call = np.array([1, 0, 1, 0], np.int8)[:n]
    price = np.array([7.965567455405804, 5.0, 1e-12, 150.0])[:n]
    discount = np.full(n, 0.9)
    return [price, fwd, strike, is_call, discount] + [np.zeros(n) for _ in range(4)]


GREEKS_NAMES = list(GREEKS_PARAMETERS)


def greeks_paths():
    fn = bc.compute_trades_greeks
    good = greeks_arrays()
    watch = tuple(good)
    raw = bytearray(np.concatenate([g.astype(np.float64) for g in good]).tobytes())
    views = memoryview(raw).cast("d")
    mv_args = [views[k * N : (k + 1) * N] for k in range(9)]
    mv_args[3] = good[3]  # is_call stays int8

    paths = binding_paths(fn, GREEKS_NAMES, good)
    paths += [
        Path("memoryviews", lambda: fn(*mv_args), watch=tuple(mv_args)),
        Path("all None", lambda: fn(*[None] * 9)),
        Path(
            "outputs alias inputs",
            lambda: fn(*good[:5], good[0], good[1], good[2], good[4]),
            watch=watch,
        ),
    ]
    read_only = [g.copy() for g in good]
    for a in read_only:
        a.flags.writeable = False
    for k in range(9):
        refusals = [("read-only", read_only[k], ValueError, "read-only")]
        refusals += [r for r in array_refusals() if not (k == 3 and r[0] == "int8")]
        if k == 3:
            refusals.append(("bool", np.ones(N, bool), ValueError, "but got 'bool'"))
        if k > 0:
            refusals.append(("short", good[k][:-1], ValueError, "expected at least"))
            refusals.append(("None", None, ValueError, "expected at least"))
        for label, bad, raises, match in refusals:
            args = list(good)
            args[k] = bad
            paths.append(
                Path(
                    f"{GREEKS_NAMES[k]} {label}",
                    lambda a=tuple(args): fn(*a),
                    raises,
                    match,
                    (*watch, *([] if bad is None else [bad])),
                )
            )
    return paths, (*mv_args[:3], *mv_args[4:], views)


@pytest.mark.parametrize(
    "name", ["vectorized_implied_vol", "vectorized_implied_vol_strikes", "compute_trades_greeks"]
)
def test_array_functions_keep_nothing(name):
    if name == "compute_trades_greeks":
        paths, views = greeks_paths()
    else:
        paths, views = vectorized_paths(getattr(bc, name))
    drive_all(paths)
    # A memoryview refuses to be released while a buffer it exported is held.
    del paths
    gc.collect()
    for view in views:
        view.release()


# ---------------------------------------------------------------------------
# Buffers are released on every path: an exporter that counts (PEP 688).


class CountingExporter:
    """Exports the buffer of `base` and counts how often it is taken and given back."""

    def __init__(self, base):
        self.base = base
        self.acquired = 0
        self.released = 0

    def __buffer__(self, flags):
        view = memoryview(self.base)
        if flags & 0x1 and view.readonly:  # PyBUF_WRITABLE
            raise BufferError("read-only exporter")
        self.acquired += 1
        return view

    def __release_buffer__(self, view):
        self.released += 1


def _counting_cases():
    """(function, position of the exporter, what happens, args builder, raises)."""
    cases = []

    def vector_args(strikes):
        price, other = prices(), np.array([100.0, 90.0, 120.0, 100.0])
        return [price, 100.0, other, 1] if strikes else [price, other, 100.0, 1]

    for name in ["vectorized_implied_vol", "vectorized_implied_vol_strikes"]:
        strikes = name.endswith("strikes")
        array_positions = (0, 2) if strikes else (0, 1)
        scalar_at = 1 if strikes else 2
        for pos in array_positions:
            later_array = max(array_positions) if pos == 0 else None
            outcomes = [
                ("ok", None, None),
                ("2-D", "2-D", ValueError),
                ("float32", "float32", ValueError),
                ("q fails later", ("q", 2**31), OverflowError),
                ("np missing", "np", NameError),
            ]
            if scalar_at > pos:
                outcomes.append(("scalar fails later", (scalar_at, "x"), TypeError))
            if later_array is not None:
                outcomes.append(("later array refused", (later_array, [1.0]), TypeError))
                outcomes.append(("later array short", (later_array, "short"), ValueError))
            else:
                outcomes.append(("this array short", "short", ValueError))
            for label, how, raises in outcomes:
                cases.append((name, pos, label, how, raises, lambda s=strikes: vector_args(s)))
    for pos in range(9):
        outcomes = [
            ("ok", None, None),
            ("2-D", "2-D", ValueError),
            ("wrong item", "float32" if pos != 3 else "float64", ValueError),
            ("read-only", "read-only", BufferError),
        ]
        if pos < 8:
            outcomes.append(("later array refused", (8, [1.0]), TypeError))
        if pos > 0:
            outcomes.append(("this array short", "short", ValueError))
        if pos == 0:
            outcomes.append(("later array short", (8, "short"), ValueError))
        for label, how, raises in outcomes:
            cases.append(("compute_trades_greeks", pos, label, how, raises, greeks_arrays))
    return cases


COUNTING_CASES = _counting_cases()


@pytest.mark.skipif(sys.version_info < (3, 12), reason="Python classes export buffers from 3.12")
@pytest.mark.parametrize(
    "name, position, label, how, raises, make_args",
    COUNTING_CASES,
    ids=[f"{c[0]}-{c[1]}-{c[2]}" for c in COUNTING_CASES],
)
def test_every_buffer_is_given_back(name, position, label, how, raises, make_args):
    fn = getattr(bc, name)
    args = make_args()
    base = args[position]
    context = contextlib.nullcontext()
    expect_acquired = True
    if how == "2-D":
        base = np.stack([base, base], axis=1)
    elif how in ("float32", "float64"):
        base = base.astype(how)
    elif how == "read-only":
        base = base.copy()
        base.flags.writeable = False
        expect_acquired = False  # refused by the exporter itself
    elif how == "short":
        base = base[:-1]
    elif how == "np":
        context = module_np(_MISSING)
    elif isinstance(how, tuple):
        where, bad = how
        index = 3 if where == "q" else where
        args[index] = args[index][:-1] if bad == "short" else bad
    exporter = CountingExporter(base)
    args[position] = exporter
    calls = 2_000
    with context:
        for _ in range(calls):
            if raises is None:
                fn(*args)
            else:
                with pytest.raises(raises):
                    fn(*args)
    assert exporter.acquired == (calls if expect_acquired else 0)
    assert exporter.released == exporter.acquired
