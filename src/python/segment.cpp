#include "python/segment.hpp"

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <string>

#include "python/compat.hpp"

namespace vantrell::py {
namespace {

struct SegmentObject {
    PyObject_HEAD
    detector::Segment record;
};

PyObject* get_angle(PyObject* self, void*) {
    const auto& s = reinterpret_cast<SegmentObject*>(self)->record;
    double a = std::atan2(s.y2 - s.y1, s.x2 - s.x1) * 57.29577951308232;
    if (a > 90.0) a -= 180.0;
    // (-90, 90]: -90 itself, and NaN, take the other branch.
    return PyFloat_FromDouble(a > -90.0 ? a : a + 180.0);
}

PyObject* get_length(PyObject* self, void*) {
    const auto& s = reinterpret_cast<SegmentObject*>(self)->record;
    return PyFloat_FromDouble(std::hypot(s.x2 - s.x1, s.y2 - s.y1));
}

// Fixed point with one digit, correctly rounded, never an exponent; NaN
// without sign.
void append_number(std::string& text, double v) {
    if (std::isnan(v)) {
        text += "NaN";
        return;
    }
    char buffer[400];  // the largest double has 309 integer digits
    std::snprintf(buffer, sizeof buffer, "%.1f", v);
    text += buffer;
}

PyObject* segment_repr(PyObject* self) {
    const auto& s = reinterpret_cast<SegmentObject*>(self)->record;
    std::string text = "Segment((";
    append_number(text, s.x1);
    text += ", ";
    append_number(text, s.y1);
    text += ")-(";
    append_number(text, s.x2);
    text += ", ";
    append_number(text, s.y2);
    text += "), width=";
    append_number(text, s.width);
    text += ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

#define SEGMENT_FIELD(name)                                                           \
    {#name, MEMBER_DOUBLE,                                                            \
     static_cast<Py_ssize_t>(offsetof(SegmentObject, record) +                        \
                             offsetof(detector::Segment, name)),                       \
     MEMBER_READONLY, nullptr}

PyMemberDef segment_members[] = {
    SEGMENT_FIELD(x1),    SEGMENT_FIELD(y1),        SEGMENT_FIELD(x2),      SEGMENT_FIELD(y2),
    SEGMENT_FIELD(width), SEGMENT_FIELD(precision), SEGMENT_FIELD(log_nfa), {nullptr, 0, 0, 0, nullptr},
};
#undef SEGMENT_FIELD

PyGetSetDef segment_getset[] = {
    {"angle", get_angle, nullptr, "Direction in degrees, -90 to 90, 0 = horizontal.", nullptr},
    {"length", get_length, nullptr, "Length in pixels.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot segment_slots[] = {
    {Py_tp_doc, const_cast<char*>("One detected line segment, in input-image coordinates.")},
    {Py_tp_repr, reinterpret_cast<void*>(segment_repr)},
    {Py_tp_members, segment_members},
    {Py_tp_getset, segment_getset},
    {0, nullptr},
};

PyType_Spec segment_spec = {
    "vantrell.Segment",
    sizeof(SegmentObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    segment_slots,
};

}  // namespace

PyObject* segment_type() {
    // Made once per process; concurrent first requests all get the winner.
    static std::atomic<PyObject*> created{nullptr};
    PyObject* type = created.load(std::memory_order_acquire);
    if (type != nullptr) return type;
    PyObject* fresh = PyType_FromSpec(&segment_spec);
    if (fresh == nullptr) return nullptr;
    if (created.compare_exchange_strong(type, fresh, std::memory_order_acq_rel)) return fresh;
    Py_DECREF(fresh);
    return type;
}

PyObject* make_segment(PyObject* type, const detector::Segment& record) {
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    PyObject* self = tp->tp_alloc(tp, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<SegmentObject*>(self)->record = record;
    return self;
}

}  // namespace vantrell::py
