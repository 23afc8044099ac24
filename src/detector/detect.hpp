// The line segment detector's entry point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "sample/sample.hpp"

namespace vantrell::detector {

// One validated segment in input-image coordinates (the centre of input pixel
// (c, r) is (c + 0.5, r + 0.5)).
struct Segment {
    double x1, y1, x2, y2;
    double width;
    double precision;  // the rectangle's p: 0.125 or a power-of-two fraction of it
    double log_nfa;    // -log10(NFA), above 0 for every returned segment
};

// Finds the validated line segments of a width x height grayscale image whose
// samples are row-major. `scale` < 1 smooths and downscales first. Segments come
// longest first. Fails only when samples.size() != width * height.
// Instantiated for std::uint8_t, std::uint16_t, float and double.
template <class T>
Result<std::vector<Segment>> detect(std::span<const T> samples, std::size_t width,
                                    std::size_t height, double scale);

// Whether a width x height image at `scale` has no segments whatever its
// samples: fewer than 3 columns or rows, before or after downscaling.
bool too_small_for_segments(std::size_t width, std::size_t height, double scale);

// Largest working image the detector indexes: pixel indices are 32-bit.
// Images whose working image would exceed it (and that are not too small for
// segments, which comes first) are refused by the caller.
bool fits_pixel_indices(std::size_t width, std::size_t height, double scale);

}  // namespace vantrell::detector
