// The owners of Python resources that quelta.black_core holds: an owned
// reference, the pending exception set aside, the thread state detached.
// Each releases what it took on every path out of its scope.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quelta::python {

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

}  // namespace quelta::python
