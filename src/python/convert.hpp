// Argument binding and conversion: every binding failure is worded as the
// interpreter words it for a function written in Python, and every failed
// conversion carries the note "while processing 'NAME'".
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "python/arrays.hpp"
#include "python/py.hpp"

namespace vantrell::py {

// The parameters of a module function: all positional-or-keyword, the first
// `required` of them without default.
struct Signature {
    const char* function;
    const char* const* names;
    int count;
    int required;
};

// Fills bound[0 .. count) with borrowed references, nullptr where a parameter
// with a default was not given. False with TypeError set on a binding failure.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound);

// TypeError "'TYPE' object is not an instance of 'EXPECTED'" (or "'None' is not
// an instance of 'EXPECTED'"), with the note for `param`.
void raise_not_instance(PyObject* obj, const char* expected, const char* param);

// The float protocol (float, int, __float__, __index__).
bool to_double(PyObject* obj, const char* param, double* out);

// A str, checked only: its text is read by whoever needs it.
bool check_str(PyObject* obj, const char* param);

// A tuple of exactly two integers (index protocol, unsigned machine words).
bool to_size_pair(PyObject* obj, const char* param, std::size_t* first, std::size_t* second);

// A sequence of exactly nine items, each through the float protocol.
bool to_nine_doubles(PyObject* obj, const char* param, std::array<double, 9>* out);

// An array of `form` (see as_array), with the index of its type in form.types
// (when `type_index` is not nullptr).
// Otherwise nullptr with TypeError set: `message` when given, else the
// not-instance wording for 'ndarray'; with the note for `param` and a second
// note saying what was expected and what came.
PyArrayObject* to_array(PyObject* obj, const char* param, const ArrayForm& form, const char* message,
                        std::size_t* type_index);

}  // namespace vantrell::py
