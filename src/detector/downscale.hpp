// Gaussian smoothing and subsampling of the detector's working image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "detector/buffer.hpp"

namespace vantrell::detector {

// Standard deviation of the Gaussian in output pixels: sigma = SIGMA_SCALE / scale.
inline constexpr double SIGMA_SCALE = 0.6;
// r = ceil(sigma x KERNEL_RADIUS_FACTOR): there the Gaussian has fallen to 1e-3 of
// its peak. This exact double is one unit in the last place below the rounded
// sqrt(2 x 3 x ln 10).
inline constexpr double KERNEL_RADIUS_FACTOR = 3.7169221888498383;

// The working value of one input sample: 8-bit values as they are, 16-bit values
// mapped onto 0..255 by a true division, floats widened exactly.
inline double working_value(std::uint8_t v) { return static_cast<double>(v); }
inline double working_value(std::uint16_t v) { return static_cast<double>(v) / 257.0; }
inline double working_value(float v) { return static_cast<double>(v); }
inline double working_value(double v) { return v; }

struct ImageSize {
    std::uint64_t width;
    std::uint64_t height;
};

// Output size for `scale`: max(2, floor(scale x side)) per side, so a zero,
// negative or NaN scale gives 2 x 2. Sides saturate at the 32-bit range.
ImageSize downscaled_size(std::size_t width, std::size_t height, double scale);

// The normalised Gaussian for `scale`, 2r + 1 weights symmetric about index r.
// Empty when the kernel cannot be built: sigma not a positive finite number, or
// 2r + 1 weights beyond a 32-bit count. May throw std::bad_alloc.
std::vector<double> gaussian_kernel(double scale);

struct Downscaled {
    Buffer<double> image;  // width x height, row-major
    std::size_t width = 0;
    std::size_t height = 0;
};

// Smooths the width x height image with `kernel` (from gaussian_kernel(scale))
// and picks one smoothed sample per output pixel: output (x', y') is the smoothed
// input pixel (trunc(x' / scale), trunc(y' / scale)), clamped to the image.
// Samples are converted by working_value as they are read.
template <class T>
Downscaled downscale(std::span<const T> image, std::size_t width, std::size_t height, double scale,
                     std::span<const double> kernel);

}  // namespace vantrell::detector
