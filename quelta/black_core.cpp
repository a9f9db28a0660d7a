// quelta.black_core: the CPython face of the numeric core.
//
// This unit is the only place that knows CPython. It owns the module's
// creation and initialisation, the one set of argument-binding rules that
// every function shares, scalar and buffer conversions, and the seven Python
// functions. Each function is a thin METH_FASTCALL | METH_KEYWORDS wrapper:
// bind, convert everything with the thread attached, then call the numeric
// core on plain doubles (detached for the array loops). Every Python
// resource is held by an RAII owner, so every error path releases what it
// took, and every failing call adds a traceback frame named after the
// function.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <numpy/arrayobject.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "numeric/constants.hpp"
#include "numeric/greeks.hpp"
#include "numeric/implied_vol.hpp"
#include "numeric/normal.hpp"
#include "quelta/_buffer.hpp"
#include "quelta/kernels/dispatch.hpp"

namespace {

constexpr const char kModuleName[] = "quelta.black_core";
constexpr const char kSourceFile[] = "quelta/black_core.cpp";

// ---------------------------------------------------------------------------
// Owned references and error state

// An owned (strong) reference, released on scope exit.
class Ref {
  public:
    Ref() noexcept = default;
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref tmp(std::move(other));
        std::swap(p_, tmp.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    PyObject* p_ = nullptr;
};

// The pending exception, taken out of the thread state and put back on
// destruction unless it was handed on with take().
class PendingError {
  public:
    PendingError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
        Py_XDECREF(type);
        Py_XDECREF(traceback);
        exc_ = value;
#endif
    }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    ~PendingError() {
        if (exc_ == nullptr) return;
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
#else
        PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc_)));
        PyErr_Restore(type, exc_, PyException_GetTraceback(exc_));
#endif
    }
    PyObject* get() const noexcept { return exc_; }
    PyObject* take() noexcept { return std::exchange(exc_, nullptr); }

  private:
    PyObject* exc_ = nullptr;
};

// The thread state detached (the GIL released in the default build) for the
// lifetime of the object. Nothing Python may be touched while it lives.
class DetachedThread {
  public:
    DetachedThread() noexcept : state_(PyEval_SaveThread()) {}
    DetachedThread(const DetachedThread&) = delete;
    DetachedThread& operator=(const DetachedThread&) = delete;
    ~DetachedThread() { PyEval_RestoreThread(state_); }

  private:
    PyThreadState* state_;
};

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

// ---------------------------------------------------------------------------
// Argument binding, shared by all seven functions.

template <std::size_t N>
struct Signature {
    static_assert(N > 1, "the binding messages assume more than one parameter");
    const char* name;  // the function's name, as in the messages
    std::array<const char*, N> params;
    std::array<PyObject*, N> interned{};  // filled by the exec step

    bool intern() {
        for (std::size_t i = 0; i < N; ++i) {
            interned[i] = PyUnicode_InternFromString(params[i]);
            if (interned[i] == nullptr) return false;
        }
        return true;
    }
};

template <std::size_t N>
void raise_arg_count(const Signature<N>& sig, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, "exactly", static_cast<Py_ssize_t>(N), "s", given);
}

// Index of the parameter named `key`, matched by identity first and then
// by string equality; -1 if there is none, -2 if the comparison failed.
template <std::size_t N>
Py_ssize_t find_param(const Signature<N>& sig, PyObject* key) {
    for (std::size_t i = 0; i < N; ++i) {
        if (sig.interned[i] == key) return static_cast<Py_ssize_t>(i);
    }
    for (std::size_t i = 0; i < N; ++i) {
        const int eq = PyUnicode_Compare(sig.interned[i], key);
        if (eq == 0) return static_cast<Py_ssize_t>(i);
        if (eq == -1 && PyErr_Occurred()) return -2;
    }
    return -1;
}

// Binds a vectorcall's arguments to the N required positional-or-keyword
// parameters of `sig`. The bound objects are borrowed from the call.
template <std::size_t N>
bool bind(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::array<PyObject*, N>& out) {
    constexpr auto n = static_cast<Py_ssize_t>(N);
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nkw == 0) {
        if (nargs != n) {
            raise_arg_count(sig, nargs);
            return false;
        }
        for (Py_ssize_t i = 0; i < n; ++i) out[static_cast<std::size_t>(i)] = args[i];
        return true;
    }
    if (nargs > n) {
        raise_arg_count(sig, nargs);
        return false;
    }
    out.fill(nullptr);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            return false;
        }
        const Py_ssize_t index = find_param(sig, key);
        if (index == -2) return false;
        if (index == -1) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name,
                         key);
            return false;
        }
        PyObject*& slot = out[static_cast<std::size_t>(index)];
        if (slot != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         sig.name, key);
            return false;
        }
        slot = args[nargs + k];
    }
    for (Py_ssize_t i = nargs; i < n; ++i) {
        if (out[static_cast<std::size_t>(i)] == nullptr) {
            raise_arg_count(sig, i);
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Scalar conversions

bool to_double(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    out = PyFloat_AsDouble(obj);
    return !(out == -1.0 && PyErr_Occurred());
}

// An int from a Python int, range-checked to 32 bits.
bool int_from_long(PyObject* value, std::int32_t& out) {
    const long long wide = PyLong_AsLongLong(value);
    if (wide == -1 && PyErr_Occurred()) return false;
    if (wide < std::numeric_limits<std::int32_t>::min() ||
        wide > std::numeric_limits<std::int32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    out = static_cast<std::int32_t>(wide);
    return true;
}

// A 32-bit int. Ints (bool included) are taken directly; anything else goes
// through its type's __int__, so floats truncate toward zero.
bool to_int(PyObject* obj, std::int32_t& out) {
    if (PyLong_Check(obj)) return int_from_long(obj, out);
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    Ref value(number->nb_int(obj));
    if (!value) return false;
    if (!PyLong_CheckExact(value.get())) {
        const char* type_name = Py_TYPE(value.get())->tp_name;
        if (!PyLong_Check(value.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", type_name);
            return false;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             type_name) < 0) {
            return false;
        }
    }
    return int_from_long(value.get(), out);
}

// ---------------------------------------------------------------------------
// Array views: one-dimensional, strided, non-owning views of a caller's
// buffer, held from conversion until the function returns.

enum class ViewKind { ConstDouble, Double, Int8 };

struct ViewKindInfo {
    const char* name;  // as the messages name it
    int flags;         // the buffer request
    Py_ssize_t itemsize;
};

constexpr ViewKindInfo info(ViewKind kind) noexcept {
    switch (kind) {
        case ViewKind::ConstDouble:
            return {"const double", PyBUF_RECORDS_RO, 8};
        case ViewKind::Double:
            return {"double", PyBUF_RECORDS, 8};
        case ViewKind::Int8:
            return {"int8_t", PyBUF_RECORDS, 1};
    }
    return {"", 0, 0};
}

// How a struct-module item code reads in a dtype-mismatch message; nullptr
// for a character that is no item code.
const char* describe_item(char code, bool complex) noexcept {
    if (complex) {
        switch (code) {
            case 'f':
                return "'complex float'";
            case 'd':
                return "'complex double'";
            case 'g':
                return "'complex long double'";
            default:
                return nullptr;
        }
    }
    switch (code) {
        case 'c':
            return "'char'";
        case 'b':
            return "'signed char'";
        case 'B':
            return "'unsigned char'";
        case '?':
            return "'bool'";
        case 'h':
            return "'short'";
        case 'H':
            return "'unsigned short'";
        case 'i':
            return "'int'";
        case 'I':
            return "'unsigned int'";
        case 'l':
            return "'long'";
        case 'L':
            return "'unsigned long'";
        case 'q':
            return "'long long'";
        case 'Q':
            return "'unsigned long long'";
        case 'n':
            return "'Py_ssize_t'";
        case 'N':
            return "'size_t'";
        case 'e':
            return "'half'";
        case 'f':
            return "'float'";
        case 'd':
            return "'double'";
        case 'g':
            return "'long double'";
        case 'O':
            return "Python object";
        case 'T':
            return "a struct";
        case 'P':
            return "a pointer";
        case 's':
        case 'p':
            return "a string";
        case 'w':
            return "a unicode character";
        case 'x':
            return "a pad byte";
        default:
            return nullptr;
    }
}

void raise_mismatch(ViewKind kind, const char* got) {
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                 info(kind).name, "'", got);
}

// Checks that `format` describes exactly one item of the kind's type, in
// native or little-endian order. A missing format means unsigned bytes.
bool check_format(const char* format, ViewKind kind) {
    const char* p = format != nullptr ? format : "B";
    switch (*p) {
        case '@':
        case '=':
        case '<':
        case '^':
            ++p;
            break;
        case '>':
        case '!':
            PyErr_SetString(PyExc_ValueError,
                            "Big-endian buffer not supported on little-endian compiler");
            return false;
        default:
            break;
    }
    long count = 1;
    if (*p >= '0' && *p <= '9') {
        count = 0;
        while (*p >= '0' && *p <= '9' && count < 1000000) count = count * 10 + (*p++ - '0');
    }
    bool complex = false;
    if (*p == 'Z') {
        complex = true;
        ++p;
    }
    const char code = *p;
    const char* described = describe_item(code, complex);
    if (described == nullptr) {
        if (code == '\0') {
            raise_mismatch(kind, "an empty format");
        } else {
            PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'", code);
        }
        return false;
    }
    const bool wanted =
        !complex && (kind == ViewKind::Int8 ? (code == 'b' || code == 'c') : code == 'd');
    if (!wanted) {
        raise_mismatch(kind, described);
        return false;
    }
    if (count != 1) {
        raise_mismatch(kind, "an array of items");
        return false;
    }
    if (p[1] != '\0') {
        raise_mismatch(kind, "a struct");
        return false;
    }
    return true;
}

template <class T>
class View {
  public:
    // Views `obj` (None gives the empty view). On failure the exception is
    // set and nothing is held.
    bool acquire(PyObject* obj, ViewKind kind) {
        if (obj == Py_None) return true;
        const ViewKindInfo k = info(kind);
        if (!held_.get(obj, k.flags)) return false;
        const Py_buffer& buffer = held_.view();
        if (buffer.ndim != 1) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer has wrong number of dimensions (expected %d, got %d)", 1,
                         buffer.ndim);
            return held_.refuse();
        }
        if (!check_format(buffer.format, kind)) return held_.refuse();
        if (buffer.itemsize != k.itemsize) {
            const auto got = static_cast<std::size_t>(buffer.itemsize);
            const auto want = static_cast<std::size_t>(k.itemsize);
            PyErr_Format(PyExc_ValueError,
                         "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu "
                         "byte%s)",
                         got, got > 1 ? "s" : "", k.name, want, want > 1 ? "s" : "");
            return held_.refuse();
        }
        if (buffer.suboffsets != nullptr && buffer.suboffsets[0] >= 0) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer not compatible with direct access in dimension %d.", 0);
            return held_.refuse();
        }
        data_ = static_cast<char*>(buffer.buf);
        // Some exporters (ctypes) leave out shape or strides even when asked
        // for them; the protocol then means a contiguous run of items.
        size_ = buffer.shape != nullptr ? buffer.shape[0] : buffer.len / buffer.itemsize;
        stride_ = buffer.strides != nullptr ? buffer.strides[0] : buffer.itemsize;
        return true;
    }

    Py_ssize_t size() const noexcept { return size_; }
    const char* data() const noexcept { return data_; }
    Py_ssize_t stride() const noexcept { return stride_; }

    // Copies the first n elements into `copy` and reads them from there from
    // now on (the buffer stays held). std::bad_alloc propagates.
    void read_from_copy(std::vector<T>& copy, Py_ssize_t n) {
        copy.resize(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) copy[static_cast<std::size_t>(i)] = (*this)[i];
        data_ = reinterpret_cast<char*>(copy.data());
        stride_ = static_cast<Py_ssize_t>(sizeof(T));
    }

    // Element access goes through memcpy: a buffer may be unaligned.
    T operator[](Py_ssize_t i) const noexcept {
        T value;
        std::memcpy(&value, data_ + i * stride_, sizeof(T));
        return value;
    }
    void set(Py_ssize_t i, T value) const noexcept {
        std::memcpy(data_ + i * stride_, &value, sizeof(T));
    }

  private:
    quelta::python::HeldBuffer held_;
    char* data_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_ssize_t stride_ = 0;
};

// The loops trust their views' lengths, so a view shorter than the loop's
// count is refused before anything is read or written.
template <class T>
bool require_length(const View<T>& view, Py_ssize_t n, const char* name) {
    if (view.size() >= n) return true;
    PyErr_Format(PyExc_ValueError, "%s has %zd element%s, expected at least %zd", name, view.size(),
                 view.size() == 1 ? "" : "s", n);
    return false;
}

// The memory that the first n elements of a view occupy: the bytes from lo
// to hi (exclusive), elements of `width` bytes every `stride` bytes from
// `start` (the stride may be negative). Empty for n = 0 or a view without data.
struct Extent {
    const char* lo = nullptr;
    const char* hi = nullptr;
    const char* start = nullptr;
    Py_ssize_t stride = 0;
    Py_ssize_t width = 0;

    bool empty() const noexcept { return lo == hi; }
};

template <class T>
Extent extent(const View<T>& view, Py_ssize_t n) {
    Extent e;
    if (n <= 0 || view.data() == nullptr) return e;
    const Py_ssize_t last = (n - 1) * view.stride();
    e.start = view.data();
    e.lo = view.data() + (last < 0 ? last : 0);
    e.hi = view.data() + (last > 0 ? last : 0) + static_cast<Py_ssize_t>(sizeof(T));
    e.stride = view.stride();
    e.width = static_cast<Py_ssize_t>(sizeof(T));
    return e;
}

// Whether two extents may share a byte. Beyond their byte ranges it tells
// apart only the common case of equal strides whose elements interleave
// without touching (a[::2] and a[1::2]); any other pair with intersecting
// ranges counts as overlapping.
bool may_overlap(const Extent& a, const Extent& b) {
    if (a.empty() || b.empty() || a.hi <= b.lo || b.hi <= a.lo) return false;
    if (a.stride != b.stride || a.stride == 0) return true;
    const Py_ssize_t step = a.stride < 0 ? -a.stride : a.stride;
    // Offset of b's elements within a's period, in [0, step).
    Py_ssize_t d = (b.start - a.start) % step;
    if (d < 0) d += step;
    return !(d >= a.width && d + b.width <= step);
}

// Same elements at the same indices: an output that is this input is read
// before it is written at every index, and needs no copy.
bool same_elements(const Extent& a, const Extent& b) {
    return a.start == b.start && a.stride == b.stride && a.width == b.width;
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
// Binding and conversion in one step

// An array argument and the kind of view it becomes.
template <class T>
struct ViewArg {
    View<T>& view;
    ViewKind kind;
};
template <class T>
ViewArg(View<T>&, ViewKind) -> ViewArg<T>;

bool convert(PyObject* obj, double& out) {
    return to_double(obj, out);
}
bool convert(PyObject* obj, std::int32_t& out) {
    return to_int(obj, out);
}
template <class T>
bool convert(PyObject* obj, ViewArg<T> arg) {
    return arg.view.acquire(obj, arg.kind);
}

// Binds a call's arguments to `sig`, then converts them into `targets` in
// parameter order; the first failure stops it with its exception set.
template <std::size_t N, class... Targets>
bool parse(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
           Targets&&... targets) {
    static_assert(sizeof...(Targets) == N, "one target per parameter");
    std::array<PyObject*, N> bound;
    if (!bind(sig, args, nargs, kwnames, bound)) return false;
    std::size_t i = 0;
    return (convert(bound[i++], std::forward<Targets>(targets)) && ...);
}

// require_length for the views of parameters 1, 2, ... of `sig`, in order
// (parameter 0, undiscounted_price, gives n).
template <std::size_t N, class... Views>
bool require_lengths(const Signature<N>& sig, Py_ssize_t n, const Views&... views) {
    std::size_t param = 1;
    return (require_length(views, n, sig.params[param++]) && ...);
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

// Rows copied out of the views a chunk at a time into contiguous arrays for
// the batch kernel, and its results copied back. Every input of a chunk is
// read before its first output is written, so an output may alias an input.
struct Chunk {
    static constexpr Py_ssize_t size = 256;
    double price[size], forward[size], strike[size], kind[size], discount[size];
    double vol[size], delta[size], gamma[size], vega[size];

    quelta::simd::Rows rows(bool greeks) noexcept {
        return {price,
                forward,
                strike,
                kind,
                discount,
                vol,
                greeks ? delta : nullptr,
                greeks ? gamma : nullptr,
                greeks ? vega : nullptr,
                nullptr};
    }

    // Runs the kernel over rows [0, n) of the views, chunk by chunk:
    // fill(chunk, first, m) copies the inputs of rows first .. first + m - 1,
    // drain(chunk, first, m) copies out their results.
    template <class Fill, class Drain>
    void run(Py_ssize_t n, bool greeks, Fill fill, Drain drain) noexcept {
        const auto solve_rows = quelta::kernel::active().solve_rows;
        for (Py_ssize_t first = 0; first < n; first += size) {
            const Py_ssize_t m = n - first < size ? n - first : size;
            fill(*this, first, m);
            solve_rows(rows(greeks), static_cast<std::size_t>(m));
            drain(*this, first, m);
        }
    }
};

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
        // The kernel gives +0.0 where F <= 0 or K <= 0.
        Chunk chunk;
        chunk.run(
            n, false,
            [&](Chunk& c, Py_ssize_t first, Py_ssize_t m) {
                for (Py_ssize_t i = 0; i < m; ++i) {
                    c.price[i] = price[first + i];
                    c.forward[i] = fwd[first + i];
                    c.strike[i] = K;
                    c.kind[i] = quelta::kind_of_sign(q);
                    c.discount[i] = 1.0;
                }
            },
            [&](const Chunk& c, Py_ssize_t first, Py_ssize_t m) {
                for (Py_ssize_t i = 0; i < m; ++i) out_view.set(first + i, c.vol[i]);
            });
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
            Chunk chunk;
            chunk.run(
                n, false,
                [&](Chunk& c, Py_ssize_t first, Py_ssize_t m) {
                    for (Py_ssize_t i = 0; i < m; ++i) {
                        c.price[i] = price[first + i];
                        c.forward[i] = F;
                        c.strike[i] = strike[first + i];
                        c.kind[i] = quelta::kind_of_sign(q);
                        c.discount[i] = 1.0;
                    }
                },
                [&](const Chunk& c, Py_ssize_t first, Py_ssize_t m) {
                    for (Py_ssize_t i = 0; i < m; ++i) out_view.set(first + i, c.vol[i]);
                });
        }
    }
    return out.release();
}

// The element loop of compute_trades_greeks. The kernel zeroes every output
// of a trade with a non-positive forward, strike or discount factor.
void solve_trades(Py_ssize_t n, const View<double>& price, const View<double>& fwd,
                  const View<double>& strike, const View<std::int8_t>& is_call,
                  const View<double>& discount, const View<double>& out_vol,
                  const View<double>& out_delta, const View<double>& out_gamma,
                  const View<double>& out_vega) noexcept {
    Chunk chunk;
    chunk.run(
        n, true,
        [&](Chunk& c, Py_ssize_t first, Py_ssize_t m) {
            for (Py_ssize_t i = 0; i < m; ++i) {
                c.price[i] = price[first + i];
                c.forward[i] = fwd[first + i];
                c.strike[i] = strike[first + i];
                c.kind[i] = quelta::kind_of_flag(is_call[first + i]);
                c.discount[i] = discount[first + i];
            }
        },
        [&](const Chunk& c, Py_ssize_t first, Py_ssize_t m) {
            for (Py_ssize_t i = 0; i < m; ++i) {
                out_vol.set(first + i, c.vol[i]);
                out_delta.set(first + i, c.delta[i]);
                out_gamma.set(first + i, c.gamma[i]);
                out_vega.set(first + i, c.vega[i]);
            }
        });
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
    // Outputs that overlap each other have no order of writes to honour.
    const std::array<Extent, 4> outs = {extent(out_vol, n), extent(out_delta, n),
                                        extent(out_gamma, n), extent(out_vega, n)};
    constexpr std::size_t first_out = 5;
    for (std::size_t j = 1; j < outs.size(); ++j) {
        for (std::size_t i = 0; i < j; ++i) {
            if (may_overlap(outs[i], outs[j])) {
                PyErr_Format(PyExc_ValueError, "%s overlaps %s", sig.params[first_out + j],
                             sig.params[first_out + i]);
                return fail(sig, __LINE__);
            }
        }
    }
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
