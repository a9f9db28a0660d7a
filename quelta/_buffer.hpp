// The RAII holder of a Python buffer that both extension modules view their
// array arguments through: whatever check fails after PyObject_GetBuffer, and
// however a function returns, the buffer is released exactly once.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quelta::python {

class HeldBuffer {
  public:
    HeldBuffer() noexcept = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() { release(); }

    // PyObject_GetBuffer(obj, flags); false, with the exception set and
    // nothing held, when the exporter refuses.
    bool get(PyObject* obj, int flags) {
        release();
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
        held_ = true;
        return true;
    }

    // Releases the buffer (if held) and returns false, for the failed checks
    // that follow a get.
    bool refuse() noexcept {
        release();
        return false;
    }

    void release() noexcept {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }

    bool held() const noexcept { return held_; }
    const Py_buffer& view() const noexcept { return view_; }

  private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace quelta::python
