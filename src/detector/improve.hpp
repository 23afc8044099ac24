// Trying finer tolerances and narrower rectangles to validate a rectangle.
#pragma once

#include <cstdint>
#include <span>

#include "detector/level_lines.hpp"
#include "detector/region.hpp"

namespace vantrell::detector {

// Tries, in a fixed sequence, finer precision, smaller width, each side trimmed
// and finer precision again, keeping every variation that raises log10(1 / NFA),
// until the value is above 0 or the sequence ends. Leaves the best rectangle in
// `rect` and returns its value.
double improve_rect(Rect& rect, std::span<const Px> field, std::uint32_t width,
                    std::uint32_t height, float threshold, double log_nt);

}  // namespace vantrell::detector
