"""Property-based fuzzing of the Python boundary of quelta.black_core.

Every parameter of the seven functions gets arbitrary objects: floats (NaN,
infinities, -0.0, subnormals), ints far beyond 32 and 64 bits, bools, strings,
None, objects with odd __float__/__int__/__index__, NumPy scalars, and buffers
of many layouts (NumPy arrays of many dtypes, array.array, memoryviews with
explicit formats and casts, ctypes arrays with byte-order marks; ndim 0, 1 and
2; positive, negative and zero strides; read-only; unaligned). Every buffer is
a view inside a larger allocation whose other bytes hold sentinels.

Properties, for every call:
- it returns an object of the documented type or raises an Exception subclass;
- bytes outside the elements 0..n-1 of an output view, and every byte of an
  input, are unchanged; a failing call changes nothing at all;
- a successful array call produces exactly the scalar functions' values at the
  elements read through the views' own strides (which also shows that nothing
  was read from the sentinels), and compute_trades_greeks writes every output
  element 0..n-1;
- keyword binding gives the positional call's outcome when the names are
  right, and TypeError when a name is wrong, missing, extra or repeated.
"""

import array
import ctypes
import functools
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support import GREEKS_PARAMETERS

import quelta.black_core as bc

_BASE = settings(
    deadline=None,
    derandomize=True,  # the same examples on every run, without a database
    database=None,
    suppress_health_check=[HealthCheck.too_slow],
)


def fuzz(max_examples):
    return settings(_BASE, max_examples=max_examples)


NAN = float("nan")
INF = float("inf")

# Sentinel bit patterns: quiet NaNs with payloads that no computation makes.
GAP = 0x7FF8_0000_5E17_0001  # bytes of an allocation outside the view
UNWRITTEN = 0x7FF8_0000_5E17_0002  # output elements before the call
GAP_BYTE = 0xA5  # the same for one-byte items

_as_double = ctypes.pythonapi.PyFloat_AsDouble
_as_double.restype = ctypes.c_double
_as_double.argtypes = [ctypes.py_object]


def to_double(obj):
    """The double the module converts `obj` to (the host's own conversion)."""
    return obj if type(obj) is float else _as_double(obj)


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def same_value(a, b):
    """Bit for bit, except that any two NaNs match."""
    return (a != a and b != b) or bits(a) == bits(b)


# ---------------------------------------------------------------------------
# Scalars


class Holder:
    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"{type(self).__name__}({self.value!r})"


class FloatLike(Holder):
    def __float__(self):
        return self.value


class IndexLike(Holder):
    def __index__(self):
        return self.value


class IntLike(Holder):
    def __int__(self):
        return self.value


class IntAndIndex(Holder):
    def __int__(self):
        return self.value

    def __index__(self):
        return self.value


class Raising(Holder):
    def __float__(self):
        raise self.value

    __int__ = __index__ = __float__


class FloatSub(float):
    pass


class IntSub(int):
    pass


doubles = st.one_of(
    st.sampled_from(
        [
            0.0,
            -0.0,
            NAN,
            -NAN,
            INF,
            -INF,
            5e-324,
            2.2250738585072014e-308,
            1.7976931348623157e308,
            -1.0,
            1.0,
            100.0,
            7.965567455405804,
        ]
    ),
    st.floats(allow_nan=False),
    st.floats(0.001, 500.0),
)
big_ints = st.one_of(
    st.integers(-(2**31) - 2, 2**31 + 1),
    st.sampled_from(
        [
            2**31 - 1,
            -(2**31),
            2**31,
            -(2**31) - 1,
            2**63 - 1,
            2**63,
            -(2**63) - 1,
            2**64,
            2**1023,
            2**1024,
            -(2**1100),
        ]
    ),
    st.integers(),
)


def _float32(value):
    with np.errstate(over="ignore"):  # a double beyond float32 becomes inf
        return np.float32(value)


numpy_scalars = st.one_of(
    doubles.map(np.float64),
    doubles.map(_float32),
    st.sampled_from(
        [
            np.float16(1.5),
            np.longdouble(2.5),
            np.complex128(1 + 2j),
            np.bool_(True),
            np.int8(-1),
            np.uint8(255),
            np.int64(-(2**63)),
            np.uint64(2**64 - 1),
            np.int32(7),
            np.array(1.5),
            np.array([1.5]),
            np.array([1.0, 2.0]),
        ]
    ),
)
odd_objects = st.one_of(
    doubles.map(FloatLike),
    big_ints.map(IndexLike),
    st.one_of(big_ints, doubles, st.booleans(), st.just("1")).map(IntLike),
    big_ints.map(IntAndIndex),
    st.sampled_from([ValueError("no float"), OverflowError("huge"), ZeroDivisionError()]).map(
        Raising
    ),
    st.sampled_from(
        [
            FloatLike("1.0"),
            FloatLike(None),
            FloatLike(FloatSub(2.0)),
            IntLike(IntSub(3)),
            IntLike(True),
            IndexLike(2.5),
            FloatSub(-1.0),
            IntSub(2**40),
            object(),
            [1.0],
            (1.0,),
            {},
            b"\x00" * 8,
            1 + 1j,
        ]
    ),
)
scalars = st.one_of(
    doubles, big_ints, st.booleans(), st.text(max_size=3), st.none(), numpy_scalars, odd_objects
)

# ---------------------------------------------------------------------------
# Buffers placed inside a larger allocation


class Buf:
    """A view `obj` of the allocation `raw` (NumPy uint8, sharing memory).

    offsets[i] is the byte offset in raw of element i of a one-dimensional
    view (None for other shapes); fmt_ok says whether the item format is one
    the module accepts for the parameter. `raw` is None for objects without a
    placeable buffer (those are compared by their repr instead).
    """

    def __init__(
        self, obj, raw=None, offsets=None, itemsize=0, fmt_ok=False, writable=False, ndim=1
    ):
        self.obj = obj
        self.raw = raw
        self.offsets = offsets
        self.itemsize = itemsize
        self.fmt_ok = fmt_ok
        self.writable = writable
        self.ndim = ndim
        self.before = None
        self.repr_before = None

    def __repr__(self):
        return f"Buf({self.obj!r}, offsets={self.offsets})"

    def snapshot(self):
        if self.raw is not None:
            self.before = self.raw.copy()
        else:
            self.repr_before = repr(self.obj)

    @property
    def n(self):
        return len(self.offsets) if self.offsets is not None else 0

    def doubles_before(self):
        return [struct.unpack_from("<d", self.before, o)[0] for o in self.offsets or ()]

    def int8_before(self):
        return [struct.unpack_from("<b", self.before, o)[0] for o in self.offsets or ()]

    def double_after(self, i):
        return struct.unpack_from("<d", self.raw, self.offsets[i])[0]

    def assert_untouched(self):
        if self.raw is not None:
            changed = np.flatnonzero(self.raw != self.before)
            assert changed.size == 0, f"bytes {changed[:8].tolist()} of {self!r} changed"
        else:
            assert repr(self.obj) == self.repr_before

    def assert_only_elements_changed(self, n):
        """Bytes outside elements 0..n-1 are unchanged."""
        if self.raw is None or self.offsets is None:
            self.assert_untouched()
            return
        inside = np.zeros(self.raw.size, bool)
        for o in self.offsets[:n]:
            inside[o : o + self.itemsize] = True
        changed = np.flatnonzero((self.raw != self.before) & ~inside)
        assert changed.size == 0, f"bytes {changed[:8].tolist()} outside the view changed"


def _fill_sentinels(raw, phase):
    """GAP in every 8-byte slot aligned with `phase`, GAP_BYTE elsewhere."""
    raw[:] = GAP_BYTE
    pattern = np.frombuffer(struct.pack("<Q", GAP), np.uint8)
    for start in range(phase % 8, raw.size - 7, 8):
        raw[start : start + 8] = pattern


# Item types tried for double and for int8 parameters; only the first of each
# list is accepted.
DOUBLE_DTYPES = [np.dtype("<f8")] * 6 + [
    np.dtype(">f8"),
    np.dtype("f4"),
    np.dtype("f2"),
    np.dtype("c16"),
    np.dtype("i8"),
    np.dtype("u8"),
    np.dtype("longdouble"),
    np.dtype([("a", "<f8")]),
    np.dtype("V8"),
    np.dtype("S8"),
    np.dtype("?"),
    np.dtype("u1"),
    np.dtype("i1"),
    np.dtype("O"),
]
INT8_DTYPES = [np.dtype("i1")] * 6 + [
    np.dtype("u1"),
    np.dtype("?"),
    np.dtype("S1"),
    np.dtype("f8"),
    np.dtype("i2"),
    np.dtype("O"),
    np.dtype([("c", "i1")]),
]
DOUBLE_OK = {np.dtype("<f8")}
INT8_OK = {np.dtype("i1")}


# Strategies are made once and reused: Hypothesis validates every new
# strategy object, which would dominate the run time.
@functools.cache
def _choice(options):
    return st.sampled_from(options)


@functools.cache
def _ints(lo, hi):
    return st.integers(lo, hi)


@functools.cache
def _permutations(k):
    return st.permutations(tuple(range(k)))


@functools.cache
def _noise(size):
    return st.binary(min_size=size, max_size=size)


_INT8_VALUES = st.integers(-128, 127)
_BOOLS = st.booleans()


def element_values(draw, n, int8):
    return [draw(_INT8_VALUES if int8 else doubles) for _ in range(n)]


def _length(draw, length):
    """`length` elements, or (None) any number from 0 to 6."""
    return draw(_ints(0, 6)) if length is None else length


def _readonly(draw, readonly_ok):
    return readonly_ok and draw(_BOOLS) and draw(_BOOLS)


@st.composite
def numpy_buffer(draw, int8, valid=False, length=None, readonly_ok=True):
    """A NumPy array over a sentinel-filled allocation: any dtype, ndim 0 to 2,
    any step (negative and 0 included), unaligned starts. `valid` keeps to
    one-dimensional arrays of the accepted dtype."""
    if valid:
        dt = np.dtype("i1" if int8 else "<f8")
    else:
        dt = draw(_choice(tuple(INT8_DTYPES if int8 else DOUBLE_DTYPES)))
    ok = dt in (INT8_OK if int8 else DOUBLE_OK)
    n = _length(draw, length)
    values = element_values(draw, n, int8)
    if dt == np.dtype("O"):
        return Buf(np.array(values, dtype=object))
    item = dt.itemsize
    shape_kind = "1d" if valid else draw(_choice(("1d",) * 8 + ("0d", "2d")))
    step = draw(_choice((1, 1, 2, 3, -1, -2, 0)))
    misalign = draw(_choice((0, 0, 0, 1, 3)))
    before = draw(_ints(0, 2))
    after = draw(_ints(0, 2))
    span = (abs(step) * max(n - 1, 0) + 1) * item if n else 0
    size = misalign + (before + after) * item + max(span, item) + item
    raw = np.empty(size, np.uint8)
    _fill_sentinels(raw, misalign)
    start = misalign + before * item
    if shape_kind == "0d":
        arr = np.ndarray((), dt, buffer=raw, offset=start)
        offsets, ndim = None, 0
    elif shape_kind == "2d":
        cols = draw(_ints(1, 3))
        rows = max(n // cols, 1)
        raw = np.empty(misalign + rows * cols * item + 2 * item, np.uint8)
        _fill_sentinels(raw, misalign)
        arr = np.ndarray((rows, cols), dt, buffer=raw, offset=misalign + item)
        offsets, ndim = None, 2
    else:
        first = start + (abs(step) * (n - 1) * item if step < 0 and n else 0)
        stride = step * item
        arr = np.ndarray((n,), dt, buffer=raw, offset=first, strides=(stride,))
        offsets, ndim = [first + i * stride for i in range(n)], 1
    if offsets is not None:
        if ok:
            arr[:] = values
        else:
            noise = draw(_noise(len(offsets) * item))
            for i, o in enumerate(offsets):
                raw[o : o + item] = np.frombuffer(noise[i * item : (i + 1) * item], np.uint8)
    readonly = _readonly(draw, readonly_ok)
    if readonly:
        arr.flags.writeable = False
    return Buf(arr, raw, offsets, item, ok, not readonly, ndim)


@st.composite
def memoryview_buffer(draw, int8, valid=False, length=None, readonly_ok=True):
    """memoryview casts (explicit formats, ndim 0 to 2, slices with steps) of a
    sentinel-filled bytearray, ctypes arrays (formats with byte-order marks),
    array.array of several typecodes, bytes and bytearray."""
    kind = draw(_choice(("cast", "cast", "ctypes", "array") + (() if valid else ("bytes",))))
    n = _length(draw, length)
    values = element_values(draw, n, int8)
    if kind == "array":
        code = (
            "b"
            if valid and int8
            else "d"
            if valid
            else draw(_choice(tuple("bBhq" if int8 else "dfqlb")))
        )
        arr = array.array(code, [0] * n)
        ok = code == ("b" if int8 else "d")
        if ok:
            arr[:] = array.array(code, values)
        raw = np.frombuffer(arr, np.uint8) if n else np.zeros(0, np.uint8)
        return Buf(arr, raw, [i * arr.itemsize for i in range(n)], arr.itemsize, ok, True)
    if kind == "bytes":
        data = bytes(draw(_noise(n)))
        obj = bytearray(data) if draw(_BOOLS) else data
        raw = np.frombuffer(obj, np.uint8) if n else np.zeros(0, np.uint8)
        return Buf(obj, raw, list(range(n)), 1, False, isinstance(obj, bytearray))
    if kind == "ctypes":
        if int8:
            choices = (ctypes.c_int8, ctypes.c_char) + (
                () if valid else (ctypes.c_ubyte, ctypes.c_bool)
            )
        else:
            choices = (ctypes.c_double,) + (
                ()
                if valid
                else (
                    ctypes.c_double.__ctype_be__,
                    ctypes.c_float,
                    ctypes.c_longdouble,
                    ctypes.c_int64,
                )
            )
        ctype = draw(_choice(choices))
        ok = ctype in ((ctypes.c_int8, ctypes.c_char) if int8 else (ctypes.c_double,))
        item = ctypes.sizeof(ctype)
    else:
        if int8:
            fmt = draw(_choice(("b", "c") + (() if valid else ("B", "?", "d"))))
        else:
            fmt = draw(_choice(("d", "@d") + (() if valid else ("d", "f", "q", "b", "B", "c"))))
        ok = fmt in (("b", "c") if int8 else ("d", "@d"))
        item = struct.calcsize(fmt)
    step = draw(_choice((1, 1, 2, -1, -3)))
    misalign = draw(_choice((0, 0, 1, 5)))
    count = abs(step) * max(n - 1, 0) + 1 if n else 0
    pad = draw(_ints(0, 2))
    raw_bytes = bytearray(misalign + (count + 2 * pad + 1) * item)
    raw = np.frombuffer(raw_bytes, np.uint8)
    _fill_sentinels(raw, misalign)
    base = misalign + pad * item
    shape_kind = "1d" if valid or kind == "ctypes" else draw(_choice(("1d",) * 6 + ("0d", "2d")))
    if shape_kind == "0d":
        obj = memoryview(raw_bytes)[base : base + item].cast(fmt, shape=[])
        return Buf(obj, raw, None, item, ok, True, 0)
    if shape_kind == "2d" and count >= 2:
        obj = memoryview(raw_bytes)[base : base + 2 * (count // 2) * item].cast(
            fmt, shape=[2, count // 2]
        )
        return Buf(obj, raw, None, item, ok, True, 2)
    if kind == "ctypes":
        whole = memoryview((ctype * max(count, 1)).from_buffer(raw_bytes, base))
    else:
        whole = memoryview(raw_bytes)[base : base + max(count, 1) * item].cast(fmt)
    if n == 0:
        obj, offsets = whole[0:0], []
    elif step < 0:
        obj = whole[count - 1 :: step]
        offsets = [base + j * item for j in range(count - 1, -1, step)]
    else:
        obj = whole[0:count:step]
        offsets = [base + j * item for j in range(0, count, step)]
    if ok:
        for o, v in zip(offsets, values):
            struct.pack_into("<b" if int8 else "<d", raw_bytes, o, v)
    else:
        noise = draw(_noise(len(offsets) * item))
        for i, o in enumerate(offsets):
            raw_bytes[o : o + item] = noise[i * item : (i + 1) * item]
    readonly = kind == "cast" and _readonly(draw, readonly_ok)
    if readonly:
        obj = obj.toreadonly()
    return Buf(obj, raw, offsets, item, ok, not readonly, 1)


non_buffers = st.one_of(
    st.lists(doubles, max_size=3),
    st.tuples(doubles),
    st.text(max_size=3),
    doubles,
    big_ints,
    st.sampled_from([range(3), {}, object(), FloatLike(1.0), 1j]),
).map(Buf)


def buffers(int8=False):
    """Any array argument: mostly placeable buffers, sometimes None or no buffer at all."""
    return st.one_of(
        numpy_buffer(int8),
        numpy_buffer(int8),
        memoryview_buffer(int8),
        st.just(None).map(Buf),
        non_buffers,
    )


@functools.cache
def valid_buffers(int8, length, readonly_ok):
    """An array the module accepts, of `length` elements, in any accepted layout."""
    return st.one_of(
        numpy_buffer(int8, True, length, readonly_ok),
        memoryview_buffer(int8, True, length, readonly_ok),
    )


DOUBLE_BUFFERS = buffers()
INT8_BUFFERS = buffers(int8=True)
_SCALAR_OR_BUFFER = st.one_of(scalars, DOUBLE_BUFFERS)
# Mostly convertible scalars beside the arrays, so that the arrays decide.
_SCALAR_DOUBLE = st.one_of(doubles, doubles, doubles, scalars)
_SCALAR_INT = st.one_of(*[st.sampled_from([1, -1, 0, 7, -(2**31)])] * 3, scalars)
_FAULTS = st.sampled_from(["none", "none", "drop", "rename", "extra", "repeat"])
_MODES = st.sampled_from(["valid", "valid", "valid", "one short", "one arbitrary", "arbitrary"])
_EXTRA = st.sampled_from([0, 0, 0, 1])


def draw_arrays(data, names, is_int8, readonly_ok):
    """Buffers for the array parameters `names`. Drawn independently, a set of
    arrays that the module accepts would be rare, so most draws start from
    accepted arrays of n elements (the others sometimes one longer), then may
    make one of them an element short or replace it by an arbitrary argument."""
    mode = data.draw(_MODES, label="mode")
    if mode == "arbitrary":
        return [data.draw(INT8_BUFFERS if is_int8(p) else DOUBLE_BUFFERS, label=p) for p in names]
    n = data.draw(_ints(0, 6), label="n")
    changed = data.draw(_ints(0, len(names) - 1), label="changed")
    bufs = []
    for k, p in enumerate(names):
        if mode == "one arbitrary" and k == changed:
            bufs.append(data.draw(INT8_BUFFERS if is_int8(p) else DOUBLE_BUFFERS, label=p))
            continue
        length = n + (0 if k == 0 else data.draw(_EXTRA))
        if mode == "one short" and k == changed:
            length = max(n - 1, 0)
        bufs.append(data.draw(valid_buffers(is_int8(p), length, readonly_ok), label=p))
    return bufs


def call(fn, *args, **kwargs):
    """('ok', result) or ('raised', exception); anything not an Exception propagates."""
    try:
        return "ok", fn(*args, **kwargs)
    except Exception as exc:
        return "raised", exc


# ---------------------------------------------------------------------------
# Scalar functions

SCALAR_FUNCTIONS = {
    "implied_vol": ("price", "F", "K", "q"),
    "black_delta": ("F", "K", "sigma", "q"),
    "black_gamma": ("F", "K", "sigma"),
    "black_vega": ("F", "K", "sigma"),
}


@pytest.mark.parametrize("name", SCALAR_FUNCTIONS)
@fuzz(250)
@given(data=st.data())
def test_scalar_function_takes_any_object(name, data):
    fn = getattr(bc, name)
    args = [data.draw(_SCALAR_OR_BUFFER, label=p) for p in SCALAR_FUNCTIONS[name]]
    held = [a for a in args if isinstance(a, Buf)]
    for b in held:
        b.snapshot()
    outcome, value = call(fn, *[a.obj if isinstance(a, Buf) else a for a in args])
    if outcome == "ok":
        assert type(value) is float
    for b in held:
        b.assert_untouched()


# ---------------------------------------------------------------------------
# Vectorized implied volatility


@pytest.mark.parametrize("strikes", [False, True], ids=["forwards", "strikes"])
@fuzz(500)
@given(data=st.data())
def test_vectorized_implied_vol_fuzzed(strikes, data):
    fn = bc.vectorized_implied_vol_strikes if strikes else bc.vectorized_implied_vol
    names = ("undiscounted_price", "K" if strikes else "fwd_mid")
    price, second = draw_arrays(data, names, lambda name: False, readonly_ok=True)
    scalar = data.draw(_SCALAR_DOUBLE, label="F" if strikes else "K")
    q = data.draw(_SCALAR_INT, label="q")
    for b in (price, second):
        b.snapshot()
    args = (price.obj, scalar, second.obj, q) if strikes else (price.obj, second.obj, scalar, q)
    outcome, result = call(fn, *args)
    price.assert_untouched()
    second.assert_untouched()
    if outcome == "raised":
        return
    # Only one-dimensional views of doubles (or None) convert.
    assert price.obj is None or (price.fmt_ok and price.ndim == 1)
    assert second.obj is None or (second.fmt_ok and second.ndim == 1)
    n = price.n
    assert type(result) is np.ndarray and result.dtype == np.float64 and result.shape == (n,)
    prices = price.doubles_before()
    others = second.doubles_before() if second.obj is not None else []
    fixed = to_double(scalar)
    for i in range(n):
        if strikes:
            if fixed <= 0.0:
                want = 0.0
            else:
                want = 0.0 if others[i] <= 0.0 else bc.implied_vol(prices[i], scalar, others[i], q)
        else:
            want = (
                0.0
                if others[i] <= 0.0 or fixed <= 0.0
                else bc.implied_vol(prices[i], others[i], scalar, q)
            )
        assert same_value(result[i], want), (i, result[i], want)


# ---------------------------------------------------------------------------
# Batch implied volatility and Greeks

CTG_PARAMS = GREEKS_PARAMETERS
INPUTS = CTG_PARAMS[:5]
OUTPUTS = CTG_PARAMS[5:]
_ALIASES = st.sampled_from(
    [
        None,
        None,
        ("undiscounted_price", "out_vol"),
        ("fwd_mid", "out_delta"),
        ("discount", "out_vega"),
    ]
)


def expected_trade(price, F, K, is_call, disc):
    q = 1 if is_call != 0 else -1
    if F <= 0.0 or K <= 0.0 or disc <= 0.0:
        return 0.0, 0.0, 0.0, 0.0
    vol = bc.implied_vol(price, F, K, q)
    if vol > 0.0:
        return (
            vol,
            disc * bc.black_delta(F, K, vol, q),
            bc.black_gamma(F, K, vol) * disc,
            bc.black_vega(F, K, vol) * disc,
        )
    delta = (disc if F > K else 0.0) if q > 0 else (-disc if F < K else 0.0)
    return vol, delta, 0.0, 0.0


def _mark_unwritten(buf):
    """Fills the view's elements of an output with the UNWRITTEN pattern."""
    if buf.raw is not None and buf.offsets is not None and buf.itemsize == 8:
        for o in buf.offsets:
            buf.raw[o : o + 8] = np.frombuffer(struct.pack("<Q", UNWRITTEN), np.uint8)


@fuzz(1000)
@given(data=st.data())
def test_compute_trades_greeks_fuzzed(data):
    bufs = dict(
        zip(
            CTG_PARAMS,
            draw_arrays(data, CTG_PARAMS, lambda name: name == "is_call", readonly_ok=False),
        )
    )
    for p in OUTPUTS:
        _mark_unwritten(bufs[p])
    # Sometimes an output is the very same view as an input (allowed: every
    # input of a trade is read before its outputs are written).
    alias = data.draw(_ALIASES, label="alias")
    if alias is not None:
        src = bufs[alias[0]]
        if src.offsets is not None and len(set(src.offsets)) == len(src.offsets):
            bufs[alias[1]] = src
        else:
            alias = None
    unique = {id(b): b for b in bufs.values()}.values()
    for b in unique:
        b.snapshot()
    outcome, result = call(bc.compute_trades_greeks, *[bufs[p].obj for p in CTG_PARAMS])

    if outcome == "raised":
        for b in unique:
            b.assert_untouched()
        return
    assert result is None
    for p in CTG_PARAMS:
        b = bufs[p]
        assert b.obj is None or (b.fmt_ok and b.ndim == 1 and b.writable), p
    n = bufs["undiscounted_price"].n
    outputs = {id(bufs[p]) for p in OUTPUTS}
    for b in unique:
        if id(b) in outputs:
            b.assert_only_elements_changed(n)
        else:
            b.assert_untouched()
    if n == 0:
        return
    cols = {
        p: (bufs[p].int8_before() if p == "is_call" else bufs[p].doubles_before()) for p in INPUTS
    }
    # Where an output view repeats an element (stride 0) the last trade wins.
    for k, p in enumerate(OUTPUTS):
        b = bufs[p]
        final = {}
        for i in range(n):
            final[b.offsets[i]] = (i, expected_trade(*(cols[c][i] for c in INPUTS))[k])
        for i, want in final.values():
            got = b.double_after(i)
            assert bits(got) != UNWRITTEN, f"{p}[{i}] not written"
            assert same_value(got, want), (p, i, got, want)


# ---------------------------------------------------------------------------
# Keyword binding

ALL_FUNCTIONS = {
    **SCALAR_FUNCTIONS,
    "vectorized_implied_vol": ("undiscounted_price", "fwd_mid", "K", "q"),
    "vectorized_implied_vol_strikes": ("undiscounted_price", "F", "K", "q"),
    "compute_trades_greeks": CTG_PARAMS,
}


@functools.cache
def plain_argument(name, param):
    """A mostly valid argument, so that binding and not conversion decides."""
    # Arrays are made afresh for every draw: compute_trades_greeks writes them.
    if name == "compute_trades_greeks":
        dtype = np.int8 if param == "is_call" else np.float64
        return st.sampled_from([[1, 0], [100, 90], None]).map(
            lambda v: None if v is None else np.array(v, dtype)
        )
    if (name.startswith("vectorized") and param in ("undiscounted_price", "fwd_mid")) or (
        name == "vectorized_implied_vol_strikes" and param == "K"
    ):
        return st.sampled_from([[5.0, 7.0], [100.0, 110.0], None]).map(
            lambda v: None if v is None else np.array(v)
        )
    if param == "q":
        return st.sampled_from([1, -1, 0, 2**31, "1"])
    return st.one_of(st.sampled_from([100.0, 90.0, 0.2, 7.0]), scalars)


def outcome_key(outcome):
    kind, value = outcome
    if kind == "raised":
        return kind, type(value), str(value)
    if isinstance(value, np.ndarray):
        return kind, value.dtype, value.tobytes()
    return kind, None if value is None else bits(value)


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
@fuzz(120)
@given(data=st.data())
def test_keyword_binding(name, data):
    fn = getattr(bc, name)
    params = ALL_FUNCTIONS[name]
    values = [data.draw(plain_argument(name, p), label=p) for p in params]
    n_pos = data.draw(_ints(0, len(params) + 1), label="positional")
    args = list(values[:n_pos]) + ([1.0] if n_pos > len(params) else [])
    names = list(params[n_pos:])
    order = data.draw(_permutations(len(names)), label="keyword order")
    kwargs = {names[i]: values[n_pos + i] for i in order}
    valid = n_pos <= len(params)

    fault = data.draw(_FAULTS, label="fault")
    if fault == "drop" and kwargs:
        del kwargs[data.draw(_choice(tuple(sorted(kwargs))))]
        valid = False
    elif fault == "rename" and kwargs:
        old = data.draw(_choice(tuple(sorted(kwargs))))
        new = data.draw(
            _choice(
                (
                    old.lower() if old != old.lower() else old.upper(),
                    old + "_",
                    "vol",
                    "price_",
                    "self",
                )
            )
        )
        if new not in params:
            kwargs[new] = kwargs.pop(old)
            valid = False
    elif fault == "extra":
        kwargs[data.draw(_choice(("sigma2", "out", "k", "f", "Q", "x")))] = 1.0
        valid = False
    elif fault == "repeat" and 0 < n_pos <= len(params):
        kwargs[params[data.draw(_ints(0, n_pos - 1))]] = values[0]
        valid = False

    got = call(fn, *args, **kwargs)
    if valid:
        assert outcome_key(got) == outcome_key(call(fn, *values))
    else:
        assert got[0] == "raised" and type(got[1]) is TypeError, got
