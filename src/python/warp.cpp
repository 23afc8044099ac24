// warp_rgb: perspective warp through an inverse homography.
#include <array>

#include "python/arrays.hpp"
#include "python/convert.hpp"
#include "python/entry.hpp"
#include "python/errors.hpp"
#include "warp/perspective.hpp"

namespace vantrell::py {
namespace {

const char* const WARP_NAMES[] = {"src", "inverse", "scale", "off_x", "off_y", "filter", "out_size"};
constexpr Signature WARP{"warp_rgb", WARP_NAMES, 7, 5};
constexpr int SOURCE_TYPES[] = {NPY_UINT8, NPY_UINT16};
constexpr ArrayForm SOURCE{3, 3, SOURCE_TYPES};
constexpr const char* SOURCE_ERROR = "warp_rgb expects a (height, width, 3) array of uint8 or uint16";

struct WarpArgs {
    std::array<double, 9> inverse;
    double scale, off_x, off_y;
    warp::Filter filter;
    bool sized;
    std::size_t out_w, out_h;
};

template <class T>
PyObject* warp_samples(PyArrayObject* src, const WarpArgs& a) {
    const std::size_t w = extent(src, 1), h = extent(src, 0);
    const std::size_t out_w = a.sized ? a.out_w : w, out_h = a.sized ? a.out_h : h;
    Samples<T> source;
    if (!source.take(src)) return nullptr;
    Ref out(reinterpret_cast<PyObject*>(new_output(NumpyType<T>::id, out_h, out_w, 3)));
    if (!out) return nullptr;
    std::span<T> samples = writable_span<T>(reinterpret_cast<PyArrayObject*>(out.get()));
    std::optional<SizeMismatch> mismatch;
    if (!call_detached([&] {
            mismatch = warp::warp_rgb<T>(source.span(), w, h, out_w, out_h, a.inverse, a.scale,
                                         a.off_x, a.off_y, a.filter, samples);
        }))
        return nullptr;
    if (mismatch) {
        raise_internal("the buffer length comes from the array's own shape", *mismatch);
        return nullptr;
    }
    return out.release();
}

}  // namespace

PyObject* warp_rgb(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[7];  // borrowed
    if (!bind_arguments(WARP, args, nargs, kwnames, bound)) return nullptr;
    WarpArgs a{};
    if (!to_nine_doubles(bound[1], "inverse", &a.inverse)) return nullptr;
    if (!to_double(bound[2], "scale", &a.scale)) return nullptr;
    if (!to_double(bound[3], "off_x", &a.off_x)) return nullptr;
    if (!to_double(bound[4], "off_y", &a.off_y)) return nullptr;
    if (bound[5] != nullptr && !check_str(bound[5], "filter")) return nullptr;
    a.sized = bound[6] != nullptr && bound[6] != Py_None;
    if (a.sized && !to_size_pair(bound[6], "out_size", &a.out_w, &a.out_h)) return nullptr;
    if (!parse_filter(bound[5], &a.filter)) return nullptr;

    std::size_t type = 0;
    PyArrayObject* src = to_array(bound[0], "src", SOURCE, SOURCE_ERROR, &type);
    if (src == nullptr) return nullptr;
    if (type == 0) return warp_samples<std::uint8_t>(src, a);
    return warp_samples<std::uint16_t>(src, a);
}

}  // namespace vantrell::py
