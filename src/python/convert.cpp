#include "python/convert.hpp"

#include "python/compat.hpp"

namespace vantrell::py {
namespace {

// Runs a conversion; on failure adds the note naming the parameter.
template <class F>
bool noted(const char* param, F&& convert) {
    if (convert()) return true;
    std::string note = std::string("while processing '") + param + "'";
    add_note_to_current(note.c_str());
    return false;
}

int find_parameter(const Signature& signature, PyObject* keyword) {
    for (int i = 0; i < signature.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, signature.names[i]) == 0) return i;
    }
    return -1;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's list of names.
std::string quoted_list(const Signature& signature, PyObject** bound) {
    std::string text;
    int missing = 0, total = 0;
    for (int i = 0; i < signature.required; ++i) total += bound[i] == nullptr;
    for (int i = 0; i < signature.required; ++i) {
        if (bound[i] != nullptr) continue;
        ++missing;
        if (missing > 1) text += total == 2 ? " and " : (missing == total ? ", and " : ", ");
        text += std::string("'") + signature.names[i] + "'";
    }
    return text;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound) {
    for (int i = 0; i < signature.count; ++i) bound[i] = i < nargs ? args[i] : nullptr;

    // Keywords first, then the positional count, then what is missing: the
    // interpreter reports a call's faults in this order.
    Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);  // borrowed
        int i = find_parameter(signature, keyword);
        if (i < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                         signature.function, keyword);
            return false;
        }
        if (bound[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'",
                         signature.function, keyword);
            return false;
        }
        bound[i] = args[nargs + k];
    }
    if (nargs > signature.count) {
        std::string takes = signature.required == signature.count
                                ? std::to_string(signature.count)
                                : "from " + std::to_string(signature.required) + " to " +
                                      std::to_string(signature.count);
        PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zd %s given",
                     signature.function, takes.c_str(), signature.count == 1 ? "" : "s", nargs,
                     nargs == 1 ? "was" : "were");
        return false;
    }
    int missing = 0;
    for (int i = 0; i < signature.required; ++i) missing += bound[i] == nullptr;
    if (missing > 0) {
        PyErr_Format(PyExc_TypeError, "%s() missing %d required positional argument%s: %s",
                     signature.function, missing, missing == 1 ? "" : "s",
                     quoted_list(signature, bound).c_str());
        return false;
    }
    return true;
}

void raise_not_instance(PyObject* obj, const char* expected, const char* param) {
    noted(param, [&] {
        if (obj == Py_None) {
            PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
            return false;
        }
        Ref name(PyType_GetQualName(Py_TYPE(obj)));
        if (name) {
            PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(),
                         expected);
        }
        return false;
    });
}

bool to_double(PyObject* obj, const char* param, double* out) {
    return noted(param, [&] {
        *out = PyFloat_AsDouble(obj);
        return !(*out == -1.0 && PyErr_Occurred());
    });
}

bool check_str(PyObject* obj, const char* param) {
    if (PyUnicode_Check(obj)) return true;
    raise_not_instance(obj, "str", param);
    return false;
}

bool to_size_pair(PyObject* obj, const char* param, std::size_t* first, std::size_t* second) {
    if (!PyTuple_Check(obj)) {
        raise_not_instance(obj, "tuple", param);
        return false;
    }
    return noted(param, [&] {
        Py_ssize_t length = PyTuple_GET_SIZE(obj);
        if (length != 2) {
            PyErr_Format(PyExc_ValueError,
                         "expected tuple of length 2, but got tuple of length %zd", length);
            return false;
        }
        std::size_t* outs[2] = {first, second};
        for (int i = 0; i < 2; ++i) {
            Ref index(PyNumber_Index(PyTuple_GET_ITEM(obj, i)));
            if (!index) return false;
            *outs[i] = PyLong_AsSize_t(index.get());
            if (*outs[i] == static_cast<std::size_t>(-1) && PyErr_Occurred()) return false;
        }
        return true;
    });
}

bool to_nine_doubles(PyObject* obj, const char* param, std::array<double, 9>* out) {
    if (!PySequence_Check(obj)) {
        raise_not_instance(obj, "Sequence", param);
        return false;
    }
    return noted(param, [&] {
        Py_ssize_t length = PySequence_Size(obj);
        if (length < 0) return false;
        if (length != 9) {
            PyErr_Format(PyExc_ValueError, "expected a sequence of length 9 (got %zd)", length);
            return false;
        }
        for (Py_ssize_t i = 0; i < 9; ++i) {
            Ref item(PySequence_GetItem(obj, i));
            if (!item) return false;
            (*out)[i] = PyFloat_AsDouble(item.get());
            if ((*out)[i] == -1.0 && PyErr_Occurred()) return false;
        }
        return true;
    });
}

PyArrayObject* to_array(PyObject* obj, const char* param, const ArrayForm& form, const char* message,
                        std::size_t* type_index) {
    if (PyArrayObject* array = as_array(obj, form, type_index)) return array;
    // Described before the error is set: describing may call into the interpreter.
    const std::string what = "expected " + describe_form(form) + ", got " + describe_object(obj, form);
    if (message == nullptr) {
        raise_not_instance(obj, "ndarray", param);
    } else {
        noted(param, [&] {
            PyErr_SetString(PyExc_TypeError, message);
            return false;
        });
    }
    add_note_to_current(what.c_str());
    return nullptr;
}

}  // namespace vantrell::py
