// detect(gray, scale=...): the Python face of the line segment detector.
#include <vector>

#include "detector/detect.hpp"
#include "python/arrays.hpp"
#include "python/convert.hpp"
#include "python/entry.hpp"
#include "python/errors.hpp"
#include "python/segment.hpp"

namespace vantrell::py {
namespace {

const char* const DETECT_NAMES[] = {"gray", "scale"};
constexpr Signature DETECT{"detect", DETECT_NAMES, 2, 1};
constexpr double DEFAULT_SCALE = 0.8;
// Tried in this order; the first that matches wins.
constexpr int GRAY_TYPES[] = {NPY_FLOAT64, NPY_FLOAT32, NPY_UINT8, NPY_UINT16};
constexpr ArrayForm GRAY{2, 0, GRAY_TYPES};
constexpr const char* GRAY_ERROR =
    "detect expects a (height, width) array of uint8, uint16, float32 or float64";

PyObject* to_list(const std::vector<detector::Segment>& records) {
    PyObject* type = segment_type();
    if (type == nullptr) return nullptr;
    Ref list(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < records.size(); ++i) {
        PyObject* segment = make_segment(type, records[i]);
        if (segment == nullptr) return nullptr;  // the list frees what it holds
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), segment);
    }
    return list.release();
}

template <class T>
PyObject* detect_samples(PyArrayObject* gray, double scale) {
    const std::size_t height = extent(gray, 0), width = extent(gray, 1);
    // Too few columns or rows, before or after downscaling: no segments, and
    // nothing to copy or check, however many samples the other side holds.
    if (detector::too_small_for_segments(width, height, scale)) return PyList_New(0);
    // Pixel indices inside the detector are 32-bit: refuse, before copying
    // anything, an image whose working image they cannot index.
    if (!detector::fits_pixel_indices(width, height, scale)) {
        PyErr_Format(PyExc_ValueError,
                     "image too large for detect: its working image must have fewer than "
                     "2**32 pixels (got %zu x %zu at scale %R)",
                     width, height, Ref(PyFloat_FromDouble(scale)).get());
        return nullptr;
    }
    Samples<T> samples;
    if (!samples.take(gray)) return nullptr;
    std::vector<detector::Segment> segments;
    SizeMismatch mismatch{};
    bool size_ok = true;
    bool ran = call_detached([&] {
        auto result = detector::detect<T>(samples.span(), width, height, scale);
        if (result.ok()) {
            segments = std::move(result.value());
        } else {
            size_ok = false;
            mismatch = result.error();
        }
    });
    if (!ran) return nullptr;
    if (!size_ok) {
        raise_internal("the buffer length comes from the array's own shape", mismatch);
        return nullptr;
    }
    return to_list(segments);
}

}  // namespace

PyObject* detect(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[2];  // borrowed
    if (!bind_arguments(DETECT, args, nargs, kwnames, bound)) return nullptr;
    double scale = DEFAULT_SCALE;
    if (bound[1] != nullptr && !to_double(bound[1], "scale", &scale)) return nullptr;

    // Held by the caller's argument tuple for the whole call.
    std::size_t type = 0;
    PyArrayObject* gray = to_array(bound[0], "gray", GRAY, GRAY_ERROR, &type);
    if (gray == nullptr) return nullptr;
    switch (type) {
        case 0: return detect_samples<double>(gray, scale);
        case 1: return detect_samples<float>(gray, scale);
        case 2: return detect_samples<std::uint8_t>(gray, scale);
        default: return detect_samples<std::uint16_t>(gray, scale);
    }
}

}  // namespace vantrell::py
