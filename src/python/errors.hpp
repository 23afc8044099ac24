// The module's internal-error class and the one guarded way of calling a core.
#pragma once

#include <cxxabi.h>

#include <exception>
#include <new>
#include <string>

#include "python/compat.hpp"
#include "python/py.hpp"
#include "sample/sample.hpp"

namespace vantrell::py {

// The internal-error class (derived directly from BaseException: only a fault
// of the module itself raises it), created once per process. Borrowed; nullptr
// with an exception set if it could not be created.
PyObject* internal_error_type();

// Raises the internal error with `context` + ": " + the mismatch's text.
void raise_internal(const std::string& context, const SizeMismatch& mismatch);

// Calls `core` once with the interpreter released. A C++ exception never
// crosses into the interpreter: exhaustion becomes MemoryError, anything else
// the internal error. False with the exception set on failure.
template <class F>
bool call_detached(F&& core) {
    enum class Fault { None, Memory, Other } fault = Fault::None;
    std::string what;
    PyThreadState* state = detach();
    try {
        core();
    } catch (abi::__forced_unwind&) {
        throw;  // the thread is being ended: let its unwinding go on
    } catch (const std::bad_alloc&) {
        fault = Fault::Memory;
    } catch (const std::exception& e) {
        fault = Fault::Other;
        what = e.what();
    } catch (...) {
        fault = Fault::Other;
        what = "unknown fault";
    }
    attach(state);
    if (fault == Fault::None) return true;
    if (fault == Fault::Memory) {
        PyErr_NoMemory();
    } else if (PyObject* type = internal_error_type()) {
        PyErr_SetString(type, what.c_str());
    }
    return false;
}

}  // namespace vantrell::py
