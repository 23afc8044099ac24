#include "python/segment.hpp"

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <string>

#include "python/compat.hpp"
#include "python/convert.hpp"

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

// Pickling and copying: an instance reduces to the class's one reconstructor
// and its seven stored values. Every protocol from 1 on writes floats as their
// eight bytes, so each field comes back bit for bit (NaN payloads and signed
// zeros included); protocol 0 writes floats as text, which keeps every value
// but a NaN's sign and payload.
PyObject* segment_reduce(PyObject* self, PyObject*) {
    const auto& s = reinterpret_cast<SegmentObject*>(self)->record;
    Ref rebuild(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_from_fields"));
    if (!rebuild) return nullptr;
    return Py_BuildValue("O(ddddddd)", rebuild.get(), s.x1, s.y1, s.x2, s.y2, s.width,
                         s.precision, s.log_nfa);
}

const char* const FIELD_NAMES[] = {"x1", "y1", "x2", "y2", "width", "precision", "log_nfa"};
constexpr Signature FROM_FIELDS{"Segment._from_fields", FIELD_NAMES, 7, 7};

// The reconstructor: seven floats (float subclasses such as numpy.float64
// too), read as they are stored, so no code of the caller's runs. Ints and
// everything else are refused: a pickle only ever holds floats here.
PyObject* segment_from_fields(PyObject* type, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    PyObject* bound[7];  // borrowed
    if (!bind_arguments(FROM_FIELDS, args, nargs, kwnames, bound)) return nullptr;
    double values[7];
    for (int i = 0; i < 7; ++i) {
        if (!PyFloat_Check(bound[i])) {
            raise_not_instance(bound[i], "float", FIELD_NAMES[i]);
            return nullptr;
        }
        values[i] = PyFloat_AS_DOUBLE(bound[i]);
    }
    return make_segment(type, detector::Segment{values[0], values[1], values[2], values[3],
                                                values[4], values[5], values[6]});
}

PyMethodDef segment_methods[] = {
    {"__reduce__", segment_reduce, METH_NOARGS, "Helper for pickle."},
    {"_from_fields",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(segment_from_fields)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "_from_fields($type, /, x1, y1, x2, y2, width, precision, log_nfa)\n--\n\n"
     "A Segment holding these seven floats unchanged (pickle's and copy's way back)."},
    {nullptr, nullptr, 0, nullptr},
};

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
    {Py_tp_methods, segment_methods},
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
