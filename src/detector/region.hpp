// Growing a region of aligned pixels from a seed, and its rectangle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "detector/level_lines.hpp"

namespace vantrell::detector {

inline constexpr double PI = 3.141592653589793;
inline constexpr double TWO_PI = 6.283185307179586;
// pi / 8: the tolerance every fitted rectangle starts with, and the largest
// angle between region angle and axis for which the axis keeps its sense.
inline constexpr double PI_OVER_8 = 0.39269908169872414;

// An oriented rectangle in working-image pixels, pixel (c, r) at (c, r).
struct Rect {
    double x1, y1;  // first end point of the centre line
    double x2, y2;  // second end point
    double width;   // full width across the centre line
    double dx, dy;  // unit vector from the first end point to the second
    double prec;    // angle tolerance (radians) for a pixel to count as aligned
    double p;       // probability of a chance alignment at that tolerance
};

// The summed level-line direction of a grown region; its atan2 is the region
// angle.
struct RegionSums {
    double sum_x, sum_y;
};

// grow_region for a caller that knows c = cos(tolerance) and may not need the
// angle: the same region and used marks, and the sums whose atan2 grow_region
// returns.
RegionSums grow_region_sums(std::uint32_t seed, std::span<const Px> field,
                            std::span<std::uint8_t> used, std::vector<std::uint32_t>& region,
                            std::uint32_t width, std::uint32_t height, double cos_tolerance);

// Empties `region` and fills it with the 8-connected free pixels, seed first,
// whose level-line direction is within `tolerance` of the running mean
// direction, marking each taken pixel in `used`. Returns the region angle,
// atan2 of the summed direction.
double grow_region(std::uint32_t seed, std::span<const Px> field, std::span<std::uint8_t> used,
                   std::vector<std::uint32_t>& region, std::uint32_t width, std::uint32_t height,
                   double tolerance);

// The rectangle of a non-empty region: norm-weighted centre, axis of least
// inertia turned to agree with `region_angle`, extents of the pixels along and
// across it. prec is pi / 8, p is `p`.
Rect region_to_rect(std::span<const std::uint32_t> region, std::span<const Px> field,
                    std::uint32_t width, double region_angle, double p);

}  // namespace vantrell::detector
