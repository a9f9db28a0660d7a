// Array views of quelta.black_core: one-dimensional, strided, non-owning
// views of a caller's buffer, held from conversion until the function
// returns, with the buffer-protocol checks and messages of their kinds, and
// the extents that tell whether two views may share memory.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <vector>

#include "quelta/_buffer.hpp"

namespace quelta::python {

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
inline const char* describe_item(char code, bool complex) noexcept {
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

inline void raise_mismatch(ViewKind kind, const char* got) {
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                 info(kind).name, "'", got);
}

// Checks that `format` describes exactly one item of the kind's type, in
// native or little-endian order. A missing format means unsigned bytes.
inline bool check_format(const char* format, ViewKind kind) {
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
inline bool may_overlap(const Extent& a, const Extent& b) {
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
inline bool same_elements(const Extent& a, const Extent& b) {
    return a.start == b.start && a.stride == b.stride && a.width == b.width;
}
}  // namespace quelta::python
