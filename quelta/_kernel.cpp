// quelta._kernel: the dispatching batch kernel for the Python layer.
//
// One function per model (solve: Black, solve_normal: Bachelier) solves a book
// held in contiguous one-dimensional arrays of market (discounted) prices and writes the implied
// volatility, optionally the discounted Greeks, and the reason code of every row; simd_level()
// names the instruction set in use. The arrays are checked strictly (the Python layer lays them
// out), the loop runs without the GIL, and rows are independent, so callers may split a book
// between threads and get the same bits.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "numeric/constants.hpp"
#include "quelta/_buffer.hpp"
#include "quelta/kernels/dispatch.hpp"

namespace {

// A one-dimensional C-contiguous array of `format` items, held until scope exit.
class Buffer {
  public:
    // Views obj as an array of `format` items (None allowed when optional).
    bool acquire(PyObject* obj, const char* name, char format, bool writable, bool optional) {
        if (obj == Py_None && optional) return true;
        const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (!held_.get(obj, flags)) return false;
        const Py_buffer& view = held_.view();
        const char* f = view.format != nullptr ? view.format : "B";
        if (f[0] == '@' || f[0] == '=' || f[0] == '<') ++f;
        const auto itemsize = static_cast<Py_ssize_t>(format == 'd' ? sizeof(double) : 1);
        if (view.ndim != 1 || f[0] != format || f[1] != '\0' || view.itemsize != itemsize) {
            PyErr_Format(PyExc_TypeError, "%s: expected a one-dimensional array of %s", name,
                         format == 'd' ? "float64" : "int8");
            return held_.refuse();
        }
        // The kernel loads doubles directly: a misaligned buffer would be undefined behaviour.
        if (reinterpret_cast<std::uintptr_t>(view.buf) % static_cast<std::size_t>(itemsize) != 0) {
            PyErr_Format(PyExc_ValueError, "%s: the array's data is not aligned", name);
            return held_.refuse();
        }
        return true;
    }

    bool held() const noexcept { return held_.held(); }
    Py_ssize_t size() const noexcept { return held() ? held_.view().shape[0] : 0; }
    template <class T>
    T* data() const noexcept {
        return held() ? static_cast<T*>(held_.view().buf) : nullptr;
    }

  private:
    quelta::python::HeldBuffer held_;
};

// The kernel of the level named by obj (a str), or the active one for None.
const quelta::kernel::Kernel* kernel_named(PyObject* obj) {
    if (obj == Py_None) return &quelta::kernel::active();
    const char* name = PyUnicode_AsUTF8(obj);
    if (name == nullptr) return nullptr;
    for (const auto* k = quelta::kernel::supported(); k->name != nullptr; ++k) {
        if (std::strcmp(k->name, name) == 0) return k;
    }
    PyErr_Format(PyExc_ValueError, "level %R: not supported by this CPU", obj);
    return nullptr;
}

// The arguments of solve and solve_normal, in order: inputs, then outputs.
enum Arg : Py_ssize_t {
    price,
    forward,
    strike,
    is_call,
    discount,
    expiry,
    vol,
    delta,
    gamma,
    vega,
    reason,
    arity
};
constexpr const char* g_names[] = {"price", "forward", "strike", "is_call", "discount", "expiry",
                                   "vol",   "delta",   "gamma",  "vega",    "reason"};
constexpr Py_ssize_t g_arity = arity;

// Views the ten arrays of a solve call into b: inputs read-only, outputs
// writable, expiry and the three Greeks optional; false with the exception
// set when an array is refused or its length differs from price's.
bool acquire_rows(PyObject* const* args, Buffer (&b)[g_arity]) {
    for (Py_ssize_t i = 0; i < g_arity; ++i) {
        const char format = i == is_call || i == reason ? 'b' : 'd';
        const bool writable = i >= vol;
        const bool optional = i == expiry || (i >= delta && i <= vega);
        if (!b[i].acquire(args[i], g_names[i], format, writable, optional)) return false;
    }
    if (b[delta].held() != b[gamma].held() || b[delta].held() != b[vega].held()) {
        PyErr_SetString(PyExc_TypeError, "delta, gamma and vega: give all three or none");
        return false;
    }
    for (Py_ssize_t i = 1; i < g_arity; ++i) {
        if (b[i].held() && b[i].size() != b[price].size()) {
            PyErr_Format(PyExc_ValueError, "%s has %zd elements, price has %zd", g_names[i],
                         b[i].size(), b[price].size());
            return false;
        }
    }
    return true;
}

// Runs `model` of kernel over the held rows of b, without the GIL: the
// option flags become the +-1 kinds of the kernel a chunk at a time.
void run_rows(const quelta::kernel::Kernel& kernel,
              quelta::kernel::SolveRows quelta::kernel::Kernel::* model,
              const Buffer (&b)[g_arity]) noexcept {
    constexpr Py_ssize_t chunk = 512;
    double kind[chunk];
    const Py_ssize_t n = b[price].size();
    const std::int8_t* flags = b[is_call].data<std::int8_t>();
    for (Py_ssize_t start = 0; start < n; start += chunk) {
        const Py_ssize_t m = n - start < chunk ? n - start : chunk;
        for (Py_ssize_t i = 0; i < m; ++i) kind[i] = quelta::kind_of_flag(flags[start + i]);
        const auto at = [&b, start](Arg a) {
            return b[a].data<double>() + (b[a].held() ? start : 0);
        };
        const quelta::simd::Rows rows{
            at(price), at(forward), at(strike), kind,     at(discount),
            at(vol),   at(delta),   at(gamma),  at(vega), b[reason].data<std::int8_t>() + start,
            true,      at(expiry)};
        (kernel.*model)(rows, static_cast<std::size_t>(m));
    }
}

// The body of solve and solve_normal: `model` picks the kernel's batch function.
PyObject* solve_with(quelta::kernel::SolveRows quelta::kernel::Kernel::* model, const char* what,
                     PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != g_arity && nargs != g_arity + 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd or %zd arguments (%zd given)", what, g_arity,
                     g_arity + 1, nargs);
        return nullptr;
    }
    const auto* kernel = kernel_named(nargs > g_arity ? args[g_arity] : Py_None);
    if (kernel == nullptr) return nullptr;
    Buffer b[g_arity];
    if (!acquire_rows(args, b)) return nullptr;
    Py_BEGIN_ALLOW_THREADS run_rows(*kernel, model, b);
    Py_END_ALLOW_THREADS Py_RETURN_NONE;
}

PyObject* solve(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return solve_with(&quelta::kernel::Kernel::solve_rows, "solve", args, nargs);
}

PyObject* solve_normal(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return solve_with(&quelta::kernel::Kernel::solve_normal_rows, "solve_normal", args, nargs);
}

// elementary(name, x, out, level): out[i] = name(x[i]) with the kernel of
// `level`, for the tests.
PyObject* elementary(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    using quelta::kernel::Elementary;
    if (nargs != 4) {
        PyErr_SetString(PyExc_TypeError, "elementary() takes 4 arguments");
        return nullptr;
    }
    const char* name = PyUnicode_AsUTF8(args[0]);
    if (name == nullptr) return nullptr;
    struct Named {
        const char* name;
        Elementary f;
    };
    constexpr Named functions[] = {{"exp", Elementary::exp},
                                   {"log", Elementary::log},
                                   {"erfcx", Elementary::erfcx},
                                   {"norm_cdf", Elementary::norm_cdf},
                                   {"inverse_norm_cdf", Elementary::inverse_norm_cdf},
                                   {"normal_time_value", Elementary::normal_time_value}};
    const Named* found = nullptr;
    for (const Named& f : functions) {
        if (std::strcmp(f.name, name) == 0) found = &f;
    }
    if (found == nullptr) {
        PyErr_Format(PyExc_ValueError, "no elementary function %R", args[0]);
        return nullptr;
    }
    const auto* kernel = kernel_named(args[3]);
    if (kernel == nullptr) return nullptr;
    Buffer x, out;
    if (!x.acquire(args[1], "x", 'd', false, false) ||
        !out.acquire(args[2], "out", 'd', true, false)) {
        return nullptr;
    }
    if (out.size() != x.size()) {
        PyErr_SetString(PyExc_ValueError, "x and out differ in length");
        return nullptr;
    }
    kernel->elementary(found->f, x.data<double>(), out.data<double>(),
                       static_cast<std::size_t>(x.size()));
    Py_RETURN_NONE;
}

// normalised_black(x, s, out, level): out[i] = b(x[i], s[i]), the normalised
// Black call of the core to its full relative precision, with the kernel of
// `level`; prices formed from it keep that precision far from the money.
PyObject* normalised_black(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4) {
        PyErr_SetString(PyExc_TypeError, "normalised_black() takes 4 arguments");
        return nullptr;
    }
    const auto* kernel = kernel_named(args[3]);
    if (kernel == nullptr) return nullptr;
    Buffer x, s, out;
    if (!x.acquire(args[0], "x", 'd', false, false) ||
        !s.acquire(args[1], "s", 'd', false, false) ||
        !out.acquire(args[2], "out", 'd', true, false)) {
        return nullptr;
    }
    if (s.size() != x.size() || out.size() != x.size()) {
        PyErr_SetString(PyExc_ValueError, "x, s and out differ in length");
        return nullptr;
    }
    const auto n = static_cast<std::size_t>(x.size());
    Py_BEGIN_ALLOW_THREADS kernel->black_call(x.data<double>(), s.data<double>(),
                                              out.data<double>(), n);
    Py_END_ALLOW_THREADS Py_RETURN_NONE;
}

// The levels this CPU supports, narrowest first.
PyObject* levels(PyObject*, PyObject*) {
    Py_ssize_t n = 0;
    const auto* first = quelta::kernel::supported();
    while (first[n].name != nullptr) ++n;
    PyObject* result = PyTuple_New(n);
    if (result == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = PyUnicode_FromString(first[i].name);
        if (name == nullptr) {
            Py_DECREF(result);
            return nullptr;
        }
        PyTuple_SET_ITEM(result, i, name);
    }
    return result;
}

PyObject* simd_level(PyObject*, PyObject*) {
    return PyUnicode_FromString(quelta::kernel::active().name);
}

PyMethodDef g_methods[] = {
    {"solve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(solve)), METH_FASTCALL,
     "solve($module, price, forward, strike, is_call, discount, expiry, vol, delta, gamma, "
     "vega, reason, level=None, /)\n--\n\n"
     "Implied volatility of market prices (price / discount is solved), discounted\n"
     "Greeks (delta, gamma and vega may be None) and reason codes of contiguous rows,\n"
     "written into vol, delta, gamma, vega, reason; level names a supported kernel\n"
     "other than the one in use. With expiry None, vol is the total volatility\n"
     "sigma sqrt(T) and vega its derivative; with an expiry, the expiry is checked,\n"
     "vol and vega are annualised and every result of a row not ok is NaN."},
    {"solve_normal", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(solve_normal)),
     METH_FASTCALL,
     "solve_normal($module, price, forward, strike, is_call, discount, expiry, vol, delta, "
     "gamma, vega, reason, level=None, /)\n--\n\n"
     "solve for the normal (Bachelier) model: implied normal volatility of market\n"
     "prices, any real forward and strike; discounted Greeks (vega per 0.01 of volatility)\n"
     "and reason codes, with the arguments and codes of solve."},
    {"elementary", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(elementary)),
     METH_FASTCALL,
     "elementary($module, name, x, out, level, /)\n--\n\n"
     "out[i] = name(x[i]) for name in exp, log, erfcx, norm_cdf, inverse_norm_cdf,\n"
     "normal_time_value (phi(u) - u Phi(-u)), with the kernel of level (None: the one in use)."},
    {"normalised_black",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(normalised_black)), METH_FASTCALL,
     "normalised_black($module, x, s, out, level, /)\n--\n\n"
     "out[i] = b(x[i], s[i]) = Phi(x/s + s/2) e^(x/2) - Phi(x/s - s/2) e^(-x/2), the\n"
     "undiscounted Black call over sqrt(F K) at log-moneyness x = ln(F/K) and total\n"
     "volatility s, to full relative precision, with the kernel of level (None: the one in use)."},
    {"levels", levels, METH_NOARGS,
     "levels($module, /)\n--\n\nThe kernel levels this CPU supports, narrowest first."},
    {"simd_level", simd_level, METH_NOARGS,
     "simd_level($module, /)\n--\n\nThe instruction set of the batch kernel in use."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject*) {
    if (const char* unknown = quelta::kernel::unknown_request()) {
        PyErr_Format(PyExc_ValueError, "QUELTA_SIMD=%s: expected scalar, avx2 or avx512", unknown);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_GIL_DISABLED
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef g_module{
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "quelta._kernel",
    .m_doc = "Dispatching batch kernel of quelta: implied volatilities, Greeks and reason codes.",
    .m_size = 0,
    .m_methods = g_methods,
    .m_slots = g_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__kernel() {
    return PyModuleDef_Init(&g_module);
}
