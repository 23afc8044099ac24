// Everything that differs between the interpreter ABIs this module builds for
// (3.11, 3.12, 3.13+, with or without the global lock) lives here.
#pragma once

#include "python/py.hpp"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

namespace vantrell::py {

// Adds `note` to the exception currently set (PEP 678 notes).
inline void add_note_to_current(const char* note) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    PyObject* done = PyObject_CallMethod(exc, "add_note", "s", note);
    if (done == nullptr) {  // a failing add_note replaces the original error
        Py_DECREF(exc);
        return;
    }
    Py_DECREF(done);
    PyErr_SetRaisedException(exc);
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    PyObject* done = PyObject_CallMethod(value, "add_note", "s", note);
    if (done == nullptr) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return;
    }
    Py_DECREF(done);
    PyErr_Restore(type, value, traceback);
#endif
}

// Detaches the calling thread from the interpreter for its lifetime (releases
// the global lock where there is one). Nothing may touch a Python object
// inside.
class Detached {
public:
    Detached() : state_(PyEval_SaveThread()) {}
    ~Detached() { PyEval_RestoreThread(state_); }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

private:
    PyThreadState* state_;
};

// Member-descriptor codes (public names since 3.12, structmember.h before).
#if PY_VERSION_HEX >= 0x030C0000
inline constexpr int MEMBER_DOUBLE = Py_T_DOUBLE;
inline constexpr int MEMBER_READONLY = Py_READONLY;
#else
inline constexpr int MEMBER_DOUBLE = T_DOUBLE;
inline constexpr int MEMBER_READONLY = READONLY;
#endif

// The module slot declaring that the module does not need the global lock,
// for headers that know it (3.13+); nothing before.
#ifdef Py_mod_gil
#define VANTRELL_NO_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define VANTRELL_NO_GIL_SLOT
#endif

}  // namespace vantrell::py
