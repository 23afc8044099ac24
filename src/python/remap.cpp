// remap_rgb and remap_gray: resampling through float32 coordinate maps.
#include "python/arrays.hpp"
#include "python/convert.hpp"
#include "python/entry.hpp"
#include "python/errors.hpp"
#include "warp/remap.hpp"

namespace vantrell::py {
namespace {

const char* const REMAP_NAMES[] = {"src", "map_x", "map_y", "filter"};
constexpr Signature REMAP_RGB{"remap_rgb", REMAP_NAMES, 4, 3};
constexpr Signature REMAP_GRAY{"remap_gray", REMAP_NAMES, 4, 3};

template <class T, int C>
PyObject* remap_samples(PyArrayObject* src, PyArrayObject* map_x, PyArrayObject* map_y,
                        warp::Filter filter) {
    const std::size_t w = extent(src, 1), h = extent(src, 0);
    const std::size_t out_w = extent(map_x, 1), out_h = extent(map_x, 0);
    Samples<T> source;
    Samples<float> xs, ys;
    if (!source.take(src) || !xs.take(map_x) || !ys.take(map_y)) return nullptr;
    Ref out(reinterpret_cast<PyObject*>(new_output(NumpyType<T>::id, out_h, out_w, C)));
    if (!out) return nullptr;
    std::span<T> samples = writable_span<T>(reinterpret_cast<PyArrayObject*>(out.get()));
    std::optional<SizeMismatch> mismatch;
    if (!call_detached([&] {
            mismatch = warp::remap<T, C>(source.span(), w, h, xs.span(), ys.span(), out_w, out_h,
                                         filter, samples);
        }))
        return nullptr;
    if (mismatch) {
        raise_internal("the buffer lengths come from the arrays' own shapes", *mismatch);
        return nullptr;
    }
    return out.release();
}

// The steps shared by both functions: maps, filter, source, shapes, in this order.
template <int C>
PyObject* remap_entry(const Signature& signature, const char* form_error, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[4];  // borrowed
    if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
    PyArrayObject* map_x = as_array_of<float>(bound[1], 2);
    if (map_x == nullptr) {
        raise_not_instance(bound[1], "ndarray", "map_x");
        return nullptr;
    }
    PyArrayObject* map_y = as_array_of<float>(bound[2], 2);
    if (map_y == nullptr) {
        raise_not_instance(bound[2], "ndarray", "map_y");
        return nullptr;
    }
    if (bound[3] != nullptr && !check_str(bound[3], "filter")) return nullptr;
    warp::Filter filter;
    if (!parse_filter(bound[3], &filter)) return nullptr;

    constexpr int ndim = C == 1 ? 2 : 3;
    constexpr npy_intp last = C == 1 ? 0 : C;
    PyArrayObject* src8 = as_array_of<std::uint8_t>(bound[0], ndim, last);
    PyArrayObject* src16 = src8 ? nullptr : as_array_of<std::uint16_t>(bound[0], ndim, last);
    if (src8 == nullptr && src16 == nullptr) {
        PyErr_SetString(PyExc_TypeError, form_error);
        return nullptr;
    }
    if (PyArray_DIM(map_x, 0) != PyArray_DIM(map_y, 0) ||
        PyArray_DIM(map_x, 1) != PyArray_DIM(map_y, 1)) {
        PyErr_SetString(PyExc_ValueError, "map_x and map_y must have the same shape");
        return nullptr;
    }
    if (src8 != nullptr) return remap_samples<std::uint8_t, C>(src8, map_x, map_y, filter);
    return remap_samples<std::uint16_t, C>(src16, map_x, map_y, filter);
}

}  // namespace

PyObject* remap_rgb(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return remap_entry<3>(
        REMAP_RGB, "remap_rgb expects a (height, width, 3) array of uint8 or uint16 and float32 maps",
        args, nargs, kwnames);
}

PyObject* remap_gray(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return remap_entry<1>(
        REMAP_GRAY, "remap_gray expects a (height, width) array of uint8 or uint16 and float32 maps",
        args, nargs, kwnames);
}

}  // namespace vantrell::py
