// The Python class `Segment`: one detected segment, immutable.
#pragma once

#include "detector/detect.hpp"
#include "python/py.hpp"

namespace vantrell::py {

// The Segment class, created once per process. Borrowed; nullptr with an
// exception set if it could not be created.
PyObject* segment_type();

// A new Segment holding the record's seven values unchanged.
PyObject* make_segment(PyObject* type, const detector::Segment& record);

}  // namespace vantrell::py
