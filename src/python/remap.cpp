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
constexpr int MAP_TYPES[] = {NPY_FLOAT32};
constexpr ArrayForm MAP{2, 0, MAP_TYPES};
constexpr int SOURCE_TYPES[] = {NPY_UINT8, NPY_UINT16};

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
    PyArrayObject* map_x = to_array(bound[1], "map_x", MAP, nullptr, nullptr);
    if (map_x == nullptr) return nullptr;
    PyArrayObject* map_y = to_array(bound[2], "map_y", MAP, nullptr, nullptr);
    if (map_y == nullptr) return nullptr;
    if (bound[3] != nullptr && !check_str(bound[3], "filter")) return nullptr;
    warp::Filter filter;
    if (!parse_filter(bound[3], &filter)) return nullptr;

    constexpr ArrayForm source{C == 1 ? 2 : 3, C == 1 ? 0 : C, SOURCE_TYPES};
    std::size_t type = 0;
    PyArrayObject* src = to_array(bound[0], "src", source, form_error, &type);
    if (src == nullptr) return nullptr;
    if (PyArray_DIM(map_x, 0) != PyArray_DIM(map_y, 0) ||
        PyArray_DIM(map_x, 1) != PyArray_DIM(map_y, 1)) {
        PyErr_SetString(PyExc_ValueError, "map_x and map_y must have the same shape");
        return nullptr;
    }
    if (type == 0) return remap_samples<std::uint8_t, C>(src, map_x, map_y, filter);
    return remap_samples<std::uint16_t, C>(src, map_x, map_y, filter);
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
