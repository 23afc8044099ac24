// Array views: recognise a NumPy array's dimension count and sample type, and
// hand the cores a contiguous row-major run of its samples — the array's own
// memory when it is C-contiguous, otherwise a copy owned by the view.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "python/py.hpp"

namespace vantrell::py {

template <class T> struct NumpyType;
template <> struct NumpyType<std::uint8_t> { static constexpr int id = NPY_UINT8; };
template <> struct NumpyType<std::uint16_t> { static constexpr int id = NPY_UINT16; };
template <> struct NumpyType<float> { static constexpr int id = NPY_FLOAT32; };
template <> struct NumpyType<double> { static constexpr int id = NPY_FLOAT64; };

// What an array argument must be: `ndim` dimensions, the last of extent
// `channels` (when not 0), and one of `types` in native byte order.
struct ArrayForm {
    int ndim;
    npy_intp channels;
    std::span<const int> types;
};

// The array itself (borrowed) when `obj` is an ndarray (or subclass) of
// `form`, its data type equivalent to the native type, byte order included;
// `type_index` (if not nullptr) is then the index in form.types of the first
// that matches. nullptr otherwise, with no exception set.
PyArrayObject* as_array(PyObject* obj, const ArrayForm& form, std::size_t* type_index);

// "a 2-D array of float32 in native byte order": what `form` asks for.
std::string describe_form(const ArrayForm& form);

// What `obj` is, in the terms of describe_form: "a 2-D array of float64",
// "a 2-D array of float32 in big-endian byte order", "a 'list' object", "None".
// Channels are shown when `form` asks for them and the dimension counts agree.
std::string describe_object(PyObject* obj, const ArrayForm& form);

// Number of samples of an array (product of its extents).
std::size_t sample_count(PyArrayObject* array);
// Extent of axis `axis`.
inline std::size_t extent(PyArrayObject* array, int axis) {
    return static_cast<std::size_t>(PyArray_DIM(array, axis));
}

// A read-only contiguous run of an array's samples in logical row-major order.
// Holds no reference: the caller keeps the array alive while the view is used.
template <class T>
class Samples {
public:
    // False with MemoryError set when a copy was needed and could not be made.
    bool take(PyArrayObject* array);
    std::span<const T> span() const { return {data_, count_}; }

private:
    const T* data_ = nullptr;
    std::size_t count_ = 0;
    std::unique_ptr<T[]> copy_;
};

// A new uninitialised C-contiguous array of shape (rows, cols) or (rows, cols,
// channels) (channels > 1) for a resampling core to fill: those write every
// sample, so no zeroing pass is needed. An output whose byte size
// does not fit raises MemoryError: the size comes from the caller, and an
// array that cannot be made is a matter of memory, not a fault of the module.
PyArrayObject* new_output(int type_id, std::size_t rows, std::size_t cols, int channels);

template <class T>
std::span<T> writable_span(PyArrayObject* array) {
    return {static_cast<T*>(PyArray_DATA(array)), sample_count(array)};
}

// Whether the cores can read the array's memory as is: C-contiguous (axes of
// extent 1 do not count; an array with a zero extent always qualifies) and
// aligned for its sample type.
bool readable_in_place(PyArrayObject* array);

// Copies the samples of `array` in logical row-major order into `out`, which
// holds sample_count(array) elements of `item_size` bytes.
void copy_row_major(PyArrayObject* array, char* out, std::size_t item_size);

template <class T>
bool Samples<T>::take(PyArrayObject* array) {
    count_ = sample_count(array);
    if (readable_in_place(array)) {
        data_ = static_cast<const T*>(PyArray_DATA(array));
        return true;
    }
    copy_.reset(new (std::nothrow) T[count_ == 0 ? 1 : count_]);
    if (!copy_) {
        PyErr_NoMemory();
        return false;
    }
    copy_row_major(array, reinterpret_cast<char*>(copy_.get()), sizeof(T));
    data_ = copy_.get();
    return true;
}

}  // namespace vantrell::py
