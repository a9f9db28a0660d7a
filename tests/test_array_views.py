"""Array arguments of the three array functions: accepted buffers, layouts, refusals, results."""

import array
import builtins
import ctypes
import types

import numpy as np
import pytest

import quelta.black_core as bc

ATM_PRICE = 7.965567455405804
SENTINEL = {np.dtype(np.float64): -7.25e77, np.dtype(np.int8): 99}

# ---------------------------------------------------------------------------
# Placing values in a buffer of a given layout, with sentinels around them.


class Placed:
    """values laid out in `layout` inside a larger buffer; `obj` is what is passed."""

    def __init__(self, values, layout):
        values = np.asarray(values)
        dt, n = values.dtype, len(values)
        code = "d" if dt == np.float64 else "b"
        sentinel = SENTINEL[dt]
        if layout == "contiguous":
            parent = np.full(n + 3, sentinel, dt)
            index = np.arange(n)
            obj = parent[:n]
        elif layout == "step2":
            parent = np.full(2 * n + 3, sentinel, dt)
            index = 1 + 2 * np.arange(n)
            obj = parent[1 : 1 + 2 * n : 2]
        elif layout == "reversed":
            parent = np.full(n + 4, sentinel, dt)
            index = 2 + n - 1 - np.arange(n)
            obj = parent[2 : 2 + n][::-1]
        elif layout == "unaligned":
            raw = bytearray((n + 2) * dt.itemsize + 1)
            parent = np.frombuffer(raw, dt, count=n + 2, offset=1)
            parent[:] = sentinel
            index = np.arange(n)
            obj = parent[:n]
        elif layout == "array.array":
            obj = array.array(code, [sentinel] * n)
            parent = np.frombuffer(obj, dt)
            index = np.arange(n)
        elif layout == "memoryview":
            raw = bytearray((n + 2) * dt.itemsize)
            parent = np.frombuffer(raw, dt)
            parent[:] = sentinel
            index = np.arange(n)
            obj = memoryview(raw).cast(code)[:n]
        else:
            raise AssertionError(layout)
        parent[index] = values
        self.obj, self.parent, self.index = obj, parent, index
        self.outside = np.setdiff1d(np.arange(len(parent)), index)
        self.frame = parent[self.outside].copy()

    def values(self):
        return self.parent[self.index]

    def assert_frame_untouched(self):
        np.testing.assert_array_equal(
            self.parent[self.outside].view(np.uint8), self.frame.view(np.uint8)
        )


LAYOUTS = ["contiguous", "step2", "reversed", "unaligned", "array.array", "memoryview"]


def _trades(book):
    t = book(n=120, seed=11)
    return [t["price"], t["fwd"], t["strike"], t["is_call"], t["discount"]]


def _batch(inputs):
    n = len(inputs[0])
    outs = [np.full(n, -1.0) for _ in range(4)]
    bc.compute_trades_greeks(*inputs, *outs)
    return outs


@pytest.mark.parametrize("layout", LAYOUTS)
def test_vectorized_layouts_read_in_place(book, same_bits, layout):
    price, fwd, strike = _trades(book)[:3]
    want_f = bc.vectorized_implied_vol(price, fwd, 100.0, 1)
    want_k = bc.vectorized_implied_vol_strikes(price, 100.0, strike, -1)
    p, f, k = Placed(price, layout), Placed(fwd, layout), Placed(strike, layout)
    same_bits(bc.vectorized_implied_vol(p.obj, f.obj, 100.0, 1), want_f)
    same_bits(bc.vectorized_implied_vol_strikes(p.obj, 100.0, k.obj, -1), want_k)
    for placed, original in ((p, price), (f, fwd), (k, strike)):
        same_bits(placed.values(), original)
        placed.assert_frame_untouched()


@pytest.mark.parametrize("shift", range(len(LAYOUTS)))
@pytest.mark.parametrize("mixed", [False, True])
def test_batch_layouts_read_and_write_in_place(book, same_bits, shift, mixed):
    inputs = _trades(book)
    want = _batch([a.copy() for a in inputs])
    n = len(inputs[0])
    layouts = [LAYOUTS[(j * mixed + shift) % len(LAYOUTS)] for j in range(9)]
    placed = [Placed(v, lay) for v, lay in zip(inputs + [np.full(n, -3.0)] * 4, layouts)]
    assert bc.compute_trades_greeks(*(p.obj for p in placed)) is None
    for p, original in zip(placed[:5], inputs):
        same_bits(p.values(), original)
    for p, expected in zip(placed[5:], want):
        same_bits(p.values(), expected)
    for p in placed:
        p.assert_frame_untouched()


def test_zero_stride_inputs(same_bits):
    n = 6
    price = np.linspace(1.0, 20.0, n)
    fwd = np.broadcast_to(np.float64(100.0), (n,))
    strike = np.broadcast_to(np.float64(110.0), (n,))
    assert fwd.strides == (0,) and not fwd.flags.writeable
    same_bits(
        bc.vectorized_implied_vol(price, fwd, 110.0, 1),
        bc.vectorized_implied_vol(price, np.full(n, 100.0), 110.0, 1),
    )
    same_bits(
        bc.vectorized_implied_vol_strikes(price, 100.0, strike, 1),
        bc.vectorized_implied_vol_strikes(price, 100.0, np.full(n, 110.0), 1),
    )
    same_bits(
        bc.vectorized_implied_vol(
            np.broadcast_to(np.float64(ATM_PRICE), (n,)), np.full(n, 100.0), 100.0, 1
        ),
        bc.vectorized_implied_vol(np.full(n, ATM_PRICE), np.full(n, 100.0), 100.0, 1),
    )
    # writable zero-stride views for the batch: every trade reads the same cell
    one = [np.array([v]) for v in (100.0, 110.0)] + [np.array([1], np.int8), np.array([0.9])]
    zero = [np.lib.stride_tricks.as_strided(a, (n,), (0,)) for a in one]
    want = _batch(
        [price, np.full(n, 100.0), np.full(n, 110.0), np.ones(n, np.int8), np.full(n, 0.9)]
    )
    got = _batch([price, *zero])
    for g, w in zip(got, want):
        same_bits(g, w)


def test_zero_stride_output_keeps_the_last_trade(same_bits):
    n = 5
    inputs = [
        np.linspace(2.0, 12.0, n),
        np.full(n, 100.0),
        np.full(n, 105.0),
        np.ones(n, np.int8),
        np.full(n, 0.9),
    ]
    want = _batch(inputs)
    cell = np.array([-1.0])
    outs = [np.lib.stride_tricks.as_strided(cell, (n,), (0,))] + [np.zeros(n) for _ in range(3)]
    bc.compute_trades_greeks(*inputs, *outs)
    same_bits(cell, want[0][-1:])


def test_read_only_inputs_are_accepted_by_the_vectorized_functions(same_bits):
    price = np.array([ATM_PRICE, 6.19042641376835])
    fwd = np.array([100.0, 100.0])
    strike = np.array([100.0, 110.0])
    want_f = bc.vectorized_implied_vol(price, fwd, 110.0, 1)
    want_k = bc.vectorized_implied_vol_strikes(price, 100.0, strike, 1)
    for a in (price, fwd, strike):
        a.flags.writeable = False
    same_bits(bc.vectorized_implied_vol(price, fwd, 110.0, 1), want_f)
    same_bits(bc.vectorized_implied_vol_strikes(price, 100.0, strike, 1), want_k)
    # a buffer that is read-only by nature
    frozen = memoryview(price.tobytes()).cast("d")
    assert frozen.readonly
    same_bits(bc.vectorized_implied_vol(frozen, fwd, 110.0, 1), want_f)


@pytest.mark.parametrize("position", range(9))
def test_read_only_arrays_are_refused_by_the_batch(position):
    args = [np.ones(2)] * 3 + [np.ones(2, np.int8)] + [np.ones(2) for _ in range(5)]
    frozen = args[position].copy()
    frozen.flags.writeable = False
    args[position] = frozen
    with pytest.raises(ValueError, match="read-only"):
        bc.compute_trades_greeks(*args)
    args[position] = bytes(args[position].nbytes)
    with pytest.raises(BufferError):
        bc.compute_trades_greeks(*args)


# ---------------------------------------------------------------------------
# Refused buffers, with their messages. {kind} is the view's name.

MISMATCH = "Buffer dtype mismatch, expected '{kind}' but got "

DOUBLE_REFUSALS = [
    pytest.param(lambda: np.zeros(3, np.float32), MISMATCH + "'float'", id="float32"),
    pytest.param(lambda: memoryview(bytearray(12)).cast("f"), MISMATCH + "'float'", id="mv-f"),
    pytest.param(lambda: np.zeros(3, np.float16), MISMATCH + "'half'", id="float16"),
    pytest.param(lambda: np.zeros(3, np.int64), MISMATCH + "'long'", id="int64"),
    pytest.param(lambda: memoryview(bytearray(24)).cast("q"), MISMATCH + "'long long'", id="mv-q"),
    pytest.param(lambda: np.zeros(3, np.int8), MISMATCH + "'signed char'", id="int8"),
    pytest.param(
        lambda: np.zeros(3, np.complex128), MISMATCH + "'complex double'", id="complex128"
    ),
    pytest.param(
        lambda: np.zeros(3, np.longdouble),
        MISMATCH + "'long double'",
        id="longdouble",
        marks=pytest.mark.skipif(
            np.dtype(np.longdouble).itemsize == 8, reason="long double is double here"
        ),
    ),
    pytest.param(lambda: np.zeros(3, object), MISMATCH + "Python object", id="object"),
    pytest.param(lambda: np.zeros(3, "f8,f8"), MISMATCH + "a struct", id="structured"),
    pytest.param(lambda: np.zeros(3, [("x", "<f8")]), MISMATCH + "a struct", id="struct-of-f8"),
    pytest.param(
        lambda: np.zeros(3, ">f8"),
        "Big-endian buffer not supported on little-endian compiler",
        id=">f8",
    ),
    pytest.param(
        lambda: (ctypes.c_double.__ctype_be__ * 3)(),
        "Big-endian buffer not supported on little-endian compiler",
        id="ctypes-be",
    ),
    pytest.param(
        lambda: (ctypes.c_wchar * 3)(), "Unexpected format string character: 'u'", id="ctypes-wchar"
    ),
    pytest.param(
        lambda: np.zeros((3, 1)),
        "Buffer has wrong number of dimensions (expected 1, got 2)",
        id="2d",
    ),
    pytest.param(
        lambda: memoryview(bytearray(24)).cast("d", [1, 3]),
        "Buffer has wrong number of dimensions (expected 1, got 2)",
        id="mv-2d",
    ),
    pytest.param(
        lambda: np.array(1.0), "Buffer has wrong number of dimensions (expected 1, got 0)", id="0d"
    ),
]

# (function, position, view name, valid arguments for 3 elements)
DOUBLE_SLOTS = (
    [("vectorized_implied_vol", i, "const double") for i in (0, 1)]
    + [("vectorized_implied_vol_strikes", i, "const double") for i in (0, 2)]
    + [("compute_trades_greeks", i, "double") for i in (0, 1, 2, 4, 5, 6, 7, 8)]
)


def valid_args(name, n=3):
    if name == "vectorized_implied_vol":
        return [np.full(n, ATM_PRICE), np.full(n, 100.0), 100.0, 1]
    if name == "vectorized_implied_vol_strikes":
        return [np.full(n, ATM_PRICE), 100.0, np.full(n, 100.0), 1]
    return (
        [np.full(n, ATM_PRICE), np.full(n, 100.0), np.full(n, 100.0), np.ones(n, np.int8)]
        + [np.full(n, 0.9)]
        + [np.full(n, -1.0) for _ in range(4)]
    )


@pytest.mark.parametrize("name, position, kind", DOUBLE_SLOTS)
@pytest.mark.parametrize("make, message", DOUBLE_REFUSALS)
def test_double_arrays_refuse_other_items(name, position, kind, make, message):
    args = valid_args(name)
    args[position] = make()
    with pytest.raises(ValueError) as info:
        getattr(bc, name)(*args)
    assert str(info.value) == message.format(kind=kind)
    if name == "compute_trades_greeks":
        assert all(np.all(a == -1.0) for i, a in enumerate(args[5:], 5) if i != position)


@pytest.mark.parametrize("name, position, kind", DOUBLE_SLOTS)
def test_numpy_scalars_are_zero_dimensional_or_read_only(name, position, kind):
    args = valid_args(name)
    args[position] = np.float64(1.0)
    if kind == "const double":
        with pytest.raises(ValueError) as info:
            getattr(bc, name)(*args)
        assert str(info.value) == "Buffer has wrong number of dimensions (expected 1, got 0)"
    else:
        with pytest.raises(BufferError):  # NumPy refuses a writable buffer of a scalar
            getattr(bc, name)(*args)


@pytest.mark.parametrize("name, position, kind", DOUBLE_SLOTS)
@pytest.mark.parametrize("obj", [[1.0, 2.0, 3.0], (1.0, 2.0, 3.0), "abc", 3.0])
def test_objects_without_a_buffer_raise_the_hosts_type_error(name, position, kind, obj):
    args = valid_args(name)
    args[position] = obj
    with pytest.raises(TypeError, match=type(obj).__name__):
        getattr(bc, name)(*args)


@pytest.mark.parametrize(
    "make, message",
    [
        pytest.param(lambda: np.zeros(3, bool), MISMATCH + "'bool'", id="bool"),
        pytest.param(lambda: np.zeros(3, np.uint8), MISMATCH + "'unsigned char'", id="uint8"),
        pytest.param(
            lambda: array.array("B", [1, 0, 1]), MISMATCH + "'unsigned char'", id="array-B"
        ),
        pytest.param(lambda: memoryview(bytearray(3)).cast("?"), MISMATCH + "'bool'", id="mv-bool"),
        pytest.param(lambda: np.zeros(3, np.int16), MISMATCH + "'short'", id="int16"),
        pytest.param(lambda: np.zeros(3), MISMATCH + "'double'", id="float64"),
        pytest.param(lambda: np.zeros(3, "S1"), MISMATCH + "a string", id="bytes-S1"),
        pytest.param(
            lambda: np.zeros((3, 1), np.int8),
            "Buffer has wrong number of dimensions (expected 1, got 2)",
            id="2d",
        ),
        pytest.param(
            lambda: np.array(1, np.int8),
            "Buffer has wrong number of dimensions (expected 1, got 0)",
            id="0d",
        ),
    ],
)
def test_is_call_needs_signed_bytes(make, message):
    args = valid_args("compute_trades_greeks")
    args[3] = make()
    with pytest.raises(ValueError) as info:
        bc.compute_trades_greeks(*args)
    assert str(info.value) == message.format(kind="int8_t")
    assert all(np.all(a == -1.0) for a in args[5:])


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda v: np.array(v, np.int8), id="int8"),
        pytest.param(lambda v: array.array("b", v), id="array-b"),
        pytest.param(
            lambda v: memoryview(bytearray(bytes(x & 0xFF for x in v))).cast("b"), id="mv-b"
        ),
        pytest.param(
            lambda v: memoryview(bytearray(bytes(x & 0xFF for x in v))).cast("c"), id="mv-c"
        ),
        pytest.param(lambda v: bytearray(bytes(x & 0xFF for x in v)), id="bytearray"),
        pytest.param(lambda v: (ctypes.c_int8 * len(v))(*v), id="ctypes"),
    ],
)
def test_is_call_accepts_signed_and_plain_chars(same_bits, make):
    flags = [1, 0, -1, 2, 0, -128]
    n = len(flags)
    inputs = [np.full(n, 3.0), np.full(n, 100.0), np.full(n, 102.0)]
    want = _batch([*inputs, np.array(flags, np.int8), np.full(n, 0.9)])
    obj = make(flags)
    if isinstance(obj, bytearray):
        # a bytearray exports unsigned bytes ('B'), which is no int8
        with pytest.raises(ValueError, match="'unsigned char'"):
            _batch([*inputs, obj, np.full(n, 0.9)])
        return
    got = _batch([*inputs, obj, np.full(n, 0.9)])
    for g, w in zip(got, want):
        same_bits(g, w)


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda v: array.array("d", v), id="array-d"),
        pytest.param(lambda v: memoryview(bytearray(np.array(v).tobytes())).cast("d"), id="mv-d"),
        pytest.param(lambda v: memoryview(array.array("d", v)), id="mv-of-array"),
        pytest.param(lambda v: np.array(v, "<f8"), id="<f8"),
        pytest.param(lambda v: np.array(v, "=f8"), id="=f8"),
        pytest.param(lambda v: np.frombuffer(bytearray(8 * len(v) + 1), offset=1), id="unaligned"),
        # ctypes exports neither shape nor strides, even when asked for them
        pytest.param(lambda v: (ctypes.c_double * len(v))(*v), id="ctypes"),
    ],
)
def test_other_double_buffers_are_accepted(same_bits, make):
    values = [ATM_PRICE, 6.19042641376835, 2.0]
    obj = make(values)
    if isinstance(obj, np.ndarray) and not obj.flags.aligned:
        obj[:] = values
    fwd = np.full(3, 100.0)
    same_bits(
        bc.vectorized_implied_vol(obj, fwd, 110.0, 1),
        bc.vectorized_implied_vol(np.array(values), fwd, 110.0, 1),
    )
    same_bits(
        bc.vectorized_implied_vol_strikes(np.full(3, 5.0), 100.0, obj, -1),
        bc.vectorized_implied_vol_strikes(np.full(3, 5.0), 100.0, np.array(values), -1),
    )


# ---------------------------------------------------------------------------
# Result arrays come from whatever the module global `np` is at the call.


class FrozenArray(np.ndarray):
    pass


@pytest.fixture
def module_np():
    """Lets a test rebind or delete quelta.black_core.np; puts numpy back afterwards."""
    namespace = vars(bc)
    had_builtin = hasattr(builtins, "np")
    try:
        yield namespace
    finally:
        namespace["np"] = np
        if not had_builtin:
            vars(builtins).pop("np", None)


def _call_both(n=2):
    price = np.full(n, ATM_PRICE)
    return (
        bc.vectorized_implied_vol(price, np.full(n, 100.0), 100.0, 1),
        bc.vectorized_implied_vol_strikes(price, 100.0, np.full(n, 100.0), 1),
    )


def test_replacement_np_makes_the_results(module_np, same_bits):
    calls = []
    marker = object()

    def empty(*args, **kwargs):
        calls.append((args, kwargs))
        return np.full(args[0], np.nan).view(FrozenArray)

    module_np["np"] = types.SimpleNamespace(empty=empty, float64=marker)
    results = _call_both(3)
    assert calls == [((3,), {"dtype": marker})] * 2
    for got in results:
        assert type(got) is FrozenArray
        assert got.tolist() == pytest.approx([0.2] * 3, rel=2e-15)
    module_np["np"] = np
    assert all(type(got) is np.ndarray for got in _call_both())


def test_result_is_the_object_that_empty_returned(module_np):
    made = []

    def empty(n, dtype):
        made.append(np.zeros(n + 2, dtype))  # longer is fine: only n elements are written
        return made[-1]

    module_np["np"] = types.SimpleNamespace(empty=empty, float64=np.float64)
    results = _call_both(2)
    assert [id(r) for r in results] == [id(m) for m in made]
    for got in results:
        assert got[:2].tolist() == pytest.approx([0.2, 0.2], rel=2e-15)
        assert got[2:].tolist() == [0.0, 0.0]


@pytest.mark.parametrize(
    "name, args",
    [
        ("vectorized_implied_vol", (np.full(3, ATM_PRICE), np.full(3, 100.0), 100.0, 1)),
        ("vectorized_implied_vol", (np.full(3, ATM_PRICE), np.array([100.0, 0.0, -1.0]), 100.0, 1)),
        ("vectorized_implied_vol", (np.full(3, ATM_PRICE), np.full(3, 100.0), 0.0, 1)),
        ("vectorized_implied_vol_strikes", (np.full(3, ATM_PRICE), 100.0, np.full(3, 100.0), 1)),
        ("vectorized_implied_vol_strikes", (np.full(3, ATM_PRICE), 100.0, np.full(3, -0.0), 1)),
        ("vectorized_implied_vol_strikes", (np.full(3, ATM_PRICE), 0.0, None, 1)),
        ("vectorized_implied_vol_strikes", (np.full(3, ATM_PRICE), -0.0, np.ones(1), 1)),
    ],
)
def test_every_element_of_the_result_is_written(module_np, same_bits, name, args):
    module_np["np"] = types.SimpleNamespace(
        empty=lambda n, dtype: np.full(n, np.nan), float64=np.float64
    )
    got = getattr(bc, name)(*args)
    module_np["np"] = np
    same_bits(got, getattr(bc, name)(*args))
    assert not np.isnan(got).any()


@pytest.mark.parametrize(
    "returned, error, message",
    [
        (
            lambda n: np.zeros(n, np.float32),
            ValueError,
            "^Buffer dtype mismatch, expected 'double' but got 'float'$",
        ),
        (lambda n: np.zeros(n).view(np.int64), ValueError, "'long'"),
        (lambda n: [0.0] * n, TypeError, "list"),
        (lambda n: np.broadcast_to(np.float64(0.0), (n,)), ValueError, "read-only"),
        (lambda n: np.zeros(n - 1), ValueError, "1 element, expected at least 2"),
    ],
)
def test_unsuitable_result_from_empty_fails(module_np, returned, error, message):
    module_np["np"] = types.SimpleNamespace(empty=lambda n, dtype: returned(n), float64=np.float64)
    for name, args in [
        ("vectorized_implied_vol", (np.ones(2), np.ones(2), 1.0, 1)),
        ("vectorized_implied_vol_strikes", (np.ones(2), 1.0, np.ones(2), 1)),
    ]:
        with pytest.raises(error, match=message):
            getattr(bc, name)(*args)


@pytest.mark.parametrize("price", [np.full(2, ATM_PRICE), None])
def test_deleted_np_raises_name_error(module_np, same_bits, price):
    del module_np["np"]
    for call in (
        lambda: bc.vectorized_implied_vol(price, np.full(2, 100.0), 100.0, 1),
        lambda: bc.vectorized_implied_vol_strikes(price, 100.0, np.full(2, 100.0), 1),
    ):
        with pytest.raises(NameError) as info:
            call()
        assert str(info.value) == "name 'np' is not defined"
    # conversion errors come first; the batch does not need np at all
    with pytest.raises(ValueError, match="'float'"):
        bc.vectorized_implied_vol(np.zeros(2, np.float32), None, 100.0, 1)
    n = 2
    outs = [np.zeros(n) for _ in range(4)]
    bc.compute_trades_greeks(
        np.full(n, ATM_PRICE),
        np.full(n, 100.0),
        np.full(n, 100.0),
        np.ones(n, np.int8),
        np.full(n, 0.95),
        *outs,
    )
    assert outs[0].tolist() == pytest.approx([0.2, 0.2], rel=2e-15)


def test_np_is_looked_up_in_builtins_after_the_module(module_np):
    del module_np["np"]
    builtins.np = types.SimpleNamespace(
        empty=lambda n, dtype: np.zeros(n).view(FrozenArray), float64=np.float64
    )
    assert all(type(got) is FrozenArray for got in _call_both())
    module_np["np"] = np  # the module namespace comes first
    assert all(type(got) is np.ndarray for got in _call_both())


def test_failing_conversion_never_makes_a_result(module_np):
    calls = []
    module_np["np"] = types.SimpleNamespace(
        empty=lambda n, dtype: calls.append(n) or np.zeros(n), float64=np.float64
    )
    for call in (
        lambda: bc.vectorized_implied_vol(np.ones(2), np.ones((2, 2)), 1.0, 1),
        lambda: bc.vectorized_implied_vol(np.ones(2), np.ones(2), 1.0, "q"),
        lambda: bc.vectorized_implied_vol_strikes(np.ones(2), "F", np.ones(2), 1),
    ):
        with pytest.raises((TypeError, ValueError)):
            call()
    assert calls == []
