// An owned run of trivially copyable values left uninitialised: for the large
// per-call images whose every element the filling loop writes, so that no
// separate zeroing pass (or its page faults on one thread) comes first.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <type_traits>

namespace vantrell::detector {

template <class T>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_default_constructible_v<T>);

public:
    Buffer() = default;
    explicit Buffer(std::size_t size) : data_(new T[size]), size_(size) {}  // may throw bad_alloc

    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    T* begin() { return data(); }
    T* end() { return data() + size_; }
    const T* begin() const { return data(); }
    const T* end() const { return data() + size_; }
    operator std::span<const T>() const { return {data(), size_}; }

private:
    std::unique_ptr<T[]> data_;
    std::size_t size_ = 0;
};

}  // namespace vantrell::detector
