// Everything that differs between the interpreter ABIs this module builds for
// (3.11, 3.12, 3.13+, with or without the global lock) lives here.
#pragma once

#include <unistd.h>

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

// Detaches the calling thread from the interpreter (releases the global lock
// where there is one). Nothing may touch a Python object until attach().
inline PyThreadState* detach() { return PyEval_SaveThread(); }

// Holds the calling thread for ever.
[[noreturn]] inline void hold_for_ever() {
    for (;;) pause();
}

// Re-attaches a thread that detach() detached. An interpreter that is
// finalising takes no thread back but its own: 3.14 holds any other inside
// PyEval_RestoreThread for ever, 3.11 to 3.13 end it with pthread_exit. That
// unwinding would run the destructors of the binding's frames, releasing
// references without the interpreter while it finalises, and std::terminate
// at any frame that may not throw. So here it stops at once and the thread is
// held for ever, as on 3.14; the process ends around it. Called as a plain
// function, never from a destructor. The interpreter throws nothing else: what
// comes out of it is that unwinding (caught without binding it, since it is
// not a C++ exception object).
inline void attach(PyThreadState* state) {
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        hold_for_ever();
    }
}

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
