// The one header through which the binding sees the interpreter and NumPy.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL vantrell_ARRAY_API
#ifndef VANTRELL_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <utility>

namespace vantrell::py {

// An owned reference: released when the handle goes, so no error path leaks.
// Borrowed references stay plain PyObject* and are named as such.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : p_(owned) {}
    static Ref borrow(PyObject* borrowed) {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::exchange(p_, other.release()));
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

}  // namespace vantrell::py
