"""The module object: import, namespace, docstrings, introspection, re-import."""

import importlib
import inspect
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from support import GREEKS_PARAMETERS

import quelta.black_core as bc

FUNCTIONS = {
    "implied_vol": ["price", "F", "K", "q"],
    "black_delta": ["F", "K", "sigma", "q"],
    "black_gamma": ["F", "K", "sigma"],
    "black_vega": ["F", "K", "sigma"],
    "vectorized_implied_vol": ["undiscounted_price", "fwd_mid", "K", "q"],
    "vectorized_implied_vol_strikes": ["undiscounted_price", "F", "K", "q"],
    "compute_trades_greeks": list(GREEKS_PARAMETERS),
}

DOCS = {
    "implied_vol": "Implied vol for undiscounted option price (t=1). q=1 call, q=-1 put.\n"
    "    Returns 0.0 for error cases (below intrinsic, above maximum).",
    "black_delta": "Black delta (t=1, r=0). q=1 call, q=-1 put.",
    "black_gamma": "Black gamma (t=1, r=0).",
    "black_vega": "Black vega (t=1, r=0). Includes 0.01 factor (per 1%% vol change).",
    "vectorized_implied_vol": "Batch IV computation for a single strike/flag "
    "across a time series.\n\n"
    "    undiscounted_price, fwd_mid: arrays of same length.\n"
    "    K: strike (scalar). q: 1 for call, -1 for put.\n"
    "    Returns numpy array of implied vols (0.0 for error cases).\n    ",
    "vectorized_implied_vol_strikes": "Batch IV computation across strikes "
    "for a single forward/flag.\n\n"
    "    undiscounted_price, K: arrays of same length.\n"
    "    F: forward (scalar). q: 1 for call, -1 for put.\n"
    "    Returns numpy array of implied vols (0.0 for error cases).\n    ",
    "compute_trades_greeks": "Batch IV + Greeks computation.\n\n"
    "    All input/output arrays must have the same length.\n"
    "    is_call: 1 for call, 0 for put.\n"
    "    Outputs include discount factor multiplication.\n"
    "    Vega includes the 0.01 factor (per 1% vol change).\n    ",
}


def run_python(code):
    """Runs code in a fresh interpreter (import-time behaviour needs one)."""
    return subprocess.run(
        [sys.executable, "-P", "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )


def test_module_docstring():
    assert bc.__doc__ == (
        "C++ Black-model implied volatility solver and Greeks.\n\n"
        "Implied volatility from rational initial guesses refined by Householder steps,\n"
        "plus Black model delta/gamma/vega and a batch compute function.\n"
    )


def test_namespace_is_exactly_the_interface():
    public = {k for k in vars(bc) if not k.startswith("__") or k == "__test__"}
    assert public == {"np", "__test__", *FUNCTIONS}
    dunders = {k for k in vars(bc) if k.startswith("__") and k != "__test__"}
    assert dunders == {
        "__name__",
        "__doc__",
        "__spec__",
        "__loader__",
        "__file__",
        "__package__",
        "__builtins__",
    }
    assert bc.__name__ == "quelta.black_core"
    assert bc.__package__ == "quelta"
    assert bc.__file__ == bc.__spec__.origin
    assert bc.__loader__ is bc.__spec__.loader
    assert bc.__builtins__ is importlib.import_module("builtins")
    assert bc.np is np
    assert bc.__test__ == {} and type(bc.__test__) is dict


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_identity_and_docstring(name):
    fn = getattr(bc, name)
    assert fn.__name__ == name
    assert fn.__qualname__ == name
    assert fn.__module__ == "quelta.black_core"
    assert fn.__doc__ == DOCS[name]


@pytest.mark.parametrize("name, params", FUNCTIONS.items())
def test_signature(name, params):
    sig = inspect.signature(getattr(bc, name))
    assert list(sig.parameters) == params
    for p in sig.parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty


def test_reimport_gives_the_same_module():
    assert importlib.import_module("quelta.black_core") is bc
    saved = sys.modules.pop("quelta.black_core")
    try:
        again = importlib.import_module("quelta.black_core")
        assert again is bc
        assert again.implied_vol is bc.implied_vol  # not re-initialised
    finally:
        sys.modules["quelta.black_core"] = saved


def test_exec_on_a_second_module_object_is_refused():
    ctypes = pytest.importorskip("ctypes")
    lib = ctypes.PyDLL(bc.__file__)
    lib.PyInit_black_core.restype = ctypes.c_void_p
    definition = lib.PyInit_black_core()
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
    exec_def.restype = ctypes.c_int
    other = type(sys)("black_core")
    with pytest.raises(RuntimeError) as info:
        exec_def(other, definition)
    assert str(info.value) == (
        "Module 'black_core' has already been imported. Re-initialisation is not supported."
    )
    # The module itself is accepted again and stays as it was.
    assert exec_def(bc, definition) == 0
    assert bc.np is np


SUBINTERPRETER_IMPORT = """
try:
    import quelta.black_core
    print("IMPORTED")
except ImportError as exc:
    print("REFUSED", exc)
"""


def test_import_in_a_second_interpreter_is_refused():
    result = run_python(
        f"""
        import quelta.black_core
        code = {SUBINTERPRETER_IMPORT!r}
        try:
            import _testcapi
            _testcapi.run_in_subinterp(code)
        except ImportError:
            try:
                import _interpreters as interpreters
            except ImportError:
                import _xxsubinterpreters as interpreters
            try:
                interp = interpreters.create("legacy")
            except TypeError:
                interp = interpreters.create(isolated=False)
            interpreters.run_string(interp, code)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "REFUSED Interpreter change detected - this module can only be loaded into one "
        "interpreter per process."
    )


def test_numpy_c_api_failure_becomes_import_error_and_leaves_module_importable():
    result = run_python(
        """
        import sys, types, traceback
        import numpy
        name = "numpy._core._multiarray_umath"
        real = sys.modules[name]
        fake = types.ModuleType(name)
        fake._ARRAY_API = 42
        sys.modules[name] = fake
        try:
            import quelta.black_core
        except ImportError as exc:
            print("ERROR", exc)
            print("CONTEXT", type(exc.__context__).__name__, exc.__context__)
            print("FRAMES", [f.name for f in traceback.extract_tb(exc.__traceback__)])
        finally:
            sys.modules[name] = real
        assert "quelta.black_core" not in sys.modules
        import quelta.black_core as bc
        print("RETRY", bc.black_gamma(100.0, 100.0, 0.2) > 0)
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "ERROR numpy._core.multiarray failed to import"
    assert lines[1] == "CONTEXT RuntimeError _ARRAY_API is not PyCapsule object"
    assert "init quelta.black_core" in lines[2]
    assert lines[3] == "RETRY True"


@pytest.mark.skipif(
    not hasattr(sys, "_is_gil_enabled"), reason="interpreter has no free-threading switch"
)
def test_module_declares_it_uses_the_gil():
    # On a free-threaded build importing the module switches the GIL on;
    # on the default build the GIL is always on.
    assert sys._is_gil_enabled()
