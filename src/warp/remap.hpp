// Resampling through per-pixel coordinate maps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "sample/sample.hpp"
#include "warp/filter.hpp"

namespace vantrell::warp {

// Output pixel (x, y) takes the value the filter computes at source position
// (map_x[y * out_w + x], map_y[y * out_w + x]). `out` is out_w * out_h * C
// samples; it need not be zeroed: every sample is written, pixels mapped
// outside the source getting 0 in all channels.
// Source: w * h * C samples, row-major, channels interleaved.
// Returns the first length that disagrees with its dimensions, checked in the
// order source, map_x, map_y, out; nothing is written then.
// Instantiated for T in {uint8_t, uint16_t} and C in {1, 3}.
template <class T, int C>
std::optional<SizeMismatch> remap(std::span<const T> source, std::size_t w, std::size_t h,
                                  std::span<const float> map_x, std::span<const float> map_y,
                                  std::size_t out_w, std::size_t out_h, Filter filter,
                                  std::span<T> out);

}  // namespace vantrell::warp
