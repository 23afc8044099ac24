// Perspective warp through an inverse homography.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "sample/sample.hpp"
#include "warp/filter.hpp"

namespace vantrell::warp {

// Output pixel (x, y) stands for the plane point (x / scale + off_x,
// y / scale + off_y), which `inverse` (row-major 3 x 3) maps, with the
// perspective division, to the source position that the filter samples.
// `out` is out_w * out_h * 3 samples; it need not be zeroed: every sample is
// written, pixels that map outside the source or whose denominator is exactly
// 0 getting 0 in all channels. Returns a SizeMismatch
// (source first, then out) without writing anything when a length is wrong.
// Instantiated for T in {uint8_t, uint16_t}.
template <class T>
std::optional<SizeMismatch> warp_rgb(std::span<const T> source, std::size_t w, std::size_t h,
                                     std::size_t out_w, std::size_t out_h,
                                     const std::array<double, 9>& inverse, double scale,
                                     double off_x, double off_y, Filter filter,
                                     std::span<T> out);

}  // namespace vantrell::warp
