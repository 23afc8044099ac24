#include "python/arrays.hpp"

#include <cstring>

#include "sample/sample.hpp"

namespace vantrell::py {
namespace {

PyArrayObject* as_array(PyObject* obj, int ndim, int type_id, npy_intp last_extent) {
    if (!PyArray_Check(obj)) return nullptr;
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != ndim) return nullptr;
    if (last_extent != 0 && PyArray_DIM(array, ndim - 1) != last_extent) return nullptr;
    PyArray_Descr* native = PyArray_DescrFromType(type_id);  // new reference
    if (native == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    bool same = PyArray_EquivTypes(PyArray_DESCR(array), native);
    Py_DECREF(native);
    return same ? array : nullptr;
}

}  // namespace

PyArrayObject* as_array(PyObject* obj, const ArrayForm& form, std::size_t* type_index) {
    for (std::size_t i = 0; i < form.types.size(); ++i) {
        if (PyArrayObject* array = as_array(obj, form.ndim, form.types[i], form.channels)) {
            if (type_index != nullptr) *type_index = i;
            return array;
        }
    }
    return nullptr;
}

namespace {

// The name NumPy gives a data type ("float32"); "?" if it cannot be had.
std::string type_name(PyArray_Descr* descr) {
    std::string name = "?";
    if (Ref text{PyObject_Str(reinterpret_cast<PyObject*>(descr))}) {
        if (const char* utf8 = PyUnicode_AsUTF8(text.get())) name = utf8;
    }
    if (PyErr_Occurred()) PyErr_Clear();
    return name;
}

std::string array_shape(int ndim, npy_intp channels) {
    std::string text = "a " + std::to_string(ndim) + "-D array";
    if (channels != 0) text += " of " + std::to_string(channels) + " channels";
    return text;
}

}  // namespace

std::string describe_form(const ArrayForm& form) {
    std::string text = array_shape(form.ndim, form.channels) + " of ";
    for (std::size_t i = 0; i < form.types.size(); ++i) {
        if (i > 0) text += i + 1 == form.types.size() ? " or " : ", ";
        PyArray_Descr* descr = PyArray_DescrFromType(form.types[i]);  // new reference
        text += descr != nullptr ? type_name(descr) : "?";
        Py_XDECREF(descr);
    }
    return text + " in native byte order";
}

std::string describe_object(PyObject* obj, const ArrayForm& form) {
    if (obj == Py_None) return "None";
    if (!PyArray_Check(obj)) {
        std::string name = "?";
        if (Ref qualname{PyType_GetQualName(Py_TYPE(obj))}) {
            if (const char* utf8 = PyUnicode_AsUTF8(qualname.get())) name = utf8;
        }
        if (PyErr_Occurred()) PyErr_Clear();
        return "a '" + name + "' object";
    }
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    const int ndim = PyArray_NDIM(array);
    const npy_intp channels =
        form.channels != 0 && ndim == form.ndim ? PyArray_DIM(array, ndim - 1) : 0;
    PyArray_Descr* descr = PyArray_DESCR(array);  // borrowed
    std::string text = array_shape(ndim, channels) + " of ";
    if (PyArray_ISNBO(descr->byteorder)) return text + type_name(descr);
    PyArray_Descr* native = PyArray_DescrNewByteorder(descr, NPY_NATIVE);  // new reference
    text += native != nullptr ? type_name(native) : "?";
    Py_XDECREF(native);
    if (PyErr_Occurred()) PyErr_Clear();
    return text + (descr->byteorder == '>' ? " in big-endian" : " in little-endian") + " byte order";
}

std::size_t sample_count(PyArrayObject* array) {
    std::size_t count = 1;
    for (int axis = 0; axis < PyArray_NDIM(array); ++axis) count *= extent(array, axis);
    return count;
}

PyArrayObject* new_output(int type_id, std::size_t rows, std::size_t cols, int channels) {
    std::size_t samples = 0, bytes = 0, row_bytes = 0;
    PyArray_Descr* descr = PyArray_DescrFromType(type_id);  // stolen below
    if (descr == nullptr) return nullptr;
    const auto item = static_cast<std::size_t>(PyDataType_ELSIZE(descr));
    const auto limit = static_cast<std::size_t>(NPY_MAX_INTP);
    if (rows > limit || !checked_mul(cols, channels * item, &row_bytes) || row_bytes > limit ||
        !checked_mul(rows, cols, &samples) ||
        !checked_mul(samples, static_cast<std::size_t>(channels), &samples) ||
        !checked_mul(samples, item, &bytes) || bytes > limit) {
        Py_DECREF(descr);
        PyErr_NoMemory();
        return nullptr;
    }
    npy_intp dims[3] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols), channels};
    // Left uninitialised: the resampling cores write every output sample
    // (0 where a pixel maps outside), so zeroing here would only cost a pass.
    return reinterpret_cast<PyArrayObject*>(
        PyArray_Empty(channels > 1 ? 3 : 2, dims, descr, 0));
}

bool readable_in_place(PyArrayObject* array) {
    const npy_intp item = PyArray_ITEMSIZE(array);
    if (reinterpret_cast<std::uintptr_t>(PyArray_DATA(array)) % static_cast<std::uintptr_t>(item) != 0)
        return false;
    npy_intp expected = item;
    for (int axis = PyArray_NDIM(array) - 1; axis >= 0; --axis) {
        npy_intp n = PyArray_DIM(array, axis);
        if (n == 0) return true;
        if (n == 1) continue;
        if (PyArray_STRIDE(array, axis) != expected) return false;
        expected *= n;
    }
    return true;
}

void copy_row_major(PyArrayObject* array, char* out, std::size_t item_size) {
    // Up to three axes here; treat missing leading axes as extent 1.
    const int ndim = PyArray_NDIM(array);
    npy_intp shape[3] = {1, 1, 1}, strides[3] = {0, 0, 0};
    for (int axis = 0; axis < ndim; ++axis) {
        shape[3 - ndim + axis] = PyArray_DIM(array, axis);
        strides[3 - ndim + axis] = PyArray_STRIDE(array, axis);
    }
    if (shape[0] == 0 || shape[1] == 0 || shape[2] == 0) return;
    const char* base = static_cast<const char*>(PyArray_DATA(array));
    for (npy_intp i = 0; i < shape[0]; ++i) {
        for (npy_intp j = 0; j < shape[1]; ++j) {
            const char* row = base + i * strides[0] + j * strides[1];
            for (npy_intp k = 0; k < shape[2]; ++k) {
                std::memcpy(out, row + k * strides[2], item_size);
                out += item_size;
            }
        }
    }
}

}  // namespace vantrell::py
