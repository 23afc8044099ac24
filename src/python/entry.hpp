// The four module functions (fast calls with keywords) and the filter parser.
#pragma once

#include "python/py.hpp"
#include "warp/filter.hpp"

namespace vantrell::py {

PyObject* detect(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* warp_rgb(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* remap_rgb(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* remap_gray(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The filter named by a str ("bilinear" or "lanczos3", byte-exact); false with
// ValueError set otherwise. `name` nullptr stands for the default, "bilinear".
bool parse_filter(PyObject* name, warp::Filter* filter);

}  // namespace vantrell::py
