// The module `vantrell`: its definition, its one exported symbol, and the
// execution step that installs Segment and the four functions.
#define VANTRELL_IMPORTS_NUMPY
#include "python/compat.hpp"
#include "python/entry.hpp"
#include "python/py.hpp"
#include "python/segment.hpp"

namespace vantrell::py {
namespace {

#define FAST_KEYWORDS(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))

PyMethodDef functions[] = {
    {"detect", FAST_KEYWORDS(detect), METH_FASTCALL | METH_KEYWORDS,
     "detect(gray, scale=...)\n--\n\nFind the validated line segments of a grayscale image."},
    {"warp_rgb", FAST_KEYWORDS(warp_rgb), METH_FASTCALL | METH_KEYWORDS,
     "warp_rgb(src, inverse, scale, off_x, off_y, filter=\"bilinear\", out_size=None)\n--\n\n"
     "Perspective-warp an RGB image through an inverse homography."},
    {"remap_rgb", FAST_KEYWORDS(remap_rgb), METH_FASTCALL | METH_KEYWORDS,
     "remap_rgb(src, map_x, map_y, filter=\"bilinear\")\n--\n\n"
     "Resample an RGB image through a coordinate map: output pixel (x, y)\n"
     "takes its value from source position (map_x[y, x], map_y[y, x])."},
    {"remap_gray", FAST_KEYWORDS(remap_gray), METH_FASTCALL | METH_KEYWORDS,
     "remap_gray(src, map_x, map_y, filter=\"bilinear\")\n--\n\n"
     "Resample a single-channel image (a mask) through a coordinate map."},
};
#undef FAST_KEYWORDS

// Sets module.name = value and appends name to module.__all__ (made empty by
// the first installation).
int install(PyObject* module, const char* name, PyObject* value) {
    if (PyModule_AddObjectRef(module, name, value) < 0) return -1;
    PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");  // borrowed
    Ref created;
    if (all == nullptr) {
        created = Ref(PyList_New(0));
        if (!created || PyModule_AddObjectRef(module, "__all__", created.get()) < 0) return -1;
        all = created.get();
    }
    Ref text(PyUnicode_FromString(name));
    if (!text) return -1;
    return PyList_Append(all, text.get());
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyModule'",
                     Py_TYPE(module)->tp_name);
        return -1;
    }
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    PyObject* segment = segment_type();  // borrowed: the class lives for the process
    if (segment == nullptr || install(module, "Segment", segment) < 0) return -1;
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef& def : functions) {
        Ref function(PyCFunction_NewEx(&def, module, module_name.get()));
        if (!function || install(module, def.ml_name, function.get()) < 0) return -1;
    }
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    VANTRELL_NO_GIL_SLOT
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "vantrell",
    "",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vantrell::py

PyMODINIT_FUNC PyInit_vantrell(void) { return PyModuleDef_Init(&vantrell::py::definition); }
