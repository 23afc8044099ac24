#include "python/errors.hpp"

#include <atomic>

namespace vantrell::py {

PyObject* internal_error_type() {
    // Made once per process; racing first requests all end with the winner's
    // object (the loser's is dropped before anyone sees it).
    static std::atomic<PyObject*> created{nullptr};
    PyObject* type = created.load(std::memory_order_acquire);
    if (type != nullptr) return type;
    PyObject* fresh = PyErr_NewExceptionWithDoc(
        "vantrell.InternalError", "A fault of the module itself, never of its input.",
        PyExc_BaseException, nullptr);
    if (fresh == nullptr) return nullptr;
    if (created.compare_exchange_strong(type, fresh, std::memory_order_acq_rel)) return fresh;
    Py_DECREF(fresh);
    return type;
}

void raise_internal(const std::string& context, const SizeMismatch& mismatch) {
    if (PyObject* type = internal_error_type()) {
        PyErr_SetString(type, (context + ": " + mismatch.text()).c_str());
    }
}

}  // namespace vantrell::py
