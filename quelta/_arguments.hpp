// Argument binding and conversion of quelta.black_core: the one set of
// rules by which every function binds its positional-or-keyword
// parameters, and the conversions of scalars and array views.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

#include "quelta/_python.hpp"
#include "quelta/_views.hpp"

namespace quelta::python {

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

inline bool to_double(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    out = PyFloat_AsDouble(obj);
    return !(out == -1.0 && PyErr_Occurred());
}

// An int from a Python int, range-checked to 32 bits.
inline bool int_from_long(PyObject* value, std::int32_t& out) {
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
inline bool to_int(PyObject* obj, std::int32_t& out) {
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

// An array argument and the kind of view it becomes.
template <class T>
struct ViewArg {
    View<T>& view;
    ViewKind kind;
};
template <class T>
ViewArg(View<T>&, ViewKind) -> ViewArg<T>;

inline bool convert(PyObject* obj, double& out) {
    return to_double(obj, out);
}
inline bool convert(PyObject* obj, std::int32_t& out) {
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

}  // namespace quelta::python
