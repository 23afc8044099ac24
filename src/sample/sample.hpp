// Shared vocabulary of the computing cores: read-only sample runs, the one
// error value they report, and the saturating float-to-integer conversions.
// Nothing here knows about Python.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace vantrell {

// A buffer whose length is not the product of the dimensions given for it.
struct SizeMismatch {
    std::size_t expected;
    std::size_t got;

    bool operator==(const SizeMismatch&) const = default;
    std::string text() const {
        return "SizeMismatch { expected: " + std::to_string(expected) +
               ", got: " + std::to_string(got) + " }";
    }
};

// Either a value or a SizeMismatch; the cores' only way of failing.
template <class T>
class Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(SizeMismatch error) : v_(error) {}

    bool ok() const { return v_.index() == 0; }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    const SizeMismatch& error() const { return std::get<1>(v_); }

private:
    std::variant<T, SizeMismatch> v_;
};

// Returns the mismatch when `got` differs from `expected`.
inline bool size_matches(std::size_t expected, std::size_t got, SizeMismatch* error) {
    if (expected == got) return true;
    *error = SizeMismatch{expected, got};
    return false;
}

// Float to integer: truncate toward zero, saturate at the type's ends, NaN -> 0.
// A plain cast of NaN or of an out-of-range value is undefined behaviour; every
// float-to-integer conversion in the cores goes through here.
template <class Int>
constexpr Int saturating_cast(double v) {
    static_assert(std::is_integral_v<Int>);
    if (!(v == v)) return 0;
    // Both limits are exactly representable as doubles for the types used here
    // except the 64-bit maxima, whose double rounds up to 2^63 / 2^64: the
    // comparison is ">=" so that such values saturate instead of overflowing.
    constexpr double lo = static_cast<double>(std::numeric_limits<Int>::min());
    constexpr double hi = static_cast<double>(std::numeric_limits<Int>::max());
    if (v <= lo) return std::numeric_limits<Int>::min();
    if (v >= hi) return std::numeric_limits<Int>::max();
    return static_cast<Int>(v);
}

// A size product formed without wrap-around; false when it does not fit.
inline bool checked_mul(std::size_t a, std::size_t b, std::size_t* out) {
    return !__builtin_mul_overflow(a, b, out);
}

}  // namespace vantrell
