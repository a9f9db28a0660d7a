// quelta.black_core: the CPython face of the numeric core.
//
// This unit and the headers it alone includes (quelta/_python.hpp, the RAII
// owners; quelta/_arguments.hpp, the one set of argument-binding rules that
// every function shares and the scalar conversions; quelta/_views.hpp, the
// array views; quelta/_rows.hpp, the batch loops) are the only place that
// knows CPython's function interface. This unit owns the module's creation
// and initialisation and the seven Python functions. Each function is a thin
// METH_FASTCALL | METH_KEYWORDS wrapper: bind, convert everything with the
// thread attached, then call the numeric core on plain doubles (detached for
// the array loops). Every Python resource is held by an RAII owner, so every
// error path releases what it took, and every failing call adds a traceback
// frame named after the function.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <numpy/arrayobject.h>

#include <array>
#include <cstdint>
#include <new>
#include <vector>

#include "numeric/constants.hpp"
#include "numeric/greeks.hpp"
#include "numeric/implied_vol.hpp"
#include "quelta/_arguments.hpp"
#include "quelta/_python.hpp"
#include "quelta/_rows.hpp"
#include "quelta/_views.hpp"
#include "quelta/kernels/dispatch.hpp"

namespace {

using namespace quelta::python;

constexpr const char kModuleName[] = "quelta.black_core";
constexpr const char kSourceFile[] = "quelta/black_core.cpp";

// ---------------------------------------------------------------------------
// Process-global module state. Written only by the create and exec steps,
// which run under the import lock.

PyObject* g_module = nullptr;        // the one module object, once initialised
PyObject* g_builtins = nullptr;      // the builtins module, for global look-ups
std::int64_t g_interpreter_id = -1;  // the interpreter that first created us

// Interned names, made once by the exec step and kept for the process.
struct Names {
    PyObject* np = nullptr;
    PyObject* empty = nullptr;
    PyObject* float64 = nullptr;
    PyObject* dtype_kwnames = nullptr;  // ("dtype",) for the vectorcall of empty
};
Names g_names;

// Adds a frame named `function` in this source unit to the traceback of the
// pending exception. The line number only points into this file.
void add_traceback(const char* function, int line) {
    PyCodeObject* code = nullptr;
    PyFrameObject* frame = nullptr;
    {
        PendingError pending;  // building the frame must not see the error
        Ref globals(g_module != nullptr ? Py_NewRef(PyModule_GetDict(g_module)) : PyDict_New());
        if (globals) {
            code = PyCode_NewEmpty(kSourceFile, function, line);
            if (code != nullptr)
                frame = PyFrame_New(PyThreadState_Get(), code, globals.get(), nullptr);
        }
        PyErr_Clear();  // a failure here must not replace the real error
    }
    if (frame != nullptr) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

// The value of a module global: the module namespace first, then builtins.
Ref lookup_global(PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(g_module), name);
    if (found == nullptr && !PyErr_Occurred()) {
        found = PyDict_GetItemWithError(PyModule_GetDict(g_builtins), name);
    }
    if (found == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return Ref();
    }
    return Ref(Py_NewRef(found));
}

// np.empty(n, dtype=np.float64) through whatever `np` is bound to now, and a
// writable view of it.
Ref make_result(Py_ssize_t n, View<double>& view) {
    Ref np = lookup_global(g_names.np);
    if (!np) return Ref();
    Ref empty(PyObject_GetAttr(np.get(), g_names.empty));
    if (!empty) return Ref();
    Ref length(PyLong_FromSsize_t(n));
    if (!length) return Ref();
    np = lookup_global(g_names.np);
    if (!np) return Ref();
    Ref float64(PyObject_GetAttr(np.get(), g_names.float64));
    if (!float64) return Ref();
    PyObject* call_args[] = {length.get(), float64.get()};
    Ref result(PyObject_Vectorcall(empty.get(), call_args, 1, g_names.dtype_kwnames));
    if (!result || !view.acquire(result.get(), ViewKind::Double)) return Ref();
    if (!require_length(view, n, "the array made by np.empty")) return Ref();
    return result;
}

// ---------------------------------------------------------------------------
// The seven functions

Signature<4> sig_implied_vol{"implied_vol", {"price", "F", "K", "q"}};
Signature<4> sig_black_delta{"black_delta", {"F", "K", "sigma", "q"}};
Signature<3> sig_black_gamma{"black_gamma", {"F", "K", "sigma"}};
Signature<3> sig_black_vega{"black_vega", {"F", "K", "sigma"}};
Signature<4> sig_vectorized_implied_vol{"vectorized_implied_vol",
                                        {"undiscounted_price", "fwd_mid", "K", "q"}};
Signature<4> sig_vectorized_implied_vol_strikes{"vectorized_implied_vol_strikes",
                                                {"undiscounted_price", "F", "K", "q"}};
Signature<9> sig_compute_trades_greeks{
    "compute_trades_greeks",
    {"undiscounted_price", "fwd_mid", "strike", "is_call", "discount", "out_vol", "out_delta",
     "out_gamma", "out_vega"}};

// The single exit of a failing call: the frame names the function.
template <std::size_t N>
PyObject* fail(const Signature<N>& sig, int line) {
    char frame[128];
    PyOS_snprintf(frame, sizeof frame, "%s.%s", kModuleName, sig.name);
    add_traceback(frame, line);
    return nullptr;
}

template <std::size_t N>
PyObject* return_float(const Signature<N>& sig, double value) {
    PyObject* result = PyFloat_FromDouble(value);
    return result != nullptr ? result : fail(sig, __LINE__);
}

PyObject* implied_vol(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto& sig = sig_implied_vol;
    double price, F, K;
    std::int32_t q;
    if (!parse(sig, args, nargs, kwnames, price, F, K, q)) return fail(sig, __LINE__);
    return return_float(sig, quelta::_implied_vol_scalar(price, F, K, q));
}

PyObject* black_delta(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto& sig = sig_black_delta;
    double F, K, sigma;
    std::int32_t q;
    if (!parse(sig, args, nargs, kwnames, F, K, sigma, q)) return fail(sig, __LINE__);
    return return_float(sig, quelta::_black_delta(F, K, sigma, q));
}

PyObject* black_gamma(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto& sig = sig_black_gamma;
    double F, K, sigma;
    if (!parse(sig, args, nargs, kwnames, F, K, sigma)) return fail(sig, __LINE__);
    return return_float(sig, quelta::_black_gamma(F, K, sigma));
}

PyObject* black_vega(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto& sig = sig_black_vega;
    double F, K, sigma;
    if (!parse(sig, args, nargs, kwnames, F, K, sigma)) return fail(sig, __LINE__);
    return return_float(sig, quelta::_black_vega(F, K, sigma));
}

PyObject* vectorized_implied_vol(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    const auto& sig = sig_vectorized_implied_vol;
    View<double> price, fwd, out_view;
    double K;
    std::int32_t q;
    if (!parse(sig, args, nargs, kwnames, ViewArg{price, ViewKind::ConstDouble},
               ViewArg{fwd, ViewKind::ConstDouble}, K, q)) {
        return fail(sig, __LINE__);
    }
    const Py_ssize_t n = price.size();
    Ref out = make_result(n, out_view);
    if (!out || !require_lengths(sig, n, fwd)) return fail(sig, __LINE__);
    {
        DetachedThread detached;
        solve_vols(n, price, Column{&fwd}, Column{nullptr, K}, quelta::kind_of_sign(q), out_view);
    }
    return out.release();
}

PyObject* vectorized_implied_vol_strikes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    const auto& sig = sig_vectorized_implied_vol_strikes;
    View<double> price, strike, out_view;
    double F;
    std::int32_t q;
    if (!parse(sig, args, nargs, kwnames, ViewArg{price, ViewKind::ConstDouble}, F,
               ViewArg{strike, ViewKind::ConstDouble}, q)) {
        return fail(sig, __LINE__);
    }
    const Py_ssize_t n = price.size();
    Ref out = make_result(n, out_view);
    // With no positive forward the strikes are never looked at.
    const bool skip_all = F <= 0.0;
    if (!out || (!skip_all && !require_length(strike, n, sig.params[2]))) {
        return fail(sig, __LINE__);
    }
    {
        DetachedThread detached;
        if (skip_all) {
            for (Py_ssize_t i = 0; i < n; ++i) out_view.set(i, 0.0);
        } else {
            solve_vols(n, price, Column{nullptr, F}, Column{&strike}, quelta::kind_of_sign(q),
                       out_view);
        }
    }
    return out.release();
}

// Outputs that overlap each other have no order of writes to honour: false,
// with the error set, for the first pair that may.
bool outputs_apart(const Signature<9>& sig, const std::array<Extent, 4>& outs) {
    constexpr std::size_t first_out = 5;
    for (std::size_t j = 1; j < outs.size(); ++j) {
        for (std::size_t i = 0; i < j; ++i) {
            if (may_overlap(outs[i], outs[j])) {
                PyErr_Format(PyExc_ValueError, "%s overlaps %s", sig.params[first_out + j],
                             sig.params[first_out + i]);
                return false;
            }
        }
    }
    return true;
}

PyObject* compute_trades_greeks(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    const auto& sig = sig_compute_trades_greeks;
    View<double> price, fwd, strike, discount, out_vol, out_delta, out_gamma, out_vega;
    View<std::int8_t> is_call;
    constexpr ViewKind doubles = ViewKind::Double;
    if (!parse(sig, args, nargs, kwnames, ViewArg{price, doubles}, ViewArg{fwd, doubles},
               ViewArg{strike, doubles}, ViewArg{is_call, ViewKind::Int8},
               ViewArg{discount, doubles}, ViewArg{out_vol, doubles}, ViewArg{out_delta, doubles},
               ViewArg{out_gamma, doubles}, ViewArg{out_vega, doubles})) {
        return fail(sig, __LINE__);
    }
    const Py_ssize_t n = price.size();
    if (!require_lengths(sig, n, fwd, strike, is_call, discount, out_vol, out_delta, out_gamma,
                         out_vega)) {
        return fail(sig, __LINE__);
    }
    const std::array<Extent, 4> outs = {extent(out_vol, n), extent(out_delta, n),
                                        extent(out_gamma, n), extent(out_vega, n)};
    if (!outputs_apart(sig, outs)) return fail(sig, __LINE__);
    // An input that an output overlaps other than element for element is read
    // from a copy, so the results are those of separate arrays.
    const auto needs_copy = [&outs, n](const auto& input) {
        const Extent in = extent(input, n);
        for (const Extent& out : outs) {
            if (may_overlap(in, out) && !same_elements(in, out)) return true;
        }
        return false;
    };
    std::vector<double> price_copy, fwd_copy, strike_copy, discount_copy;
    std::vector<std::int8_t> is_call_copy;
    try {
        if (needs_copy(price)) price.read_from_copy(price_copy, n);
        if (needs_copy(fwd)) fwd.read_from_copy(fwd_copy, n);
        if (needs_copy(strike)) strike.read_from_copy(strike_copy, n);
        if (needs_copy(is_call)) is_call.read_from_copy(is_call_copy, n);
        if (needs_copy(discount)) discount.read_from_copy(discount_copy, n);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return fail(sig, __LINE__);
    }
    {
        DetachedThread detached;
        solve_trades(n, price, fwd, strike, is_call, discount, out_vol, out_delta, out_gamma,
                     out_vega);
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Function table. Each docstring opens with a text signature, which CPython
// strips from __doc__ and hands to inspect.signature.

template <auto Fn>
constexpr PyCFunction as_cfunction() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Fn));
}

constexpr int kFastKeywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef g_functions[] = {
    {"implied_vol", as_cfunction<&implied_vol>(), kFastKeywords,
     "implied_vol($module, price, F, K, q)\n--\n\n"
     "Implied vol for undiscounted option price (t=1). q=1 call, q=-1 put.\n"
     "    Returns 0.0 for error cases (below intrinsic, above maximum)."},
    {"black_delta", as_cfunction<&black_delta>(), kFastKeywords,
     "black_delta($module, F, K, sigma, q)\n--\n\n"
     "Black delta (t=1, r=0). q=1 call, q=-1 put."},
    {"black_gamma", as_cfunction<&black_gamma>(), kFastKeywords,
     "black_gamma($module, F, K, sigma)\n--\n\n"
     "Black gamma (t=1, r=0)."},
    {"black_vega", as_cfunction<&black_vega>(), kFastKeywords,
     "black_vega($module, F, K, sigma)\n--\n\n"
     "Black vega (t=1, r=0). Includes 0.01 factor (per 1%% vol change)."},
    {"vectorized_implied_vol", as_cfunction<&vectorized_implied_vol>(), kFastKeywords,
     "vectorized_implied_vol($module, undiscounted_price, fwd_mid, K, q)\n--\n\n"
     "Batch IV computation for a single strike/flag across a time series.\n\n"
     "    undiscounted_price, fwd_mid: arrays of same length.\n"
     "    K: strike (scalar). q: 1 for call, -1 for put.\n"
     "    Returns numpy array of implied vols (0.0 for error cases).\n"
     "    "},
    {"vectorized_implied_vol_strikes", as_cfunction<&vectorized_implied_vol_strikes>(),
     kFastKeywords,
     "vectorized_implied_vol_strikes($module, undiscounted_price, F, K, q)\n--\n\n"
     "Batch IV computation across strikes for a single forward/flag.\n\n"
     "    undiscounted_price, K: arrays of same length.\n"
     "    F: forward (scalar). q: 1 for call, -1 for put.\n"
     "    Returns numpy array of implied vols (0.0 for error cases).\n"
     "    "},
    {"compute_trades_greeks", as_cfunction<&compute_trades_greeks>(), kFastKeywords,
     "compute_trades_greeks($module, undiscounted_price, fwd_mid, strike, is_call, discount, "
     "out_vol, out_delta, out_gamma, out_vega)\n--\n\n"
     "Batch IV + Greeks computation.\n\n"
     "    All input/output arrays must have the same length.\n"
     "    is_call: 1 for call, 0 for put.\n"
     "    Outputs include discount factor multiplication.\n"
     "    Vega includes the 0.01 factor (per 1% vol change).\n"
     "    "},
};

// ---------------------------------------------------------------------------
// Creation and initialisation

// `import_info` is the import machinery's record of the module: its name,
// loader, origin and parent package.
PyObject* create_module(PyObject* import_info, PyModuleDef*) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (g_interpreter_id == -1) {
        g_interpreter_id = id;
    } else if (id != g_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);

    Ref name(PyObject_GetAttrString(import_info, "name"));
    if (!name) return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    struct Copy {
        const char* from;
        const char* to;
        bool none_too;
    };
    for (const Copy& c : {Copy{"loader", "__loader__", true}, Copy{"origin", "__file__", true},
                          Copy{"parent", "__package__", true},
                          Copy{"submodule_search_locations", "__path__", false}}) {
        Ref value(PyObject_GetAttrString(import_info, c.from));
        if (!value) return nullptr;
        if (!c.none_too && value.get() == Py_None) continue;
        if (PyDict_SetItemString(dict, c.to, value.get()) < 0) return nullptr;
    }
    return module.release();
}

bool intern_names() {
    g_names.np = PyUnicode_InternFromString("np");
    g_names.empty = PyUnicode_InternFromString("empty");
    g_names.float64 = PyUnicode_InternFromString("float64");
    g_names.dtype_kwnames = Py_BuildValue("(s)", "dtype");
    return g_names.np != nullptr && g_names.empty != nullptr && g_names.float64 != nullptr &&
           g_names.dtype_kwnames != nullptr && sig_implied_vol.intern() &&
           sig_black_delta.intern() && sig_black_gamma.intern() && sig_black_vega.intern() &&
           sig_vectorized_implied_vol.intern() && sig_vectorized_implied_vol_strikes.intern() &&
           sig_compute_trades_greeks.intern();
}

// Refuses a NumPy whose core types are missing or smaller than the layout
// these headers describe. Nothing here relies on the layouts beyond that.
bool check_numpy_types(PyObject* numpy) {
    struct Expected {
        const char* name;
        Py_ssize_t size;
    };
    constexpr Py_ssize_t object_size = sizeof(PyObject);
    const Expected expected[] = {
        {"dtype", object_size},
        {"ndarray", static_cast<Py_ssize_t>(sizeof(PyArrayObject_fields))},
        {"ufunc", object_size},
        {"generic", object_size},
        {"number", object_size},
        {"integer", object_size},
        {"signedinteger", object_size},
        {"unsignedinteger", object_size},
        {"inexact", object_size},
        {"floating", object_size},
        {"complexfloating", object_size},
        {"flexible", object_size},
        {"character", object_size},
    };
    for (const Expected& e : expected) {
        Ref type(PyObject_GetAttrString(numpy, e.name));
        if (!type) return false;
        if (!PyType_Check(type.get())) {
            PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", "numpy", e.name);
            return false;
        }
        const Py_ssize_t size = reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize;
        if (size < e.size) {
            PyErr_Format(PyExc_ValueError,
                         "%.200s.%.200s size changed, may indicate binary incompatibility. "
                         "Expected %zd from C header, got %zd from PyObject",
                         "numpy", e.name, e.size, size);
            return false;
        }
    }
    return true;
}

// Loads NumPy's C-API table; its version checks are the point. A failure
// that is an Exception becomes the customary ImportError, chained to it.
bool import_numpy_c_api() {
    if (_import_array() >= 0) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyObject* cause;
    {
        PendingError first;
        cause = first.take();
    }
    PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
    PendingError replacement;
    PyException_SetContext(replacement.get(), cause);  // steals cause
    return false;
}

// Exec steps from the namespace on; returns the number of the failing step,
// or 0 on success.
int initialise(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);

    // 3. builtins
    g_builtins = PyImport_ImportModule("builtins");
    if (g_builtins == nullptr || PyDict_SetItemString(dict, "__builtins__", g_builtins) < 0) {
        return 3;
    }

    // 4. the interpreter this build was compiled for
    const int major = static_cast<int>((Py_Version >> 24U) & 0xFFU);
    const int minor = static_cast<int>((Py_Version >> 16U) & 0xFFU);
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
        char message[200];
        PyOS_snprintf(message, sizeof message,
                      "compile time Python version %d.%d of module '%.100s' %s runtime version "
                      "%d.%d",
                      PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match", major,
                      minor);
        if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) < 0) return 4;
    }

    // 5. interned names
    if (!intern_names()) return 5;

    // 6. sys.modules
    PyObject* modules = PyImport_GetModuleDict();
    Ref key(PyUnicode_FromString(kModuleName));
    if (!key) return 6;
    const int present = PyDict_Contains(modules, key.get());
    if (present < 0) return 6;
    if (present == 0 && PyDict_SetItemString(modules, kModuleName, module) < 0) return 6;

    // 7. numpy and its core types
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy || !check_numpy_types(numpy.get())) return 7;

    // 8. import numpy as np
    if (PyDict_SetItem(dict, g_names.np, numpy.get()) < 0) return 8;

    // 9. NumPy's C API and its version checks
    if (!import_numpy_c_api()) return 9;

    // 10. The constants are constexpr in the core: fixed before any code
    // runs, so there is nothing left to set here.

    // 11. the functions, in table order
    Ref module_name(PyUnicode_FromString(kModuleName));
    if (!module_name) return 11;
    for (PyMethodDef& def : g_functions) {
        Ref function(PyCFunction_NewEx(&def, module, module_name.get()));
        if (!function || PyDict_SetItemString(dict, def.ml_name, function.get()) < 0) return 11;
    }

    // 12. __test__
    Ref test(PyDict_New());
    if (!test || PyDict_SetItemString(dict, "__test__", test.get()) < 0) return 12;
    return 0;
}

int exec_module(PyObject* module) {
    // 1. initialised once, and only this object
    if (g_module != nullptr) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'black_core' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    // 2. record the module; it holds the GIL
    g_module = Py_NewRef(module);
#ifdef Py_GIL_DISABLED
    PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED);
#endif
    const int failed_step = initialise(module);
    if (failed_step == 0) {
        // The batch kernel's instruction set is chosen now, at import
        // (QUELTA_SIMD is read here), not by the first array call.
        quelta::kernel::active();
        return 0;
    }
    if (failed_step >= 6) add_traceback("init quelta.black_core", __LINE__);
    Py_CLEAR(g_module);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init quelta.black_core");
    return -1;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef g_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "black_core",
    .m_doc =
        "C++ Black-model implied volatility solver and Greeks.\n\n"
        "Implied volatility from rational initial guesses refined by Householder steps,\n"
        "plus Black model delta/gamma/vega and a batch compute function.\n",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = g_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_black_core() {
    return PyModuleDef_Init(&g_definition);
}
